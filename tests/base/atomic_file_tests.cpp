// Crash-safe writes when the writer is interrupted: a termination signal
// removes the temporary file being written; a writer killed outright leaves
// one that findAbandonedTemporaries finds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/atomic_file.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;

namespace {

class AtomicFileTest : public testsupport::ScratchTest {
protected:
    bool hasTemporary() const {
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().find(".tmp-") != std::string::npos) return true;
        return false;
    }
};

// A process id that no process has any more.
pid_t deadProcess() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

}  // namespace

TEST_F(AtomicFileTest, AbandonedTemporariesAreThoseOfTheTargetsWhoseWriterIsGone) {
    const std::string dead = std::to_string(deadProcess()), alive = std::to_string(getpid());
    const struct { std::string name; bool abandoned; } cases[] = {
        {".a.jpg.tmp-" + dead + "-17-3", true},
        {".a.jpg.tmp-" + alive + "-17-4", false},     // its writer still runs
        {".b.jpg.tmp-" + dead + "-17-5", false},      // not one of the targets
        {".a.jpg.tmp-x" + dead + "-17-6", false},     // not a temporary's name
        {".a.jpg.tmp-" + dead + "-17", false},
        {"a.jpg", false},
        {".x.tmp-1.jpg.tmp-" + dead + "-1-2", true},  // a target whose own name holds the mark
    };
    for (const auto& c : cases) testsupport::writeFile(dir / c.name, "x");
    const auto found = findAbandonedTemporaries(dir, [](const std::string& t) { return t == "a.jpg" || t == "x.tmp-1.jpg"; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(std::count(found.begin(), found.end(), dir / c.name), c.abandoned ? 1 : 0);
    }
}

// A child writes a large file; when its temporary appears it gets a signal.
TEST_F(AtomicFileTest, ATerminationSignalDuringAWriteRemovesTheTemporary) {
    const struct { const char* label; int signal; bool handlers; } cases[] = {
        {"SIGTERM", SIGTERM, true}, {"SIGINT", SIGINT, true}, {"SIGHUP", SIGHUP, true},
        {"SIGTERM without the handlers", SIGTERM, false}, {"SIGKILL cannot be handled", SIGKILL, true}};
    const std::string bytes(96u << 20, 'v');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const fs::path target = dir / "out.jpg";
        const pid_t child = fork();
        if (child == 0) {
            if (c.handlers) removeTemporariesOnTermination();
            writeFileAtomically(target, bytes);
            _exit(0);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!hasTemporary() && !fs::exists(target) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_TRUE(hasTemporary()) << "the write ended before it could be interrupted";
        kill(child, c.signal);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        EXPECT_FALSE(fs::exists(target));
        const auto abandoned = findAbandonedTemporaries(dir, [](const std::string& t) { return t == "out.jpg"; });
        if (c.signal == SIGKILL || !c.handlers) {
            EXPECT_EQ(abandoned.size(), 1u);  // left behind, and found
        } else {
            EXPECT_FALSE(hasTemporary());
            EXPECT_TRUE(abandoned.empty());
        }
    }
}

// Crash-safe writes when the writer is interrupted: a termination signal
// removes the temporary file being written, unless the process was started
// with it ignored; a writer killed outright leaves one that
// findAbandonedTemporaries finds, on its own host only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
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

// Only this host's temporaries whose process has ended are abandoned: a
// live writer's, another host's (its process may run there) and one whose
// name does not say its host are left alone.
TEST_F(AtomicFileTest, AbandonedTemporariesAreThisHostsWhoseWriterIsGone) {
    const std::string dead = std::to_string(deadProcess()), alive = std::to_string(getpid());
    const std::string host = temporaryHostName();
    const struct { std::string name; bool abandoned; } cases[] = {
        {".a.jpg.tmp-" + host + "-" + dead + "-17-3", true},
        {".a.jpg.tmp-" + host + "-" + alive + "-17-4", false},           // its writer still runs
        {".a.jpg.tmp-other-host-" + dead + "-17-5", false},              // another machine's writer
        {".a.jpg.tmp-" + dead + "-17-6", false},                         // an older writer's: no host to go by
        {".a.jpg.tmp-" + host + "-x" + dead + "-17-7", false},           // not a temporary's name
        {"a.jpg", false},
        {".x.tmp-1.jpg.tmp-" + host + "-" + dead + "-1-2", true},        // a target whose own name holds the mark
        {".b.png.tmp-" + host + "-" + dead + "-9-9", true},              // any target of this host's dead writers
    };
    for (const auto& c : cases) testsupport::writeFile(dir / c.name, "x");
    const auto found = findAbandonedTemporaries(dir);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(std::count(found.begin(), found.end(), dir / c.name), c.abandoned ? 1 : 0);
    }
}

// A symbolic link as the target: written through (a shared settings file) or
// replaced (an output, which must never overwrite what the link names). A
// target whose name leaves no room for the temporary's marks is written too.
TEST_F(AtomicFileTest, LinksAreWrittenThroughOrReplacedAsAskedAndLongNamesFit) {
    const struct { const char* label; AtLink atLink; bool linkStays; } cases[] = {
        {"write through", AtLink::WriteThrough, true}, {"replace", AtLink::Replace, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir);
        fs::create_directories(dir / "elsewhere");
        testsupport::writeFile(dir / "elsewhere/photo.jpg", "original");
        fs::create_symlink("elsewhere/photo.jpg", dir / "out.jpg");
        ASSERT_TRUE(writeFileAtomically(dir / "out.jpg", "new", c.atLink).ok());
        EXPECT_EQ(fs::is_symlink(dir / "out.jpg"), c.linkStays);
        EXPECT_EQ(testsupport::readFile(dir / "out.jpg"), "new");
        EXPECT_EQ(testsupport::readFile(dir / "elsewhere/photo.jpg"), c.linkStays ? "new" : "original");
        EXPECT_FALSE(hasTemporary());
    }
    const fs::path longest = dir / (std::string(251, 'n') + ".jpg");
    const Fallible written = writeFileAtomically(longest, "bytes");
    EXPECT_TRUE(written.ok()) << written.error;
    EXPECT_EQ(testsupport::readFile(longest), "bytes");
    EXPECT_FALSE(hasTemporary());
}

// A child writes a large file; when its temporary appears it gets a signal.
TEST_F(AtomicFileTest, ATerminationSignalDuringAWriteRemovesTheTemporary) {
    // ignoredBefore: the process was started with the signal ignored (nohup), which the handlers keep.
    const struct { const char* label; int signal; bool handlers; bool ignoredBefore = false; } cases[] = {
        {"SIGTERM", SIGTERM, true}, {"SIGINT", SIGINT, true}, {"SIGHUP", SIGHUP, true},
        {"SIGTERM without the handlers", SIGTERM, false}, {"SIGKILL cannot be handled", SIGKILL, true},
        {"SIGHUP under nohup", SIGHUP, true, true}};
    const std::string bytes(96u << 20, 'v');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const fs::path target = dir / "out.jpg";
        const pid_t child = fork();
        if (child == 0) {
            if (c.ignoredBefore) signal(c.signal, SIG_IGN);
            if (c.handlers) removeTemporariesOnTermination();
            _exit(writeFileAtomically(target, bytes).ok() ? 0 : 3);
        }
        testsupport::waitFor([&] { return hasTemporary() || fs::exists(target); }, 20);
        ASSERT_TRUE(hasTemporary()) << "the write ended before it could be interrupted";
        kill(child, c.signal);
        int status = 0;
        waitpid(child, &status, 0);
        if (c.ignoredBefore) {  // the write went on to its end
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(fs::file_size(target), bytes.size());
            EXPECT_FALSE(hasTemporary());
            continue;
        }
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        EXPECT_FALSE(fs::exists(target));
        const auto abandoned = findAbandonedTemporaries(dir);
        if (c.signal == SIGKILL || !c.handlers) {
            EXPECT_EQ(abandoned.size(), 1u);  // left behind, and found
        } else {
            EXPECT_FALSE(hasTemporary());
            EXPECT_TRUE(abandoned.empty());
        }
    }
}

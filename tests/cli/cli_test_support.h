// What the command-line tests share: vistereo-cli started with fork/exec in a working directory of its own
// (input/ with left/ and right/, output/, a registry of three lenses, the second with a bad radius mode), its
// exit status and its two streams, and small noise pictures to convert; a command run in this process; the
// numbers of its one-line JSON; the video commands' takes, made once a suite.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/scratch.h"
#include "tests/support/strict_json.h"
#include "videofile/video_reader.h"

namespace vistereo::testsupport {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

inline Args with(Args args, const Args& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A command's entry point run in this process: its exit status and its two streams.
struct Outcome { int status; std::string out, err; };
using Command = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);
inline Outcome call(Command command, const Args& args) {
    std::ostringstream out, err;
    const int status = command(args, out, err);
    return {status, out.str(), err.str()};
}

// What --json promises whatever the outcome: standard output holds exactly one JSON object on one line (parsed by
// a strict reader: a byte that is not UTF-8 breaks it), whose "ok" says whether the exit status is 0, whose
// "error" is null exactly then, and whose "exit_status" and "exit_meaning" tell the status. Returns the object.
inline JsonValue oneJsonAnswer(const std::string& out, int status) {
    std::string error;
    const std::optional<JsonValue> parsed = StrictJson::parse(out, error);
    EXPECT_TRUE(parsed) << error << " in: " << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    if (!parsed) return {};
    EXPECT_EQ(parsed->kind, JsonValue::Kind::Object) << out;
    EXPECT_EQ(parsed->keys.size(), parsed->members.size()) << "a key given twice: " << out;
    const JsonValue* ok = parsed->member("ok");
    const JsonValue* error_ = parsed->member("error");
    const JsonValue* exit = parsed->member("exit_status");
    const JsonValue* meaning = parsed->member("exit_meaning");
    EXPECT_TRUE(ok && error_ && exit && meaning) << out;
    if (!ok || !error_ || !exit || !meaning) return *parsed;
    EXPECT_EQ(ok->boolean, status == 0) << out;
    EXPECT_EQ(error_->isNull(), status == 0) << out;
    EXPECT_EQ(exit->number, status) << out;
    EXPECT_EQ(meaning->text, status == 0 ? "done" : status == 2 ? "usage error" : "refused or failed") << out;
    return *parsed;
}

// The number after "key": in one-line JSON; not a number (which every comparison fails) when the key is missing.
inline double field(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    EXPECT_NE(at, std::string::npos) << key << " in " << json;
    return at == std::string::npos ? std::nan("") : std::atof(json.c_str() + at + key.size() + 4);
}

// The numbers of the array after "key": in one-line JSON; none when the key is missing.
inline std::vector<double> numbers(const std::string& json, const std::string& key) {
    std::vector<double> values;
    size_t at = json.find("\"" + key + "\": [");
    if (at == std::string::npos) return values;
    const size_t end = json.find(']', at);
    for (at = json.find('[', at) + 1; at < end; at = json.find(',', at) + 1) {
        values.push_back(std::atof(json.c_str() + at));
        if (json.find(',', at) > end) break;
    }
    return values;
}

// Sends `signal` to a started process and waits for it: whether that signal is what ended it.
inline bool endedBy(pid_t child, int signal) {
    kill(child, signal);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

// Starts vistereo-cli in scratch/ (its current directory, where its two streams go too) with no input; returns the
// process. Everything the child needs is made before the fork, so that it only opens files and executes. With
// `ignoreHangUp` it starts as under nohup; with `asNobody` a root test drops to the user nobody in the child, so
// that a file's permissions hold for it.
inline pid_t startCli(const Args& args, const fs::path& scratch, bool ignoreHangUp = false, bool asNobody = false) {
    const std::string out = (scratch / "stdout.txt").string(), err = (scratch / "stderr.txt").string();
    std::vector<char*> argv{const_cast<char*>(VISTEREO_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Emptied here, not only in the child: a caller that waits for words in them must not find the last run's.
    std::ofstream(out, std::ios::trunc), std::ofstream(err, std::ios::trunc);
    const pid_t child = fork();
    if (child == 0) {
        if (ignoreHangUp) signal(SIGHUP, SIG_IGN);
        if (chdir(scratch.c_str()) != 0) _exit(126);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        execv(VISTEREO_CLI, argv.data());
        _exit(127);
    }
    return child;
}

// A working directory with input/ (left/ and right/ in it for batches), output/ and a registry of three lenses,
// the second with a bad radius mode; XDG_CONFIG_HOME points at config/ beside them.
class CliTest : public ScratchTest {
public:  // the probe tables arrange the fixture directly
    struct Run { int status = -1; std::string out, err; };
    void SetUp() override {
        ScratchTest::SetUp();
        for (const char* sub : {"input/left", "input/right", "output", "scratch"}) fs::create_directories(dir / sub);
        // The user's lens file lies in the scratch folder; the real one is never read.
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        writeFile(dir / "Vistereo.ini", recordText("Equisolid") + recordText("Broken", {"5", "0", "1", "0", "0", "0"}) +
                                            recordText("Equisolid", {"0", "0", "0", "0", "0", "0"}));
    }
    // The run's exit status (-1 when a signal ended it, -2 when it was still running after `seconds` and was
    // killed) and its output.
    Run cli(const Args& args, double seconds = 600, bool asNobody = false) {
        return finish(startCli(args, dir / "scratch", false, asNobody), dir / "scratch", seconds);
    }
    // Waits for a started process (at most `seconds`, then kills it).
    Run finish(pid_t child, const fs::path& scratch, double seconds = 600) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int raw = 0;
        while (waitpid(child, &raw, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, &raw, 0);
                return {-2, readFile(scratch / "stdout.txt"), readFile(scratch / "stderr.txt")};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(scratch / "stdout.txt"), readFile(scratch / "stderr.txt")};
    }
    // Noise (a seed per picture) at input/`name`.
    void writeNoise(const std::string& name, int w, int h, int seed = 0) {
        cv::Mat m(h, w, CV_8UC3);
        cv::RNG(seed).fill(m, cv::RNG::UNIFORM, 0, 256);
        ASSERT_TRUE(cv::imwrite((dir / "input" / name).string(), m));
    }
    // The pair convert reads by default: input/L.jpg and input/R.jpg.
    void writeImages() { writeNoise("L.jpg", 60, 40, 1), writeNoise("R.jpg", 60, 40, 2); }
    void writePair(const std::string& name, int w, int h, int seed) {
        writeNoise("left/" + name, w, h, seed), writeNoise("right/" + name, w, h, seed + 100);
    }
    Args convert(const Args& extra = {}, const std::string& rightLens = "#3", const std::string& points = kPoints) {
        return with({"convert", "-C", dir.string(), "--left-lens", "Equisolid", "--right-lens", rightLens, "--points",
                     points, "--height", "32"}, extra);
    }
    Args batch(const Args& extra = {}) {
        return with({"batch", "-C", dir.string(), "--left-lens", "Equisolid", "--right-lens", "#3", "--points", kPoints},
                    extra);
    }
    std::vector<std::string> outputs(const std::string& folder = "output") const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir / folder))
            names.push_back(e.path().filename().string());  // a batch leaves no lock file behind
        std::sort(names.begin(), names.end());
        return names;
    }
    // Within every picture of the fixture (the smallest 40 x 30) and its lenses' image circles.
    static constexpr const char* kPoints = "10,31,14,32,10,21,12,22";
};

// The video commands' tests: the suite's takes are made once, in a folder of their own that `takeFolder` makes,
// and copied into input/ for each test; the lens #1 of the working folder is an equisolid one.
class VideoTakeTest : public CliTest {
protected:
    static const fs::path& takeFolder(const std::string& name) {
        media::silenceVideoLibraries();
        shared_ = fs::temp_directory_path() / (name + "_" + std::to_string(getpid()));
        fs::create_directories(shared_);
        return shared_;
    }
    static void TearDownTestSuite() { fs::remove_all(shared_); }
    void SetUp() override {
        CliTest::SetUp();
        for (const auto& e : fs::directory_iterator(shared_)) fs::copy_file(e.path(), dir / "input" / e.path().filename());
    }
    static inline fs::path shared_;
    static inline std::string points_;  // A and B of the suite's first take
};

}  // namespace vistereo::testsupport

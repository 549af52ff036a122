// Pieces the file-touching tests share: a fresh directory per test, whole-file reads and writes, lens records
// in the registry file's format, and a bounded wait for another process or thread.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace vistereo::testsupport {

// Waits up to `seconds` for `ready`, looking every 200 microseconds: what waits on another process or thread
// fails instead of hanging. Returns whether it became ready.
inline bool waitFor(const std::function<bool()>& ready, double seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return ready();
}

inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// What a program prints on its standard output (its standard error discarded), run without a shell; empty when
// it cannot be run or fails.
inline std::string toolOutput(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (args.empty() || pipe(pipeFds) != 0) return {};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(pipeFds[0]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : std::string();
}

// Whether a program of that name is on the PATH.
inline bool haveTool(const std::string& name) { return !toolOutput({"sh", "-c", "command -v " + name}).empty(); }

// One record as a hand-edited file holds it: the name, 17 empty text lines, the six integer lines.
inline std::string recordText(const std::string& name,
                              const std::vector<std::string>& integers = {"0", "0", "1", "0", "0", "0"}) {
    std::string text = name + "\r\n";
    for (int i = 0; i < 17; ++i) text += "\r\n";
    for (const std::string& value : integers) text += value + "\r\n";
    return text;
}

// `dir`: a directory of its own for each test (named after the test and the process), removed afterwards.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir = std::filesystem::temp_directory_path() / ("vistereo_" + std::to_string(::getpid()) + "_" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

public:
    std::filesystem::path dir;
};

}  // namespace vistereo::testsupport

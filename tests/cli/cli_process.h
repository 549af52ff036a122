// vistereo-cli as a process of its own, for the tests that watch its exit status or send it a signal.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vistereo::testsupport {

// Starts vistereo-cli with no input and its output in scratch/; returns the process. Everything the child needs is
// made before the fork, so that it only opens files and executes.
inline pid_t startCli(const std::vector<std::string>& args, const std::filesystem::path& scratch) {
    const std::string out = (scratch / "stdout.txt").string(), err = (scratch / "stderr.txt").string();
    std::vector<char*> argv{const_cast<char*>(VISTEREO_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        execv(VISTEREO_CLI, argv.data());
        _exit(127);
    }
    return child;
}

}  // namespace vistereo::testsupport

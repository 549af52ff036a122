// The subcommands of vistereo-cli. Each takes its arguments (after the
// subcommand's name) and its output streams and returns the exit status:
// 0 success, 1 refused or failed, 2 usage error.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vistereo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

int runBatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runConvertCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runLensCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runAlignCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runVideoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runVideoJoinCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runMatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// "vistereo-cli: error: <text>" on err.
void printError(std::ostream& err, const std::string& text);

// A usage error of a subcommand: the error, its usage lines and a pointer to
// its help; returns kExitUsage.
int usageError(std::ostream& err, const std::string& text, const std::string& usage, const std::string& command);

}  // namespace vistereo::cli

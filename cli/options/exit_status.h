// How a command of vistereo-cli ends: its exit status (0 success, 1 refused
// or failed, 2 usage error) and the way it tells an error or a usage error
// on the error stream.
#pragma once

#include <ostream>
#include <string>

namespace vistereo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// "vistereo-cli: error: <text>" on err.
void printError(std::ostream& err, const std::string& text);

// A usage error of a subcommand: the error, its usage lines and a pointer to
// its help; returns kExitUsage.
int usageError(std::ostream& err, const std::string& text, const std::string& usage, const std::string& command);

}  // namespace vistereo::cli

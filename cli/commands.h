// The subcommands of vistereo-cli. Each takes its arguments (after the
// subcommand's name) and its output streams and returns its exit status
// (cli/options/exit_status.h).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/options/exit_status.h"

namespace vistereo::cli {

int runBatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runConvertCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runLensCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runAlignCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runVideoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runVideoJoinCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int runMatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vistereo::cli

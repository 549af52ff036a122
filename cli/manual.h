// The manual pages of vistereo-cli(1) and vistereo(1) and the bash completion
// of vistereo-cli, made from the command catalogue at build time, so what
// they list is what the parser accepts.
#pragma once

#include <string>

namespace vistereo::cli {

// roff (man macros) text of the manual pages.
std::string cliManualPage();
std::string desktopManualPage();

// A bash completion script for vistereo-cli: commands, their options, lens
// names of Vistereo.ini (of -C DIR, or of the current directory) after
// --left-lens and --right-lens, folders after DIR options and files
// elsewhere.
std::string bashCompletion();

}  // namespace vistereo::cli

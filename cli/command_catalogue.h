// Every command of vistereo-cli with its usage, its description and its
// option table, in the order the program's help lists them. The help of each
// command, the program's help, the manual pages and the shell completion are
// all made from this one list, so none of them can drift from the parser.
#pragma once

#include <ostream>
#include <span>
#include <string>

#include "cli/options/option_table.h"

namespace vistereo::cli {

struct CommandHelp {
    const char* name;         // as typed after vistereo-cli: "convert", "lens list"
    const char* summary;      // one line for the program's command list
    const char* usage;        // "usage: vistereo-cli ..." lines, each ending in a newline
    const char* description;  // what the command does (may be empty), without a final newline
    std::span<const OptionSpec> options;
};

// Defined beside each command's option table.
extern const CommandHelp kConvertHelp;
extern const CommandHelp kBatchHelp;
extern const CommandHelp kVideoHelp;
extern const CommandHelp kVideoJoinHelp;
extern const CommandHelp kMatchHelp;
extern const CommandHelp kAlignHelp;
extern const CommandHelp kCheckHelp;
extern const CommandHelp kLensListHelp;
extern const CommandHelp kLensShowHelp;
extern const CommandHelp kLensAddHelp;
extern const CommandHelp kLensImportHelp;
extern const CommandHelp kLensRemoveHelp;
extern const CommandHelp kLensDetectHelp;
extern const CommandHelp kLensCalibrateHelp;

// One worked example of a command: the whole command line as typed in a
// shell, and what it does.
struct CommandExample {
    const char* line;  // "vistereo-cli convert ..."
    const char* what;
};

// How a command is used: two or three examples, and what its exit status 1
// means for it (0 is success and 2 a usage error for every command).
struct CommandUse {
    std::span<const CommandExample> examples;
    const char* failure;
};
CommandUse commandUse(const CommandHelp& command);

// The commands in the order of the program's help.
std::span<const CommandHelp* const> commandCatalogue();

// What the program is, for its help and its manual page.
inline constexpr const char* kProgramDescription =
    "Turns a stereo pair of fisheye photographs into one side-by-side 180-degree\n"
    "equirectangular image, with the lenses registered in Vistereo.ini.";

// A command's --help: usage, description, options, examples, exit statuses.
void printCommandHelp(std::ostream& out, const CommandHelp& command);
// vistereo-cli --help: usage, description, the command list, the global options.
void printProgramHelp(std::ostream& out);

}  // namespace vistereo::cli

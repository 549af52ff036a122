#include "cli/command_catalogue.h"

#include <array>
#include <string>

namespace vistereo::cli {

std::span<const CommandHelp* const> commandCatalogue() {
    static constexpr std::array<const CommandHelp*, 14> commands = {
        &kConvertHelp,    &kBatchHelp,      &kVideoHelp,      &kVideoJoinHelp, &kMatchHelp,        &kAlignHelp,
        &kCheckHelp,      &kLensListHelp,   &kLensShowHelp,   &kLensAddHelp,      &kLensImportHelp,
        &kLensRemoveHelp, &kLensDetectHelp, &kLensCalibrateHelp};
    return commands;
}

void printCommandHelp(std::ostream& out, const CommandHelp& command) {
    out << command.usage;
    if (*command.description) out << "\n" << command.description << "\n\n";
    out << formatOptionHelp(command.options);
}

void printProgramHelp(std::ostream& out) {
    out << "usage: vistereo-cli <command> [options]\n\n" << kProgramDescription << "\n\ncommands:\n";
    for (const CommandHelp* command : commandCatalogue()) {
        const std::string name = command->name;
        out << "  " << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') << command->summary << "\n";
    }
    out << "\noptions:\n"
           "  -h, --help     show this help ('vistereo-cli <command> --help' for a command's options)\n"
           "  --version      show the version\n";
}

}  // namespace vistereo::cli

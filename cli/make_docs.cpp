// make_docs OUTDIR: writes the manual pages vistereo-cli.1 and vistereo.1 and
// the bash completion vistereo-cli.bash into OUTDIR, from the same command
// catalogue that drives vistereo-cli's parser and help. The build runs it.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli/manual.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_docs OUTDIR\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    const std::pair<const char*, std::string> files[] = {{"vistereo-cli.1", vistereo::cli::cliManualPage()},
                                                         {"vistereo.1", vistereo::cli::desktopManualPage()},
                                                         {"vistereo-cli.bash", vistereo::cli::bashCompletion()}};
    for (const auto& [name, text] : files) {
        std::ofstream out(dir / name, std::ios::binary);
        out << text;
        if (!out.flush()) {
            std::cerr << "make_docs: cannot write " << (dir / name).string() << "\n";
            return 1;
        }
    }
    return 0;
}

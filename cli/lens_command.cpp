// vistereo-cli lens list: the registered camera-and-lens records.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli/commands.h"
#include "cli/common.h"
#include "cli/option_table.h"

namespace vistereo::cli {
namespace {

constexpr std::array<OptionSpec, 2> kLensOptions{{
    {"directory", 'C', "DIR", "working directory holding Vistereo.ini (default: .)"},
    {"help", 'h', nullptr, "show this help"},
}};

std::string radiusText(const LensRecord& r) {
    switch (r.radiusMode) {
        case 0: return "circular fisheye";
        case 1: return "diagonal fisheye";
        case 2: return "magnification " + r.magnification + " x height/2";
        case 3: return std::to_string(r.radiusDots) + " dots";
        default: return "unknown radius mode " + std::to_string(r.radiusMode);
    }
}

std::string mappingText(const LensRecord& r) {
    switch (r.mappingKind) {
        case 0: return "orthographic sin(1.0θ)";
        case 1: return "equisolid angle sin(0.5θ)";
        case 2: return "sin(kθ), k=" + r.sineK;
        case 3: return "quadratic, θ bounds " + r.theta1 + ", " + r.theta2 + ", " + r.theta3;
        default: return "unknown mapping kind " + std::to_string(r.mappingKind);
    }
}

std::string axisText(const LensRecord& r) {
    switch (r.axisMode) {
        case 0: return "image centre";
        case 1: return "(" + std::to_string(r.axisX) + ", " + std::to_string(r.axisY) + ")";
        default: return "unknown axis mode " + std::to_string(r.axisMode);
    }
}

}  // namespace

int runLensCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const std::string usage = "usage: vistereo-cli lens list [-C DIR]\n";
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        (args.empty() ? err : out) << usage << formatOptionHelp(kLensOptions);
        return args.empty() ? kExitUsage : kExitOk;
    }
    if (args[0] != "list") return usageError(err, "unknown lens command '" + args[0] + "'", usage, "lens");
    const ParsedOptions options = parseOptions({args.begin() + 1, args.end()}, kLensOptions);
    if (!options.error.empty()) return usageError(err, options.error, usage, "lens");
    if (options.has("help")) {
        out << usage << formatOptionHelp(kLensOptions);
        return kExitOk;
    }
    // The registry loader takes a missing file for an empty registry, as the
    // desktop program must; a listing says so instead.
    const std::filesystem::path file = registryFile(options.value("directory", "."));
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(file, ec);
    if (!std::filesystem::exists(status)) {
        printError(err, "no lens registry: " + file.string() + " does not exist");
        return kExitFailed;
    }
    if (!std::filesystem::is_regular_file(status)) {
        printError(err, "the lens registry " + file.string() + " is not a regular file");
        return kExitFailed;
    }
    if (std::FILE* readable = std::fopen(file.c_str(), "rb")) {
        std::fclose(readable);
    } else {
        printError(err, "cannot read the lens registry " + file.string() + ": " + std::strerror(errno));
        return kExitFailed;
    }
    LensRegistry registry;
    LoadLensRegistry(registry, file);
    for (int i = 0; i < registry.count; ++i) {
        const LensRecord& r = registry.records[i];
        out << "#" << (i + 1) << "\t" << r.name << "\tradius: " << radiusText(r) << "\tmapping: " << mappingText(r)
            << "\taxis: " << axisText(r) << "\n";
    }
    return kExitOk;
}

}  // namespace vistereo::cli

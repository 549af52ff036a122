#include "registry/lens_sources.h"

namespace vistereo {

const char* describeLensSourceKind(LensSourceKind kind) {
    switch (kind) {
        case LensSourceKind::WorkingFolder: return "working folder";
        case LensSourceKind::LensesOption: return "--lenses file";
        case LensSourceKind::UserFile: return "user file";
    }
    return "";
}

std::optional<std::filesystem::path> userLensFile(const char* xdgConfigHome, const char* home) {
    std::filesystem::path base;
    if (xdgConfigHome && *xdgConfigHome && std::filesystem::path(xdgConfigHome).is_absolute())
        base = xdgConfigHome;
    else if (home && *home && std::filesystem::path(home).is_absolute())
        base = std::filesystem::path(home) / ".config";
    else
        return std::nullopt;
    return base / "vistereo" / kLensRegistryFileName;
}

LensPosition LensCatalogue::byName(const std::string& name) const {
    for (const LensPosition& p : order)
        if (record(p).name == name) return p;
    return {};
}

LensPosition LensCatalogue::hiddenBy(size_t k) const {
    const std::string& name = record(order[k]).name;
    for (size_t j = 0; j < k; ++j)
        if (record(order[j]).name == name) return order[j];
    return {};
}

LensCatalogue loadLensCatalogue(std::span<const LensSource> sources) {
    LensCatalogue catalogue;
    catalogue.sources.reserve(sources.size());
    for (const LensSource& source : sources) {
        LoadedLensSource& loaded = catalogue.sources.emplace_back();
        loaded.source = source;
        LoadLensRegistry(loaded.registry, source.file, &loaded.report);
        const int s = static_cast<int>(catalogue.sources.size()) - 1;
        for (int i = 0; i < loaded.registry.count; ++i) catalogue.order.push_back({s, i});
    }
    return catalogue;
}

LensLookup findLens(const LensCatalogue& catalogue, const std::string& lens) {
    LensLookup found;
    std::string files;
    for (size_t s = 0; s < catalogue.sources.size(); ++s)
        files += (s == 0 ? "" : s + 1 == catalogue.sources.size() ? " or " : ", ") +
                 catalogue.sources[s].source.file.string();
    if (!lens.empty() && lens[0] == '#') {
        const std::string digits = lens.substr(1);
        size_t k = 0;
        bool number = !digits.empty() && digits.size() < 6;
        for (const char c : digits) {
            if (c < '0' || c > '9') number = false;
            k = k * 10 + static_cast<size_t>(c - '0');
        }
        if (!number || k < 1 || k > catalogue.order.size()) {
            found.error = "no lens record " + lens + " in " + files + " (they hold " +
                          std::to_string(catalogue.order.size()) + ")";
            return found;
        }
        found.position = catalogue.order[k - 1];
        return found;
    }
    found.position = catalogue.byName(lens);
    if (!found.position.valid())
        found.error = "no lens named \"" + lens + "\" in " + files + " (see 'vistereo-cli lens list')";
    return found;
}

}  // namespace vistereo

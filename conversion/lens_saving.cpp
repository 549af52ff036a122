// A refined lens saved as a registry record.
#include "conversion/lens_saving.h"

#include "base/message_text.h"
#include "lens/refined_record.h"
#include "registry/registry_writes.h"

namespace vistereo {

Fallible admitLensSaving(const std::filesystem::path& file, const std::string& name) {
    if (std::string problem = lensNameProblem(name); !problem.empty()) return Fallible{std::move(problem)};
    LensRegistry registry;
    RegistryLoadReport report;
    LoadLensRegistry(registry, file, &report);
    if (report.found && !report.problems.empty())
        return Fallible{file.string() + " has lines the reader cannot take; mend them first, they would be lost"};
    for (int i = 0; i < registry.count; ++i)
        if (registry.records[i].name == name)
            return Fallible{"record #" + std::to_string(i + 1) + " of " + file.string() + " already has that name; give another suffix"};
    if (registry.count >= kMaxLensRecords)
        return Fallible{file.string() + " already holds " + std::to_string(kMaxLensRecords) +
               " records, the most it can; delete one first"};
    return {};
}

LensSaved saveRefinedLens(const LensSaving& saving, ImageSize rightImage, const RefinedLenses& lenses,
                          const std::string& setAside) {
    LensSaved saved;
    const std::string nothing = "nothing saved to " + saving.file.string() + ": ";
    if (!setAside.empty()) {
        saved.error = nothing + setAside;
        return saved;
    }
    const RefinedRecord refined =
        refinedLensRecord(saving.record, rightImage, lenses.corrections[1], lenses.laws[1], saving.name);
    saved.notes = refined.notes;
    if (!refined.error.empty()) {
        saved.error = nothing + "the refined lens cannot be a record: " + refined.error;
        return saved;
    }
    // Added under the registry's lock to the file as it is now: it may have
    // changed while the pictures were aligned.
    const RegistryAddition added = addLensRecord(saving.file, refined.record);
    if (!added.warning.empty()) saved.notes.push_back(added.warning);
    if (!added.ok()) {
        const std::string file = saving.file.string();
        saved.error = "cannot save \"" + visibleText(saving.name) + "\"" +
                      (added.error.find(file) == std::string::npos ? " to " + file : std::string()) + ": " + added.error;
        return saved;
    }
    saved.recordNumber = added.recordNumber;
    return saved;
}

}  // namespace vistereo

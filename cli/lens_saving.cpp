#include "cli/lens_saving.h"

#include "cli/commands.h"
#include "cli/common.h"
#include "lens/refined_record.h"
#include "base/message_text.h"
#include "registry/registry_writes.h"

namespace vistereo::cli {
namespace {

// Why `file` (its records as read now) could not take a record `name`, or
// nothing: the checks the save makes again under the registry's lock.
std::string roomProblem(const std::filesystem::path& file, const std::string& name) {
    if (const std::string problem = lensNameProblem(name); !problem.empty()) return problem;
    LensRegistry registry;
    RegistryLoadReport report;
    LoadLensRegistry(registry, file, &report);
    if (report.found && !report.problems.empty())
        return file.string() + " has lines the reader cannot take; mend them first, they would be lost";
    for (int i = 0; i < registry.count; ++i)
        if (registry.records[i].name == name)
            return "record #" + std::to_string(i + 1) + " of " + file.string() + " already has that name; give another suffix";
    if (registry.count >= kMaxLensRecords)
        return file.string() + " already holds " + std::to_string(kMaxLensRecords) +
               " records, the most it can; delete one first";
    return {};
}

}  // namespace

LensSavingChoice chooseLensSaving(const ParsedOptions& options, const std::filesystem::path& workingDirectory,
                                  bool refining, std::ostream& err) {
    LensSavingChoice choice;
    if (!options.has("save-lenses")) return choice;
    if (!refining) {
        choice.usage = "--save-lenses goes with --refine-lenses";
        return choice;
    }
    const LensesLoad load = loadLenses(workingDirectory, options);
    const LensLookup found = load.error.empty() ? findLens(load.catalogue, options.value("right-lens"))
                                                : LensLookup{{load.error}, {}};
    if (!found.error.empty()) {
        choice.usage = found.error;
        return choice;
    }
    LensSaving saving;
    saving.file = load.catalogue.sourceOf(found.position).file;
    saving.record = load.catalogue.record(found.position);
    saving.name = saving.record.name + options.value("save-lenses");
    if (const std::string problem = roomProblem(saving.file, saving.name); !problem.empty())
        err << "vistereo-cli: warning: the refined lens cannot be saved as \"" << visibleText(saving.name)
            << "\" unless that changes: " << problem << " (the rest goes on; the command ends with exit 1)\n";
    choice.saving = std::move(saving);
    return choice;
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
    saved.ok = true;
    saved.recordNumber = added.recordNumber;
    return saved;
}

void printLensSaved(const LensSaving& saving, const LensSaved& saved, std::ostream& out, std::ostream& err) {
    if (!saved.ok) {
        printError(err, saved.error);
        return;
    }
    out << "saved the refined right lens as record #" << saved.recordNumber << " \"" << saving.name << "\" of "
        << saving.file.string() << "\n";
    for (const std::string& note : saved.notes) out << "  " << note << "\n";
}

std::string lensSavedJson(const LensSaving& saving, const LensSaved& saved) {
    std::string notes;
    for (const std::string& note : saved.notes) notes += (notes.empty() ? "" : ", ") + jsonString(note);
    std::string text = "{\"ok\": " + std::string(saved.ok ? "true" : "false") + ", \"name\": " + jsonString(saving.name) +
                       ", \"file\": " + jsonString(saving.file.string());
    if (saved.ok) text += ", \"record\": " + std::to_string(saved.recordNumber);
    text += ", \"notes\": [" + notes + "]";
    if (!saved.ok) text += ", \"reason\": " + jsonString(saved.error);
    return text + "}";
}

}  // namespace vistereo::cli

#include "cli/lens_saving.h"

#include "cli/commands.h"
#include "cli/common.h"
#include "lens/refined_record.h"

namespace vistereo::cli {
namespace {

// Why `file` (its records in `registry`) cannot take a record `name`, or nothing.
std::string roomProblem(const LensRegistry& registry, const std::filesystem::path& file, const std::string& name) {
    for (int i = 0; i < registry.count; ++i)
        if (registry.records[i].name == name)
            return "cannot save \"" + name + "\": record #" + std::to_string(i + 1) + " of " + file.string() +
                   " already has that name; give another suffix";
    if (registry.count >= kMaxLensRecords)
        return "cannot save \"" + name + "\": " + file.string() + " already holds " + std::to_string(kMaxLensRecords) +
               " records, the most it can; delete one first";
    return {};
}

}  // namespace

bool loadForRewrite(const std::filesystem::path& file, const std::string& what, LensRegistry& registry,
                    std::ostream& err) {
    RegistryLoadReport report;
    LoadLensRegistry(registry, file, &report);
    if (!report.found && report.problems.front().text != "does not exist") {
        printError(err, file.string() + " " + report.problems.front().text);
        return false;
    }
    if (report.found && !report.problems.empty()) {
        for (const std::string& line : report.lines()) err << "vistereo-cli: warning: " << line << "\n";
        printError(err, what + ": " + file.string() + " has lines the reader cannot take; mend them first, they would be lost");
        return false;
    }
    return true;
}

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
    const std::string suffix = options.value("save-lenses");
    if (suffix.empty()) {
        choice.usage = "--save-lenses needs a SUFFIX: the new record beside \"" + saving.record.name + "\" in " +
                       saving.file.string() + " must not take its name";
        return choice;
    }
    saving.name = saving.record.name + suffix;
    LensRegistry registry;
    if (!loadForRewrite(saving.file, "cannot save \"" + saving.name + "\"", registry, err)) {
        choice.failed = true;
        return choice;
    }
    if (const std::string problem = roomProblem(registry, saving.file, saving.name); !problem.empty()) {
        printError(err, problem);
        choice.failed = true;
        return choice;
    }
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
    // Read again: the file may have changed while the pictures were aligned.
    LensRegistry registry;
    LoadLensRegistry(registry, saving.file);
    if (const std::string problem = roomProblem(registry, saving.file, saving.name); !problem.empty()) {
        saved.error = problem;
        return saved;
    }
    switch (RegisterLens(registry, refined.record, saving.file)) {
        case RegisterStatus::Registered:
            saved.ok = true;
            saved.recordNumber = registry.count;
            return saved;
        case RegisterStatus::EmptyName: saved.error = nothing + "the name is empty"; return saved;
        case RegisterStatus::RegistryFull:
            saved.error = roomProblem(registry, saving.file, saving.name);
            return saved;
        case RegisterStatus::WriteFailed:
            saved.error = "cannot write " + saving.file.string() + "; it is unchanged";
            return saved;
    }
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

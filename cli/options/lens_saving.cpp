#include "cli/options/lens_saving.h"

#include "cli/options/exit_status.h"
#include "cli/options/common.h"
#include "base/message_text.h"

namespace vistereo::cli {

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
    if (const Fallible admitted = admitLensSaving(saving.file, saving.name); !admitted.ok())
        err << "vistereo-cli: warning: the refined lens cannot be saved as \"" << visibleText(saving.name)
            << "\" unless that changes: " << admitted.error << " (the rest goes on; the command ends with exit 1)\n";
    choice.saving = std::move(saving);
    return choice;
}

void printLensSaved(const LensSaving& saving, const LensSaved& saved, std::ostream& out, std::ostream& err) {
    if (!saved.ok()) {
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
    std::string text = "{\"ok\": " + std::string(saved.ok() ? "true" : "false") + ", \"name\": " + jsonString(saving.name) +
                       ", \"file\": " + jsonString(saving.file.string());
    if (saved.ok()) text += ", \"record\": " + std::to_string(saved.recordNumber);
    text += ", \"notes\": [" + notes + "]";
    if (!saved.ok()) text += ", \"reason\": " + jsonString(saved.error);
    return text + "}";
}

}  // namespace vistereo::cli

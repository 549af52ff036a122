// Arbitrary bytes as Vistereo.ini, read with the reader's report, and every
// record it keeps put through the lens value checks. The report changes
// nothing the reader keeps and names only lines the file has; the checks
// never crash and name a field, a value and a reason; and a record they pass
// for an image maps every angle out to its circle's rim to a finite image
// radius that never shrinks by more than the checks' slack for a rounded,
// hand-typed law (a thousandth of the radius), so what they let through can
// be rendered.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "lens/lens_description.h"
#include "lens/lens_selection.h"
#include "engine/lens.h"
#include "lens/lens_check.h"
#include "engine/prepare.h"
#include "registry/lens_registry.h"

namespace {

void checkRecord(const vistereo::LensRecord& record) {
    using namespace vistereo;
    if (describeLensRecord(record).empty()) std::abort();
    const LensSettings lens = lensSettingsOf(record);
    const auto problems = lensSettingsProblems(lens);
    for (const LensValueProblem& p : problems)
        if (p.field.empty() || p.value.empty() || p.reason.empty()) std::abort();
    if (!problems.empty()) return;
    for (const ImageSize size : {ImageSize{640, 480}, ImageSize{4000, 6000}}) {
        const PreparedEyes prepared = prepareEyes({lens, lens}, {size, size});
        if (!prepared.ok()) std::abort();  // the checks let no unknown code through
        const EyeGeometry& eye = prepared.eye[0];
        if (!eyeGeometryProblems(lens, eye).empty()) continue;
        double previous = -1.0;
        for (int i = 0; i <= 64; ++i) {
            const double r = radialDistance(eye, eye.circleTheta * i / 64.0);
            if (!std::isfinite(r) || r < previous - 2e-3 * eye.radius180) std::abort();
            previous = r;
        }
        if (!(previous > 0.0)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vistereo;
    static const std::string file = "/tmp/vistereo_fuzz_" + std::to_string(::getpid()) + "_lens.ini";
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    LensRegistry reported, plain;
    RegistryLoadReport report;
    LoadLensRegistry(reported, file, &report);
    LoadLensRegistry(plain, file);
    if (!report.found || reported.count != plain.count) std::abort();
    const long lines = 1 + std::count(data, data + size, uint8_t('\n'));
    for (const RegistryLineProblem& p : report.problems)
        if (p.line < 1 || p.line > lines || p.text.empty()) std::abort();
    for (int i = 0; i < reported.count; ++i) {
        if (recordLines(reported.records[i]) != recordLines(plain.records[i])) std::abort();
        checkRecord(reported.records[i]);
    }
    return 0;
}

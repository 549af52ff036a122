// Hand-edited lens records whose values no lens has: the command line's routes refuse them before rendering,
// naming the record, the field and the value; the desktop program's own run keeps rendering what the
// numbers say (and ending silently on an unknown code); lens list flags what it can judge without an image.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "conversion/lens_selection.h"
#include "conversion/run.h"
#include "engine/lens_check.h"
#include "tests/conversion/conversion_test_support.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;

namespace {

struct HandEdit {
    const char* label;
    std::function<void(LensRecord&)> edit;
    const char* message;     // what the command line says after "the right lens "Hand-edited": "
    bool needsImage = false;  // judged only against the image (lens list cannot flag it)
    ConversionStatus desktop = ConversionStatus::Written;  // what the desktop program's run ends with
};

void dots(LensRecord& r, int32_t radius) { r.radiusMode = 3, r.radiusDots = radius; }
void magnified(LensRecord& r, const char* m) { r.radiusMode = 2, r.magnification = m; }
void sine(LensRecord& r, const char* k) { r.mappingKind = 2, r.sineK = k; }
void axis(LensRecord& r, int32_t x, int32_t y) { r.axisMode = 1, r.axisX = x, r.axisY = y; }
// A continuous, rising four-segment law with r(pi/2) = 1, then the edit.
void quadratic(LensRecord& r, const std::function<void(LensRecord&)>& edit) {
    r.mappingKind = 3;
    r.theta1 = "0.4", r.theta2 = "0.8", r.theta3 = "1.2";
    r.a1 = "0", r.b1 = "0.6366", r.a2 = "0", r.b2 = "0.6366", r.c2 = "0", r.a3 = "0", r.b3 = "0.6366", r.c3 = "0";
    r.a4 = "0", r.b4 = "0.6366", r.c4 = "0";
    edit(r);
}

const std::vector<HandEdit>& handEdits() {
    static const std::vector<HandEdit> edits = {
        {"radius 0", [](LensRecord& r) { dots(r, 0); }, "radiusDots is 0: the image circle's radius must be above 0"},
        {"radius negative", [](LensRecord& r) { dots(r, -500); }, "radiusDots is -500:"},
        {"radius 2147483647", [](LensRecord& r) { dots(r, 2147483647); }, "radiusDots is 2147483647:"},
        {"magnification nan (reads as 0)", [](LensRecord& r) { magnified(r, "nan"); }, "magnification is 0:"},
        {"magnification beyond a double", [](LensRecord& r) { magnified(r, "1e999"); }, "magnification is inf:"},
        {"magnification 1e308", [](LensRecord& r) { magnified(r, "1e308"); }, "magnification is 1e+308:"},
        {"magnification -1", [](LensRecord& r) { magnified(r, "-1"); }, "magnification is -1:"},
        {"k = 0", [](LensRecord& r) { sine(r, "0"); }, "sineK is 0: k of sin(k theta) must lie above 0 and at most 1"},
        {"k = 5", [](LensRecord& r) { sine(r, "5"); }, "sineK is 5:"},
        {"k = -0.5", [](LensRecord& r) { sine(r, "-0.5"); }, "sineK is -0.5:"},
        {"axis far outside the image", [](LensRecord& r) { axis(r, 100000, 100000); },
         "axisX, axisY is 100000, 100000: the optical axis lies", true},
        {"axis beyond the radius, left of the image", [](LensRecord& r) { axis(r, -30, 24); },
         "axisX, axisY is -30, 24: the optical axis lies 30 dots outside the 64 x 48 image, farther than the radius "
         "of 24 dots", true},
        {"quadratic all zero",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.b1 = q.b2 = q.b3 = q.b4 = "0"; }); },
         "a1, b1 is 0, 0: segment 1 does not rise"},
        {"quadratic falling in its second segment",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.b2 = "-0.5", q.c2 = "0.6"; }); }, "a2, b2 is 0, -0.5:"},
        {"quadratic far beyond any image (found by fuzzing)",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.b4 = "6e65"; }); },
         "a4, b4, c4 is 0, 6e+65, 0: segment 4 reaches"},
        {"quadratic rising only below single precision (found by fuzzing)",
         [](LensRecord& r) {
             quadratic(r, [](LensRecord& q) { q.theta1 = q.theta2 = q.theta3 = "0", q.b4 = "1.2e-97"; });
         },
         "a4, b4 is 0, 1.2e-97: segment 4 does not rise between theta 0 and"},
        {"quadratic bounds out of order", [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.theta2 = "0.3"; }); },
         "theta2 is 0.3: the segment bounds must be numbers with 0 <= theta1 <= theta2 <= theta3"},
        {"quadratic dropping where a segment begins",
         [](LensRecord& r) { quadratic(r, [](LensRecord& q) { q.c3 = "-0.2"; }); }, "c3 is -0.2: the image radius drops"},
        {"equidistant circle of 400 degrees", [](LensRecord& r) { r.mappingKind = 4, r.c1 = "400"; },
         "c1 is 400: the field of view of the image circle must lie between 1 and 360"},
        {"polynomial turning back inside its circle",
         [](LensRecord& r) { r.mappingKind = 6, r.c1 = "190", r.a1 = "-0.3"; }, "a1, a2, a3, a4 is -0.3, 0, 0, 0:"},
        {"an unknown radius code (ends silently on the desktop)", [](LensRecord& r) { r.radiusMode = 9; },
         "radiusMode 9", false, ConversionStatus::InvalidLensCode},
    };
    return edits;
}

class LensValues : public testsupport::ScratchTest, public MessageSink {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }

    ConversionResult convert(const LensRecord& right, bool commandLine) {
        fs::remove_all(dir / "output");
        fs::create_directories(dir / "input"), fs::create_directories(dir / "output");
        for (const char* name : {"L.png", "R.png"}) conversiontest::writeNoise(dir / "input" / name, 64, 48, 1);
        ConversionRequest request;
        request.workingDirectory = dir;
        request.leftName = "L.png", request.rightName = "R.png", request.outputName = "out.png";
        request.lenses = {lensSettingsOf(good()), lensSettingsOf(right)};
        request.alignment = PointsAB{PointEntry{kSeparateInput, {"10", "30", "11", "31", "20", "40", "21", "41"}, ""}};
        request.outputHeight = 16;
        request.refuseImpossibleLenses = commandLine;
        messages.clear();
        return RunConversion(request, *this, RunOptions{1, {}});
    }
    static LensRecord good() {
        LensRecord r;
        r.name = "Hand-edited", r.mappingKind = 1;
        return r;
    }
    std::vector<std::string> messages;
};

}  // namespace

TEST_F(LensValues, HandEditsRefusedOnTheCommandLineRenderedOnTheDesktop) {
    ASSERT_EQ(convert(good(), true).status, ConversionStatus::Written);
    ASSERT_TRUE(lensSettingsProblems(lensSettingsOf(good())).empty());
    for (const HandEdit& e : handEdits()) {
        SCOPED_TRACE(e.label);
        LensRecord record = good();
        e.edit(record);

        EXPECT_EQ(convert(record, false).status, e.desktop);
        EXPECT_EQ(fs::exists(dir / "output/out.png"), e.desktop == ConversionStatus::Written);
        const std::vector<std::string> shown = messages;
        EXPECT_EQ(shown, e.desktop == ConversionStatus::Written ? std::vector<std::string>{"Finished converting!!!"}
                                                                   : std::vector<std::string>{});

        const ConversionResult cli = convert(record, true);
        EXPECT_NE(cli.status, ConversionStatus::Written);
        EXPECT_FALSE(fs::exists(dir / "output/out.png"));
        EXPECT_NE(cli.detail.find(e.message), std::string::npos) << cli.detail;
        if (e.desktop == ConversionStatus::Written) {
            EXPECT_EQ(cli.status, ConversionStatus::ImpossibleLens);
            EXPECT_EQ(cli.detail.rfind("the right lens \"Hand-edited\": ", 0), 0u) << cli.detail;
            EXPECT_EQ(messages, std::vector<std::string>{cli.detail});  // shown as the run's own message
        }

        // lens list and lens show judge the record alone.
        EXPECT_EQ(lensSettingsProblems(lensSettingsOf(record)).empty(), e.needsImage);
    }
}

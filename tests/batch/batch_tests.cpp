// Batch conversion: pairing by folders and by pairs file, and batches whose
// every output must hold the bytes of a single run with the same choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <istream>
#include <streambuf>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "conversion/auto_align.h"
#include "batch/batch.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"
#include "tests/support/synth.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using namespace vistereo::conversiontest;

namespace {

class BatchTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        for (const char* sub : {"input/left", "input/right", "output"}) fs::create_directories(dir / sub);
        equisolidLenses(settings.request);
        settings.request.alignment = PointsAB{PointSet::fromListOrder({20, 50, 22, 53, 30, 40, 31, 44})};
        settings.request.outputHeight = 24;
        settings.request.zenith = {5, -3, 12};
        settings.run.threads = 2;
    }
    // What a single run with the batch's choices writes for one pair (an
    // automatic alignment aligns it from its own images).
    std::string expectedBytes(const BatchPair& pair) {
        return singleRun(settings.request, dir / "single", pair.left, pair.right, pair.output.filename().string(),
                         settings.run);
    }

    BatchSettings settings;
};

}  // namespace

TEST(Pairing, PairsFileLinesBecomePairsOrNameTheirFault) {
    const PairsFileLimits small{24, 2};  // 24 bytes a line, 2 pairs
    // outputs empty: an error is expected.
    const struct { const char* label; std::string text; std::vector<std::string> outputs; const char* errorMentions = "";
                   PairsFileLimits limits = {}; } cases[] = {
        {"header, comment, blank, CRLF", "left,right,output\r\n# day one\r\n\r\n a.jpg , b.jpg \r\nc.png,d.png,x.tif\r\n",
         {"out/a.jpg", "out/x.tif"}},
        {"quoted names", "\"one, two.jpg\",\"say \"\"hi\"\".jpg\"\n", {"out/one, two.jpg"}},
        {"empty output field takes the left name", "sub/e.jpg,f.jpg,\n", {"out/e.jpg"}},
        {"one field", "a.jpg,b.jpg\nlonely.jpg\n", {}, "pairs.csv line 2: expected left,right"},
        {"four fields", "\n\na,b,c,d\n", {}, "line 3: "},
        {"empty right", "a.jpg, \n", {}, "line 1: the right image is empty"},
        {"unclosed quote", "\"a.jpg,b.jpg\n", {}, "line 1: a quoted field"},
        {"header only on the first line", "a.jpg,b.jpg\nleft,right\n", {"out/a.jpg", "out/left.jpg"}},
        {"a NUL byte in a name", std::string("a.jpg,b\0c.jpg\n", 14), {}, "line 1: the line holds a NUL byte"},
        {"two outputs of one name are the batch's to judge", "a.jpg,b.jpg\n#\nc.jpg,d.jpg,a.jpg\n", {"out/a.jpg", "out/a.jpg"}},
        {"a line at the limit, with CR LF", "\xEF\xBB\xBFleft,right\r\n" + std::string(18, 'l') + ".jpg,r\r\n",
         {"out/" + std::string(18, 'l') + ".jpg"}, "", small},
        {"a line over the limit", "a.jpg,b.jpg\n" + std::string(19, 'l') + ".jpg,r\n", {}, "line 2: longer than 24 bytes", small},
        {"a last line over the limit without its newline", "a,b\n# " + std::string(30, 'c'), {}, "line 2: longer", small},
        {"pairs beyond the limit", "a,b\n\n# three\nc,d\ne,f\n", {}, "line 5: more than 2 pairs", small},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const PairingResult r = parsePairsText(c.text, "pairs.csv", "in", "out", false, c.limits);
        std::vector<std::string> outputs;
        for (const BatchPair& p : r.pairs) outputs.push_back(p.output.generic_string());
        EXPECT_EQ(outputs, c.outputs) << r.error;
        EXPECT_NE(r.error.find(c.errorMentions), std::string::npos) << r.error;
        EXPECT_EQ(r.ok(), !c.outputs.empty());
    }
    const PairingResult quoted = parsePairsText("#\n\"say \"\"hi\"\".jpg\",b.jpg\n", "p", "in", "out", true);
    ASSERT_EQ(quoted.pairs.size(), 1u);
    EXPECT_TRUE(quoted.pairs[0].left == "in/say \"hi\".jpg" && quoted.pairs[0].line == 2);
    EXPECT_EQ(quoted.pairs[0].output.generic_string(), "out/say \"hi\"_180_LR.jpg");
}

// A pairs file that never ends its line (a device, a runaway generator) is read only to the line limit.
TEST(Pairing, AnEndlessLineIsReadOnlyToTheLimit) {
    struct Endless : std::streambuf {
        size_t served = 0;
        char block[4096];
        Endless() { std::fill(std::begin(block), std::end(block), 'x'); }
        int_type underflow() override {
            served += sizeof block;
            setg(block, block, block + sizeof block);
            return traits_type::to_int_type(block[0]);
        }
    } endless;
    std::istream in(&endless);
    const PairingResult r = readPairsStream(in, "/dev/zero", "in", "out", false, PairsFileLimits{});
    EXPECT_NE(r.error.find("/dev/zero line 1: longer than 16384 bytes"), std::string::npos) << r.error;
    EXPECT_LT(endless.served, 200000u) << "read on past the limit";
}

TEST_F(BatchTest, FoldersPairInNameOrderAndUnevenCountsNameTheLeftovers) {
    for (const char* name : {"b.jpg", "a.JPG", "c.png", ".hidden.jpg", "notes.txt"})
        writeFile(dir / "input/left" / name, "x");
    for (const char* name : {"r2.jpg", "r1.jpg", "r3.tif"}) writeFile(dir / "input/right" / name, "x");
    PairingResult r = pairFolders(dir / "input/left", dir / "input/right", dir / "output", true);
    ASSERT_TRUE(r.ok()) << r.error;
    std::vector<std::string> seen;
    for (const BatchPair& p : r.pairs)
        seen.push_back(p.left.filename().string() + "+" + p.right.filename().string() + ">" +
                       p.output.filename().string());
    EXPECT_EQ(seen, (std::vector<std::string>{"a.JPG+r1.jpg>a_180_LR.jpg", "b.jpg+r2.jpg>b_180_LR.jpg",
                                              "c.png+r3.tif>c_180_LR.jpg"}));

    for (const char* name : {"d.jpg", "e.jpg"}) writeFile(dir / "input/left" / name, "x");
    r = pairFolders(dir / "input/left", dir / "input/right", dir / "output", false);
    EXPECT_TRUE(r.pairs.empty());
    EXPECT_NE(r.error.find("holds 5 images"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("left/d.jpg " + (dir / "input/left/e.jpg").string()), std::string::npos) << r.error;
}

// Pairs of two sizes interleaved with a bad pair and an existing output, written as JPEG, PNG and a VR180 photo
// with the camera's EXIF, through a rotation and the Lanczos kernel (the points and the other kernels go through
// the dialog's and the command line's batches): every written file is the single run's, the bad pair is reported
// with the run's message and the others go on, the existing output is left alone.
TEST_F(BatchTest, EveryOutputHoldsTheSingleRunsBytesAndABadPairDoesNotStopTheBatch) {
    settings.run.interpolation = Interpolation::Lanczos;
    settings.request.keepExif = true;
    settings.request.alignment = GivenRotation{RotationMatrix{{{0.999, 0.0447, 0}, {-0.0447, 0.999, 0}, {0, 0, 1}}}};
    fs::create_directories(dir / "output/sub");
    const int widths[] = {80, 80, 80, 64, 64, 80, 80};
    const char* outputs[] = {"", "", "", ",sub/three.png", ",sub/four.vr.jpg", "", ""};
    std::string text;
    for (int k = 0; k < 7; ++k) {
        const std::string l = "left/p" + std::to_string(k) + ".jpg", r = "right/p" + std::to_string(k) + ".png";
        writeNoise(dir / "input" / l, widths[k], 60, 2 * k + 1);
        if (k != 2) writeNoise(dir / "input" / r, widths[k], 60, 2 * k + 2);
        text += l + "," + r + outputs[k] + "\n";
    }
    const PairingResult pairing = parsePairsText(text, "pairs", dir / "input", dir / "output", false);
    ASSERT_TRUE(pairing.ok()) << pairing.error;
    writeNoise(dir / "output/p5.jpg", 48, 24, 99);  // a complete output of the batch's size
    const std::string kept = readFile(dir / "output/p5.jpg");

    BatchRecorder recorder;
    const BatchSummary summary = runBatch(pairing.pairs, settings, recorder);
    EXPECT_EQ(std::tuple(summary.converted, summary.skipped, summary.failed), std::tuple(5u, 1u, 1u));
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].index, 2u);
    EXPECT_EQ(summary.failures[0].status, ConversionStatus::RightImageInvalid);
    EXPECT_EQ(summary.failures[0].detail, std::string(kMsgBadRightImage) + ": Right image \"" +
                                               (dir / "input/right/p2.png").string() + "\": no such file.");
    EXPECT_EQ(recorder.done, (std::vector<size_t>{1, 2, 3, 4, 5, 6, 7}));  // in order, once each
    EXPECT_EQ(recorder.outcomes[5].result, PairResult::Skipped);
    EXPECT_TRUE(readFile(dir / "output/p5.jpg") == kept);
    for (size_t k : {0u, 1u, 3u, 4u, 6u}) {
        SCOPED_TRACE(k);
        const std::string written = readFile(pairing.pairs[k].output);
        ASSERT_FALSE(written.empty());
        EXPECT_TRUE(written == expectedBytes(pairing.pairs[k]));
    }
}

// Stopping finishes the pairs under way, the next run skips what they wrote and force converts them all again.
TEST_F(BatchTest, StoppingResumingAndForcing) {
    std::vector<BatchPair> pairs;
    for (int k = 0; k < 6; ++k) {
        const std::string name = "s" + std::to_string(k);
        pairs.push_back({dir / "input/left" / (name + ".png"), dir / "input/right" / (name + ".png"), dir / "output" / (name + ".jpg")});
        writeNoise(pairs.back().left, 70, 50, k);
        writeNoise(pairs.back().right, 70, 50, k + 10);
    }
    BatchRecorder stopper;
    stopper.stopAfter = 1;
    const BatchSummary stopped = runBatch(pairs, settings, stopper);
    EXPECT_GE(stopped.converted, 1u);
    // The reported one, and at most the one waiting to be written and the two being rendered.
    EXPECT_LE(stopped.converted, 4u);
    EXPECT_EQ(stopped.converted + stopped.notStarted, 6u);
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir / "output")) files += e.path().extension() == ".jpg";
    EXPECT_EQ(files, stopped.converted);  // and nothing else: no temporaries

    BatchRecorder again;
    const BatchSummary resumed = runBatch(pairs, settings, again);
    EXPECT_EQ(resumed.skipped, stopped.converted);
    EXPECT_EQ(resumed.converted, 6u - stopped.converted);
    writeFile(pairs[0].output, "old");
    settings.force = true;
    EXPECT_EQ(runBatch(pairs, settings, again).converted, 6u);
    EXPECT_EQ(readFile(pairs[0].output), expectedBytes(pairs[0]));

}

// Records a shoot aligned once.
class OnceRecorder : public BatchRecorder {
public:
    void alignedOnce(const SharedAlignment& shared, const SharedColour&) override { aligned.push_back(shared); }
    std::vector<SharedAlignment> aligned;
};

// Pairs of one rig: an unreadable pair, two pairs turned alike, one turned 3 degrees further (a camera knocked
// in its mount). Aligning once leaves out the unreadable pair and the knocked one and converts every pair by the
// shoot's rotation; aligning each pair gives every output the bytes of a single automatically aligned run, and
// a pair without features fails alone, with the alignment's reason.
TEST_F(BatchTest, AlignOnceMeansThePairsThatAgreeAndEachPairAlignsAsASingleRun) {
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    const fs::path left = dir / "input/left", right = dir / "input/right";
    writeFile(left / "p0.jpg", "not an image");
    ASSERT_TRUE(cv::imwrite((left / "p1.jpg").string(), renderFisheye(panorama(), lens, RotationMatrix{})));
    ASSERT_TRUE(cv::imwrite((right / "p1.jpg").string(),
                            renderFisheye(panorama(), lens, rotationFromYawPitchRoll(2.0, -1.0, 1.5))));
    ASSERT_TRUE(cv::imwrite((right / "p3.jpg").string(),
                            renderFisheye(panorama(), lens, rotationFromYawPitchRoll(5.0, -1.0, 1.5))));
    fs::copy_file(right / "p1.jpg", right / "p0.jpg");
    for (const char* name : {"p2.jpg", "p3.jpg"}) fs::copy_file(left / "p1.jpg", left / name);
    fs::copy_file(right / "p1.jpg", right / "p2.jpg");
    std::vector<BatchPair> pairs;
    for (const char* name : {"p0.jpg", "p1.jpg", "p2.jpg", "p3.jpg"})
        pairs.push_back({left / name, right / name, dir / "output" / name});

    const SharedAlignment shared = alignFirstPairs(pairs, settings.request, 2);
    ASSERT_EQ(shared.attempts.size(), 4u);
    const std::string unreadable = std::string(kMsgBadLeftImage) + ": Left image \"" + (left / "p0.jpg").string() +
                                   "\": it is not an image the image library can read.";
    EXPECT_EQ(shared.attempts[0].alignment.error, unreadable);
    const bool used[] = {false, true, true, false};
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(shared.attempts[k].used, used[k]) << "pair " << k + 1;
    ASSERT_TRUE(shared.rotation);
    EXPECT_NEAR(shared.angles.yaw, 2.0, 0.03);
    EXPECT_NEAR(shared.angles.pitch, -1.0, 0.03);
    EXPECT_NEAR(shared.angles.roll, 1.5, 0.03);
    EXPECT_LT(shared.maxDegrees, 0.01);
    EXPECT_NEAR(shared.attempts[3].offDegrees, 3.0, 0.1);
    const std::vector<std::string> remarks = sharedAlignmentRemarks(shared);
    ASSERT_EQ(remarks.size(), 2u);
    EXPECT_EQ(remarks[0], "pair 1: " + unreadable);
    EXPECT_EQ(remarks[1].rfind("pair 4: 3.0", 0), 0u) << remarks[1];
    EXPECT_EQ(describeSharedAlignment(shared).rfind("aligned once on pairs 2, 3: yaw ", 0), 0u)
        << describeSharedAlignment(shared);

    // It stops at the pairs wanted, and says why when none aligned.
    EXPECT_EQ(alignFirstPairs(pairs, settings.request, 2, 1).attempts.size(), 2u);
    const SharedAlignment none = alignFirstPairs({pairs[0]}, settings.request, 2);
    EXPECT_FALSE(none.rotation);
    EXPECT_EQ(describeSharedAlignment(none), "no pair could be aligned (1 tried); pair 1: " + unreadable);

    const cv::Mat flat(900, 1200, CV_8UC3, cv::Scalar::all(128));
    ASSERT_TRUE(cv::imwrite((left / "flat.jpg").string(), flat));
    ASSERT_TRUE(cv::imwrite((right / "flat.jpg").string(), flat));
    const BatchPair featureless{left / "flat.jpg", right / "flat.jpg", dir / "output/flat.jpg"};

    // The second and third pairs are of one size but turned differently: each takes its own rotation.
    settings.request.alignment = AutomaticAlignment{{}, AlignmentScope::EachPair};
    const std::vector<BatchPair> aligned{pairs[1], pairs[2], pairs[3], featureless};
    BatchRecorder recorder;
    const BatchSummary each = runBatch(aligned, settings, recorder);
    EXPECT_EQ(each.converted, 3u);
    ASSERT_EQ(each.failures.size(), 1u);
    EXPECT_EQ(each.failures[0].index, 3u);
    EXPECT_EQ(each.failures[0].detail.rfind("automatic alignment failed: ", 0), 0u) << each.failures[0].detail;
    EXPECT_FALSE(each.failures[0].status.has_value());
    EXPECT_FALSE(fs::exists(featureless.output));
    for (const BatchPair& pair : {aligned[0], aligned[2]}) {
        SCOPED_TRACE(pair.left.filename().string());
        EXPECT_TRUE(readFile(pair.output) == expectedBytes(pair));
    }
    EXPECT_FALSE(readFile(aligned[0].output) == readFile(aligned[2].output));

    // Once: every pair, the knocked one too, turned by the rotation of the pairs that agree.
    settings.request.alignment = AutomaticAlignment{{}, AlignmentScope::Once};
    settings.force = true;
    OnceRecorder once;
    EXPECT_EQ(runBatch(pairs, settings, once).converted, 3u);
    ASSERT_EQ(once.aligned.size(), 1u);
    ASSERT_TRUE(once.aligned[0].rotation);
    EXPECT_EQ(std::memcmp(once.aligned[0].rotation->m, shared.rotation->m, sizeof shared.rotation->m), 0);
    settings.request.alignment = GivenRotation{*shared.rotation};
    for (const BatchPair& pair : {pairs[1], pairs[3]}) EXPECT_TRUE(readFile(pair.output) == expectedBytes(pair));

    // No pair aligns: the batch is refused with why, and nothing is converted.
    settings.request.alignment = AutomaticAlignment{{}, AlignmentScope::Once};
    const BatchSummary refused = runBatch({pairs[0], featureless}, settings, once);
    ASSERT_FALSE(refused.refusal.ok());
    EXPECT_EQ(refused.refusal.status, ConversionStatus::AlignmentFailed);
    EXPECT_EQ(refused.refusal.error.rfind("no pair could be aligned (2 tried); pair 1: ", 0), 0u)
        << refused.refusal.error;
    EXPECT_EQ(refused.converted + refused.failed, 0u);
}

// A right lens 1.5 % wider than its record: each pair aligned on its own refines it, and its colours are
// fitted through the refined lens, so every output holds its single run's bytes.
TEST_F(BatchTest, RefinedLensesCarryIntoEachPairsColourMatchAsInASingleRun) {
    const SynthLens lens = SynthLens::equisolid(1200, 900);
    SynthLens wide = lens;
    wide.radius180 *= 1.015;
    const fs::path left = dir / "input/left", right = dir / "input/right";
    std::vector<BatchPair> pairs;
    for (int k = 0; k < 2; ++k) {
        const std::string name = "p" + std::to_string(k) + ".jpg";
        const RotationMatrix look = rotationFromYawPitchRoll(40.0 * k, -5.0, 0.0);
        const cv::Mat l = renderFisheye(panorama(), lens, look);
        cv::Mat r = renderFisheye(panorama(), wide, look * rotationFromYawPitchRoll(2.0, -1.0, 1.5));
        r.convertTo(r, -1, 0.85, 12.0);  // the right camera darker and lifted: a match has something to fit
        ASSERT_TRUE(cv::imwrite((left / name).string(), l));
        ASSERT_TRUE(cv::imwrite((right / name).string(), r));
        pairs.push_back({left / name, right / name, dir / "output" / name});
    }
    settings.request.alignment = AutomaticAlignment{{true, false}, AlignmentScope::EachPair};
    settings.request.matchColour = ColourMatching::Tone;
    settings.request.outputHeight = 128;
    BatchRecorder recorder;
    ASSERT_EQ(runBatch(pairs, settings, recorder).converted, 2u);
    for (size_t k = 0; k < pairs.size(); ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(recorder.outcomes[k].colour && recorder.outcomes[k].colour->ok());
        EXPECT_TRUE(readFile(pairs[k].output) == expectedBytes(pairs[k]));
    }
}

// The shoot's lens is the mean of what the pairs measured: a pair whose refinement was set aside
// (its identity is the records' answer) or that refined with another law is named and left out,
// and no kept refinement leaves the records as they are.
TEST(SharedLensMean, OnlyKeptRefinementsOfTheMostCommonLawAreAveraged) {
    struct Pair {
        double scale;
        bool applied;
        bool equidistant;  // the right lens refined as equidistant instead of its record's law
    };
    struct Row {
        const char* name;
        std::vector<Pair> pairs;
        double meanScale;  // 0: no mean
        bool equidistant;
        size_t remarks;
    } rows[] = {
        {"all kept", {{1.02, true, false}, {1.04, true, false}}, 1.03, false, 0},
        {"one set aside", {{1.02, true, false}, {1.0, false, false}, {1.04, true, false}}, 1.03, false, 1},
        {"the law most pairs took", {{1.10, true, true}, {1.02, true, false}, {1.04, true, false}}, 1.03, false, 1},
        {"none kept", {{1.0, false, false}, {1.0, false, false}}, 0.0, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SharedAlignment shared;
        for (size_t k = 0; k < row.pairs.size(); ++k) {
            SharedAlignment::Attempt a;
            a.sample = SampleId::ofPair(k);
            alignment::AlignmentResult& r = a.alignment.result;
            r.rotation = rotationFromYawPitchRoll(2.0, -1.0, 1.5);
            r.lensesRefined = true;
            r.lenses.correction[1].scale = row.pairs[k].scale;
            r.lenses.applied = row.pairs[k].applied;
            if (!r.lenses.applied) r.lenses.notApplied = "the refined lenses are not used: worse";
            r.lenses.lawReplaced = row.pairs[k].equidistant;
            r.lenses.rightMapping = row.pairs[k].equidistant ? MappingKind::Equidistant : MappingKind::Equisolid;
            shared.attempts.push_back(a);
        }
        takeRobustMean(shared);
        ASSERT_TRUE(shared.rotation);
        ASSERT_EQ(shared.lenses.has_value(), row.meanScale > 0.0);
        if (shared.lenses) {
            EXPECT_NEAR(shared.lenses->corrections[1].scale, row.meanScale, 1e-12);
            EXPECT_EQ(shared.lenses->laws[1].has_value(), row.equidistant);
        }
        EXPECT_EQ(sharedAlignmentRemarks(shared).size(), row.remarks);
    }
}

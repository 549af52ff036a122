// Video conversion against known truths: the offset two cameras' sound puts between them (to the sample), the
// drift of a clock that runs fast, the rig's rotation found from the frames, and output frames that are what a
// single conversion of the matching frame pair gives; a stop or damage on the way as the conversion promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "alignment/rotation.h"
#include "conversion/core.h"
#include "conversion/run.h"
#include "video/video.h"
#include "video/video_segments.h"
#include "video/video_sync.h"
#include "videofile/audio_reader.h"
#include "videofile/video_reader.h"
#include "tests/support/conversion_test_support.h"
#include "tests/support/scratch.h"
#include "tests/support/synth.h"
#include "tests/support/synth_video.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using namespace vistereo::conversiontest;

namespace {

class VideoConversionTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        media::silenceVideoLibraries();
    }
    // The take's request: equisolid lenses, the rig's points, a 64-dot-high lossless output with no sound.
    VideoRequest request(const SynthTake& take) {
        writeSynthTake(take, dir / "L.mp4", dir / "R.mp4");
        VideoRequest r;
        for (LensSettings& lens : r.frames.lenses) lens.name = "Equisolid", lens.mappingKind = 1;
        const CommaLineParse points = parseCommaLine(synthTakePoints(take));
        r.frames.alignment = PointsAB{PointSet::fromListOrder(points.values)};
        r.frames.outputHeight = 64;
        r.left = dir / "L.mp4", r.right = dir / "R.mp4", r.output = dir / "out.mp4";
        r.encoding = {media::VideoCodec::H264, 0, "ultrafast", 2};
        r.run.threads = 2;
        r.sound = VideoSound::None;
        return r;
    }
    std::vector<std::string> folder() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

class Stopper : public VideoObserver {
public:
    explicit Stopper(int64_t after) : after_(after) {}
    void framesDone(const VideoProgress& p) override { done_ = p.done; }
    bool stopRequested() override { return done_ >= after_; }

private:
    const int64_t after_;
    std::atomic<int64_t> done_{0};
};

// All frames of a file as YCbCr planes, as decoded.
std::vector<media::YuvPlanes> planesOf(const fs::path& file) {
    media::VideoReader reader(file, 1, media::FrameLayout::Planes);
    std::vector<media::YuvPlanes> frames;
    media::VideoFrame frame;
    while (reader.read(frame) == media::VideoReader::Read::Frame) {
        const media::YuvPlanes& p = frame.planes;
        frames.push_back({p.y.clone(), p.cb.clone(), p.cr.clone(), p.colour, p.bits, nullptr});
    }
    return frames;
}

// Peak signal-to-noise ratio of one 8-bit plane against another, in dB, over the mask's samples (all without one).
double planePsnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask = {}) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    difference.convertTo(difference, CV_64F);
    const double mse = cv::mean(difference.mul(difference), mask)[0];
    return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
}

// The samples within `reach` of a black luma sample that are not black themselves: where the picture meets the
// black beyond the lens's reach.
cv::Mat rimOf(const cv::Mat& luma, uint8_t black, int reach) {
    const cv::Mat isBlack = luma == black;
    cv::Mat near;
    cv::dilate(isBlack, near, cv::Mat::ones(2 * reach + 1, 2 * reach + 1, CV_8U));
    return near & ~isBlack;
}

cv::Mat frameAt(const fs::path& file, int64_t index, double fps) {
    media::VideoReader reader(file);
    media::VideoFrame frame;
    if (!reader.seek(index / fps) || reader.read(frame) != media::VideoReader::Read::Frame || frame.index != index)
        return {};
    return frame.bgr;
}

}  // namespace

TEST(SoundCorrelationTest, FindsTheLagToTheSampleAndHowClearItIs) {
    cv::RNG rng(3);
    std::vector<float> left(20000), unrelated(26000);
    for (float& s : left) s = static_cast<float>(rng.gaussian(1.0));
    for (float& s : unrelated) s = static_cast<float>(rng.gaussian(1.0));
    for (long long lag : {-2999LL, -1LL, 0LL, 1LL, 2500LL}) {
        SCOPED_TRACE(lag);
        // right[t + lag] = left[t], each with noise of its own, searched 3000 samples either way.
        std::vector<float> right(26000);
        for (size_t t = 0; t < right.size(); ++t) {
            const long long source = static_cast<long long>(t) - lag - 3000;
            right[t] = static_cast<float>(0.3 * rng.gaussian(1.0)) +
                       (source >= 0 && source < static_cast<long long>(left.size()) ? left[source] : 0.0f);
        }
        const SoundLag found = correlateSound(left, right, 0, 6000, 100);
        EXPECT_EQ(found.samples - 3000, lag);
        EXPECT_GT(found.confidence, 5.0);
    }
    EXPECT_LT(correlateSound(left, unrelated, 0, 6000, 100).confidence, kMinimumSyncConfidence);
}

TEST_F(VideoConversionTest, OffsetOfTheCamerasIsFoundFromTheirSoundToTheSample) {
    // The right camera starting after the left one and before it, by whole samples that are no whole frame.
    for (const double startsAt : {0.25 + 37.0 / 48000, -0.5 - 5.0 / 48000}) {
        SCOPED_TRACE(startsAt);
        SynthTake take;
        take.frames = 48, take.rightStartsAt = startsAt;
        writeSynthTake(take, dir / "L.mp4", dir / "R.mp4");
        const VideoOffset offset = findVideoOffset(dir / "L.mp4", dir / "R.mp4", 24.0, 0.0, 2.0);
        ASSERT_TRUE(offset.ok()) << offset.error;
        EXPECT_NEAR(offset.seconds, -startsAt, 1e-9);
        EXPECT_EQ(offset.frames, std::llround(-startsAt * 24));
        EXPECT_NEAR(offset.remainderSeconds, -startsAt - offset.frames / 24.0, 1e-9);
        EXPECT_GE(offset.confidence, kMinimumSyncConfidence);
    }
    // Without sound on either side the offset is not guessed.
    for (const bool leftSound : {false, true}) {
        SynthTake take;
        take.frames = 4, take.leftSound = leftSound, take.rightSound = !leftSound;
        writeSynthTake(take, dir / "L.mp4", dir / "R.mp4");
        const VideoOffset offset = findVideoOffset(dir / "L.mp4", dir / "R.mp4", 24.0, 0.0, 2.0);
        EXPECT_NE(offset.error.find(std::string("the ") + (leftSound ? "right" : "left") + " video"), std::string::npos);
        EXPECT_NE(offset.error.find("has no audio"), std::string::npos) << offset.error;
        EXPECT_NE(offset.error.find("use --offset"), std::string::npos) << offset.error;
    }
}

TEST_F(VideoConversionTest, DriftOfAFastClockShowsByTheEndOfALongTake) {
    // Two frames of picture and 150 s of sound each; the right camera's clock runs 100 ppm fast, so at world time t
    // the true offset is t x 100e-6: the first minute gives some offset of it, the last 10 s one of some 14.5 ms.
    auto write = [&](const fs::path& file, double clockRate) {
        media::VideoWriterSettings settings;
        settings.width = 64, settings.height = 48, settings.frameRate = {60, 1};
        settings.encoding = {media::VideoCodec::H264, 30, "ultrafast", 1};
        media::AudioSource sound;
        sound.sampleRate = 48000, sound.mono = clickTrack(0.0, 150.0, 48000, clockRate == 1.0 ? 1 : 2, clockRate);
        settings.audio = sound;
        media::VideoWriter writer(file, settings);
        for (int n = 0; n < 2; ++n) ASSERT_TRUE(writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0))).ok());
        const Fallible finished = writer.finish();
        ASSERT_TRUE(finished.ok()) << finished.error;
    };
    write(dir / "L.mp4", 1.0);
    for (const double ppm : {0.0, 100.0}) {
        SCOPED_TRACE(ppm);
        write(dir / "R.mp4", 1.0 + ppm * 1e-6);
        VideoOffset offset = findVideoOffset(dir / "L.mp4", dir / "R.mp4", 60.0, 0.0, 150.0);
        ASSERT_TRUE(offset.ok()) << offset.error;
        EXPECT_GE(offset.seconds, -1e-4);
        EXPECT_LE(offset.seconds, 60.0 * ppm * 1e-6 + 1e-4);
        checkDrift(offset, dir / "L.mp4", dir / "R.mp4", 60.0, 0.0, 150.0);
        ASSERT_TRUE(offset.driftSeconds) << offset.driftNote;
        EXPECT_NEAR(*offset.driftSeconds, 145.0 * ppm * 1e-6 - offset.seconds, 6e-4);
        // Half a frame at 60 fps is 8.3 ms.
        EXPECT_EQ(describeOffset(offset, 60.0).find("more than half a frame") != std::string::npos, ppm > 0);
    }
}

TEST_F(VideoConversionTest, OutputFramesAreTheSingleConversionsOfTheirFramePairs) {
    SynthTake take;
    VideoRequest r = request(take);
    const VideoResult result = convertVideo(r, *std::make_unique<VideoObserver>());
    ASSERT_TRUE(result.written()) << result.detail;
    // The right camera starts 6 frames (and 0.77 ms) after the left one: left frame 6 + n pairs with right frame n.
    EXPECT_EQ(result.offset.frames, -6);
    EXPECT_EQ(result.frames, 30);
    EXPECT_EQ(folder(), (std::vector<std::string>{"L.mp4", "R.mp4", "out.mp4"}));

    // Each output frame against the single run of the decoded pair, through the image files a user would convert.
    auto convertPair = [&](int64_t leftIndex) {
        const cv::Mat left = frameAt(r.left, leftIndex, 24.0), right = frameAt(r.right, leftIndex - 6, 24.0);
        return singleRun(r.frames, dir / "single", left, right, r.run);
    };
    for (const int n : {0, 13, 29}) {
        SCOPED_TRACE(n);
        const cv::Mat output = frameAt(r.output, n, 24.0);
        ASSERT_FALSE(output.empty());
        const double same = psnr(output, convertPair(6 + n));
        // Within 4:2:0 chroma's loss of the very same image (38.6 dB here), well apart from the neighbouring pair's.
        EXPECT_GT(same, 36.0);
        EXPECT_GT(same, psnr(output, convertPair(n == 29 ? 34 : 7 + n)) + 8.0);
    }
}

TEST_F(VideoConversionTest, FramesRemappedAsPlanesMatchTheWayThroughBgr) {
    // A take seen with the horizon pitched down 45 degrees, so that part of each half lies beyond the lens circle:
    // the panorama's colours run up to the rim and fade there into black, where a chroma plane's black must be
    // neutral chroma and a luma plane's the range's black.
    SynthTake take;
    take.frames = 12, take.rightStartsAt = 0;
    VideoRequest r = request(take);
    r.offsetSeconds = 0.0;
    r.frames.outputHeight = 96;
    r.frames.zenith.pitch = -450;
    const VideoResult planes = convertVideo(r, *std::make_unique<VideoObserver>());
    ASSERT_TRUE(planes.written()) << planes.detail;
    EXPECT_TRUE(planes.planes);
    r.bgrFrames = true;
    r.output = dir / "bgr.mp4";
    const VideoResult bgr = convertVideo(r, *std::make_unique<VideoObserver>());
    ASSERT_TRUE(bgr.written()) << bgr.detail;
    EXPECT_FALSE(bgr.planes);

    const std::vector<media::YuvPlanes> a = planesOf(dir / "out.mp4"), b = planesOf(dir / "bgr.mp4");
    ASSERT_EQ(a.size(), 12u);
    ASSERT_EQ(b.size(), 12u);
    for (size_t n = 0; n < a.size(); n += 5) {
        SCOPED_TRACE(n);
        ASSERT_EQ(a[n].y.size(), cv::Size(192, 96));
        ASSERT_EQ(a[n].cb.size(), cv::Size(96, 48));
        // Lossless output: what is compared is the two ways' rendering alone. The way through BGR blends in
        // RGB and subsamples its own chroma; the planes blend the cameras' own numbers.
        EXPECT_GT(planePsnr(a[n].y, b[n].y), 44.0);
        EXPECT_GT(planePsnr(a[n].cb, b[n].cb), 46.0);
        EXPECT_GT(planePsnr(a[n].cr, b[n].cr), 46.0);
        // The band where the picture fades into black, by itself.
        const cv::Mat rim = rimOf(b[n].y, 16, 3);
        cv::Mat chromaRim;
        cv::resize(rimOf(b[n].y, 16, 4), chromaRim, a[n].cb.size(), 0, 0, cv::INTER_NEAREST);
        ASSERT_GT(cv::countNonZero(rim), 200);
        EXPECT_GT(planePsnr(a[n].y, b[n].y, rim), 41.0);
        EXPECT_GT(planePsnr(a[n].cb, b[n].cb, chromaRim), 41.0);
        EXPECT_GT(planePsnr(a[n].cr, b[n].cr, chromaRim), 41.0);
        // Beyond the lens's reach (the bottom rows, pitched below its field) both halves are YCbCr black.
        EXPECT_EQ(a[n].y.at<uint8_t>(92, 10), 16);
        EXPECT_EQ(a[n].cb.at<uint8_t>(46, 5), 128);
        EXPECT_EQ(a[n].cr.at<uint8_t>(46, 90), 128);
    }
}

TEST_F(VideoConversionTest, OutputKeepsTheCamerasRangeAndMatrix) {
    const struct { bool full; int matrix; const char* range; const char* space; uint8_t black; } cases[] = {
        {false, 1, "tv", "bt709", 16}, {true, 1, "pc", "bt709", 0}, {true, 6, "pc", "smpte170m", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.range) + " " + c.space);
        SynthTake take;
        take.frames = 4, take.rightStartsAt = 0;
        take.colour.fullRange = c.full, take.colour.matrix = c.matrix;
        VideoRequest r = request(take);
        r.offsetSeconds = 0.0;
        r.frames.zenith.pitch = -450;
        const VideoResult result = convertVideo(r, *std::make_unique<VideoObserver>());
        ASSERT_TRUE(result.written()) << result.detail;
        EXPECT_TRUE(result.planes);
        if (haveTool("ffprobe")) {
            EXPECT_EQ(toolOutput({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                  "stream=color_range,color_space", "-of", "default=nw=1", r.output.string()}),
                      std::string("color_range=") + c.range + "\ncolor_space=" + c.space + "\n");
        }
        const std::vector<media::YuvPlanes> frames = planesOf(r.output);
        ASSERT_EQ(frames.size(), 4u);
        EXPECT_EQ(frames[0].colour.fullRange, c.full);
        // Black beyond the rim in the range's own black; the picture's numbers as the camera's, not squeezed
        // into or stretched out of another range: the brightest luma of the left camera's first frame.
        EXPECT_EQ(frames[0].y.at<uint8_t>(60, 5), c.black);
        double brightestIn = 0, brightestOut = 0;
        cv::minMaxLoc(planesOf(r.left)[0].y, nullptr, &brightestIn);
        cv::minMaxLoc(frames[0].y, nullptr, &brightestOut);
        EXPECT_NEAR(brightestOut, brightestIn, 12);
    }
}

TEST_F(VideoConversionTest, RotationFoundFromFramePairsIsTheRigs) {
    SynthTake take;
    take.width = 480, take.height = 360, take.frames = 20, take.rightStartsAt = 0;
    VideoRequest r = request(take);
    r.frames.alignment = AutomaticAlignment{{}, AlignmentScope::Once};
    r.offsetSeconds = 0.0;
    const VideoResult result = convertVideo(r, *std::make_unique<VideoObserver>());
    ASSERT_TRUE(result.written()) << result.detail;
    ASSERT_TRUE(result.rotation);
    // The rotation carries right-camera directions onto left-camera ones: the rig's turn itself.
    EXPECT_LT(alignment::rotationAngle(*result.rotation * transpose(take.rightTurn)) * 180 / M_PI, 0.2) << result.alignment;
    // Five pairs spread over the range are tried; each is either in the mean or reported with its time (a pair
    // of these small frames may fall short of the matcher's share of agreeing matches).
    int used = 0, reported = 0;
    std::sscanf(result.alignment.c_str() + std::min(result.alignment.find(" from "), result.alignment.size()),
                " from %d frame pairs", &used);
    for (const std::string& w : result.warnings) reported += w.rfind("frame pair at 0:00.", 0) == 0;
    EXPECT_GE(used, 3) << result.alignment;
    EXPECT_EQ(used + reported, 5) << result.alignment;
}

// The plans are worked out once and serve every frame pair: each side-by-side frame carries exactly the bytes a
// single conversion of its own pair writes, whichever alignment, kernel and arithmetic, and a later frame is its
// own pictures, not the first frame's again.
TEST(PlannedFramesTest, EveryFrameHasTheBytesOfItsOwnSingleConversion) {
    const SynthLens lens = SynthLens::equisolid(320, 240);
    const RotationMatrix turn = rotationFromYawPitchRoll(2.0, -1.0, 1.5);
    const cv::Mat frames[2][2] = {
        {renderFisheye(panorama(), lens, RotationMatrix{}), renderFisheye(panorama(), lens, turn)},
        {renderFisheye(panorama(), lens, rotationFromYawPitchRoll(30, 5, 0)),
         renderFisheye(panorama(), lens, rotationFromYawPitchRoll(30, 5, 0) * turn)}};
    ConversionRequest request;
    for (LensSettings& l : request.lenses) l.name = "Equisolid", l.mappingKind = 1;
    request.alignment = PointsAB{PointSet::fromListOrder({100, 220, 104, 223, 120, 130, 118, 128})};
    request.outputHeight = 96;
    request.zenith = {12, -30, 45};
    PreparedPair prepared;
    ASSERT_TRUE(preparePair(request, {320, 240}, {320, 240}, prepared).ok());
    RotationMatrix matrix;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) matrix.m[i][j] = turn.m[i][j];
    const struct { const char* label; std::optional<RotationMatrix> rotation; bool exact; Interpolation kernel; } cases[] = {
        {"points, default arithmetic, bilinear", std::nullopt, false, Interpolation::Bilinear},
        {"points, exact arithmetic, bilinear", std::nullopt, true, Interpolation::Bilinear},
        {"rotation, default arithmetic, lanczos", matrix, false, Interpolation::Lanczos},
        {"rotation, exact arithmetic, bicubic", matrix, true, Interpolation::Bicubic},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        RunOptions run;
        run.threads = 2, run.exactArithmetic = c.exact, run.interpolation = c.kernel;
        const RightEyeTurn turn{c.rotation, alignmentPoints(request.alignment)};
        const FrameRenderer render = plannedFrameRenderer(planHalves(prepared.geometry, turn, run), run.threads);
        for (int f = 0; f < 2; ++f) {
            SCOPED_TRACE(f);
            cv::Mat planned(96, 192, CV_8UC3, cv::Scalar::all(7)), single(96, 192, CV_8UC3, cv::Scalar::all(7));
            render(frames[f][0], frames[f][1], planned);
            const HalfTarget right{&frames[f][1], &single}, left{&frames[f][0], &single};
            renderHalves(Half::Right, prepared.geometry, turn, {&right, 1}, run);
            renderHalves(Half::Left, prepared.geometry, turn, {&left, 1}, run);
            EXPECT_EQ(cv::norm(planned, single, cv::NORM_INF), 0.0);
        }
    }
}

TEST(VideoHeightTest, DefaultIsTheLargestFriendlySizeWithinTheCirclesAndTheCodecsCap) {
    const struct { int width, height; media::VideoCodec codec; int32_t expected; bool capped; } cases[] = {
        {3840, 2160, media::VideoCodec::H264, 2048, false},  // 2160 across: 2048, not 3072
        {6400, 3600, media::VideoCodec::H264, 2048, true},   // 3072 would fit the circle, not H.264's cap
        {6400, 3600, media::VideoCodec::Hevc, 3072, false},  // one and a half times a power of two
        {7680, 4320, media::VideoCodec::Hevc, 4096, false},
        {12000, 6600, media::VideoCodec::Hevc, 4096, true},  // 6144 would fit the circle
        {160, 120, media::VideoCodec::H264, 96, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const EyeGeometry eye = eyeGeometryOf(SynthLens::equisolid(c.width, c.height));
        const DefaultHeight chosen = defaultVideoHeight({eye, eye}, c.codec);
        EXPECT_NEAR(chosen.circlePixels, c.height, 1);  // an equisolid circle of radius height / 2 spans the height
        EXPECT_EQ(chosen.height, c.expected);
        EXPECT_EQ(chosen.capped, c.capped);
        EXPECT_EQ(media::videoHeightProblem(c.codec, chosen.height), "") << "a default the codec cannot take";
    }
}

// A height is held against the codec's largest frame (level 6.2 of both: 8192 x 4096) and the 4:2:0 grid before
// any file is opened: the conversion of two videos that do not exist is refused for the height, naming the limit.
TEST(VideoHeightTest, AHeightTheCodecCannotTakeIsRefusedBeforeAnyFileIsOpened) {
    const struct { media::VideoCodec codec; int64_t height; const char* problem; } cases[] = {
        {media::VideoCodec::H264, 4096, ""},
        {media::VideoCodec::Hevc, 4096, ""},
        {media::VideoCodec::H264, 2, ""},
        {media::VideoCodec::H264, 4098, "H.264 level 6.2 takes at most 8192 x 4096, so the height can be at most 4096"},
        {media::VideoCodec::Hevc, 8192, "HEVC Main level 6.2 takes at most 8192 x 4096, so the height can be at most 4096"},
        {media::VideoCodec::H264, 99998, "gives frames of 199996 x 99998"},
        {media::VideoCodec::H264, 65, "must be even for 4:2:0 video, not 65"},
        {media::VideoCodec::Hevc, 0, "must be even for 4:2:0 video, not 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(media::codecName(c.codec)) + " " + std::to_string(c.height));
        const std::string problem = media::videoHeightProblem(c.codec, c.height);
        if (!*c.problem) {
            EXPECT_EQ(problem, "");
            continue;
        }
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        if (c.height <= 0) continue;
        VideoRequest request;
        for (LensSettings& lens : request.frames.lenses) lens.name = "Lens";
        request.frames.alignment = PointsAB{PointSet::fromListOrder({10, 30, 12, 33, 20, 40, 21, 44})};
        request.frames.outputHeight = static_cast<int32_t>(c.height);
        request.encoding.codec = c.codec;
        request.left = "no-such-left.mp4", request.right = "no-such-right.mp4", request.output = "never.mp4";
        VideoObserver quiet;
        const VideoResult result = convertVideo(request, quiet);
        EXPECT_EQ(result.status, VideoStatus::Refused);
        EXPECT_EQ(result.detail, problem);
    }
}

TEST_F(VideoConversionTest, EitherCamerasSoundLinesUpWithThePictures) {
    // Both cameras heard the same clicks: whichever camera's sound the output carries, cut by the offset, the
    // clicks fall on the same samples of the output, to the millisecond by which an MP4 delays copied sound (the
    // right camera's sound starts 0.77 ms into the output here, the left camera's first whole packet 6 ms in).
    SynthTake take;
    VideoRequest r = request(take);
    r.offsetSeconds = take.offsetSeconds();
    std::vector<float> heard[2];
    for (const VideoSound side : {VideoSound::Left, VideoSound::Right}) {
        r.sound = side;
        const VideoResult result = convertVideo(r, *std::make_unique<VideoObserver>());
        ASSERT_TRUE(result.written()) << result.detail;
        const media::MonoAudio sound = media::readMonoAudio(r.output, 0.0, 1.25, 48000);
        ASSERT_TRUE(sound.ok()) << sound.error;
        heard[side == VideoSound::Right] = sound.samples;
    }
    const SoundLag lag = correlateSound(heard[0], heard[1], -2400, 2400, 240);
    EXPECT_LE(std::llabs(lag.samples), 48);
    EXPECT_GT(lag.confidence, kMinimumSyncConfidence);
}

TEST_F(VideoConversionTest, StopOrFailureLeavesNoFile) {
    SynthTake take;
    VideoRequest r = request(take);
    Stopper stopper(3);
    const VideoResult stopped = convertVideo(r, stopper);
    EXPECT_EQ(stopped.status, VideoStatus::Stopped);
    // An encoder that refuses its settings, once the temporary file is made.
    r.encoding.preset = "no-such-preset";
    const VideoResult failed = convertVideo(r, *std::make_unique<VideoObserver>());
    EXPECT_NE(failed.status, VideoStatus::Written);
    EXPECT_EQ(folder(), (std::vector<std::string>{"L.mp4", "R.mp4"}));
}

TEST_F(VideoConversionTest, DamagedStretchIsReportedWithItsTimeAndFilled) {
    SynthTake take;
    take.frames = 48;
    VideoRequest r = request(take);
    r.offsetSeconds = take.offsetSeconds();
    // Overwrite the coded picture of a frame in the middle of the left file with noise.
    std::string bytes = readFile(r.left);
    cv::RNG rng(5);
    for (size_t k = bytes.size() * 6 / 10; k < bytes.size() * 6 / 10 + 4000; ++k) bytes[k] = static_cast<char>(rng.uniform(0, 256));
    writeFile(r.left, bytes);
    const VideoResult result = convertVideo(r, *std::make_unique<VideoObserver>());
    ASSERT_TRUE(result.written()) << result.detail;
    EXPECT_EQ(result.frames, 42);
    ASSERT_FALSE(result.warnings.empty());
    EXPECT_NE(result.warnings[0].find("the left video is damaged"), std::string::npos) << result.warnings[0];
    EXPECT_NE(result.warnings[0].find("0:01."), std::string::npos) << result.warnings[0];
}

// The colour match and the stereo window reach every frame: the right camera renders levels its own way, the
// match fitted once recovers that, and the frame pair it was fitted on converts to the bytes a single conversion
// of that pair with the same choices gives (within 4:2:0 chroma's loss).
TEST_F(VideoConversionTest, ColourMatchAndStereoWindowReachTheFramesAsInASingleConversion) {
    SynthTake take;
    take.rightGain = {1.12, 1.0, 0.85}, take.rightOffset = 6.0;  // blue, green, red
    VideoRequest r = request(take);
    r.frames.matchColour = ColourMatching::Tone;
    r.frames.convergenceDegrees = 180.0 / 64 * 3;  // three dots of a 64-dot half
    const VideoResult result = convertVideo(r, *std::make_unique<VideoObserver>());
    ASSERT_TRUE(result.written()) << result.detail;
    ASSERT_TRUE(result.colour && result.colour->ok()) << (result.colour ? result.colour->error : "no match");
    // left = gain * right + offset undoes right = g * left + 6, as far as 4:2:0 frames of 160 x 120 keep the
    // channels apart (their chroma mixes them: the offsets trade against the gains).
    double before = 0, after = 0;
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(result.colour->channel[c].gain, 1.0 / take.rightGain[c], 0.06) << c;
        before += result.colour->channel[c].cellsBefore, after += result.colour->channel[c].cellsAfter;
    }
    EXPECT_GT(before, 3 * 6.0);
    EXPECT_LT(after, before / 3);

    // The match is fitted on the middle of the 30 frames: left frame 6 + 15 with right frame 15.
    const cv::Mat left = frameAt(r.left, 21, 24.0), right = frameAt(r.right, 15, 24.0);
    const cv::Mat output = frameAt(r.output, 15, 24.0);
    ConversionRequest single = r.frames;
    EXPECT_GT(psnr(output, singleRun(single, dir / "single", left, right, r.run)), 36.0);
    // Either choice left out would show: the eyes unmatched, or the right half three dots away.
    for (const bool colour : {false, true}) {
        single.matchColour = colour ? ColourMatching::Tone : ColourMatching::Off;
        single.convergenceDegrees = colour ? 0.0 : r.frames.convergenceDegrees;
        EXPECT_LT(psnr(output, singleRun(single, dir / "single", left, right, r.run)), 32.0) << colour;
    }
}

// The level a side-by-side frame needs comes from its size and its frame rate together: the headsets' sizes in
// HEVC, a frame rate no level decodes at that size refused with the height that would fit, and the level the
// stream carries is the one chosen (read back by ffprobe where it is installed).
TEST(VideoHeightTest, TheLevelIsTheLowestThatTakesTheSizeAndTheFrameRate) {
    using media::VideoCodec;
    const struct { VideoCodec codec; int64_t height; double fps; int idc; } levels[] = {
        {VideoCodec::H264, 2048, 30, 51},  // 4096 x 2048: 32768 macroblocks, 983040 a second, 5.1's limits exactly
        {VideoCodec::H264, 2048, 60, 52},
        {VideoCodec::H264, 2880, 30, 60},  // 5760 x 2880, beyond 5.2's frame
        {VideoCodec::H264, 4096, 60, 61},
        {VideoCodec::H264, 512, 30, 31},
        {VideoCodec::Hevc, 2048, 30, 150},  // 5
        {VideoCodec::Hevc, 2048, 60, 153},  // 5.1
        {VideoCodec::Hevc, 2880, 30, 180},  // 6: 16.6 million samples, beyond 5.x's 8.9
        {VideoCodec::Hevc, 2880, 60, 180},
        {VideoCodec::Hevc, 2880, 90, 183},  // 6.1
        {VideoCodec::Hevc, 4096, 30, 180},
        {VideoCodec::Hevc, 4096, 120, 186},
        {VideoCodec::Hevc, 4096, 130, 0},  // beyond 6.2's samples a second
        {VideoCodec::H264, 4096, 128, 0},  // beyond 6.2's macroblocks a second (127.5 frames of 8192 x 4096)
    };
    for (const auto& c : levels) {
        SCOPED_TRACE(std::string(media::codecName(c.codec)) + " " + std::to_string(c.height) + " at " +
                     std::to_string(c.fps));
        const auto level = media::videoLevel(c.codec, 2 * c.height, c.height, c.fps);
        EXPECT_EQ(level ? level->idc : 0, c.idc);
        const std::string problem = media::videoHeightProblem(c.codec, c.height, c.fps);
        EXPECT_EQ(problem.empty(), c.idc != 0) << problem;
        if (!c.idc) {
            EXPECT_NE(problem.find("fps, more than"), std::string::npos) << problem;
        }
    }
    EXPECT_NE(media::videoHeightProblem(VideoCodec::H264, 4096, 240).find("the height can be at most 2976"),
              std::string::npos)
        << media::videoHeightProblem(VideoCodec::H264, 4096, 240);

    if (!testsupport::haveTool("ffprobe")) GTEST_SKIP() << "needs ffprobe (apt-get install ffmpeg)";
    const fs::path dir = fs::temp_directory_path() / ("vistereo_level_" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const VideoCodec codec : {VideoCodec::H264, VideoCodec::Hevc}) {
        media::VideoWriterSettings settings;
        settings.width = 1024, settings.height = 512, settings.frameRate = {60, 1};
        settings.encoding = {codec, 30, "ultrafast", 1};
        settings.levelIdc = media::videoLevel(codec, 1024, 512, 60)->idc;
        const fs::path file = dir / (std::string(media::codecName(codec)) + ".mp4");
        {
            media::VideoWriter writer(file, settings);
            ASSERT_TRUE(writer.opened().ok()) << writer.opened().error;
            ASSERT_TRUE(writer.write(cv::Mat(512, 1024, CV_8UC3, cv::Scalar(40, 90, 160))).ok());
            const Fallible finished = writer.finish();
            ASSERT_TRUE(finished.ok()) << finished.error;
        }
        EXPECT_EQ(testsupport::toolOutput({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                           "stream=level", "-of", "default=nw=1:nk=1", file.string()}),
                  std::to_string(settings.levelIdc) + "\n");
    }
    fs::remove_all(dir);
}

// The parts of a take tile its range, each starting on the keyframe grid, and hold as equal shares of the grid's
// intervals as there are; a range with fewer intervals than parts is refused, not cut into empty parts.
TEST(VideoSegmentTest, PartsTileTheRangeAndStartOnTheKeyframeGrid) {
    const struct { int64_t frames; int parts; int64_t every; std::vector<int64_t> starts; } cases[] = {
        {102, 3, 17, {0, 34, 68}},     // six intervals, two a part
        {100, 3, 30, {0, 30, 60}},     // four intervals, the last one 10 frames: the third part holds two
        {1800, 3, 250, {0, 500, 1250}},  // a minute at 30 fps: 8 intervals (the last of 50 frames) as 2, 3, 3
        {100, 3, 0, {0, 33, 66}},      // no grid: a frame apart at most
        {10, 1, 250, {0}},             // one part, shorter than an interval
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames, " + std::to_string(c.parts) + " parts, keyframes " +
                     std::to_string(c.every));
        for (int k = 1; k <= c.parts; ++k)
            EXPECT_EQ(segmentFrames(c.frames, {k, c.parts}, c.every).first, c.starts[size_t(k - 1)]);
    }
    for (const int64_t every : {0, 1, 7, 25})
        for (int64_t frames = 1; frames <= 120; ++frames)
            for (int parts = 1; parts <= 6; ++parts) {
                const bool possible = segmentProblem(frames, {1, parts}, every).ok();
                EXPECT_EQ(possible, (every ? (frames + every - 1) / every : frames) >= parts);
                int64_t next = 0;
                for (int k = 1; k <= parts && possible; ++k) {
                    const FrameSpan span = segmentFrames(frames, {k, parts}, every);
                    ASSERT_EQ(span.first, next) << frames << " " << parts << " " << every;
                    ASSERT_GE(span.count, 1);
                    if (every) {
                        ASSERT_EQ(span.first % every, 0);
                    }
                    next += span.count;
                }
                if (possible) {
                    EXPECT_EQ(next, frames);
                }
            }
}

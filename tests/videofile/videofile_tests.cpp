// Video files through FFmpeg's libraries: frames come back in their colours whatever matrix, range and depth
// the stream is tagged with (inputs made by the ffmpeg program, an independent writer); what the writer makes
// is read back alike by the ffmpeg program (an independent reader); the sound lands on the sample it belongs to,
// whether given, re-encoded from a file or copied from one.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "videofile/audio_reader.h"
#include "videofile/video_reader.h"
#include "videofile/video_writer.h"
#include "tests/support/scratch.h"
#include "tests/support/synth_video.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::media;
using namespace vistereo::testsupport;

namespace {

class VideoMediaTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        silenceVideoLibraries();
        if (!haveTool("ffmpeg") || !haveTool("ffprobe")) GTEST_SKIP() << "needs ffmpeg and ffprobe (apt-get install ffmpeg)";
    }
};

// Frame n of the written test video: four saturated blocks and a grey one that moves and brightens with n.
cv::Mat testFrame(int n) {
    cv::Mat m(48, 64, CV_8UC3, cv::Scalar(40, 90, 160));
    const cv::Scalar colours[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
    for (int k = 0; k < 4; ++k) m(cv::Rect(16 * k, 0, 16, 16)).setTo(colours[k]);
    m(cv::Rect(4 * n, 24, 16, 16)).setTo(cv::Scalar::all(10 + 25 * n));
    return m;
}

// The largest difference inside the blocks of frame n, away from the blur of 4:2:0 chroma at their edges.
int blockDifference(const cv::Mat& frame, const cv::Mat& expected, int n) {
    double most = 0;
    for (int k = 0; k < 5; ++k) {
        const cv::Rect inside = k < 4 ? cv::Rect(16 * k + 4, 4, 8, 8) : cv::Rect(4 * n + 4, 28, 8, 8);
        most = std::max(most, cv::norm(frame(inside), expected(inside), cv::NORM_INF));
    }
    return static_cast<int>(most);
}

// `frames` test frames (frame n % 10 as the n-th) written at `rate`, with `audio`; the writer's note on the sound.
std::string writeTestVideo(const fs::path& file, int frames, FrameRate rate, VideoEncoding encoding,
                           std::optional<AudioSource> audio = std::nullopt) {
    VideoWriterSettings settings;
    settings.width = 64, settings.height = 48, settings.frameRate = rate, settings.encoding = encoding;
    settings.audio = audio;
    VideoWriter writer(file, settings);
    for (int n = 0; n < frames; ++n) {
        const Fallible wrote = writer.write(testFrame(n % 10));
        EXPECT_TRUE(wrote.ok()) << wrote.error;
    }
    const Fallible finished = writer.finish();
    EXPECT_TRUE(finished.ok()) << finished.error;
    return writer.audioNote();
}

std::vector<cv::Mat> readAll(const fs::path& file) {
    VideoReader reader(file);
    std::vector<cv::Mat> frames;
    VideoFrame frame;
    while (reader.read(frame) == VideoReader::Read::Frame) frames.push_back(frame.bgr.clone());
    return frames;
}

}  // namespace

TEST_F(VideoMediaTest, FramesAreConvertedWithTheStreamsOwnMatrixRangeAndDepth) {
    // One colour, BGR (240, 128, 32), stored in each way a camera or an editor may store it.
    const struct { const char* matrix; const char* range; const char* format; int depth; } cases[] = {
        {"bt709", "tv", "yuv420p", 8}, {"bt470bg", "tv", "yuv420p", 8},
        {"bt470bg", "pc", "yuvj420p", 8}, {"bt709", "tv", "yuv420p10le", 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.matrix) + " " + c.range + " " + c.format);
        const fs::path file = dir / (std::string(c.format) + c.matrix + c.range + ".mp4");
        const bool bt709 = std::string(c.matrix) == "bt709", full = std::string(c.range) == "pc";
        toolOutput({"ffmpeg", "-y", "-f", "lavfi", "-i", "color=c=0x2080F0:s=64x48:r=24:d=0.25,format=rgb24", "-vf",
                    std::string("scale=out_color_matrix=") + (bt709 ? "bt709" : "bt601") + ":out_range=" +
                        (full ? "full" : "limited") + ",format=" + c.format,
                    "-colorspace", c.matrix, "-color_range", c.range, "-c:v", "libx264", "-qp", "0", file.string()});
        VideoReader reader(file);
        ASSERT_TRUE(reader.opened().ok()) << reader.opened().error;
        EXPECT_EQ(reader.facts().colourMatrix, c.matrix);
        EXPECT_EQ(reader.facts().bitDepth, c.depth);
        EXPECT_EQ(reader.facts().frameCount, 6);
        EXPECT_EQ(reader.notes().size(), c.depth > 8 ? 1u : 0u);
        VideoFrame frame;
        ASSERT_EQ(reader.read(frame), VideoReader::Read::Frame);
        EXPECT_LE(cv::norm(frame.bgr(cv::Rect(8, 8, 48, 32)), cv::Mat(32, 48, CV_8UC3, cv::Scalar(240, 128, 32)), cv::NORM_INF),
                  3);

        // As planes: 8-bit 4:2:0 holding the numbers of the stream's own matrix and range (the 10-bit ones cut to
        // 8 bits, not moved to another range), and saying which.
        VideoReader planar(file, 1, FrameLayout::Planes);
        ASSERT_EQ(planar.read(frame), VideoReader::Read::Frame);
        const YuvPlanes& p = frame.planes;
        ASSERT_EQ(p.y.size(), cv::Size(64, 48));
        ASSERT_EQ(p.cb.size(), cv::Size(32, 24));
        EXPECT_EQ(p.colour.fullRange, full);
        EXPECT_EQ(p.colour.matrix, bt709 ? 1 : 5);
        const double kr = bt709 ? 0.2126 : 0.299, kb = bt709 ? 0.0722 : 0.114, r = 32, g = 128, b = 240;
        const double luma = kr * r + (1 - kr - kb) * g + kb * b;
        const double yScale = full ? 1.0 : 219.0 / 255, cScale = full ? 1.0 : 224.0 / 255;
        EXPECT_NEAR(p.y.at<uint8_t>(24, 32), (full ? 0 : 16) + yScale * luma, 2.0);
        EXPECT_NEAR(p.cb.at<uint8_t>(12, 16), 128 + cScale * (b - luma) / (2 * (1 - kb)), 2.0);
        EXPECT_NEAR(p.cr.at<uint8_t>(12, 16), 128 + cScale * (r - luma) / (2 * (1 - kr)), 2.0);
    }
}

TEST_F(VideoMediaTest, PlanesAreWrittenAsGivenInTheirColour) {
    // Each frame's planes differ and are written from the same memory, so that an encoder reading them after
    // the write returned would show as a wrong frame; lossless (H.264), they come back to the number; at 10 bits
    // (HEVC Main 10, which x265's CRF 0 does not make lossless) to within the encoder's steps, and read back as
    // 10-bit planes, levels beyond 255 kept.
    const struct { bool full; int matrix; int bits; const char* probe; } cases[] = {
        {false, 1, 8, "pix_fmt=yuv420p\ncolor_range=tv\ncolor_space=bt709\n"},
        {true, 6, 8, "pix_fmt=yuvj420p\ncolor_range=pc\ncolor_space=smpte170m\n"},
        {false, 9, 10, "pix_fmt=yuv420p10le\ncolor_range=tv\ncolor_space=bt2020nc\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.probe);
        const bool deep = c.bits == 10;
        YuvColour colour;
        colour.fullRange = c.full, colour.matrix = c.matrix;
        VideoWriterSettings settings;
        settings.width = 64, settings.height = 48;
        settings.encoding = {deep ? VideoCodec::Hevc : VideoCodec::H264, 0, "ultrafast", 1};
        settings.colour = colour;
        settings.bits = c.bits;
        const fs::path file = dir / "planes.mp4";
        std::vector<YuvPlanes> written;
        {
            VideoWriter writer(file, settings);
            ASSERT_TRUE(writer.opened().ok()) << writer.opened().error;
            YuvPlanes planes = YuvPlanes::allocate(64, 48, colour, c.bits);
            for (int n = 0; n < 6; ++n) {
                if (deep)  // smooth enough for a lossy encoder to keep, over the 10-bit range
                    cv::randu(planes.y, 300 + 40 * n, 330 + 40 * n), cv::randu(planes.cb, 500, 530),
                        cv::randu(planes.cr, 700, 730);
                else
                    cv::randu(planes.y, n, 256 - n), cv::randu(planes.cb, 0, 256), cv::randu(planes.cr, 0, 256);
                written.push_back({planes.y.clone(), planes.cb.clone(), planes.cr.clone(), colour, c.bits, nullptr});
                const Fallible wrote = writer.write(planes);
                EXPECT_TRUE(wrote.ok()) << wrote.error;
            }
            const Fallible finished = writer.finish();
            ASSERT_TRUE(finished.ok()) << finished.error;
        }
        {  // planes of another depth than the video's are refused
            VideoWriter other(dir / "other.mp4", settings);
            const Fallible wrote = other.write(YuvPlanes::allocate(64, 48, colour, deep ? 8 : 10));
            EXPECT_NE(wrote.error.find("-bit planes do not fit a video written at " + std::to_string(c.bits) + " bits"),
                      std::string::npos) << wrote.error;
            // The failure stays with the writer: its next frame is refused alike.
            EXPECT_EQ(other.write(YuvPlanes::allocate(64, 48, colour, c.bits)).error, wrote.error);
        }
        if (!(colour == YuvColour{})) {  // planes in another colour than the video's are refused
            VideoWriter other(dir / "other.mp4", settings);
            const Fallible wrote = other.write(YuvPlanes::allocate(64, 48, YuvColour{}, c.bits));
            EXPECT_NE(wrote.error.find("do not fit a video written in " + colour.describe()), std::string::npos)
                << wrote.error;
        }
        EXPECT_EQ(toolOutput({"ffprobe", "-v", "error", "-show_entries", "stream=pix_fmt,color_range,color_space", "-of",
                              "default=nw=1", file.string()}),
                  c.probe);
        VideoReader reader(file, 1, deep ? FrameLayout::DeepPlanes : FrameLayout::Planes);
        VideoFrame frame;
        for (const YuvPlanes& expected : written) {
            ASSERT_EQ(reader.read(frame), VideoReader::Read::Frame);
            EXPECT_EQ(frame.planes.colour.fullRange, c.full);
            ASSERT_EQ(frame.planes.bits, c.bits);
            ASSERT_EQ(frame.planes.y.type(), expected.y.type());
            // (A plane read at the wrong depth or shifted by two bits is hundreds of levels off.)
            const double most = deep ? 20.0 : 0.0, mean = deep ? 4.0 : 0.0;
            for (const auto& [got, want] : {std::pair(&frame.planes.y, &expected.y), std::pair(&frame.planes.cb, &expected.cb),
                                            std::pair(&frame.planes.cr, &expected.cr)}) {
                EXPECT_LE(cv::norm(*got, *want, cv::NORM_INF), most);
                EXPECT_LE(cv::norm(*got, *want, cv::NORM_L1) / static_cast<double>(want->total()), mean);
            }
        }
    }
    // 10 bits are HEVC's only: H.264 at 10 bits is refused before anything is written.
    VideoWriterSettings h264;
    h264.width = 64, h264.height = 48, h264.bits = 10;
    VideoWriter refused(dir / "h264-10.mp4", h264);
    EXPECT_NE(refused.opened().error.find("10-bit h264 is not written"), std::string::npos) << refused.opened().error;
    EXPECT_EQ(refused.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(0))).error, refused.opened().error);
}

TEST_F(VideoMediaTest, WrittenVideoIsReadAlikeByAnIndependentDecoderTaggedBt709) {
    const struct { VideoCodec codec; int crf; int tolerance; const char* name; const char* tag; } cases[] = {
        {VideoCodec::H264, 0, 6, "h264", "avc1"}, {VideoCodec::Hevc, 4, 16, "hevc", "hvc1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / (std::string(c.name) + ".mp4");
        writeTestVideo(file, 8, {24, 1}, {c.codec, c.crf, "ultrafast", 1});
        EXPECT_EQ(toolOutput({"ffprobe", "-v", "error", "-show_entries",
                              "stream=codec_name,codec_tag_string,nb_frames,color_space,color_range,color_transfer,"
                              "color_primaries",
                              "-of", "default=nw=1", file.string()}),
                  std::string("codec_name=") + c.name + "\ncodec_tag_string=" + c.tag +
                      "\ncolor_range=tv\ncolor_space=bt709\ncolor_transfer=bt709\ncolor_primaries=bt709\nnb_frames=8\n");
        const std::string raw =
            toolOutput({"ffmpeg", "-v", "error", "-i", file.string(), "-f", "rawvideo", "-pix_fmt", "bgr24", "-"});
        ASSERT_EQ(raw.size(), 8u * 64 * 48 * 3);
        const std::vector<cv::Mat> ours = readAll(file);
        ASSERT_EQ(ours.size(), 8u);
        for (int n = 0; n < 8; ++n) {
            const cv::Mat theirs(48, 64, CV_8UC3, const_cast<char*>(raw.data()) + n * 64 * 48 * 3);
            EXPECT_LE(blockDifference(ours[n], theirs, n), 3) << "frame " << n;
            EXPECT_LE(blockDifference(ours[n], testFrame(n), n), c.tolerance) << "frame " << n;
        }
    }
}

TEST_F(VideoMediaTest, SeekLandsOnTheFrameOfThatTime) {
    const fs::path file = dir / "seek.mp4";
    writeTestVideo(file, 10, {30000, 1001}, {VideoCodec::H264, 0, "ultrafast", 1});
    VideoReader reader(file);
    VideoFrame frame;
    for (int wanted : {7, 0, 9, 3}) {
        ASSERT_TRUE(reader.seek(wanted * 1001.0 / 30000.0));
        ASSERT_EQ(reader.read(frame), VideoReader::Read::Frame);
        EXPECT_EQ(frame.index, wanted);
        EXPECT_LE(blockDifference(frame.bgr, testFrame(wanted), wanted), 3) << "frame " << wanted;
    }
    // A frame still held elsewhere keeps its pixels while the next ones are read.
    ASSERT_TRUE(reader.seek(8.0 * 1001 / 30000));
    reader.read(frame);
    const cv::Mat held = frame.bgr;
    EXPECT_EQ(reader.read(frame), VideoReader::Read::Frame);
    EXPECT_EQ(reader.read(frame), VideoReader::Read::End);
    EXPECT_LE(blockDifference(held, testFrame(8), 8), 3);
}

TEST_F(VideoMediaTest, SoundLandsOnItsSampleGivenReEncodedOrCopied) {
    // One click at 0.25 s in 1 s of silence: written as given samples, then carried from a WAV (re-encoded) and
    // from that MP4's AAC (copied) over the stretch from 0.1 s.
    const int rate = 48000;
    std::vector<float> sound(rate, 0.0f);
    for (int k = 0; k < 48; ++k) sound[12000 + k] = 0.8f * std::exp(-k / 12.0f) * (k % 2 ? -1.0f : 1.0f);
    writeWav(dir / "click.wav", sound, rate);
    auto writeWith = [&](const fs::path& file, const AudioSource& audio) {
        return writeTestVideo(file, 24, {24, 1}, {VideoCodec::H264, 23, "ultrafast", 1}, audio);
    };
    AudioSource given;
    given.mono = sound, given.sampleRate = rate;
    EXPECT_EQ(writeWith(dir / "given.mp4", given), "samples encoded to AAC");
    const struct { const char* source; const char* note; int slack; } carried[] = {
        {"click.wav", "pcm_s16le re-encoded to AAC", 2}, {"given.mp4", "aac copied", 1024}};
    for (const auto& c : carried) {
        SCOPED_TRACE(c.source);
        AudioSource stretch;
        stretch.file = dir / c.source, stretch.fromSeconds = 0.1, stretch.seconds = 0.8;
        EXPECT_EQ(writeWith(dir / "carried.mp4", stretch), c.note);
        // Read back from 0.05 s of the output: the click, at 0.15 s of the output, is 0.1 s in.
        const MonoAudio back = readMonoAudio(dir / "carried.mp4", 0.05, 0.5, rate);
        ASSERT_TRUE(back.ok()) << back.error;
        ASSERT_EQ(back.samples.size(), 24000u);
        const auto peak = std::max_element(back.samples.begin(), back.samples.end(),
                                           [](float a, float b) { return std::fabs(a) < std::fabs(b); });
        EXPECT_GT(std::fabs(*peak), 0.3f);
        EXPECT_NEAR(peak - back.samples.begin(), 4800, c.slack);
    }
    // Before a file's first sound and after its last the stretch is silence the file does not reach.
    const MonoAudio early = readMonoAudio(dir / "given.mp4", -0.5, 1.0, rate);
    ASSERT_TRUE(early.ok());
    EXPECT_EQ(*std::max_element(early.samples.begin(), early.samples.begin() + 24000), 0.0f);
    EXPECT_GT(*std::max_element(early.samples.begin() + 35900, early.samples.begin() + 36100), 0.3f);
    EXPECT_EQ(early.heardFrom, 24000u);
    EXPECT_EQ(early.heardTo, 48000u);
    const MonoAudio late = readMonoAudio(dir / "given.mp4", 0.5, 1.0, rate);
    ASSERT_TRUE(late.ok());
    EXPECT_EQ(late.heardFrom, 0u);
    EXPECT_GE(late.heardTo, 24000u);  // the sound's second, and what the encoder's last frame pads it with
    EXPECT_LT(late.heardTo, 24000u + 1024u);
}

// Two cameras convert alike when their range and matrix coefficients agree, however the matrix is tagged: BT.601 as
// SMPTE 170M and as BT.470BG is one matrix (the video then keeps its planes), BT.709 or another range is not.
TEST(YuvColourTest, OneMatrixTaggedTwoWaysConvertsAlike) {
    const auto colour = [](int matrix, bool full) {
        media::YuvColour c;
        c.matrix = matrix, c.fullRange = full;
        return c;
    };
    const int smpte170m = 6, bt470bg = 5, bt709 = 1;
    const struct { media::YuvColour a, b; bool alike; } cases[] = {
        {colour(smpte170m, false), colour(bt470bg, false), true},
        {colour(bt470bg, true), colour(bt470bg, true), true},
        {colour(bt709, false), colour(smpte170m, false), false},
        {colour(smpte170m, false), colour(bt470bg, true), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a.describe() + " / " + c.b.describe());
        EXPECT_EQ(c.a.sameConversion(c.b), c.alike);
        EXPECT_EQ(c.b.sameConversion(c.a), c.alike);
        if (c.alike) { EXPECT_EQ(c.a.describe(), c.b.describe()); }
    }
}

// Image headers read before decoding (the input size limit depends on them), MD5, base64, JPEG marker walking,
// XMP properties, and the VR180 writer and reader: round trips, the segment layout, shuffled and damaged chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "stereofile/base64.h"
#include "imagefile/image_header.h"
#include "imagefile/jpeg_segments.h"
#include "stereofile/md5.h"
#include "stereofile/vr180.h"
#include "stereofile/xmp_properties.h"
#include "tests/support/media_test_support.h"

using namespace vistereo;
using namespace vistereo::media;
using namespace mediatest;
using ImageHeaderTest = testsupport::ScratchTest;

namespace {

std::string randomImage(const std::string& extension, int width, int height, int type = CV_8UC3) {
    cv::Mat image(height, width, type);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes)) << extension;
    return {bytes.begin(), bytes.end()};
}

TEST_F(ImageHeaderTest, ReadsTheSizeOfEveryFormatAndPastLargeJpegSegmentsAndNeverAWrongOne) {
    const struct { const char* extension; const char* format; int type; } cases[] = {
        {".jpg", "JPEG", CV_8UC3}, {".png", "PNG", CV_8UC3}, {".bmp", "BMP", CV_8UC3}, {".tif", "TIFF", CV_8UC3},
        {".webp", "WebP", CV_8UC3}, {".ppm", "PNM", CV_8UC3}, {".pgm", "PNM", CV_8UC1}, {".pfm", "PFM", CV_32FC3},
        {".ras", "Sun raster", CV_8UC3}, {".hdr", "HDR", CV_32FC3}, {".pam", "PAM", CV_8UC3}};
    for (const auto& c : cases)
        for (auto [width, height] : {std::pair{37, 23}, {23, 37}}) {
            SCOPED_TRACE(std::string(c.extension) + " " + std::to_string(width));
            const std::string bytes = randomImage(c.extension, width, height, c.type);
            const ImageHeader h = probeImageHeaderBytes(bytes);
            EXPECT_TRUE(h.format == c.format && h.width == width && h.height == height) << h.format << " " << h.width << " x " << h.height;
            // Cut inside the header: unknown, never a wrong size.
            const ImageHeader cut = probeImageHeaderBytes(std::string_view(bytes).substr(0, 10));
            EXPECT_TRUE(!cut.known() || (cut.width == width && cut.height == height)) << cut.format;
        }
    for (const std::string& junk : {std::string(), std::string("\xFF\xD8"), std::string("\xFF\xD8\xFF\xDA\x00\x02"),
                                    std::string("\xFF\xD8\xFF\xE0\x00\x01"), std::string("GIF89a....")})
        EXPECT_FALSE(probeImageHeaderBytes(junk).known()) << ::testing::PrintToString(junk);
    // A file with large metadata segments before the frame header, as cameras write them, followed without decoding.
    const std::string jpeg = randomImage(".jpg", 64, 48), app1 = std::string("\xFF\xE1\xFF\xF0", 4) + std::string(0xFFF0 - 2, 'x');
    testsupport::writeFile(dir / "probe.jpg", jpeg.substr(0, 2) + app1 + app1 + jpeg.substr(2));
    const ImageHeader h = probeImageHeader(dir / "probe.jpg");
    EXPECT_TRUE(h.format == "JPEG" && h.width == 64 && h.height == 48) << h.format << " " << h.width;
    EXPECT_FALSE(probeImageHeader(dir / "missing.jpg").known());
}

TEST(Md5, MatchesRfc1321AndTheBlockBoundaries) {
    // RFC 1321's vectors, then lengths around the 56- and 64-byte padding edges (digests from Python's hashlib).
    std::string ramp(1000, '\0');
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = char(uint8_t(i * 7 + 3));
    const std::pair<std::string, const char*> cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"}, {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
        {ramp.substr(0, 55), "52C0E574E1198DE5FE3F8F11440DCB1B"}, {ramp.substr(0, 56), "46C9907FC908EE68B1E7B8E71286A518"},
        {ramp.substr(0, 63), "A62F6D59E837867693F042F5B8F5A236"}, {ramp.substr(0, 64), "7160B8FB5E9E4023D549C3971FBAEEAD"},
        {ramp.substr(0, 65), "70BD662E7AEFBDA85A0F7244167B7897"}, {ramp, "10046F077F2082AC19676B8079F1CB1A"}};
    for (const auto& [text, digest] : cases) {  // as text and as bytes
        EXPECT_EQ(md5HexUpper(text), digest) << text.size() << " bytes";
        EXPECT_EQ(md5HexUpper(bytesOf(text)), digest) << text.size() << " bytes";
    }
}

TEST(Base64, Rfc4648VectorsWhiteSpaceAndRefusals) {
    const struct { const char* encoded; const char* plain; bool canonical; } accepted[] = {
        {"", "", true}, {"Zg==", "f", true}, {"Zm8=", "fo", true}, {"Zm9v", "foo", true}, {"Zm9vYmFy", "foobar", true},
        {"+/+/", "\xfb\xff\xbf", true}, {"Zm9v\nYmFy", "foobar", false}, {" Zm 9v\r\nYg = = \t", "foob", false}};
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.encoded);
        EXPECT_TRUE(!c.canonical || base64Encode(bytesOf(c.plain)) == c.encoded);
        const auto decoded = base64Decode(c.encoded);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(textOf(*decoded), c.plain);
    }
    for (const char* bad : {"Zg=", "Z===", "Zg", "Zm9v=", "=Zm9", "Zg==Zg==", "Zm9!", "Zm9v\x80", "Zm-_", "Zg=a", "===="})
        EXPECT_FALSE(base64Decode(bad)) << '"' << bad << '"';
}

TEST(JpegLayout, WalksFillBytesAndStandaloneMarkersToSosAndRefusesHostileBytesWithReasons) {
    const JpegLayout l = parseJpegLayout(Bytes{0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xE0, 0x00, 0x03, 0x41, 0xFF, 0xD0, 0xFF, 0x01,
                                               0xFF, 0xDA, 0x00, 0x02});
    ASSERT_TRUE(l.ok() && l.segments.size() == 3u) << l.error;
    EXPECT_TRUE(l.segments[0].begin == 2u && l.segments[0].payloadSize() == 1u);
    EXPECT_TRUE(l.segments[1].marker == 0xD0 && l.segments[2].marker == 0x01 && l.scanBegin == 13u);
    const struct { Bytes bytes; const char* reason; } cases[] = {
        {{}, "no SOI"}, {{0x89, 0x50, 0x4E, 0x47}, "no SOI"}, {{0xFF, 0xD8}, "no SOS"},
        {{0xFF, 0xD8, 0xFF, 0xFF, 0xFF}, "no SOS"}, {{0xFF, 0xD8, 0x00}, "marker expected at offset 2"},
        {{0xFF, 0xD8, 0xFF, 0x00}, "0xFF00"}, {{0xFF, 0xD8, 0xFF, 0xD8}, "second SOI"}, {{0xFF, 0xD8, 0xFF, 0xD9}, "EOI"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00}, "length cut off"}, {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01}, "below 2"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF}, "past the end"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x09}, "past the end"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02, 0x12}, "marker expected at offset 6"}};
    for (const auto& c : cases) {
        const JpegLayout layout = parseJpegLayout(c.bytes);
        EXPECT_FALSE(layout.ok());
        EXPECT_NE(layout.error.find(c.reason), std::string::npos) << layout.error << " / expected " << c.reason;
    }
}

TEST(XmpProperties, ReadsAttributesAndSimpleElementsByNamespace) {
    const XmpProperties p = readXmpProperties(
        "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'><!-- c -->"
        "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
        " <rdf:Description rdf:about='' xmlns:P='http://ns.google.com/photos/1.0/panorama/'"
        "   P:ProjectionType=\"equirectangular\" P:Note='a &amp; b &lt;&#x41;&#66;&gt; &quot;&apos;'>"
        "  <P:FullPanoWidthPixels>2048</P:FullPanoWidthPixels><P:Cdata><![CDATA[<raw>&amp;]]></P:Cdata>"
        "  <P:Struct rdf:parseType='Resource'><P:Inner>no</P:Inner></P:Struct>"
        "  <P:List><rdf:Seq><rdf:li>no</rdf:li></rdf:Seq></P:List><P:Empty/></rdf:Description>"
        " <rdf:Description xmlns:n='http://ns.adobe.com/xmp/note/'><n:HasExtendedXMP>ABC</n:HasExtendedXMP>"
        "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>");
    ASSERT_TRUE(p.ok()) << p.error;
    const struct { std::string_view ns; const char* name; const char* value; } expected[] = {
        {kGPanoNamespace, "ProjectionType", "equirectangular"}, {kGPanoNamespace, "Note", "a & b <AB> \"'"},
        {kGPanoNamespace, "FullPanoWidthPixels", "2048"}, {kGPanoNamespace, "Cdata", "<raw>&amp;"},
        {kGPanoNamespace, "Empty", ""}, {kXmpNoteNamespace, "HasExtendedXMP", "ABC"},
        {kGPanoNamespace, "Struct", nullptr}, {kGPanoNamespace, "Inner", nullptr}, {kGPanoNamespace, "li", nullptr},
        {kRdfNamespace, "about", nullptr}, {"http://ns.google.com/photos/1.0/panorama", "ProjectionType", nullptr}};
    for (const auto& e : expected) {
        const std::string* v = p.find(e.ns, e.name);
        EXPECT_EQ(v ? v->c_str() : "<absent>", std::string(e.value ? e.value : "<absent>")) << e.name;
    }
}

TEST(XmpProperties, RefusesMalformedXml) {
    const auto expectRefused = [](const std::string& xml, const char* reason) {
        const XmpProperties p = readXmpProperties(xml);
        EXPECT_FALSE(p.ok()) << xml.substr(0, 60);
        EXPECT_NE(p.error.find(reason), std::string::npos) << p.error << " / expected " << reason;
    };
    std::string nested;
    for (int i = 0; i < 600; ++i) nested += "<a>";
    const struct { std::string xml; const char* reason; } cases[] = {
        {"<a><b></a>", "mismatched end tag"}, {"</a>", "mismatched end tag"}, {"<a>", "unterminated element"},
        {"<a", "unterminated start tag"}, {"<a b>", "attribute without value"}, {"<a b=c>", "not quoted"},
        {"<a b='c>", "unterminated attribute value"}, {"<a b='<'/>", "'<' in attribute value"},
        {"<!DOCTYPE x [<!ENTITY e 'e'>]><a/>", "DOCTYPE"}, {"<a><!-- x", "unterminated comment"},
        {"<?xpacket", "unterminated processing instruction"}, {"<a><![CDATA[x", "unterminated CDATA"},
        {"<a b='1'c='2'/>", "separated by white space"}, {"< a/>", "bad start tag"}, {nested, "nested too deeply"}};
    for (const auto& c : cases) expectRefused(c.xml, c.reason);
    for (const char* bad : {"<a b='&bogus;'/>", "<a b='&#0;'/>", "<a b='&#xD800;'/>", "<a b='&#x110000;'/>", "<a b='&amp'/>", "<a>&#;</a>"})
        expectRefused(bad, "bad character reference");
}

// ---------------------------------------------------------------- VR180 writer and reader

struct Pair { int n; Bytes left, right; };
Pair makePair(int n, bool noisyRight = false) { return {n, makeJpeg(n, n, 1), makeJpeg(n, n, 2, noisyRight)}; }

Bytes writeOk(const Pair& p, const Bytes& exif = {}, double pose = 0.0) {
    const Vr180WriteResult w = writeVr180Jpeg(p.left, p.right, p.n, exif, pose);
    EXPECT_TRUE(w.ok()) << w.error;
    return w.jpeg;
}

// A 512 x 512 pair whose noisy right eye fills several chunks, and its file, made once.
const Pair& largePair() { static const Pair p = makePair(512, true); return p; }
const Bytes& largeFile() { static const Bytes file = writeOk(largePair()); return file; }

// Written over an earlier VR180 file of the left eye (its EXIF A): the earlier
// XMP goes, the EXIF given replaces A, or A is kept when none is given.
TEST(Vr180, RoundTripWritesExifOneDescriptionOfAttributesThenTheChunk) {
    const Bytes exifA = bytesOf(std::string("Exif\0\0", 6) + "MM\0*AAAA");
    const Bytes exifB = bytesOf(std::string("Exif\0\0", 6) + "II*\0\x08\0\0\0\0\0\0\0\0\0");
    for (const auto& [n, exif] : {std::pair{1, exifB}, {64, Bytes{}}, {257, exifB}}) {
        SCOPED_TRACE(n);
        const Pair p = makePair(n);
        const Bytes file = writeOk({n, writeOk(p, exifA), p.right}, exif, 12.5);
        const Vr180ReadResult r = readVr180Jpeg(file);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_TRUE(r.rightJpeg == p.right && r.extendedChunks == 1u && r.mime == "image/jpeg");
        EXPECT_TRUE(r.pano.projectionType == "equirectangular" && r.pano.usePanoramaViewer);
        EXPECT_EQ((std::vector<int64_t>{r.pano.croppedAreaImageWidthPixels, r.pano.croppedAreaImageHeightPixels,
                                        r.pano.fullPanoWidthPixels, r.pano.fullPanoHeightPixels,
                                        r.pano.croppedAreaLeftPixels, r.pano.croppedAreaTopPixels}),
                  (std::vector<int64_t>{n, n, 2 * n, n, n / 2, 0}));
        EXPECT_TRUE(r.pano.initialViewHeadingDegrees == 180.0 && r.pano.poseHeadingDegrees == 12.5);
        // JFIF, EXIF, standard XMP, the chunk, then the left JPEG's own segments and scan as given.
        const Walk w = walk(file), left = walk(p.left);
        ASSERT_EQ(w.segments.size(), left.segments.size() + 3);
        EXPECT_EQ(w.segments[1].payload, exif.empty() ? exifA : exif);
        ASSERT_TRUE(startsWith(w.segments[2].payload, kXmpSig));
        EXPECT_EQ(chunkIndexes(w), std::vector<size_t>{3});
        for (size_t i = 0; i < left.segments.size(); ++i) EXPECT_EQ(w.segments[i == 0 ? 0 : i + 3].payload, left.segments[i].payload);
        EXPECT_EQ(w.scan, left.scan);
        Walk lessXmp = w;  // the reader's left: the file less its XMP
        lessXmp.segments.erase(lessXmp.segments.begin() + 2, lessXmp.segments.begin() + 4);
        EXPECT_EQ(r.leftJpeg, assemble(lessXmp));
        // The standard packet: one self-closed description holding the properties as attributes (exiftool's test
        // reads their values, the reader's result above says they are the writer's).
        const std::string xmp = textOf(w.segments[2].payload).substr(kXmpSig.size());
        EXPECT_LE(xmp.size(), 65502u);
        const size_t open = xmp.find("<rdf:Description"), close = xmp.find("/>", open);
        EXPECT_EQ(xmp.find("<rdf:Description", open + 1), std::string::npos) << "one description";
        EXPECT_TRUE(xmp.find("<GPano:") == std::string::npos && xmp.find("GImage:Data") == std::string::npos) << xmp;
        for (const char* a : {"xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\"", "GPano:ProjectionType=",
                              "GPano:PoseHeadingDegrees=\"12.5\"", "xmlns:GImage=\"http://ns.google.com/photos/1.0/image/\"",
                              "xmlns:xmpNote=\"http://ns.adobe.com/xmp/note/\"", "xmpNote:HasExtendedXMP="}) {
            const size_t at = xmp.find(a);
            EXPECT_TRUE(at != std::string::npos && at > open && at < close) << a;
        }
        // The GUID is the upper-case MD5 of the whole extended packet.
        const ChunkFields c = chunkFields(w.segments[3].payload);
        EXPECT_TRUE(c.guid == r.guid && c.offset == 0 && c.fullLength == c.data.size());
        EXPECT_EQ(c.guid, md5HexUpper(c.data));
    }
}

TEST(Vr180, ExtendedPacketSplitsAtTheChunkLimit) {
    const struct { size_t size; size_t chunks; } rows[] = {
        {1, 1}, {65399, 1}, {65400, 1}, {65401, 2}, {130800, 2}, {130801, 3}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        std::string packet(row.size, '\0');
        for (size_t i = 0; i < packet.size(); ++i) packet[i] = char('A' + (i * 7 + i / 65400) % 26);
        const std::vector<Bytes> payloads = extendedXmpPayloads(packet);
        ASSERT_EQ(payloads.size(), row.chunks);
        std::string joined;
        for (size_t k = 0; k < payloads.size(); ++k) {
            ASSERT_TRUE(startsWith(payloads[k], kExtSig)) << k;
            const ChunkFields c = chunkFields(payloads[k]);
            EXPECT_TRUE(c.guid == md5HexUpper(packet) && c.fullLength == row.size && c.offset == k * 65400) << k;
            EXPECT_EQ(c.data.size(), std::min<size_t>(65400, row.size - k * 65400)) << k;
            joined += c.data;
        }
        EXPECT_EQ(joined, packet);
    }
}

// The chunks' own fields are the splitting test's; here they stand together in the file, each segment within
// JPEG's limit, and are put together again wherever they stand.
TEST(Vr180, LargeRightEyeFillsSeveralChunksAndReassemblesInAnyOrder) {
    const Walk written = walk(largeFile());
    const std::vector<size_t> chunks = chunkIndexes(written);
    ASSERT_GE(chunks.size(), 4u);
    EXPECT_EQ(chunks.back(), chunks[0] + chunks.size() - 1) << "chunks stand together";
    for (const Segment& s : written.segments) EXPECT_LE(s.payload.size() + 2, 65535u);
    std::mt19937 random(11);
    for (int round = 0; round < 4; ++round) {  // round 0: as written; then shuffled among the other segments
        Walk w = written;
        std::vector<Segment> moved;
        for (auto i = chunks.rbegin(); round > 0 && i != chunks.rend(); ++i) {
            moved.push_back(w.segments[*i]);
            w.segments.erase(w.segments.begin() + long(*i));
        }
        std::shuffle(moved.begin(), moved.end(), random);
        moved.push_back({0xE1, chunkPayload({std::string(32, 'A'), 4, 0, "abcd"})});  // another packet's: passed over
        for (Segment& s : moved) w.segments.insert(w.segments.begin() + long(1 + random() % w.segments.size()), s);
        const Vr180ReadResult r = readVr180Jpeg(assemble(w));
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_TRUE(r.extendedChunks == chunks.size() && r.rightJpeg == largePair().right && r.leftJpeg == largePair().left);
    }
}

// ---- damaged files: a written file taken apart, changed, and put together again

TEST(Vr180, RefusesDamagedFilesWithReasonsAndReadsWhatOtherWritersLeaveOut) {
    const struct { const char* name; Change change; const char* reason; } cases[] = {
        {"no standard XMP", [](Walk& w, Chunks&) { std::erase_if(w.segments, [](const Segment& s) { return startsWith(s.payload, kXmpSig); }); },
         "no standard XMP"},
        {"standard XMP not XML", inStandard("</rdf:RDF>", ""), "standard XMP is not well-formed XML"},
        {"no GUID", inStandard("xmpNote:HasExtendedXMP", "xmpNote:Other"), "xmpNote:HasExtendedXMP missing"},
        {"GUID lower case", guidInStandard([](std::string g) { for (char& ch : g) ch = char(std::tolower(ch)); return g; }),
         "not a GUID"},
        {"GUID of no chunk", guidInStandard([](std::string) { return std::string(32, 'F'); }), "no extended XMP chunk with GUID FFFF"},
        {"no chunks", [](Walk& w, Chunks& c) { for (auto i = c.rbegin(); i != c.rend(); ++i) w.segments.erase(w.segments.begin() + long(*i)); },
         "no extended XMP chunk"},
        {"projection", inStandard("equirectangular", "cylindrical"), "GPano:ProjectionType is \"cylindrical\""},
        {"width missing", inStandard("GPano:FullPanoWidthPixels", "GPano:Other"), "GPano:FullPanoWidthPixels missing"},
        {"width not a number", inStandard("Pixels=\"1024\"", "Pixels=\"10x4\""), "GPano:FullPanoWidthPixels is not an integer"},
        {"heading not a number", inStandard("Degrees=\"0\"", "Degrees=\"nan\""), "GPano:PoseHeadingDegrees is not a number"},
        {"viewer flag", inStandard("\"True\"", "\"yes\""), "UsePanoramaViewer"},
        {"chunk too short", [](Walk& w, Chunks& c) { w.segments[c[1]].payload.resize(74); }, "extended XMP chunk too short"},
        {"chunk empty", [](Walk& w, Chunks& c) { w.segments[c[1]].payload.resize(75); }, "holds no data"},
        {"chunk runs past the end", inChunk(-1, [](ChunkFields& f) { f.offset += 1; }), "extended XMP chunk out of range"},
        {"offset wraps", inChunk(1, [](ChunkFields& f) { f.offset = 0xFFFFFFFFu; }), "extended XMP chunk out of range"},
        {"lengths disagree", inChunk(1, [](ChunkFields& f) { f.fullLength += 1; }), "disagree on the full length"},
        {"huge full length", [](Walk& w, Chunks& c) { for (size_t k = 0; k < c.size(); ++k) inChunk(int(k), [](ChunkFields& f) { f.fullLength = 0xFFFFFFF0u; })(w, c); },
         "extended XMP incomplete"},
        {"chunk missing", [](Walk& w, Chunks& c) { w.segments.erase(w.segments.begin() + long(c[1])); },
         "extended XMP incomplete: bytes 65400 to 130800 missing"},
        {"last chunk missing", [](Walk& w, Chunks& c) { w.segments.erase(w.segments.begin() + long(c.back())); }, "extended XMP incomplete"},
        {"chunk twice", [](Walk& w, Chunks& c) { w.segments.insert(w.segments.begin() + long(c[1]), w.segments[c[1]]); },
         "extended XMP chunks overlap at offset 65400"},
        {"overlap", inChunk(1, [](ChunkFields& f) { f.offset -= 1; }), "extended XMP chunks overlap"},
        {"byte changed", [](Walk& w, Chunks& c) { w.segments[c[1]].payload[500] ^= 0x01; }, "not valid base64"},
        {"GUID changed in one chunk only", inChunk(1, [](ChunkFields& f) { f.guid[0] = f.guid[0] == '0' ? '1' : '0'; }),
         "extended XMP incomplete"},
        {"extended not XML", extendedPacket("<x:xmpmeta>"), "extended XMP is not well-formed XML"},
        {"no GImage:Data", extendedPacket("", "GImage:Other='Zg=='"), "no GImage:Data"},
        {"not base64", extendedPacket("", "GImage:Data='/9j*'"), "GImage:Data is not valid base64"},
        {"not a JPEG", extendedPacket("", "GImage:Data='iVBORw=='"), "GImage:Data is not a JPEG"},
        {"empty data", extendedPacket("", "GImage:Data=''"), "GImage:Data is not a JPEG"}};
    ASSERT_GE(chunkIndexes(walk(largeFile())).size(), 3u);
    for (const auto& d : cases) {
        SCOPED_TRACE(d.name);
        const Vr180ReadResult r = readVr180Jpeg(changed(largeFile(), d.change));
        EXPECT_FALSE(r.ok());
        EXPECT_NE(r.error.find(d.reason), std::string::npos) << '"' << r.error << "\", expected \"" << d.reason << '"';
        EXPECT_TRUE(r.leftJpeg.empty() && r.rightJpeg.empty());
    }
    // Read all the same: a GUID that is not the MD5 of its packet, the same in the standard XMP and in every chunk
    // (with a warning, as Google Photos shows such files in stereo), and the viewer flag that other writers leave
    // out (True by default) or spell in another case.
    const std::string other(32, 'A');
    const struct { const char* name; Change change; bool viewer; bool otherGuid; } readable[] = {
        {"GUID not the MD5", [&](Walk& w, Chunks& c) {
             guidInStandard([&](std::string) { return other; })(w, c);
             for (size_t k = 0; k < c.size(); ++k) inChunk(int(k), [&](ChunkFields& f) { f.guid = other; })(w, c);
         }, true, true},
        {"viewer flag left out", inStandard("GPano:UsePanoramaViewer=\"True\"", ""), true, false},
        {"viewer flag false", inStandard("GPano:UsePanoramaViewer=\"True\"", "GPano:UsePanoramaViewer=\"false\""), false, false}};
    for (const auto& c : readable) {
        SCOPED_TRACE(c.name);
        const Vr180ReadResult r = readVr180Jpeg(changed(largeFile(), c.change));
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_TRUE(r.rightJpeg == largePair().right && r.pano.usePanoramaViewer == c.viewer);
        ASSERT_EQ(r.warnings.size(), c.otherGuid ? 1u : 0u);
        if (!c.otherGuid) continue;
        EXPECT_EQ(r.guid, other);
        EXPECT_NE(r.warnings[0].find("GUID " + other + " is not the MD5 of its packet"), std::string::npos) << r.warnings[0];
    }
}

TEST(Vr180, WriterRefusesWrongInputs) {
    const Pair p = makePair(32);
    const Bytes other = makeJpeg(32, 31, 1), cut(p.right.begin(), p.right.begin() + 100);
    Bytes tooLarge = bytesOf(std::string("Exif\0\0", 6) + "II*\0");
    tooLarge.resize(65534);
    // Empty left or right: the pair's own eye.
    const struct { const char* name; const char* reason; int n = 32; Bytes left = {}, right = {}, exif = {}; double pose = 0; } cases[] = {
        {"n 0", "eye size 0", 0}, {"n too large", "not in 1..65535", 70000},
        {"left size", "left JPEG is 32 x 31, not 32 x 32", 32, other}, {"right size", "right JPEG is 32 x 31", 32, {}, other},
        {"left not JPEG", "left JPEG: not a JPEG", 32, bytesOf("nope")}, {"right cut", "right JPEG:", 32, {}, cut},
        {"exif signature", "does not begin with", 32, {}, {}, bytesOf("Exif")},
        {"exif too large", "does not fit", 32, {}, {}, tooLarge}, {"pose 360", "PoseHeadingDegrees", 32, {}, {}, {}, 360.0},
        {"pose negative", "PoseHeadingDegrees", 32, {}, {}, {}, -1.0},
        {"pose NaN", "PoseHeadingDegrees", 32, {}, {}, {}, std::nan("")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Vr180WriteResult w = writeVr180Jpeg(c.left.empty() ? p.left : c.left, c.right.empty() ? p.right : c.right, c.n,
                                                  c.exif, c.pose);
        EXPECT_TRUE(!w.ok() && w.jpeg.empty());
        EXPECT_NE(w.error.find(c.reason), std::string::npos) << w.error;
    }
}

// Every prefix of a small file and single-byte changes all over it: a refusal
// with a reason or a result, never a crash (the fuzz build runs the reader
// under sanitizers). Cut before the scan it is refused; cut in the image data
// it still reads, as the reader does not look into the scan.
TEST(Vr180, NeverReadsOutsideTruncatedOrFlippedFiles) {
    const Bytes file = writeOk(makePair(16));
    const size_t scan = parseJpegLayout(file).scanBegin;
    ASSERT_GT(scan, 0u);
    const size_t scanHeaderEnd = scan + 2 + (size_t(file[scan + 2]) << 8 | file[scan + 3]);
    for (size_t n = 0; n < file.size(); n += 7) {
        const Vr180ReadResult r = readVr180Jpeg(Bytes(file.begin(), file.begin() + long(n)));
        EXPECT_EQ(r.ok(), n >= scanHeaderEnd) << n << ": " << r.error;
        Bytes changed = file;
        changed[n] ^= 0x5A;
        const Vr180ReadResult f = readVr180Jpeg(changed);
        EXPECT_TRUE(!f.ok() || !f.leftJpeg.empty()) << n;
    }
}

}  // namespace

// MD5, base64, JPEG marker walking, XMP properties, and the VR180 writer and
// reader: round trips, the segment layout, shuffled and damaged chunks, and
// an independent reading by exiftool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "media/base64.h"
#include "media/jpeg_segments.h"
#include "media/md5.h"
#include "media/vr180.h"
#include "media/xmp_properties.h"
#include "media_test_support.h"

using namespace vistereo::media;
using namespace mediatest;

namespace {

const std::string_view kXmpSig{"http://ns.adobe.com/xap/1.0/\0", 29};
const std::string_view kExtSig{"http://ns.adobe.com/xmp/extension/\0", 35};

// ---------------------------------------------------------------- MD5, base64

TEST(Md5, MatchesRfc1321TestSuiteAndBlockBoundaries) {
    const struct { std::string text; const char* digest; } rfc[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"}};
    for (const auto& c : rfc) EXPECT_EQ(md5HexUpper(c.text), c.digest) << '"' << c.text << '"';

    // Lengths around the 56- and 64-byte padding edges (digests from Python's hashlib).
    const struct { size_t length; const char* digest; } edges[] = {
        {55, "52C0E574E1198DE5FE3F8F11440DCB1B"}, {56, "46C9907FC908EE68B1E7B8E71286A518"},
        {63, "A62F6D59E837867693F042F5B8F5A236"}, {64, "7160B8FB5E9E4023D549C3971FBAEEAD"},
        {65, "70BD662E7AEFBDA85A0F7244167B7897"}, {1000, "10046F077F2082AC19676B8079F1CB1A"}};
    for (const auto& c : edges) {
        Bytes data(c.length);
        for (size_t i = 0; i < c.length; ++i) data[i] = uint8_t(i * 7 + 3);
        EXPECT_EQ(md5HexUpper(data), c.digest) << c.length << " bytes";
    }
}

TEST(Base64, MatchesRfc4648VectorsBothWays) {
    const struct { const char* plain; const char* encoded; } rfc[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : rfc) {
        EXPECT_EQ(base64Encode(bytesOf(c.plain)), c.encoded);
        const auto decoded = base64Decode(c.encoded);
        ASSERT_TRUE(decoded) << c.encoded;
        EXPECT_EQ(textOf(*decoded), c.plain);
    }
}

TEST(Base64, SkipsWhiteSpaceAndRefusesWhatIsNotBase64) {
    const struct { const char* text; const char* plain; } accepted[] = {
        {"Zm9v\nYmFy", "foobar"}, {" Zm 9v\r\nYg = = \t", "foob"}, {"\n", ""}, {"+/+/", "\xfb\xff\xbf"}};
    for (const auto& c : accepted) {
        const auto decoded = base64Decode(c.text);
        ASSERT_TRUE(decoded) << '"' << c.text << '"';
        EXPECT_EQ(textOf(*decoded), c.plain);
    }
    for (const char* bad : {"Zg=", "Z===", "Zg", "Zm9", "Zm9v=", "=Zm9", "Zg==Zg==", "Zm9!", "Zm9v\x80", "Zm-_",
                            "Zg=a", "===="})
        EXPECT_FALSE(base64Decode(bad)) << '"' << bad << '"';
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::mt19937 random(7);
    for (size_t n = 0; n < 300; ++n) {
        Bytes data(n);
        for (auto& b : data) b = uint8_t(random());
        const std::string text = base64Encode(data);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64Decode(text), data) << n;
    }
}

// ---------------------------------------------------------------- JPEG markers

TEST(JpegLayout, WalksSegmentsUpToSos) {
    const Bytes jpeg = makeJpeg(40, 30, 1);
    const JpegLayout layout = parseJpegLayout(jpeg);
    ASSERT_TRUE(layout.ok) << layout.error;
    ASSERT_FALSE(layout.segments.empty());
    EXPECT_EQ(layout.segments.front().marker, 0xE0);  // JFIF from OpenCV's encoder
    EXPECT_EQ(jpeg[layout.scanBegin + 1], 0xDA);
    const auto size = jpegFrameSize(jpeg, layout);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 40);
    EXPECT_EQ(size->height, 30);
    // Rebuilt with everything kept and nothing added it is the same file.
    EXPECT_EQ(rebuildJpeg(jpeg, layout, {}, [](const JpegSegment&) { return true; }), jpeg);
}

TEST(JpegLayout, TakesFillBytesAndStandaloneMarkers) {
    const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xE0, 0x00, 0x03, 0x41, 0xFF, 0xD0,
                        0xFF, 0x01, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0x34};
    const JpegLayout layout = parseJpegLayout(jpeg);
    ASSERT_TRUE(layout.ok) << layout.error;
    ASSERT_EQ(layout.segments.size(), 3u);
    EXPECT_EQ(layout.segments[0].begin, 2u);
    EXPECT_EQ(layout.segments[0].payloadSize(), 1u);
    EXPECT_EQ(layout.segments[1].marker, 0xD0);
    EXPECT_EQ(layout.segments[2].marker, 0x01);
    EXPECT_EQ(layout.scanBegin, 13u);
}

TEST(JpegLayout, RefusesHostileBytesWithReasons) {
    const struct { Bytes bytes; const char* reason; } cases[] = {
        {{}, "no SOI"},
        {{0xFF}, "no SOI"},
        {{0x89, 0x50, 0x4E, 0x47}, "no SOI"},
        {{0xFF, 0xD8}, "no SOS"},
        {{0xFF, 0xD8, 0xFF}, "no SOS"},
        {{0xFF, 0xD8, 0xFF, 0xFF, 0xFF}, "no SOS"},
        {{0xFF, 0xD8, 0x00}, "marker expected at offset 2"},
        {{0xFF, 0xD8, 0xFF, 0x00}, "0xFF00"},
        {{0xFF, 0xD8, 0xFF, 0xD8}, "second SOI"},
        {{0xFF, 0xD8, 0xFF, 0xD9}, "EOI"},
        {{0xFF, 0xD8, 0xFF, 0xE1}, "length cut off"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00}, "length cut off"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01}, "below 2"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x05, 0x00}, "past the end"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF}, "past the end"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xDA, 0x00, 0x09}, "past the end"},
        {{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02, 0x12}, "marker expected at offset 6"},
    };
    for (const auto& c : cases) {
        const JpegLayout layout = parseJpegLayout(c.bytes);
        EXPECT_FALSE(layout.ok);
        EXPECT_NE(layout.error.find(c.reason), std::string::npos) << layout.error << " / expected " << c.reason;
    }
}

// ---------------------------------------------------------------- XMP properties

TEST(XmpProperties, ReadsAttributesAndSimpleElementsByNamespace) {
    const std::string xml =
        "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>"
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><!-- a comment -->"
        "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
        " <rdf:Description rdf:about='' xmlns:P='http://ns.google.com/photos/1.0/panorama/'"
        "   P:ProjectionType=\"equirectangular\" P:Note='a &amp; b &lt;&#x41;&#66;&gt; &quot;&apos;'>"
        "  <P:FullPanoWidthPixels>2048</P:FullPanoWidthPixels>"
        "  <P:Cdata><![CDATA[<raw>&amp;]]></P:Cdata>"
        "  <P:Struct rdf:parseType='Resource'><P:Inner>no</P:Inner></P:Struct>"
        "  <P:List><rdf:Seq><rdf:li>no</rdf:li></rdf:Seq></P:List>"
        "  <P:Empty/>"
        " </rdf:Description>"
        " <rdf:Description xmlns:n='http://ns.adobe.com/xmp/note/'><n:HasExtendedXMP>ABC</n:HasExtendedXMP>"
        " </rdf:Description>"
        "</rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
    const XmpProperties p = readXmpProperties(xml);
    ASSERT_TRUE(p.ok) << p.error;
    const std::string gpano(kGPanoNamespace);
    const auto value = [&](std::string_view ns, const char* name) {
        const std::string* v = p.find(ns, name);
        return v ? *v : std::string("<absent>");
    };
    EXPECT_EQ(value(gpano, "ProjectionType"), "equirectangular");
    EXPECT_EQ(value(gpano, "Note"), "a & b <AB> \"'");
    EXPECT_EQ(value(gpano, "FullPanoWidthPixels"), "2048");
    EXPECT_EQ(value(gpano, "Cdata"), "<raw>&amp;");
    EXPECT_EQ(value(gpano, "Empty"), "");
    EXPECT_EQ(value(kXmpNoteNamespace, "HasExtendedXMP"), "ABC");
    for (const char* skipped : {"Struct", "Inner", "List", "li", "about"}) EXPECT_EQ(value(gpano, skipped), "<absent>");
    EXPECT_EQ(p.find(kRdfNamespace, "about"), nullptr);
    EXPECT_EQ(p.find("http://ns.google.com/photos/1.0/panorama", "ProjectionType"), nullptr);  // URI differs
}

TEST(XmpProperties, RefusesMalformedXml) {
    const std::string deep = std::string(600 * 3, 'x');
    std::string nested;
    for (int i = 0; i < 600; ++i) nested += "<a>";
    const struct { std::string xml; const char* reason; } cases[] = {
        {"<a><b></a>", "mismatched end tag"},
        {"<a>", "unterminated element"},
        {"<a", "unterminated start tag"},
        {"<a b>", "attribute without value"},
        {"<a b=c>", "not quoted"},
        {"<a b='c>", "unterminated attribute value"},
        {"<a b='<'/>", "'<' in attribute value"},
        {"<a b='&bogus;'/>", "bad character reference"},
        {"<a b='&#0;'/>", "bad character reference"},
        {"<a b='&#xD800;'/>", "bad character reference"},
        {"<a b='&#x110000;'/>", "bad character reference"},
        {"<a b='&amp'/>", "bad character reference"},
        {"<a>&#;</a>", "bad character reference"},
        {"<!DOCTYPE x [<!ENTITY e 'e'>]><a/>", "DOCTYPE"},
        {"<a><!-- x", "unterminated comment"},
        {"<?xpacket", "unterminated processing instruction"},
        {"<a><![CDATA[x", "unterminated CDATA"},
        {"<a b='1'c='2'/>", "separated by white space"},
        {"</a>", "mismatched end tag"},
        {"< a/>", "bad start tag"},
        {nested, "nested too deeply"},
    };
    for (const auto& c : cases) {
        const XmpProperties p = readXmpProperties(c.xml);
        EXPECT_FALSE(p.ok) << c.xml.substr(0, 60);
        EXPECT_NE(p.error.find(c.reason), std::string::npos) << p.error << " / expected " << c.reason;
    }
}

// ---------------------------------------------------------------- VR180 writer and reader

struct Pair {
    int n;
    Bytes left, right;
};

Pair makePair(int n, bool noisyRight = false) { return {n, makeJpeg(n, n, 1), makeJpeg(n, n, 2, noisyRight)}; }

Bytes writeOk(const Pair& p, const Bytes& exif = {}, double pose = 0.0) {
    const Vr180WriteResult w = writeVr180Jpeg(p.left, p.right, p.n, exif, pose);
    EXPECT_TRUE(w.ok) << w.error;
    return w.jpeg;
}

std::string standardPacket(const Walk& w) {
    for (const Segment& s : w.segments)
        if (s.marker == 0xE1 && startsWith(s.payload, kXmpSig)) return textOf(s.payload).substr(29);
    return {};
}

std::vector<size_t> chunkIndexes(const Walk& w) {
    std::vector<size_t> indexes;
    for (size_t i = 0; i < w.segments.size(); ++i)
        if (w.segments[i].marker == 0xE1 && startsWith(w.segments[i].payload, kExtSig)) indexes.push_back(i);
    return indexes;
}

TEST(Vr180, RoundTripGivesBothEyesAndThePanoramaNumbers) {
    for (const int n : {1, 63, 64, 257}) {
        const Pair p = makePair(n);
        const Bytes file = writeOk(p, {}, 12.5);
        const Vr180ReadResult r = readVr180Jpeg(file);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.rightJpeg, p.right) << n;
        EXPECT_EQ(r.leftJpeg, p.left) << n;  // the primary less its XMP is the left JPEG as given
        EXPECT_EQ(r.pano.projectionType, "equirectangular");
        EXPECT_TRUE(r.pano.usePanoramaViewer);
        EXPECT_EQ(r.pano.croppedAreaImageWidthPixels, n);
        EXPECT_EQ(r.pano.croppedAreaImageHeightPixels, n);
        EXPECT_EQ(r.pano.fullPanoWidthPixels, 2 * n);
        EXPECT_EQ(r.pano.fullPanoHeightPixels, n);
        EXPECT_EQ(r.pano.croppedAreaLeftPixels, n / 2);
        EXPECT_EQ(r.pano.croppedAreaTopPixels, 0);
        EXPECT_EQ(r.pano.initialViewHeadingDegrees, 180.0);
        EXPECT_EQ(r.pano.poseHeadingDegrees, 12.5);
        EXPECT_EQ(r.mime, "image/jpeg");
        EXPECT_EQ(r.extendedChunks, 1u);
    }
}

TEST(Vr180, WritesOneDescriptionOfAttributesThenTheChunksInOrder) {
    const Pair p = makePair(100);
    const Bytes exif = bytesOf(std::string("Exif\0\0", 6) + "II*\0\x08\0\0\0\0\0\0\0\0\0");
    const Walk w = walk(writeOk(p, exif));
    const Walk original = walk(p.left);

    // SOI, JFIF APP0, EXIF APP1, standard XMP, extended chunks, then the left JPEG's own segments.
    ASSERT_GE(w.segments.size(), 4u);
    EXPECT_EQ(w.segments[0].marker, 0xE0);
    EXPECT_EQ(w.segments[1].marker, 0xE1);
    EXPECT_EQ(w.segments[1].payload, exif);
    EXPECT_TRUE(startsWith(w.segments[2].payload, kXmpSig));
    const std::vector<size_t> chunks = chunkIndexes(w);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], 3u);
    std::vector<Segment> rest(w.segments.begin() + 4, w.segments.end());
    ASSERT_EQ(rest.size() + 1, original.segments.size());
    for (size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(rest[i].payload, original.segments[i + 1].payload);
    EXPECT_EQ(w.scan, original.scan);

    const std::string xmp = standardPacket(w);
    EXPECT_LE(xmp.size(), 65502u);
    size_t descriptions = 0;
    for (size_t at = 0; (at = xmp.find("<rdf:Description", at)) != std::string::npos; ++at) ++descriptions;
    EXPECT_EQ(descriptions, 1u);
    const std::string guid = chunkFields(w.segments[3].payload).guid;
    const struct { const char* name; std::string value; } attributes[] = {
        {"xmlns:GPano", "http://ns.google.com/photos/1.0/panorama/"},
        {"xmlns:GImage", "http://ns.google.com/photos/1.0/image/"},
        {"xmlns:xmpNote", "http://ns.adobe.com/xmp/note/"},
        {"GPano:ProjectionType", "equirectangular"}, {"GPano:UsePanoramaViewer", "True"},
        {"GPano:CroppedAreaImageWidthPixels", "100"}, {"GPano:CroppedAreaImageHeightPixels", "100"},
        {"GPano:FullPanoWidthPixels", "200"}, {"GPano:FullPanoHeightPixels", "100"},
        {"GPano:CroppedAreaLeftPixels", "50"}, {"GPano:CroppedAreaTopPixels", "0"},
        {"GPano:InitialViewHeadingDegrees", "180"}, {"GPano:PoseHeadingDegrees", "0"},
        {"GImage:Mime", "image/jpeg"}, {"xmpNote:HasExtendedXMP", guid}};
    const size_t open = xmp.find("<rdf:Description"), close = xmp.find("/>", open);
    for (const auto& a : attributes) {
        const size_t at = xmp.find(std::string(a.name) + "=\"" + a.value + "\"");
        EXPECT_TRUE(at != std::string::npos && at > open && at < close) << a.name;
    }
    EXPECT_EQ(xmp.find("GImage:Data"), std::string::npos);

    // The GUID is the MD5 of the whole extended packet, which holds GImage:Data alone.
    const ChunkFields c = chunkFields(w.segments[3].payload);
    EXPECT_EQ(c.offset, 0u);
    EXPECT_EQ(c.fullLength, c.data.size());
    EXPECT_EQ(md5HexUpper(c.data), guid);
    const XmpProperties ext = readXmpProperties(c.data);
    ASSERT_TRUE(ext.ok) << ext.error;
    ASSERT_EQ(ext.properties.size(), 1u);
    EXPECT_EQ(ext.properties[0].name, "Data");
    EXPECT_EQ(ext.properties[0].ns, kGImageNamespace);
    EXPECT_EQ(base64Decode(ext.properties[0].value), p.right);
}

TEST(Vr180, LargeRightEyeFillsSeveralChunksWithinTheSegmentLimits) {
    const Pair p = makePair(512, /*noisyRight=*/true);
    ASSERT_GT(p.right.size(), 3u * 65400u * 3u / 4u);  // needs more than three chunks of base64
    const Bytes file = writeOk(p);
    const Walk w = walk(file);
    const std::vector<size_t> chunks = chunkIndexes(w);
    ASSERT_GE(chunks.size(), 4u);
    const std::string guid = chunkFields(w.segments[chunks[0]].payload).guid;
    uint32_t expectedOffset = 0;
    std::string packet;
    for (size_t k = 0; k < chunks.size(); ++k) {
        EXPECT_EQ(chunks[k], chunks[0] + k) << "chunks stand together";
        const Segment& s = w.segments[chunks[k]];
        EXPECT_LE(s.payload.size() + 2, 65535u);
        const ChunkFields c = chunkFields(s.payload);
        EXPECT_EQ(c.guid, guid);
        EXPECT_EQ(c.offset, expectedOffset);
        if (k + 1 < chunks.size()) {
            EXPECT_EQ(c.data.size(), 65400u);
        }
        EXPECT_LE(c.data.size(), 65400u);
        expectedOffset += uint32_t(c.data.size());
        packet += c.data;
    }
    for (size_t k = 0; k < chunks.size(); ++k) EXPECT_EQ(chunkFields(w.segments[chunks[k]].payload).fullLength, packet.size());
    EXPECT_EQ(md5HexUpper(packet), guid);
    for (const Segment& s : w.segments) EXPECT_LE(s.payload.size() + 2, 65535u);

    const Vr180ReadResult r = readVr180Jpeg(file);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.extendedChunks, chunks.size());
    EXPECT_EQ(r.rightJpeg, p.right);
    EXPECT_EQ(r.leftJpeg, p.left);
}

TEST(Vr180, ShuffledChunksAmongOtherSegmentsStillReassemble) {
    const Pair p = makePair(400, true);
    const Walk written = walk(writeOk(p));
    const std::vector<size_t> chunks = chunkIndexes(written);
    ASSERT_GE(chunks.size(), 3u);
    std::mt19937 random(11);
    for (int round = 0; round < 8; ++round) {
        Walk w = written;
        std::vector<Segment> moved;
        for (auto i = chunks.rbegin(); i != chunks.rend(); ++i) {
            moved.push_back(w.segments[*i]);
            w.segments.erase(w.segments.begin() + long(*i));
        }
        std::shuffle(moved.begin(), moved.end(), random);
        // Another packet's chunk among them is passed over.
        moved.push_back({0xE1, chunkPayload(std::string(32, 'A'), 4, 0, "abcd")});
        for (Segment& s : moved) {
            const size_t at = 1 + random() % w.segments.size();  // anywhere after JFIF
            w.segments.insert(w.segments.begin() + long(at), std::move(s));
        }
        const Vr180ReadResult r = readVr180Jpeg(assemble(w));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.rightJpeg, p.right);
        EXPECT_EQ(r.leftJpeg, p.left);
    }
}

TEST(Vr180, ReadsOtherWritersGPanoElementsInSeveralDescriptions) {
    // The element form, split over three descriptions, as in other VR180 writers' files.
    const Bytes right = makeJpeg(8, 8, 3);
    const std::string ext =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
        "<rdf:Description xmlns:I='http://ns.google.com/photos/1.0/image/'><I:Data>" +
        base64Encode(right) + "</I:Data></rdf:Description></rdf:RDF></x:xmpmeta>";
    const std::string guid = md5HexUpper(ext);
    const std::string standard =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
        "<rdf:Description xmlns:xmpNote='http://ns.adobe.com/xmp/note/'><xmpNote:HasExtendedXMP>" + guid +
        "</xmpNote:HasExtendedXMP></rdf:Description>"
        "<rdf:Description xmlns:GImage='http://ns.google.com/photos/1.0/image/'><GImage:Mime>image/jpeg</GImage:Mime>"
        "</rdf:Description><rdf:Description xmlns:GPano='http://ns.google.com/photos/1.0/panorama/'>"
        "<GPano:CroppedAreaImageHeightPixels>8</GPano:CroppedAreaImageHeightPixels>"
        "<GPano:CroppedAreaImageWidthPixels>8</GPano:CroppedAreaImageWidthPixels>"
        "<GPano:CroppedAreaLeftPixels>4</GPano:CroppedAreaLeftPixels>"
        "<GPano:CroppedAreaTopPixels>0</GPano:CroppedAreaTopPixels>"
        "<GPano:FullPanoHeightPixels>8</GPano:FullPanoHeightPixels>"
        "<GPano:FullPanoWidthPixels>16</GPano:FullPanoWidthPixels>"
        "<GPano:ProjectionType>equirectangular</GPano:ProjectionType>"
        "</rdf:Description></rdf:RDF></x:xmpmeta>";
    Walk w = walk(makeJpeg(8, 8, 1));
    w.segments.insert(w.segments.begin() + 1, {0xE1, bytesOf(std::string(kXmpSig) + standard)});
    w.segments.insert(w.segments.begin() + 2, {0xE1, chunkPayload(guid, uint32_t(ext.size()), 0, ext)});
    const Vr180ReadResult r = readVr180Jpeg(assemble(w));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.rightJpeg, right);
    EXPECT_EQ(r.pano.fullPanoWidthPixels, 16);
    EXPECT_EQ(r.pano.croppedAreaLeftPixels, 4);
    EXPECT_TRUE(r.pano.usePanoramaViewer);  // the GPano default when absent
    EXPECT_EQ(r.pano.poseHeadingDegrees, 0.0);
    EXPECT_EQ(r.mime, "image/jpeg");
}

// A written file taken apart, changed by `damage`, and put together again.
struct Damage {
    const char* name;
    std::function<void(Walk&, std::vector<size_t>& chunks)> change;
    const char* reason;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

void editStandard(Walk& w, const std::function<std::string(std::string)>& edit) {
    for (Segment& s : w.segments)
        if (s.marker == 0xE1 && startsWith(s.payload, kXmpSig))
            s.payload = bytesOf(std::string(kXmpSig) + edit(textOf(s.payload).substr(29)));
}

void setChunk(Segment& s, const std::function<void(ChunkFields&)>& edit) {
    ChunkFields c = chunkFields(s.payload);
    edit(c);
    s.payload = chunkPayload(c.guid, c.fullLength, c.offset, c.data);
}

// Replaces the extended packet with `packet` (GUID recomputed everywhere), in one chunk.
void replacePacket(Walk& w, std::vector<size_t>& chunks, const std::string& packet) {
    const std::string oldGuid = chunkFields(w.segments[chunks[0]].payload).guid, guid = md5HexUpper(packet);
    for (auto i = chunks.rbegin(); i != chunks.rend(); ++i) w.segments.erase(w.segments.begin() + long(*i));
    w.segments.insert(w.segments.begin() + long(chunks[0]), {0xE1, chunkPayload(guid, uint32_t(packet.size()), 0, packet)});
    chunks = {chunks[0]};
    editStandard(w, [&](std::string x) { return replaced(x, oldGuid, guid); });
}

std::string extPacket(const std::string& body) {
    return "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
           "<rdf:Description xmlns:GImage='http://ns.google.com/photos/1.0/image/' " + body +
           "/></rdf:RDF></x:xmpmeta>";
}

TEST(Vr180, RefusesDamagedFilesWithReasons) {
    const Pair p = makePair(300, true);
    const Bytes good = writeOk(p);
    const Damage cases[] = {
        {"no standard XMP", [](Walk& w, auto&) { editStandard(w, [](std::string) { return std::string(); });
             std::erase_if(w.segments, [](const Segment& s) { return startsWith(s.payload, kXmpSig); }); },
         "no standard XMP"},
        {"standard XMP not XML", [](Walk& w, auto&) { editStandard(w, [](std::string x) { return x.substr(0, x.size() / 2); }); },
         "standard XMP is not well-formed XML"},
        {"no GUID", [](Walk& w, auto&) { editStandard(w, [](std::string x) { return replaced(x, "xmpNote:HasExtendedXMP", "xmpNote:Other"); }); },
         "xmpNote:HasExtendedXMP missing"},
        {"GUID lower case", [](Walk& w, auto& c) {
             const std::string guid = chunkFields(w.segments[c[0]].payload).guid;
             std::string lower = guid;
             for (char& ch : lower) ch = char(std::tolower(ch));
             editStandard(w, [&](std::string x) { return replaced(x, guid, lower); }); },
         "not a GUID"},
        {"GUID of no chunk", [](Walk& w, auto& c) {
             const std::string guid = chunkFields(w.segments[c[0]].payload).guid;
             editStandard(w, [&](std::string x) { return replaced(x, guid, std::string(32, 'F')); }); },
         "no extended XMP chunk with GUID FFFF"},
        {"no chunks", [](Walk& w, auto& c) { for (auto i = c.rbegin(); i != c.rend(); ++i) w.segments.erase(w.segments.begin() + long(*i)); },
         "no extended XMP chunk"},
        {"projection", [](Walk& w, auto&) { editStandard(w, [](std::string x) { return replaced(x, "equirectangular", "cylindrical"); }); },
         "GPano:ProjectionType is \"cylindrical\""},
        {"width missing", [](Walk& w, auto&) { editStandard(w, [](std::string x) { return replaced(x, "GPano:FullPanoWidthPixels", "GPano:Other"); }); },
         "GPano:FullPanoWidthPixels missing"},
        {"width not a number", [](Walk& w, auto&) { editStandard(w, [](std::string x) { return replaced(x, "FullPanoWidthPixels=\"600\"", "FullPanoWidthPixels=\"6x0\""); }); },
         "GPano:FullPanoWidthPixels is not an integer"},
        {"heading not a number", [](Walk& w, auto&) { editStandard(w, [](std::string x) { return replaced(x, "PoseHeadingDegrees=\"0\"", "PoseHeadingDegrees=\"nan\""); }); },
         "GPano:PoseHeadingDegrees is not a number"},
        {"viewer flag", [](Walk& w, auto&) { editStandard(w, [](std::string x) { return replaced(x, "\"True\"", "\"yes\""); }); },
         "UsePanoramaViewer"},
        {"chunk too short", [](Walk& w, auto& c) { w.segments[c[1]].payload.resize(74); },
         "extended XMP chunk too short"},
        {"chunk empty", [](Walk& w, auto& c) { w.segments[c[1]].payload.resize(75); },
         "holds no data"},
        {"offset past the end", [](Walk& w, auto& c) { setChunk(w.segments[c[1]], [](ChunkFields& f) { f.offset = f.fullLength; }); },
         "extended XMP chunk out of range"},
        {"chunk runs past the end", [](Walk& w, auto& c) { setChunk(w.segments[c.back()], [](ChunkFields& f) { f.offset += 1; }); },
         "extended XMP chunk out of range"},
        {"offset wraps", [](Walk& w, auto& c) { setChunk(w.segments[c[1]], [](ChunkFields& f) { f.offset = 0xFFFFFFFFu; }); },
         "extended XMP chunk out of range"},
        {"lengths disagree", [](Walk& w, auto& c) { setChunk(w.segments[c[1]], [](ChunkFields& f) { f.fullLength += 1; }); },
         "disagree on the full length"},
        {"huge full length", [](Walk& w, auto& c) { for (size_t i : c) setChunk(w.segments[i], [](ChunkFields& f) { f.fullLength = 0xFFFFFFF0u; }); },
         "extended XMP incomplete"},
        {"chunk missing", [](Walk& w, auto& c) { w.segments.erase(w.segments.begin() + long(c[1])); },
         "extended XMP incomplete: bytes 65400 to 130800 missing"},
        {"last chunk missing", [](Walk& w, auto& c) { w.segments.erase(w.segments.begin() + long(c.back())); },
         "extended XMP incomplete"},
        {"chunk twice", [](Walk& w, auto& c) { w.segments.insert(w.segments.begin() + long(c[1]), w.segments[c[1]]); },
         "extended XMP chunks overlap at offset 65400"},
        {"overlap", [](Walk& w, auto& c) { setChunk(w.segments[c[1]], [](ChunkFields& f) { f.offset -= 1; }); },
         "extended XMP chunks overlap"},
        {"byte changed", [](Walk& w, auto& c) { w.segments[c[1]].payload[500] ^= 0x01; },
         "MD5 mismatch"},
        {"GUID changed in one chunk only", [](Walk& w, auto& c) { setChunk(w.segments[c[1]], [](ChunkFields& f) { f.guid[0] = f.guid[0] == '0' ? '1' : '0'; }); },
         "extended XMP incomplete"},
        {"extended not XML", [](Walk& w, auto& c) { replacePacket(w, c, "<x:xmpmeta>"); },
         "extended XMP is not well-formed XML"},
        {"no GImage:Data", [](Walk& w, auto& c) { replacePacket(w, c, extPacket("GImage:Other='Zg=='")); },
         "no GImage:Data"},
        {"not base64", [](Walk& w, auto& c) { replacePacket(w, c, extPacket("GImage:Data='/9j*'")); },
         "GImage:Data is not valid base64"},
        {"not a JPEG", [](Walk& w, auto& c) { replacePacket(w, c, extPacket("GImage:Data='iVBORw=='")); },
         "GImage:Data is not a JPEG"},
        {"empty data", [](Walk& w, auto& c) { replacePacket(w, c, extPacket("GImage:Data=''")); },
         "GImage:Data is not a JPEG"},
    };
    for (const Damage& d : cases) {
        Walk w = walk(good);
        std::vector<size_t> chunks = chunkIndexes(w);
        ASSERT_GE(chunks.size(), 3u);
        d.change(w, chunks);
        const Vr180ReadResult r = readVr180Jpeg(assemble(w));
        EXPECT_FALSE(r.ok) << d.name;
        EXPECT_NE(r.error.find(d.reason), std::string::npos) << d.name << ": \"" << r.error << "\", expected \"" << d.reason << '"';
        EXPECT_TRUE(r.leftJpeg.empty() && r.rightJpeg.empty()) << d.name;
    }
}

TEST(Vr180, RefusesWhatIsNotAJpegOrNotVr180) {
    const Bytes plain = makeJpeg(16, 16, 1);
    const struct { Bytes bytes; const char* reason; } cases[] = {
        {{}, "no SOI"}, {bytesOf("GIF89a"), "no SOI"}, {Bytes(plain.begin(), plain.begin() + 30), "past the end"},
        {plain, "no standard XMP"}};
    for (const auto& c : cases) {
        const Vr180ReadResult r = readVr180Jpeg(c.bytes);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
    }
}

TEST(Vr180, WriterRefusesWrongInputs) {
    const Pair p = makePair(32);
    const Bytes other = makeJpeg(32, 31, 1);
    const Bytes exif = bytesOf(std::string("Exif\0\0", 6) + "II*\0");
    const struct { const char* name; Bytes left, right; int n; Bytes exif; double pose; const char* reason; } cases[] = {
        {"n 0", p.left, p.right, 0, {}, 0, "eye size 0"},
        {"n too large", p.left, p.right, 70000, {}, 0, "not in 1..65535"},
        {"left size", other, p.right, 32, {}, 0, "left JPEG is 32 x 31, not 32 x 32"},
        {"right size", p.left, other, 32, {}, 0, "right JPEG is 32 x 31"},
        {"left not JPEG", bytesOf("nope"), p.right, 32, {}, 0, "left JPEG: not a JPEG"},
        {"right cut", p.left, Bytes(p.right.begin(), p.right.begin() + 100), 32, {}, 0, "right JPEG:"},
        {"exif signature", p.left, p.right, 32, bytesOf("Exif"), 0, "does not begin with"},
        {"exif too large", p.left, p.right, 32, [&] { Bytes e = exif; e.resize(65534); return e; }(), 0, "does not fit"},
        {"pose 360", p.left, p.right, 32, {}, 360.0, "PoseHeadingDegrees"},
        {"pose negative", p.left, p.right, 32, {}, -1.0, "PoseHeadingDegrees"},
        {"pose NaN", p.left, p.right, 32, {}, std::nan(""), "PoseHeadingDegrees"},
    };
    for (const auto& c : cases) {
        const Vr180WriteResult w = writeVr180Jpeg(c.left, c.right, c.n, c.exif, c.pose);
        EXPECT_FALSE(w.ok) << c.name;
        EXPECT_TRUE(w.jpeg.empty()) << c.name;
        EXPECT_NE(w.error.find(c.reason), std::string::npos) << c.name << ": " << w.error;
    }
}

TEST(Vr180, RewritingReplacesEarlierXmpAndKeepsOrReplacesExif) {
    const Pair p = makePair(48);
    const Bytes exifA = bytesOf(std::string("Exif\0\0", 6) + "MM\0*AAAA");
    const Bytes exifB = bytesOf(std::string("Exif\0\0", 6) + "MM\0*BBBB");
    const Bytes once = writeOk(p, exifA);
    // Written again over its own output: one XMP, one set of chunks, the EXIF kept or replaced.
    for (const Bytes* exif : {static_cast<const Bytes*>(nullptr), &exifB}) {
        const Pair again{48, once, p.right};
        const Walk w = walk(writeOk(again, exif ? *exif : Bytes{}));
        size_t xmp = 0, ext = 0, exifs = 0;
        for (const Segment& s : w.segments) {
            xmp += startsWith(s.payload, kXmpSig);
            ext += startsWith(s.payload, kExtSig);
            exifs += startsWith(s.payload, std::string_view("Exif\0\0", 6));
        }
        EXPECT_EQ(xmp, 1u);
        EXPECT_EQ(ext, 1u);
        EXPECT_EQ(exifs, 1u);
        EXPECT_EQ(w.segments[1].payload, exif ? *exif : exifA);
        EXPECT_TRUE(startsWith(w.segments[2].payload, kXmpSig));
    }
}

TEST(Vr180, NeverReadsOutsideTruncatedOrFlippedFiles) {
    // Every prefix of a small file, and single-byte changes all over it: a
    // refusal or a result, never a crash (the fuzz build runs the reader under
    // sanitizers). Cut before SOS it is refused; cut in the image data it
    // still reads, as the reader does not look into the scan.
    const Pair p = makePair(16);
    const Bytes file = writeOk(p);
    const size_t scan = parseJpegLayout(file).scanBegin;
    ASSERT_GT(scan, 0u);
    const size_t scanHeaderEnd = scan + 2 + (size_t(file[scan + 2]) << 8 | file[scan + 3]);
    for (size_t n = 0; n < file.size(); n += 7) {
        const Vr180ReadResult r = readVr180Jpeg(Bytes(file.begin(), file.begin() + long(n)));
        EXPECT_EQ(r.ok, n >= scanHeaderEnd) << n;
        EXPECT_EQ(r.error.empty(), r.ok) << n;
    }
    for (size_t at = 0; at < file.size(); at += 3) {
        Bytes changed = file;
        changed[at] ^= 0x5A;
        const Vr180ReadResult r = readVr180Jpeg(changed);
        EXPECT_TRUE(r.ok || !r.error.empty());
    }
}

// ---------------------------------------------------------------- exiftool, independently

TEST(Vr180Exiftool, SeesTheGPanoTagsAndExtractsTheRightEye) {
    if (!haveExiftool()) GTEST_SKIP() << "exiftool not installed (apt-get install libimage-exiftool-perl)";
    const Pair p = makePair(320, true);
    const Bytes file = writeOk(p, {}, 90.0);
    ASSERT_GE(chunkIndexes(walk(file)).size(), 2u);
    TempDir dir;
    const auto path = dir.path() / "vr180.jpg";
    writeFile(path, file);

    const CommandOutput json = run("exiftool -j -G1 -a " + shellQuote(path.string()));
    ASSERT_EQ(json.status, 0) << json.out;
    const struct { const char* tag; std::string value; } expected[] = {
        {"XMP-GPano:ProjectionType", "\"equirectangular\""},
        {"XMP-GPano:UsePanoramaViewer", "true"},
        {"XMP-GPano:CroppedAreaImageWidthPixels", "320"},
        {"XMP-GPano:CroppedAreaImageHeightPixels", "320"},
        {"XMP-GPano:FullPanoWidthPixels", "640"},
        {"XMP-GPano:FullPanoHeightPixels", "320"},
        {"XMP-GPano:CroppedAreaLeftPixels", "160"},
        {"XMP-GPano:CroppedAreaTopPixels", "0"},
        {"XMP-GPano:InitialViewHeadingDegrees", "180"},
        {"XMP-GPano:PoseHeadingDegrees", "90"},
        // exiftool names the GImage properties Mime and Data by the tags ImageMimeType and ImageData.
        {"XMP-GImage:ImageMimeType", "\"image/jpeg\""},
        {"XMP-xmpNote:HasExtendedXMP", "\"" + readVr180Jpeg(file).guid + "\""},
    };
    for (const auto& e : expected) {
        const std::regex pattern("\"" + std::string(e.tag) + "\": *" + e.value + "[,\\n]", std::regex::icase);
        EXPECT_TRUE(std::regex_search(json.out, pattern)) << e.tag << " = " << e.value << " not in\n" << json.out;
    }
    EXPECT_NE(json.out.find("\"XMP-GImage:ImageData\""), std::string::npos);
    EXPECT_EQ(json.out.find("Warning"), std::string::npos) << json.out;

    const CommandOutput data = run("exiftool -b -XMP-GImage:ImageData " + shellQuote(path.string()));
    ASSERT_EQ(data.status, 0);
    EXPECT_TRUE(data.out == textOf(p.right)) << "exiftool's GImage:Data: " << data.out.size() << " bytes, right eye "
                                              << p.right.size();

    const CommandOutput validate = run("exiftool -validate -warning -a -s -s -s " + shellQuote(path.string()));
    EXPECT_EQ(validate.status, 0);
    EXPECT_EQ(validate.out, "OK\n") << "exiftool -validate: " << validate.out;
}

}  // namespace

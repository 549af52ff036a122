// The registry file Vistereo.ini: its bytes, what the loader makes of odd or
// damaged files, and the order effects of Register, Overwrite and Delete.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "registry/lens_registry.h"
#include "registry/text_encoding.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using namespace vistereo;

namespace {

const std::string kGyoganUtf8 = "\xE9\xAD\x9A\xE7\x9C\xBC";  // 魚眼
const std::string kGyoganCp932 = "\x8B\x9B\x8A\xE1";

// A record with something different in every field.
LensRecord sampleRecord(const std::string& name) {
    LensRecord r;
    r.name = name;
    r.magnification = "1.05";
    r.sineK = "0.75";
    r.theta1 = "0.5";
    r.theta2 = "1.0";
    r.theta3 = "1.3";
    r.a1 = "-0.1"; r.b1 = "1.2"; r.c1 = "0";
    r.a2 = "-0.2"; r.b2 = "1.3"; r.c2 = "0.01";
    r.a3 = "-0.3"; r.b3 = "1.4"; r.c3 = "0.02";
    r.a4 = " 4e-1"; r.b4 = "1.5x"; r.c4 = "";
    r.radiusMode = 3;
    r.radiusDots = 1520;
    r.mappingKind = 2;
    r.axisX = -12;
    r.axisY = 2003;
    r.axisMode = 1;
    return r;
}

// One record of the file as a hand-edited file would hold it: the 18 text
// lines, then the 6 integer lines, each followed by `lineEnd`.
std::string recordText(const std::string& name, const std::vector<std::string>& integers,
                       const std::string& lineEnd = "\r\n") {
    std::string text = name + lineEnd;
    for (int i = 0; i < 17; ++i) text += lineEnd;
    for (const auto& value : integers) text += value + lineEnd;
    return text;
}

std::string simpleRecord(const std::string& name, const std::string& lineEnd = "\r\n") {
    return recordText(name, {"0", "0", "1", "0", "0", "0"}, lineEnd);
}

std::vector<std::string> names(const LensRegistry& registry) {
    std::vector<std::string> result;
    for (int i = 0; i < registry.count; ++i) result.push_back(registry.records[i].name);
    return result;
}

class LensRegistryTest : public vistereo::testing::ScratchDirTest {
protected:
    fs::path ini() const { return dir / kLensRegistryFileName; }
};

TEST_F(LensRegistryTest, RecordWithOnlyANameOnDisk) {
    LensRegistry registry;
    registry.records[0].name = "Lens A";
    registry.records[0].axisX = -12;
    ASSERT_TRUE(SaveLensRegistry(registry, 1, std::nullopt, ini()));

    std::string expected = "Lens A\r\n";
    for (int i = 0; i < 17; ++i) expected += "\r\n";
    expected += "0\r\n0\r\n0\r\n-12\r\n0\r\n0\r\n";
    EXPECT_EQ(readBytes(ini()), expected);

    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    ASSERT_EQ(loaded.count, 1);
    EXPECT_EQ(loaded.records[0], registry.records[0]);
}

TEST_F(LensRegistryTest, FirstRegisterWritesExactly24Lines) {
    LensRegistry registry;
    ASSERT_EQ(RegisterLens(registry, sampleRecord("Fisheye 8mm"), ini()), RegisterStatus::Registered);
    EXPECT_EQ(registry.count, 1);
    EXPECT_EQ(readBytes(ini()),
              "Fisheye 8mm\r\n1.05\r\n0.75\r\n0.5\r\n1.0\r\n1.3\r\n"
              "-0.1\r\n1.2\r\n0\r\n-0.2\r\n1.3\r\n0.01\r\n-0.3\r\n1.4\r\n0.02\r\n 4e-1\r\n1.5x\r\n\r\n"
              "3\r\n1520\r\n2\r\n-12\r\n2003\r\n1\r\n");
}

TEST_F(LensRegistryTest, FullRecordsRoundTrip) {
    LensRegistry registry;
    registry.records[0] = sampleRecord("Left " + kGyoganUtf8);
    registry.records[1] = sampleRecord("   ");
    registry.records[2] = LensRecord{};
    registry.records[2].radiusDots = std::numeric_limits<int32_t>::max();
    registry.records[2].axisY = std::numeric_limits<int32_t>::min();
    ASSERT_TRUE(SaveLensRegistry(registry, 3, std::nullopt, ini()));
    // Japanese text is written as UTF-8.
    EXPECT_EQ(readBytes(ini()).substr(0, 5 + kGyoganUtf8.size() + 2), "Left " + kGyoganUtf8 + "\r\n");

    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    ASSERT_EQ(loaded.count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(loaded.records[i], registry.records[i]) << i;
}

struct OddFile {
    const char* label;
    std::string bytes;
    std::vector<std::string> names;
};

TEST_F(LensRegistryTest, OddFilesLoadTheCompleteRecords) {
    std::string elevenRecords;
    std::vector<std::string> firstTen;
    for (int i = 0; i < 11; ++i) {
        elevenRecords += simpleRecord("L" + std::to_string(i));
        if (i < 10) firstTen.push_back("L" + std::to_string(i));
    }
    const std::string twoRecords = simpleRecord("A") + simpleRecord("B");
    std::string noFinalLineEnd = twoRecords;
    noFinalLineEnd.resize(noFinalLineEnd.size() - 2);

    const OddFile cases[] = {
        {"empty file", "", {}},
        {"only line ends", std::string(300, '\n'), {}},
        {"23 lines", simpleRecord("A").substr(0, simpleRecord("A").size() - 3), {}},
        {"49 lines", twoRecords + "extra\r\n", {"A", "B"}},
        {"47 lines", twoRecords.substr(0, twoRecords.size() - 3), {"A"}},
        {"bare LF", simpleRecord("A", "\n") + simpleRecord("B", "\n"), {"A", "B"}},
        {"mixed line ends", simpleRecord("A", "\n") + simpleRecord("B", "\r\n"), {"A", "B"}},
        {"no final line end", noFinalLineEnd, {"A", "B"}},
        {"integer line abc", simpleRecord("A") + recordText("B", {"0", "abc", "1", "0", "0", "0"}), {"A"}},
        {"integer line out of range",
         simpleRecord("A") + recordText("B", {"0", "0", "1", "99999999999", "0", "0"}), {"A"}},
        {"empty integer line", simpleRecord("A") + recordText("B", {"0", "0", "1", "0", "0", ""}), {"A"}},
        {"damage in the first record", recordText("A", {"x"}) + simpleRecord("B"), {}},
        {"eleven records", elevenRecords, firstTen},
        {"byte order mark", "\xEF\xBB\xBF" + simpleRecord("A"), {"A"}},
        {"CR inside a line", simpleRecord("A\rB"), {"A\rB"}},
    };
    for (const auto& c : cases) {
        writeBytes(ini(), c.bytes);
        LensRegistry loaded;
        LoadLensRegistry(loaded, ini());
        EXPECT_EQ(names(loaded), c.names) << c.label;
    }
}

TEST_F(LensRegistryTest, IntegerLinesFollowStoi) {
    writeBytes(ini(), recordText("A", {" 42abc", "+7", "\t-3 ", "007", "2147483647", "-2147483648"}));
    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    ASSERT_EQ(loaded.count, 1);
    const LensRecord& r = loaded.records[0];
    EXPECT_EQ(r.radiusMode, 42);
    EXPECT_EQ(r.radiusDots, 7);
    EXPECT_EQ(r.mappingKind, -3);
    EXPECT_EQ(r.axisX, 7);
    EXPECT_EQ(r.axisY, 2147483647);
    EXPECT_EQ(r.axisMode, std::numeric_limits<int32_t>::min());
}

TEST_F(LensRegistryTest, MissingFileIsAnEmptyRegistry) {
    LensRegistry registry;
    registry.count = 4;
    LoadLensRegistry(registry, dir / "absent.ini");
    EXPECT_EQ(registry.count, 0);
    registry.count = 4;
    LoadLensRegistry(registry, dir);  // a directory reads as nothing
    EXPECT_EQ(registry.count, 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    registry.count = 4;
    LoadLensRegistry(registry, dir / "pipe");  // nor does a pipe, without waiting for a writer
    EXPECT_EQ(registry.count, 0);
}

TEST_F(LensRegistryTest, LoadLeavesSlotsPastCountAlone) {
    writeBytes(ini(), simpleRecord("A") + simpleRecord("B") + simpleRecord("C"));
    LensRegistry registry;
    LoadLensRegistry(registry, ini());
    writeBytes(ini(), simpleRecord("D"));
    LoadLensRegistry(registry, ini());
    EXPECT_EQ(registry.count, 1);
    EXPECT_EQ(registry.records[0].name, "D");
    EXPECT_EQ(registry.records[1].name, "B");
    EXPECT_EQ(registry.records[2].name, "C");
}

TEST_F(LensRegistryTest, ShiftJisFileReadsAsUtf8) {
    // As a Japanese Windows system writes it: CP932 throughout, one record
    // with a Japanese name and one with a plain one.
    writeBytes(ini(), simpleRecord(kGyoganCp932 + " 8mm") + simpleRecord("Plain") +
                          recordText("\xC3\xA9", {"0", "0", "0", "0", "0", "0"}));
    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    ASSERT_EQ(loaded.count, 3);
    EXPECT_EQ(loaded.records[0].name, kGyoganUtf8 + " 8mm");
    EXPECT_EQ(loaded.records[1].name, "Plain");
    // Read as CP932 too, although these two bytes alone would pass as UTF-8.
    EXPECT_EQ(loaded.records[2].name, "\xEF\xBE\x83\xEF\xBD\xA9");

    // Saving it again turns the file into UTF-8, and nothing is lost.
    ASSERT_TRUE(SaveLensRegistry(loaded, loaded.count, std::nullopt, ini()));
    EXPECT_TRUE(isValidUtf8(readBytes(ini())));
    LensRegistry again;
    LoadLensRegistry(again, ini());
    ASSERT_EQ(again.count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(again.records[i], loaded.records[i]) << i;
}

TEST_F(LensRegistryTest, TextThatCannotBeALineIsMadeSafe) {
    LensRegistry registry;
    registry.records[0].name = "two\nlines";
    registry.records[0].sineK = "bad \xFF byte";
    registry.records[1].name = kGyoganUtf8;
    ASSERT_TRUE(SaveLensRegistry(registry, 2, std::nullopt, ini()));
    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    ASSERT_EQ(loaded.count, 2);
    EXPECT_EQ(loaded.records[0].name, "two lines");
    EXPECT_EQ(loaded.records[0].sineK, "bad \xEF\xBF\xBD byte");
    // The other record's Japanese name is not misread as Shift-JIS.
    EXPECT_EQ(loaded.records[1].name, kGyoganUtf8);
}

TEST_F(LensRegistryTest, ArbitraryBytesNeverBreakTheLoader) {
    std::mt19937 random(20240611);
    const std::string alphabet[] = {"\r\n", "\n", "\r", "0", "-", "7", " ", "\x8B", "\xFF", std::string(1, '\0'),
                                    kGyoganUtf8, "abc", "99999999999"};
    for (int round = 0; round < 200; ++round) {
        std::string bytes;
        const int pieces = static_cast<int>(random() % 600);
        for (int i = 0; i < pieces; ++i) {
            if (random() % 3 == 0)
                bytes += static_cast<char>(random() % 256);
            else
                bytes += alphabet[random() % std::size(alphabet)];
        }
        writeBytes(ini(), bytes);
        LensRegistry loaded;
        LoadLensRegistry(loaded, ini());
        ASSERT_GE(loaded.count, 0) << round;
        ASSERT_LE(loaded.count, kMaxLensRecords) << round;
        for (int i = 0; i < loaded.count; ++i) ASSERT_TRUE(isValidUtf8(loaded.records[i].name)) << round;
    }
}

// Register, Overwrite and Delete as the registration dialog performs them.
TEST_F(LensRegistryTest, RegisterOverwriteDeleteKeepTheOrder) {
    LensRegistry edit;
    for (const char* name : {"A", "B", "C", "D"})
        ASSERT_EQ(RegisterLens(edit, sampleRecord(name), ini()), RegisterStatus::Registered);
    EXPECT_EQ(names(edit), (std::vector<std::string>{"A", "B", "C", "D"}));

    // Overwrite the second record: same position.
    edit.records[1] = sampleRecord("X");
    edit.records[1].axisX = 5;
    ASSERT_TRUE(SaveLensRegistry(edit, edit.count, std::nullopt, ini()));
    LoadLensRegistry(edit, ini());
    EXPECT_EQ(names(edit), (std::vector<std::string>{"A", "X", "C", "D"}));
    EXPECT_EQ(edit.records[1].axisX, 5);

    // Delete the second record: the following ones move up.
    ASSERT_TRUE(SaveLensRegistry(edit, edit.count, 1, ini()));
    LoadLensRegistry(edit, ini());
    EXPECT_EQ(names(edit), (std::vector<std::string>{"A", "C", "D"}));

    // Delete at an index past the end rewrites the records unchanged.
    const std::string before = readBytes(ini());
    ASSERT_TRUE(SaveLensRegistry(edit, edit.count, 7, ini()));
    EXPECT_EQ(readBytes(ini()), before);

    // Delete the last one, then the first.
    ASSERT_TRUE(SaveLensRegistry(edit, edit.count, 2, ini()));
    LoadLensRegistry(edit, ini());
    ASSERT_TRUE(SaveLensRegistry(edit, edit.count, 0, ini()));
    LoadLensRegistry(edit, ini());
    EXPECT_EQ(names(edit), (std::vector<std::string>{"C"}));

    // Delete from a one-record registry leaves an empty file.
    ASSERT_TRUE(SaveLensRegistry(edit, edit.count, 0, ini()));
    EXPECT_EQ(readBytes(ini()), "");
    EXPECT_EQ(entries(), std::vector<std::string>{kLensRegistryFileName});
}

TEST_F(LensRegistryTest, SaveNeverWritesMoreThanTenRecords) {
    LensRegistry registry;
    for (int i = 0; i < kMaxLensRecords; ++i) registry.records[i].name = "L" + std::to_string(i);
    ASSERT_TRUE(SaveLensRegistry(registry, 25, std::nullopt, ini()));
    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    EXPECT_EQ(loaded.count, kMaxLensRecords);
    ASSERT_TRUE(SaveLensRegistry(registry, -3, std::nullopt, ini()));
    EXPECT_EQ(readBytes(ini()), "");
}

TEST_F(LensRegistryTest, RegisterAppendsToTheFileNotToStaleMemory) {
    writeBytes(ini(), simpleRecord("A") + simpleRecord("B"));
    LensRegistry edit;
    edit.count = 5;  // whatever memory says, the file is the base
    edit.records[0].name = "stale";
    ASSERT_EQ(RegisterLens(edit, sampleRecord("A"), ini()), RegisterStatus::Registered);
    EXPECT_EQ(names(edit), (std::vector<std::string>{"A", "B", "A"}));
    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    EXPECT_EQ(names(loaded), (std::vector<std::string>{"A", "B", "A"}));
    EXPECT_EQ(loaded.records[2], sampleRecord("A"));
}

TEST_F(LensRegistryTest, RegisterRefusals) {
    LensRegistry edit;
    // Empty name: nothing written, not even an empty file.
    EXPECT_EQ(RegisterLens(edit, sampleRecord(""), ini()), RegisterStatus::EmptyName);
    EXPECT_FALSE(fs::exists(ini()));
    EXPECT_EQ(edit.count, 0);

    // A name of blanks is a name.
    EXPECT_EQ(RegisterLens(edit, sampleRecord("  "), ini()), RegisterStatus::Registered);
    EXPECT_EQ(edit.count, 1);

    // Full: the file stays byte for byte.
    for (int i = 1; i < kMaxLensRecords; ++i)
        ASSERT_EQ(RegisterLens(edit, sampleRecord("L" + std::to_string(i)), ini()), RegisterStatus::Registered);
    const std::string full = readBytes(ini());
    EXPECT_EQ(RegisterLens(edit, sampleRecord("eleventh"), ini()), RegisterStatus::RegistryFull);
    EXPECT_EQ(edit.count, kMaxLensRecords);
    EXPECT_EQ(readBytes(ini()), full);
    EXPECT_EQ(entries(), std::vector<std::string>{kLensRegistryFileName});
}

TEST_F(LensRegistryTest, RegisterIntoAnUnwritablePlaceFails) {
    writeBytes(dir / "plain", "a file, not a directory");
    const fs::path unreachable = dir / "plain" / kLensRegistryFileName;
    LensRegistry edit;
    EXPECT_EQ(RegisterLens(edit, sampleRecord("A"), unreachable), RegisterStatus::WriteFailed);
    EXPECT_EQ(edit.count, 0);
    EXPECT_EQ(entries(), std::vector<std::string>{"plain"});
}

TEST_F(LensRegistryTest, FailedSaveKeepsTheOldFile) {
    LensRegistry edit;
    ASSERT_EQ(RegisterLens(edit, sampleRecord("A"), ini()), RegisterStatus::Registered);
    const std::string before = readBytes(ini());
    for (int i = 1; i < kMaxLensRecords; ++i) edit.records[i] = sampleRecord(std::string(400, 'n'));
    bool saved = true;
    {
        vistereo::testing::FileSizeLimit limit(before.size() + 100);
        ASSERT_TRUE(limit.active());
        saved = SaveLensRegistry(edit, kMaxLensRecords, std::nullopt, ini());
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(readBytes(ini()), before);
    EXPECT_EQ(entries(), std::vector<std::string>{kLensRegistryFileName});

    LensRegistry after;
    LoadLensRegistry(after, ini());
    EXPECT_EQ(names(after), std::vector<std::string>{"A"});
}

}  // namespace

// Text-to-number rules, file text encoding, atomic whole-file writes, the registry file and the lens selection.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <limits>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

#include "base/atomic_file.h"
#include "base/file_lock.h"
#include "registry/registry_writes.h"
#include "base/text_numbers.h"
#include "lens/lens_selection.h"
#include "registry/lens_registry.h"
#include "registry/lens_sources.h"
#include "registry/text_encoding.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;
using Names = std::vector<std::string>;

namespace {

const int32_t kMin = std::numeric_limits<int32_t>::min();
const std::string kGyoganUtf8 = "\xE9\xAD\x9A\xE7\x9C\xBC", kGyoganCp932 = "\x8B\x9B\x8A\xE1", kBad = "\xEF\xBF\xBD";

TEST(NumberRules, StoiWtofAndDialogBoxes) {
    using E = IntParseError;
    const struct { const char* text; E error; int32_t value; } cases[] = {
        {"0", E::None, 0}, {" 42abc", E::None, 42}, {" 7 ", E::None, 7}, {"\t\n\v\f\r 5", E::None, 5},
        {"+7", E::None, 7}, {"-12", E::None, -12}, {"007", E::None, 7}, {"3.9", E::None, 3}, {"1e5", E::None, 1},
        {"0x10", E::None, 0}, {"2147483647", E::None, 2147483647}, {"-2147483648", E::None, kMin},
        {"00000000000000000000012", E::None, 12}, {"", E::Invalid, 0}, {"   ", E::Invalid, 0}, {"-", E::Invalid, 0},
        {"+", E::Invalid, 0}, {"abc", E::Invalid, 0}, {"- 5", E::Invalid, 0}, {"+-5", E::Invalid, 0},
        {"2147483648", E::OutOfRange, 0}, {"-2147483649", E::OutOfRange, 0},
        {"123456789012345678901234567890", E::OutOfRange, 0}};
    for (const auto& c : cases) {
        const IntParse parsed = parseLeadingInt(c.text);
        EXPECT_EQ(parsed.error, c.error) << '"' << c.text << '"';
        EXPECT_EQ(c.error == E::None ? parsed.value : 0, c.value) << '"' << c.text << '"';
    }
    const struct { const char* text; double value; } doubles[] = {  // _wtof rules
        {"1.05x", 1.05}, {"", 0.0}, {"   ", 0.0}, {"abc", 0.0}, {"  -2.5e3z", -2500.0}, {"1e", 1.0}, {"1e+", 1.0},
        {"1E-2", 0.01}, {"2e+3", 2000.0}, {".5", 0.5}, {"5.", 5.0}, {".", 0.0}, {"-.25", -0.25}, {"+7", 7.0},
        {"-", 0.0}, {"inf", 0.0}, {"nan", 0.0}, {"infinity", 0.0}, {"0x1A", 0.0}, {"1,5", 1.0}, {"\t0.75", 0.75},
        {"1.5.2", 1.5}, {"3e2.5", 300.0}, {"1e-400", 0.0}, {"0.0000000000000000000000000000000001", 1e-34},
        {"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL}, {"0.001e99999999999999", HUGE_VAL}};
    for (const auto& c : doubles) EXPECT_DOUBLE_EQ(parseLeadingDouble(c.text), c.value) << '"' << c.text << '"';
    // A dialog box: a whole signed number or 0; numbers are written as plain decimal.
    const struct { const char* text; int32_t value; } boxes[] = {
        {"12", 12}, {" 12 ", 12}, {"-12", -12}, {"  -2147483648  ", kMin}, {"2147483647", 2147483647}, {"12a", 0},
        {"a12", 0}, {"", 0}, {"-", 0}, {"+12", 0}, {"1 2", 0}, {"1.5", 0}, {"- 12", 0}, {"2147483648", 0},
        {"-2147483649", 0}, {"99999999999999999999", 0}};
    for (const auto& c : boxes) EXPECT_EQ(parseBoxInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(TextEncoding, Utf8IsKeptAndShiftJisIsRead) {
    const struct { std::string text; bool valid; } validity[] = {
        {"", true}, {kGyoganUtf8, true}, {"\xC2\xA0", true}, {"\xF0\x9F\x93\xB7", true}, {"\xF4\x8F\xBF\xBF", true},
        {kGyoganCp932, false}, {"\xC3\xDE", false}, {"\x80", false}, {"\xC0\xAF", false}, {"\xE0\x80\xAF", false},
        {"\xED\xA0\x80", false}, {"\xF4\x90\x80\x80", false}, {"\xE9\xAD", false}, {"\xFF", false}};
    for (const auto& c : validity) EXPECT_EQ(isValidUtf8(c.text), c.valid) << ::testing::PrintToString(c.text);
    const struct { std::string in, out; } readings[] = {
        {kGyoganUtf8, kGyoganUtf8}, {"Lens 1", "Lens 1"}, {"A" + kGyoganCp932 + " 8mm", "A" + kGyoganUtf8 + " 8mm"},
        {"\xC3\xDE", "\xEF\xBE\x83\xEF\xBE\x9E"}, {"\x81\x60", "\xEF\xBD\x9E"}, {"a\x80" "b", "a" + kBad + "b"},
        {"\xFF\xFF", kBad + kBad}, {"x\x8B", "x" + kBad}};
    for (const auto& c : readings) EXPECT_EQ(fileTextToUtf8(c.in), c.out) << ::testing::PrintToString(c.in);
}

// A record with something different in every field.
LensRecord sampleRecord(const std::string& name) {
    return {name, "1.05", "0.75", "0.5", "1.0", "1.3", "-0.1", "1.2", "0", "-0.2", "1.3", "0.01", "-0.3",
            "1.4", "0.02", " 4e-1", "1.5x", "", 3, 1520, 2, -12, 2003, 1};
}

class FileTest : public ScratchTest {
protected:
    // The folder's entries (the registry writers leave no lock file behind).
    long entries() const {
        long count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++count;
        return count;
    }
    static Names loadNames(const fs::path& file) {
        LensRegistry loaded;
        LoadLensRegistry(loaded, file);
        Names names;
        for (int i = 0; i < loaded.count; ++i) names.push_back(loaded.records[i].name);
        return names;
    }
    fs::path ini() const { return dir / kLensRegistryFileName; }
    // Records named L0, L1, ... in a file's bytes.
    static std::string records(int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += recordText("L" + std::to_string(i));
        return text;
    }
};

TEST_F(FileTest, AtomicWrite) {
    const std::string first("one\r\ntwo\r\n\0three", 15);
    ASSERT_TRUE(writeFileAtomically(ini(), first).ok());
    EXPECT_EQ(readFile(ini()), first);
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(ini(), mode);
    ASSERT_TRUE(writeFileAtomically(ini(), "").ok());
    EXPECT_TRUE(fs::exists(ini()) && fs::file_size(ini()) == 0);
    EXPECT_EQ(fs::status(ini()).permissions(), mode);
    EXPECT_EQ(entries(), 1);

    const fs::path previous = fs::current_path();  // a relative name is in the working directory
    fs::current_path(dir);
    const bool written = writeFileAtomically("relative", "here").ok();
    fs::current_path(previous);
    EXPECT_TRUE(written && readFile(dir / "relative") == "here");
}

// The 24 lines in the file's order, and every field of the record as the lens selection hands it to a run.
TEST_F(FileTest, RegisterWritesExactly24CrLfLinesAndShiftJisIsReadButUtf8Written) {
    LensRegistry registry;
    ASSERT_EQ(RegisterLens(registry, sampleRecord("Fisheye 8mm"), ini()), RegisterStatus::Registered);
    EXPECT_EQ(registry.count, 1);
    EXPECT_EQ(readFile(ini()), "Fisheye 8mm\r\n1.05\r\n0.75\r\n0.5\r\n1.0\r\n1.3\r\n-0.1\r\n1.2\r\n0\r\n-0.2\r\n"
                               "1.3\r\n0.01\r\n-0.3\r\n1.4\r\n0.02\r\n 4e-1\r\n1.5x\r\n\r\n"
                               "3\r\n1520\r\n2\r\n-12\r\n2003\r\n1\r\n");
    const LensSettings lens = lensSettingsOf(registry.records[0]);
    const QuadraticLaw& q = lens.quadratic;
    EXPECT_EQ((std::vector<double>{lens.magnification, lens.sineK, q.theta1, q.theta2, q.theta3, q.a1, q.b1, q.c1, q.a2,
                                   q.b2, q.c2, q.a3, q.b3, q.c3, q.a4, q.b4, q.c4}),
              (std::vector<double>{1.05, 0.75, 0.5, 1.0, 1.3, -0.1, 1.2, 0, -0.2, 1.3, 0.01, -0.3, 1.4, 0.02, 0.4, 1.5, 0}));
    EXPECT_TRUE(lens.name == "Fisheye 8mm" && lens.radiusMode == 3 && lens.radiusDots == 1520 && lens.mappingKind == 2 &&
                lens.axisX == -12 && lens.axisY == 2003 && lens.axisMode == 1);

    // A Shift-JIS file is read as such, the last two bytes too although alone they would pass as UTF-8. What is
    // written is UTF-8: names as they are, a line end in a field as a blank, a stray byte as the replacement
    // character; int32 extremes read back.
    writeFile(ini(), recordText(kGyoganCp932 + " 8mm") + recordText("Plain") + recordText("\xC3\xA9"));
    LensRegistry loaded;
    LoadLensRegistry(loaded, ini());
    EXPECT_EQ(loadNames(ini()), (Names{kGyoganUtf8 + " 8mm", "Plain", "\xEF\xBE\x83\xEF\xBD\xA9"}));
    LensRecord& fourth = loaded.records[3];
    fourth.name = "two\nlines", fourth.sineK = "bad \xFF byte";
    fourth.radiusDots = std::numeric_limits<int32_t>::max(), fourth.axisY = kMin;
    ASSERT_TRUE(SaveLensRegistry(loaded, 4, std::nullopt, ini()));
    EXPECT_EQ(readFile(ini()).substr(0, kGyoganUtf8.size() + 6), kGyoganUtf8 + " 8mm\r\n");
    EXPECT_TRUE(isValidUtf8(readFile(ini())));
    LensRegistry again;
    LoadLensRegistry(again, ini());
    ASSERT_EQ(again.count, 4);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(again.records[i], loaded.records[i]) << i;
    EXPECT_TRUE(again.records[3].name == "two lines" && again.records[3].sineK == "bad " + kBad + " byte");
    EXPECT_TRUE(again.records[3].radiusDots == fourth.radiusDots && again.records[3].axisY == kMin);
}

TEST_F(FileTest, OddFilesLoadTheCompleteRecords) {
    const std::string one = recordText("A"), two = one + recordText("B");
    const auto lf = [](std::string text) { return std::erase(text, '\r'), text; };
    const Names firstTen{"L0", "L1", "L2", "L3", "L4", "L5", "L6", "L7", "L8", "L9"};
    const std::string longName = std::string(65535, 'a') + kGyoganUtf8;
    const struct { std::string bytes; Names names; } cases[] = {
        {"", {}}, {std::string(300, '\n'), {}}, {one.substr(0, one.size() - 3), {}}, {two + "extra\r\n", {"A", "B"}},
        {two.substr(0, two.size() - 3), {"A"}}, {two.substr(0, two.size() - 2), {"A", "B"}},
        {lf(two), {"A", "B"}}, {lf(one) + recordText("B"), {"A", "B"}},
        {one + recordText("B", {"0", "abc", "1", "0", "0", "0"}), {"A"}},
        {one + recordText("B", {"0", "0", "1", "99999999999", "0", "0"}), {"A"}},
        {one + recordText("B", {"0", "0", "1", "0", "0", ""}), {"A"}}, {recordText("A", {"x"}) + recordText("B"), {}},
        {records(11), firstTen}, {"\xEF\xBB\xBF" + recordText("A"), {"A"}}, {recordText("A\rB"), {"A\rB"}},
        {one + "C\r", {"A"}}, {recordText(longName), {longName}},
        // The encoding is the whole file's: a Shift-JIS byte far behind the records still decides it.
        {recordText(kGyoganUtf8) + std::string(1 << 20, '\n') + "\x8B", {cp932ToUtf8(kGyoganUtf8)}}};
    for (const auto& c : cases) {
        writeFile(ini(), c.bytes);
        EXPECT_EQ(loadNames(ini()), c.names) << ::testing::PrintToString(c.bytes.substr(0, 40));
    }
    writeFile(ini(), recordText("A", {" 42abc", "+7", "\t-3 ", "007", "2147483647", "-2147483648"}));
    LensRegistry registry;
    LoadLensRegistry(registry, ini());
    const LensRecord& r = registry.records[0];
    EXPECT_TRUE(registry.count == 1 && r.radiusMode == 42 && r.radiusDots == 7 && r.mappingKind == -3 &&
                r.axisX == 7 && r.axisY == 2147483647 && r.axisMode == kMin);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    for (const fs::path& file : {dir / "absent.ini", dir, dir / "pipe"}) {  // a pipe must not wait for a writer
        registry.count = 4;
        LoadLensRegistry(registry, file);
        EXPECT_EQ(registry.count, 0) << file;
    }
    writeFile(ini(), recordText("A") + recordText("B") + recordText("C"));  // slots past count are left alone
    LoadLensRegistry(registry, ini());
    writeFile(ini(), recordText("D"));
    LoadLensRegistry(registry, ini());
    EXPECT_TRUE(registry.count == 1 && registry.records[0].name == "D" && registry.records[1].name == "B" &&
                registry.records[2].name == "C");
}

// With a report the reader keeps exactly what it keeps without one, and says, by line number, what it left out.
TEST_F(FileTest, TheReaderReportsWhatItLeftOutByLine) {
    const std::string one = recordText("A"), two = one + recordText("B");
    const struct { std::string bytes; size_t kept; std::vector<std::string> said; } cases[] = {
        {two, 2, {}},
        {one + recordText("B", {"0", "abc", "1", "0", "0", "0"}) + recordText("C"), 1,
         {" line 44: radiusDots of record 2 is \"abc\", not a whole number: this record and every line after it were not read"}},
        {recordText("A", {"0", "0", "1", "99999999999", "0", "0"}), 0,
         {" line 22: axisX of record 1 is \"99999999999\", outside the whole numbers a line can hold"}},
        {records(11), 10, {" line 241: a registry holds at most 10 records: the lines from here on were not read"}},
        {two.substr(0, two.size() - 5 * 2 - 6), 1, {" line 25: the last 19 lines do not make a whole record of 24 lines"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes.substr(0, 60)));
        writeFile(ini(), c.bytes);
        LensRegistry reported, plain;
        RegistryLoadReport report;
        LoadLensRegistry(reported, ini(), &report);
        LoadLensRegistry(plain, ini());
        ASSERT_EQ(reported.count, static_cast<int32_t>(c.kept));
        ASSERT_EQ(plain.count, reported.count);
        for (int i = 0; i < plain.count; ++i) EXPECT_EQ(reported.records[i], plain.records[i]);
        EXPECT_TRUE(report.found);
        const std::vector<std::string> lines = report.lines();
        ASSERT_EQ(lines.size(), c.said.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].rfind(ini().string(), 0), 0u) << lines[i];  // the file first
            EXPECT_NE(lines[i].find(c.said[i]), std::string::npos) << lines[i];
        }
    }
    RegistryLoadReport report;
    LensRegistry registry;
    LoadLensRegistry(registry, dir / "absent.ini", &report);
    EXPECT_FALSE(report.found);
    EXPECT_EQ(report.lines(), std::vector<std::string>{(dir / "absent.ini").string() + ": does not exist"});
    LoadLensRegistry(registry, dir, &report);
    EXPECT_EQ(report.lines(), std::vector<std::string>{dir.string() + ": is a folder, not a lens registry file"});
}

TEST_F(FileTest, RegisterRefusalsAndFailedSavesKeepTheOldFile) {
    LensRegistry edit;
    edit.count = 5;  // whatever memory says, the file is the base
    EXPECT_EQ(RegisterLens(edit, sampleRecord(""), ini()), RegisterStatus::EmptyName);
    EXPECT_FALSE(fs::exists(ini()));
    writeFile(dir / "plain", "a file, not a directory");
    EXPECT_EQ(RegisterLens(edit, sampleRecord("A"), dir / "plain" / "x.ini"), RegisterStatus::WriteFailed);
    EXPECT_EQ(edit.count, 0);
    for (int i = 0; i < kMaxLensRecords; ++i)  // a name of blanks is a name; each goes after the file's records
        ASSERT_EQ(RegisterLens(edit, sampleRecord(i ? "L" + std::to_string(i) : "  "), ini()), RegisterStatus::Registered);
    EXPECT_EQ(edit.records[9], sampleRecord("L9"));
    EXPECT_EQ(loadNames(ini()), (Names{"  ", "L1", "L2", "L3", "L4", "L5", "L6", "L7", "L8", "L9"}));
    const std::string full = readFile(ini());
    EXPECT_EQ(RegisterLens(edit, sampleRecord("eleventh"), ini()), RegisterStatus::RegistryFull);
    EXPECT_EQ(edit.count, kMaxLensRecords);
    EXPECT_EQ(readFile(ini()), full);

    for (int i = 0; i < kMaxLensRecords; ++i) edit.records[i] = sampleRecord(std::string(400, 'n'));
    rlimit previous{}, lowered{};  // a lower file-size limit makes the write fail part-way, also as root
    getrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, SIG_IGN);
    lowered = previous, lowered.rlim_cur = full.size() + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    const bool saved = SaveLensRegistry(edit, kMaxLensRecords, std::nullopt, ini());
    setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_FALSE(saved);
    EXPECT_EQ(readFile(ini()), full);
    EXPECT_EQ(entries(), 2);
}

// The user's lens file from XDG_CONFIG_HOME and HOME as the base-directory rules have them: a relative or
// empty XDG_CONFIG_HOME counts as unset, and without an absolute HOME there is no user file.
TEST(LensSources, UserFileFollowsTheBaseDirectoryRules) {
    const struct { const char* xdg; const char* home; const char* file; } cases[] = {
        {"/cfg", "/home/u", "/cfg/vistereo/Vistereo.ini"},
        {nullptr, "/home/u", "/home/u/.config/vistereo/Vistereo.ini"},
        {"", "/home/u", "/home/u/.config/vistereo/Vistereo.ini"},
        {"cfg", "/home/u", "/home/u/.config/vistereo/Vistereo.ini"},
        {"/cfg", nullptr, "/cfg/vistereo/Vistereo.ini"},
        {nullptr, nullptr, ""}, {"", "", ""}, {"rel", "also/rel", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.xdg ? c.xdg : "(unset)") + " " + (c.home ? c.home : "(unset)"));
        const auto file = userLensFile(c.xdg, c.home);
        EXPECT_EQ(file ? file->string() : std::string(), c.file);
    }
}

// Three files, read in lookup order: a name finds the first file that has it (within a file, the first
// record), "#K" counts through all files in order, and a missing file adds nothing but is reported.
TEST_F(FileTest, LookupGoesThroughTheFilesInOrder) {
    writeFile(dir / "work.ini", recordText("Shared") + recordText("Work only") + recordText("Shared"));
    writeFile(dir / "given.ini", recordText("Given only") + recordText("Shared") + recordText("In both later"));
    writeFile(dir / "user.ini", recordText("In both later") + recordText("User only"));
    const LensSource sources[] = {{LensSourceKind::WorkingFolder, dir / "work.ini"},
                                  {LensSourceKind::LensesOption, dir / "absent.ini"},
                                  {LensSourceKind::LensesOption, dir / "given.ini"},
                                  {LensSourceKind::UserFile, dir / "user.ini"}};
    const LensCatalogue catalogue = loadLensCatalogue(sources);
    ASSERT_EQ(catalogue.order.size(), 8u);
    EXPECT_FALSE(catalogue.sources[1].report.found);
    const struct { const char* lens; int source, index; const char* error; } cases[] = {
        {"Shared", 0, 0, ""},        {"Work only", 0, 1, ""},   {"Given only", 2, 0, ""},
        {"In both later", 2, 2, ""}, {"User only", 3, 1, ""},   {"#1", 0, 0, ""},
        {"#3", 0, 2, ""},            {"#4", 2, 0, ""},          {"#8", 3, 1, ""},
        {"#9", -1, -1, "no lens record #9 in "}, {"#0", -1, -1, "(they hold 8)"}, {"#x", -1, -1, "no lens record #x"},
        {"shared", -1, -1, "user.ini (see"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lens);
        const LensLookup found = findLens(catalogue, c.lens);
        EXPECT_EQ(found.position.source, c.source);
        EXPECT_EQ(found.position.index, c.index);
        if (*c.error) EXPECT_NE(found.error.find(c.error), std::string::npos) << found.error;
        else EXPECT_EQ(found.error, "");
    }
    // Which records a name cannot reach, and which one it finds instead.
    std::vector<std::pair<int, int>> hidden;
    for (size_t k = 0; k < catalogue.order.size(); ++k) {
        const LensPosition by = catalogue.hiddenBy(k);
        if (by.valid()) hidden.push_back({static_cast<int>(k) + 1, by.source * 10 + by.index});
    }
    EXPECT_EQ(hidden, (std::vector<std::pair<int, int>>{{3, 0}, {5, 0}, {7, 22}}));
}

}  // namespace

// The names a new record may not have: what the command line would read as a record number, what the file's
// lines or a list's columns cannot keep, what is not text; anything else, blanks and any language included.
TEST(LensNames, NamesTheFileOrTheCommandLineCannotKeepAreRefusedWithTheReason) {
    const struct { std::string name; const char* refusal; } cases[] = {
        {"", "the name is empty"},
        {"#1", "reads as a record number"},
        {"#Wide", "reads as a record number"},
        {"new\nline", "holds a line end"},
        {"cr\r", "holds a line end"},
        {"tab\tbed", "control character"},
        {std::string("nul\0in", 6), "control character"},
        {"del\x7F", "control character"},
        {"\xFF\xFE", "not UTF-8"},
        {"\xE9\xAD", "not UTF-8"},  // a sequence cut short
        {"Wide #2", nullptr},
        {"  ", nullptr},
        {kGyoganUtf8 + " 190", nullptr},
        {"Équisolide", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string problem = lensNameProblem(c.name);
        if (c.refusal) EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
        else EXPECT_EQ(problem, "");
    }
}

// A writer changes the file as it is under the lock: an addition goes after whatever another writer put there,
// a name the file has or a file that cannot take more is refused with the file left as it was, and a file with
// lines the reader cannot take is not rewritten by the additions (the dialog's Register drops them, as always).
TEST_F(FileTest, ChangesApplyToTheFileAsItIsNowAndRefusalsLeaveItAlone) {
    writeFile(ini(), records(2));
    RegistryAddition added = addLensRecord(ini(), sampleRecord("New"));
    EXPECT_TRUE(added.ok()) << added.error;
    EXPECT_EQ(added.recordNumber, 3);
    EXPECT_EQ(loadNames(ini()), (Names{"L0", "L1", "New"}));
    const std::string before = readFile(ini());
    const struct { LensRecord record; const char* refusal; } refused[] = {
        {sampleRecord("L1"), "record #2 of "}, {sampleRecord("#3"), "reads as a record number"},
        {sampleRecord("a\nb"), "holds a line end"}};
    for (const auto& r : refused) {
        added = addLensRecord(ini(), r.record);
        EXPECT_NE(added.error.find(r.refusal), std::string::npos) << added.error;
        EXPECT_EQ(readFile(ini()), before);
    }
    writeFile(ini(), records(10));
    added = addLensRecord(ini(), sampleRecord("Eleventh"));
    EXPECT_NE(added.error.find("already holds 10 records"), std::string::npos) << added.error;
    EXPECT_EQ(readFile(ini()), records(10));

    const std::string damaged = records(2) + "just a few\r\nlines\r\n";
    writeFile(ini(), damaged);
    added = addLensRecord(ini(), sampleRecord("New"));
    EXPECT_NE(added.error.find("has lines the reader cannot take"), std::string::npos) << added.error;
    EXPECT_EQ(readFile(ini()), damaged);
    LensRegistry edit;
    EXPECT_EQ(RegisterLens(edit, sampleRecord("New"), ini()), RegisterStatus::Registered);
    EXPECT_EQ(loadNames(ini()), (Names{"L0", "L1", "New"}));
}

// The registration dialog's Overwrite and Delete write the file from the dialog's copy, as prescribed; what
// another writer added since the dialog read the file is named, so the dialog can say it is gone.
TEST_F(FileTest, ARewriteFromACopyNamesTheRecordsAnotherWriterAddedMeanwhile) {
    writeFile(ini(), records(3));
    LensRegistry copy;
    LoadLensRegistry(copy, ini());
    const LensRegistry asRead = copy;
    ASSERT_TRUE(addLensRecord(ini(), sampleRecord("Theirs")).ok());
    CopyRewrite rewrite = rewriteLensRegistryFromCopy(copy, copy.count, 1, ini(), asRead);  // Delete of L1
    EXPECT_TRUE(rewrite.written);
    EXPECT_EQ(rewrite.lost, Names{"Theirs"});
    EXPECT_EQ(loadNames(ini()), (Names{"L0", "L2"}));

    LoadLensRegistry(copy, ini());
    const LensRegistry readAgain = copy;
    copy.records[0] = sampleRecord("Mine");  // Overwrite of L0, nobody else writing
    rewrite = rewriteLensRegistryFromCopy(copy, copy.count, std::nullopt, ini(), readAgain);
    EXPECT_TRUE(rewrite.written && rewrite.lost.empty() && rewrite.error.empty());
    EXPECT_EQ(loadNames(ini()), (Names{"Mine", "L2"}));
}

// Whole-file replacement: the target holds either the old or the new bytes,
// and no temporary file is left behind either way.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <sys/stat.h>

#include "registry/atomic_file.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using namespace vistereo;

namespace {

class AtomicFileTest : public vistereo::testing::ScratchDirTest {};

TEST_F(AtomicFileTest, CreatesAndReplacesWithExactBytes) {
    const fs::path target = dir / "Vistereo.ini";
    const std::string first("one\r\ntwo\r\n\0three", 15);
    ASSERT_TRUE(writeFileAtomically(target, first));
    EXPECT_EQ(readBytes(target), first);
    ASSERT_TRUE(writeFileAtomically(target, "short"));
    EXPECT_EQ(readBytes(target), "short");
    ASSERT_TRUE(writeFileAtomically(target, ""));
    EXPECT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
    EXPECT_EQ(entries(), std::vector<std::string>{"Vistereo.ini"});
}

TEST_F(AtomicFileTest, KeepsTheTargetsPermissions) {
    const fs::path target = dir / "Vistereo.ini";
    writeBytes(target, "old");
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(writeFileAtomically(target, "new"));
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(AtomicFileTest, RelativeNameIsInTheWorkingDirectory) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    const bool written = writeFileAtomically("Vistereo.ini", "here");
    fs::current_path(previous);
    ASSERT_TRUE(written);
    EXPECT_EQ(readBytes(dir / "Vistereo.ini"), "here");
    EXPECT_EQ(entries(), std::vector<std::string>{"Vistereo.ini"});
}

TEST_F(AtomicFileTest, ThroughASymlinkTheLinkedFileIsReplaced) {
    fs::create_directories(dir / "real");
    writeBytes(dir / "real" / "Vistereo.ini", "old");
    fs::create_symlink(fs::path("real") / "Vistereo.ini", dir / "Vistereo.ini");
    ASSERT_TRUE(writeFileAtomically(dir / "Vistereo.ini", "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "Vistereo.ini"));
    EXPECT_EQ(readBytes(dir / "real" / "Vistereo.ini"), "new");
}

TEST_F(AtomicFileTest, ParentThatIsAFileFailsWithAReason) {
    writeBytes(dir / "plain", "not a directory");
    std::string error;
    EXPECT_FALSE(writeFileAtomically(dir / "plain" / "Vistereo.ini", "x", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(readBytes(dir / "plain"), "not a directory");
    EXPECT_EQ(entries(), std::vector<std::string>{"plain"});
}

TEST_F(AtomicFileTest, DirectoryInTheWayIsLeftAndNoTemporaryRemains) {
    fs::create_directories(dir / "Vistereo.ini" / "inner");
    std::string error;
    EXPECT_FALSE(writeFileAtomically(dir / "Vistereo.ini", "x", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(dir / "Vistereo.ini" / "inner"));
    EXPECT_EQ(entries(), std::vector<std::string>{"Vistereo.ini"});
}

TEST_F(AtomicFileTest, FailedWriteKeepsTheOldFile) {
    const fs::path target = dir / "Vistereo.ini";
    writeBytes(target, "old contents\r\n");
    const std::string large(64 * 1024, 'x');
    bool written = true;
    std::string error;
    {
        vistereo::testing::FileSizeLimit limit(1024);
        ASSERT_TRUE(limit.active());
        written = writeFileAtomically(target, large, &error);
    }
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("write"), std::string::npos) << error;
    EXPECT_EQ(readBytes(target), "old contents\r\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"Vistereo.ini"});
}

}  // namespace

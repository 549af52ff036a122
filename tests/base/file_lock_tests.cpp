// Advisory locks on single bytes of a lock file, and names cut to fit a
// message.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>
#include <string>

#include "base/file_lock.h"
#include "base/message_text.h"
#include "tests/support/scratch.h"

using namespace vistereo;

namespace {

class LockFileTest : public testsupport::ScratchTest {};

}  // namespace

// Two open lock files stand for two runs: a byte one holds is busy for the
// other until it is unlocked or its holder closes; other bytes stay free.
TEST_F(LockFileTest, ABytesHolderExcludesOthersUntilItLetsGo) {
    const auto path = dir / ".vistereo.lock";
    std::optional<LockFile> first = LockFile::open(path).file, second = LockFile::open(path).file;
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->tryLock(7).attempt, LockFile::Attempt::Taken);
    EXPECT_EQ(first->tryLock(7).attempt, LockFile::Attempt::Taken);  // a holder may take its own byte again
    EXPECT_EQ(second->tryLock(7).attempt, LockFile::Attempt::Busy);
    EXPECT_EQ(second->tryLock(8).attempt, LockFile::Attempt::Taken);
    EXPECT_EQ(first->tryLock(8).attempt, LockFile::Attempt::Busy);
    first->unlock(7);
    EXPECT_EQ(second->tryLock(7).attempt, LockFile::Attempt::Taken);
    second.reset();  // closing lets go of everything
    EXPECT_EQ(first->tryLock(7).attempt, LockFile::Attempt::Taken);
    EXPECT_EQ(first->tryLock(8).attempt, LockFile::Attempt::Taken);
    const OpenedLockFile missing = LockFile::open(dir / "no-such-folder" / "lock");
    EXPECT_FALSE(missing.ok() || missing.file);
    EXPECT_NE(missing.error.find("No such file"), std::string::npos) << missing.error;
}

// A writer that waits for the lock gets it once its holder lets go, and gives up, Busy, when the holder keeps it
// past the patience: never a hang.
TEST_F(LockFileTest, AWaitingTakerGetsTheByteWhenItIsLetGoAndGivesUpAfterItsPatience) {
    const auto path = dir / ".vistereo.lock";
    std::optional<LockFile> holder = LockFile::open(path).file, waiter = LockFile::open(path).file;
    ASSERT_TRUE(holder && waiter);
    ASSERT_EQ(holder->tryLock(3).attempt, LockFile::Attempt::Taken);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waiter->lockWithin(3, std::chrono::milliseconds(80)).attempt, LockFile::Attempt::Busy);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        holder->unlock(3);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(waiter->lockWithin(3, std::chrono::seconds(20)).attempt, LockFile::Attempt::Taken);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    release.join();
    EXPECT_EQ(holder->tryLock(3).attempt, LockFile::Attempt::Busy);
}

// The last writer to leave removes the file, never from under a holder; a
// writer that opened the file before it was removed still excludes, and is
// excluded by, the writers that open the name afterwards.
TEST_F(LockFileTest, TheLastWriterRemovesTheFileAndLateOpenersStillExcludeEachOther) {
    const auto path = dir / ".vistereo.lock";
    std::optional<LockFile> holder = LockFile::open(path).file, leaver = LockFile::open(path).file;
    ASSERT_TRUE(holder && leaver);
    ASSERT_EQ(holder->tryLock(5).attempt, LockFile::Attempt::Taken);
    EXPECT_FALSE(leaver->removeIfUnused());  // a byte is held
    EXPECT_TRUE(std::filesystem::exists(path));
    holder->unlock(5);

    std::optional<LockFile> early = LockFile::open(path).file, last = LockFile::open(path).file;
    ASSERT_TRUE(early && last);
    EXPECT_TRUE(last->removeIfUnused());
    EXPECT_FALSE(std::filesystem::exists(path));
    // `early` and `holder` opened the removed file; `late` opens the name anew.
    std::optional<LockFile> late = LockFile::open(path).file;
    ASSERT_TRUE(late);
    EXPECT_EQ(early->tryLock(9).attempt, LockFile::Attempt::Taken);
    EXPECT_EQ(late->tryLock(9).attempt, LockFile::Attempt::Busy);
    EXPECT_EQ(holder->tryLock(9).attempt, LockFile::Attempt::Busy);
    EXPECT_TRUE(std::filesystem::exists(path));
    early->unlock(9);
    EXPECT_EQ(holder->tryLock(9).attempt, LockFile::Attempt::Taken);
    EXPECT_EQ(late->tryLock(9).attempt, LockFile::Attempt::Busy);
}

TEST(LockByte, NamesMapToStableBytesBelowTwoToThe31) {
    EXPECT_EQ(lockByteOf("IMG_0001.jpg"), lockByteOf("IMG_0001.jpg"));
    EXPECT_NE(lockByteOf("IMG_0001.jpg"), lockByteOf("IMG_0002.jpg"));
    for (const char* name : {"", "a", "IMG_0001.jpg", "a much longer name with spaces.vr.jpg"})
        EXPECT_LT(lockByteOf(name), 1ull << 31) << name;
}

TEST(MessageText, LongNamesKeepTheirStartAndEndWithinTheLimit) {
    const std::string huge = "/shoot/" + std::string(10u << 20, 'x') + "/IMG_0042.vr.jpg";
    const std::string kana = "/写真/" + std::string(300, 'y') + "ステレオ写真.jpg";
    const struct { const char* label; std::string name; size_t limit; std::string start, end; } cases[] = {
        {"short: unchanged", "output/LROut.jpg", 160, "output/LROut.jpg", ""},
        {"exactly the limit: unchanged", std::string(160, 'a'), 160, std::string(160, 'a'), ""},
        {"10 MB name", huge, 160, "/shoot/xxx", "xx/IMG_0042.vr.jpg"},
        {"Japanese at the cut", kana, 40, "/写真/", "ステレオ写真.jpg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string shown = shortenForMessage(c.name, c.limit);
        EXPECT_LE(shown.size(), c.limit);
        if (c.end.empty()) {
            EXPECT_EQ(shown, c.start);
            continue;
        }
        EXPECT_EQ(shown.rfind(c.start, 0), 0u) << shown;
        EXPECT_EQ(shown.substr(shown.size() - c.end.size()), c.end) << shown;
        EXPECT_NE(shown.find("…"), std::string::npos) << shown;
        // Whole UTF-8 characters only: no stray continuation byte around the cut.
        const size_t cut = shown.find("…");
        EXPECT_FALSE(cut > 0 && (static_cast<unsigned char>(shown[cut - 1]) & 0xC0) == 0xC0) << shown;
        EXPECT_NE(static_cast<unsigned char>(shown[cut + 3]) & 0xC0, 0x80u) << shown;
    }
}

#include "launcher/SelfReplace.h"

#include "platform/Files.h"
#include "unit/TestSupport.h"

#include <gtest/gtest.h>

namespace {

void Put(const TTempDir& dir, const std::string& name, const std::string& text) {
    ASSERT_TRUE(platform::WriteFileAtomically(dir / name, text));
}

} // namespace

TEST(SelfReplace, NothingHappensWithoutADeliveredExecutable) {
    TTempDir dir;
    Put(dir, "QVBrelmox.exe", "current");
    Put(dir, "QVBrelmox.ant", "older");
    ReplaceOwnExecutable(dir.Path());
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "current");
    // The previous executable is dropped only when a new one replaces the current.
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.ant"), "older");
    EXPECT_EQ(dir.EntryCount(), 2);
}

TEST(SelfReplace, DeliveredExecutableTakesThePlaceAndTheOldOneIsKept) {
    TTempDir dir;
    Put(dir, "QVBrelmox.exe", "current");
    Put(dir, "QVBrelmox.ant", "older");
    Put(dir, "QVBrelmox.new", "delivered");
    ReplaceOwnExecutable(dir.Path());
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "delivered");
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.ant"), "current");
    EXPECT_FALSE(platform::FileExists(dir / "QVBrelmox.new"));
    EXPECT_EQ(dir.EntryCount(), 2);
}

TEST(SelfReplace, DeliveredExecutableIsPlacedWhenTheCurrentIsMissing) {
    TTempDir dir;
    Put(dir, "QVBrelmox.new", "delivered");
    ReplaceOwnExecutable(dir.Path());
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "delivered");
    EXPECT_EQ(dir.EntryCount(), 1);
}

TEST(SelfReplace, ACheckedLauncherTakesThePlaceOnlyWhenTheCheckAllowsIt) {
    for (const bool allowed : {true, false}) {
        SCOPED_TRACE(allowed ? "allowed" : "refused");
        TTempDir dir;
        Put(dir, "QVBrelmox.exe", "current");
        Put(dir, "QVBrelmox.new", "delivered");
        std::string seen;
        bool writable = true;
        const TSwapResult result =
            ReplaceOwnExecutable(dir.Path(), [&](const std::string& path, platform::FileHandle f) {
                char buffer[32];
                const long long n = platform::ReadFromFile(f, buffer, sizeof buffer);
                seen = path + "=" + std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
                platform::TOpenFile other(platform::OpenFileForUpdate(path));
                writable = other.Handle() != platform::InvalidFile;
                return allowed;
            });
        // The check reads the delivered file through the handle the swap holds.
        EXPECT_EQ(seen, dir / "QVBrelmox.new=delivered");
        // Windows holds it against writers until the swap (POSIX has no such sharing rule).
        if (HaveWindowsFixtures()) {
            EXPECT_FALSE(writable);
        }
        if (allowed) {
            EXPECT_EQ(result, swSwapped);
            EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "delivered");
            EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.ant"), "current");
            EXPECT_EQ(dir.EntryCount(), 2);
        } else {
            // Refused: removed, and the launcher stays as it was.
            EXPECT_EQ(result, swRefused);
            EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "current");
            EXPECT_EQ(dir.EntryCount(), 1);
        }
    }
}

TEST(SelfReplace, ThePinRefusesAnUnsignedLauncher) {
    TTempDir dir;
    Put(dir, "QVBrelmox.exe", "current");
    Put(dir, "QVBrelmox.new", "MZ not signed");
    EXPECT_EQ(ReplaceOwnExecutable(dir.Path(), PinnedPublisherCheck("pinned")), swRefused);
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "current");
    EXPECT_EQ(dir.EntryCount(), 1);
}

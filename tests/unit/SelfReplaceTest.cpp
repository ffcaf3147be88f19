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

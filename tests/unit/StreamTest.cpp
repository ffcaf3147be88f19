#include "support/Stream.h"

#include "TestSupport.h"
#include "support/Exception.h"

#include <gtest/gtest.h>

namespace {

// The same story told to any stream: write, overwrite in the middle, grow, cut, read back.
void ExerciseStream(TStream& s) {
    s.Write("hello world", 11);
    EXPECT_EQ(s.Size(), 11);
    EXPECT_EQ(s.Position(), 11);
    s.SetPosition(6);
    s.Write("WORLD!!", 7);
    EXPECT_EQ(s.Size(), 13);
    s.SetSize(5);
    EXPECT_EQ(s.Size(), 5);
    s.SetPosition(0);
    char buffer[16] = {};
    EXPECT_EQ(s.Read(buffer, sizeof buffer), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(s.Read(buffer, sizeof buffer), 0u);
    s.Reserve(1 << 20);
    EXPECT_EQ(s.Size(), 5);
}

} // namespace

TEST(Stream, MemoryAndFileStreamsBehaveAlike) {
    TMemoryStream memory;
    ExerciseStream(memory);
    EXPECT_EQ(memory.Data(), "hello");
    EXPECT_EQ(memory.TakeData(), "hello");
    EXPECT_EQ(memory.Size(), 0);

    TTempDir dir;
    {
        TFileStream file(dir / "out.bin");
        ExerciseStream(file);
    }
    EXPECT_EQ(ReadFileOrDie(dir / "out.bin"), "hello");
    EXPECT_THROW(TFileStream(dir / "missing\\out.bin"), EInOutError);
    // Read-only: an existing file, whole and seekable, that never changes.
    TFileStream in(dir / "out.bin", TFileStream::TMode::Read);
    EXPECT_EQ(in.Size(), 5);
    in.SetPosition(1);
    char buffer[8] = {};
    EXPECT_EQ(in.Read(buffer, sizeof buffer), 4u);
    EXPECT_EQ(std::string(buffer, 4), "ello");
    EXPECT_THROW(in.Write("x", 1), EInOutError);
    EXPECT_THROW(TFileStream(dir / "none.bin", TFileStream::TMode::Read), EInOutError);
}

TEST(Stream, MemoryStreamRefusesImpossibleSizes) {
    TMemoryStream s;
    EXPECT_THROW(s.SetSize(-1), std::exception);
    s.SetPosition(-5);
    EXPECT_EQ(s.Position(), 0);
    s.Reserve(-1); // a hint only: nothing happens
    s.SetPosition(3);
    s.Write("x", 1); // writing past the end fills the gap with zero bytes
    EXPECT_EQ(s.Data(), std::string("\0\0\0x", 4));
}

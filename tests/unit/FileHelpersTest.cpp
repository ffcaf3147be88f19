#include "support/FileHelpers.h"

#include "TestSupport.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "support/Exception.h"

#include <gtest/gtest.h>

TEST(FileHelpers, AppDirectoryIsTheExecutablesDirectory) {
    std::string dir = AppDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '\\');
    EXPECT_EQ(dir, platform::ModuleFileName().substr(0, dir.size()));
    EXPECT_TRUE(platform::DirectoryExists(dir));
    EXPECT_EQ(ExtractFilePath("C:\\a\\b.exe"), "C:\\a\\");
    EXPECT_EQ(ExtractFilePath("C:b.exe"), "C:");
    EXPECT_EQ(ExtractFilePath("b.exe"), "");
}

TEST(FileHelpers, SaveTextToFileWritesExactlyTheBytes) {
    TTempDir dir;
    std::string path = dir / "out.bin";
    const std::string texts[] = {std::string("line\r\nnext\nlast\r", 16),
                                 std::string("\0\x01\xFF\xE7", 4), "",
                                 std::string(3 * 1024 * 1024 + 5, '\x9C')};
    for (const std::string& text : texts) {
        ASSERT_TRUE(SaveTextToFile(path, text));
        EXPECT_EQ(ReadFileOrDie(path), text);
    }
    EXPECT_EQ(dir.EntryCount(), 1) << "a temporary file was left behind";
}

TEST(FileHelpers, SaveTextToFileFailsWithoutHarm) {
    TTempDir dir;
    EXPECT_FALSE(SaveTextToFile(dir / "missing\\out.txt", "x"));
    // A directory where the file should be: the write is refused and nothing is left over.
    ASSERT_TRUE(platform::MakeDirectory(dir / "taken"));
    EXPECT_FALSE(SaveTextToFile(dir / "taken", "x"));
    EXPECT_TRUE(platform::DirectoryExists(dir / "taken"));
    EXPECT_EQ(dir.EntryCount(), 1);
}

TEST(FileHelpers, LeftAndRightParts) {
    EXPECT_EQ(LeftPart("OKabOK", 2), "OK");
    EXPECT_EQ(RightPart("OKabOK", 2), "OK");
    EXPECT_EQ(LeftPart("x", 2), "x");
    EXPECT_EQ(RightPart("x", 2), "x");
    EXPECT_EQ(LeftPart("abc", 0), "");
    EXPECT_EQ(RightPart("abc", 0), "");
    EXPECT_EQ(LeftPart("abc", 3), "abc");
    EXPECT_EQ(RightPart("", 5), "");
}

TEST(FileHelpers, ForceDirectoriesMakesTheWholePath) {
    TTempDir dir;
    EXPECT_TRUE(ForceDirectories(dir / "Local\\"));
    EXPECT_TRUE(platform::DirectoryExists(dir / "Local"));
    EXPECT_TRUE(ForceDirectories(dir / "Local\\")); // already there: nothing changes
    EXPECT_TRUE(ForceDirectories(dir / "a\\b\\c"));
    EXPECT_TRUE(platform::DirectoryExists(dir / "a\\b\\c"));
    ASSERT_TRUE(SaveTextToFile(dir / "file", "x"));
    EXPECT_FALSE(ForceDirectories(dir / "file\\sub"));
    try {
        ForceDirectories("");
        ADD_FAILURE() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Incapaz de criar diret\xF3rio");
    }
}

TEST(FileHelpers, GetFileVersionTextReadsOnlyThePortugueseTable) {
    if (!HaveWindowsFixtures())
        GTEST_SKIP() << "version resources exist in the Windows build only";
    std::string dir = AppDirectory();
    std::string v;
    GetFileVersionText(dir + "version_ptbr.exe", v);
    EXPECT_EQ(v, "4.3.2.1");
    v.clear();
    GetFileVersionText(dir + "version_en.exe", v);
    EXPECT_EQ(v, "");
    GetFileVersionText(dir + "version_none.exe", v);
    EXPECT_EQ(v, "");
    GetFileVersionText(dir + "no_such_file.exe", v);
    EXPECT_EQ(v, "");
    GetFileVersionText("", v);
    EXPECT_EQ(v, "9.8.7.6"); // the test program's own
}

TEST(FileHelpers, GetFileVersionTextWithoutAResourceWritesNothing) {
    std::string v = "kept";
    GetFileVersionText(AppDirectory() + "no_such_file.exe", v);
    EXPECT_EQ(v, "kept");
}

TEST(FileHelpers, RenameNeverOverwritesAndRemoveTakesFilesOnly) {
    TTempDir dir;
    ASSERT_TRUE(SaveTextToFile(dir / "QVBrelmox.exe", "old"));
    ASSERT_TRUE(SaveTextToFile(dir / "QVBrelmox.new", "new"));
    EXPECT_FALSE(platform::RenameFile(dir / "QVBrelmox.new", dir / "QVBrelmox.exe"));
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "old");
    EXPECT_TRUE(platform::RenameFile(dir / "QVBrelmox.exe", dir / "QVBrelmox.ant"));
    EXPECT_TRUE(platform::RenameFile(dir / "QVBrelmox.new", dir / "QVBrelmox.exe"));
    EXPECT_EQ(ReadFileOrDie(dir / "QVBrelmox.exe"), "new");
    EXPECT_FALSE(platform::FileExists(dir / "QVBrelmox.new"));
    EXPECT_TRUE(platform::RemoveFile(dir / "QVBrelmox.ant"));
    EXPECT_FALSE(platform::RemoveFile(dir / "QVBrelmox.ant"));
    EXPECT_FALSE(platform::RenameFile(dir / "nothing", dir / "other"));
}

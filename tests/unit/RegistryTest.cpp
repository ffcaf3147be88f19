// Against the real registry (Windows builds, under Wine): a private key per run.

#include "support/Registry.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        key = "\\Software\\QVBrelmoxTest\\" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(GetTickCount()) + "\\";
    }
    void TearDown() override {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
            RegDeleteTreeA(root, key.substr(1).c_str());
    }
    void SetDword(HKEY root, const char* name, DWORD value) {
        HKEY h;
        ASSERT_EQ(RegCreateKeyExA(root, key.substr(1).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(h);
    }
    std::string ReadString(const char* name) {
        char buffer[512] = {};
        DWORD size = sizeof buffer;
        if (RegGetValueA(HKEY_CURRENT_USER, key.substr(1).c_str(), name, RRF_RT_REG_SZ, nullptr,
                         buffer, &size) != ERROR_SUCCESS)
            return "<none>";
        return buffer;
    }
    std::string key;
};

} // namespace

TEST_F(Registry, WriteStringCreatesTheKeyAndLeavesOtherTypesAlone) {
    EXPECT_FALSE(RegValueExists(RootCurrentUser, key, "QVBrelmox.AppDir"));
    RegWriteString(RootCurrentUser, key, "QVBrelmox.AppDir", "C:\\Prog\\");
    EXPECT_EQ(ReadString("QVBrelmox.AppDir"), "C:\\Prog\\");
    EXPECT_TRUE(RegValueExists(RootCurrentUser, key, "QVBrelmox.AppDir"));
    RegWriteString(RootCurrentUser, key, "QVBrelmox.AppDir", "C:\\Prog\\");
    RegWriteString(RootCurrentUser, key, "QVBrelmox.AppDir", "D:\\Other\\");
    EXPECT_EQ(ReadString("QVBrelmox.AppDir"), "D:\\Other\\");

    SetDword(HKEY_CURRENT_USER, "Number", 7);
    RegWriteString(RootCurrentUser, key, "Number", "text");
    EXPECT_EQ(RegReadInteger(RootCurrentUser, key, "Number"), 7);
    RegWriteString(0x12345678, key, "X", "no such root"); // swallowed
}

TEST_F(Registry, ReadIntegerFromUserOrMachine) {
    EXPECT_EQ(RegReadInteger(RootUserOrMachine, key, "QVBrelmox"), 0); // no key at all
    SetDword(HKEY_LOCAL_MACHINE, "QVBrelmox", 2222);
    EXPECT_EQ(RegReadInteger(RootUserOrMachine, key, "QVBrelmox"), 2222);
    SetDword(HKEY_CURRENT_USER, "QVBrelmox", 1111);
    EXPECT_EQ(RegReadInteger(RootUserOrMachine, key, "QVBrelmox"), 1111);
    SetDword(HKEY_CURRENT_USER, "Negative", 0xFFFFFFFE);
    EXPECT_EQ(RegReadInteger(RootCurrentUser, key, "Negative"), -2);
    RegWriteString(RootCurrentUser, key, "Text", "1234");
    EXPECT_EQ(RegReadInteger(RootCurrentUser, key, "Text"), 0);
    EXPECT_EQ(RegReadInteger(RootCurrentUser, key, "Missing"), 0);
}

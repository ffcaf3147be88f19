// Runs against the real private-profile services in the Windows builds and against the POSIX
// stand-in natively, so both are held to the same rules.

#include "update/ProfileFile.h"

#include "TestSupport.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "support/FileHelpers.h"

#include <gtest/gtest.h>

TEST(ProfileFile, MissingFileSectionOrKeyGivesTheDefault) {
    TTempDir dir;
    TProfileFile ini(dir / "QVBrelmox.ini");
    EXPECT_EQ(ini.ReadString("Versao", "App.exe", "0"), "0");
    ASSERT_TRUE(SaveTextToFile(ini.Path(), "[Unidade]\r\nUnidade=12\r\n[Versao]\r\n"));
    EXPECT_EQ(ini.ReadString("Versao", "App.exe", "0"), "0");
    EXPECT_EQ(ini.ReadString("Other", "Unidade", ""), "");
    EXPECT_EQ(ini.ReadString("Unidade", "Unidade", ""), "12");
}

TEST(ProfileFile, ReadsFollowThePlatformRules) {
    TTempDir dir;
    TProfileFile ini(dir / "QVBrelmox.ini");
    ASSERT_TRUE(SaveTextToFile(ini.Path(), "[unidade]\r\n"
                                           "USUARIO=Jo\xE3o da Silva\r\n"
                                           "  Telefone  =  11 5555-1234  \r\n"
                                           "Email=first@x\r\n"
                                           "email=second@x\r\n"
                                           "Quoted=\"  padded  \"\r\n"
                                           "[Unidade]\r\n"
                                           "Extra=in second section\r\n"
                                           "[Versao]\n"
                                           "VersaoAtual=3.1\n"));
    EXPECT_EQ(ini.ReadString("Unidade", "Usuario", ""), "Jo\xE3o da Silva");
    EXPECT_EQ(ini.ReadString("UNIDADE", "telefone", ""), "11 5555-1234");
    EXPECT_EQ(ini.ReadString("Unidade", "Email", ""), "first@x");
    EXPECT_EQ(ini.ReadString("Unidade", "Quoted", ""), "  padded  ");
    EXPECT_EQ(ini.ReadString("versao", "versaoatual", ""), "3.1");
}

TEST(ProfileFile, LongValuesAreCutTo2047Characters) {
    TTempDir dir;
    TProfileFile ini(dir / "QVBrelmox.ini");
    std::string value(5000, 'v');
    ini.WriteString("Versao", "Big", value);
    EXPECT_EQ(ini.ReadString("Versao", "Big", ""), value.substr(0, platform::ProfileValueMax));
}

TEST(ProfileFile, WritesCreateAndReplaceKeepingTheRest) {
    TTempDir dir;
    TProfileFile ini(dir / "QVBrelmox.ini");
    ini.WriteString("Versao", "VersaoAtual", "3.1");
    EXPECT_EQ(ini.ReadString("Versao", "VersaoAtual", ""), "3.1");
    ini.WriteString("Versao", "QVBrelmoxApp.exe", "3.1");
    ini.WriteString("VERSAO", "versaoatual", "3.2");
    ini.WriteString("Medicamento", "TabMedic.txt", "7");
    ini.WriteDate("Connect", "Last");
    EXPECT_EQ(ini.ReadString("Versao", "VersaoAtual", ""), "3.2");
    EXPECT_EQ(ini.ReadString("Versao", "QVBrelmoxApp.exe", "0"), "3.1");
    EXPECT_EQ(ini.ReadString("Medicamento", "TabMedic.txt", ""), "7");
    EXPECT_FALSE(ini.ReadString("Connect", "Last", "").empty());

    ASSERT_TRUE(SaveTextToFile(ini.Path(), "; kept\r\n[Unidade]\r\nUnidade=12\r\n"));
    ini.WriteString("Versao", "X", "1");
    EXPECT_EQ(ini.ReadString("Unidade", "Unidade", ""), "12");
    EXPECT_NE(ReadFileOrDie(ini.Path()).find("; kept"), std::string::npos);

    // A key removed is gone from the file; removing one that is not there changes nothing.
    ini.DeleteKey("versao", "x");
    EXPECT_EQ(ini.ReadString("Versao", "X", "<none>"), "<none>");
    EXPECT_EQ(ReadFileOrDie(ini.Path()).find("X="), std::string::npos);
    const std::string before = ReadFileOrDie(ini.Path());
    ini.DeleteKey("Versao", "Y");
    ini.DeleteKey("Nothing", "Y");
    EXPECT_EQ(ReadFileOrDie(ini.Path()), before);
    EXPECT_EQ(ini.ReadString("Unidade", "Unidade", ""), "12");
}

TEST(ProfileFile, RefusedWriteRaisesWithTheFullPath) {
    TTempDir dir;
    const std::string paths[] = {dir / "missing\\QVBrelmox.ini", dir / "QVBrelmox.ini"};
    // A directory where the file should be stands for a file that cannot be written.
    ASSERT_TRUE(platform::MakeDirectory(paths[1]));
    for (const std::string& path : paths) {
        TProfileFile ini(path);
        try {
            ini.WriteString("Versao", "VersaoAtual", "3.1");
            ADD_FAILURE() << "no exception for " << path;
        } catch (const EIniFileException& e) {
            EXPECT_EQ(e.Message(), "Incapaz de escrever para " + path);
        }
        EXPECT_EQ(ini.ReadString("Versao", "VersaoAtual", "none"), "none");
    }
    EXPECT_FALSE(platform::DirectoryExists(dir / "missing"));
}

TEST(ProfileFile, CurrentVersionComesFromTheFileThenTheExecutables) {
    TTempDir dir;
    TProfileFile ini(dir / "QVBrelmox.ini");
    std::string own;
    GetFileVersionText("", own);

    EXPECT_EQ(ReadCurrentVersion(ini, dir.Path()), own); // no file, no application
    ini.WriteString("Versao", "VersaoAtual", "   ");
    EXPECT_EQ(ReadCurrentVersion(ini, dir.Path()), own); // blank value
    ini.WriteString("Versao", "VersaoAtual", "3.1");
    EXPECT_EQ(ReadCurrentVersion(ini, dir.Path()), "3.1");

    if (!HaveWindowsFixtures())
        return;
    EXPECT_EQ(own, "9.8.7.6");
    ini.WriteString("Versao", "VersaoAtual", "");
    std::string app = ReadFileOrDie(AppDirectory() + "version_ptbr.exe");
    ASSERT_TRUE(SaveTextToFile(dir / "QVBrelmoxApp.EXE", app));
    EXPECT_EQ(ReadCurrentVersion(ini, dir.Path()), "4.3.2.1");
}

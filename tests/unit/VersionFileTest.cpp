#include "update/VersionFile.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Names(const TVersionFile& f) {
    std::vector<std::string> names;
    for (const auto& line : f.Lines())
        names.push_back(line.Name);
    return names;
}

} // namespace

TEST(VersionFile, LinesEndAtCrLfOrCrLfAndNulEndsTheText) {
    using V = std::vector<std::string>;
    const struct {
        std::string text;
        V names;
    } cases[] = {
        {"a=1\r\nb=2\r\n", {"a", "b"}},
        {"a=1\nb=2", {"a", "b"}},
        {"a=1\rb=2\r", {"a", "b"}},
        {"a=1\r\rb=2", {"a", "", "b"}},
        {"a=1\n\r\nb=2", {"a", "", "b"}},
        {std::string("a=1\nb=2\0c=3\n", 12), {"a", "b"}},
        {"", {}},
        {"no equals sign\n=x", {"", ""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Names(TVersionFile(c.text)), c.names) << c.text;
}

TEST(VersionFile, NamesStandAsWrittenValuesAreTrimmed) {
    TVersionFile f(" QVBrelmoxApp.exe = 3.1 \nx=a=b\nStart.Ok =1\n\t:VersaoAtual=\t3.2\x01");
    ASSERT_EQ(f.Lines().size(), 4u);
    EXPECT_EQ(f.Lines()[0].Name, " QVBrelmoxApp.exe ");
    EXPECT_EQ(f.Lines()[0].Value, "3.1");
    EXPECT_EQ(f.Value("x"), "a=b");
    EXPECT_EQ(f.Value("Start.Ok"), "");
    EXPECT_EQ(f.Value("Start.Ok "), "1");
    EXPECT_EQ(f.Value("\t:versaoatual"), "3.2");
}

TEST(VersionFile, FirstLineOfANameCountsWithoutRegardToCase) {
    TVersionFile f("App.exe=3.1\napp.EXE=3.2\n");
    EXPECT_EQ(f.Value("APP.exe"), "3.1");
    ASSERT_EQ(f.Lines().size(), 2u);
    EXPECT_EQ(f.Value(f.Lines()[1].Name), "3.1");
}

TEST(VersionFile, CompletenessMarkers) {
    const struct {
        std::string text;
        bool complete;
    } cases[] = {
        {"Start.Ok=1\nEnd.Ok=1", true},
        {"End.Ok=1\nx=2\nStart.Ok=1\n", true},
        {"start.ok=1\r\nEND.OK=1\r\n", true},
        {"Start.Ok = 1\nEnd.Ok=1", false},
        {"Start.Ok=1\nEnd.Ok=0", false},
        {"Start.Ok=1\n", false},
        {"Start.Ok=2\nStart.Ok=1\nEnd.Ok=1", false},
        {"Start.Ok= 1 \nEnd.Ok=1\t", true},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TVersionFile(c.text).IsComplete(), c.complete) << c.text;
}

TEST(VersionFile, HugeLinesAndManyLines) {
    std::string big(1 << 20, 'v');
    TVersionFile f("Start.Ok=1\nfile.dat=" + big + "\nEnd.Ok=1");
    EXPECT_TRUE(f.IsComplete());
    EXPECT_EQ(f.Value("file.dat"), big);

    std::string many;
    for (int i = 0; i < 100000; ++i)
        many.append("f").append(std::to_string(i)).append("=1\n");
    EXPECT_EQ(TVersionFile(many).Lines().size(), 100000u);
}

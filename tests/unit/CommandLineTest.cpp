#include "launcher/CommandLine.h"

#include "platform/Process.h"

#include <gtest/gtest.h>

namespace {

using Params = std::vector<std::string>;

TCommandLine Line(std::string_view args) {
    return TCommandLine("C:\\App\\QVBrelmox.exe",
                        std::string("QVBrelmox.exe ") + std::string(args));
}

} // namespace

TEST(CommandLine, SplitsByTheQuotingRules) {
    const struct {
        std::string_view line;
        Params params;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"prog", {"prog"}},
        {"prog a b", {"prog", "a", "b"}},
        {"prog \t a\x01\x1F b  ", {"prog", "a", "b"}},
        {"\"C:\\Program Files\\x.exe\" /Local:D", {"C:\\Program Files\\x.exe", "/Local:D"}},
        {"prog \"a b\"c \"d", {"prog", "a bc", "d"}},
        {"prog a\"b c\"d", {"prog", "ab cd"}},
        {"prog \"\" a", {"prog", "a"}},
        {"prog \"\"\"\"a", {"prog", "a"}},
        {"prog \"\"x\"y z\"", {"prog", "xy z"}},
        {"prog a \"", {"prog", "a"}}, // an empty last parameter ends the list
        {"prog a \" \" b", {"prog", "a", " ", "b"}},
        {"prog C:\\dir\\ \\\"x", {"prog", "C:\\dir\\", "\\x"}}, // no escape character
        {std::string_view("prog a\0b c", 10), {"prog", "a"}},
        {"prog \"unbalanced quote here", {"prog", "unbalanced quote here"}},
        {"prog \xE7\xE3o", {"prog", "\xE7\xE3o"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.params) << c.line;
}

TEST(CommandLine, ParametersComeAfterTheProgramPath) {
    TCommandLine cl("C:\\App\\QVBrelmox.exe", "\"C:\\App\\QVBrelmox.exe\" -local:d \"two words\"");
    EXPECT_EQ(cl.ParamCount(), 2);
    EXPECT_EQ(cl.ParamStr(0), "C:\\App\\QVBrelmox.exe");
    EXPECT_EQ(cl.ParamStr(1), "-local:d");
    EXPECT_EQ(cl.ParamStr(2), "two words");
    EXPECT_EQ(cl.ParamStr(3), "");
    EXPECT_EQ(cl.ParamStr(-1), "");
    EXPECT_EQ(TCommandLine("x", "").ParamCount(), 0);
    EXPECT_EQ(TCommandLine("x", "x").ParamCount(), 0);
}

TEST(CommandLine, LongParametersAndLinesAreKeptWhole) {
    std::string big(100000, 'x');
    TCommandLine cl("p", "p \"" + big + " y\" " + big);
    ASSERT_EQ(cl.ParamCount(), 2);
    EXPECT_EQ(cl.ParamStr(1), big + " y");
    EXPECT_EQ(cl.ParamStr(2), big);

    std::string many = "p";
    for (int i = 0; i < 20000; ++i)
        many += " a";
    EXPECT_EQ(TCommandLine("p", many).ParamCount(), 20000);
}

TEST(CommandLine, FindSwitchValueByPrefixSeparatorAndCase) {
    const struct {
        std::string_view args;
        bool found;
        std::string value;
    } cases[] = {
        {"-local:d", true, "d"},
        {"/LOCAL:d", true, "d"},
        {"xLocal:d", true, "d"},
        {"/Local=D:", false, ""}, // the first colon comes after "=": the name reads Local=D
        {"Local:D:", false, ""},  // the first character is the prefix: the name reads ocal
        {"/Local:D:", true, "D:"},
        {"/Local=E", true, "E"},
        {"/Local:", true, ""},
        {"/Local", false, ""},
        {"/Locale:d", false, ""},
        {"a /Local:c /Local:d", true, "c"},
        {"\"/Local:with space\"", true, "with space"},
    };
    for (const auto& c : cases) {
        std::string value = "untouched";
        EXPECT_EQ(Line(c.args).FindSwitchValue("Local", AnySwitchChar, true, value), c.found)
            << c.args;
        EXPECT_EQ(value, c.found ? c.value : "untouched") << c.args;
    }
    std::string value;
    EXPECT_FALSE(Line("/local:d").FindSwitchValue("Local", AnySwitchChar, false, value));
    EXPECT_FALSE(Line("-Local:d").FindSwitchValue("Local", SlashSwitchChar, true, value));
}

TEST(CommandLine, FindSwitchMatchesTheWholeRest) {
    EXPECT_TRUE(Line("-show").FindSwitch("Show", AnySwitchChar, true));
    EXPECT_TRUE(Line("a b xSHOW").FindSwitch("Show", AnySwitchChar, true));
    EXPECT_FALSE(Line("/Show:1").FindSwitch("Show", AnySwitchChar, true));
    EXPECT_FALSE(Line("Show").FindSwitch("Show", AnySwitchChar, true));
    EXPECT_FALSE(Line("/show").FindSwitch("Show", AnySwitchChar, false));
    EXPECT_TRUE(Line("/brelmox").FindSwitch("Brelmox", SlashSwitchChar, true));
    EXPECT_FALSE(Line("-Brelmox").FindSwitch("Brelmox", SlashSwitchChar, true));
    EXPECT_FALSE(Line("").FindSwitch("Show", AnySwitchChar, true));
}

TEST(CommandLine, ManagedApplicationNameFollowsTheNameSwitches) {
    const struct {
        std::string_view args, name;
    } cases[] = {
        {"", "QVBrelmoxApp"},
        {"x y", "QVBrelmoxApp"},
        {"/brelmox", "Brelmox"},
        {"-Brelmox", "QVBrelmoxApp"},
        {"/Dolvin /Brelmox", "Brelmox"},
        {"/DOLVIN", "Dolvin"},
        {"/Kesh", "Vorn"},
        {"/vorn /Dolvin", "Dolvin"},
        {"/Vorn", "Vorn"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ManagedApplicationName(Line(c.args)), c.name) << c.args;
}

TEST(CommandLine, TheProcessKnowsItsOwnPath) {
    TCommandLine own = TCommandLine::FromProcess();
    EXPECT_EQ(own.ParamStr(0), platform::ModuleFileName());
    EXPECT_FALSE(own.ParamStr(0).empty());
    EXPECT_GE(own.ParamCount(), 0);
}

TEST(CommandLine, ManagedApplicationLine) {
    EXPECT_EQ(ManagedApplicationCommandLine("C:\\Prog\\", "QVBrelmoxApp", 1234, 5678, Line("")),
              "C:\\Prog\\QVBrelmoxApp //OK //1234 //5678 /Contrib /AppDir:\"C:\\Prog\\\"   ");
    TCommandLine four("p", "p a \"b c\" /Dolvin d");
    EXPECT_EQ(ManagedApplicationCommandLine("C:\\P\\", ManagedApplicationName(four), -1, 2, four),
              "C:\\P\\Dolvin //OK //-1 //2 /Contrib /AppDir:\"C:\\P\\\" a b c /Dolvin");
    std::string longDir = "C:\\" + std::string(600, 'd') + "\\";
    // Nothing is cut, however long.
    EXPECT_EQ(ManagedApplicationCommandLine(longDir, "X", 0, 0, Line("")),
              longDir + "X //OK //0 //0 /Contrib /AppDir:\"" + longDir + "\"   ");
}

TEST(CommandLine, WorkDirectoryFollowsTheLocalSwitch) {
    struct Case {
        const char* args;
        const char* workDir;
    } cases[] = {
        {"", "C:\\Prog\\"},
        {"/Local:e", "E:\\Prog\\"},
        {"-local:d", "D:\\Prog\\"},
        {"xLOCAL:D:", "D:\\Prog\\"},
        {"/Local:", "C:\\Prog\\"},        // an empty value changes nothing
        {"/Local=f", "F:\\Prog\\"},       // no colon: the equals sign separates
        {"Local=D:", "C:\\Prog\\"},       // the first colon makes the name "ocal=D"
        {"/Local:1", "1:\\Prog\\"},       // only letters are raised
        {"/Local:\xE9", "\xE9:\\Prog\\"}, // nor are letters beyond a-z
    };
    for (const auto& c : cases)
        EXPECT_EQ(WorkDirectory("C:\\Prog\\", Line(c.args)), c.workDir) << c.args;
}

TEST(CommandLine, StartFailureMessageTrimsTheSystemText) {
    EXPECT_EQ(StartFailureMessage(2, "The system cannot find the file specified. \r\n",
                                  "C:\\P\\QVBrelmoxApp //OK"),
              "Erro Win32. C\xF3"
              "digo: 2.\nThe system cannot find the file specified\n\nC:\\P\\QVBrelmoxApp //OK");
    // Nothing but full stops and blanks: all of it goes.
    EXPECT_EQ(StartFailureMessage(5, "..\t.", "x"), "Erro Win32. C\xF3"
                                                    "digo: 5.\n\n\nx");
    // Full stops inside the text stay.
    EXPECT_EQ(StartFailureMessage(193, "Not a valid Win32 app. Really.", "y"),
              "Erro Win32. C\xF3"
              "digo: 193.\nNot a valid Win32 app. Really\n\ny");
}

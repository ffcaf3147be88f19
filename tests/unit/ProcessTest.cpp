// Real processes under Windows (or Wine): exit codes, start failures, the exact command line.

#include "launcher/Process.h"

#include "TestSupport.h"
#include "launcher/CommandLine.h"
#include "support/FileHelpers.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(Process, RunAndWaitGivesTheExitCodeOrTheNegatedError) {
    EXPECT_EQ(RunAndWait("cmd /c exit 3", 6, ""), 3);
    EXPECT_EQ(RunAndWait("no_such_program_here", 5, ""), -ERROR_FILE_NOT_FOUND);
    TProcessInformation info;
    info.ProcessId = 99;
    StartProcess("no_such_program_here", 1, "", info);
    EXPECT_EQ(info.Process, 0u);
    EXPECT_EQ(info.ProcessId, 0u);
}

TEST(Process, TheManagedApplicationGetsItsLineAndDirectory) {
    TTempDir work;
    TCommandLine params("p", "p a \"b c\" d e");
    // The sibling executable is named like a managed application; ".exe" is added by the system.
    std::string line =
        ManagedApplicationCommandLine(AppDirectory(), "record_args", 1234, -5, params);
    EXPECT_EQ(RunAndWait(line, 1, work.Path()), 7);
    std::string recorded = ReadFileOrDie(work / "record_args.out");
    std::string dir = work.Path();
    dir.pop_back(); // the system reports the directory without its trailing backslash
    EXPECT_EQ(recorded, line + "\n" + dir);
}

#pragma once
// The launcher's parameters and switches.
//
// Splitting rules: characters 1 to 32 separate parameters (a run counts as one); where a
// parameter would begin, each pair of double quotes is skipped; inside a parameter a double
// quote opens a stretch that runs to the next quote or the end of the line, whose characters
// (separators included) belong to the parameter while the quotes are dropped. There is no
// escape character. Parameters are kept whole, however long.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The characters a switch may start with; empty accepts any first character.
using TSwitchChars = std::string_view;
constexpr TSwitchChars AnySwitchChar = "";
constexpr TSwitchChars SlashSwitchChar = "/";

class TCommandLine {
public:
    // programPath becomes parameter 0; rawLine is the whole command line, program path first.
    TCommandLine(std::string programPath, std::string_view rawLine);

    // The running process's own parameters.
    static TCommandLine FromProcess();

    int ParamCount() const { return static_cast<int>(params_.size()) - 1; }

    // Parameter i, 0 to ParamCount(); empty text outside that range.
    std::string ParamStr(int i) const;

    // True when a parameter 1..n, after a first character from prefixes, is exactly the name.
    bool FindSwitch(std::string_view name, TSwitchChars prefixes, bool ignoreCase) const;

    // Finds "<c>name:value" (or "<c>name=value" when the parameter has no colon at all); the
    // value receives everything after the separator. value is untouched when nothing matches.
    bool FindSwitchValue(std::string_view name, TSwitchChars prefixes, bool ignoreCase,
                         std::string& value) const;

private:
    std::vector<std::string> params_; // [0] is the program path
};

// Splits a command line into its parameters by the rules above; the first is the program path.
std::vector<std::string> SplitCommandLine(std::string_view line);

// The managed application's base name: "QVBrelmoxApp", or the first of the name switches
// /Brelmox, /Dolvin, /Kesh or /Vorn that is present when there are parameters.
std::string ManagedApplicationName(const TCommandLine& commandLine);

// The managed application's command line:
//   <appDir><name> //OK //<statusHandle> //<windowHandle> /Contrib /AppDir:"<appDir>" <p1> <p2>
//   <p3>
// with the launcher's first three parameters as its splitting left them (no quotes).
std::string ManagedApplicationCommandLine(const std::string& appDir, const std::string& name,
                                          std::int32_t statusHandle, std::int32_t windowHandle,
                                          const TCommandLine& commandLine);

// The directory the start script and the managed application run in: appDir, or appDir on the
// drive that a non-empty "Local" switch value names (its first character, a letter a-z raised).
std::string WorkDirectory(const std::string& appDir, const TCommandLine& commandLine);

// The message for a managed application that could not be started: the code, the system's
// text for it with trailing blanks, control characters and full stops removed, and the command
// line after an empty line.
std::string StartFailureMessage(std::int32_t code, const std::string& systemText,
                                const std::string& commandLine);

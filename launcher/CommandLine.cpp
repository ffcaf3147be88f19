#include "launcher/CommandLine.h"

#include "platform/Process.h"
#include "support/Text.h"

namespace {

bool IsSeparator(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= ' ';
}

bool HasPrefix(const std::string& param, TSwitchChars prefixes) {
    return prefixes.empty() || prefixes.find(param[0]) != std::string_view::npos;
}

bool SameName(std::string_view a, std::string_view b, bool ignoreCase) {
    return ignoreCase ? SameText(a, b) : a == b;
}

} // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
    // A NUL ends the line, as it does for the system's own text.
    line = line.substr(0, line.find('\0'));
    std::vector<std::string> params;
    std::size_t i = 0;
    for (;;) {
        for (;;) {
            while (i < line.size() && IsSeparator(line[i]))
                ++i;
            if (i + 1 < line.size() && line[i] == '"' && line[i + 1] == '"')
                i += 2;
            else
                break;
        }
        if (i >= line.size())
            return params;
        std::string param;
        while (i < line.size() && !IsSeparator(line[i])) {
            if (line[i] != '"') {
                param += line[i++];
                continue;
            }
            std::size_t close = line.find('"', i + 1);
            std::size_t end = close == std::string_view::npos ? line.size() : close;
            param.append(line.substr(i + 1, end - i - 1));
            i = close == std::string_view::npos ? line.size() : close + 1;
        }
        // A parameter made only of a quoted empty stretch is empty: the list ends before it.
        if (param.empty())
            return params;
        params.push_back(std::move(param));
    }
}

TCommandLine::TCommandLine(std::string programPath, std::string_view rawLine) {
    std::vector<std::string> split = SplitCommandLine(rawLine);
    params_.reserve(split.size() + 1);
    params_.push_back(std::move(programPath));
    for (std::size_t k = 1; k < split.size(); ++k)
        params_.push_back(std::move(split[k]));
}

TCommandLine TCommandLine::FromProcess() {
    return TCommandLine(platform::ModuleFileName(), platform::RawCommandLine());
}

std::string TCommandLine::ParamStr(int i) const {
    if (i < 0 || i >= static_cast<int>(params_.size()))
        return {};
    return params_[static_cast<std::size_t>(i)];
}

bool TCommandLine::FindSwitch(std::string_view name, TSwitchChars prefixes, bool ignoreCase) const {
    for (std::size_t k = 1; k < params_.size(); ++k) {
        const std::string& p = params_[k];
        if (HasPrefix(p, prefixes) && SameName(std::string_view(p).substr(1), name, ignoreCase))
            return true;
    }
    return false;
}

bool TCommandLine::FindSwitchValue(std::string_view name, TSwitchChars prefixes, bool ignoreCase,
                                   std::string& value) const {
    for (std::size_t k = 1; k < params_.size(); ++k) {
        const std::string& p = params_[k];
        if (!HasPrefix(p, prefixes))
            continue;
        std::size_t sep = p.find(':');
        if (sep == std::string::npos)
            sep = p.find('=');
        if (sep == std::string::npos || sep == 0)
            continue;
        if (SameName(std::string_view(p).substr(1, sep - 1), name, ignoreCase)) {
            value = p.substr(sep + 1);
            return true;
        }
    }
    return false;
}

std::string ManagedApplicationName(const TCommandLine& commandLine) {
    if (commandLine.ParamCount() > 0) {
        if (commandLine.FindSwitch("Brelmox", SlashSwitchChar, true))
            return "Brelmox";
        if (commandLine.FindSwitch("Dolvin", SlashSwitchChar, true))
            return "Dolvin";
        if (commandLine.FindSwitch("Kesh", SlashSwitchChar, true) ||
            commandLine.FindSwitch("Vorn", SlashSwitchChar, true))
            return "Vorn";
    }
    return "QVBrelmoxApp";
}

std::string ManagedApplicationCommandLine(const std::string& appDir, const std::string& name,
                                          std::int32_t statusHandle, std::int32_t windowHandle,
                                          const TCommandLine& commandLine) {
    std::string line = appDir;
    line.append(name).append(" //OK //").append(std::to_string(statusHandle));
    line.append(" //").append(std::to_string(windowHandle));
    line.append(" /Contrib /AppDir:\"").append(appDir).append("\"");
    for (int i = 1; i <= 3; ++i)
        line.append(" ").append(commandLine.ParamStr(i));
    return line;
}

std::string WorkDirectory(const std::string& appDir, const TCommandLine& commandLine) {
    std::string local;
    if (!commandLine.FindSwitchValue("Local", AnySwitchChar, true, local) || local.empty())
        return appDir;
    char drive = local[0];
    if (drive >= 'a' && drive <= 'z')
        drive = static_cast<char>(drive - 'a' + 'A');
    // Only the first character of appDir (its drive letter) is replaced.
    std::string workDir = appDir.empty() ? std::string(1, drive) : appDir;
    workDir[0] = drive;
    return workDir;
}

std::string StartFailureMessage(std::int32_t code, const std::string& systemText,
                                const std::string& commandLine) {
    std::string text = systemText;
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
        text.pop_back();
    return "Erro Win32. C\xF3"
           "digo: " +
           std::to_string(code) + ".\n" + text + "\n\n" + commandLine;
}

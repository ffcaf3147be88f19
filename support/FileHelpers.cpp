#include "support/FileHelpers.h"

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/VersionInfo.h"
#include "support/Exception.h"

std::string ExtractFilePath(const std::string& path) {
    std::size_t cut = path.find_last_of("\\:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string AppDirectory() {
    return ExtractFilePath(platform::ModuleFileName());
}

bool SaveTextToFile(const std::string& path, std::string_view text) {
    return platform::WriteFileAtomically(path, text);
}

void GetFileVersionText(const std::string& fileName, std::string& result) {
    std::string text =
        platform::FileVersionText(fileName.empty() ? platform::ModuleFileName() : fileName);
    if (!text.empty())
        result = text;
}

std::string LeftPart(const std::string& text, std::size_t n) {
    return n < text.size() ? text.substr(0, n) : text;
}

std::string RightPart(const std::string& text, std::size_t n) {
    return n < text.size() ? text.substr(text.size() - n) : text;
}

bool ForceDirectories(std::string path) {
    if (path.empty())
        throw EInOutError("Incapaz de criar diret\xF3rio");
    if (path.back() == '\\')
        path.pop_back();
    if (path.size() < 3 || platform::DirectoryExists(path))
        return true;
    std::string parent = ExtractFilePath(path);
    if (!parent.empty() && parent.back() == '\\')
        parent.pop_back();
    if (!parent.empty() && parent != path && !ForceDirectories(parent))
        return false;
    return platform::MakeDirectory(path);
}

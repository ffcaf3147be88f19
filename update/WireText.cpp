#include "update/WireText.h"

#include "support/Text.h"

#include <string_view>

const char* const AreaName = "Contrib";
const char* const DownloadArea = "files/Contrib/";
const char* const NotFoundText = "Arquivo n\xC6o encontrado.";

bool IsSafeRelativeName(const std::string& name) {
    if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = name.find_first_of("\\/", start);
        std::string_view segment(name.data() + start,
                                 (end == std::string::npos ? name.size() : end) - start);
        // Windows ignores trailing dots and spaces, so ". ." and ".. " are ".." too.
        std::string_view bare = segment;
        while (!bare.empty() && (bare.back() == '.' || bare.back() == ' '))
            bare.remove_suffix(1);
        if (bare.empty() && segment.find("..") != std::string_view::npos)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

bool DigestReplyMatches(const std::string& reply, const std::string& md5Text) {
    if (reply.size() < 4 || reply.compare(0, 2, "OK") != 0 ||
        reply.compare(reply.size() - 2, 2, "OK") != 0)
        return false;
    std::string digits = reply.substr(2, reply.size() - 4);
    for (char& c : digits)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return digits == md5Text;
}

bool SplitMessageFile(const std::string& answer, std::string& name, std::string& content) {
    constexpr std::size_t NameLength = 30;
    if (answer.size() <= NameLength)
        return false;
    name = std::string(Trim(std::string_view(answer).substr(0, NameLength)));
    // A name from the server never leaves the message directory.
    if (!IsSafeRelativeName(name) || name.find_first_of("\\/") != std::string::npos)
        return false;
    content = answer.substr(NameLength);
    return true;
}

std::string FileExtension(const std::string& name) {
    std::size_t dot = name.rfind('.');
    std::size_t delimiter = name.find_last_of("\\/:");
    if (dot == std::string::npos || (delimiter != std::string::npos && dot < delimiter))
        return {};
    return name.substr(dot);
}

// A stand-in for the Windows private-profile services, following their rules (Profile.h).
// Writes edit the file line by line and keep every other line as it was.

#include "platform/Profile.h"

#include "platform/Files.h"

#include <string_view>
#include <vector>

namespace platform {

namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// The name of a section header line, or false when the line is not one.
bool SectionName(std::string_view line, std::string_view& name) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return false;
    line.remove_prefix(1);
    std::size_t close = line.find(']');
    name = Trim(close == std::string_view::npos ? line : line.substr(0, close));
    return true;
}

void SplitEntry(std::string_view line, std::string_view& key, std::string_view& value) {
    std::size_t eq = line.find('=');
    key = Trim(line.substr(0, eq));
    value = eq == std::string_view::npos ? std::string_view() : Trim(line.substr(eq + 1));
}

// Where a section's lines are: [first, end); header is the header line's index.
struct SectionSpan {
    bool found = false;
    std::size_t header = 0, first = 0, end = 0;
};

SectionSpan FindSection(const std::vector<std::string>& lines, std::string_view section) {
    SectionSpan span;
    std::string_view name;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!SectionName(lines[i], name))
            continue;
        if (span.found) {
            span.end = i;
            return span;
        }
        if (SameName(name, section)) {
            span.found = true;
            span.header = i;
            span.first = i + 1;
        }
    }
    span.end = lines.size();
    return span;
}

bool FindKey(const std::vector<std::string>& lines, const SectionSpan& span, std::string_view key,
             std::size_t& index) {
    std::string_view k, v;
    for (std::size_t i = span.first; i < span.end; ++i) {
        if (Trim(lines[i]).empty())
            continue;
        SplitEntry(lines[i], k, v);
        if (SameName(k, key)) {
            index = i;
            return true;
        }
    }
    return false;
}

} // namespace

std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& defaultValue) {
    std::string text;
    std::string value = defaultValue;
    if (ReadWholeFile(path, text)) {
        std::vector<std::string> lines = SplitLines(text);
        SectionSpan span = FindSection(lines, section);
        std::size_t index = 0;
        if (span.found && FindKey(lines, span, key, index)) {
            std::string_view k, v;
            SplitEntry(lines[index], k, v);
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            value.assign(v);
        }
    }
    if (value.size() > ProfileValueMax)
        value.resize(ProfileValueMax);
    return value;
}

bool WriteProfileValue(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& value) {
    std::string text;
    if (!ReadWholeFile(path, text) && FileExists(path))
        return false;
    std::vector<std::string> lines = SplitLines(text);
    std::string entry = key + "=" + value;
    SectionSpan span = FindSection(lines, section);
    std::size_t index = 0;
    if (!span.found) {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(entry);
    } else if (FindKey(lines, span, key, index)) {
        lines[index] = entry;
    } else {
        std::size_t at = span.end;
        while (at > span.first && Trim(lines[at - 1]).empty())
            --at;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    }
    std::string out;
    for (const std::string& line : lines)
        out += line + "\r\n";
    return WriteFileAtomically(path, out);
}

bool DeleteProfileKey(const std::string& path, const std::string& section, const std::string& key) {
    std::string text;
    if (!ReadWholeFile(path, text))
        return !FileExists(path);
    std::vector<std::string> lines = SplitLines(text);
    SectionSpan span = FindSection(lines, section);
    std::size_t index = 0;
    if (!span.found || !FindKey(lines, span, key, index))
        return true;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
    std::string out;
    for (const std::string& line : lines)
        out += line + "\r\n";
    return WriteFileAtomically(path, out);
}

} // namespace platform

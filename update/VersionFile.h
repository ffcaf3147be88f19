#pragma once
// The version file "Versao.txt": lines of name "=" value, read from memory only.
//
// Lines end at CR, LF or CR LF; a NUL ends the text. A name is the text before the line's first
// "=" exactly as it stands (a line without "=" has an empty name); lookups ignore letter case
// and take the first line of a name; values are trimmed of characters at or below the space.

#include <string>
#include <string_view>
#include <vector>

class TVersionFile {
public:
    struct TLine {
        std::string Name;  // as it stands
        std::string Value; // trimmed
    };

    explicit TVersionFile(std::string_view text);

    const std::vector<TLine>& Lines() const { return lines_; }

    // The trimmed value of the first line with this name (letter case ignored); empty when none.
    std::string Value(std::string_view name) const;

    // Both completeness markers "Start.Ok" and "End.Ok" carry the value "1".
    bool IsComplete() const;

    // The index of the first line with this name (letter case ignored), or -1.
    int IndexOfName(std::string_view name) const;
    void Delete(int index) { lines_.erase(lines_.begin() + index); }

private:
    std::vector<TLine> lines_;
};

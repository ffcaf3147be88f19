#include "update/VersionFile.h"

#include "support/Text.h"

TVersionFile::TVersionFile(std::string_view text) {
    for (std::string_view line : SplitLines(text.substr(0, text.find('\0')))) {
        std::size_t eq = line.find('=');
        TLine parsed;
        if (eq != std::string_view::npos) {
            parsed.Name.assign(line.substr(0, eq));
            parsed.Value.assign(Trim(line.substr(eq + 1)));
        }
        lines_.push_back(std::move(parsed));
    }
}

int TVersionFile::IndexOfName(std::string_view name) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (SameText(lines_[i].Name, name))
            return static_cast<int>(i);
    return -1;
}

std::string TVersionFile::Value(std::string_view name) const {
    int i = IndexOfName(name);
    return i < 0 ? std::string() : lines_[static_cast<std::size_t>(i)].Value;
}

bool TVersionFile::IsComplete() const {
    return Value("Start.Ok") == "1" && Value("End.Ok") == "1";
}

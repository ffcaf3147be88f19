#include "update/PartialDownload.h"

#include "support/Text.h"

#include <chrono>
#include <string_view>

const char* const PartialSuffix = ".qvbpart";

std::string TPartialRecord::Format() const {
    return std::to_string(Day) + "\t" + Version + "\t" + Validator;
}

bool TPartialRecord::Parse(const std::string& text) {
    const std::size_t first = text.find('\t');
    const std::size_t second = first == std::string::npos ? first : text.find('\t', first + 1);
    long long day = 0;
    if (second == std::string::npos || !TryStrToInt64(text.substr(0, first), day) || day < 0)
        return false;
    Day = day;
    Version = text.substr(first + 1, second - first - 1);
    Validator = text.substr(second + 1);
    return true;
}

namespace {

bool Keepable(std::string_view validator) {
    if (validator.empty() || validator.size() > ValidatorMax)
        return false;
    for (const char c : validator)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

} // namespace

bool TPartialRecord::UsableFor(const std::string& version, long long today) const {
    return Keepable(Validator) && Version == version && today >= Day &&
           today - Day < PartialKeepDays;
}

long long DaysSinceEpoch() {
    using namespace std::chrono;
    return duration_cast<hours>(system_clock::now().time_since_epoch()).count() / 24;
}

std::string ResumeValidator(const std::string& etag, const std::string& lastModified) {
    // A weak ETag never stands for the same bytes, which a range needs.
    std::string chosen(Trim(etag));
    if (chosen.empty() || chosen.rfind("W/", 0) == 0)
        chosen = std::string(Trim(lastModified));
    return Keepable(chosen) ? chosen : std::string();
}

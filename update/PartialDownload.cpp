#include "update/PartialDownload.h"

#include "support/Text.h"

#include <chrono>

const char* const PartialSuffix = ".qvbpart";
const char* const PartialSection = "Parcial";

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

bool TPartialRecord::UsableFor(const std::string& version, long long today) const {
    return !Validator.empty() && Version == version && today >= Day &&
           today - Day < PartialKeepDays;
}

long long DaysSinceEpoch() {
    using namespace std::chrono;
    return duration_cast<hours>(system_clock::now().time_since_epoch()).count() / 24;
}

std::string ResumeValidator(const std::string& etag, const std::string& lastModified) {
    // A weak ETag never stands for the same bytes, which a range needs.
    const std::string tag(Trim(etag));
    if (!tag.empty() && tag.rfind("W/", 0) != 0)
        return tag;
    return std::string(Trim(lastModified));
}

#pragma once
// A listed file cut short keeps what arrived in a partial file beside its target, so that the
// next attempt, in the same check or at a later start, asks only for the rest. The record of
// a partial file (which version it belongs to, when it began, the answer's validator) lives in
// QVBrelmox.ini, written before the body arrives, so a launcher that was killed leaves a
// partial file the next start can still use.

#include <cstddef>
#include <cstdint>
#include <string>

// What a partial file's name ends in, beside its target.
extern const char* const PartialSuffix;
// A partial file older than this is fetched again from its start.
constexpr long long PartialKeepDays = 14;

struct TPartialRecord {
    std::string Version;   // of the listed file the bytes belong to
    long long Day = 0;     // days since 1970-01-01 (UTC) when the download began
    std::string Validator; // the first answer's ETag, or its Last-Modified when it had none

    // "<day>\t<version>\t<validator>"; Parse is false for anything else.
    std::string Format() const;
    bool Parse(const std::string& text);
    // Whether the bytes may be asked to go on: the same version, not too old, a validator that
    // could have been kept.
    bool UsableFor(const std::string& version, long long today) const;
};

// Today as days since 1970-01-01 (UTC).
long long DaysSinceEpoch();

// The most bytes a validator may have to be kept.
constexpr std::size_t ValidatorMax = 256;

// The validator to send back in If-Range: a strong ETag, else the Last-Modified text, else
// empty (the answer cannot be resumed safely). The one chosen is kept only when it is printable
// ASCII of at most ValidatorMax bytes: it is stored in the profile and sent back in a head.
std::string ResumeValidator(const std::string& etag, const std::string& lastModified);

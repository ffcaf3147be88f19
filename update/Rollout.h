#pragma once
// Staged releases: each installation draws a group once, and a candidate release reaches the
// group at its own moment of the candidate's rollout. Pure arithmetic, so that the decision is
// one table of cases.

#include <cstdint>
#include <string_view>

// Groups are 0 to RolloutGroups - 1.
constexpr int RolloutGroups = 10000;
// A candidate reaches every office at most this many hours after it starts (90 days).
constexpr int CandidateHoursMax = 2160;

// Seconds since 1970-01-01 00:00:00 UTC of "yyyy-mm-ddThh:mm:ssZ" (years 1970 to 9999); false
// for any other text or a date that does not exist.
bool ParseUtcTime(std::string_view text, std::int64_t& seconds);

// Whether a candidate that starts at start (seconds, UTC) and reaches every group hours later
// has reached group at now: now >= start + hours * 3600 * group / RolloutGroups.
bool CandidateDue(int group, std::int64_t start, int hours, std::int64_t now);

// A group from random bytes, evenly; -1 when no random source could be used.
int DrawGroup();

// Seconds since 1970 UTC now.
std::int64_t UtcNow();

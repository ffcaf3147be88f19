#pragma once
// The update's own state in QVBrelmox.ini: the signed releases' floors, the rollout group, the
// release the last complete check installed and whether a switch is under way, the outcome of
// the last check, and the records of partial downloads. No other code knows these keys.

#include <cstdint>
#include <optional>
#include <string>

#include "update/PartialDownload.h"
#include "update/ProfileFile.h"

// What the profile says about releases, as the release decision reads it.
struct TStoredReleaseState {
    std::uint64_t Sequence = 0;       // the last stable manifest accepted
    std::uint64_t CandidateFloor = 0; // the last candidate taken
    int Group = -1;                   // -1 when none was drawn, or it is out of range
    std::string Installed;            // the candidate folder the last complete check installed
    bool SwitchUnderWay = false;      // a change of release began and no check completed since
};

class TUpdateProfile {
public:
    explicit TUpdateProfile(TProfileFile& ini) : ini_(ini) {}

    TStoredReleaseState ReadReleaseState() const;
    // Each raises EIniFileException when the profile cannot be written.
    void WriteSequence(std::uint64_t sequence);
    void WriteCandidateFloor(std::uint64_t sequence);
    void WriteGroup(int group);
    // Written before the first file of another release changes, so that a check cut short (or
    // a release halted half-way) still leaves every later check verifying the files.
    void BeginSwitch();
    // Written once a check installed every file of the release in folder ("" the stable one).
    void EndSwitch(const std::string& folder);

    // "<release>;<code>" of the last check, or empty.
    std::string ReadOutcome() const;
    void WriteOutcome(const std::string& outcome);

    // The record of name's partial download; none when absent or unreadable.
    std::optional<TPartialRecord> ReadPartial(const std::string& name) const;
    void WritePartial(const std::string& name, const TPartialRecord& record);
    void DeletePartial(const std::string& name);

private:
    TProfileFile& ini_;
};

#pragma once
// Which release a signed check installs: the stable one, or a candidate beside it. One pure
// function of what the check fetched and what the profile holds, so that every case is a row
// of a table.

#include <cstdint>
#include <optional>
#include <string>

#include "update/UpdateProfile.h"

// A candidate whose signature, manifest, area and folder were found valid.
struct TCandidateOffer {
    std::uint64_t Sequence = 0;
    std::int64_t Start = 0; // seconds since 1970, UTC
    int Hours = 0;
    std::string Folder;
};

struct TReleaseInputs {
    std::uint64_t StableSequence = 0; // of the stable manifest accepted in this check
    std::optional<TCandidateOffer> Candidate;
    TStoredReleaseState Stored;
    std::int64_t Now = 0; // seconds since 1970, UTC
};

enum class TCandidateVerdict {
    None,            // no valid candidate was offered
    OlderThanStable, // not newer than the stable release: replayed, halted or superseded
    BelowFloor,      // older than a candidate this installation already took
    NoGroup,         // no group could be drawn
    NotDue,          // not yet this installation's turn
    Taken,
};

struct TReleaseDecision {
    TCandidateVerdict Verdict = TCandidateVerdict::None;
    std::string Folder; // the candidate's folder, or empty for the stable release
    // The installed files are told apart by their SHA-256, not only by versions: a change of
    // release, or one under way that no check completed.
    bool VerifyInstalled = false;
    // Written before the first file changes: the candidate's floor and the start of a switch.
    std::optional<std::uint64_t> CandidateFloor;
    bool BeginSwitch = false;
    // Written when the check installed every file: Folder is what is installed, no switch.
    bool EndSwitch = false;
};

// Whether a valid candidate may be taken at all, before its turn: newer than the stable
// release and not below the candidate floor. The group is drawn only for one that may.
bool CandidateEligible(const TReleaseInputs& in);

TReleaseDecision DecideRelease(const TReleaseInputs& in);

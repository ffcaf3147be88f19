#include "update/ReleaseChoice.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t Start = 1767225600; // 2026-01-01T00:00:00Z
constexpr std::int64_t Hour = 3600;

TCandidateOffer Offer(std::uint64_t sequence, std::string folder = "candidato-7") {
    return {sequence, Start, 10, std::move(folder)};
}

} // namespace

TEST(ReleaseChoice, StableOrCandidateAndWhatIsWritten) {
    using V = TCandidateVerdict;
    const struct {
        const char* what;
        std::uint64_t stable;
        std::optional<TCandidateOffer> candidate;
        TStoredReleaseState stored; // sequence, candidate floor, group, installed, switching
        std::int64_t now;
        V verdict;
        bool verify, begin;
    } rows[] = {
        {"stable only, as installed", 9, {}, {9, 0, -1, "", false}, Start, V::None, false, false},
        {"stable 9, candidate 7 replayed",
         9,
         Offer(7),
         {9, 0, 5000, "", false},
         Start + 9 * Hour,
         V::OlderThanStable,
         false,
         false},
        {"candidate equal to the stable release",
         9,
         Offer(9),
         {9, 0, 0, "", false},
         Start,
         V::OlderThanStable,
         false,
         false},
        {"candidate 10 due for group 0",
         9,
         Offer(10),
         {9, 0, 0, "", false},
         Start,
         V::Taken,
         true,
         true},
        {"candidate 10, group 5000 before its turn",
         9,
         Offer(10),
         {9, 0, 5000, "", false},
         Start + 5 * Hour - 1,
         V::NotDue,
         false,
         false},
        {"candidate 10, group 5000 at its turn",
         9,
         Offer(10),
         {9, 0, 5000, "", false},
         Start + 5 * Hour,
         V::Taken,
         true,
         true},
        {"no group could be drawn",
         9,
         Offer(10),
         {9, 0, -1, "", false},
         Start + 99 * Hour,
         V::NoGroup,
         false,
         false},
        {"below a candidate already taken",
         9,
         Offer(10),
         {9, 11, 0, "", false},
         Start,
         V::BelowFloor,
         false,
         false},
        {"the same candidate again, installed",
         9,
         Offer(10),
         {9, 10, 0, "candidato-7", false},
         Start,
         V::Taken,
         false,
         false},
        {"halted: back to stable from the candidate",
         9,
         {},
         {9, 10, 0, "candidato-7", false},
         Start,
         V::None,
         true,
         true},
        {"superseded by stable 11: back to stable",
         11,
         Offer(10),
         {11, 10, 0, "candidato-7", false},
         Start,
         V::OlderThanStable,
         true,
         true},
        {"halted mid-switch: stable again, still verified",
         9,
         {},
         {9, 10, 0, "", true},
         Start,
         V::None,
         true,
         false},
        {"a switch under way to the same candidate",
         9,
         Offer(10),
         {9, 10, 0, "", true},
         Start,
         V::Taken,
         true,
         false},
        {"another candidate's folder replaces the one installed",
         9,
         Offer(12, "candidato-12"),
         {9, 10, 0, "candidato-7", false},
         Start,
         V::Taken,
         true,
         true},
    };
    for (const auto& r : rows) {
        TReleaseInputs in{r.stable, r.candidate, r.stored, r.now};
        const TReleaseDecision d = DecideRelease(in);
        EXPECT_EQ(d.Verdict, r.verdict) << r.what;
        const bool taken = r.verdict == V::Taken;
        EXPECT_EQ(d.Folder, taken ? r.candidate->Folder : "") << r.what;
        EXPECT_EQ(d.CandidateFloor.has_value(), taken) << r.what;
        EXPECT_EQ(d.VerifyInstalled, r.verify) << r.what;
        EXPECT_EQ(d.BeginSwitch, r.begin) << r.what;
        EXPECT_EQ(d.EndSwitch, r.verify) << r.what;
        // The group is drawn only for a candidate that may be taken at all.
        EXPECT_EQ(CandidateEligible(in),
                  r.verdict == V::Taken || r.verdict == V::NotDue || r.verdict == V::NoGroup)
            << r.what;
    }
}

#include "update/ReleaseChoice.h"

#include "update/Rollout.h"

namespace {

TCandidateVerdict Judge(const TReleaseInputs& in) {
    if (!in.Candidate)
        return TCandidateVerdict::None;
    const TCandidateOffer& c = *in.Candidate;
    // A candidate is always ahead of the stable release it was published beside; one that is
    // not was replayed, halted or superseded, and would roll the installation back.
    if (c.Sequence <= in.StableSequence)
        return TCandidateVerdict::OlderThanStable;
    if (c.Sequence < in.Stored.CandidateFloor)
        return TCandidateVerdict::BelowFloor;
    if (in.Stored.Group < 0)
        return TCandidateVerdict::NoGroup;
    if (!CandidateDue(in.Stored.Group, c.Start, c.Hours, in.Now))
        return TCandidateVerdict::NotDue;
    return TCandidateVerdict::Taken;
}

} // namespace

bool CandidateEligible(const TReleaseInputs& in) {
    const TCandidateVerdict verdict = Judge(in);
    return verdict != TCandidateVerdict::None && verdict != TCandidateVerdict::OlderThanStable &&
           verdict != TCandidateVerdict::BelowFloor;
}

TReleaseDecision DecideRelease(const TReleaseInputs& in) {
    TReleaseDecision d;
    d.Verdict = Judge(in);
    if (d.Verdict == TCandidateVerdict::Taken) {
        d.Folder = in.Candidate->Folder;
        d.CandidateFloor = in.Candidate->Sequence;
    }
    const bool change = in.Stored.Installed != d.Folder;
    d.VerifyInstalled = change || in.Stored.SwitchUnderWay;
    d.BeginSwitch = change && !in.Stored.SwitchUnderWay;
    d.EndSwitch = d.VerifyInstalled;
    return d;
}

// The signed check's choice of release: the stable manifest, the candidate beside it, and the
// outcome the next report tells.

#include "update/Updater.h"

#include "update/Rollout.h"

std::optional<TReleaseManifest> TUpdater::FetchCandidate() {
    const std::string area = std::string("/") + DownloadArea;
    std::string text = FetchText(area + "Candidato.txt");
    // The server's not-found text is an absent candidate, as an empty answer is.
    if (text.empty() || text == NotFoundText)
        return std::nullopt;
    std::string signature = FetchText(area + "Candidato.sig");
    TReleaseManifest candidate;
    if (signature.empty() || !ManifestSignatureValid(text, signature, ReleaseKeys) ||
        !candidate.ParseCandidate(text) || candidate.Area != AreaName ||
        !IsSafeRelativeName(candidate.Folder))
        return std::nullopt;
    return candidate;
}

TReleaseDecision TUpdater::ChooseRelease(TUpdateProfile& profile) {
    // A candidate that is absent, refused or not yet due leaves the stable release, silently:
    // the stable one is authentic all the same.
    std::optional<TReleaseManifest> candidate = FetchCandidate();
    TReleaseInputs in;
    in.StableSequence = check_.Manifest->Sequence;
    in.Stored = profile.ReadReleaseState();
    in.Now = UtcNow();
    if (candidate)
        in.Candidate = TCandidateOffer{candidate->Sequence, candidate->Start, candidate->Hours,
                                       candidate->Folder};
    // Drawn once, at the first candidate that may be taken.
    if (in.Stored.Group < 0 && CandidateEligible(in)) {
        in.Stored.Group = DrawGroup();
        if (in.Stored.Group >= 0)
            profile.WriteGroup(in.Stored.Group);
    }
    const TReleaseDecision decision = DecideRelease(in);
    if (decision.CandidateFloor)
        profile.WriteCandidateFloor(*decision.CandidateFloor);
    if (decision.BeginSwitch)
        profile.BeginSwitch();
    check_.VerifyInstalled = decision.VerifyInstalled;
    if (decision.Verdict == TCandidateVerdict::Taken) {
        std::string folder = candidate->Folder;
        for (char& c : folder)
            if (c == '\\')
                c = '/';
        check_.Area = std::string(DownloadArea) + folder + "/";
        check_.Manifest = std::move(candidate);
    }
    return decision;
}

void TUpdater::NoteFailure(bool write) {
    if (check_.Outcome != TOutcome::Ok)
        return;
    const auto now = TBudgetClock::now();
    const bool spent =
        check_.Budget && (now >= check_.Budget->FilesEnd() || now >= check_.Budget->TextEnd());
    check_.Outcome = write ? TOutcome::Write : spent ? TOutcome::Budget : TOutcome::Digest;
}

void TUpdater::RecordOutcome(TUpdateProfile& profile) {
    static const char* const codes[] = {"ok", "assinatura", "digest", "gravacao", "prazo"};
    profile.WriteOutcome((check_.Manifest ? check_.Manifest->Release : check_.RefusedRelease) +
                         ";" + codes[static_cast<int>(check_.Outcome)]);
}

void TUpdater::RecordApplicationFailure() {
    TProfileFile ini(appDir_ + "QVBrelmox.ini");
    TUpdateProfile profile(ini);
    const std::string outcome = profile.ReadOutcome();
    profile.WriteOutcome(outcome.substr(0, outcome.find(';')) + ";aplicativo");
}

void TUpdater::RecordLauncherRefused(const std::string& appDir) {
    TProfileFile ini(appDir + "QVBrelmox.ini");
    TUpdateProfile profile(ini);
    const std::string outcome = profile.ReadOutcome();
    profile.WriteOutcome(outcome.substr(0, outcome.find(';')) + ";editor");
}

bool TUpdater::AcceptManifest(TUpdateProfile& profile) {
    const std::string area = std::string("/") + DownloadArea;
    std::string text = FetchText(area + "Manifesto.txt");
    std::string signature = FetchText(area + "Manifesto.sig");
    TReleaseManifest manifest;
    if (text.empty() || signature.empty() ||
        !ManifestSignatureValid(text, signature, ReleaseKeys) || !manifest.Parse(text))
        return false;
    // Signed, so its name may be reported with the refusal.
    check_.RefusedRelease = manifest.Release;
    if (manifest.Area != AreaName)
        return false;
    const std::uint64_t last = profile.ReadReleaseState().Sequence;
    if (last > 0 && manifest.Sequence < last)
        return false; // an older release played back
    // Stored before anything is installed: a release that breaks half-way must not leave the
    // floor where an older release could come back in.
    profile.WriteSequence(manifest.Sequence);
    check_.Manifest = std::move(manifest);
    return true;
}

// The delivery of one listed file: a patch when one fits the installed file, else the whole
// file, each streamed into a partial file that a cut leaves for the next attempt.

#include "update/Updater.h"

#include "update/PartialDownload.h"
#include "update/Vcdiff.h"
#include "update/VerifiedSink.h"

#include <climits>

namespace {

// Keeps the request's range and If-Range for one scope, and clears them after it.
class TRangeScope {
public:
    explicit TRangeScope(TIdHTTP& http) : http_(http) {}
    ~TRangeScope() { Set(0, {}); }
    TRangeScope(const TRangeScope&) = delete;
    TRangeScope& operator=(const TRangeScope&) = delete;

    void Set(std::int64_t from, const std::string& validator) {
        TIdHTTPRequest& request = http_.Request();
        request.ContentRangeStart = static_cast<std::uint32_t>(from);
        request.ContentRangeEnd = 0;
        const int at = request.CustomHeaders.FindName("If-Range");
        if (at >= 0)
            request.CustomHeaders.Delete(at);
        if (from > 0)
            request.CustomHeaders.Add("If-Range: " + validator);
    }

private:
    TIdHTTP& http_;
};

// Puts a handler on the client's response heads for one scope, and the previous one back.
class THeadHandlerScope {
public:
    THeadHandlerScope(TIdHTTP& http, std::function<void(TIdCustomHTTP*)> handler)
        : http_(http), previous_(std::move(http.OnResponseHead)) {
        http_.OnResponseHead = std::move(handler);
    }
    ~THeadHandlerScope() { http_.OnResponseHead = std::move(previous_); }
    THeadHandlerScope(const THeadHandlerScope&) = delete;
    THeadHandlerScope& operator=(const THeadHandlerScope&) = delete;

private:
    TIdHTTP& http_;
    std::function<void(TIdCustomHTTP*)> previous_;
};

} // namespace

TFileDelivery TUpdater::NewDelivery() const {
    const auto end = check_.Budget ? check_.Budget->FilesEnd() : TBudgetClock::time_point::max();
    return TFileDelivery(TBudgetClock::now(), std::chrono::milliseconds(LowSpeedWindow), end);
}

TUpdater::TStoreResult TUpdater::DownloadVerifiedToFile(const std::string& name, int timeoutSeconds,
                                                        bool message, const std::string& target,
                                                        const std::string& version) {
    // One allowance for the file, whichever way it comes: a patch that used it up leaves the
    // whole file none, so a slow server never gets its time twice.
    TFileDelivery delivery = NewDelivery();
    // A signed release may make the file from the installed one with a patch: a fraction of
    // the bytes. Whatever goes wrong there, the whole file follows, and only its failure shows.
    if (TryPatch(name, timeoutSeconds, target, version, delivery))
        return srStored;
    return StreamVerified(name, timeoutSeconds, message, target, version, nullptr, delivery,
                          [&](platform::FileHandle file, const std::string& path, std::int64_t) {
                              return platform::CommitTemporary(file, path, target);
                          });
}

TUpdater::TStoreResult TUpdater::StreamVerified(const std::string& name, int timeoutSeconds,
                                                bool message, const std::string& path,
                                                const std::string& version,
                                                const TManifestEntry* entry,
                                                TFileDelivery& delivery, const TFinish& finish) {
    if (version.empty()) {
        platform::TTemporaryFile temporary(path);
        TVerifiedSink sink(temporary.Handle(), SignedReleases);
        if (!FetchVerified(name, timeoutSeconds, message, sink, entry, &delivery))
            return srFailedDownload;
        if (!sink.Writable())
            return srFailedWrite;
        return finish(temporary.Release(), temporary.Name(), sink.Size()) ? srStored
                                                                          : srFailedWrite;
    }
    // Resumable: the bytes go to a partial file of our own beside path, which stays when the
    // transfer is cut, with its record written before the body arrives.
    TProfileFile ini(appDir_ + "QVBrelmox.ini");
    TUpdateProfile profile(ini);
    const std::string partial = path + PartialSuffix;
    const long long today = DaysSinceEpoch();
    std::optional<TPartialRecord> stored = profile.ReadPartial(name);
    TPartialRecord record = stored ? *stored : TPartialRecord{};
    const bool resumes =
        stored && record.UsableFor(version, today) && platform::FileExists(partial);
    auto forget = [&] {
        profile.DeletePartial(name);
        platform::RemoveFile(partial);
    };
    const TManifestEntry* signedEntry = entry             ? entry
                                        : check_.Manifest ? check_.Manifest->Find(name)
                                                          : nullptr;
    bool fresh = !resumes;
    for (int retries = 0;; ++retries) {
        if (fresh) {
            forget();
            record = {version, today, {}};
        }
        platform::TOpenFile file(platform::OpenFileForUpdate(partial));
        TVerifiedSink sink(file.Handle(), SignedReleases);
        const std::int64_t kept =
            file.Handle() == platform::InvalidFile
                ? 0
                : std::max<std::int64_t>(platform::SizeOfFile(file.Handle()), 0);
        // The range travels as 32 bits; a signed file is never longer than its entry.
        if (kept > 0 && (kept > UINT32_MAX || (signedEntry && kept >= signedEntry->Size) ||
                         !sink.Preload(kept)))
            sink.Drop();
        TRangeScope range(http_);
        bool rangeSent = false;
        sink.OnRestart = [&] {
            if (sink.Size() == 0 || sink.Size() > UINT32_MAX || record.Validator.empty())
                return false;
            range.Set(sink.Size(), record.Validator);
            rangeSent = true;
            return true;
        };
        // Whether the answer goes on from the bytes kept, decided by its head before any body
        // byte: anything but the rest of the same file starts again from nothing.
        THeadHandlerScope head(http_, [&](TIdCustomHTTP*) {
            TIdHTTPResponse& response = http_.Response();
            const int code = http_.ResponseCode();
            // Only the file's own answer (the download flag is up), never its digest's.
            if (http_.Tag == 0 || code / 100 != 2)
                return;
            const bool asked = http_.Request().ContentRangeStart > 0;
            if (!(asked && code == 206 && response.ContentRangeStart == sink.Size())) {
                sink.Drop();
                record.Validator = ResumeValidator(response.HeaderLines.GetValue("ETag"),
                                                   response.HeaderLines.GetValue("Last-Modified"));
                record.Day = today;
                if (record.Validator.empty())
                    profile.DeletePartial(name);
                else
                    profile.WritePartial(name, record);
            }
            sink.SetExpected(response.LengthGiven ? sink.Size() + response.ContentLength : -1);
        });
        if (sink.Size() > 0) {
            range.Set(sink.Size(), record.Validator);
            rangeSent = true;
        }
        TAttemptOutcome attempt;
        attempt.Kept = sink.Size();
        const std::int64_t before = delivery.Received();
        attempt.Verified =
            FetchVerified(name, timeoutSeconds, false, sink, signedEntry, &delivery, &attempt.Cut);
        attempt.Code = http_.ResponseCode();
        attempt.RangeSent = rangeSent;
        attempt.Size = sink.Size();
        attempt.Brought = delivery.Received() - before;
        attempt.Validator = !record.Validator.empty();
        switch (
            NextStep(attempt, retries, delivery.TimeLeft(TBudgetClock::now()), delivery.Quota())) {
        case TNextStep::Done:
            profile.DeletePartial(name);
            if (!sink.Writable())
                return srFailedWrite;
            return finish(file.Release(), partial, sink.Size()) ? srStored : srFailedWrite;
        case TNextStep::StartAgain:
            fresh = true;
            continue;
        case TNextStep::Resume:
            fresh = false;
            continue;
        case TNextStep::KeepForLater:
            break;
        case TNextStep::GiveUp:
            if (file.Handle() != platform::InvalidFile)
                platform::CloseFile(file.Release());
            forget();
            break;
        }
        if (message)
            FetchFailureBox(name);
        return srFailedDownload;
    }
}

bool TUpdater::TryPatch(const std::string& name, int timeoutSeconds, const std::string& target,
                        const std::string& version, TFileDelivery& delivery) {
    const TManifestEntry* entry = check_.Manifest ? check_.Manifest->Find(name) : nullptr;
    if (!entry || check_.Manifest->PatchesFor(name).empty() || !platform::FileExists(target))
        return false;
    platform::TSha256Digest installed;
    {
        platform::TOpenFile file(platform::OpenFileForReading(target));
        if (file.Handle() == platform::InvalidFile || !FileSha256(file.Handle(), installed))
            return false;
    }
    const TManifestPatch* patch = nullptr;
    for (const TManifestPatch& candidate : check_.Manifest->PatchesFor(name))
        if (candidate.Source == installed)
            patch = &candidate;
    if (!patch || !IsSafeRelativeName(patch->Name))
        return false;
    // The patch arrives as any signed file; the file it makes must be the manifest's.
    auto apply = [&](platform::FileHandle patchFile, const std::string& patchPath,
                     std::int64_t patchSize) {
        bool made = false;
        {
            platform::TOpenFile owned(patchFile);
            platform::TTemporaryFile result(target);
            if (result.Handle() != platform::InvalidFile) {
                std::string reason;
                bool applied;
                {
                    TFileStream source(target, TFileStream::TMode::Read);
                    THandleStream patchStream(patchFile, patchSize);
                    THandleStream out(result.Handle());
                    patchStream.SetPosition(0);
                    applied = ApplyVcdiff(source, patchStream, out, entry->Size, reason) &&
                              out.Size() == entry->Size;
                }
                platform::TSha256Digest digest;
                made = applied && FileSha256(result.Handle(), digest) && digest == entry->Sha256 &&
                       result.Commit(target);
            }
        }
        platform::RemoveFile(patchPath);
        return made;
    };
    try {
        return StreamVerified(patch->Name, timeoutSeconds, false, appDir_ + patch->Name, version,
                              &patch->Entry, delivery, apply) == srStored;
    } catch (const std::exception&) {
        return false; // a source that cannot be read: the whole file follows
    }
}

#pragma once
// The launcher's exchange with the update server: every request through FetchText (pause,
// disconnect, GET, retry on a close without answer), verified downloads, the usage report, the
// version check that brings the installation up to date, and the download progress display.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http/IdHTTP.h"
#include "platform/Files.h"
#include "update/CheckBudget.h"
#include "update/FileDelivery.h"
#include "update/ProfileFile.h"
#include "update/ReleaseChoice.h"
#include "update/ReleaseManifest.h"
#include "update/SplashView.h"
#include "update/UpdateProfile.h"
#include "update/VersionFile.h"
#include "update/WireText.h"

// The pause before every request, and how often FetchText tries again after a close.
constexpr int FetchPauseMilliseconds = 200;
constexpr int FetchRetryLimit = 3;
// A body the launcher reads as text for its own use (the probe, the report's answer, a digest)
// is never larger than this; a longer one is a failed fetch.
constexpr std::int64_t TextReplyLimit = 1 << 20;
// QVBrelmox2.ini and Versao.txt are read whole into memory too, so they have the same bound.
constexpr std::int64_t ConfigDownloadLimit = 1 << 20;
// How long a fetch held in memory (a text, QVBrelmox2.ini, Versao.txt) may take in all, retries
// included: a peer that trickles bytes or sends interim answers never ends a per-wait time-out.
constexpr int FetchDeadlineMilliseconds = 30000;
// Read time-outs of the downloads, in seconds.
constexpr int ConfigDownloadTimeout = 5;
constexpr int ListedFileDownloadTimeout = 15;
// Boxes shown for failed listed files in one check; the others fail silently and are tried
// again at the next start.
constexpr int ListedFileBoxLimit = 3;

// Shown when a signed release cannot be verified; nothing of it is installed.
extern const char* const UnverifiedReleaseMessage;
// Shown once per start when an https server cannot prove who it is; plain HTTP is never tried
// instead.
extern const char* const UnverifiedServerMessage;

// Removes the temporary files that an interrupted write of ours leaves in directory (ending in
// a backslash), and nothing else.
void RemoveStaleTemporaries(const std::string& directory);

class TVerifiedSink;

class TUpdater {
public:
    // appDir ends in a backslash. The client, view and values belong to the splash window.
    TUpdater(ISplashView& view, TIdHTTP& http, TSplashValues& values, std::string appDir);

    // Attaches the progress handlers to the client's work events.
    void AttachProgressHandlers();

    // Waits this long while letting the window handle its messages; safe across the wrap of the
    // 32-bit tick counter.
    void Delay(double seconds);
    // The body of a GET on the update server, or empty text on any failure: a body longer than
    // limit, or a fetch that outlasts FetchDeadline, included.
    std::string FetchText(const std::string& url, std::int64_t limit = TextReplyLimit);
    // The same exchange with the body written into stream, which each attempt starts again
    // from nothing; false on any failure. The whole fetch, retries included, ends by end
    // (which the client's deadline may move on while the fetch runs); each wait is bounded by
    // the client's read time-out too.
    bool FetchToStream(const std::string& url, TStream& stream, TBudgetClock::time_point end);
    // The file from the download area, accepted only when the server's MD5 digest matches.
    std::string DownloadVerified(const std::string& name, int timeoutSeconds, bool message);
    // The same download streamed into a temporary file beside target, with its digests computed
    // as it arrives, and put in target's place when it verifies: memory does not grow with the
    // file. The requests and messages are those of DownloadVerified.
    // With the listed version, a transfer cut short keeps its bytes in a partial file beside
    // target, and the next attempt asks for the rest; in a signed release a patch from the
    // installed file is tried first.
    enum TStoreResult { srStored, srFailedDownload, srFailedWrite };
    TStoreResult DownloadVerifiedToFile(const std::string& name, int timeoutSeconds, bool message,
                                        const std::string& target, const std::string& version = {});
    // Probes the server and reports who starts which version; true when the probe said "Ok".
    bool ReportUsage();
    // Brings the installation up to date. Raises EIniFileException when QVBrelmox.ini cannot be
    // written; everything else is reported to the user and the check goes on.
    void CheckForUpdates();
    void UpdateListedFile(const std::string& name, const std::string& version);
    // Called at the launcher's end when the managed application it started ended with a
    // failure: the next report says so of the release the last check installed.
    void RecordApplicationFailure();
    // Called at the launcher's end when the publisher pin refused a delivered launcher: the
    // next report's outcome is "editor" for the release the last check installed.
    static void RecordLauncherRefused(const std::string& appDir);
    void DownloadAndStore(const std::string& name, const std::string& directory,
                          const std::string& version);

    // Set in a build with release keys: every file of a release must be listed, with its size
    // and SHA-256, in a manifest signed by one of ReleaseKeys. A built-in key that did not load
    // is simply missing there, so nothing it signed is accepted.
    bool SignedReleases = false;
    std::vector<platform::TP256Point> ReleaseKeys;

    // The total time of a fetch held in memory, and the budgets of a check, in milliseconds
    // (tests shorten them).
    int FetchDeadline = FetchDeadlineMilliseconds;
    int CheckBudget = CheckBudgetMilliseconds;
    int ListedFilesBudget = ListedFilesBudgetMilliseconds;
    int LowSpeedWindow = LowSpeedWindowMilliseconds;

    // Over https one connection serves the whole check, as HTTP/1.1 allows (a handshake costs
    // far more than a request); plain http keeps the disconnect before every request.
    bool KeepConnection = false;

    // When not empty, the server's address setting was refused: this text is shown once and no
    // server is contacted.
    std::string ServerAddressError;

    // The tick counter Delay reads (the system's, unless a test puts another in).
    std::function<std::uint32_t()> TickSource;

    void IdHTTPWorkBegin(std::int64_t max);
    void IdHTTPWork(std::int64_t count);
    void IdHTTPWorkEnd();

private:
    // The outcome of a signed check, for the next report: the first failure counts.
    enum class TOutcome { Ok, Refused, Digest, Write, Budget };
    // Everything one check keeps while it runs; made new when a check starts and dropped when
    // it ends, so that nothing of one check reaches the next.
    struct TCheck {
        TProfileFile* Ini = nullptr;
        std::optional<TReleaseManifest> Manifest; // the signed release being installed
        std::optional<TCheckBudget> Budget;
        int ListedBoxes = 0;
        bool ListedFileFailed = false;
        std::string Area = DownloadArea; // where the chosen release's files are
        bool VerifyInstalled = false;
        std::string RefusedRelease; // a signed manifest's release that was refused
        TOutcome Outcome = TOutcome::Ok;
        bool Complete = false; // the version file was valid and every listed file was tried
    };

    // Fetches the manifest and its signature and keeps the manifest when it verifies, parses,
    // names this download area and does not go back in sequence; its sequence is stored at
    // once, so a release that fails half-way still raises the floor.
    bool AcceptManifest(TUpdateProfile& profile);
    // The candidate beside the stable release, when it is signed, parses, names this area and
    // a safe folder; none otherwise (absent or refused alike, silently).
    std::optional<TReleaseManifest> FetchCandidate();
    // Decides between the stable release and the candidate, and writes what must be written
    // before any file changes; the decision's after-state is written by the caller.
    TReleaseDecision ChooseRelease(TUpdateProfile& profile);
    // QVBrelmox2.ini, Versao.txt and the listed files of the release chosen.
    void ApplyRelease(std::string& label);
    // Whether the installed file is the release's, when that cannot be told by versions (a
    // change of release); true otherwise.
    bool MatchesRelease(const std::string& name);
    void NoteFailure(bool write);
    void RecordOutcome(TUpdateProfile& profile);
    // Records the versions a valid version file gives, sweeps its files' folders of stale
    // temporaries and updates every listed file that is due; label gets the new version.
    void ApplyVersionFile(TVersionFile& file, std::string& label);
    // The download of one file into sink and its checks (not-found text, server digest,
    // manifest), with the status line, the download flag and the failure message.
    // signedEntry stands for the manifest's entry of name (a patch has its own). A listed file
    // streams within its delivery's allowance. cut, when given, tells whether the transfer
    // itself failed rather than its checks.
    bool FetchVerified(const std::string& name, int timeoutSeconds, bool message,
                       TVerifiedSink& sink, const TManifestEntry* signedEntry = nullptr,
                       TFileDelivery* delivery = nullptr, bool* cut = nullptr);
    // The download of name into a file beside path (a temporary one, or with version a partial
    // one that a cut leaves for the next attempt); once verified, finish takes the file (open,
    // its path, its size) and says whether it took its place.
    using TFinish = std::function<bool(platform::FileHandle, const std::string&, std::int64_t)>;
    TStoreResult StreamVerified(const std::string& name, int timeoutSeconds, bool message,
                                const std::string& path, const std::string& version,
                                const TManifestEntry* entry, TFileDelivery& delivery,
                                const TFinish& finish);
    // Makes target from the installed file with a patch of the signed release; false when
    // there is none for it, or anything fails (nothing shown).
    bool TryPatch(const std::string& name, int timeoutSeconds, const std::string& target,
                  const std::string& version, TFileDelivery& delivery);
    // A new delivery of one listed file, starting now.
    TFileDelivery NewDelivery() const;
    // When a fetch held in memory that starts now must end: its own deadline, within the
    // check's budget (the listed files' one for a listed file's digest).
    TBudgetClock::time_point TextFetchEnd(bool listedFile = false) const;
    std::string FetchTextBy(const std::string& url, std::int64_t limit,
                            TBudgetClock::time_point end);
    // The one way to a box during a check: the time it stays open is not the server's, so the
    // budget waits for it. Listed files show at most ListedFileBoxLimit boxes per check.
    void Box(const std::string& text);
    void ListedFileBox(const std::string& text);
    // "Não consegui buscar <name> no servidor...", unless the listed files' budget is spent.
    void FetchFailureBox(const std::string& name);

    ISplashView& view_;
    TIdHTTP& http_;
    TSplashValues& values_;
    std::string appDir_;
    bool identityReported_ = false; // once per start
    TCheck check_;
};

#include "update/Updater.h"

#include "platform/Clock.h"
#include "platform/Files.h"
#include "support/FileHelpers.h"
#include "support/LocalAddress.h"
#include "support/Text.h"
#include "update/VerifiedSink.h"
#include "update/VersionFile.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>

const char* const UnverifiedReleaseMessage =
    "N\xE3o foi poss\xEDvel verificar a autenticidade da atualiza\xE7\xE3o.";
const char* const UnverifiedServerMessage =
    "N\xE3o foi poss\xEDvel verificar a identidade do servidor de atualiza\xE7\xE3o.";

namespace {

std::string Percent(std::int64_t value) {
    return "Download: " + std::to_string(value) + "%";
}

// Puts a deadline on the client for one scope.
class TDeadlineScope {
public:
    TDeadlineScope(TIdHTTP& http, TBudgetClock::time_point end) : http_(http) {
        http_.Deadline = end;
    }
    ~TDeadlineScope() { http_.Deadline.reset(); }
    TDeadlineScope(const TDeadlineScope&) = delete;
    TDeadlineScope& operator=(const TDeadlineScope&) = delete;

private:
    TIdHTTP& http_;
};

} // namespace

void RemoveStaleTemporaries(const std::string& directory) {
    for (const std::string& name : platform::ListFiles(directory))
        if (platform::IsTemporaryName(name))
            platform::RemoveFile(directory + name);
}

TUpdater::TUpdater(ISplashView& view, TIdHTTP& http, TSplashValues& values, std::string appDir)
    : TickSource(platform::TickCount), view_(view), http_(http), values_(values),
      appDir_(std::move(appDir)) {}

void TUpdater::AttachProgressHandlers() {
    http_.OnWorkBegin = [this](TIdComponent*, TWorkMode, std::int64_t max) {
        IdHTTPWorkBegin(max);
    };
    http_.OnWork = [this](TIdComponent*, TWorkMode, std::int64_t count) { IdHTTPWork(count); };
    http_.OnWorkEnd = [this](TIdComponent*, TWorkMode) { IdHTTPWorkEnd(); };
}

void TUpdater::Delay(double seconds) {
    // Elapsed time as an unsigned difference stays right when the counter wraps.
    const std::uint32_t start = TickSource();
    const double wanted = std::trunc(seconds * 1000.0);
    const std::uint32_t span = wanted <= 0              ? 0
                               : wanted >= 4294967295.0 ? 4294967295u
                                                        : static_cast<std::uint32_t>(wanted);
    while (static_cast<std::uint32_t>(TickSource() - start) < span) {
        view_.ProcessMessages();
        platform::SleepMilliseconds(10);
    }
}

TBudgetClock::time_point TUpdater::TextFetchEnd(bool listedFile) const {
    const auto end = TBudgetClock::now() + std::chrono::milliseconds(FetchDeadline);
    if (!check_.Budget)
        return end;
    return std::min(end, listedFile ? check_.Budget->FilesEnd() : check_.Budget->TextEnd());
}

std::string TUpdater::FetchText(const std::string& url, std::int64_t limit) {
    return FetchTextBy(url, limit, TextFetchEnd());
}

std::string TUpdater::FetchTextBy(const std::string& url, std::int64_t limit,
                                  TBudgetClock::time_point end) {
    TMemoryStream body;
    body.SetLimit(limit);
    return FetchToStream(url, body, end) ? body.TakeData() : std::string();
}

void TUpdater::Box(const std::string& text) {
    const auto opened = TBudgetClock::now();
    view_.InfoBox(text);
    if (check_.Budget)
        check_.Budget->Pause(TBudgetClock::now() - opened);
}

void TUpdater::ListedFileBox(const std::string& text) {
    if (!check_.Budget || check_.ListedBoxes++ < ListedFileBoxLimit)
        Box(text);
}

void TUpdater::FetchFailureBox(const std::string& name) {
    // A file the budget's end cut short is simply left for the next start.
    if (check_.Budget && TBudgetClock::now() >= check_.Budget->FilesEnd())
        return;
    ListedFileBox("N\xE3o consegui buscar " + name + " no servidor...");
}

bool TUpdater::FetchToStream(const std::string& url, TStream& stream,
                             TBudgetClock::time_point end) {
    // A refused address setting must never fall back to another server.
    if (!ServerAddressError.empty())
        return false;
    TDeadlineScope scope(http_, end);
    for (int retries = 0;; ++retries) {
        try {
            Delay(FetchPauseMilliseconds / 1000.0);
            // A retry always starts on a fresh connection: a kept one may have gone stale.
            if (!KeepConnection || retries > 0)
                http_.Disconnect();
            stream.SetSize(0);
            stream.SetPosition(0);
            http_.GetToStream(url, stream);
            return true;
        } catch (const EIdReadTimeout&) {
            return false; // a wait ran out, or the deadline passed
        } catch (const EIdConnClosedGracefully&) {
            if (retries >= FetchRetryLimit)
                return false;
        } catch (const EIdTlsError&) {
            if (!identityReported_)
                Box(UnverifiedServerMessage);
            identityReported_ = true;
            return false;
        } catch (const std::exception&) {
            // Every other failure, std::bad_alloc of a huge body included, is a failed fetch.
            return false;
        }
    }
}

bool TUpdater::FetchVerified(const std::string& name, int timeoutSeconds, bool message,
                             TVerifiedSink& sink, const TManifestEntry* signedEntry,
                             TFileDelivery* delivery, bool* cut) {
    // A signed release: only what the vendor's key signed for is requested, and no more of it
    // is read than its signed size.
    const TManifestEntry* entry = signedEntry       ? signedEntry
                                  : check_.Manifest ? check_.Manifest->Find(name)
                                                    : nullptr;
    if (cut)
        *cut = false;
    if (SignedReleases && !entry) {
        if (message)
            ListedFileBox("N\xE3o consegui buscar " + name + " no servidor...");
        return false;
    }
    if (entry)
        sink.SetLimit(std::min(sink.Limit(), entry->Size));

    view_.SetStatus("Buscando " + name + "...");
    // A file held in memory has a fetch's deadline. A listed file streams while it makes
    // progress, within its delivery's one allowance, until the listed files' budget ends.
    const bool listed = !sink.InMemory();
    std::optional<TFileDelivery> own;
    if (listed && !delivery)
        delivery = &own.emplace(NewDelivery());
    const TBudgetClock::time_point end = listed ? delivery->Due() : TextFetchEnd();
    if (listed)
        sink.OnPiece = [this, delivery](std::size_t n) {
            delivery->Progress(TBudgetClock::now(), static_cast<std::int64_t>(n));
            http_.Deadline = delivery->Due();
        };
    struct TFlag {
        TIdHTTP& http;
        TVerifiedSink& sink;
        ~TFlag() {
            http.Tag = 0;
            sink.OnPiece = nullptr;
        }
    };
    bool ok;
    {
        TFlag flag{http_, sink};
        http_.Tag = 1;
        http_.ReadTimeout = timeoutSeconds * 1000;
        ok = FetchToStream("/" + check_.Area + name, sink, end) && !sink.Short();
    }
    if (cut)
        *cut = !ok;

    ok = ok && sink.Size() > 0 && sink.Head() != NotFoundText;
    if (ok) {
        std::string reply =
            FetchTextBy("/md5.php?" + check_.Area + name, TextReplyLimit, TextFetchEnd(listed));
        ok = DigestReplyMatches(reply, sink.FinishMd5Text());
    }
    if (ok && entry) {
        platform::TSha256Digest digest;
        ok = sink.Size() == entry->Size && sink.FinishSha256(digest) && digest == entry->Sha256;
    }
    if (!ok && message)
        FetchFailureBox(name);
    return ok;
}

std::string TUpdater::DownloadVerified(const std::string& name, int timeoutSeconds, bool message) {
    std::string body;
    TVerifiedSink sink(platform::InvalidFile, SignedReleases, &body);
    sink.SetLimit(ConfigDownloadLimit);
    if (!FetchVerified(name, timeoutSeconds, message, sink))
        return {};
    return body;
}

bool TUpdater::ReportUsage() {
    if (!SameText(FetchText("/Ok", TextReplyLimit), "Ok"))
        return false;
    std::string address = LocalAddressText();
    std::string query = "Versao=" + values_.Versao + "&IP=" + address + "&Unid=" + values_.Unidade +
                        "&User=" + values_.Usuario + "&Fone=" + values_.Telefone +
                        "&Email=" + values_.Email + "&Ex=Contrib&VersaoExe=" + values_.VersaoExe;
    // A signed build tells how its previous check ended, so that a bad release shows.
    if (SignedReleases) {
        TProfileFile ini(appDir_ + "QVBrelmox.ini");
        const std::string outcome = TUpdateProfile(ini).ReadOutcome();
        if (!outcome.empty())
            query += "&Atualizacao=" + outcome;
    }
    std::string body =
        FetchText("cgi-bin/QVBrelmoxDLL.dll?" + TIdURI::EncodeQuery(query), TextReplyLimit);
    if (http_.ResponseCode() != 200)
        return true;
    std::string name, content;
    if (SplitMessageFile(body, name, content))
        SaveTextToFile(appDir_ + "Msg\\" + name, content);
    return true;
}

void TUpdater::CheckForUpdates() {
    TProfileFile ini(appDir_ + "QVBrelmox.ini");
    TUpdateProfile profile(ini);
    check_ = TCheck{};
    check_.Ini = &ini;
    check_.Budget.emplace(TBudgetClock::now(), std::chrono::milliseconds(CheckBudget),
                          std::chrono::milliseconds(ListedFilesBudget));
    struct TEnd {
        TUpdater& updater;
        ~TEnd() {
            updater.check_ = TCheck{};
            try {
                updater.http_.Disconnect(); // a connection kept for the check ends with it
            } catch (...) {
            }
        }
    } end{*this};

    values_.Unidade = ini.ReadString("Unidade", "Unidade", "");
    values_.Usuario = ini.ReadString("Unidade", "Usuario", "");
    values_.Telefone = ini.ReadString("Unidade", "Telefone", "");
    values_.Email = ini.ReadString("Unidade", "Email", "");
    values_.Versao = ReadCurrentVersion(ini, appDir_);
    std::string label = "Vers\xE3o " + values_.Versao;
    try {
        ForceDirectories(appDir_ + "Local\\");
    } catch (const Exception&) {
    }

    // What a write cut short by a crash or a kill left behind.
    RemoveStaleTemporaries(appDir_);
    RemoveStaleTemporaries(appDir_ + "Msg\\");

    if (!ServerAddressError.empty()) {
        Box(ServerAddressError);
        return;
    }
    if (!ReportUsage())
        return;
    ini.WriteDate("Connect", "Last");
    if (!SignedReleases) {
        ApplyRelease(label);
        return;
    }
    struct TRecord {
        TUpdater& updater;
        TUpdateProfile& profile;
        ~TRecord() {
            try {
                updater.RecordOutcome(profile);
            } catch (...) {
            }
        }
    } record{*this, profile};
    if (!AcceptManifest(profile)) {
        check_.Outcome = TOutcome::Refused;
        Box(UnverifiedReleaseMessage);
        return;
    }
    const TReleaseDecision decision = ChooseRelease(profile);
    ApplyRelease(label);
    // Every file now the chosen release's: later checks go by versions again.
    if (decision.EndSwitch && check_.Outcome == TOutcome::Ok && check_.Complete)
        profile.EndSwitch(decision.Folder);
}

void TUpdater::ApplyRelease(std::string& label) {
    std::string config = DownloadVerified("QVBrelmox2.ini", ConfigDownloadTimeout, false);
    if (config.empty()) {
        NoteFailure(false);
        return;
    }
    if (!SaveTextToFile(appDir_ + "QVBrelmox2.ini", config))
        Box("N\xE3o conseguir salvar o Arquivo de Configura\xE7\xE3o.");

    std::string text = DownloadVerified("Versao.txt", ConfigDownloadTimeout, false);
    if (text.empty())
        NoteFailure(false);
    if (!text.empty()) {
        TVersionFile file(text);
        if (std::string(Trim(file.Value("Start.Ok"))) != "1" ||
            std::string(Trim(file.Value("End.Ok"))) != "1")
            Box("Arquivo de vers\xE3o inv\xE1lido!");
        else
            ApplyVersionFile(file, label);
    }
    view_.SetVersionLabel(label);
}

void TUpdater::ApplyVersionFile(TVersionFile& file, std::string& label) {
    file.Delete(file.IndexOfName("Start.Ok"));
    file.Delete(file.IndexOfName("End.Ok"));
    std::string current = file.Value(":VersaoAtual");
    std::string date = file.Value(":DataVersaoAtual");
    if (!current.empty()) {
        check_.Ini->WriteString("Versao", "VersaoAtual", current);
        check_.Ini->WriteString("Versao", "DataVersaoAtual", date);
        if (current != values_.Versao) {
            values_.Versao = current;
            label = "Vers\xE3o " + current;
        }
    }
    std::string medic = file.Value(":TabMedic.txt");
    if (!medic.empty())
        check_.Ini->WriteString("Medicamento", "TabMedic.txt", medic);
    for (int i = static_cast<int>(file.Lines().size()) - 1; i >= 0; --i) {
        std::string_view name = Trim(file.Lines()[static_cast<std::size_t>(i)].Name);
        if (name.empty() || name[0] == ':')
            file.Delete(i);
    }

    // A download into a sub-folder that was cut short left its temporary there, not in AppDir.
    std::set<std::string> folders;
    for (const TVersionFile::TLine& line : file.Lines()) {
        const std::size_t cut = line.Name.find_last_of("\\/");
        if (cut != std::string::npos && IsSafeRelativeName(line.Name))
            folders.insert(appDir_ + line.Name.substr(0, cut + 1));
    }
    for (const std::string& folder : folders)
        RemoveStaleTemporaries(folder);

    const std::size_t count = file.Lines().size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = file.Lines()[i].Name;
        UpdateListedFile(name, file.Value(name));
    }
    check_.Complete = true;
}

void TUpdater::UpdateListedFile(const std::string& name, const std::string& version) {
    // Past the check's budget the listed files go on only while they arrive; once one fails,
    // or the listed files' budget is spent, the rest waits for the next start, silently.
    if (check_.Budget) {
        const auto now = TBudgetClock::now();
        if (now >= check_.Budget->FilesEnd() ||
            (now >= check_.Budget->TextEnd() && check_.ListedFileFailed)) {
            NoteFailure(false); // left for the next start: the release is not complete
            return;
        }
    }
    bool due;
    if (FileExtension(name) != ".new" && !platform::FileExists(appDir_ + name))
        due = true;
    else
        due = check_.Ini->ReadString("Versao", name, "0") != version || !MatchesRelease(name);
    if (due)
        DownloadAndStore(name, appDir_, version);
}

bool TUpdater::MatchesRelease(const std::string& name) {
    // Only on a change of release: its files may carry the versions of the one before.
    const TManifestEntry* entry = check_.Manifest ? check_.Manifest->Find(name) : nullptr;
    if (!check_.VerifyInstalled || !entry || !IsSafeRelativeName(name))
        return true;
    platform::TOpenFile file(platform::OpenFileForReading(appDir_ + name));
    platform::TSha256Digest digest;
    return file.Handle() != platform::InvalidFile &&
           platform::SizeOfFile(file.Handle()) == entry->Size &&
           FileSha256(file.Handle(), digest) && digest == entry->Sha256;
}

void TUpdater::DownloadAndStore(const std::string& name, const std::string& directory,
                                const std::string& version) {
    const std::string failed = "N\xE3o consegui salvar " + directory + name + "...";
    // A name that would leave the installation is never requested nor written.
    if (!IsSafeRelativeName(name)) {
        ListedFileBox(failed);
        return;
    }
    switch (
        DownloadVerifiedToFile(name, ListedFileDownloadTimeout, true, directory + name, version)) {
    case srStored:
        check_.Ini->WriteString("Versao", name, version);
        return;
    case srFailedDownload:
        check_.ListedFileFailed = true;
        NoteFailure(false);
        return;
    case srFailedWrite:
        NoteFailure(true);
        ListedFileBox(failed);
        return;
    }
}

void TUpdater::IdHTTPWorkBegin(std::int64_t max) {
    if (http_.Tag == 0)
        return;
    values_.DownloadTotal = max;
    view_.SetVersionLabel("Download: 0%");
}

void TUpdater::IdHTTPWork(std::int64_t count) {
    if (http_.Tag == 0)
        return;
    // A transfer of unknown length shows the bytes so far instead of a percentage.
    if (values_.DownloadTotal <= 0)
        view_.SetVersionLabel("Download: " + std::to_string(count) + " bytes");
    else
        view_.SetVersionLabel(Percent(count * 100 / values_.DownloadTotal));
}

void TUpdater::IdHTTPWorkEnd() {
    if (http_.Tag == 0)
        return;
    view_.SetVersionLabel("Download: 100%");
}

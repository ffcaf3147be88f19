#include "update/Updater.h"

#include "platform/Clock.h"
#include "platform/Files.h"
#include "support/FileHelpers.h"
#include "support/LocalAddress.h"
#include "support/Md5.h"
#include "support/Text.h"
#include "update/PartialDownload.h"
#include "update/Rollout.h"
#include "update/Vcdiff.h"
#include "update/VersionFile.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <set>

const char* const NotFoundText = "Arquivo n\xC6o encontrado.";
const char* const UnverifiedReleaseMessage =
    "N\xE3o foi poss\xEDvel verificar a autenticidade da atualiza\xE7\xE3o.";
const char* const UnverifiedServerMessage =
    "N\xE3o foi poss\xEDvel verificar a identidade do servidor de atualiza\xE7\xE3o.";

namespace {

// The download area: its name, which a signed manifest must carry, and its path.
const char* const AreaName = "Contrib";
const char* const DownloadArea = "files/Contrib/";
// Where the last accepted manifest's sequence is kept in QVBrelmox.ini, with the rollout's
// state: the candidate's own floor, the installation's group, the folder of the candidate it
// took, and the outcome of the last check.
const char* const SequenceSection = "Assinatura";
const char* const SequenceKey = "Sequencia";
const char* const CandidateSequenceKey = "SequenciaCandidato";
const char* const GroupKey = "Grupo";
const char* const CandidateKey = "Candidato";
const char* const OutcomeKey = "Resultado";

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

// A downloaded body on its way from the socket to a temporary file beside its target (or, for
// the small files the check reads itself, into memory): each piece is written as it arrives
// and passes through the MD5 and SHA-256 on the way, and the first bytes are kept, since the
// not-found text is known by them. Without a file (none could
// be made, or a write failed) the bytes are still hashed, so the exchange and its messages stay
// the same and the failure shows when the file is to take its place. The SHA-256 is taken only
// for a signed release: a build without keys never loads the platform's crypto.
class TVerifiedSink : public TStream {
public:
    // Told of every piece as it arrives (the low-speed rule of a listed file).
    std::function<void(std::size_t)> OnPiece;
    // Asked when an attempt starts again from the client's point of view: true keeps the bytes
    // so far, which the attempt then continues (a resumed download asks only for the rest).
    std::function<bool()> OnRestart;

    // Takes the first size bytes the file already holds through the digests, as if they had
    // just arrived, and leaves the file's position after them; false when they cannot be read.
    bool Preload(std::int64_t size) {
        if (!writable_ || !platform::SeekFile(file_, 0))
            return false;
        char piece[1 << 16];
        std::int64_t left = size;
        while (left > 0) {
            const long long got = platform::ReadFromFile(
                file_, piece, static_cast<std::size_t>(std::min<std::int64_t>(left, sizeof piece)));
            if (got <= 0)
                return false;
            Take(piece, static_cast<std::size_t>(got));
            left -= got;
        }
        return true;
    }
    // The size the answer announced for the whole file, when known: a body that ends short of
    // it was cut.
    void SetExpected(std::int64_t size) { expected_ = size; }
    bool Short() const { return expected_ >= 0 && size_ < expected_; }

    // Forgets every byte so far: the file is emptied and the digests start again.
    void Drop() {
        if (writable_)
            writable_ = platform::SeekFile(file_, 0) && platform::TruncateFile(file_, 0);
        if (body_)
            body_->clear();
        md5_.Reset();
        if (sha256_)
            sha256_->Reset();
        head_.clear();
        size_ = 0;
    }

    TVerifiedSink(platform::FileHandle file, bool sha256, std::string* body = nullptr)
        : file_(file), body_(body) {
        if (sha256)
            sha256_.emplace();
    }

    // The most bytes the body may have; one more fails the transfer at once.
    void SetLimit(std::int64_t limit) { limit_ = limit; }
    std::int64_t Limit() const { return limit_; }
    // Whether the body is held in memory rather than streamed to a file.
    bool InMemory() const { return body_ != nullptr; }

    std::int64_t Size() const override { return size_; }
    std::int64_t Position() const override { return size_; }
    // The client only ever goes back to the start, for a new attempt.
    void SetSize(std::int64_t size) override { Rewind(size); }
    void SetPosition(std::int64_t position) override { Rewind(position); }
    std::size_t Read(void*, std::size_t) override { return 0; }
    void Write(const void* bytes, std::size_t n) override {
        if (static_cast<std::int64_t>(n) > limit_ - size_)
            throw EStreamTooLarge("The body is larger than " + std::to_string(limit_) + " bytes.");
        if (writable_ && !platform::WriteToFile(file_, bytes, n))
            writable_ = false;
        if (body_)
            body_->append(static_cast<const char*>(bytes), n);
        Take(bytes, n);
        if (OnPiece)
            OnPiece(n);
    }

    const std::string& Head() const { return head_; }
    bool Writable() const { return writable_; }
    // Each ends its hash: call once, after the transfer.
    std::string FinishMd5Text() { return DigestToHex(md5_.Final()); }
    bool FinishSha256(platform::TSha256Digest& digest) { return sha256_ && sha256_->Final(digest); }

private:
    static constexpr std::size_t HeadKept = 64;

    void Take(const void* bytes, std::size_t n) {
        md5_.Update(bytes, n);
        if (sha256_)
            sha256_->Update(bytes, n);
        if (head_.size() < HeadKept)
            head_.append(static_cast<const char*>(bytes), std::min(n, HeadKept - head_.size()));
        size_ += static_cast<std::int64_t>(n);
    }

    void Rewind(std::int64_t to) {
        if (to == size_)
            return;
        if (to != 0)
            throw EInOutError("A download can only start again from its beginning.");
        if (OnRestart && OnRestart())
            return;
        Drop();
    }

    platform::FileHandle file_;
    std::string* body_;
    bool writable_ = file_ != platform::InvalidFile;
    TIdHashMessageDigest5 md5_;
    std::optional<platform::TSha256> sha256_;
    std::string head_;
    std::int64_t size_ = 0;
    std::int64_t limit_ = INT64_MAX;
    std::int64_t expected_ = -1;
};

bool IsSafeRelativeName(const std::string& name) {
    if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = name.find_first_of("\\/", start);
        std::string_view segment(name.data() + start,
                                 (end == std::string::npos ? name.size() : end) - start);
        // Windows ignores trailing dots and spaces, so ". ." and ".. " are ".." too.
        std::string_view bare = segment;
        while (!bare.empty() && (bare.back() == '.' || bare.back() == ' '))
            bare.remove_suffix(1);
        if (bare.empty() && segment.find("..") != std::string_view::npos)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

bool DigestReplyMatches(const std::string& reply, const std::string& md5Text) {
    if (reply.size() < 4 || reply.compare(0, 2, "OK") != 0 ||
        reply.compare(reply.size() - 2, 2, "OK") != 0)
        return false;
    std::string digits = reply.substr(2, reply.size() - 4);
    for (char& c : digits)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return digits == md5Text;
}

bool SplitMessageFile(const std::string& answer, std::string& name, std::string& content) {
    constexpr std::size_t NameLength = 30;
    if (answer.size() <= NameLength)
        return false;
    name = std::string(Trim(std::string_view(answer).substr(0, NameLength)));
    // A name from the server never leaves the message directory.
    if (!IsSafeRelativeName(name) || name.find_first_of("\\/") != std::string::npos)
        return false;
    content = answer.substr(NameLength);
    return true;
}

void RemoveStaleTemporaries(const std::string& directory) {
    for (const std::string& name : platform::ListFiles(directory))
        if (platform::IsTemporaryName(name))
            platform::RemoveFile(directory + name);
}

std::string FileExtension(const std::string& name) {
    std::size_t dot = name.rfind('.');
    std::size_t delimiter = name.find_last_of("\\/:");
    if (dot == std::string::npos || (delimiter != std::string::npos && dot < delimiter))
        return {};
    return name.substr(dot);
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
    if (!budget_)
        return end;
    return std::min(end, listedFile ? budget_->FilesEnd() : budget_->TextEnd());
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
    if (budget_)
        budget_->Pause(TBudgetClock::now() - opened);
}

void TUpdater::ListedFileBox(const std::string& text) {
    if (!budget_ || listedBoxes_++ < ListedFileBoxLimit)
        Box(text);
}

void TUpdater::FetchFailureBox(const std::string& name) {
    // A file the budget's end cut short is simply left for the next start.
    if (budget_ && TBudgetClock::now() >= budget_->FilesEnd())
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
                             TVerifiedSink& sink, const TManifestEntry* signedEntry) {
    // A signed release: only what the vendor's key signed for is requested, and no more of it
    // is read than its signed size.
    const TManifestEntry* entry = signedEntry ? signedEntry
                                  : manifest_ ? manifest_->Find(name)
                                              : nullptr;
    transferFailed_ = false;
    if (SignedReleases && !entry) {
        if (message)
            ListedFileBox("N\xE3o consegui buscar " + name + " no servidor...");
        return false;
    }
    if (entry)
        sink.SetLimit(std::min(sink.Limit(), entry->Size));

    view_.SetStatus("Buscando " + name + "...");
    // A file held in memory has a fetch's deadline. A listed file streams while it makes
    // progress, until the listed files' budget ends.
    const bool listed = !sink.InMemory();
    TBudgetClock::time_point end = TextFetchEnd();
    std::optional<TLowSpeedRule> pace;
    if (listed) {
        const auto filesEnd = budget_ ? budget_->FilesEnd() : TBudgetClock::time_point::max();
        pace.emplace(TBudgetClock::now(), LowSpeedBytesPerSecond,
                     std::chrono::milliseconds(LowSpeedWindow));
        end = std::min(pace->Due(), filesEnd);
        sink.OnPiece = [this, &pace, filesEnd](std::size_t n) {
            pace->Progress(TBudgetClock::now(), static_cast<std::int64_t>(n));
            http_.Deadline = std::min(pace->Due(), filesEnd);
        };
    }
    bool ok;
    http_.Tag = 1;
    http_.ReadTimeout = timeoutSeconds * 1000;
    try {
        ok = FetchToStream("/" + area_ + name, sink, end);
    } catch (...) {
        http_.Tag = 0;
        sink.OnPiece = nullptr;
        throw;
    }
    http_.Tag = 0;
    sink.OnPiece = nullptr;
    ok = ok && !sink.Short();
    transferFailed_ = !ok;

    ok = ok && sink.Size() > 0 && sink.Head() != NotFoundText;
    if (ok) {
        std::string reply =
            FetchTextBy("/md5.php?" + area_ + name, TextReplyLimit, TextFetchEnd(listed));
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

TUpdater::TStoreResult TUpdater::DownloadVerifiedToFile(const std::string& name, int timeoutSeconds,
                                                        bool message, const std::string& target,
                                                        const std::string& version) {
    // A signed release may make the file from the installed one with a patch: a fraction of
    // the bytes. Whatever goes wrong there, the whole file follows, and only its failure shows.
    if (TryPatch(name, timeoutSeconds, target, version))
        return srStored;
    return StreamVerified(name, timeoutSeconds, message, target, version, nullptr,
                          [&](platform::FileHandle file, const std::string& path, std::int64_t) {
                              return platform::CommitTemporary(file, path, target);
                          });
}

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

bool FileSha256(platform::FileHandle file, platform::TSha256Digest& digest) {
    platform::TSha256 sha;
    if (!platform::SeekFile(file, 0))
        return false;
    char piece[1 << 16];
    for (;;) {
        const long long got = platform::ReadFromFile(file, piece, sizeof piece);
        if (got < 0)
            return false;
        if (got == 0)
            return sha.Final(digest);
        sha.Update(piece, static_cast<std::size_t>(got));
    }
}

} // namespace

TUpdater::TStoreResult TUpdater::StreamVerified(const std::string& name, int timeoutSeconds,
                                                bool message, const std::string& path,
                                                const std::string& version,
                                                const TManifestEntry* entry,
                                                const TFinish& finish) {
    if (version.empty()) {
        platform::TTemporaryFile temporary(path);
        TVerifiedSink sink(temporary.Handle(), SignedReleases);
        if (!FetchVerified(name, timeoutSeconds, message, sink, entry))
            return srFailedDownload;
        if (!sink.Writable())
            return srFailedWrite;
        return finish(temporary.Release(), temporary.Name(), sink.Size()) ? srStored
                                                                          : srFailedWrite;
    }
    // Resumable: the bytes go to a partial file of our own beside path, which stays when the
    // transfer is cut, with its record written before the body arrives.
    TProfileFile ini(appDir_ + "QVBrelmox.ini");
    const std::string partial = path + PartialSuffix;
    const long long today = DaysSinceEpoch();
    TPartialRecord record;
    const bool resumes = record.Parse(ini.ReadString(PartialSection, name, "")) &&
                         record.UsableFor(version, today) && platform::FileExists(partial);
    auto forget = [&] {
        ini.DeleteKey(PartialSection, name);
        platform::RemoveFile(partial);
    };
    bool fresh = !resumes;
    for (int attempt = 0;; ++attempt) {
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
        const TManifestEntry* signedEntry = entry       ? entry
                                            : manifest_ ? manifest_->Find(name)
                                                        : nullptr;
        if (kept > 0 && (kept > UINT32_MAX || (signedEntry && kept >= signedEntry->Size) ||
                         !sink.Preload(kept)))
            sink.Drop();
        TRangeScope range(http_);
        sink.OnRestart = [&] {
            if (sink.Size() == 0 || sink.Size() > UINT32_MAX || record.Validator.empty())
                return false;
            range.Set(sink.Size(), record.Validator);
            return true;
        };
        // Whether the answer goes on from the bytes kept, decided by its head before any body
        // byte: anything but the rest of the same file starts again from nothing.
        auto previous = http_.OnResponseHead;
        http_.OnResponseHead = [&](TIdCustomHTTP*) {
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
                    ini.DeleteKey(PartialSection, name);
                else
                    ini.WriteString(PartialSection, name, record.Format());
            }
            sink.SetExpected(response.LengthGiven ? sink.Size() + response.ContentLength : -1);
        };
        struct TRestore {
            TIdHTTP& http;
            std::function<void(TIdCustomHTTP*)>& previous;
            ~TRestore() { http.OnResponseHead = std::move(previous); }
        } restore{http_, previous};
        if (sink.Size() > 0)
            range.Set(sink.Size(), record.Validator);
        const bool ok = FetchVerified(name, timeoutSeconds, false, sink, signedEntry);
        if (ok) {
            ini.DeleteKey(PartialSection, name);
            if (!sink.Writable())
                return srFailedWrite;
            return finish(file.Release(), partial, sink.Size()) ? srStored : srFailedWrite;
        }
        const bool cut = transferFailed_;
        if (attempt < ResumedAttemptsPerFile) {
            // A range the server refused, or kept bytes that made a wrong file: once more from
            // the start. A cut that brought bytes goes on at once from where it stopped.
            fresh = (cut && http_.ResponseCode() == 416) || (!cut && kept > 0);
            if (fresh || (cut && sink.Size() > kept && !record.Validator.empty()))
                continue;
        }
        // Kept for the next start only when cut with something to go on from.
        if (!cut || sink.Size() == 0 || record.Validator.empty()) {
            if (file.Handle() != platform::InvalidFile)
                platform::CloseFile(file.Release());
            forget();
        }
        if (message)
            FetchFailureBox(name);
        return srFailedDownload;
    }
}

bool TUpdater::TryPatch(const std::string& name, int timeoutSeconds, const std::string& target,
                        const std::string& version) {
    const TManifestEntry* entry = manifest_ ? manifest_->Find(name) : nullptr;
    if (!entry || manifest_->PatchesFor(name).empty() || !platform::FileExists(target))
        return false;
    platform::TSha256Digest installed;
    {
        platform::TOpenFile file(platform::OpenFileForReading(target));
        if (file.Handle() == platform::InvalidFile || !FileSha256(file.Handle(), installed))
            return false;
    }
    const TManifestPatch* patch = nullptr;
    for (const TManifestPatch& candidate : manifest_->PatchesFor(name))
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
                              &patch->Entry, apply) == srStored;
    } catch (const std::exception&) {
        return false; // a source that cannot be read: the whole file follows
    }
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
        const std::string outcome =
            TProfileFile(appDir_ + "QVBrelmox.ini").ReadString(SequenceSection, OutcomeKey, "");
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
    ini_ = &ini;
    budget_.emplace(TBudgetClock::now(), std::chrono::milliseconds(CheckBudget),
                    std::chrono::milliseconds(ListedFilesBudget));
    listedBoxes_ = 0;
    listedFileFailed_ = false;
    struct TRelease {
        TUpdater& updater;
        ~TRelease() {
            updater.ini_ = nullptr;
            updater.budget_.reset();
            try {
                updater.http_.Disconnect(); // a connection kept for the check ends with it
            } catch (...) {
            }
        }
    } release{*this};

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

    manifest_.reset();
    refusedRelease_.clear();
    area_ = DownloadArea;
    verifyInstalled_ = false;
    outcome_ = TOutcome::Ok;
    if (SignedReleases) {
        struct TRecord {
            TUpdater& updater;
            TProfileFile& ini;
            ~TRecord() {
                try {
                    updater.RecordOutcome(ini);
                } catch (...) {
                }
            }
        } record{*this, ini};
        if (!AcceptManifest(ini)) {
            outcome_ = TOutcome::Refused;
            Box(UnverifiedReleaseMessage);
            return;
        }
        ChooseRelease(ini);
        ApplyRelease(label);
        // Every file now the chosen release's: later checks go by versions again.
        if (verifyInstalled_ && outcome_ == TOutcome::Ok)
            ini.WriteString(SequenceSection, CandidateKey, chosenFolder_);
        return;
    }
    ApplyRelease(label);
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
        ini_->WriteString("Versao", "VersaoAtual", current);
        ini_->WriteString("Versao", "DataVersaoAtual", date);
        if (current != values_.Versao) {
            values_.Versao = current;
            label = "Vers\xE3o " + current;
        }
    }
    std::string medic = file.Value(":TabMedic.txt");
    if (!medic.empty())
        ini_->WriteString("Medicamento", "TabMedic.txt", medic);
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
}

void TUpdater::ChooseRelease(TProfileFile& ini) {
    // A candidate that is absent, not yet due or refused leaves the stable release, silently:
    // the stable one is authentic all the same.
    const std::string area = std::string("/") + DownloadArea;
    std::string text = FetchText(area + "Candidato.txt");
    // The server's not-found text is an absent candidate, as an empty answer is.
    if (text == NotFoundText)
        text.clear();
    std::string signature = text.empty() ? std::string() : FetchText(area + "Candidato.sig");
    TReleaseManifest candidate;
    long long floor = 0, group = -1;
    bool take = !text.empty() && !signature.empty() &&
                ManifestSignatureValid(text, signature, ReleaseKeys) &&
                candidate.ParseCandidate(text) && candidate.Area == AreaName &&
                IsSafeRelativeName(candidate.Folder);
    if (take) {
        if (!TryStrToInt64(ini.ReadString(SequenceSection, CandidateSequenceKey, "0"), floor))
            floor = 0;
        take = candidate.Sequence >= static_cast<std::uint64_t>(std::max(floor, 0LL));
    }
    if (take) {
        // Drawn once, at the first candidate the installation meets.
        if (!TryStrToInt64(ini.ReadString(SequenceSection, GroupKey, ""), group) || group < 0 ||
            group >= RolloutGroups) {
            group = DrawGroup();
            if (group >= 0)
                ini.WriteString(SequenceSection, GroupKey, std::to_string(group));
        }
        take = group >= 0 &&
               CandidateDue(static_cast<int>(group), candidate.Start, candidate.Hours, UtcNow());
    }
    // A release other than the one the last complete check installed (a candidate taken,
    // withdrawn or replaced): its files are told apart by their SHA-256, since versions may
    // not differ between the two.
    chosenFolder_ = take ? candidate.Folder : std::string();
    verifyInstalled_ = ini.ReadString(SequenceSection, CandidateKey, "") != chosenFolder_;
    if (!take)
        return;
    ini.WriteString(SequenceSection, CandidateSequenceKey, std::to_string(candidate.Sequence));
    std::string folder = candidate.Folder;
    for (char& c : folder)
        if (c == '\\')
            c = '/';
    area_ = std::string(DownloadArea) + folder + "/";
    manifest_ = std::move(candidate);
}

void TUpdater::NoteFailure(bool write) {
    if (outcome_ != TOutcome::Ok)
        return;
    const bool spent = budget_ && (TBudgetClock::now() >= budget_->FilesEnd() ||
                                   TBudgetClock::now() >= budget_->TextEnd());
    outcome_ = write ? TOutcome::Write : spent ? TOutcome::Budget : TOutcome::Digest;
}

void TUpdater::RecordOutcome(TProfileFile& ini) {
    static const char* const codes[] = {"ok", "assinatura", "digest", "gravacao", "prazo"};
    ini.WriteString(SequenceSection, OutcomeKey,
                    (manifest_ ? manifest_->Release : refusedRelease_) + ";" +
                        codes[static_cast<int>(outcome_)]);
}

void TUpdater::RecordApplicationFailure() {
    TProfileFile ini(appDir_ + "QVBrelmox.ini");
    const std::string outcome = ini.ReadString(SequenceSection, OutcomeKey, "");
    ini.WriteString(SequenceSection, OutcomeKey,
                    outcome.substr(0, outcome.find(';')) + ";aplicativo");
}

void TUpdater::RecordLauncherRefused(const std::string& appDir) {
    TProfileFile ini(appDir + "QVBrelmox.ini");
    const std::string outcome = ini.ReadString(SequenceSection, OutcomeKey, "");
    ini.WriteString(SequenceSection, OutcomeKey, outcome.substr(0, outcome.find(';')) + ";editor");
}

bool TUpdater::AcceptManifest(TProfileFile& ini) {
    const std::string area = std::string("/") + DownloadArea;
    std::string text = FetchText(area + "Manifesto.txt");
    std::string signature = FetchText(area + "Manifesto.sig");
    TReleaseManifest manifest;
    if (text.empty() || signature.empty() ||
        !ManifestSignatureValid(text, signature, ReleaseKeys) || !manifest.Parse(text))
        return false;
    // Signed, so its name may be reported with the refusal.
    refusedRelease_ = manifest.Release;
    if (manifest.Area != AreaName)
        return false;
    long long last = 0;
    if (!TryStrToInt64(ini.ReadString(SequenceSection, SequenceKey, "0"), last))
        last = 0;
    if (last > 0 && manifest.Sequence < static_cast<std::uint64_t>(last))
        return false; // an older release played back
    // Stored before anything is installed: a release that breaks half-way must not leave the
    // floor where an older release could come back in.
    ini.WriteString(SequenceSection, SequenceKey, std::to_string(manifest.Sequence));
    manifest_ = std::move(manifest);
    return true;
}

void TUpdater::UpdateListedFile(const std::string& name, const std::string& version) {
    // Past the check's budget the listed files go on only while they arrive; once one fails,
    // or the listed files' budget is spent, the rest waits for the next start, silently.
    if (budget_) {
        const auto now = TBudgetClock::now();
        if (now >= budget_->FilesEnd() || (now >= budget_->TextEnd() && listedFileFailed_))
            return;
    }
    bool due;
    if (FileExtension(name) != ".new" && !platform::FileExists(appDir_ + name))
        due = true;
    else
        due = ini_->ReadString("Versao", name, "0") != version || !MatchesRelease(name);
    if (due)
        DownloadAndStore(name, appDir_, version);
}

bool TUpdater::MatchesRelease(const std::string& name) {
    // Only on a change of release: its files may carry the versions of the one before.
    const TManifestEntry* entry = manifest_ ? manifest_->Find(name) : nullptr;
    if (!verifyInstalled_ || !entry || !IsSafeRelativeName(name))
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
        ini_->WriteString("Versao", name, version);
        return;
    case srFailedDownload:
        listedFileFailed_ = true;
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

#include "http/IdTls.h"

#include <algorithm>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT32_MAX)) : 0;
}

} // namespace

void TIdIOHandlerTls::Close() {
    TIdIOHandlerSocket::Close();
    session_.reset();
    raw_.clear();
    plain_.clear();
    taken_ = 0;
    closed_ = truncated_ = false;
    starved_ = true;
}

void TIdIOHandlerTls::ConnectTo(const std::string& host, int port, const std::string& boundIP,
                                int boundPort, int boundPortMin, int boundPortMax, int timeout) {
    const auto start = Clock::now();
    TIdIOHandlerSocket::ConnectTo(host, port, boundIP, boundPort, boundPortMin, boundPortMax,
                                  timeout);
    if (Tunnel)
        return;
    int left = timeout;
    if (timeout > 0) {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        left = static_cast<int>(std::max<long long>(timeout - spent, 1));
    }
    StartTls(host, left);
}

void TIdIOHandlerTls::StartTls(const std::string& host, int timeout) {
    const auto end =
        Clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : IdTlsHandshakeTimeout);
    std::string error;
    session_ = client_->NewSession(host, error);
    if (!session_)
        throw EIdTlsError("TLS is not available: " + error);
    std::string out;
    for (platform::TTlsStatus status = session_->Handshake(raw_, out);;
         status = session_->Handshake(raw_, out)) {
        SendRaw(out, MillisecondsLeft(end));
        out.clear();
        if (status == platform::TTlsStatus::Done)
            break;
        if (status != platform::TTlsStatus::WantMore)
            throw EIdTlsError("TLS handshake failed: " + session_->Error());
        const int left = MillisecondsLeft(end);
        // A silent server is an unreachable one, not one that failed to prove itself.
        if (left == 0 || !TIdIOHandlerSocket::WaitReadable(left))
            throw EIdReadTimeout("Read Timeout");
        char chunk[1 << 14];
        const int got = TIdIOHandlerSocket::Receive(chunk, sizeof chunk);
        if (got <= 0)
            throw EIdTlsError("The connection ended during the TLS handshake.");
        raw_.append(chunk, static_cast<std::size_t>(got));
    }
    // Records that came with the end of the handshake are decrypted by the first wait.
    starved_ = raw_.empty();
}

bool TIdIOHandlerTls::Pump(int ms) {
    if (starved_) {
        if (raw_.size() >= IdTlsMaxPending)
            throw EIdException("TLS record too large.");
        if (!TIdIOHandlerSocket::WaitReadable(ms))
            return false;
        // Straight into the pending bytes; a large receive is what keeps Wine fast.
        const std::size_t before = raw_.size();
        raw_.resize(before + IdTlsReceiveSize);
        const int got = TIdIOHandlerSocket::Receive(&raw_[before], IdTlsReceiveSize);
        raw_.resize(before + static_cast<std::size_t>(std::max(got, 0)));
        if (got < 0)
            TIdStack::Shared().RaiseSocketError(TIdStack::Shared().LastPlatformError());
        if (got == 0) {
            truncated_ = true;
            return true;
        }
    }
    if (truncated_)
        return true;
    std::string answer;
    const platform::TTlsStatus status = session_->Decrypt(raw_, plain_, answer);
    SendRaw(answer, ms);
    // Until more arrives, what is left cannot make a record.
    starved_ = status == platform::TTlsStatus::WantMore || raw_.empty();
    if (status == platform::TTlsStatus::Closed)
        closed_ = true;
    else if (status == platform::TTlsStatus::Failed)
        throw EIdException("TLS record refused: " + session_->Error());
    return true;
}

bool TIdIOHandlerTls::WaitReadable(int ms) {
    if (!session_)
        return TIdIOHandlerSocket::WaitReadable(ms);
    // A wait ends at its own limit however the records are cut: a record that trickles in
    // never makes it longer.
    const auto end = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    while (taken_ == plain_.size() && !closed_ && !truncated_) {
        const int left = ms < 0 ? IdTimeoutInfinite : MillisecondsLeft(end);
        if (ms >= 0 && left == 0)
            return false;
        Pump(left);
    }
    return true;
}

int TIdIOHandlerTls::Receive(void* buffer, int count) {
    if (!session_)
        return TIdIOHandlerSocket::Receive(buffer, count);
    WaitReadable(IdTimeoutInfinite);
    if (taken_ < plain_.size()) {
        const std::size_t n = std::min(plain_.size() - taken_, static_cast<std::size_t>(count));
        std::memcpy(buffer, plain_.data() + taken_, n);
        taken_ += n;
        if (taken_ == plain_.size()) {
            plain_.clear();
            taken_ = 0;
        }
        return static_cast<int>(n);
    }
    if (closed_)
        return 0;
    throw EIdTlsTruncated("The connection ended without closing its TLS session.");
}

int TIdIOHandlerTls::Send(const void* buffer, int count) {
    if (!session_)
        return TIdIOHandlerSocket::Send(buffer, count);
    std::string records;
    if (!session_->Encrypt(
            std::string_view(static_cast<const char*>(buffer), static_cast<std::size_t>(count)),
            records))
        throw EIdException("TLS write failed: " + session_->Error());
    // The connection waited for room just before: its limit holds for the records.
    SendRaw(records);
    return count;
}

void TIdIOHandlerTls::SendRaw(const std::string& bytes, int ms) {
    // What the session must answer (a key update, a handshake message) waits for room within
    // the caller's limit like any send: a peer that never reads cannot hold it.
    if (!bytes.empty() && !TIdIOHandlerSocket::WaitWritable(ms))
        throw EIdWriteTimeout("Write Timeout");
    SendRaw(bytes);
}

void TIdIOHandlerTls::SendRaw(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int piece = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 20));
        const int n = TIdIOHandlerSocket::Send(bytes.data() + sent, piece);
        if (n <= 0)
            TIdStack::Shared().RaiseSocketError(n < 0 ? TIdStack::Shared().LastPlatformError()
                                                      : IdError::ConnReset);
        sent += static_cast<std::size_t>(n);
    }
}

std::string TIdIOHandlerTls::Negotiated() const {
    return session_ ? session_->Negotiated() : std::string();
}

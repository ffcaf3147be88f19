#pragma once
// A TCP peer on 127.0.0.1 for wire tests: it accepts connections one after another, plays one
// script on each (send, send byte by byte, pause, wait for bytes, half-close, close, reset),
// and records every byte it receives. After a script it keeps reading until the client closes.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSockets.h"

struct TPeerStep {
    enum TKind { kSend, kSendBytewise, kPause, kWaitBytes, kWaitText, kHalfClose, kClose, kReset };
    TKind Kind;
    std::string Bytes;
    std::size_t Count = 0;
};
using TPeerScript = std::vector<TPeerStep>;

namespace peer {
inline TPeerStep Send(std::string bytes) {
    return {TPeerStep::kSend, std::move(bytes)};
}
inline TPeerStep SendBytewise(std::string bytes) {
    return {TPeerStep::kSendBytewise, std::move(bytes)};
}
inline TPeerStep Pause(int ms) {
    return {TPeerStep::kPause, {}, static_cast<std::size_t>(ms)};
}
// Waits until this connection has received at least n bytes in all.
inline TPeerStep WaitBytes(std::size_t n) {
    return {TPeerStep::kWaitBytes, {}, n};
}
// Waits until what this connection received contains the text.
inline TPeerStep WaitFor(std::string text) {
    return {TPeerStep::kWaitText, std::move(text)};
}
inline TPeerStep HalfClose() {
    return {TPeerStep::kHalfClose, {}};
}
inline TPeerStep Close() {
    return {TPeerStep::kClose, {}};
}
inline TPeerStep Reset() {
    return {TPeerStep::kReset, {}};
}
} // namespace peer

class TScriptedPeer {
public:
    // How long any wait of the peer lasts at most, so a broken test ends instead of hanging.
    static constexpr std::chrono::seconds WaitLimit{10};

    explicit TScriptedPeer(std::vector<TPeerScript> scripts);
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    int Port() const { return port_; }
    // Bytes received on connection i so far.
    std::string Received(std::size_t i = 0) const;
    // Waits until every script has been played and each connection was closed.
    void Join();
    std::size_t Accepted() const { return accepted_; }

private:
    void Run();
    void Play(testsock::Socket s, std::size_t index, const TPeerScript& script);
    bool ReceiveSome(testsock::Socket s, std::size_t index, int ms);

    std::vector<TPeerScript> scripts_;
    testsock::Socket listener_ = testsock::Invalid;
    int port_ = 0;
    mutable std::mutex lock_;
    std::vector<std::string> received_;
    std::atomic<std::size_t> accepted_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

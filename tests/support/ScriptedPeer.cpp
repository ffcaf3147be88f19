#include "support/ScriptedPeer.h"

TScriptedPeer::TScriptedPeer(std::vector<TPeerScript> scripts) : scripts_(std::move(scripts)) {
    testsock::Startup();
    listener_ = testsock::ListenLoopback(port_);
    received_.resize(scripts_.size());
    thread_ = std::thread([this] { Run(); });
}

TScriptedPeer::~TScriptedPeer() {
    stopping_ = true;
    if (listener_ != testsock::Invalid)
        testsock::Close(listener_);
    listener_ = testsock::Invalid;
    if (thread_.joinable())
        thread_.join();
}

void TScriptedPeer::Join() {
    if (thread_.joinable())
        thread_.join();
}

std::string TScriptedPeer::Received(std::size_t i) const {
    std::lock_guard<std::mutex> guard(lock_);
    return i < received_.size() ? received_[i] : std::string();
}

bool TScriptedPeer::ReceiveSome(testsock::Socket s, std::size_t index, int ms) {
    if (!testsock::WaitReadable(s, ms))
        return true; // nothing yet, still open
    char buffer[65536];
    long n = testsock::Recv(s, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    std::lock_guard<std::mutex> guard(lock_);
    received_[index].append(buffer, static_cast<std::size_t>(n));
    return true;
}

void TScriptedPeer::Run() {
    for (std::size_t i = 0; i < scripts_.size() && !stopping_; ++i) {
        testsock::Socket s = testsock::Accept(listener_);
        if (s == testsock::Invalid)
            return;
        ++accepted_;
        Play(s, i, scripts_[i]);
    }
}

void TScriptedPeer::Play(testsock::Socket s, std::size_t index, const TPeerScript& script) {
    using Clock = std::chrono::steady_clock;
    bool open = true;
    auto waitUntil = [&](auto done) {
        auto deadline = Clock::now() + WaitLimit;
        while (open && !done() && Clock::now() < deadline && !stopping_)
            open = ReceiveSome(s, index, 20);
    };
    for (const TPeerStep& step : script) {
        switch (step.Kind) {
        case TPeerStep::kSend:
            if (!step.Bytes.empty())
                testsock::Send(s, step.Bytes.data(), step.Bytes.size());
            break;
        case TPeerStep::kSendBytewise:
            for (char c : step.Bytes) {
                testsock::Send(s, &c, 1);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            break;
        case TPeerStep::kPause:
            std::this_thread::sleep_for(std::chrono::milliseconds(step.Count));
            break;
        case TPeerStep::kWaitBytes:
            waitUntil([&] { return Received(index).size() >= step.Count; });
            break;
        case TPeerStep::kWaitText:
            waitUntil([&] { return Received(index).find(step.Bytes) != std::string::npos; });
            break;
        case TPeerStep::kHalfClose:
            testsock::ShutdownSend(s);
            break;
        case TPeerStep::kClose:
            // Unread bytes would turn the close into a reset: take them first.
            while (ReceiveSome(s, index, 0) && testsock::WaitReadable(s, 0)) {
            }
            testsock::Close(s);
            return;
        case TPeerStep::kReset:
            testsock::Reset(s);
            return;
        }
    }
    // Keep reading (and recording) until the client closes.
    waitUntil([] { return false; });
    testsock::Close(s);
}

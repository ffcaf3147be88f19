#pragma once
// A transport held in memory: each receive hands out the next scripted chunk (or as much of it
// as was asked for); when the chunks run out the peer counts as closed, or, with StayOpen, as
// silent. Every send is recorded.

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "http/IdTCPConnection.h"

class TMemoryIOHandler : public TIdIOHandler {
public:
    explicit TMemoryIOHandler(std::vector<std::string> chunks = {}, bool stayOpen = false)
        : chunks_(chunks.begin(), chunks.end()), stayOpen_(stayOpen) {}

    // The chunks of text split at one byte, and at every byte.
    static std::vector<std::string> SplitAt(const std::string& text, std::size_t at) {
        return {text.substr(0, at), text.substr(at)};
    }
    static std::vector<std::string> Bytewise(const std::string& text) {
        std::vector<std::string> out;
        for (char c : text)
            out.emplace_back(1, c);
        return out;
    }
    // Whole, byte by byte, and cut in two at every byte.
    static std::vector<std::vector<std::string>> Splits(const std::string& text) {
        std::vector<std::vector<std::string>> all{{text}, Bytewise(text)};
        for (std::size_t at = 1; at < text.size(); ++at)
            all.push_back(SplitAt(text, at));
        return all;
    }

    bool WaitReadable(int) override {
        if (!Connected())
            throw EIdConnClosedGracefully();
        return !chunks_.empty() || !stayOpen_;
    }

    int Receive(void* buffer, int count) override {
        if (!Connected())
            throw EIdClosedSocket("Disconnected.");
        while (!chunks_.empty() && chunks_.front().empty())
            chunks_.pop_front();
        if (chunks_.empty())
            return 0;
        std::string& next = chunks_.front();
        std::size_t n = std::min<std::size_t>(next.size(), static_cast<std::size_t>(count));
        std::memcpy(buffer, next.data(), n);
        next.erase(0, n);
        if (next.empty())
            chunks_.pop_front();
        ++receives;
        return static_cast<int>(n);
    }

    int Send(const void* buffer, int count) override {
        if (!Connected())
            throw EIdClosedSocket("Disconnected.");
        std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), MaxSendPiece);
        sent.append(static_cast<const char*>(buffer), n);
        sends.push_back(n);
        return static_cast<int>(n);
    }

    std::string sent;
    std::vector<std::size_t> sends;
    int receives = 0;
    std::size_t MaxSendPiece = static_cast<std::size_t>(-1);

private:
    std::deque<std::string> chunks_;
    bool stayOpen_;
};

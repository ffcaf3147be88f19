#pragma once
// A small HTTP server on 127.0.0.1 for the update tests: one request per connection, answers
// looked up by request target, every request line logged in order. A target can be told to
// close without an answer a number of times, or to never answer.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSockets.h"

class TMiniServer {
public:
    TMiniServer();
    ~TMiniServer();
    TMiniServer(const TMiniServer&) = delete;
    TMiniServer& operator=(const TMiniServer&) = delete;

    int Port() const { return port_; }
    // The whole answer for a target (status line, headers, body).
    void SetResponse(const std::string& target, const std::string& response);
    // A 200 answer (or another status) with Content-Length.
    void SetBody(const std::string& target, const std::string& body, int status = 200);
    void CloseWithoutAnswer(const std::string& target, int times);
    void NeverAnswer(const std::string& target);
    // A 200 answer whose body does not end (until close, or chunked): pieces go out until the
    // client stops reading, or StreamCap bytes at most.
    void StreamWithoutEnd(const std::string& target, bool chunked);
    static constexpr std::int64_t StreamCap = std::int64_t(256) << 20;
    // Body bytes the streaming answers have sent so far.
    std::int64_t Streamed() const { return streamed_; }
    // The request lines received so far, in order.
    std::vector<std::string> Log() const;
    // Everything received for the last request of this target (request line and headers).
    std::string LastRequest(const std::string& target) const;

private:
    void Run();
    void Serve(testsock::Socket s);

    testsock::Socket listener_ = testsock::Invalid;
    int port_ = 0;
    mutable std::mutex lock_;
    std::map<std::string, std::string> responses_;
    std::map<std::string, int> closes_;
    std::map<std::string, bool> silent_;
    std::map<std::string, bool> streams_; // target: chunked
    std::atomic<std::int64_t> streamed_{0};
    std::map<std::string, std::string> lastRequest_;
    std::vector<std::string> log_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

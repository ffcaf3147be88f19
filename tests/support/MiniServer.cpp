#include "support/MiniServer.h"

#include <chrono>

TMiniServer::TMiniServer() {
    testsock::Startup();
    listener_ = testsock::ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

TMiniServer::~TMiniServer() {
    stopping_ = true;
    testsock::Close(listener_);
    thread_.join();
}

void TMiniServer::SetResponse(const std::string& target, const std::string& response) {
    std::lock_guard<std::mutex> guard(lock_);
    responses_[target] = response;
}

void TMiniServer::SetBody(const std::string& target, const std::string& body, int status) {
    SetResponse(target, "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
}

void TMiniServer::CloseWithoutAnswer(const std::string& target, int times) {
    std::lock_guard<std::mutex> guard(lock_);
    closes_[target] = times;
}

void TMiniServer::NeverAnswer(const std::string& target) {
    std::lock_guard<std::mutex> guard(lock_);
    silent_[target] = true;
}

void TMiniServer::StreamWithoutEnd(const std::string& target, bool chunked) {
    std::lock_guard<std::mutex> guard(lock_);
    streams_[target] = chunked;
}

std::vector<std::string> TMiniServer::Log() const {
    std::lock_guard<std::mutex> guard(lock_);
    return log_;
}

std::string TMiniServer::LastRequest(const std::string& target) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = lastRequest_.find(target);
    return it == lastRequest_.end() ? std::string() : it->second;
}

void TMiniServer::Run() {
    while (!stopping_) {
        testsock::Socket s = testsock::Accept(listener_);
        if (s == testsock::Invalid)
            return;
        Serve(s);
    }
}

void TMiniServer::Serve(testsock::Socket s) {
    std::string request;
    char buffer[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (request.find("\r\n\r\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline && !stopping_) {
        if (!testsock::WaitReadable(s, 50))
            continue;
        long n = testsock::Recv(s, buffer, sizeof buffer);
        if (n <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string line = request.substr(0, request.find("\r\n"));
    // The target is everything between the method and the last word, so spaces survive.
    std::size_t first = line.find(' '), last = line.rfind(' ');
    std::string target =
        first != std::string::npos && last > first ? line.substr(first + 1, last - first - 1) : "";
    std::string response;
    bool close = false, silent = false, stream = false, chunked = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        log_.push_back(line);
        lastRequest_[target] = request;
        if (closes_[target] > 0) {
            --closes_[target];
            close = true;
        }
        silent = silent_[target];
        auto streaming = streams_.find(target);
        if (streaming != streams_.end()) {
            stream = true;
            chunked = streaming->second;
        }
        auto it = responses_.find(target);
        response = it != responses_.end()
                       ? it->second
                       : "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope";
    }
    if (stream) {
        std::string head = chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                   : "HTTP/1.1 200 OK\r\n\r\n";
        testsock::Send(s, head.data(), head.size());
        const std::string piece(64 << 10, 's');
        const std::string framed = chunked ? "10000\r\n" + piece + "\r\n" : piece;
        while (!stopping_ && streamed_ < StreamCap &&
               testsock::Send(s, framed.data(), framed.size()) > 0)
            streamed_ += static_cast<std::int64_t>(piece.size());
    } else if (silent) {
        while (!stopping_ && testsock::Recv(s, buffer, sizeof buffer) > 0) {
        }
    } else if (!close) {
        testsock::Send(s, response.data(), response.size());
    }
    testsock::Close(s);
}

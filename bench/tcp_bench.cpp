// Reading a 256 MiB body from a loopback peer: TIdTCPConnection::ReadToStream (counted, and until
// the peer closes) into a memory stream, against a plain blocking recv loop into the same kind of
// buffer, in the same run. Prints MB/s for each and the ratios.

#include "http/IdTCPConnection.h"
#include "support/TestSockets.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t BodySize = 256u << 20;
constexpr int Rounds = 5;

// Serves `connections` clients, each with BodySize bytes, then a close.
std::thread Serve(testsock::Socket listener, int connections) {
    return std::thread([listener, connections] {
        std::string block(1 << 20, 'b');
        for (int i = 0; i < connections; ++i) {
            testsock::Socket s = testsock::Accept(listener);
            for (std::size_t sent = 0; sent < BodySize;) {
                long n = testsock::Send(s, block.data(), std::min(block.size(), BodySize - sent));
                if (n <= 0)
                    break;
                sent += static_cast<std::size_t>(n);
            }
            testsock::ShutdownSend(s);
            char c;
            testsock::Recv(s, &c, 1); // until the client closes
            testsock::Close(s);
        }
    });
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double PlainLoop(int port) {
    auto start = std::chrono::steady_clock::now();
    testsock::Socket s = testsock::ConnectLoopback(port);
    std::string body;
    std::vector<char> chunk(32768);
    for (;;) {
        long n = testsock::Recv(s, chunk.data(), chunk.size());
        if (n <= 0)
            break;
        body.append(chunk.data(), static_cast<std::size_t>(n));
    }
    testsock::Close(s);
    double t = Seconds(std::chrono::steady_clock::now() - start);
    if (body.size() != BodySize)
        std::fprintf(stderr, "plain loop got %zu bytes\n", body.size());
    return t;
}

// The physical limit: recv straight into a buffer sized once for the whole body.
double PlainPresized(int port) {
    auto start = std::chrono::steady_clock::now();
    testsock::Socket s = testsock::ConnectLoopback(port);
    std::string body(BodySize, '\0');
    std::size_t got = 0;
    while (got < BodySize) {
        long n = testsock::Recv(s, body.data() + got, std::min<std::size_t>(32768, BodySize - got));
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    testsock::Close(s);
    return Seconds(std::chrono::steady_clock::now() - start);
}

double ReadToStream(int port, bool counted) {
    auto start = std::chrono::steady_clock::now();
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.Connect();
    TMemoryStream body;
    if (counted)
        client.ReadToStream(body, static_cast<std::int64_t>(BodySize));
    else
        client.ReadToStream(body, -1, true);
    client.Disconnect();
    double t = Seconds(std::chrono::steady_clock::now() - start);
    if (body.Size() != static_cast<std::int64_t>(BodySize))
        std::fprintf(stderr, "ReadToStream got %lld bytes\n", static_cast<long long>(body.Size()));
    return t;
}

} // namespace

int main() {
    testsock::Startup();
    int port = 0;
    testsock::Socket listener = testsock::ListenLoopback(port);
    std::thread server = Serve(listener, 4 * Rounds);
    std::vector<double> plain, presized, counted, untilClose;
    for (int r = 0; r < Rounds; ++r) { // interleaved, so drift hits all three alike
        plain.push_back(PlainLoop(port));
        presized.push_back(PlainPresized(port));
        counted.push_back(ReadToStream(port, true));
        untilClose.push_back(ReadToStream(port, false));
    }
    server.join();
    testsock::Close(listener);
    auto best = [](std::vector<double> v) { return *std::min_element(v.begin(), v.end()); };
    auto mbs = [](double s) { return BodySize / s / 1e6; };
    double p = mbs(best(plain)), q = mbs(best(presized)), c = mbs(best(counted)),
           u = mbs(best(untilClose));
    std::printf("256 MiB over loopback, best of %d rounds\n", Rounds);
    std::printf("plain recv loop, growing buffer  %8.1f MB/s\n", p);
    std::printf("plain recv loop, presized buffer %8.1f MB/s\n", q);
    std::printf("ReadToStream until close         %8.1f MB/s  ratio %.2f (to growing loop)\n", u,
                u / p);
    std::printf("ReadToStream counted             %8.1f MB/s  ratio %.2f (to presized loop)\n", c,
                c / q);
    return 0;
}

#include "support/TestSockets.h"

#include <winsock2.h>

namespace testsock {

namespace {
SOCKET S(Socket s) {
    return static_cast<SOCKET>(s);
}
} // namespace

void Startup() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

Socket ListenLoopback(int& port) {
    Startup();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 16) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        ::closesocket(s);
        return Invalid;
    }
    port = ntohs(a.sin_port);
    return static_cast<Socket>(s);
}

Socket Accept(Socket listener) {
    SOCKET s = ::accept(S(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? Invalid : static_cast<Socket>(s);
}

long Recv(Socket s, void* buffer, std::size_t n) {
    return ::recv(S(s), static_cast<char*>(buffer), static_cast<int>(n), 0);
}

long Send(Socket s, const void* buffer, std::size_t n) {
    return ::send(S(s), static_cast<const char*>(buffer), static_cast<int>(n), 0);
}

void ShutdownSend(Socket s) {
    ::shutdown(S(s), SD_SEND);
}

void Close(Socket s) {
    ::closesocket(S(s));
}

void Reset(Socket s) {
    linger l{1, 0};
    ::setsockopt(S(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    ::closesocket(S(s));
}

bool WaitReadable(Socket s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return ::select(0, &set, nullptr, nullptr, &limit) == 1;
}

Socket ConnectLoopback(int port) {
    Startup();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<u_short>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return Invalid;
    }
    return static_cast<Socket>(s);
}

void SetReceiveBuffer(Socket s, int bytes) {
    ::setsockopt(S(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

int OpenDescriptorCount() {
    return -1;
}

} // namespace testsock

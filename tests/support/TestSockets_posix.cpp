#include "support/TestSockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsock {

void Startup() {}

Socket ListenLoopback(int& port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 16) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        ::close(s);
        return Invalid;
    }
    port = ntohs(a.sin_port);
    return s;
}

Socket Accept(Socket listener) {
    int s;
    do
        s = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    while (s < 0 && errno == EINTR);
    return s < 0 ? Invalid : s;
}

long Recv(Socket s, void* buffer, std::size_t n) {
    ssize_t r;
    do
        r = ::recv(static_cast<int>(s), buffer, n, 0);
    while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long Send(Socket s, const void* buffer, std::size_t n) {
    return static_cast<long>(::send(static_cast<int>(s), buffer, n, MSG_NOSIGNAL));
}

void ShutdownSend(Socket s) {
    ::shutdown(static_cast<int>(s), SHUT_WR);
}

void Close(Socket s) {
    // Closing does not wake a thread blocked in accept() on Linux; shutting down does.
    ::shutdown(static_cast<int>(s), SHUT_RDWR);
    ::close(static_cast<int>(s));
}

void Reset(Socket s) {
    linger l{1, 0};
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(static_cast<int>(s));
}

bool WaitReadable(Socket s, int ms) {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

Socket ConnectLoopback(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return Invalid;
    }
    return s;
}

void SetReceiveBuffer(Socket s, int bytes) {
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int OpenDescriptorCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int n = 0;
    while (::readdir(dir))
        ++n;
    ::closedir(dir);
    return n;
}

} // namespace testsock

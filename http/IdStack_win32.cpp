// The stack over Windows Sockets 2.2.

#include "http/IdStack.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace {

// Starts the socket library once per process and stops it at process end; after a failed
// start the next stack tries again.
class WinsockLibrary {
public:
    static void Start() {
        static WinsockLibrary library;
        if (library.started_)
            return;
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw EIdStackInitializationFailed("Winsock Initialization Error.");
        library.started_ = true;
    }
    ~WinsockLibrary() {
        if (started_)
            WSACleanup();
    }

private:
    bool started_ = false;
};

SOCKET Sock(TIdStackSocketHandle s) {
    return static_cast<SOCKET>(s);
}

void MakeAddress(const std::string& ip, int port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (ip.empty()) {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        return;
    }
    TIdIPv4Bytes bytes = TIdStack::TextToAddress(ip);
    std::memcpy(&address.sin_addr, bytes.data(), 4);
}

void ReadAddress(const sockaddr_in& address, std::string& ip, int& port) {
    TIdIPv4Bytes bytes;
    std::memcpy(bytes.data(), &address.sin_addr, 4);
    ip = TIdStack::AddressToText(bytes);
    port = ntohs(address.sin_port);
}

class TIdStackWindows : public TIdStack {
public:
    TIdStackWindows() { WinsockLibrary::Start(); }

    int Bind(TIdStackSocketHandle s, int, const std::string& ip, int port) override {
        sockaddr_in a;
        MakeAddress(ip, port, a);
        return ::bind(Sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    int CloseSocket(TIdStackSocketHandle s) override { return ::closesocket(Sock(s)); }

    int Connect(TIdStackSocketHandle s, int, const std::string& ip, int port,
                int timeout) override {
        sockaddr_in a;
        MakeAddress(ip, port, a);
        if (timeout <= 0)
            return ::connect(Sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
        // Bounded: connect without blocking, wait for the outcome, then block again. A failed
        // attempt shows in the exception set.
        u_long on = 1, off = 0;
        if (::ioctlsocket(Sock(s), FIONBIO, &on) != 0)
            return SOCKET_ERROR;
        int error = 0;
        if (::connect(Sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(Sock(s), &writable);
            FD_SET(Sock(s), &failed);
            timeval limit{timeout / 1000, (timeout % 1000) * 1000};
            int n = ::select(0, nullptr, &writable, &failed, &limit);
            int size = sizeof error;
            if (n == SOCKET_ERROR)
                error = WSAGetLastError();
            else if (n == 0)
                error = WSAETIMEDOUT;
            else if (::getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                                  &size) != 0)
                error = WSAGetLastError();
        }
        ::ioctlsocket(Sock(s), FIONBIO, &off);
        if (error == 0)
            return 0;
        WSASetLastError(error);
        return SOCKET_ERROR;
    }

    std::string HostName() override {
        char name[251] = {};
        CheckSocketResult(::gethostname(name, sizeof name - 1));
        return name;
    }

    int Recv(TIdStackSocketHandle s, void* buffer, int count, int flags) override {
        return ::recv(Sock(s), static_cast<char*>(buffer), count, flags);
    }

    int Send(TIdStackSocketHandle s, const void* buffer, int count, int flags) override {
        return ::send(Sock(s), static_cast<const char*>(buffer), count, flags);
    }

    int SetSockOpt(TIdStackSocketHandle s, int level, int option, const void* value,
                   int length) override {
        return ::setsockopt(Sock(s), level, option, static_cast<const char*>(value), length);
    }

    int SetSendTimeout(TIdStackSocketHandle s, int ms) override {
        const DWORD limit = static_cast<DWORD>(ms);
        return ::setsockopt(Sock(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                            sizeof limit);
    }

    TIdStackSocketHandle CreateSocket(int type, int protocol) override {
        SOCKET s = ::socket(AF_INET, type, protocol);
        if (s == INVALID_SOCKET)
            throw EIdInvalidSocket("Cannot allocate socket.");
        // Processes the launcher starts must not inherit its connections.
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        return static_cast<TIdStackSocketHandle>(s);
    }

    int Shutdown(TIdStackSocketHandle s, int how) override { return ::shutdown(Sock(s), how); }

    int LastPlatformError() override { return WSAGetLastError(); }

    void PeerName(TIdStackSocketHandle s, std::string& ip, int& port) override {
        sockaddr_in a{};
        int size = sizeof a;
        CheckSocketResult(::getpeername(Sock(s), reinterpret_cast<sockaddr*>(&a), &size));
        ReadAddress(a, ip, port);
    }

    void SockName(TIdStackSocketHandle s, std::string& ip, int& port) override {
        sockaddr_in a{};
        int size = sizeof a;
        CheckSocketResult(::getsockname(Sock(s), reinterpret_cast<sockaddr*>(&a), &size));
        ReadAddress(a, ip, port);
    }

    std::size_t BytesAvailable(TIdStackSocketHandle s) override {
        u_long n = 0;
        return ::ioctlsocket(Sock(s), FIONREAD, &n) == 0 ? n : 0;
    }

    int TcpLevel() const override { return IPPROTO_TCP; }
    int TcpNoDelayOption() const override { return TCP_NODELAY; }

protected:
    int PlatformSelect(TIdSocketList* read, TIdSocketList* write, TIdSocketList* except,
                       int ms) override {
        fd_set sets[3];
        TIdSocketList* lists[3] = {read, write, except};
        // No limit is a day at a time, again and again: Wine serves a wait without a time-out
        // on a slower path, which halved the throughput of a download.
        constexpr long Day = 86400;
        int n;
        do {
            for (int i = 0; i < 3; ++i) {
                FD_ZERO(&sets[i]);
                if (lists[i])
                    for (TIdStackSocketHandle s : *lists[i])
                        FD_SET(Sock(s), &sets[i]);
            }
            timeval limit = ms < 0 ? timeval{Day, 0} : timeval{ms / 1000, (ms % 1000) * 1000};
            n = ::select(0, read ? &sets[0] : nullptr, write ? &sets[1] : nullptr,
                         except ? &sets[2] : nullptr, &limit);
        } while (n == 0 && ms < 0);
        if (n == SOCKET_ERROR)
            return n;
        for (int i = 0; i < 3; ++i) {
            if (!lists[i])
                continue;
            TIdSocketList kept;
            for (TIdStackSocketHandle s : *lists[i])
                if (FD_ISSET(Sock(s), &sets[i]))
                    kept.push_back(s);
            *lists[i] = std::move(kept);
        }
        return n;
    }

    bool LookUp(const std::string& name, std::vector<std::string>& addresses) override {
        int error = 0;
        if (IdPlatformLookUp(name, addresses, error))
            return true;
        WSASetLastError(error);
        return false;
    }
};

} // namespace

std::unique_ptr<TIdStack> CreatePlatformStack() {
    return std::make_unique<TIdStackWindows>();
}

bool IdPlatformLookUp(const std::string& name, std::vector<std::string>& addresses, int& error) {
    // The library stays started until the process ends, so a lookup left running on its own
    // thread still has it. Each thread gets its own result from gethostbyname.
    WinsockLibrary::Start();
    hostent* entry = ::gethostbyname(name.c_str());
    if (!entry) {
        error = WSAGetLastError();
        return false;
    }
    if (entry->h_addrtype == AF_INET && entry->h_length == 4)
        for (char** p = entry->h_addr_list; p && *p; ++p) {
            TIdIPv4Bytes bytes;
            std::memcpy(bytes.data(), *p, 4);
            addresses.push_back(TIdStack::AddressToText(bytes));
        }
    if (addresses.empty())
        error = WSAHOST_NOT_FOUND;
    return !addresses.empty();
}

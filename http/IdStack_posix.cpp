// The stack over BSD sockets. errno values and resolver failures are mapped onto the Windows
// Sockets numbers, so callers see the same numbers and texts on every platform.

#include "http/IdStack.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int MapErrno(int e) {
    switch (e) {
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
        return 10024;
    case EWOULDBLOCK:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case EPIPE:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    default:
        return e;
    }
}

int MapResolverError(int e) {
    switch (e) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_ADDRFAMILY:
        return IdError::HostNotFound;
    case EAI_AGAIN:
        return 11002;
    case EAI_SYSTEM:
        return MapErrno(errno);
    default:
        return 11003;
    }
}

// The error of the last failed call on this thread, in Windows Sockets numbers.
thread_local int lastError = 0;

int Fail(int e) {
    lastError = MapErrno(e);
    return Id_SOCKET_ERROR;
}

int Fd(TIdStackSocketHandle s) {
    return static_cast<int>(s);
}

bool MakeAddress(const std::string& ip, int port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (ip.empty()) {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    TIdIPv4Bytes bytes = TIdStack::TextToAddress(ip);
    std::memcpy(&address.sin_addr, bytes.data(), 4);
    return true;
}

void ReadAddress(const sockaddr_in& address, std::string& ip, int& port) {
    TIdIPv4Bytes bytes;
    std::memcpy(bytes.data(), &address.sin_addr, 4);
    ip = TIdStack::AddressToText(bytes);
    port = ntohs(address.sin_port);
}

class TIdStackPosix : public TIdStack {
public:
    int Bind(TIdStackSocketHandle s, int, const std::string& ip, int port) override {
        sockaddr_in a;
        MakeAddress(ip, port, a);
        return ::bind(Fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : Fail(errno);
    }

    int CloseSocket(TIdStackSocketHandle s) override {
        return ::close(Fd(s)) == 0 ? 0 : Fail(errno);
    }

    int Connect(TIdStackSocketHandle s, int, const std::string& ip, int port,
                int timeout) override {
        sockaddr_in a;
        MakeAddress(ip, port, a);
        if (timeout <= 0)
            return ::connect(Fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0
                                                                                    : Fail(errno);
        // Bounded: connect without blocking, wait for the outcome, then block again.
        const int flags = ::fcntl(Fd(s), F_GETFL);
        if (flags < 0 || ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) < 0)
            return Fail(errno);
        int error = 0;
        if (::connect(Fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            error = errno;
        if (error == EINPROGRESS) {
            pollfd p{Fd(s), POLLOUT, 0};
            int n;
            while ((n = ::poll(&p, 1, timeout)) < 0 && errno == EINTR) {
            }
            socklen_t size = sizeof error;
            if (n < 0)
                error = errno;
            else if (n == 0)
                error = ETIMEDOUT;
            else if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
        ::fcntl(Fd(s), F_SETFL, flags);
        return error == 0 ? 0 : Fail(error);
    }

    std::string HostName() override {
        char name[251] = {};
        if (::gethostname(name, sizeof name - 1) != 0)
            CheckSocketResult(Fail(errno));
        return name;
    }

    int Recv(TIdStackSocketHandle s, void* buffer, int count, int flags) override {
        for (;;) {
            ssize_t n = ::recv(Fd(s), buffer, static_cast<std::size_t>(count), flags);
            if (n >= 0)
                return static_cast<int>(n);
            if (errno != EINTR)
                return Fail(errno);
        }
    }

    int Send(TIdStackSocketHandle s, const void* buffer, int count, int flags) override {
        // A peer that has gone must give an error here, not a signal that ends the process.
        for (;;) {
            ssize_t n =
                ::send(Fd(s), buffer, static_cast<std::size_t>(count), flags | MSG_NOSIGNAL);
            if (n >= 0)
                return static_cast<int>(n);
            if (errno != EINTR)
                return Fail(errno);
        }
    }

    int SetSendTimeout(TIdStackSocketHandle s, int ms) override {
        const timeval limit{ms / 1000, (ms % 1000) * 1000};
        return ::setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0
                   ? 0
                   : Fail(errno);
    }

    int SetSockOpt(TIdStackSocketHandle s, int level, int option, const void* value,
                   int length) override {
        return ::setsockopt(Fd(s), level, option, value, static_cast<socklen_t>(length)) == 0
                   ? 0
                   : Fail(errno);
    }

    TIdStackSocketHandle CreateSocket(int type, int protocol) override {
        int kind = type == Id_SOCK_STREAM ? SOCK_STREAM : type;
        int fd = ::socket(AF_INET, kind | SOCK_CLOEXEC, protocol);
        if (fd < 0) {
            Fail(errno);
            throw EIdInvalidSocket("Cannot allocate socket.");
        }
        return static_cast<TIdStackSocketHandle>(fd);
    }

    int Shutdown(TIdStackSocketHandle s, int how) override {
        return ::shutdown(Fd(s), how) == 0 ? 0 : Fail(errno);
    }

    int LastPlatformError() override { return lastError; }

    void PeerName(TIdStackSocketHandle s, std::string& ip, int& port) override {
        sockaddr_in a{};
        socklen_t size = sizeof a;
        if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(&a), &size) != 0)
            CheckSocketResult(Fail(errno));
        ReadAddress(a, ip, port);
    }

    void SockName(TIdStackSocketHandle s, std::string& ip, int& port) override {
        sockaddr_in a{};
        socklen_t size = sizeof a;
        if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&a), &size) != 0)
            CheckSocketResult(Fail(errno));
        ReadAddress(a, ip, port);
    }

    std::size_t BytesAvailable(TIdStackSocketHandle s) override {
        int n = 0;
        return ::ioctl(Fd(s), FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    int TcpLevel() const override { return IPPROTO_TCP; }
    int TcpNoDelayOption() const override { return TCP_NODELAY; }

protected:
    // poll() rather than select(): descriptors above FD_SETSIZE must not overflow a set.
    int PlatformSelect(TIdSocketList* read, TIdSocketList* write, TIdSocketList* except,
                       int ms) override {
        std::vector<pollfd> fds;
        struct Entry {
            TIdSocketList* list;
            short events;
        };
        const Entry entries[] = {{read, POLLIN}, {write, POLLOUT}, {except, POLLPRI}};
        for (const Entry& e : entries)
            if (e.list)
                for (TIdStackSocketHandle s : *e.list)
                    fds.push_back({Fd(s), e.events, 0});
        int n;
        do
            n = ::poll(fds.data(), fds.size(), ms);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return Fail(errno);
        int ready = 0;
        std::size_t k = 0;
        for (const Entry& e : entries) {
            if (!e.list)
                continue;
            TIdSocketList kept;
            for (TIdStackSocketHandle s : *e.list) {
                short got = fds[k++].revents;
                // A closed or failed socket counts as readable, as select() reports it.
                short wanted = e.events == POLLIN ? short(POLLIN | POLLHUP | POLLERR) : e.events;
                if (got & wanted)
                    kept.push_back(s);
            }
            ready += static_cast<int>(kept.size());
            *e.list = std::move(kept);
        }
        return ready;
    }

    bool LookUp(const std::string& name, std::vector<std::string>& addresses) override {
        return IdPlatformLookUp(name, addresses, lastError);
    }
};

} // namespace

std::unique_ptr<TIdStack> CreatePlatformStack() {
    return std::make_unique<TIdStackPosix>();
}

bool IdPlatformLookUp(const std::string& name, std::vector<std::string>& addresses, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        error = MapResolverError(rc);
        return false;
    }
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family != AF_INET || !a->ai_addr)
            continue;
        std::string ip;
        int port = 0;
        ReadAddress(*reinterpret_cast<sockaddr_in*>(a->ai_addr), ip, port);
        addresses.push_back(ip);
    }
    ::freeaddrinfo(found);
    if (addresses.empty())
        error = IdError::HostNotFound;
    return !addresses.empty();
}

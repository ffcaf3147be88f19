#pragma once
// Socket services: one process-wide stack object over the platform's Berkeley-style sockets,
// and TIdSocketHandle, one IPv4 TCP socket with its addresses. All calls block. Error numbers
// are those of Windows Sockets on every platform.

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "http/IdException.h"

// A socket as the platform knows it (a SOCKET or a descriptor), widened to one type.
using TIdStackSocketHandle = std::uintptr_t;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = ~TIdStackSocketHandle(0);
constexpr int Id_SOCKET_ERROR = -1;

constexpr int Id_PF_INET = 2;
constexpr int Id_SOCK_STREAM = 1;

// Time limits in milliseconds; these two have special meanings wherever a limit is taken.
constexpr int IdTimeoutDefault = -1;
constexpr int IdTimeoutInfinite = -2;

// The most sockets one select list may hold.
constexpr std::size_t IdSelectSetSize = 64;

// Windows Sockets error numbers the client treats specially.
namespace IdError {
constexpr int WouldBlock = 10035;
constexpr int ConnAborted = 10053;
constexpr int ConnReset = 10054;
constexpr int Shutdown = 10058;
constexpr int AddrInUse = 10048;
constexpr int TimedOut = 10060;
constexpr int ConnRefused = 10061;
constexpr int HostNotFound = 11001;
} // namespace IdError

using TIdIPv4Bytes = std::array<std::uint8_t, 4>;
using TIdSocketList = std::vector<TIdStackSocketHandle>;

class TIdStack {
public:
    virtual ~TIdStack() = default;

    // The shared stack, made by the first network object and freed with the last.
    static TIdStack& Shared();
    static void CreateShared();
    static void FreeShared();

    // "localhost" in any case gives 127.0.0.1; an IP literal stays as it is; anything else is
    // looked up, and a failed lookup raises EIdSocketError (normally 11001). With ms >= 0 the
    // lookup runs on a thread of its own and one that does not end within ms raises
    // EIdSocketError 10060: a resolver that never answers cannot hold the caller.
    std::string ResolveHost(const std::string& host, int ms = IdTimeoutInfinite);

    // The lookup ResolveHost makes: the platform's (IdPlatformLookUp), unless a test puts
    // another in. It may run on a thread of its own, so it must not touch the stack.
    using TLookUp = std::function<bool(const std::string& name, std::vector<std::string>& addresses,
                                       int& error)>;
    TLookUp LookUpFunction;

    // IPv4 literals in all four forms: a.b.c.d, a.b.c (c up to 16 bits), a.b (b up to 24 bits),
    // and one 32-bit number.
    static bool IsIP(const std::string& text);
    static bool TryTextToAddress(const std::string& text, TIdIPv4Bytes& address);
    // Raises EIdInvalidIPAddress "<text> is not a valid IP address.".
    static TIdIPv4Bytes TextToAddress(const std::string& text);
    static std::string AddressToText(const TIdIPv4Bytes& address);

    // False for a result other than -1; for -1 reads the last error into LastError and returns
    // true when it is tolerated, else raises EIdSocketError.
    bool CheckSocketResult(int result, std::initializer_list<int> tolerated = {});
    [[noreturn]] void RaiseSocketError(int error);
    static std::string ErrorText(int error);

    int LastError() const { return lastError_; }

    // Rebuilt on every call from a lookup of the host's own name; a failed lookup raises.
    std::vector<std::string> LocalAddresses();
    std::string LocalAddress();

    // The first address of the name's lookup as dotted text; raises through CheckSocketResult.
    std::string HostByName(const std::string& name);

    // Raises EIdStackSetSizeExceeded when a list holds more than IdSelectSetSize sockets.
    int Select(TIdSocketList* read, TIdSocketList* write, TIdSocketList* except, int ms);

    // The platform operations, in slot order (those the client never uses are left out).
    virtual int Bind(TIdStackSocketHandle s, int family, const std::string& ip, int port) = 0;
    virtual int CloseSocket(TIdStackSocketHandle s) = 0;
    // timeout in ms bounds the connect; 0 or less leaves it to the system.
    virtual int Connect(TIdStackSocketHandle s, int family, const std::string& ip, int port,
                        int timeout) = 0;
    virtual std::string HostName() = 0;
    virtual int Recv(TIdStackSocketHandle s, void* buffer, int count, int flags) = 0;
    virtual int Send(TIdStackSocketHandle s, const void* buffer, int count, int flags) = 0;
    virtual int SetSockOpt(TIdStackSocketHandle s, int level, int option, const void* value,
                           int length) = 0;
    // Raises EIdInvalidSocket "Cannot allocate socket." when no socket can be made.
    virtual TIdStackSocketHandle CreateSocket(int type, int protocol) = 0;
    virtual int Shutdown(TIdStackSocketHandle s, int how) = 0;
    virtual int LastPlatformError() = 0;
    virtual void PeerName(TIdStackSocketHandle s, std::string& ip, int& port) = 0;
    virtual void SockName(TIdStackSocketHandle s, std::string& ip, int& port) = 0;

    // Bounds every later send on the socket to ms (0: no limit); a send that runs out fails
    // with 10060 (Windows) or 10035 (POSIX).
    virtual int SetSendTimeout(TIdStackSocketHandle s, int ms) = 0;

    // Bytes that a receive would return at once without waiting; 0 when none or unknown.
    virtual std::size_t BytesAvailable(TIdStackSocketHandle s) = 0;

    // The platform's numbers for the level IPPROTO_TCP and its option TCP_NODELAY.
    virtual int TcpLevel() const = 0;
    virtual int TcpNoDelayOption() const = 0;

protected:
    // Waits on the lists, rewriting each with the ready sockets; ms < 0 waits without limit.
    virtual int PlatformSelect(TIdSocketList* read, TIdSocketList* write, TIdSocketList* except,
                               int ms) = 0;
    // The IPv4 addresses of a name as dotted text; false (with the platform's last error set)
    // when the lookup fails.
    virtual bool LookUp(const std::string& name, std::vector<std::string>& addresses) = 0;

private:
    int lastError_ = 0;
};

// Made by the platform file: the Windows or the POSIX stack.
std::unique_ptr<TIdStack> CreatePlatformStack();

// The platform's lookup of a name's IPv4 addresses as dotted text; false with the Windows
// Sockets error number in error when it fails. Safe on any thread, also after the stack is
// gone.
bool IdPlatformLookUp(const std::string& name, std::vector<std::string>& addresses, int& error);

class TIdSocketHandle {
public:
    TIdSocketHandle() = default;
    ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    void AllocateSocket(int type = Id_SOCK_STREAM, int protocol = 0);
    // Shuts down the sending direction and closes; results are ignored.
    void CloseSocket();
    // Binds to IP/Port, or tries ClientPortMax down to ClientPortMin when Port is 0 and a range
    // is set. Raises EIdCouldNotBindSocket, EIdInvalidPortRange or EIdCanNotBindPortInRange.
    void Bind();
    void SetPeer(const std::string& ip, int port);
    // timeout in ms; 0 or less waits as long as the system does.
    int ConnectPeer(int family = Id_PF_INET, int timeout = 0);
    int Receive(void* buffer, int count);
    int Send(const void* buffer, int count);
    void SetSockOpt(int level, int option, const void* value, int length);
    // Whether the socket becomes readable within ms; raises EIdConnClosedGracefully when no
    // socket is allocated. A failed wait reads as not readable.
    bool WaitReadable(int ms);
    // The same for room to send.
    bool WaitWritable(int ms);
    // Bounds the sends that follow to ms (negative or 0: no limit); set only when it changes.
    void SetSendTimeout(int ms);
    void Reset(bool keepLocal = false);

    bool Allocated() const { return allocated_; }
    TIdStackSocketHandle Handle() const { return socket_; }
    const std::string& PeerIP() const { return peerIP_; }
    int PeerPort() const { return peerPort_; }

    std::string IP;
    int Port = 0;
    int ClientPortMin = 0;
    int ClientPortMax = 0;

private:
    bool TryBind(int port);

    TIdStackSocketHandle socket_ = Id_INVALID_SOCKET;
    bool allocated_ = false;
    std::string peerIP_;
    int peerPort_ = 0;
    int sendTimeout_ = 0;
};

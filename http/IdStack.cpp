#include "http/IdStack.h"

#include "support/Text.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

std::unique_ptr<TIdStack>& SharedStack() {
    static std::unique_ptr<TIdStack> stack;
    return stack;
}

// A decimal number of at most ten digits; anything else does not read as one.
bool ReadNumber(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 10)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

struct ErrorEntry {
    int number;
    const char* text;
};

const ErrorEntry ErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

} // namespace

TIdStack& TIdStack::Shared() {
    if (!SharedStack())
        throw EIdStackError("No socket services: no network object exists.");
    return *SharedStack();
}

void TIdStack::CreateShared() {
    if (!SharedStack())
        SharedStack() = CreatePlatformStack();
}

void TIdStack::FreeShared() {
    SharedStack().reset();
}

namespace {

// What a lookup on its own thread leaves for the caller, who may have stopped waiting.
struct TLookUpResult {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false, found = false;
    std::vector<std::string> addresses;
    int error = 0;
};

} // namespace

std::string TIdStack::ResolveHost(const std::string& host, int ms) {
    if (SameText(host, "LOCALHOST"))
        return "127.0.0.1";
    if (IsIP(host))
        return host;
    const TLookUp lookUp = LookUpFunction ? LookUpFunction : IdPlatformLookUp;
    std::vector<std::string> addresses;
    int error = IdError::HostNotFound;
    if (ms < 0) {
        if (!lookUp(host, addresses, error) || addresses.empty())
            RaiseSocketError(error ? error : IdError::HostNotFound);
        return addresses.front();
    }
    // The system's lookup has no limit of its own. Its thread is left to end by itself when
    // it outlasts the wait; it holds nothing of ours but the shared result.
    auto result = std::make_shared<TLookUpResult>();
    std::thread([result, host, lookUp] {
        std::vector<std::string> found;
        int failure = 0;
        const bool ok = lookUp(host, found, failure);
        std::lock_guard<std::mutex> guard(result->lock);
        result->found = ok && !found.empty();
        result->addresses = std::move(found);
        result->error = failure ? failure : IdError::HostNotFound;
        result->finished = true;
        result->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> guard(result->lock);
    if (!result->done.wait_for(guard, std::chrono::milliseconds(ms),
                               [&] { return result->finished; }))
        RaiseSocketError(IdError::TimedOut);
    if (!result->found)
        RaiseSocketError(result->error);
    return result->addresses.front();
}

bool TIdStack::TryTextToAddress(const std::string& text, TIdIPv4Bytes& address) {
    std::string parts[4];
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        std::size_t dot = text.find('.', start);
        if (dot == std::string::npos) {
            parts[i] = text.substr(start);
            start = text.size();
            break;
        }
        parts[i] = text.substr(start, dot - start);
        start = dot + 1;
    }
    if (start < text.size())
        parts[3] = text.substr(start);

    std::uint64_t n[4] = {};
    auto read = [&](int i, std::uint64_t max) { return ReadNumber(parts[i], n[i]) && n[i] <= max; };
    if (parts[1].empty()) {
        if (!read(0, 0xFFFFFFFFu))
            return false;
        address = {std::uint8_t(n[0] >> 24), std::uint8_t(n[0] >> 16), std::uint8_t(n[0] >> 8),
                   std::uint8_t(n[0])};
    } else if (parts[2].empty()) {
        if (!read(0, 255) || !read(1, 0xFFFFFF))
            return false;
        address = {std::uint8_t(n[0]), std::uint8_t(n[1] >> 16), std::uint8_t(n[1] >> 8),
                   std::uint8_t(n[1])};
    } else if (parts[3].empty()) {
        if (!read(0, 255) || !read(1, 255) || !read(2, 0xFFFF))
            return false;
        address = {std::uint8_t(n[0]), std::uint8_t(n[1]), std::uint8_t(n[2] >> 8),
                   std::uint8_t(n[2])};
    } else {
        for (int i = 0; i < 4; ++i)
            if (!read(i, 255))
                return false;
        address = {std::uint8_t(n[0]), std::uint8_t(n[1]), std::uint8_t(n[2]), std::uint8_t(n[3])};
    }
    return true;
}

bool TIdStack::IsIP(const std::string& text) {
    TIdIPv4Bytes ignored;
    return TryTextToAddress(text, ignored);
}

TIdIPv4Bytes TIdStack::TextToAddress(const std::string& text) {
    TIdIPv4Bytes address;
    if (!TryTextToAddress(text, address))
        throw EIdInvalidIPAddress(text + " is not a valid IP address.");
    return address;
}

std::string TIdStack::AddressToText(const TIdIPv4Bytes& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

bool TIdStack::CheckSocketResult(int result, std::initializer_list<int> tolerated) {
    if (result != Id_SOCKET_ERROR)
        return false;
    lastError_ = LastPlatformError();
    for (int t : tolerated)
        if (t == lastError_)
            return true;
    RaiseSocketError(lastError_);
}

void TIdStack::RaiseSocketError(int error) {
    lastError_ = error;
    throw EIdSocketError(error, ErrorText(error));
}

std::string TIdStack::ErrorText(int error) {
    const char* text = "";
    for (const ErrorEntry& e : ErrorTexts)
        if (e.number == error)
            text = e.text;
    return "Socket Error # " + std::to_string(error) + "\r\n" + text;
}

std::string TIdStack::HostByName(const std::string& name) {
    std::vector<std::string> addresses;
    if (!LookUp(name, addresses) || addresses.empty())
        CheckSocketResult(Id_SOCKET_ERROR);
    return addresses.front();
}

std::vector<std::string> TIdStack::LocalAddresses() {
    std::vector<std::string> addresses;
    if (!LookUp(HostName(), addresses))
        CheckSocketResult(Id_SOCKET_ERROR);
    return addresses;
}

std::string TIdStack::LocalAddress() {
    std::vector<std::string> all = LocalAddresses();
    return all.empty() ? std::string() : all.front();
}

int TIdStack::Select(TIdSocketList* read, TIdSocketList* write, TIdSocketList* except, int ms) {
    for (TIdSocketList* list : {read, write, except})
        if (list && list->size() > IdSelectSetSize)
            throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    return PlatformSelect(read, write, except, ms < 0 ? -1 : ms);
}

TIdSocketHandle::~TIdSocketHandle() {
    CloseSocket();
}

void TIdSocketHandle::AllocateSocket(int type, int protocol) {
    CloseSocket();
    socket_ = TIdStack::Shared().CreateSocket(type, protocol);
    allocated_ = true;
    sendTimeout_ = 0;
}

void TIdSocketHandle::CloseSocket() {
    if (!allocated_)
        return;
    allocated_ = false;
    TIdStack& stack = TIdStack::Shared();
    stack.Shutdown(socket_, 1);
    stack.CloseSocket(socket_);
    socket_ = Id_INVALID_SOCKET;
}

bool TIdSocketHandle::TryBind(int port) {
    TIdStack& stack = TIdStack::Shared();
    if (stack.Bind(socket_, Id_PF_INET, IP, port) != Id_SOCKET_ERROR) {
        stack.SockName(socket_, IP, Port);
        return true;
    }
    stack.CheckSocketResult(Id_SOCKET_ERROR, {IdError::AddrInUse});
    return false;
}

void TIdSocketHandle::Bind() {
    if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
        if (!TryBind(Port))
            throw EIdCouldNotBindSocket(
                "Could not bind socket. Address and port are already in use.");
        return;
    }
    // Built piece by piece: GCC 12 misreads "(" + std::to_string(...) as an overlapping copy.
    std::string range("(");
    range.append(std::to_string(ClientPortMin)).append(" - ");
    range.append(std::to_string(ClientPortMax)).append(")");
    if (ClientPortMax < ClientPortMin)
        throw EIdInvalidPortRange("Invalid Port Range " + range);
    for (int port = ClientPortMax; port >= ClientPortMin; --port)
        if (TryBind(port))
            return;
    throw EIdCanNotBindPortInRange("Can not bind in port range " + range);
}

void TIdSocketHandle::SetPeer(const std::string& ip, int port) {
    peerIP_ = ip;
    peerPort_ = port;
}

int TIdSocketHandle::ConnectPeer(int family, int timeout) {
    TIdStack& stack = TIdStack::Shared();
    int result = stack.Connect(socket_, family, peerIP_, peerPort_, timeout);
    if (result != Id_SOCKET_ERROR) {
        stack.SockName(socket_, IP, Port);
        stack.PeerName(socket_, peerIP_, peerPort_);
    }
    return result;
}

int TIdSocketHandle::Receive(void* buffer, int count) {
    return TIdStack::Shared().Recv(socket_, buffer, count, 0);
}

int TIdSocketHandle::Send(const void* buffer, int count) {
    return TIdStack::Shared().Send(socket_, buffer, count, 0);
}

void TIdSocketHandle::SetSockOpt(int level, int option, const void* value, int length) {
    TIdStack& stack = TIdStack::Shared();
    stack.CheckSocketResult(stack.SetSockOpt(socket_, level, option, value, length));
}

bool TIdSocketHandle::WaitWritable(int ms) {
    if (!allocated_)
        throw EIdConnClosedGracefully();
    TIdSocketList write{socket_};
    return TIdStack::Shared().Select(nullptr, &write, nullptr, ms) == 1;
}

void TIdSocketHandle::SetSendTimeout(int ms) {
    ms = std::max(ms, 0);
    if (ms == sendTimeout_)
        return;
    TIdStack& stack = TIdStack::Shared();
    stack.CheckSocketResult(stack.SetSendTimeout(socket_, ms));
    sendTimeout_ = ms;
}

bool TIdSocketHandle::WaitReadable(int ms) {
    if (!allocated_)
        throw EIdConnClosedGracefully();
    // While a body streams in, bytes are nearly always waiting: asking for the count is far
    // cheaper than a wait, which Wine makes cost more than the receive itself.
    if (TIdStack::Shared().BytesAvailable(socket_) > 0)
        return true;
    TIdSocketList read{socket_};
    return TIdStack::Shared().Select(&read, nullptr, nullptr, ms) == 1;
}

void TIdSocketHandle::Reset(bool keepLocal) {
    // A socket still open is closed rather than lost.
    CloseSocket();
    allocated_ = false;
    socket_ = Id_INVALID_SOCKET;
    peerIP_.clear();
    peerPort_ = 0;
    sendTimeout_ = 0;
    if (!keepLocal) {
        IP.clear();
        Port = 0;
    }
}

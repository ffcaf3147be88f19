#pragma once
// The buffered TCP connection under the HTTP exchange: lines, exact counts and bodies read
// through an input buffer, writes collected in a write buffer, the peer's close noticed, and
// progress reported as work. All operations block on the caller's thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http/IdComponent.h"
#include "http/IdStack.h"
#include "support/Stream.h"

// Limits and sizes of a connection.
constexpr int IdDefaultRecvBufferSize = 32768;
// What the launcher's client and httpget ask for per receive: under Wine each receive costs a
// round trip to the server process, so fewer, larger ones reach the socket's own speed.
constexpr int IdLargeRecvBufferSize = 256 << 10;
constexpr int IdDefaultSendBufferSize = 32768;
constexpr int IdDefaultMaxLineLength = 16384;
// The most a counted read reserves in its target ahead of the data: a large announced count
// must not turn into a large allocation before any byte has arrived.
constexpr std::int64_t IdMaxReserveAhead = 256 << 20;
// The input buffer moves its bytes to the front once this many consumed bytes lie before them.
constexpr std::size_t IdManagedBufferCompactAt = 32768;

// A growable byte block: appended at the end, consumed from the front.
class TIdSimpleBuffer {
public:
    TIdSimpleBuffer() = default;
    virtual ~TIdSimpleBuffer() = default;
    TIdSimpleBuffer(const TIdSimpleBuffer&) = delete;
    TIdSimpleBuffer& operator=(const TIdSimpleBuffer&) = delete;

    std::size_t Size() const { return end_ - begin_; }
    const char* Data() const { return data_.get() + begin_; }

    void Append(const void* bytes, std::size_t n);
    // Room for n more bytes at the end, to be filled and then taken in with CommitAppend.
    char* PrepareAppend(std::size_t n);
    void CommitAppend(std::size_t n);

    // The first n bytes as text, then Remove(n).
    std::string Extract(std::size_t n);
    // Raises EIdNotEnoughDataInBuffer "Not enough data in buffer." when n exceeds the size;
    // fires OnBytesRemoved(n) afterwards.
    void Remove(std::size_t n);
    // Empties the block; fires nothing.
    void Clear();

    std::function<void(std::size_t)> OnBytesRemoved;

protected:
    explicit TIdSimpleBuffer(std::size_t compactAt) : compactAt_(compactAt) {}

private:
    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0, begin_ = 0, end_ = 0;
    std::size_t compactAt_ = 1; // a plain buffer moves its bytes on every removal
};

// The input buffer: consumes by moving an offset and compacts now and then.
class TIdManagedBuffer : public TIdSimpleBuffer {
public:
    TIdManagedBuffer() : TIdSimpleBuffer(IdManagedBufferCompactAt) {}
};

// The address a client's host name gave, kept across the transports the client makes.
struct TIdKnownAddress {
    std::string Host, Address;
};

// The transport of a connection.
class TIdIOHandler : public TIdComponent {
public:
    // Where the address of the host is kept between connections, when the owner keeps it.
    TIdKnownAddress* KnownAddress = nullptr;

    virtual void AfterAccept() {}
    virtual void Close() { active_ = false; }
    virtual void ConnectTo(const std::string& host, int port, const std::string& boundIP,
                           int boundPort, int boundPortMin, int boundPortMax, int timeout);
    virtual bool Connected() { return active_; }
    virtual void Open() { active_ = true; }
    // Whether bytes (or the peer's close) can be received within ms milliseconds.
    virtual bool WaitReadable(int ms) = 0;
    // Whether there is room to send within ms; the sends that follow end within the same ms.
    virtual bool WaitWritable(int) { return true; }
    // A byte count, 0 when the peer closed, or -1 for an error (see the stack's last error).
    virtual int Receive(void* buffer, int count) = 0;
    virtual int Send(const void* buffer, int count) = 0;

private:
    bool active_ = false;
};

// Plain TCP over one socket. A host name is looked up within the connect's time-out; with a
// KnownAddress its address serves every later connection to it until a connect to that address
// fails: the requests of one check all reach the same server, even behind a name with several
// addresses.
class TIdIOHandlerSocket : public TIdIOHandler {
public:
    void Close() override;
    void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort,
                   int boundPortMin, int boundPortMax, int timeout) override;
    bool Connected() override;
    void Open() override;
    bool WaitReadable(int ms) override;
    bool WaitWritable(int ms) override;
    // Raise EIdClosedSocket "Disconnected." when not connected. A send ends by the limit of
    // the last WaitWritable, raising EIdWriteTimeout when the peer took nothing in time.
    int Receive(void* buffer, int count) override;
    int Send(const void* buffer, int count) override;

    TIdSocketHandle* Binding() { return binding_.get(); }
    bool UseNagle = true;

private:
    std::unique_ptr<TIdSocketHandle> binding_;
    std::optional<std::chrono::steady_clock::time_point> sendEnd_;
};

enum TIdMaxLineAction { maException = 0, maSplit = 1 };

class TIdTCPConnection : public TIdComponent {
public:
    TIdTCPConnection();
    ~TIdTCPConnection() override;

    // Notifications and operations, in slot order.
    virtual void DoOnDisconnected();
    virtual void ResetInput();
    virtual void CheckDisconnected(bool raiseIfClosed = true, bool ignoreBuffer = false);
    virtual void ProbeClosed(bool raiseIfClosed = true);
    virtual bool Connected();
    virtual void Disconnect();
    virtual void CloseTransport();
    // Receives once into the input buffer: the bytes added, 0 when the peer closed, -1 on a
    // time-out that does not raise.
    virtual int FillInputBuffer(bool raiseIfClosed = true, int timeout = IdTimeoutDefault,
                                bool raiseOnTimeout = true);
    virtual std::string ReadLine(const std::string& terminator = "\n",
                                 int timeout = IdTimeoutDefault, int maxLength = -1);
    virtual void Write(const std::string& text);
    virtual void WriteLine(const std::string& text = "");
    // Sends the stream from its position (or its start) to its end, or size bytes of it.
    // withCount is accepted for the interface's sake; no count is ever sent.
    virtual void WriteStream(TStream& stream, bool fromStart = true, bool withCount = false,
                             std::int64_t size = 0);

    void ReadBytes(void* buffer, std::size_t count);
    // Reads count bytes, or with untilClose everything up to the peer's close, into the stream.
    // Bytes received before a failure stay in the stream.
    void ReadToStream(TStream& stream, std::int64_t count = -1, bool untilClose = false);
    void WriteBytes(const void* buffer, std::size_t count, bool writeNow = false);

    void OpenWriteBuffer(int threshold = -1);
    void CloseWriteBuffer();
    void FlushWriteBuffer(std::int64_t count = -1);
    void ClearWriteBuffer();
    bool WriteBuffering() const { return writeBuffer_ != nullptr; }

    // A transport the caller keeps (for example an in-memory one); Connect makes a socket
    // transport of its own when none is set.
    void SetIOHandler(TIdIOHandler* handler);
    TIdIOHandler* IOHandler() const { return ioHandler_; }

    TIdManagedBuffer InputBuffer;
    bool PeerClosed = false;
    bool LineSplit = false;
    bool LineTimedOut = false;
    int ReadTimeout = 0;
    // When set, no connect or wait goes past this moment: a per-wait time-out alone never ends
    // a peer that trickles a byte now and then. Past it, a read raises EIdReadTimeout.
    std::optional<std::chrono::steady_clock::time_point> Deadline;
    int RecvBufferSize = IdDefaultRecvBufferSize;
    int SendBufferSize = IdDefaultSendBufferSize;
    int MaxLineLength = IdDefaultMaxLineLength;
    TIdMaxLineAction MaxLineAction = maException;
    std::function<void(TIdComponent* sender)> OnDisconnected;

protected:
    // IdTimeoutDefault becomes ReadTimeout, or no limit when that is 0; then BoundByDeadline.
    int ResolveTimeout(int timeout) const;
    // A wait of timeout ms (negative: none) cut to what is left before Deadline; raises
    // EIdReadTimeout when nothing is left.
    int BoundByDeadline(int timeout) const;

    TIdIOHandler* ioHandler_ = nullptr;
    std::unique_ptr<TIdIOHandler> ownedIOHandler_;

private:
    void SendNow(const char* bytes, std::size_t count);

    std::unique_ptr<TIdSimpleBuffer> writeBuffer_;
    int writeThreshold_ = 0;
};

class TIdTCPClient : public TIdTCPConnection {
public:
    virtual void SetHost(const std::string& host) { Host = host; }
    virtual void SetPort(int port) { Port = port; }
    virtual void DoOnConnected();
    // Opens a connection to Host:Port; raises EIdAlreadyConnected when connected, and closes the
    // socket again before any failure propagates.
    virtual void Connect(int timeout = IdTimeoutDefault);

    std::string Host;
    int Port = 0;
    std::string BoundIP;
    int BoundPort = 0;
    int BoundPortMin = 0;
    int BoundPortMax = 0;
    std::function<void(TIdComponent* sender)> OnConnected;

protected:
    // The transport Connect makes when none is set: plain TCP here.
    virtual std::unique_ptr<TIdIOHandler> MakeIOHandler();

private:
    TIdKnownAddress knownAddress_;
};

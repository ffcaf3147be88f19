#include "http/IdTCPConnection.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>

// ---- buffers ----

char* TIdSimpleBuffer::PrepareAppend(std::size_t n) {
    if (capacity_ - end_ >= n)
        return data_.get() + end_;
    std::size_t size = Size();
    if (n > std::numeric_limits<std::size_t>::max() / 2 - size)
        throw std::length_error("buffer size out of range");
    std::size_t wanted = std::max(size + n, capacity_ * 2);
    if (begin_ > 0 && capacity_ >= size + n) {
        // Enough room once the consumed prefix is dropped.
        std::memmove(data_.get(), data_.get() + begin_, size);
    } else {
        auto grown = std::make_unique_for_overwrite<char[]>(wanted);
        if (size > 0)
            std::memcpy(grown.get(), data_.get() + begin_, size);
        data_ = std::move(grown);
        capacity_ = wanted;
    }
    begin_ = 0;
    end_ = size;
    return data_.get() + end_;
}

void TIdSimpleBuffer::CommitAppend(std::size_t n) {
    end_ += std::min(n, capacity_ - end_);
}

void TIdSimpleBuffer::Append(const void* bytes, std::size_t n) {
    if (n == 0)
        return;
    std::memcpy(PrepareAppend(n), bytes, n);
    end_ += n;
}

std::string TIdSimpleBuffer::Extract(std::size_t n) {
    if (n > Size())
        throw EIdNotEnoughDataInBuffer("Not enough data in buffer.");
    std::string out(Data(), n);
    Remove(n);
    return out;
}

void TIdSimpleBuffer::Remove(std::size_t n) {
    if (n > Size())
        throw EIdNotEnoughDataInBuffer("Not enough data in buffer.");
    if (n == Size()) {
        begin_ = end_ = 0;
    } else {
        begin_ += n;
        if (begin_ >= compactAt_) {
            std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
    }
    if (OnBytesRemoved)
        OnBytesRemoved(n);
}

void TIdSimpleBuffer::Clear() {
    begin_ = end_ = 0;
}

// ---- transports ----

void TIdIOHandler::ConnectTo(const std::string&, int, const std::string&, int, int, int, int) {}

void TIdIOHandlerSocket::Open() {
    TIdIOHandler::Open();
    if (binding_)
        binding_->Reset();
    else
        binding_ = std::make_unique<TIdSocketHandle>();
}

void TIdIOHandlerSocket::Close() {
    TIdIOHandler::Close();
    if (binding_)
        binding_->CloseSocket();
}

bool TIdIOHandlerSocket::Connected() {
    return binding_ && binding_->Allocated();
}

void TIdIOHandlerSocket::ConnectTo(const std::string& host, int port, const std::string& boundIP,
                                   int boundPort, int boundPortMin, int boundPortMax, int timeout) {
    TIdStack& stack = TIdStack::Shared();
    if (!binding_)
        binding_ = std::make_unique<TIdSocketHandle>();
    binding_->AllocateSocket(Id_SOCK_STREAM, 0);
    binding_->IP = boundIP;
    binding_->Port = boundPort;
    binding_->ClientPortMin = boundPortMin;
    binding_->ClientPortMax = boundPortMax;
    binding_->Bind();
    // A positive time-out bounds the lookup and the connect together (a resolver that never
    // answers, a peer that never completes the hand-shake); otherwise the system's own limits
    // apply.
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(std::max(timeout, 0));
    std::string address =
        KnownAddress && KnownAddress->Host == host ? KnownAddress->Address : std::string();
    if (address.empty()) {
        if (!TIdStack::IsIP(host))
            ReportStatus(stResolving, {host});
        address = stack.ResolveHost(host, timeout > 0 ? timeout : IdTimeoutInfinite);
    }
    binding_->SetPeer(address, port);
    std::int32_t noDelay = UseNagle ? 0 : 1;
    binding_->SetSockOpt(stack.TcpLevel(), stack.TcpNoDelayOption(), &noDelay, sizeof noDelay);
    ReportStatus(stConnecting, {binding_->PeerIP()});
    int left = 0;
    if (timeout > 0) {
        left = static_cast<int>(ceil<milliseconds>(end - steady_clock::now()).count());
        if (left <= 0)
            stack.RaiseSocketError(IdError::TimedOut);
    }
    if (KnownAddress)
        KnownAddress->Host.clear();
    stack.CheckSocketResult(binding_->ConnectPeer(Id_PF_INET, left));
    if (KnownAddress)
        *KnownAddress = {host, address};
}

bool TIdIOHandlerSocket::WaitReadable(int ms) {
    if (!binding_)
        throw EIdConnClosedGracefully();
    // Even without a limit the wait comes first: it returns at once when bytes are waiting, and
    // under Wine a receive that has to wait for its bytes is far slower than a wait and then a
    // receive that finds them.
    return binding_->WaitReadable(ms);
}

int TIdIOHandlerSocket::Receive(void* buffer, int count) {
    if (!Connected())
        throw EIdClosedSocket("Disconnected.");
    return binding_->Receive(buffer, count);
}

bool TIdIOHandlerSocket::WaitWritable(int ms) {
    if (!binding_)
        throw EIdConnClosedGracefully();
    using namespace std::chrono;
    sendEnd_.reset();
    if (ms >= 0)
        sendEnd_ = steady_clock::now() + milliseconds(ms);
    return binding_->WaitWritable(ms);
}

int TIdIOHandlerSocket::Send(const void* buffer, int count) {
    if (!Connected())
        throw EIdClosedSocket("Disconnected.");
    // Room to send is not room for all of it: the system's own limit ends a send that the
    // peer stops taking half-way.
    if (sendEnd_) {
        using namespace std::chrono;
        const auto left = ceil<milliseconds>(*sendEnd_ - steady_clock::now()).count();
        if (left <= 0)
            throw EIdWriteTimeout("Write Timeout");
        binding_->SetSendTimeout(static_cast<int>(std::min<long long>(left, INT_MAX)));
    } else {
        binding_->SetSendTimeout(0);
    }
    const int n = binding_->Send(buffer, count);
    if (n < 0 && sendEnd_) {
        const int error = TIdStack::Shared().LastPlatformError();
        if (error == IdError::TimedOut || error == IdError::WouldBlock)
            throw EIdWriteTimeout("Write Timeout");
    }
    return n;
}

// ---- connection ----

TIdTCPConnection::TIdTCPConnection() {
    InputBuffer.OnBytesRemoved = [this](std::size_t n) {
        WorkStep(wkRead, static_cast<std::int64_t>(n));
    };
}

TIdTCPConnection::~TIdTCPConnection() {
    // The socket goes with the connection; no events fire from a destructor.
    if (ioHandler_)
        ioHandler_->Close();
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler) {
    if (ownedIOHandler_ && ownedIOHandler_.get() != handler)
        ownedIOHandler_.reset();
    ioHandler_ = handler;
}

int TIdTCPConnection::ResolveTimeout(int timeout) const {
    if (timeout == IdTimeoutDefault)
        timeout = ReadTimeout > 0 ? ReadTimeout : IdTimeoutInfinite;
    return BoundByDeadline(timeout);
}

int TIdTCPConnection::BoundByDeadline(int timeout) const {
    if (!Deadline)
        return timeout;
    using namespace std::chrono;
    // Rounded up, so a wait never ends just before the deadline and spins on a zero wait.
    const auto left = ceil<milliseconds>(*Deadline - steady_clock::now()).count();
    if (left <= 0)
        throw EIdReadTimeout("Read Timeout");
    if (timeout < 0 || timeout > left)
        return static_cast<int>(std::min<long long>(left, INT_MAX));
    return timeout;
}

void TIdTCPConnection::DoOnDisconnected() {
    if (OnDisconnected)
        OnDisconnected(this);
}

void TIdTCPConnection::ResetInput() {
    InputBuffer.Clear();
    PeerClosed = false;
}

void TIdTCPConnection::CheckDisconnected(bool raiseIfClosed, bool ignoreBuffer) {
    if (!ioHandler_)
        return;
    bool closed;
    if (PeerClosed && ioHandler_->Connected()) {
        CloseTransport();
        ReportStatus(stDisconnected);
        DoOnDisconnected();
        closed = true;
    } else {
        closed = !ioHandler_->Connected();
    }
    if (closed && raiseIfClosed && (InputBuffer.Size() == 0 || ignoreBuffer))
        throw EIdConnClosedGracefully();
}

void TIdTCPConnection::ProbeClosed(bool raiseIfClosed) {
    try {
        FillInputBuffer(raiseIfClosed, 1, false);
    } catch (const EIdTlsTruncated&) {
        // A TLS peer that left between answers without closing its session: nothing was cut,
        // the connection is simply gone.
        if (raiseIfClosed)
            throw;
        CloseTransport();
    }
}

bool TIdTCPConnection::Connected() {
    CheckDisconnected(false, false);
    return ioHandler_ && ioHandler_->Connected();
}

void TIdTCPConnection::CloseTransport() {
    if (ioHandler_)
        ioHandler_->Close();
}

void TIdTCPConnection::Disconnect() {
    bool wasConnected = Connected();
    if (wasConnected) {
        ReportStatus(stDisconnecting);
        CloseTransport();
    }
    if (ownedIOHandler_) {
        ownedIOHandler_.reset();
        ioHandler_ = nullptr;
    }
    if (wasConnected) {
        DoOnDisconnected();
        ReportStatus(stDisconnected);
    }
}

int TIdTCPConnection::FillInputBuffer(bool raiseIfClosed, int timeout, bool raiseOnTimeout) {
    timeout = ResolveTimeout(timeout);
    int result = 0;
    CheckDisconnected(raiseIfClosed);
    if (!Connected()) {
        if (raiseIfClosed)
            throw EIdNotConnected("Not Connected");
        return 0;
    }
    TIdStack& stack = TIdStack::Shared();
    int n;
    do {
        if (!ioHandler_->WaitReadable(timeout)) {
            if (raiseOnTimeout)
                throw EIdReadTimeout("Read Timeout");
            return -1;
        }
        const int chunk = RecvBufferSize > 0 ? RecvBufferSize : IdDefaultRecvBufferSize;
        if (!ioHandler_) {
            if (raiseIfClosed)
                throw EIdNotConnected("Not Connected");
            n = 0;
        } else {
            // The receive goes straight into the input buffer's free end: no copy on the way.
            char* into = InputBuffer.PrepareAppend(static_cast<std::size_t>(chunk));
            n = ioHandler_->Receive(into, chunk);
        }
        PeerClosed = n == 0;
        if (n == Id_SOCKET_ERROR) {
            if (stack.CheckSocketResult(n, {IdError::Shutdown, IdError::ConnAborted})) {
                n = 0;
                int error = stack.LastError();
                CloseTransport();
                if (InputBuffer.Size() == 0)
                    stack.RaiseSocketError(error);
            }
        }
        if (n > 0)
            InputBuffer.CommitAppend(static_cast<std::size_t>(n));
        CheckDisconnected(raiseIfClosed);
        result = n;
    } while (n == 0 && Connected());
    return result;
}

std::string TIdTCPConnection::ReadLine(const std::string& terminatorIn, int timeout,
                                       int maxLength) {
    const std::string terminator = terminatorIn.empty() ? std::string("\n") : terminatorIn;
    if (maxLength == -1)
        maxLength = MaxLineLength;
    const std::size_t limit = maxLength > 0 ? static_cast<std::size_t>(maxLength) : 0;
    LineSplit = false;
    LineTimedOut = false;
    std::size_t searched = 0;
    for (;;) {
        std::size_t size = InputBuffer.Size();
        std::size_t found = std::string::npos;
        if (size > 0) {
            // Back up by the terminator's length less one, so a terminator split between two
            // receives is still found; nothing else is searched twice.
            std::size_t from =
                searched >= terminator.size() - 1 ? searched - (terminator.size() - 1) : 0;
            std::string_view view(InputBuffer.Data(), size);
            found = view.find(terminator, from);
            searched = size;
        }
        bool over = limit != 0 && (found != std::string::npos ? found > limit : searched > limit);
        if (over) {
            if (MaxLineAction == maException)
                throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
            LineSplit = true;
            return InputBuffer.Extract(limit);
        }
        if (found == std::string::npos) {
            CheckDisconnected(true, true);
            if (FillInputBuffer(true, timeout, timeout == IdTimeoutDefault) == -1) {
                LineTimedOut = true;
                return {};
            }
            continue;
        }
        std::string line = InputBuffer.Extract(found + terminator.size());
        line.resize(found);
        if (terminator == "\n" && !line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
}

void TIdTCPConnection::ReadBytes(void* buffer, std::size_t count) {
    if (count == 0 || !buffer)
        return;
    while (InputBuffer.Size() < count) {
        FillInputBuffer();
        CheckDisconnected(true, true);
    }
    std::memcpy(buffer, InputBuffer.Data(), count);
    InputBuffer.Remove(count);
}

void TIdTCPConnection::ReadToStream(TStream& stream, std::int64_t count, bool untilClose) {
    if (count < 0 && !untilClose)
        return;
    if (count >= 0 && !untilClose)
        stream.Reserve(stream.Position() + std::min(count, IdMaxReserveAhead));
    std::int64_t remaining = untilClose ? std::numeric_limits<std::int64_t>::max() : count;
    WorkBegin(wkRead, untilClose ? 0 : count);

    auto finish = [&] {
        WorkEnd(wkRead);
        if (stream.Size() > stream.Position())
            stream.SetSize(stream.Position());
    };
    auto take = [&](std::size_t k) {
        stream.Write(InputBuffer.Data(), k);
        InputBuffer.Remove(k);
        remaining -= static_cast<std::int64_t>(k);
    };
    try {
        std::size_t k = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(InputBuffer.Size()), remaining));
        if (k > 0)
            take(k);
        try {
            while (remaining > 0 && Connected()) {
                // Whatever each receive brought goes to the stream at once, straight from the
                // input buffer: one copy, and a work step per receive, so a progress display
                // moves as the bytes arrive rather than once per full chunk.
                while (InputBuffer.Size() == 0) {
                    FillInputBuffer();
                    CheckDisconnected(true, true);
                }
                take(static_cast<std::size_t>(std::min<std::int64_t>(
                    static_cast<std::int64_t>(InputBuffer.Size()), remaining)));
            }
            // A counted read that found the connection already closed is as short as one that
            // met the close: it must not pass for complete.
            if (remaining > 0 && !untilClose)
                throw EIdConnClosedGracefully();
        } catch (...) {
            std::size_t left = InputBuffer.Size();
            if (left > 0) {
                stream.Write(InputBuffer.Data(), left);
                InputBuffer.Clear();
            }
            try {
                throw;
            } catch (const EIdConnClosedGracefully&) {
                if (!untilClose)
                    throw;
            }
        }
    } catch (...) {
        try {
            finish();
        } catch (...) {
        }
        throw;
    }
    finish();
}

void TIdTCPConnection::SendNow(const char* bytes, std::size_t count) {
    TIdStack& stack = TIdStack::Shared();
    std::size_t offset = 0;
    while (offset < count) {
        int piece = static_cast<int>(std::min<std::size_t>(count - offset, INT_MAX));
        int n = 0;
        try {
            // A peer that never reads must not hold a send for ever: it gets what is left of
            // the read time-out and the deadline, as a wait for its answer would.
            if (ioHandler_ && !ioHandler_->WaitWritable(ResolveTimeout(IdTimeoutDefault)))
                throw EIdWriteTimeout("Write Timeout");
            n = ioHandler_ ? ioHandler_->Send(bytes + offset, piece) : 0;
        } catch (const EIdReadTimeout&) {
            CloseTransport(); // half a request must never be taken up again
            throw;
        } catch (const EIdWriteTimeout&) {
            CloseTransport();
            throw;
        }
        PeerClosed = n == 0;
        CheckDisconnected(true, false);
        if (stack.CheckSocketResult(
                n, {IdError::Shutdown, IdError::ConnAborted, IdError::ConnReset})) {
            int error = stack.LastError();
            CloseTransport();
            stack.RaiseSocketError(error);
        }
        // A send of 0 bytes closed the transport above; the next send would only say so.
        if (n == 0 && !(ioHandler_ && ioHandler_->Connected()))
            throw EIdClosedSocket("Disconnected.");
        WorkStep(wkWrite, n);
        offset += static_cast<std::size_t>(n);
    }
}

void TIdTCPConnection::WriteBytes(const void* buffer, std::size_t count, bool writeNow) {
    if (count == 0 || !buffer)
        return;
    CheckDisconnected(true, true);
    if (!Connected())
        throw EIdNotConnected("Not Connected");
    if (writeBuffer_ && !writeNow) {
        writeBuffer_->Append(buffer, count);
        if (writeThreshold_ > 0 &&
            writeBuffer_->Size() >= static_cast<std::size_t>(writeThreshold_))
            FlushWriteBuffer(writeThreshold_);
        return;
    }
    SendNow(static_cast<const char*>(buffer), count);
}

void TIdTCPConnection::Write(const std::string& text) {
    if (!text.empty())
        WriteBytes(text.data(), text.size());
}

void TIdTCPConnection::WriteLine(const std::string& text) {
    Write(text + "\r\n");
}

void TIdTCPConnection::WriteStream(TStream& stream, bool fromStart, bool, std::int64_t size) {
    if (fromStart)
        stream.SetPosition(0);
    const std::int64_t end = size == 0 ? stream.Size() : stream.Position() + size;
    WorkBegin(wkWrite, end - stream.Position());
    try {
        const std::int64_t piece = SendBufferSize > 0 ? SendBufferSize : IdDefaultSendBufferSize;
        std::unique_ptr<char[]> chunk;
        for (;;) {
            std::int64_t n = std::min(end - stream.Position(), piece);
            if (n <= 0)
                break;
            if (!chunk)
                chunk = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(piece));
            std::size_t got = stream.Read(chunk.get(), static_cast<std::size_t>(n));
            if (got == 0)
                throw EIdNoDataToRead("No data to read.");
            WriteBytes(chunk.get(), got);
        }
    } catch (...) {
        WorkEnd(wkWrite);
        throw;
    }
    WorkEnd(wkWrite);
}

void TIdTCPConnection::OpenWriteBuffer(int threshold) {
    writeBuffer_ = std::make_unique<TIdSimpleBuffer>();
    writeThreshold_ = threshold;
}

void TIdTCPConnection::CloseWriteBuffer() {
    try {
        FlushWriteBuffer(-1);
    } catch (...) {
        writeBuffer_.reset();
        throw;
    }
    writeBuffer_.reset();
}

void TIdTCPConnection::FlushWriteBuffer(std::int64_t count) {
    if (!writeBuffer_ || writeBuffer_->Size() == 0)
        return;
    std::size_t held = writeBuffer_->Size();
    if (count < 0 || static_cast<std::uint64_t>(count) > held) {
        WriteBytes(writeBuffer_->Data(), held, true);
        writeBuffer_->Clear();
        return;
    }
    WriteBytes(writeBuffer_->Data(), static_cast<std::size_t>(count), true);
    writeBuffer_->Remove(static_cast<std::size_t>(count));
}

void TIdTCPConnection::ClearWriteBuffer() {
    if (writeBuffer_)
        writeBuffer_->Clear();
}

// ---- client ----

void TIdTCPClient::DoOnConnected() {
    if (OnConnected)
        OnConnected(this);
}

std::unique_ptr<TIdIOHandler> TIdTCPClient::MakeIOHandler() {
    return std::make_unique<TIdIOHandlerSocket>();
}

void TIdTCPClient::Connect(int timeout) {
    if (!ioHandler_) {
        auto handler = MakeIOHandler();
        handler->OnStatus = OnStatus;
        ioHandler_ = handler.get();
        ownedIOHandler_ = std::move(handler);
    } else if (ioHandler_->Connected()) {
        throw EIdAlreadyConnected("Already connected.");
    }
    ioHandler_->KnownAddress = &knownAddress_;
    try {
        ioHandler_->Open();
        ResetInput();
        ioHandler_->ConnectTo(Host, Port, BoundIP, BoundPort, BoundPortMin, BoundPortMax,
                              BoundByDeadline(timeout > 0 ? timeout : IdTimeoutInfinite));
        ReportStatus(stConnected, {Host});
        DoOnConnected();
    } catch (...) {
        CloseTransport();
        throw;
    }
}

#pragma once
// The TLS transport: the plain socket transport with a platform TLS session between the socket
// and the connection, so that lines, counts, progress, time-outs and keep-alive work over it
// unchanged. The connection sees plaintext only.

#include <chrono>
#include <memory>
#include <string>

#include "http/IdTCPConnection.h"
#include "platform/Tls.h"

// How long a whole handshake may take when the connect has no limit of its own.
constexpr int IdTlsHandshakeTimeout = 30000;
// The most a peer may send ahead of what the connection has read, in bytes of records not yet
// decrypted: a record is at most 16 KiB plus its overhead.
constexpr std::size_t IdTlsMaxPending = 64 << 10;
// The most one receive from the socket asks for.
constexpr int IdTlsReceiveSize = IdLargeRecvBufferSize;

class TIdIOHandlerTls : public TIdIOHandlerSocket {
public:
    explicit TIdIOHandlerTls(std::shared_ptr<platform::TTlsClient> client)
        : client_(std::move(client)) {}

    void Close() override;
    // Connects, then completes the handshake within the time-out (IdTlsHandshakeTimeout when
    // there is none); raises EIdTlsError when it fails or the certificate does not verify.
    // With Tunnel, only connects: the bytes stay plain until StartTls.
    void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort,
                   int boundPortMin, int boundPortMax, int timeout) override;
    // The handshake on the open connection, for a server called host: a tunnel through a
    // proxy carries TLS to a server other than the one the socket reached.
    void StartTls(const std::string& host, int timeout);
    bool WaitReadable(int ms) override;
    int Receive(void* buffer, int count) override;
    int Send(const void* buffer, int count) override;

    // The protocol and cipher suite of the current session, or empty text.
    std::string Negotiated() const;

    bool Tunnel = false;

private:
    // Receives what the socket has within ms and decrypts it; false when nothing came.
    bool Pump(int ms);
    // Sends within the limit of the last wait for room.
    void SendRaw(const std::string& bytes);
    // Waits for room within ms first.
    void SendRaw(const std::string& bytes, int ms);

    std::shared_ptr<platform::TTlsClient> client_;
    std::unique_ptr<platform::TTlsSession> session_;
    std::string raw_;   // from the socket, not yet decrypted
    std::string plain_; // decrypted, not yet received by the connection
    std::size_t taken_ = 0;
    bool closed_ = false;    // the peer's close_notify arrived
    bool truncated_ = false; // the socket ended without it
    bool starved_ = true;    // nothing in raw_ can be decrypted before more arrives
};

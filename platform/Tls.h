#pragma once
// A TLS client session from the platform (Schannel on Windows, OpenSSL's libssl on POSIX) that
// works on bytes the caller carries to and from the socket: the caller keeps its own waits,
// time-outs and deadlines, and the engine never touches the network.
//
// Verification is never optional: the chain must end at a trusted root, every certificate must
// be within its validity dates, and the host must match the server certificate's subject
// alternative names (DNS names; IP addresses for an IP host).

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The most handshake messages after the handshake (session tickets, key updates) a session
// takes in a row without application data between them; past it the peer is only keeping the
// client busy, and the session fails.
constexpr int TlsMaxPostHandshakeMessages = 32;

// The roots a server's chain may end at: PEM CA certificates, or none for the platform's own
// store.
struct TTlsTrust {
    std::vector<std::string> RootPems;
};

enum class TTlsStatus {
    Done,     // the handshake is complete / the input was used up
    WantMore, // more bytes from the peer are needed
    Closed,   // the peer ended the session properly (close_notify)
    Failed,   // see Error()
};

class TTlsSession {
public:
    virtual ~TTlsSession() = default;

    // One step of the handshake: takes what it can of in (bytes from the peer), appends what
    // must go to the peer to out. The first call has no input and produces the ClientHello.
    virtual TTlsStatus Handshake(std::string& in, std::string& out) = 0;
    // Appends the records that carry plain to out.
    virtual bool Encrypt(std::string_view plain, std::string& out) = 0;
    // Takes the whole records in in holds and appends their plaintext to plain; anything the
    // peer must be answered (a key update) is appended to out. WantMore when a record is still
    // incomplete and nothing came out; Closed once the peer's close_notify arrived.
    virtual TTlsStatus Decrypt(std::string& in, std::string& plain, std::string& out) = 0;

    // Why the last call failed.
    virtual std::string Error() const = 0;
    // The protocol version and cipher suite negotiated, for diagnostics.
    virtual std::string Negotiated() const = 0;
};

// What the sessions of one HTTP client share: the trust, the platform's credentials, and the
// sessions a server may resume, so that a connection after the first skips most of the
// handshake. A session is offered only to the server name it was made with, whose certificate
// was verified then.
class TTlsClient {
public:
    virtual ~TTlsClient() = default;
    // A session for a server called host (a DNS name or an IPv4 literal); none when the
    // platform has no TLS (the library cannot be loaded), with why in error.
    virtual std::unique_ptr<TTlsSession> NewSession(const std::string& host,
                                                    std::string& error) = 0;
};

std::unique_ptr<TTlsClient> NewTlsClient(const TTlsTrust& trust);

} // namespace platform

namespace platform {

// Whether a certificate with these subject alternative names belongs to host: an IPv4 host
// matches only its own address, a DNS host a name equal to it (letter case aside) or a
// wildcard that stands for exactly its first label ("*.example.com", never "*.com").
bool CertificateNamesMatch(const std::string& host, const std::vector<std::string>& dnsNames,
                           const std::vector<std::string>& ipAddresses);

// Appends to dns the DNS names of a subject alternative name extension, from the extension's
// value (DER GeneralNames), each exactly as encoded: a NUL inside one stays there, for the
// caller to refuse, where a decoder that hands out C strings would cut the name at it. False
// when the value is not one DER sequence of names (dns may then hold some of them).
bool SubjectAltDnsNames(std::string_view der, std::vector<std::string>& dns);

} // namespace platform

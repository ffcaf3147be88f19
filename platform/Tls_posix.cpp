// TLS from OpenSSL's libssl over memory buffers: the transport carries the bytes.

#include "platform/Tls.h"

#include "platform/UniqueHandle.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <vector>

namespace platform {

namespace {

struct SslContextTraits {
    using Handle = SSL_CTX*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { SSL_CTX_free(h); }
};
struct SslTraits {
    using Handle = SSL*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { SSL_free(h); }
};
struct BioTraits {
    using Handle = BIO*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { BIO_free(h); }
};
struct X509Traits {
    using Handle = X509*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { X509_free(h); }
};
struct SessionTraits {
    using Handle = SSL_SESSION*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { SSL_SESSION_free(h); }
};

class TOpenSslClient;

// The library's reason for the last failure, and its queue emptied for the next call.
std::string LibraryError(const char* what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

bool IsIPv4(const std::string& host) {
    in_addr address;
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1;
}

std::string Der(X509* cert) {
    unsigned char* bytes = nullptr;
    const int size = i2d_X509(cert, &bytes);
    if (size <= 0)
        return {};
    std::string der(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
    OPENSSL_free(bytes);
    return der;
}

// The subject alternative names of a certificate: DNS names and IPv4 addresses.
void AlternativeNames(X509* cert, std::vector<std::string>& dns, std::vector<std::string>& ips) {
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (!names)
        return;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            const ASN1_STRING* text = name->d.dNSName;
            std::string value(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                              static_cast<std::size_t>(ASN1_STRING_length(text)));
            // A name with a NUL in it would match as a shorter one.
            if (value.find('\0') == std::string::npos)
                dns.push_back(value);
        } else if (name->type == GEN_IPADD && ASN1_STRING_length(name->d.iPAddress) == 4) {
            const unsigned char* b = ASN1_STRING_get0_data(name->d.iPAddress);
            ips.push_back(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                          std::to_string(b[2]) + "." + std::to_string(b[3]));
        }
    }
    GENERAL_NAMES_free(names);
}

class TOpenSslSession : public TTlsSession {
public:
    // pinned: the embedded roots' DER, which the chain's top must equal; empty for the store.
    explicit TOpenSslSession(const std::vector<std::string>& pinned) : pinned_(pinned) {}

    bool Open(SSL_CTX* context, SSL_SESSION* resumable, const std::string& host,
              std::string& error) {
        ssl_.Reset(SSL_new(context));
        if (!ssl_)
            return Fail(error, "no TLS session");
        // The session owns both buffers once they are set.
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (!in || !out) {
            BIO_free(in);
            BIO_free(out);
            return Fail(error, "no TLS buffers");
        }
        SSL_set_bio(ssl_.Get(), in, out);
        in_ = in;
        out_ = out;
        // Names are checked after the handshake by the rules every platform shares (subject
        // alternative names only, a trailing dot ignored); the server is told the bare name.
        std::string bare = host;
        if (!bare.empty() && bare.back() == '.')
            bare.pop_back();
        if (!IsIPv4(host) && SSL_set_tlsext_host_name(ssl_.Get(), bare.c_str()) != 1)
            return Fail(error, "the host cannot be named");
        SSL_set_msg_callback(ssl_.Get(), CountPostHandshake);
        SSL_set_msg_callback_arg(ssl_.Get(), this);
        SSL_set_connect_state(ssl_.Get());
        // The hand-over of a session the server may resume; its certificate is checked anyway.
        host_ = host;
        SSL_set_app_data(ssl_.Get(), host_.data());
        if (resumable)
            SSL_set_session(ssl_.Get(), resumable);
        return true;
    }

    TTlsStatus Handshake(std::string& in, std::string& out) override {
        if (!Feed(in))
            return Failed("the peer's bytes could not be taken");
        const int result = SSL_do_handshake(ssl_.Get());
        Drain(out);
        if (result == 1) {
            established_ = true;
            return VerifyServer() ? TTlsStatus::Done : TTlsStatus::Failed;
        }
        if (SSL_get_error(ssl_.Get(), result) == SSL_ERROR_WANT_READ)
            return TTlsStatus::WantMore;
        const long verified = SSL_get_verify_result(ssl_.Get());
        if (verified != X509_V_OK) {
            ERR_clear_error();
            return Failed(std::string("certificate: ") + X509_verify_cert_error_string(verified));
        }
        return Failed(LibraryError("handshake"));
    }

    bool Encrypt(std::string_view plain, std::string& out) override {
        while (!plain.empty()) {
            const int piece = static_cast<int>(std::min<std::size_t>(plain.size(), 1 << 14));
            const int written = SSL_write(ssl_.Get(), plain.data(), piece);
            if (written <= 0) {
                error_ = LibraryError("write");
                return false;
            }
            plain.remove_prefix(static_cast<std::size_t>(written));
        }
        Drain(out);
        return true;
    }

    TTlsStatus Decrypt(std::string& in, std::string& plain, std::string& out) override {
        if (!Feed(in))
            return Failed("the peer's bytes could not be taken");
        const std::size_t before = plain.size();
        char chunk[1 << 14];
        for (;;) {
            const int got = SSL_read(ssl_.Get(), chunk, sizeof chunk);
            if (postHandshake_ > TlsMaxPostHandshakeMessages)
                return Failed("too many post-handshake messages");
            if (got > 0) {
                plain.append(chunk, static_cast<std::size_t>(got));
                postHandshake_ = 0;
                continue;
            }
            const int reason = SSL_get_error(ssl_.Get(), got);
            Drain(out);
            if (reason == SSL_ERROR_WANT_READ)
                return plain.size() > before ? TTlsStatus::Done : TTlsStatus::WantMore;
            if (reason == SSL_ERROR_ZERO_RETURN)
                return TTlsStatus::Closed;
            return Failed(LibraryError("read"));
        }
    }

    std::string Error() const override { return error_; }

    std::string Negotiated() const override {
        return std::string(SSL_get_version(ssl_.Get())) + " " +
               SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_.Get()));
    }

private:
    static void CountPostHandshake(int written, int, int type, const void*, std::size_t, SSL*,
                                   void* self) {
        auto* session = static_cast<TOpenSslSession*>(self);
        if (!written && type == SSL3_RT_HANDSHAKE && session->established_)
            ++session->postHandshake_;
    }

    // The chain verified; now the name, and with pinned roots the chain's top byte for byte.
    bool VerifyServer() {
        UniqueHandle<X509Traits> leaf(SSL_get1_peer_certificate(ssl_.Get()));
        if (!leaf) {
            error_ = "the server sent no certificate";
            return false;
        }
        std::vector<std::string> dns, ips;
        AlternativeNames(leaf.Get(), dns, ips);
        if (!CertificateNamesMatch(host_, dns, ips)) {
            error_ = "certificate: the host name does not match";
            return false;
        }
        // A resumed session's chain was checked when it was made, for this same name.
        if (pinned_.empty() || SSL_session_reused(ssl_.Get()))
            return true;
        STACK_OF(X509)* chain = SSL_get0_verified_chain(ssl_.Get());
        const int count = chain ? sk_X509_num(chain) : 0;
        X509* top = count > 0 ? sk_X509_value(chain, count - 1) : nullptr;
        const std::string der = top ? Der(top) : std::string();
        if (der.empty() || std::find(pinned_.begin(), pinned_.end(), der) == pinned_.end() ||
            X509_check_issued(top, top) != X509_V_OK) {
            error_ = "certificate: the chain does not end at a pinned root";
            return false;
        }
        return true;
    }

    bool Feed(std::string& in) {
        if (in.empty())
            return true;
        const int fed = BIO_write(in_, in.data(), static_cast<int>(in.size()));
        if (fed != static_cast<int>(in.size()))
            return false;
        in.clear();
        return true;
    }

    void Drain(std::string& out) {
        char chunk[1 << 14];
        int got;
        while ((got = BIO_read(out_, chunk, sizeof chunk)) > 0)
            out.append(chunk, static_cast<std::size_t>(got));
    }

    TTlsStatus Failed(std::string why) {
        error_ = std::move(why);
        return TTlsStatus::Failed;
    }

    static bool Fail(std::string& error, const char* what) {
        error = LibraryError(what);
        return false;
    }

    const std::vector<std::string>& pinned_;
    bool established_ = false;
    int postHandshake_ = 0; // in a row, without data between them
    std::string host_;      // the key of the sessions this one hands back; outlives ssl_
    UniqueHandle<SslTraits> ssl_;
    BIO* in_ = nullptr;  // owned by ssl_
    BIO* out_ = nullptr; // owned by ssl_
    std::string error_;
};

// One context for all sessions, and the last session each server issued, for resumption.
class TOpenSslClient : public TTlsClient {
public:
    explicit TOpenSslClient(const TTlsTrust& trust) {
        context_.Reset(SSL_CTX_new(TLS_client_method()));
        if (!context_) {
            error_ = LibraryError("no TLS context");
            return;
        }
        SSL_CTX* context = context_.Get();
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        // A renegotiation mid-body would be a second handshake nobody checks the same way.
        SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        if (trust.RootPems.empty() ? SSL_CTX_set_default_verify_paths(context) != 1
                                   : !AddRoots(trust.RootPems)) {
            error_ = LibraryError("the trusted roots cannot be loaded");
            context_.Reset();
            return;
        }
        // Sessions are kept here, by server name, as the server issues them (TLS 1.3 sends
        // its tickets after the handshake).
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
        SSL_CTX_set_app_data(context, this);
        SSL_CTX_sess_set_new_cb(context, [](SSL* ssl, SSL_SESSION* session) {
            auto* self = static_cast<TOpenSslClient*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
            self->sessions_[static_cast<const char*>(SSL_get_app_data(ssl))].Reset(session);
            return 1; // kept
        });
    }

    std::unique_ptr<TTlsSession> NewSession(const std::string& host, std::string& error) override {
        if (!context_) {
            error = error_;
            return nullptr;
        }
        auto kept = sessions_.find(host);
        auto session = std::make_unique<TOpenSslSession>(pinned_);
        if (!session->Open(context_.Get(), kept == sessions_.end() ? nullptr : kept->second.Get(),
                           host, error))
            return nullptr;
        return session;
    }

private:
    bool AddRoots(const std::vector<std::string>& pems) {
        X509_STORE* store = SSL_CTX_get_cert_store(context_.Get());
        for (const std::string& pem : pems) {
            UniqueHandle<BioTraits> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
            UniqueHandle<X509Traits> cert(
                bio ? PEM_read_bio_X509(bio.Get(), nullptr, nullptr, nullptr) : nullptr);
            if (!cert || X509_STORE_add_cert(store, cert.Get()) != 1)
                return false;
            pinned_.push_back(Der(cert.Get()));
        }
        return true;
    }

    std::vector<std::string> pinned_; // DER; outlives every session
    std::map<std::string, UniqueHandle<SessionTraits>> sessions_;
    UniqueHandle<SslContextTraits> context_; // after sessions_: freed before them
    std::string error_;
};

} // namespace

std::unique_ptr<TTlsClient> NewTlsClient(const TTlsTrust& trust) {
    return std::make_unique<TOpenSslClient>(trust);
}

} // namespace platform

// TLS from Schannel through SSPI, over memory buffers. secur32.dll and crypt32.dll are loaded
// from the system folder when the first session is made, so a start that never meets an https
// server never loads them. The server's chain, dates and name are checked here, after the
// handshake, with crypt32: Schannel's own check knows neither pinned roots nor IP names.

#include "platform/Tls.h"

#include "platform/WinHandles.h"

#define SECURITY_WIN32
// SCH_CREDENTIALS, the structure that can ask for TLS 1.3, needs UNICODE_STRING first.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>

#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include "platform/Sspi_win32.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

// crypt32's entries this file uses, taken from the library at run time.
struct TCrypt32 {
    UniqueModule library{LoadSystemLibrary("crypt32.dll")};
#define QVB_CRYPT_ENTRY(name) decltype(&::name) name = Load<decltype(&::name)>(#name)
    QVB_CRYPT_ENTRY(CertOpenStore);
    QVB_CRYPT_ENTRY(CertCloseStore);
    QVB_CRYPT_ENTRY(CertAddEncodedCertificateToStore);
    QVB_CRYPT_ENTRY(CertAddStoreToCollection);
    QVB_CRYPT_ENTRY(CertGetCertificateChain);
    QVB_CRYPT_ENTRY(CertFreeCertificateChain);
    QVB_CRYPT_ENTRY(CertVerifyCertificateChainPolicy);
    QVB_CRYPT_ENTRY(CertFreeCertificateContext);
    QVB_CRYPT_ENTRY(CertEnumCertificatesInStore);
    QVB_CRYPT_ENTRY(CertFindExtension);
    QVB_CRYPT_ENTRY(CryptDecodeObjectEx);
    QVB_CRYPT_ENTRY(CryptStringToBinaryA);
    // Optional: where the system has no engines of our own, the default one builds the chain.
    QVB_CRYPT_ENTRY(CertCreateCertificateChainEngine);
    QVB_CRYPT_ENTRY(CertFreeCertificateChainEngine);
#undef QVB_CRYPT_ENTRY

    template <class F> F Load(const char* name) {
        return library ? reinterpret_cast<F>(
                             reinterpret_cast<void*>(GetProcAddress(library.Get(), name)))
                       : nullptr;
    }
    bool Complete() const {
        return CertOpenStore && CertCloseStore && CertAddEncodedCertificateToStore &&
               CertAddStoreToCollection && CertGetCertificateChain && CertFreeCertificateChain &&
               CertVerifyCertificateChainPolicy && CertFreeCertificateContext &&
               CertEnumCertificatesInStore && CertFindExtension && CryptDecodeObjectEx &&
               CryptStringToBinaryA;
    }
};

using TSspi = TSspiTable;

// The C library's formatting, not user32's: a program that links no window code must not load
// user32 (and, under Wine, its font set-up) for an error text.
std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", value);
    return text;
}

// What every session of one client uses: the libraries, one credentials handle (Schannel keeps
// its resumable sessions by credentials and server name) and the pinned roots.
class TSchannelShared : public TTlsClient {
public:
    explicit TSchannelShared(const TTlsTrust& trust) {
        if (!sspi || !crypt.Complete()) {
            error_ = "Schannel or crypt32 cannot be loaded";
            return;
        }
        if (!LoadRoots(trust.RootPems)) {
            error_ = "a pinned root is not a PEM certificate";
            return;
        }
        MakeExclusiveEngine();
        // TLS 1.3 where the system offers it; the older structure (TLS 1.2) elsewhere.
        const DWORD flags =
            SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        TLS_PARAMETERS parameters{};
        parameters.grbitDisabledProtocols =
            static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
        SCH_CREDENTIALS modern{};
        modern.dwVersion = SCH_CREDENTIALS_VERSION;
        modern.dwFlags = flags;
        modern.cTlsParameters = 1;
        modern.pTlsParameters = &parameters;
        SECURITY_STATUS status = Acquire(&modern);
        if (status != SEC_E_OK) {
            SCHANNEL_CRED legacy{};
            legacy.dwVersion = SCHANNEL_CRED_VERSION;
            legacy.dwFlags = flags;
            legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
            status = Acquire(&legacy);
        }
        if (status != SEC_E_OK)
            error_ = "no Schannel credentials (" + Hex(status) + ")";
    }
    ~TSchannelShared() override {
        if (engine)
            crypt.CertFreeCertificateChainEngine(engine);
        if (haveCredentials_)
            sspi->FreeCredentialsHandle(&credentials);
        if (roots)
            crypt.CertCloseStore(roots, 0);
    }

    std::unique_ptr<TTlsSession> NewSession(const std::string& host, std::string& error) override;

    TSspi sspi;
    TCrypt32 crypt;
    CredHandle credentials{};
    HCERTSTORE roots = nullptr; // the pinned roots, or none for the system's store
    // A chain engine whose only roots are the pinned ones, where the system offers it; none
    // means the default engine (the chain's top is compared with the roots either way).
    HCERTCHAINENGINE engine = nullptr;

private:
    void MakeExclusiveEngine() {
        if (!roots || !crypt.CertCreateCertificateChainEngine ||
            !crypt.CertFreeCertificateChainEngine)
            return;
        // The newest layout first, then the one before its last field (Windows 7).
        for (DWORD size :
             {static_cast<DWORD>(sizeof(CERT_CHAIN_ENGINE_CONFIG)),
              static_cast<DWORD>(offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags))}) {
            CERT_CHAIN_ENGINE_CONFIG config{};
            config.cbSize = size;
            config.hExclusiveRoot = roots;
            if (crypt.CertCreateCertificateChainEngine(&config, &engine))
                return;
            engine = nullptr;
        }
    }

    template <class Settings> SECURITY_STATUS Acquire(Settings* settings) {
        const SECURITY_STATUS status = sspi->AcquireCredentialsHandleA(
            nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, settings,
            nullptr, nullptr, &credentials, nullptr);
        haveCredentials_ = status == SEC_E_OK;
        return status;
    }

    bool LoadRoots(const std::vector<std::string>& pems) {
        if (pems.empty())
            return true;
        roots = crypt.CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        if (!roots)
            return false;
        for (const std::string& pem : pems) {
            DWORD size = 0;
            if (!crypt.CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                                            CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                            nullptr))
                return false;
            std::string der(size, '\0');
            if (!crypt.CryptStringToBinaryA(
                    pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                    reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr) ||
                !crypt.CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING,
                                                        reinterpret_cast<const BYTE*>(der.data()),
                                                        size, CERT_STORE_ADD_ALWAYS, nullptr))
                return false;
        }
        return true;
    }

    bool haveCredentials_ = false;
    std::string error_;
};

class TSchannelSession : public TTlsSession {
public:
    TSchannelSession(TSchannelShared& shared, std::string host)
        : shared_(shared), host_(std::move(host)), target_(host_) {
        // The server is told the bare name; the names are matched with the dot ignored.
        if (!target_.empty() && target_.back() == '.')
            target_.pop_back();
    }
    ~TSchannelSession() override {
        if (haveContext_)
            shared_.sspi->DeleteSecurityContext(&context_);
        if (collection_)
            shared_.crypt.CertCloseStore(collection_, 0);
    }
    TTlsStatus Handshake(std::string& in, std::string& out) override {
        for (;;) {
            const SECURITY_STATUS status = Step(in, out, true);
            if (status == SEC_E_INCOMPLETE_MESSAGE)
                return TTlsStatus::WantMore;
            if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
                return Failed("handshake refused (" + Hex(status) + ")");
            if (status == SEC_E_OK)
                return VerifyServer() ? TTlsStatus::Done : TTlsStatus::Failed;
            if (in.empty())
                return TTlsStatus::WantMore;
        }
    }

    bool Encrypt(std::string_view plain, std::string& out) override {
        if (!sizes_.cbMaximumMessage &&
            shared_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) !=
                SEC_E_OK) {
            error_ = "no record sizes";
            return false;
        }
        while (!plain.empty()) {
            const std::size_t piece = std::min<std::size_t>(plain.size(), sizes_.cbMaximumMessage);
            std::string record(sizes_.cbHeader + piece + sizes_.cbTrailer, '\0');
            std::memcpy(&record[sizes_.cbHeader], plain.data(), piece);
            SecBuffer buffers[4] = {
                {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
                {static_cast<unsigned long>(piece), SECBUFFER_DATA, &record[sizes_.cbHeader]},
                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes_.cbHeader + piece]},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = shared_.sspi->EncryptMessage(&context_, 0, &message, 0);
            if (status != SEC_E_OK) {
                error_ = "write refused (" + Hex(status) + ")";
                return false;
            }
            out.append(record.data(),
                       buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
            plain.remove_prefix(piece);
        }
        return true;
    }

    TTlsStatus Decrypt(std::string& in, std::string& plain, std::string& out) override {
        const std::size_t before = plain.size();
        // Records are decrypted where they lie; what they used is dropped once, at the end.
        std::size_t at = 0;
        while (at < in.size()) {
            SecBuffer buffers[4] = {
                {static_cast<unsigned long>(in.size() - at), SECBUFFER_DATA, &in[at]},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
            // Wine answers a TLS 1.2 close_notify as an empty record rather than as the end of
            // the context; a record of the alert type that gives no data is that end.
            const bool alert = static_cast<unsigned char>(in[at]) == TlsAlertRecord;
            const SECURITY_STATUS status =
                shared_.sspi->DecryptMessage(&context_, &message, 0, nullptr);
            if (status == SEC_E_INCOMPLETE_MESSAGE)
                break;
            if (status == SEC_I_CONTEXT_EXPIRED ||
                (status == SEC_E_OK && alert && !HasData(buffers)))
                return TTlsStatus::Closed;
            if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
                return Failed("record refused (" + Hex(status) + ")");
            std::size_t extra = 0;
            for (const SecBuffer& buffer : buffers) {
                if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
                    plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
                    postHandshake_ = 0;
                } else if (buffer.BufferType == SECBUFFER_EXTRA) {
                    extra = buffer.cbBuffer;
                }
            }
            at = in.size() - std::min(extra, in.size() - at);
            if (status == SEC_I_RENEGOTIATE) {
                if (++postHandshake_ > TlsMaxPostHandshakeMessages)
                    return Failed("too many post-handshake messages");
                in.erase(0, at);
                at = 0;
                if (!AfterHandshake(in, out))
                    return TTlsStatus::Failed;
            }
        }
        in.erase(0, at);
        return plain.size() > before ? TTlsStatus::Done : TTlsStatus::WantMore;
    }

    std::string Error() const override { return error_; }

    std::string Negotiated() const override {
        SecPkgContext_ConnectionInfo info{};
        if (shared_.sspi->QueryContextAttributesA(const_cast<CtxtHandle*>(&context_),
                                                  SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
            return {};
        const char* version = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT)   ? "TLSv1.3"
                              : (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) ? "TLSv1.2"
                                                                          : "TLS";
        return std::string(version) + " cipher " + Hex(info.aiCipher) + " hash " +
               Hex(info.aiHash) + " exchange " + Hex(info.aiExch);
    }

private:
    static constexpr ULONG ContextRequests = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                             ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                             ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;

    static constexpr unsigned char TlsAlertRecord = 21;

    static bool HasData(const SecBuffer (&buffers)[4]) {
        for (const SecBuffer& buffer : buffers)
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0)
                return true;
        return false;
    }

    // TLS 1.3 sends session tickets and key updates after the handshake; Schannel takes them
    // through the handshake call. A TLS 1.2 renegotiation is refused.
    bool AfterHandshake(std::string& in, std::string& out) {
        SecPkgContext_ConnectionInfo info{};
        if (shared_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) !=
                SEC_E_OK ||
            !(info.dwProtocol & SP_PROT_TLS1_3_CLIENT)) {
            error_ = "renegotiation refused";
            return false;
        }
        const SECURITY_STATUS status = Step(in, out, false);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            error_ = "post-handshake message refused (" + Hex(status) + ")";
            return false;
        }
        return true;
    }

    // One call of the handshake function on in: what it sends is appended to out, and in keeps
    // what it left unread (all of it while a message is incomplete). Only the handshake proper
    // makes the context; later messages feed the one there is.
    SECURITY_STATUS Step(std::string& in, std::string& out, bool makesContext) {
        SecBuffer input[2] = {{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN,
                               in.empty() ? nullptr : in.data()},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inputs{SECBUFFER_VERSION, 2, input};
        SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outputs{SECBUFFER_VERSION, 1, output};
        ULONG attributes = 0;
        const SECURITY_STATUS status = shared_.sspi->InitializeSecurityContextA(
            &shared_.credentials, haveContext_ ? &context_ : nullptr,
            const_cast<char*>(target_.c_str()), ContextRequests, 0, 0,
            haveContext_ ? &inputs : nullptr, 0, makesContext ? &context_ : nullptr, &outputs,
            &attributes, nullptr);
        haveContext_ = haveContext_ || status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                       status == SEC_E_INCOMPLETE_MESSAGE;
        TakeToken(output[0], out);
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)
            KeepExtra(input[1], in);
        return status;
    }

    void TakeToken(SecBuffer& token, std::string& out) {
        if (token.pvBuffer && token.cbBuffer)
            out.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
        if (token.pvBuffer)
            shared_.sspi->FreeContextBuffer(token.pvBuffer);
        token.pvBuffer = nullptr;
    }

    // What the call left unread stays at the front of in; everything else was taken.
    static void KeepExtra(const SecBuffer& extra, std::string& in) {
        if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer <= in.size())
            in.erase(0, in.size() - extra.cbBuffer);
        else
            in.clear();
    }

    bool VerifyServer() {
        PCCERT_CONTEXT server = nullptr;
        if (shared_.sspi->QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                                  &server) != SEC_E_OK ||
            !server) {
            error_ = "the server sent no certificate";
            return false;
        }
        const bool chain = VerifyChain(server), named = chain && VerifyName(server);
        shared_.crypt.CertFreeCertificateContext(server);
        if (chain && !named)
            error_ = "certificate: the host name does not match";
        return chain && named;
    }

    bool VerifyChain(PCCERT_CONTEXT server) {
        // The server's intermediates, and the pinned roots when there are any.
        collection_ = shared_.crypt.CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
        if (!collection_ ||
            !shared_.crypt.CertAddStoreToCollection(collection_, server->hCertStore, 0, 0) ||
            (shared_.roots &&
             !shared_.crypt.CertAddStoreToCollection(collection_, shared_.roots, 0, 0))) {
            error_ = "certificate: no store for the chain";
            return false;
        }
        // A chain for a TLS server: a root or intermediate trusted only for other uses fails.
        char* serverAuth[] = {const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH)};
        CERT_CHAIN_PARA parameters{};
        parameters.cbSize = sizeof parameters;
        parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
        parameters.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (!shared_.crypt.CertGetCertificateChain(shared_.engine, server, nullptr, collection_,
                                                   &parameters, 0, nullptr, &chain) ||
            !chain) {
            error_ = "certificate: no chain";
            return false;
        }
        const bool ok = ChainHolds(chain, server);
        shared_.crypt.CertFreeCertificateChain(chain);
        return ok;
    }

    bool ChainHolds(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT server) {
        // The chain's own verdict first: Wine's policy check lets a partial chain through.
        DWORD allowed = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
        DWORD policyFlags = 0;
        if (shared_.roots) {
            // Pinned: the chain must end at one of these roots, trusted by the system or not.
            allowed |= CERT_TRUST_IS_UNTRUSTED_ROOT;
            policyFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
        }
        if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0 ||
            (chain->TrustStatus.dwErrorStatus & ~allowed) != 0) {
            error_ = "certificate: the chain does not end at a trusted root (" +
                     Hex(chain->TrustStatus.dwErrorStatus) + ")";
            return false;
        }
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        const CERT_CHAIN_ELEMENT* top = simple->rgpElement[simple->cElement - 1];
        // Issuer and serial are public, so anyone can copy them: the root itself must match.
        if (shared_.roots && (!IsPinned(top->pCertContext) ||
                              !(top->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED))) {
            error_ = "certificate: the chain does not end at a pinned root";
            return false;
        }
        if (!AllowsServerAuth(server)) {
            error_ = "certificate: not made for a TLS server";
            return false;
        }
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.dwFlags = policyFlags;
        CERT_CHAIN_POLICY_STATUS verdict{};
        verdict.cbSize = sizeof verdict;
        if (!shared_.crypt.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &policy,
                                                            &verdict) ||
            verdict.dwError != 0) {
            error_ = "certificate: the chain does not verify (" + Hex(verdict.dwError) + ")";
            return false;
        }
        return true;
    }

    bool IsPinned(PCCERT_CONTEXT top) {
        PCCERT_CONTEXT root = nullptr;
        while ((root = shared_.crypt.CertEnumCertificatesInStore(shared_.roots, root)) != nullptr)
            if (root->cbCertEncoded == top->cbCertEncoded &&
                std::memcmp(root->pbCertEncoded, top->pbCertEncoded, top->cbCertEncoded) == 0) {
                shared_.crypt.CertFreeCertificateContext(root);
                return true;
            }
        return false;
    }

    // The leaf names the server-authentication purpose, or no purpose at all, as the web's
    // certificates do; our own check, since an engine may not look at the requested usage.
    bool AllowsServerAuth(PCCERT_CONTEXT leaf) {
        PCERT_EXTENSION extension = shared_.crypt.CertFindExtension(
            szOID_ENHANCED_KEY_USAGE, leaf->pCertInfo->cExtension, leaf->pCertInfo->rgExtension);
        if (!extension)
            return true;
        CERT_ENHKEY_USAGE* usage = nullptr;
        DWORD size = 0;
        if (!shared_.crypt.CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE,
                                               extension->Value.pbData, extension->Value.cbData,
                                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &usage, &size))
            return false;
        bool allowed = false;
        for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
            allowed = allowed ||
                      std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0;
        LocalFree(usage);
        return allowed;
    }

    bool VerifyName(PCCERT_CONTEXT server) {
        PCERT_EXTENSION extension = shared_.crypt.CertFindExtension(
            szOID_SUBJECT_ALT_NAME2, server->pCertInfo->cExtension, server->pCertInfo->rgExtension);
        if (!extension)
            return false;
        // The decoded DNS names are C strings, which a NUL inside would cut short: they come
        // from the extension's own bytes instead.
        std::vector<std::string> encoded, dns, ips;
        if (!SubjectAltDnsNames(
                std::string_view(reinterpret_cast<const char*>(extension->Value.pbData),
                                 extension->Value.cbData),
                encoded))
            return false;
        // A name with a NUL in it would match as a shorter one.
        for (std::string& name : encoded)
            if (name.find('\0') == std::string::npos)
                dns.push_back(std::move(name));
        CERT_ALT_NAME_INFO* names = nullptr;
        DWORD size = 0;
        if (!shared_.crypt.CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME,
                                               extension->Value.pbData, extension->Value.cbData,
                                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
            return false;
        for (DWORD i = 0; i < names->cAltEntry; ++i) {
            const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
            if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4) {
                const BYTE* b = entry.IPAddress.pbData;
                ips.push_back(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                              std::to_string(b[2]) + "." + std::to_string(b[3]));
            }
        }
        LocalFree(names);
        return CertificateNamesMatch(host_, dns, ips);
    }

    TTlsStatus Failed(std::string why) {
        error_ = std::move(why);
        return TTlsStatus::Failed;
    }

    TSchannelShared& shared_;
    std::string host_, target_;
    CtxtHandle context_{};
    bool haveContext_ = false;
    SecPkgContext_StreamSizes sizes_{};
    int postHandshake_ = 0; // in a row, without data between them
    HCERTSTORE collection_ = nullptr;
    std::string error_;
};

std::unique_ptr<TTlsSession> TSchannelShared::NewSession(const std::string& host,
                                                         std::string& error) {
    if (!haveCredentials_) {
        error = error_;
        return nullptr;
    }
    return std::make_unique<TSchannelSession>(*this, host);
}

} // namespace

std::unique_ptr<TTlsClient> NewTlsClient(const TTlsTrust& trust) {
    return std::make_unique<TSchannelShared>(trust);
}

} // namespace platform

#include "platform/Authenticode.h"

#include "platform/WinHandles.h"

#include <softpub.h>
#include <wintrust.h>

namespace platform {

namespace {

// wintrust.dll, loaded for one check: a build without a pinned publisher never loads it.
class TWintrust {
public:
    TWintrust() : library_(LoadSystemLibrary("wintrust.dll")) {
        ok_ = library_ && Load(Verify, "WinVerifyTrust") &&
              Load(ProviderData, "WTHelperProvDataFromStateData") &&
              Load(Signer, "WTHelperGetProvSignerFromChain");
    }
    TWintrust(const TWintrust&) = delete;
    TWintrust& operator=(const TWintrust&) = delete;
    explicit operator bool() const { return ok_; }

    decltype(&::WinVerifyTrust) Verify = nullptr;
    decltype(&::WTHelperProvDataFromStateData) ProviderData = nullptr;
    decltype(&::WTHelperGetProvSignerFromChain) Signer = nullptr;

private:
    template <class F> bool Load(F& function, const char* name) {
        return LoadFunction(library_, function, name);
    }

    UniqueModule library_;
    bool ok_ = false;
};

// One verification's state, released by the provider when the scope ends.
class TTrustState {
public:
    TTrustState(const TWintrust& trust, WINTRUST_DATA& data) : trust_(trust), data_(data) {}
    TTrustState(const TTrustState&) = delete;
    TTrustState& operator=(const TTrustState&) = delete;
    ~TTrustState() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        trust_.Verify(NoWindow(), &action_, &data_);
    }
    LONG Verify() {
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        return trust_.Verify(NoWindow(), &action_, &data_);
    }

private:
    // "No window": with WTD_UI_NONE nothing is ever shown.
    static HWND NoWindow() { return reinterpret_cast<HWND>(INVALID_HANDLE_VALUE); }

    const TWintrust& trust_;
    WINTRUST_DATA& data_;
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
};

} // namespace

FileHandle OpenFileDenyingWrites(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? InvalidFile : reinterpret_cast<FileHandle>(h);
}

std::string VerifiedSigner(const std::string& path, FileHandle file) {
    TWintrust trust;
    if (!trust || file == InvalidFile)
        return {};
    // WinVerifyTrust names files in UTF-16 only; the path is for the system's own use, the bytes
    // checked are those of the open file.
    const int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), length);

    WINTRUST_FILE_INFO info{};
    info.cbStruct = sizeof info;
    info.pcwszFilePath = wide.c_str();
    info.hFile = reinterpret_cast<HANDLE>(file);
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    // At exit, with nobody waiting: never a download of revocation lists or certificates.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

    TTrustState state(trust, data);
    if (state.Verify() != ERROR_SUCCESS)
        return {};
    CRYPT_PROVIDER_DATA* provider = trust.ProviderData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider ? trust.Signer(provider, 0, FALSE, 0) : nullptr;
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain ||
        !signer->pasCertChain[0].pCert)
        return {};
    const CERT_CONTEXT* certificate = signer->pasCertChain[0].pCert;
    return std::string(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                       certificate->cbCertEncoded);
}

} // namespace platform

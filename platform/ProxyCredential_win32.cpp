#include "platform/ProxyCredential.h"

#include <windows.h>

#include <wincred.h>

namespace platform {

namespace {

// CredFree for the one credential read.
struct TCredential {
    PCREDENTIALA Value = nullptr;
    TCredential() = default;
    TCredential(const TCredential&) = delete;
    TCredential& operator=(const TCredential&) = delete;
    ~TCredential() {
        if (Value)
            CredFree(Value);
    }
};

} // namespace

bool ReadProxyCredential(const std::string& proxyHost, std::string& username,
                         std::string& password) {
    TCredential credential;
    if (proxyHost.empty() ||
        !CredReadA(proxyHost.c_str(), CRED_TYPE_GENERIC, 0, &credential.Value) ||
        !credential.Value->UserName)
        return false;
    username = credential.Value->UserName;
    // The password is UTF-16, as cmdkey and the control panel store it.
    const DWORD size = credential.Value->CredentialBlobSize;
    const WCHAR* blob = reinterpret_cast<const WCHAR*>(credential.Value->CredentialBlob);
    const int chars = static_cast<int>(size / sizeof(WCHAR));
    password.clear();
    if (chars > 0) {
        const int n = WideCharToMultiByte(CP_ACP, 0, blob, chars, nullptr, 0, nullptr, nullptr);
        password.assign(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
        if (n > 0)
            WideCharToMultiByte(CP_ACP, 0, blob, chars, &password[0], n, nullptr, nullptr);
    }
    return true;
}

} // namespace platform

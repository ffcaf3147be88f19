#pragma once
// Signing on as the logged-on user, with no password given: the platform's security packages
// ("Negotiate", "NTLM") through SSPI on Windows, with the user's own credentials
// (AcquireCredentialsHandleA without authentication data). secur32.dll is loaded from the
// system folder at the first sign-on. Natively there is none.

#include <memory>
#include <string>

namespace platform {

class TSignOn {
public:
    virtual ~TSignOn() = default;
    // One leg: the peer's token in (empty for the first leg), the token to send out. False when
    // the package refuses (no credentials for the user, a challenge it cannot answer).
    virtual bool Step(const std::string& in, std::string& out) = 0;
};

// A sign-on with the package for the service target ("HTTP/proxy.host"); none when the platform
// has no such package.
std::unique_ptr<TSignOn> NewSignOn(const std::string& package, const std::string& target);

} // namespace platform

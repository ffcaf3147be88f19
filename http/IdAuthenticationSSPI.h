#pragma once
// Negotiate and NTLM: authentication classes beside TIdBasicAuthentication whose tokens come
// from the platform's sign-on as the logged-on user (platform/SignOn.h), so no password is ever
// asked. A hand-shake is one attempt of two legs on one connection: the first token, then the
// answer to the peer's challenge. A bare challenge starts another attempt.

#include <memory>
#include <string>

#include "http/IdHTTPHeaderInfo.h"
#include "platform/SignOn.h"

class TIdSSPIAuthentication : public TIdAuthentication {
public:
    explicit TIdSSPIAuthentication(std::string scheme) : scheme_(std::move(scheme)) {}
    TIdAuthWhatsNext NextStep() override;
    int StepCount() const override { return 2; }
    void Reset() override;
    std::string AuthorizationValue() override;
    bool KeepAlive() const override { return true; }

    // The host the sign-on is for ("HTTP/" + host names the service).
    std::string TargetHost;

private:
    std::string scheme_, value_;
    bool fresh_ = false; // value_ has not gone out yet
    std::unique_ptr<platform::TSignOn> signOn_;
};

class TIdNegotiateAuthentication : public TIdSSPIAuthentication {
public:
    TIdNegotiateAuthentication() : TIdSSPIAuthentication("Negotiate") {}
    const char* ClassName() const override { return "TIdNegotiateAuthentication"; }
};

class TIdNTLMAuthentication : public TIdSSPIAuthentication {
public:
    TIdNTLMAuthentication() : TIdSSPIAuthentication("NTLM") {}
    const char* ClassName() const override { return "TIdNTLMAuthentication"; }
};

TIdAuthenticationClass NegotiateAuthenticationClass();
TIdAuthenticationClass NTLMAuthenticationClass();
// Adds "Negotiate" and "NTLM" to the scheme registry, once.
void RegisterSignOnSchemes();
// Of the schemes a peer offers, the one to use: Negotiate, then NTLM, then Basic; otherwise the
// first the registry knows.
TIdAuthenticationClass PreferredScheme(const TIdHeaderList& challenges);

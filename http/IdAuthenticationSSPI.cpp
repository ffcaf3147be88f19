#include "http/IdAuthenticationSSPI.h"

#include "support/Text.h"

#include <mutex>

namespace {

const TIdAuthenticationClassInfo NegotiateInfo{
    "TIdNegotiateAuthentication", [] { return std::make_unique<TIdNegotiateAuthentication>(); }};
const TIdAuthenticationClassInfo NTLMInfo{"TIdNTLMAuthentication",
                                          [] { return std::make_unique<TIdNTLMAuthentication>(); }};

std::string SchemeOf(const std::string& line) {
    return line.substr(0, line.find(' '));
}

} // namespace

TIdAuthWhatsNext TIdSSPIAuthentication::NextStep() {
    bool offered = false;
    std::string token;
    for (const std::string& line : Challenges().Lines())
        if (SameText(SchemeOf(line), scheme_)) {
            offered = true;
            const std::size_t space = line.find(' ');
            token = space == std::string::npos ? "" : std::string(Trim(line.substr(space)));
            break;
        }
    if (!offered)
        return wnFail;
    std::string out;
    if (token.empty()) {
        // A bare challenge starts a hand-shake: the first, or again on a new connection. Each
        // is an attempt, so a peer that keeps refusing ends at AuthRetries.
        ++Attempts;
        signOn_ = platform::NewSignOn(scheme_, "HTTP/" + TargetHost);
        if (!signOn_ || !signOn_->Step("", out) || out.empty())
            return wnFail;
        CurrentStep = 1;
    } else {
        if (CurrentStep != 1 || !signOn_)
            return wnFail; // the last leg was refused
        std::string in;
        try {
            in = TIdDecoderMIME::Decode(token);
        } catch (const EIdException&) {
            return wnFail;
        }
        if (!signOn_->Step(in, out) || out.empty())
            return wnFail;
        CurrentStep = 2;
    }
    value_ = scheme_ + " " + TIdEncoderMIME::Encode(out);
    fresh_ = true;
    return wnDoRequest;
}

std::string TIdSSPIAuthentication::AuthorizationValue() {
    // The last leg goes out once: the connection is then signed on, and a token sent again
    // would start a hand-shake the peer never asked for.
    if (CurrentStep >= StepCount()) {
        if (!fresh_)
            return {};
        fresh_ = false;
    }
    return value_;
}

void TIdSSPIAuthentication::Reset() {
    TIdAuthentication::Reset();
    CurrentStep = 0;
    signOn_.reset();
    value_.clear();
    fresh_ = false;
}

TIdAuthenticationClass NegotiateAuthenticationClass() {
    return &NegotiateInfo;
}

TIdAuthenticationClass NTLMAuthenticationClass() {
    return &NTLMInfo;
}

void RegisterSignOnSchemes() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!FindAuthScheme("Negotiate"))
            RegisterAuthScheme("Negotiate", &NegotiateInfo);
        if (!FindAuthScheme("NTLM"))
            RegisterAuthScheme("NTLM", &NTLMInfo);
    });
}

TIdAuthenticationClass PreferredScheme(const TIdHeaderList& challenges) {
    for (const char* name : {"Negotiate", "NTLM", "Basic"})
        for (const std::string& line : challenges.Lines())
            if (SameText(SchemeOf(line), name))
                if (TIdAuthenticationClass cls = FindAuthScheme(name))
                    return cls;
    for (const std::string& line : challenges.Lines())
        if (TIdAuthenticationClass cls = FindAuthScheme(SchemeOf(line)))
            return cls;
    return nullptr;
}

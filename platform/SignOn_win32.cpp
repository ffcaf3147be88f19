#include "platform/SignOn.h"

#include "platform/Sspi_win32.h"

namespace platform {

namespace {

const TSspiTable& Sspi() {
    static const TSspiTable table;
    return table;
}

class TSspiSignOn : public TSignOn {
public:
    TSspiSignOn(const std::string& package, const std::string& target) : target_(target) {
        TimeStamp expiry;
        // No authentication data: the logged-on user's own credentials.
        hasCredentials_ =
            Sspi()->AcquireCredentialsHandleA(nullptr, const_cast<char*>(package.c_str()),
                                              SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr,
                                              nullptr, &credentials_, &expiry) == SEC_E_OK;
    }
    ~TSspiSignOn() override {
        if (hasContext_)
            Sspi()->DeleteSecurityContext(&context_);
        if (hasCredentials_)
            Sspi()->FreeCredentialsHandle(&credentials_);
    }
    TSspiSignOn(const TSspiSignOn&) = delete;
    TSspiSignOn& operator=(const TSspiSignOn&) = delete;

    bool Usable() const { return hasCredentials_; }

    bool Step(const std::string& in, std::string& out) override {
        SecBuffer inBuffer{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN,
                           const_cast<char*>(in.data())};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
        SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
        unsigned long attributes = 0;
        TimeStamp expiry;
        const SECURITY_STATUS status = Sspi()->InitializeSecurityContextA(
            &credentials_, hasContext_ ? &context_ : nullptr, const_cast<char*>(target_.c_str()),
            ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONNECTION, 0, SECURITY_NATIVE_DREP,
            in.empty() ? nullptr : &inDesc, 0, &context_, &outDesc, &attributes, &expiry);
        struct TFree {
            SecBuffer& buffer;
            ~TFree() {
                if (buffer.pvBuffer)
                    Sspi()->FreeContextBuffer(buffer.pvBuffer);
            }
        } free{outBuffer};
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
            status != SEC_I_COMPLETE_NEEDED && status != SEC_I_COMPLETE_AND_CONTINUE)
            return false;
        hasContext_ = true;
        if ((status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) &&
            Sspi()->CompleteAuthToken(&context_, &outDesc) != SEC_E_OK)
            return false;
        out.assign(static_cast<const char*>(outBuffer.pvBuffer ? outBuffer.pvBuffer : ""),
                   outBuffer.pvBuffer ? outBuffer.cbBuffer : 0);
        return true;
    }

private:
    std::string target_;
    CredHandle credentials_{};
    CtxtHandle context_{};
    bool hasCredentials_ = false;
    bool hasContext_ = false;
};

} // namespace

std::unique_ptr<TSignOn> NewSignOn(const std::string& package, const std::string& target) {
    if (!Sspi())
        return nullptr;
    auto signOn = std::make_unique<TSspiSignOn>(package, target);
    if (!signOn->Usable())
        return nullptr;
    return signOn;
}

} // namespace platform

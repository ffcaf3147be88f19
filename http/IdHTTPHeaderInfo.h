#pragma once
// Header records: typed fields that are written into header lines before a request and read
// from them after a response head; the authentication objects; HTTP dates.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/IdException.h"
#include "http/IdHeaderList.h"
#include "support/DateTime.h"

class EIdFailedToRetreiveTimeZoneInfo : public EIdException {
public:
    using EIdException::EIdException;
};

// An HTTP date as local time; an unparsable date part gives 0 (the zone adjustment still
// applies). Raises EIdFailedToRetreiveTimeZoneInfo when the local offset cannot be read.
TDateTime GMTToLocalDateTime(const std::string& text);
// "Thu, 1 Jan 1970 00:00:00 -0300": the value with the local offset from UTC.
std::string DateTimeToZoneForm(TDateTime value);
// "Thu, 01 Jan 1970 00:00:00 GMT": the value as given.
std::string DateTimeToGMTForm(TDateTime value);
// The current local time.
TDateTime NowLocal();

enum TIdAuthWhatsNext { wnAskTheProgram = 0, wnDoRequest = 1, wnFail = 2 };

class TIdAuthentication {
public:
    TIdAuthentication() { Fields.Separator = ": "; }
    virtual ~TIdAuthentication() = default;

    virtual TIdAuthWhatsNext NextStep() = 0;
    virtual int StepCount() const { return 0; }
    virtual void SetPassword(const std::string& password) { Fields.SetValue("Password", password); }
    virtual void SetUsername(const std::string& username) { Fields.SetValue("Username", username); }
    virtual void Reset() { Attempts = 0; }
    virtual std::string AuthorizationValue() = 0;
    virtual bool KeepAlive() const { return false; }
    virtual const char* ClassName() const = 0;

    std::string Username() const { return Fields.GetValue("username"); }
    std::string Password() const { return Fields.GetValue("password"); }
    TIdHeaderList& Challenges() {
        if (!challenges_)
            challenges_ = std::make_unique<TIdHeaderList>();
        return *challenges_;
    }

    int Attempts = 0;
    int CurrentStep = 0;
    TIdHeaderList Fields;

private:
    std::unique_ptr<TIdHeaderList> challenges_;
};

class TIdBasicAuthentication : public TIdAuthentication {
public:
    TIdBasicAuthentication() { CurrentStep = 0; }
    TIdAuthWhatsNext NextStep() override;
    int StepCount() const override { return 1; }
    void Reset() override {
        TIdAuthentication::Reset();
        CurrentStep = 0;
    }
    std::string AuthorizationValue() override;
    const char* ClassName() const override { return "TIdBasicAuthentication"; }

    std::string Realm;
};

// An authentication scheme as the registry holds it.
struct TIdAuthenticationClassInfo {
    const char* ClassName;
    std::function<std::unique_ptr<TIdAuthentication>()> Create;
};
using TIdAuthenticationClass = const TIdAuthenticationClassInfo*;

class EIdAlreadyRegisteredAuthenticationMethod : public EIdException {
public:
    using EIdException::EIdException;
};

// Holds "Basic" from the start. Names compare without regard to case.
void RegisterAuthScheme(const std::string& name, TIdAuthenticationClass cls);
TIdAuthenticationClass FindAuthScheme(const std::string& name);
TIdAuthenticationClass BasicAuthenticationClass();

class TIdEntityHeaderInfo {
public:
    TIdEntityHeaderInfo();
    virtual ~TIdEntityHeaderInfo() = default;

    virtual void ReadFromLines();
    virtual void WriteToLines();
    virtual void ClearFields();
    void Assign(const TIdEntityHeaderInfo& other);

    void SetContentLength(long long length) {
        ContentLength = length;
        LengthGiven = length >= 0;
    }

    std::string CacheControl, Connection, ContentEncoding, ContentLanguage;
    long long ContentLength = -1;
    std::uint32_t ContentRangeEnd = 0, ContentRangeStart = 0;
    std::string ContentType, ContentVersion;
    TIdHeaderList CustomHeaders;
    TDateTime Date = 0, Expires = 0, LastModified = 0;
    std::string Pragma;
    TIdHeaderList HeaderLines;
    bool LengthGiven = false;

protected:
    void ReadEntityLines();
    void WriteEntityLines();
    void AppendCustomHeaders();
    void ClearEntityFields();
};

class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
public:
    TIdRequestHeaderInfo();
    void ReadFromLines() override;
    void WriteToLines() override;
    void ClearFields() override;
    // Copies the request fields listed for assignment only.
    void AssignRequest(const TIdRequestHeaderInfo& other);

    std::string Accept, AcceptCharSet, AcceptEncoding, AcceptLanguage;
    bool BasicAuthentication = false;
    std::string Host, From, Password, Referer, UserAgent, Username, ProxyConnection;
    std::unique_ptr<TIdAuthentication> Authenticator;
};

class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
public:
    TIdResponseHeaderInfo();
    void ReadFromLines() override;
    void ClearFields() override;

    std::string Location, ProxyConnection;
    TIdHeaderList ProxyAuthenticate;
    std::string Server;
    TIdHeaderList WWWAuthenticate;
};

class TIdProxyConnectionInfo {
public:
    void Clear();
    void Assign(const TIdProxyConnectionInfo& other);
    // Adds "Proxy-Authorization" to the lines when there is a value to send.
    void WriteToLines(TIdHeaderList& lines);
    void SetProxyServer(const std::string& server);
    void SetProxyPort(int port);
    const std::string& ProxyServer() const { return proxyServer_; }
    int ProxyPort() const { return proxyPort_; }

    bool BasicAuthentication = false;
    std::string ProxyPassword, ProxyUsername;
    std::unique_ptr<TIdAuthentication> Authenticator;

private:
    std::string proxyServer_;
    int proxyPort_ = 0;
};

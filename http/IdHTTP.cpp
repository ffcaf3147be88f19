#include "http/IdHTTP.h"

#include "http/IdAuthenticationSSPI.h"
#include "http/IdTls.h"
#include "support/Text.h"

#include <climits>

const char* MethodText(TIdHTTPMethod verb) {
    static const char* const Texts[] = {"HEAD",  "GET", "POST",   "OPTIONS",
                                        "TRACE", "PUT", "CONNECT"};
    return Texts[verb];
}

const char* ProtocolVersionText(TIdHTTPProtocolVersion version) {
    return version == pv1_0 ? "1.0" : "1.1";
}

namespace {

// Puts a stream in place of the response's body stream for one scope.
class TBodyStreamSwap {
public:
    TBodyStreamSwap(TIdHTTPResponse& response, TStream* stream)
        : response_(response), saved_(response.BodyStream) {
        response_.BodyStream = stream;
    }
    ~TBodyStreamSwap() { response_.BodyStream = saved_; }
    TBodyStreamSwap(const TBodyStreamSwap&) = delete;
    TBodyStreamSwap& operator=(const TBodyStreamSwap&) = delete;

private:
    TIdHTTPResponse& response_;
    TStream* saved_;
};

class TReadTimeoutSwap {
public:
    TReadTimeoutSwap(int& timeout, int value) : timeout_(timeout), saved_(timeout) {
        timeout_ = value;
    }
    ~TReadTimeoutSwap() { timeout_ = saved_; }
    TReadTimeoutSwap(const TReadTimeoutSwap&) = delete;
    TReadTimeoutSwap& operator=(const TReadTimeoutSwap&) = delete;

private:
    int& timeout_;
    int saved_;
};

// The size of a chunk-size line: hexadecimal digits, with blanks around them and any
// extension after ";" ignored; the text after a space or tab inside is dropped. A line without a
// digit, with any other character, or with more significant digits than a size can hold would
// otherwise end the body early and pass a short body for a whole one, so it raises.
std::int64_t ChunkSize(const std::string& line) {
    std::string_view digits(line);
    digits = Trim(digits.substr(0, digits.find(';')));
    digits = digits.substr(0, digits.find_first_of(" \t"));
    const std::string_view bare = digits;
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    if (digits.empty() || digits.size() > IdMaxChunkSizeDigits)
        throw EIdHTTPChunkError("Invalid chunk size: '" + std::string(bare) + "'.");
    std::int64_t size = 0;
    for (char c : digits) {
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0)
            throw EIdHTTPChunkError("Invalid chunk size: '" + std::string(bare) + "'.");
        size = size * 16 + v;
    }
    return size;
}

// A port from a URL: a decimal number from 1 to 65535. A larger one would wrap to another port
// in the socket address while the Host header still named it.
int PortNumber(const std::string& text) {
    long long port = StrToInt64(text);
    if (port < INT_MIN || port > INT_MAX)
        throw EConvertError("'" + text + "' n\xE3o \xE9 um valor inteiro v\xE1lido");
    if (port < 1 || port > IdMaxPort)
        throw EIdInvalidPort("Port " + text + " is out of range (1 - 65535).");
    return static_cast<int>(port);
}

} // namespace

TIdCustomHTTP::TIdCustomHTTP() {
    TIdTCPClient::SetPort(80);
    currentUri_.Port = "80";
}

void TIdCustomHTTP::SetHost(const std::string& host) {
    TIdTCPClient::SetHost(host);
    currentUri_.Host = host;
}

void TIdCustomHTTP::SetPort(int port) {
    TIdTCPClient::SetPort(port);
    currentUri_.Port = std::to_string(port);
}

std::string TIdCustomHTTP::GetToString(const std::string& url) {
    TMemoryStream stream;
    GetToStream(url, stream);
    return stream.TakeData();
}

void TIdCustomHTTP::GetToStream(const std::string& url, TStream& stream) {
    PerformRequest(hmGet, url, nullptr, &stream);
}

int TIdCustomHTTP::ResponseCode() {
    std::string line = protocol_.Response.StatusLine;
    std::size_t space = line.find(' ');
    std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    std::string_view code = Trim(rest);
    code = code.substr(0, code.find(' '));
    long long value = -1;
    if (!TryStrToInt64(code, value) || value < INT_MIN || value > INT_MAX)
        value = -1;
    protocol_.Response.StoredResponseCode = static_cast<int>(value);
    return static_cast<int>(value);
}

bool TIdCustomHTTP::KeepOpen() {
    TIdHTTPResponse& response = protocol_.Response;
    const std::string& line = response.StatusLine;
    if (line.size() >= 8) {
        std::string_view version = std::string_view(line).substr(5, 3);
        if (SameText(version, "1.0"))
            response.StatusVersion = pv1_0;
        else if (SameText(version, "1.1"))
            response.StatusVersion = pv1_1;
    }
    CheckDisconnected(false, false);
    bool result = Connected();
    if (!result)
        return false;
    std::string_view connection = Trim(response.Connection);
    std::string_view proxy = Trim(response.ProxyConnection);
    if (ProtocolVersion == pv1_0)
        return SameText(connection, "KEEP-ALIVE") || SameText(proxy, "KEEP-ALIVE");
    return !(SameText(connection, "CLOSE") || SameText(proxy, "CLOSE"));
}

void TIdCustomHTTP::PerformRequest(TIdHTTPMethod verb, const std::string& url, TStream* upload,
                                   TStream* responseStream) {
    TIdHTTPRequest& request = protocol_.Request;
    const std::int64_t start = responseStream ? responseStream->Position() : 0;
    request.Target = url;
    request.Verb = verb;
    request.UploadStream = upload;
    protocol_.Response.BodyStream = responseStream;
    auto rewind = [&] {
        if (responseStream) {
            responseStream->SetPosition(start);
            responseStream->SetSize(start);
        }
    };
    try {
        for (bool done = false; !done;) {
            ++RedirectCount;
            PrepareTarget(request);
            SendRequest();
            ReadAnswerHead();
            switch (DecideNextStep()) {
            case nsFollow:
                rewind();
                break;
            case nsDone:
                done = true;
                break;
            case nsUndefined:
                throw EIdException("Undefined situation");
            case nsReadThenFollow:
                ReadBody(protocol_.Response);
                rewind();
                break;
            case nsAuthRetry:
                --RedirectCount;
                request.Target = url;
                break;
            }
        }
    } catch (...) {
        // A failed exchange may leave unread bytes on the connection; it is never reused.
        try {
            Disconnect();
        } catch (...) {
        }
        protocol_.Response.BodyStream = nullptr;
        throw;
    }
    if (!KeepOpen())
        Disconnect();
    protocol_.Response.BodyStream = nullptr;
    RedirectCount = 0;
}

void TIdCustomHTTP::ReadAnswerHead() {
    for (int interim = 0;; ++interim) {
        if (interim > IdMaxInterimResponses)
            throw EIdException("Too many interim responses.");
        protocol_.Response.StatusLine = ReadLine();
        ReadResponseHead();
        if (OnResponseHead)
            OnResponseHead(this);
        if (ResponseCode() != 100)
            break;
    }
}

void TIdCustomHTTP::PrepareTarget(TIdHTTPRequest& request) {
    TIdURI u(request.Target);
    if (!u.Username.empty()) {
        request.Username = u.Username;
        request.Password = u.Password;
    }
    currentUri_.Username = request.Username;
    currentUri_.Password = request.Password;
    currentUri_.Path = TIdURI::MergePath(currentUri_.Path, u.Path, "/");
    currentUri_.FileName = u.FileName;
    currentUri_.Query = u.Query;
    if (!u.Host.empty())
        currentUri_.Host = u.Host;
    currentUri_.Protocol = u.Protocol.empty() ? DefaultProtocol : u.Protocol;
    if (!u.Port.empty())
        currentUri_.Port = u.Port;
    else if (SameText(u.Protocol, "http"))
        currentUri_.Port = "80";
    else if (SameText(u.Protocol, "https"))
        currentUri_.Port = "443";
    else if (currentUri_.Port.empty())
        throw EIdUnknownProtocol("");

    request.Target = currentUri_.Path;
    request.Target.append(currentUri_.FileName).append(currentUri_.Query);
    if (request.Verb == hmOptions && SameText(u.FileName, "*"))
        request.Target.assign(1, '*');
    if ((request.Verb == hmOptions || request.Verb == hmTrace || request.Verb == hmPut) &&
        ProtocolVersion != pv1_1)
        throw EIdException("This request method is supported in HTTP 1.1");
    if ((request.Verb == hmPost || request.Verb == hmPut) && request.UploadStream)
        request.SetContentLength(request.UploadStream->Size());
    else
        request.SetContentLength(-1);
    // Over TLS the bare host names port 443; a client without TLS keeps its one form.
    const char* bare = Tls && SameText(currentUri_.Protocol, "https") ? "443" : "80";
    request.Host =
        currentUri_.Port == bare ? currentUri_.Host : currentUri_.Host + ":" + currentUri_.Port;
}

TIdHTTPRoute TIdCustomHTTP::SelectRoute() {
    const int port = PortNumber(currentUri_.Port);
    const bool tls = SameText(currentUri_.Protocol, "HTTPS");
    if (tls && !Tls)
        throw EIdIOHandlerPropInvalid("IOHandler value is not valid");
    if (FindProxies) {
        const std::string origin = std::string(tls ? "https" : "http") + "://" + currentUri_.Host +
                                   ":" + std::to_string(port) + "/";
        if (!SameText(origin, proxyOrigin_)) {
            // Discovery may fetch and run a script: bounded on its own and by the request's
            // deadline, and done once for the server.
            auto end = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(IdProxyDiscoveryTimeout);
            if (Deadline && *Deadline < end)
                end = *Deadline;
            proxies_ = FindProxies(origin, end);
            if (proxies_.size() > IdMaxProxyChoices)
                proxies_.resize(IdMaxProxyChoices);
            proxyOrigin_ = origin;
            proxyIndex_ = 0;
            UseProxyChoice();
        }
    }
    return ApplyRoute();
}

void TIdCustomHTTP::UseProxyChoice() {
    const TIdProxyServer proxy =
        proxyIndex_ < proxies_.size() ? proxies_[proxyIndex_] : TIdProxyServer();
    ProxyParams.SetProxyServer(proxy.Host);
    ProxyParams.SetProxyPort(proxy.Direct() ? 0 : proxy.Port);
    // Credentials belong to the proxy that came with them.
    ProxyParams.ProxyUsername = proxy.Username;
    ProxyParams.ProxyPassword = proxy.Password;
}

bool TIdCustomHTTP::NextProxyChoice() {
    if (proxyIndex_ + 1 >= proxies_.size())
        return false;
    ++proxyIndex_;
    UseProxyChoice();
    ApplyRoute();
    return true;
}

TIdHTTPRoute TIdCustomHTTP::ApplyRoute() {
    const int port = PortNumber(currentUri_.Port);
    const bool tls = SameText(currentUri_.Protocol, "HTTPS");
    const bool proxy = !ProxyParams.ProxyServer().empty();
    const TIdHTTPRoute route =
        proxy ? (tls ? routeTlsProxy : routeProxy) : (tls ? routeTls : routeDirect);
    const std::string host = proxy ? ProxyParams.ProxyServer() : currentUri_.Host;
    const int hostPort = !proxy                        ? port
                         : ProxyParams.ProxyPort() > 0 ? ProxyParams.ProxyPort()
                                                       : IdDefaultProxyPort;
    const std::string tunnel =
        route == routeTlsProxy ? currentUri_.Host + ":" + std::to_string(port) : std::string();
    if (!SameText(Host, host) || Port != hostPort || tls != tlsRoute_ || route != route_ ||
        !SameText(tunnel, tunnelTarget_)) {
        // Another server, or the same over another transport or proxy: never the old
        // connection.
        Disconnect();
        TIdTCPClient::SetHost(host);
        TIdTCPClient::SetPort(hostPort);
        tlsRoute_ = tls;
        route_ = route;
        tunnelTarget_ = tunnel;
    }
    return route;
}

std::unique_ptr<TIdIOHandler> TIdCustomHTTP::MakeIOHandler() {
    if (tlsRoute_ && Tls) {
        if (!tlsClient_)
            tlsClient_ = platform::NewTlsClient(*Tls);
        auto handler = std::make_unique<TIdIOHandlerTls>(tlsClient_);
        handler->Tunnel = route_ == routeTlsProxy;
        return handler;
    }
    return TIdTCPClient::MakeIOHandler();
}

void TIdCustomHTTP::ConnectRoute() {
    for (;;) {
        try {
            Connect(ConnectTimeout);
            break;
        } catch (const EIdSocketError&) {
            // A proxy that cannot be reached gives way to the next one the list names.
            if (!NextProxyChoice())
                throw;
        }
    }
    if (route_ == routeTlsProxy)
        OpenTunnel();
}

void TIdCustomHTTP::OpenTunnel() {
    TIdHTTPResponse& response = protocol_.Response;
    TBodyStreamSwap noBody(response, nullptr);
    for (int pass = 0;; ++pass) {
        if (pass >= IdMaxTunnelPasses)
            throw EIdException("The proxy did not open the tunnel.");
        TIdHeaderList lines;
        lines.Add("Host: " + tunnelTarget_);
        ProxyParams.WriteToLines(lines);
        WriteHead("CONNECT " + tunnelTarget_ + " HTTP/1.1", lines);
        ReadAnswerHead();
        const int code = ResponseCode();
        if (code / 100 == 2)
            break;
        if (code != 407)
            RaiseProtocolError();
        TIdAuthentication* auth = ProxyParams.Authenticator.get();
        if ((auth ? auth->Attempts : 0) >= AuthRetries || !AuthorizeProxy()) {
            if (ProxyParams.Authenticator)
                ProxyParams.Authenticator->Reset();
            RaiseProtocolError();
        }
        ReadBodyWithTimeout(IdDrainReadTimeout);
        // A hand-shake of several legs needs the same connection; a proxy that closes it gets
        // the next leg on a new one.
        if (!KeepOpen()) {
            Disconnect();
            Connect(ConnectTimeout);
        }
    }
    // Whatever comes from the server is TLS: a proxy's bytes after its answer are not.
    if (InputBuffer.Size() != 0)
        throw EIdException("The proxy sent data before the tunnel opened.");
    auto* tls = dynamic_cast<TIdIOHandlerTls*>(ioHandler_);
    if (!tls)
        throw EIdIOHandlerPropInvalid("IOHandler value is not valid");
    tls->StartTls(currentUri_.Host,
                  BoundByDeadline(ConnectTimeout > 0 ? ConnectTimeout : IdTlsHandshakeTimeout));
}

void TIdCustomHTTP::SendRequest() {
    TIdHTTPRequest& request = protocol_.Request;
    request.Route = SelectRoute();
    if (ProtocolVersion == pv1_0 && request.Connection.empty())
        request.Connection = "keep-alive";
    EnsureConnected();
    request.Route = route_; // a proxy that could not be reached may have changed it
    WriteRequestHead();
    if ((request.Verb == hmPost || request.Verb == hmPut) && request.UploadStream)
        WriteStream(*request.UploadStream, true, false);
}

void TIdCustomHTTP::EnsureConnected() {
    if (!KeepOpen())
        Disconnect();
    ProbeClosed(false);
    if (!Connected())
        ConnectRoute();
}

void TIdCustomHTTP::WriteRequestHead() {
    TIdHTTPRequest& request = protocol_.Request;
    request.WriteToLines();
    std::string target = request.Target;
    if (request.Route == routeProxy) {
        // The proxy's own fields go to the proxy alone: never into a tunnel, never direct.
        ProxyParams.WriteToLines(request.HeaderLines);
        if (ProxyNoCache)
            request.HeaderLines.SetValue("Cache-Control", "no-cache");
        if (target != "*") {
            TIdURI absolute = currentUri_;
            if (absolute.Port == "80")
                absolute.Port.clear();
            target = absolute.FullUri();
        }
    }
    WriteHead(std::string(MethodText(request.Verb)) + " " + target + " HTTP/" +
                  ProtocolVersionText(ProtocolVersion),
              request.HeaderLines);
}

void TIdCustomHTTP::WriteHead(const std::string& firstLine, const TIdHeaderList& lines) {
    // One buffer, one send: a head split over packets waits on Nagle and delayed ACKs.
    OpenWriteBuffer(-1);
    try {
        WriteLine(firstLine);
        for (const std::string& line : lines.Lines())
            if (!line.empty())
                WriteLine(line);
        WriteLine();
    } catch (...) {
        ClearWriteBuffer();
        CloseWriteBuffer();
        throw;
    }
    CloseWriteBuffer();
}

void TIdCustomHTTP::ReadResponseHead() {
    TIdHTTPResponse& response = protocol_.Response;
    response.HeaderLines.Clear();
    std::string line = ReadLine();
    std::size_t bytes = 0;
    while (!line.empty()) {
        bytes += line.size();
        if (response.HeaderLines.Count() >= static_cast<int>(IdMaxHeaderLines) ||
            bytes > IdMaxHeaderBytes)
            throw EIdException("The response head is too large.");
        response.HeaderLines.Add(line);
        try {
            line = ReadLine();
        } catch (const EIdConnClosedGracefully&) {
            Disconnect();
            break;
        }
    }
    response.ReadFromLines();
}

void TIdCustomHTTP::ReadBody(TIdHTTPResponse& response) {
    if (!response.BodyStream)
        return;
    TStream& stream = *response.BodyStream;
    if (response.ContentLength > 0) {
        try {
            ReadToStream(stream, response.ContentLength, false);
        } catch (const EIdConnClosedGracefully&) {
            // A body shorter than announced is accepted as it is.
        }
        return;
    }
    if (response.HeaderLines.GetValue("Transfer-Encoding").find("chunked") != std::string::npos) {
        ReportStatus(stText, {"Chunk Started"});
        std::int64_t size = ChunkSize(ReadLine());
        while (size > 0) {
            ReadToStream(stream, size, false);
            // Bytes between the data and its line end mean the sizes and the data disagree.
            if (!ReadLine().empty())
                throw EIdHTTPChunkError("Chunk data does not end where its size says.");
            size = ChunkSize(ReadLine());
        }
        ReadLine();
        return;
    }
    if (response.ContentLength < 0)
        ReadToStream(stream, -1, true);
}

void TIdCustomHTTP::ReadBodyWithTimeout(int timeout) {
    TReadTimeoutSwap swap(ReadTimeout, timeout);
    try {
        DrainBody();
    } catch (...) {
        // What is left of the body must never be read as the next answer.
        try {
            Disconnect();
        } catch (...) {
        }
    }
}

TIdHTTPNextStep TIdCustomHTTP::DecideNextStep() {
    TIdHTTPRequest& request = protocol_.Request;
    TIdHTTPResponse& response = protocol_.Response;
    const int code = ResponseCode();
    const int digit = code / 100;
    TIdHTTPNextStep result = nsUndefined;

    if ((digit == 3 && code != 304) || !response.Location.empty()) {
        std::string dest = response.Location;
        TIdHTTPMethod verb = request.Verb;
        if (HandleRedirects && RedirectCount < RedirectMaximum) {
            if (!ConfirmRedirect(dest, verb, RedirectCount))
                RaiseProtocolError();
            result = nsFollow;
            request.Target = dest;
            request.Verb = verb;
        } else {
            result = nsDone;
            if (!ConfirmRedirect(dest, verb, RedirectCount))
                RaiseProtocolError();
            response.Location = dest;
        }
        if (Connected())
            ReadBodyWithTimeout(IdDrainReadTimeout);
        return result;
    }

    bool wantCredentials = false;
    if (digit != 2) {
        result = nsFollow;
        // Through a proxy its sign-on is the client's own business: an accepted challenge is
        // answered, never passed on as the body.
        const bool proxyAuth = (HTTPOptions & hoInProcessAuth) != 0 || UsingProxy();
        if (code == 401) {
            TIdAuthentication* auth = request.Authenticator.get();
            if ((auth ? auth->Attempts : 0) >= AuthRetries || !AuthorizeServer()) {
                if (request.Authenticator)
                    request.Authenticator->Reset();
                RaiseProtocolError();
            }
            wantCredentials = (HTTPOptions & hoInProcessAuth) != 0;
        } else if (code == 407) {
            TIdAuthentication* auth = ProxyParams.Authenticator.get();
            if ((auth ? auth->Attempts : 0) >= AuthRetries || !AuthorizeProxy()) {
                if (ProxyParams.Authenticator) {
                    ProxyParams.Authenticator->Reset();
                    ProxyParams.ProxyUsername.clear();
                    ProxyParams.ProxyPassword.clear();
                }
                RaiseProtocolError();
            }
            wantCredentials = proxyAuth;
        } else {
            RaiseProtocolError();
        }
    }
    if (Connected()) {
        if (wantCredentials) {
            ReadBodyWithTimeout(IdDrainReadTimeout);
            return nsAuthRetry;
        }
        if (code != 204)
            ReadBody(response);
        return nsDone;
    }
    return result;
}

bool TIdCustomHTTP::ConfirmRedirect(std::string& dest, TIdHTTPMethod& verb, int count) {
    bool handled = HandleRedirects;
    if (OnRedirect)
        OnRedirect(this, dest, count, handled, verb);
    return handled;
}

bool TIdCustomHTTP::Authorize(std::unique_ptr<TIdAuthentication>& authenticator,
                              const TIdHeaderList& challenges,
                              const TIdOnSelectAuthorization& select,
                              const TIdOnAuthorization& authorize, bool inProcess,
                              const std::string& host, std::string& username, std::string& password,
                              bool& basic) {
    if (!authenticator) {
        TIdAuthenticationClass cls = nullptr;
        for (const std::string& line : challenges.Lines()) {
            cls = FindAuthScheme(line.substr(0, line.find(' ')));
            if (cls)
                break;
        }
        if (!cls)
            return false;
        if (select)
            select(this, cls, challenges);
        if (!cls)
            return false;
        authenticator = cls->Create();
        if (auto* signOn = dynamic_cast<TIdSSPIAuthentication*>(authenticator.get()))
            signOn->TargetHost = host;
    }
    if (!authorize && !inProcess)
        return false;
    authenticator->SetUsername(username);
    authenticator->SetPassword(password);
    authenticator->Fields.SetValue("Authorization", authenticator->AuthorizationValue());
    authenticator->Challenges().Clear();
    for (const std::string& line : challenges.Lines())
        authenticator->Challenges().Add(line);
    for (;;) {
        switch (authenticator->NextStep()) {
        case wnDoRequest:
            return true;
        case wnFail:
            return false;
        case wnAskTheProgram: {
            // A handler that approves without a user name would be asked for ever.
            if (!authorize || authenticator->Attempts > AuthRetries)
                return false;
            authenticator->SetUsername(username);
            authenticator->SetPassword(password);
            bool handled = false;
            authorize(this, authenticator.get(), handled);
            if (!handled)
                return false;
            basic = true;
            username = authenticator->Username();
            password = authenticator->Password();
            break;
        }
        }
    }
}

bool TIdCustomHTTP::AuthorizeServer() {
    TIdHTTPRequest& request = protocol_.Request;
    return Authorize(request.Authenticator, protocol_.Response.WWWAuthenticate,
                     OnSelectAuthorization, OnAuthorization, (HTTPOptions & hoInProcessAuth) != 0,
                     currentUri_.Host, request.Username, request.Password,
                     request.BasicAuthentication);
}

bool TIdCustomHTTP::AuthorizeProxy() {
    return Authorize(ProxyParams.Authenticator, protocol_.Response.ProxyAuthenticate,
                     OnSelectProxyAuthorization, OnProxyAuthorization,
                     (HTTPOptions & hoInProcessAuth) != 0 || UsingProxy(),
                     ProxyParams.ProxyServer(), ProxyParams.ProxyUsername,
                     ProxyParams.ProxyPassword, ProxyParams.BasicAuthentication);
}

void TIdCustomHTTP::RaiseProtocolError() {
    TMemoryStream body;
    body.SetLimit(IdMaxErrorBodySize);
    {
        TReadTimeoutSwap timeout(ReadTimeout, IdErrorBodyReadTimeout);
        TBodyStreamSwap swap(protocol_.Response, &body);
        ReadBody(protocol_.Response);
    }
    throw EIdHTTPProtocolException(ResponseCode(), protocol_.Response.StatusLine, body.Data());
}

void TIdCustomHTTP::DrainBody() {
    TMemoryStream body;
    body.SetLimit(IdMaxErrorBodySize);
    TBodyStreamSwap swap(protocol_.Response, &body);
    ReadBody(protocol_.Response);
}

#pragma once
// The HTTP/1.0 and 1.1 client: a URL becomes one or more request/response passes on a TCP
// connection; the body goes into a stream or comes back as text; every answer other than a plain
// 2xx ends as EIdHTTPProtocolException. No cookies. An https URL goes over TLS when the client is
// given a trust (Tls), and fails as it always has without one.
//
// Through a proxy (ProxyParams names one, or FindProxies answers with one): plain http sends the
// absolute URI on the request line and nothing else changes but the proxy's own fields; https
// opens a CONNECT tunnel and runs TLS inside it with the server's name and trust. A 407 is
// answered with the proxy's authenticator on the same connection, within AuthRetries.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http/IdHTTPHeaderInfo.h"
#include "http/IdProxy.h"
#include "http/IdTCPConnection.h"
#include "http/IdURI.h"
#include "platform/Tls.h"

enum TIdHTTPMethod { hmHead, hmGet, hmPost, hmOptions, hmTrace, hmPut, hmConnect };
enum TIdHTTPProtocolVersion { pv1_0, pv1_1 };
enum TIdHTTPOption { hoInProcessAuth = 1, hoKeepOrigProtocol = 2, hoForceEncodeParams = 4 };
using TIdHTTPOptions = int;
enum TIdHTTPRoute { routeDirect = 0, routeTls, routeProxy, routeTlsProxy };
enum TIdHTTPNextStep { nsFollow = 0, nsDone, nsUndefined, nsReadThenFollow, nsAuthRetry };

// Timeouts the client sets for itself while it reads a body it will drop or report.
constexpr int IdDrainReadTimeout = 4000;
constexpr int IdErrorBodyReadTimeout = 2000;
// Significant hexadecimal digits of a chunk size: 15 keep it within 60 bits.
constexpr std::size_t IdMaxChunkSizeDigits = 15;
constexpr int IdMaxPort = 65535;
// An error or redirect body is read into memory only up to this size; past it the exchange
// fails, so a peer that streams without end cannot grow the process.
constexpr std::int64_t IdMaxErrorBodySize = 1 << 20;
// Interim "100 Continue" answers accepted before the final one: each resets the read time-out,
// so without a count a peer could send them for ever.
constexpr int IdMaxInterimResponses = 10;
// The most a proxy discovery may take: it comes before the first request of a server, within
// whatever deadline that request has.
constexpr int IdProxyDiscoveryTimeout = 10000;
// CONNECT answers read before the tunnel opens; the authenticator's attempts end a hand-shake
// long before, this ends one whose authenticator never says stop.
constexpr int IdMaxTunnelPasses = 16;

const char* MethodText(TIdHTTPMethod verb);
const char* ProtocolVersionText(TIdHTTPProtocolVersion version);

class EIdHTTPProtocolException : public EIdProtocolReplyError {
public:
    EIdHTTPProtocolException(int code, std::string message, std::string errorBody)
        : EIdProtocolReplyError(code, std::move(message)), errorBody_(std::move(errorBody)) {}
    const std::string& ErrorBody() const { return errorBody_; }

private:
    std::string errorBody_;
};

class EIdUnknownProtocol : public EIdException {
public:
    using EIdException::EIdException;
};

// A chunk-size line that is not a size: the body cannot be delimited.
class EIdHTTPChunkError : public EIdException {
public:
    using EIdException::EIdException;
};

// A port outside 1..65535.
class EIdInvalidPort : public EIdException {
public:
    using EIdException::EIdException;
};

class TIdHTTPRequest : public TIdRequestHeaderInfo {
public:
    std::string Target;
    TIdHTTPMethod Verb = hmGet;
    TStream* UploadStream = nullptr; // not owned
    TIdHTTPRoute Route = routeDirect;
};

class TIdHTTPResponse : public TIdResponseHeaderInfo {
public:
    std::string StatusLine;
    TStream* BodyStream = nullptr; // not owned
    TIdHTTPProtocolVersion StatusVersion = pv1_1;
    int StoredResponseCode = -1;
};

// One exchange: the request and the response it got.
struct TIdHTTPProtocol {
    TIdHTTPRequest Request;
    TIdHTTPResponse Response;
};

class TIdCustomHTTP;

using TIdHTTPOnRedirectEvent = std::function<void(
    TIdCustomHTTP* sender, std::string& dest, int numRedirect, bool& handled, TIdHTTPMethod& verb)>;
using TIdOnSelectAuthorization = std::function<void(
    TIdCustomHTTP* sender, TIdAuthenticationClass& cls, const TIdHeaderList& authInfo)>;
using TIdOnAuthorization =
    std::function<void(TIdCustomHTTP* sender, TIdAuthentication* auth, bool& handled)>;
// The proxies to try, in order, for requests to url ("scheme://host:port/"), answered by end.
using TIdProxyFinder =
    std::function<TIdProxyList(const std::string& url, std::chrono::steady_clock::time_point end)>;

class TIdCustomHTTP : public TIdTCPClient {
public:
    TIdCustomHTTP();

    void SetHost(const std::string& host) override;
    void SetPort(int port) override;

    // The body as text, byte for byte; exceptions pass to the caller.
    std::string GetToString(const std::string& url);
    void GetToStream(const std::string& url, TStream& stream);
    void PerformRequest(TIdHTTPMethod verb, const std::string& url, TStream* upload,
                        TStream* response);

    // The code of the last status line: the number after its first space, or -1.
    int ResponseCode();
    const std::string& StatusLine() const { return protocol_.Response.StatusLine; }
    // Whether the connection stays open after the current answer.
    bool KeepOpen();

    TIdHTTPRequest& Request() { return protocol_.Request; }
    void SetRequest(const TIdHTTPRequest& request) {
        protocol_.Request.Assign(request);
        protocol_.Request.AssignRequest(request);
    }
    TIdHTTPResponse& Response() { return protocol_.Response; }
    TIdURI& CurrentUri() { return currentUri_; }

    int AuthRetries = 3;
    bool AllowCookies = true;
    TIdHTTPOptions HTTPOptions = hoForceEncodeParams;
    int RedirectMaximum = 15;
    bool HandleRedirects = false;
    TIdHTTPProtocolVersion ProtocolVersion = pv1_1;
    int RedirectCount = 0;
    TIdProxyConnectionInfo ProxyParams;
    int ConnectTimeout = 0;
    // The roots an https server must prove itself against, read at the first https connect;
    // without, https is refused.
    std::optional<platform::TTlsTrust> Tls;
    // The scheme of a target that names none ("http", or "https" for a server reached over TLS).
    std::string DefaultProtocol = "http";

    TIdHTTPOnRedirectEvent OnRedirect;
    TIdOnSelectAuthorization OnSelectAuthorization, OnSelectProxyAuthorization;
    TIdOnAuthorization OnAuthorization, OnProxyAuthorization;
    // Fired after each response head has been read (a diagnostic hook).
    std::function<void(TIdCustomHTTP* sender)> OnResponseHead;

    // Asked once per server (scheme, host, port) before its first connection; its answer is
    // kept, and a proxy that cannot be reached gives way to the next entry. Unset, ProxyParams
    // alone decides.
    TIdProxyFinder FindProxies;
    // Through a proxy on plain http, requests ask "Cache-Control: no-cache" while this is set:
    // what the program reads whole must come from the server, never from a cache between.
    bool ProxyNoCache = true;
    // Whether the open connection, or the next one, goes through a proxy.
    bool UsingProxy() const { return route_ == routeProxy || route_ == routeTlsProxy; }

protected:
    std::unique_ptr<TIdIOHandler> MakeIOHandler() override;
    void PrepareTarget(TIdHTTPRequest& request);
    TIdHTTPRoute SelectRoute();
    // Connects along the route, trying the next proxy of the list when one cannot be reached;
    // then, for a tunnel, opens it.
    void ConnectRoute();
    void OpenTunnel();
    void SendRequest();
    void EnsureConnected();
    void WriteRequestHead();
    // A request line and its fields, sent together.
    void WriteHead(const std::string& firstLine, const TIdHeaderList& lines);
    void ReadResponseHead();
    void ReadBody(TIdHTTPResponse& response);
    TIdHTTPNextStep DecideNextStep();
    bool ConfirmRedirect(std::string& dest, TIdHTTPMethod& verb, int count);
    bool AuthorizeServer();
    bool AuthorizeProxy();
    [[noreturn]] void RaiseProtocolError();
    void DrainBody();

private:
    bool Authorize(std::unique_ptr<TIdAuthentication>& authenticator,
                   const TIdHeaderList& challenges, const TIdOnSelectAuthorization& select,
                   const TIdOnAuthorization& authorize, bool inProcess, const std::string& host,
                   std::string& username, std::string& password, bool& basic);
    void ReadBodyWithTimeout(int timeout);
    // The status line and head of the next final answer, interim ones skipped (and counted).
    void ReadAnswerHead();
    // ProxyParams from the list's current entry.
    void UseProxyChoice();
    // Host, Port and the transport from the current URI and ProxyParams; a change drops the
    // connection.
    TIdHTTPRoute ApplyRoute();
    bool NextProxyChoice();

    TIdURI currentUri_;
    TIdHTTPProtocol protocol_;
    bool tlsRoute_ = false; // the open connection, or the next one, runs over TLS
    TIdHTTPRoute route_ = routeDirect;
    std::string tunnelTarget_; // "host:port" of the tunnel the connection carries
    std::string proxyOrigin_;  // the server FindProxies last answered for
    TIdProxyList proxies_;
    std::size_t proxyIndex_ = 0;
    std::shared_ptr<platform::TTlsClient> tlsClient_; // made at the first https connect
};

class TIdHTTP : public TIdCustomHTTP {};

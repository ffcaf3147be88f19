#pragma once
// The update server's address and the HTTP client configured as the splash window's design has
// it.

#include <string>

#include "http/IdHTTP.h"
#include "platform/Tls.h"

// The host built in (CMake's QVB_UPDATE_HOST), port 80; or, in a build with QVB_UPDATE_TLS,
// port 443 over TLS.
extern const char* const DefaultUpdateHost;
extern const bool DefaultUpdateTls;
constexpr int DefaultUpdatePort = 80;
constexpr int DefaultUpdateTlsPort = 443;

// The client's starting limits, so that a server that accepts and stays silent, or a connect
// that never completes, cannot keep the application from starting. A verified download sets
// its own read time-out, which then stays.
constexpr int UpdateClientReadTimeout = 30000;
constexpr int UpdateClientConnectTimeout = 30000;

struct TServerAddress {
    std::string Host;
    int Port = DefaultUpdatePort;
    bool Tls = false;
    // Not empty when the override did not parse: the message for the user. Host is then empty
    // and no server may be contacted.
    std::string Error;
};

// "host", "host:port", "http://host[:port]" or "https://host[:port]" from override when it is not
// empty (the QVBRELMOX_SERVER environment value), else the built-in server. Without a scheme
// the build's own applies; the port defaults to the scheme's. An override that does not parse
// (an empty host, a character a host name cannot hold, a port that is not a number from 1 to
// 65535) gives an address with Error set, never the built-in host.
TServerAddress UpdateServerAddress(const std::string& override);

// What the user is told about an address setting that does not parse.
std::string BadServerAddressMessage(const std::string& value);

// The form's design: the server's host and port, cookies off, no proxy authentication, the
// request's Accept and User-Agent, no content length or range, and only hoForceEncodeParams;
// and the starting read and connect time-outs, and large receives. https is allowed, against
// trust (the build's roots, or the platform's store); the address's scheme is the default one.
void ConfigureUpdateClient(TIdHTTP& http, const TServerAddress& address,
                           const platform::TTlsTrust& trust = {});

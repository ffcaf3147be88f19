#pragma once
// The update server's address and the HTTP client configured as the splash window's design has
// it.

#include <string>

#include "http/IdHTTP.h"

// The host built in (CMake's QVB_UPDATE_HOST), port 80.
extern const char* const DefaultUpdateHost;
constexpr int DefaultUpdatePort = 80;

// The client's starting limits, so that a server that accepts and stays silent, or a connect
// that never completes, cannot keep the application from starting. A verified download sets
// its own read time-out, which then stays.
constexpr int UpdateClientReadTimeout = 30000;
constexpr int UpdateClientConnectTimeout = 30000;

struct TServerAddress {
    std::string Host;
    int Port = DefaultUpdatePort;
    // Not empty when the override did not parse: the message for the user. Host is then empty
    // and no server may be contacted.
    std::string Error;
};

// "host" or "host:port" from override when it is not empty (the QVBRELMOX_SERVER environment
// value), else the built-in host on port 80. An override that does not parse (an empty host,
// a character a host name cannot hold, a port that is not a number from 1 to 65535) gives
// an address with Error set, never the built-in host.
TServerAddress UpdateServerAddress(const std::string& override);

// What the user is told about an address setting that does not parse.
std::string BadServerAddressMessage(const std::string& value);

// The form's design: the server's host and port, cookies off, no proxy authentication, the
// request's Accept and User-Agent, no content length or range, and only hoForceEncodeParams;
// and the starting read and connect time-outs, and large receives.
void ConfigureUpdateClient(TIdHTTP& http, const TServerAddress& address);

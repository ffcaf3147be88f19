#pragma once
// The update server's address and the HTTP client configured as the splash window's design has
// it.

#include <string>

#include "http/IdHTTP.h"

// The host built in (CMake's QVB_UPDATE_HOST), port 80.
extern const char* const DefaultUpdateHost;
constexpr int DefaultUpdatePort = 80;

struct TServerAddress {
    std::string Host;
    int Port = DefaultUpdatePort;
};

// "host" or "host:port" from override when it is not empty (the QVBRELMOX_SERVER environment
// value), else the built-in host on port 80. A port that is not a number from 1 to 65535
// leaves the override unused.
TServerAddress UpdateServerAddress(const std::string& override);

// The form's design: the server's host and port, cookies off, no proxy authentication, the
// request's Accept and User-Agent, no content length or range, and only hoForceEncodeParams.
void ConfigureUpdateClient(TIdHTTP& http, const TServerAddress& address);

#pragma once
// Where a request goes: straight to the server or through a proxy. Pure decisions over the
// texts that proxy settings come in (a PAC answer, WinHTTP's static list and bypass list, the
// http_proxy family of environment values); the client tries the resulting list in order.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ProxySettings.h"

// A proxy to connect to, or direct when Host is empty. Credentials come with a proxy only from
// a setting that names them (an http_proxy URL); they go to that proxy and nowhere else.
struct TIdProxyServer {
    std::string Host;
    int Port = 0;
    std::string Username, Password;

    bool Direct() const { return Host.empty(); }
    bool operator==(const TIdProxyServer& o) const { return Host == o.Host && Port == o.Port; }
};
using TIdProxyList = std::vector<TIdProxyServer>;

// A proxy named without a port listens where HTTP does.
constexpr int IdDefaultProxyPort = 80;
// The most entries a list keeps: each one that cannot be reached costs a connect, and a list
// without end must not keep a check busy.
constexpr std::size_t IdMaxProxyChoices = 8;

// "host", "host:port", "http://[user[:password]@]host[:port][/]": false when it names no
// usable proxy (another scheme, an empty host, a port outside 1..65535).
bool ParseProxyAddress(const std::string& text, TIdProxyServer& proxy);

// A PAC answer, "PROXY a:8080; PROXY b:3128; DIRECT": its entries in order, with direct as an
// entry of its own. Kinds the client cannot use (SOCKS, HTTPS) are skipped; an answer with
// nothing usable gives an empty list.
TIdProxyList ParsePacAnswer(const std::string& text);

// WinHTTP's static list: one proxy for every scheme ("a:8080"), or one per scheme
// ("http=a:8080;https=b:8443", separated by ';' or blanks). The proxy for scheme, or a direct
// entry when the list names none for it.
TIdProxyServer StaticProxyFor(const std::string& list, const std::string& scheme);

// WinHTTP's bypass list: entries separated by ';' or blanks; "<local>" is any name without a
// dot; "*" wildcards match any run of characters; letter case does not count.
bool BypassListMatches(const std::string& list, const std::string& host);

// no_proxy: entries separated by ',' or blanks; "*" is every host; "example.com" and
// ".example.com" match that name and every name under it.
bool NoProxyMatches(const std::string& list, const std::string& host);

// The proxies a system's settings give for a server (scheme "http" or "https"): the PAC answer
// when there is one; else the static list's proxy for the scheme unless the bypass list names
// the host; else the environment's proxy unless no_proxy names the host. An empty list is
// direct.
TIdProxyList ProxiesFromSettings(const platform::TProxySettings& settings,
                                 const std::string& scheme, const std::string& host);

#include "update/UpdateServer.h"

#include "support/Text.h"

#include <cstring>
#include <utility>

#ifndef QVB_UPDATE_HOST
#define QVB_UPDATE_HOST "atualiza.qvbrelmox.com.br"
#endif

#ifdef QVB_UPDATE_TLS
const bool DefaultUpdateTls = true;
#else
const bool DefaultUpdateTls = false;
#endif

const char* const DefaultUpdateHost = QVB_UPDATE_HOST;

namespace {

// Letters, digits, "-", "." and "_": a host name or an IPv4 literal.
bool IsHostName(std::string_view host) {
    if (host.empty())
        return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == '_'))
            return false;
    return true;
}

bool IsPortText(std::string_view text, int& port) {
    // Digits only: TryStrToInt64 would also take a sign.
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    long long value = 0;
    if (!TryStrToInt64(text, value) || value < 1 || value > IdMaxPort)
        return false;
    port = static_cast<int>(value);
    return true;
}

} // namespace

TServerAddress UpdateServerAddress(const std::string& override) {
    const int buildPort = DefaultUpdateTls ? DefaultUpdateTlsPort : DefaultUpdatePort;
    TServerAddress address{DefaultUpdateHost, buildPort, DefaultUpdateTls, {}};
    std::string_view text = Trim(override);
    if (text.empty())
        return address;
    for (const auto& [scheme, tls] : {std::pair{"https://", true}, std::pair{"http://", false}})
        if (text.size() > std::strlen(scheme) &&
            SameText(text.substr(0, std::strlen(scheme)), scheme)) {
            text.remove_prefix(std::strlen(scheme));
            address.Tls = tls;
            break;
        }
    std::size_t colon = text.rfind(':');
    std::string_view host = text.substr(0, colon);
    int port = address.Tls ? DefaultUpdateTlsPort : DefaultUpdatePort;
    if (!IsHostName(host) ||
        (colon != std::string::npos && !IsPortText(text.substr(colon + 1), port)))
        return {{}, DefaultUpdatePort, false, BadServerAddressMessage(override)};
    address.Host = std::string(host);
    address.Port = port;
    return address;
}

std::string BadServerAddressMessage(const std::string& value) {
    return "Endere\xE7o do servidor inv\xE1lido em QVBRELMOX_SERVER: \"" + value +
           "\". Use host ou host:porta (porta de 1 a 65535).";
}

void ConfigureUpdateClient(TIdHTTP& http, const TServerAddress& address,
                           const platform::TTlsTrust& trust) {
    http.MaxLineAction = maException;
    http.Tls = trust;
    http.DefaultProtocol = address.Tls ? "https" : "http";
    http.SetHost(address.Host);
    http.SetPort(address.Port);
    http.AllowCookies = false;
    http.ProxyParams.BasicAuthentication = false;
    http.ProxyParams.SetProxyPort(0);
    TIdHTTPRequest& request = http.Request();
    request.SetContentLength(-1);
    request.ContentRangeEnd = 0;
    request.ContentRangeStart = 0;
    request.Accept = "text/html, */*";
    request.BasicAuthentication = false;
    request.UserAgent = "Mozilla/3.0 (compatible; QVBrelmox)";
    http.HTTPOptions = hoForceEncodeParams;
    http.ReadTimeout = UpdateClientReadTimeout;
    http.RecvBufferSize = IdLargeRecvBufferSize;
    http.ConnectTimeout = UpdateClientConnectTimeout;
}

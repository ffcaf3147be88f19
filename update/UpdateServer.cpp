#include "update/UpdateServer.h"

#include "support/Text.h"

#ifndef QVB_UPDATE_HOST
#define QVB_UPDATE_HOST "atualiza.qvbrelmox.com.br"
#endif

const char* const DefaultUpdateHost = QVB_UPDATE_HOST;

TServerAddress UpdateServerAddress(const std::string& override) {
    TServerAddress address{DefaultUpdateHost, DefaultUpdatePort};
    std::string text(Trim(override));
    if (text.empty())
        return address;
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        address.Host = text;
        return address;
    }
    long long port = 0;
    if (colon == 0 || !TryStrToInt64(std::string_view(text).substr(colon + 1), port) || port < 1 ||
        port > 65535)
        return address;
    address.Host = text.substr(0, colon);
    address.Port = static_cast<int>(port);
    return address;
}

void ConfigureUpdateClient(TIdHTTP& http, const TServerAddress& address) {
    http.MaxLineAction = maException;
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
}

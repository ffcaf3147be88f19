#include "http/IdProxy.h"

#include "support/Text.h"

#include <cctype>

namespace {

// The pieces of text between any of the separators, without the empty ones.
std::vector<std::string_view> Pieces(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(separators);
        std::string_view piece = Trim(text.substr(0, end));
        if (!piece.empty())
            out.push_back(piece);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return out;
}

bool HostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// A wildcard pattern ("*" any run) against a name, letter case aside.
bool WildcardMatches(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(name[n])) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace

bool ParseProxyAddress(const std::string& textIn, TIdProxyServer& proxy) {
    std::string_view text = Trim(textIn);
    const std::size_t scheme = text.find("://");
    if (scheme != std::string_view::npos) {
        if (!SameText(text.substr(0, scheme), "http"))
            return false;
        text.remove_prefix(scheme + 3);
    }
    text = text.substr(0, text.find('/'));
    TIdProxyServer result;
    const std::size_t at = text.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view user = text.substr(0, at);
        const std::size_t colon = user.find(':');
        result.Username = std::string(user.substr(0, colon));
        if (colon != std::string_view::npos)
            result.Password = std::string(user.substr(colon + 1));
        text.remove_prefix(at + 1);
    }
    const std::size_t colon = text.rfind(':');
    std::string_view host = text.substr(0, colon);
    result.Port = IdDefaultProxyPort;
    if (colon != std::string_view::npos) {
        std::string_view port = text.substr(colon + 1);
        long long value = 0;
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string_view::npos ||
            !TryStrToInt64(port, value) || value < 1 || value > 65535)
            return false;
        result.Port = static_cast<int>(value);
    }
    if (host.empty())
        return false;
    for (char c : host)
        if (!HostCharacter(c))
            return false;
    result.Host = std::string(host);
    proxy = std::move(result);
    return true;
}

TIdProxyList ParsePacAnswer(const std::string& text) {
    TIdProxyList list;
    for (std::string_view entry : Pieces(text, ";")) {
        if (list.size() >= IdMaxProxyChoices)
            break;
        const std::size_t space = entry.find_first_of(" \t");
        std::string_view kind = entry.substr(0, space);
        std::string_view rest =
            space == std::string_view::npos ? std::string_view() : Trim(entry.substr(space));
        TIdProxyServer proxy;
        if (SameText(kind, "DIRECT") && rest.empty())
            list.push_back(proxy);
        else if (SameText(kind, "PROXY") && ParseProxyAddress(std::string(rest), proxy) &&
                 proxy.Username.empty() && rest.find('/') == std::string_view::npos)
            list.push_back(proxy);
    }
    return list;
}

TIdProxyServer StaticProxyFor(const std::string& list, const std::string& scheme) {
    TIdProxyServer any, own;
    for (std::string_view entry : Pieces(list, "; \t")) {
        const std::size_t eq = entry.find('=');
        TIdProxyServer proxy;
        if (eq == std::string_view::npos) {
            if (any.Direct() && ParseProxyAddress(std::string(entry), proxy))
                any = proxy;
        } else if (SameText(entry.substr(0, eq), scheme) && own.Direct() &&
                   ParseProxyAddress(std::string(entry.substr(eq + 1)), proxy)) {
            own = proxy;
        }
    }
    return own.Direct() ? any : own;
}

bool BypassListMatches(const std::string& list, const std::string& host) {
    for (std::string_view entry : Pieces(list, "; \t")) {
        if (SameText(entry, "<local>")) {
            if (host.find('.') == std::string::npos)
                return true;
        } else if (WildcardMatches(entry, host)) {
            return true;
        }
    }
    return false;
}

bool NoProxyMatches(const std::string& list, const std::string& host) {
    for (std::string_view entry : Pieces(list, ", \t")) {
        if (entry == "*")
            return true;
        if (entry.front() == '.')
            entry.remove_prefix(1);
        if (entry.empty())
            continue;
        if (SameText(entry, host))
            return true;
        if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
            SameText(std::string_view(host).substr(host.size() - entry.size()), entry))
            return true;
    }
    return false;
}

TIdProxyList ProxiesFromSettings(const platform::TProxySettings& settings,
                                 const std::string& scheme, const std::string& host) {
    if (settings.PacAnswer)
        return ParsePacAnswer(*settings.PacAnswer);
    if (!settings.StaticList.empty()) {
        const TIdProxyServer proxy = StaticProxyFor(settings.StaticList, scheme);
        if (!proxy.Direct() && !BypassListMatches(settings.BypassList, host))
            return {proxy};
        return {};
    }
    TIdProxyServer proxy;
    if (!settings.ProxyUrl.empty() && ParseProxyAddress(settings.ProxyUrl, proxy) &&
        !NoProxyMatches(settings.NoProxy, host))
        return {proxy};
    return {};
}

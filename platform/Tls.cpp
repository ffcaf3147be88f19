// What the TLS seam does the same on every platform.

#include "platform/Tls.h"

#include <algorithm>
#include <cctype>

namespace platform {

namespace {

bool IsIPv4Literal(const std::string& host) {
    int parts = 0, digits = 0;
    for (char c : host) {
        if (c == '.') {
            if (digits == 0)
                return false;
            ++parts;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 3 && digits > 0;
}

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool DnsNameMatches(std::string_view host, std::string_view name) {
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    if (name.size() > 2 && name.substr(0, 2) == "*.") {
        const std::string_view rest = name.substr(2);
        const std::size_t dot = host.find('.');
        // The wildcard stands for one whole label, under a name of at least two labels.
        return rest.find('.') != std::string_view::npos && dot != std::string_view::npos &&
               dot > 0 && SameLetters(host.substr(dot + 1), rest);
    }
    return name.find('*') == std::string_view::npos && SameLetters(host, name);
}

} // namespace

bool CertificateNamesMatch(const std::string& host, const std::vector<std::string>& dnsNames,
                           const std::vector<std::string>& ipAddresses) {
    if (IsIPv4Literal(host))
        return std::find(ipAddresses.begin(), ipAddresses.end(), host) != ipAddresses.end();
    std::string_view bare(host);
    if (!bare.empty() && bare.back() == '.')
        bare.remove_suffix(1);
    if (bare.empty())
        return false;
    return std::any_of(dnsNames.begin(), dnsNames.end(),
                       [&](const std::string& name) { return DnsNameMatches(bare, name); });
}

} // namespace platform

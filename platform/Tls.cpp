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

// DER tags: a SEQUENCE, and GeneralName's dNSName ([2] IMPLICIT IA5String).
constexpr unsigned char DerSequence = 0x30;
constexpr unsigned char DerDnsName = 0x82;
// The most bytes of a long-form DER length we take: 4 GiB is far beyond any certificate.
constexpr std::size_t DerLengthBytesMax = 4;

// Takes one DER element off the front of rest: its tag and its contents. False when its header
// is malformed (a multi-byte tag, an indefinite length, a length beyond DerLengthBytesMax) or
// its contents run past rest.
bool TakeElement(std::string_view& rest, unsigned char& tag, std::string_view& contents) {
    if (rest.size() < 2)
        return false;
    tag = static_cast<unsigned char>(rest[0]);
    if ((tag & 0x1F) == 0x1F)
        return false;
    std::size_t length = static_cast<unsigned char>(rest[1]), header = 2;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > DerLengthBytesMax || rest.size() < header + bytes)
            return false;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            length = (length << 8) | static_cast<unsigned char>(rest[header + i]);
        header += bytes;
    }
    if (length > rest.size() - header)
        return false;
    contents = rest.substr(header, length);
    rest.remove_prefix(header + length);
    return true;
}

} // namespace

bool SubjectAltDnsNames(std::string_view der, std::vector<std::string>& dns) {
    unsigned char tag = 0;
    std::string_view names;
    if (!TakeElement(der, tag, names) || tag != DerSequence || !der.empty())
        return false;
    while (!names.empty()) {
        std::string_view name;
        if (!TakeElement(names, tag, name))
            return false;
        if (tag == DerDnsName)
            dns.emplace_back(name);
    }
    return true;
}

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

#include "platform/Tls.h"

#include <gtest/gtest.h>

TEST(Tls, CertificateNamesMatchTheHost) {
    using Names = std::vector<std::string>;
    const struct {
        const char* host;
        Names dns, ips;
        bool match;
    } cases[] = {
        {"atualiza.example.com.br", {"atualiza.example.com.br"}, {}, true},
        {"ATUALIZA.Example.com.br", {"atualiza.example.com.br"}, {}, true},
        {"atualiza.example.com.br.", {"atualiza.example.com.br"}, {}, true},
        {"atualiza.example.com.br", {"other.example.com.br", "*.example.com.br"}, {}, true},
        {"a.b.example.com.br", {"*.example.com.br"}, {}, false}, // one label only
        {"example.com.br", {"*.example.com.br"}, {}, false},
        {"atualiza.com", {"*.com"}, {}, false}, // never a whole top-level name
        {"atualiza.example.com.br", {"atu*.example.com.br"}, {}, false},
        {"atualiza.example.com.br", {"atualiza.example.com"}, {}, false},
        {"atualiza.example.com.br", {}, {"127.0.0.1"}, false},
        // An IP host matches only an IP name, never a DNS name that reads the same.
        {"127.0.0.1", {}, {"127.0.0.1"}, true},
        {"127.0.0.1", {"127.0.0.1"}, {}, false},
        {"127.0.0.1", {"*.0.0.1"}, {"127.0.0.2"}, false},
        {"localhost", {"localhost"}, {"127.0.0.1"}, true},
        {"", {""}, {}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::CertificateNamesMatch(c.host, c.dns, c.ips), c.match) << c.host;
}

TEST(Tls, SubjectAltDnsNamesComeWhole) {
    using namespace std::string_literals;
    using Names = std::vector<std::string>;
    const std::string localhost = "\x82\x09localhost";
    const std::string withNul = "\x82\x17localhost\0.evil.example"s;
    const struct {
        const char* name;
        std::string der;
        bool ok;
        Names dns;
    } cases[] = {
        {"one name", "\x30\x0b" + localhost, true, {"localhost"}},
        {"a NUL inside stays", "\x30\x19" + withNul, true, {"localhost\0.evil.example"s}},
        {"other kinds skipped, order kept",
         "\x30\x2f"s + withNul + "\x87\x04\x7f\x00\x00\x01"s + "\xa0\x03\x06\x01\x00"s + localhost,
         true,
         {"localhost\0.evil.example"s, "localhost"}},
        {"long-form lengths", "\x30\x82\x00\x0c\x82\x81\x09localhost"s, true, {"localhost"}},
        {"no names", "\x30\x00"s, true, {}},
        {"not a sequence", "\x31\x0b" + localhost, false, {}},
        {"a byte after the sequence", "\x30\x0b" + localhost + "\x00"s, false, {}},
        {"a name past the sequence", "\x30\x0a" + localhost, false, {}},
        {"a name past the input", "\x30\x0b\x82\x0alocalhost", false, {}},
        {"cut inside a header", "\x30\x01\x82", false, {}},
        {"indefinite length", "\x30\x80" + localhost + "\x00\x00"s, false, {}},
        {"length of five bytes", "\x30\x85\x00\x00\x00\x00\x0b" + localhost, false, {}},
        {"multi-byte tag", "\x30\x03\x9f\x01\x00"s, false, {}},
        {"empty", "", false, {}},
    };
    for (const auto& c : cases) {
        Names dns;
        EXPECT_EQ(platform::SubjectAltDnsNames(c.der, dns), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(dns, c.dns) << c.name;
        }
    }
}

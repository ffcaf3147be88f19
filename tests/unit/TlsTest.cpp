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

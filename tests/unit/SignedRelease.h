#pragma once
// A release signed once with a key made for the tests; only the key's public half is kept. The
// manifest lists these three files, with a P-384 key that must be refused beside it.

#include <string>

namespace signed_release {

inline const std::string Config = "[QVBrelmox]\r\n";
inline const std::string VersionFile =
    "Start.Ok=1\r\n:VersaoAtual=7.0\r\ntabela.dat=7\r\nEnd.Ok=1\r\n";
inline const std::string Table = "tabela 7";

inline const std::string KeyPem =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEuozpszXW7dPfrIu9zquFRRvlV8AZ\n"
    "+JTf1mIhtreQoywRjpMtUsDOGbKYgWD572qYlfueFXsvOQMK3Ee/R5clpg==\n"
    "-----END PUBLIC KEY-----\n";
inline const std::string P384Pem =
    "-----BEGIN PUBLIC KEY-----\n"
    "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEXM1F24Fz2uBzJQHj1wxYhhhpvT+JXcNy\n"
    "iKdNWCo+ZGm8NlnyzWjz4tEvRHmUaqXCSmPb4cv3xt6HT7m9Mo8OMeSwD2+Qk163\n"
    "AKmFKmm+iYQZ/vtmoBR+3Fevb9BRz1xy\n"
    "-----END PUBLIC KEY-----\n";
inline const std::string Manifest =
    "Release=7.0\r\nSequence=5\r\nArea=Contrib\r\n"
    "QVBrelmox2.ini=13 418b2beffdbb92cfd1d83e7d935f6042ccb0a1dd48fa68056ae26c81797eabdb\r\n"
    "Versao.txt=54 bd446d81f52693332dcba803edb3d94afaba73391b8375ba154e5055ec4489a5\r\n"
    "tabela.dat=8 5f72b7816ac13c6ea0d6baa0d2ff62973381bf31166206d18fe594cef14f046d\r\n";
inline const std::string Signature =
    "MEQCIGo4o4q4soM7tqCM1uy1UUB412K0e4287d9jAqZHql8GAiBss5VSz8/nUQuwsuJoE1n/lMQ7Wfmup7npFtpbgHgp7g"
    "==";
// The same release signed for another download area.
inline const std::string BetaManifest = [] {
    std::string text = Manifest;
    return text.replace(text.find("Area=Contrib"), 12, "Area=Beta");
}();
inline const std::string BetaSignature = "MEUCIQD3njgG+fzHk3EIyKx5M2J8g/rGUv5wYOexJ/"
                                         "gEM7EwDgIgGiq910gzD/1gC5HjPrOZ7w5a0EO8YmdGsMy9LzGVQkA"
                                         "=";

} // namespace signed_release

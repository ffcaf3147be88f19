#include "http/IdProxy.h"

#include "TestSupport.h"
#include "http/IdAuthenticationSSPI.h"

#include <gtest/gtest.h>

TEST(IdProxy, AddressesPacAnswersAndStaticLists) {
    const struct {
        const char* text;
        const char* expected; // "" when refused
    } addresses[] = {
        {"proxy.corp:8080", "proxy.corp:8080"},
        {"http://u:p:w@proxy.corp:3128/", "proxy.corp:3128"},
        {"  proxy.corp ", "proxy.corp:80"},
        {"socks5://proxy.corp:1080", ""},
        {"proxy.corp:0", ""},
        {"proxy.corp:65536", ""},
        {"proxy.corp:+80", ""},
        {":8080", ""},
        {"pro xy:8080", ""},
    };
    for (const auto& c : addresses) {
        TIdProxyServer proxy;
        const bool ok = ParseProxyAddress(c.text, proxy);
        EXPECT_EQ(ok ? proxy.Host + ":" + std::to_string(proxy.Port) : "", c.expected) << c.text;
    }
    TIdProxyServer withUser;
    ASSERT_TRUE(ParseProxyAddress("http://ana:se:nha@p:1/", withUser));
    EXPECT_EQ(withUser.Username + "|" + withUser.Password, "ana|se:nha");

    const struct {
        const char* answer;
        const char* expected;
    } pac[] = {
        {"PROXY a:8080; PROXY b:3128; DIRECT", "a:8080,b:3128,DIRECT"},
        {"proxy a:1;direct", "a:1,DIRECT"},
        {"SOCKS s:1080; PROXY a", "a:80"},
        {"HTTPS h:443", ""},
        {"PROXY u@a:1; PROXY ; DIRECT x", ""},
        {"", ""},
        {"PROXY a:1;PROXY a:2;PROXY a:3;PROXY a:4;PROXY a:5;PROXY a:6;PROXY a:7;PROXY a:8;"
         "PROXY a:9",
         "a:1,a:2,a:3,a:4,a:5,a:6,a:7,a:8"},
    };
    for (const auto& c : pac)
        EXPECT_EQ(ProxyListText(ParsePacAnswer(c.answer)), c.expected) << c.answer;

    const struct {
        const char* list;
        const char* scheme;
        const char* expected;
    } lists[] = {
        {"a:8080", "http", "a:8080"},
        {"a:8080", "https", "a:8080"},
        {"http=a:8080;https=b:8443", "https", "b:8443"},
        {"http=a:8080 https=b:8443", "http", "a:8080"},
        {"http=a:8080", "https", "DIRECT"},
        {"ftp=f:21;c:3128", "https", "c:3128"},
        {"HTTPS=b:1", "https", "b:1"},
    };
    for (const auto& c : lists)
        EXPECT_EQ(ProxyListText({StaticProxyFor(c.list, c.scheme)}), c.expected) << c.list;
}

TEST(IdProxy, BypassAndNoProxyLists) {
    const struct {
        const char* list;
        const char* host;
        bool bypass;
    } bypass[] = {
        {"<local>", "intranet", true},
        {"<local>", "atualiza.example.com", false},
        {"*.corp.example", "a.b.CORP.example", true},
        {"*.corp.example", "corp.example", false},
        {"atualiza.example.com; 10.*", "ATUALIZA.example.com", true},
        {"atualiza.example.com; 10.*", "10.1.2.3", true},
        {"atualiza.example.com; 10.*", "atualiza.example.com.evil", false},
        {"", "x", false},
    };
    for (const auto& c : bypass)
        EXPECT_EQ(BypassListMatches(c.list, c.host), c.bypass) << c.list << " " << c.host;

    const struct {
        const char* list;
        const char* host;
        bool bypass;
    } noProxy[] = {
        {"*", "any.example", true},
        {"example.com", "a.example.com", true},
        {".example.com", "example.com", true},
        {"example.com", "badexample.com", false},
        {"localhost, 127.0.0.1", "127.0.0.1", true},
        {",,.", "x", false},
    };
    for (const auto& c : noProxy)
        EXPECT_EQ(NoProxyMatches(c.list, c.host), c.bypass) << c.list << " " << c.host;
}

TEST(IdProxy, WhichSettingDecides) {
    platform::TProxySettings pac;
    pac.PacAnswer = "PROXY p:1; DIRECT";
    pac.StaticList = "s:2";
    EXPECT_EQ(ProxyListText(ProxiesFromSettings(pac, "http", "h")), "p:1,DIRECT");
    platform::TProxySettings fixed;
    fixed.StaticList = "http=s:2";
    fixed.BypassList = "<local>";
    fixed.ProxyUrl = "e:3";
    EXPECT_EQ(ProxyListText(ProxiesFromSettings(fixed, "http", "h.example")), "s:2");
    EXPECT_EQ(ProxyListText(ProxiesFromSettings(fixed, "http", "intranet")), "");
    EXPECT_EQ(ProxyListText(ProxiesFromSettings(fixed, "https", "h.example")), "");
    platform::TProxySettings environment;
    environment.ProxyUrl = "http://u:p@e:3";
    environment.NoProxy = "corp.example";
    EXPECT_EQ(ProxyListText(ProxiesFromSettings(environment, "http", "h.example")), "e:3");
    EXPECT_EQ(ProxiesFromSettings(environment, "http", "h.example")[0].Password, "p");
    EXPECT_EQ(ProxyListText(ProxiesFromSettings(environment, "http", "a.corp.example")), "");
}

TEST(IdProxy, SignOnSchemesArePreferredAndNeverGuessed) {
    RegisterSignOnSchemes();
    RegisterSignOnSchemes(); // once only, whoever asks
    const struct {
        std::vector<std::string> challenges;
        const char* expected;
    } cases[] = {
        {{"Basic realm=\"p\"", "NTLM", "Negotiate"}, "TIdNegotiateAuthentication"},
        {{"Basic realm=\"p\"", "ntlm"}, "TIdNTLMAuthentication"},
        {{"Digest x", "Basic realm=\"p\""}, "TIdBasicAuthentication"},
        {{"Digest x"}, ""},
    };
    for (const auto& c : cases) {
        TIdHeaderList list;
        for (const std::string& line : c.challenges)
            list.Add(line);
        TIdAuthenticationClass cls = PreferredScheme(list);
        EXPECT_EQ(cls ? cls->ClassName : "", std::string(c.expected)) << c.challenges[0];
    }
    // A challenge after the last leg, or one for another scheme, is a refusal; without the
    // platform's sign-on there is no first leg.
    TIdNTLMAuthentication ntlm;
    ntlm.Challenges().Add("Negotiate");
    EXPECT_EQ(ntlm.NextStep(), wnFail);
    ntlm.Challenges().Clear();
    ntlm.Challenges().Add("NTLM " + TIdEncoderMIME::Encode("challenge"));
    EXPECT_EQ(ntlm.NextStep(), wnFail);
    EXPECT_EQ(ntlm.AuthorizationValue(), "");
}

// WinHTTP's resolver answer, read as a proxy script's answer (Windows builds, under Wine: the
// resolver itself exists on Windows 8 and later only, so its entries are made here).

#include "TestSupport.h"
#include "http/IdProxy.h"
#include "platform/ProxyResolver_win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct TEntry {
    bool Proxy;
    INTERNET_SCHEME Scheme;
    const wchar_t* Host;
    INTERNET_PORT Port;
};

TEST(ProxyResolver, EntriesKeepTheirOrderAndDirect) {
    const INTERNET_SCHEME http = INTERNET_SCHEME_HTTP, socks = INTERNET_SCHEME_SOCKS;
    const struct {
        const char* name;
        std::vector<TEntry> entries;
        const char* answer;
        const char* tried;
    } cases[] = {
        {"nothing", {}, "", ""},
        {"direct alone", {{false, http, nullptr, 0}}, "DIRECT", "DIRECT"},
        {"a dead proxy, then direct",
         {{true, http, L"down.corp", 8080}, {false, http, nullptr, 0}},
         "PROXY down.corp:8080; DIRECT",
         "down.corp:8080,DIRECT"},
        {"SOCKS and nameless entries left out, the order kept",
         {{true, socks, L"s.corp", 1080},
          {true, http, L"a.corp", 3128},
          {true, http, L"", 1},
          {false, http, nullptr, 0},
          {true, http, L"b.corp", 80}},
         "PROXY a.corp:3128; DIRECT; PROXY b.corp:80",
         "a.corp:3128,DIRECT,b.corp:80"},
    };
    for (const auto& c : cases) {
        std::vector<WINHTTP_PROXY_RESULT_ENTRY> entries;
        for (const TEntry& e : c.entries) {
            WINHTTP_PROXY_RESULT_ENTRY entry{};
            entry.fProxy = e.Proxy;
            entry.ProxyScheme = e.Scheme;
            entry.pwszProxy = const_cast<PWSTR>(e.Host);
            entry.ProxyPort = e.Port;
            entries.push_back(entry);
        }
        WINHTTP_PROXY_RESULT result{static_cast<DWORD>(entries.size()), entries.data()};
        const std::string answer = platform::ResolverAnswer(result);
        EXPECT_EQ(answer, c.answer) << c.name;
        EXPECT_EQ(ProxyListText(ParsePacAnswer(answer)), c.tried) << c.name;
    }
}

} // namespace

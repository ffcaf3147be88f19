#include "platform/ProxySettings.h"

#include "platform/WinHandles.h"

#include <winhttp.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace platform {

namespace {

// Where the user's connection settings live, in the binary form WinHTTP reads.
const char ConnectionsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const char DefaultConnectionSettings[] = "DefaultConnectionSettings";
// The flags of that value: a proxy, a PAC address, automatic detection.
constexpr DWORD SettingsUseProxy = 0x02, SettingsPacUrl = 0x04, SettingsAutoDetect = 0x08;
constexpr DWORD SettingsFlagsOffset = 8;
// Three texts and their lengths: more than this is no settings value of WinHTTP's.
constexpr DWORD SettingsMaxSize = 1 << 16;

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { RegCloseKey(h); }
};

// Whether the user's settings ask for anything but direct connections: only then is WinHTTP
// loaded, so that a plain start loads nothing new.
bool SettingsNameAProxy() {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, ConnectionsKey, 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
        return false;
    const UniqueHandle<RegistryKeyTraits> key(opened);
    // The whole value: a read into a buffer too small for it fills nothing.
    DWORD size = 0;
    if (RegQueryValueExA(key.Get(), DefaultConnectionSettings, nullptr, nullptr, nullptr, &size) !=
            ERROR_SUCCESS ||
        size < SettingsFlagsOffset + 4 || size > SettingsMaxSize)
        return false;
    std::vector<unsigned char> data(size);
    if (RegQueryValueExA(key.Get(), DefaultConnectionSettings, nullptr, nullptr, data.data(),
                         &size) != ERROR_SUCCESS ||
        size < SettingsFlagsOffset + 4)
        return false;
    DWORD flags = 0;
    for (int i = 3; i >= 0; --i)
        flags = flags << 8 | data[SettingsFlagsOffset + static_cast<DWORD>(i)];
    return (flags & (SettingsUseProxy | SettingsPacUrl | SettingsAutoDetect)) != 0;
}

// winhttp.dll from the system folder, loaded once and kept: a detection left running past its
// caller's limit still uses it.
class TWinHttp {
public:
    TWinHttp() : library_(LoadSystemLibrary("winhttp.dll")) {
        ok_ = library_ && Load(GetIEProxyConfig, "WinHttpGetIEProxyConfigForCurrentUser") &&
              Load(Open, "WinHttpOpen") && Load(CloseHandle, "WinHttpCloseHandle") &&
              Load(SetTimeouts, "WinHttpSetTimeouts") &&
              Load(GetProxyForUrl, "WinHttpGetProxyForUrl");
    }
    explicit operator bool() const { return ok_; }

    decltype(&::WinHttpGetIEProxyConfigForCurrentUser) GetIEProxyConfig = nullptr;
    decltype(&::WinHttpOpen) Open = nullptr;
    decltype(&::WinHttpCloseHandle) CloseHandle = nullptr;
    decltype(&::WinHttpSetTimeouts) SetTimeouts = nullptr;
    decltype(&::WinHttpGetProxyForUrl) GetProxyForUrl = nullptr;

private:
    template <class F> bool Load(F& function, const char* name) {
        return LoadFunction(library_, function, name);
    }

    UniqueModule library_;
    bool ok_ = false;
};

const TWinHttp& WinHttp() {
    static const TWinHttp library;
    return library;
}

// A string WinHTTP allocated, freed with its owner.
struct TGlobalText {
    LPWSTR Text = nullptr;
    TGlobalText() = default;
    TGlobalText(const TGlobalText&) = delete;
    TGlobalText& operator=(const TGlobalText&) = delete;
    ~TGlobalText() {
        if (Text)
            GlobalFree(Text);
    }
};

// WinHTTP speaks UTF-16 only; proxy names and URLs are ASCII in practice, and the program's
// text is the ANSI code page.
std::string Narrow(LPCWSTR text) {
    if (!text || !*text)
        return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], n);
    out.resize(out.size() - 1);
    return out;
}

// One detection, shared between the thread that runs it and the caller that may stop waiting.
struct TDetection {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::optional<std::string> Answer;
};

// What WinHTTP's answer for a URL says, as a PAC answer: its proxies in order, or DIRECT.
std::optional<std::string> Detect(const std::wstring& url, bool autoDetect,
                                  const std::wstring& pacUrl, int ms) {
    const TWinHttp& winhttp = WinHttp();
    HINTERNET session = winhttp.Open(L"QVBrelmox", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return std::nullopt;
    struct TClose {
        const TWinHttp& winhttp;
        HINTERNET session;
        ~TClose() { winhttp.CloseHandle(session); }
    } close{winhttp, session};
    winhttp.SetTimeouts(session, ms, ms, ms, ms);
    for (int pass = 0; pass < 2; ++pass) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        if (pass == 0 && autoDetect) {
            options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        } else if (pass == 1 && !pacUrl.empty()) {
            options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = pacUrl.c_str();
        } else {
            continue;
        }
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO info{};
        if (!winhttp.GetProxyForUrl(session, url.c_str(), &options, &info))
            continue;
        TGlobalText proxy, bypass;
        proxy.Text = info.lpszProxy;
        bypass.Text = info.lpszProxyBypass;
        if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY)
            return std::string("DIRECT");
        // "a:8080; b:3128", in the order to try.
        std::string answer, list = Narrow(proxy.Text);
        for (std::size_t at = 0; at < list.size();) {
            const std::size_t end = list.find_first_of("; \t", at);
            const std::string entry = list.substr(at, end - at);
            if (!entry.empty())
                answer += (answer.empty() ? "PROXY " : "; PROXY ") + entry;
            at = end == std::string::npos ? list.size() : end + 1;
        }
        return answer.empty() ? std::string("DIRECT") : answer;
    }
    return std::nullopt;
}

} // namespace

TProxySettings ReadProxySettings(const std::string& url,
                                 std::chrono::steady_clock::time_point end) {
    TProxySettings settings;
    if (!SettingsNameAProxy() || !WinHttp())
        return settings;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttp().GetIEProxyConfig(&config))
        return settings;
    TGlobalText pac, proxy, bypass;
    pac.Text = config.lpszAutoConfigUrl;
    proxy.Text = config.lpszProxy;
    bypass.Text = config.lpszProxyBypass;
    settings.StaticList = Narrow(proxy.Text);
    settings.BypassList = Narrow(bypass.Text);
    if (!config.fAutoDetect && !pac.Text)
        return settings;

    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
    if (left <= 0)
        return settings;
    // Detection and the script's fetch take as long as the network lets them: on a thread of
    // their own, which the caller stops waiting for at its limit.
    auto detection = std::make_shared<TDetection>();
    const std::wstring wideUrl = Wide(url), widePac = pac.Text ? std::wstring(pac.Text) : L"";
    const bool autoDetect = config.fAutoDetect != FALSE;
    const int ms = static_cast<int>(left);
    std::thread([detection, wideUrl, autoDetect, widePac, ms] {
        std::optional<std::string> answer = Detect(wideUrl, autoDetect, widePac, ms);
        std::lock_guard<std::mutex> guard(detection->Lock);
        detection->Answer = std::move(answer);
        detection->Finished = true;
        detection->Done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(detection->Lock);
    if (detection->Done.wait_until(lock, end, [&] { return detection->Finished; }))
        settings.PacAnswer = detection->Answer;
    return settings;
}

} // namespace platform

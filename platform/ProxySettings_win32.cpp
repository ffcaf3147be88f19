#include "platform/ProxySettings.h"

#include "platform/ProxyResolver_win32.h"
#include "platform/WinHandles.h"

#include <winhttp.h>

#include <condition_variable>
#include <cstring>
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

// The most a proxy script may be: such scripts are a few KiB; more is no script to run.
constexpr DWORD PacScriptMax = 1 << 20;
constexpr DWORD PacReadChunk = 8192;

// winhttp.dll from the system folder, loaded once.
class TWinHttp {
public:
    TWinHttp() : library_(LoadSystemLibrary("winhttp.dll")) {
        ok_ = library_ && Load(GetIEProxyConfig, "WinHttpGetIEProxyConfigForCurrentUser") &&
              Load(Open, "WinHttpOpen") && Load(CloseHandle, "WinHttpCloseHandle") &&
              Load(SetTimeouts, "WinHttpSetTimeouts") &&
              Load(DetectConfigUrl, "WinHttpDetectAutoProxyConfigUrl") &&
              Load(CrackUrl, "WinHttpCrackUrl") && Load(Connect, "WinHttpConnect") &&
              Load(OpenRequest, "WinHttpOpenRequest") && Load(SendRequest, "WinHttpSendRequest") &&
              Load(ReceiveResponse, "WinHttpReceiveResponse") &&
              Load(QueryHeaders, "WinHttpQueryHeaders") && Load(ReadData, "WinHttpReadData");
        // Windows 8 and later: the resolver whose answer keeps a script's DIRECT entries.
        resolver_ = ok_ && Load(SetStatusCallback, "WinHttpSetStatusCallback") &&
                    Load(CreateProxyResolver, "WinHttpCreateProxyResolver") &&
                    Load(GetProxyForUrlEx, "WinHttpGetProxyForUrlEx") &&
                    Load(GetProxyResult, "WinHttpGetProxyResult") &&
                    Load(FreeProxyResult, "WinHttpFreeProxyResult");
    }
    // Never unloaded: a detection left running past its caller's limit may still be inside it
    // when the program ends, and unloading it under that thread would crash the exit.
    ~TWinHttp() { library_.Take(); }
    TWinHttp(const TWinHttp&) = delete;
    TWinHttp& operator=(const TWinHttp&) = delete;
    explicit operator bool() const { return ok_; }
    bool HasResolver() const { return resolver_; }

    decltype(&::WinHttpGetIEProxyConfigForCurrentUser) GetIEProxyConfig = nullptr;
    decltype(&::WinHttpOpen) Open = nullptr;
    decltype(&::WinHttpCloseHandle) CloseHandle = nullptr;
    decltype(&::WinHttpSetTimeouts) SetTimeouts = nullptr;
    decltype(&::WinHttpDetectAutoProxyConfigUrl) DetectConfigUrl = nullptr;
    decltype(&::WinHttpCrackUrl) CrackUrl = nullptr;
    decltype(&::WinHttpConnect) Connect = nullptr;
    decltype(&::WinHttpOpenRequest) OpenRequest = nullptr;
    decltype(&::WinHttpSendRequest) SendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) QueryHeaders = nullptr;
    decltype(&::WinHttpReadData) ReadData = nullptr;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback = nullptr;
    decltype(&::WinHttpCreateProxyResolver) CreateProxyResolver = nullptr;
    decltype(&::WinHttpGetProxyForUrlEx) GetProxyForUrlEx = nullptr;
    decltype(&::WinHttpGetProxyResult) GetProxyResult = nullptr;
    decltype(&::WinHttpFreeProxyResult) FreeProxyResult = nullptr;

private:
    template <class F> bool Load(F& function, const char* name) {
        return LoadFunction(library_, function, name);
    }

    UniqueModule library_;
    bool ok_ = false, resolver_ = false;
};

const TWinHttp& WinHttp() {
    static const TWinHttp library;
    return library;
}

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { WinHttp().CloseHandle(h); }
};
using UniqueInternet = UniqueHandle<InternetHandleTraits>;

// jsproxy.dll's script runner, for systems without the resolver (Windows 7, Wine): it answers
// with the script's own text, DIRECT entries included. Its types are declared here because
// wininet.h and winhttp.h cannot be included together.
struct TScriptBuffer {
    DWORD StructSize;
    LPSTR Script;
    DWORD ScriptSize;
};
class TJsProxy {
public:
    TJsProxy() : library_(LoadSystemLibrary("jsproxy.dll")) {
        ok_ = library_ && LoadFunction(library_, Initialize, "InternetInitializeAutoProxyDll") &&
              LoadFunction(library_, Deinitialize, "InternetDeInitializeAutoProxyDll") &&
              LoadFunction(library_, GetProxyInfo, "InternetGetProxyInfo");
    }
    // Never unloaded, as winhttp.dll: a script that never returns keeps its thread inside.
    ~TJsProxy() { library_.Take(); }
    TJsProxy(const TJsProxy&) = delete;
    TJsProxy& operator=(const TJsProxy&) = delete;
    explicit operator bool() const { return ok_; }

    BOOL(CALLBACK* Initialize)(DWORD, LPSTR, LPSTR, void*, TScriptBuffer*) = nullptr;
    BOOL(CALLBACK* Deinitialize)(LPSTR, DWORD) = nullptr;
    BOOL(CALLBACK* GetProxyInfo)(LPCSTR, DWORD, LPSTR, DWORD, LPSTR*, LPDWORD) = nullptr;
    // The runner holds one script for the whole process.
    std::mutex Lock;

private:
    UniqueModule library_;
    bool ok_ = false;
};

TJsProxy& JsProxy() {
    static TJsProxy library;
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

// What the resolver's callback reports to the thread that waits for it.
struct TResolution {
    UniqueHandle<NullableKernelHandleTraits> Done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    bool Ok = false;
};

void CALLBACK OnResolverStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    if (status != WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE &&
        status != WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
        return;
    auto* resolution = reinterpret_cast<TResolution*>(context);
    resolution->Ok = status == WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE;
    SetEvent(resolution->Done.Get());
}

// The resolver's answer for url as a script's answer: its proxies and DIRECT entries in order.
std::optional<std::string> Resolve(HINTERNET session, const std::wstring& url,
                                   WINHTTP_AUTOPROXY_OPTIONS& options) {
    const TWinHttp& winhttp = WinHttp();
    HINTERNET opened = nullptr;
    if (winhttp.CreateProxyResolver(session, &opened) != ERROR_SUCCESS)
        return std::nullopt;
    const UniqueInternet resolver(opened);
    TResolution resolution;
    if (!resolution.Done ||
        winhttp.GetProxyForUrlEx(resolver.Get(), url.c_str(), &options,
                                 reinterpret_cast<DWORD_PTR>(&resolution)) != ERROR_IO_PENDING)
        return std::nullopt;
    // The session's timeouts end a fetch that stalls, and the callback then reports the error;
    // the caller has stopped waiting by its own limit.
    WaitForSingleObject(resolution.Done.Get(), INFINITE);
    WINHTTP_PROXY_RESULT result{};
    if (!resolution.Ok || winhttp.GetProxyResult(resolver.Get(), &result) != ERROR_SUCCESS)
        return std::nullopt;
    std::string answer = ResolverAnswer(result);
    winhttp.FreeProxyResult(&result);
    return answer;
}

// The proxy script at url, fetched straight (never through a proxy it names).
std::optional<std::string> FetchScript(HINTERNET session, const std::wstring& url) {
    const TWinHttp& winhttp = WinHttp();
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
    if (!winhttp.CrackUrl(url.c_str(), 0, 0, &parts) || !parts.lpszHostName)
        return std::nullopt;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path =
        parts.lpszUrlPath ? std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) : std::wstring();
    if (parts.lpszExtraInfo)
        path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    const UniqueInternet connection(winhttp.Connect(session, host.c_str(), parts.nPort, 0));
    if (!connection)
        return std::nullopt;
    const UniqueInternet request(
        winhttp.OpenRequest(connection.Get(), L"GET", path.empty() ? L"/" : path.c_str(), nullptr,
                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                            parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    DWORD status = 0, size = sizeof status;
    if (!request ||
        !winhttp.SendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                             WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !winhttp.ReceiveResponse(request.Get(), nullptr) ||
        !winhttp.QueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                              WINHTTP_NO_HEADER_INDEX) ||
        status != 200)
        return std::nullopt;
    std::string script;
    char chunk[PacReadChunk];
    for (;;) {
        DWORD got = 0;
        if (!winhttp.ReadData(request.Get(), chunk, sizeof chunk, &got))
            return std::nullopt;
        if (got == 0)
            return script;
        if (script.size() + got > PacScriptMax)
            return std::nullopt;
        script.append(chunk, got);
    }
}

// The script's answer for url, run by jsproxy.dll.
std::optional<std::string> RunScript(std::string script, const std::string& url) {
    TJsProxy& js = JsProxy();
    if (!js)
        return std::nullopt;
    const std::size_t hostAt = url.find("://");
    const std::size_t hostFrom = hostAt == std::string::npos ? 0 : hostAt + 3;
    const std::size_t hostEnd = url.compare(hostFrom, 1, "[") == 0
                                    ? url.find(']', hostFrom) + 1 // an IPv6 literal, brackets kept
                                    : url.find_first_of(":/", hostFrom);
    std::string host = url.substr(hostFrom, hostEnd - hostFrom);
    const std::lock_guard<std::mutex> guard(js.Lock);
    TScriptBuffer buffer{sizeof(TScriptBuffer), &script[0], static_cast<DWORD>(script.size() + 1)};
    if (!js.Initialize(0, nullptr, nullptr, nullptr, &buffer))
        return std::nullopt;
    LPSTR answer = nullptr;
    DWORD size = 0;
    std::optional<std::string> out;
    if (js.GetProxyInfo(url.c_str(), static_cast<DWORD>(url.size()), &host[0],
                        static_cast<DWORD>(host.size()), &answer, &size) &&
        answer)
        out = std::string(answer, strnlen(answer, size));
    js.Deinitialize(nullptr, 0);
    // Which allocator made the answer is not documented: its few bytes, once a check, are
    // left rather than freed by the wrong one.
    return out;
}

// The resolver on a session of its own; nullopt when the system has none that works (Wine
// exports the functions but implements none of them).
std::optional<UniqueInternet> ResolverSession(int ms) {
    const TWinHttp& winhttp = WinHttp();
    if (!winhttp.HasResolver())
        return std::nullopt;
    UniqueInternet session(winhttp.Open(L"QVBrelmox", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                        WINHTTP_FLAG_ASYNC));
    HINTERNET probe = nullptr;
    if (!session || winhttp.CreateProxyResolver(session.Get(), &probe) != ERROR_SUCCESS)
        return std::nullopt;
    const UniqueInternet probeOwner(probe);
    winhttp.SetTimeouts(session.Get(), ms, ms, ms, ms);
    if (winhttp.SetStatusCallback(session.Get(), OnResolverStatus,
                                  WINHTTP_CALLBACK_FLAG_REQUEST_ERROR |
                                      WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE,
                                  0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return std::nullopt;
    return session;
}

// What detection or the script at pacUrl answer for url, as a script's answer ("PROXY a:8080;
// DIRECT"): detection first, then the script's address.
std::optional<std::string> Detect(const std::string& url, bool autoDetect,
                                  const std::wstring& pacUrl, int ms) {
    const TWinHttp& winhttp = WinHttp();
    const std::wstring wideUrl = Wide(url);
    if (std::optional<UniqueInternet> session = ResolverSession(ms)) {
        for (int pass = 0; pass < 2; ++pass) {
            WINHTTP_AUTOPROXY_OPTIONS options{};
            options.fAutoLogonIfChallenged = TRUE;
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
            if (auto answer = Resolve(session->Get(), wideUrl, options))
                return answer;
        }
        return std::nullopt;
    }
    const UniqueInternet session(winhttp.Open(L"QVBrelmox", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return std::nullopt;
    winhttp.SetTimeouts(session.Get(), ms, ms, ms, ms);
    for (int pass = 0; pass < 2; ++pass) {
        TGlobalText detected;
        if (pass == 0 &&
            (!autoDetect ||
             !winhttp.DetectConfigUrl(
                 WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A, &detected.Text)))
            continue;
        if (pass == 1 && pacUrl.empty())
            continue;
        if (auto script = FetchScript(session.Get(), pass == 0 ? detected.Text : pacUrl.c_str()))
            if (auto answer = RunScript(std::move(*script), url))
                return answer;
    }
    return std::nullopt;
}

} // namespace

std::string ResolverAnswer(const WINHTTP_PROXY_RESULT& result) {
    std::string answer;
    for (DWORD i = 0; i < result.cEntries; ++i) {
        const WINHTTP_PROXY_RESULT_ENTRY& entry = result.pEntries[i];
        std::string part;
        if (!entry.fProxy)
            part = "DIRECT";
        else if (entry.ProxyScheme == INTERNET_SCHEME_HTTP && entry.pwszProxy && *entry.pwszProxy)
            part = "PROXY " + Narrow(entry.pwszProxy) + ":" + std::to_string(entry.ProxyPort);
        else
            continue;
        if (!answer.empty())
            answer += "; ";
        answer += part;
    }
    return answer;
}

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
    const std::wstring widePac = pac.Text ? std::wstring(pac.Text) : L"";
    const bool autoDetect = config.fAutoDetect != FALSE;
    const int ms = static_cast<int>(left);
    std::thread([detection, url, autoDetect, widePac, ms] {
        std::optional<std::string> answer = Detect(url, autoDetect, widePac, ms);
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

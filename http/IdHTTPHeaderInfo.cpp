#include "http/IdHTTPHeaderInfo.h"

#include "http/IdURI.h"
#include "platform/Locale.h"
#include "support/Text.h"

#include <cstdio>
#include <map>
#include <mutex>

// ---- HTTP dates ----

namespace {

const char* const DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int LocalOffsetMinutes() {
    int minutes = 0;
    if (!platform::LocalUtcOffsetMinutes(minutes))
        throw EIdFailedToRetreiveTimeZoneInfo(
            "Failed attempting to retrieve time zone information.");
    return minutes;
}

int MonthNumber(std::string_view word) {
    for (int m = 0; m < 12; ++m)
        if (word.size() >= 3 && SameText(word.substr(0, 3), MonthNames[m]))
            return m + 1;
    return 0;
}

bool IsDigits(std::string_view s) {
    if (s.empty() || s.size() > 9)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int Number(std::string_view s) {
    int n = 0;
    for (char c : s)
        n = n * 10 + (c - '0');
    return n;
}

// The next word of s, ended by any of the delimiters; s keeps what follows.
std::string_view NextWord(std::string_view& s, std::string_view delimiters) {
    while (!s.empty() && delimiters.find(s.front()) != std::string_view::npos)
        s.remove_prefix(1);
    std::size_t end = s.find_first_of(delimiters);
    std::string_view word = s.substr(0, end);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    return word;
}

std::string OffsetText(int minutes) {
    char sign = minutes < 0 ? '-' : '+';
    int m = minutes < 0 ? -minutes : minutes;
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%c%02d%02d", sign, m / 60 % 100, m % 60);
    return buffer;
}

} // namespace

TDateTime NowLocal() {
    return NowUtc() + LocalOffsetMinutes() / 1440.0;
}

TDateTime GMTToLocalDateTime(const std::string& textIn) {
    std::string_view text = Trim(textIn);
    for (const char* day : DayNames) {
        if (text.size() >= 3 && SameText(text.substr(0, 3), day)) {
            // "Thu," or "Thursday," (or a day name without a comma): drop it.
            std::size_t comma = text.find(',');
            std::size_t cut = comma != std::string_view::npos ? comma + 1 : text.find(' ');
            text = Trim(text.substr(cut == std::string_view::npos ? text.size() : cut));
            break;
        }
    }
    TDateTime result = 0;
    std::string_view rest = text;
    std::string_view first = NextWord(rest, " -");
    std::string_view second = NextWord(rest, " -");
    std::string_view yearWord = NextWord(rest, " -");
    int month = MonthNumber(first);
    std::string_view dayWord = second;
    if (month == 0) {
        month = MonthNumber(second);
        dayWord = first;
    }
    if (month != 0 && IsDigits(dayWord) && IsDigits(yearWord)) {
        int year = Number(yearWord);
        if (year < 80)
            year += 2000;
        else if (year < 100)
            year += 1900;
        int hour = 0, minute = 0, second = 0;
        std::string_view save = rest;
        std::string_view timeWord = NextWord(rest, " ");
        if (timeWord.find(':') != std::string_view::npos) {
            std::string_view t = timeWord;
            std::string_view h = NextWord(t, ":"), m = NextWord(t, ":"), s = NextWord(t, ":");
            if (IsDigits(h) && IsDigits(m) && (s.empty() || IsDigits(s))) {
                hour = Number(h);
                minute = Number(m);
                second = s.empty() ? 0 : Number(s);
            }
        } else {
            rest = save;
        }
        if (!TryEncodeDateTime(year, month, Number(dayWord), hour, minute, second, result))
            result = 0;
    } else {
        // The zone word, if any, is still the last word of an unparsable date.
        std::size_t space = text.rfind(' ');
        rest = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    }
    std::string_view zone = Trim(rest);
    if (zone.size() > 4 && (zone[0] == '+' || zone[0] == '-') && IsDigits(zone.substr(1, 4))) {
        int hhmm = Number(zone.substr(1, 4));
        int minutes = hhmm / 100 * 60 + hhmm % 100;
        result -= (zone[0] == '-' ? -minutes : minutes) / 1440.0;
    }
    return result + LocalOffsetMinutes() / 1440.0;
}

std::string DateTimeToZoneForm(TDateTime value) {
    int y, mo, d, h, mi, s;
    DecodeDateTime(value, y, mo, d, h, mi, s);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %d %02d:%02d:%02d %s",
                  DayNames[DayOfWeek(value) - 1], d, MonthNames[mo - 1], y, h, mi, s,
                  OffsetText(LocalOffsetMinutes()).c_str());
    return buffer;
}

std::string DateTimeToGMTForm(TDateTime value) {
    int y, mo, d, h, mi, s;
    DecodeDateTime(value, y, mo, d, h, mi, s);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %.2d %s %.4d %02d:%02d:%02d GMT",
                  DayNames[DayOfWeek(value) - 1], d, MonthNames[mo - 1], y, h, mi, s);
    return buffer;
}

// ---- authentication ----

TIdAuthWhatsNext TIdBasicAuthentication::NextStep() {
    std::string challenge;
    for (const std::string& line : Challenges().Lines())
        if (line.rfind("Basic", 0) == 0) {
            challenge = line;
            break;
        }
    TakeToken(challenge, " ");
    while (!challenge.empty()) {
        std::string piece = TakeToken(challenge, ", ");
        std::size_t eq = piece.find('=');
        if (eq != std::string::npos)
            piece.replace(eq, 1, Fields.Separator);
        Fields.Add(piece);
    }
    std::string realm = Fields.GetValue("realm");
    Realm = realm.size() >= 2 ? realm.substr(1, realm.size() - 2) : std::string();
    if (CurrentStep == 1)
        return wnFail;
    if (CurrentStep != 0)
        return wnDoRequest;
    ++Attempts;
    return Username().empty() ? wnAskTheProgram : wnDoRequest;
}

std::string TIdBasicAuthentication::AuthorizationValue() {
    return "Basic " + TIdEncoderMIME::Encode(Username() + ":" + Password());
}

namespace {

const TIdAuthenticationClassInfo BasicInfo{
    "TIdBasicAuthentication", [] { return std::make_unique<TIdBasicAuthentication>(); }};

struct TAuthListObject {
    std::string Name;
    TIdAuthenticationClass Class;
};

std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

std::vector<TAuthListObject>& Registry() {
    static std::vector<TAuthListObject> list{{"Basic", &BasicInfo}};
    return list;
}

} // namespace

TIdAuthenticationClass BasicAuthenticationClass() {
    return &BasicInfo;
}

void RegisterAuthScheme(const std::string& name, TIdAuthenticationClass cls) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    for (const TAuthListObject& entry : Registry())
        if (SameText(entry.Name, name))
            throw EIdAlreadyRegisteredAuthenticationMethod(
                std::string("This authentication method is already registered with class name ") +
                entry.Class->ClassName + ".");
    Registry().push_back({name, cls});
}

TIdAuthenticationClass FindAuthScheme(const std::string& name) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    for (const TAuthListObject& entry : Registry())
        if (SameText(entry.Name, name))
            return entry.Class;
    return nullptr;
}

// ---- entity ----

TIdEntityHeaderInfo::TIdEntityHeaderInfo() {
    HeaderLines.FoldWidth = 1024;
    ClearEntityFields();
}

void TIdEntityHeaderInfo::ClearEntityFields() {
    Connection.clear();
    ContentEncoding.clear();
    ContentLanguage.clear();
    ContentType.clear();
    ContentVersion.clear();
    ContentLength = -1;
    LengthGiven = false;
    ContentRangeEnd = ContentRangeStart = 0;
    Date = Expires = LastModified = 0;
    HeaderLines.Clear();
}

void TIdEntityHeaderInfo::ClearFields() {
    ClearEntityFields();
}

void TIdEntityHeaderInfo::ReadEntityLines() {
    Connection = HeaderLines.GetValue("Connection");
    ContentVersion = HeaderLines.GetValue("Content-Version");
    ContentEncoding = HeaderLines.GetValue("Content-Encoding");
    ContentLanguage = HeaderLines.GetValue("Content-Language");
    ContentType = HeaderLines.GetValue("Content-Type");
    long long length = -1;
    if (!TryStrToInt64(Trim(HeaderLines.GetValue("Content-Length")), length) || length < 0)
        length = -1;
    SetContentLength(length);
    Date = GMTToLocalDateTime(HeaderLines.GetValue("Date"));
    LastModified = GMTToLocalDateTime(HeaderLines.GetValue("Last-Modified"));
    std::string expires = HeaderLines.GetValue("Expires");
    long long seconds = 0;
    if (TryStrToInt64(expires, seconds) && seconds != -1)
        Expires = NowLocal() + static_cast<double>(seconds) / 86400.0;
    else
        Expires = GMTToLocalDateTime(expires);
    Pragma = HeaderLines.GetValue("Pragma");
}

void TIdEntityHeaderInfo::ReadFromLines() {
    ReadEntityLines();
}

void TIdEntityHeaderInfo::WriteEntityLines() {
    HeaderLines.Clear();
    auto set = [&](const char* name, const std::string& value) {
        if (!value.empty())
            HeaderLines.SetValue(name, value);
    };
    set("Connection", Connection);
    set("Content-Version", ContentVersion);
    set("Content-Encoding", ContentEncoding);
    set("Content-Language", ContentLanguage);
    set("Content-Type", ContentType);
    if (ContentLength >= 0)
        HeaderLines.SetValue("Content-Length", std::to_string(ContentLength));
    set("Cache-control", CacheControl);
    if (Date > 0)
        HeaderLines.SetValue("Date", DateTimeToZoneForm(Date));
    if (Expires > 0)
        HeaderLines.SetValue("Expires", DateTimeToZoneForm(Expires));
    if (LastModified > 0)
        HeaderLines.SetValue("Last-Modified", DateTimeToGMTForm(LastModified));
    set("Pragma", Pragma);
}

void TIdEntityHeaderInfo::AppendCustomHeaders() {
    for (const std::string& line : CustomHeaders.Lines())
        HeaderLines.Add(line);
}

void TIdEntityHeaderInfo::WriteToLines() {
    WriteEntityLines();
    AppendCustomHeaders();
}

void TIdEntityHeaderInfo::Assign(const TIdEntityHeaderInfo& o) {
    HeaderLines = o.HeaderLines;
    ContentEncoding = o.ContentEncoding;
    ContentLanguage = o.ContentLanguage;
    ContentLength = o.ContentLength;
    LengthGiven = o.LengthGiven;
    ContentRangeEnd = o.ContentRangeEnd;
    ContentRangeStart = o.ContentRangeStart;
    ContentType = o.ContentType;
    ContentVersion = o.ContentVersion;
    Date = o.Date;
    Expires = o.Expires;
    LastModified = o.LastModified;
}

// ---- request ----

TIdRequestHeaderInfo::TIdRequestHeaderInfo() {
    ClearFields();
}

void TIdRequestHeaderInfo::ClearFields() {
    Accept = "text/html, */*";
    AcceptCharSet.clear();
    UserAgent = "Mozilla/3.0 (compatible; QVBrelmox)";
    BasicAuthentication = false;
    ClearEntityFields();
}

void TIdRequestHeaderInfo::WriteToLines() {
    WriteEntityLines();
    AppendCustomHeaders();
    auto set = [&](const char* name, const std::string& value) {
        if (!value.empty())
            HeaderLines.SetValue(name, value);
    };
    set("Proxy-Connection", ProxyConnection);
    set("Host", Host);
    set("Accept", Accept);
    set("Accept-Charset", AcceptCharSet);
    set("Accept-Encoding", AcceptEncoding);
    set("Accept-Language", AcceptLanguage);
    set("From", From);
    set("Referer", Referer);
    set("User-Agent", UserAgent);
    if (LastModified > 0)
        HeaderLines.SetValue("If-Modified-Since", DateTimeToZoneForm(LastModified));
    if (ContentRangeStart != 0 || ContentRangeEnd != 0) {
        std::string range = "bytes=" + std::to_string(ContentRangeStart) + "-";
        if (ContentRangeEnd != 0)
            range += std::to_string(ContentRangeEnd);
        HeaderLines.SetValue("Range", range);
    }
    if (Authenticator) {
        set("Authorization", Authenticator->AuthorizationValue());
    } else if (BasicAuthentication) {
        Authenticator = std::make_unique<TIdBasicAuthentication>();
        Authenticator->SetUsername(Username);
        Authenticator->SetPassword(Password);
        set("Authorization", Authenticator->AuthorizationValue());
    }
}

void TIdRequestHeaderInfo::ReadFromLines() {
    ProxyConnection = HeaderLines.GetValue("Proxy-Connection");
    Host = HeaderLines.GetValue("Host");
    Accept = HeaderLines.GetValue("Accept");
    AcceptCharSet = HeaderLines.GetValue("Accept-Charset");
    AcceptEncoding = HeaderLines.GetValue("Accept-Encoding");
    AcceptLanguage = HeaderLines.GetValue("Accept-Language");
    From = HeaderLines.GetValue("From");
    Referer = HeaderLines.GetValue("Referer");
    UserAgent = HeaderLines.GetValue("User-Agent");
    std::string range = HeaderLines.GetValue("Range");
    if (!range.empty()) {
        TakeToken(range, "=");
        long long start = 0, end = 0;
        ContentRangeStart =
            TryStrToInt64(TakeToken(range, "-"), start) ? static_cast<std::uint32_t>(start) : 0;
        ContentRangeEnd = TryStrToInt64(range, end) ? static_cast<std::uint32_t>(end) : 0;
    }
    ReadEntityLines();
}

void TIdRequestHeaderInfo::AssignRequest(const TIdRequestHeaderInfo& o) {
    Accept = o.Accept;
    AcceptCharSet = o.AcceptCharSet;
    AcceptEncoding = o.AcceptEncoding;
    AcceptLanguage = o.AcceptLanguage;
    From = o.From;
    Password = o.Password;
    Referer = o.Referer;
    UserAgent = o.UserAgent;
    Username = o.Username;
    BasicAuthentication = o.BasicAuthentication;
}

// ---- response ----

TIdResponseHeaderInfo::TIdResponseHeaderInfo() {
    ContentType = "text/html";
    ClearFields();
}

void TIdResponseHeaderInfo::ClearFields() {
    ClearEntityFields();
    ContentType = "text/html";
    Location.clear();
    Server.clear();
    ProxyAuthenticate.Clear();
    WWWAuthenticate.Clear();
}

void TIdResponseHeaderInfo::ReadFromLines() {
    Location = HeaderLines.GetValue("Location");
    Server = HeaderLines.GetValue("Server");
    ProxyConnection = HeaderLines.GetValue("Proxy-Connection");
    std::string range = HeaderLines.GetValue("Content-Range");
    if (!range.empty()) {
        TakeToken(range, " ");
        ContentRangeStart = static_cast<std::uint32_t>(StrToInt64(TakeToken(range, "-")));
        ContentRangeEnd = static_cast<std::uint32_t>(StrToInt64(TakeToken(range, "/")));
    } else {
        ContentRangeStart = ContentRangeEnd = 0;
    }
    std::vector<std::string> values;
    WWWAuthenticate.Clear();
    HeaderLines.CollectValues("WWW-Authenticate", values);
    for (const std::string& v : values)
        WWWAuthenticate.Add(v);
    values.clear();
    ProxyAuthenticate.Clear();
    HeaderLines.CollectValues("Proxy-Authenticate", values);
    for (const std::string& v : values)
        ProxyAuthenticate.Add(v);
    ReadEntityLines();
}

// ---- proxy ----

void TIdProxyConnectionInfo::Clear() {
    proxyServer_.clear();
    ProxyUsername.clear();
    ProxyPassword.clear();
    proxyPort_ = 0;
}

void TIdProxyConnectionInfo::Assign(const TIdProxyConnectionInfo& o) {
    ProxyPassword = o.ProxyPassword;
    SetProxyPort(o.proxyPort_);
    SetProxyServer(o.proxyServer_);
    ProxyUsername = o.ProxyUsername;
    BasicAuthentication = o.BasicAuthentication;
}

void TIdProxyConnectionInfo::SetProxyServer(const std::string& server) {
    if (!SameText(server, proxyServer_))
        Authenticator.reset();
    proxyServer_ = server;
}

void TIdProxyConnectionInfo::SetProxyPort(int port) {
    if (port != proxyPort_)
        Authenticator.reset();
    proxyPort_ = port;
}

void TIdProxyConnectionInfo::WriteToLines(TIdHeaderList& lines) {
    std::string value;
    if (Authenticator) {
        value = Authenticator->AuthorizationValue();
    } else if (BasicAuthentication) {
        Authenticator = std::make_unique<TIdBasicAuthentication>();
        Authenticator->SetUsername(ProxyUsername);
        Authenticator->SetPassword(ProxyPassword);
        value = Authenticator->AuthorizationValue();
    }
    if (value.empty())
        return;
    // A token is one line however long: a folded one is a broken one.
    const bool fold = lines.Fold;
    lines.Fold = false;
    lines.SetValue("Proxy-Authorization", value);
    lines.Fold = fold;
}

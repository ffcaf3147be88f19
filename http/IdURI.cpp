#include "http/IdURI.h"

#include "platform/Locale.h"
#include "support/Text.h"

namespace {

std::string Upper(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        c = AnsiUpperChar(c);
    return out;
}

// 1-based position of sub in text, 0 when absent.
std::size_t Pos(const std::string& sub, const std::string& text) {
    std::size_t at = text.find(sub);
    return at == std::string::npos ? 0 : at + 1;
}

} // namespace

std::string TakeToken(std::string& text, const std::string& delimiter, bool remove,
                      bool caseSensitive) {
    std::size_t at = caseSensitive ? text.find(delimiter) : Upper(text).find(Upper(delimiter));
    std::string token;
    if (at == std::string::npos) {
        token = text;
        if (remove)
            text.clear();
        return token;
    }
    token = text.substr(0, at);
    if (remove)
        text.erase(0, at + delimiter.size());
    return token;
}

int FindLast(const std::string& sub, const std::string& text, int start) {
    int last = static_cast<int>(text.size()) - static_cast<int>(sub.size()) + 1;
    if (start < 0 || start > last)
        start = last;
    for (int p = start; p >= 1; --p)
        if (SameText(std::string_view(text).substr(static_cast<std::size_t>(p - 1), sub.size()),
                     sub))
            return p;
    return 0;
}

TIdURI::TIdURI(const std::string& uri) {
    if (!uri.empty())
        ParseUri(uri);
}

void TIdURI::SlashPath(std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (platform::IsLeadByte(static_cast<unsigned char>(text[i])))
            ++i;
        else if (text[i] == '\\')
            text[i] = '/';
    }
}

void TIdURI::ParseUri(const std::string& uri) {
    UriText = uri;
    SlashPath(UriText);
    std::string work = UriText;
    Protocol.clear();
    Username.clear();
    Password.clear();
    Host.clear();
    Port.clear();
    Path.clear();
    FileName.clear();
    Query.clear();
    Fragment.clear();

    std::size_t scheme = Pos("://", work);
    bool absolute = scheme > 0;
    if (absolute) {
        Protocol = work.substr(0, scheme - 1);
        work.erase(0, scheme + 2);
        std::string authority = TakeToken(work, "/");
        std::size_t at = Pos("@", authority);
        std::string user = at > 0 ? authority.substr(0, at - 1) : std::string();
        if (at > 0)
            authority.erase(0, at);
        Username = TakeToken(user, ":");
        Password = Username.empty() ? std::string() : user;
        Host = TakeToken(authority, ":");
        Port = authority;
    }
    std::size_t split = Pos("?", work);
    if (split == 0)
        split = Pos("=", work);
    int slash = split > 0 ? FindLast("/", work, static_cast<int>(split)) : FindLast("/", work);
    std::size_t pos = static_cast<std::size_t>(slash);
    Path = work.substr(0, pos);
    if (absolute)
        Path.insert(0, 1, '/');
    if (split > 0) {
        FileName = work.substr(0, split - 1);
        Query = work.substr(split - 1);
    } else {
        FileName = work;
    }
    FileName.erase(0, std::min(pos, FileName.size()));
    Fragment = FileName;
    FileName = TakeToken(Fragment, "#");
    if (Fragment.empty()) {
        Fragment = Query;
        Query = TakeToken(Fragment, "#");
    }
}

std::string TIdURI::ComposeUri(TIdURIOptions options) const {
    if (Protocol.empty())
        throw EIdURIException("Protocol field is empty");
    std::string result = Protocol + "://";
    if ((options & withUserInfo) && !Username.empty()) {
        result += Username;
        if (!Password.empty())
            result += ":" + Password;
        result += "@";
    }
    if (Host.empty())
        throw EIdURIException("Host field is empty");
    result += Host;
    if (!Port.empty())
        result += ":" + Port;
    result += Path + FileName + Query;
    if ((options & withFragment) && !Fragment.empty())
        result += "#" + Fragment;
    return result;
}

std::string TIdURI::FullUri() {
    UriText = ComposeUri(withUserInfo | withFragment);
    return ComposeUri(0);
}

std::string TIdURI::MergePath(const std::string& base, const std::string& path,
                              const std::string& delimiter) {
    if (delimiter.empty())
        return base + path;
    auto startsWith = [&](const std::string& s) {
        return s.compare(0, delimiter.size(), delimiter) == 0;
    };
    auto endsWith = [&](const std::string& s) {
        return s.size() >= delimiter.size() &&
               s.compare(s.size() - delimiter.size(), delimiter.size(), delimiter) == 0;
    };
    if (startsWith(path))
        return path;
    bool keepTrailing = path.empty() || endsWith(path);
    std::string work = base;
    if (!work.empty() && !endsWith(work))
        work += delimiter;
    work += path;

    std::string result;
    std::size_t i = 0;
    while (i < work.size()) {
        if (work.compare(i, delimiter.size(), delimiter) == 0) {
            if (i == 0)
                result = delimiter;
            else if (!endsWith(result))
                result += delimiter;
            i += delimiter.size();
            continue;
        }
        if (work[i] == '.' && endsWith(result) && i + 1 < work.size() && work[i + 1] == '.') {
            result.pop_back();
            while (!result.empty() && !endsWith(result))
                result.pop_back();
            i += 2;
            continue;
        }
        result += work[i++];
    }
    if (result != delimiter && endsWith(result) && !keepTrailing)
        result.erase(result.size() - delimiter.size());
    return result;
}

std::string TIdURI::EncodeQuery(const std::string& text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        bool special = c == ' ' || c == '#' || c == '%' || c == '*' || c == '<' || c == '>' ||
                       c == '[' || c == ']';
        if (special || c < 33 || c > 128) {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

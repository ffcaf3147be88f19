// httpget: fetches one URL with the launcher's HTTP client. A diagnostic tool, and the subject
// of the client's benchmarks.
//
//   httpget [options] URL
//     -o FILE            body to FILE instead of standard output
//     --timeout MS       read time-out
//     --recv-buffer N    the most bytes one receive asks for (RecvBufferSize; by default the
//                        launcher's 256 KiB)
//     --http1.0          send HTTP/1.0 requests
//     --redirects        follow redirects
//     --max-redirects N  redirect limit
//     -u USER:PASSWORD   credentials for Basic authentication
//     -v                 status line and header lines to standard error as received
//     --progress         one line per work event to standard error
//     --ca FILE          https servers must prove themselves against this PEM CA alone
//                        (repeatable); without, the platform's store decides
//     --tls-info         the protocol and cipher suite negotiated, to standard error
//     --proxy URL        through this proxy (http://[user:password@]host[:port]): plain http
//                        with the absolute URI, https through a CONNECT tunnel
//     --proxy-user USER:PASSWORD
//                        Basic credentials for the proxy
//
// Exit status: 0 with the body; 1 with "<exception class>: <message>" and "ResponseCode: <n>" on
// standard error; 2 for bad usage.

#include "http/IdHTTP.h"
#include "http/IdProxy.h"
#include "http/IdTls.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "support/Stream.h"

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <string>
#include <typeinfo>

namespace {

const char Usage[] =
    "usage: httpget [-o FILE] [--timeout MS] [--recv-buffer N] [--http1.0] [--redirects]\n"
    "               [--max-redirects N]\n"
    "               [-u USER:PASSWORD] [-v] [--progress] [--ca FILE] [--tls-info]\n"
    "               [--proxy URL] [--proxy-user USER:PASSWORD]\n"
    "               http[s]://host[:port]/path\n";

int BadUsage() {
    std::fputs(Usage, stderr);
    return 2;
}

bool ReadInt(const char* text, int& value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || end == text || v < -2 || v > 2147483647L)
        return false;
    value = static_cast<int>(v);
    return true;
}

std::string ClassName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? name.get() : type.name();
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

const char* ModeText(TWorkMode mode) {
    return mode == wkRead ? "read" : "write";
}

} // namespace

int main(int argc, char** argv) {
    std::string url, output, user;
    bool verbose = false, progress = false, tlsInfo = false;
    TIdHTTP http;
    http.RecvBufferSize = IdLargeRecvBufferSize;
    http.Tls.emplace();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&](const char*& value) {
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        const char* value = nullptr;
        if (arg == "-o") {
            if (!next(value))
                return BadUsage();
            output = value;
        } else if (arg == "--timeout") {
            if (!next(value) || !ReadInt(value, http.ReadTimeout))
                return BadUsage();
        } else if (arg == "--recv-buffer") {
            if (!next(value) || !ReadInt(value, http.RecvBufferSize) || http.RecvBufferSize <= 0)
                return BadUsage();
        } else if (arg == "--http1.0") {
            http.ProtocolVersion = pv1_0;
        } else if (arg == "--redirects") {
            http.HandleRedirects = true;
        } else if (arg == "--max-redirects") {
            if (!next(value) || !ReadInt(value, http.RedirectMaximum))
                return BadUsage();
        } else if (arg == "-u") {
            if (!next(value))
                return BadUsage();
            user = value;
            std::size_t colon = user.find(':');
            http.Request().Username = user.substr(0, colon);
            http.Request().Password = colon == std::string::npos ? "" : user.substr(colon + 1);
            http.HTTPOptions |= hoInProcessAuth;
        } else if (arg == "-v") {
            verbose = true;
        } else if (arg == "--progress") {
            progress = true;
        } else if (arg == "--ca") {
            std::string pem;
            if (!next(value) || !platform::ReadWholeFile(value, pem))
                return BadUsage();
            http.Tls->RootPems.push_back(pem);
        } else if (arg == "--tls-info") {
            tlsInfo = true;
        } else if (arg == "--proxy") {
            TIdProxyServer proxy;
            if (!next(value) || !ParseProxyAddress(value, proxy))
                return BadUsage();
            http.ProxyParams.SetProxyServer(proxy.Host);
            http.ProxyParams.SetProxyPort(proxy.Port);
            if (!proxy.Username.empty()) {
                http.ProxyParams.ProxyUsername = proxy.Username;
                http.ProxyParams.ProxyPassword = proxy.Password;
            }
        } else if (arg == "--proxy-user") {
            if (!next(value))
                return BadUsage();
            const std::string pair = value;
            const std::size_t colon = pair.find(':');
            http.ProxyParams.ProxyUsername = pair.substr(0, colon);
            http.ProxyParams.ProxyPassword =
                colon == std::string::npos ? "" : pair.substr(colon + 1);
        } else if (!arg.empty() && arg[0] == '-') {
            return BadUsage();
        } else if (url.empty()) {
            url = arg;
        } else {
            return BadUsage();
        }
    }
    if (url.find("://") == std::string::npos)
        return BadUsage();

    if (verbose)
        http.OnResponseHead = [](TIdCustomHTTP* sender) {
            std::fprintf(stderr, "%s\n", sender->StatusLine().c_str());
            for (const std::string& line : sender->Response().HeaderLines.Lines())
                std::fprintf(stderr, "%s\n", line.c_str());
        };
    if (progress) {
        http.OnWorkBegin = [](TIdComponent*, TWorkMode mode, std::int64_t max) {
            std::fprintf(stderr, "begin %s %lld\n", ModeText(mode), static_cast<long long>(max));
        };
        http.OnWork = [](TIdComponent*, TWorkMode mode, std::int64_t count) {
            std::fprintf(stderr, "work %s %lld\n", ModeText(mode), static_cast<long long>(count));
        };
        http.OnWorkEnd = [](TIdComponent*, TWorkMode mode) {
            std::fprintf(stderr, "end %s\n", ModeText(mode));
        };
    }

    if (tlsInfo)
        http.OnConnected = [&http](TIdComponent*) {
            if (auto* tls = dynamic_cast<TIdIOHandlerTls*>(http.IOHandler()))
                std::fprintf(stderr, "tls: %s\n", tls->Negotiated().c_str());
        };
    try {
        if (!output.empty()) {
            // Straight to the file as it arrives, as any download tool writes.
            TFileStream file(output);
            http.GetToStream(url, file);
            return 0;
        }
        std::string body = http.GetToString(url);
        if (!platform::WriteStandardOutput(body)) {
            std::fprintf(stderr, "httpget: could not write the body\n");
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", ClassName(typeid(e)).c_str(), Escaped(e.what()).c_str());
        std::fprintf(stderr, "ResponseCode: %d\n", http.ResponseCode());
        return 1;
    }
}

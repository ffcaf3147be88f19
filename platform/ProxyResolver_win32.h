#pragma once
// WinHTTP's resolver answer (Windows 8 and later) in the words of a proxy script's answer, so
// that one portable reading serves both. Included by Windows-only sources alone.

#include "platform/WinHandles.h"

#include <winhttp.h>

#include <string>

namespace platform {

// "PROXY a:8080; DIRECT", in the resolver's order; SOCKS and HTTPS proxies are left out, as
// the client cannot use them.
std::string ResolverAnswer(const WINHTTP_PROXY_RESULT& result);

} // namespace platform

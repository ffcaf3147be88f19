#pragma once
// A Basic credential the office stored in the system for its proxy: on Windows a generic
// credential in the user's Credential Manager named after the proxy host ("cmdkey
// /generic:proxy.escritorio /user:USER /pass:PASSWORD"); nothing natively, where a proxy URL
// carries its own. Held in memory only, for the proxy alone.

#include <string>

namespace platform {

// False when there is none.
bool ReadProxyCredential(const std::string& proxyHost, std::string& username,
                         std::string& password);

} // namespace platform

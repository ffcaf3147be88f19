#pragma once

#include <string>
#include <vector>

namespace platform {

// The IPv4 addresses that this host's own name resolves to, in dotted decimal form, in the
// resolver's order. Empty when the socket services, the host name or the lookup fail.
std::vector<std::string> OwnHostIPv4Addresses();

} // namespace platform

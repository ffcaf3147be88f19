#include "platform/ProxyCredential.h"

namespace platform {

bool ReadProxyCredential(const std::string&, std::string&, std::string&) {
    return false;
}

} // namespace platform

#include "platform/SignOn.h"

namespace platform {

std::unique_ptr<TSignOn> NewSignOn(const std::string&, const std::string&) {
    return nullptr;
}

} // namespace platform

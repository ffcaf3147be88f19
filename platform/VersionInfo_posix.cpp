#include "platform/VersionInfo.h"

namespace platform {

// Executables here carry no Windows version resource.
std::string FileVersionText(const std::string&) {
    return {};
}

} // namespace platform

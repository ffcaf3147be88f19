// What the file services build from the platform's own primitives, the same everywhere.

#include "platform/Files.h"

namespace platform {

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
    TTemporaryFile temporary(path);
    return temporary.Handle() != InvalidFile &&
           WriteToFile(temporary.Handle(), bytes.data(), bytes.size()) && temporary.Commit(path);
}

} // namespace platform

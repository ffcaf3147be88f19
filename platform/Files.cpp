// What the file services build from the platform's own primitives, the same everywhere.

#include "platform/Files.h"

namespace platform {

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
    std::string temp;
    FileHandle file = CreateTemporaryBeside(path, temp);
    if (file == InvalidFile)
        return false;
    if (!WriteToFile(file, bytes.data(), bytes.size())) {
        DiscardTemporary(file, temp);
        return false;
    }
    return CommitTemporary(file, temp, path);
}

} // namespace platform

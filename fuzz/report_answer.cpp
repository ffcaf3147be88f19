// The usage report's answer, which may carry a message file: whatever the server sends, a name
// that is accepted is a plain file name inside the message folder, and the content is the rest.

#include "update/Updater.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string answer(reinterpret_cast<const char*>(data), size);
    std::string name, content;
    if (!SplitMessageFile(answer, name, content))
        return 0;
    if (name.empty() || name.size() > 30 || name.find_first_of("\\/:") != std::string::npos ||
        !IsSafeRelativeName(name) || content.size() != answer.size() - 30 ||
        answer.compare(30, std::string::npos, content) != 0)
        std::abort();
    return 0;
}

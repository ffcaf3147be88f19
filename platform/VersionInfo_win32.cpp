#include "platform/VersionInfo.h"

#include <windows.h>

#include <vector>

namespace platform {

std::string FileVersionText(const std::string& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<char> block(size);
    GetFileVersionInfoA(path.c_str(), 0, size, block.data());
    char* text = nullptr;
    UINT length = 0;
    char query[] = "\\StringFileInfo\\041604E4\\FileVersion";
    if (!VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&text), &length) || !text)
        return {};
    // The value is zero-terminated inside the block; never read past the block's end.
    const char* end = block.data() + block.size();
    if (text < block.data() || text >= end)
        return {};
    std::size_t n = 0;
    while (text + n < end && text[n] != '\0')
        ++n;
    return std::string(text, n);
}

} // namespace platform

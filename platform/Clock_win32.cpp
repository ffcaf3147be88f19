#include "platform/Clock.h"

#include <windows.h>

namespace platform {

std::uint32_t TickCount() {
    return GetTickCount();
}

void SleepMilliseconds(int ms) {
    Sleep(static_cast<DWORD>(ms < 0 ? 0 : ms));
}

} // namespace platform

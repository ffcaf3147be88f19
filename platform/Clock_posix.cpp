#include "platform/Clock.h"

#include <time.h>

namespace platform {

std::uint32_t TickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

void SleepMilliseconds(int ms) {
    timespec wait{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0) {
    }
}

} // namespace platform

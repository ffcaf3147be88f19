#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since the system started, as a 32-bit counter that wraps after about 49 days.
std::uint32_t TickCount();

void SleepMilliseconds(int ms);

} // namespace platform

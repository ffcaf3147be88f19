// HTTP date parsing and writing on any text.

#include "http/IdHTTPHeaderInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TDateTime value = GMTToLocalDateTime(text);
    if (value > 0 && value < 2900000) {
        DateTimeToZoneForm(value);
        DateTimeToGMTForm(value);
    }
    return 0;
}

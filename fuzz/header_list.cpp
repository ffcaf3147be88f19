// Header-list operations and the response record's parsing on any lines.

#include "http/IdHTTPHeaderInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TIdResponseHeaderInfo response;
    response.HeaderLines.AddText(text);
    try {
        response.ReadFromLines();
    } catch (const Exception&) {
    }
    TIdHeaderList& lines = response.HeaderLines;
    for (int i = 0; i < lines.Count() && i < 8; ++i) {
        std::string name = lines.NameOfLine(i);
        lines.GetValue(name);
        std::vector<std::string> values;
        lines.CollectValues(name, values);
    }
    lines.FoldWidth = 1 + static_cast<int>(size % 100);
    lines.SetValue("X-Fuzz", text);
    lines.GetValue("x-fuzz");
    lines.SetValue("X-Fuzz", "");
    TIdDecoderMIME::Decode(text.substr(0, text.size() / 4 * 4));
    TIdEncoderMIME::Encode(text);
    return 0;
}

// URI parsing, composing, merging and query encoding on any text.

#include "http/IdURI.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TIdURI uri(text);
    try {
        uri.ComposeUri(withUserInfo | withFragment);
        uri.FullUri();
    } catch (const EIdURIException&) {
    }
    std::size_t half = text.size() / 2;
    TIdURI::MergePath(text.substr(0, half), text.substr(half), "/");
    TIdURI::EncodeQuery(text);
    std::string token = text;
    TakeToken(token, ":", true, false);
    FindLast("/", text, static_cast<int>(half));
    return 0;
}

// The response head and body path of the HTTP client, fed from memory. The first byte picks
// how the rest is cut into receives; the client must end every input with a body or one of its
// exceptions, never a crash, a hang or unbounded growth.

#include "http/IdHTTP.h"
#include "support/MemoryIOHandler.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t piece = (data[0] % 64) + 1;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        chunks.push_back(bytes.substr(at, piece));

    TMemoryIOHandler transport(chunks);
    transport.Open();
    TIdHTTP http;
    http.SetIOHandler(&transport);
    http.HandleRedirects = (data[0] & 0x40) != 0;
    http.HTTPOptions |= (data[0] & 0x80) ? hoInProcessAuth : 0;
    try {
        std::string body = http.GetToString("/x");
        (void)body;
    } catch (const EIdException&) {
    } catch (const Exception&) {
    } catch (const std::exception&) {
    }
    http.ResponseCode();
    http.SetIOHandler(nullptr);
    return 0;
}

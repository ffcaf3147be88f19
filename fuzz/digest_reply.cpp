// The digest reply against a body: the first byte says where the input splits into reply and
// body. A reply may only match when it is "OK", the 32 digits of the body's MD5 and "OK".

#include "support/Md5.h"
#include "update/Updater.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t cut = std::min<std::size_t>(data[0], size - 1);
    std::string reply(reinterpret_cast<const char*>(data + 1), cut);
    std::string body(reinterpret_cast<const char*>(data + 1 + cut), size - 1 - cut);
    const std::string md5 = MD5Text(body);
    bool matches = DigestReplyMatches(reply, md5);
    if (matches && (reply.size() != 36 || reply.compare(0, 2, "OK") != 0))
        std::abort();
    // The reply built from the body always matches, in either letter case.
    std::string digest = md5;
    if (!DigestReplyMatches("OK" + digest + "OK", md5))
        std::abort();
    for (char& c : digest)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    if (!DigestReplyMatches("OK" + digest + "OK", md5))
        std::abort();
    return 0;
}

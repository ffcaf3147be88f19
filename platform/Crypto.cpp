// What the crypto services build from the platform's own hasher, the same everywhere.

#include "platform/Crypto.h"

namespace platform {

bool Sha256(std::string_view bytes, TSha256Digest& digest) {
    TSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Final(digest);
}

} // namespace platform

#pragma once
// SHA-256 and ECDSA P-256 signature checks from the operating system's own crypto: CNG
// (bcrypt.dll, loaded when first needed) on Windows, libcrypto on POSIX. No crypto arithmetic
// of our own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace platform {

using TSha256Digest = std::array<std::uint8_t, 32>;
// r then s, 32 big-endian bytes each.
using TP256Signature = std::array<std::uint8_t, 64>;
// The public point, uncompressed: 0x04, then X and Y, 32 big-endian bytes each.
using TP256Point = std::array<std::uint8_t, 65>;

// SHA-256 fed in pieces, for bodies that never sit whole in memory.
class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    // Starts again from nothing.
    void Reset();
    void Update(const void* bytes, std::size_t n);
    // The digest of everything fed since the last Reset; false when the platform's crypto
    // cannot be used or failed on the way.
    bool Final(TSha256Digest& digest);

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

// The SHA-256 of the bytes; false when the platform's crypto cannot be used.
bool Sha256(std::string_view bytes, TSha256Digest& digest);

// Fills bytes from the platform's random source (CNG on Windows, getrandom on POSIX); false
// when it cannot be used.
bool RandomBytes(void* bytes, std::size_t n);

// Whether signature is a valid ECDSA P-256 signature of digest under the public key. False for
// a bad signature, a point that is not on the curve, or crypto that cannot be used.
bool VerifyP256(const TP256Point& key, const TSha256Digest& digest,
                const TP256Signature& signature);

} // namespace platform

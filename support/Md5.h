#pragma once
// MD5 (RFC 1321) and the upper-case hexadecimal text form the download check compares.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// An MD5 hasher that can be fed in pieces. HashText starts from scratch on every call.
class TIdHashMessageDigest5 {
public:
    using TDigest = std::array<std::uint8_t, 16>;

    TIdHashMessageDigest5() { Reset(); }

    void Reset();
    void Update(const void* data, std::size_t size);
    TDigest Final(); // the digest of everything fed since Reset; resets afterwards

    TDigest HashText(std::string_view text);

private:
    void Compress(const std::uint8_t* blocks, std::size_t count);

    std::uint32_t state_[4];
    std::uint64_t length_ = 0; // bytes fed
    std::uint8_t pending_[64];
    std::size_t pendingSize_ = 0;
};

// 32 hexadecimal digits, upper case, high half of each byte first.
std::string DigestToHex(const TIdHashMessageDigest5::TDigest& digest);

// The MD5 of the text's bytes (NUL bytes included), in the upper-case text form.
std::string MD5Text(std::string_view text);

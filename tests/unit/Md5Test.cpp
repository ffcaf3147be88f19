#include "support/Md5.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>

namespace {

// A second, deliberately plain MD5 (constants from the sine function, textbook round
// functions) to check the fast one against on inputs no table covers.
std::string ReferenceMd5(const std::string& message) {
    static const int shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                   5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                   4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                   6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    std::uint32_t k[64];
    for (int i = 0; i < 64; ++i)
        k[i] = static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    std::string m = message;
    std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
    m += '\x80';
    while (m.size() % 64 != 56)
        m += '\0';
    for (int i = 0; i < 8; ++i)
        m += static_cast<char>(bits >> (8 * i));
    std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (std::size_t off = 0; off < m.size(); off += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = 0;
            for (int j = 3; j >= 0; --j)
                w[i] = (w[i] << 8) | static_cast<unsigned char>(m[off + 4 * i + j]);
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            std::uint32_t t = d;
            d = c;
            c = b;
            std::uint32_t x = a + f + k[i] + w[g];
            b = b + ((x << shifts[i]) | (x >> (32 - shifts[i])));
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    TIdHashMessageDigest5::TDigest digest;
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<std::uint8_t>(h[i / 4] >> (8 * (i % 4)));
    return DigestToHex(digest);
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

} // namespace

TEST(Md5, ReproducesTheRfc1321SuiteInUpperCase) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MD5Text(c.in), c.out) << c.in;
}

TEST(Md5, HashesNulBytesAndEveryLengthAroundBlockEdges) {
    EXPECT_EQ(MD5Text(std::string(1, '\0')), "93B885ADFE0DA089CDF634904FD59F71");
    EXPECT_EQ(MD5Text(std::string("a\0b", 3)), ReferenceMd5(std::string("a\0b", 3)));
    EXPECT_NE(MD5Text(std::string("a\0b", 3)), MD5Text("a"));
    for (std::size_t n = 0; n <= 200; ++n) {
        std::string s = RandomBytes(n, static_cast<unsigned>(n));
        ASSERT_EQ(MD5Text(s), ReferenceMd5(s)) << n;
    }
}

TEST(Md5, PiecewiseFeedingMatchesOneCall) {
    std::string s = RandomBytes(3000, 7);
    TIdHashMessageDigest5 hasher;
    for (std::size_t cut : {1, 55, 56, 63, 64, 65, 127, 1000}) {
        for (std::size_t at = 0; at < s.size(); at += cut)
            hasher.Update(s.data() + at, std::min(cut, s.size() - at));
        EXPECT_EQ(DigestToHex(hasher.Final()), MD5Text(s)) << cut;
    }
}

TEST(Md5, MultiMegabyteInputMatchesTheReference) {
    std::string s = RandomBytes(5 * 1024 * 1024 + 13, 42);
    EXPECT_EQ(MD5Text(s), ReferenceMd5(s));
}

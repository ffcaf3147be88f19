#include "update/ReleaseManifest.h"

#include "SignedRelease.h"
#include "http/IdHeaderList.h"

#include <gtest/gtest.h>

namespace {

using namespace signed_release;

const std::string Hex64(64, 'a');

std::vector<platform::TP256Point> Keys(const std::vector<std::string>& pems) {
    std::vector<platform::TP256Point> keys;
    EXPECT_TRUE(ReleaseKeysFromPems(pems, keys));
    return keys;
}

} // namespace

TEST(ReleaseManifest, ParsesReleaseSequenceAndFiles) {
    TReleaseManifest m;
    ASSERT_TRUE(m.Parse(Manifest));
    EXPECT_EQ(m.Release, "7.0");
    EXPECT_EQ(m.Sequence, 5u);
    EXPECT_EQ(m.Area, "Contrib");
    ASSERT_NE(m.Find("tabela.dat"), nullptr);
    EXPECT_EQ(m.Find("tabela.dat")->Size, 8);
    EXPECT_EQ(m.Find("tabela.dat")->Sha256[0], 0x5f);
    EXPECT_EQ(m.Find("TABELA.DAT"), nullptr); // names compare exactly
    EXPECT_TRUE(MatchesEntry("tabela 7", *m.Find("tabela.dat")));
    EXPECT_FALSE(MatchesEntry("tabela 8", *m.Find("tabela.dat")));
    EXPECT_FALSE(MatchesEntry("tabela 7 ", *m.Find("tabela.dat")));

    // A name may hold "=" and spaces: the line splits at its last "=".
    ASSERT_TRUE(
        m.Parse("Release=a=b\r\nSequence=9007199254740992\r\nArea=Beta\r\nsub\\a=b c.dat=0 " +
                Hex64 + "\r\n"));
    EXPECT_EQ(m.Area, "Beta");
    EXPECT_EQ(m.Release, "a=b");
    ASSERT_NE(m.Find("sub\\a=b c.dat"), nullptr);
    EXPECT_EQ(m.Sequence, ManifestSequenceMax);
}

TEST(ReleaseManifest, RefusesEverythingElse) {
    const std::string head = "Release=1\r\nSequence=2\r\nArea=Contrib\r\n";
    const std::string file = "a.dat=3 " + Hex64 + "\r\n";
    const std::string cases[] = {
        "",
        "Release=1\r\n",
        "Sequence=2\r\nRelease=1\r\n" + file,
        "release=1\r\nSequence=2\r\nArea=Contrib\r\n",
        "Release=1\r\nSequence=0\r\nArea=Contrib\r\n",
        "Release=1\r\nSequence=9007199254740993\r\nArea=Contrib\r\n",
        "Release=1\r\nSequence=-2\r\nArea=Contrib\r\n",
        "Release=1\r\nSequence=2x\r\nArea=Contrib\r\n",
        "Release=\r\nSequence=2\r\nArea=Contrib\r\n",
        // The area is required, right after the sequence, and not empty.
        "Release=1\r\nSequence=2\r\n",
        "Release=1\r\nSequence=2\r\n" + file,
        "Release=1\r\nArea=Contrib\r\nSequence=2\r\n",
        "Release=1\r\nSequence=2\r\nArea=\r\n",
        "Release=1\r\nSequence=2\r\narea=Contrib\r\n",
        head + file + file,
        head + "a.dat=3 " + std::string(64, 'A') + "\r\n",
        head + "a.dat=3 " + std::string(63, 'a') + "\r\n",
        head + "a.dat=3  " + Hex64 + "\r\n",
        head + "a.dat=x " + Hex64 + "\r\n",
        head + "a.dat=99999999999999999999 " + Hex64 + "\r\n",
        head + "=3 " + Hex64 + "\r\n",
        head + "comment\r\n",
        head + "\r\n",
        "Release=1\nSequence=2\n",
        head + "a.dat=3 " + Hex64,
        head + "a\rb.dat=3 " + Hex64 + "\r\n",
    };
    for (const std::string& text : cases) {
        TReleaseManifest m;
        m.Release = "kept";
        EXPECT_FALSE(m.Parse(text)) << text;
        EXPECT_EQ(m.Release, "kept");
    }
}

TEST(ReleaseManifest, DerSignaturesBecomeRAndS) {
    auto der = [](std::string r, std::string s) {
        std::string body = "\x02" + std::string(1, char(r.size())) + r + "\x02" +
                           std::string(1, char(s.size())) + s;
        return "\x30" + std::string(1, char(body.size())) + body;
    };
    const std::string r32(32, '\x11'), s32(32, '\x22');
    platform::TP256Signature raw;
    ASSERT_TRUE(DerSignatureToRaw(der(r32, s32), raw));
    EXPECT_EQ(raw[0], 0x11);
    EXPECT_EQ(raw[63], 0x22);
    // A high bit takes a leading zero byte; it is not part of the number.
    ASSERT_TRUE(DerSignatureToRaw(der('\0' + std::string(32, '\x81'), s32), raw));
    EXPECT_EQ(raw[0], 0x81);
    EXPECT_EQ(raw[31], 0x81);
    // Short integers are padded at the front.
    ASSERT_TRUE(DerSignatureToRaw(der("\x05", std::string(30, '\x7f')), raw));
    EXPECT_EQ(raw[30], 0);
    EXPECT_EQ(raw[31], 5);
    EXPECT_EQ(raw[33], 0);
    EXPECT_EQ(raw[34], 0x7f);

    platform::TP256Signature kept{};
    kept[0] = 9;
    raw = kept;
    for (const std::string& bad :
         {std::string(), der(r32, s32) + "x", der(r32, s32).substr(0, 40),
          der(std::string(33, '\x11'), s32), der("\x81" + r32.substr(1), s32), der("", s32),
          "\x31" + der(r32, s32).substr(1), der(r32, s32).replace(2, 1, "\x03")}) {
        EXPECT_FALSE(DerSignatureToRaw(bad, raw));
        EXPECT_EQ(raw, kept);
    }
}

TEST(ReleaseManifest, KeysAndBase64) {
    platform::TP256Point point;
    ASSERT_TRUE(P256PublicKeyFromPem(KeyPem, point));
    EXPECT_EQ(point[0], 0x04);
    EXPECT_FALSE(P256PublicKeyFromPem(P384Pem, point));
    EXPECT_FALSE(
        P256PublicKeyFromPem("-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----", point));
    EXPECT_FALSE(P256PublicKeyFromPem(KeyPem.substr(0, 60), point));
    std::vector<platform::TP256Point> keys;
    EXPECT_FALSE(ReleaseKeysFromPems({KeyPem, P384Pem}, keys));
    EXPECT_EQ(keys.size(), 1u);

    std::string bytes;
    EXPECT_TRUE(DecodeBase64Strict("YWJj", bytes));
    EXPECT_EQ(bytes, "abc");
    EXPECT_TRUE(DecodeBase64Strict("YQ==", bytes));
    EXPECT_EQ(bytes, "a");
    EXPECT_TRUE(DecodeBase64Strict("YWI=", bytes));
    EXPECT_EQ(bytes, "ab");
    for (const char* bad : {"YWJ", "Y===", "=WJj", "YW=j", "YQ==YWJj", "YW j", "YWJ\n"})
        EXPECT_FALSE(DecodeBase64Strict(bad, bytes)) << bad;
}

TEST(ReleaseManifest, SignaturesVerifyWithThePlatformsCrypto) {
    platform::TSha256Digest digest;
    ASSERT_TRUE(platform::Sha256("abc", digest));
    EXPECT_EQ(digest[0], 0xba);
    EXPECT_EQ(digest[31], 0xad);

    const auto keys = Keys({KeyPem});
    EXPECT_TRUE(ManifestSignatureValid(Manifest, Signature, keys));
    EXPECT_TRUE(ManifestSignatureValid(Manifest, Signature + "\r\n", keys));
    EXPECT_FALSE(ManifestSignatureValid(Manifest, Signature + "\r\n\r\n", keys));
    EXPECT_FALSE(ManifestSignatureValid(Manifest + " ", Signature, keys));
    EXPECT_FALSE(ManifestSignatureValid(Manifest, Signature, {}));
    // One bit of the signature flipped, anywhere in r or s.
    std::string der;
    ASSERT_TRUE(DecodeBase64Strict(Signature, der));
    for (std::size_t at : {std::size_t(5), der.size() - 1}) {
        std::string flipped = der;
        flipped[at] = static_cast<char>(flipped[at] ^ 1);
        EXPECT_FALSE(ManifestSignatureValid(Manifest, TIdEncoderMIME::Encode(flipped), keys));
    }
    // A point that is not on the curve is refused, not trusted.
    platform::TP256Point off = keys[0];
    off[64] ^= 1;
    EXPECT_FALSE(ManifestSignatureValid(Manifest, Signature, {off}));
}

#include "update/ReleaseManifest.h"
#include "update/Rollout.h"

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

TEST(ReleaseManifest, CandidatesAndPatches) {
    const std::string head = "Release=7\r\nSequence=9\r\nArea=Contrib\r\n";
    const std::string rollout = "Pasta=r7\r\nInicio=2026-12-01T12:00:00Z\r\nHoras=48\r\n";
    const std::string file = "a.dat=3 " + std::string(64, 'a') + "\r\n";
    const std::string patch =
        "Patch:a.dat=" + std::string(64, 'b') + " 2 " + std::string(64, 'c') + " a.dat.p\r\n";
    TReleaseManifest m;
    ASSERT_TRUE(m.ParseCandidate(head + rollout + file + patch));
    EXPECT_EQ(m.Folder, "r7");
    EXPECT_EQ(m.Start, 1796126400); // 2026-12-01T12:00:00Z
    EXPECT_EQ(m.Hours, 48);
    ASSERT_EQ(m.PatchesFor("a.dat").size(), 1u);
    EXPECT_EQ(m.PatchesFor("a.dat")[0].Name, "a.dat.p");
    EXPECT_EQ(m.PatchesFor("a.dat")[0].Entry.Size, 2);
    EXPECT_TRUE(m.Parse(head + file + patch)); // a stable manifest has no rollout lines
    const std::string refused[] = {
        head + file, // rollout lines missing
        head + "Inicio=2026-12-01T12:00:00Z\r\nPasta=r7\r\nHoras=48\r\n" + file, // out of order
        head + "Pasta=r7\r\nInicio=2026-12-01 12:00:00\r\nHoras=48\r\n" + file,  // not UTC form
        head + "Pasta=r7\r\nInicio=2026-02-30T12:00:00Z\r\nHoras=48\r\n" + file, // no such day
        head + "Pasta=r7\r\nInicio=2026-12-01T12:00:00Z\r\nHoras=0\r\n" + file,
        head + "Pasta=r7\r\nInicio=2026-12-01T12:00:00Z\r\nHoras=2161\r\n" + file,
        head + "Pasta=\r\nInicio=2026-12-01T12:00:00Z\r\nHoras=48\r\n" + file,
        head + rollout + patch,                // a patch for no file
        head + rollout + file + patch + patch, // a patch name twice
        head + rollout + file + "Patch:a.dat=" + std::string(64, 'b') + " 2 " +
            std::string(64, 'c') + " a.dat\r\n",
    };
    for (const std::string& text : refused)
        EXPECT_FALSE(m.ParseCandidate(text)) << text;
    EXPECT_FALSE(m.Parse(head + rollout + file)); // rollout lines in a stable manifest
}

TEST(Rollout, TheDueTimeOfAGroup) {
    const std::int64_t start = 1796126400; // 2026-12-01T12:00:00Z
    const struct {
        int group, hours;
        std::int64_t now;
        bool due;
    } cases[] = {
        {0, 48, start, true},                      // group 0 at the start itself
        {0, 48, start - 1, false},                 // before the start, nobody
        {9999, 48, start + 48 * 3600 - 19, false}, // the last group just before its moment
        {9999, 48, start + 48 * 3600 - 18, true},  // 48 h x 9999 / 10000: 172782 s
        {5000, 48, start + 24 * 3600, true},       // half way
        {5000, 48, start + 24 * 3600 - 1, false},
        {9999, 2160, start + 2160LL * 3600, true}, // past the end, everyone
        {-1, 48, start + 1000000, false},          // no group, no candidate
        {10000, 48, start + 1000000, false},
        {0, 0, start + 1000000, false}, // hours out of range
    };
    for (const auto& c : cases)
        EXPECT_EQ(CandidateDue(c.group, start, c.hours, c.now), c.due)
            << c.group << " " << c.hours << " " << c.now - start;
    std::int64_t t = 0;
    EXPECT_TRUE(ParseUtcTime("1970-01-01T00:00:00Z", t) && t == 0);
    EXPECT_TRUE(ParseUtcTime("2028-02-29T23:59:59Z", t) && t == 1835481599);
    EXPECT_FALSE(ParseUtcTime("2027-02-29T00:00:00Z", t));
    EXPECT_FALSE(ParseUtcTime("2026-12-01T24:00:00Z", t));
    for (int i = 0; i < 100; ++i) {
        const int group = DrawGroup();
        EXPECT_TRUE(group >= 0 && group < RolloutGroups) << group;
    }
}

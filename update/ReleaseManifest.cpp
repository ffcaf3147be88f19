#include "update/ReleaseManifest.h"

#include "update/Rollout.h"

#include <cstring>

namespace {

// What every P-256 SubjectPublicKeyInfo holds before its 65-byte point: the sequences, the
// object identifiers of id-ecPublicKey and prime256v1, and the bit string's head.
constexpr std::uint8_t P256KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                          0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                          0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1; // upper case is not the manifest's form
}

bool ParseDecimal(std::string_view text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= max;
}

bool ParseDigest(std::string_view hex, platform::TSha256Digest& digest) {
    if (hex.size() != 2 * digest.size())
        return false;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

bool ParseEntry(std::string_view text, TManifestEntry& entry) {
    std::size_t space = text.find(' ');
    if (space == std::string_view::npos)
        return false;
    std::uint64_t size = 0;
    if (!ParseDecimal(text.substr(0, space), INT64_MAX, size))
        return false;
    entry.Size = static_cast<std::int64_t>(size);
    return ParseDigest(text.substr(space + 1), entry.Sha256);
}

// "<source sha256> <size> <sha256> <patch name>".
bool ParsePatch(std::string_view text, TManifestPatch& patch) {
    if (text.size() < 65 || text[64] != ' ' || !ParseDigest(text.substr(0, 64), patch.Source))
        return false;
    text.remove_prefix(65);
    const std::size_t first = text.find(' ');
    if (first == std::string_view::npos)
        return false;
    const std::size_t second = text.find(' ', first + 1);
    if (second == std::string_view::npos || second + 1 == text.size() ||
        !ParseEntry(text.substr(0, second), patch.Entry))
        return false;
    patch.Name = std::string(text.substr(second + 1));
    return true;
}

constexpr std::string_view PatchKey = "Patch:";

// One DER integer of at most 32 significant bytes, right-aligned into out.
bool ReadInteger(std::string_view& der, std::uint8_t* out) {
    if (der.size() < 2 || der[0] != 0x02)
        return false;
    std::size_t length = static_cast<std::uint8_t>(der[1]);
    if (length == 0 || length > 33 || der.size() < 2 + length)
        return false;
    std::string_view value = der.substr(2, length);
    der.remove_prefix(2 + length);
    if (static_cast<std::uint8_t>(value[0]) & 0x80)
        return false; // negative
    while (value.size() > 1 && value[0] == 0)
        value.remove_prefix(1);
    if (value.size() > 32)
        return false;
    std::memset(out, 0, 32);
    std::memcpy(out + 32 - value.size(), value.data(), value.size());
    return true;
}

} // namespace

bool TReleaseManifest::Parse(std::string_view text) {
    return ParseAs(text, false);
}

bool TReleaseManifest::ParseCandidate(std::string_view text) {
    return ParseAs(text, true);
}

bool TReleaseManifest::ParseAs(std::string_view text, bool candidate) {
    TReleaseManifest parsed;
    bool haveRelease = false, haveSequence = false, haveArea = false;
    int rolloutLines = candidate ? 0 : 3; // Pasta, Inicio, Horas still to come
    while (!text.empty()) {
        std::size_t end = text.find("\r\n");
        if (end == std::string_view::npos)
            return false;
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 2);
        if (line.find_first_of("\r\n") != std::string_view::npos)
            return false;
        if (!haveRelease) {
            constexpr std::string_view Key = "Release=";
            if (line.substr(0, Key.size()) != Key || line.size() == Key.size())
                return false;
            parsed.Release = std::string(line.substr(Key.size()));
            haveRelease = true;
            continue;
        }
        if (!haveSequence) {
            constexpr std::string_view Key = "Sequence=";
            if (line.substr(0, Key.size()) != Key ||
                !ParseDecimal(line.substr(Key.size()), ManifestSequenceMax, parsed.Sequence) ||
                parsed.Sequence == 0)
                return false;
            haveSequence = true;
            continue;
        }
        if (!haveArea) {
            constexpr std::string_view Key = "Area=";
            if (line.substr(0, Key.size()) != Key || line.size() == Key.size())
                return false;
            parsed.Area = std::string(line.substr(Key.size()));
            haveArea = true;
            continue;
        }
        if (rolloutLines < 3) {
            constexpr std::string_view Keys[] = {"Pasta=", "Inicio=", "Horas="};
            const std::string_view key = Keys[rolloutLines++];
            if (line.substr(0, key.size()) != key || line.size() == key.size())
                return false;
            const std::string_view value = line.substr(key.size());
            std::uint64_t hours = 0;
            if (key == "Pasta=")
                parsed.Folder = std::string(value);
            else if (key == "Inicio="
                         ? !ParseUtcTime(value, parsed.Start)
                         : !ParseDecimal(value, CandidateHoursMax, hours) || hours == 0)
                return false;
            parsed.Hours = static_cast<int>(hours ? hours : parsed.Hours);
            continue;
        }
        // A file line splits at its last "=", so a name may hold one.
        std::size_t eq = line.rfind('=');
        if (eq == std::string_view::npos || eq == 0)
            return false;
        if (line.substr(0, PatchKey.size()) == PatchKey) {
            TManifestPatch patch;
            auto& list =
                parsed.Patches[std::string(line.substr(PatchKey.size(), eq - PatchKey.size()))];
            if (!ParsePatch(line.substr(eq + 1), patch) || list.size() >= ManifestPatchesPerFile)
                return false;
            list.push_back(std::move(patch));
            continue;
        }
        TManifestEntry entry;
        if (!ParseEntry(line.substr(eq + 1), entry) ||
            !parsed.Files.emplace(std::string(line.substr(0, eq)), entry).second)
            return false;
    }
    if (!haveArea || rolloutLines < 3)
        return false;
    // A patch makes a listed file, under a name no listed file has.
    std::map<std::string, int> patchNames;
    for (const auto& [name, list] : parsed.Patches) {
        if (!parsed.Files.count(name))
            return false;
        for (const TManifestPatch& patch : list)
            if (parsed.Files.count(patch.Name) || ++patchNames[patch.Name] > 1)
                return false;
    }
    *this = std::move(parsed);
    return true;
}

const TManifestEntry* TReleaseManifest::Find(const std::string& name) const {
    auto it = Files.find(name);
    return it == Files.end() ? nullptr : &it->second;
}

const std::vector<TManifestPatch>& TReleaseManifest::PatchesFor(const std::string& name) const {
    static const std::vector<TManifestPatch> none;
    auto it = Patches.find(name);
    return it == Patches.end() ? none : it->second;
}

bool MatchesEntry(std::string_view bytes, const TManifestEntry& entry) {
    platform::TSha256Digest digest;
    return static_cast<std::int64_t>(bytes.size()) == entry.Size &&
           platform::Sha256(bytes, digest) && digest == entry.Sha256;
}

bool DerSignatureToRaw(std::string_view der, platform::TP256Signature& raw) {
    // A P-256 signature is at most 72 bytes, so every length is in the short form.
    if (der.size() < 2 || der[0] != 0x30 || static_cast<std::uint8_t>(der[1]) != der.size() - 2)
        return false;
    der.remove_prefix(2);
    platform::TP256Signature out;
    if (!ReadInteger(der, out.data()) || !ReadInteger(der, out.data() + 32) || !der.empty())
        return false;
    raw = out;
    return true;
}

bool DecodeBase64Strict(std::string_view text, std::string& bytes) {
    static const char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0)
        return false;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        // Padding only at the very end: "x=" or "xy==" style, one or two characters.
        std::size_t pad = 0;
        if (i + 4 == text.size())
            pad = text[i + 3] != '=' ? 0 : text[i + 2] == '=' ? 2 : 1;
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            bits <<= 6;
            if (k >= 4 - pad)
                continue;
            char c = text[i + k];
            const char* at = c ? std::strchr(Alphabet, c) : nullptr;
            if (!at)
                return false;
            bits |= static_cast<std::uint32_t>(at - Alphabet);
        }
        out += static_cast<char>(bits >> 16);
        if (pad < 2)
            out += static_cast<char>(bits >> 8);
        if (pad < 1)
            out += static_cast<char>(bits);
    }
    bytes = std::move(out);
    return true;
}

bool P256PublicKeyFromPem(std::string_view pem, platform::TP256Point& point) {
    constexpr std::string_view Begin = "-----BEGIN PUBLIC KEY-----",
                               End = "-----END PUBLIC KEY-----";
    std::size_t begin = pem.find(Begin), end = pem.find(End);
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin)
        return false;
    std::string base64;
    for (char c : pem.substr(begin + Begin.size(), end - begin - Begin.size()))
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t')
            base64 += c;
    std::string der;
    if (!DecodeBase64Strict(base64, der) || der.size() != sizeof P256KeyPrefix + point.size() ||
        std::memcmp(der.data(), P256KeyPrefix, sizeof P256KeyPrefix) != 0 ||
        der[sizeof P256KeyPrefix] != 0x04)
        return false;
    std::memcpy(point.data(), der.data() + sizeof P256KeyPrefix, point.size());
    return true;
}

bool ManifestSignatureValid(std::string_view manifest, std::string_view signatureText,
                            const std::vector<platform::TP256Point>& keys) {
    if (signatureText.size() >= 2 && signatureText.substr(signatureText.size() - 2) == "\r\n")
        signatureText.remove_suffix(2);
    std::string der;
    platform::TP256Signature raw;
    platform::TSha256Digest digest;
    if (!DecodeBase64Strict(signatureText, der) || !DerSignatureToRaw(der, raw) ||
        !platform::Sha256(manifest, digest))
        return false;
    for (const platform::TP256Point& key : keys)
        if (platform::VerifyP256(key, digest, raw))
            return true;
    return false;
}

bool ReleaseKeysFromPems(const std::vector<std::string>& pems,
                         std::vector<platform::TP256Point>& keys) {
    bool all = true;
    for (const std::string& pem : pems) {
        platform::TP256Point point;
        if (P256PublicKeyFromPem(pem, point))
            keys.push_back(point);
        else
            all = false;
    }
    return all;
}

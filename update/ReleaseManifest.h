#pragma once
// Signed releases: the manifest "Manifesto.txt" that lists, for one release, the size and
// SHA-256 of every file the launcher may download, and its signature "Manifesto.sig" (base64 of
// a DER ECDSA P-256 signature over the SHA-256 of the manifest's exact bytes).

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Crypto.h"

struct TManifestEntry {
    std::int64_t Size = 0;
    platform::TSha256Digest Sha256{};
};

// A binary patch that makes a listed file out of an installed one: Source is the SHA-256 of the
// file it applies to, Name its own name in the download area, Entry its own size and SHA-256.
struct TManifestPatch {
    platform::TSha256Digest Source{};
    std::string Name;
    TManifestEntry Entry;
};

// The most patches one file may list (a release makes them from its last few versions).
constexpr std::size_t ManifestPatchesPerFile = 8;

// The largest sequence number a manifest may carry.
constexpr std::uint64_t ManifestSequenceMax = std::uint64_t(1) << 53;

class TReleaseManifest {
public:
    // Lines ending in CR LF: "Release=<name>", "Sequence=<1 to 2^53>", "Area=<download area>",
    // then one "<name>=<size> <64 lower-case hex digits>" per file, split at the last "=", and
    // any number of "Patch:<name>=<source sha256> <size> <sha256> <patch name>" for a listed
    // file. False (and the manifest unchanged) for any other line, a name twice, a patch for a
    // file not listed or named like a listed file, more than ManifestPatchesPerFile patches for
    // one file, or a missing Release, Sequence or Area.
    bool Parse(std::string_view text);
    // A candidate release's manifest: the same, with "Pasta=<folder>", "Inicio=<yyyy-mm-ddThh:
    // mm:ssZ>" and "Horas=<1 to 2160>" right after the Area line.
    bool ParseCandidate(std::string_view text);

    std::string Release;
    std::uint64_t Sequence = 0;
    // The area the release was signed for: a manifest for another one is never installed here.
    std::string Area;
    std::map<std::string, TManifestEntry> Files;
    // By the listed file they make.
    std::map<std::string, std::vector<TManifestPatch>> Patches;
    // A candidate's folder under the area, its start (seconds since 1970, UTC) and how many
    // hours it takes to reach every office.
    std::string Folder;
    std::int64_t Start = 0;
    int Hours = 0;

    // The entry of a file named exactly so, or none.
    const TManifestEntry* Find(const std::string& name) const;
    // The patches that make the file; empty when none.
    const std::vector<TManifestPatch>& PatchesFor(const std::string& name) const;

private:
    bool ParseAs(std::string_view text, bool candidate);
};

// Whether the bytes have exactly the entry's size and SHA-256.
bool MatchesEntry(std::string_view bytes, const TManifestEntry& entry);

// An ECDSA-Sig-Value in DER (a sequence of the integers r and s) as r and s of 32 bytes each:
// leading zero bytes dropped, short integers padded. False for anything else.
bool DerSignatureToRaw(std::string_view der, platform::TP256Signature& raw);

// The public point of an ECDSA P-256 key in a PEM "PUBLIC KEY" (SubjectPublicKeyInfo, as
// `openssl ec -pubout` writes it). False for any other text or key.
bool P256PublicKeyFromPem(std::string_view pem, platform::TP256Point& point);

// Base64 of RFC 4648 with its padding, nothing else: false for any other character.
bool DecodeBase64Strict(std::string_view text, std::string& bytes);

// Whether signatureText (base64 of a DER signature on one line, a CR LF allowed after it)
// verifies the manifest's exact bytes with one of the keys.
bool ManifestSignatureValid(std::string_view manifest, std::string_view signatureText,
                            const std::vector<platform::TP256Point>& keys);

// The keys of the PEM texts that hold a P-256 public key; false when any does not.
bool ReleaseKeysFromPems(const std::vector<std::string>& pems,
                         std::vector<platform::TP256Point>& keys);

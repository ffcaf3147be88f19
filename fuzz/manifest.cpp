// The release manifest and its signature, as a server may send them: the first byte says where
// the input splits into manifest and signature text. Parsing never reads past the text, and a
// manifest that parses keeps what it read.

#include "update/ReleaseManifest.h"
#include "update/Rollout.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t cut = std::min<std::size_t>(data[0], size - 1);
    std::string signature(reinterpret_cast<const char*>(data + 1), cut);
    std::string text(reinterpret_cast<const char*>(data + 1 + cut), size - 1 - cut);
    // The same text as a stable release's and as a candidate's: a patch always makes a
    // listed file, under a name no listed file has, and a candidate's hours are in range.
    for (bool candidate : {false, true}) {
        TReleaseManifest manifest;
        if (!(candidate ? manifest.ParseCandidate(text) : manifest.Parse(text)))
            continue;
        if (manifest.Sequence == 0 || manifest.Sequence > ManifestSequenceMax ||
            manifest.Release.empty() ||
            (candidate && (manifest.Folder.empty() || manifest.Hours < 1 ||
                           manifest.Hours > CandidateHoursMax)))
            std::abort();
        for (const auto& [name, entry] : manifest.Files)
            if (name.empty() || entry.Size < 0 || manifest.Find(name) != &entry)
                std::abort();
        for (const auto& [name, patches] : manifest.Patches)
            for (const TManifestPatch& patch : patches)
                if (!manifest.Find(name) || manifest.Find(patch.Name) || patch.Entry.Size < 0 ||
                    patches.size() > ManifestPatchesPerFile)
                    std::abort();
    }
    std::string der;
    platform::TP256Signature raw;
    if (DecodeBase64Strict(signature, der))
        DerSignatureToRaw(der, raw);
    DerSignatureToRaw(signature, raw);
    platform::TP256Point point;
    P256PublicKeyFromPem(text, point);
    return 0;
}

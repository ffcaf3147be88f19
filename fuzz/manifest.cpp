// The release manifest and its signature, as a server may send them: the first byte says where
// the input splits into manifest and signature text. Parsing never reads past the text, and a
// manifest that parses keeps what it read.

#include "update/ReleaseManifest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t cut = std::min<std::size_t>(data[0], size - 1);
    std::string signature(reinterpret_cast<const char*>(data + 1), cut);
    std::string text(reinterpret_cast<const char*>(data + 1 + cut), size - 1 - cut);
    TReleaseManifest manifest;
    if (manifest.Parse(text)) {
        if (manifest.Sequence == 0 || manifest.Sequence > ManifestSequenceMax ||
            manifest.Release.empty())
            std::abort();
        for (const auto& [name, entry] : manifest.Files)
            if (name.empty() || entry.Size < 0 || manifest.Find(name) != &entry)
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

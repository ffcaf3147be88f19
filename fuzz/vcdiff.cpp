// A binary patch and its source, as a server and an installation may hold them: the first byte
// says how many of the following bytes begin the source, the rest is the patch. The source goes
// on with fixed bytes up to SourceMin, so that copies can land far enough apart to go through
// every path of the decoder's cached blocks of the source. Decoding never
// reads or writes outside its buffers, never exceeds its output limit, and gives the same answer
// whether the streams hand out all their bytes at once or a few at a time.

#include "update/Vcdiff.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Enough for several windows, small enough for many runs a second.
constexpr std::int64_t TargetMax = 1 << 20;
// Many of the decoder's source blocks, and more than it holds at once.
constexpr std::size_t SourceMin = 96 << 10;

// Hands out at most a few bytes per read.
class TSlowStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    std::size_t Read(void* buffer, std::size_t n) override {
        return TMemoryStream::Read(buffer, std::min<std::size_t>(n, 7));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t cut = std::min<std::size_t>(data[0], size - 1);
    std::string source(reinterpret_cast<const char*>(data + 1), cut);
    for (std::size_t i = cut; i < SourceMin; ++i)
        source += static_cast<char>((i * 2654435761u) >> 13);
    std::string patch(reinterpret_cast<const char*>(data + 1 + cut), size - 1 - cut);

    TMemoryStream wholeSource(source), wholePatch(patch), target;
    std::string reason;
    bool ok = ApplyVcdiff(wholeSource, wholePatch, target, TargetMax, reason);
    if (ok != reason.empty() || target.Size() > TargetMax)
        std::abort();

    TSlowStream slowSource(source), slowPatch(patch), again;
    std::string slowReason;
    if (ApplyVcdiff(slowSource, slowPatch, again, TargetMax, slowReason) != ok ||
        slowReason != reason || again.Data() != target.Data())
        std::abort();
    return 0;
}

// vcdiff-apply: applies an RFC 3284 (VCDIFF) patch with the launcher's decoder. The subject of
// the decoder's interoperability test and of its benchmark.
//
//   vcdiff-apply SOURCE PATCH TARGET [MAX-BYTES]
//
// Exit status: 0 with TARGET written; 1 with the reason on standard error (TARGET then holds
// part of the result, or nothing); 2 for bad usage.

#include "support/Exception.h"
#include "support/Stream.h"
#include "update/Vcdiff.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fputs("usage: vcdiff-apply SOURCE PATCH TARGET [MAX-BYTES]\n", stderr);
        return 2;
    }
    std::int64_t max = INT64_MAX;
    if (argc == 5) {
        char* end = nullptr;
        max = std::strtoll(argv[4], &end, 10);
        if (*argv[4] == '\0' || *end != '\0' || max < 0) {
            std::fputs("vcdiff-apply: MAX-BYTES must be a count of bytes\n", stderr);
            return 2;
        }
    }
    std::string reason;
    try {
        TFileStream source(argv[1], TFileStream::TMode::Read);
        TFileStream patch(argv[2], TFileStream::TMode::Read);
        TFileStream target(argv[3]);
        if (ApplyVcdiff(source, patch, target, max, reason))
            return 0;
    } catch (const Exception& e) {
        reason = e.Message();
    }
    std::fprintf(stderr, "vcdiff-apply: %s\n", reason.c_str());
    return 1;
}

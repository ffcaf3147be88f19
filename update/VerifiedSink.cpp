#include "update/VerifiedSink.h"

bool FileSha256(platform::FileHandle file, platform::TSha256Digest& digest) {
    platform::TSha256 sha;
    if (!platform::SeekFile(file, 0))
        return false;
    char piece[1 << 16];
    for (;;) {
        const long long got = platform::ReadFromFile(file, piece, sizeof piece);
        if (got < 0)
            return false;
        if (got == 0)
            return sha.Final(digest);
        sha.Update(piece, static_cast<std::size_t>(got));
    }
}

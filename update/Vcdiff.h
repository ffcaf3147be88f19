#pragma once
// Binary patches in the generic differencing format of RFC 3284 (VCDIFF), as xdelta3 writes
// them without secondary compression (-S none), with or without its per-window Adler-32
// checksum. A patch is hostile input: every integer, length, size and address is checked
// before a byte is touched, and memory is one target window plus its sections, never the file.

#include <cstdint>
#include <string>

#include "support/Stream.h"

// The largest target window a patch may ask for: xdelta3's largest input window (-W) is
// 16 MiB, its default 8 MiB. It is held in memory whole, as copies may reach back into it.
constexpr std::int64_t VcdiffWindowMax = std::int64_t(16) << 20;
// The largest delta encoding of one window (its data, instructions and addresses, held in
// memory while the window decodes): an incompressible window plus room for its instructions.
constexpr std::int64_t VcdiffDeltaMax = 2 * VcdiffWindowMax;
// The largest application header (xdelta3's file names), which is skipped.
constexpr std::int64_t VcdiffAppHeaderMax = std::int64_t(64) << 10;

// Applies the patch, read sequentially from its position to its end, to source, and writes the
// result sequentially at target's position. The source is read by seeking, through a few
// cached blocks, so that short copies returning to the same places read them once; the target
// is read back the same way, only by windows that copy from earlier target bytes (VCD_TARGET),
// so it must be readable. At most maxTargetSize bytes are written. Memory: the largest window and
// its delta encoding, at most VcdiffWindowMax + VcdiffDeltaMax (48 MiB), plus 192 KiB of
// buffers, whatever the size of the files.
// False, with a reason in English for the log, when the patch is malformed, truncated, followed
// by stray bytes, uses a feature this decoder refuses (secondary compression, a code table of
// its own), needs a window over the limits above, does not fit the source, or fails its
// checksum, and also when a stream raises; the target then holds a prefix of the result, and
// the caller throws it away. Never raises.
bool ApplyVcdiff(TStream& source, TStream& patch, TStream& target, std::int64_t maxTargetSize,
                 std::string& reason);

#include "update/Vcdiff.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// A base-128 integer, most significant digit first.
std::string Int(std::uint64_t v) {
    std::string out(1, static_cast<char>(v & 0x7F));
    while (v >>= 7)
        out.insert(out.begin(), static_cast<char>(0x80 | (v & 0x7F)));
    return out;
}

const std::string Header("\xD6\xC3\xC4\x00\x00", 5);

// One window: indicator 1 takes a source segment, 2 a target segment, 4 adds the checksum.
std::string Window(int indicator, std::uint64_t segmentSize, std::uint64_t segmentPosition,
                   std::uint64_t size, const std::string& data = "", const std::string& inst = "",
                   const std::string& addr = "", int deltaIndicator = 0) {
    std::string delta = Int(size) + static_cast<char>(deltaIndicator) + Int(data.size()) +
                        Int(inst.size()) + Int(addr.size()) + data + inst + addr;
    std::string out(1, static_cast<char>(indicator));
    if (indicator & 3)
        out += Int(segmentSize) + Int(segmentPosition);
    return out + Int(delta.size()) + delta;
}

// Counts what the decoder reads.
class TCountingStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    std::size_t Read(void* buffer, std::size_t n) override {
        std::size_t got = TMemoryStream::Read(buffer, n);
        ++Reads;
        Bytes += static_cast<std::int64_t>(got);
        return got;
    }
    int Reads = 0;
    std::int64_t Bytes = 0;
};

// Hands out one byte per read, as a slow stream may.
class TTrickleStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    std::size_t Read(void* buffer, std::size_t n) override {
        return TMemoryStream::Read(buffer, n > 0 ? 1 : 0);
    }
};

bool Apply(const std::string& source, const std::string& patch, std::string& out,
           std::string& reason, std::int64_t max = INT64_MAX, bool trickle = false) {
    TTrickleStream trickledSource(source), trickledPatch(patch);
    TMemoryStream wholeSource(source), wholePatch(patch), target;
    bool ok = trickle ? ApplyVcdiff(trickledSource, trickledPatch, target, max, reason)
                      : ApplyVcdiff(wholeSource, wholePatch, target, max, reason);
    out = target.Data();
    return ok;
}

const std::string Alphabet = "abcdefghijklmnop";
const std::string Digits = "0123456789";

// The example of RFC 3284, section 3: copies from the source, an add, a copy that overlaps the
// bytes it makes, and a run.
const std::string RfcExample =
    Header +
    Window(1, 16, 0, 28, "wxyzz", "\x14\x05\x14\x1c\x00"s + Int(4), Int(0) + Int(4) + Int(24));

// Every address mode, and the paired codes ADD+COPY (163, 236) and COPY+ADD (247).
const std::string AddressModes =
    Header + Window(1, 10, 0, 36, "XYZz", "\x14\x24\x34\x74\x44\xa3\xf7\xec",
                    Int(2) + Int(11) + Int(4) + "\x02" + Int(7) + Int(0) + Int(5) + "\x05");

// What xdelta3 -e -S none -A wrote for RfcExample's files, with its window checksum.
const std::string Xdelta3Patch = FromHex("d6c3c400000504001b1c000c0402a7fc0bbd7778797a65666768") +
                                 "zzzz" + FromHex("14091c05000c");

} // namespace

TEST(Vcdiff, AppliesKnownPatches) {
    struct {
        const char* name;
        std::string source, patch, want;
    } cases[] = {
        {"rfc example", Alphabet, RfcExample, "abcdwxyzefghefghefghefghzzzz"},
        {"address modes", Digits, AddressModes,
         "2345345667892345"
         "2345X01235678YZz5678"},
        {"source segment at an offset, then a target segment", Digits,
         Header + Window(1, 4, 6, 9, "hello", "\x14\x06", Int(0)) +
             Window(2, 5, 4, 8, "!", "\x15\x00"s + Int(3), Int(0)),
         "6789hello"
         "hello!!!"},
        {"overlapping copies of period 3 and 1", "",
         Header + Window(0, 0, 0, 214, "abcz", "\x04\x13" + Int(10) + "\x02\x13" + Int(200),
                         Int(0) + Int(13)),
         "abcabcabcabca" + std::string(201, 'z')},
        {"xdelta3 with checksum", Alphabet, Xdelta3Patch, "abcdwxyzefghefghefghefghzzzz"},
        {"xdelta3 application header skipped", Alphabet,
         FromHex("d6c3c40004") + Int(5) + "t//s/" + Xdelta3Patch.substr(5),
         "abcdwxyzefghefghefghefghzzzz"},
        {"xdelta3 empty result", Alphabet, FromHex("d6c3c400000409000000000000000001"), ""},
        {"target read again as it grows", "",
         Header + Window(0, 0, 0, 8, "abcdefgh", "\x09") + Window(2, 8, 0, 4, "", "\x14", Int(0)) +
             Window(2, 4, 8, 4, "", "\x14", Int(0)),
         "abcdefghabcdabcd"},
    };
    for (const auto& c : cases)
        for (bool trickle : {false, true}) {
            std::string out, reason;
            EXPECT_TRUE(Apply(c.source, c.patch, out, reason, INT64_MAX, trickle))
                << c.name << ": " << reason;
            EXPECT_EQ(out, c.want) << c.name;
        }
}

TEST(Vcdiff, RefusesHostilePatches) {
    const std::string body = RfcExample.substr(5);
    std::string badSum = Xdelta3Patch;
    badSum[14] ^= 1;
    struct {
        const char* name;
        std::string patch, reason;
        std::int64_t max = INT64_MAX;
    } cases[] = {
        {"bad magic", "\xD6\xC3\xC5" + RfcExample.substr(3), "not a VCDIFF patch"},
        {"version", FromHex("d6c3c40100") + body, "unknown VCDIFF version"},
        {"secondary compression", FromHex("d6c3c4000102") + body, "secondary compression"},
        {"code table", FromHex("d6c3c4000202") + body, "code table of its own"},
        {"unknown header bit", FromHex("d6c3c40008") + body, "header indicator"},
        {"long application header", FromHex("d6c3c40004") + Int(VcdiffAppHeaderMax + 1),
         "application header is too long"},
        {"no window", Header, "no window"},
        {"unknown window bit", Header + "\x08", "window indicator"},
        {"source and target", Header + Window(3, 1, 0, 0), "both source and target"},
        {"segment beyond source", Header + Window(1, 17, 0, 0), "beyond the source"},
        {"segment position wraps", Header + Window(1, 1, INT64_MAX, 0), "beyond the source"},
        {"target segment ahead", Header + Window(2, 1, 0, 0), "beyond the target made so far"},
        {"compressed sections", Header + Window(0, 0, 0, 0, "", "", "", 1), "compressed"},
        {"copy of bytes not made", Header + Window(0, 0, 0, 4, "", "\x14", Int(0)),
         "beyond the bytes made so far"},
        {"copy before the segment", Header + Window(0, 0, 0, 4, "", "\x24", Int(1)),
         "before the source segment"},
        {"near address wraps", Header + Window(0, 0, 0, 5, "a", "\x02\x34", Int(INT64_MAX)),
         "beyond the bytes made so far"},
        {"copy across the segment end", Header + Window(1, 16, 0, 8, "", "\x13\x08", Int(12)),
         "past the end of its source segment"},
        {"instruction past the window", Header + Window(1, 16, 0, 3, "", "\x14", Int(0)),
         "past the end of its target window"},
        {"add without data", Header + Window(0, 0, 0, 4, "ab", "\x05"), "data section ends"},
        {"run without data", Header + Window(0, 0, 0, 4, "", "\x00\x04"s), "data section ends"},
        {"size missing", Header + Window(0, 0, 0, 4, "", "\x01"), "instruction section ends"},
        {"address missing", Header + Window(1, 16, 0, 4, "", "\x14"), "address section ends"},
        {"too few bytes made", Header + Window(0, 0, 0, 5, "abcd", "\x05"), "fewer bytes"},
        {"data left over", Header + Window(0, 0, 0, 4, "abcde", "\x05"), "do not use"},
        {"address left over", Header + Window(1, 16, 0, 4, "", "\x14", Int(0) + Int(0)),
         "do not use"},
        {"integer overflow", Header + "\x00"s + std::string(9, '\xFF') + "\x7F", "63 bits"},
        {"window over the limit", Header + Window(0, 0, 0, VcdiffWindowMax + 1, "x", "\x00"s),
         "target window is larger"},
        {"delta over the limit", Header + "\x00"s + Int(VcdiffDeltaMax + 1), "delta encoding is"},
        {"delta beyond the patch", Header + "\x00"s + Int(100) + "\x00"s, "ends inside a window"},
        {"lengths do not add up", Header + "\x00\x06\x00\x00\x00\x00\x00x"s, "add up"},
        {"result over the limit", RfcExample, "larger than 27 bytes", 27},
        {"checksum mismatch", badSum, "checksum does not match"},
        {"trailing byte", Xdelta3Patch + '\x01', "ends inside"},
    };
    for (const auto& c : cases) {
        std::string out, reason;
        EXPECT_FALSE(Apply(Alphabet, c.patch, out, reason, c.max)) << c.name;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": " << reason;
    }
}

TEST(Vcdiff, RefusesEveryTruncation) {
    for (const std::string& patch : {RfcExample, AddressModes, Xdelta3Patch})
        for (std::size_t n = 0; n < patch.size(); ++n) {
            std::string out, reason;
            const std::string& source = patch == AddressModes ? Digits : Alphabet;
            EXPECT_FALSE(Apply(source, patch.substr(0, n), out, reason)) << n;
            EXPECT_FALSE(reason.empty());
        }
}

// Short copies that keep returning to a few places read each place about once, however many
// copies there are; copies in order read each byte once.
TEST(Vcdiff, ReadsOnlyWhatItLacks) {
    constexpr std::size_t Size = 512 << 10;
    std::string file(Size, '\0');
    for (std::size_t i = 0; i < Size; ++i)
        file[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::vector<std::uint64_t> eight = {4094,   65534,  131075, 200000,
                                              262143, 330001, 400000, Size - 4};
    std::vector<std::uint64_t> inOrder;
    for (std::uint64_t at = 0; at < Size; at += 16)
        inOrder.push_back(at);
    struct {
        const char* name;
        bool fromTarget;
        std::vector<std::uint64_t> places;
        std::size_t copies;
        std::int64_t maxBytes;
        int maxReads;
    } cases[] = {
        {"two places 128 KiB apart in turn", false, {0, 128 << 10}, 4000, 2 << 16, 64},
        {"eight places in turn", false, eight, 4000, 8 << 16, 256},
        {"eight places of the target made so far", true, eight, 4000, 8 << 16, 256},
        {"every 16 bytes in order", false, inOrder, inOrder.size(), Size, 256},
    };
    for (const auto& c : cases) {
        std::string inst, addr, want;
        for (std::size_t i = 0; i < c.copies; ++i) {
            std::uint64_t at = c.places[i % c.places.size()];
            inst += '\x14';
            addr += Int(at);
            want += file.substr(at, 4);
        }
        std::string patch = Header;
        if (c.fromTarget) {
            patch += Window(1, Size, 0, Size, "", "\x13"s + Int(Size), Int(0));
            want = file + want;
        }
        patch += Window(c.fromTarget ? 2 : 1, Size, 0, 4 * c.copies, "", inst, addr);
        TCountingStream source(file), target;
        TMemoryStream whole(patch);
        std::string reason;
        ASSERT_TRUE(ApplyVcdiff(source, whole, target, INT64_MAX, reason)) << c.name << reason;
        EXPECT_EQ(target.Data(), want) << c.name;
        const TCountingStream& counted = c.fromTarget ? target : source;
        EXPECT_LE(counted.Bytes, c.maxBytes) << c.name;
        EXPECT_LE(counted.Reads, c.maxReads) << c.name;
    }
}

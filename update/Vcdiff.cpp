#include "update/Vcdiff.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "support/Exception.h"

namespace {

// 'V', 'C', 'D' with their top bits set, then the version, 0.
constexpr std::uint8_t Magic[3] = {0xD6, 0xC3, 0xC4};
constexpr std::uint8_t Version = 0;

// Header indicator bits.
constexpr std::uint8_t VcdDecompress = 0x01;
constexpr std::uint8_t VcdCodeTable = 0x02;
constexpr std::uint8_t VcdAppHeader = 0x04; // xdelta3's: a length and that many bytes follow

// Window indicator bits.
constexpr std::uint8_t VcdSource = 0x01;
constexpr std::uint8_t VcdTarget = 0x02;
// xdelta3's: the target window's Adler-32, 4 bytes big-endian right after the three section
// lengths, counted in the delta encoding's length.
constexpr std::uint8_t VcdAdler32 = 0x04;

// A base-128 integer of 64 bits takes at most 10 bytes; the format's values are sizes and
// offsets, so a larger one than int64 holds is malformed.
constexpr int IntegerBytesMax = 10;
constexpr std::uint64_t IntegerMax = INT64_MAX;

// Patch bytes read from its stream at once.
constexpr std::size_t PatchBufferSize = 64 << 10;
// The source (and the target made so far) is read through a few cached blocks, so that copies
// which keep returning to the same places read them once, and a copy that misses reads one
// block, not a whole buffer. 16 blocks of 4 KiB: 64 KiB per stream.
constexpr std::size_t SegmentBlockSize = 4 << 10;
constexpr std::size_t SegmentBlocks = 16;
// The read-ahead: a miss on the block right after the last one read reads this many blocks,
// so that copies in order cost one seek per 32 KiB. Half the cache, so that read-ahead never
// evicts the blocks that copies return to most.
constexpr std::size_t SegmentReadAheadBlocks = SegmentBlocks / 2;
// A copy at least this long is read straight into the window, bypassing the blocks.
constexpr std::size_t SegmentDirectMin = SegmentReadAheadBlocks * SegmentBlockSize;

// Raised inside the decoder; ApplyVcdiff turns it into its reason.
class EVcdiffError : public Exception {
public:
    using Exception::Exception;
};

[[noreturn]] void Fail(const std::string& why) {
    throw EVcdiffError(why);
}

// The default instruction code table: each of 256 codes is one or two instructions with a size
// (0: the size follows in the instruction section) and an address mode for a copy.
enum TInstruction : std::uint8_t { Noop = 0, Add = 1, Run = 2, Copy = 3 };

struct TCode {
    std::uint8_t Type1 = Noop, Size1 = 0, Mode1 = 0, Type2 = Noop, Size2 = 0, Mode2 = 0;
};

// The default address cache: 4 near slots and 3 x 256 same slots, so 9 address modes.
constexpr int NearSlots = 4;
constexpr int SameSlots = 3;
constexpr int AddressModes = 2 + NearSlots + SameSlots;

constexpr std::array<TCode, 256> MakeDefaultCodeTable() {
    using B = std::uint8_t;
    std::array<TCode, 256> t{};
    int i = 0;
    t[i++] = {Run, 0, 0};
    for (int size = 0; size <= 17; ++size)
        t[i++] = {Add, B(size), 0};
    for (int mode = 0; mode < AddressModes; ++mode) {
        t[i++] = {Copy, 0, B(mode)};
        for (int size = 4; size <= 18; ++size)
            t[i++] = {Copy, B(size), B(mode)};
    }
    for (int mode = 0; mode < 6; ++mode)
        for (int add = 1; add <= 4; ++add)
            for (int copy = 4; copy <= 6; ++copy)
                t[i++] = {Add, B(add), 0, Copy, B(copy), B(mode)};
    for (int mode = 6; mode < AddressModes; ++mode)
        for (int add = 1; add <= 4; ++add)
            t[i++] = {Add, B(add), 0, Copy, 4, B(mode)};
    for (int mode = 0; mode < AddressModes; ++mode)
        t[i++] = {Copy, 4, B(mode), Add, 1, 0};
    if (i != 256)
        throw "the code table must have 256 entries"; // not a constant: fails the build
    return t;
}

constexpr std::array<TCode, 256> CodeTable = MakeDefaultCodeTable();

// Reads a base-128 integer, most significant digit first, from next().
template <class Next> std::uint64_t DecodeInteger(Next next, const char* what) {
    std::uint64_t value = 0;
    for (int n = 0; n < IntegerBytesMax; ++n) {
        std::uint8_t b = next();
        if (value > (IntegerMax >> 7))
            break;
        value = (value << 7) | (b & 0x7F);
        if (!(b & 0x80))
            return value;
    }
    Fail(std::string(what) + " does not fit in 63 bits");
}

// The patch, read once from its position to its end through a buffer.
class TPatchReader {
public:
    explicit TPatchReader(TStream& stream) : stream_(stream), buffer_(PatchBufferSize) {}

    bool AtEnd() { return at_ == end_ && !Fill(); }
    // Bytes not yet consumed.
    std::int64_t Left() const {
        return std::max<std::int64_t>(0, stream_.Size() - stream_.Position()) +
               static_cast<std::int64_t>(end_ - at_);
    }
    std::int64_t Consumed() const { return consumed_; }

    std::uint8_t Byte(const char* what) {
        if (AtEnd())
            Fail(std::string("the patch ends inside ") + what);
        ++consumed_;
        return buffer_[at_++];
    }
    std::uint64_t Integer(const char* what) {
        return DecodeInteger([&] { return Byte(what); }, what);
    }
    void Bytes(std::uint8_t* out, std::size_t n, const char* what) {
        std::size_t k = std::min(n, end_ - at_);
        if (k > 0)
            std::memcpy(out, buffer_.data() + at_, k);
        at_ += k;
        for (std::size_t got = k; got < n; got += k) {
            k = stream_.Read(out + got, n - got);
            if (k == 0)
                Fail(std::string("the patch ends inside ") + what);
        }
        consumed_ += static_cast<std::int64_t>(n);
    }
    void Skip(std::uint64_t n, const char* what) {
        for (; n > 0; --n)
            Byte(what);
    }

private:
    bool Fill() {
        at_ = 0;
        end_ = stream_.Read(buffer_.data(), buffer_.size());
        return end_ > 0;
    }

    TStream& stream_;
    std::vector<std::uint8_t> buffer_;
    std::size_t at_ = 0, end_ = 0;
    std::int64_t consumed_ = 0;
};

// One of a window's three sections, consumed from the front.
class TSection {
public:
    TSection(const std::uint8_t* bytes, std::size_t size, const char* name)
        : at_(bytes), end_(bytes + size), name_(name) {}

    bool AtEnd() const { return at_ == end_; }
    std::uint8_t Byte() {
        if (at_ == end_)
            Fail(std::string("the ") + name_ + " section ends early");
        return *at_++;
    }
    std::uint64_t Integer() {
        return DecodeInteger([&] { return Byte(); }, name_);
    }
    const std::uint8_t* Take(std::uint64_t n) {
        if (n > static_cast<std::uint64_t>(end_ - at_))
            Fail(std::string("the ") + name_ + " section ends early");
        const std::uint8_t* taken = at_;
        at_ += n;
        return taken;
    }

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
    const char* name_;
};

// The address cache, set to zeros at the start of every window and updated by every copy.
class TAddressCache {
public:
    void Reset() {
        near_.fill(0);
        same_.fill(0);
        next_ = 0;
    }

    // The address of a copy in this mode, where here is the address of the next byte to make
    // (the source segment's size plus the window's bytes made so far); raises unless the
    // address lies before here.
    std::uint64_t Decode(int mode, std::uint64_t here, TSection& addresses) {
        std::uint64_t address = 0;
        if (mode == 0) {
            address = addresses.Integer();
        } else if (mode == 1) {
            std::uint64_t back = addresses.Integer();
            if (back > here)
                Fail("a copy address lies before the source segment");
            address = here - back;
        } else if (mode < 2 + NearSlots) {
            std::uint64_t ahead = addresses.Integer();
            address = near_[mode - 2] + ahead; // both at most 2^63: no wrap
        } else {
            address = same_[(mode - 2 - NearSlots) * 256 + addresses.Byte()];
        }
        if (address >= here)
            Fail("a copy address lies beyond the bytes made so far");
        near_[next_] = address;
        next_ = (next_ + 1) % NearSlots;
        same_[address % same_.size()] = address;
        return address;
    }

private:
    std::array<std::uint64_t, NearSlots> near_{};
    std::array<std::uint64_t, SameSlots * 256> same_{};
    int next_ = 0;
};

// Random reads of a stream (the source, or the target written so far) through SegmentBlocks
// cached blocks, the least recently used one replaced on a miss.
class TSegmentReader {
public:
    TSegmentReader(TStream& stream, std::int64_t base, std::int64_t end, const char* name)
        : stream_(stream), base_(base), end_(end), name_(name) {}

    // Bytes at or past end (from base) are never read: the target's may still change.
    void SetEnd(std::int64_t end) { end_ = end; }

    // Copies n bytes at position (from base) into out; the caller has checked that they lie
    // before the end.
    void Read(std::int64_t position, std::uint8_t* out, std::size_t n) {
        if (n >= SegmentDirectMin) {
            Seek(position);
            if (ReadSome(out, n) != n)
                Fail(std::string("the ") + name_ + " ends early");
            return;
        }
        // Only a copy's first block may read ahead: the block a copy runs on into says nothing
        // about the copies to come.
        for (bool first = true; n > 0; first = false) {
            std::int64_t index = position / std::int64_t(SegmentBlockSize);
            auto offset = static_cast<std::size_t>(position % std::int64_t(SegmentBlockSize));
            std::size_t k = std::min(n, SegmentBlockSize - offset);
            TBlock& block = Find(index, offset + k, first);
            std::memcpy(out, Data(block) + offset, k);
            out += k;
            position += static_cast<std::int64_t>(k);
            n -= k;
        }
    }

private:
    struct TBlock {
        std::int64_t index = -1;
        std::size_t have = 0;
        std::uint64_t used = 0;
    };

    // The cached block of this index holding at least need bytes, read when it is missing,
    // with the read-ahead when allowed and the block follows the last one read.
    TBlock& Find(std::int64_t index, std::size_t need, bool mayReadAhead) {
        for (TBlock& block : blocks_)
            if (block.index == index && block.have >= need) {
                block.used = ++clock_;
                return block;
            }
        if (cache_.empty())
            cache_.resize(SegmentBlocks * SegmentBlockSize);
        // A short block (the target's end, since grown) is read again in its place.
        auto same = std::find_if(blocks_.begin(), blocks_.end(),
                                 [&](const TBlock& b) { return b.index == index; });
        TBlock& block = same != blocks_.end() ? *same : Oldest();
        std::size_t ahead = mayReadAhead && index == next_ ? SegmentReadAheadBlocks : 1;
        Seek(index * std::int64_t(SegmentBlockSize));
        Load(block, index);
        if (block.index != index || block.have < need)
            Fail(std::string("the ") + name_ + " ends early");
        // The read-ahead stops at the end, at a short block, and at a block already held.
        for (std::size_t i = 1; i < ahead && Load(Oldest(), index + std::int64_t(i)); ++i) {
        }
        return block;
    }

    // Reads block index from the stream's position, which is its start, into block; false
    // when it ends short or was held already (then block is left as it was).
    bool Load(TBlock& block, std::int64_t index) {
        std::int64_t start = index * std::int64_t(SegmentBlockSize);
        if (start >= end_ || std::any_of(blocks_.begin(), blocks_.end(), [&](const TBlock& b) {
                return &b != &block && b.index == index;
            }))
            return false;
        block.index = -1; // holds nothing until the read returns
        block.used = ++clock_;
        block.have = ReadSome(Data(block), static_cast<std::size_t>(std::min<std::int64_t>(
                                               std::int64_t(SegmentBlockSize), end_ - start)));
        block.index = index;
        next_ = index + 1;
        return block.have == SegmentBlockSize;
    }

    TBlock& Oldest() {
        return *std::min_element(blocks_.begin(), blocks_.end(),
                                 [](const TBlock& a, const TBlock& b) { return a.used < b.used; });
    }
    std::uint8_t* Data(const TBlock& block) {
        return cache_.data() + static_cast<std::size_t>(&block - blocks_.data()) * SegmentBlockSize;
    }
    void Seek(std::int64_t position) {
        if (stream_.Position() != base_ + position)
            stream_.SetPosition(base_ + position);
    }
    std::size_t ReadSome(std::uint8_t* out, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            std::size_t k = stream_.Read(out + got, n - got);
            if (k == 0)
                break;
            got += k;
        }
        return got;
    }

    TStream& stream_;
    std::int64_t base_, end_;
    const char* name_;
    std::vector<std::uint8_t> cache_;
    std::array<TBlock, SegmentBlocks> blocks_{};
    std::uint64_t clock_ = 0;
    std::int64_t next_ = 0;
};

std::uint32_t Adler32(const std::uint8_t* p, std::size_t n) {
    constexpr std::uint32_t Modulus = 65521;
    constexpr std::size_t Chunk = 5552; // the most bytes before the sums can overflow 32 bits
    std::uint32_t a = 1, b = 0;
    while (n > 0) {
        std::size_t k = std::min(n, Chunk);
        n -= k;
        for (; k > 0; --k) {
            a += *p++;
            b += a;
        }
        a %= Modulus;
        b %= Modulus;
    }
    return (b << 16) | a;
}

class TDecoder {
public:
    TDecoder(TStream& source, TStream& patch, TStream& target, std::int64_t maxTargetSize)
        : patch_(patch), target_(target), targetBase_(target.Position()),
          maxTarget_(std::max<std::int64_t>(0, maxTargetSize)),
          source_(source, 0, source.Size(), "source"), earlier_(target, targetBase_, 0, "target"),
          sourceSize_(source.Size()) {}

    void Apply() {
        ReadHeader();
        // Even an empty result has a window: a patch cut right after its header is no patch.
        if (patch_.AtEnd())
            Fail("the patch has no window");
        while (!patch_.AtEnd())
            DecodeWindow();
    }

private:
    void ReadHeader() {
        for (std::uint8_t m : Magic)
            if (patch_.Byte("the header") != m)
                Fail("not a VCDIFF patch");
        if (patch_.Byte("the header") != Version)
            Fail("an unknown VCDIFF version");
        std::uint8_t indicator = patch_.Byte("the header");
        if (indicator & VcdDecompress)
            Fail("the patch uses secondary compression, which is not supported");
        if (indicator & VcdCodeTable)
            Fail("the patch has a code table of its own, which is not supported");
        if (indicator & ~VcdAppHeader)
            Fail("unknown bits in the header indicator");
        if (indicator & VcdAppHeader) {
            std::uint64_t n = patch_.Integer("the application header");
            if (n > static_cast<std::uint64_t>(VcdiffAppHeaderMax))
                Fail("the application header is too long");
            patch_.Skip(n, "the application header");
        }
    }

    void DecodeWindow() {
        std::uint8_t indicator = patch_.Byte("a window");
        if (indicator & ~(VcdSource | VcdTarget | VcdAdler32))
            Fail("unknown bits in a window indicator");
        if ((indicator & VcdSource) && (indicator & VcdTarget))
            Fail("a window copies from both source and target");
        segment_ = nullptr;
        segmentSize_ = segmentPosition_ = 0;
        if (indicator & (VcdSource | VcdTarget)) {
            segmentSize_ = patch_.Integer("the source segment size");
            segmentPosition_ = patch_.Integer("the source segment position");
            bool fromSource = indicator & VcdSource;
            auto available = static_cast<std::uint64_t>(fromSource ? sourceSize_ : written_);
            if (segmentSize_ > available || segmentPosition_ > available - segmentSize_)
                Fail(fromSource ? "a window's source segment lies beyond the source"
                                : "a window's target segment lies beyond the target made so far");
            segment_ = fromSource ? &source_ : &earlier_;
        }

        std::uint64_t deltaSize = patch_.Integer("the delta encoding length");
        if (deltaSize > static_cast<std::uint64_t>(VcdiffDeltaMax))
            Fail("a window's delta encoding is larger than " + std::to_string(VcdiffDeltaMax) +
                 " bytes");
        if (deltaSize > static_cast<std::uint64_t>(patch_.Left()))
            Fail("the patch ends inside a window");
        std::int64_t start = patch_.Consumed();
        std::uint64_t windowSize = patch_.Integer("the target window size");
        if (windowSize > static_cast<std::uint64_t>(VcdiffWindowMax))
            Fail("a target window is larger than " + std::to_string(VcdiffWindowMax) + " bytes");
        if (windowSize > static_cast<std::uint64_t>(maxTarget_ - written_))
            Fail("the result would be larger than " + std::to_string(maxTarget_) + " bytes");
        if (patch_.Byte("the delta indicator") != 0)
            Fail("a window's sections are compressed, which is not supported");
        std::uint64_t dataSize = patch_.Integer("the data section length");
        std::uint64_t instSize = patch_.Integer("the instruction section length");
        std::uint64_t addrSize = patch_.Integer("the address section length");
        std::uint32_t checksum = 0;
        if (indicator & VcdAdler32)
            for (int i = 0; i < 4; ++i)
                checksum = (checksum << 8) | patch_.Byte("the window checksum");
        auto head = static_cast<std::uint64_t>(patch_.Consumed() - start);
        if (head > deltaSize || dataSize > deltaSize - head ||
            instSize > deltaSize - head - dataSize ||
            addrSize != deltaSize - head - dataSize - instSize)
            Fail("a window's section lengths do not add up to its delta encoding length");

        sections_.resize(dataSize + instSize + addrSize);
        patch_.Bytes(sections_.data(), sections_.size(), "a window's sections");
        window_.resize(windowSize);
        TSection data(sections_.data(), dataSize, "data");
        TSection inst(sections_.data() + dataSize, instSize, "instruction");
        TSection addr(sections_.data() + dataSize + instSize, addrSize, "address");
        Decode(data, inst, addr);

        if ((indicator & VcdAdler32) && Adler32(window_.data(), window_.size()) != checksum)
            Fail("a window's checksum does not match");
        target_.SetPosition(targetBase_ + written_);
        target_.Write(window_.data(), window_.size());
        written_ += static_cast<std::int64_t>(window_.size());
        earlier_.SetEnd(written_);
    }

    void Decode(TSection& data, TSection& inst, TSection& addr) {
        cache_.Reset();
        made_ = 0;
        while (!inst.AtEnd()) {
            const TCode& code = CodeTable[inst.Byte()];
            Execute(code.Type1, code.Size1, code.Mode1, data, inst, addr);
            Execute(code.Type2, code.Size2, code.Mode2, data, inst, addr);
        }
        if (made_ != window_.size())
            Fail("a window's instructions make fewer bytes than its size");
        if (!data.AtEnd() || !addr.AtEnd())
            Fail("a window has bytes its instructions do not use");
    }

    void Execute(std::uint8_t type, std::uint8_t size, std::uint8_t mode, TSection& data,
                 TSection& inst, TSection& addr) {
        if (type == Noop)
            return;
        std::uint64_t n = size != 0 ? size : inst.Integer();
        if (n > window_.size() - made_)
            Fail("an instruction runs past the end of its target window");
        // An instruction of size 0 makes nothing but still consumes its operands.
        std::uint8_t* out = window_.data() + made_;
        if (type == Add) {
            const std::uint8_t* from = data.Take(n);
            if (n > 0)
                std::memcpy(out, from, n);
        } else if (type == Run) {
            std::uint8_t b = data.Byte();
            if (n > 0)
                std::memset(out, b, n);
        } else {
            std::uint64_t address = cache_.Decode(mode, segmentSize_ + made_, addr);
            if (address < segmentSize_) {
                // A copy lies wholly in the source segment or wholly in the target window.
                if (n > segmentSize_ - address)
                    Fail("a copy runs past the end of its source segment");
                if (n > 0)
                    segment_->Read(static_cast<std::int64_t>(segmentPosition_ + address), out, n);
            } else if (n > 0) {
                CopyWithin(address - segmentSize_, n);
            }
        }
        made_ += n;
    }

    // A copy from the window's own bytes made so far may overlap what it makes: then the result
    // repeats the bytes between from and here, which doubling copies produce quickly.
    void CopyWithin(std::uint64_t from, std::uint64_t n) {
        std::uint8_t* out = window_.data() + made_;
        std::uint64_t done = std::min(n, made_ - from);
        std::memcpy(out, window_.data() + from, done);
        while (done < n) {
            std::uint64_t k = std::min(done, n - done);
            std::memcpy(out + done, out, k);
            done += k;
        }
    }

    TPatchReader patch_;
    TStream& target_;
    std::int64_t targetBase_;
    std::int64_t maxTarget_;
    TSegmentReader source_, earlier_;
    std::int64_t sourceSize_;
    std::int64_t written_ = 0;

    TSegmentReader* segment_ = nullptr;
    std::uint64_t segmentSize_ = 0, segmentPosition_ = 0;
    TAddressCache cache_;
    std::vector<std::uint8_t> sections_, window_;
    std::uint64_t made_ = 0;
};

} // namespace

bool ApplyVcdiff(TStream& source, TStream& patch, TStream& target, std::int64_t maxTargetSize,
                 std::string& reason) {
    reason.clear();
    try {
        TDecoder(source, patch, target, maxTargetSize).Apply();
        return true;
    } catch (const Exception& e) {
        reason = e.Message();
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    } catch (const std::exception& e) {
        reason = e.what();
    }
    return false;
}

// Skip scanning: finding the next byte that matters without looking at the
// bytes that do not.
//
// The buffer is cut into 64-byte blocks (counted from the buffer's start) and
// each block is turned into a bitmask of the bytes equal to one of four set
// bytes, plus a bitmask of the bytes of 0x80 and above. The masks do not
// depend on the tokenizer's state, so one block's masks serve every state
// change inside it. SSE2 is the x86-64 baseline; AVX2 is used when the CPU has
// it, chosen once at run time (the module must run on any x86-64). Other
// targets use an 8-byte word filter. NUL bytes are ordinary content: nothing
// here relies on implicit string lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillon {

struct ByteSet4 {
    std::uint8_t bytes[4];
};

// The masks of one 64-byte block: bit i stands for byte i.
struct BlockMasks {
    std::uint64_t match;  // bytes equal to one of the set bytes
    std::uint64_t high;   // bytes of 0x80 and above
};

// Computes the masks of the 64 bytes at p (all readable). The masks come back
// by value, in registers, so that a caller's state never has its address taken.
using BlockMaskFn = BlockMasks (*)(const unsigned char* p, const ByteSet4& set) noexcept;
BlockMaskFn block_mask_function() noexcept;
// Every implementation this CPU can run, the portable one first; the tests
// check that they agree.
std::vector<BlockMaskFn> block_mask_implementations();

// What a run over the full 64-byte blocks from `base` on found: the first of
// them with a set byte, with its masks (found), or where the full blocks end
// (not found); and whether a block passed over held a byte of 0x80 or above.
struct BlockSkip {
    std::size_t base;
    BlockMasks masks;
    bool passed_high;
    bool found;
};
// One call for a long stretch of text without a set byte (a long field):
// the blocks are tested in a loop that keeps its constants in registers.
using BlockSkipFn = BlockSkip (*)(const unsigned char* data, std::size_t base, std::size_t size,
                                  const ByteSet4& set) noexcept;
BlockSkipFn block_skip_function() noexcept;
// Every implementation this CPU can run, the portable one first.
std::vector<BlockSkipFn> block_skip_implementations();

// What a BlockScanner scans: kept apart from the scanner's own state so that
// a hot loop can hold the three words of that state in registers while this
// stays in memory, read once per block.
struct ScanTarget {
    ScanTarget(const unsigned char* d, std::size_t n, ByteSet4 s) noexcept
        : data(d),
          size(n),
          set(s),
          mask_fn(block_mask_function()),
          skip_fn(block_skip_function()) {}
    const unsigned char* data;
    std::size_t size;
    ByteSet4 set;
    BlockMaskFn mask_fn;
    BlockSkipFn skip_fn;
};

// Forward scanner over one buffer with a cached block.
class BlockScanner {
public:
    explicit BlockScanner(const ScanTarget& target) noexcept : target_(&target) {}
    BlockScanner(const BlockScanner&) = default;
    BlockScanner& operator=(const BlockScanner&) = default;

    // The offset of the first set byte at or after pos, or size when there is
    // none. ORs `high_flag` into `flags` when a byte in [pos, result) is 0x80
    // or above.
    [[gnu::always_inline]] std::size_t next(std::size_t pos, std::uint16_t& flags,
                                            std::uint16_t high_flag) noexcept {
        std::size_t base = pos & ~std::size_t{63};
        if (base != base_) load(base);
        const unsigned shift = static_cast<unsigned>(pos - base);
        std::uint64_t m = match_ >> shift << shift;
        std::uint64_t h = high_ >> shift << shift;
        if (m == 0) [[unlikely]] {
            // Most stretches without a stop end in the next block; a longer
            // one (a long field's text) is passed over in one call.
            if (h != 0) flags |= high_flag;
            base += 64;
            if (base >= target_->size) return target_->size;
            load_inline(base);
            m = match_;
            h = high_;
            while (m == 0) [[unlikely]] {
                if (h != 0) flags |= high_flag;
                base += 64;
                if (base >= target_->size) return target_->size;
                const Skipped skipped = skip(base);
                if (skipped.high) flags |= high_flag;
                base = skipped.base;
                m = match_;
                h = high_;
            }
        }
        // Most blocks are pure ASCII: test that first.
        if (h != 0 && (h & ((m & (~m + 1)) - 1)) != 0) flags |= high_flag;
        rest_ = m;
        return base + static_cast<unsigned>(__builtin_ctzll(m));
    }

    // The same as next(s + 1) when s is the offset next() or next_after()
    // returned last: the set bytes after s in the cached block are already
    // at hand, so a run of stops close together costs no reload and no shift.
    [[gnu::always_inline]] std::size_t next_after(std::size_t s, std::uint16_t& flags,
                                                  std::uint16_t high_flag) noexcept {
        const std::uint64_t m = rest_ & (rest_ - 1);
        if (m == 0) [[unlikely]] return next(s + 1, flags, high_flag);
        const std::uint64_t low = m & (~m + 1);
        // The bytes strictly between s and the next stop.
        if (high_ != 0 && (high_ & (low - ((rest_ ^ m) << 1))) != 0) flags |= high_flag;
        rest_ = m;
        return base_ + static_cast<unsigned>(__builtin_ctzll(m));
    }

private:
    // Out of line where a block is loaded once per call; inline for the
    // block after one without a stop.
    [[gnu::noinline]] void load(std::size_t base) noexcept { load_inline(base); }
    [[gnu::always_inline]] void load_inline(std::size_t base) noexcept {
        base_ = base;
        const ScanTarget& t = *target_;
        const BlockMasks m = t.size - base >= 64 ? t.mask_fn(t.data + base, t.set)
                                                 : tail_masks(t, base);
        match_ = m.match;
        high_ = m.high;
    }
    static BlockMasks tail_masks(const ScanTarget& target, std::size_t base) noexcept;
    // Passes over the blocks from `base` on that hold no set byte and loads
    // the first one that does, or the last block; returns its offset and
    // whether a block passed over held a byte of 0x80 or above. By value, so
    // that the caller's flags keep out of memory.
    struct Skipped {
        std::size_t base;
        bool high;
    };
    [[gnu::noinline]] Skipped skip(std::size_t base) noexcept;
    const ScanTarget* target_;
    std::size_t base_ = ~std::size_t{0};
    std::uint64_t match_ = 0;
    std::uint64_t high_ = 0;
    // The set bytes of the cached block from the offset returned last on.
    std::uint64_t rest_ = 0;
};

// The offset of the first byte in [from, size) that is in `set`, or size.
std::size_t find_first_of(const unsigned char* data, std::size_t from, std::size_t size,
                          const ByteSet4& set) noexcept;

// The masks of one 64-byte block (all readable) that a line's structure is
// read from: bit i stands for byte i.
struct LineMasks {
    std::uint64_t quote;
    std::uint64_t delimiter;
    std::uint64_t cr;
    std::uint64_t lf;
};
using LineMasksFn = LineMasks (*)(const unsigned char* p, unsigned char quote,
                                  unsigned char delimiter) noexcept;
LineMasksFn line_masks_function() noexcept;
// Every implementation this CPU can run, the portable one first.
std::vector<LineMasksFn> line_masks_implementations();

// How many bytes of [p, p + n) equal b.
std::size_t count_byte(const unsigned char* p, std::size_t n, unsigned char b) noexcept;

// Whether [p, p + n) holds a byte of 0x80 or above.
bool has_high_byte(const unsigned char* p, std::size_t n) noexcept;

}  // namespace quillon

// Structural index: where fields and records end, found for 64 bytes at a
// time from bitmasks instead of byte by byte.
//
// Each 64-byte block (counted from the buffer's start) becomes bitmasks of
// the quote byte, the delimiter, CR, LF and the bytes of 0x80 and above; the
// bytes inside quoted fields are the prefix XOR of the quote mask (one
// carry-less multiplication by all ones), carried from block to block.
// SSE2 is the x86-64 baseline; AVX2 with PCLMUL is chosen at run time when
// the CPU has both, and other targets use a portable loop.
//
// The masks read every quote as opening or closing a quoted field, which the
// state machine of the tokenizer does only while the quoting is regular. So
// the index also marks, per block, the bytes where that reading could part
// from the state machine's: a quote that opens a field anywhere but at the
// field's start (and is not the second of a doubled pair), a quote that
// closes a field without the delimiter, a line break or another quote right
// after it, a CR or LF inside quotes (the line counter and the runaway-quote
// guard look at those), and a CR without an LF after it. Up to the first
// such byte, the fields the masks delimit are the state machine's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillon {

// The raw masks of one 64-byte block: bit i stands for byte i.
struct BlockClasses {
    std::uint64_t quote;
    std::uint64_t delimiter;
    std::uint64_t cr;
    std::uint64_t lf;
    std::uint64_t high;
    // The prefix XOR of `quote`: bytes from an odd-numbered quote of the
    // block up to the next quote, as if the block began outside quotes.
    std::uint64_t inside;
};

// Classifies the 64 bytes at p (all readable).
using ClassifyFn = BlockClasses (*)(const unsigned char* p, std::uint8_t delimiter,
                                    std::uint8_t quote) noexcept;
ClassifyFn classify_function() noexcept;
// Every implementation this CPU can run, the portable one first; the tests
// check that they agree.
std::vector<ClassifyFn> classify_implementations();

// Walks the blocks of one buffer from a record start. The delimiter and the
// quote must be distinct ASCII bytes other than CR and LF.
class StructuralIndex {
public:
    StructuralIndex(const unsigned char* data, std::size_t size, std::uint8_t delimiter,
                    std::uint8_t quote) noexcept;

    // Moves to the block that holds `from`, a record start outside quotes;
    // bits below `from` are cleared.
    void start_at(std::size_t from) noexcept;
    // Moves to the next block, carrying the quote state; false past the end.
    bool advance() noexcept;

    // The current block: its offset, the delimiters and line breaks outside
    // quotes (field ends), the irregular bytes, the quote, delimiter and
    // non-ASCII bytes.
    std::size_t base() const noexcept { return base_; }
    std::uint64_t ends() const noexcept { return ends_; }
    std::uint64_t irregular() const noexcept { return irregular_; }
    std::uint64_t quotes() const noexcept { return classes_.quote; }
    std::uint64_t delimiters() const noexcept { return classes_.delimiter; }
    std::uint64_t high() const noexcept { return classes_.high; }

private:
    void load(std::size_t base) noexcept;
    // Derives ends_ and irregular_ from classes_ and the carries; `starts`
    // holds the record start, if it lies in this block.
    void derive(std::uint64_t inside_flip, std::uint64_t starts) noexcept;

    const unsigned char* data_;
    std::size_t size_;
    std::uint8_t delimiter_;
    std::uint8_t quote_;
    ClassifyFn classify_;
    std::size_t base_ = 0;
    bool loaded_ = false;
    BlockClasses classes_{};
    std::uint64_t ends_ = 0;
    std::uint64_t irregular_ = 0;
    // What the previous block hands on, each 0 or 1: inside quotes at its
    // end, a field end and a closing quote as its last byte.
    struct Carries {
        std::uint64_t inside = 0;
        std::uint64_t end = 0;
        std::uint64_t close = 0;
    };
    Carries carries_;
    // Per byte value: 1 when it is the quote, the delimiter, CR or LF; 2
    // when it is LF.
    std::uint8_t next_byte_[256];
};

}  // namespace quillon

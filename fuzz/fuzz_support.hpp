// What the fuzz targets share: reading settings from the first input bytes,
// building buffers from the rest, and failing loudly.
//
// A failed check prints what differed and aborts, so that libFuzzer (or the
// replay driver under a sanitizer) stops with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reference_tokenizer.hpp"
#include "result_description.hpp"

namespace fuzz {

// Hands out the input's bytes front to back; an exhausted input reads as 0.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

    std::uint8_t take() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string_view rest() const noexcept {
        return {reinterpret_cast<const char*>(data_) + pos_, size_ - pos_};
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Bytes that decide how text is cut: delimiters and quotes in common use,
// blanks, line breaks, NUL and bytes that take part in UTF-8 sequences and
// the byte-order mark. A setting byte with its top bit set picks one of these;
// otherwise it is used as it is, so every ASCII byte can be a delimiter too.
inline constexpr std::uint8_t kInterestingBytes[] = {
    ',', ';', '\t', '|', '"', '\'', ' ', '\n', '\r', 0x00, 0x80, 0xA7, 0xBB, 0xC3, 0xEF, 0xFF};

inline std::uint8_t pick_byte(std::uint8_t b) noexcept {
    return (b & 0x80) != 0 ? kInterestingBytes[b % sizeof kInterestingBytes] : b;
}

// Fields of 16 KiB or more are stored differently from shorter ones, and a
// libFuzzer input is much shorter by default. The first byte after a
// target's settings selects a stretched buffer when it is 0xFC or above (one
// input in 64, since stretched inputs are slow to check): then a run of
// kRunLength copies of one byte is inserted into the rest of the input, and
// two more bytes give the byte (see pick_byte) and where the run goes. A run
// of line breaks would make many short records instead of one long field:
// CR and LF select 'x'.
inline constexpr std::size_t kRunLength = 16400;

inline std::string make_buffer(ByteReader& in) {
    if (in.take() < 0xFC) return std::string(in.rest());
    std::uint8_t filler = pick_byte(in.take());
    if (filler == '\r' || filler == '\n') filler = 'x';
    const std::uint8_t where = in.take();
    std::string buffer(in.rest());
    buffer.insert(where % (buffer.size() + 1), kRunLength, static_cast<char>(filler));
    return buffer;
}

inline std::string describe(const std::vector<std::string>& fields) {
    return reference::describe_fields(fields);
}

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) fail(what, {});
}

// The detail is worked out only when the check fails: building it for every
// passing check would cost more than the checks themselves.
template <typename Detail>
void check(bool ok, const char* what, Detail&& detail) {
    if (!ok) fail(what, detail());
}

}  // namespace fuzz

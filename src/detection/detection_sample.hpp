// The part of an input that detection reads.
//
// Detection is bounded by a sample so that its cost does not grow with the
// input: the dialect scoring tokenizes the sample once per candidate. The
// sample ends at a line break (quotes are not considered, so every dialect
// sees the same bytes) or, for very long lines, at a byte bound.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillon {

inline constexpr std::size_t kSampleLines = 400;
inline constexpr std::size_t kSampleBytes = 256 * 1024;

// The prefix of `buffer` up to and including its kSampleLines-th line break
// (CR, LF or CR LF), cut at kSampleBytes if that comes first; the whole
// buffer when it is shorter.
std::string_view detection_sample(std::string_view buffer) noexcept;

// The end of an input, where notes below a table stand, is read from its
// last kTailBytes.
inline constexpr std::size_t kTailBytes = 16 * 1024;

// Where the tail sample begins: the first line start (after CR, LF or CR LF)
// in the last kTailBytes of `buffer`; 0 when the buffer is no longer, and
// its size when that stretch holds no line break.
std::size_t tail_sample_start(std::string_view buffer) noexcept;

}  // namespace quillon

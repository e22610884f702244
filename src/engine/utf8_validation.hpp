// Whole-span UTF-8 validation, vectorised where the processor allows.
//
// The scalar valid_utf8_prefix (utf8.hpp) decides byte by byte, which on
// text with a non-ASCII byte every few dozen costs about ten instructions per
// byte. This answers only "is the whole span well-formed", 32 bytes at a time
// with AVX2 (the lookup-table method of Keiser and Lemire, "Validating UTF-8
// in less than one instruction per byte", 2021, as simdjson and simdutf do
// it), chosen at run time; elsewhere it falls back to the scalar check.
#pragma once

#include <cstddef>
#include <vector>

namespace quillon {

// Whether [p, p + n) is well-formed UTF-8 by the rules of valid_utf8_prefix
// (no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence at the end). Reads only the span's own bytes.
bool is_valid_utf8(const unsigned char* p, std::size_t n) noexcept;

using Utf8ValidatorFn = bool (*)(const unsigned char*, std::size_t) noexcept;

// Every implementation this processor can run, the scalar one first; for
// the tests, which hold them to the same answers.
std::vector<Utf8ValidatorFn> utf8_validator_implementations();

}  // namespace quillon

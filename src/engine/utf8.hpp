// UTF-8 validation and lossy decoding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

// Length of the longest prefix of [p, p + n) that is well-formed UTF-8.
std::size_t valid_utf8_prefix(const unsigned char* p, std::size_t n) noexcept;

// Writes the lossy decoding of [src, src + n) to dst: well-formed sequences
// are copied, each maximal ill-formed subpart becomes U+FFFD. dst must have
// room for 3 * n bytes. Returns the number of bytes written.
std::size_t decode_utf8_lossy(const unsigned char* src, std::size_t n, char* dst) noexcept;

// Writes the UTF-8 form of a code point (at most U+10FFFF, not a surrogate)
// to out, which has room for 4 bytes; returns how many it wrote.
inline std::size_t encode_utf8(char32_t cp, char* out) noexcept {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// The UTF-8 form of the code point whose value is the byte b: 1 or 2 bytes.
inline std::size_t encode_byte_as_code_point(std::uint8_t b, char out[2]) noexcept {
    if (b < 0x80) {
        out[0] = static_cast<char>(b);
        return 1;
    }
    out[0] = static_cast<char>(0xC0 | (b >> 6));
    out[1] = static_cast<char>(0x80 | (b & 0x3F));
    return 2;
}

}  // namespace quillon

// How the bytes of a field become UTF-8 text.
//
// UTF-8 input is copied; what is not UTF-8 is decoded by one of the rules
// below. Windows-1252 is decoded as the WHATWG Encoding Standard does, so
// the five bytes that the code page leaves undefined (81, 8D, 8F, 90, 9D)
// become the C1 control of the same value: every byte sequence decodes, and
// none to U+FFFD, so nothing is lost.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

enum class FieldDecoding : std::uint8_t {
    // Ill-formed UTF-8 becomes U+FFFD, one per maximal ill-formed subpart.
    kUtf8Replace,
    // Ill-formed UTF-8 is decoded byte by byte as Windows-1252: the rows of a
    // UTF-8 file that were pasted from a Windows-1252 one. The five bytes it
    // leaves undefined are no such text and become U+FFFD.
    kUtf8Windows1252Fallback,
    // Every byte of 0x80 and above is a Windows-1252 character.
    kWindows1252,
    // Every byte is the code point of the same value.
    kLatin1,
};

// The most bytes decode_field writes per input byte.
inline constexpr std::size_t kMaxDecodedPerByte = 3;

struct DecodedField {
    std::size_t written;
    // Whether a byte was decoded by a single-byte rule instead of as UTF-8.
    bool single_byte_used;
};

// Decodes [src, src + n) into dst, which has room for kMaxDecodedPerByte * n
// bytes. With kUtf8Replace this is decode_utf8_lossy.
DecodedField decode_field(const unsigned char* src, std::size_t n, char* dst,
                          FieldDecoding decoding) noexcept;

// 81, 8D, 8F, 90 and 9D.
bool is_undefined_in_windows_1252(std::uint8_t b) noexcept;

// The code point of byte b in Windows-1252 (WHATWG).
char32_t windows_1252_code_point(std::uint8_t b) noexcept;

}  // namespace quillon

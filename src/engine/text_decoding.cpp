#include "text_decoding.hpp"

#include <cstring>

#include "utf8.hpp"

namespace quillon {
namespace {

// 0x80..0x9F of Windows-1252; the rest of the upper half is Latin-1.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::size_t decode_single_bytes(const unsigned char* src, std::size_t n, char* dst,
                                bool windows_1252) noexcept {
    std::size_t out = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = src[i];
        out += encode_utf8(windows_1252 ? windows_1252_code_point(b) : char32_t{b}, dst + out);
    }
    return out;
}

}  // namespace

bool is_undefined_in_windows_1252(std::uint8_t b) noexcept {
    return b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
}

char32_t windows_1252_code_point(std::uint8_t b) noexcept {
    if (b >= 0x80 && b < 0xA0) return kHighControls[b - 0x80];
    return b;
}

DecodedField decode_field(const unsigned char* src, std::size_t n, char* dst,
                          FieldDecoding decoding) noexcept {
    switch (decoding) {
        case FieldDecoding::kUtf8Replace:
            return {decode_utf8_lossy(src, n, dst), false};
        case FieldDecoding::kWindows1252:
            return {decode_single_bytes(src, n, dst, true), true};
        case FieldDecoding::kLatin1:
            return {decode_single_bytes(src, n, dst, false), true};
        case FieldDecoding::kUtf8Windows1252Fallback:
            break;
    }
    std::size_t out = 0;
    std::size_t i = 0;
    bool fallback = false;
    while (i < n) {
        const std::size_t valid = valid_utf8_prefix(src + i, n - i);
        std::memcpy(dst + out, src + i, valid);
        out += valid;
        i += valid;
        if (i >= n) break;
        // One byte at a time: what follows an ill-formed byte may well be
        // the start of a good sequence. A byte that Windows-1252 leaves
        // undefined is no pasted text either: it becomes U+FFFD.
        if (is_undefined_in_windows_1252(src[i])) {
            out += encode_utf8(0xFFFD, dst + out);
        } else {
            out += encode_utf8(windows_1252_code_point(src[i]), dst + out);
            fallback = true;
        }
        ++i;
    }
    return {out, fallback};
}

}  // namespace quillon

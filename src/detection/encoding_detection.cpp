#include "encoding_detection.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>

#include "engine/scan.hpp"
#include "engine/text_decoding.hpp"
#include "engine/utf8.hpp"

namespace quillon {
namespace {

using Byte = unsigned char;

constexpr std::size_t kUtf16Window = 4096;

bool starts_with(std::string_view b, std::initializer_list<Byte> prefix) noexcept {
    if (b.size() < prefix.size()) return false;
    std::size_t i = 0;
    for (const Byte c : prefix) {
        if (static_cast<Byte>(b[i++]) != c) return false;
    }
    return true;
}

// UTF-16 of mostly ASCII text has a NUL in every other byte and nowhere
// else: at odd offsets little-endian, at even ones big-endian. Half the units
// must show it (the rest may be other scripts), and the other parity must be
// almost free of NULs, which a UTF-8 file with stray NULs is not.
std::optional<InputEncoding> utf16_without_mark(std::string_view buffer) noexcept {
    const std::size_t units = std::min(buffer.size(), kUtf16Window) / 2;
    if (units < 2) return std::nullopt;
    const auto* p = reinterpret_cast<const Byte*>(buffer.data());
    std::size_t nul_high_le = 0;
    std::size_t nul_high_be = 0;
    for (std::size_t i = 0; i < units; ++i) {
        const Byte a = p[2 * i];
        const Byte b = p[2 * i + 1];
        nul_high_le += (b == 0 && a != 0) ? 1 : 0;
        nul_high_be += (a == 0 && b != 0) ? 1 : 0;
    }
    if (2 * nul_high_le >= units && 16 * nul_high_be <= units) return InputEncoding::kUtf16Le;
    if (2 * nul_high_be >= units && 16 * nul_high_le <= units) return InputEncoding::kUtf16Be;
    return std::nullopt;
}

bool is_control(Byte b) noexcept {
    return b < 0x09 || b == 0x0B || b == 0x0C || (b >= 0x0E && b < 0x20) || b == 0x7F;
}

// Not UTF-8 throughout; `first_bad` is the offset of the first ill-formed byte.
InputEncoding single_byte_or_mixed(const Byte* p, std::size_t n, std::size_t first_bad) noexcept {
    bool multibyte = has_high_byte(p, first_bad);
    bool all_defined = true;
    bool any_defined = false;
    std::size_t i = first_bad;
    while (i < n) {
        // p[i] starts an ill-formed sequence: read it as one single byte.
        const bool defined = !is_undefined_in_windows_1252(p[i]);
        all_defined = all_defined && defined;
        any_defined = any_defined || defined;
        ++i;
        const std::size_t valid = valid_utf8_prefix(p + i, n - i);
        multibyte = multibyte || has_high_byte(p + i, valid);
        i += valid;
    }
    // Broken bytes that Windows-1252 does not define either are damage, not
    // pasted rows: the file is UTF-8 with some bytes lost.
    if (multibyte) return any_defined ? InputEncoding::kUtf8With1252Rows : InputEncoding::kUtf8;
    if (!all_defined) return InputEncoding::kLatin1;
    std::size_t controls = 0;
    std::size_t high = 0;
    for (std::size_t k = 0; k < n; ++k) {
        controls += is_control(p[k]) ? 1 : 0;
        high += p[k] >= 0x80 ? 1 : 0;
    }
    const bool plausible = 100 * controls <= n && 3 * high <= n;
    return plausible ? InputEncoding::kWindows1252 : InputEncoding::kLatin1;
}

char* put_code_point(char* d, std::uint32_t cp) noexcept {
    return d + encode_utf8(static_cast<char32_t>(cp), d);
}

constexpr std::uint32_t kReplacement = 0xFFFD;

}  // namespace

std::string_view encoding_name(InputEncoding encoding) noexcept {
    switch (encoding) {
        case InputEncoding::kUtf8:
            return "utf-8";
        case InputEncoding::kUtf8With1252Rows:
            return "utf-8+windows-1252";
        case InputEncoding::kWindows1252:
            return "windows-1252";
        case InputEncoding::kLatin1:
            return "latin-1";
        case InputEncoding::kUtf16Le:
            return "utf-16-le";
        case InputEncoding::kUtf16Be:
            return "utf-16-be";
    }
    return "utf-8";
}

EncodingGuess detect_encoding(std::string_view buffer) noexcept {
    if (starts_with(buffer, {0xFF, 0xFE})) return {InputEncoding::kUtf16Le, 2};
    if (starts_with(buffer, {0xFE, 0xFF})) return {InputEncoding::kUtf16Be, 2};
    if (starts_with(buffer, {0xEF, 0xBB, 0xBF})) {
        // The mark says UTF-8, so bytes that are not are pasted rows, never
        // a whole file in another encoding.
        const auto* text = reinterpret_cast<const Byte*>(buffer.data()) + 3;
        const std::size_t size = buffer.size() - 3;
        return {valid_utf8_prefix(text, size) == size ? InputEncoding::kUtf8
                                                      : InputEncoding::kUtf8With1252Rows,
                3};
    }
    if (const std::optional<InputEncoding> utf16 = utf16_without_mark(buffer)) return {*utf16, 0};
    const auto* p = reinterpret_cast<const Byte*>(buffer.data());
    const std::size_t valid = valid_utf8_prefix(p, buffer.size());
    if (valid == buffer.size()) return {InputEncoding::kUtf8, 0};
    return {single_byte_or_mixed(p, buffer.size(), valid), 0};
}

std::string transcode_utf16_to_utf8(std::string_view bytes, bool big_endian) {
    const std::size_t units = bytes.size() / 2;
    const bool odd = bytes.size() % 2 != 0;
    // A unit makes at most 3 bytes; a pair of units 4.
    std::string out(3 * units + (odd ? 3 : 0), '\0');
    const auto* p = reinterpret_cast<const Byte*>(bytes.data());
    char* d = out.data();
    const unsigned hi = big_endian ? 0 : 1;
    const unsigned lo = 1 - hi;
    const auto unit = [&](std::size_t i) -> std::uint32_t {
        return (std::uint32_t{p[2 * i + hi]} << 8) | p[2 * i + lo];
    };
    // Four ASCII units at a time: their high bytes all zero, low bytes below
    // 0x80. The mask is laid out in memory like the units, whatever the host.
    std::uint64_t not_ascii;
    {
        Byte mask[8];
        for (std::size_t k = 0; k < 8; k += 2) {
            mask[k + hi] = 0xFF;
            mask[k + lo] = 0x80;
        }
        std::memcpy(&not_ascii, mask, 8);
    }
    std::size_t i = 0;
    while (i < units) {
        if (i + 4 <= units) {
            std::uint64_t w;
            std::memcpy(&w, p + 2 * i, 8);
            if ((w & not_ascii) == 0) {
                for (std::size_t k = 0; k < 4; ++k) *d++ = static_cast<char>(p[2 * (i + k) + lo]);
                i += 4;
                continue;
            }
        }
        const std::uint32_t u = unit(i);
        ++i;
        if (u < 0xD800 || u > 0xDFFF) {
            d = put_code_point(d, u);
        } else if (u <= 0xDBFF && i < units && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
            d = put_code_point(d, 0x10000 + ((u - 0xD800) << 10) + (unit(i) - 0xDC00));
            ++i;
        } else {
            d = put_code_point(d, kReplacement);
        }
    }
    if (odd) d = put_code_point(d, kReplacement);
    out.resize(static_cast<std::size_t>(d - out.data()));
    return out;
}

std::size_t utf16_offset_of(std::string_view transcoded, std::size_t utf8_offset,
                            std::size_t input_size) noexcept {
    const std::size_t end = std::min(utf8_offset, transcoded.size());
    std::size_t offset = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const auto b = static_cast<Byte>(transcoded[i]);
        // Lead bytes carry the whole sequence's weight, continuation bytes none.
        if (b < 0x80 || (b >= 0xC0 && b < 0xF0)) {
            offset += 2;
        } else if (b >= 0xF0) {
            offset += 4;
        }
    }
    // Only the odd last byte's U+FFFD counts 2 for 1 byte, and only at the end.
    return std::min(offset, input_size);
}

}  // namespace quillon

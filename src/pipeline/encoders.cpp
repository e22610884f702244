#include "encoders.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>

#include "engine/utf8.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quillon {

namespace {

// The UTF-8 form of the code point whose value is a delimiter or quote byte.
struct CharForm {
    char bytes[2];
    std::size_t size;

    explicit CharForm(std::uint8_t b) noexcept : bytes{}, size(encode_byte_as_code_point(b, bytes)) {}
    std::string_view view() const noexcept { return {bytes, size}; }
};

char* copy_bytes(char* out, const char* src, std::size_t n) noexcept {
    if (n != 0) std::memcpy(out, src, n);
    return out + n;
}

// Writes the quoted form of a field that holds at least one special byte.
char* write_quoted_ascii(char* out, std::string_view text, char quote) noexcept {
    *out++ = quote;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
        const void* hit = std::memchr(p, quote, static_cast<std::size_t>(end - p));
        if (hit == nullptr) {
            out = copy_bytes(out, p, static_cast<std::size_t>(end - p));
            break;
        }
        const char* after = static_cast<const char*>(hit) + 1;
        out = copy_bytes(out, p, static_cast<std::size_t>(after - p));
        *out++ = quote;
        p = after;
    }
    *out++ = quote;
    return out;
}

// Room past the end of a line for the wide stores of copy_field.
constexpr std::size_t kSlack = 16;

// Copies a field of a row whose text ends at row_end. A short field that has
// 16 bytes of the row's text from its start goes by one fixed-size move
// instead of a library call; the bytes stored past its end are overwritten
// by what follows or cut off with the line's final size.
char* copy_field(char* out, std::string_view text, const char* row_end) noexcept {
    const char* src = text.data();
    const std::size_t n = text.size();
    if (n <= kSlack && row_end - src >= static_cast<std::ptrdiff_t>(kSlack)) {
        std::memcpy(out, src, kSlack);
        return out + n;
    }
    return copy_bytes(out, src, n);
}

// Rows whose text and fields add up to at most this are given the worst
// case of their line's length instead of its exact length.
constexpr std::size_t kWorstCaseRow = std::size_t{1} << 16;

// Writes the quoted form of a field of n <= 16 bytes whose 16 bytes from src
// are readable, by one compare and fixed-size moves (the line has kSlack
// bytes of room past its end): without a quote inside, the usual case, one
// move; with quotes, one move per quote from a copy of the bytes that has
// room after them, each followed by the quote's double.
char* write_quoted_short(char* out, const char* src, std::size_t n, char quote) noexcept {
#ifdef __SSE2__
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    auto quotes = static_cast<unsigned>(
                      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(quote)))) &
                  ((1U << n) - 1);
    *out++ = quote;
    if (quotes == 0) [[likely]] {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
        out += n;
        *out++ = quote;
        return out;
    }
    alignas(16) char copy[2 * kSlack];
    _mm_store_si128(reinterpret_cast<__m128i*>(copy), bytes);
    _mm_store_si128(reinterpret_cast<__m128i*>(copy + kSlack), _mm_setzero_si128());
    std::size_t from = 0;
    do {
        const auto k = static_cast<std::size_t>(__builtin_ctz(quotes));
        quotes &= quotes - 1;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(copy + from)));
        out += k + 1 - from;
        *out++ = quote;
        from = k + 1;
    } while (quotes != 0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(copy + from)));
    out += n - from;
    *out++ = quote;
    return out;
#else
    return write_quoted_ascii(out, std::string_view(src, n), quote);
#endif
}

// The fields of a row without a long field, each slot one field: the
// delimiter is written after every field and the last one turned into LF.
// A field of at most 16 bytes goes by one fixed-size move: from the row's
// text while 16 bytes of it are left, and within the row's last 16 bytes
// from a copy of them that has room after it, so the fields at the end of
// a row need no library call either.
template <bool kAnySpecial>
char* write_fields(char* out, const std::uint16_t* slot, const std::uint16_t* const slots_end,
                   const char* const text, const char* const row_end, char delimiter,
                   char quote) noexcept {
    const auto size = static_cast<std::size_t>(row_end - text);
    // Fields that start at or after this offset are read from `tail`.
    const std::size_t tail_from = size > kSlack ? size - kSlack : 0;
    // Only the row's bytes are set: what the moves copy from past them lands
    // past the field's end in the line, where it is overwritten or cut off.
    alignas(16) char tail[2 * kSlack];
    if (size >= kSlack) [[likely]] {
        std::memcpy(tail, text + tail_from, kSlack);
    } else {
        copy_bytes(tail, text, size);
    }
    const auto write_field = [&](const char* src, std::size_t n, std::uint16_t flags)
        __attribute__((always_inline)) {
        if (kAnySpecial && (flags & field_flags::kSpecial) != 0) {
            out = n <= kSlack ? write_quoted_short(out, src, n, quote)
                              : write_quoted_ascii(out, std::string_view(src, n), quote);
        } else if (n <= kSlack) [[likely]] {
            std::memcpy(out, src, kSlack);
            out += n;
        } else {
            out = copy_bytes(out, src, n);
        }
        *out++ = delimiter;
    };
    // The fields that start before the last 16 bytes, then the ones in them;
    // two loops, so that no field has to choose where it is read from.
    const char* src = text;
    const char* const tail_begin = text + tail_from;
    for (; slot != slots_end && src < tail_begin; ++slot) {
        const std::size_t n = *slot & field_flags::kLengthMask;
        write_field(src, n, *slot);
        src += n;
    }
    const char* from = tail + (src - tail_begin);
    for (; slot != slots_end; ++slot) {
        const std::size_t n = *slot & field_flags::kLengthMask;
        write_field(from, n, *slot);
        from += n;
    }
    out[-1] = '\n';
    return out;
}

// Delimiter and quote below 0x80: a field needs quotes exactly when the
// engine marked it special, since lossy decoding keeps every ASCII byte.
void encode_ascii(const RowView& row, char delimiter, char quote, LoneEmptyField lone_empty,
                  GrowableBuffer<char>& line) {
    const std::string_view text = row.text();
    const char* const row_end = text.data() + text.size();
    const bool has_long = row.has_long();
    const std::size_t fields =
        has_long ? row.size() : static_cast<std::size_t>(row.slots_end() - row.slots_begin());
    // Room for the line: separators, LF, and for each quoted field its two
    // quotes and one more for each quote inside. An ordinary row gets the
    // worst case (every field quoted, every byte a quote) without a pass to
    // count; a huge one the exact length, or a huge quoted field would cost
    // twice its size in memory. The room is only reserved: what the line
    // does not use is never written.
    std::size_t length = text.size() + fields;
    if (length <= kWorstCaseRow) {
        length += text.size() + 2 * fields;
    } else if (row.any_special()) {
        for (const FieldRef field : row) {
            if (field.special()) {
                length += 2 + static_cast<std::size_t>(
                                  std::count(field.text.begin(), field.text.end(), quote));
            }
        }
    }
    char* const begin = line.reserve_tail(length + kSlack);
    char* out = begin;
    if (fields == 0) {
        *out++ = '\n';
    } else if (text.empty() && fields == 1 && lone_empty == LoneEmptyField::kQuoted) {
        *out++ = quote;
        *out++ = quote;
        *out++ = '\n';
    } else if (!has_long) {
        out = row.any_special() ? write_fields<true>(out, row.slots_begin(), row.slots_end(),
                                                     text.data(), row_end, delimiter, quote)
                                : write_fields<false>(out, row.slots_begin(), row.slots_end(),
                                                      text.data(), row_end, delimiter, quote);
    } else {
        for (const FieldRef field : row) {
            if (field.special()) {
                out = write_quoted_ascii(out, field.text, quote);
            } else {
                out = copy_field(out, field.text, row_end);
            }
            *out++ = delimiter;
        }
        out[-1] = '\n';
    }
    line.set_size(line.size() + static_cast<std::size_t>(out - begin));
}

bool contains(std::string_view text, const CharForm& c) noexcept {
    if (c.size == 1) return text.find(c.bytes[0]) != std::string_view::npos;
    return text.find(c.view()) != std::string_view::npos;
}

// Appends `text` with every occurrence of `quote` written twice, to a
// std::string or a GrowableBuffer<char>.
template <typename Line>
void append_doubled(Line& line, std::string_view text, std::string_view quote) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t hit = text.find(quote, from);
        if (hit == std::string_view::npos) break;
        const std::size_t after = hit + quote.size();
        line.append(text.data() + from, after - from);
        line.append(quote.data(), quote.size());
        from = after;
    }
    line.append(text.data() + from, text.size() - from);
}

void append_view(GrowableBuffer<char>& line, std::string_view text) {
    line.append(text.data(), text.size());
}

// A delimiter or quote of 0x80 or above is a two-byte character in the
// decoded field text; the engine's special flag speaks of raw bytes and
// cannot decide quoting for it.
void encode_general(const RowView& row, std::uint8_t delimiter, std::uint8_t quote_char,
                    LoneEmptyField lone_empty, GrowableBuffer<char>& line) {
    const CharForm delim(delimiter);
    const CharForm quote(quote_char);
    if (row.text().empty() && row.size() == 1 && lone_empty == LoneEmptyField::kQuoted) {
        append_view(line, quote.view());
        append_view(line, quote.view());
        line.push_back('\n');
        return;
    }
    bool first = true;
    for (const FieldRef field : row) {
        if (!first) append_view(line, delim.view());
        first = false;
        const std::string_view text = field.text;
        const bool quoted = text.find('\n') != std::string_view::npos ||
                            text.find('\r') != std::string_view::npos || contains(text, delim) ||
                            contains(text, quote);
        if (quoted) {
            append_view(line, quote.view());
            append_doubled(line, text, quote.view());
            append_view(line, quote.view());
        } else {
            append_view(line, text);
        }
    }
    line.push_back('\n');
}

}  // namespace

void encode_output_row(const RowView& row, std::uint8_t delimiter, std::uint8_t quote_char,
                       GrowableBuffer<char>& line, LoneEmptyField lone_empty) {
    if (delimiter < 0x80 && quote_char < 0x80) {
        encode_ascii(row, static_cast<char>(delimiter), static_cast<char>(quote_char), lone_empty,
                     line);
    } else {
        encode_general(row, delimiter, quote_char, lone_empty, line);
    }
}

void encode_output_row_rescanning(const RowView& row, std::uint8_t delimiter,
                                  std::uint8_t quote_char, GrowableBuffer<char>& line,
                                  LoneEmptyField lone_empty) {
    encode_general(row, delimiter, quote_char, lone_empty, line);
}

void quote_leading_byte_order_mark(GrowableBuffer<char>& line, std::uint8_t delimiter,
                                   std::uint8_t quote_char) {
    constexpr std::string_view kMark = "\xEF\xBB\xBF";
    const std::string_view text(line.data(), line.size());
    if (!text.starts_with(kMark)) return;
    const CharForm delim(delimiter);
    const CharForm quote(quote_char);
    // The field went out unquoted, so it holds neither the delimiter nor the
    // quote: it ends at the first delimiter, or at the final LF.
    std::size_t end = text.find(delim.view());
    if (end == std::string_view::npos) end = text.size() - 1;
    const std::size_t size = line.size();
    const std::size_t q = quote.size;
    line.reserve_tail(2 * q);
    char* const data = line.data();
    std::memmove(data + end + 2 * q, data + end, size - end);
    std::memmove(data + q, data, end);
    std::memcpy(data, quote.bytes, q);
    std::memcpy(data + q + end, quote.bytes, q);
    line.set_size(size + 2 * q);
}

void encode_quarantine_row(const QuarantinedRow& row, std::uint8_t delimiter, std::string& line) {
    constexpr std::string_view kDoubleQuote = "\"";
    const CharForm delim(delimiter);
    line.clear();
    char digits[24];
    const auto converted = std::to_chars(digits, digits + sizeof digits, row.line);
    line.append(digits, converted.ptr);
    line.append(",\"");
    append_doubled(line, row.reason, kDoubleQuote);
    line.append("\",\"");
    bool first = true;
    for (const FieldRef field : row.fields) {
        // A double-quote delimiter is doubled like any double quote of the
        // joined text.
        if (!first) append_doubled(line, delim.view(), kDoubleQuote);
        first = false;
        append_doubled(line, field.text, kDoubleQuote);
    }
    line.append("\"\n");
}

}  // namespace quillon

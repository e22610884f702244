// Detection on any bytes: encoding, cell types, dialect and structure. No
// reference to compare with; the properties each must keep instead.
//
// Input: byte 0 flags (bit 0 delimiter given, bit 1 quote given, bit 2 no
// quote when given, bit 3 escape given, bit 4 no escape when given, bit 5
// space skipping given, bit 6 its value, bit 7 header given, its value bit
// 0 of byte 4), bytes 1-3 the delimiter, quote and escape (see pick_byte),
// byte 4 more flags (bit 1 the runaway-quote guard hinted), then the buffer
// (see make_buffer).
//
// Properties: a UTF-8 guess without a mark means valid UTF-8 and the
// single-byte and double-byte guesses mean invalid UTF-8; UTF-16 transcodes
// to valid UTF-8 whose end maps back to the input's end; Big5, GB18030,
// Shift-JIS and EUC-KR (any input, whatever the guess) transcode to valid
// UTF-8 with the input's line breaks, the same read whole or in blocks, whose
// end maps back to the input's end; a cell's type ignores surrounding
// spaces, and every type but text is a known cell; given hints come back
// unchanged; both detections are deterministic; the preamble stays within
// its bound and within the input; the column count is the column inference
// of the records after the preamble (module dialect) or at least one field
// when any record is not blank.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "detection/dialect_detection.hpp"
#include "detection/encoding_detection.hpp"
#include "detection/legacy_cjk.hpp"
#include "detection/structure_detection.hpp"
#include "engine/cell_type.hpp"
#include "engine/inference.hpp"
#include "engine/row_store.hpp"
#include "engine/text_decoding.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"
#include "fuzz_support.hpp"

namespace {

using fuzz::check;

bool valid_utf8(std::string_view s) {
    return quillon::valid_utf8_prefix(reinterpret_cast<const unsigned char*>(s.data()), s.size()) ==
           s.size();
}

std::string describe(const quillon::Dialect& d) {
    return "delimiter " + std::to_string(d.delimiter) + " quote " +
           (d.quote ? std::to_string(*d.quote) : std::string("none")) + " escape " +
           (d.escape ? std::to_string(*d.escape) : std::string("none")) + " skip " +
           std::to_string(d.skip_initial_space);
}

// Whether every byte that starts an ill-formed UTF-8 sequence is one that
// Windows-1252 leaves undefined.
bool only_undefined_bytes_broken(std::string_view buffer) {
    const auto* p = reinterpret_cast<const unsigned char*>(buffer.data());
    std::size_t i = 0;
    while (i < buffer.size()) {
        i += quillon::valid_utf8_prefix(p + i, buffer.size() - i);
        if (i >= buffer.size()) break;
        if (!quillon::is_undefined_in_windows_1252(p[i])) return false;
        ++i;
    }
    return true;
}

void check_encoding(std::string_view buffer) {
    const quillon::EncodingGuess g = quillon::detect_encoding(buffer);
    check(quillon::detect_encoding(buffer) == g, "encoding guess is not deterministic");
    check(g.bom_length <= buffer.size(), "mark longer than the input");
    using quillon::InputEncoding;
    switch (g.encoding) {
        case InputEncoding::kUtf8:
            // Broken bytes that Windows-1252 leaves undefined too are damage
            // in a UTF-8 file, not rows in another encoding.
            check(g.bom_length != 0 || valid_utf8(buffer) || only_undefined_bytes_broken(buffer),
                  "invalid UTF-8 guessed as UTF-8");
            break;
        case InputEncoding::kUtf8With1252Rows:
        case InputEncoding::kWindows1252:
        case InputEncoding::kLatin1:
            check(!valid_utf8(buffer), "valid UTF-8 guessed as a single-byte encoding");
            break;
        case InputEncoding::kUtf16Le:
        case InputEncoding::kUtf16Be: {
            const std::string_view bytes = buffer.substr(g.bom_length);
            const std::string text =
                quillon::transcode_utf16_to_utf8(bytes, g.encoding == InputEncoding::kUtf16Be);
            check(valid_utf8(text), "transcoded UTF-16 is not valid UTF-8");
            check(text.size() <= 3 * (bytes.size() / 2) + 3, "transcoding longer than its bound");
            check(quillon::utf16_offset_of(text, text.size(), bytes.size()) == bytes.size(),
                  "the end of the transcoding maps back elsewhere",
                  [&] { return std::to_string(bytes.size()); });
            break;
        }
        case InputEncoding::kBig5:
        case InputEncoding::kGb18030:
        case InputEncoding::kShiftJis:
        case InputEncoding::kEucKr:
            check(!valid_utf8(buffer), "valid UTF-8 guessed as a double-byte encoding");
            break;
    }
}

std::size_t line_breaks(std::string_view s) {
    std::size_t n = 0;
    for (const char c : s) n += (c == '\n' || c == '\r') ? 1 : 0;
    return n;
}

// One of the four encodings per input, by its length, so that a run stays fast.
void check_double_byte(std::string_view buffer) {
    const auto e = static_cast<quillon::LegacyCjk>(buffer.size() % 4);
    const std::string text = quillon::transcode_cjk_to_utf8(buffer, e);
    const auto context = [&] { return std::string(quillon::cjk_codec_name(e)); };
    check(valid_utf8(text), "double-byte transcoding is not valid UTF-8", context);
    check(line_breaks(text) == line_breaks(buffer), "double-byte transcoding moves line breaks",
          context);
    check(quillon::cjk_input_length(buffer, text.size(), e) == buffer.size(),
          "the end of the double-byte transcoding maps back elsewhere", context);
    // Blocks of 3 bytes: every character longer than one byte is cut somewhere.
    std::string streamed;
    std::string pending;
    for (std::size_t at = 0; at < buffer.size(); at += 3) {
        pending.append(buffer.substr(at, 3));
        pending.erase(0, quillon::append_cjk_as_utf8(pending, e, false, streamed));
    }
    quillon::append_cjk_as_utf8(pending, e, true, streamed);
    check(streamed == text, "double-byte transcoding differs block by block", context);
}

void check_cells(std::string_view buffer, const quillon::Dialect& dialect) {
    quillon::RecordTokenizer tokenizer(buffer, dialect);
    quillon::RowStore rows;
    for (int n = 0; n < 50 && tokenizer.next_record(rows); ++n) {
        for (const quillon::FieldRef f : rows[rows.size() - 1]) {
            const quillon::CellType t = quillon::classify_cell(f.text);
            const std::string padded = " \t" + std::string(f.text) + "\r\n ";
            check(quillon::classify_cell(padded) == t, "surrounding spaces change a cell's type",
                  [&] { return "cell \"" + reference::escaped(f.text) + "\""; });
            if (t != quillon::CellType::kText) {
                check(quillon::is_known_cell(f.text, false), "a typed cell is not known",
                      [&] { return "cell \"" + reference::escaped(f.text) + "\""; });
            }
        }
        rows.pop_last_row();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const std::uint8_t flags = in.take();
    const std::uint8_t delimiter = fuzz::pick_byte(in.take());
    const std::uint8_t quote = fuzz::pick_byte(in.take());
    const std::uint8_t escape = fuzz::pick_byte(in.take());
    const std::uint8_t more = in.take();
    const std::string buffer = fuzz::make_buffer(in);

    quillon::DialectHints hints;
    if ((flags & 1) != 0) hints.delimiter = delimiter;
    if ((flags & 2) != 0) {
        hints.quote_given = true;
        if ((flags & 4) == 0) hints.quote = quote;
    }
    if ((flags & 8) != 0) {
        hints.escape_given = true;
        if ((flags & 16) == 0) hints.escape = escape;
    }
    if ((flags & 32) != 0) hints.skip_initial_space = (flags & 64) != 0;
    std::optional<bool> header_hint;
    if ((flags & 128) != 0) header_hint = (more & 1) != 0;
    hints.guard_runaway_quotes = (more & 2) != 0;

    check_encoding(buffer);
    check_double_byte(buffer);

    const quillon::Dialect d = quillon::detect_dialect(buffer, hints);
    const auto context = [&] { return describe(d); };
    check(describe(quillon::detect_dialect(buffer, hints)) == describe(d),
          "dialect detection is not deterministic", context);
    check(!hints.delimiter || d.delimiter == *hints.delimiter, "delimiter hint not kept", context);
    check(!hints.quote_given || d.quote == hints.quote, "quote hint not kept", context);
    check(!hints.escape_given || d.escape == hints.escape, "escape hint not kept", context);
    check(!hints.skip_initial_space || d.skip_initial_space == *hints.skip_initial_space,
          "space skipping hint not kept", context);
    check(d.repair_quotes, "detection turned the quote repair off", context);

    check_cells(buffer, d);

    const quillon::TableStructure t = quillon::detect_structure(buffer, d, header_hint);
    check(quillon::detect_structure(buffer, d, header_hint) == t,
          "structure detection is not deterministic", context);
    check(t.preamble_rows <= 64, "preamble beyond its bound", context);
    check(!header_hint || t.header == *header_hint, "header hint not kept", context);
    quillon::RecordTokenizer tokenizer(buffer, d);
    bool any_filled = false;
    for (std::size_t i = 0; i < t.preamble_rows; ++i) {
        check(tokenizer.next_shape().has_value(), "preamble longer than the input", context);
    }
    const std::size_t table_start = tokenizer.position();
    while (const std::optional<quillon::RecordShape> shape = tokenizer.next_shape()) {
        any_filled = any_filled || !shape->blank;
        if (any_filled) break;
    }
    check(any_filled == (t.columns != 0), "column count and non-blank records disagree", context);
    const bool module_dialect = d.quote == std::uint8_t{'"'} && !d.escape && !d.skip_initial_space;
    // A mark-like sequence at the table's start would be skipped as a mark there.
    const bool mark_at_start =
        std::string_view(buffer).substr(table_start).starts_with("\xEF\xBB\xBF");
    // Comment lines are left out of the count, which the inference counts,
    // and so are the tables below the first.
    if (module_dialect && t.comment.empty() && t.other_tables.empty() &&
        !(t.preamble_rows != 0 && mark_at_start)) {
        const std::string_view rest = std::string_view(buffer).substr(table_start);
        check(t.columns == quillon::infer_columns(rest, d.delimiter),
              "column count differs from the inference after the preamble",
              [&] { return context() + " columns " + std::to_string(t.columns); });
    }
    return 0;
}

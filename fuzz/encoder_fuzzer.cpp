// The output and quarantine encoders: every encoded line against the rules
// written out plainly here, and the round trip of an output line through
// the tokenizer.
//
// Input: byte 0 the delimiter and byte 1 the quote byte (see pick_byte),
// byte 2 flags, then the text.
// - Flags bit 0 clear: one row made from the text, its fields split at the
//   byte 0xFF (which never occurs in UTF-8) and decoded lossily, stored with
//   the flags the tokenizer gives such text.
// - Flags bit 0 set: the rows and the quarantine of a salvage_buffer run over
//   the text (bit 1 delimiter given, bit 2 fill_ragged_rows, bit 3
//   merge_overflow, bit 4 repair_quotes, bit 5 expected_columns given as
//   byte 3 % 6, bit 6 quote repair for the second pass), encoded as the
//   pipeline writes them; both runs keep the conservation law
//   (conservation.hpp).
//
// Round trip preconditions: the delimiter and the quote are ASCII, differ
// from each other, and neither is CR or LF. Then tokenizing an output line
// with the same delimiter and quote gives back the row's fields, and
// salvaging a whole output file again with the same delimiter, quote and
// column count gives back the same rows and the same bytes, with nothing
// repaired or quarantined. One more thing stands in the way: an output that
// starts with U+FEFF (a first field that begins with it is not quoted) loses
// it to the tokenizer's byte-order-mark skip, so such an output is read back
// with one more mark in front.
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "conservation.hpp"
#include "engine/growable_buffer.hpp"
#include "engine/options.hpp"
#include "engine/row_store.hpp"
#include "engine/salvage.hpp"
#include "engine/tokenizer.hpp"
#include "fuzz_support.hpp"
#include "pipeline/encoders.hpp"
#include "reference_tokenizer.hpp"

namespace {

using fuzz::check;
using Fields = std::vector<std::string>;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The character whose code point is the byte b, in UTF-8.
std::string char_form(std::uint8_t b) {
    if (b < 0x80) return std::string(1, static_cast<char>(b));
    return {static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
}

std::string replace_all(std::string_view text, std::string_view what, std::string_view with) {
    std::string out;
    std::size_t from = 0;
    for (;;) {
        const std::size_t hit = text.find(what, from);
        if (hit == std::string_view::npos) break;
        out.append(text.substr(from, hit - from));
        out.append(with);
        from = hit + what.size();
    }
    out.append(text.substr(from));
    return out;
}

std::string model_output_line(const Fields& fields, std::uint8_t delimiter, std::uint8_t quote) {
    const std::string d = char_form(delimiter);
    const std::string q = char_form(quote);
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) line += d;
        const std::string& f = fields[i];
        const bool quoted = f.find(q) != std::string::npos || f.find(d) != std::string::npos ||
                            f.find('\n') != std::string::npos || f.find('\r') != std::string::npos;
        line += quoted ? q + replace_all(f, q, q + q) + q : f;
    }
    return line + "\n";
}

std::string model_quarantine_line(const quillon::QuarantinedRow& row, std::uint8_t delimiter) {
    std::string joined;
    bool first = true;
    for (const quillon::FieldRef f : row.fields) {
        if (!first) joined += char_form(delimiter);
        first = false;
        joined += f.text;
    }
    return std::to_string(row.line) + ",\"" + replace_all(row.reason, "\"", "\"\"") + "\",\"" +
           replace_all(joined, "\"", "\"\"") + "\"\n";
}

bool round_trips(std::uint8_t delimiter, std::uint8_t quote) {
    const auto line_break = [](std::uint8_t b) { return b == '\n' || b == '\r'; };
    return delimiter < 0x80 && quote < 0x80 && delimiter != quote && !line_break(delimiter) &&
           !line_break(quote);
}

std::string readable(std::string_view text) { return reference::escaped(text); }

std::uint16_t tokenizer_flags(std::string_view text, std::uint8_t delimiter, std::uint8_t quote) {
    const reference::FieldFacts facts = reference::facts_of(text, delimiter, quote);
    return static_cast<std::uint16_t>((facts.special ? quillon::field_flags::kSpecial : 0) |
                                      (facts.ascii ? 0 : quillon::field_flags::kNonAscii));
}

void one_row(std::string_view text, std::uint8_t delimiter, std::uint8_t quote) {
    Fields fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t cut = text.find('\xFF', from);
        fields.push_back(reference::decode_lossy(text.substr(from, cut - from)));
        if (cut == std::string_view::npos) break;
        from = cut + 1;
    }
    quillon::RowStore store;
    for (const std::string& f : fields) store.append_field(f, tokenizer_flags(f, delimiter, quote));
    store.end_row();

    // The encoder appends: what the buffer held before stays in front.
    constexpr std::string_view kBefore = "the line before\n";
    quillon::GrowableBuffer<char> buffer;
    buffer.append(kBefore.data(), kBefore.size());
    quillon::encode_output_row(store[0], delimiter, quote, buffer);
    const std::string_view encoded(buffer.data(), buffer.size());
    check(encoded.starts_with(kBefore), "the encoder keeps what the buffer held");
    const std::string line(encoded.substr(kBefore.size()));
    const std::string want = model_output_line(fields, delimiter, quote);
    check(line == want, "encoded output line", [&] {
        return "fields " + fuzz::describe(fields) + "\nencoder " + readable(line) + "\nmodel   " +
               readable(want);
    });
    if (!round_trips(delimiter, quote)) return;

    const std::string input = line.starts_with(kBom) ? std::string(kBom) + line : line;
    for (const bool repair : {false, true}) {
        quillon::RecordTokenizer tok(input, delimiter, quote, repair);
        quillon::RowStore back;
        check(tok.next_record(back), "an encoded line gives a record",
              [&] { return readable(input); });
        const Fields got = back[0].to_strings();
        check(got == fields, "round trip of an encoded line", [&] {
            return "line " + readable(input) + "\nfields " + fuzz::describe(fields) + "\nread   " +
                   fuzz::describe(got);
        });
        check(tok.position() == input.size(), "an encoded line is one record",
              [&] { return readable(input); });
        check(!tok.next_record(back), "an encoded line is one record",
              [&] { return readable(input); });
    }
}

std::string encode_rows(const quillon::SalvageResult& result, std::uint8_t quote) {
    const auto delimiter = static_cast<std::uint8_t>(result.detected_delimiter);
    // Every row appended to one buffer, as a span's rows are.
    quillon::GrowableBuffer<char> out;
    for (std::size_t i = 0; i < result.rows.size(); ++i) {
        const quillon::RowView row = result.rows[i];
        const std::size_t before = out.size();
        quillon::encode_output_row(row, delimiter, quote, out);
        const std::string line(out.data() + before, out.size() - before);
        const std::string want = model_output_line(row.to_strings(), delimiter, quote);
        check(line == want, "encoded output line of a salvaged row", [&] {
            return "row " + fuzz::describe(row.to_strings()) + "\nencoder " + readable(line) +
                   "\nmodel   " + readable(want);
        });
    }
    return std::string(out.data(), out.size());
}

void salvaged_rows(std::uint8_t delimiter, std::uint8_t quote, std::uint8_t flags,
                   std::uint8_t count, std::string_view text) {
    quillon::SalvageOptions first;
    if ((flags & 2) != 0) first.delimiter = delimiter;
    first.quote_char = quote;
    first.fill_ragged_rows = (flags & 4) != 0;
    first.merge_overflow = (flags & 8) != 0;
    first.repair_quotes = (flags & 16) != 0;
    if ((flags & 32) != 0) first.expected_columns = count % 6;

    const quillon::SalvageResult result = quillon::salvage_buffer(text, first);
    fuzz::check_conservation(result, text);
    const std::string output = encode_rows(result, quote);
    const auto used = static_cast<std::uint8_t>(result.detected_delimiter);
    std::string line;
    for (std::size_t i = 0; i < result.quarantine.size(); ++i) {
        const quillon::QuarantinedRow q = result.quarantine[i];
        quillon::encode_quarantine_row(q, used, line);
        const std::string want = model_quarantine_line(q, used);
        check(line == want, "encoded quarantine line",
              [&] { return "encoder " + readable(line) + "\nmodel   " + readable(want); });
    }
    if (!round_trips(used, quote)) return;

    quillon::SalvageOptions again;
    again.delimiter = used;
    again.quote_char = quote;
    again.expected_columns = result.inferred_columns;
    again.fill_ragged_rows = first.fill_ragged_rows;
    again.merge_overflow = first.merge_overflow;
    again.repair_quotes = (flags & 64) != 0;
    const std::string input = output.starts_with(kBom) ? std::string(kBom) + output : output;
    const quillon::SalvageResult second = quillon::salvage_buffer(input, again);
    fuzz::check_conservation(second, input);
    const auto context = [&] { return "output " + readable(output.substr(0, 400)); };
    check(second.total_rows == result.salvaged_rows, "the clean output has one record per kept row",
          [&] {
              return context() + "\nrecords " + std::to_string(second.total_rows) + " rows " +
                     std::to_string(result.salvaged_rows);
          });
    check(second.repaired_rows == 0, "nothing in the clean output is repaired", context);
    check(second.quarantined_rows == 0, "nothing in the clean output is quarantined", context);
    for (std::size_t i = 0; i < result.rows.size(); ++i) {
        const Fields want = result.rows[i].to_strings();
        const Fields got = second.rows[i].to_strings();
        check(got == want, "a row of the clean output read back", [&] {
            return context() + "\nrow " + std::to_string(i) + " " + fuzz::describe(want) +
                   "\nread " + fuzz::describe(got);
        });
    }
    check(encode_rows(second, quote) == output, "the clean output salvaged again is unchanged",
          context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const std::uint8_t delimiter = fuzz::pick_byte(in.take());
    const std::uint8_t quote = fuzz::pick_byte(in.take());
    const std::uint8_t flags = in.take();
    try {
        if ((flags & 1) == 0) {
            one_row(in.rest(), delimiter, quote);
        } else {
            const std::uint8_t count = in.take();
            salvaged_rows(delimiter, quote, flags, count, in.rest());
        }
    } catch (const std::bad_alloc&) {
        fuzz::fail("std::bad_alloc", std::to_string(size) + " input bytes");
    }
    return 0;
}

// Differential target: RecordTokenizer against the plain reference tokenizer
// of the test suite, in both of its modes (building rows and counting shapes),
// and the UTF-8 validators against the byte-by-byte check.
//
// Input: byte 0 the delimiter, byte 1 the quote byte (see pick_byte), byte 2
// flags (bit 0 quote repair; bit 1 the dialect options of bits 2-4 and 5-7:
// bit 2 no quote byte, bit 3 an escape byte, byte 3, bit 4 space skipping,
// bits 5-7 the runaway-quote guard's field count), then the buffer (see
// make_buffer). Every byte pair is a configuration
// the tokenizer must handle: a delimiter equal to the quote, CR or LF as delimiter or quote, NUL
// and bytes of 0x80 and above included.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/row_store.hpp"
#include "engine/tokenizer.hpp"
#include "engine/utf8.hpp"
#include "engine/utf8_validation.hpp"
#include "engine_dialect.hpp"
#include "fuzz_support.hpp"
#include "reference_tokenizer.hpp"

namespace {

using fuzz::check;

std::string where(std::size_t record, const reference::Record& want) {
    return "record " + std::to_string(record) + ", reference " + fuzz::describe(want.fields) +
           " line " + std::to_string(want.line) + " position " + std::to_string(want.position);
}

template <typename Context>
void check_field_flags(const quillon::RowView& row, std::uint8_t delimiter, std::uint8_t quote,
                       bool exact, const Context& context) {
    bool any_special = false;
    bool all_ascii = true;
    for (const quillon::FieldRef f : row) {
        const reference::FieldFacts facts = reference::facts_of(f.text, delimiter, quote);
        // An empty field whose non-ASCII bit is set is a null (`\N`).
        check(f.null() || f.ascii() == facts.ascii, "non-ASCII flag of a field", context);
        // Lossy decoding keeps ASCII bytes as they are, so with an ASCII
        // delimiter and quote the decoded text tells what the raw bytes held.
        if (exact && delimiter < 0x80 && quote < 0x80) {
            check(f.special() == facts.special, "special flag of a field", context);
        }
        any_special = any_special || f.special();
        all_ascii = all_ascii && f.ascii();
    }
    check(row.any_special() == any_special, "row summary of special fields", context);
    check(row.all_ascii() == all_ascii, "row summary of non-ASCII fields", context);
}

using reference::engine_dialect;

void compare_rows(std::string_view buffer, const reference::Dialect& dialect,
                  const std::vector<reference::Record>& want) {
    quillon::RecordTokenizer tok(buffer, engine_dialect(dialect));
    tok.set_runaway_guard(dialect.guard_columns);
    // With an escape byte, quoted fields are not scanned for the delimiter,
    // and without quoting the escape stands in for '"' as a stop byte.
    const bool exact_flags = !dialect.escape;
    const std::uint8_t quote = dialect.quote.value_or('"');
    quillon::RowStore store;
    std::size_t text_bytes = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto context = [&] { return where(i, want[i]); };
        check(tok.next_record(store), "next_record ended early", context);
        check(store.size() == i + 1, "next_record did not append exactly one row", context);
        const quillon::RowView row = store[i];
        const std::vector<std::string> got = row.to_strings();
        check(got == want[i].fields, "fields differ",
              [&] { return context() + "\nengine " + fuzz::describe(got); });
        check(row.size() == want[i].fields.size(), "row size", context);
        std::size_t row_text = 0;
        for (const std::string& f : want[i].fields) row_text += f.size();
        check(row.text_size() == row_text, "row text size", context);
        text_bytes += row_text;
        check(tok.line() == want[i].line, "line counter",
              [&] { return context() + "\nengine " + std::to_string(tok.line()); });
        check(tok.position() == want[i].position, "position",
              [&] { return context() + "\nengine " + std::to_string(tok.position()); });
        check(tok.ended_by_line_break() == want[i].ended_by_line_break, "ended by line break",
              context);
        check_field_flags(row, dialect.delimiter, quote, exact_flags, context);
    }
    check(!tok.next_record(store), "next_record yields more records than the reference");
    check(tok.position() == buffer.size(), "every byte of the input belongs to a record", [&] {
        return std::to_string(tok.position()) + " of " + std::to_string(buffer.size()) + " bytes";
    });
    check(!tok.next_record(store), "an exhausted tokenizer yielded again");
    check(store.size() == want.size(), "the final calls appended a row");
    check(store.text_bytes() == text_bytes, "text bytes held by the store");
}

void compare_shapes(std::string_view buffer, const reference::Dialect& dialect,
                    const std::vector<reference::Record>& want) {
    quillon::RecordTokenizer tok(buffer, engine_dialect(dialect));
    tok.set_runaway_guard(dialect.guard_columns);
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto context = [&] { return where(i, want[i]); };
        const std::optional<quillon::RecordShape> shape = tok.next_shape();
        check(shape.has_value(), "counting mode ended early", context);
        check(shape->fields == want[i].fields.size(), "counted fields",
              [&] { return context() + "\nengine " + std::to_string(shape->fields); });
        check(shape->blank == reference::is_blank(want[i].fields), "blank record", context);
        check(tok.line() == want[i].line, "line counter in counting mode", context);
        check(tok.position() == want[i].position, "position in counting mode", context);
        check(tok.ended_by_line_break() == want[i].ended_by_line_break,
              "ended by line break in counting mode", context);
    }
    check(!tok.next_shape().has_value(), "counting mode yields more records than the reference");
    check(!tok.next_shape().has_value(), "an exhausted counting tokenizer yielded again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const std::uint8_t delimiter = fuzz::pick_byte(in.take());
    const std::uint8_t quote = fuzz::pick_byte(in.take());
    const std::uint8_t flags = in.take();
    reference::Dialect dialect{delimiter, quote, std::nullopt, false, (flags & 1) != 0, 0};
    if ((flags & 2) != 0) {
        if ((flags & 4) != 0) dialect.quote = std::nullopt;
        if ((flags & 8) != 0) dialect.escape = fuzz::pick_byte(in.take());
        dialect.skip_initial_space = (flags & 16) != 0;
        dialect.guard_columns = flags >> 5;
    }
    const std::string buffer = fuzz::make_buffer(in);

    // The whole-span UTF-8 validators, which fields are checked with, agree
    // with the byte-by-byte check on any bytes.
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    const bool valid = quillon::valid_utf8_prefix(bytes, buffer.size()) == buffer.size();
    for (const quillon::Utf8ValidatorFn fn : quillon::utf8_validator_implementations()) {
        check(fn(bytes, buffer.size()) == valid, "UTF-8 validators disagree");
    }

    const std::vector<reference::Record> want = reference::tokenize(buffer, dialect);
    compare_rows(buffer, dialect, want);
    compare_shapes(buffer, dialect, want);
    return 0;
}

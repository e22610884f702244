// salvage_buffer with options taken from the first input bytes: its
// invariants on every input, and its whole result against the reference run
// of the test suite.
//
// Input: byte 0 flags (bit 0 delimiter given, bit 1 fill_ragged_rows, bit 2
// merge_overflow, bit 3 repair_quotes, bits 4-5 expected_columns: absent, 0,
// byte 3 as it is, or 1 + byte 3 % 8), byte 1 the delimiter and byte 2 the
// quote byte (see pick_byte), byte 3 the column count, then the buffer (see
// make_buffer).
//
// Invariants: the conservation law (conservation.hpp), of the one pass and
// of the spans; every kept row has inferred_columns fields unless that is
// 0; quarantine lines never decrease; field flags tell the truth; nothing
// throws. At these sizes even std::bad_alloc would be a fault.
//
// Then the same buffer read in tiny spans on two threads, with the options
// only the adaptive salvage sets switched by the buffer's last byte, must
// give the one pass's whole result.
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "engine/options.hpp"
#include "engine/parallel_salvage.hpp"
#include "conservation.hpp"
#include "engine/salvage.hpp"
#include "fuzz_support.hpp"
#include "reference_tokenizer.hpp"
#include "result_description.hpp"

namespace {

using fuzz::check;

struct Settings {
    quillon::SalvageOptions engine;
    reference::Options reference;
};

Settings read_settings(fuzz::ByteReader& in) {
    const std::uint8_t flags = in.take();
    const std::uint8_t delimiter = fuzz::pick_byte(in.take());
    const std::uint8_t quote = fuzz::pick_byte(in.take());
    const std::uint8_t count = in.take();
    Settings s;
    if ((flags & 1) != 0) s.engine.delimiter = delimiter;
    s.engine.quote_char = quote;
    s.engine.fill_ragged_rows = (flags & 2) != 0;
    s.engine.merge_overflow = (flags & 4) != 0;
    s.engine.repair_quotes = (flags & 8) != 0;
    switch ((flags >> 4) & 3) {
        case 0:
            break;
        case 1:
            s.engine.expected_columns = 0;
            break;
        case 2:
            s.engine.expected_columns = count;
            break;
        default:
            s.engine.expected_columns = 1 + count % 8;
            break;
    }
    s.reference.delimiter = s.engine.delimiter;
    s.reference.quote_char = s.engine.quote_char;
    s.reference.fill_ragged_rows = s.engine.fill_ragged_rows;
    s.reference.merge_overflow = s.engine.merge_overflow;
    s.reference.repair_quotes = s.engine.repair_quotes;
    s.reference.expected_columns = s.engine.expected_columns;
    return s;
}

template <typename Context>
void check_flags(const quillon::RowView& row, std::uint8_t delimiter, std::uint8_t quote,
                 const Context& context) {
    for (const quillon::FieldRef f : row) {
        const reference::FieldFacts facts = reference::facts_of(f.text, delimiter, quote);
        // An empty field whose non-ASCII bit is set is a null (`\N`).
        check(f.null() || f.ascii() == facts.ascii, "non-ASCII flag of a field", context);
        if (delimiter < 0x80 && quote < 0x80) {
            check(f.special() == facts.special, "special flag of a field", context);
        }
    }
}

void check_invariants(const quillon::SalvageResult& r, std::uint8_t quote) {
    check(r.total_rows == r.salvaged_rows + r.quarantined_rows, "total == salvaged + quarantined",
          [&] {
              return std::to_string(r.total_rows) + " != " + std::to_string(r.salvaged_rows) +
                     " + " + std::to_string(r.quarantined_rows);
          });
    check(r.salvaged_rows == r.rows.size(), "salvaged_rows counts the rows");
    check(r.quarantined_rows == r.quarantine.size(), "quarantined_rows counts the quarantine");
    check(r.repaired_rows <= r.salvaged_rows, "repaired <= salvaged");
    check(r.detected_delimiter <= 0xFF, "the delimiter is a byte");
    const auto delimiter = static_cast<std::uint8_t>(r.detected_delimiter);
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        const quillon::RowView row = r.rows[i];
        const auto context = [&] {
            return "row " + std::to_string(i) + " " + fuzz::describe(row.to_strings());
        };
        if (r.inferred_columns != 0) {
            check(row.size() == r.inferred_columns, "a kept row has the column count", context);
        }
        check(row.size() >= 1, "a kept row has a field", context);
        check_flags(row, delimiter, quote, context);
    }
    std::size_t last_line = 1;
    for (std::size_t i = 0; i < r.quarantine.size(); ++i) {
        const quillon::QuarantinedRow q = r.quarantine[i];
        const auto context = [&] {
            return "quarantined " + std::to_string(i) + " line " + std::to_string(q.line);
        };
        check(q.line >= last_line, "quarantine lines never decrease", context);
        last_line = q.line;
        const std::size_t fields = q.fields.size();
        check(fields != r.inferred_columns && r.inferred_columns != 0,
              "only rows of the wrong width are quarantined", context);
        // Spelled out here: the text users read in the quarantine file.
        const std::string want_reason =
            std::string(fields < r.inferred_columns ? "Row has too few columns" : "Row has extra columns") +
            " (expected " + std::to_string(r.inferred_columns) + ")";
        check(q.reason == want_reason, "quarantine reason",
              [&] { return context() + " " + std::string(q.reason); });
        check_flags(q.fields, delimiter, quote, context);
    }
}

void compare_with_reference(const quillon::SalvageResult& got, const reference::Result& want) {
    check(got.detected_delimiter == want.delimiter, "delimiter", [&] {
        return std::to_string(got.detected_delimiter) + " vs " + std::to_string(want.delimiter);
    });
    check(got.inferred_columns == want.inferred_columns, "column count", [&] {
        return std::to_string(got.inferred_columns) + " vs " +
               std::to_string(want.inferred_columns);
    });
    check(got.total_rows == want.total_rows, "total rows");
    check(got.repaired_rows == want.repaired_rows, "repaired rows");
    check(got.rows.size() == want.rows.size(), "kept rows", [&] {
        return std::to_string(got.rows.size()) + " vs " + std::to_string(want.rows.size());
    });
    for (std::size_t i = 0; i < want.rows.size(); ++i) {
        const std::vector<std::string> row = got.rows[i].to_strings();
        check(row == want.rows[i], "kept row", [&] {
            return "row " + std::to_string(i) + " engine " + fuzz::describe(row) + " reference " +
                   fuzz::describe(want.rows[i]);
        });
    }
    check(got.quarantine.size() == want.quarantine.size(), "quarantined rows");
    for (std::size_t i = 0; i < want.quarantine.size(); ++i) {
        const quillon::QuarantinedRow q = got.quarantine[i];
        const reference::Quarantined& w = want.quarantine[i];
        const auto context = [&] { return "quarantined " + std::to_string(i); };
        check(q.fields.to_strings() == w.fields, "quarantined fields", [&] {
            return context() + " engine " + fuzz::describe(q.fields.to_strings()) + " reference " +
                   fuzz::describe(w.fields);
        });
        check(q.reason == w.reason, "quarantined reason", context);
        check(q.line == w.line, "quarantined line", [&] {
            return context() + " engine " + std::to_string(q.line) + " reference " +
                   std::to_string(w.line);
        });
    }
}

void compare_spans_with_one_pass(const std::string& buffer, quillon::SalvageOptions options) {
    const unsigned knob = buffer.empty() ? 0 : static_cast<unsigned char>(buffer.back());
    options.preamble_rows = knob & 1;
    options.drop_repeated_headers = (knob & 2) != 0;
    // The header a glued copy is cut by, and the other tables, go together.
    options.split_tables = options.drop_repeated_headers;
    options.guard_runaway_quotes = (knob & 4) != 0;
    options.repair_misaligned_rows = (knob & 8) != 0;
    if ((knob & 16) != 0) options.decoding = quillon::FieldDecoding::kUtf8Windows1252Fallback;
    const std::vector<std::string> one =
        reference::describe_result(quillon::salvage_buffer(buffer, options));
    const quillon::SpanPlan plan{2, 1 + (knob >> 5)};
    const quillon::SalvageResult parallel = quillon::salvage_buffer_parallel(buffer, options, plan);
    fuzz::check_conservation(parallel, buffer);
    const std::vector<std::string> spans = reference::describe_result(parallel);
    check(spans == one, "spans on two threads give the one pass's result", [&] {
        std::size_t i = 0;
        while (i < one.size() && i < spans.size() && one[i] == spans[i]) ++i;
        return "first difference at item " + std::to_string(i) + ": " +
               (i < one.size() ? one[i] : "(none)") + " vs " +
               (i < spans.size() ? spans[i] : "(none)");
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const Settings settings = read_settings(in);
    const std::string buffer = fuzz::make_buffer(in);

    try {
        const quillon::SalvageResult result = quillon::salvage_buffer(buffer, settings.engine);
        check_invariants(result, settings.engine.quote_char);
        fuzz::check_conservation(result, buffer);
        compare_with_reference(result, reference::salvage(buffer, settings.reference));
        compare_spans_with_one_pass(buffer, settings.engine);
    } catch (const std::bad_alloc&) {
        fuzz::fail("std::bad_alloc", "buffer of " + std::to_string(buffer.size()) + " bytes");
    }
    return 0;
}

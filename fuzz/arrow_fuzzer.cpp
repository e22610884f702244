// The salvaged rows as Arrow record batches, exported and read back the way a
// consumer reads them.
//
// Input: byte 0 flags (bit 0 the first row is a header, bit 1 no column
// check, bit 2 the store is given up to the builder, bit 3 two threads,
// bits 4-5 the string layout: utf8, large_utf8, string_view, string_view,
// bit 6 move a column out of each batch before releasing it, bit 7 release
// the stream before the batches), byte 1 rows per batch (1 + byte % 64),
// byte 2 text bytes per batch (0: no limit, else the byte), then the buffer
// (see make_buffer).
//
// Then the buffer as an adaptive read streamed through windows, spans and
// blocks of a few bytes (sized by bytes 1 and 2), against the read held
// whole: the same names, rows and counts.
//
// Invariants: the salvage keeps the conservation law (conservation.hpp);
// the batches hold exactly the kept rows (the header row apart
// when asked), missing cells as nulls; the schema has one field per column;
// no batch exceeds its limits unless it is a single row; the buffers agree
// with each other; every exported struct is released exactly once, whatever
// order the structs are released in (AddressSanitizer and LeakSanitizer see
// to that).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow/export.hpp"
#include "arrow/read_table.hpp"
#include "arrow/record_batches.hpp"
#include "arrow/streamed_table.hpp"
#include "arrow_reader.hpp"
#include "conservation.hpp"
#include "engine/salvage.hpp"
#include "fuzz_support.hpp"

namespace {

using fuzz::check;
using quillon::arrow::StringLayout;

struct Settings {
    bool header;
    bool unchecked;
    bool give_up_store;
    // Rows per span when the rows go through one builder per span, as a
    // run's spans hand them over; 0: the whole store at once.
    std::size_t span_rows;
    StringLayout layout;
    bool move_column;
    bool stream_first;
    quillon::arrow::BatchLimits limits;
};

Settings read_settings(fuzz::ByteReader& in) {
    const std::uint8_t flags = in.take();
    Settings s{};
    s.header = (flags & 1) != 0;
    s.unchecked = (flags & 2) != 0;
    s.give_up_store = (flags & 4) != 0;
    const unsigned layout = (flags >> 4) & 3;
    s.layout = layout == 0   ? StringLayout::kUtf8
               : layout == 1 ? StringLayout::kLargeUtf8
                             : StringLayout::kUtf8View;
    s.move_column = (flags & 64) != 0;
    s.stream_first = (flags & 128) != 0;
    s.limits.max_rows = 1 + in.take() % 64;
    s.span_rows = (flags & 8) != 0 ? 1 + in.take() % 8 : 0;
    const std::uint8_t bytes = in.take();
    if (bytes != 0) s.limits.max_bytes = bytes;
    return s;
}

// The rows through one builder per span of s.span_rows rows, joined in order.
quillon::arrow::BatchTable by_spans(const quillon::RowStore& rows, const Settings& s,
                                    std::size_t columns) {
    quillon::arrow::TableBuilder table(s.limits);
    for (std::size_t r = 0; r < rows.size(); r += s.span_rows) {
        quillon::RowStore span_rows;
        span_rows.append_rows(rows, r, std::min(r + s.span_rows, rows.size()));
        quillon::arrow::BatchBuilder span(s.limits, s.header && r == 0);
        span.take(span_rows);
        table.add(span);
    }
    return table.finish(s.header, columns);
}

// The streamed read of the buffer hands out the rows of the read held whole.
void check_streamed_read(const std::string& buffer, const Settings& s) {
    quillon::AdaptiveOptions options;
    options.head_bytes = 16 + s.limits.max_rows * 3;
    options.window_bytes = 1 + s.limits.max_bytes % 97;
    options.span_bytes = 1 + s.limits.max_rows % 13;
    options.threads = s.span_rows != 0 ? 2 : 1;
    if (s.unchecked) options.expected_columns = 0;
    quillon::IoResult<quillon::arrow::TableRead> whole =
        quillon::arrow::read_table_content(buffer, std::nullopt, options);
    check(static_cast<bool>(whole), "the read held whole");
    quillon::MemoryByteStream input(buffer, 1 + s.limits.max_bytes % 29);
    auto opened = quillon::arrow::StreamedTable::open(input, std::nullopt, options);
    check(static_cast<bool>(opened), "the streamed read opens");
    quillon::arrow::StreamedTable& streamed = *opened.value();
    std::vector<quillon::arrow::RecordBatch> batches;
    for (;;) {
        auto next = streamed.next();
        check(static_cast<bool>(next), "the streamed read goes on");
        if (!next.value()) break;
        batches.push_back(*next.value());
    }
    const quillon::arrow::BatchTable& table = *whole.value().table;
    check(streamed.complete() && streamed.rows() == table.rows(), "streamed row count");
    check(streamed.shape().names() == table.names(), "streamed names");
    check(streamed.stats().quarantined_rows == whole.value().stats.quarantined_rows,
          "streamed quarantine count");
    bool read_streamed = false;
    bool read_whole = false;
    const quillon::arrow::ExportPlan plan = quillon::arrow::default_plan(table);
    check(arrow_reader::rows_of(plan, batches, read_streamed) ==
                  arrow_reader::rows_of(plan, table.batches(), read_whole) &&
              read_streamed && read_whole,
          "streamed rows");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const Settings s = read_settings(in);
    const std::string buffer = fuzz::make_buffer(in);
    quillon::SalvageOptions options;
    if (s.unchecked) options.expected_columns = 0;
    quillon::SalvageResult result = quillon::salvage_buffer(buffer, options);
    fuzz::check_conservation(result, buffer);

    // What the batches must hold, read before the store may be given up.
    std::vector<std::vector<std::string>> rows;
    for (const quillon::RowView row : result.rows) rows.push_back(row.to_strings());
    const std::size_t first = s.header && !rows.empty() ? 1 : 0;
    std::size_t width = result.inferred_columns;
    for (const auto& row : rows) width = std::max(width, row.size());

    auto table = std::make_shared<const quillon::arrow::BatchTable>(
        s.span_rows != 0 ? by_spans(result.rows, s, result.inferred_columns)
        : s.give_up_store ? quillon::arrow::build_batches(std::move(result.rows), s.header,
                                                          result.inferred_columns, s.limits)
                          : quillon::arrow::build_batches(result.rows, s.header,
                                                          result.inferred_columns, s.limits));
    check(table->width() == width, "one column per field of the widest row");
    check(table->names().size() == width, "one name per column");
    check(table->rows() == rows.size() - first, "every row but the header");
    std::size_t start = first;
    for (const quillon::arrow::RecordBatch& batch : table->batches()) {
        const auto n = static_cast<std::size_t>(batch.rows);
        check(n >= 1 && n <= s.limits.max_rows, "rows per batch");
        std::size_t text = 0;
        for (std::size_t r = start; r < start + n; ++r) {
            for (const std::string& field : rows[r]) text += field.size();
        }
        check(n == 1 || text <= s.limits.max_bytes, "text per batch");
        start += n;
    }

    ArrowArrayStream stream{};
    quillon::arrow::export_stream(table, quillon::arrow::default_plan(*table, s.layout), &stream);
    table.reset();
    ArrowSchema schema{};
    check(stream.get_schema(&stream, &schema) == 0, "get_schema");
    check(schema.n_children == static_cast<std::int64_t>(width), "schema fields");
    std::vector<ArrowArray> batches;
    for (;;) {
        ArrowArray batch{};
        check(stream.get_next(&stream, &batch) == 0, "get_next");
        if (batch.release == nullptr) break;
        batches.push_back(batch);
    }
    check(stream.get_last_error(&stream) == nullptr, "no error");
    if (s.stream_first) stream.release(&stream);

    arrow_reader::Rows got;
    for (ArrowArray& batch : batches) {
        check(arrow_reader::append_batch(schema, batch, got), "buffers agree");
        std::optional<ArrowArray> moved;
        if (s.move_column && batch.n_children > 0) {
            moved = *batch.children[batch.n_children - 1];
            batch.children[batch.n_children - 1]->release = nullptr;
        }
        batch.release(&batch);
        check(batch.release == nullptr, "a released batch is marked");
        if (moved) moved->release(&*moved);
    }
    schema.release(&schema);
    if (!s.stream_first) stream.release(&stream);

    check(got.size() == rows.size() - first, "row count", [&] {
        return std::to_string(got.size()) + " != " + std::to_string(rows.size() - first);
    });
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::vector<std::string>& want = rows[first + i];
        for (std::size_t c = 0; c < width; ++c) {
            const bool same = c < want.size() ? got[i][c] == want[c] : !got[i][c].has_value();
            check(same, "cell", [&] {
                return "row " + std::to_string(i) + " " + fuzz::describe(want) + " column " +
                       std::to_string(c);
            });
        }
    }
    check_streamed_read(buffer, s);
    return 0;
}

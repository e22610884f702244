// Typed columns of a read table: the cell readers and the whole typing pass.
//
// Input: byte 0 flags (bits 0-1 columns - 1, bit 2 a given type for column
// 0, bit 3 two threads, bit 4 the delimiter is ';'), byte 1 the given type
// (byte % 7 picks one of kGivenTypes), byte 2 rows per batch (1 + byte %
// 16), then the cells: the rest of the input cut at each '\n', handed to
// the columns in turn.
//
// Invariants: every reader takes any text without fault; an integer read
// reads again as the same float; a typed column's cell is null exactly
// when its text is a null spelling or it is listed in the reject log, which
// holds its text as it was and the line its row came from; the reject counts add
// up to the log's rows; typing batch by batch gives the same types and
// misfits; the typed batches export and release (the
// sanitizers see to that).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/export.hpp"
#include "arrow/typed_columns.hpp"
#include "fuzz_support.hpp"

namespace {

using fuzz::check;
using namespace quillon::arrow;

constexpr std::string_view kGivenTypes[] = {"int64", "float64", "bool", "date", "timestamp",
                                            "decimal(10,2)", "timestamp[us, UTC]"};

void read_each_way(std::string_view text) {
    using namespace quillon::arrow::typed;
    for (const NumberStyle style : {kPointDecimal, kCommaDecimal}) {
        NumberText number;
        if (!scan_number(text, style, number)) continue;
        std::int64_t whole = 0;
        double real = 0;
        __int128 fixed = 0;
        if (to_int64(number, whole) && !is_identifier(whole)) {
            check(to_float64(number, real) && real == static_cast<double>(whole),
                  "an integer reads as the same float");
        }
        static_cast<void>(to_decimal(number, 38, 4, fixed));
    }
    // The column readers' shortcuts answer as the general reading does.
    for (const NumberStyle style : {kPointDecimal, kCommaDecimal}) {
        NumberText number;
        const bool scanned = scan_number(text, style, number);
        std::int64_t whole = 0;
        std::int64_t read_whole = 0;
        const bool is_int = scanned && to_int64(number, whole);
        check(read_int64(text, style, read_whole) == is_int && (!is_int || read_whole == whole),
              "read_int64 reads as scan_number and to_int64");
        double real = 0;
        double read_real = 0;
        const bool is_real = scanned && to_float64(number, real);
        check(read_float64(text, style, read_real) == is_real &&
                  (!is_real || std::memcmp(&real, &read_real, sizeof real) == 0),
              "read_float64 reads as scan_number and to_float64");
        __int128 fixed = 0;
        __int128 read_fixed = 0;
        const bool is_fixed = scanned && to_decimal(number, 12, 2, fixed);
        check(read_decimal(text, style, 12, 2, read_fixed) == is_fixed &&
                  (!is_fixed || read_fixed == fixed),
              "read_decimal reads as scan_number and to_decimal");
    }
    bool flag = false;
    static_cast<void>(parse_bool(text, true, flag));
    for (const DateOrder order :
         {DateOrder::kYearMonthDay, DateOrder::kDayMonthYear, DateOrder::kMonthDayYear}) {
        std::int32_t days = 0;
        std::int64_t micros = 0;
        bool zoned = false;
        static_cast<void>(parse_date(text, order, days));
        static_cast<void>(parse_timestamp(text, order, micros, zoned));
    }
}

std::string_view text_of(const ColumnChunk& chunk, std::size_t i) {
    const std::size_t begin = static_cast<std::size_t>(chunk.offsets()[i]);
    const std::size_t end = static_cast<std::size_t>(chunk.offsets()[i + 1]);
    return std::string_view(chunk.values() + begin, end - begin);
}

bool valid(const std::uint8_t* bits, std::size_t i) {
    return bits == nullptr || ((bits[i / 8] >> (i % 8)) & 1u) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const std::uint8_t flags = in.take();
    const std::size_t columns = 1 + (flags & 3);
    const std::uint8_t given = in.take();
    BatchLimits limits;
    limits.max_rows = 1 + in.take() % 16;
    const std::string_view rest = in.rest();

    quillon::RowStore rows;
    std::size_t at = 0;
    std::size_t field = 0;
    while (at <= rest.size()) {
        const std::size_t end = std::min(rest.find('\n', at), rest.size());
        const std::string_view cell = rest.substr(at, end - at);
        read_each_way(cell);
        rows.append_field(cell, 0);
        if (++field == columns) {
            rows.end_row();
            field = 0;
        }
        at = end + 1;
    }
    if (field != 0) rows.end_row();

    // Two spans, as a run reads them: row r begins on line r + 1, the
    // second span's lines counted from its first.
    const std::size_t half = rows.size() / 2;
    TableBuilder builder(limits);
    for (const auto& [begin, end] : {std::pair{std::size_t{0}, half}, std::pair{half, rows.size()}}) {
        quillon::RowStore part;
        part.append_rows(rows, begin, end);
        std::vector<std::size_t> lines(end - begin);
        for (std::size_t r = 0; r < lines.size(); ++r) lines[r] = r + 1;
        BatchBuilder span(limits);
        span.take_lines(part, lines.data());
        span.lines_before(begin);
        builder.add(span);
    }
    auto strings = std::make_shared<const BatchTable>(builder.finish(false, columns));
    TypingRequest request;
    request.delimiter = (flags & 16) != 0 ? ';' : ',';
    request.threads = (flags & 8) != 0 ? 2 : 1;
    if ((flags & 4) != 0) {
        request.given = {typed::parse_type_name(kGivenTypes[given % std::size(kGivenTypes)])};
    }
    const TypedTable typed = type_columns(strings, request);

    // Batch by batch with the whole table's types, the same misfits.
    const std::vector<typed::ColumnType>& types = typed.table->types();
    const std::vector<bool> given_columns(request.given.size(), true);
    std::vector<CellReject> batch_rejects;
    std::size_t before = 0;
    for (const RecordBatch& batch : strings->batches()) {
        if (types.empty()) break;
        static_cast<void>(type_batch(batch, types, given_columns, before, batch_rejects));
        before += static_cast<std::size_t>(batch.rows);
    }
    std::uint64_t logged = 0;
    for (std::size_t c = 0; c < columns; ++c) logged += typed.reject_counts[c];
    check(batch_rejects.size() == logged, "batch by batch, the same misfits");

    // The log: (row, column name) -> text; row r is on line r + 1.
    std::map<std::pair<std::int64_t, std::string>, std::string> listed;
    for (const RecordBatch& batch : typed.rejects->batches()) {
        const std::int64_t* lines = batch.typed->columns[0].values.data();
        for (std::size_t i = 0; i < static_cast<std::size_t>(batch.rows); ++i) {
            listed[{lines[i] - 1, std::string(text_of(batch.column(1), i))}] =
                std::string(text_of(batch.column(2), i));
        }
    }
    std::uint64_t counted = 0;
    for (const std::uint64_t count : typed.reject_counts) counted += count;
    check(counted == listed.size(), "the reject counts add up to the log");

    const BatchTable& table = *typed.table;
    check(table.rows() == strings->rows() && table.width() == strings->width(),
          "typing keeps the table's shape");
    std::int64_t first = 0;
    for (const RecordBatch& batch : table.batches()) {
        for (std::size_t c = 0; c < table.width(); ++c) {
            if (table.types().empty() || !table.types()[c].typed()) continue;
            const TypedArray& array = batch.typed->columns[c];
            const ColumnChunk chunk = batch.column(c);
            for (std::size_t i = 0; i < static_cast<std::size_t>(batch.rows); ++i) {
                const bool missing = chunk.absent() || !valid(chunk.validity(), i);
                const std::string_view text = missing ? std::string_view() : text_of(chunk, i);
                const auto entry = listed.find({first + static_cast<std::int64_t>(i), table.name(c)});
                const bool is_null = !valid(array.validity.empty() ? nullptr : array.validity.data(), i);
                if (entry != listed.end()) {
                    check(is_null && entry->second == text, "a listed cell is null and keeps its text");
                } else if (is_null) {
                    check(missing || typed::is_null_spelling(text), "no cell is null unannounced");
                }
            }
        }
        first += batch.rows;
    }

    ExportPlan plan = default_plan(table);
    ArrowSchema schema;
    export_schema(plan, &schema);
    schema.release(&schema);
    for (const RecordBatch& batch : table.batches()) {
        ArrowArray array;
        export_batch(batch, plan, &array);
        array.release(&array);
    }
    return 0;
}

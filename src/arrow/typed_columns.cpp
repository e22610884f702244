#include "typed_columns.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "typed_inference.hpp"

namespace quillon::arrow {

namespace {

using typed::ColumnTally;
using typed::ColumnType;
using typed::ValueType;

// Past this many columns a table keeps its strings: a tally is a few
// hundred bytes per column and thread, which a table of millions of
// columns cannot afford, and no dataframe of that width is typed by hand.
constexpr std::size_t kMaxTypedColumns = std::size_t{1} << 16;

std::string_view cell_text(const ColumnChunk& chunk, std::size_t i) noexcept {
    const std::size_t begin = chunk.wide() ? static_cast<std::size_t>(chunk.wide_offsets()[i])
                                           : static_cast<std::size_t>(chunk.offsets()[i]);
    const std::size_t end = chunk.wide() ? static_cast<std::size_t>(chunk.wide_offsets()[i + 1])
                                         : static_cast<std::size_t>(chunk.offsets()[i + 1]);
    return std::string_view(chunk.values() + begin, end - begin);
}

bool present(const std::uint8_t* bits, std::size_t i) noexcept {
    return bits == nullptr || ((bits[i / 8] >> (i % 8)) & 1u) != 0;
}

// Runs work(b) for every batch index b on up to `threads` threads (0: every
// core), and rethrows the first exception a thread met.
template <typename Work>
void for_each_batch(std::size_t count, unsigned threads, Work work) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t n = std::min<std::size_t>(threads, count);
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex error_lock;
    const auto run = [&] {
        try {
            for (std::size_t b = next++; b < count; b = next++) work(b);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(error_lock);
            if (!error) error = std::current_exception();
            next = count;
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < n; ++t) {
        try {
            pool.emplace_back(run);
        } catch (const std::system_error&) {
            break;  // fewer threads then; this one still works
        }
    }
    run();
    for (std::thread& thread : pool) thread.join();
    if (error) std::rethrow_exception(error);
}

// Whether a timestamp column's cell is its value.
bool read_timestamp(std::string_view text, const ColumnType& type, bool given,
                    std::int64_t& out) noexcept {
    std::int64_t micros = 0;
    bool zoned = false;
    if (!typed::parse_date_or_timestamp(text, type.order, micros, zoned)) return false;
    // A zoned column holds instants and a naive one wall-clock times: a
    // cell of the other kind fits only a type the user gave, where naive
    // times are taken as UTC and instants as UTC wall-clock.
    if (zoned != type.utc && !given) return false;
    out = micros;
    return true;
}

// The cells of one column of one batch as `type`: each cell's value goes
// where write(i, text) puts it, and a cell it refuses is null, listed in
// `rejects` unless it is a null spelling. One loop per type and offset
// width, so that the loop itself asks nothing per cell but the cell.
template <typename Offset, typename Write>
void write_cells(const RecordBatch& batch, std::size_t c, const Offset* offsets,
                 std::size_t first_row, TypedArray& array, std::vector<CellReject>& rejects,
                 Write write) {
    const auto rows = static_cast<std::size_t>(batch.rows);
    const ColumnChunk chunk = batch.column(c);
    const char* const values = chunk.values();
    const std::uint8_t* const bits = chunk.validity();
    std::uint8_t* const validity = array.validity.data();
    const auto null = [&](std::size_t i) {
        validity[i / 8] = static_cast<std::uint8_t>(validity[i / 8] & ~(1u << (i % 8)));
        ++array.null_count;
    };
    for (std::size_t i = 0; i < rows; ++i) {
        if (!present(bits, i)) {
            null(i);
            continue;
        }
        const auto begin = static_cast<std::size_t>(offsets[i]);
        const std::string_view text(values + begin, static_cast<std::size_t>(offsets[i + 1]) - begin);
        if (write(i, text)) continue;
        null(i);
        if (!typed::is_null_spelling(text)) {
            rejects.push_back(CellReject{first_row + i, batch.line(i), c, std::string(text)});
        }
    }
}

template <typename Offset>
void write_typed(const RecordBatch& batch, std::size_t c, const Offset* offsets,
                 const ColumnType& type, bool given, std::size_t first_row, TypedArray& array,
                 std::vector<CellReject>& rejects) {
    std::int64_t* const words = array.values.data();
    const auto cells = [&](auto write) {
        write_cells(batch, c, offsets, first_row, array, rejects, write);
    };
    switch (type.type) {
        case ValueType::kBool:
            cells([&](std::size_t i, std::string_view text) {
                bool flag = false;
                if (!typed::parse_bool(text, true, flag)) return false;
                if (flag) words[i / 64] |= std::int64_t{1} << (i % 64);
                return true;
            });
            break;
        case ValueType::kInt64:
            cells([&](std::size_t i, std::string_view text) {
                return typed::read_int64(text, type.style, words[i]);
            });
            break;
        case ValueType::kFloat64:
            cells([&](std::size_t i, std::string_view text) {
                double value = 0;
                if (!typed::read_float64(text, type.style, value)) return false;
                std::memcpy(&words[i], &value, sizeof value);
                return true;
            });
            break;
        case ValueType::kDecimal:
            cells([&](std::size_t i, std::string_view text) {
                __int128 value = 0;
                if (!typed::read_decimal(text, type.style, type.precision, type.scale, value)) {
                    return false;
                }
                std::memcpy(&words[2 * i], &value, sizeof value);
                return true;
            });
            break;
        case ValueType::kDate:
            cells([&](std::size_t i, std::string_view text) {
                std::int32_t days = 0;
                if (!typed::parse_date(text, type.order, days)) return false;
                std::memcpy(reinterpret_cast<char*>(words) + 4 * i, &days, sizeof days);
                return true;
            });
            break;
        case ValueType::kTimestamp:
            cells([&](std::size_t i, std::string_view text) {
                return read_timestamp(text, type, given, words[i]);
            });
            break;
        case ValueType::kString:
            break;
    }
}

void add_row(RowStore& store, std::initializer_list<std::string_view> fields) {
    for (const std::string_view field : fields) store.append_field(field, 0);
    store.end_row();
}

// Cells looked at between checks of whether a column is still worth it.
constexpr std::size_t kTallyStride = 4096;
// The rows every column to infer is first judged on.
constexpr std::size_t kSampleRows = 65536;

// Tallies the cells of rows [from, to) of a batch's column c; returns how
// many fit no type.
std::size_t tally_rows(const RecordBatch& batch, std::size_t c, std::size_t from, std::size_t to,
                       ColumnTally& tally) {
    const ColumnChunk chunk = batch.column(c);
    if (chunk.absent()) return 0;
    const std::uint8_t* bits = chunk.validity();
    std::size_t unfit = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (!present(bits, i)) continue;
        const std::string_view text = cell_text(chunk, i);
        if (!typed::is_null_spelling(text) && !tally.add(text)) ++unfit;
    }
    return unfit;
}

// What every cell of the tallied columns could be, column by column.
//
// A column to infer is first tallied over the table's first kSampleRows
// rows: when more than a twentieth of the values there fit no type at all,
// it is text and the rest is not read (a bounded sample decides what is
// plainly text; a column that may be typed is read whole). Past the sample,
// a column stops being tallied once more than a twentieth of the table's
// rows fit no type: no type can then reach 95% of its values, so it stays
// string whatever the rest holds, the same outcome as a full tally. Both
// rules are fixed by the table's rows, not by how it was cut into batches,
// so the outcome does not depend on the threads. `tallied` is cleared for
// the columns given up. With `sample_only`, only the sample is tallied.
std::vector<ColumnTally> tally_columns(const std::vector<RecordBatch>& batches,
                                       std::vector<bool>& tallied, const std::vector<bool>& given,
                                       std::size_t rows, unsigned threads, bool sample_only) {
    const std::size_t width = tallied.size();
    const std::size_t misfit_limit = rows / 20;
    const std::size_t sample = std::min(rows, kSampleRows);
    std::vector<std::size_t> first_row(batches.size(), 0);
    for (std::size_t b = 1; b < batches.size(); ++b) {
        first_row[b] = first_row[b - 1] + static_cast<std::size_t>(batches[b - 1].rows);
    }

    std::vector<ColumnTally> out(width);
    std::vector<std::atomic<std::size_t>> misfits(width);
    std::vector<std::uint8_t> text_by_sample(width, 0);
    for_each_batch(width, threads, [&](std::size_t c) {
        if (!tallied[c]) return;
        std::size_t unfit = 0;
        for (std::size_t b = 0; b < batches.size() && first_row[b] < sample; ++b) {
            const std::size_t to =
                std::min(static_cast<std::size_t>(batches[b].rows), sample - first_row[b]);
            unfit += tally_rows(batches[b], c, 0, to, out[c]);
        }
        misfits[c] = unfit;
        text_by_sample[c] = !given[c] && unfit * 20 > out[c].values ? 1 : 0;
    });
    const auto given_up = [&](std::size_t c) {
        return !given[c] &&
               (text_by_sample[c] != 0 || misfits[c].load(std::memory_order_relaxed) > misfit_limit);
    };

    std::vector<std::vector<ColumnTally>> batch_tallies(sample_only ? 0 : batches.size());
    for_each_batch(batch_tallies.size(), threads, [&](std::size_t b) {
        const auto n = static_cast<std::size_t>(batches[b].rows);
        const std::size_t start = first_row[b] >= sample ? 0 : std::min(n, sample - first_row[b]);
        if (start == n) return;
        std::vector<ColumnTally> tallies(width);
        for (std::size_t c = 0; c < width; ++c) {
            if (!tallied[c]) continue;
            for (std::size_t from = start; from < n; from += kTallyStride) {
                if (given_up(c)) break;
                const std::size_t unfit =
                    tally_rows(batches[b], c, from, std::min(n, from + kTallyStride), tallies[c]);
                misfits[c].fetch_add(unfit, std::memory_order_relaxed);
            }
        }
        batch_tallies[b] = std::move(tallies);
    });
    for (std::size_t c = 0; c < width; ++c) {
        if (given_up(c)) {
            tallied[c] = false;
            continue;
        }
        for (const std::vector<ColumnTally>& tallies : batch_tallies) {
            if (!tallies.empty()) out[c].merge(tallies[c]);
        }
    }
    return out;
}

// Column c of one batch as `type`; the cells that are no value of it go to
// `rejects`, numbered from `first_row`.
void write_column(const RecordBatch& batch, std::size_t c, const ColumnType& type, bool given,
                  std::size_t first_row, TypedArray& array, std::vector<CellReject>& rejects) {
    const auto rows = static_cast<std::size_t>(batch.rows);
    // One bit (bool), 16 bytes (decimal), 4 (date) or 8 bytes a value, in
    // 8-byte words; a validity bitmap with every cell present at first.
    const std::size_t words = type.type == ValueType::kBool      ? (rows + 63) / 64
                              : type.type == ValueType::kDecimal ? 2 * rows
                              : type.type == ValueType::kDate    ? (rows + 1) / 2
                                                                 : rows;
    array.values.append_fill(std::max<std::size_t>(words, 1), 0);
    array.validity.append_fill((rows + 7) / 8, std::uint8_t{0xFF});
    const ColumnChunk chunk = batch.column(c);
    if (chunk.absent()) {
        // No row reaches the column: every cell is null.
        for (std::size_t i = 0; i < rows; ++i) {
            array.validity[i / 8] = static_cast<std::uint8_t>(array.validity[i / 8] & ~(1u << (i % 8)));
        }
        array.null_count = static_cast<std::int64_t>(rows);
    } else if (chunk.wide()) {
        write_typed(batch, c, chunk.wide_offsets(), type, given, first_row, array, rejects);
    } else {
        write_typed(batch, c, chunk.offsets(), type, given, first_row, array, rejects);
    }
    if (array.null_count == 0) array.validity = GrowableBuffer<std::uint8_t>();
}

TypedTable type_table(const std::shared_ptr<const BatchTable>& strings,
                      const TypingRequest& request, bool log);

// The log as a table: its line numbers are int64 (null when unknown), the
// rest strings.
std::shared_ptr<const BatchTable> reject_log(const BatchTable& table,
                                             const std::vector<ColumnType>& types,
                                             const std::vector<std::vector<CellReject>>& rejects,
                                             std::vector<std::uint64_t>& counts) {
    RowStore log;
    add_row(log, {"line", "column", "text", "expected"});
    std::vector<std::string> expected(types.size());
    for (std::size_t c = 0; c < types.size(); ++c) expected[c] = typed::type_name(types[c]);
    for (const std::vector<CellReject>& batch_rejects : rejects) {
        for (const CellReject& reject : batch_rejects) {
            ++counts[reject.column];
            add_row(log, {reject.line > 0 ? std::to_string(reject.line) : std::string(),
                          table.name(reject.column), reject.text, expected[reject.column]});
        }
    }
    TypingRequest line_numbers{.infer = false, .given = {ColumnType{.type = ValueType::kInt64}}};
    line_numbers.threads = 1;
    auto strings = std::make_shared<const BatchTable>(build_batches(std::move(log), true, 4));
    return type_table(strings, line_numbers, false).table;
}

}  // namespace

BatchTable BatchTable::with_types(std::vector<typed::ColumnType> types,
                                  std::vector<std::shared_ptr<const TypedCells>> typed) const {
    BatchTable out = *this;
    out.types_ = std::move(types);
    for (std::size_t b = 0; b < out.batches_.size(); ++b) {
        out.batches_[b].typed = std::move(typed[b]);
    }
    return out;
}

namespace {

bool same_type(const ColumnType& a, const ColumnType& b) noexcept {
    return a.type == b.type && a.precision == b.precision && a.scale == b.scale &&
           a.utc == b.utc && a.style.decimal == b.style.decimal && a.order == b.order;
}

// Sets types[c] for the columns of `columns` from a tally of all their
// cells (a given type completed with how the column writes its values).
void decide_whole(const std::vector<RecordBatch>& batches, std::vector<bool> columns,
                  const std::vector<bool>& given, std::size_t rows, const TypingRequest& request,
                  std::vector<ColumnType>& types) {
    const std::vector<bool> asked = columns;
    if (std::find(columns.begin(), columns.end(), true) == columns.end()) return;
    const std::vector<ColumnTally> tallies =
        tally_columns(batches, columns, given, rows, request.threads, false);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (!asked[c]) continue;
        if (!columns[c]) {
            types[c] = ColumnType{};  // given up: text
        } else if (given[c]) {
            types[c] = typed::complete_type(*request.given[c], tallies[c], request.delimiter);
        } else {
            types[c] = typed::decide_type(tallies[c], request.delimiter);
        }
    }
}

// Writes the typed columns among `columns` of every batch into `cells`
// (made on first use), their misfits into `rejects`.
void write_batches(const std::vector<RecordBatch>& batches,
                   const std::vector<std::size_t>& first_row, const std::vector<ColumnType>& types,
                   const std::vector<bool>& given, const std::vector<bool>& columns,
                   unsigned threads, std::vector<std::shared_ptr<TypedCells>>& cells,
                   std::vector<std::vector<CellReject>>& rejects) {
    for_each_batch(batches.size(), threads, [&](std::size_t b) {
        if (cells[b] == nullptr) {
            cells[b] = std::make_shared<TypedCells>();
            cells[b]->columns.resize(types.size());
        }
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (!columns[c]) continue;
            cells[b]->columns[c] = TypedArray();
            if (!types[c].typed()) continue;
            write_column(batches[b], c, types[c], given[c], first_row[b], cells[b]->columns[c],
                         rejects[b]);
        }
    });
}

// With `log`, also the reject log (the log's own table has none).
TypedTable type_table(const std::shared_ptr<const BatchTable>& strings,
                      const TypingRequest& request, bool log) {
    const BatchTable& table = *strings;
    const std::size_t width = table.width();
    const std::vector<RecordBatch>& batches = table.batches();
    TypedTable out;
    out.reject_counts.assign(width, 0);
    out.table = strings;

    const std::size_t typable = std::min(width, kMaxTypedColumns);
    std::vector<bool> given(typable, false);
    std::vector<bool> tallied(typable, false);
    for (std::size_t c = 0; c < typable; ++c) {
        given[c] = c < request.given.size() && request.given[c].has_value();
        tallied[c] = given[c] ? request.given[c]->typed() : request.infer;
    }
    // A column to infer is typed from the sample when the sample reads as a
    // type; the others (given ones, and those the sample leaves open) are
    // tallied whole.
    std::vector<ColumnType> types(width);
    std::vector<bool> from_sample(typable, false);
    std::vector<bool> whole = tallied;
    std::vector<bool> sampled(typable, false);
    for (std::size_t c = 0; c < typable; ++c) sampled[c] = tallied[c] && !given[c];
    const std::vector<ColumnTally> samples =
        tally_columns(batches, sampled, given, table.rows(), request.threads, true);
    for (std::size_t c = 0; c < typable; ++c) {
        if (!tallied[c] || given[c]) continue;
        whole[c] = false;
        if (!sampled[c]) continue;  // plain text
        types[c] = typed::decide_type(samples[c], request.delimiter);
        from_sample[c] = types[c].typed();
        whole[c] = !from_sample[c];
    }
    decide_whole(batches, whole, given, table.rows(), request, types);
    if (std::none_of(types.begin(), types.end(), [](const ColumnType& t) { return t.typed(); })) {
        if (log) out.rejects = reject_log(table, {}, {}, out.reject_counts);
        return out;
    }

    std::vector<std::size_t> first_row(batches.size(), 0);
    for (std::size_t b = 1; b < batches.size(); ++b) {
        first_row[b] = first_row[b - 1] + static_cast<std::size_t>(batches[b - 1].rows);
    }
    std::vector<std::shared_ptr<TypedCells>> writing(batches.size());
    std::vector<std::vector<CellReject>> rejects(batches.size());
    std::vector<bool> all(typable, true);
    write_batches(batches, first_row, types, given, all, request.threads, writing, rejects);

    // A column typed from the sample whose cells did not all fit is decided
    // again from all of them (a day-first date past the sample, a `1.5`
    // after the integers), and written again when that changes its type.
    std::vector<bool> again(typable, false);
    for (const std::vector<CellReject>& batch_rejects : rejects) {
        for (const CellReject& reject : batch_rejects) again[reject.column] = from_sample[reject.column];
    }
    std::vector<ColumnType> before = types;
    decide_whole(batches, again, given, table.rows(), request, types);
    std::vector<bool> rewrite(typable, false);
    for (std::size_t c = 0; c < typable; ++c) rewrite[c] = !same_type(before[c], types[c]);
    if (std::find(rewrite.begin(), rewrite.end(), true) != rewrite.end()) {
        for (std::vector<CellReject>& batch_rejects : rejects) {
            std::erase_if(batch_rejects, [&](const CellReject& r) { return rewrite[r.column]; });
        }
        write_batches(batches, first_row, types, given, rewrite, request.threads, writing, rejects);
    }
    // The log lists a batch's misfits row by row.
    for (std::vector<CellReject>& batch_rejects : rejects) {
        std::sort(batch_rejects.begin(), batch_rejects.end(),
                  [](const CellReject& a, const CellReject& b) {
                      return a.row != b.row ? a.row < b.row : a.column < b.column;
                  });
    }
    std::vector<std::shared_ptr<const TypedCells>> cells(writing.begin(), writing.end());
    if (log) out.rejects = reject_log(table, types, rejects, out.reject_counts);
    out.table =
        std::make_shared<const BatchTable>(table.with_types(std::move(types), std::move(cells)));
    return out;
}

}  // namespace

TypedTable type_columns(const std::shared_ptr<const BatchTable>& strings,
                        const TypingRequest& request) {
    return type_table(strings, request, true);
}

RecordBatch type_batch(const RecordBatch& batch, const std::vector<ColumnType>& types,
                       const std::vector<bool>& given, std::size_t first_row,
                       std::vector<CellReject>& rejects) {
    auto cells = std::make_shared<TypedCells>();
    cells->columns.resize(types.size());
    const std::size_t before = rejects.size();
    for (std::size_t c = 0; c < types.size(); ++c) {
        if (!types[c].typed()) continue;
        write_column(batch, c, types[c], c < given.size() && given[c], first_row,
                     cells->columns[c], rejects);
    }
    // Written column by column; the log lists them row by row.
    std::sort(rejects.begin() + static_cast<std::ptrdiff_t>(before), rejects.end(),
              [](const CellReject& a, const CellReject& b) {
                  return a.row != b.row ? a.row < b.row : a.column < b.column;
              });
    RecordBatch typed_batch = batch;
    typed_batch.typed = std::move(cells);
    return typed_batch;
}

std::shared_ptr<const BatchTable> reject_log_of(const BatchTable& table,
                                                const std::vector<ColumnType>& types,
                                                std::vector<CellReject> rejects,
                                                std::vector<std::uint64_t>& counts) {
    counts.assign(table.width(), 0);
    std::vector<std::vector<CellReject>> batches;
    batches.push_back(std::move(rejects));
    return reject_log(table, types, batches, counts);
}

}  // namespace quillon::arrow

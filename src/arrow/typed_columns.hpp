// Typed columns for a table of string columns, and the log of the cells that
// did not fit their column's type.
//
// Two passes over the batches, each spread over threads batch by batch: the
// first tallies what every cell could be (typed_inference.hpp), the second
// writes each typed column's Arrow buffers straight from the batch's text.
// A cell of a typed column ends up as its value, as null when its text is a
// null spelling (or the row had no such cell), or as null and a row of the
// reject log: nothing becomes null unannounced.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/growable_buffer.hpp"
#include "record_batches.hpp"
#include "typed_column_type.hpp"

namespace quillon::arrow {

// One typed column of one batch, laid out for Arrow: 8 bytes a value
// (int64, float64, timestamp), 4 (date32), 16 (decimal128) or one bit
// (bool), in 8-byte words; a validity bitmap unless no cell is null.
struct TypedArray {
    GrowableBuffer<std::int64_t> values;
    GrowableBuffer<std::uint8_t> validity;
    std::int64_t null_count = 0;
};

// A batch's typed columns, one per column of the table (a string column's
// is empty and unused).
struct TypedCells {
    std::vector<TypedArray> columns;
};

struct TypingRequest {
    // Infer the types of the columns not given; false leaves them strings.
    bool infer = true;
    // Column c's type when given[c] is set (given may be shorter than the
    // table). A given type is kept however few cells fit it.
    std::vector<std::optional<typed::ColumnType>> given;
    // The input's delimiter: it settles what `1,234` means.
    char delimiter = ',';
    // 0 for every core.
    unsigned threads = 0;
};

struct TypedTable {
    std::shared_ptr<const BatchTable> table;
    // line (int64: the input line where the cell's record begins, counted
    // from 1 over every line of the input; null for a table read without
    // its lines), column, text, expected (strings).
    std::shared_ptr<const BatchTable> rejects;
    // Per column.
    std::vector<std::uint64_t> reject_counts;
};

// Throws only std::bad_alloc.
TypedTable type_columns(const std::shared_ptr<const BatchTable>& strings,
                        const TypingRequest& request);

// A table read as a stream is typed batch by batch: type_columns over its
// first batches decides the types, then each batch is written with them as
// it is handed out (type_batch), and the log is made of every batch's
// misfits at the end (reject_log_of).

// A cell that is no value of its column's type (and no null spelling).
struct CellReject {
    // From 0 in the table.
    std::size_t row;
    // Where its record begins in the input; 0 when the table does not know.
    std::int64_t line;
    std::size_t column;
    std::string text;
};

// The batch with its typed columns (those of `types` that are typed, as
// type_columns writes them; `given` as in TypingRequest), its misfits added
// to `rejects` row by row, numbered from `first_row`. Throws only
// std::bad_alloc.
RecordBatch type_batch(const RecordBatch& batch, const std::vector<typed::ColumnType>& types,
                       const std::vector<bool>& given, std::size_t first_row,
                       std::vector<CellReject>& rejects);

// The reject log of `table`'s misfits (in row order), as type_columns makes
// it; `counts` gets the misfits per column.
std::shared_ptr<const BatchTable> reject_log_of(const BatchTable& table,
                                                const std::vector<typed::ColumnType>& types,
                                                std::vector<CellReject> rejects,
                                                std::vector<std::uint64_t>& counts);


}  // namespace quillon::arrow

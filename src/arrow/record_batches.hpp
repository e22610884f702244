// The salvaged rows as Arrow record batches of string columns.
//
// A RowStore keeps rows one after the other; Arrow wants each column's text
// in one piece. A BatchBuilder copies rows into that shape batch by batch, as
// they come, so that a run never holds all its rows in row form: it takes the
// kept rows of one span of the input (it is the span's KeptRowSink) and a
// TableBuilder joins the spans' batches in input order.
//
// A batch keeps its cells in three buffers whatever its width, so that a
// table of millions of columns costs a few bytes per cell besides its text:
//   values    the text of column 0's cells, then column 1's, and so on;
//   offsets   width * rows + 1 offsets into values (32-bit, or 64-bit for a
//             batch of more than 2 GiB, which is a single row): column c's
//             Arrow offsets are the rows + 1 from index c * rows, and the
//             last of them is the first of column c + 1;
//   validity  one bitmap of (rows + 7) / 8 bytes per column that misses a
//             cell (a row shorter than the table) or holds a null (`\N` of a
//             dump, row_store.hpp), from the first such column.
// Batches are immutable and shared: exported arrays keep the batch they point
// into alive, so the table may go away while a consumer still holds them.
//
// No Python here; export.hpp hands the batches out through the C interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/growable_buffer.hpp"
#include "engine/row_store.hpp"
#include "engine/salvage_run.hpp"
#include "typed_column_type.hpp"

namespace quillon::arrow {

struct BatchLimits {
    // Rows per batch.
    std::size_t max_rows = std::size_t{1} << 17;
    // Field text per batch; a batch goes over it only with a single row. A
    // column with one field longer than this is exported with 64-bit offsets.
    std::size_t max_bytes = 0x7FFFFFFF;
};

// The cells of one batch, laid out as the top of this file says.
struct BatchCells {
    std::int64_t rows = 0;
    // Columns the batch's rows reach; a table may be wider.
    std::size_t width = 0;
    // Columns [0, full) have a cell in every row, and no bitmap.
    std::size_t full = 0;
    bool wide = false;
    GrowableBuffer<char> values;
    GrowableBuffer<std::int32_t> offsets;
    GrowableBuffer<std::int64_t> wide_offsets;
    GrowableBuffer<std::uint8_t> validity;
    // Per row, the line where its record begins, counted from 1 at the first
    // byte of the span it was read in (RecordBatch::line_offset makes it the
    // input's); empty when the rows came without their lines.
    GrowableBuffer<std::int64_t> first_lines;
};

// One column of one batch: a view of the batch's buffers.
class ColumnChunk {
public:
    ColumnChunk(const BatchCells& cells, std::size_t column) noexcept
        : cells_(&cells), column_(column) {}

    std::int64_t length() const noexcept { return cells_->rows; }
    std::int64_t null_count() const noexcept;
    // No row of the batch reaches this column: every cell is null and there
    // are no buffers.
    bool absent() const noexcept { return column_ >= cells_->width; }
    // 64-bit offsets (wide_offsets()) instead of 32-bit ones (offsets()).
    bool wide() const noexcept { return cells_->wide; }
    // length()+1 offsets into values(), which is the whole batch's text.
    const std::int32_t* offsets() const noexcept {
        return cells_->offsets.data() + column_ * static_cast<std::size_t>(cells_->rows);
    }
    const std::int64_t* wide_offsets() const noexcept {
        return cells_->wide_offsets.data() + column_ * static_cast<std::size_t>(cells_->rows);
    }
    const char* values() const noexcept { return cells_->values.data(); }
    std::size_t value_bytes() const noexcept { return cells_->values.size(); }
    // Where the column's text begins and ends in values().
    std::size_t first_offset() const noexcept { return offset_at(0); }
    std::size_t last_offset() const noexcept {
        return offset_at(static_cast<std::size_t>(cells_->rows));
    }
    // Bit i (least significant first) set when cell i holds a value; null
    // when every cell does (or none: see absent()).
    const std::uint8_t* validity() const noexcept;

private:
    std::size_t offset_at(std::size_t i) const noexcept {
        return wide() ? static_cast<std::size_t>(wide_offsets()[i])
                      : static_cast<std::size_t>(offsets()[i]);
    }
    const BatchCells* cells_;
    std::size_t column_;
};

// The typed columns of one batch (typed_columns.hpp).
struct TypedCells;

struct RecordBatch {
    std::int64_t rows = 0;
    std::shared_ptr<const BatchCells> cells;
    // Set in a table whose columns have types: the values of its typed
    // columns, which are then exported instead of the cells' text.
    std::shared_ptr<const TypedCells> typed;
    // The input's lines before the span the rows were read in.
    std::int64_t line_offset = 0;

    ColumnChunk column(std::size_t c) const noexcept { return ColumnChunk(*cells, c); }
    // The input line (from 1) where row i's record begins; 0 when unknown.
    std::int64_t line(std::size_t i) const noexcept {
        return cells->first_lines.size() > i ? cells->first_lines[i] + line_offset : 0;
    }
};

class BatchTable {
public:
    std::string name(std::size_t column) const;
    std::vector<std::string> names() const;
    std::size_t width() const noexcept { return width_; }
    std::size_t rows() const noexcept { return rows_; }
    const std::vector<RecordBatch>& batches() const noexcept { return batches_; }
    // Whether the column has a field longer than the batch limit: it is
    // exported with 64-bit offsets.
    bool wide(std::size_t column) const noexcept {
        return column < wide_.size() && wide_[column] != 0;
    }
    // The columns' types; empty when every column holds strings.
    const std::vector<typed::ColumnType>& types() const noexcept { return types_; }
    // The same table whose columns have `types` and whose batch i carries
    // typed[i] (typed_columns.cpp).
    BatchTable with_types(std::vector<typed::ColumnType> types,
                          std::vector<std::shared_ptr<const TypedCells>> typed) const;
    // The same names, width and types over `batches` (a table read as a
    // stream: its batches come later, or from several reads).
    BatchTable with_batches(std::vector<RecordBatch> batches) const;

private:
    friend class TableBuilder;
    // The names taken from a header row, back to back (name c ends at
    // name_ends_[c]); the columns past them are column_N, made when asked
    // for, so that a table of millions of unnamed columns keeps no names.
    std::string names_text_;
    std::vector<std::size_t> name_ends_;
    std::size_t width_ = 0;
    std::vector<std::uint8_t> wide_;
    std::vector<RecordBatch> batches_;
    std::size_t rows_ = 0;
    std::vector<typed::ColumnType> types_;
};

// Column names from a header row: a blank name (empty or only spaces and
// tabs) becomes column_N (N counting from 1), a name taken already gets _2,
// _3, ... Without a header row, or past its end, column_N.
std::vector<std::string> column_names(const RowView* header, std::size_t width);

// Turns the kept rows of one span into batches as they come. Rows are copied
// into a batch-sized store of their own until a batch is full, then into
// columns; a store already as big as a batch is turned into columns as it is.
class BatchBuilder final : public KeptRowSink {
public:
    // With `first_row_aside`, the first row taken is kept apart (it may be
    // the table's header) instead of going into a batch.
    explicit BatchBuilder(const BatchLimits& limits, bool first_row_aside = false);

    bool take(const RowStore& rows) override;
    bool wants_lines() const noexcept override { return true; }
    bool take_lines(const RowStore& rows, const std::size_t* first_lines) override;
    void finish() override;
    void lines_before(std::size_t lines) override { line_offset_ = static_cast<std::int64_t>(lines); }

private:
    friend class TableBuilder;
    void add_rows(const RowStore& rows, std::size_t begin, const std::size_t* first_lines);
    void flush();
    void note_long_row(const RowView& row);

    BatchLimits limits_;
    std::size_t batch_bytes_;
    bool aside_wanted_;
    RowStore aside_;
    std::size_t aside_line_ = 0;
    RowStore pending_;
    // The lines of pending_'s rows, while the rows come with theirs.
    std::vector<std::size_t> pending_lines_;
    std::vector<RecordBatch> batches_;
    std::size_t widest_ = 0;
    std::vector<std::uint8_t> wide_;
    std::int64_t line_offset_ = 0;
};

// Joins the spans' batches, in input order, into a table.
class TableBuilder {
public:
    explicit TableBuilder(const BatchLimits& limits = {}) : limits_(limits) {}
    // The next span's batches; its builder is left empty.
    void add(BatchBuilder& span);
    // The table. With `header`, the first row (the one the first span's
    // builder set aside) gives the names and is no data; without, that row
    // is the table's first. The width is `columns` or the widest row,
    // whichever is more; shorter rows get null cells.
    BatchTable finish(bool header, std::size_t columns);

private:
    BatchLimits limits_;
    std::vector<RecordBatch> batches_;
    RowStore aside_;
    std::size_t aside_line_ = 0;
    std::int64_t aside_offset_ = 0;
    bool aside_set_ = false;
    std::size_t widest_ = 0;
    std::vector<std::uint8_t> wide_;
    std::size_t rows_ = 0;
};

// The rows of a store as record batches. With `header`, the first row gives
// the names and is no data. Throws only std::bad_alloc.
BatchTable build_batches(const RowStore& rows, bool header, std::size_t columns,
                         const BatchLimits& limits = {});
// The same from a store that is no longer needed: its memory goes back to
// the system as soon as the batches are built.
BatchTable build_batches(RowStore&& rows, bool header, std::size_t columns,
                         const BatchLimits& limits = {});

}  // namespace quillon::arrow

// The salvaged rows as Arrow record batches of string columns.
//
// A RowStore keeps rows one after the other; Arrow wants each column's text
// in one piece. build_batches copies the rows into that shape once, batch by
// batch: per column of a batch, the field text back to back, one offset per
// cell (32-bit, so a batch holds at most 2 GiB of text), and a validity
// bitmap only when the column has missing cells. The result is immutable and
// every chunk is shared: exported arrays keep the chunks they point into
// alive, so the table may go away while a consumer still holds its batches.
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

namespace quillon::arrow {

struct BatchLimits {
    // Rows per batch.
    std::size_t max_rows = std::size_t{1} << 17;
    // Field text per batch; a batch goes over it only with a single row. A
    // column with one field longer than this takes 64-bit offsets.
    std::size_t max_bytes = 0x7FFFFFFF;
    // Worker threads; batches are built in parallel when there are several.
    unsigned threads = 1;
};

// One column of one batch.
class ColumnChunk {
  public:
    std::int64_t length() const noexcept { return length_; }
    std::int64_t null_count() const noexcept { return null_count_; }
    // 64-bit offsets (large_utf8) instead of 32-bit ones.
    bool wide() const noexcept { return wide_; }
    // length()+1 offsets into values(); offsets() when narrow, wide_offsets() when wide.
    const std::int32_t* offsets() const noexcept { return offsets_.data(); }
    const std::int64_t* wide_offsets() const noexcept { return wide_offsets_.data(); }
    const char* values() const noexcept { return values_.data(); }
    std::size_t value_bytes() const noexcept { return values_.size(); }
    // Bit i (least significant first) set when cell i holds a value; null
    // when every cell does.
    const std::uint8_t* validity() const noexcept {
        return null_count_ == 0 ? nullptr : validity_.data();
    }

  private:
    friend class ChunkWriter;
    std::int64_t length_ = 0;
    std::int64_t null_count_ = 0;
    bool wide_ = false;
    GrowableBuffer<std::int32_t> offsets_;
    GrowableBuffer<std::int64_t> wide_offsets_;
    GrowableBuffer<char> values_;
    GrowableBuffer<std::uint8_t> validity_;
};

struct RecordBatch {
    std::int64_t rows = 0;
    std::vector<std::shared_ptr<const ColumnChunk>> columns;
};

class BatchTable {
  public:
    const std::vector<std::string>& names() const noexcept { return names_; }
    std::size_t width() const noexcept { return names_.size(); }
    std::size_t rows() const noexcept { return rows_; }
    const std::vector<RecordBatch>& batches() const noexcept { return batches_; }
    // Whether the column needs 64-bit offsets (then in every batch).
    bool wide(std::size_t column) const noexcept { return wide_[column] != 0; }

  private:
    friend class TableBuilder;
    std::vector<std::string> names_;
    std::vector<std::uint8_t> wide_;
    std::vector<RecordBatch> batches_;
    std::size_t rows_ = 0;
};

// Column names from a header row: a blank name (empty or only spaces and
// tabs) becomes column_N (N counting from 1), a name taken already gets _2,
// _3, ... Without a header row, or past its end, column_N.
std::vector<std::string> column_names(const RowView* header, std::size_t width);

// The rows as record batches. With `header`, the first row gives the names
// and is no data. The width is `columns` or the widest row, whichever is
// more; shorter rows get null cells. Throws only std::bad_alloc.
BatchTable build_batches(const RowStore& rows, bool header, std::size_t columns,
                         const BatchLimits& limits = {});
// The same from a store that is no longer needed: the text of each batch's
// rows goes back to the system as soon as the batch is built, so that the
// rows and the batches never take their whole room at once.
BatchTable build_batches(RowStore&& rows, bool header, std::size_t columns,
                         const BatchLimits& limits = {});

}  // namespace quillon::arrow

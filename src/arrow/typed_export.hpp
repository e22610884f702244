// Handing a typed column of a batch out through the Arrow C data interface,
// as export.hpp does for string columns: the array holds a shared reference
// to the batch's typed cells, so it outlives the table and the stream.
#pragma once

#include <cstddef>

#include "arrow_c_abi.hpp"
#include "record_batches.hpp"

namespace quillon::arrow {

// Fills *out with typed column `column` of a batch that has typed cells;
// throws std::bad_alloc before anything is written to *out.
void export_typed_column(const RecordBatch& batch, std::size_t column, ArrowArray* out);

}  // namespace quillon::arrow

// Handing a BatchTable out through the Arrow C data and C stream interfaces.
//
// Every exported struct owns what it points to through its private_data, a
// heap object apart from the struct, so consumers may move the struct or
// any child of it. An exported column holds a shared reference to its chunk:
// it stays valid after the parent batch, the stream and the table are gone.
// A column exported in another layout than the chunk's own (64-bit offsets,
// string views) gets its derived buffer at export time, owned the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow_c_abi.hpp"
#include "record_batches.hpp"

namespace quillon::arrow {

enum class StringLayout : std::uint8_t {
    kUtf8,       // "u": 32-bit offsets
    kLargeUtf8,  // "U": 64-bit offsets
    kUtf8View,   // "vu": 16-byte views, short strings inline
};

// What consumers get unless they ask otherwise; bench/read_bench.py measures
// the three layouts against each consumer.
inline constexpr StringLayout kDefaultLayout = StringLayout::kUtf8;

// The names and layouts in which a stream hands out a table's columns.
struct ExportPlan {
    std::vector<std::string> names;
    std::vector<StringLayout> layouts;
    // The table's column types (empty when all are strings): a typed
    // column is exported with its type instead of a layout.
    std::vector<typed::ColumnType> types;
};

// The table's names, each column in `layout`, but large_utf8 for a column
// that needs 64-bit offsets.
ExportPlan default_plan(const BatchTable& table, StringLayout layout = kDefaultLayout);

// A consumer's requested schema: a struct with one field per column, each a
// string, large string or string view, gives the names and layouts (a wide
// column stays large_utf8). Any other request gets the default plan.
ExportPlan requested_plan(const BatchTable& table, const ArrowSchema& requested);

// Each fills *out, which the caller releases with out->release. They throw
// std::bad_alloc before anything is written to *out.
void export_schema(const ExportPlan& plan, ArrowSchema* out);
// Batch as a struct array whose children are the columns.
void export_batch(const RecordBatch& batch, const ExportPlan& plan, ArrowArray* out);
// A stream over the table's batches, from the first.
void export_stream(std::shared_ptr<const BatchTable> table, ExportPlan plan, ArrowArrayStream* out);

}  // namespace quillon::arrow

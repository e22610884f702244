// Reads exported Arrow string columns back as a consumer would: by the
// format string of the schema, from the buffers alone. Shared by the tests
// and the fuzz target of src/arrow.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_c_abi.hpp"
#include "arrow/export.hpp"

namespace arrow_reader {

using Cell = std::optional<std::string>;
using Rows = std::vector<std::vector<Cell>>;

inline bool valid(const ArrowArray& a, std::int64_t i) {
    if (a.buffers[0] == nullptr) return true;
    const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
    const std::int64_t bit = a.offset + i;
    return (bits[bit / 8] >> (bit % 8) & 1) != 0;
}

// The cells of one column; an empty result with `ok` false when the buffers
// contradict each other (an offset or a view outside its buffer).
inline std::vector<Cell> read_column(std::string_view format, const ArrowArray& a, bool& ok) {
    std::vector<Cell> cells;
    ok = false;
    const auto n = static_cast<std::size_t>(a.length);
    if (format == "u" || format == "U") {
        if (a.n_buffers != 3 || a.buffers[1] == nullptr || a.buffers[2] == nullptr) return {};
        const char* data = static_cast<const char*>(a.buffers[2]);
        for (std::size_t i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(a.offset) + i;
            std::int64_t begin = 0;
            std::int64_t end = 0;
            if (format == "u") {
                begin = static_cast<const std::int32_t*>(a.buffers[1])[k];
                end = static_cast<const std::int32_t*>(a.buffers[1])[k + 1];
            } else {
                begin = static_cast<const std::int64_t*>(a.buffers[1])[k];
                end = static_cast<const std::int64_t*>(a.buffers[1])[k + 1];
            }
            if (begin < 0 || end < begin) return {};
            cells.push_back(
                valid(a, static_cast<std::int64_t>(i))
                    ? Cell(std::string(data + begin, static_cast<std::size_t>(end - begin)))
                    : std::nullopt);
        }
    } else if (format == "vu") {
        if (a.n_buffers < 3 || a.buffers[1] == nullptr) return {};
        const auto data_buffers = static_cast<std::size_t>(a.n_buffers - 3);
        const auto* sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
        const auto* views = static_cast<const unsigned char*>(a.buffers[1]);
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char* v = views + 16 * (static_cast<std::size_t>(a.offset) + i);
            std::int32_t size = 0;
            std::memcpy(&size, v, 4);
            if (size < 0) return {};
            std::string text;
            if (size <= 12) {
                text.assign(reinterpret_cast<const char*>(v + 4), static_cast<std::size_t>(size));
                // Inline strings are zero padded.
                for (std::size_t p = static_cast<std::size_t>(size); p < 12; ++p) {
                    if (v[4 + p] != 0) return {};
                }
            } else {
                std::int32_t index = 0;
                std::int32_t offset = 0;
                std::memcpy(&index, v + 8, 4);
                std::memcpy(&offset, v + 12, 4);
                if (index < 0 || static_cast<std::size_t>(index) >= data_buffers || offset < 0 ||
                    offset + std::int64_t{size} > sizes[index]) {
                    return {};
                }
                const char* data = static_cast<const char*>(a.buffers[2 + index]);
                text.assign(data + offset, static_cast<std::size_t>(size));
                if (std::memcmp(v + 4, text.data(), 4) != 0) return {};
            }
            cells.push_back(valid(a, static_cast<std::int64_t>(i)) ? Cell(std::move(text))
                                                                   : std::nullopt);
        }
    } else {
        return {};
    }
    ok = true;
    return cells;
}

// Appends the rows of a struct batch to `rows`; false when a column cannot
// be read or the batch does not fit the schema.
inline bool append_batch(const ArrowSchema& schema, const ArrowArray& batch, Rows& rows) {
    if (batch.n_children != schema.n_children) return false;
    const std::size_t first = rows.size();
    rows.resize(first + static_cast<std::size_t>(batch.length),
                std::vector<Cell>(static_cast<std::size_t>(schema.n_children)));
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        const ArrowArray& column = *batch.children[c];
        if (column.length != batch.length) return false;
        bool ok = false;
        std::vector<Cell> cells = read_column(schema.children[c]->format, column, ok);
        if (!ok) return false;
        std::int64_t nulls = 0;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (!cells[i]) ++nulls;
            rows[first + i][static_cast<std::size_t>(c)] = std::move(cells[i]);
        }
        if (nulls != column.null_count) return false;
    }
    return true;
}

// The rows of `batches` exported as `plan` says and read back; `ok` false
// when one does not read.
inline Rows rows_of(const quillon::arrow::ExportPlan& plan,
                    const std::vector<quillon::arrow::RecordBatch>& batches, bool& ok) {
    Rows rows;
    ArrowSchema schema{};
    quillon::arrow::export_schema(plan, &schema);
    ok = true;
    for (const quillon::arrow::RecordBatch& batch : batches) {
        ArrowArray array{};
        quillon::arrow::export_batch(batch, plan, &array);
        ok = append_batch(schema, array, rows) && ok;
        array.release(&array);
    }
    schema.release(&schema);
    return rows;
}

}  // namespace arrow_reader

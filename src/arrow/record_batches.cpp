#include "record_batches.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace quillon::arrow {

namespace {

constexpr std::size_t kMaxNarrowBytes = 0x7FFFFFFF;
constexpr std::size_t kCopySlack = 16;
// A batch is cut once it holds this much text, whatever the limits allow:
// rows wait in a builder's own store until their batch is full, and this
// bounds that store.
constexpr std::size_t kMaxBatchText = std::size_t{64} << 20;
// Rows handed over with at least this much text, and no rows waiting before
// them, go into columns at once instead of through the builder's store: a
// large row is never copied twice.
constexpr std::size_t kDirectBatchText = std::size_t{1} << 20;

bool blank(std::string_view name) noexcept {
    return name.find_first_not_of(" \t") == std::string_view::npos;
}

std::string numbered(std::size_t column) { return "column_" + std::to_string(column + 1); }

std::size_t bitmap_bytes(std::int64_t rows) noexcept {
    return (static_cast<std::size_t>(rows) + 7) / 8;
}

// Calls take(column, text, length, null) for each field of the row. A row
// without a long field, the usual case, is walked on its slots: each is one
// field, its text right after the one before, and only a row with a byte of
// 0x80 and above can hold a null (an empty field marked non-ASCII).
template <typename Take>
[[gnu::always_inline]] inline std::size_t for_each_field(const RowView& row, Take&& take) {
    std::size_t c = 0;
    if (!row.has_long()) {
        const char* src = row.text().data();
        const bool may_hold_null = !row.all_ascii();
        for (const std::uint16_t* slot = row.slots_begin(); slot != row.slots_end(); ++slot, ++c) {
            const std::size_t len = *slot & field_flags::kLengthMask;
            take(c, src, len, may_hold_null && len == 0 && (*slot & field_flags::kNonAscii) != 0);
            src += len;
        }
        return c;
    }
    for (const FieldRef field : row) {
        take(c, field.text.data(), field.text.size(), field.null());
        ++c;
    }
    return c;
}

// Writes the cells of rows [begin, end) column after column; `start[c]` is
// where column c's text begins (start[width] is the total).
template <typename Offset>
void write_columns(const RowStore& rows, std::size_t begin, std::size_t end,
                   const std::vector<std::size_t>& start, BatchCells& cells, Offset* offsets) {
    const std::size_t n = end - begin;
    const std::size_t width = cells.width;
    char* const values = cells.values.data();
    std::uint8_t* const validity = cells.validity.data();
    const std::size_t bitmap = bitmap_bytes(cells.rows);
    std::vector<std::size_t> pos(start.begin(), start.end() - 1);
    // Short fields are copied 16 bytes at a time when that stays inside
    // their column's text (the last column has the buffer's slack) and
    // inside the store's text.
    std::vector<std::size_t> limit(start.begin() + 1, start.end());
    limit[width - 1] += kCopySlack;
    const RowView last = rows[rows.size() - 1];
    const char* const copy_limit = last.text().data() + last.text_size();
    for (std::size_t r = begin; r < end; ++r) {
        const std::size_t i = r - begin;
        const auto clear_valid = [&](std::size_t c) __attribute__((always_inline)) {
            // write_batch left the columns of null cells out of `full`.
            std::uint8_t& byte = validity[(c - cells.full) * bitmap + i / 8];
            byte = static_cast<std::uint8_t>(byte & ~(1u << (i % 8)));
        };
        std::size_t c = for_each_field(
            rows[r], [&](std::size_t col, const char* src, std::size_t len, bool null) __attribute__((always_inline)) {
                offsets[col * n + i] = static_cast<Offset>(pos[col]);
                if (len <= kCopySlack && pos[col] + kCopySlack <= limit[col] &&
                    copy_limit - src >= static_cast<std::ptrdiff_t>(kCopySlack)) {
                    std::memcpy(values + pos[col], src, kCopySlack);
                } else if (len != 0) {
                    std::memcpy(values + pos[col], src, len);
                }
                pos[col] += len;
                if (null) clear_valid(col);
            });
        for (; c < width; ++c) {
            offsets[c * n + i] = static_cast<Offset>(pos[c]);
            clear_valid(c);
        }
    }
    offsets[width * n] = static_cast<Offset>(start[width]);
}

// One row's text is already laid out column after column: it is copied
// whole, and its offsets are the running sums of its field lengths.
template <typename Offset>
void write_single_row(const RowView& row, BatchCells& cells, Offset* offsets) {
    if (row.text_size() != 0) std::memcpy(cells.values.data(), row.text().data(), row.text_size());
    std::size_t at = 0;
    std::size_t c = 0;
    for (const FieldRef field : row) {
        offsets[c++] = static_cast<Offset>(at);
        at += field.text.size();
    }
    offsets[c] = static_cast<Offset>(at);
}

// The column of the row's first null cell, or its width.
std::size_t first_null(const RowView& row) noexcept {
    std::size_t c = 0;
    for (const FieldRef field : row) {
        if (field.null()) return c;
        ++c;
    }
    return c;
}

// Rows [begin, end) of `rows` as one batch; `lines`, when set, holds the
// first line of row `begin` and of each after it.
RecordBatch write_batch(const RowStore& rows, std::size_t begin, std::size_t end,
                        const std::size_t* lines) {
    auto cells = std::make_shared<BatchCells>();
    const std::size_t n = end - begin;
    std::size_t width = 0;
    std::size_t full = SIZE_MAX;
    std::size_t text = 0;
    for (std::size_t r = begin; r < end; ++r) {
        const RowView row = rows[r];
        const std::size_t size = row.size();
        width = std::max(width, size);
        full = std::min(full, size);
        text += row.text_size();
        // A null is an empty field marked non-ASCII: only such rows hold one.
        if (!row.all_ascii()) full = std::min(full, first_null(row));
    }
    cells->rows = static_cast<std::int64_t>(n);
    cells->width = width;
    cells->full = full;
    cells->wide = text > kMaxNarrowBytes;
    cells->values.reserve_tail(text + kCopySlack);
    cells->values.set_size(text);
    const std::size_t count = width * n + 1;
    std::int32_t* narrow = nullptr;
    std::int64_t* wide = nullptr;
    if (cells->wide) {
        wide = cells->wide_offsets.reserve_tail(count);
        cells->wide_offsets.set_size(count);
    } else {
        narrow = cells->offsets.reserve_tail(count);
        cells->offsets.set_size(count);
    }

    if (n == 1 && full == width) {
        if (wide != nullptr) {
            write_single_row(rows[begin], *cells, wide);
        } else {
            write_single_row(rows[begin], *cells, narrow);
        }
    } else {
        const std::size_t bitmaps = (width - full) * bitmap_bytes(cells->rows);
        cells->validity.append_fill(bitmaps, std::uint8_t{0xFF});
        std::vector<std::size_t> start(width + 1, 0);
        for (std::size_t r = begin; r < end; ++r) {
            for_each_field(rows[r], [&](std::size_t c, const char*, std::size_t len, bool)
                                        __attribute__((always_inline)) { start[c + 1] += len; });
        }
        for (std::size_t c = 0; c < width; ++c) start[c + 1] += start[c];
        if (wide != nullptr) {
            write_columns(rows, begin, end, start, *cells, wide);
        } else {
            write_columns(rows, begin, end, start, *cells, narrow);
        }
    }
    if (lines != nullptr) {
        std::int64_t* first = cells->first_lines.reserve_tail(n);
        for (std::size_t i = 0; i < n; ++i) first[i] = static_cast<std::int64_t>(lines[i]);
        cells->first_lines.set_size(n);
    }
    RecordBatch batch;
    batch.rows = cells->rows;
    batch.cells = std::move(cells);
    return batch;
}

void merge_flags(std::vector<std::uint8_t>& into, const std::vector<std::uint8_t>& from) {
    if (into.size() < from.size()) into.resize(from.size(), 0);
    for (std::size_t c = 0; c < from.size(); ++c) into[c] |= from[c];
}

}  // namespace

std::int64_t ColumnChunk::null_count() const noexcept {
    if (absent()) return cells_->rows;
    const std::uint8_t* bits = validity();
    if (bits == nullptr) return 0;
    // The bits past the last row are set, so the clear bits are the nulls.
    const std::size_t bytes = bitmap_bytes(cells_->rows);
    std::size_t set = 0;
    for (std::size_t i = 0; i < bytes; ++i) set += static_cast<std::size_t>(std::popcount(bits[i]));
    return static_cast<std::int64_t>(bytes * 8 - set);
}

const std::uint8_t* ColumnChunk::validity() const noexcept {
    if (column_ < cells_->full || absent()) return nullptr;
    return cells_->validity.data() + (column_ - cells_->full) * bitmap_bytes(cells_->rows);
}

std::string BatchTable::name(std::size_t column) const {
    if (column >= name_ends_.size()) return numbered(column);
    const std::size_t begin = column == 0 ? 0 : name_ends_[column - 1];
    return names_text_.substr(begin, name_ends_[column] - begin);
}

std::vector<std::string> BatchTable::names() const {
    std::vector<std::string> names;
    names.reserve(width_);
    for (std::size_t c = 0; c < width_; ++c) names.push_back(name(c));
    return names;
}

std::vector<std::string> column_names(const RowView* header, std::size_t width) {
    std::vector<std::string> names;
    names.reserve(width);
    if (header == nullptr) {
        // column_N for distinct N never repeat: nothing to check.
        for (std::size_t c = 0; c < width; ++c) names.push_back(numbered(c));
        return names;
    }
    for (const FieldRef field : *header) {
        if (names.size() == width) break;
        names.push_back(blank(field.text) ? numbered(names.size()) : std::string(field.text));
    }
    while (names.size() < width) names.push_back(numbered(names.size()));

    // Earlier columns keep their names; a later one that repeats a name
    // takes the first free suffix, checked against every name in the header.
    std::unordered_set<std::string> taken(names.begin(), names.end());
    std::unordered_set<std::string> seen;
    for (std::string& name : names) {
        if (seen.insert(name).second) continue;
        for (std::size_t n = 2;; ++n) {
            std::string candidate = name + "_" + std::to_string(n);
            if (taken.insert(candidate).second) {
                name = std::move(candidate);
                seen.insert(name);
                break;
            }
        }
    }
    return names;
}

BatchBuilder::BatchBuilder(const BatchLimits& limits, bool first_row_aside)
    : limits_(limits),
      batch_bytes_(std::min({limits.max_bytes, kMaxNarrowBytes, kMaxBatchText})),
      aside_wanted_(first_row_aside) {
    limits_.max_rows = std::max<std::size_t>(limits_.max_rows, 1);
    limits_.max_bytes = std::min(limits_.max_bytes, kMaxNarrowBytes);
}

bool BatchBuilder::take(const RowStore& rows) { return take_lines(rows, nullptr); }

bool BatchBuilder::take_lines(const RowStore& rows, const std::size_t* first_lines) {
    std::size_t begin = 0;
    if (aside_wanted_ && !rows.empty()) {
        aside_.append_row(rows[0]);
        aside_line_ = first_lines != nullptr ? first_lines[0] : 0;
        widest_ = std::max(widest_, rows[0].size());
        aside_wanted_ = false;
        begin = 1;
    }
    add_rows(rows, begin, first_lines);
    return true;
}

void BatchBuilder::note_long_row(const RowView& row) {
    std::size_t c = 0;
    for (const FieldRef field : row) {
        if (field.text.size() > limits_.max_bytes) {
            if (wide_.size() <= c) wide_.resize(c + 1, 0);
            wide_[c] = 1;
        }
        ++c;
    }
}

void BatchBuilder::add_rows(const RowStore& rows, std::size_t begin,
                            const std::size_t* first_lines) {
    const std::size_t n = rows.size();
    // Rows [run, r) of `rows` join the waiting ones in the next batch.
    std::size_t run = begin;
    std::size_t count = pending_.size();
    std::size_t bytes = pending_.text_bytes();
    const auto wait = [&](std::size_t until) {
        pending_.append_rows(rows, run, until);
        if (first_lines != nullptr) {
            pending_lines_.insert(pending_lines_.end(), first_lines + run, first_lines + until);
        }
    };
    const auto write_out = [&](std::size_t until) {
        if (pending_.empty()) {
            batches_.push_back(write_batch(rows, run, until,
                                           first_lines != nullptr ? first_lines + run : nullptr));
        } else {
            wait(until);
            flush();
        }
        run = until;
        count = 0;
        bytes = 0;
    };
    for (std::size_t r = begin; r < n; ++r) {
        const RowView row = rows[r];
        const std::size_t size = row.text_size();
        if (count != 0 &&
            (count == limits_.max_rows || bytes > batch_bytes_ || size > batch_bytes_ - bytes)) {
            write_out(r);
        }
        ++count;
        bytes += size;
        widest_ = std::max(widest_, row.size());
        if (size > limits_.max_bytes) note_long_row(row);
    }
    if (run == n) return;
    if (pending_.empty() && bytes >= kDirectBatchText) {
        write_out(n);
    } else {
        wait(n);
    }
}

void BatchBuilder::flush() {
    if (pending_.empty()) return;
    const bool lines = pending_lines_.size() == pending_.size();
    batches_.push_back(
        write_batch(pending_, 0, pending_.size(), lines ? pending_lines_.data() : nullptr));
    pending_.clear();
    pending_lines_.clear();
}

void BatchBuilder::finish() {
    flush();
    // The store's room goes back now: the builder lives on until its
    // batches are joined to the table.
    pending_ = RowStore();
    pending_lines_ = std::vector<std::size_t>();
}

void TableBuilder::add(BatchBuilder& span) {
    span.finish();
    if (!aside_set_ && !span.aside_.empty()) {
        aside_ = std::move(span.aside_);
        aside_line_ = span.aside_line_;
        aside_offset_ = span.line_offset_;
        aside_set_ = true;
    }
    for (RecordBatch& batch : span.batches_) {
        rows_ += static_cast<std::size_t>(batch.rows);
        batch.line_offset = span.line_offset_;
        batches_.push_back(std::move(batch));
    }
    span.batches_.clear();
    widest_ = std::max(widest_, span.widest_);
    merge_flags(wide_, span.wide_);
}

BatchTable TableBuilder::finish(bool header, std::size_t columns) {
    BatchTable table;
    const std::size_t width = std::max(columns, widest_);
    table.width_ = width;
    if (header && aside_set_) {
        const RowView header_row = aside_[0];
        for (const std::string& name : column_names(&header_row, width)) {
            table.names_text_ += name;
            table.name_ends_.push_back(table.names_text_.size());
        }
    } else {
        if (aside_set_) {
            // The row set aside is data after all: it leads the table.
            BatchBuilder first(limits_);
            first.take_lines(aside_, aside_line_ != 0 ? &aside_line_ : nullptr);
            first.finish();
            merge_flags(wide_, first.wide_);
            rows_ += 1;
            first.batches_.front().line_offset = aside_offset_;
            batches_.insert(batches_.begin(), std::move(first.batches_.front()));
        }
    }
    aside_ = RowStore();
    aside_set_ = false;
    wide_.resize(width, 0);
    table.wide_ = std::move(wide_);
    table.batches_ = std::move(batches_);
    table.rows_ = rows_;
    return table;
}

BatchTable BatchTable::with_batches(std::vector<RecordBatch> batches) const {
    BatchTable out;
    out.names_text_ = names_text_;
    out.name_ends_ = name_ends_;
    out.width_ = width_;
    out.wide_ = wide_;
    out.types_ = types_;
    out.batches_ = std::move(batches);
    for (const RecordBatch& batch : out.batches_) out.rows_ += static_cast<std::size_t>(batch.rows);
    return out;
}

BatchTable build_batches(const RowStore& rows, bool header, std::size_t columns,
                         const BatchLimits& limits) {
    BatchBuilder span(limits, header);
    span.take(rows);
    TableBuilder table(limits);
    table.add(span);
    return table.finish(header, columns);
}

BatchTable build_batches(RowStore&& rows, bool header, std::size_t columns,
                         const BatchLimits& limits) {
    const RowStore store = std::move(rows);
    return build_batches(store, header, columns, limits);
}

}  // namespace quillon::arrow

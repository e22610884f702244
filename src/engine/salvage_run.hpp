// One engine run in two steps: first what is settled over the whole buffer
// before any record is read (delimiter, column count, the row repair's
// profiles, the header that repeats), then the records, read span by span.
//
// A span starts where a record begins and reads records until one ends at or
// past its limit, so a record is never cut; the spans of a buffer, read one
// after the other from where the last one ended, give exactly the rows,
// quarantine and counts of one pass from the start. That lets a caller write
// kept rows as they come instead of holding them all, or read spans on
// several threads (parallel_salvage.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialect.hpp"
#include "options.hpp"
#include "other_tables.hpp"
#include "row_repair.hpp"
#include "row_store.hpp"
#include "salvage.hpp"

namespace quillon {

// Takes the kept rows of a span in batches, in input order; the rows are
// dropped from the span's store once it returns.
class KeptRowSink {
public:
    virtual ~KeptRowSink() = default;
    // False stops the run (a write failed, say): the span ends with
    // SalvageResult::stopped set.
    virtual bool take(const RowStore& rows) = 0;
    // Called once after the span's last rows, on the thread that read it.
    virtual void finish() {}
};

// Where a span's reading ended.
struct SpanEnd {
    // The offset of the next record, or the buffer's size.
    std::size_t position = 0;
    // Line breaks read: the next record begins on the span's first line plus this.
    std::size_t lines = 0;
};

// The table's first record after the preamble, kept to recognise the header
// rows that concatenated exports repeat further down.
class HeaderMatcher {
public:
    // `record`: the header's bytes in the input, its line break left out.
    void remember(const RowView& row, std::string_view record);
    bool set() const noexcept { return set_; }
    // The same fields, byte for byte.
    bool matches(const RowView& row) const noexcept;
    // Where a copy of the header glued onto the end of `record` begins (with
    // a byte-order mark before it, from the mark): `cat a.csv b.csv` when
    // a.csv lacks its last line break. npos when there is none.
    std::size_t glued_at(std::string_view record) const noexcept;

private:
    std::string record_;
    std::string text_;
    std::vector<std::size_t> lengths_;
    bool set_ = false;
};

class SalvageRun {
public:
    // Settles delimiter and column count (sniffed and inferred unless
    // given), learns the row repair's profiles and reads the preamble and
    // header records. `buffer` is borrowed for the run's life.
    // Throws only std::bad_alloc.
    SalvageRun(std::string_view buffer, const SalvageOptions& options);

    std::string_view buffer() const noexcept { return buffer_; }
    std::uint8_t delimiter() const noexcept { return dialect_.delimiter; }
    std::size_t expected_columns() const noexcept { return expected_; }
    // The first offset where a span other than the first may begin: past the
    // preamble and the header, which only a span from 0 reads as such.
    std::size_t head_end() const noexcept { return head_end_; }
    // With SalvageOptions::split_tables, the tables below the first.
    const std::vector<OtherTable>& other_tables() const noexcept { return other_tables_; }

    // Reads the records that begin at `from` and after, up to and including
    // the first that ends at or past `until`, into `result`: kept rows into
    // result.rows (or handed to `sink` in batches), set-aside ones into
    // result.quarantine with their lines counted from 1 at `from`, and every
    // count. `from` must be 0 or a record's start at or past head_end().
    // May run on several threads at once, each with its own result and sink.
    SpanEnd read_span(std::size_t from, std::size_t until, SalvageResult& result,
                      KeptRowSink* sink, ProgressHook progress = {}) const;

    // Sets the result's delimiter, column count and reason texts: what a
    // result of this run reports whatever spans it holds.
    void describe(SalvageResult& result) const;

private:
    void find_head(const SalvageOptions& options);

    std::string_view buffer_;
    SalvageOptions options_;
    Dialect dialect_;
    std::size_t expected_ = 0;
    std::optional<RowRepairer> repairer_;
    HeaderMatcher header_;
    std::size_t head_end_ = 0;
    std::vector<OtherTable> other_tables_;
    // Records that begin here or later belong to the other tables.
    std::size_t other_tables_from_ = SIZE_MAX;
};

}  // namespace quillon

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
    // A sink that keeps where its rows came from says so, and is then handed
    // its rows through take_lines() instead: first_lines[i] is the line,
    // counted from 1 at the span's first byte, where row i's record begins.
    // Other sinks cost the run nothing for it.
    virtual bool wants_lines() const noexcept { return false; }
    virtual bool take_lines(const RowStore& rows, const std::size_t* /*first_lines*/) {
        return take(rows);
    }
    // Called once after the span's last rows, on the thread that read it.
    virtual void finish() {}
    // The input's lines before the span's first byte, told once they are
    // known (spans are read before that), before the span is consumed.
    virtual void lines_before(std::size_t /*lines*/) {}
};

// Where a span's reading ended.
struct SpanEnd {
    // The offset of the next record, or the buffer's size.
    std::size_t position = 0;
    // Line breaks read: the next record begins on the span's first line plus this.
    std::size_t lines = 0;
    // The furthest offset its records looked at (RecordTokenizer::reach).
    std::size_t reach = 0;
};

// How far a run has read: the next record's offset and the lines before it.
struct SpanCursor {
    std::size_t position = 0;
    std::size_t lines = 0;
};

// The part of the input in memory while it is read as a stream: `bytes` are
// the input's from offset `base` on; `complete` when they run to its end.
struct InputWindow {
    std::string_view bytes;
    std::size_t base = 0;
    bool complete = true;

    std::size_t end() const noexcept { return base + bytes.size(); }
    // Whether a span that looked as far as `reach` read what a reader of the
    // whole input reads: its look-ahead stayed clear of the window's end.
    bool holds(std::size_t reach) const noexcept;
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

// A record as the look for the tables below the first takes it
// (OtherTableFinder::take), from a span read apart from the look.
struct TableRecord {
    RecordShape shape;
    std::size_t begin = 0;
    std::size_t content_end = 0;
    // The line it begins on, counted from 1 at its span's first byte.
    std::size_t line = 0;
};

// Where a record begins: its offset, and the line it begins on, counted from
// 1 at its span's first byte.
struct RecordStart {
    std::size_t begin = 0;
    std::size_t line = 0;
};

class SalvageRun {
public:
    // Settles delimiter and column count (sniffed and inferred unless
    // given), learns the row repair's profiles and reads the preamble and
    // header records, all from the first options.settle_bytes of `buffer`.
    // `buffer` is borrowed for the run's life, unless only windows are read
    // (then only for the constructor, and `complete` says whether it is the
    // whole input). With options.split_tables the tables below the first are
    // looked for in it (find_tables). Throws only std::bad_alloc.
    SalvageRun(std::string_view buffer, const SalvageOptions& options, bool complete = true);

    std::string_view buffer() const noexcept { return buffer_; }
    std::uint8_t delimiter() const noexcept { return dialect_.delimiter; }
    std::size_t expected_columns() const noexcept { return expected_; }
    // The first offset where a span other than the first may begin: past the
    // preamble and the header, which only a span from 0 reads as such.
    std::size_t head_end() const noexcept { return head_end_; }
    // Whether the preamble and header records were read whole: false when
    // they may run past the end of a buffer that is not the whole input.
    bool head_complete() const noexcept { return head_complete_; }

    // Reads the records that begin at `from` and after, up to and including
    // the first that ends at or past `until`, into `result`: kept rows into
    // result.rows (or handed to `sink` in batches), set-aside ones into
    // result.quarantine with their lines counted from 1 at `from`, and every
    // count. `from` must be 0 or a record's start at or past head_end().
    // May run on several threads at once, each with its own result and sink.
    SpanEnd read_span(std::size_t from, std::size_t until, SalvageResult& result,
                      KeptRowSink* sink, ProgressHook progress = {}) const;
    // The same over a window of the input: offsets, places and `until` are
    // the input's; `from` must lie in the window. What is read is the whole
    // input's reading when window.holds(the returned reach). With
    // `lone_records`, the start of each record read as one field goes there.
    SpanEnd read_span(const InputWindow& window, std::size_t from, std::size_t until,
                      SalvageResult& result, KeptRowSink* sink, ProgressHook progress = {},
                      std::vector<RecordStart>* lone_records = nullptr) const;

    // The records of the span read_span(window, from, until) read, with
    // `lone_records` as it gave them, that the look for the tables below the
    // first must take, in order, into `out`: each record of one field (every
    // break is one), the kOtherTableRecords records after it that are no
    // comments, and as many at the span's start, for a break in the span
    // before. The finder ignores the others (no break is open), so taking
    // these gives what find_tables finds; only they are read again. The head
    // records, which it never takes, are left out. Returns how far the
    // records looked (as SpanEnd::reach). May run on several threads at once.
    std::size_t table_records(const InputWindow& window, std::size_t from, std::size_t until,
                              const std::vector<RecordStart>& lone_records,
                              std::vector<TableRecord>& out) const;

    // Where the notes below the table begin, once the end of a streamed
    // input is known; before any span that reaches them is read.
    void set_footer_from(std::size_t offset) noexcept { options_.footer_from = offset; }

    // A streamed input's tables below the first, looked for in the records
    // of `window` from where the last look stopped, before any span that
    // reaches them is read. Returns where spans must stop for now: the
    // break above records that only more of the input can tell a table by
    // (SIZE_MAX when there is none).
    std::size_t find_tables(const InputWindow& window);
    // Spans were read up to `cursor`: where no break was in sight, the look
    // for tables goes on from there.
    void records_read_to(const SpanCursor& cursor) noexcept;

    // Sets the result's delimiter, column count and reason texts: what a
    // result of this run reports whatever spans it holds.
    void describe(SalvageResult& result) const;

private:
    void find_head(const SalvageOptions& options, bool complete);

    std::string_view buffer_;
    SalvageOptions options_;
    Dialect dialect_;
    std::size_t expected_ = 0;
    std::optional<RowRepairer> repairer_;
    HeaderMatcher header_;
    std::size_t head_end_ = 0;
    std::size_t head_lines_ = 0;
    bool head_complete_ = true;
    std::optional<OtherTableFinder> tables_;
    // Where the look for tables goes on: a record's start, lines before it.
    SpanCursor table_scan_;
    // Records that begin here or later belong to the other tables.
    std::size_t other_tables_from_ = SIZE_MAX;
};

}  // namespace quillon

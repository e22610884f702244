// RecordTokenizer: splits a byte buffer into records of fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "dialect.hpp"
#include "growable_buffer.hpp"
#include "row_store.hpp"
#include "scan.hpp"
#include "text_decoding.hpp"

namespace quillon {

// What the sniffer and the column inference need of a record.
struct RecordShape {
    std::size_t fields = 0;
    // Exactly one field whose text is empty or only Unicode White_Space.
    bool blank = false;
};

class RecordTokenizer {
public:
    // `buffer` is borrowed for the tokenizer's lifetime. A leading UTF-8
    // byte-order mark is skipped.
    RecordTokenizer(std::string_view buffer, std::uint8_t delimiter, std::uint8_t quote_char,
                    bool repair_quotes) noexcept;
    RecordTokenizer(std::string_view buffer, const Dialect& dialect) noexcept;
    // The scanner points at a member: a moved or copied tokenizer would read
    // through a dangling pointer.
    RecordTokenizer(const RecordTokenizer&) = delete;
    RecordTokenizer& operator=(const RecordTokenizer&) = delete;

    // Appends the next record to `out` as a new row. Returns false, appending
    // nothing, once the buffer is exhausted.
    bool next_record(RowStore& out);
    // Counting mode: the next record's shape, without building field text.
    std::optional<RecordShape> next_shape();

    // Continues at `pos`, which must be where a record begins, with the line
    // counter at 1 there. The look-ahead memos are caches of facts about the
    // buffer alone, so records read from there on are the ones a tokenizer
    // that came from the start would read.
    void start_at(std::size_t pos) noexcept {
        pos_ = pos;
        line_ = 1;
        resume_stop_ = kNoStop;
    }

    // Offset of the next byte to read.
    std::size_t position() const noexcept { return pos_; }
    // The furthest offset the records read so far looked at, look-ahead
    // included (give or take a scanned block): a reader of a prefix of the
    // input knows its records are those of the whole input while this stays
    // clear of the prefix's end.
    std::size_t reach() const noexcept { return pos_ > reach_ ? pos_ : reach_; }
    // Physical line counter: starts at 1, counts every record-ending line
    // break and every LF inside a quoted field.
    std::size_t line() const noexcept { return line_; }
    // Whether the record returned last was ended by a line break rather than
    // by the end of the buffer.
    bool ended_by_line_break() const noexcept { return ended_by_break_; }
    // Whether the record returned last reached the end of the buffer inside
    // a quoted field that never closed.
    bool ended_in_open_quote() const noexcept { return ended_in_quote_; }
    // Where the record returned last began, and where its content ended:
    // the offset of the line break that ended it, or the buffer's size.
    std::size_t record_begin() const noexcept { return record_begin_; }
    std::size_t content_end() const noexcept { return content_end_; }

    // How next_record turns non-ASCII bytes into text; UTF-8 with U+FFFD
    // unless set.
    void set_decoding(FieldDecoding decoding) noexcept { decoding_ = decoding; }
    // Whether next_record decoded a byte of the record it returned last by a
    // single-byte rule.
    bool single_byte_decoded() const noexcept { return single_byte_decoded_; }

    // The runaway-quote guard for a table of `columns` fields (0: off, the
    // default): see the design note in tokenizer.cpp.
    // A quote byte that is CR or LF ends lines itself: the guard is off then.
    void set_runaway_guard(std::size_t columns) noexcept {
        guard_columns_ = quote_ == '\r' || quote_ == '\n' ? 0 : columns;
    }
    // Whether the guard took a quote of the record returned last as text.
    bool runaway_quote_taken() const noexcept { return runaway_taken_; }

private:
    template <bool kGeneral, typename Sink>
    void read_record(Sink& sink);
    // Where a record began to be read: enough to read it again.
    struct Rewind {
        std::size_t pos;
        std::size_t line;
        std::size_t resume_stop;
        BlockScanner scanner;
    };
    Rewind rewind_point() const noexcept { return {pos_, line_, resume_stop_, scanner_}; }
    void restore(const Rewind& r) noexcept {
        note_reach(pos_);
        pos_ = r.pos;
        line_ = r.line;
        resume_stop_ = r.resume_stop;
        scanner_ = r.scanner;
    }
    template <bool kGeneral>
    bool first_quote_is_text(const Rewind& rewind);
    template <bool kGeneral>
    bool next_guarded_record(RowStore& out);
    template <bool kGeneral>
    std::optional<RecordShape> next_guarded_shape();
    bool next_general_record(RowStore& out);
    std::optional<RecordShape> next_general_shape();
    std::optional<RecordShape> regular_line_shape();
    bool quote_closes(std::size_t i);
    // How the runaway-quote guard reads a quote whose field reached a line
    // break: as it is, as text, or as a field cut off at that break.
    enum class RunawayReading : std::uint8_t { kQuoted, kText, kCutOff };
    RunawayReading runaway_quote(std::size_t q, std::size_t fields_done);
    bool next_line_is_row(std::size_t k);
    std::size_t next_closing_quote(std::size_t from);
    std::size_t line_end(std::size_t from) const noexcept;
    std::size_t skip_blanks(std::size_t from);
    std::size_t next_line_candidate(std::size_t from);
    bool terminated_at(std::size_t m) const noexcept;

    void note_reach(std::size_t at) const noexcept {
        if (at > reach_) reach_ = at;
    }

    const unsigned char* data_;
    std::size_t size_;
    mutable std::size_t reach_ = 0;
    // A span that ends before this offset has 32 readable bytes from its
    // start, for the sink's fixed-size copy.
    std::size_t near_end_;
    std::size_t pos_;
    std::size_t line_ = 1;
    unsigned char delimiter_;
    // Byte values widened so that 256 can stand for "none": it equals no byte.
    unsigned quote_;
    unsigned escape_;
    // The escape of a dialect without quoting, which escapes in every field;
    // 256 otherwise.
    unsigned unquoted_escape_;
    unsigned space_skip_;
    bool repair_;
    // An escape byte or space skipping: read by the general copy of the state
    // machine.
    bool general_;
    // Neither the delimiter nor the quote is a line break, and they differ:
    // a line's structure can then be read off its masks.
    bool masks_readable_;
    LineMasksFn line_masks_fn_;
    // The masks of the aligned block at line_masks_base_, shared by the
    // records that meet in it.
    std::size_t line_masks_base_ = ~std::size_t{0};
    LineMasks line_masks_{0, 0, 0, 0};
    bool ended_by_break_ = false;
    bool ended_in_quote_ = false;
    FieldDecoding decoding_ = FieldDecoding::kUtf8Replace;
    bool single_byte_decoded_ = false;
    std::size_t guard_columns_ = 0;
    bool runaway_taken_ = false;
    std::size_t record_begin_ = 0;
    std::size_t content_end_ = 0;
    // The line break that ended the record returned last when the scanner
    // found it as its last stop byte: the next record's scan goes on from
    // there.
    static constexpr std::size_t kNoStop = ~std::size_t{0};
    std::size_t resume_stop_ = kNoStop;
    // A quote the guard reads as text, where it would open a quoted field.
    std::size_t literal_quote_ = kNoStop;

    // Look-ahead memo, valid for any query point inside its range because the
    // buffer never changes: from any x in [blank_from_, blank_to_] the first
    // byte that is not a space or tab (or is the delimiter) is at blank_to_;
    // from any x in [cand_from_, cand_to_] the first line break or terminated
    // quote is at cand_to_. Queries only move forward, so every byte is
    // scanned a bounded number of times per record.
    std::size_t blank_from_ = 1;
    std::size_t blank_to_ = 0;
    std::size_t cand_from_ = 1;
    std::size_t cand_to_ = 0;

    // Memos of the runaway-quote guard, valid for the same reason: from any
    // line break in [close_from_, close_to_] the first terminated quote that
    // is not part of a doubled pair is at close_to_ (across lines; a line
    // break is never inside a pair, so the pairing is the same from each); and delimiter counts, [from, to) of the opening line
    // and the line after it, moved forward by subtracting.
    std::size_t close_from_ = 1;
    std::size_t close_to_ = 0;
    struct DelimiterCount {
        std::size_t from = 1;
        std::size_t to = 0;
        std::size_t count = 0;
    };
    DelimiterCount opening_line_;
    DelimiterCount next_line_;
    // The separators after the closing quote at separators_after_close_at_
    // on its line, quoted fields counted whole; kUnknownCount when one runs
    // past the line.
    static constexpr std::size_t kUnknownCount = ~std::size_t{0};
    std::size_t separators_after_close_at_ = ~std::size_t{0};
    std::size_t separators_after_close_ = 0;
    std::size_t separators_after_close(std::size_t c);
    // The separators from i to the end of its line, quoted fields (opening
    // where a field starts; i is one when field_start) counted whole;
    // kUnknownCount when one runs past the line, or, when well_formed, when
    // a quote stands inside unquoted text.
    std::size_t separators_on_line(std::size_t i, bool field_start, bool well_formed);
    std::size_t line_after(std::size_t k) const noexcept;
    std::size_t delimiters_between(DelimiterCount& memo, std::size_t from, std::size_t to);

    ScanTarget scan_target_;
    BlockScanner scanner_;
    // With an escape byte, quoted fields are scanned for the quote, the
    // escape, CR and LF instead.
    ScanTarget quoted_target_;
    BlockScanner quoted_scanner_;
    GrowableBuffer<char> blank_scratch_;
};

static_assert(!std::is_move_constructible_v<RecordTokenizer>);
static_assert(!std::is_copy_constructible_v<RecordTokenizer>);

}  // namespace quillon

// The engine run: one buffer in, kept rows, quarantined rows and counters out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options.hpp"
#include "other_tables.hpp"
#include "row_store.hpp"
#include "salvage_counts.hpp"

namespace quillon {

enum class QuarantineReason : std::uint8_t {
    kTooFewColumns,
    kExtraColumns,
    // Only with SalvageOptions::preamble_rows and drop_repeated_headers.
    kPreamble,
    kRepeatedHeader,
    // Only with SalvageOptions::comment_prefix and footer_from.
    kComment,
    kFooter,
    // Only with SalvageOptions::split_tables.
    kOtherTable,
};

// Where a record lies in the input.
struct RecordPlace {
    // The physical lines on which it begins and ends, counting from 1.
    std::size_t first_line = 0;
    std::size_t line = 0;
    // Its bytes: [begin, end), the line break that ended it not included.
    std::size_t begin = 0;
    std::size_t end = 0;
};

// A record the engine set aside, as the tokenizer returned it.
struct QuarantinedRow {
    RowView fields;
    std::string_view reason;
    // The physical line on which the record ends, counting from 1.
    std::size_t line;
    QuarantineReason code;
    RecordPlace place;
};

class QuarantineList {
public:
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    QuarantinedRow operator[](std::size_t i) const noexcept;

    class iterator {
    public:
        iterator(const QuarantineList* list, std::size_t i) noexcept : list_(list), i_(i) {}
        QuarantinedRow operator*() const noexcept { return (*list_)[i_]; }
        iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        bool operator==(const iterator& other) const noexcept { return i_ == other.i_; }

    private:
        const QuarantineList* list_;
        std::size_t i_;
    };
    iterator begin() const noexcept { return {this, 0}; }
    iterator end() const noexcept { return {this, size()}; }

    // Sets the column count that the reason texts name.
    void set_expected_columns(std::size_t expected);
    void add(const RowView& fields, QuarantineReason reason, const RecordPlace& place);
    // Appends the entries of `other`, their lines moved on by `line_offset`.
    void append(const QuarantineList& other, std::size_t line_offset);

private:
    struct Entry {
        RecordPlace place;
        QuarantineReason reason;
    };
    std::string_view reason_text(QuarantineReason reason) const noexcept;

    RowStore fields_;
    GrowableBuffer<Entry> entries_;
    std::string too_few_;
    std::string extra_;
};

// The counters are its base, so that spans add up with += and the result
// reads as result.total_rows.
struct SalvageResult : SalvageCounts {
    RowStore rows;
    QuarantineList quarantine;
    // The delimiter byte that was used, as a code point U+0000..U+00FF.
    char32_t detected_delimiter = U',';
    // The column count that was applied; 0 means no column check was made.
    std::size_t inferred_columns = 0;
    // The input's last record reached its end inside a quoted field that
    // never closed: the input looks truncated.
    bool ends_in_open_quote = false;
    // The progress hook asked to stop: the rows and counts cover only the
    // records before that point.
    bool stopped = false;
    // The tables below the first, with SalvageOptions::split_tables: their
    // records are set aside as kOtherTable.
    std::vector<OtherTable> other_tables;
};

// Never fails on any input; throws only std::bad_alloc.
SalvageResult salvage_buffer(std::string_view buffer, const SalvageOptions& options);

// Adds a span's rows, quarantine and counts to the result of the spans
// before it; the span's lines were counted from 1, `line_offset` lines into
// the input.
void append_span(SalvageResult& into, const SalvageResult& span, std::size_t line_offset);
// append_span's counts and flags alone, for a caller that takes the span's
// rows and quarantine elsewhere.
void add_span_counts(SalvageResult& into, const SalvageResult& span);

// The reason texts of the quarantine.
std::string quarantine_reason_text(QuarantineReason reason, std::size_t expected);

}  // namespace quillon

// Settings of one salvage run. Filled by the binding from the Python
// arguments; the defaults here are the ones a caller gets by omitting them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "text_decoding.hpp"

namespace quillon {

// Told how far a run has got: `done` of `total` units of work. Returning
// false asks the run to stop where it is. A null `report` is never called.
struct ProgressHook {
    bool (*report)(void* context, std::size_t done, std::size_t total) = nullptr;
    void* context = nullptr;

    explicit operator bool() const noexcept { return report != nullptr; }
    bool operator()(std::size_t done, std::size_t total) const {
        return report(context, done, total);
    }
};

// How many bytes of input a run handles between two progress reports: often
// enough for a progress bar and a prompt Ctrl-C, rare enough to cost nothing.
inline constexpr std::size_t kProgressStep = std::size_t{4} << 20;

// How the table's header row differs from its rows while naming every
// column all the same.
enum class HeaderShape : std::uint8_t {
    // As many fields as the rows, or nothing known to mend.
    kWidth,
    // Blank fields past the width (a delimiter after the last name): dropped.
    kTrailingBlank,
    // One name short over a first column of row names (R's write.table):
    // that column is named row_name.
    kRowNames,
};

struct SalvageOptions {
    // Absent: chosen by sniff_delimiter over the buffer.
    std::optional<std::uint8_t> delimiter;
    std::uint8_t quote_char = '"';
    // Short rows are padded with empty fields instead of being quarantined.
    bool fill_ragged_rows = true;
    // Surplus fields are joined into the last column instead of being quarantined.
    bool merge_overflow = true;
    // Absent: inferred by infer_columns. A present 0 turns the column check off.
    std::optional<std::size_t> expected_columns;
    // Enables the stray-quote look-ahead of the tokenizer.
    bool repair_quotes = true;

    // Beyond the fixed rules: options that the adaptive salvage sets after
    // detecting the input's dialect, encoding and structure. At these
    // defaults a run reads and decides exactly as the rules above.

    // Off: the quote byte is plain content everywhere.
    bool quoting = true;
    // Inside quoted fields, this byte before the quote or itself stands for
    // that byte (backslash-escaped dumps).
    std::optional<std::uint8_t> escape_char;
    // Spaces after a delimiter, outside quotes, are dropped.
    bool skip_initial_space = false;
    FieldDecoding decoding = FieldDecoding::kUtf8Replace;
    // This many records at the start are set aside as not part of the table
    // (title lines, notes, blank lines above the header).
    std::size_t preamble_rows = 0;
    // Records that repeat the table's first record exactly (the header rows
    // of concatenated exports) are set aside.
    bool drop_repeated_headers = false;
    // The record after the preamble is a header of this shape, mended to
    // the column count before it is checked.
    HeaderShape header_shape = HeaderShape::kWidth;
    // Records whose first bytes are this text are set aside as comments
    // (`# exported by ...`); empty: none are. They count as records of the
    // preamble all the same, as detection counts them.
    std::string comment_prefix;
    // Records that begin at this offset or later are set aside as notes
    // below the table (`Total,...`, `Source: ...`); SIZE_MAX: none are.
    std::size_t footer_from = SIZE_MAX;
    // With a column count, the tables below the first (other_tables.hpp)
    // are set aside whole, from the break above the second on.
    bool split_tables = false;
    // With a column count, rows of the wrong field count are first mended by
    // the fit of their cells to column profiles learned from the rows that
    // fit (row_repair.hpp): an empty field dropped, two fields rejoined, a
    // lost delimiter put back.
    bool repair_misaligned_rows = false;
    // With a column count, a quote that opens a field and would run away
    // across the line break is taken as text where that fits the table (the
    // tokenizer's runaway-quote guard).
    bool guard_runaway_quotes = false;
    // The settling step (delimiter, column count, the row repair's profiles,
    // the head records) reads at most this many bytes from the start, so that
    // an input read as a stream settles on the same bytes as one held whole.
    std::size_t settle_bytes = SIZE_MAX;

    // Called every kProgressStep bytes with the offset reached (of the
    // buffer's size); when it returns false, the run ends early with
    // SalvageResult::stopped set.
    ProgressHook progress;
};

}  // namespace quillon

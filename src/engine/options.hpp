// Settings of one salvage run. Filled by the binding from the Python
// arguments; the defaults here are the ones a caller gets by omitting them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillon {

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
};

}  // namespace quillon

// How the bytes of one input are cut into records and fields.
#pragma once

#include <cstdint>
#include <optional>

namespace quillon {

struct Dialect {
    // Any single byte, space included.
    std::uint8_t delimiter = ',';
    // Absent: no quoting at all, every quote byte is plain content.
    std::optional<std::uint8_t> quote = '"';
    // Absent: no escaping. Present: inside a quoted field, the escape byte
    // followed by the quote byte or by itself stands for that second byte
    // (the backslash convention of MySQL and PostgreSQL dumps). Anywhere
    // else the escape byte is plain content.
    std::optional<std::uint8_t> escape;
    // Spaces right after a delimiter, outside quotes, are dropped (the
    // `a, b, "c"` dialect), so a quote after them still opens a quoted field.
    bool skip_initial_space = false;
    // The stray-quote look-ahead of the tokenizer.
    bool repair_quotes = true;
};

}  // namespace quillon

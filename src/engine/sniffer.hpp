// Delimiter sniffer and the blank-record rule it shares with the column inference.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon {

// The candidates, in tie-break order.
inline constexpr std::string_view kDelimiterCandidates = ",;\t|";

// Picks one of the candidates for `buffer`; the comma when nothing scores.
std::uint8_t sniff_delimiter(std::string_view buffer);

// Whether a UTF-8 text is empty or only Unicode White_Space. Ill-formed bytes
// are not white space.
bool is_blank_text(std::string_view text) noexcept;

}  // namespace quillon

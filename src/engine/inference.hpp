// Column-count inference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillon {

// The most frequent field count among the first 100 non-blank records, the
// one met first on a tie; 0 when there is no non-blank record.
std::size_t infer_columns(std::string_view buffer, std::uint8_t delimiter);

}  // namespace quillon

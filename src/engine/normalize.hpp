// Row normalization: keeps, repairs or quarantines the record just tokenized.
#pragma once

#include <cstddef>
#include <cstdint>

#include "salvage.hpp"

namespace quillon {

struct NormalizeSettings {
    std::size_t expected_columns = 0;  // 0: no column check
    std::uint8_t delimiter = ',';
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
};

// Decides about the last row of result.rows, the record just tokenized, found
// at `place`: leaves it, pads or merges it (counting a repair), or moves it to
// result.quarantine.
void normalize_row(SalvageResult& result, const NormalizeSettings& settings,
                   const RecordPlace& place);

}  // namespace quillon

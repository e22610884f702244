// Row normalization: keeps, repairs or quarantines the record just tokenized.
#pragma once

#include <cstddef>
#include <cstdint>

#include "salvage.hpp"

namespace quillon {

class RowRepairer;

struct NormalizeSettings {
    std::size_t expected_columns = 0;  // 0: no column check
    std::uint8_t delimiter = ',';
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    // Present: a row of the wrong field count is first offered to the
    // type-aware repair, and merged, padded or quarantined as above only when
    // that leaves it as it was. Its repairs do not depend on the two flags.
    RowRepairer* repair = nullptr;
};

// Decides about the last row of result.rows, the record just tokenized, found
// at `place`: leaves it, pads or merges it (counting a repair), or moves it to
// result.quarantine.
void normalize_row(SalvageResult& result, const NormalizeSettings& settings,
                   const RecordPlace& place);

}  // namespace quillon

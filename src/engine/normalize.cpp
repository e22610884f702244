#include "normalize.hpp"

#include "row_repair.hpp"
#include "utf8.hpp"

namespace quillon {

void normalize_row(SalvageResult& result, const NormalizeSettings& settings,
                   const RecordPlace& place) {
    const std::size_t expected = settings.expected_columns;
    if (expected == 0) return;
    RowStore& rows = result.rows;
    // Most rows fit: settled without building the row's view.
    const std::size_t fields = rows.last_row_size();
    if (fields == expected) return;
    const RowView record = rows.row(rows.size() - 1);

    if (settings.repair != nullptr) {
        std::size_t* kind = nullptr;
        switch (settings.repair->repair_last_row(rows)) {
            case RowRepair::kNone:
                break;
            case RowRepair::kDroppedEmpty:
                kind = &result.dropped_empty_rows;
                break;
            case RowRepair::kRejoined:
                kind = &result.rejoined_rows;
                break;
            case RowRepair::kSplit:
                kind = &result.split_rows;
                break;
        }
        if (kind != nullptr) {
            ++*kind;
            ++result.repaired_rows;
            return;
        }
    }

    if (fields < expected) {
        if (settings.fill_ragged_rows) {
            rows.pad_last_row(expected - fields);
            ++result.repaired_rows;
            ++result.padded_rows;
        } else {
            result.quarantine.add(record, QuarantineReason::kTooFewColumns, place);
            rows.pop_last_row();
            ++result.too_few_rows;
        }
        return;
    }
    if (settings.merge_overflow) {
        char separator[2];
        const std::size_t len = encode_byte_as_code_point(settings.delimiter, separator);
        const auto flags = static_cast<std::uint16_t>(
            field_flags::kSpecial | (settings.delimiter >= 0x80 ? field_flags::kNonAscii : 0));
        rows.merge_last_row(expected, std::string_view(separator, len), flags);
        ++result.repaired_rows;
        ++result.merged_rows;
    } else {
        result.quarantine.add(record, QuarantineReason::kExtraColumns, place);
        rows.pop_last_row();
        ++result.extra_rows;
    }
}

}  // namespace quillon

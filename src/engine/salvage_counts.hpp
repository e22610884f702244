// The counters of a salvage run, and the one table of their names that
// everything reporting them iterates (the package's stats, the test
// descriptions). A new counter is a field here and a row in kCounts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

struct SalvageCounts {
    std::size_t total_rows = 0;
    std::size_t salvaged_rows = 0;
    std::size_t repaired_rows = 0;
    std::size_t quarantined_rows = 0;

    // The repairs and rejects of repaired_rows and quarantined_rows by kind.
    std::size_t padded_rows = 0;
    std::size_t merged_rows = 0;
    // Only with SalvageOptions::repair_misaligned_rows.
    std::size_t dropped_empty_rows = 0;
    std::size_t rejoined_rows = 0;
    std::size_t split_rows = 0;
    // Records of a UTF-8 input with bytes decoded as Windows-1252 instead.
    std::size_t reencoded_rows = 0;
    // Records in which the runaway-quote guard took a quote as text.
    std::size_t runaway_quote_rows = 0;
    std::size_t too_few_rows = 0;
    std::size_t extra_rows = 0;
    // Only with SalvageOptions::preamble_rows and drop_repeated_headers.
    std::size_t preamble_rows = 0;
    std::size_t repeated_header_rows = 0;
    // Only with SalvageOptions::comment_prefix and footer_from.
    std::size_t comment_rows = 0;
    std::size_t footer_rows = 0;
    // Only with SalvageOptions::split_tables: records of the tables below
    // the first (other_tables.hpp).
    std::size_t other_table_rows = 0;

    SalvageCounts& operator+=(const SalvageCounts& other) noexcept;
};

// Which total a counter belongs to: the rows of a run, or the repairs that
// repaired_rows counts (reencoded and runaway_quote apart), or the rejects
// that quarantined_rows counts.
enum class CountKind : std::uint8_t { kRows, kRepair, kReject };

struct CountName {
    std::size_t SalvageCounts::*count;
    // The key of the package's stats dict (a C string: Python takes it so).
    const char* name;
    CountKind kind;
};

// In the order reports list them.
inline constexpr std::array kCounts = {
    CountName{&SalvageCounts::total_rows, "total_rows", CountKind::kRows},
    CountName{&SalvageCounts::salvaged_rows, "salvaged_rows", CountKind::kRows},
    CountName{&SalvageCounts::repaired_rows, "repaired_rows", CountKind::kRows},
    CountName{&SalvageCounts::quarantined_rows, "quarantined_rows", CountKind::kRows},
    CountName{&SalvageCounts::padded_rows, "padded", CountKind::kRepair},
    CountName{&SalvageCounts::merged_rows, "merged", CountKind::kRepair},
    CountName{&SalvageCounts::dropped_empty_rows, "dropped_empty", CountKind::kRepair},
    CountName{&SalvageCounts::rejoined_rows, "rejoined", CountKind::kRepair},
    CountName{&SalvageCounts::split_rows, "split", CountKind::kRepair},
    CountName{&SalvageCounts::reencoded_rows, "reencoded", CountKind::kRepair},
    CountName{&SalvageCounts::runaway_quote_rows, "runaway_quote", CountKind::kRepair},
    CountName{&SalvageCounts::too_few_rows, "too_few_columns", CountKind::kReject},
    CountName{&SalvageCounts::extra_rows, "extra_columns", CountKind::kReject},
    // Not "preamble" nor "comment": the stats dict holds the detected
    // preamble and comment prefix under those keys.
    CountName{&SalvageCounts::preamble_rows, "preamble_rows", CountKind::kReject},
    CountName{&SalvageCounts::repeated_header_rows, "repeated_header", CountKind::kReject},
    CountName{&SalvageCounts::comment_rows, "comment_rows", CountKind::kReject},
    CountName{&SalvageCounts::footer_rows, "footer", CountKind::kReject},
    CountName{&SalvageCounts::other_table_rows, "other_table", CountKind::kReject},
};

// A field without a row in the table would be summed and reported nowhere.
static_assert(sizeof(SalvageCounts) == kCounts.size() * sizeof(std::size_t),
              "every counter of SalvageCounts has a row in kCounts");

inline SalvageCounts& SalvageCounts::operator+=(const SalvageCounts& other) noexcept {
    for (const CountName& c : kCounts) this->*c.count += other.*c.count;
    return *this;
}

}  // namespace quillon

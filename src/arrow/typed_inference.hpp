// Choosing a column's type from what its cells could be.
//
// A column that may be typed has every cell looked at once (batches in
// parallel, each into its own tally; tallies add up), so its decision never
// rests on a sample that missed the one cell that settles it: the day-first
// date `13/02/2024` deep in a file, or the `1.5` among a thousand integers.
// Only plain text is told by a sample (typed_columns.cpp).
//
// A column takes the first of bool, number (int64, decimal128, float64),
// date32, timestamp[us] that at least 95% of its non-null cells read as;
// the rest become nulls listed as rejects. Below that the column stays
// string: a few stray cells are damage, more are a column of text.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "typed_column_type.hpp"

namespace quillon::arrow::typed {

// Counts of cells by what they read as; every count is of non-null cells.
struct ColumnTally {
    std::uint64_t values = 0;
    std::uint64_t bool_words = 0;
    // 0 and 1: booleans only beside words.
    std::uint64_t bool_digits = 0;
    // Per number style (point, comma): numbers, of which integers, with a
    // fraction, with an exponent, with a currency sign, with a fraction of
    // exactly two digits; and the largest scale written.
    std::array<std::uint64_t, 2> numbers{};
    std::array<std::uint64_t, 2> integers{};
    std::array<std::uint64_t, 2> fractions{};
    std::array<std::uint64_t, 2> exponents{};
    std::array<std::uint64_t, 2> currencies{};
    std::array<std::uint64_t, 2> cents{};
    std::array<int, 2> max_scale{};
    // Per date order (DateOrder's values): dates alone, timestamps, of which
    // zoned.
    std::array<std::uint64_t, 3> dates{};
    std::array<std::uint64_t, 3> stamps{};
    std::array<std::uint64_t, 3> zoned{};

    // Whether the cell reads as any type but string: a cell that does not
    // is a misfit whatever the column becomes.
    bool add(std::string_view cell) noexcept;
    void merge(const ColumnTally& other) noexcept;
};

// The type the tally points to; `delimiter` breaks a tie between the
// number styles (`1,234` in a semicolon file is one and a quarter).
ColumnType decide_type(const ColumnTally& tally, char delimiter) noexcept;

// A type the user gave, with the writing of numbers and dates the tally
// points to.
ColumnType complete_type(ColumnType given, const ColumnTally& tally, char delimiter) noexcept;

}  // namespace quillon::arrow::typed

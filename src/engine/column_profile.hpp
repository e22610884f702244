// What the rows that fit a table say about each of its columns: which types
// its cells have, how long they are and which kinds of characters they hold.
//
// The row repair asks two questions of a profile: how well a cell fits a
// column (a log-likelihood-like score, the higher the better, never above
// 0), and whether it fits at all (its type, length and characters all seen
// in the column). Both are table lookups once the cell's shape is known, and
// a shape does not depend on the column, so a misaligned row costs one
// classification per field however many placements are scored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "cell_type.hpp"
#include "row_store.hpp"

namespace quillon {

// Character classes of a cell, as bits.
namespace char_class {
inline constexpr std::uint8_t kDigit = 1;
// ASCII letters and every byte of a UTF-8 sequence: other scripts' letters
// and punctuation are not told apart here.
inline constexpr std::uint8_t kLetter = 2;
inline constexpr std::uint8_t kSpace = 4;
inline constexpr std::uint8_t kPunctuation = 8;
// The run's delimiter: only quoting lets a cell of a fitting row hold it.
inline constexpr std::uint8_t kDelimiter = 16;
// Not what the text holds but where: a space or tab at either end (` John`
// of an unquoted `Smith, John`), the delimiter at either end once spaces are
// trimmed (a doubled delimiter merged into a cell).
inline constexpr std::uint8_t kEdgeSpace = 32;
inline constexpr std::uint8_t kEdgeDelimiter = 64;
inline constexpr std::size_t kCount = 7;
}  // namespace char_class

struct CellShape {
    CellType type = CellType::kEmpty;
    std::uint8_t classes = 0;
    // In bytes, surrounding spaces included.
    std::size_t length = 0;
    // Of the text, to tell the values of a column of few values (a status,
    // a flag, a country code) from text of the same shape.
    std::uint64_t hash = 0;
};

class ColumnProfiles {
public:
    ColumnProfiles() = default;
    ColumnProfiles(std::size_t columns, std::uint8_t delimiter);

    std::size_t columns() const noexcept { return columns_.size(); }
    // Rows learned from.
    std::size_t rows() const noexcept { return rows_; }

    CellShape shape(std::string_view text) const noexcept;
    // Texts of at least this many bytes are shaped 16 bytes at a time.
    static constexpr std::size_t kLongText = 32;

    // Learns from a row of exactly columns() fields; other rows are ignored.
    void add_row(const RowView& row);
    // Turns the counts into scores; call after the last add_row.
    void finish();

    // How well a cell of this shape fits the column: the log of the chance
    // of its type and of its having (or not) each character class among
    // the column's cells, less a penalty for a length outside the column's
    // range, and, in a column of few values, the log of the chance of a
    // value not seen when the cell's is not. At most 0.
    double score(std::size_t column, const CellShape& cell) const noexcept;
    // Whether at least kFitShare of the column's cells have the cell's type
    // and each class the cell holds, its length lies in the column's range
    // and, in a column of few values, it is one of them.
    bool fits(std::size_t column, const CellShape& cell) const noexcept;
    // The length test of fits, for a filled cell.
    bool length_fits(std::size_t column, std::size_t length) const noexcept {
        const Column& col = columns_[column];
        return length >= col.min_length && length <= col.max_length;
    }

    static constexpr double kFitShare = 0.02;
    // A column has few values when its filled cells hold at most this many
    // distinct ones, each seen kValueRepeats times on average.
    static constexpr std::size_t kMaxValues = 32;
    static constexpr std::size_t kValueRepeats = 4;

private:
    struct Column {
        std::array<std::uint32_t, 8> types{};
        std::array<std::uint32_t, char_class::kCount> classes{};
        std::uint32_t filled = 0;
        std::size_t min_length = SIZE_MAX;
        std::size_t max_length = 0;
        // Set by finish().
        std::array<double, 8> type_score{};
        // The class terms of the score, for every set of classes.
        std::array<double, std::size_t{1} << char_class::kCount> class_score{};
        std::uint8_t fitting_classes = 0;
        std::uint8_t fitting_types = 0;
        // The distinct filled values while there are at most kMaxValues.
        std::array<std::uint64_t, kMaxValues> values{};
        std::size_t distinct = 0;
        bool few_values = false;
        double unseen_value_score = 0.0;
    };
    static bool has_value(const Column& col, std::uint64_t hash) noexcept;
    std::uint8_t long_text_classes(std::string_view text, std::uint64_t& hash) const noexcept;

    std::size_t expected_;
    std::vector<Column> columns_;
    std::array<std::uint8_t, 256> class_of_{};
    std::uint8_t delimiter_ = 0;
    std::size_t rows_ = 0;
};

class RecordTokenizer;

// At most this many records after the header are learned from, and no
// record is read once this many bytes of the input are behind.
inline constexpr std::size_t kProfileRecords = 2000;
inline constexpr std::size_t kProfileBytes = std::size_t{8} << 20;

// Learns the profiles of a table of `columns` columns from the records that
// `tokenizer` reads next: it passes over the first `skip` (the preamble),
// leaves out the next one, usually the header, and every later record that
// repeats it, and learns from those of exactly `columns` fields among the
// kProfileRecords after it. Finished.
ColumnProfiles learn_column_profiles(RecordTokenizer& tokenizer, std::size_t skip,
                                     std::size_t columns, std::uint8_t delimiter);

}  // namespace quillon

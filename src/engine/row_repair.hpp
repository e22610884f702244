// Type-aware repair of misaligned rows: a row with a field too many or too
// few is mended where the column profiles (column_profile.hpp) single out
// one repair, and left to the fixed rules (merge, pad) where they do not.
//
// Surplus fields. A doubled delimiter (`a,,b`) adds an empty field; an
// unquoted delimiter (`Smith, John`) cuts one field in two. The fixed rule
// joins everything past the last column into it, which is right for a free
// text last column and shifts every field after a fault elsewhere into the
// wrong column. Each way of turning the row's n fields into the table's E
// cells is a sequence, in field order, of three steps:
//   - take one field as the next cell;
//   - rejoin 2 or more adjacent fields, with the delimiter between them
//     (and a space when the dialect drops spaces after delimiters), into one
//     cell; only fields that are not empty and were not quoted (hold no
//     delimiter, quote or line break) are rejoined;
//   - drop an empty field.
// The fixed rule's merge is the sequence of single fields ending in one
// rejoin of the rest. A sequence scores the sum of its cells' scores against
// their columns, less kStepCost per rejoin or drop, so that the fewest steps
// explaining the row are preferred. A dynamic program over (cells made,
// fields used) keeps the kKeep best sequences per state; the best is taken
// only when it is not the merge and beats both the merge and the best
// sequence with other cells by kMargin, else the fixed rule applies. Of a run
// of empty fields, only the first may be dropped (then the next, and so
// on), so that one result is never counted twice and ties itself. Rows with
// more than kMaxSurplus surplus fields are left to the fixed rule, and so
// are rows without an empty field whose merge puts a fitting cell in every
// column: nothing in them points anywhere but at a free-text last column,
// and the search is spared where the merge is plainly right.
//
// Short rows. A lost delimiter (`12:3045` for `12:30,45`) glues two cells
// and shifts the rest one column to the left. For a row one field short,
// every split of one field at one byte is tried: the halves take the glued
// field's column and the next, the later fields move one column right. A
// split counts when the field does not fit its own column as it is, both
// halves fit theirs and the row beats the padded row by kMargin. The row is
// split at the split that counts when there is one, or at the best when it
// beats every other that counts by kMargin (the halves of `YTom Smith` fit
// a Y/N flag and a name at one point only; a name and a note glued fit at
// many, and the row is padded). Fields holding a delimiter, quote or line
// break (they were quoted) and fields longer than kMaxSplitLength are not
// split.
//
// Everything is a deterministic function of the row and the profiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "column_profile.hpp"
#include "row_store.hpp"

namespace quillon {

enum class RowRepair : std::uint8_t {
    kNone,
    kDroppedEmpty,
    // Any rejoin other than the fixed rule's merge; a row that also drops an
    // empty field counts here.
    kRejoined,
    kSplit,
};

class RowRepairer {
public:
    static constexpr std::size_t kMaxSurplus = 4;
    static constexpr std::size_t kMaxSplitLength = 96;
    static constexpr double kMargin = 3.0;
    static constexpr double kStepCost = 1.0;
    // Profiles of fewer rows than this say too little to repair by.
    static constexpr std::size_t kMinProfileRows = 10;

    // `profiles` must be finished.
    RowRepairer(ColumnProfiles profiles, std::uint8_t delimiter, bool skip_initial_space);

    // The last row of `rows` has a field count other than the profiles'
    // column count: replaces it by the repair described above and says which,
    // or leaves it as it is and returns kNone.
    RowRepair repair_last_row(RowStore& rows);

private:
    // One cell of a candidate row: `span` fields from `first`, rejoined.
    struct Cell {
        std::uint32_t first;
        std::uint32_t span;
        bool operator==(const Cell&) const = default;
    };
    struct Step {
        double score;
        std::uint32_t from_state;
        std::uint8_t from_rank;
        // Fields the step takes: 0 for a drop.
        std::uint8_t span;
    };
    static constexpr std::size_t kKeep = 3;

    RowRepair repair_surplus(RowStore& rows);
    RowRepair repair_short(RowStore& rows);
    void load_fields(const RowView& row);
    // Whether field f may be a piece of a rejoin.
    bool rejoinable(std::size_t f) const noexcept;
    const CellShape& group_shape(std::size_t first, std::size_t span) const noexcept {
        return groups_[first * (surplus_ + 1) + span - 1];
    }
    std::size_t state(std::size_t cells, std::size_t surplus_used, bool dropped) const noexcept {
        return (cells * (surplus_ + 1) + surplus_used) * 2 + (dropped ? 1 : 0);
    }
    void offer(std::size_t to, const Step& step);
    void cells_of(std::size_t state, std::size_t rank, std::vector<Cell>& out) const;
    // Appends the rejoin of `span` fields from `first` to `out`.
    void join_into(std::size_t first, std::size_t span, std::string& out) const;
    // Replaces the last row of `rows` with the fields laid out in text_,
    // lengths_ and flags_.
    void rewrite_last_row(RowStore& rows);

    ColumnProfiles profiles_;
    std::uint8_t delimiter_;
    char separator_[3];
    std::size_t separator_length_;
    std::uint16_t separator_flags_;

    // Scratch, reused from row to row.
    std::vector<FieldRef> fields_;
    std::vector<CellShape> groups_;
    std::size_t surplus_ = 0;
    std::vector<Step> steps_;
    std::vector<std::uint8_t> kept_;
    std::vector<Cell> best_cells_;
    std::vector<Cell> other_cells_;
    std::vector<double> shifted_;
    std::string text_;
    std::vector<std::size_t> lengths_;
    std::vector<std::uint16_t> flags_;
};

}  // namespace quillon

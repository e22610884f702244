// Tables below the table: a workbook exported sheet after sheet, or a second
// table of another width under the first, usually after a blank line and
// often under a title line of its own. Its rows are no rows of the first
// table: padded or merged to its width they would be wrong, so they are set
// aside whole (the package can write each such table to a file of its own).
//
// A damaged stretch of the first table must not pass for one, so a new table
// needs both a break and a change of shape that holds:
//   - a break: one or more blank lines, or at most kMaxTitleLines lone cells
//     without the delimiter byte (a title, where a row never has one field),
//     or both;
//   - then kOtherTableRecords records in a row, comments aside, all of one
//     field count other than the current table's, before any blank line,
//     title or record of another count.
// The table found is then the current one, its width the one the next table
// must differ from. Every record is looked at once: linear in the input. A
// table of one column has no shape to tell a title by: none is looked for.
//
// Neither kind of break holds the delimiter byte, so an input where every
// line holds it has no other table; may_hold_other_tables tells that from
// the bytes alone, many times faster than reading the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer.hpp"

namespace quillon {

struct OtherTable {
    // Where the records set aside for it begin: the break above it.
    std::size_t boundary = 0;
    // Its first record that holds something (its title or header), and the
    // physical line on which that record begins, counting from 1.
    std::size_t begin = 0;
    std::size_t line = 0;
    // Where it ends: the next table's boundary, or the end of the text.
    std::size_t end = 0;
    // Its first line, cut to kFirstLineBytes at a character boundary.
    std::string first_line;

    friend bool operator==(const OtherTable&, const OtherTable&) = default;
};

inline constexpr std::size_t kOtherTableRecords = 3;
inline constexpr std::size_t kMaxTitleLines = 2;
inline constexpr std::size_t kFirstLineBytes = 200;

// find_other_tables one record at a time, so that an input read in windows
// finds what one pass over it finds.
class OtherTableFinder {
public:
    OtherTableFinder(std::size_t width, std::string_view comment, std::uint8_t delimiter);

    // The next record: its shape, where it begins in the input and on which
    // line, and the input's bytes from its beginning: at least through its
    // content's end (`content`), and on to its line's end where there are.
    void take(const RecordShape& shape, std::size_t begin, std::size_t line,
              std::string_view content, std::string_view from_begin);
    // Ends the input at `end`: the last table ends there, and a break with
    // too few records below it starts none.
    void finish(std::size_t end) noexcept;

    // The break above records that may yet start a table, which only the
    // records after the ones taken can tell; SIZE_MAX when there is none.
    std::size_t undecided_from() const noexcept;
    // A break is open: records that hold the delimiter still count for it.
    bool open() const noexcept { return candidate_.open; }
    const std::vector<OtherTable>& tables() const noexcept { return tables_; }

private:
    struct Candidate {
        bool open = false;
        std::size_t boundary = 0;
        // The first record that holds something, once met: where, its line
        // and its first line's text.
        std::size_t begin = SIZE_MAX;
        std::size_t line = 0;
        std::string first_line;
        std::size_t titles = 0;
        // The field count of the records after the break, and how many so far.
        std::size_t width = 0;
        std::size_t rows = 0;
    };
    void first(std::size_t at, std::size_t line, std::string_view from_begin);

    std::size_t width_;
    std::string comment_;
    char delimiter_;
    Candidate candidate_;
    std::vector<OtherTable> tables_;
};

// The tables below the one of `width` fields whose rows `records` reads from
// its position on (past the first table's header; the tokenizer must have
// started at the beginning of `text`, so that its lines are the input's).
// Records that begin with `comment` (when not empty) are passed over.
std::vector<OtherTable> find_other_tables(RecordTokenizer& records, std::string_view text,
                                          std::size_t width, std::string_view comment,
                                          std::uint8_t delimiter);

// False when every line of `text` holds `delimiter` (a line that a lone CR
// may cut counts as one without): find_other_tables would find nothing.
bool may_hold_other_tables(std::string_view text, std::uint8_t delimiter) noexcept;

}  // namespace quillon

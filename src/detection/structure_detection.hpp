// Where the table starts in an input, whether it has a header, and how
// many columns it has.
//
// Exports often put a report title, notes, key-value lines (`Account,1234`)
// and blank or separator lines (`,,,,`) above the table. Those records are
// the preamble: set aside rather than read as data, and kept out of the
// column count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dialect.hpp"
#include "engine/options.hpp"
#include "engine/other_tables.hpp"

namespace quillon {

struct TableStructure {
    // Records (as RecordTokenizer with the dialect cuts the input, blank ones
    // included) above the table's first row.
    std::size_t preamble_rows = 0;
    // Whether the table's first row is a header.
    bool header = false;
    // The most frequent field count among the first 100 non-blank records
    // after the preamble, the first met on a tie; 0 when there is none.
    // Without a preamble this is infer_columns' answer.
    std::size_t columns = 0;
    // How the header row differs from the rows, when it does in a known way.
    HeaderShape header_shape = HeaderShape::kWidth;
    // The prefix of comment lines (`#`), empty when there are none.
    std::string comment = {};
    // Where the notes below the table begin (`Total,...`, `Source: ...`):
    // records from this offset on are the footer.
    static constexpr std::size_t kNoFooter = SIZE_MAX;
    std::size_t footer_from = kNoFooter;
    // The tables below the first that the sample shows (other_tables.hpp):
    // the last one's end is the sample's.
    std::vector<OtherTable> other_tables = {};

    friend bool operator==(const TableStructure&, const TableStructure&) = default;
};

// The preamble is read from detection_sample(buffer): records that cannot
// be table rows (blank and separator lines; a lone text cell such as a
// title, when the table's rows have several; lines of another field count,
// and lone text cells over a table of sparse rows, with a blank or
// separator line below them), up to the first record with
// the table's usual field count and several non-empty cells. A title-only
// preamble also needs a header-like row below it. When anything else comes
// first, or the table below would have fewer than twice as many rows as the
// preamble, there is no preamble.
//
// The header is decided as Python's csv.Sniffer.has_header does, by votes
// of the columns: a column whose body cells (up to 100 rows) are nearly all
// of one type other than text votes for a header when the first row's cell
// is not of that type, against when it is; a text column whose body cells
// all have one length votes for a header when the first row's cell has
// another. When no column votes, a first row of distinct non-empty cells,
// none of which occurs in its column's body, is a header. `header_hint`,
// when given, is the answer.
//
// Comments are records that begin with one of #, //, % or ; (not the
// delimiter) where none of the sample's records that do has the table's
// shape; `comment_hint`, when given, is the prefix ("" for none). They are
// left out of everything above, and counted in preamble_rows when they come
// before the table's first row.
TableStructure detect_structure(std::string_view buffer, const Dialect& dialect,
                                std::optional<bool> header_hint,
                                std::optional<std::string_view> comment_hint = std::nullopt);

}  // namespace quillon

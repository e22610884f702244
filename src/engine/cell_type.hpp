// What kind of value a cell holds, judged from its text alone.
//
// The detection of dialect and structure scores how well cells fit simple
// types; per-column profiles reuse the same judgement, so it is exact (no
// guessing from a prefix) and allocation-free. Surrounding ASCII white space
// is ignored, as spreadsheet exports pad cells freely.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon {

enum class CellType : std::uint8_t {
    kEmpty,
    kInteger,
    kDecimal,
    kDate,
    kTime,
    kDateTime,
    kBoolean,
    kText,
};

// Numbers: an optional sign; digits without leading zeros (`0`, `0.5` and
// `.5` are numbers, `007` is a code and so text); a decimal point or a
// decimal comma; thousands grouped with the other separator (`1,234,567.5`,
// `1.234.567,5`); an exponent; a trailing `%`; a currency symbol before or
// after (`$5`, `-$5`, `12,50 €`). `1,234` reads as an integer with a
// thousands separator, `1.234` as a decimal (the two readings most writers
// mean). The decoration does not change the type: `12%` is an integer.
// Dates: year-month-day with a 4- or 2-digit year, and day-month-year or
// month-day-year with a 2- or 4-digit year, separated by one of `-` `/` `.`
// used twice (the day must exist in the month; either reading of d/m and
// m/d may make it valid). Times: `h:mm`, `hh:mm:ss`, `hh:mm:ss.fff`, with
// an optional `am`/`pm` (hours 1-12 then) and an optional `Z` or numeric
// UTC offset. Date-times: a date, `T` or one space, a time. Booleans:
// true, false, yes, no in any letter case.
CellType classify_cell(std::string_view text) noexcept;

// Lower-case name of a type, for reports: "empty", "integer", ...
std::string_view cell_type_name(CellType type) noexcept;

// Whether the dialect detection counts the cell as a value of a known kind
// (van den Burg et al.'s type score): any type above but text, and also text
// that is only letters, digits, spaces and light punctuation (`.` `-` `_`
// `(` `)` `?` `!` and their counterparts in other scripts, an apostrophe
// between letters (O'Brien); also delimiters
// and line breaks when the cell was quoted), a URL, an e-mail address, an IPv4 address, a Unix path,
// or a missing-value marker (NA, NaN, N/A). Text with other punctuation,
// quotes or ill-formed UTF-8 is not. Letters of scripts other than Latin are
// recognised by Unicode block, which is close to, not exactly, \p{L}.
bool is_known_cell(std::string_view text, bool quoted) noexcept;

}  // namespace quillon

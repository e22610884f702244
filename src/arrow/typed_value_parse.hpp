// Reading one cell's text as a value of a typed column.
//
// Exports write numbers and dates in many ways; each reader here accepts the
// common ones and nothing that would change what the writer meant. Every
// reader ignores surrounding ASCII spaces and tabs, allocates nothing, and
// leaves its output alone when it says no. Whether a reading applies to a
// column (which decimal separator, which date order) is decided per column
// by typed_inference.hpp; these only read what they are told to.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon::arrow::typed {

// The separators of a column's numbers: `1,234.50` or `1.234,50`.
struct NumberStyle {
    char decimal = '.';
    char group = ',';
};

inline constexpr NumberStyle kPointDecimal{'.', ','};
inline constexpr NumberStyle kCommaDecimal{',', '.'};

// A number as written, without its decoration: an optional sign, a currency
// sign before or after (`$ € £ ¥`), digits grouped by threes with the
// style's group separator, a fraction after the style's decimal separator,
// an exponent, a trailing `%` (the number stays as written: `12%` is 12).
// An integer part of more than one digit that begins with 0 (`007`, zip
// codes) is a code, not a number.
struct NumberText {
    static constexpr int kMaxDigits = 38;
    bool negative = false;
    bool point = false;     // a decimal separator was written
    bool exponent = false;  // an `e` or `E` part was written
    bool currency = false;
    // Digits after the decimal separator.
    int scale = 0;
    int exponent_value = 0;
    // The significant digits, integer part then fraction, no separators.
    int digit_count = 0;
    char digits[kMaxDigits];
};

bool scan_number(std::string_view text, NumberStyle style, NumberText& out) noexcept;

// The writing most cells have: an optional `-`, digits (grouped by threes
// with the style's group separator, or not), then optionally the decimal
// separator and digits; at most 18 digits, no spaces. Such text is read the
// same by scan_number; other text gets false here, and scan_number decides.
struct PlainNumber {
    // Every digit written, the fraction's too, as one number.
    std::uint64_t digits = 0;
    // Digits after the decimal separator (0 when none was written).
    int scale = 0;
    bool negative = false;
    // Digits before the decimal separator.
    int integer_digits = 0;
};

bool scan_plain_number(std::string_view text, NumberStyle style, PlainNumber& out) noexcept;

// A number without fraction or exponent that fits in 64 bits.
bool to_int64(const NumberText& number, std::int64_t& out) noexcept;
// Integers beyond 2^53 in magnitude are identifiers (card numbers, keys)
// that a float would round and that nobody adds up: inference leaves them
// text.
bool is_identifier(std::int64_t value) noexcept;
bool to_float64(const NumberText& number, double& out) noexcept;
// The number times 10^scale, when no digit is lost and it has at most
// `precision` digits then. An exponent is not fixed-point: no.
bool to_decimal(const NumberText& number, int precision, int scale, __int128& out) noexcept;

// A typed column's cells: the answers of scan_number then to_int64
// (to_float64, to_decimal), sooner for plain numbers.
bool read_int64(std::string_view text, NumberStyle style, std::int64_t& out) noexcept;
bool read_float64(std::string_view text, NumberStyle style, double& out) noexcept;
bool read_decimal(std::string_view text, NumberStyle style, int precision, int scale,
                  __int128& out) noexcept;

// true/false/yes/no in any letter case; with `digits` also 1 and 0.
bool parse_bool(std::string_view text, bool digits, bool& out) noexcept;

// The three numbers of a date and how they were written: `2024-03-05`
// (year first), `05/03/2024` or `3.5.2024` (year last, day and month in an
// order the column decides). The separator is `-`, `/` or `.`, the same
// twice; years have four digits.
struct DateText {
    bool year_first = false;
    int first = 0;
    int second = 0;
    int third = 0;
};

enum class DateOrder : std::uint8_t { kYearMonthDay, kDayMonthYear, kMonthDayYear };

// The date part of `text`; `rest` is what follows it.
bool scan_date(std::string_view text, DateText& out, std::string_view& rest) noexcept;

// Days since 1970-01-01 when the date exists in `order` (a year-first date
// reads only as year-month-day, a year-last one only as either other order).
bool to_days(const DateText& date, DateOrder order, std::int32_t& out) noexcept;

// A date alone.
bool parse_date(std::string_view text, DateOrder order, std::int32_t& out) noexcept;

// A date, `T` or one space, `hh:mm`, `hh:mm:ss` or `hh:mm:ss.ffffff` (up to
// nine fraction digits, kept to microseconds), then optionally `Z` or an
// offset `+hh:mm`, `+hhmm`, `+hh` (also after one space). The value is in
// microseconds since 1970-01-01 00:00 of the clock written, moved to UTC
// when an offset was written; `zoned` says whether one was.
bool parse_timestamp(std::string_view text, DateOrder order, std::int64_t& out,
                     bool& zoned) noexcept;

// A date alone (its midnight, not zoned) or a timestamp: parse_date, else
// parse_timestamp.
bool parse_date_or_timestamp(std::string_view text, DateOrder order, std::int64_t& out,
                             bool& zoned) noexcept;

// What parse_timestamp reads after the date (scan_date's `rest`, from the
// `T` or space on): the microseconds from midnight to the time written,
// less the offset written, whatever the date's order.
bool parse_time_of_day(std::string_view rest, std::int64_t& micros, bool& zoned) noexcept;

// The spellings of a missing value in exports: empty, NA, N/A, null, NULL,
// None, `-`, `\N`, and NaN (in the letter cases writers use).
bool is_null_spelling(std::string_view text) noexcept;

std::string_view trim_spaces(std::string_view text) noexcept;

}  // namespace quillon::arrow::typed

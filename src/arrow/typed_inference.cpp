#include "typed_inference.hpp"

#include <algorithm>

namespace quillon::arrow::typed {

namespace {

constexpr NumberStyle kStyles[2] = {kPointDecimal, kCommaDecimal};
constexpr DateOrder kOrders[3] = {DateOrder::kYearMonthDay, DateOrder::kDayMonthYear,
                                  DateOrder::kMonthDayYear};
// Decimal columns hold amounts: at most this many fraction digits.
constexpr int kMaxDecimalScale = 4;

// At least 95% of the values read as the type.
bool enough(std::uint64_t fits, std::uint64_t values) noexcept {
    return fits > 0 && fits * 20 >= values * 19;
}

std::size_t style_index(const ColumnTally& t, char delimiter) noexcept {
    if (t.numbers[1] != t.numbers[0]) return t.numbers[1] > t.numbers[0] ? 1 : 0;
    // Same count both ways: the decimal separator that is not the
    // delimiter's usual neighbour.
    return delimiter == ';' ? 1 : 0;
}

// Year first when it reads best; else day-first or month-first, whichever
// more cells read as (the values above 12 decide), month-first on a tie.
std::size_t order_index(const std::array<std::uint64_t, 3>& fits) noexcept {
    if (fits[0] >= fits[1] && fits[0] >= fits[2]) return 0;
    return fits[1] > fits[2] ? 1 : 2;
}

// A letter that begins no boolean word (true, false, yes, no).
bool opens_text(char c) noexcept {
    const char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'z' && lower != 't' && lower != 'f' && lower != 'y' &&
           lower != 'n';
}

// What the tally needs of a number.
struct NumberReading {
    bool point = false;
    bool exponent = false;
    bool currency = false;
    int scale = 0;
    // An integer beyond 2^53 in magnitude, or beyond 64 bits.
    bool identifier = false;
};

bool read_number(std::string_view text, NumberStyle style, NumberReading& out) noexcept {
    PlainNumber plain;
    if (scan_plain_number(text, style, plain)) {
        out.point = plain.scale != 0;
        out.scale = plain.scale;
        out.identifier = !out.point && plain.digits > (std::uint64_t{1} << 53);
        return true;
    }
    // Digits then `-`, `/` or `:` begin a date or a time, never a number.
    const std::size_t digits_from = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    std::size_t i = digits_from;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i != digits_from && i < text.size() && (text[i] == '-' || text[i] == '/' || text[i] == ':')) {
        return false;
    }
    // Digits alone that the plain reading left: a code with a leading zero
    // (no number), or more than 18 digits (an identifier, up to the 38
    // digits a number may have).
    const std::size_t digits = i - digits_from;
    if (digits_from == 0 && i == text.size() && digits > 1) {
        if (text[0] == '0' || digits > NumberText::kMaxDigits) return false;
        out.identifier = true;
        return true;
    }
    NumberText number;
    if (!scan_number(text, style, number)) return false;
    out.point = number.point;
    out.exponent = number.exponent;
    out.currency = number.currency;
    out.scale = number.scale;
    std::int64_t whole = 0;
    out.identifier = !number.point && !number.exponent &&
                     (!to_int64(number, whole) || is_identifier(whole));
    return true;
}

}  // namespace

bool ColumnTally::add(std::string_view cell) noexcept {
    ++values;
    // Most text begins with a letter that begins no boolean word, number or
    // date: names, cities, notes are told apart at their first byte.
    const std::string_view trimmed = trim_spaces(cell);
    if (trimmed.empty() || opens_text(trimmed[0])) return false;
    bool flag = false;
    std::uint64_t integers_read = 0;
    std::uint64_t exponent_read = 0;
    std::uint64_t currency_read = 0;
    const bool digit_first = trimmed[0] >= '0' && trimmed[0] <= '9';
    if (!digit_first && parse_bool(trimmed, false, flag)) {
        ++bool_words;
        return true;
    }
    if (trimmed.size() == 1 && parse_bool(trimmed, true, flag)) ++bool_digits;
    // Without either separator both styles read the same number.
    const bool separated = std::any_of(trimmed.begin(), trimmed.end(),
                                       [](char c) { return c == ',' || c == '.'; });
    bool number_read = false;
    for (std::size_t s = 0; s < 2; ++s) {
        NumberReading number;
        if (s == 1 && !separated) {
            if (!number_read) break;
            ++numbers[1];
            integers[1] += integers_read;
            exponents[1] += exponent_read;
            currencies[1] += currency_read;
            break;
        }
        if (!read_number(trimmed, kStyles[s], number)) continue;
        const bool integer = !number.point && !number.exponent;
        // Digit strings beyond 2^53 are identifiers: no number at all, so
        // that a column of them stays text instead of turning into floats.
        if (number.identifier) continue;
        ++numbers[s];
        number_read = true;
        integers_read = integer ? 1 : 0;
        exponent_read = number.exponent ? 1 : 0;
        currency_read = number.currency ? 1 : 0;
        integers[s] += integers_read;
        fractions[s] += number.point ? 1 : 0;
        exponents[s] += exponent_read;
        currencies[s] += currency_read;
        cents[s] += number.point && number.scale == 2 ? 1 : 0;
        max_scale[s] = std::max(max_scale[s], number.scale);
    }
    if (number_read) return true;
    DateText date;
    std::string_view rest;
    if (!scan_date(cell, date, rest)) return false;
    // The time, if any, reads alike in every date order.
    std::int64_t micros = 0;
    bool has_zone = false;
    if (!rest.empty() && !parse_time_of_day(rest, micros, has_zone)) return false;
    bool dated = false;
    for (std::size_t o = 0; o < 3; ++o) {
        std::int32_t days = 0;
        if (!to_days(date, kOrders[o], days)) continue;
        dated = true;
        if (rest.empty()) {
            ++dates[o];
        } else {
            ++stamps[o];
            zoned[o] += has_zone ? 1 : 0;
        }
    }
    return dated;
}

void ColumnTally::merge(const ColumnTally& o) noexcept {
    values += o.values;
    bool_words += o.bool_words;
    bool_digits += o.bool_digits;
    for (std::size_t s = 0; s < 2; ++s) {
        numbers[s] += o.numbers[s];
        integers[s] += o.integers[s];
        fractions[s] += o.fractions[s];
        exponents[s] += o.exponents[s];
        currencies[s] += o.currencies[s];
        cents[s] += o.cents[s];
        max_scale[s] = std::max(max_scale[s], o.max_scale[s]);
    }
    for (std::size_t d = 0; d < 3; ++d) {
        dates[d] += o.dates[d];
        stamps[d] += o.stamps[d];
        zoned[d] += o.zoned[d];
    }
}

ColumnType complete_type(ColumnType given, const ColumnTally& t, char delimiter) noexcept {
    given.style = kStyles[style_index(t, delimiter)];
    std::array<std::uint64_t, 3> fits{};
    for (std::size_t o = 0; o < 3; ++o) fits[o] = t.dates[o] + t.stamps[o];
    given.order = kOrders[order_index(fits)];
    return given;
}

ColumnType decide_type(const ColumnTally& t, char delimiter) noexcept {
    ColumnType out = complete_type(ColumnType{}, t, delimiter);
    const std::uint64_t n = t.values;
    if (t.bool_words != 0 && enough(t.bool_words + t.bool_digits, n)) {
        out.type = ValueType::kBool;
        return out;
    }
    const std::size_t s = style_index(t, delimiter);
    if (enough(t.numbers[s], n)) {
        if (t.integers[s] == t.numbers[s]) {
            out.type = ValueType::kInt64;
        } else if (t.exponents[s] == 0 && t.max_scale[s] <= kMaxDecimalScale &&
                   (t.cents[s] == t.fractions[s] || t.currencies[s] != 0)) {
            // Amounts: every fraction has two digits (cents), or the column
            // writes a currency. A float would not hold 0.10 exactly.
            out.type = ValueType::kDecimal;
            out.scale = std::max(t.max_scale[s], 2);
            out.precision = 38;
        } else {
            out.type = ValueType::kFloat64;
        }
        return out;
    }
    const std::size_t o = static_cast<std::size_t>(out.order);
    if (enough(t.dates[o], n)) {
        out.type = ValueType::kDate;
        return out;
    }
    if (t.stamps[o] != 0 && enough(t.dates[o] + t.stamps[o], n)) {
        out.type = ValueType::kTimestamp;
        // The zone of most stamps; the others do not fit.
        out.utc = t.zoned[o] * 2 > t.stamps[o];
        const std::uint64_t fitting = out.utc ? t.zoned[o] : t.stamps[o] - t.zoned[o] + t.dates[o];
        if (!enough(fitting, n)) out.type = ValueType::kString;
    }
    return out;
}

}  // namespace quillon::arrow::typed

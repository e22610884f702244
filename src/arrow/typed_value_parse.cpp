#include "typed_value_parse.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

namespace quillon::arrow::typed {

namespace {

constexpr std::int64_t kMaxExactInteger = std::int64_t{1} << 53;
constexpr std::int64_t kMicrosPerDay = std::int64_t{86400} * 1000000;

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') <= 9; }

bool is_space(char c) noexcept { return c == ' ' || c == '\t'; }

// 10^0 to 10^22: the powers of ten a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_folded(std::string_view text, std::string_view word) noexcept {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lower(text[i]) != word[i]) return false;
    }
    return true;
}

// The length of a currency sign at the start of `text`, or 0.
std::size_t currency_at(std::string_view text) noexcept {
    // Digits and signs are most of what is asked about.
    if (text.empty() || (text[0] != '$' && static_cast<unsigned char>(text[0]) < 0x80)) return 0;
    static constexpr std::string_view kSigns[] = {"$", "\xE2\x82\xAC", "\xC2\xA3", "\xC2\xA5"};
    for (const std::string_view sign : kSigns) {
        if (text.starts_with(sign)) return sign.size();
    }
    return 0;
}

bool take_sign(std::string_view& text, NumberText& out, bool& signed_already) noexcept {
    if (text.empty() || (text[0] != '-' && text[0] != '+')) return true;
    if (signed_already) return false;
    out.negative = text[0] == '-';
    signed_already = true;
    text.remove_prefix(1);
    return true;
}

bool take_currency(std::string_view& text, NumberText& out) noexcept {
    const std::size_t sign = currency_at(text);
    if (sign == 0) return true;
    if (out.currency) return false;
    out.currency = true;
    text.remove_prefix(sign);
    if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    return true;
}

bool push_digit(NumberText& out, char c) noexcept {
    // Leading zeros of the integer part carry nothing ("0.5" is 5 and a
    // scale); the caller has already refused codes such as 007.
    if (out.digit_count == 0 && c == '0') return true;
    if (out.digit_count == NumberText::kMaxDigits) return false;
    out.digits[out.digit_count++] = c;
    return true;
}

// Digits grouped by threes after a first group of one to three, or not
// grouped at all.
bool take_integer_part(std::string_view& text, char group, NumberText& out) noexcept {
    std::size_t i = 0;
    while (i < text.size() && is_digit(text[i])) ++i;
    const std::size_t first_group = i;
    if (first_group > 1 && text[0] == '0') return false;
    for (std::size_t k = 0; k < first_group; ++k) {
        if (!push_digit(out, text[k])) return false;
    }
    if (first_group >= 1 && first_group <= 3) {
        while (i + 3 < text.size() && text[i] == group && is_digit(text[i + 1]) &&
               is_digit(text[i + 2]) && is_digit(text[i + 3]) &&
               (i + 4 == text.size() || !is_digit(text[i + 4]))) {
            if (text[0] == '0') return false;
            for (std::size_t k = i + 1; k < i + 4; ++k) {
                if (!push_digit(out, text[k])) return false;
            }
            i += 4;
        }
    }
    text.remove_prefix(i);
    return true;
}

}  // namespace

std::string_view trim_spaces(std::string_view text) noexcept {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

namespace {

// scan_plain_number, inlined into the column readers, where it runs for
// most cells.
[[gnu::always_inline]] inline bool scan_plain(std::string_view text, NumberStyle style,
                                              PlainNumber& out) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    PlainNumber number;
    if (p != end && *p == '-') {
        number.negative = true;
        ++p;
    }
    const char* const first = p;
    std::uint64_t digits = 0;
    // Past 18 digits the sum wraps, and the count below says no.
    while (p != end && is_digit(*p)) digits = digits * 10 + static_cast<std::uint64_t>(*p++ - '0');
    int integer_digits = static_cast<int>(p - first);
    if (integer_digits == 0 || (integer_digits > 1 && *first == '0')) return false;
    if (p != end && *p == style.group) {
        // Groups of three after a first group of one to three, each followed
        // by no digit; anything else is scan_number's to judge.
        if (integer_digits > 3 || *first == '0') return false;
        while (p != end && *p == style.group) {
            if (end - p < 4 || !is_digit(p[1]) || !is_digit(p[2]) || !is_digit(p[3]) ||
                (end - p > 4 && is_digit(p[4]))) {
                return false;
            }
            for (int k = 1; k <= 3; ++k) digits = digits * 10 + static_cast<std::uint64_t>(p[k] - '0');
            integer_digits += 3;
            p += 4;
        }
    }
    int scale = 0;
    if (p != end && *p == style.decimal) {
        const char* const fraction = ++p;
        while (p != end && is_digit(*p)) digits = digits * 10 + static_cast<std::uint64_t>(*p++ - '0');
        scale = static_cast<int>(p - fraction);
        if (scale == 0) return false;
    }
    if (p != end || integer_digits + scale > 18) return false;
    number.digits = digits;
    number.scale = scale;
    number.integer_digits = integer_digits;
    out = number;
    return true;
}

}  // namespace

bool scan_plain_number(std::string_view text, NumberStyle style, PlainNumber& out) noexcept {
    return scan_plain(text, style, out);
}

bool scan_number(std::string_view text, NumberStyle style, NumberText& out) noexcept {
    text = trim_spaces(text);
    NumberText number;
    bool signed_already = false;
    if (!take_sign(text, number, signed_already) || !take_currency(text, number) ||
        !take_sign(text, number, signed_already)) {
        return false;
    }
    const std::size_t before = text.size();
    if (!take_integer_part(text, style.group, number)) return false;
    const bool integer_digits = text.size() != before;
    bool fraction_digits = false;
    if (!text.empty() && text[0] == style.decimal) {
        number.point = true;
        text.remove_prefix(1);
        while (!text.empty() && is_digit(text[0])) {
            // Zeros before the first significant digit still count towards
            // the scale: 0.05 is 5 at scale 2.
            if (number.digit_count == 0 && text[0] == '0') {
                ++number.scale;
            } else {
                if (!push_digit(number, text[0])) return false;
                ++number.scale;
            }
            fraction_digits = true;
            text.remove_prefix(1);
        }
    }
    if (!integer_digits && !fraction_digits) return false;
    if (!text.empty() && (text[0] == 'e' || text[0] == 'E')) {
        text.remove_prefix(1);
        const char* end = text.data() + text.size();
        const char* from = text.data() + (!text.empty() && text[0] == '+' ? 1 : 0);
        const auto [ptr, ec] = std::from_chars(from, end, number.exponent_value);
        if (ec != std::errc() || ptr == from || number.exponent_value > 400 ||
            number.exponent_value < -400) {
            return false;
        }
        number.exponent = true;
        text.remove_prefix(static_cast<std::size_t>(ptr - text.data()));
    }
    if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    if (!take_currency(text, number)) return false;
    if (!text.empty() && text.back() == '%') {
        text.remove_suffix(1);
        text = trim_spaces(text);
    }
    if (!text.empty()) return false;
    out = number;
    return true;
}

bool to_int64(const NumberText& number, std::int64_t& out) noexcept {
    if (number.point || number.exponent || number.digit_count > 19) return false;
    if (number.digit_count <= 18) {
        std::int64_t value = 0;
        for (int i = 0; i < number.digit_count; ++i) value = value * 10 + (number.digits[i] - '0');
        out = number.negative ? -value : value;
        return true;
    }
    __int128 value = 0;
    for (int i = 0; i < number.digit_count; ++i) value = value * 10 + (number.digits[i] - '0');
    if (number.negative) value = -value;
    if (value > std::numeric_limits<std::int64_t>::max() ||
        value < std::numeric_limits<std::int64_t>::min()) {
        return false;
    }
    out = static_cast<std::int64_t>(value);
    return true;
}

bool is_identifier(std::int64_t value) noexcept {
    return value > kMaxExactInteger || value < -kMaxExactInteger;
}

bool to_float64(const NumberText& number, double& out) noexcept {
    // Rewritten as "-DIGITSe<exp>" for std::from_chars, which rounds
    // correctly; the scale moves into the exponent.
    char text[NumberText::kMaxDigits + 16];
    std::size_t n = 0;
    if (number.negative) text[n++] = '-';
    if (number.digit_count == 0) {
        text[n++] = '0';
    } else {
        std::memcpy(text + n, number.digits, static_cast<std::size_t>(number.digit_count));
        n += static_cast<std::size_t>(number.digit_count);
    }
    text[n++] = 'e';
    const auto [end, ec] =
        std::to_chars(text + n, text + sizeof(text), number.exponent_value - number.scale);
    if (ec != std::errc()) return false;
    double value = 0;
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end) return false;
    out = value;
    return true;
}

bool to_decimal(const NumberText& number, int precision, int scale, __int128& out) noexcept {
    if (number.exponent || number.scale > scale) return false;
    const int digits = number.digit_count + (scale - number.scale);
    if (digits > precision) return false;
    __int128 value = 0;
    for (int i = 0; i < number.digit_count; ++i) value = value * 10 + (number.digits[i] - '0');
    for (int i = number.scale; i < scale; ++i) value *= 10;
    out = number.negative ? -value : value;
    return true;
}

bool read_int64(std::string_view text, NumberStyle style, std::int64_t& out) noexcept {
    PlainNumber plain;
    if (scan_plain(text, style, plain)) {
        if (plain.scale != 0) return false;
        const auto value = static_cast<std::int64_t>(plain.digits);
        out = plain.negative ? -value : value;
        return true;
    }
    NumberText number;
    return scan_number(text, style, number) && to_int64(number, out);
}

bool read_float64(std::string_view text, NumberStyle style, double& out) noexcept {
    PlainNumber plain;
    // Digits and a power of ten that a double holds exactly: one division
    // rounds as reading the text does.
    if (scan_plain(text, style, plain) && plain.digits <= (std::uint64_t{1} << 53)) {
        const double value = static_cast<double>(plain.digits) / kExactPowers[plain.scale];
        out = plain.negative ? -value : value;
        return true;
    }
    NumberText number;
    return scan_number(text, style, number) && to_float64(number, out);
}

bool read_decimal(std::string_view text, NumberStyle style, int precision, int scale,
                  __int128& out) noexcept {
    PlainNumber plain;
    // Within the precision whatever its leading digits: to_decimal's answer.
    if (scan_plain(text, style, plain) && plain.scale <= scale &&
        plain.integer_digits <= precision - scale) {
        __int128 value = static_cast<__int128>(plain.digits);
        for (int i = plain.scale; i < scale; ++i) value *= 10;
        out = plain.negative ? -value : value;
        return true;
    }
    NumberText number;
    return scan_number(text, style, number) && to_decimal(number, precision, scale, out);
}

bool parse_bool(std::string_view text, bool digits, bool& out) noexcept {
    if (!text.empty() && (is_space(text.front()) || is_space(text.back()))) {
        text = trim_spaces(text);
    }
    bool value = false;
    switch (text.size()) {
        case 1:
            if (!digits || (text[0] != '1' && text[0] != '0')) return false;
            value = text[0] == '1';
            break;
        case 2:
            if (!equals_folded(text, "no")) return false;
            break;
        case 3:
            if (!equals_folded(text, "yes")) return false;
            value = true;
            break;
        case 4:
            if (!equals_folded(text, "true")) return false;
            value = true;
            break;
        case 5:
            if (!equals_folded(text, "false")) return false;
            break;
        default:
            return false;
    }
    out = value;
    return true;
}

namespace {

bool date_separator(char c) noexcept { return c == '-' || c == '/' || c == '.'; }

int two_digits(const char* p) noexcept { return (p[0] - '0') * 10 + (p[1] - '0'); }

// `yyyy-mm-dd` and `dd-mm-yyyy` (any of the separators, the same twice) at
// the start of text that needs no trimming: what scan_date reads there.
[[gnu::always_inline]] inline bool scan_fixed_date(std::string_view text, DateText& out,
                                                   std::string_view& rest) noexcept {
    if (text.size() < 10 || (text.size() > 10 && is_digit(text[10])) || is_space(text.back())) {
        return false;
    }
    const char* p = text.data();
    if (!is_digit(p[8]) || !is_digit(p[9])) return false;
    // The first eight bytes at once: a byte of `other` is zero where the
    // byte is a digit. A carry from a byte of 0xFA or more may call the
    // digit after it something else, never the other way round; the text
    // then goes the long way, which reads it all the same.
    std::uint64_t head = 0;
    std::memcpy(&head, p, sizeof head);
    constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0;
    constexpr std::uint64_t kThrees = 0x3030303030303030;
    const std::uint64_t other =
        ((head & kHigh) ^ kThrees) | (((head + 0x0606060606060606) & kHigh) ^ kThrees);
    // Bytes 0-3, 5 and 6 (yyyy-mm-); bytes 0, 1, 3, 4, 6 and 7 (dd-mm-yy),
    // the first byte the lowest.
    constexpr std::uint64_t kYearFirst = 0x00FFFF00FFFFFFFF;
    constexpr std::uint64_t kYearLast = 0xFFFF00FFFF00FFFF;
    if ((other & kYearFirst) == 0 && date_separator(p[4]) && p[7] == p[4]) {
        out = DateText{true, two_digits(p) * 100 + two_digits(p + 2), two_digits(p + 5),
                       two_digits(p + 8)};
    } else if ((other & kYearLast) == 0 && date_separator(p[2]) && p[5] == p[2]) {
        out = DateText{false, two_digits(p), two_digits(p + 3),
                       two_digits(p + 6) * 100 + two_digits(p + 8)};
    } else {
        return false;
    }
    rest = text.substr(10);
    return true;
}

}  // namespace

bool scan_date(std::string_view text, DateText& out, std::string_view& rest) noexcept {
    if (scan_fixed_date(text, out, rest)) return true;
    text = trim_spaces(text);
    int parts[3] = {0, 0, 0};
    std::size_t widths[3] = {0, 0, 0};
    std::size_t i = 0;
    char separator = 0;
    for (int p = 0; p < 3; ++p) {
        const std::size_t begin = i;
        while (i < text.size() && is_digit(text[i]) && i - begin < 4) {
            parts[p] = parts[p] * 10 + (text[i] - '0');
            ++i;
        }
        widths[p] = i - begin;
        if (widths[p] == 0) return false;
        if (p == 2) break;
        if (i == text.size()) return false;
        const char c = text[i];
        if (c != '-' && c != '/' && c != '.') return false;
        if (p == 0) separator = c;
        if (c != separator) return false;
        ++i;
    }
    if (i < text.size() && is_digit(text[i])) return false;
    DateText date;
    if (widths[0] == 4 && widths[1] <= 2 && widths[2] <= 2) {
        date.year_first = true;
    } else if (widths[0] > 2 || widths[1] > 2 || widths[2] != 4) {
        return false;
    }
    date.first = parts[0];
    date.second = parts[1];
    date.third = parts[2];
    out = date;
    rest = text.substr(i);
    return true;
}

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
constexpr std::int32_t days_from_civil(int y, int m, int d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool valid_date(int y, int m, int d) noexcept {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1) return false;
    if (d <= kDays[m - 1]) return true;
    // Only the 29th of February asks about the year.
    return m == 2 && d == 29 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0);
}

// The days to January 1 of the years most dates fall in, and of the year
// after the last: a lookup instead of the calendar's arithmetic.
constexpr int kFirstListedYear = 1900;
constexpr int kListedYears = 256;
constexpr auto kYearStarts = [] {
    std::array<std::int32_t, kListedYears + 1> starts{};
    for (int i = 0; i <= kListedYears; ++i) starts[i] = days_from_civil(kFirstListedYear + i, 1, 1);
    return starts;
}();
// Days from January 1 to the first of each month, in a common year.
constexpr std::int32_t kMonthStarts[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// A valid date's days since 1970-01-01.
[[gnu::always_inline]] inline std::int32_t days_of(int y, int m, int d) noexcept {
    const auto listed = static_cast<unsigned>(y - kFirstListedYear);
    if (listed >= kListedYears) return days_from_civil(y, m, d);
    const std::int32_t start = kYearStarts[listed];
    const bool leap = kYearStarts[listed + 1] - start == 366;
    return start + kMonthStarts[m - 1] + (leap && m > 2 ? 1 : 0) + d - 1;
}

// Digits [from, from + n) of text as a number.
bool fixed_digits(std::string_view text, std::size_t from, std::size_t n, int& out) noexcept {
    if (from + n > text.size()) return false;
    int value = 0;
    for (std::size_t i = from; i < from + n; ++i) {
        if (!is_digit(text[i])) return false;
        value = value * 10 + (text[i] - '0');
    }
    out = value;
    return true;
}

// `Z`, `+hh:mm`, `+hhmm` or `+hh`, as minutes east of UTC.
bool parse_offset(std::string_view text, int& minutes) noexcept {
    if (text == "Z" || text == "UTC") {
        minutes = 0;
        return true;
    }
    if (text.size() < 3 || (text[0] != '+' && text[0] != '-')) return false;
    int hours = 0;
    int mins = 0;
    if (!fixed_digits(text, 1, 2, hours)) return false;
    if (text.size() == 6 && text[3] == ':') {
        if (!fixed_digits(text, 4, 2, mins)) return false;
    } else if (text.size() == 5) {
        if (!fixed_digits(text, 3, 2, mins)) return false;
    } else if (text.size() != 3) {
        return false;
    }
    if (hours > 23 || mins > 59) return false;
    minutes = (text[0] == '-' ? -1 : 1) * (hours * 60 + mins);
    return true;
}

}  // namespace

namespace {

// to_days, inlined where dates are read cell after cell.
[[gnu::always_inline]] inline bool days_in(const DateText& date, DateOrder order,
                                           std::int32_t& out) noexcept {
    int y = date.third;
    int m = 0;
    int d = 0;
    if (date.year_first) {
        if (order != DateOrder::kYearMonthDay) return false;
        y = date.first;
        m = date.second;
        d = date.third;
    } else if (order == DateOrder::kDayMonthYear) {
        d = date.first;
        m = date.second;
    } else if (order == DateOrder::kMonthDayYear) {
        m = date.first;
        d = date.second;
    } else {
        return false;
    }
    if (!valid_date(y, m, d)) return false;
    out = days_of(y, m, d);
    return true;
}

}  // namespace

bool to_days(const DateText& date, DateOrder order, std::int32_t& out) noexcept {
    return days_in(date, order, out);
}

bool parse_date(std::string_view text, DateOrder order, std::int32_t& out) noexcept {
    DateText date;
    std::string_view rest;
    if (scan_fixed_date(text, date, rest)) return rest.empty() && days_in(date, order, out);
    return scan_date(text, date, rest) && rest.empty() && to_days(date, order, out);
}

namespace {

// A date and the time after it, if any (`timed` says whether one was).
[[gnu::always_inline]] inline bool read_moment(std::string_view text, DateOrder order,
                                               std::int64_t& out, bool& zoned,
                                               bool& timed) noexcept {
    DateText date;
    std::string_view rest;
    std::int32_t days = 0;
    std::int64_t micros = 0;
    bool has_zone = false;
    if ((!scan_fixed_date(text, date, rest) && !scan_date(text, date, rest)) ||
        !days_in(date, order, days) ||
        (!rest.empty() && !parse_time_of_day(rest, micros, has_zone))) {
        return false;
    }
    zoned = has_zone;
    timed = !rest.empty();
    out = std::int64_t{days} * kMicrosPerDay + micros;
    return true;
}

}  // namespace

bool parse_date_or_timestamp(std::string_view text, DateOrder order, std::int64_t& out,
                             bool& zoned) noexcept {
    bool timed = false;
    return read_moment(text, order, out, zoned, timed);
}

bool parse_time_of_day(std::string_view rest, std::int64_t& micros_out, bool& zoned) noexcept {
    if (rest.empty() || (rest[0] != 'T' && rest[0] != ' ')) return false;
    // ` hh:mm:ss` alone, the most common writing, read straight off.
    if (rest.size() == 9 && rest[3] == ':' && rest[6] == ':' && is_digit(rest[1]) &&
        is_digit(rest[2]) && is_digit(rest[4]) && is_digit(rest[5]) && is_digit(rest[7]) &&
        is_digit(rest[8])) {
        const int hours = two_digits(rest.data() + 1);
        const int minutes = two_digits(rest.data() + 4);
        const int seconds = two_digits(rest.data() + 7);
        if (hours > 23 || minutes > 59 || seconds > 60) return false;
        zoned = false;
        micros_out = (std::int64_t{hours} * 3600 + minutes * 60 + seconds) * 1000000;
        return true;
    }
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    std::int64_t micros = 0;
    if (!fixed_digits(rest, 1, 2, hours) || rest.size() < 6 || rest[3] != ':' ||
        !fixed_digits(rest, 4, 2, minutes)) {
        return false;
    }
    std::size_t i = 6;
    if (i < rest.size() && rest[i] == ':') {
        if (!fixed_digits(rest, i + 1, 2, seconds)) return false;
        i += 3;
        if (i < rest.size() && rest[i] == '.') {
            std::size_t n = 0;
            ++i;
            while (i < rest.size() && is_digit(rest[i]) && n < 9) {
                if (n < 6) micros = micros * 10 + (rest[i] - '0');
                ++i;
                ++n;
            }
            if (n == 0) return false;
            for (; n < 6; ++n) micros *= 10;
        }
    }
    if (hours > 23 || minutes > 59 || seconds > 60) return false;
    std::string_view zone = rest.substr(i);
    if (!zone.empty() && zone[0] == ' ') zone.remove_prefix(1);
    int offset = 0;
    const bool has_zone = !zone.empty();
    if (has_zone && !parse_offset(zone, offset)) return false;
    zoned = has_zone;
    micros_out =
        (std::int64_t{hours} * 3600 + minutes * 60 + seconds - std::int64_t{offset} * 60) *
            1000000 +
        micros;
    return true;
}

bool parse_timestamp(std::string_view text, DateOrder order, std::int64_t& out,
                     bool& zoned) noexcept {
    std::int64_t micros = 0;
    bool has_zone = false;
    bool timed = false;
    if (!read_moment(text, order, micros, has_zone, timed) || !timed) return false;
    out = micros;
    zoned = has_zone;
    return true;
}

bool is_null_spelling(std::string_view text) noexcept {
    // Most cells are told apart at their first byte, spaces aside.
    if (!text.empty() && text[0] != ' ' && text[0] != '\t' && text[0] != '-' &&
        text[0] != '\\' && (text[0] | 0x20) != 'n') {
        return false;
    }
    text = trim_spaces(text);
    if (text.empty() || text == "-" || text == "\\N") return true;
    static constexpr std::string_view kSpellings[] = {"na", "n/a", "null", "none", "nan"};
    for (const std::string_view spelling : kSpellings) {
        if (equals_folded(text, spelling)) return true;
    }
    return false;
}

}  // namespace quillon::arrow::typed

// Hand-written recognisers over a byte range, one per form: regular
// expressions would allocate and backtrack, and the dialect detection runs
// these on every cell of its sample for every candidate dialect. Each
// recogniser either consumes the whole range or fails; the first byte picks
// which ones are tried at all.
#include "cell_type.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace quillon {
namespace {

using Byte = unsigned char;

struct Range {
    const Byte* p;
    const Byte* e;
    bool empty() const noexcept { return p == e; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(e - p); }
};

bool is_digit(Byte c) noexcept { return c >= '0' && c <= '9'; }
bool is_ascii_space(Byte c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
Byte lower(Byte c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<Byte>(c + 32) : c; }

Range trimmed(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const Byte*>(text.data());
    const Byte* e = p + text.size();
    while (p != e && is_ascii_space(*p)) ++p;
    while (e != p && is_ascii_space(e[-1])) --e;
    return {p, e};
}

// Case-insensitive comparison with a lower-case ASCII word.
bool equals_word(Range r, std::string_view word) noexcept {
    if (r.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (lower(r.p[i]) != static_cast<Byte>(word[i])) return false;
    }
    return true;
}

// ---- UTF-8 code points -------------------------------------------------

// Decodes one well-formed sequence at p; returns its length, 0 when
// ill-formed or cut off.
std::size_t decode(const Byte* p, const Byte* e, std::uint32_t& cp) noexcept {
    const Byte lead = *p;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    std::size_t need;
    Byte lo = 0x80;
    Byte hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0Fu;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07u;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(e - p) <= need) return 0;
    for (std::size_t i = 1; i <= need; ++i) {
        const Byte c = p[i];
        if (c < lo || c > hi) return 0;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    return need + 1;
}

struct CodeRange {
    std::uint32_t first;
    std::uint32_t last;
};

bool in_ranges(const CodeRange* begin, const CodeRange* end, std::uint32_t cp) noexcept {
    const CodeRange* it = std::upper_bound(
        begin, end, cp, [](std::uint32_t v, const CodeRange& r) { return v < r.first; });
    return it != begin && cp <= (it - 1)->last;
}

// Letters and digits beyond ASCII, by block: whole scripts count as letters,
// their punctuation and symbol blocks do not. Combining marks of the Latin,
// Greek and Cyrillic blocks are left out; those of Indic and South-East Asian
// scripts, interleaved with their letters, are counted in.
// clang-format off
constexpr CodeRange kLetters[] = {
    {0x00AA, 0x00AA}, {0x00B2, 0x00B3}, {0x00B5, 0x00B5}, {0x00B9, 0x00BA}, {0x00BC, 0x00BE},
    {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x02C1}, {0x02C6, 0x02D1}, {0x02E0, 0x02E4},
    {0x02EC, 0x02EC}, {0x02EE, 0x02EE}, {0x0370, 0x0374}, {0x0376, 0x037D}, {0x037F, 0x037F},
    {0x0386, 0x0386}, {0x0388, 0x03F5}, {0x03F7, 0x0481}, {0x048A, 0x052F}, {0x0531, 0x0556},
    {0x0559, 0x0559}, {0x0560, 0x0588}, {0x05D0, 0x05EA}, {0x05EF, 0x05F2}, {0x0620, 0x064A},
    {0x0660, 0x0669}, {0x066E, 0x066F}, {0x0671, 0x06D3}, {0x06D5, 0x06D5}, {0x06E5, 0x06E6},
    {0x06EE, 0x06FC}, {0x06FF, 0x06FF}, {0x0710, 0x074F}, {0x0780, 0x07B1}, {0x07C0, 0x07EA},
    {0x0800, 0x0815}, {0x0840, 0x0858}, {0x0860, 0x086A}, {0x08A0, 0x08C9}, {0x0900, 0x0963},
    {0x0966, 0x0DFF}, {0x0E01, 0x0E3A}, {0x0E40, 0x0E4E}, {0x0E50, 0x0E59}, {0x0E81, 0x0EDF},
    {0x0F20, 0x0F33}, {0x0F40, 0x0F6C}, {0x0F88, 0x0F8C}, {0x1000, 0x1049}, {0x1050, 0x109E},
    {0x10A0, 0x10FA}, {0x10FC, 0x135A}, {0x1369, 0x137C}, {0x1380, 0x138F}, {0x13A0, 0x13F5},
    {0x1401, 0x166C}, {0x166F, 0x167F}, {0x1681, 0x169A}, {0x16A0, 0x16EA}, {0x16EE, 0x16F8},
    {0x1700, 0x1711}, {0x1780, 0x17B3}, {0x17E0, 0x17E9}, {0x1810, 0x1819}, {0x1820, 0x1878},
    {0x1880, 0x18AA}, {0x1900, 0x191E}, {0x1946, 0x196D}, {0x1970, 0x1974}, {0x1980, 0x19AB},
    {0x19D0, 0x19D9}, {0x1A00, 0x1A16}, {0x1B05, 0x1B33}, {0x1B50, 0x1B59}, {0x1D00, 0x1DBF},
    {0x1E00, 0x1F15}, {0x1F18, 0x1F1D}, {0x1F20, 0x1F45}, {0x1F48, 0x1F4D}, {0x1F50, 0x1F7D},
    {0x1F80, 0x1FBC}, {0x1FC2, 0x1FCC}, {0x1FD0, 0x1FDB}, {0x1FE0, 0x1FEC}, {0x1FF2, 0x1FFC},
    {0x2070, 0x2071}, {0x2074, 0x2079}, {0x207F, 0x2089}, {0x2090, 0x209C}, {0x2102, 0x2102},
    {0x2107, 0x2107}, {0x210A, 0x2113}, {0x2115, 0x2115}, {0x2119, 0x211D}, {0x2124, 0x2124},
    {0x2126, 0x2126}, {0x2128, 0x2128}, {0x212A, 0x212D}, {0x212F, 0x2139}, {0x213C, 0x213F},
    {0x2145, 0x2149}, {0x214E, 0x214E}, {0x2150, 0x2189}, {0x2460, 0x249B}, {0x24EA, 0x24FF},
    {0x2776, 0x2793}, {0x2C00, 0x2CE4}, {0x2CEB, 0x2CEE}, {0x2CF2, 0x2CF3}, {0x2CFD, 0x2CFD},
    {0x2D00, 0x2D25}, {0x2D30, 0x2D67}, {0x2D80, 0x2DDE}, {0x3005, 0x3007}, {0x3021, 0x3029},
    {0x3031, 0x3035}, {0x3038, 0x303C}, {0x3041, 0x3096}, {0x309D, 0x309F}, {0x30A1, 0x30FA},
    {0x30FC, 0x30FF}, {0x3105, 0x312F}, {0x3131, 0x318E}, {0x3192, 0x3195}, {0x31A0, 0x31BF},
    {0x31F0, 0x31FF}, {0x3220, 0x3229}, {0x3248, 0x324F}, {0x3251, 0x325F}, {0x3280, 0x3289},
    {0x32B1, 0x32BF}, {0x3400, 0x4DBF}, {0x4E00, 0xA48C}, {0xA4D0, 0xA4FD}, {0xA500, 0xA60C},
    {0xA610, 0xA62B}, {0xA640, 0xA66E}, {0xA67F, 0xA69D}, {0xA6A0, 0xA6EF}, {0xA717, 0xA71F},
    {0xA722, 0xA788}, {0xA78B, 0xA827}, {0xA840, 0xA873}, {0xA880, 0xA8C5}, {0xA8D0, 0xA8D9},
    {0xA8F2, 0xA8F7}, {0xA8FB, 0xA8FB}, {0xA8FD, 0xA92D}, {0xA930, 0xA952}, {0xA960, 0xA97C},
    {0xA980, 0xA9C0}, {0xA9CF, 0xA9D9}, {0xA9E0, 0xA9FE}, {0xAA00, 0xAA36}, {0xAA40, 0xAA59},
    {0xAA60, 0xAA76}, {0xAA7A, 0xAADD}, {0xAAE0, 0xAAEF}, {0xAAF2, 0xAAF6}, {0xAB01, 0xAB5A},
    {0xAB5C, 0xAB69}, {0xAB70, 0xABEA}, {0xABF0, 0xABF9}, {0xAC00, 0xD7A3}, {0xD7B0, 0xD7C6},
    {0xD7CB, 0xD7FB}, {0xF900, 0xFA6D}, {0xFA70, 0xFAD9}, {0xFB00, 0xFB06}, {0xFB13, 0xFB17},
    {0xFB1D, 0xFB28}, {0xFB2A, 0xFBB1}, {0xFBD3, 0xFD3D}, {0xFD50, 0xFDC7}, {0xFDF0, 0xFDFB},
    {0xFE70, 0xFEFC}, {0xFF10, 0xFF19}, {0xFF21, 0xFF3A}, {0xFF41, 0xFF5A}, {0xFF66, 0xFFDC},
    {0x10000, 0x1BCFF}, {0x1D400, 0x1D7FF}, {0x1E000, 0x1E95D}, {0x1E960, 0x1EFFF},
    {0x1F100, 0x1F10C}, {0x20000, 0x3FFFF},
};
// clang-format on

// Sentence punctuation that plain text may hold: periods, parentheses,
// question and exclamation marks of other scripts.
// clang-format off
constexpr CodeRange kTextPunctuation[] = {
    {0x00A1, 0x00A1}, {0x00BF, 0x00BF}, {0x01C3, 0x01C3}, {0x037E, 0x037E}, {0x055C, 0x055C},
    {0x055E, 0x055E}, {0x061F, 0x061F}, {0x06D4, 0x06D4}, {0x07F9, 0x07F9}, {0x109F, 0x109F},
    {0x1367, 0x1367}, {0x1944, 0x1945}, {0x203C, 0x203C}, {0x2047, 0x2049}, {0x27EE, 0x27EF},
    {0x2CFA, 0x2CFB}, {0x2E2E, 0x2E2E}, {0x3002, 0x3002}, {0xA60F, 0xA60F}, {0xA6F7, 0xA6F7},
    {0xAA77, 0xAA77}, {0xFE15, 0xFE16}, {0xFE52, 0xFE52}, {0xFE56, 0xFE57}, {0xFF01, 0xFF01},
    {0xFF08, 0xFF09}, {0xFF0E, 0xFF0E}, {0xFF1F, 0xFF1F}, {0xFF61, 0xFF61}, {0x11143, 0x11143},
    {0x1E95E, 0x1E95F},
};
// clang-format on

// Commas of other scripts, allowed in quoted text like the ASCII comma.
// clang-format off
constexpr CodeRange kCommas[] = {
    {0x060C, 0x060C}, {0x1363, 0x1363}, {0x1802, 0x1802},
    {0x1808, 0x1808}, {0xFE50, 0xFE50}, {0xFF0C, 0xFF0C},
};
// clang-format on

// Unicode's currency symbols (general category Sc).
// clang-format off
constexpr CodeRange kCurrency[] = {
    {0x0024, 0x0024}, {0x00A2, 0x00A5}, {0x058F, 0x058F}, {0x060B, 0x060B}, {0x07FE, 0x07FF},
    {0x09F2, 0x09F3}, {0x09FB, 0x09FB}, {0x0AF1, 0x0AF1}, {0x0BF9, 0x0BF9}, {0x0E3F, 0x0E3F},
    {0x17DB, 0x17DB}, {0x20A0, 0x20C0}, {0xA838, 0xA838}, {0xFDFC, 0xFDFC}, {0xFE69, 0xFE69},
    {0xFF04, 0xFF04}, {0xFFE0, 0xFFE1}, {0xFFE5, 0xFFE6}, {0x11FDD, 0x11FE0}, {0x1E2FF, 0x1E2FF},
    {0x1ECB0, 0x1ECB0},
};
// clang-format on

template <std::size_t N>
bool in(const CodeRange (&table)[N], std::uint32_t cp) noexcept {
    return in_ranges(std::begin(table), std::end(table), cp);
}

// Length of the currency symbol at the start of r, or 0.
std::size_t currency_at_start(Range r) noexcept {
    if (r.empty()) return 0;
    if (*r.p == '$') return 1;
    if (*r.p < 0x80) return 0;
    std::uint32_t cp;
    const std::size_t n = decode(r.p, r.e, cp);
    return n != 0 && in(kCurrency, cp) ? n : 0;
}

// Length of the currency symbol at the end of r, or 0.
std::size_t currency_at_end(Range r) noexcept {
    if (r.empty()) return 0;
    if (r.e[-1] == '$') return 1;
    if (r.e[-1] < 0x80) return 0;
    // Back up to the lead byte of the last sequence.
    const Byte* q = r.e - 1;
    while (q != r.p && (*q & 0xC0) == 0x80 && r.e - q < 4) --q;
    std::uint32_t cp;
    const std::size_t n = decode(q, r.e, cp);
    return n == static_cast<std::size_t>(r.e - q) && in(kCurrency, cp) ? n : 0;
}

// ---- Numbers -------------------------------------------------------------

enum class Number : std::uint8_t { kNone, kInteger, kDecimal };

std::size_t count_digits(const Byte* p, const Byte* e) noexcept {
    const Byte* q = p;
    while (q != e && is_digit(*q)) ++q;
    return static_cast<std::size_t>(q - p);
}

// [eE][+-]?\d+ filling the rest of the range exactly.
bool is_exponent(const Byte* p, const Byte* e) noexcept {
    if (p == e || (*p != 'e' && *p != 'E')) return false;
    ++p;
    if (p != e && (*p == '+' || *p == '-')) ++p;
    return p != e && count_digits(p, e) == static_cast<std::size_t>(e - p);
}

// Digits grouped by threes with `group`, optionally followed by the other
// separator and a fraction: `1,234,567` or `1.234,5`.
Number grouped_number(const Byte* p, const Byte* e) noexcept {
    const std::size_t lead = count_digits(p, e);
    if (lead == 0 || lead > 3 || *p == '0' || p + lead == e) return Number::kNone;
    p += lead;
    const Byte group = *p;
    if (group != ',' && group != '.') return Number::kNone;
    const Byte point = group == ',' ? '.' : ',';
    std::size_t groups = 0;
    while (p != e && *p == group) {
        if (count_digits(p + 1, e) < 3) return Number::kNone;
        if (p + 4 != e && is_digit(p[4])) return Number::kNone;
        p += 4;
        ++groups;
    }
    if (p == e) {
        // One group after a dot is the decimal reading: 1.234 is 1.234.
        return (group == '.' && groups == 1) ? Number::kDecimal : Number::kInteger;
    }
    if (*p != point) return Number::kNone;
    ++p;
    return count_digits(p, e) == static_cast<std::size_t>(e - p) ? Number::kDecimal : Number::kNone;
}

// An unsigned number: digits without leading zeros, optionally a point or a
// comma and a fraction, optionally an exponent; or a grouped number.
Number plain_number(const Byte* p, const Byte* e) noexcept {
    if (p == e) return Number::kNone;
    const std::size_t int_digits = count_digits(p, e);
    if (int_digits > 1 && *p == '0') return Number::kNone;
    if (p + int_digits == e) return Number::kInteger;
    const Byte* q = p + int_digits;
    if (*q == '.' || *q == ',') {
        const std::size_t frac = count_digits(q + 1, e);
        if (int_digits == 0 && frac == 0) return Number::kNone;
        const Byte* after = q + 1 + frac;
        if (after == e) {
            if (*q == ',' && frac == 3 && int_digits > 0) {
                const Number grouped = grouped_number(p, e);
                return grouped != Number::kNone ? grouped : Number::kDecimal;
            }
            // A decimal comma needs digits after it: `5,` is not a number.
            return (*q == '.' || frac > 0) ? Number::kDecimal : Number::kNone;
        }
        if (is_exponent(after, e) && (*q == '.' || frac > 0)) return Number::kDecimal;
        return int_digits > 0 ? grouped_number(p, e) : Number::kNone;
    }
    if (int_digits > 0 && is_exponent(q, e)) return Number::kDecimal;
    return Number::kNone;
}

Number signed_number(Range r) noexcept {
    if (!r.empty() && (*r.p == '+' || *r.p == '-')) ++r.p;
    return plain_number(r.p, r.e);
}

// A number with an optional trailing percent sign or a currency symbol on
// either side (a sign may stand before the symbol: `-$5`).
Number decorated_number(Range r) noexcept {
    if (r.empty()) return Number::kNone;
    const Byte last = r.e[-1];
    if (last == '%') {
        Range inner{r.p, r.e - 1};
        while (!inner.empty() && inner.e[-1] == ' ') --inner.e;
        return signed_number(inner);
    }
    if (is_digit(last) || last == '.') {
        if (const Number n = signed_number(r); n != Number::kNone) return n;
        const bool signed_before = *r.p == '+' || *r.p == '-';
        Range rest{signed_before ? r.p + 1 : r.p, r.e};
        const std::size_t symbol = currency_at_start(rest);
        if (symbol == 0) return Number::kNone;
        rest.p += symbol;
        if (!rest.empty() && *rest.p == ' ') ++rest.p;
        // One sign in all: `$-5` and `-$5`, not `-$-5`.
        return signed_before ? plain_number(rest.p, rest.e) : signed_number(rest);
    }
    const std::size_t symbol = currency_at_end(r);
    if (symbol == 0) return Number::kNone;
    Range inner{r.p, r.e - symbol};
    if (!inner.empty() && inner.e[-1] == ' ') --inner.e;
    return signed_number(inner);
}

CellType number_type(Number n) noexcept {
    if (n == Number::kInteger) return CellType::kInteger;
    return n == Number::kDecimal ? CellType::kDecimal : CellType::kText;
}

// ---- Dates and times -------------------------------------------------------

struct Digits {
    unsigned value = 0;
    std::size_t length = 0;
};

// Up to `max` digits at p.
Digits read_digits(const Byte*& p, const Byte* e, std::size_t max) noexcept {
    Digits d;
    while (p != e && d.length < max && is_digit(*p)) {
        d.value = d.value * 10 + static_cast<unsigned>(*p - '0');
        ++d.length;
        ++p;
    }
    return d;
}

bool day_exists(unsigned year, bool year_known, unsigned month, unsigned day) noexcept {
    constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
    if (month == 2 && day == 29 && year_known) {
        return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    }
    return true;
}

// A four-digit year is 1000-2999; a two-digit one is any.
bool plausible_year(Digits y) noexcept {
    return y.length == 2 || (y.length == 4 && y.value >= 1000 && y.value <= 2999);
}

// Three digit groups joined by one separator used twice; p is left after them.
bool is_date_at(const Byte*& p, const Byte* e) noexcept {
    const Digits a = read_digits(p, e, 4);
    if (a.length == 0 || p == e) return false;
    const Byte sep = *p;
    if (sep != '-' && sep != '/' && sep != '.') return false;
    ++p;
    const Digits b = read_digits(p, e, 2);
    if (b.length == 0 || p == e || *p != sep) return false;
    ++p;
    const Digits c = read_digits(p, e, 4);
    if (p != e && is_digit(*p)) return false;
    if (a.length == 4) {
        return plausible_year(a) && c.length >= 1 && c.length <= 2 &&
               day_exists(a.value, true, b.value, c.value);
    }
    if (a.length == 3 || c.length == 0 || c.length == 3) return false;
    if (c.length == 1) return false;
    // A two-digit year may come first (yy-mm-dd) only when the day cannot.
    if (plausible_year(c)) {
        const bool four = c.length == 4;
        if (day_exists(c.value, four, b.value, a.value) ||
            day_exists(c.value, four, a.value, b.value)) {
            return true;
        }
    }
    return c.length == 2 && a.length == 2 && day_exists(a.value, false, b.value, c.value);
}

// A UTC designator or offset: Z, +hh, +hhmm, +hh:mm (or -).
bool is_zone(const Byte* p, const Byte* e) noexcept {
    if (p == e) return true;
    if ((*p == 'Z' || *p == 'z') && p + 1 == e) return true;
    if (*p != '+' && *p != '-') return false;
    ++p;
    const Digits h = read_digits(p, e, 2);
    if (h.length != 2 || h.value > 14) return false;
    if (p == e) return true;
    if (*p == ':') ++p;
    const Digits m = read_digits(p, e, 2);
    return m.length == 2 && m.value < 60 && p == e;
}

// h:mm[:ss[.fff]] with an optional am/pm and an optional zone, filling [p, e).
bool is_time(const Byte* p, const Byte* e) noexcept {
    const Digits h = read_digits(p, e, 2);
    if (h.length == 0 || p == e || *p != ':') return false;
    ++p;
    const Digits m = read_digits(p, e, 2);
    if (m.length != 2 || m.value > 59) return false;
    if (p != e && *p == ':') {
        ++p;
        const Digits s = read_digits(p, e, 2);
        if (s.length != 2 || s.value > 60) return false;
        if (p != e && (*p == '.' || *p == ',')) {
            ++p;
            if (count_digits(p, e) == 0) return false;
            p += count_digits(p, e);
        }
    }
    const Byte* q = p;
    if (q != e && *q == ' ') ++q;
    if (q != e && (lower(*q) == 'a' || lower(*q) == 'p')) {
        ++q;
        if (q != e && *q == '.') ++q;
        if (q == e || lower(*q) != 'm') return false;
        ++q;
        if (q != e && *q == '.') ++q;
        if (h.value < 1 || h.value > 12) return false;
        return is_zone(q, e);
    }
    return h.value <= 23 && is_zone(p, e);
}

CellType date_or_time(Range r) noexcept {
    const Byte* p = r.p;
    if (is_date_at(p, r.e)) {
        if (p == r.e) return CellType::kDate;
        if ((*p == 'T' || *p == ' ') && is_time(p + 1, r.e)) return CellType::kDateTime;
        return CellType::kText;
    }
    return is_time(r.p, r.e) ? CellType::kTime : CellType::kText;
}

// ---- Known text ------------------------------------------------------------

enum : Byte { kWordByte = 1, kQuotedWordByte = 2 };

constexpr auto kAsciiWord = [] {
    struct Table {
        Byte v[128] = {};
    } t;
    for (int c = 'a'; c <= 'z'; ++c) t.v[c] = kWordByte | kQuotedWordByte;
    for (int c = 'A'; c <= 'Z'; ++c) t.v[c] = kWordByte | kQuotedWordByte;
    for (int c = '0'; c <= '9'; ++c) t.v[c] = kWordByte | kQuotedWordByte;
    for (const char c : {' ', '-', '_', '.', '(', ')', '?', '!'}) {
        t.v[static_cast<Byte>(c)] = kWordByte | kQuotedWordByte;
    }
    // What only quoting lets a cell hold: delimiters and line breaks (notes
    // written over several lines).
    for (const char c : {',', ';', '\t', '|', ':', '\r', '\n'}) {
        t.v[static_cast<Byte>(c)] = kQuotedWordByte;
    }
    return t;
}();

bool is_letter_byte(Byte c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

// The apostrophe of O'Brien and it's: between two letters.
bool is_inner_apostrophe(Range r, const Byte* p) noexcept {
    return *p == '\'' && p != r.p && p + 1 != r.e && is_letter_byte(p[-1]) && is_letter_byte(p[1]);
}

// Letters, digits, spaces and light punctuation only.
bool is_word_text(Range r, bool quoted) noexcept {
    const Byte mask = quoted ? kQuotedWordByte : kWordByte;
    const Byte* p = r.p;
    while (p != r.e) {
        if (*p < 0x80) {
            if ((kAsciiWord.v[*p] & mask) == 0 && !is_inner_apostrophe(r, p)) return false;
            ++p;
            continue;
        }
        std::uint32_t cp;
        const std::size_t n = decode(p, r.e, cp);
        if (n == 0) return false;
        if (!in(kLetters, cp) && !in(kTextPunctuation, cp) && !(quoted && in(kCommas, cp))) {
            return false;
        }
        p += n;
    }
    return true;
}

bool is_ascii_alnum(Byte c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// local@domain.tld, the local part of [A-Za-z0-9_.+-], the domain of
// [A-Za-z0-9-] labels.
bool is_email(Range r) noexcept {
    const Byte* p = r.p;
    while (p != r.e && (is_ascii_alnum(*p) || *p == '_' || *p == '.' || *p == '+' || *p == '-'))
        ++p;
    if (p == r.p || p == r.e || *p != '@') return false;
    ++p;
    const Byte* label = p;
    while (p != r.e && (is_ascii_alnum(*p) || *p == '-')) ++p;
    if (p == label || p == r.e || *p != '.') return false;
    ++p;
    const Byte* rest = p;
    while (p != r.e && (is_ascii_alnum(*p) || *p == '-' || *p == '.')) ++p;
    return p == r.e && p != rest;
}

bool is_ipv4_at(const Byte*& p, const Byte* e) noexcept {
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == e || *p != '.') return false;
            ++p;
        }
        const Digits d = read_digits(p, e, 3);
        if (d.length == 0 || d.value > 255) return false;
    }
    return p == e || !is_digit(*p);
}

bool is_url_path_byte(Byte c) noexcept {
    return is_ascii_alnum(c) || c >= 0x80 || c == '_' || c == '/' || c == '(' || c == ')' ||
           c == '~' || c == '?' || c == '=' || c == '&' || c == '%' || c == '-' || c == '#' ||
           c == '.' || c == ':' || c == '+' || c == ';' || c == ',' || c == '@' || c == '!';
}

// [scheme://]host[:port][/path], the host a dotted name ending in a
// lower-case label of two letters or more, localhost or an IPv4 address.
bool is_url(Range r) noexcept {
    const Byte* p = r.p;
    for (const std::string_view scheme : {"https://", "http://", "ftp://"}) {
        if (r.size() > scheme.size() && equals_word(Range{p, p + scheme.size()}, scheme)) {
            p += scheme.size();
            break;
        }
    }
    const Byte* host = p;
    bool host_ok = false;
    if (is_ipv4_at(p, r.e)) {
        host_ok = true;
    } else {
        p = host;
        if (equals_word(Range{p, std::min(r.e, p + 9)}, "localhost")) {
            p += 9;
            host_ok = p == r.e || *p == ':' || *p == '/';
        } else {
            std::size_t labels = 0;
            const Byte* last_label = p;
            for (;;) {
                const Byte* label = p;
                while (p != r.e && (is_ascii_alnum(*p) || *p == '-' || *p >= 0x80)) ++p;
                if (p == label) return false;
                ++labels;
                last_label = label;
                if (p == r.e || *p != '.') break;
                ++p;
            }
            std::size_t tld = 0;
            for (const Byte* q = last_label; q != p; ++q) {
                if (*q < 'a' || *q > 'z') return false;
                ++tld;
            }
            host_ok = labels >= 2 && tld >= 2;
        }
    }
    if (!host_ok) return false;
    if (p != r.e && *p == ':') {
        ++p;
        const Digits port = read_digits(p, r.e, 5);
        if (port.length == 0) return false;
    }
    if (p == r.e) return true;
    if (*p != '/') return false;
    while (p != r.e && is_url_path_byte(*p)) ++p;
    return p == r.e;
}

// [~.]?(/[A-Za-z0-9._-]+)+/?
bool is_unix_path(Range r) noexcept {
    const Byte* p = r.p;
    if (p != r.e && (*p == '~' || *p == '.')) ++p;
    std::size_t parts = 0;
    while (p != r.e && *p == '/') {
        ++p;
        const Byte* part = p;
        while (p != r.e && (is_ascii_alnum(*p) || *p == '.' || *p == '-' || *p == '_')) ++p;
        if (p == part) return p == r.e && parts > 0;
        ++parts;
    }
    return p == r.e && parts > 0;
}

}  // namespace

CellType classify_cell(std::string_view text) noexcept {
    const Range r = trimmed(text);
    if (r.empty()) return CellType::kEmpty;
    const Byte first = *r.p;
    if (is_digit(first)) {
        const Number n = decorated_number(r);
        return n == Number::kNone ? date_or_time(r) : number_type(n);
    }
    if (first == '+' || first == '-' || first == '.' || first == ',' || first == '$' ||
        first >= 0x80) {
        return number_type(decorated_number(r));
    }
    switch (lower(first)) {
        case 't':
            return equals_word(r, "true") ? CellType::kBoolean : CellType::kText;
        case 'f':
            return equals_word(r, "false") ? CellType::kBoolean : CellType::kText;
        case 'y':
            return equals_word(r, "yes") ? CellType::kBoolean : CellType::kText;
        case 'n':
            return equals_word(r, "no") ? CellType::kBoolean : CellType::kText;
        default:
            return CellType::kText;
    }
}

std::string_view cell_type_name(CellType type) noexcept {
    switch (type) {
        case CellType::kEmpty:
            return "empty";
        case CellType::kInteger:
            return "integer";
        case CellType::kDecimal:
            return "decimal";
        case CellType::kDate:
            return "date";
        case CellType::kTime:
            return "time";
        case CellType::kDateTime:
            return "datetime";
        case CellType::kBoolean:
            return "boolean";
        case CellType::kText:
            return "text";
    }
    return "text";
}

bool is_known_cell(std::string_view text, bool quoted) noexcept {
    const Range r = trimmed(text);
    // Plain words are the common case among cells that are not numbers.
    if (is_word_text(r, quoted)) return true;
    if (classify_cell(text) != CellType::kText) return true;
    if (equals_word(r, "n/a")) return true;
    const Byte* p = r.p;
    if (is_ipv4_at(p, r.e) && p == r.e) return true;
    return is_email(r) || is_url(r) || is_unix_path(r);
}

}  // namespace quillon

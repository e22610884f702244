#include "dialect_detection.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "detection_sample.hpp"
#include "engine/cell_type.hpp"
#include "engine/field_count_table.hpp"
#include "engine/row_store.hpp"
#include "engine/sniffer.hpp"
#include "engine/tokenizer.hpp"

namespace quillon {
namespace {

using Byte = unsigned char;

// The delimiters tried when none is given, in tie-break order.
constexpr std::array<Byte, 6> kDelimiters = {',', ';', '\t', '|', ' ', ':'};
constexpr Byte kBackslash = '\\';
constexpr std::size_t kSnifferRecords = 50;

// Scoring time grows with the candidates, the bytes and, above all, the
// bytes that stop the tokenizer (a field costs about 30 times a byte, typing
// its cell included). An input that offers many candidates (every
// delimiter, both quotes, escapes) is scored on a shorter prefix of the
// sample, so that scoring them all stays near 3 ms on this project's
// reference machine, and never on less than kMinScored bytes. The units are
// half-nanoseconds measured there.
constexpr std::size_t kScoringBudget = 6'000'000;
constexpr std::size_t kByteCost = 3;
constexpr std::size_t kStopCost = 100;
constexpr std::size_t kMinScored = 2 * 1024;

constexpr double kPatternFloor = 1e-3;
constexpr double kTypeFloor = 1e-10;
// A delimiter other than the fixed-rule sniffer's pick must reach this many
// times the pick's consistency to replace it. The pattern score divides by
// the number of distinct field counts, so ragged rows (the damage this
// project repairs) weigh heavily on the true delimiter, and one that splits
// only a time column (12:30:00) can come out ahead by a little.
constexpr double kPriorMargin = 1.5;
// Scores computed in different orders may differ in the last bits.
constexpr double kTieTolerance = 1e-12;

bool is_digit(Byte c) noexcept { return c >= '0' && c <= '9'; }

// ASCII punctuation that may delimit a file written by hand or by an odd
// exporter (+ ~ ^ ! / ...): not one of kDelimiters, not a quote and not the
// backslash, which escapes.
constexpr bool is_other_punctuation(Byte c) noexcept {
    const bool punctuation =
        (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') ||
        (c >= '{' && c <= '~');
    return punctuation && c != '"' && c != '\'' && c != kBackslash && c != ',' && c != ';' &&
           c != '|' && c != ':';
}

// A line of the sample whose count of a punctuation byte differs from the
// first line's still leaves it a candidate while at most one line in ten
// does so (a note, a stray byte), never on fewer than kShapeMinLines lines.
constexpr std::size_t kShapeMinLines = 2;

// What the sample's bytes say about each byte as a delimiter, in one pass.
struct SampleFacts {
    std::array<std::size_t, 256> count{};
    std::array<std::size_t, 256> followed_by_space{};
    // A quote byte opens a field after this byte (spaces between allowed).
    std::array<bool, 256> apostrophe_after{};
    std::array<bool, 256> double_quote_after{};
    bool apostrophe_at_line_start = false;
    bool double_quote_at_line_start = false;
    bool escaped_apostrophe = false;
    bool escaped_double_quote = false;
    // Colons that separate the parts of times (12:30:05).
    std::size_t colons_in_times = 0;
    // Full stops between two digits: decimal points (315.58), not delimiters.
    std::size_t stops_in_numbers = 0;
    // Of the other punctuation: the count on the first line that has any
    // byte, and the lines that have the same count of it.
    std::array<std::size_t, 128> first_line_count{};
    std::array<std::size_t, 128> lines_agreeing{};
    std::size_t lines = 0;
    // Backslashes, read in pairs from the left as a dump without quoting
    // writes them: before each byte; how many stand before a letter or digit
    // no dump escapes (C:\Users), and how many fields are `\N`, a null.
    std::array<std::size_t, 256> backslash_before{};
    std::size_t foreign_backslashes = 0;
    std::size_t null_fields = 0;

    // The sample reads as a dump that escapes with a backslash and never
    // quotes, with this delimiter: no backslash before a byte such a dump
    // leaves alone, and a null or an escaped delimiter to show for it (not
    // only \t and \n, which Windows paths hold as well).
    bool dump_escapes(Byte delimiter) const noexcept {
        return foreign_backslashes == 0 && (null_fields != 0 || backslash_before[delimiter] != 0);
    }

    // Whether an other punctuation byte cuts the lines into one shape: the
    // same number of pieces, more than one, on (nearly) every line.
    bool consistent_shape(Byte c) const noexcept {
        return c < 128 && first_line_count[c] != 0 && lines >= kShapeMinLines &&
               10 * lines_agreeing[c] >= 9 * lines;
    }

    // A colon that mostly separates hours from minutes is no delimiter, however
    // regularly times cut the rows.
    bool colon_writes_times() const noexcept { return 2 * colons_in_times > count[':']; }
    // Likewise a full stop that mostly stands between digits: split there, a
    // column of decimals would become two columns of integers.
    bool stop_writes_decimals() const noexcept { return 2 * stops_in_numbers > count['.']; }

    bool quote_at_field_start(Byte quote, Byte delimiter) const noexcept {
        return quote == '\'' ? apostrophe_at_line_start || apostrophe_after[delimiter]
                             : double_quote_at_line_start || double_quote_after[delimiter];
    }
    bool escaped(Byte quote) const noexcept {
        return quote == '\'' ? escaped_apostrophe : escaped_double_quote;
    }
};

// Letters, digits and bytes of multi-byte characters: what a word is made of.
constexpr auto kWordByte = [] {
    struct Table {
        bool v[256] = {};
    } t;
    for (unsigned c = 0; c < 256; ++c) {
        t.v[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c >= 0x80;
    }
    return t;
}();

constexpr auto kInteresting = [] {
    struct Table {
        bool v[256] = {};
    } t;
    for (const Byte d : kDelimiters) t.v[d] = true;
    for (unsigned c = 0; c < 128; ++c) {
        t.v[c] = t.v[c] || is_other_punctuation(static_cast<Byte>(c));
    }
    for (const Byte c : {Byte{'"'}, Byte{'\''}, Byte{'\n'}, Byte{'\r'}, kBackslash}) t.v[c] = true;
    return t;
}();

// Counts are kept for the bytes of kInteresting only, all of them ASCII.
SampleFacts sample_facts(std::string_view sample) {
    SampleFacts f;
    const auto* p = reinterpret_cast<const Byte*>(sample.data());
    const std::size_t n = sample.size();
    // The last byte that is not a space, and whether spaces came after it:
    // a space delimiter is its own "byte before".
    int before = '\n';
    std::array<std::size_t, 128> line_count{};
    bool line_has_bytes = false;
    std::size_t escaped_backslash = n;
    const auto end_line = [&] {
        if (!line_has_bytes) return;
        line_has_bytes = false;
        ++f.lines;
        for (Byte c = '!'; c <= '~'; ++c) {
            if (!is_other_punctuation(c)) continue;
            if (f.lines == 1) f.first_line_count[c] = line_count[c];
            f.lines_agreeing[c] += line_count[c] == f.first_line_count[c] ? 1 : 0;
            line_count[c] = 0;
        }
    };
    for (std::size_t i = 0; i < n; ++i) {
        const Byte c = p[i];
        // Letters and digits, most of any text, only move `before` on.
        if (!kInteresting.v[c]) {
            before = c;
            line_has_bytes = true;
            continue;
        }
        // The second backslash of a pair is escaped, and escapes nothing.
        if (c == kBackslash && i + 1 < n && i != escaped_backslash) {
            const Byte e = p[i + 1];
            ++f.backslash_before[e];
            const bool alphanumeric = kWordByte.v[e] && e < 0x80;
            const bool dump_letter = std::memchr("tnrbfv0N", e, 8) != nullptr;
            f.foreign_backslashes += alphanumeric && !dump_letter ? 1 : 0;
            const bool alone_after = i + 2 == n || !kWordByte.v[p[i + 2]];
            const bool alone_before = i == 0 || !kWordByte.v[p[i - 1]];
            f.null_fields += e == 'N' && alone_before && alone_after ? 1 : 0;
            if (e == kBackslash) escaped_backslash = i + 1;
        }
        if (c == '\n' || c == '\r') {
            end_line();
        } else {
            line_has_bytes = true;
            ++line_count[c];
        }
        ++f.count[c];
        if (i + 1 < n && p[i + 1] == ' ') ++f.followed_by_space[c];
        // A digit before, exactly two after: h:mm, hh:mm:ss.
        if (c == ':' && i > 0 && i + 2 < n && is_digit(p[i - 1]) && is_digit(p[i + 1]) &&
            is_digit(p[i + 2]) && (i + 3 == n || !is_digit(p[i + 3]))) {
            ++f.colons_in_times;
        }
        if (c == '.' && i > 0 && i + 1 < n && is_digit(p[i - 1]) && is_digit(p[i + 1])) {
            ++f.stops_in_numbers;
        }
        if (c == '"' || c == '\'') {
            const bool after_space = i > 0 && p[i - 1] == ' ';
            const bool line_start = before == '\n' || before == '\r';
            auto& after = c == '"' ? f.double_quote_after : f.apostrophe_after;
            after[static_cast<Byte>(before)] = true;
            if (after_space) after[' '] = true;
            if (line_start)
                (c == '"' ? f.double_quote_at_line_start : f.apostrophe_at_line_start) = true;
            if (i > 0 && p[i - 1] == kBackslash)
                (c == '"' ? f.escaped_double_quote : f.escaped_apostrophe) = true;
        }
        if (c != ' ') before = c;
    }
    end_line();
    return f;
}

struct Candidate {
    Dialect dialect;
    double pattern = 0.0;
    double type = 0.0;
    bool typed = false;
    // Fields after a record's first, and how many of them start with a space.
    std::size_t later_fields = 0;
    std::size_t spaced_fields = 0;
    // Fields before a record's last that end with a space: values padded on
    // both sides, which space skipping would strip by half.
    std::size_t padded_fields = 0;
    // The runaway-quote guard's field count as the salvage will read (0: off).
    std::size_t guard_columns = 0;

    double consistency() const noexcept { return pattern * type; }
};

bool same_except_quote(const Dialect& a, const Dialect& b) noexcept {
    return a.delimiter == b.delimiter && a.skip_initial_space == b.skip_initial_space &&
           a.escape == b.escape;
}

bool same_except_escape(const Dialect& a, const Dialect& b) noexcept {
    return a.delimiter == b.delimiter && a.skip_initial_space == b.skip_initial_space &&
           a.quote == b.quote;
}

// The sample cut to at most `bytes`, after its last line break there if any.
std::string_view shortened(std::string_view sample, std::size_t bytes) noexcept {
    if (sample.size() <= bytes) return sample;
    const std::size_t last_break = sample.substr(0, bytes).find_last_of("\r\n");
    return sample.substr(0, last_break == std::string_view::npos ? bytes : last_break + 1);
}

// How much of the sample all candidates can be scored on within the budget.
std::size_t affordable_prefix(std::string_view sample, const std::vector<Candidate>& all) {
    // How many candidates stop at each byte.
    std::array<std::size_t, 256> stops{};
    for (const Candidate& c : all) {
        const Dialect& d = c.dialect;
        ++stops[d.delimiter];
        ++stops[d.quote ? *d.quote : Byte{'"'}];
        ++stops['\n'];
        ++stops['\r'];
        if (d.skip_initial_space) ++stops[' '];
        if (d.escape) ++stops[*d.escape];
    }
    const std::size_t per_byte = kByteCost * all.size();
    std::size_t cost = 0;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        cost += per_byte + kStopCost * stops[static_cast<Byte>(sample[i])];
        if (cost > kScoringBudget) return std::max(i, kMinScored);
    }
    return sample.size();
}

// The sample is a prefix of the input: a record it cuts off is not scored.
bool cut_off(const RecordTokenizer& tokenizer, bool whole_input) noexcept {
    return !whole_input && !tokenizer.ended_by_line_break();
}

// The field counts of the sample's records, sorted, and of those that kept
// to one line.
void record_field_counts(std::string_view sample, bool whole_input, const Dialect& dialect,
                         std::size_t guard_columns, std::vector<std::size_t>& counts,
                         std::vector<std::size_t>& one_line_counts) {
    counts.clear();
    one_line_counts.clear();
    RecordTokenizer tokenizer(sample, dialect);
    tokenizer.set_runaway_guard(guard_columns);
    std::size_t line = tokenizer.line();
    while (const std::optional<RecordShape> shape = tokenizer.next_shape()) {
        if (cut_off(tokenizer, whole_input)) break;
        counts.push_back(shape->fields);
        if (tokenizer.line() <= line + 1) one_line_counts.push_back(shape->fields);
        line = tokenizer.line();
    }
    std::sort(counts.begin(), counts.end());
    std::sort(one_line_counts.begin(), one_line_counts.end());
}

// The most frequent of sorted counts, the larger on a tie.
std::size_t most_frequent(const std::vector<std::size_t>& counts) noexcept {
    std::size_t best = 0;
    std::size_t best_run = 0;
    for (std::size_t i = 0; i < counts.size();) {
        std::size_t j = i;
        while (j < counts.size() && counts[j] == counts[i]) ++j;
        if (j - i >= best_run) {
            best = counts[i];
            best_run = j - i;
        }
        i = j;
    }
    return best;
}

// The pattern score of a candidate. With the guard on, a quoted candidate
// whose records run across line breaks is read again as the salvage will:
// guarded at the most frequent field count of the records that kept to one
// line (runaway quotes merge the others), or of all when none did, so
// runaways do not count against it.
double pattern_score(std::string_view sample, bool whole_input, bool guard, Candidate& c,
                     std::vector<std::size_t>& counts, std::vector<std::size_t>& one_line_counts) {
    record_field_counts(sample, whole_input, c.dialect, 0, counts, one_line_counts);
    if (guard && c.dialect.quote && one_line_counts.size() != counts.size()) {
        // Every record may span lines (a runaway in each): then all count.
        const std::vector<std::size_t>& decisive =
            one_line_counts.empty() ? counts : one_line_counts;
        c.guard_columns = std::max<std::size_t>(most_frequent(decisive), 2);
        record_field_counts(sample, whole_input, c.dialect, c.guard_columns, counts,
                            one_line_counts);
    }
    if (counts.empty()) return 0.0;
    double sum = 0.0;
    std::size_t kinds = 0;
    for (std::size_t i = 0; i < counts.size();) {
        std::size_t j = i;
        while (j < counts.size() && counts[j] == counts[i]) ++j;
        const auto length = static_cast<double>(counts[i]);
        sum += static_cast<double>(j - i) * std::max(kPatternFloor, length - 1.0) / length;
        ++kinds;
        i = j;
    }
    return sum / static_cast<double>(kinds);
}

// A quoted field is the only way a cell can hold the delimiter or a line
// break; the comma is allowed in known text of quoted cells.
bool looks_quoted(std::string_view text, const Dialect& dialect) noexcept {
    if (!dialect.quote) return false;
    for (const char c : text) {
        const auto b = static_cast<Byte>(c);
        if (b == dialect.delimiter || b == '\n' || b == '\r') return true;
    }
    return false;
}

void type_score(std::string_view sample, bool whole_input, Candidate& c, RowStore& store) {
    RecordTokenizer tokenizer(sample, c.dialect);
    tokenizer.set_runaway_guard(c.guard_columns);
    std::size_t cells = 0;
    std::size_t known = 0;
    while (tokenizer.next_record(store)) {
        if (cut_off(tokenizer, whole_input)) {
            store.pop_last_row();
            break;
        }
        const RowView row = store[store.size() - 1];
        std::size_t index = 0;
        for (const FieldRef f : row) {
            ++cells;
            if (index != 0) {
                ++c.later_fields;
                c.spaced_fields += !f.text.empty() && f.text.front() == ' ' ? 1 : 0;
            }
            if (++index != row.size()) {
                c.padded_fields += !f.text.empty() && f.text.back() == ' ' ? 1 : 0;
            }
            known += is_known_cell(f.text, looks_quoted(f.text, c.dialect)) ? 1 : 0;
        }
        store.pop_last_row();
    }
    c.type = cells == 0
                 ? kTypeFloor
                 : std::max(kTypeFloor, static_cast<double>(known) / static_cast<double>(cells));
    c.typed = true;
}

// Whether two dialects cut the sample into the same records of the same
// fields. Asked only of tied candidates that differ in quote or escape.
bool same_reading(std::string_view sample, const Candidate& a, const Candidate& b) {
    RecordTokenizer ta(sample, a.dialect);
    RecordTokenizer tb(sample, b.dialect);
    ta.set_runaway_guard(a.guard_columns);
    tb.set_runaway_guard(b.guard_columns);
    RowStore ra;
    RowStore rb;
    for (;;) {
        const bool more_a = ta.next_record(ra);
        const bool more_b = tb.next_record(rb);
        if (more_a != more_b) return false;
        if (!more_a) return true;
        const RowView x = ra[0];
        const RowView y = rb[0];
        if (x.size() != y.size() || x.text() != y.text()) return false;
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
            if ((*i).text.size() != (*j).text.size()) return false;
        }
        ra.pop_last_row();
        rb.pop_last_row();
    }
}

// Tie-break keys, smaller first.
struct Preference {
    int prior;
    int delimiter;
    int skip;
    int quote;
    int escape;

    friend auto operator<=>(const Preference&, const Preference&) = default;
};

// The delimiters of kDelimiters in their order, then other bytes by value.
std::size_t delimiter_rank(Byte d) noexcept {
    const auto* it = std::find(kDelimiters.begin(), kDelimiters.end(), d);
    const auto rank = static_cast<std::size_t>(it - kDelimiters.begin());
    return it == kDelimiters.end() ? rank + d : rank;
}

Preference preference(const Candidate& c, const std::vector<const Candidate*>& tied, Byte prior,
                      std::string_view sample, const SampleFacts& facts) {
    const Dialect& d = c.dialect;
    // A tied candidate that differs from c only as `differs` says.
    const auto tied_sibling = [&](auto&& differs) -> const Candidate* {
        for (const Candidate* o : tied) {
            if (o != &c && differs(o->dialect)) return o;
        }
        return nullptr;
    };
    Preference p{};
    p.prior = d.delimiter == prior ? 0 : 1;
    p.delimiter = static_cast<int>(delimiter_rank(d.delimiter));
    // Skipping or not reads the same unless fields start with spaces; it is
    // the dialect when most of them do, as read without it, and values are
    // not padded on both sides (most of those spaced fields ending in a
    // space too): skipping would strip them by half.
    const Candidate* other_skip = tied_sibling([&](const Dialect& o) {
        return o.skip_initial_space != d.skip_initial_space && o.delimiter == d.delimiter &&
               o.quote == d.quote && o.escape == d.escape;
    });
    if (other_skip != nullptr) {
        const Candidate& plain = d.skip_initial_space ? *other_skip : c;
        const bool mostly_spaced = 2 * plain.spaced_fields >= plain.later_fields &&
                                   plain.spaced_fields > 0 &&
                                   2 * plain.padded_fields < plain.spaced_fields;
        p.skip = d.skip_initial_space == mostly_spaced ? 0 : 1;
    }
    if (!d.quote) {
        // A dump that escapes and never quotes reads like the double quote
        // where no double quote opens a field; its escapes decide.
        p.quote = d.escape && !facts.quote_at_field_start('"', d.delimiter) ? 0 : 2;
    } else if (*d.quote == '"') {
        p.quote = 0;
    } else {
        const Candidate* unquoted =
            tied_sibling([&](const Dialect& o) { return !o.quote && same_except_quote(o, d); });
        p.quote = unquoted != nullptr && same_reading(sample, *unquoted, c) ? 3 : 1;
    }
    if (!d.escape) {
        p.escape = 1;
    } else {
        const Candidate* unescaped =
            tied_sibling([&](const Dialect& o) { return !o.escape && same_except_escape(o, d); });
        p.escape = unescaped != nullptr && same_reading(sample, *unescaped, c) ? 2 : 0;
    }
    return p;
}

Dialect apply_hints(Dialect d, const DialectHints& hints) {
    if (hints.delimiter) d.delimiter = *hints.delimiter;
    if (hints.quote_given) d.quote = hints.quote;
    if (hints.escape_given) d.escape = hints.escape;
    if (hints.skip_initial_space) d.skip_initial_space = *hints.skip_initial_space;
    return d;
}

// The double quote, no escape, no space skipping: the module's reading.
Dialect module_dialect(Byte delimiter) noexcept {
    Dialect d;
    d.delimiter = delimiter;
    return d;
}

// The field count every record the fixed-rule sniffer samples has under its
// pick, when they all have the same one above 1; else 0.
std::size_t sniffer_unanimous_fields(std::string_view buffer, Byte pick) {
    const FieldCountTable table = sample_field_counts(buffer, pick, kSnifferRecords);
    const std::optional<FieldCountTable::Entry> mode = table.most_frequent(2);
    return mode && mode->records == table.records() ? mode->fields : 0;
}

// The module's dialect with this delimiter reads the sample in a way no
// other candidate would improve on: no field starts with a space (space
// skipping would drop it) or an apostrophe (which may be a quote), and none
// holds a backslash before a double quote (which may be an escape).
bool module_reading_is_plain(std::string_view sample, bool whole_input, Byte delimiter,
                             const SampleFacts& facts, const DialectHints& hints) {
    if (facts.dump_escapes(delimiter)) return false;
    const bool quote_ok = !hints.quote_given || hints.quote == Byte{'"'};
    const bool escape_ok = !hints.escape_given || !hints.escape;
    const bool skip_ok = !hints.skip_initial_space || !*hints.skip_initial_space;
    if (!quote_ok || !escape_ok || !skip_ok) return false;
    RecordTokenizer tokenizer(sample, module_dialect(delimiter));
    RowStore store;
    while (tokenizer.next_record(store)) {
        if (cut_off(tokenizer, whole_input)) break;
        for (const FieldRef f : store[store.size() - 1]) {
            if (!f.text.empty() && (f.text.front() == ' ' || f.text.front() == '\'')) return false;
            if (f.text.find("\\\"") != std::string_view::npos) return false;
        }
        store.pop_last_row();
    }
    return true;
}

std::vector<Candidate> candidates(const std::vector<Byte>& delimiters, const SampleFacts& facts,
                                  const DialectHints& hints) {
    std::vector<Candidate> out;
    for (const Byte d : delimiters) {
        std::vector<bool> skips;
        if (hints.skip_initial_space) {
            skips = {*hints.skip_initial_space};
        } else {
            skips = {false};
            if (facts.followed_by_space[d] != 0) skips.push_back(true);
        }
        // A quote that never opens a field reads like no quote: the double
        // quote then stands for both, as the module's default.
        std::vector<std::optional<Byte>> quotes;
        if (hints.quote_given) {
            quotes = {hints.quote};
        } else {
            quotes = {Byte{'"'}};
            if (facts.quote_at_field_start('"', d) || facts.dump_escapes(d)) {
                quotes.push_back(std::nullopt);
            }
            if (facts.quote_at_field_start('\'', d)) quotes.push_back(Byte{'\''});
        }
        for (const bool skip : skips) {
            for (const std::optional<Byte>& q : quotes) {
                std::vector<std::optional<Byte>> escapes;
                if (hints.escape_given) {
                    escapes = {hints.escape};
                } else {
                    escapes = {std::nullopt};
                    const bool escaped = q ? facts.escaped(*q) : facts.dump_escapes(d);
                    if (escaped) escapes.push_back(kBackslash);
                }
                for (const std::optional<Byte>& e : escapes) {
                    Candidate c;
                    c.dialect.delimiter = d;
                    c.dialect.quote = q;
                    c.dialect.escape = e;
                    c.dialect.skip_initial_space = skip;
                    out.push_back(c);
                }
            }
        }
    }
    return out;
}

// The delimiters worth scoring, or the answer itself when the module's
// dialect stands.
struct DelimiterChoice {
    std::vector<Byte> delimiters;
    std::optional<Dialect> settled;
};

DelimiterChoice choose_delimiters(std::string_view buffer, std::string_view sample,
                                  bool whole_input, const SampleFacts& facts, Byte prior,
                                  const DialectHints& hints) {
    if (hints.delimiter) return {{*hints.delimiter}, std::nullopt};
    // Other punctuation is tried only where it cuts every line alike; next to
    // a unanimous pick, only where it cuts them into more fields, so that an
    // input the module reads cleanly (dates with - or /) is read the same.
    const std::size_t unanimous_fields = sniffer_unanimous_fields(buffer, prior);
    std::vector<Byte> others;
    for (Byte c = '!'; c <= '~'; ++c) {
        if (is_other_punctuation(c) && facts.consistent_shape(c) &&
            facts.first_line_count[c] + 1 > unanimous_fields &&
            !(c == '.' && facts.stop_writes_decimals())) {
            others.push_back(c);
        }
    }
    if (unanimous_fields != 0) {
        if (others.empty() && module_reading_is_plain(sample, whole_input, prior, facts, hints)) {
            return {{}, module_dialect(prior)};
        }
        others.insert(others.begin(), prior);
        return {others, std::nullopt};
    }
    DelimiterChoice choice;
    for (const Byte d : kDelimiters) {
        if (facts.count[d] == 0 || (d == ':' && facts.colon_writes_times())) continue;
        choice.delimiters.push_back(d);
    }
    choice.delimiters.insert(choice.delimiters.end(), others.begin(), others.end());
    if (choice.delimiters.empty()) choice.settled = module_dialect(prior);
    return choice;
}

// Scores the candidates, typing them in order of falling pattern score until
// none can reach the best consistency; returns that best.
double score(std::vector<Candidate>& all, std::string_view scored, bool whole_input, bool guard,
             RowStore& store) {
    std::vector<std::size_t> counts;
    std::vector<std::size_t> one_line_counts;
    for (Candidate& c : all) {
        c.pattern = pattern_score(scored, whole_input, guard, c, counts, one_line_counts);
    }
    std::vector<Candidate*> order;
    for (Candidate& c : all) order.push_back(&c);
    std::stable_sort(order.begin(), order.end(), [](const Candidate* a, const Candidate* b) {
        return a->pattern > b->pattern;
    });
    double best = -1.0;
    for (Candidate* c : order) {
        if (c->pattern < best * (1.0 - kTieTolerance)) break;
        type_score(scored, whole_input, *c, store);
        best = std::max(best, c->consistency());
    }
    return best;
}

// The best consistency of the sniffer's delimiter, when within kPriorMargin
// of `best` (its candidates typed as needed), else 0.
double prior_consistency(std::vector<Candidate>& all, Byte prior, double best,
                         std::string_view scored, bool whole_input, RowStore& store) {
    double prior_best = 0.0;
    for (Candidate& c : all) {
        if (c.dialect.delimiter != prior || c.pattern * kPriorMargin < best) continue;
        if (!c.typed) type_score(scored, whole_input, c, store);
        prior_best = std::max(prior_best, c.consistency());
    }
    return prior_best * kPriorMargin >= best ? prior_best : 0.0;
}

}  // namespace

Dialect detect_dialect(std::string_view buffer, const DialectHints& hints) {
    const std::string_view sample = detection_sample(buffer);
    const SampleFacts facts = sample_facts(sample);
    const Byte prior = sniff_delimiter(buffer);
    const DelimiterChoice choice =
        choose_delimiters(buffer, sample, sample.size() == buffer.size(), facts, prior, hints);
    if (choice.settled) return apply_hints(*choice.settled, hints);

    std::vector<Candidate> all = candidates(choice.delimiters, facts, hints);
    if (all.size() == 1) return apply_hints(all.front().dialect, hints);
    const std::string_view scored = shortened(sample, affordable_prefix(sample, all));
    const bool whole_input = scored.size() == buffer.size();
    RowStore store;
    double best = score(all, scored, whole_input, hints.guard_runaway_quotes, store);
    const double prior_best = prior_consistency(all, prior, best, scored, whole_input, store);
    if (prior_best > 0.0) best = prior_best;

    std::vector<const Candidate*> tied;
    for (const Candidate& c : all) {
        if (c.typed && c.consistency() >= best * (1.0 - kTieTolerance) &&
            (prior_best == 0.0 || c.dialect.delimiter == prior)) {
            tied.push_back(&c);
        }
    }
    const Candidate* winner = tied.front();
    Preference winner_preference = preference(*winner, tied, prior, scored, facts);
    for (const Candidate* c : tied) {
        const Preference p = preference(*c, tied, prior, scored, facts);
        if (p < winner_preference) {
            winner = c;
            winner_preference = p;
        }
    }
    return apply_hints(winner->dialect, hints);
}

}  // namespace quillon

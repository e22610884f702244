#include "reference_tokenizer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <utility>

namespace reference {

namespace {

// Well-formed UTF-8 by lead byte: sequence length and the range allowed for
// the second byte; every later byte is 80..BF.
struct LeadRange {
    unsigned char first_lo, first_hi;
    std::size_t length;
    unsigned char second_lo, second_hi;
};

constexpr LeadRange kLeads[] = {
    {0x00, 0x7F, 1, 0, 0},       {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
    {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF}, {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

constexpr char kReplacement[] = "\xEF\xBF\xBD";

const LeadRange* lead_for(unsigned char b) {
    for (const LeadRange& r : kLeads) {
        if (b >= r.first_lo && b <= r.first_hi) return &r;
    }
    return nullptr;
}

// Code points of a well-formed UTF-8 text.
std::vector<char32_t> code_points(std::string_view text) {
    std::vector<char32_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        const LeadRange* r = lead_for(b);
        const std::size_t len = r == nullptr ? 1 : r->length;
        char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1Fu) : len == 3 ? (b & 0x0Fu) : (b & 0x07u);
        for (std::size_t k = 1; k < len && i + k < text.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        out.push_back(cp);
        i += len;
    }
    return out;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool is_line_break(unsigned char b) { return b == '\r' || b == '\n'; }
bool is_blank_byte(unsigned char b) { return b == ' ' || b == '\t'; }

enum class State { FieldStart, Unquoted, Quoted, AfterQuote };

class Tokenizer {
  public:
    Tokenizer(std::string_view buffer, std::uint8_t delimiter, std::uint8_t quote_char, bool repair)
        : Tokenizer(buffer, Dialect{delimiter, quote_char, std::nullopt, false, repair, 0}) {}

    Tokenizer(std::string_view buffer, const Dialect& d)
        : buf_(buffer),
          delim_(d.delimiter),
          quote_(d.quote ? *d.quote : 256),
          escape_(d.escape && d.quote && *d.escape != *d.quote && *d.escape != d.delimiter
                      ? *d.escape
                      : 256),
          unquoted_escape_(!d.quote && d.escape && *d.escape != d.delimiter &&
                                   !is_line_break(*d.escape)
                               ? *d.escape
                               : 256),
          skip_space_(d.skip_initial_space),
          repair_(d.repair_quotes),
          // A quote that ends lines itself leaves the guard off.
          guard_columns_(d.quote && is_line_break(*d.quote) ? 0 : d.guard_columns) {
        if (buf_.size() >= 3 && buf_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    }

    // A record of the guard's table that comes out short, opened by a quote
    // at its very start and kept to one line, is read again with that quote
    // as text; the second reading counts when it has the table's field count
    // and keeps to one line.
    std::optional<Record> next() {
        const std::size_t pos = pos_;
        const std::size_t line = line_;
        std::optional<Record> rec = read(kNone);
        const auto one_line = [&](const Record& r) {
            return !r.ended_in_open_quote && r.line == line + (r.ended_by_line_break ? 1 : 0);
        };
        if (!rec || guard_columns_ == 0 || rec->fields.size() >= guard_columns_ ||
            at(rec->begin) != quote_ || !one_line(*rec)) {
            return rec;
        }
        const std::size_t after_pos = pos_;
        const std::size_t after_line = line_;
        pos_ = pos;
        line_ = line;
        std::optional<Record> literal = read(rec->begin);
        if (literal->fields.size() == guard_columns_ && one_line(*literal)) return literal;
        pos_ = after_pos;
        line_ = after_line;
        return rec;
    }

    static constexpr std::size_t kNone = ~std::size_t{0};

    // The next record, with the quote at `literal` (if any) read as text.
    std::optional<Record> read(std::size_t literal) {
        const std::size_t n = buf_.size();
        if (pos_ >= n) return std::nullopt;
        Record rec;
        rec.begin = pos_;
        std::string raw;
        // The quote that opened the current quoted field, until its first line break.
        std::size_t opening = kNone;
        State state = State::FieldStart;
        // The escape at pos_ and the byte after it, in a dialect without quoting.
        auto take_escaped = [&] {
            const unsigned char e = at(pos_ + 1);
            const char* const letters = "tnrbfv0";
            const char* const bytes = "\t\n\r\b\f\v\0";
            const char* const hit = e == 0 ? nullptr : std::strchr(letters, e);
            raw.push_back(hit == nullptr ? static_cast<char>(e) : bytes[hit - letters]);
            if (e == '\n') ++line_;
            pos_ += 2;
        };
        auto finish_field = [&] {
            rec.fields.push_back(decode_lossy(raw));
            raw.clear();
        };
        // Record end at a line break: CR LF counts as one.
        auto end_record = [&](unsigned char b) {
            rec.content_end = pos_;
            pos_ += (b == '\r' && pos_ + 1 < n && at(pos_ + 1) == '\n') ? 2 : 1;
            ++line_;
            finish_field();
            rec.line = line_;
            rec.position = pos_;
            rec.ended_by_line_break = true;
        };
        while (pos_ < n) {
            const unsigned char b = at(pos_);
            switch (state) {
                case State::FieldStart:
                    if (b == quote_ && pos_ != literal) {
                        opening = pos_;
                        state = State::Quoted;
                    } else if (skip_space_ && b == ' ') {
                        // A space before the field's first byte is dropped.
                    } else if (b == unquoted_escape_ && pos_ + 1 < n && at(pos_ + 1) == 'N' &&
                               (pos_ + 2 == n || at(pos_ + 2) == delim_ ||
                                is_line_break(at(pos_ + 2)))) {
                        // A null: an empty field.
                        ++pos_;
                        state = State::Unquoted;
                    } else if (b == unquoted_escape_ && pos_ + 1 < n) {
                        take_escaped();
                        state = State::Unquoted;
                        break;
                    } else if (b == delim_) {
                        finish_field();
                    } else if (is_line_break(b)) {
                        end_record(b);
                        return rec;
                    } else {
                        raw.push_back(static_cast<char>(b));
                        state = State::Unquoted;
                    }
                    ++pos_;
                    break;
                case State::Unquoted:
                    if (b == unquoted_escape_ && pos_ + 1 < n) {
                        take_escaped();
                        break;
                    }
                    if (b == delim_) {
                        finish_field();
                        state = State::FieldStart;
                    } else if (is_line_break(b)) {
                        end_record(b);
                        return rec;
                    } else {
                        raw.push_back(static_cast<char>(b));
                    }
                    ++pos_;
                    break;
                case State::Quoted:
                    if (b == escape_) {
                        if (pos_ + 1 < n && (at(pos_ + 1) == quote_ || at(pos_ + 1) == escape_)) {
                            raw.push_back(static_cast<char>(at(pos_ + 1)));
                            pos_ += 2;
                        } else {
                            raw.push_back(static_cast<char>(b));
                            ++pos_;
                        }
                    } else if (b == quote_) {
                        if (pos_ + 1 == n) {
                            state = State::AfterQuote;
                            ++pos_;
                        } else if (at(pos_ + 1) == quote_) {
                            raw.push_back(static_cast<char>(b));
                            pos_ += 2;
                        } else if (!repair_ || closes(pos_)) {
                            state = State::AfterQuote;
                            ++pos_;
                        } else {
                            raw.push_back(static_cast<char>(b));
                            ++pos_;
                        }
                    } else if (is_line_break(b) && guard_columns_ != 0 && opening != kNone &&
                               runaway(opening, rec.fields.size()) == Reading::Text) {
                        // The field's first line break: its opening quote is text.
                        raw.assign(1, static_cast<char>(at(opening)));
                        pos_ = opening + 1;
                        opening = kNone;
                        state = State::Unquoted;
                    } else if (is_line_break(b) && guard_columns_ != 0 && opening != kNone &&
                               runaway(opening, rec.fields.size()) == Reading::CutOff) {
                        // A field cut off at the line end: it ends the record.
                        end_record(b);
                        return rec;
                    } else {
                        if (is_line_break(b)) opening = kNone;
                        raw.push_back(static_cast<char>(b));
                        if (b == '\n') ++line_;
                        ++pos_;
                    }
                    break;
                case State::AfterQuote:
                    if (b == delim_) {
                        finish_field();
                        state = State::FieldStart;
                    } else if (is_blank_byte(b)) {
                        // Spaces and tabs after a closing quote are dropped.
                    } else if (is_line_break(b)) {
                        end_record(b);
                        return rec;
                    } else {
                        raw.push_back(static_cast<char>(b));
                        state = State::Unquoted;
                    }
                    ++pos_;
                    break;
            }
        }
        finish_field();
        rec.line = line_;
        rec.position = pos_;
        rec.ended_by_line_break = false;
        rec.content_end = pos_;
        rec.ended_in_open_quote = state == State::Quoted;
        return rec;
    }

  private:
    unsigned char at(std::size_t i) const { return static_cast<unsigned char>(buf_[i]); }

    // Whether the quote at k is followed, after spaces and tabs, by the
    // delimiter, a line break or the end; `stop` gets the offset that says no.
    bool terminated(std::size_t k, std::size_t& stop) const {
        for (std::size_t m = k + 1;; ++m) {
            if (m >= buf_.size()) return true;
            const unsigned char b = at(m);
            if (b == delim_) return true;
            if (is_blank_byte(b)) continue;
            if (is_line_break(b)) return true;
            stop = m;
            return false;
        }
    }

    std::size_t delimiters_in(std::size_t from, std::size_t to) const {
        std::size_t count = 0;
        for (std::size_t i = from; i < to; ++i) count += at(i) == delim_ ? 1 : 0;
        return count;
    }

    // The guard's rule, rescanning everything it needs every time.
    enum class Reading { Quoted, Text, CutOff };

    Reading runaway(std::size_t q, std::size_t fields_done) const {
        std::size_t unused = 0;
        std::size_t k = q + 1;
        for (; k < buf_.size() && !is_line_break(at(k)); ++k) {
            if (at(k) == quote_ && terminated(k, unused)) return Reading::Quoted;
        }
        if (k >= buf_.size()) return Reading::Quoted;
        const std::size_t literal = fields_done + 1 + delimiters_in(q + 1, k);
        if (literal != guard_columns_) {
            // A last field holding the delimiter, cut off at the line end.
            if (fields_done + 1 != guard_columns_ || literal < guard_columns_) {
                return Reading::Quoted;
            }
            std::size_t next = k + 1;
            if (at(k) == '\r' && next < buf_.size() && at(next) == '\n') ++next;
            const std::optional<std::size_t> row = separators_from(next, true, true);
            return next < buf_.size() && row && *row + 1 == guard_columns_ ? Reading::CutOff
                                                                          : Reading::Quoted;
        }
        if (q + 1 == k || next_line_is_row(k)) return Reading::Text;
        const std::size_t c = first_closing_quote(k);
        std::size_t quoted = fields_done + 1;
        if (c < buf_.size()) {
            // The fields after the closing quote, a quoted one whole; one
            // that does not close on the line leaves the quoted reading.
            const std::optional<std::size_t> after = separators_from(c + 1, false, false);
            if (!after) return Reading::Quoted;
            quoted += *after;
        }
        return quoted != guard_columns_ ? Reading::Text : Reading::Quoted;
    }

    // The delimiters from i to the end of its line, a quoted field (one that
    // opens where a field starts, i included when field_start) counted
    // whole; none when one does not close on the line or, when well_formed,
    // a quote stands inside unquoted text.
    std::optional<std::size_t> separators_from(std::size_t i, bool field_start,
                                               bool well_formed) const {
        std::size_t end = i;
        while (end < buf_.size() && !is_line_break(at(end))) ++end;
        std::size_t count = 0;
        for (; i < end; ++i) {
            if (at(i) == delim_) {
                ++count;
                field_start = true;
                continue;
            }
            if (field_start && at(i) == quote_) {
                std::size_t j = i + 1;
                for (;; ++j) {
                    if (j >= end) return std::nullopt;
                    if (at(j) != quote_) continue;
                    if (j + 1 < end && at(j + 1) == quote_) {
                        ++j;
                        continue;
                    }
                    std::size_t m = j + 1;
                    while (m < end && at(m) != delim_ && is_blank_byte(at(m))) ++m;
                    if (m >= end || at(m) == delim_) break;
                }
                i = j;
            } else if (well_formed && at(i) == quote_) {
                return std::nullopt;
            }
            field_start = false;
        }
        return count;
    }

    // The first terminated quote from k on, doubled quotes paired.
    std::size_t first_closing_quote(std::size_t k) const {
        std::size_t unused = 0;
        std::size_t c = k;
        while (c < buf_.size()) {
            if (at(c) == quote_ && c + 1 < buf_.size() && at(c + 1) == quote_) {
                c += 2;
            } else if (at(c) == quote_ && terminated(c, unused)) {
                break;
            } else {
                ++c;
            }
        }
        return c;
    }

    // The line after the break at k is a whole row and closes no quoted field.
    bool next_line_is_row(std::size_t k) const {
        std::size_t next = k + 1;
        if (at(k) == '\r' && next < buf_.size() && at(next) == '\n') ++next;
        if (next >= buf_.size()) return false;
        std::size_t end = next;
        while (end < buf_.size() && !is_line_break(at(end))) ++end;
        return first_closing_quote(k) >= end && delimiters_in(next, end) + 1 == guard_columns_;
    }

    bool closes(std::size_t i) const {
        std::size_t j = 0;
        if (terminated(i, j)) return true;
        for (std::size_t k = j;; ++k) {
            if (k >= buf_.size()) return true;
            if (is_line_break(at(k))) return true;
            std::size_t unused = 0;
            if (at(k) == quote_ && terminated(k, unused)) return false;
        }
    }

    std::string_view buf_;
    unsigned char delim_;
    // 256 for none: equal to no byte.
    unsigned quote_;
    unsigned escape_;
    unsigned unquoted_escape_;
    bool skip_space_;
    bool repair_;
    std::size_t guard_columns_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

// Field counts of the first `limit` non-blank records, in input order.
std::vector<std::size_t> sample_counts(std::string_view buffer, std::uint8_t delimiter,
                                       std::size_t limit) {
    Tokenizer tok(buffer, delimiter, '"', true);
    std::vector<std::size_t> counts;
    while (counts.size() < limit) {
        std::optional<Record> rec = tok.next();
        if (!rec) break;
        if (is_blank(rec->fields)) continue;
        counts.push_back(rec->fields.size());
    }
    return counts;
}

// (field count, frequency) in order of first occurrence.
std::vector<std::pair<std::size_t, std::size_t>> frequencies(
    const std::vector<std::size_t>& counts) {
    std::vector<std::pair<std::size_t, std::size_t>> table;
    for (std::size_t c : counts) {
        auto it =
            std::find_if(table.begin(), table.end(), [c](const auto& e) { return e.first == c; });
        if (it == table.end()) {
            table.emplace_back(c, 1);
        } else {
            ++it->second;
        }
    }
    return table;
}

std::string separator_for(std::uint8_t delimiter) {
    if (delimiter < 0x80) return std::string(1, static_cast<char>(delimiter));
    return {static_cast<char>(0xC0 | (delimiter >> 6)),
            static_cast<char>(0x80 | (delimiter & 0x3F))};
}

}  // namespace

std::string decode_lossy(std::string_view bytes) {
    std::string out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const LeadRange* r = lead_for(static_cast<unsigned char>(bytes[i]));
        if (r == nullptr) {
            out += kReplacement;
            ++i;
            continue;
        }
        std::size_t k = 1;
        while (k < r->length && i + k < bytes.size()) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            const unsigned char lo = k == 1 ? r->second_lo : 0x80;
            const unsigned char hi = k == 1 ? r->second_hi : 0xBF;
            if (b < lo || b > hi) break;
            ++k;
        }
        if (k == r->length) {
            out.append(bytes.substr(i, k));
        } else {
            out += kReplacement;
        }
        i += k;
    }
    return out;
}

FieldFacts facts_of(std::string_view text, std::uint8_t delimiter, std::uint8_t quote_char) {
    FieldFacts facts{false, true};
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == delimiter || b == quote_char || is_line_break(b)) facts.special = true;
        if (b >= 0x80) facts.ascii = false;
    }
    return facts;
}

std::string escaped(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out.push_back(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

void PrintTo(const Record& record, std::ostream* os) {
    *os << '[';
    for (std::size_t i = 0; i < record.fields.size(); ++i) {
        const std::string& f = record.fields[i];
        *os << (i ? ", " : "") << '"' << escaped(std::string_view(f).substr(0, 200)) << '"';
        if (f.size() > 200) *os << "... (" << f.size() << " bytes)";
    }
    *os << "] line " << record.line << " position " << record.position
        << (record.ended_by_line_break ? " (line break)" : " (end of buffer)")
        << (record.ended_in_open_quote ? " inside a quoted field" : "");
}

std::size_t valid_prefix(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const LeadRange* r = lead_for(static_cast<unsigned char>(bytes[i]));
        if (r == nullptr || i + r->length > bytes.size()) return i;
        for (std::size_t k = 1; k < r->length; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            const unsigned char lo = k == 1 ? r->second_lo : 0x80;
            const unsigned char hi = k == 1 ? r->second_hi : 0xBF;
            if (b < lo || b > hi) return i;
        }
        i += r->length;
    }
    return i;
}

bool is_blank(const std::vector<std::string>& fields) {
    if (fields.size() != 1) return false;
    for (char32_t c : code_points(fields[0])) {
        if (!is_white_space(c)) return false;
    }
    return true;
}

std::vector<Record> tokenize(std::string_view buffer, std::uint8_t delimiter,
                             std::uint8_t quote_char, bool repair_quotes) {
    Tokenizer tok(buffer, delimiter, quote_char, repair_quotes);
    std::vector<Record> records;
    while (std::optional<Record> rec = tok.next()) records.push_back(std::move(*rec));
    return records;
}

std::vector<Record> tokenize(std::string_view buffer, const Dialect& dialect) {
    Tokenizer tok(buffer, dialect);
    std::vector<Record> records;
    while (std::optional<Record> rec = tok.next()) records.push_back(std::move(*rec));
    return records;
}

std::uint8_t sniff(std::string_view buffer) {
    double best = -1.0;
    std::uint8_t result = ',';
    for (char candidate : std::string_view(",;\t|")) {
        const auto delim = static_cast<std::uint8_t>(candidate);
        const std::vector<std::size_t> counts = sample_counts(buffer, delim, 50);
        double score = 0.0;
        if (counts.size() >= 2) {
            std::size_t mode = 0;
            std::size_t freq = 0;
            for (const auto& [count, f] : frequencies(counts)) {
                if (count >= 2 && f > freq) {
                    mode = count;
                    freq = f;
                }
            }
            if (mode != 0) {
                score = static_cast<double>(freq) / static_cast<double>(counts.size()) *
                        std::max(std::log(static_cast<double>(mode)), 1.0);
            }
        }
        if (score > best) {
            best = score;
            result = delim;
        }
    }
    return result;
}

std::size_t infer(std::string_view buffer, std::uint8_t delimiter) {
    std::size_t best = 0;
    std::size_t freq = 0;
    for (const auto& [count, f] : frequencies(sample_counts(buffer, delimiter, 100))) {
        if (f > freq) {
            best = count;
            freq = f;
        }
    }
    return best;
}

Result salvage(std::string_view buffer, const Options& options) {
    Result result;
    if (buffer.empty()) return result;
    result.delimiter = options.delimiter ? *options.delimiter : sniff(buffer);
    const std::size_t expected =
        options.expected_columns ? *options.expected_columns : infer(buffer, result.delimiter);
    result.inferred_columns = expected;
    const std::string separator = separator_for(result.delimiter);
    Tokenizer tok(buffer, result.delimiter, options.quote_char, options.repair_quotes);
    while (std::optional<Record> rec = tok.next()) {
        ++result.total_rows;
        const std::size_t line = rec->line - (rec->ended_by_line_break ? 1 : 0);
        std::vector<std::string>& fields = rec->fields;
        const std::size_t count = fields.size();
        if (expected == 0 || count == expected) {
            result.rows.push_back(std::move(fields));
        } else if (count < expected) {
            if (options.fill_ragged_rows) {
                fields.resize(expected);
                result.rows.push_back(std::move(fields));
                ++result.repaired_rows;
            } else {
                result.quarantine.push_back(
                    {std::move(fields),
                     "Row has too few columns (expected " + std::to_string(expected) + ")", line});
            }
        } else if (options.merge_overflow) {
            std::string merged = fields[expected - 1];
            for (std::size_t i = expected; i < count; ++i) merged += separator + fields[i];
            fields.resize(expected);
            fields.back() = std::move(merged);
            result.rows.push_back(std::move(fields));
            ++result.repaired_rows;
        } else {
            result.quarantine.push_back(
                {std::move(fields),
                 "Row has extra columns (expected " + std::to_string(expected) + ")", line});
        }
    }
    return result;
}

std::uint64_t InputGenerator::next_word() {
    // splitmix64: the same sequence on every platform and library.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::size_t InputGenerator::below(std::size_t bound) {
    return static_cast<std::size_t>(next_word() % bound);
}

void InputGenerator::append_token(std::string& out) {
    static constexpr std::string_view kTokens[] = {
        ",",
        ",",
        ";",
        ";",
        "\t",
        "|",
        "\"",
        "\"",
        "\"",
        "'",
        "'",
        "'",
        "\r",
        "\n",
        "\n",
        "\r\n",
        " ",
        " ",
        "a",
        "b",
        "xy",
        "1",
        "\xFF",
        "\xC3",
        "\xE2\x82",
        "\xC3\xA9",
        "\xE2\x82\xAC",
        "\xED\xA0\x80",
        "\xC2\xA0",
        "\xF0\x9F\x98\x80",
    };
    switch (below(12)) {
        case 0: {
            const char q = below(2) == 0 ? '"' : '\'';
            out.append(1 + below(12), q);
            return;
        }
        case 1: {
            const std::string_view unit = below(2) == 0 ? "\"a\"b" : "'a'b,";
            for (std::size_t n = 1 + below(8); n > 0; --n) out += unit;
            return;
        }
        case 2:
            out.push_back('\0');
            return;
        default:
            out += kTokens[below(std::size(kTokens))];
    }
}

std::string InputGenerator::table() {
    static constexpr std::string_view kCells[] = {"a",       "bc",    "",    " ",       "\"q\"",
                                                  "\"x,y\"", "'p;q'", "1.5", "\xC3\xA9"};
    const char delim = ",;\t|"[below(4)];
    const std::size_t columns = 1 + below(5);
    std::string out;
    for (std::size_t lines = 1 + below(8); lines > 0; --lines) {
        std::size_t cells = columns;
        if (below(4) == 0) cells = below(columns + 3);
        for (std::size_t c = 0; c < cells; ++c) {
            if (c != 0) out.push_back(delim);
            out += kCells[below(std::size(kCells))];
            if (below(10) == 0) append_token(out);
        }
        out += below(5) == 0 ? "\r\n" : "\n";
    }
    if (below(3) == 0) out.pop_back();
    return out;
}

std::string InputGenerator::tiny() {
    // Few byte values, so that quotes, delimiters and blanks meet in every order.
    static constexpr std::string_view kBytes = "\"\"\"'',,;\t  a\n\r";
    std::string out;
    for (std::size_t n = below(30); n > 0; --n) out.push_back(kBytes[below(kBytes.size())]);
    return out;
}

std::string InputGenerator::soup() {
    std::string out;
    for (std::size_t n = below(40); n > 0; --n) append_token(out);
    return out;
}

std::string InputGenerator::next() {
    std::string out;
    if (below(8) == 0) out = "\xEF\xBB\xBF";
    switch (produced_++ % 4) {
        case 0:
            return out + soup();
        case 1:
            return out + tiny();
        case 2:
            return out + table();
        default:
            // Long inputs, so that spans cross the scanner's 64-byte blocks.
            for (std::size_t n = 3 + below(12); n > 0; --n) {
                switch (below(4)) {
                    case 0:
                        out += soup();
                        break;
                    case 1:
                        out += tiny();
                        break;
                    case 2:
                        out += table();
                        break;
                    default:
                        out.append(50 + below(200), below(2) == 0 ? 'x' : ' ');
                }
            }
            return out;
    }
}

}  // namespace reference

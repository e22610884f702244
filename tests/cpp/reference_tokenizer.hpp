// A slow, plain model of the salvage engine for differential tests.
//
// Everything here follows the record rules one byte at a time, with no
// skipping, no memo and no shared code with src/engine: the stray-quote
// look-ahead rescans the line for every quote it is asked about, UTF-8 is
// decoded from a table of well-formed byte ranges, and the sniffer and the
// column inference keep their samples as plain vectors. Its answers are the
// ones the engine must give; its speed is of no concern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reference {

struct Record {
    std::vector<std::string> fields;
    // The line counter right after the record.
    std::size_t line = 0;
    // Offset of the first byte after the record.
    std::size_t position = 0;
    bool ended_by_line_break = false;
    // Offset of the record's first byte, and of the line break that ended it
    // (or the buffer's size).
    std::size_t begin = 0;
    std::size_t content_end = 0;
    // The buffer ended inside a quoted field of the record.
    bool ended_in_open_quote = false;

    friend bool operator==(const Record&, const Record&) = default;
};

// Bytes with everything outside printable ASCII as \xNN, for messages.
std::string escaped(std::string_view bytes);
void PrintTo(const Record& record, std::ostream* os);

// What a stored field's flags must say about its text: whether it holds the
// delimiter, the quote byte, CR or LF, and whether it is all ASCII.
struct FieldFacts {
    bool special;
    bool ascii;
};
FieldFacts facts_of(std::string_view text, std::uint8_t delimiter, std::uint8_t quote_char);

// Lossy UTF-8: one U+FFFD per maximal ill-formed subpart.
std::string decode_lossy(std::string_view bytes);
// Length of the longest well-formed UTF-8 prefix.
std::size_t valid_prefix(std::string_view bytes);

// One field of text that is empty or only Unicode White_Space code points.
bool is_blank(const std::vector<std::string>& fields);

// All records of the buffer, in order.
std::vector<Record> tokenize(std::string_view buffer, std::uint8_t delimiter,
                             std::uint8_t quote_char, bool repair_quotes);

// The dialect options beyond delimiter and quote: no quote byte at all, an
// escape byte inside quoted fields, and dropping spaces at a field's start.
struct Dialect {
    std::uint8_t delimiter = ',';
    std::optional<std::uint8_t> quote = '"';
    std::optional<std::uint8_t> escape;
    bool skip_initial_space = false;
    bool repair_quotes = true;
    // The runaway-quote guard for a table of this many fields; 0: off.
    std::size_t guard_columns = 0;
};
std::vector<Record> tokenize(std::string_view buffer, const Dialect& dialect);

std::uint8_t sniff(std::string_view buffer);
// Ties go to the field count met first.
std::size_t infer(std::string_view buffer, std::uint8_t delimiter);

struct Quarantined {
    std::vector<std::string> fields;
    std::string reason;
    std::size_t line = 0;
};

struct Options {
    std::optional<std::uint8_t> delimiter;
    std::uint8_t quote_char = '"';
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    std::optional<std::size_t> expected_columns;
    bool repair_quotes = true;
};

struct Result {
    std::vector<std::vector<std::string>> rows;
    std::vector<Quarantined> quarantine;
    std::uint8_t delimiter = ',';
    std::size_t total_rows = 0;
    std::size_t repaired_rows = 0;
    std::size_t inferred_columns = 0;
};

Result salvage(std::string_view buffer, const Options& options);

// Hostile inputs from a seed: a small alphabet of delimiters, both quote
// bytes, line breaks, blanks, letters, ill-formed UTF-8, long quote runs and
// lines of stray quotes, sometimes after a byte-order mark. In turn: a soup of
// such tokens; a few bytes of quotes, delimiters, blanks and line breaks; a
// damaged table, so that column checks have work to do; and a long mix of
// the three.
class InputGenerator {
  public:
    explicit InputGenerator(std::uint64_t seed) : state_(seed) {}
    std::string next();
    // Uniform in [0, bound), bound > 0.
    std::size_t below(std::size_t bound);

  private:
    std::uint64_t next_word();
    void append_token(std::string& out);
    std::string table();
    std::string tiny();
    std::string soup();

    std::uint64_t state_;
    std::uint64_t produced_ = 0;
};

}  // namespace reference

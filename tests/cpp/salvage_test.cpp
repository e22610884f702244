#include "engine/salvage.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/options.hpp"
#include "reference_tokenizer.hpp"

// The allocation-failure test asks for more memory than exists; under
// AddressSanitizer that must come back as a failed allocation, not a report.
#if defined(__SANITIZE_ADDRESS__)
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

using namespace std::literals;
using quillon::SalvageOptions;
using quillon::SalvageResult;
using Fields = std::vector<std::string>;

struct QuarantineEntry {
    Fields fields;
    std::string reason;
    std::size_t line;
    friend bool operator==(const QuarantineEntry&, const QuarantineEntry&) = default;
};

void PrintTo(const QuarantineEntry& q, std::ostream* os) {
    *os << "line " << q.line << " \"" << q.reason << "\" [";
    for (const std::string& f : q.fields) *os << '"' << reference::escaped(f) << "\" ";
    *os << ']';
}

// A result in plain containers, for comparison and messages.
struct Outcome {
    std::vector<Fields> rows;
    std::vector<QuarantineEntry> quarantine;
    char32_t delimiter = U',';
    std::size_t total = 0;
    std::size_t salvaged = 0;
    std::size_t repaired = 0;
    std::size_t quarantined = 0;
    std::size_t columns = 0;
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome outcome_of(const SalvageResult& r) {
    Outcome o;
    for (const quillon::RowView row : r.rows) o.rows.push_back(row.to_strings());
    for (const quillon::QuarantinedRow q : r.quarantine) {
        o.quarantine.push_back({q.fields.to_strings(), std::string(q.reason), q.line});
    }
    o.delimiter = r.detected_delimiter;
    o.total = r.total_rows;
    o.salvaged = r.salvaged_rows;
    o.repaired = r.repaired_rows;
    o.quarantined = r.quarantined_rows;
    o.columns = r.inferred_columns;
    return o;
}

Outcome outcome_of(const reference::Result& r) {
    Outcome o;
    o.rows = r.rows;
    for (const reference::Quarantined& q : r.quarantine)
        o.quarantine.push_back({q.fields, q.reason, q.line});
    o.delimiter = r.delimiter;
    o.total = r.total_rows;
    o.salvaged = r.rows.size();
    o.repaired = r.repaired_rows;
    o.quarantined = r.quarantine.size();
    o.columns = r.inferred_columns;
    return o;
}

SalvageOptions to_engine(const reference::Options& o) {
    SalvageOptions s;
    s.delimiter = o.delimiter;
    s.quote_char = o.quote_char;
    s.fill_ragged_rows = o.fill_ragged_rows;
    s.merge_overflow = o.merge_overflow;
    s.expected_columns = o.expected_columns;
    s.repair_quotes = o.repair_quotes;
    return s;
}

std::string few(std::size_t e) {
    return "Row has too few columns (expected " + std::to_string(e) + ")";
}
std::string extra(std::size_t e) {
    return "Row has extra columns (expected " + std::to_string(e) + ")";
}

reference::Options make_options(std::optional<std::uint8_t> delimiter,
                                std::optional<std::size_t> columns, bool fill = true,
                                bool merge = true, std::uint8_t quote = '"', bool repair = true) {
    return {delimiter, quote, fill, merge, columns, repair};
}

// Checks the promises every result keeps, whatever the input.
void expect_invariants(const SalvageResult& r, std::uint8_t quote) {
    EXPECT_EQ(r.total_rows, r.salvaged_rows + r.quarantined_rows);
    EXPECT_EQ(r.salvaged_rows, r.rows.size());
    EXPECT_EQ(r.quarantined_rows, r.quarantine.size());
    EXPECT_LE(r.repaired_rows, r.salvaged_rows);
    const auto delimiter = static_cast<std::uint8_t>(r.detected_delimiter);
    // What "special" means for a delimiter or quote of 0x80 or above is left
    // to the encoder; "ASCII" always means no byte of 0x80 or above.
    const bool check_special = delimiter < 0x80 && quote < 0x80;
    auto check_row = [&](const quillon::RowView& row) {
        std::size_t count = 0;
        std::size_t text = 0;
        bool all_ascii = true;
        bool any_special = false;
        for (const quillon::FieldRef f : row) {
            ++count;
            text += f.text.size();
            all_ascii = all_ascii && f.ascii();
            any_special = any_special || f.special();
            const reference::FieldFacts facts = reference::facts_of(f.text, delimiter, quote);
            if (check_special) {
                EXPECT_EQ(f.special(), facts.special)
                    << "field \"" << reference::escaped(f.text) << "\"";
            }
            EXPECT_EQ(f.ascii(), facts.ascii) << "field \"" << reference::escaped(f.text) << "\"";
        }
        EXPECT_EQ(row.size(), count);
        EXPECT_EQ(row.to_strings().size(), count);
        EXPECT_EQ(row.text_size(), text);
        EXPECT_EQ(row.all_ascii(), all_ascii);
        EXPECT_EQ(row.any_special(), any_special);
    };
    for (const quillon::RowView row : r.rows) {
        if (r.inferred_columns != 0) {
            EXPECT_EQ(row.size(), r.inferred_columns);
        }
        check_row(row);
    }
    std::size_t last_line = 1;
    for (const quillon::QuarantinedRow q : r.quarantine) {
        EXPECT_GE(q.line, last_line) << "quarantine lines went back";
        last_line = q.line;
        EXPECT_TRUE(q.reason == few(r.inferred_columns) || q.reason == extra(r.inferred_columns))
            << q.reason;
        EXPECT_EQ(q.reason == few(r.inferred_columns), q.fields.size() < r.inferred_columns);
        check_row(q.fields);
    }
}

struct RunCase {
    std::string name;
    std::string input;
    reference::Options options;
    std::vector<Fields> rows;
    std::vector<QuarantineEntry> quarantine;
    char32_t delimiter;
    std::size_t columns;
    std::size_t total;
    std::size_t repaired;
};

std::vector<RunCase> run_cases() {
    const std::string worked = "h1,h2,h3\n1,2\n1,2,3,4,5\n\n'x''y',z,w\nlast,row";
    // clang-format off
    return {
        {"WorkedExampleRepaired",
         worked,
         make_options(',', 3, true, true, '\''),
         {{"h1", "h2", "h3"}, {"1", "2", ""}, {"1", "2", "3,4,5"}, {"", "", ""}, {"x'y", "z", "w"}, {"last", "row", ""}},
         {},
         U',',
         3,
         6,
         4},
        {"WorkedExampleQuarantined",
         worked,
         make_options(',', 3, false, false, '\''),
         {{"h1", "h2", "h3"}, {"x'y", "z", "w"}},
         {{{"1", "2"}, few(3), 2}, {{"1", "2", "3", "4", "5"}, extra(3), 3}, {{""}, few(3), 4}, {{"last", "row"}, few(3), 6}},
         U',',
         3,
         6,
         0},
        {"QuotedRecordReportsTheLineItEndsOn",
         "h1,h2,h3\n1,2,3\n'a\nb',c\n4,5,6\n7,8\n",
         make_options(',', 3, false, false, '\''),
         {{"h1", "h2", "h3"}, {"1", "2", "3"}, {"4", "5", "6"}},
         {{{"a\nb", "c"}, few(3), 4}, {{"7", "8"}, few(3), 6}},
         U',',
         3,
         5,
         0},
        {"CarriageReturnLineFeedLines",
         "a,b\r\nc\r\nd,e\r\nf,g,h\r\n",
         make_options(',', 2, false, false),
         {{"a", "b"}, {"d", "e"}},
         {{{"c"}, few(2), 2}, {{"f", "g", "h"}, extra(2), 4}},
         U',',
         2,
         4,
         0},
        {"CarriageReturnLines",
         "a,b\rc\rd,e",
         make_options(',', 2, false, false),
         {{"a", "b"}, {"d", "e"}},
         {{{"c"}, few(2), 2}},
         U',',
         2,
         3,
         0},
        {"UnterminatedQuoteRunsToTheEnd",
         "a,b\n\"c\nd\ne",
         make_options(',', 2, false, false),
         {{"a", "b"}},
         {{{"c\nd\ne"}, few(2), 4}},
         U',',
         2,
         2,
         0},
        {"QuotedCarriageReturnIsNotALine",
         "a,b\n'c\rd'\ne",
         make_options(',', 2, false, false, '\''),
         {{"a", "b"}},
         {{{"c\rd"}, few(2), 2}, {{"e"}, few(2), 3}},
         U',',
         2,
         3,
         0},
        {"FinalLineBreakAddsNoRecord", "a,b\nc,d\n", make_options(std::nullopt, std::nullopt), {{"a", "b"}, {"c", "d"}}, {}, U',', 2, 2, 0},
        {"EmptyLineIsARecord",
         "a,b\n\nc,d\n",
         make_options(',', 2, false, false),
         {{"a", "b"}, {"c", "d"}},
         {{{""}, few(2), 2}},
         U',',
         2,
         3,
         0},
        {"ZeroColumnsKeepsEverything",
         "a\nb,c,d\n\n",
         make_options(',', 0, false, false),
         {{"a"}, {"b", "c", "d"}, {""}},
         {},
         U',',
         0,
         3,
         0},
        {"SniffsAndInfers", "x;y\n1;2\n3\n", make_options(std::nullopt, std::nullopt), {{"x", "y"}, {"1", "2"}, {"3", ""}}, {}, U';', 2, 3, 1},
        {"InferenceUsesTheDoubleQuote",
         "'a,b',c\n'd,e',f\n",
         make_options(',', std::nullopt, true, true, '\''),
         {{"a,b", "c", ""}, {"d,e", "f", ""}},
         {},
         U',',
         3,
         2,
         2},
        {"HeaderIsAnOrdinaryRow", "a,b,c\n1,2,3\n", make_options(',', 2, false, false), {}, {{{"a", "b", "c"}, extra(2), 1}, {{"1", "2", "3"}, extra(2), 2}}, U',', 2, 2, 0},
        {"ByteOrderMarkIsSkipped", "\xEF\xBB\xBF" "a;b\nc;d\n", make_options(std::nullopt, std::nullopt), {{"a", "b"}, {"c", "d"}}, {}, U';', 2, 2, 0},
        {"HighDelimiterIsReportedAsItsCodePoint",
         "a\xA7" "b\xA7" "c\n",
         make_options(0xA7, 2),
         {{"a", "b\xC2\xA7" "c"}},
         {},
         U'\u00A7',
         2,
         1,
         1},
        {"OneColumnMergesEverything", "a,b\nc\n", make_options(',', 1), {{"a,b"}, {"c"}}, {}, U',', 1, 2, 1},
        {"GivenValuesAreReportedAsGiven", "a,b,c\n", make_options(';', 1), {{"a,b,c"}}, {}, U';', 1, 1, 0},
        // clang-format on
    };
}

TEST(SalvageTest, RunsFollowTheRules) {
    for (const RunCase& c : run_cases()) {
        SCOPED_TRACE(c.name);
        const SalvageResult r = quillon::salvage_buffer(c.input, to_engine(c.options));
        Outcome expected;
        expected.rows = c.rows;
        expected.quarantine = c.quarantine;
        expected.delimiter = c.delimiter;
        expected.total = c.total;
        expected.salvaged = c.rows.size();
        expected.repaired = c.repaired;
        expected.quarantined = c.quarantine.size();
        expected.columns = c.columns;
        const Outcome got = outcome_of(r);
        EXPECT_EQ(got.rows, expected.rows);
        EXPECT_EQ(got.quarantine, expected.quarantine);
        EXPECT_EQ(got, expected);
        expect_invariants(r, c.options.quote_char);
        EXPECT_EQ(outcome_of(reference::salvage(c.input, c.options)), expected)
            << "the reference disagrees";
    }
}

TEST(SalvageTest, EmptyBufferGivesTheEmptyResult) {
    const std::vector<reference::Options> options = {
        make_options(std::nullopt, std::nullopt),
        make_options(';', std::nullopt),
        make_options(std::nullopt, 5),
        make_options('\t', 5, false, false, '\'', false),
    };
    for (const reference::Options& o : options) {
        const Outcome got = outcome_of(quillon::salvage_buffer({}, to_engine(o)));
        EXPECT_EQ(got, Outcome{});
    }
}

TEST(SalvageTest, ByteOrderMarkAloneGivesNoRows) {
    const struct {
        reference::Options options;
        char32_t delimiter;
        std::size_t columns;
    } cases[] = {
        {make_options(std::nullopt, std::nullopt), U',', 0},
        {make_options(';', 4), U';', 4},
        {make_options('|', std::nullopt), U'|', 0},
    };
    for (const auto& c : cases) {
        const Outcome got =
            outcome_of(quillon::salvage_buffer("\xEF\xBB\xBF", to_engine(c.options)));
        Outcome expected;
        expected.delimiter = c.delimiter;
        expected.columns = c.columns;
        EXPECT_EQ(got, expected);
    }
}

const std::vector<reference::Options>& generated_option_sets() {
    static const std::vector<reference::Options> sets = {
        make_options(std::nullopt, std::nullopt),
        make_options(std::nullopt, std::nullopt, false, false, '\''),
        make_options(',', 3, false, false),
        make_options(',', 2, true, false, '"', false),
        make_options(';', 2, false, true, '\''),
        make_options('\t', std::nullopt, true, true, '"', false),
        make_options(',', 0),
        make_options(',', 1),
        make_options(0xC3, 2, false, true),
        make_options(',', std::nullopt, true, true, ','),
        make_options('|', 4, true, true, '\'', true),
    };
    return sets;
}

TEST(SalvageTest, MatchesReferenceAndKeepsInvariantsOnGeneratedInputs) {
    reference::InputGenerator gen(77);
    for (int n = 0; n < 2000; ++n) {
        const std::string input = gen.next();
        for (const reference::Options& o : generated_option_sets()) {
            SCOPED_TRACE("input \"" + reference::escaped(input) + "\"");
            const SalvageResult r = quillon::salvage_buffer(input, to_engine(o));
            expect_invariants(r, o.quote_char);
            ASSERT_EQ(outcome_of(r), outcome_of(reference::salvage(input, o)));
            if (HasFailure()) return;
        }
    }
}

TEST(SalvageTest, SameBytesGiveTheSameResult) {
    // Wherever the bytes lie in memory: the fast paths load in blocks, so
    // each offset from an aligned start meets the block edges elsewhere.
    reference::InputGenerator gen(5);
    const reference::Options defaults = make_options(std::nullopt, std::nullopt);
    for (int n = 0; n < 200; ++n) {
        const std::string input = gen.next();
        SCOPED_TRACE("input \"" + reference::escaped(input) + "\"");
        const auto want = outcome_of(reference::salvage(input, defaults));
        for (std::size_t offset = 0; offset < 64; offset += 7) {
            const std::string shifted = std::string(offset, 'x') + input;
            const std::string_view moved = std::string_view(shifted).substr(offset);
            ASSERT_EQ(outcome_of(quillon::salvage_buffer(moved, to_engine(defaults))), want) << offset;
        }
    }
}

TEST(SalvageTest, PaddingBeyondMemoryThrowsBadAlloc) {
    for (const std::size_t columns :
         {std::size_t{1} << 61, std::size_t{1} << 62, ~std::size_t{0}}) {
        SalvageOptions o;
        o.delimiter = ',';
        o.expected_columns = columns;
        o.fill_ragged_rows = true;
        EXPECT_THROW(quillon::salvage_buffer("a,b\n", o), std::bad_alloc) << columns;
    }
}

}  // namespace

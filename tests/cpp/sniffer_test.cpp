#include "engine/sniffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reference_tokenizer.hpp"

namespace {

using namespace std::literals;

std::string repeat(std::string_view unit, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += unit;
    return s;
}

struct SniffCase {
    std::string name;
    std::string input;
    char expected;
};

std::vector<SniffCase> sniff_cases() {
    // clang-format off
    return {
        {"EmptyBuffer", "", ','},
        {"ByteOrderMarkOnly", "\xEF\xBB\xBF", ','},
        {"BlankLinesOnly", "\n   \n\t\n\xC2\xA0\n", ','},
        {"OneRecordOfSemicolons", "a;b;c", ','},
        {"OneRecordAmongBlankLines", "\n\na;b;c\n\n \n", ','},
        {"TwoSemicolonRecords", "x;y\n1;2\n", ';'},
        {"TwoTabRecords", "a\tb\tc\n1\t2\t3\n", '\t'},
        {"TwoBarRecords", "a|b\nc|d", '|'},
        {"TieGoesToTheEarlierCandidate", "a,b;c\na,b;c\n", ','},
        {"MoreFieldsScoreHigher", "a,b;c;d\na,b;c;d\n", ';'},
        {"BlankLinesAreNotCounted", "a;b\n\n   \nc;d\n", ';'},
        {"OnlyFiftyRecordsAreRead", repeat("a;b\n", 50) + repeat("a,b,c\n", 200), ';'},
        {"BlankLinesDoNotUseUpTheSample", repeat("\n", 49) + "  \na;b\nc;d\n", ';'},
        {"RecordsPastTheFiftiethAreNotRead", repeat("a,b\n", 50) + repeat("a;b;c\n", 200), ','},
        // Ties at the fiftieth record, which the records after it would break.
        {"FiftyFirstRecordIsNotRead", repeat("a,b\n", 25) + repeat("x;y\n", 35), ','},
        {"FiftiethRecordIsRead", repeat("x;y\n", 25) + repeat("a,b\n", 35), ','},
        // comma 3,3,1,1 scores 0.5 * ln 3 = 0.549; semicolon 2,1,2,2 scores 0.75.
        {"SingleFieldRecordsLowerTheShare", "a,b,c;d\na,b,c\nx;y\np;q\n", ';'},
        // Counts of 1 never become the mode: the comma's mode is 2 with share
        // 1/8, below the semicolon's 3/8.
        {"CountOfOneIsNeverTheMode", "a\nb\nc\nd\nf,g\nh;i\nj;k\nl;m\n", ';'},
        {"QuotedDelimiterDoesNotSplit", "\"a;b;c\",d\n\"e;f;g\",h\n", ','},
        {"ApostropheIsNotAQuote", "'a,b';c\n'd,e';f\n", ','},
        {"ApostropheFieldsSplitAtTheComma", "'a,b,c';d\n'e,f,g';h\n", ','},
        {"StrayQuotesAreRepaired", "\"a\"b;c;d\n\"e\"f;g;h\n", ';'},
        {"QuotedLineBreaksJoinRecords", "\"a\nb;c\";d\n\"e\nf\";g\n", ';'},
        {"CarriageReturnLines", "a|b\rc|d\r", '|'},
        // Comma counts 3,2,3,2,3,2,2,3 tie between 3 and 2; the first met, 3,
        // scores 0.5 * ln 3 = 0.549 and beats the semicolon's 3/8 * ln 4 = 0.520.
        {"ModeTieGoesToTheCountMetFirst", "a,b,c\na,b\na,b,c\na,b\na,b,c\na;b;c;d,e\na;b;c;d,e\na;b;c;d,e,f\n", ','},
        // The same records with 2 met first: the comma's mode is 2, scoring 0.5.
        {"ModeTieGoesToTheCountMetFirstTwo", "a,b\na,b,c\na,b,c\na,b\na,b,c\na;b;c;d,e\na;b;c;d,e\na;b;c;d,e,f\n", ';'},
        // clang-format on
    };
}

TEST(SnifferTest, ChoosesTheDelimiter) {
    for (const SniffCase& c : sniff_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quillon::sniff_delimiter(c.input), static_cast<std::uint8_t>(c.expected));
        EXPECT_EQ(reference::sniff(c.input), static_cast<std::uint8_t>(c.expected))
            << "the reference disagrees";
    }
}

TEST(SnifferTest, MatchesReferenceOnGeneratedInputs) {
    reference::InputGenerator gen(4242);
    for (int n = 0; n < 3000; ++n) {
        const std::string input = gen.next();
        ASSERT_EQ(quillon::sniff_delimiter(input), reference::sniff(input))
            << reference::escaped(input);
    }
}

TEST(SnifferTest, RepeatedCallsAgree) {
    // Nothing carries over from one call to the next: the cases backwards,
    // each right after a call on another input, still give their delimiter.
    const std::vector<SniffCase> cases = sniff_cases();
    for (std::size_t i = cases.size(); i-- > 0;) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(quillon::sniff_delimiter(cases[i].input), static_cast<std::uint8_t>(cases[i].expected));
        const SniffCase& other = cases[(i + 1) % cases.size()];
        EXPECT_EQ(quillon::sniff_delimiter(other.input), static_cast<std::uint8_t>(other.expected));
        EXPECT_EQ(quillon::sniff_delimiter(cases[i].input), static_cast<std::uint8_t>(cases[i].expected));
    }
}

TEST(SnifferTest, CandidatesInTieBreakOrder) {
    // Every pair scoring the same: the one earlier in , ; TAB | wins.
    const std::string_view order = ",;\t|";
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (std::size_t j = i + 1; j < order.size(); ++j) {
            for (const bool earlier_first : {true, false}) {
                const char first = earlier_first ? order[i] : order[j];
                const char second = earlier_first ? order[j] : order[i];
                const std::string input = repeat(std::string("a") + first + "b" + second + "c\n", 4);
                SCOPED_TRACE(reference::escaped(input));
                EXPECT_EQ(quillon::sniff_delimiter(input), static_cast<std::uint8_t>(order[i]));
                EXPECT_EQ(reference::sniff(input), static_cast<std::uint8_t>(order[i]));
            }
        }
    }
}

struct BlankTextCase {
    std::string_view text;
    bool blank;
};

TEST(SnifferTest, BlankTextIsUnicodeWhiteSpace) {
    const BlankTextCase cases[] = {
        {"", true},
        {" ", true},
        {"\t\n\x0B\x0C\r", true},
        {"\xC2\x85", true},
        {"\xC2\xA0", true},
        {"\xE1\x9A\x80", true},
        {"\xE2\x80\x80", true},
        {"\xE2\x80\x8A", true},
        {"\xE2\x80\xA8\xE2\x80\xA9", true},
        {"\xE2\x80\xAF", true},
        {"\xE2\x81\x9F", true},
        {"\xE3\x80\x80", true},
        {"  \xE3\x80\x80 \t", true},
        {"\x08", false},
        {"\x0E", false},
        {"\x1F", false},
        {"\0"sv, false},
        {"a", false},
        {" a ", false},
        {"\xC2\x84", false},
        {"\xC2\xA1", false},
        {"\xE1\xA0\x8E", false},
        {"\xE2\x80\x8B", false},
        {"\xE2\x80\xAA", false},
        {"\xE2\x81\xA0", false},
        {"\xEF\xBB\xBF", false},
        {"\xE3\x80\x81", false},
        {"\xC2", false},
        {"\xA0", false},
        {"\x85", false},
        {" \xFF", false},
        {"\xE2\x80", false},
        {"\xE3\x80\x80\xE3\x80", false},
        {"\xC0\xA0", false},
        {"\xE0\x80\xA0", false},
        {"\xEF\xBF\xBD", false},
    };
    for (const BlankTextCase& c : cases) {
        EXPECT_EQ(quillon::is_blank_text(c.text), c.blank) << reference::escaped(c.text);
    }
}

}  // namespace

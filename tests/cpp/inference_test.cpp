#include "engine/inference.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reference_tokenizer.hpp"

namespace {

std::string repeat(std::string_view unit, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += unit;
    return s;
}

struct InferCase {
    std::string name;
    std::string input;
    std::uint8_t delimiter;
    std::size_t expected;
};

std::vector<InferCase> infer_cases() {
    // clang-format off
    return {
        {"EmptyBuffer", "", ',', 0},
        {"ByteOrderMarkOnly", "\xEF\xBB\xBF", ',', 0},
        {"BlankLinesOnly", "\n  \n\t\n\xE3\x80\x80\r\n", ',', 0},
        {"OneRecordOfFourFields", "a,b,c,d", ',', 4},
        {"MostFrequentCount", "a,b,c\nd,e,f\ng,h,i\nj,k,l,m,n\n", ',', 3},
        {"NoDelimiterGivesOne", "alpha\nbeta;gamma\n", ',', 1},
        {"BlankLinesAreSkipped", "\n\na,b\n \n\t\nc\nd,e\n\n", ',', 2},
        {"TwoDelimitersAreThreeEmptyFields", ",,\n\n", ',', 3},
        {"BlankLinesDoNotUseUpTheSample", repeat("\n", 150) + "a,b,c\n", ',', 3},
        {"OnlyTheFirstHundredRecords", repeat("a,b\n", 100) + repeat("a,b,c,d,e\n", 300), ',', 2},
        {"HundredFirstRecordIsNotRead", repeat("a,b\n", 50) + repeat("a,b,c\n", 50) + repeat("a,b,c\n", 5), ',', 2},
        // The hundredth record makes a tie that the first met, 3, wins.
        {"HundredthRecordIsRead", repeat("a,b,c\n", 49) + repeat("a,b\n", 50) + "a,b,c\n" + repeat("a,b\n", 9), ',', 3},
        {"DoubleQuoteProtectsTheDelimiter", "\"a,b\",c\n\"d,e\",f\n", ',', 2},
        {"ApostropheDoesNotProtect", "'a,b',c\n'd,e',f\n", ',', 3},
        {"QuotedLineBreakStaysInTheRecord", "\"a\nb\",c\n", ',', 2},
        {"OtherDelimiter", "a;b;c\nd;e;f\n", ';', 3},
        {"TabDelimiter", "a\tb\n", '\t', 2},
        {"HighDelimiter", "a\xC3\xA9" "b\n", 0xC3, 2},
        {"TieGoesToTheCountMetFirst", "a,b,c\nd,e,f,g,h\ni,j,k,l,m\nn,o,p\n", ',', 3},
        {"TieGoesToTheCountMetFirstFive", "d,e,f,g,h\na,b,c\nn,o,p\ni,j,k,l,m\n", ',', 5},
        {"TieOfThreeCounts", "a\nb,c\nd,e,f\ng,h,i\nj,k\nl\n", ',', 1},
        {"SingleFieldCanWin", "a\nb\nc,d\n", ',', 1},
        {"WhiteSpaceRecordOfTwoFieldsCounts", " , \n", ',', 2},
        // clang-format on
    };
}

TEST(InferenceTest, InfersTheColumnCount) {
    for (const InferCase& c : infer_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quillon::infer_columns(c.input, c.delimiter), c.expected);
        EXPECT_EQ(reference::infer(c.input, c.delimiter), c.expected) << "the reference disagrees";
    }
}

TEST(InferenceTest, MatchesReferenceOnGeneratedInputs) {
    reference::InputGenerator gen(9001);
    const std::uint8_t delimiters[] = {',', ';', '\t', '|', 0xC3, '"'};
    for (int n = 0; n < 3000; ++n) {
        const std::string input = gen.next();
        for (const std::uint8_t d : delimiters) {
            ASSERT_EQ(quillon::infer_columns(input, d), reference::infer(input, d))
                << reference::escaped(input) << " delimiter " << int{d};
        }
    }
}

}  // namespace

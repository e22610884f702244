#include "detection/structure_detection.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "detection/dialect_detection.hpp"
#include "detection/encoding_detection.hpp"
#include "detection_test_support.hpp"
#include "engine/inference.hpp"
#include "engine/tokenizer.hpp"

namespace quillon {

void PrintTo(const TableStructure& t, std::ostream* os) {
    *os << "{preamble " << t.preamble_rows << ", header " << t.header << ", columns " << t.columns
        << ", header shape " << static_cast<int>(t.header_shape) << ", comment '" << t.comment
        << "', footer " << t.footer_from << "}";
}

}  // namespace quillon

namespace {

using detection_test::describe;
using detection_test::dialect;
using detection_test::repeat;
using detection_test::TableGenerator;
using quillon::Dialect;
using quillon::TableStructure;

struct StructureCase {
    std::string name;
    std::string input;
    TableStructure expected;
};

void expect_structures(const std::vector<StructureCase>& cases) {
    for (const StructureCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Dialect d = quillon::detect_dialect(c.input, {});
        const TableStructure t = quillon::detect_structure(c.input, d, std::nullopt);
        EXPECT_EQ(t.preamble_rows, c.expected.preamble_rows);
        EXPECT_EQ(t.header, c.expected.header);
        EXPECT_EQ(t.columns, c.expected.columns);
    }
}

const std::string kSales =
    "id,region,units,price,total\n1,North,3,2.50,7.50\n2,South,4,1.25,5.00\n3,East,1,9.00,9.00\n"
    "4,West,2,1.00,2.00\n5,North,1,3.00,3.00\n6,East,2,2.00,4.00\n";

TEST(StructureDetectionTest, Preambles) {
    expect_structures({
        {"TitleAndSeparator", "SALES REPORT,,,,\n,,,,\n" + kSales, {2, true, 5}},
        {"TitleAlone", "SALES REPORT,,,,\n" + kSales, {1, true, 5}},
        {"TitleOfOneField", "Sales report 2024\n" + kSales, {1, true, 5}},
        {"BlankLinesAbove", "\n \n" + kSales, {2, true, 5}},
        {"KeyValueLinesAndABlankLine", "Account,12345\nPeriod,2024-01\n\n" + kSales, {3, true, 5}},
        {"KeyValueLinesWithoutABlankLine",
         "Account,12345\nPeriod,2024-01\n" + kSales,
         {0, false, 5}},
        {"TitleAboveDataWithoutHeader",
         "SALES REPORT,,,,\n1,North,3,2.50,7.50\n2,South,4,1.25,5.00\n"
         "3,East,1,9.00,9.00\n4,West,2,1.00,2.00\n",
         {0, true, 5}},
        {"RaggedFirstRowIsNoPreamble", "1,Ada\n2,Grace,x\n3,Linus,y\n4,Tim,z\n", {0, false, 3}},
        {"SparseFirstRowIsNoPreamble", "1,,\n2,Grace,x\n3,Linus,y\n4,Tim,z\n", {0, false, 3}},
        {"PreambleAsLongAsTheTable", "Report,,\n,,\na,b,c\n1,2,3\n", {0, true, 3}},
        {"QuotedTitleOverTwoLines", "\"Sales\nreport\",,,,\n,,,,\n" + kSales, {2, true, 5}},
        {"Empty", "", {0, false, 0}},
        {"OnlyBlankLines", "\n\n\n", {0, false, 0}},
    });
}

TEST(StructureDetectionTest, Headers) {
    expect_structures({
        {"TextOverNumbers", "id,name,score\n1,Ada,3.5\n2,Grace,4.0\n3,Linus,2.5\n", {0, true, 3}},
        {"NumbersThroughout", "1,Ada,3.5\n2,Grace,4.0\n3,Linus,2.5\n", {0, false, 3}},
        {"TextOverDates", "when,what\n2024-01-01,a\n2024-01-02,b\n", {0, true, 2}},
        {"TextOverBooleans", "name;active\nAda;true\nGrace;false\n", {0, true, 2}},
        {"DistinctTextOverText",
         "name,city\nAda,London\nGrace,New York\nLinus,Helsinki\n",
         {0, true, 2}},
        {"RepeatedTextIsData", "Ada,London\nGrace,London\nAda,Helsinki\n", {0, false, 2}},
        {"SameLengthCodes", "ref,name\nAB12,Ada\nCD34,Grace\nEF56,Linus\n", {0, true, 2}},
        {"CodesWithoutHeader", "AB12,Ada\nCD34,Grace\nEF56,Linus\n", {0, false, 2}},
        {"CommaAndSpaceHeader",
         "id, name, note\n1, \"Smith, J\", ok\n2, \"Doe, A\", fine\n3, Lee, good\n",
         {0, true, 3}},
        {"OneRecord", "id,name\n", {0, true, 2}},
        {"RepeatedHeaderOfConcatenatedExports",
         "id,name,score\n1,ann,3\n2,bob,4\nid,name,score\n3,cy,5\n",
         {0, true, 3}},
    });
}

void expect_shapes(const std::vector<StructureCase>& cases) {
    for (const StructureCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Dialect d = quillon::detect_dialect(c.input, {});
        EXPECT_EQ(quillon::detect_structure(c.input, d, std::nullopt), c.expected);
    }
}

std::string quarters(const char* head, int rows, std::string_view row_end = "") {
    std::string text = head;
    for (int i = 0; i < rows; ++i) {
        text += "LNS14000000Q," + std::to_string(1959 + i / 4) + ",Q0" + std::to_string(1 + i % 4) +
                ',' + std::to_string(5 + i % 3) + '.' + std::to_string(i % 10);
        text.append(row_end).append("\n");
    }
    return text;
}

using quillon::HeaderShape;

TEST(StructureDetectionTest, RealWorldShapes) {
    const std::string titles =
        "Series Id:           LNS14000000Q\n\nSeasonally Adjusted\nSeries title:  (Seas) "
        "Unemployment Rate\nAge:   16 years and over\n\n\n";
    expect_shapes({
        {"LeadingBlankLinesOverOneRow", "\n\n\na,b,c\n1,2,3\n", {3, true, 3}},
        {"LeadingBlankLinesOverNoRow", "\n\na,b,c\n", {2, true, 3}},
        {"HeaderEndingInADelimiter",
         quarters("Series id,Year,Period,Value,\n", 20),
         {0, true, 4, HeaderShape::kTrailingBlank}},
        {"TitlesAboveAHeaderEndingInADelimiter",
         titles + quarters("Series id,Year,Period,Value,\n", 40),
         {7, true, 4, HeaderShape::kTrailingBlank}},
        // Every row ends in the delimiter too: the blank column is kept.
        {"DelimiterAfterEveryLine",
         quarters("Series id,Year,Period,Value,\n", 20, ","),
         {0, true, 5, HeaderShape::kWidth}},
        {"RowNamesOfWriteTable",
         "\"population\" \"area\"\n\"Region_1\" 8412 54.9\n\"Region_2\" 48324 419.4\n"
         "\"Region_3\" 88782 428.4\n",
         {0, true, 3, HeaderShape::kRowNames}},
        {"NumberedRowsOfWriteTable", "\"x\" \"y\"\n\"1\" 0.5 ab\n\"2\" 1.5 cd\n\"3\" 2.5 ef\n",
         {0, true, 3, HeaderShape::kRowNames}},
        {"ShortDataRowIsNoRowNameHeader", "1,Ada\n2,Grace,x\n3,Linus,y\n4,Tim,z\n", {0, false, 3}},
        {"HeaderOnly", "id,name,qty\n", {0, true, 3}},
        {"HeaderOnlyWithBlankLinesBelow", "id,name,qty\n\n\n", {0, true, 3}},
        {"OneDataRowIsNoHeader", "1,Ada,2024-01-01\n", {0, false, 3}},
        {"RepeatedNamesAreNoHeader", "a,b,a\n", {0, false, 3}},
        {"YearsOverDecimals",
         "fruit,2019,2020\napples,1.5,2.25\npears,3.5,0.75\nplums,2.0,1.25\n",
         {0, true, 3}},
        {"YearsOverYearsAreData", "a,2019,2020\nb,2021,2022\nc,2023,2024\n", {0, false, 3}},
        {"BlankFirstNameOverIndex",
         ",city,country\n0,Oslo,Norway\n1,Lima,Peru\n2,Berlin,Germany\n",
         {0, true, 3}},
        {"HeaderTwiceAtTheTop",
         "id,name,score\nid,name,score\n1,ann,3.5\n2,bob,4.5\n3,cy,1.5\n",
         {0, true, 3}},
    });
}

const std::string kScores = "id,name,score\n1,ann,3.5\n2,bob,4.5\n3,cy,1.5\n4,dee,2.5\n";

TEST(StructureDetectionTest, Comments) {
    expect_shapes({
        {"AboveTheHeader", "# exported 2024-01-01\n# by tool\n" + kScores,
         {2, true, 3, HeaderShape::kWidth, "#"}},
        {"AboveTitlesAndBlankLines", "# exported\nScores\n\n" + kScores + kScores.substr(14),
         {3, true, 3, HeaderShape::kWidth, "#"}},
        {"InsideAndBelow", kScores + "# a note, with a comma\n5,eve,0.5\n# end\n",
         {0, true, 3, HeaderShape::kWidth, "#"}},
        {"PercentSign", "% data of run 7\na,b\n1,2\n3,4\n5,6\n",
         {1, true, 2, HeaderShape::kWidth, "%"}},
        {"SlashesOverSemicolons", "// generated\nx;y\n1;2\n3;4\n5;6\n",
         {1, true, 2, HeaderShape::kWidth, "//"}},
        // A line that begins with the delimiter is a row with an empty first cell.
        {"SemicolonDelimiter", "x;y;z\n;2;3\n1;2;3\n4;5;6\n", {0, true, 3}},
        // A header or rows that begin with the mark have the table's shape.
        {"MarkedHeader", "#id,name,score\n1,ann,3.5\n2,bob,4.5\n3,cy,1.5\n", {0, true, 3}},
        {"MarkedRows", "id,tag\n1,#a\n#2,b\n3,c\n", {0, true, 2}},
        {"NoteOfTheTableWidthOutvoted", "# by tool, v2\n# on 2024-01-01\n# by ann\n" + kScores,
         {3, true, 3, HeaderShape::kWidth, "#"}},
        {"OneColumn", "# note\nname\nann\nbob\n", {0, true, 1}},
    });
}

// Where each input's footer begins: the offset of `footer` in it, or none.
TEST(StructureDetectionTest, Footers) {
    struct FooterCase {
        std::string name;
        std::string table;
        std::string footer;
        bool set_aside;
    };
    const std::string rows = quarters("Series id,Year,Period,Value\n", 40);
    const std::string scores = kScores + kScores.substr(14) + kScores.substr(14);
    const std::vector<FooterCase> cases = {
        {"TotalUnderIds", scores, "Total,17.5\n", true},
        {"NotesAfterABlankLine", rows, "\nSource: Bureau of Labor Statistics\nFootnote one\n", true},
        {"NoteWithoutLineBreak", rows, "Note: provisional", true},
        {"CommentsAreNotTheFooter", rows + "# end\n", "", false},
        {"ShortLastRowStaysARow", scores, "5,eve\n", false},
        {"TrailingBlankLinesAlone", scores, "\n\n", false},
        {"WordingOverATextColumn", "name,score\nann,3\nbob,4\ncy,5\n", "Total,12\n", false},
    };
    for (const FooterCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string input = c.table + c.footer;
        const Dialect d = quillon::detect_dialect(input, {});
        const std::size_t from = quillon::detect_structure(input, d, std::nullopt).footer_from;
        EXPECT_EQ(from, c.set_aside ? c.table.size() : TableStructure::kNoFooter);
    }
    // The tail of a long input is read from a line start.
    std::string long_input = quarters("Series id,Year,Period,Value\n", 4000);
    const std::size_t end = long_input.size();
    long_input += "Total\n";
    const Dialect d = dialect(',');
    EXPECT_EQ(quillon::detect_structure(long_input, d, std::nullopt).footer_from, end);
}

TEST(StructureDetectionTest, CommentHintIsTheAnswer) {
    const std::string input = "# exported\n" + kScores;
    const Dialect d = dialect(',');
    EXPECT_EQ(quillon::detect_structure(input, d, std::nullopt, "").comment, "");
    const TableStructure given = quillon::detect_structure(input, d, std::nullopt, "# ex");
    EXPECT_EQ(given.comment, "# ex");
    EXPECT_EQ(given.preamble_rows, 1u);
    // Other lines that begin with the prefix are comments too, and do not count.
    EXPECT_EQ(quillon::detect_structure(input + "1-\n1-\n", d, std::nullopt, "1").columns, 3u);
}

TEST(StructureDetectionTest, HeaderHintIsTheAnswer) {
    const Dialect d = dialect(',');
    EXPECT_FALSE(quillon::detect_structure(kSales, d, false).header);
    EXPECT_TRUE(quillon::detect_structure("1,2\n3,4\n", d, true).header);
}

TEST(StructureDetectionTest, ColumnsFollowInferenceAfterThePreamble) {
    TableGenerator gen(99);
    std::size_t with_preamble = 0;
    for (int n = 0; n < 300; ++n) {
        const std::uint8_t delimiter = std::string_view(",;\t|")[static_cast<std::size_t>(n % 4)];
        const std::size_t columns = 2 + static_cast<std::size_t>(n % 5);
        std::string input = gen.next(delimiter, columns, 4 + static_cast<std::size_t>(n % 60));
        const char sep = static_cast<char>(delimiter);
        if (n % 3 == 0)
            input = std::string("REPORT").append(columns - 1, sep).append("\n\n") + input;
        // A ragged row, so that the count is not the same for every record.
        if (n % 5 == 0) input.append(1, 'a').append(1, sep).append("b\n");
        SCOPED_TRACE(input);
        const Dialect d = dialect(delimiter);
        const TableStructure t = quillon::detect_structure(input, d, std::nullopt);
        quillon::RecordTokenizer tokenizer(input, d);
        for (std::size_t i = 0; i < t.preamble_rows; ++i) ASSERT_TRUE(tokenizer.next_shape());
        const std::string_view rest = std::string_view(input).substr(tokenizer.position());
        EXPECT_EQ(t.columns, quillon::infer_columns(rest, delimiter));
        with_preamble += t.preamble_rows != 0 ? 1 : 0;
    }
    // A title and a blank line head every third input; the first generated
    // row may itself look like a note, which leaves the preamble undecided.
    EXPECT_GE(with_preamble, 80u);
}

// A table looked for below with the first record's width, which the
// table's own width does not find there, does not cut the count short: the
// narrow rows above it would have outvoted the table's width.
TEST(StructureDetectionTest, ColumnsAreNotCutShortByATableNotFound) {
    const std::string input =
        "a,b,bb\na,b,c,d,e\na,b\na,b\na,b\nx\ny\nz\nw\n2,South,4,1.25,.00,2.00\n\na,b\na,b\na,b\na,b\n";
    const TableStructure t = quillon::detect_structure(input, dialect(','), std::nullopt);
    EXPECT_TRUE(t.other_tables.empty());
    EXPECT_EQ(t.columns, quillon::infer_columns(input, ','));
    EXPECT_EQ(t.columns, 2u);
}

TEST(StructureDetectionTest, Utf16ExportEndToEnd) {
    const std::string text = "name\tcity\nJos\xC3\xA9\tMadrid\nAda\tLondon\nGrace\tNew York\n";
    std::string bytes = "\xFF\xFE";
    // Every code point here is below U+0800: one UTF-16 unit each.
    const std::u32string code_points =
        U"name\tcity\nJos\u00e9\tMadrid\nAda\tLondon\nGrace\tNew York\n";
    for (const char32_t cp : code_points) {
        bytes += static_cast<char>(cp & 0xFF);
        bytes += static_cast<char>(cp >> 8);
    }
    const quillon::EncodingGuess guess = quillon::detect_encoding(bytes);
    ASSERT_EQ(guess.encoding, quillon::InputEncoding::kUtf16Le);
    const std::string utf8 =
        quillon::transcode_utf16_to_utf8(std::string_view(bytes).substr(guess.bom_length), false);
    EXPECT_EQ(utf8, text);
    const Dialect d = quillon::detect_dialect(utf8, {});
    EXPECT_EQ(describe(d), describe(dialect('\t')));
    EXPECT_EQ(quillon::detect_structure(utf8, d, std::nullopt), (TableStructure{0, true, 2}));
}

}  // namespace

// The sample's tables below the first, read past the preamble and the
// header as the engine reads them.
TEST(StructureDetectionTest, OtherTablesOfTheSample) {
    const std::string second = "\nBy region\nregion,units\nNorth,4\nSouth,5\n";
    const struct {
        std::string name;
        std::string input;
        std::vector<std::size_t> lines;
    } cases[] = {
        {"BelowTheTable", kSales + second, {9}},
        {"BelowTitlesAndComments", "Sales\n\n# exported\n" + kSales + second, {12}},
        {"NoneWithoutTheBreak", kSales + "region,units\nNorth,4\nSouth,5\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Dialect d = quillon::detect_dialect(c.input, {});
        const TableStructure t = quillon::detect_structure(c.input, d, std::nullopt);
        std::vector<std::size_t> lines;
        for (const quillon::OtherTable& o : t.other_tables) lines.push_back(o.line);
        EXPECT_EQ(lines, c.lines);
    }
    // A second table of more rows than the first within the column count's
    // reach does not lend the first its width.
    std::string bigger = kSales;
    for (int i = 0; i < 30; ++i) bigger += "7,West,2,1.00,2.00\n";
    bigger += second;
    for (int i = 0; i < 60; ++i) bigger += "West,7\n";
    const TableStructure b = quillon::detect_structure(bigger, dialect(','), std::nullopt);
    EXPECT_EQ(b.columns, 5u);
    ASSERT_EQ(b.other_tables.size(), 1u);
    EXPECT_EQ(b.other_tables[0].line, 39u);
}

// Dialect detection: the exports users meet, agreement with the fixed-rule
// sniffer, hints; both detections on hostile bytes.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "detection/dialect_detection.hpp"
#include "detection/structure_detection.hpp"
#include "detection_test_support.hpp"
#include "engine/field_count_table.hpp"
#include "engine/inference.hpp"
#include "engine/sniffer.hpp"

namespace {

using detection_test::describe;
using detection_test::dialect;
using detection_test::repeat;
using detection_test::TableGenerator;
using quillon::Dialect;
using quillon::DialectHints;
using quillon::TableStructure;

void expect_dialect(std::string_view input, const DialectHints& hints, const Dialect& want) {
    EXPECT_EQ(describe(quillon::detect_dialect(input, hints)), describe(want));
}

struct HintedCase {
    std::string name;
    std::string input;
    DialectHints hints;
    Dialect expected;
};

void expect_dialects(const std::vector<HintedCase>& cases) {
    for (const HintedCase& c : cases) {
        SCOPED_TRACE(c.name);
        expect_dialect(c.input, c.hints, c.expected);
    }
}

// Free text with unquoted commas in the last column and a time column: the
// colon cuts every record but the header into three fields, the comma cuts
// them into four to seven.
std::string ragged_rows_and_times() {
    const std::vector<std::string> notes = {"late, see ticket",
                                            "ok",
                                            "box, check, again",
                                            "fine",
                                            "next, priority, address, invoice",
                                            "again",
                                            "a, b",
                                            "c"};
    std::string out = "ref,start,owner,comment\n";
    for (int i = 0; i < 24; ++i) {
        char time[16];
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", i * 7 % 24, i * 13 % 60, i * 17 % 60);
        out += std::to_string(i + 1) + "," + time + ",Name" + std::to_string(i) + "," +
               notes[static_cast<std::size_t>(i % 8)] + "\n";
    }
    return out;
}

TEST(DialectDetectionTest, ExportsUsersMeet) {
    struct Case {
        std::string name;
        std::string input;
        Dialect expected;
    };
    const std::vector<Case> cases = {
        {"CommaAndSpace",
         "id, name, note\n1, \"Smith, J\", ok\n2, \"Doe, A\", fine\n3, Lee, good\n",
         dialect(',', '"', std::nullopt, true)},
        {"CommaAndSpaceWithoutQuotes", "a, b, c\n1, 2, 3\n4, 5, 6\n",
         dialect(',', '"', std::nullopt, true)},
        {"Apostrophes", "id,name,city\n1,'Smith, J',London\n2,'Doe, A',Paris\n3,'Lee',Rome\n",
         dialect(',', '\'')},
        {"SpaceDelimited", "id name score\n1 Ada 3.5\n2 Grace 4.0\n3 Linus 2.25\n", dialect(' ')},
        {"AlignedColumns", "id   name    score\n1    Ada     3.5\n2    Grace   4.0\n",
         dialect(' ', '"', std::nullopt, true)},
        {"BackslashEscapes",
         "id,item,price\n1,\"48\\\" screen\",199\n2,\"24\\\" monitor\",99\n3,\"cable\",5\n",
         dialect(',', '"', '\\')},
        {"BackslashesInPathsAreNoEscapes",
         "id,path\n1,\"C:\\temp\\\",x\n2,\"C:\\data\\\",y\n3,\"D:\\\",z\n", dialect(',')},
        {"SemicolonsAndDecimalCommas", "a;b;c\n1;2,5;3\n4;5,5;6\n7;8,25;9\n", dialect(';')},
        {"TabsAroundSpacedText", "name\tcity\nAda Lovelace\tNew York\nGrace Hopper\tLos Angeles\n",
         dialect('\t')},
        // Padded on both sides: skipping would strip each value by half.
        {"PipesAndSpaces", "a | b | c\n1 | 2 | 3\n4 | 5 | 6\n", dialect('|')},
        {"Colons", "a:b:c\n1:2:3\n4:5:6\n", dialect(':')},
        {"TimesDoNotMakeColonsDelimiters", "id,at\n1,12:30\n2,13:45\n3,09:05\n", dialect(',')},
        {"TimesAmongRaggedRowsDoNotMakeColonsDelimiters",
         "ref,at,who,note\n1,01:29:30,Ann,ok\n2,11:09:00,Bob,late, again\n3,12:00:01,Cy,fine\n"
         "4,13:14:15,Di,sent, paid, closed\n5,02:03:04,Ed,ok\n",
         dialect(',')},
        {"ApostropheInsideWordsIsNoQuote", "id;name\n1;O'Brien\n2;D'Arcy\n3;Smith\n", dialect(';')},
        {"QuotedDelimitersInOneColumn",
         "name,note\nAda,\"paid, thanks\"\nGrace,\"late, see ticket, 12\"\nLinus,ok\n",
         dialect(',')},
        {"RaggedRowsAndTimes", ragged_rows_and_times(), dialect(',')},
        {"Empty", "", dialect(',')},
        {"OneByte", ",", dialect(',')},
        {"OneColumn", "name\nAda\nGrace\n", dialect(',')},
        {"ByteOrderMark", "\xEF\xBB\xBFx;y\n1;2\n", dialect(';')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_dialect(c.input, {}, c.expected);
    }
}

TEST(DialectDetectionTest, HintsAreKept) {
    const std::string comma_space = "id, name\n1, \"Smith, J\"\n2, \"Doe, A\"\n";
    const std::string escaped = "a,b\n1,\"x\\\"y\"\n2,\"z\\\"w\"\n";
    const std::vector<HintedCase> cases = {
        {"DelimiterAnyByte", "a#b\n1#2\n", {.delimiter = '#'}, dialect('#')},
        {"DelimiterAgainstTheData", "a;b\n1;2\n", {.delimiter = ','}, dialect(',')},
        {"NoQuote",
         comma_space,
         {.quote_given = true},
         dialect(',', std::nullopt, std::nullopt, true)},
        {"ApostropheQuote", "a,b\n1,2\n", {.quote_given = true, .quote = '\''}, dialect(',', '\'')},
        {"NoEscape", escaped, {.escape_given = true}, dialect(',')},
        {"Escape", "a,b\n1,2\n", {.escape_given = true, .escape = '\\'}, dialect(',', '"', '\\')},
        {"NoSkipping", "a, b\n1, 2\n", {.skip_initial_space = false}, dialect(',')},
        {"Skipping",
         "a,b\n1,2\n",
         {.skip_initial_space = true},
         dialect(',', '"', std::nullopt, true)},
        {"Everything",
         "x",
         {.delimiter = '|',
          .quote_given = true,
          .quote = '~',
          .escape_given = true,
          .escape = '!',
          .skip_initial_space = true},
         dialect('|', '~', '!', true)},
    };
    expect_dialects(cases);
}

// Rows of a three-column table; every third holds a quoted comma and, with
// `runaway`, the row after it a quote that opens its last field and never
// closes (a field cut off by the exporter).
std::string quoted_rows(bool runaway) {
    std::string out = "id,name,note\n";
    for (int i = 0; i < 40; ++i) {
        const std::string n = std::to_string(i);
        if (i % 3 == 0) {
            out += n + ",\"Smith, J" + n + "\",ok\n";
        } else if (runaway && i % 3 == 1) {
            out += n + ",Lee" + n + ",\"fine\n";
        } else {
            out += n + ",Doe" + n + ",good\n";
        }
    }
    return out;
}

TEST(DialectDetectionTest, ShapesOfRealWorldFiles) {
    const std::string plus = "id+name+city+score\n1+Ada Lovelace+London+3.5\n"
                             "2+Grace Hopper+New York+4.0\n3+Linus T+Helsinki+2.25\n"
                             "4+Ken T+Murray Hill+1.5\n";
    std::string tilde = plus;
    for (char& c : tilde) c = c == '+' ? '~' : c;
    const std::string padded = "id , name , city\n1 , Homer , Springfield\n"
                               "2 , Marge , Shelbyville\n3 , Bart , Ogdenville\n";
    const std::vector<HintedCase> cases = {
        {"PlusDelimited", plus, {}, dialect('+')},
        {"TildeDelimited", tilde, {}, dialect('~')},
        {"SlashDelimitedBesideSpaces",
         "a/b c/d\n1 x/2/3 y\n4 z/5/6 w\n7 v/8/9 u\n",
         {},
         dialect('/')},
        // Dates cut every line alike, into fewer fields than the comma.
        {"DatesAreNoDelimiter",
         "2024-01-05,a,b,c\n2024-02-06,d,e,f\n2024-03-07,g,h,i\n",
         {},
         dialect(',')},
        {"PaddedOnBothSidesKeepsItsSpaces", padded, {}, dialect(',')},
        {"SpacesAfterDelimitersOnly", "id, name, city\n1, Homer, Springfield\n2, Marge, X\n",
         {},
         dialect(',', '"', std::nullopt, true)},
        {"TabDumpOfPostgres",
         "id\tname\tnote\n1\tSeltsam\\, oder\t\\N\n2\tA\\tB\tx\n3\tC\t\\N\n",
         {},
         dialect('\t', std::nullopt, '\\')},
        {"CommaDumpOfMysql",
         "1,Seltsam\\, oder,\\N\n2,plain,x\n3,more\\, text,y\n4,a\\\\b,z\n",
         {},
         dialect(',', std::nullopt, '\\')},
        {"WindowsPathsAreNoDump", "id,path,n\n1,C:\\temp\\new,1\n2,C:\\Users\\N,2\n", {},
         dialect(',')},
        {"TabsAndNewlinesAloneAreNoDump", "id\tpath\n1\tC:\\temp\\new\n2\tD:\\tmp\n", {},
         dialect('\t')},
        {"QuotedDumpKeepsItsQuotes",
         "1,\"Seltsam, oder\",\\N\n2,\"a\\\"b\",x\n3,\"c\",y\n",
         {},
         dialect(',', '"', '\\')},
        {"RunawayQuotesWithoutGuard", quoted_rows(true), {}, dialect(',', std::nullopt)},
        {"RunawayQuotesGuarded",
         quoted_rows(true),
         {.guard_runaway_quotes = true},
         dialect(',')},
        {"QuotesGuardedWithoutRunaways",
         quoted_rows(false),
         {.guard_runaway_quotes = true},
         dialect(',')},
    };
    expect_dialects(cases);
}

bool sniffer_unanimous(std::string_view input, std::uint8_t pick) {
    const quillon::FieldCountTable table = quillon::sample_field_counts(input, pick, 50);
    const auto mode = table.most_frequent(2);
    return mode && mode->records == table.records();
}

TEST(DialectDetectionTest, AgreesWithTheSnifferWhereItIsUnambiguous) {
    // Inputs where consistency alone would choose another reading: four
    // fields per record with the space, against two with the comma.
    for (const std::string& input : {repeat("w x y z,1\n", 20), repeat("a b c d;e f\n", 5)}) {
        SCOPED_TRACE(input);
        expect_dialect(input, {}, dialect(quillon::sniff_delimiter(input)));
        EXPECT_TRUE(sniffer_unanimous(input, quillon::sniff_delimiter(input)));
    }
    TableGenerator gen(20240611);
    std::size_t checked = 0;
    for (int n = 0; n < 400; ++n) {
        const std::uint8_t delimiter = std::string_view(",;\t|")[static_cast<std::size_t>(n % 4)];
        const std::string input = gen.next(delimiter, 2 + static_cast<std::size_t>(n % 7),
                                           1 + static_cast<std::size_t>(n * 7 % 90));
        const std::uint8_t pick = quillon::sniff_delimiter(input);
        if (!sniffer_unanimous(input, pick)) continue;
        ++checked;
        SCOPED_TRACE(input);
        expect_dialect(input, {}, dialect(pick));
        // The same with the delimiter given.
        expect_dialect(input, {.delimiter = pick}, dialect(pick));
    }
    EXPECT_GT(checked, 300u);
}

TEST(DialectDetectionTest, HostileBytesAreRead) {
    std::mt19937 rng(7);
    std::vector<std::string> inputs;
    for (int b = 0; b < 256; ++b) inputs.emplace_back(1, static_cast<char>(b));
    const std::string pool =
        ",;\t| :\"'\\\r\n\xC3\xFF"
        "a1";
    for (std::size_t size : {2, 3, 17, 300, 5000, 70000}) {
        std::string s;
        for (std::size_t i = 0; i < size; ++i) s += pool[rng() % pool.size()];
        inputs.push_back(s);
    }
    // A quote never closed, and a first line longer than the sample.
    inputs.push_back(std::string(1, '"').append(repeat("a,b\n", 1000)));
    inputs.push_back(repeat("x", 300000) + "\n" + repeat("a,b\n", 10));
    inputs.push_back(repeat("\n", 1000));
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input.substr(0, 40));
        // Only candidates the bytes offer: the comma stands when none scores.
        const Dialect d = quillon::detect_dialect(input, {});
        const auto occurs = [&](std::uint8_t b) { return input.find(static_cast<char>(b)) != std::string::npos; };
        const bool listed =
            std::string_view(",;\t| :").find(static_cast<char>(d.delimiter)) != std::string_view::npos;
        EXPECT_TRUE(listed || (std::ispunct(d.delimiter) != 0 && d.delimiter < 0x80)) << describe(d);
        EXPECT_TRUE(d.delimiter == ',' || occurs(d.delimiter)) << describe(d);
        EXPECT_TRUE(!d.quote || *d.quote == '"' || (*d.quote == '\'' && occurs('\''))) << describe(d);
        EXPECT_TRUE(!d.escape || (*d.escape == '\\' && occurs('\\'))) << describe(d);
        EXPECT_TRUE(!d.skip_initial_space || occurs(' ')) << describe(d);
        const TableStructure t = quillon::detect_structure(input, d, std::nullopt);
        EXPECT_LE(t.preamble_rows, 64u);
        // Without a preamble, in the module's dialect, the column count is
        // the column inference's.
        if (t.preamble_rows == 0 && describe(d) == describe(dialect(d.delimiter))) {
            EXPECT_EQ(t.columns, quillon::infer_columns(input, d.delimiter));
        }
    }
}

}  // namespace

// Tables below the table, and header copies glued onto a row's end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/parallel_salvage.hpp"
#include "engine/salvage.hpp"
#include "result_description.hpp"

namespace {

using quillon::SalvageOptions;
using reference::describe_result;

SalvageOptions table_options(std::size_t columns) {
    SalvageOptions o;
    o.delimiter = ',';
    o.expected_columns = columns;
    o.drop_repeated_headers = true;
    o.split_tables = true;
    return o;
}

std::vector<std::size_t> table_lines(const quillon::SalvageResult& r) {
    std::vector<std::size_t> lines;
    for (const quillon::OtherTable& t : r.other_tables) lines.push_back(t.line);
    return lines;
}

// Where a table starts, and where damage of the first table's rows must not
// pass for one.
TEST(OtherTablesTest, ABreakAndAShapeThatHoldsStartATable) {
    const std::string rows = "id,name,age\n1,a,3\n2,b,4\n";
    const struct {
        std::string below;
        std::vector<std::size_t> lines;
        std::size_t kept;
    } cases[] = {
        // Blank line, title, header and two rows of another width.
        {"\nPeople\nx,y\n1,2\n3,4\n", {5}, 2},
        // No title: the header right after the blank line.
        {"\n\nx,y,z,w\n1,2,3,4\n5,6,7,8\n", {6}, 2},
        // A title line alone is a break too.
        {"Sheet 2\nx,y\n1,2\n3,4\n", {4}, 2},
        // Three tables: the third differs from the second.
        {"\nx,y\n1,2\n3,4\n\nq,r,s,t\n1,2,3,4\n5,6,7,8\n", {5, 9}, 2},
        // Damage: too few records of the new width, a width that changes
        // again, rows cut short without a break, the same width after a break.
        {"\nx,y\n1,2\n", {}, 5},
        {"\nx,y\n1,2\n3,4,5\n6,7\n", {}, 7},
        {"1,2\n3,4\n5,6\n", {}, 5},
        {"\n5,c,6\n7,d,8\n9,e,1\n", {}, 6},
        // Three lone cells are no title but rows cut short; nor is a lone
        // cell that holds the delimiter.
        {"a\nb\nc\nx,y\n1,2\n3,4\n", {}, 8},
        {"\"Sales, by region\"\nx,y\n1,2\n3,4\n", {}, 6},
    };
    for (const auto& c : cases) {
        const std::string input = rows + c.below;
        SCOPED_TRACE(reference::escaped(input));
        const quillon::SalvageResult r = quillon::salvage_buffer(input, table_options(3));
        EXPECT_EQ(table_lines(r), c.lines);
        // The header is a kept row too, and so is a blank line of the table.
        EXPECT_EQ(r.salvaged_rows, c.kept + 1);
        EXPECT_EQ(r.total_rows, r.salvaged_rows + r.quarantined_rows);
        if (!c.lines.empty()) {
            EXPECT_EQ(r.other_tables.back().end, input.size());
            EXPECT_NE(r.other_table_rows, 0u);
        }
    }
}

// The byte test must never rule out an input in which the records hold a
// break: every line holding the delimiter is the one case it may.
TEST(OtherTablesTest, OnlyLinesWithoutTheDelimiterMayBreak) {
    const struct {
        std::string_view text;
        bool may;
    } cases[] = {
        {"a,b\nc,d\n", false},      {"a,b\r\nc,d\r\n", false}, {"a,b\nc,d", false},
        {"a,b\n\nc,d\n", true},    {"a,b\r\n\r\nc,d", true},  {"a,b\nTitle", true},
        {"a,b\rTitle\rc,d\n", true}, {"\"x\ny\",b\n", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quillon::may_hold_other_tables(c.text, ','), c.may) << reference::escaped(c.text);
    }
}

// A second table far past any sample, cut into spans of every size on 1..3
// threads: the one pass's rows, quarantine and tables each time.
TEST(OtherTablesTest, SpansAndThreadsGiveTheOnePassResult) {
    std::string input = "id,name,note\n";
    for (int i = 0; i < 3000; ++i) input += std::to_string(i) + ",n" + std::to_string(i) + ",x\n";
    input += "\nSecond\nk,v\n";
    for (int i = 0; i < 500; ++i) input.append("k").append(std::to_string(i)).append(",\"v\nw\"\n");
    const SalvageOptions options = table_options(3);
    const quillon::SalvageResult one = quillon::salvage_buffer(input, options);
    ASSERT_EQ(table_lines(one), std::vector<std::size_t>{3003});
    const std::vector<std::string> expected = describe_result(one);
    for (const quillon::SpanPlan plan : {quillon::SpanPlan{1, 64}, quillon::SpanPlan{2, 1},
                                         quillon::SpanPlan{3, 97}, quillon::SpanPlan{2, 4096}}) {
        SCOPED_TRACE(std::to_string(plan.threads) + " threads, spans of " +
                     std::to_string(plan.span_bytes));
        const quillon::SalvageResult r = quillon::salvage_buffer_parallel(input, options, plan);
        EXPECT_EQ(describe_result(r), expected);
        EXPECT_EQ(r.other_tables, one.other_tables);
    }
}

// Breaks that stay open across the cut between two spans, on two threads:
// a span is held until the next one tells, a break open past it gives the
// look up, and a table or none comes out as in one pass.
TEST(OtherTablesTest, BreaksAcrossSpanCutsGiveTheOnePassResult) {
    std::string rows;
    for (int i = 0; i < 200; ++i) rows += std::to_string(i) + ",n,x\n";
    const struct {
        std::string name;
        std::string below;
    } cases[] = {
        {"title and rows of the same width", "Note\n1,2,3\n4,5,6\n7,8,9\n"},
        {"blank lines over many spans, then a table", std::string(3000, '\n') + "k,v\n1,2\n3,4\n"},
        {"blank lines over many spans, then rows", std::string(3000, '\n') + "1,2,3\n4,5,6\n"},
        {"a comment between the break and the rows", "\nT\n# c,d\nk,v\n1,2\n3,4\n"},
        {"a quoted title, then a table", "\"Sheet\n2\"\nk,v\n1,2\n3,4\n"},
        {"a break cut short by the end", "\nT\nk,v\n"},
    };
    for (const auto& c : cases) {
        SalvageOptions options = table_options(3);
        options.comment_prefix = "#";
        const std::string input = "id,name,note\n" + rows + c.below + rows;
        const std::vector<std::string> expected =
            describe_result(quillon::salvage_buffer(input, options));
        for (const std::size_t span : {1, 16, 300}) {
            SCOPED_TRACE(c.name + ", spans of " + std::to_string(span));
            const quillon::SalvageResult r =
                quillon::salvage_buffer_parallel(input, options, quillon::SpanPlan{2, span});
            EXPECT_EQ(describe_result(r), expected);
            EXPECT_EQ(r.other_tables, quillon::salvage_buffer(input, options).other_tables);
        }
    }
}

// A header copy is cut off only when whole and at the end; a header glued
// onto a header (an empty export first) leaves no row behind.
TEST(OtherTablesTest, OnlyAWholeHeaderAtTheEndIsCutOff) {
    const struct {
        std::string input;
        std::size_t merged;
        std::size_t repeated;
    } cases[] = {
        {"id,name,age\n1,a,3name,age\n", 1, 0},
        {"id,name,age\n1,id,name,age,a\n", 1, 0},
        {"id,name,age\nid,name,ageid,name,age\n1,a,3\n", 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(reference::escaped(c.input));
        const quillon::SalvageResult r = quillon::salvage_buffer(c.input, table_options(3));
        EXPECT_EQ(r.merged_rows, c.merged);
        EXPECT_EQ(r.repeated_header_rows, c.repeated);
        EXPECT_EQ(r.total_rows, r.salvaged_rows + r.quarantined_rows);
    }
}

}  // namespace

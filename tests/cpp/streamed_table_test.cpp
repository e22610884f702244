#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "arrow/read_table.hpp"
#include "arrow/streamed_table.hpp"
#include "arrow_reader.hpp"
#include "file_test_support.hpp"

namespace {

using namespace quillon;
using namespace quillon::arrow;
using quillon::testing::read_file;
using quillon::testing::TempDir;

// A damaged export: a title above the header, a quoted line break, rows of
// the wrong width, a comment, a repeated header and notes below the table.
std::string damaged_export(std::size_t repeats) {
    std::string data = "Orders\n\nid,name,amount\n";
    for (std::size_t i = 0; i < repeats; ++i) {
        const std::string n = std::to_string(i);
        data += n + ",plain," + n + ".5\n" + n + ",short\n" + n + ",\"two\nlines\",x\n" + n +
                ",a,b,c\n# comment\n";
        if (i % 97 == 50) data += "id,name,amount\n";
    }
    return data + "\nTotal of all,99\n";
}

struct Read {
    arrow_reader::Rows rows;
    std::vector<std::string> names;
    std::size_t salvaged = 0;
    std::size_t quarantined = 0;
    std::string quarantine;
};

Read eager_read(const std::string& data, const AdaptiveOptions& options, const TempDir& dir) {
    const std::string path = dir.file("eager.q");
    IoResult<TableRead> read = read_table_content(data, path, options);
    EXPECT_TRUE(read);
    Read out;
    bool ok = false;
    out.rows = arrow_reader::rows_of(default_plan(*read.value().table), read.value().table->batches(), ok);
    EXPECT_TRUE(ok);
    out.names = read.value().table->names();
    out.salvaged = read.value().stats.salvaged_rows;
    out.quarantined = read.value().stats.quarantined_rows;
    out.quarantine = read_file(path).value_or("");
    return out;
}

Read streamed_read(const std::string& data, const AdaptiveOptions& options, std::size_t block,
                   const TempDir& dir) {
    const std::string path = dir.file("streamed.q");
    MemoryByteStream input(data, block);
    IoResult<std::unique_ptr<StreamedTable>> opened = StreamedTable::open(input, path, options);
    EXPECT_TRUE(opened);
    StreamedTable& table = *opened.value();
    std::vector<RecordBatch> batches;
    for (;;) {
        IoResult<std::optional<RecordBatch>> next = table.next();
        EXPECT_TRUE(next);
        if (!next || !next.value()) break;
        batches.push_back(*next.value());
    }
    EXPECT_TRUE(table.complete());
    Read out;
    bool ok = false;
    out.rows = arrow_reader::rows_of(default_plan(table.shape()), batches, ok);
    EXPECT_TRUE(ok);
    out.names = table.shape().names();
    out.salvaged = table.stats().salvaged_rows;
    out.quarantined = table.stats().quarantined_rows;
    out.quarantine = read_file(path).value_or("");
    EXPECT_EQ(table.rows(), out.rows.size());
    return out;
}

void expect_same(const Read& streamed, const Read& eager) {
    EXPECT_EQ(streamed.names, eager.names);
    EXPECT_EQ(streamed.rows, eager.rows);
    EXPECT_EQ(streamed.salvaged, eager.salvaged);
    EXPECT_EQ(streamed.quarantined, eager.quarantined);
    EXPECT_EQ(streamed.quarantine, eager.quarantine);
}

TEST(StreamedTable, BatchesQuarantineAndCountsAreTheReadHeldWhole) {
    const std::string data = damaged_export(400);
    struct Case {
        std::size_t window, span, block, head;
        unsigned threads;
        bool drop_footer;
    };
    const Case cases[] = {
        {1, 1, 7, 64, 1, false},        // a window per record, blocks cut anywhere
        {700, 90, 4096, 128, 2, true},  // the tail held back for the notes below
        {5000, 4096, 1 << 20, 4096, 3, true},
        {1 << 26, 0, 1 << 20, 1 << 24, 2, true},  // the input within the first window
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "window " << c.window << " span " << c.span);
        AdaptiveOptions options;
        options.window_bytes = c.window;
        options.span_bytes = c.span;
        options.head_bytes = c.head;
        options.threads = c.threads;
        options.drop_footer = c.drop_footer;
        const TempDir dir;
        expect_same(streamed_read(data, options, c.block, dir), eager_read(data, options, dir));
    }
}

TEST(StreamedTable, HeaderSetAsideAndTablesWithoutColumnCheckReadAsWhole) {
    struct Case {
        const char* what;
        std::string data;
        std::optional<std::size_t> expected_columns;
    };
    std::string rows;
    for (int i = 0; i < 300; ++i) rows += std::to_string(i) + ",x,y\n";
    const Case cases[] = {
        // An unclosed quote in the header record sets it aside.
        {"header set aside", "id,\"name,amount\n" + rows, std::nullopt},
        {"no column check", "a,b,c\n" + rows + "1,2,3,4,5\n1\n" + rows, 0},
        {"no rows", "a,b,c\n", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AdaptiveOptions options;
        options.window_bytes = 64;
        options.span_bytes = 32;
        options.head_bytes = 64;
        options.expected_columns = c.expected_columns;
        const TempDir dir;
        expect_same(streamed_read(c.data, options, 13, dir), eager_read(c.data, options, dir));
    }
}

TEST(StreamedTable, LaterCellsAreTypedWithTheFirstWindowsTypesAndListed) {
    std::string data = "n,f\n";
    for (int i = 0; i < 2000; ++i) data += std::to_string(i) + "," + std::to_string(i) + "\n";
    data += "oops,1.5\n";
    AdaptiveOptions options;
    options.window_bytes = 1000;
    options.span_bytes = 256;
    options.head_bytes = 256;
    MemoryByteStream input(data, 100);
    IoResult<std::unique_ptr<StreamedTable>> opened = StreamedTable::open(input, std::nullopt, options);
    ASSERT_TRUE(opened);
    StreamedTable& table = *opened.value();
    table.decide_types(TypingRequest{});
    ASSERT_FALSE(table.complete());
    ASSERT_EQ(typed::type_name(table.shape().types()[0]), "int64");
    ASSERT_TRUE(table.hold_whole());
    EXPECT_EQ(table.rows(), 2001U);
    EXPECT_EQ(table.reject_counts(), (std::vector<std::uint64_t>{1, 1}));
    EXPECT_EQ(table.rejects()->rows(), 2U);
}

}  // namespace

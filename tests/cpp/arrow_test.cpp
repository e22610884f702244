#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow/export.hpp"
#include "arrow/read_table.hpp"
#include "arrow/record_batches.hpp"
#include "arrow_reader.hpp"
#include "file_test_support.hpp"

namespace {

using namespace quillon;
using namespace quillon::arrow;
using arrow_reader::Cell;
using arrow_reader::Rows;

RowStore store_of(const std::vector<std::vector<std::string>>& rows) {
    RowStore store;
    for (const auto& row : rows) {
        for (const std::string& field : row) store.append_field(field, 0);
        store.end_row();
    }
    return store;
}

// Every row of the table, through a stream exported with `plan`.
Rows read_all(std::shared_ptr<const BatchTable> table, const ExportPlan& plan) {
    ArrowArrayStream stream{};
    export_stream(std::move(table), plan, &stream);
    ArrowSchema schema{};
    EXPECT_EQ(stream.get_schema(&stream, &schema), 0);
    Rows rows;
    for (;;) {
        ArrowArray batch{};
        EXPECT_EQ(stream.get_next(&stream, &batch), 0);
        if (batch.release == nullptr) break;
        EXPECT_TRUE(arrow_reader::append_batch(schema, batch, rows));
        batch.release(&batch);
        EXPECT_EQ(batch.release, nullptr);
    }
    EXPECT_EQ(stream.get_last_error(&stream), nullptr);
    schema.release(&schema);
    stream.release(&stream);
    EXPECT_EQ(stream.release, nullptr);
    return rows;
}

Rows cells_of(const std::vector<std::vector<std::string>>& rows, std::size_t width) {
    Rows out;
    for (const auto& row : rows) {
        std::vector<Cell> cells(row.begin(), row.end());
        cells.resize(width);
        out.push_back(std::move(cells));
    }
    return out;
}

std::shared_ptr<const BatchTable> table_of(const RowStore& store, bool header, std::size_t columns,
                                           BatchLimits limits = {}) {
    return std::make_shared<const BatchTable>(build_batches(store, header, columns, limits));
}

// The rows handed to one span's builder `piece` rows at a time.
std::shared_ptr<const BatchTable> table_in_pieces(const RowStore& store, std::size_t piece,
                                                  const BatchLimits& limits) {
    BatchBuilder span(limits);
    for (std::size_t r = 0; r < store.size(); r += piece) {
        RowStore part;
        part.append_rows(store, r, std::min(r + piece, store.size()));
        span.take(part);
    }
    TableBuilder table(limits);
    table.add(span);
    return std::make_shared<const BatchTable>(table.finish(false, 0));
}

std::vector<std::int64_t> batch_sizes(const BatchTable& table) {
    std::vector<std::int64_t> sizes;
    for (const RecordBatch& b : table.batches()) sizes.push_back(b.rows);
    return sizes;
}

TEST(ArrowColumnNames, BlankAndRepeatedNames) {
    struct Case {
        std::vector<std::string> header;
        std::size_t width;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{"id", "name"}, 2, {"id", "name"}},
        {{"", " \t", "x"}, 3, {"column_1", "column_2", "x"}},
        {{"a", "a", "a"}, 3, {"a", "a_2", "a_3"}},
        // A suffix never takes a name the header has further on.
        {{"a", "a", "a_2"}, 3, {"a", "a_3", "a_2"}},
        {{"column_2", ""}, 2, {"column_2", "column_2_2"}},
        {{"a"}, 3, {"a", "column_2", "column_3"}},
        {{"a", "b", "c"}, 2, {"a", "b"}},
        {{"é", "日本"}, 2, {"é", "日本"}},
    };
    for (const Case& c : cases) {
        const RowStore store = store_of({c.header});
        const RowView header = store[0];
        EXPECT_EQ(column_names(&header, c.width), c.names);
    }
    EXPECT_EQ(column_names(nullptr, 3),
              (std::vector<std::string>{"column_1", "column_2", "column_3"}));
    EXPECT_TRUE(column_names(nullptr, 0).empty());
}

TEST(ArrowBatches, HeaderGivesNamesAndNoData) {
    const RowStore store = store_of({{"id", "name"}, {"1", "Ada"}, {"2", ""}});
    const auto with = table_of(store, true, 2);
    EXPECT_EQ(with->names(), (std::vector<std::string>{"id", "name"}));
    EXPECT_EQ(with->rows(), 2u);
    EXPECT_EQ(read_all(with, default_plan(*with)), cells_of({{"1", "Ada"}, {"2", ""}}, 2));

    const auto without = table_of(store, false, 2);
    EXPECT_EQ(without->names(), (std::vector<std::string>{"column_1", "column_2"}));
    EXPECT_EQ(without->rows(), 3u);

    const auto header_only = table_of(store_of({{"a", "b"}}), true, 2);
    EXPECT_EQ(header_only->width(), 2u);
    EXPECT_TRUE(header_only->batches().empty());

    const auto empty = table_of(RowStore(), true, 0);
    EXPECT_EQ(empty->width(), 0u);
    EXPECT_EQ(read_all(empty, default_plan(*empty)), Rows{});
}

TEST(ArrowBatches, ShortRowsGetNullsOnlyWhereCellsAreMissing) {
    const std::vector<std::vector<std::string>> rows = {
        {"a"}, {"b", "c", "d"}, {""}, {"e", "f"}, {"g", "h", "i"}};
    const RowStore store = store_of(rows);
    // The width is the widest row, or the given count when that is more.
    for (const std::size_t columns : {std::size_t{0}, std::size_t{3}, std::size_t{4}}) {
        const auto table = table_of(store, false, columns);
        const std::size_t width = columns == 4 ? 4 : 3;
        ASSERT_EQ(table->width(), width);
        EXPECT_EQ(read_all(table, default_plan(*table)), cells_of(rows, width));
        const RecordBatch& batch = table->batches().at(0);
        EXPECT_EQ(batch.column(0).null_count(), 0);
        EXPECT_EQ(batch.column(0).validity(), nullptr);
        EXPECT_EQ(batch.column(1).null_count(), 2);
        EXPECT_EQ(batch.column(2).null_count(), 3);
    }
}

// A null field (`\N` of a dump) is a null cell wherever it stands: in a
// batch of one row, in the first column, beside a row cut short.
TEST(ArrowBatches, NullFieldsGetNullCells) {
    const Rows rows = {{"a", std::nullopt, "b"}, {std::nullopt, "", "c"}, {"d"}, {"", "e", std::nullopt}};
    RowStore store;
    for (const auto& row : rows) {
        for (const Cell& cell : row) {
            store.append_field(cell.value_or(""), cell ? 0 : field_flags::kNonAscii);
        }
        store.end_row();
    }
    for (const std::size_t batch_rows : {std::size_t{1}, std::size_t{3}, std::size_t{100}}) {
        SCOPED_TRACE(batch_rows);
        BatchLimits limits;
        limits.max_rows = batch_rows;
        const auto table = table_of(store, false, 3, limits);
        Rows expected = rows;
        expected[2].resize(3);
        EXPECT_EQ(read_all(table, default_plan(*table)), expected);
    }
    const auto whole = table_of(store, false, 3);
    const RecordBatch& batch = whole->batches().at(0);
    EXPECT_EQ(batch.column(0).null_count(), 1);
    EXPECT_EQ(batch.column(1).null_count(), 2);
    EXPECT_EQ(batch.column(2).null_count(), 2);
}

TEST(ArrowBatches, CutByRowsAndBytes) {
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 7; ++i) rows.push_back({std::to_string(i), std::string(10, 'x')});
    const RowStore store = store_of(rows);
    struct Case {
        BatchLimits limits;
        std::vector<std::int64_t> sizes;
    };
    const Case cases[] = {
        {{.max_rows = 3}, {3, 3, 1}},
        {{.max_rows = 1}, {1, 1, 1, 1, 1, 1, 1}},
        {{.max_rows = 100}, {7}},
        // 11 bytes a row.
        {{.max_bytes = 22}, {2, 2, 2, 1}},
        {{.max_bytes = 21}, {1, 1, 1, 1, 1, 1, 1}},
        {{.max_rows = 2, .max_bytes = 33}, {2, 2, 2, 1}},
    };
    // However the rows are handed over, as a run's sink gets them in pieces.
    for (const Case& c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, rows.size()}) {
            const auto table = table_in_pieces(store, piece, c.limits);
            EXPECT_EQ(batch_sizes(*table), c.sizes);
            EXPECT_EQ(read_all(table, default_plan(*table)), cells_of(rows, 2));
        }
    }
}

// Building from a store that is given up frees it once the batches are
// built: the batches must hold their own copy of the text.
TEST(ArrowBatches, StoreGivenUpGivesTheSameBatches) {
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 5000; ++i) {
        rows.push_back(
            {std::to_string(i),
             std::string(static_cast<std::size_t>(i % 70), static_cast<char>('a' + i % 26)), "z"});
    }
    const BatchLimits limits{.max_rows = 300};
    const auto consumed =
        std::make_shared<const BatchTable>(build_batches(store_of(rows), false, 3, limits));
    EXPECT_EQ(read_all(consumed, default_plan(*consumed)), cells_of(rows, 3));
}

// A run's spans each build their own batches: the table joins them in input
// order, gives a batch null columns where none of its rows reaches, and puts
// the row the first span set aside back in front when it was no header.
TEST(ArrowBatches, SpansJoinIntoOneTable) {
    const std::vector<std::vector<std::vector<std::string>>> spans = {
        {{"h1", "h2"}, {"1", "x"}}, {{"2"}}, {}, {{"3", "y", "z"}, {"4", "", "w"}}};
    for (const bool header : {true, false}) {
        TableBuilder builder;
        std::vector<std::vector<std::string>> rows;
        for (std::size_t s = 0; s < spans.size(); ++s) {
            BatchBuilder span({}, header && s == 0);
            span.take(store_of(spans[s]));
            builder.add(span);
            rows.insert(rows.end(), spans[s].begin(), spans[s].end());
        }
        const auto table = std::make_shared<const BatchTable>(builder.finish(header, 0));
        if (header) rows.erase(rows.begin());
        const std::vector<std::string> names =
            header ? std::vector<std::string>{"h1", "h2", "column_3"}
                   : std::vector<std::string>{"column_1", "column_2", "column_3"};
        EXPECT_EQ(table->names(), names);
        EXPECT_EQ(table->rows(), rows.size());
        for (const StringLayout layout :
             {StringLayout::kUtf8, StringLayout::kLargeUtf8, StringLayout::kUtf8View}) {
            EXPECT_EQ(read_all(table, default_plan(*table, layout)), cells_of(rows, 3));
        }
    }
}

TEST(ArrowBatches, FieldLongerThanTheLimitMakesItsColumnWide) {
    const std::vector<std::vector<std::string>> rows = {
        {"a", "b"}, {"c", std::string(40, 'y')}, {"d", "e"}};
    const RowStore store = store_of(rows);
    const auto table = table_of(store, false, 2, {.max_bytes = 16});
    EXPECT_FALSE(table->wide(0));
    EXPECT_TRUE(table->wide(1));
    EXPECT_EQ(batch_sizes(*table), (std::vector<std::int64_t>{1, 1, 1}));
    for (const StringLayout layout : {StringLayout::kUtf8, StringLayout::kUtf8View}) {
        const ExportPlan plan = default_plan(*table, layout);
        EXPECT_EQ(plan.layouts[0], layout);
        EXPECT_EQ(plan.layouts[1], StringLayout::kLargeUtf8);
        EXPECT_EQ(read_all(table, plan), cells_of(rows, 2));
    }
}

TEST(ArrowExport, EveryLayoutReadsBack) {
    const std::vector<std::vector<std::string>> rows = {
        {"", "twelve bytes", "thirteen byte", "ünïcödé text longer than twelve"},
        {"x", std::string(1, '\0'), "a\nb,c\"d", ""},
        {"é"}};
    const RowStore store = store_of(rows);
    const auto table = table_of(store, false, 0, {.max_rows = 2});
    for (const StringLayout layout :
         {StringLayout::kUtf8, StringLayout::kLargeUtf8, StringLayout::kUtf8View}) {
        EXPECT_EQ(read_all(table, default_plan(*table, layout)), cells_of(rows, 4));
    }
}

ArrowSchema requested(const std::vector<std::pair<const char*, const char*>>& fields,
                      std::vector<ArrowSchema>& storage, std::vector<ArrowSchema*>& pointers,
                      const char* format = "+s") {
    storage.assign(fields.size(), ArrowSchema{});
    pointers.clear();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        storage[i].format = fields[i].first;
        storage[i].name = fields[i].second;
        pointers.push_back(&storage[i]);
    }
    ArrowSchema schema{};
    schema.format = format;
    schema.n_children = static_cast<std::int64_t>(fields.size());
    schema.children = pointers.data();
    return schema;
}

TEST(ArrowExport, RequestedSchemaGivesNamesAndLayoutsWhenItFits) {
    const RowStore store = store_of({{"a", "b"}, {"1", "2"}});
    const auto table = table_of(store, true, 2);
    std::vector<ArrowSchema> storage;
    std::vector<ArrowSchema*> pointers;

    const ExportPlan fits =
        requested_plan(*table, requested({{"vu", "x"}, {"U", nullptr}}, storage, pointers));
    EXPECT_EQ(fits.names, (std::vector<std::string>{"x", "b"}));
    EXPECT_EQ(fits.layouts,
              (std::vector<StringLayout>{StringLayout::kUtf8View, StringLayout::kLargeUtf8}));
    EXPECT_EQ(read_all(table, fits), cells_of({{"1", "2"}}, 2));

    const ExportPlan fallback = default_plan(*table);
    struct Misfit {
        std::vector<std::pair<const char*, const char*>> fields;
        const char* format;
    };
    const Misfit misfits[] = {
        {{{"u", "x"}}, "+s"},
        {{{"u", "x"}, {"i", "y"}}, "+s"},
        {{{"u", "x"}, {"u", "y"}}, "+l"},
    };
    for (const Misfit& m : misfits) {
        const ExportPlan plan =
            requested_plan(*table, requested(m.fields, storage, pointers, m.format));
        EXPECT_EQ(plan.names, fallback.names);
        EXPECT_EQ(plan.layouts, fallback.layouts);
    }
}

TEST(ArrowExport, ChildrenMovedOutOutliveParentStreamAndTable) {
    const std::vector<std::vector<std::string>> rows = {{"a", "a long field of text"}, {"b", "c"}};
    auto table = table_of(store_of(rows), false, 2);
    const ExportPlan plan = default_plan(*table, StringLayout::kUtf8View);

    ArrowArrayStream stream{};
    export_stream(table, plan, &stream);
    ArrowSchema schema{};
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    ArrowArray batch{};
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    table.reset();
    stream.release(&stream);

    // Move the second column and its field out, release the parents.
    ArrowArray column = *batch.children[1];
    batch.children[1]->release = nullptr;
    ArrowSchema field = *schema.children[1];
    schema.children[1]->release = nullptr;
    batch.release(&batch);
    schema.release(&schema);
    EXPECT_EQ(batch.release, nullptr);
    EXPECT_EQ(schema.release, nullptr);

    bool ok = false;
    EXPECT_EQ(std::string(field.name), "column_2");
    EXPECT_EQ(arrow_reader::read_column(field.format, column, ok),
              (std::vector<Cell>{"a long field of text", "c"}));
    EXPECT_TRUE(ok);
    column.release(&column);
    field.release(&field);
    EXPECT_EQ(column.release, nullptr);
}

TEST(ArrowExport, EachStreamStartsAtTheFirstBatch) {
    const std::vector<std::vector<std::string>> rows = {{"1"}, {"2"}, {"3"}};
    const auto table = table_of(store_of(rows), false, 1, {.max_rows = 2});
    ArrowArrayStream half{};
    export_stream(table, default_plan(*table), &half);
    ArrowArray first{};
    ASSERT_EQ(half.get_next(&half, &first), 0);
    EXPECT_EQ(first.length, 2);
    // A second stream is not disturbed by the first one's position.
    EXPECT_EQ(read_all(table, default_plan(*table)), cells_of(rows, 1));
    half.release(&half);
    first.release(&first);
}

// The first kept row is the header only when the header record was kept.
TEST(ArrowReadTable, HeaderRowKept) {
    struct Case {
        std::string input;
        AdaptiveOptions options;
        bool kept;
    };
    AdaptiveOptions no_fill;
    no_fill.fill_ragged_rows = false;
    no_fill.expected_columns = 3;
    AdaptiveOptions no_merge;
    no_merge.merge_overflow = false;
    no_merge.expected_columns = 2;
    AdaptiveOptions header_no;
    header_no.header = false;
    AdaptiveOptions preamble_header;
    preamble_header.preamble_rows = 2;
    preamble_header.header = true;
    preamble_header.expected_columns = 2;
    preamble_header.fill_ragged_rows = false;
    const Case cases[] = {
        {"id,name\n1,Ada\n2,Grace\n", {}, true},
        {"id,name\n1,Ada\n2,Grace\n", header_no, false},
        {"id,name\n1,Ada,x\n2,Grace,y\n", no_fill, false},
        {"id,name,x\n1,Ada\n2,Grace\n", no_merge, false},
        {"title\n\nid,name\n1,Ada\n", preamble_header, true},
        {"title\n\nid\n1,Ada\n", preamble_header, false},
        {"title\n\n", preamble_header, false},
    };
    for (const Case& c : cases) {
        const AdaptiveRun run = run_adaptive(c.input, c.options);
        EXPECT_EQ(header_row_kept(run), c.kept) << c.input;
    }
}

TEST(ArrowReadTable, ReadsTheFileAndStopsWhenTheHookSaysSo) {
    quillon::testing::TempDir dir;
    std::string content = "id,name\n";
    // Longer than the engine's reporting step, so that the hook is asked.
    while (content.size() <= kProgressStep) content += "1,Ada\n2,\"Grace, H\"\n";
    quillon::testing::write_file(dir.file("in.csv"), content);

    struct Hook {
        bool go_on;
        int calls = 0;
        static bool report(void* self, std::size_t, std::size_t) {
            auto* hook = static_cast<Hook*>(self);
            ++hook->calls;
            return hook->go_on;
        }
    };
    for (const bool go_on : {true, false}) {
        Hook hook{go_on};
        AdaptiveOptions options;
        options.progress = ProgressHook{&Hook::report, &hook};
        IoResult<TableRead> read = read_table(dir.file("in.csv"), std::nullopt, options);
        EXPECT_GT(hook.calls, 0);
        if (go_on) {
            ASSERT_TRUE(read);
            const BatchTable& table = *read.value().table;
            EXPECT_EQ(table.names(), (std::vector<std::string>{"id", "name"}));
            EXPECT_EQ(table.rows(), read.value().stats.salvaged_rows - 1);
        } else {
            ASSERT_FALSE(read);
            EXPECT_EQ(read.error().os_code, EINTR);
        }
    }
    EXPECT_EQ(read_table(dir.file("missing.csv"), std::nullopt, {}).error().os_code, ENOENT);
}

}  // namespace

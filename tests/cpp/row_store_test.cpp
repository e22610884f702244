#include "engine/row_store.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "reference_tokenizer.hpp"

namespace {

using quillon::RowStore;
using quillon::RowView;
using quillon::field_flags::kNonAscii;
using quillon::field_flags::kSpecial;

// A field as the store must give it back.
struct Field {
    std::string text;
    std::uint16_t flags = 0;
    friend bool operator==(const Field&, const Field&) = default;
};
using Row = std::vector<Field>;

void PrintTo(const Field& f, std::ostream* os) {
    *os << '{' << f.text.size() << " bytes \"" << reference::escaped(f.text.substr(0, 16))
        << "\" flags 0x" << std::hex << f.flags << std::dec << '}';
}

Row read(const RowView& view) {
    Row row;
    for (const quillon::FieldRef f : view) row.push_back({std::string(f.text), f.flags});
    return row;
}

void append(RowStore& store, const Row& row) {
    for (const Field& f : row) store.append_field(f.text, f.flags);
    store.end_row();
}

// Everything a reader can observe of one stored row.
void expect_row(const RowView& view, const Row& expected) {
    EXPECT_EQ(read(view), expected);
    EXPECT_EQ(view.size(), expected.size());
    std::vector<std::string> texts;
    std::string all;
    bool ascii = true;
    bool special = false;
    for (const Field& f : expected) {
        texts.push_back(f.text);
        all += f.text;
        ascii = ascii && (f.flags & kNonAscii) == 0;
        special = special || (f.flags & kSpecial) != 0;
    }
    EXPECT_EQ(view.to_strings(), texts);
    EXPECT_EQ(view.text_size(), all.size());
    EXPECT_EQ(view.text(), all);
    EXPECT_EQ(view.all_ascii(), ascii);
    EXPECT_EQ(view.any_special(), special);
}

std::string filled(std::size_t n, char c) { return std::string(n, c); }

TEST(RowStoreTest, KeepsFieldsOfEveryLength) {
    const std::size_t lengths[] = {0,     1,     255,   16382, 16383,
                                   16384, 65535, 65536, 70000, (std::size_t{1} << 20) + 3};
    const std::uint16_t flag_sets[] = {0, kSpecial, kNonAscii, kSpecial | kNonAscii};
    RowStore store;
    std::vector<Row> rows;
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        Row row = {{"a", 0},
                   {filled(lengths[i], static_cast<char>('b' + i)), flag_sets[i % 4]},
                   {"", flag_sets[(i + 1) % 4]}};
        append(store, row);
        rows.push_back(row);
    }
    Row mixed;
    for (std::size_t len : lengths) mixed.push_back({filled(len, 'z'), kNonAscii});
    append(store, mixed);
    rows.push_back(mixed);

    ASSERT_EQ(store.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        expect_row(store[i], rows[i]);
    }
    std::size_t i = 0;
    for (const RowView view : store) {
        EXPECT_EQ(read(view), rows[i]) << "iterating row " << i;
        ++i;
    }
    EXPECT_EQ(i, rows.size());
}

TEST(RowStoreTest, FieldsWrittenIntoTheTextBuffer) {
    RowStore store;
    const std::string_view texts[] = {"abc", "", "\xC3\xA9"};
    for (std::string_view t : texts) {
        char* dst = store.text_buffer().reserve_tail(t.size());
        if (!t.empty()) std::memcpy(dst, t.data(), t.size());
        store.text_buffer().set_size(store.text_buffer().size() + t.size());
        store.push_field(t.size(), t.size() == 2 ? kNonAscii : 0);
    }
    EXPECT_EQ(store.open_fields(), 3u);
    store.end_row();
    EXPECT_EQ(store.open_fields(), 0u);
    ASSERT_EQ(store.size(), 1u);
    expect_row(store[0], {{"abc", 0}, {"", 0}, {"\xC3\xA9", kNonAscii}});
    EXPECT_EQ(store.text_bytes(), 5u);
}

TEST(RowStoreTest, PadsTheLastRow) {
    const std::string big = filled(20000, 'q');
    const struct {
        Row row;
        std::size_t count;
    } cases[] = {
        {{{"a", 0}}, 2}, {{{"", 0}}, 1},     {{{"a", kSpecial}, {big, kNonAscii}}, 3},
        {{{big, 0}}, 0}, {{{"x", 0}}, 1000},
    };
    for (const auto& c : cases) {
        RowStore store;
        append(store, {{"first", 0}});
        append(store, c.row);
        store.pad_last_row(c.count);
        Row expected = c.row;
        expected.resize(expected.size() + c.count);
        expect_row(store[1], expected);
        expect_row(store[0], {{"first", 0}});
        append(store, {{"next", 0}});
        expect_row(store[2], {{"next", 0}});
    }
}

struct MergeCase {
    std::string name;
    Row row;
    std::size_t keep;
    std::string separator;
    std::uint16_t separator_flags;
    Row expected;
};

std::vector<MergeCase> merge_cases() {
    const std::string x = filled(10000, 'x');
    const std::string y = filled(10000, 'y');
    const std::string big = filled(17000, 'b');
    return {
        {"JoinsTheTail",
         {{"a", 0}, {"b", 0}, {"c", 0}, {"d", 0}},
         2,
         ",",
         kSpecial,
         {{"a", 0}, {"b,c,d", kSpecial}}},
        {"KeepOneJoinsAll",
         {{"a", 0}, {"b", 0}, {"c", 0}},
         1,
         ";",
         kSpecial,
         {{"a;b;c", kSpecial}}},
        {"TwoByteSeparator",
         {{"a", 0}, {"b", 0}, {"c", 0}},
         2,
         "\xC2\xA7",
         kSpecial | kNonAscii,
         {{"a", 0},
          {"b\xC2\xA7"
           "c",
           kSpecial | kNonAscii}}},
        {"FlagsOfJoinedFieldsCombine",
         {{"a", kSpecial}, {"\xC3\xA9", kNonAscii}, {"\"", kSpecial}},
         2,
         ",",
         0,
         {{"a", kSpecial}, {"\xC3\xA9,\"", kSpecial | kNonAscii}}},
        {"FlagsOfKeptFieldsStay",
         {{"\xC3\xA9", kNonAscii}, {"b", 0}, {"c", 0}},
         2,
         "|",
         0,
         {{"\xC3\xA9", kNonAscii}, {"b|c", 0}}},
        {"EmptyFields", {{"", 0}, {"", 0}, {"", 0}}, 1, ",", kSpecial, {{",,", kSpecial}}},
        {"NothingToJoin", {{"a", 0}, {"b", 0}}, 2, ",", kSpecial, {{"a", 0}, {"b", 0}}},
        {"FewerThanKeep", {{"a", 0}}, 3, ",", kSpecial, {{"a", 0}}},
        {"ShortFieldsBecomeLong",
         {{"a", 0}, {x, 0}, {y, 0}},
         2,
         ",",
         kSpecial,
         {{"a", 0}, {x + "," + y, kSpecial}}},
        {"LongFieldsJoin",
         {{big, 0}, {big, 0}, {"c", 0}},
         1,
         ",",
         kSpecial,
         {{big + "," + big + ",c", kSpecial}}},
        {"LongFieldKeptBeforeTheJoin",
         {{big, kNonAscii}, {"b", 0}, {big, 0}},
         2,
         "\t",
         kSpecial,
         {{big, kNonAscii}, {"b\t" + big, kSpecial}}},
    };
}

TEST(RowStoreTest, MergesTheLastRow) {
    for (const MergeCase& c : merge_cases()) {
        SCOPED_TRACE(c.name);
        RowStore store;
        const Row before = {{"p", kSpecial}, {filled(16400, 'p'), 0}};
        append(store, before);
        append(store, c.row);
        store.merge_last_row(c.keep, c.separator, c.separator_flags);
        ASSERT_EQ(store.size(), 2u);
        expect_row(store[0], before);
        expect_row(store[1], c.expected);
        const Row after = {{"n", 0}, {"m", kNonAscii}};
        append(store, after);
        expect_row(store[1], c.expected);
        expect_row(store[2], after);
    }
}

TEST(RowStoreTest, CopiesAndPopsRows) {
    RowStore source;
    const Row a = {{"a", 0}, {filled(30000, 'l'), kSpecial}, {"\xC3\xA9", kNonAscii}};
    const Row b = {{"", 0}};
    append(source, a);
    append(source, b);

    RowStore copy;
    copy.append_row(source[1]);
    copy.append_row(source[0]);
    ASSERT_EQ(copy.size(), 2u);
    expect_row(copy[0], b);
    expect_row(copy[1], a);

    copy.pop_last_row();
    ASSERT_EQ(copy.size(), 1u);
    expect_row(copy[0], b);
    EXPECT_EQ(copy.text_bytes(), 0u);
    append(copy, {{"c", 0}, {"d", 0}});
    expect_row(copy[1], {{"c", 0}, {"d", 0}});
    copy.pop_last_row();
    copy.pop_last_row();
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(copy.slot_count(), 0u);
    append(copy, a);
    expect_row(copy[0], a);
}

// Random sequences of building, padding, merging and popping, checked against
// plain vectors after every step.
TEST(RowStoreTest, RandomOperationsMatchAPlainModel) {
    reference::InputGenerator gen(123);
    const std::size_t lengths[] = {0, 1, 3, 16382, 16383, 16384, 40000};
    const std::uint16_t flag_sets[] = {0, kSpecial, kNonAscii, kSpecial | kNonAscii};
    for (int run = 0; run < 40; ++run) {
        RowStore store;
        std::vector<Row> model;
        for (int step = 0; step < 60; ++step) {
            const std::size_t op = model.empty() ? 0 : gen.below(5);
            if (op <= 1) {
                Row row;
                for (std::size_t n = 1 + gen.below(6); n > 0; --n) {
                    const std::size_t len =
                        gen.below(4) == 0 ? lengths[gen.below(std::size(lengths))] : gen.below(9);
                    row.push_back({filled(len, static_cast<char>('a' + gen.below(26))),
                                   flag_sets[gen.below(4)]});
                }
                append(store, row);
                model.push_back(row);
            } else if (op == 2) {
                const std::size_t count = gen.below(4);
                store.pad_last_row(count);
                model.back().resize(model.back().size() + count);
            } else if (op == 3) {
                Row& last = model.back();
                const std::size_t keep = 1 + gen.below(last.size() + 1);
                const std::uint16_t sep_flags = flag_sets[gen.below(4)];
                store.merge_last_row(keep, ",", sep_flags);
                if (last.size() > keep) {
                    Field joined{last[keep - 1].text,
                                 static_cast<std::uint16_t>(last[keep - 1].flags | sep_flags)};
                    for (std::size_t i = keep; i < last.size(); ++i) {
                        joined.text += "," + last[i].text;
                        joined.flags = static_cast<std::uint16_t>(joined.flags | last[i].flags);
                    }
                    last.resize(keep);
                    last.back() = joined;
                }
            } else {
                store.pop_last_row();
                model.pop_back();
            }
            ASSERT_EQ(store.size(), model.size());
            if (!model.empty()) {
                SCOPED_TRACE("run " + std::to_string(run) + " step " + std::to_string(step));
                expect_row(store[model.size() - 1], model.back());
                EXPECT_EQ(store.last_row_size(), model.back().size());
                if (HasFailure()) return;
            }
        }
        // The same rows appended twice to another store.
        RowStore twice;
        twice.append_rows(store);
        twice.append_rows(store);
        ASSERT_EQ(twice.size(), 2 * model.size());
        for (std::size_t i = 0; i < model.size(); ++i) {
            SCOPED_TRACE("run " + std::to_string(run) + " row " + std::to_string(i));
            expect_row(store[i], model[i]);
            expect_row(twice[i], model[i]);
            expect_row(twice[model.size() + i], model[i]);
        }
        // Two ranges of it, the second starting inside the store, one after
        // the other in a third.
        const std::size_t cut = gen.below(model.size() + 1);
        const std::size_t end = cut + gen.below(model.size() - cut + 1);
        RowStore ranges;
        ranges.append_rows(store, cut, end);
        ranges.append_rows(store, 0, cut);
        ASSERT_EQ(ranges.size(), end);
        for (std::size_t i = 0; i < end; ++i) {
            SCOPED_TRACE("run " + std::to_string(run) + " ranged row " + std::to_string(i));
            expect_row(ranges[i], model[i < end - cut ? cut + i : i - (end - cut)]);
        }
    }
}

}  // namespace

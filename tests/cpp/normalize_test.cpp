#include "engine/normalize.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/row_store.hpp"
#include "engine/salvage.hpp"
#include "reference_tokenizer.hpp"

namespace {

using quillon::field_flags::kNonAscii;
using quillon::field_flags::kSpecial;
using Fields = std::vector<std::string>;

constexpr char kTooFew[] = "Row has too few columns (expected ";
constexpr char kExtra[] = "Row has extra columns (expected ";

struct NormalizeCase {
    std::string name;
    Fields record;
    std::size_t expected_columns;
    std::uint8_t delimiter;
    bool fill;
    bool merge;
    // Exactly one of these two.
    std::optional<Fields> kept;
    std::optional<std::string> reason;
    bool repaired;
};

void append_row(quillon::RowStore& store, const Fields& fields, std::uint8_t delimiter) {
    for (const std::string& f : fields) {
        const reference::FieldFacts facts = reference::facts_of(f, delimiter, '"');
        store.append_field(f, static_cast<std::uint16_t>((facts.special ? kSpecial : 0) |
                                                         (facts.ascii ? 0 : kNonAscii)));
    }
    store.end_row();
}

std::vector<NormalizeCase> cases() {
    const std::string long_x(10000, 'x');
    const std::string long_y(10000, 'y');
    // clang-format off
    return {
        {"PadsShortRow", {"a", "b"}, 3, ',', true, true, Fields{"a", "b", ""}, {}, true},
        {"QuarantinesShortRow", {"a", "b"}, 3, ',', false, true, {}, std::string(kTooFew) + "3)", false},
        {"MergesLongRow", {"a", "b", "c", "d", "e"}, 3, ',', true, true, Fields{"a", "b", "c,d,e"}, {}, true},
        {"QuarantinesLongRow", {"a", "b", "c", "d", "e"}, 3, ',', true, false, {}, std::string(kExtra) + "3)", false},
        {"MergesAllIntoOneColumn", {"a", "b", "c"}, 1, ',', true, true, Fields{"a,b,c"}, {}, true},
        {"PadsEmptyLine", {""}, 3, ',', true, true, Fields{"", "", ""}, {}, true},
        {"QuarantinesEmptyLine", {""}, 3, ',', false, false, {}, std::string(kTooFew) + "3)", false},
        {"KeepsEmptyLineWithoutCheck", {""}, 0, ',', false, false, Fields{""}, {}, false},
        {"KeepsEmptyLineOfOneColumn", {""}, 1, ',', false, false, Fields{""}, {}, false},
        {"KeepsExactRow", {"a", "b", "c"}, 3, ',', false, false, Fields{"a", "b", "c"}, {}, false},
        {"KeepsAnyRowWithoutCheck", {"a", "b", "c", "d"}, 0, ',', false, false, Fields{"a", "b", "c", "d"}, {}, false},
        {"MergesWithTab", {"a", "b", "c"}, 2, '\t', true, true, Fields{"a", "b\tc"}, {}, true},
        {"MergesWithTwoByteSeparator", {"a", "b", "c"}, 2, 0xA7, true, true, Fields{"a", "b\xC2\xA7" "c"}, {}, true},
        {"MergesWithSeparatorFromFF", {"a", "b", "c"}, 2, 0xFF, true, true, Fields{"a", "b\xC3\xBF" "c"}, {}, true},
        {"FillDoesNotMerge", {"a", "b", "c"}, 2, ',', true, false, {}, std::string(kExtra) + "2)", false},
        {"MergeDoesNotFill", {"a"}, 2, ',', false, true, {}, std::string(kTooFew) + "2)", false},
        {"ReasonNamesCountInDecimal", {"a"}, 12, ',', false, false, {}, std::string(kTooFew) + "12)", false},
        {"MergesFieldsHoldingDelimiter", {"a", "x,y", "z"}, 2, ',', true, true, Fields{"a", "x,y,z"}, {}, true},
        {"MergesEmptyFields", {"a", "", ""}, 2, ',', true, true, Fields{"a", ","}, {}, true},
        {"MergesNonAscii", {"a", "\xC3\xA9", "b"}, 2, ',', true, true, Fields{"a", "\xC3\xA9,b"}, {}, true},
        {"MergesIntoLongField", {"a", long_x, long_y}, 2, ',', true, true, Fields{"a", long_x + "," + long_y}, {}, true},
        {"PadsAfterLongField", {long_x}, 3, ',', true, true, Fields{long_x, "", ""}, {}, true},
        {"QuarantinesLongFieldsIntact", {long_x, long_y}, 3, ',', false, false, {}, std::string(kTooFew) + "3)", false},
        // clang-format on
    };
}

TEST(NormalizeTest, DecidesEachRecord) {
    const Fields before = {"p", "q", "r"};
    for (const NormalizeCase& c : cases()) {
        SCOPED_TRACE(c.name);
        quillon::SalvageResult result;
        result.quarantine.set_expected_columns(c.expected_columns);
        append_row(result.rows, before, c.delimiter);
        append_row(result.rows, c.record, c.delimiter);
        quillon::normalize_row(result, {c.expected_columns, c.delimiter, c.fill, c.merge},
                               quillon::RecordPlace{7, 7, 0, 0});

        EXPECT_EQ(result.repaired_rows, c.repaired ? 1u : 0u);
        ASSERT_GE(result.rows.size(), 1u);
        EXPECT_EQ(result.rows[0].to_strings(), before) << "an earlier row changed";
        if (c.kept) {
            ASSERT_EQ(result.rows.size(), 2u);
            EXPECT_EQ(result.rows[1].to_strings(), *c.kept);
            EXPECT_TRUE(result.quarantine.empty());
            for (const quillon::FieldRef f : result.rows[1]) {
                const reference::FieldFacts facts = reference::facts_of(f.text, c.delimiter, '"');
                // What "special" means for a delimiter of 0x80 or above is left to the encoder.
                if (c.delimiter < 0x80) {
                    EXPECT_EQ(f.special(), facts.special)
                        << reference::escaped(f.text.substr(0, 20));
                }
                EXPECT_EQ(f.ascii(), facts.ascii) << reference::escaped(f.text.substr(0, 20));
            }
        } else {
            EXPECT_EQ(result.rows.size(), 1u) << "a quarantined record stayed in the rows";
            ASSERT_EQ(result.quarantine.size(), 1u);
            const quillon::QuarantinedRow q = result.quarantine[0];
            EXPECT_EQ(q.fields.to_strings(), c.record);
            EXPECT_EQ(q.reason, *c.reason);
            EXPECT_EQ(q.line, 7u);
        }
    }
}

// A run of records through one result: the quarantine keeps input order and
// each entry keeps the line it was given.
TEST(NormalizeTest, QuarantineKeepsOrderAndLines) {
    quillon::SalvageResult result;
    result.quarantine.set_expected_columns(2);
    const quillon::NormalizeSettings settings{2, ',', false, false};
    const std::vector<std::pair<Fields, std::size_t>> records = {
        {{"a"}, 1},      {{"b", "c"}, 2}, {{"d", "e", "f"}, 4},
        {{"g", "h"}, 5}, {{""}, 5},       {{"i", "j", "k", "l"}, 9},
    };
    for (const auto& [fields, line] : records) {
        append_row(result.rows, fields, ',');
        quillon::normalize_row(result, settings, quillon::RecordPlace{line, line, 0, 0});
    }
    ASSERT_EQ(result.rows.size(), 2u);
    EXPECT_EQ(result.rows[0].to_strings(), (Fields{"b", "c"}));
    EXPECT_EQ(result.rows[1].to_strings(), (Fields{"g", "h"}));
    const std::vector<std::pair<Fields, std::size_t>> expected = {
        {{"a"}, 1}, {{"d", "e", "f"}, 4}, {{""}, 5}, {{"i", "j", "k", "l"}, 9}};
    ASSERT_EQ(result.quarantine.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(result.quarantine[i].fields.to_strings(), expected[i].first);
        EXPECT_EQ(result.quarantine[i].line, expected[i].second);
    }
    EXPECT_EQ(result.quarantine[1].reason, "Row has extra columns (expected 2)");
    EXPECT_EQ(result.quarantine[2].reason, "Row has too few columns (expected 2)");
    EXPECT_EQ(result.repaired_rows, 0u);
}

}  // namespace

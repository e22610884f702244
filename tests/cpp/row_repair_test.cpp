// The type-aware repair of misaligned rows: per damage kind on a typed table,
// its interplay with filling and merging, and on generated tables that it
// leaves fitting rows alone and decides the same way every time.
#include "engine/row_repair.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/column_profile.hpp"
#include "engine/options.hpp"
#include "engine/salvage.hpp"

namespace {

using quillon::SalvageOptions;
using quillon::SalvageResult;
using Fields = std::vector<std::string>;

// Which repair a run made, by kind.
struct Counts {
    std::size_t padded = 0;
    std::size_t merged = 0;
    std::size_t dropped = 0;
    std::size_t rejoined = 0;
    std::size_t split = 0;
    std::size_t quarantined = 0;
    friend bool operator==(const Counts&, const Counts&) = default;
};

void PrintTo(const Counts& c, std::ostream* os) {
    *os << "padded " << c.padded << " merged " << c.merged << " dropped " << c.dropped
        << " rejoined " << c.rejoined << " split " << c.split << " quarantined " << c.quarantined;
}

Counts counts_of(const SalvageResult& r) {
    return {r.padded_rows,   r.merged_rows, r.dropped_empty_rows,
            r.rejoined_rows, r.split_rows,  r.quarantined_rows};
}

std::vector<Fields> rows_of(const SalvageResult& r) {
    std::vector<Fields> out;
    for (const quillon::RowView row : r.rows) out.push_back(row.to_strings());
    return out;
}

SalvageOptions repairing(std::size_t columns, char delimiter = ',') {
    SalvageOptions o;
    o.delimiter = static_cast<std::uint8_t>(delimiter);
    o.expected_columns = columns;
    o.repair_misaligned_rows = true;
    return o;
}

// id, name, date, time, qty, price, status, note: 40 rows, the note quoted
// when it holds a comma.
constexpr std::size_t kColumns = 8;
constexpr std::size_t kDamagedRow = 20;

Fields table_row(std::size_t i) {
    static const char* const first[] = {"Ann", "Peter", "Grace", "John", "Mary"};
    static const char* const last[] = {"Smith", "Brown", "Clark", "Lewis"};
    static const char* const status[] = {"shipped", "pending", "closed"};
    static const char* const note[] = {"call back", "left at door", "paid, thanks", "no answer"};
    const auto two = [](std::size_t v) {
        std::string s(v < 10 ? "0" : "");
        return s += std::to_string(v);
    };
    return {std::to_string(1000 + i),
            std::string(first[i % 5]) + " " + last[i % 4],
            "2024-" + two(1 + i % 12) + "-" + two(1 + i % 28),
            two(8 + i % 12) + ":" + two(10 + i * 7 % 50),
            std::to_string(1 + i * 13 % 97),
            std::to_string(10 + i * 37 % 190) + "." + two(i * 11 % 100),
            status[i % 3],
            note[i % 4]};
}

std::string line_of(const Fields& row, const std::string& separator = ",") {
    std::string line;
    for (std::size_t j = 0; j < row.size(); ++j) {
        if (j != 0) line += separator;
        const bool quote = row[j].find(',') != std::string::npos;
        line += quote ? "\"" + row[j] + "\"" : row[j];
    }
    return line;
}

// The table with row kDamagedRow written as `damaged`.
std::string table_with(const std::string& damaged, const std::string& separator = ",") {
    std::string text = "id,name,date,time,qty,price,status,note\n";
    for (std::size_t i = 0; i < 40; ++i) {
        text += i == kDamagedRow ? damaged : line_of(table_row(i), separator);
        text += '\n';
    }
    return text;
}

// Three columns of 2- and 3-digit numbers: a glued pair of them splits as
// well at more than one point.
std::string number_table(const std::string& damaged) {
    std::string text;
    unsigned v = 7;
    for (std::size_t i = 0; i < 30; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            v = (v * 1103515245u + 12345u) % 2147483648u;
            if (j != 0) text += ',';
            text += std::to_string(10 + v % 990);
        }
        text += '\n';
    }
    return text + damaged + '\n';
}

struct DamageCase {
    const char* name;
    std::string input;
    std::size_t columns;
    bool fill;
    bool merge;
    // Where the damaged row comes out and as what; absent: quarantined.
    std::size_t at;
    std::optional<Fields> row;
    Counts counts;
};

std::vector<DamageCase> damage_cases() {
    const Fields clean = table_row(kDamagedRow);  // 1020,Ann Smith,2024-09-21,16:50,67,...
    const auto with = [&](std::size_t j, const std::string& value) {
        Fields f = clean;
        f[j] = value;
        return f;
    };
    Fields doubled = clean;
    doubled.insert(doubled.begin() + 3, "");
    const std::string doubled_line = table_with(line_of(doubled));
    const std::string raw = line_of(clean);
    const std::string unquoted_name = table_with(raw.substr(0, 5) + "Smith, Ann" + raw.substr(14));
    const std::string unquoted_note =
        table_with(line_of(with(7, "left at door")) + ", then called");
    Fields glued = clean;
    glued[3] += glued[4];
    glued.erase(glued.begin() + 4);
    const std::string glued_line = table_with(line_of(glued));
    const std::string glued_numbers = number_table("12345,678");
    const std::size_t row = 1 + kDamagedRow;
    // clang-format off
    return {
        {"DropsDoubledDelimiter", doubled_line, kColumns, true, true, row, clean, {.dropped = 1}},
        {"RejoinsUnquotedMiddleField", unquoted_name, kColumns, true, true, row, with(1, "Smith, Ann"), {.rejoined = 1}},
        {"MergesUnquotedLastField", unquoted_note, kColumns, true, true, row, with(7, "left at door, then called"), {.merged = 1}},
        {"SplitsLostDelimiter", glued_line, kColumns, true, true, row, clean, {.split = 1}},
        {"PadsWhereSeveralSplitsFit", glued_numbers, 3, true, true, 30, Fields{"12345", "678", ""}, {.padded = 1}},
        {"DropsWithMergeOff", doubled_line, kColumns, true, false, row, clean, {.dropped = 1}},
        {"QuarantinesMergeWithMergeOff", unquoted_note, kColumns, true, false, row, {}, {.quarantined = 1}},
        {"SplitsWithFillOff", glued_line, kColumns, false, true, row, clean, {.split = 1}},
        {"QuarantinesPadWithFillOff", glued_numbers, 3, false, true, 30, {}, {.quarantined = 1}},
        // clang-format on
    };
}

TEST(RowRepairTest, RepairsEachDamageKindOrFallsBack) {
    for (const DamageCase& c : damage_cases()) {
        SCOPED_TRACE(c.name);
        SalvageOptions o = repairing(c.columns);
        o.fill_ragged_rows = c.fill;
        o.merge_overflow = c.merge;
        const SalvageResult r = quillon::salvage_buffer(c.input, o);
        EXPECT_EQ(counts_of(r), c.counts);
        EXPECT_EQ(r.repaired_rows, c.row ? 1u : 0u);
        if (!c.row) continue;
        ASSERT_LT(c.at, r.rows.size());
        EXPECT_EQ(r.rows.row(c.at).to_strings(), *c.row);
    }
}

TEST(RowRepairTest, RejoinPutsBackTheSpaceThatTheDialectSkips) {
    const Fields clean = table_row(kDamagedRow);
    std::string line = line_of(clean, ", ");
    line.replace(line.find("Ann Smith"), 9, "Smith, Ann");
    SalvageOptions o = repairing(kColumns);
    o.skip_initial_space = true;
    const SalvageResult r = quillon::salvage_buffer(table_with(line, ", "), o);
    EXPECT_EQ(r.rejoined_rows, 1u);
    EXPECT_EQ(r.rows.row(1 + kDamagedRow).to_strings()[1], "Smith, Ann");
}

TEST(RowRepairTest, ColumnsThatCannotTellTheRejoinsApartKeepTheMerge) {
    // Four columns of the same words: an unquoted delimiter could be in any.
    std::string text = "a,b,c,d\n";
    static const char* const words[] = {"red", "green", "blue", "grey", "pink"};
    for (std::size_t i = 0; i < 30; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            if (j != 0) text += ',';
            text += words[(i + j) % 5];
        }
        text += '\n';
    }
    text += "red,green,blue,grey,pink\n";
    const SalvageResult r = quillon::salvage_buffer(text, repairing(4));
    EXPECT_EQ(counts_of(r), Counts{.merged = 1});
    EXPECT_EQ(r.rows.row(31).to_strings(), (Fields{"red", "green", "blue", "grey,pink"}));
}

TEST(RowRepairTest, TooFewFittingRowsLeaveTheFixedRules) {
    std::string text = "id,name,date,time,qty,price,status,note\n";
    for (std::size_t i = 0; i < quillon::RowRepairer::kMinProfileRows - 1; ++i) {
        text += line_of(table_row(i)) + '\n';
    }
    Fields doubled = table_row(kDamagedRow);
    doubled.insert(doubled.begin() + 3, "");
    text += line_of(doubled) + '\n';
    const SalvageResult r = quillon::salvage_buffer(text, repairing(kColumns));
    EXPECT_EQ(counts_of(r), Counts{.merged = 1});
}

TEST(ColumnProfileTest, ScoresAndFitsFollowTheColumn) {
    quillon::RowStore rows;
    for (std::size_t i = 0; i < 50; ++i) {
        rows.append_field(std::to_string(100 + i), 0);
        rows.append_field(i % 2 ? "Y" : "N", 0);
        rows.append_field(i % 3 ? "Ann Smith" : "", 0);
        rows.end_row();
    }
    quillon::ColumnProfiles p(3, ',');
    for (const quillon::RowView row : rows) p.add_row(row);
    p.finish();
    const auto fits = [&](std::size_t column, const char* text) {
        return p.fits(column, p.shape(text));
    };
    const auto score = [&](std::size_t column, const char* text) {
        return p.score(column, p.shape(text));
    };
    EXPECT_EQ(p.rows(), 50u);
    EXPECT_TRUE(fits(0, "123"));
    EXPECT_FALSE(fits(0, "12"));      // shorter than any seen
    EXPECT_FALSE(fits(0, "12a"));     // letters
    EXPECT_FALSE(fits(1, "R"));       // not one of the column's few values
    EXPECT_TRUE(fits(2, ""));         // a third of the names are empty
    EXPECT_FALSE(fits(2, " Smith"));  // a space at the edge
    EXPECT_GT(score(0, "150"), score(0, "1x0"));
    EXPECT_GT(score(2, "Ann Smith"), score(2, "Ann Smith Ann Smith Ann Smith"));
    EXPECT_GT(score(1, "N"), score(1, "Q"));
}

// Long texts are shaped 16 bytes at a time: one byte of each kind at the
// places around the vector's edges must give the class a byte at a time
// would, the delimiter before every other class.
TEST(ColumnProfileTest, LongTextsHaveTheClassesOfTheirBytes) {
    namespace cc = quillon::char_class;
    const auto class_of = [](unsigned char c, unsigned char delimiter) -> std::uint8_t {
        if (c == delimiter) return cc::kDelimiter;
        if (c >= '0' && c <= '9') return cc::kDigit;
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return cc::kLetter;
        if (c >= 0x80) return cc::kLetter;
        return c == ' ' || c == '\t' ? cc::kSpace : cc::kPunctuation;
    };
    const std::uint8_t kInner = cc::kDigit | cc::kLetter | cc::kSpace | cc::kPunctuation | cc::kDelimiter;
    // Bases of two classes, so that a class wrongly given to the delimiter
    // is not hidden by the base's own.
    for (const unsigned char delimiter : {',', 'Z', '5', '\xC3'}) {
        const quillon::ColumnProfiles p(3, delimiter);
        for (const unsigned char c : {'5', '0', '9', '/', ':', ' ', '\t', ',', '-', '@', '[', '`', '{', 'Z',
                                      '\xC3', '\x7F', '\0'}) {
            for (const std::size_t at : {1, 15, 16, 31, 38}) {
                for (const char base : {'q', '7'}) {
                    std::string text(40, base);
                    text[at] = static_cast<char>(c);
                    const quillon::CellShape shape = p.shape(text);
                    EXPECT_EQ(shape.classes & kInner,
                              class_of(static_cast<unsigned char>(base), delimiter) | class_of(c, delimiter))
                        << "byte " << int{c} << " at " << at << " delimiter " << int{delimiter};
                    std::string other = text;
                    other[at ^ 1] = '!';
                    EXPECT_EQ(p.shape(std::string(text)).hash, shape.hash);
                    EXPECT_NE(p.shape(other).hash, shape.hash);
                }
            }
        }
    }
}

// Tables of random typed columns, every row of the same field count, some
// cells quoted with the delimiter inside.
std::string random_table(std::mt19937& rng, std::size_t columns, std::size_t rows) {
    std::uniform_int_distribution<int> pick(0, 99);
    std::string text;
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < columns; ++j) {
            if (j != 0) text += ',';
            const int r = pick(rng);
            switch ((j + static_cast<std::size_t>(r < 10 ? r : 0)) % 5) {
                case 0:
                    text += std::to_string(pick(rng) * 37);
                    break;
                case 1:
                    text += r < 20 ? "" : "2024-01-" + std::to_string(10 + r % 18);
                    break;
                case 2:
                    text += r < 30 ? "\"a, b\"" : "word " + std::to_string(r);
                    break;
                case 3:
                    text += r % 2 ? "Y" : "N";
                    break;
                default:
                    text += std::to_string(r) + "." + std::to_string(r % 10);
                    break;
            }
        }
        text += '\n';
    }
    return text;
}

TEST(RowRepairTest, GeneratedTablesFitUntouchedAndRepairTheSameWayEveryTime) {
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> pick(0, 99);
    std::size_t repairs = 0;
    for (int n = 0; n < 150; ++n) {
        const std::size_t columns = 2 + static_cast<std::size_t>(n % 8);
        std::string text = random_table(rng, columns, 40);
        SalvageOptions o = repairing(columns);
        SalvageOptions off = o;
        off.repair_misaligned_rows = false;
        const SalvageResult fitting = quillon::salvage_buffer(text, o);
        EXPECT_EQ(rows_of(fitting), rows_of(quillon::salvage_buffer(text, off)));
        EXPECT_EQ(fitting.repaired_rows, 0u);

        // Delimiters doubled, dropped and added at random places.
        for (int k = 0; k < 8; ++k) {
            const auto at = static_cast<std::size_t>(pick(rng)) * text.size() / 100;
            if (text[at] == '\n' || text[at] == '"') continue;
            if (text[at] == ',' && k % 2 == 0) {
                text.erase(at, 1);
            } else {
                text.insert(at, k % 3 == 0 ? ",," : ",");
            }
        }
        o.fill_ragged_rows = o.merge_overflow = n % 2 == 0;
        const SalvageResult a = quillon::salvage_buffer(text, o);
        const SalvageResult b = quillon::salvage_buffer(text, o);
        EXPECT_EQ(rows_of(a), rows_of(b));
        EXPECT_EQ(counts_of(a), counts_of(b));
        EXPECT_EQ(
            a.padded_rows + a.merged_rows + a.dropped_empty_rows + a.rejoined_rows + a.split_rows,
            a.repaired_rows);
        EXPECT_EQ(a.total_rows, a.salvaged_rows + a.quarantined_rows);
        for (const quillon::RowView row : a.rows) EXPECT_EQ(row.size(), columns);
        repairs += a.dropped_empty_rows + a.rejoined_rows + a.split_rows;
    }
    EXPECT_GT(repairs, 0u) << "the damage never reached the type-aware repairs";
}

}  // namespace

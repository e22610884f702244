#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <utility>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/typed_columns.hpp"
#include "arrow/typed_inference.hpp"
#include "arrow/typed_value_parse.hpp"

namespace {

using namespace quillon::arrow::typed;

std::optional<std::int64_t> int_of(std::string_view text, NumberStyle style = kPointDecimal) {
    NumberText number;
    std::int64_t value = 0;
    if (!scan_number(text, style, number) || !to_int64(number, value)) return std::nullopt;
    return value;
}

std::optional<double> float_of(std::string_view text, NumberStyle style = kPointDecimal) {
    NumberText number;
    double value = 0;
    if (!scan_number(text, style, number) || !to_float64(number, value)) return std::nullopt;
    return value;
}

std::optional<std::int64_t> cents_of(std::string_view text, NumberStyle style = kPointDecimal,
                                     int precision = 38) {
    NumberText number;
    __int128 value = 0;
    if (!scan_number(text, style, number) || !to_decimal(number, precision, 2, value)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

TEST(TypedValueTest, Integers) {
    struct Case {
        std::string_view text;
        std::optional<std::int64_t> value;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"0", 0}, {"+42", 42}, {" -7 ", -7}, {"1,234,567", 1234567}, {"$5", 5}, {"-$5", -5},
        {"$-5", -5}, {"12%", 12}, {"12 \xE2\x82\xAC", 12}, {"9223372036854775807", INT64_MAX},
        {"007", std::nullopt}, {"1,23", std::nullopt}, {"1,2345", std::nullopt},
        {"12,345,67", std::nullopt}, {"1.5", std::nullopt}, {"1e3", std::nullopt},
        {"--5", std::nullopt}, {"+-5", std::nullopt}, {"$$5", std::nullopt}, {"", std::nullopt},
        {"5 kg", std::nullopt}, {"9223372036854775808", std::nullopt}, {"0,123", std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(int_of(c.text), c.value) << c.text;
    EXPECT_EQ(int_of("1.234.567", kCommaDecimal), 1234567);
    EXPECT_FALSE(is_identifier(std::int64_t{1} << 53));
    EXPECT_TRUE(is_identifier((std::int64_t{1} << 53) + 1));
}

TEST(TypedValueTest, Floats) {
    struct Case {
        std::string_view text;
        NumberStyle style;
        std::optional<double> value;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"1.5", kPointDecimal, 1.5}, {".5", kPointDecimal, 0.5}, {"-0.25", kPointDecimal, -0.25},
        {"1e3", kPointDecimal, 1000.0}, {"1.5E-2", kPointDecimal, 0.015},
        {"1,234.5", kPointDecimal, 1234.5}, {"1.234,5", kCommaDecimal, 1234.5},
        {"1,5", kCommaDecimal, 1.5}, {"0.1", kPointDecimal, 0.1}, {"12.5%", kPointDecimal, 12.5},
        {"1.234,5", kPointDecimal, std::nullopt}, {"1.5.", kPointDecimal, std::nullopt},
        {"e3", kPointDecimal, std::nullopt}, {"1e", kPointDecimal, std::nullopt},
        {".", kPointDecimal, std::nullopt}, {"inf", kPointDecimal, std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(float_of(c.text, c.style), c.value) << c.text;
}

TEST(TypedValueTest, Decimals) {
    struct Case {
        std::string_view text;
        NumberStyle style;
        std::optional<std::int64_t> cents;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"12.50", kPointDecimal, 1250}, {"0.05", kPointDecimal, 5}, {"-0.10", kPointDecimal, -10},
        {"$1,234.5", kPointDecimal, 123450}, {"7", kPointDecimal, 700},
        {"1.234,56 \xE2\x82\xAC", kCommaDecimal, 123456},
        {"0.125", kPointDecimal, std::nullopt}, {"1e2", kPointDecimal, std::nullopt},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(cents_of(c.text, c.style), c.cents) << c.text;
    // Precision counts the digits once scaled.
    EXPECT_EQ(cents_of("999.99", kPointDecimal, 5), 99999);
    EXPECT_EQ(cents_of("1000.00", kPointDecimal, 5), std::nullopt);
}

// The column readers take shortcuts for plain numbers: each must answer
// as scan_number and the conversions do, to the bit.
TEST(TypedValueTest, ColumnReadersAgreeWithTheGeneralReading) {
    // clang-format off
    const std::vector<std::string_view> texts = {
        "0", "-0", "7", "-7", "+7", "007", "00.5", "0.5", ".5", "5.", "0.05", "-0.10", "1,234",
        "1,23", "1,2345", "0,123", "12,345.67", "1,234,567.891", "1.234,5", "1,5", "123456789012345678",
        "1234567890123456789", "-999999999999999999", "9007199254740993", "0.1234567890123456789",
        "1e3", " 5", "5 ", "$5", "12.5%", "-", "", "1-2", "1.5.", "2024-01-05", "12,345,67",
        "99999.99", "100000.00", "0.001",
    };
    // clang-format on
    for (const NumberStyle style : {kPointDecimal, kCommaDecimal}) {
        for (const std::string_view text : texts) {
            NumberText number;
            const bool scanned = scan_number(text, style, number);
            std::int64_t whole = 0;
            std::int64_t read_whole = 0;
            const bool is_int = scanned && to_int64(number, whole);
            EXPECT_EQ(read_int64(text, style, read_whole), is_int) << text;
            if (is_int) {
                EXPECT_EQ(read_whole, whole) << text;
            }
            double real = 0;
            double read_real = 0;
            const bool is_real = scanned && to_float64(number, real);
            EXPECT_EQ(read_float64(text, style, read_real), is_real) << text;
            if (is_real) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(read_real), std::bit_cast<std::uint64_t>(real))
                    << text;
            }
            for (const auto& [precision, scale] :
                 {std::pair{38, 2}, std::pair{7, 2}, std::pair{2, 2}}) {
                __int128 fixed = 0;
                __int128 read_fixed = 0;
                const bool is_fixed = scanned && to_decimal(number, precision, scale, fixed);
                EXPECT_EQ(read_decimal(text, style, precision, scale, read_fixed), is_fixed)
                    << text << " " << precision;
                if (is_fixed) {
                    EXPECT_TRUE(read_fixed == fixed) << text;
                }
            }
        }
    }
}

TEST(TypedValueTest, BooleansAndNulls) {
    bool flag = false;
    EXPECT_TRUE(parse_bool(" TRUE", false, flag) && flag);
    EXPECT_TRUE(parse_bool("No", false, flag) && !flag);
    EXPECT_FALSE(parse_bool("1", false, flag));
    EXPECT_TRUE(parse_bool("1", true, flag) && flag);
    EXPECT_FALSE(parse_bool("2", true, flag));
    EXPECT_FALSE(parse_bool("truth", true, flag));
    for (const std::string_view text : {"", "  ", "NA", "n/a", "N/A", "null", "NULL", "None", "-",
                                        "\\N", "NaN"}) {
        EXPECT_TRUE(is_null_spelling(text)) << text;
    }
    for (const std::string_view text : {"0", "--", "nil?", "Nancy", "\\n"}) {
        EXPECT_FALSE(is_null_spelling(text)) << text;
    }
}

TEST(TypedValueTest, Dates) {
    struct Case {
        std::string_view text;
        DateOrder order;
        std::optional<std::int32_t> days;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"1970-01-01", DateOrder::kYearMonthDay, 0}, {"2024-02-29", DateOrder::kYearMonthDay, 19782},
        {"2024/2/29", DateOrder::kYearMonthDay, 19782}, {"29.02.2024", DateOrder::kDayMonthYear, 19782},
        {"02/29/2024", DateOrder::kMonthDayYear, 19782}, {"1969-12-31", DateOrder::kYearMonthDay, -1},
        {"2023-02-29", DateOrder::kYearMonthDay, std::nullopt},
        {"2024-13-01", DateOrder::kYearMonthDay, std::nullopt},
        {"2024-01/05", DateOrder::kYearMonthDay, std::nullopt},
        {"29.02.2024", DateOrder::kMonthDayYear, std::nullopt},
        {"2024-02-29", DateOrder::kDayMonthYear, std::nullopt},
        {"01/02/24", DateOrder::kDayMonthYear, std::nullopt},
        {"2024-01-05x", DateOrder::kYearMonthDay, std::nullopt},
        {" 2024-01-05 ", DateOrder::kYearMonthDay, 19727},
        {"2024-01-0512", DateOrder::kYearMonthDay, std::nullopt},
        {"05-01-20245", DateOrder::kDayMonthYear, std::nullopt},
        {"2024.01-05", DateOrder::kYearMonthDay, std::nullopt},
        {"2000-02-29", DateOrder::kYearMonthDay, 11016}, {"1900-02-29", DateOrder::kYearMonthDay, std::nullopt},
        {"0001-01-01", DateOrder::kYearMonthDay, -719162},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::int32_t days = 0;
        const bool read = parse_date(c.text, c.order, days);
        EXPECT_EQ(read ? std::optional(days) : std::nullopt, c.days) << c.text;
    }
}

TEST(TypedValueTest, Timestamps) {
    struct Case {
        std::string_view text;
        std::optional<std::int64_t> micros;
        bool zoned;
    };
    constexpr std::int64_t kHour = std::int64_t{3600} * 1000000;
    // clang-format off
    const std::vector<Case> cases = {
        {"1970-01-01T01:00", kHour, false}, {"1970-01-01 01:00:00", kHour, false},
        {"1970-01-01T01:00:00Z", kHour, true}, {"1970-01-01T03:00:00+02:00", kHour, true},
        {"1970-01-01T03:00:00 +0200", kHour, true}, {"1969-12-31T20:00:00-05", kHour, true},
        {"1970-01-01T00:00:00.000001", 1, false}, {"1970-01-01T00:00:00.0000019", 1, false},
        {"1970-01-01T24:00", std::nullopt, false}, {"1970-01-01T1:00", std::nullopt, false},
        {"1970-01-01T01:00+2", std::nullopt, false}, {"1970-01-01T01:00:00.", std::nullopt, false},
        {"1970-01-01", std::nullopt, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::int64_t micros = 0;
        bool zoned = false;
        const bool read = parse_timestamp(c.text, DateOrder::kYearMonthDay, micros, zoned);
        EXPECT_EQ(read ? std::optional(micros) : std::nullopt, c.micros) << c.text;
        if (read) {
            EXPECT_EQ(zoned, c.zoned) << c.text;
        }
        // A timestamp column also takes a date alone, as its midnight.
        std::int64_t either = 0;
        bool either_zoned = false;
        const bool date_alone = c.text == "1970-01-01";
        EXPECT_EQ(parse_date_or_timestamp(c.text, DateOrder::kYearMonthDay, either, either_zoned),
                  read || date_alone)
            << c.text;
        if (read || date_alone) {
            EXPECT_EQ(either, read ? micros : 0) << c.text;
            EXPECT_EQ(either_zoned, read && zoned) << c.text;
        }
    }
}

ColumnType infer(const std::vector<std::string_view>& cells, char delimiter = ',') {
    ColumnTally tally;
    ColumnTally other;
    // Two tallies merged, as batches are: the decision must not depend on
    // where the column was cut.
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (!is_null_spelling(cells[i])) (i % 2 == 0 ? tally : other).add(cells[i]);
    }
    tally.merge(other);
    return decide_type(tally, delimiter);
}

std::vector<std::string_view> with_misfits(std::string_view value, std::size_t values,
                                           std::string_view misfit, std::size_t misfits) {
    std::vector<std::string_view> cells(values, value);
    cells.insert(cells.end(), misfits, misfit);
    return cells;
}

TEST(TypedInferenceTest, ColumnTypes) {
    struct Case {
        std::vector<std::string_view> cells;
        std::string_view type;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {{"1", "2", "NA", "-3"}, "int64"},
        {{"1", "2", "1.5"}, "float64"},
        {{"1", "2", "1e3"}, "float64"},
        {{"12.50", "3.99", "7"}, "decimal128(38, 2)"},
        {{"$12.5", "$3.999"}, "decimal128(38, 3)"},
        {{"0.1", "0.25"}, "float64"},
        {{"0", "1", "1"}, "int64"},
        {{"yes", "0", "1", "No"}, "bool"},
        {{"007", "010", "123"}, "string"},
        {{"9007199254740993", "1"}, "string"},
        {{"2024-01-05", "2024-02-29"}, "date32"},
        {{"2024-01-05", "2024-01-05T10:00"}, "timestamp[us]"},
        {{"2024-01-05T10:00Z", "2024-01-05T10:00+01:00"}, "timestamp[us, tz=UTC]"},
        {{"10:00", "11:30"}, "string"},
        {{"NA", "", "-"}, "string"},
        {{"a", "1", "2"}, "string"},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(type_name(infer(c.cells)), c.type) << c.cells[0];
}

TEST(TypedInferenceTest, DamageUpToOneInTwenty) {
    EXPECT_EQ(type_name(infer(with_misfits("12", 95, "n/a?", 5))), "int64");
    EXPECT_EQ(type_name(infer(with_misfits("12", 94, "n/a?", 6))), "string");
    EXPECT_EQ(type_name(infer(with_misfits("2024-01-05", 19, "Smith", 1))), "date32");
}

TEST(TypedInferenceTest, DateOrderAndNumberStyle) {
    // One day above 12 settles the order for the whole column.
    const ColumnType day_first = infer({"01/02/2024", "03/04/2024", "13/04/2024"});
    EXPECT_EQ(day_first.type, ValueType::kDate);
    EXPECT_EQ(day_first.order, DateOrder::kDayMonthYear);
    EXPECT_EQ(infer({"01/02/2024", "04/13/2024"}).order, DateOrder::kMonthDayYear);
    EXPECT_EQ(infer({"01/02/2024", "03/04/2024"}).order, DateOrder::kMonthDayYear);
    // `1,234` alone is a thousands group, or a decimal comma in a
    // semicolon file; `1.234,50` is only the latter.
    EXPECT_EQ(type_name(infer({"1,234", "2,500"}, ',')), "int64");
    EXPECT_EQ(type_name(infer({"1,234", "2,500"}, ';')), "float64");
    const ColumnType euro = infer({"1.234,50", "2,00", "3"}, ',');
    EXPECT_EQ(type_name(euro), "decimal128(38, 2)");
    EXPECT_EQ(euro.style.decimal, ',');
}

TEST(TypedInferenceTest, TypeNames) {
    for (const std::string_view name : {"int64", "float64", "bool", "date32", "timestamp[us]",
                                        "timestamp[us, tz=UTC]", "decimal128(10, 2)", "string"}) {
        const std::optional<ColumnType> type = parse_type_name(name);
        ASSERT_TRUE(type.has_value()) << name;
        EXPECT_EQ(type_name(*type), name);
    }
    EXPECT_EQ(type_name(*parse_type_name(" Decimal(10,2) ")), "decimal128(10, 2)");
    EXPECT_EQ(arrow_format(*parse_type_name("decimal(10,2)")), "d:10,2");
    for (const std::string_view name : {"decimal(0,0)", "decimal(39,2)", "decimal(5,6)",
                                        "decimal(5)", "int32", ""}) {
        EXPECT_FALSE(parse_type_name(name).has_value()) << name;
    }
}

// A table typed batch by batch with the types of the whole (type_batch) is
// the table type_columns types: the same values, nulls and misfits, in row
// order.
TEST(TypedColumnsTest, BatchByBatchAsTheWholeTable) {
    using quillon::arrow::BatchLimits;
    using quillon::arrow::CellReject;
    quillon::RowStore store;
    for (int i = 0; i < 40; ++i) {
        const std::string n = i == 7 ? "x" : i == 9 ? "NA" : std::to_string(i);
        const std::string day = i == 30 ? "2024-13-01" : "2024-01-" + std::to_string(10 + i % 18);
        const std::string price = i == 3 ? "a lot" : std::to_string(i) + ".5";
        for (const std::string& cell : {n, day, price}) store.append_field(cell, 0);
        store.end_row();
    }
    const auto table = std::make_shared<const quillon::arrow::BatchTable>(
        quillon::arrow::build_batches(store, false, 3, BatchLimits{.max_rows = 6}));
    quillon::arrow::TypingRequest request{.given = {std::nullopt, std::nullopt,
                                                    parse_type_name("decimal(10,2)")}};
    request.threads = 1;
    const quillon::arrow::TypedTable whole = quillon::arrow::type_columns(table, request);
    const std::vector<ColumnType>& types = whole.table->types();
    ASSERT_EQ(types.size(), 3u);
    std::vector<CellReject> rejects;
    std::size_t first = 0;
    for (std::size_t b = 0; b < table->batches().size(); ++b) {
        const quillon::arrow::RecordBatch typed =
            quillon::arrow::type_batch(table->batches()[b], types, {false, false, true}, first, rejects);
        for (std::size_t c = 0; c < 3; ++c) {
            const quillon::arrow::TypedArray& got = typed.typed->columns[c];
            const quillon::arrow::TypedArray& want = whole.table->batches()[b].typed->columns[c];
            EXPECT_EQ(got.null_count, want.null_count) << b << " " << c;
            ASSERT_EQ(got.values.size(), want.values.size());
            EXPECT_EQ(std::memcmp(got.values.data(), want.values.data(), 8 * got.values.size()), 0);
        }
        first += static_cast<std::size_t>(table->batches()[b].rows);
    }
    std::vector<std::string> texts;
    for (const CellReject& reject : rejects) texts.push_back(reject.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"a lot", "x", "2024-13-01"}));
    std::uint64_t counted = 0;
    for (const std::uint64_t count : whole.reject_counts) counted += count;
    EXPECT_EQ(counted, rejects.size());
}

}  // namespace

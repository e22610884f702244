#include "engine/cell_type.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using quillon::CellType;

struct TypeCase {
    std::string_view text;
    CellType expected;
};

void expect_types(const std::vector<TypeCase>& cases) {
    for (const TypeCase& c : cases) {
        EXPECT_EQ(quillon::cell_type_name(quillon::classify_cell(c.text)),
                  quillon::cell_type_name(c.expected))
            << "cell \"" << c.text << "\"";
    }
}

TEST(CellTypeTest, Numbers) {
    // clang-format off
    expect_types({
        {"0", CellType::kInteger},
        {"-0", CellType::kInteger},
        {"+42", CellType::kInteger},
        {" 42\t", CellType::kInteger},
        {"007", CellType::kText},
        {"00.5", CellType::kText},
        {"0.5", CellType::kDecimal},
        {".5", CellType::kDecimal},
        {"-.5", CellType::kDecimal},
        {"5.", CellType::kDecimal},
        {".", CellType::kText},
        {"-", CellType::kText},
        {"+", CellType::kText},
        {"1e5", CellType::kDecimal},
        {"1.5E-3", CellType::kDecimal},
        {"e5", CellType::kText},
        {"1e", CellType::kText},
        {"3,14", CellType::kDecimal},
        {"0,123", CellType::kDecimal},
        {"1234,567", CellType::kDecimal},
        {"5,", CellType::kText},
        {"1,234", CellType::kInteger},
        {"1.234", CellType::kDecimal},
        {"1,234,567", CellType::kInteger},
        {"1.234.567", CellType::kInteger},
        {"1,234,567.89", CellType::kDecimal},
        {"1.234.567,89", CellType::kDecimal},
        {"1,23,456", CellType::kText},
        {"1,2345,678", CellType::kText},
        {"1,234.567,8", CellType::kText},
        {"1.2.3.4", CellType::kText},
        {"1-2", CellType::kText},
        {"12%", CellType::kInteger},
        {"12.5 %", CellType::kDecimal},
        {"%", CellType::kText},
        {"$5", CellType::kInteger},
        {"-$5.50", CellType::kDecimal},
        {"$-5", CellType::kInteger},
        {"-$-5", CellType::kText},
        {"$ 1,234.50", CellType::kDecimal},
        {"\xE2\x82\xAC" "12,50", CellType::kDecimal},
        {"12,50 \xE2\x82\xAC", CellType::kDecimal},
        {"\xC2\xA3" "3", CellType::kInteger},
        {"$", CellType::kText},
        {"5$5", CellType::kText},
        {"\xC3\xA9" "5", CellType::kText},
    });
    // clang-format on
}

TEST(CellTypeTest, DatesAndTimes) {
    // clang-format off
    expect_types({
        {"2024-01-31", CellType::kDate},
        {"2024/1/5", CellType::kDate},
        {"2024.12.01", CellType::kDate},
        {"2024-02-30", CellType::kText},
        {"2024-02-29", CellType::kDate},
        {"2023-02-29", CellType::kText},
        {"2024-13-01", CellType::kText},
        {"2024-01/31", CellType::kText},
        {"3024-01-01", CellType::kText},
        {"31/12/2024", CellType::kDate},
        {"12/31/2024", CellType::kDate},
        {"13/13/2024", CellType::kText},
        {"1.2.24", CellType::kDate},
        {"31.12.99", CellType::kDate},
        {"99-12-31", CellType::kDate},
        {"1/2/3", CellType::kText},
        {"1/2/345", CellType::kText},
        {"1/2/20245", CellType::kText},
        {"12:30", CellType::kTime},
        {"7:05", CellType::kTime},
        {"07:05:59", CellType::kTime},
        {"07:05:59.125", CellType::kTime},
        {"07:05:59.", CellType::kText},
        {"24:00", CellType::kText},
        {"12:60", CellType::kText},
        {"12:5", CellType::kText},
        {"7:05 pm", CellType::kTime},
        {"7:05PM", CellType::kTime},
        {"7:05 a.m.", CellType::kTime},
        {"13:05 pm", CellType::kText},
        {"7:05 p", CellType::kText},
        {"12:30Z", CellType::kTime},
        {"12:30:00+01:00", CellType::kTime},
        {"12:30:00+0130", CellType::kTime},
        {"12:30:00+1:00", CellType::kText},
        {"2024-01-31T12:30:00Z", CellType::kDateTime},
        {"2024-01-31 12:30", CellType::kDateTime},
        {"31/01/2024 7:30 pm", CellType::kDateTime},
        {"2024-01-31T", CellType::kText},
        {"2024-01-31  12:30", CellType::kText},
        {"2024-01-31x", CellType::kText},
    });
    // clang-format on
}

TEST(CellTypeTest, EmptyBooleanAndText) {
    // clang-format off
    expect_types({
        {"", CellType::kEmpty},
        {" \t\r\n", CellType::kEmpty},
        {"true", CellType::kBoolean},
        {"FALSE", CellType::kBoolean},
        {" Yes ", CellType::kBoolean},
        {"no", CellType::kBoolean},
        {"nope", CellType::kText},
        {"t", CellType::kText},
        {"Smith", CellType::kText},
        {"\xC2\xA0" "1", CellType::kText},
        {std::string_view("1\0", 2), CellType::kText},
        {"\xFF", CellType::kText},
    });
    // clang-format on
}

TEST(CellTypeTest, KnownCells) {
    struct Case {
        std::string_view text;
        bool quoted;
        bool known;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"", false, true},
        {"42", false, true},
        {"New York", false, true},
        {"J. R. R. Tolkien (ed.)", false, true},
        {"what?!", false, true},
        {"Jos\xC3\xA9 Garc\xC3\xAD" "a", false, true},
        {"\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0", false, true},
        {"\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x80\x82", false, true},
        {"Smith, J", true, true},
        {"Smith, J", false, false},
        {"first line\r\nsecond; third", true, true},
        {"first line\nsecond", false, false},
        {"a;b", false, false},
        {"a:b", false, false},
        {"\"quoted\"", false, false},
        {"it's", false, true},
        {"Paul O'Brien", false, true},
        {"'Paul O''Brien'", false, false},
        {"rock 'n' roll", false, false},
        {"Jos\xE9", false, false},
        {"x\xEF\xBF\xBDy", false, false},
        {"N/A", false, true},
        {"nan", false, true},
        {"ada@example.org", false, true},
        {"ada@example", false, false},
        {"192.168.0.1", false, true},
        {"https://example.com/a?b=c&d=%20", false, true},
        {"example.com/path", false, true},
        {"localhost:8080/x", false, true},
        {"http://", false, false},
        {"/usr/local/bin/", false, true},
        {"~/notes.txt", false, true},
        {"/", false, false},
        {"1,Ada,London", false, false},
        {"12:30", false, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(quillon::is_known_cell(c.text, c.quoted), c.known)
            << "cell \"" << c.text << "\" quoted " << c.quoted;
    }
}

}  // namespace

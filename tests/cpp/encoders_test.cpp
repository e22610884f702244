#include "pipeline/encoders.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {
namespace {

using Fields = std::vector<std::string>;

// The flags the tokenizer records for a field's raw bytes.
std::uint16_t raw_flags(std::string_view text, std::uint8_t delimiter, std::uint8_t quote) {
    std::uint16_t flags = 0;
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == delimiter || b == quote || b == '\n' || b == '\r') flags |= field_flags::kSpecial;
        if (b >= 0x80) flags |= field_flags::kNonAscii;
    }
    return flags;
}

RowStore store_of(const std::vector<Fields>& rows, std::uint8_t delimiter, std::uint8_t quote) {
    RowStore store;
    for (const Fields& row : rows) {
        for (const std::string& field : row) store.append_field(field, raw_flags(field, delimiter, quote));
        store.end_row();
    }
    return store;
}

std::string text_of(const GrowableBuffer<char>& buffer) {
    return std::string(buffer.data(), buffer.size());
}

// Clears `line` and encodes one row into it.
std::string encode_line(const RowView& row, std::uint8_t delimiter, std::uint8_t quote,
                        GrowableBuffer<char>& line) {
    line.clear();
    encode_output_row(row, delimiter, quote, line);
    return text_of(line);
}

// The encoder appends: what the buffer held before stays in front.
std::string encode(const Fields& fields, std::uint8_t delimiter, std::uint8_t quote) {
    const RowStore store = store_of({fields}, delimiter, quote);
    constexpr std::string_view kBefore = "the line before\n";
    GrowableBuffer<char> line;
    line.append(kBefore.data(), kBefore.size());
    encode_output_row(store[0], delimiter, quote, line);
    const std::string text = text_of(line);
    EXPECT_TRUE(std::string_view(text).starts_with(kBefore)) << text;
    return text.substr(kBefore.size());
}

// The output line straight from its definition, for generated rows.
std::string reference_line(const Fields& fields, std::uint8_t delimiter, std::uint8_t quote) {
    auto form = [](std::uint8_t b) {
        if (b < 0x80) return std::string(1, static_cast<char>(b));
        return std::string{static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
    };
    const std::string d = form(delimiter);
    const std::string q = form(quote);
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) line += d;
        const std::string& f = fields[i];
        const bool quoted = f.find(q) != std::string::npos || f.find(d) != std::string::npos ||
                            f.find('\n') != std::string::npos || f.find('\r') != std::string::npos;
        if (!quoted) {
            line += f;
            continue;
        }
        line += q;
        for (std::size_t p = 0; p < f.size();) {
            if (f.compare(p, q.size(), q) == 0) {
                line += q + q;
                p += q.size();
            } else {
                line += f[p++];
            }
        }
        line += q;
    }
    return line + "\n";
}

struct OutputCase {
    Fields fields;
    std::uint8_t delimiter;
    std::uint8_t quote;
    std::string line;
};

TEST(EncodeOutputRow, WritesMinimalQuoting) {
    const std::string long_field(20000, 'x');
    const OutputCase cases[] = {
        {{"a", "b"}, ',', '"', "a,b\n"},
        {{"x,y", "z"}, ',', '"', "\"x,y\",z\n"},
        {{"say \"hi\""}, ',', '"', "\"say \"\"hi\"\"\"\n"},
        {{"", " padded "}, ',', '"', ", padded \n"},
        {{"l1\nl2"}, ',', '"', "\"l1\nl2\"\n"},
        {{"a\r"}, ',', '"', "\"a\r\"\n"},
        {{""}, ',', '"', "\n"},
        {{"", ""}, ',', '"', ",\n"},
        {{"", "", ""}, ',', '"', ",,\n"},
        {{"   "}, ',', '"', "   \n"},
        {{"\"abc"}, ',', '"', "\"\"\"abc\"\n"},
        {{"abc\""}, ',', '"', "\"abc\"\"\"\n"},
        {{"\""}, ',', '"', "\"\"\"\"\n"},
        {{"\"\""}, ',', '"', "\"\"\"\"\"\"\n"},
        {{"\r"}, ',', '"', "\"\r\"\n"},
        {{"\r\n"}, ',', '"', "\"\r\n\"\n"},
        {{"plain", "x\"y", "", "a,b"}, ',', '"', "plain,\"x\"\"y\",,\"a,b\"\n"},
        // Quotes in fields of 16 bytes, at the row's end and before it.
        {{"x", "\"0123456789abcd\""}, ',', '"', "x,\"\"\"0123456789abcd\"\"\"\n"},
        {{"a\"b\"c\"d\"e\"f\"g\"h\"", "tail"}, ',', '"',
         "\"a\"\"b\"\"c\"\"d\"\"e\"\"f\"\"g\"\"h\"\"\",tail\n"},
        {{"1,5"}, ';', '"', "1,5\n"},
        {{"a;b"}, ';', '"', "\"a;b\"\n"},
        {{"it's"}, ',', '\'', "'it''s'\n"},
        {{"say \"hi\""}, ',', '\'', "say \"hi\"\n"},
        {{"a,b", "c\td"}, '\t', '"', "a,b\t\"c\td\"\n"},
        {{"caf\xC3\xA9", "\xE2\x82\xAC,1"}, ',', '"', "caf\xC3\xA9,\"\xE2\x82\xAC,1\"\n"},
        {{long_field, "y"}, ',', '"', long_field + ",y\n"},
        {{long_field + ",", "y"}, ',', '"', "\"" + long_field + ",\",y\n"},
        // Delimiter or quote of 0x80 and above: their two-byte characters.
        {{"a", "b"}, 0xA7, '"', "a\xC2\xA7" "b\n"},
        {{"x\xC2\xA7y", "z"}, 0xA7, '"', "\"x\xC2\xA7y\"\xC2\xA7z\n"},
        {{"a,b", "q\"q"}, 0xA7, '"', "a,b\xC2\xA7\"q\"\"q\"\n"},
        {{"l1\nl2"}, 0xA7, '"', "\"l1\nl2\"\n"},
        {{"\xC3\xA9", "\xC3\x83"}, 0xC3, '"', "\xC3\xA9\xC3\x83\"\xC3\x83\"\n"},
        {{"caf\xC3\xA9"}, ',', 0xE9, "\xC3\xA9" "caf\xC3\xA9\xC3\xA9\xC3\xA9\n"},
        {{"a,b"}, ',', 0xE9, "\xC3\xA9" "a,b\xC3\xA9\n"},
        {{"plain \"dq\""}, ',', 0xE9, "plain \"dq\"\n"},
        {{"x\xC2\xA7y", "p"}, 0xA7, 0xE9, "\xC3\xA9x\xC2\xA7y\xC3\xA9\xC2\xA7p\n"},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "delimiter " << int{c.delimiter} << ", quote "
                                          << int{c.quote} << ", first field " << c.fields[0].substr(0, 20));
        EXPECT_EQ(encode(c.fields, c.delimiter, c.quote), c.line);
    }
}

TEST(EncodeOutputRow, QuotesALoneEmptyFieldWhenAsked) {
    // Between other rows in one buffer, by flags and by text, ASCII and
    // two-byte delimiter or quote: only a row of exactly one empty field
    // changes.
    const OutputCase cases[] = {
        {{""}, ',', '"', "\"\"\n"},
        {{""}, 0xA7, '"', "\"\"\n"},
        {{""}, ',', 0xE9, "\xC3\xA9\xC3\xA9\n"},
        {{"", ""}, ',', '"', ",\n"},
        {{"", ""}, 0xA7, '"', "\xC2\xA7\n"},
        {{" "}, ',', '"', " \n"},
        {{"\"\""}, ',', '"', "\"\"\"\"\"\"\n"},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "delimiter " << int{c.delimiter} << ", quote "
                                          << int{c.quote} << ", fields " << c.fields.size());
        const RowStore store = store_of({{"a"}, c.fields, {"b"}}, c.delimiter, c.quote);
        GrowableBuffer<char> by_flags;
        GrowableBuffer<char> by_text;
        for (const RowView row : store) {
            encode_output_row(row, c.delimiter, c.quote, by_flags, LoneEmptyField::kQuoted);
            encode_output_row_rescanning(row, c.delimiter, c.quote, by_text,
                                         LoneEmptyField::kQuoted);
        }
        EXPECT_EQ(text_of(by_flags), "a\n" + c.line + "b\n");
        EXPECT_EQ(text_of(by_text), "a\n" + c.line + "b\n");
    }
}

TEST(EncodeOutputRow, HighDelimiterIgnoresTheRawByteFlag) {
    // A lone 0xA7 byte inside a quoted field is decoded to U+FFFD, so the
    // text holds no U+00A7 although the raw bytes held the delimiter.
    RowStore store;
    store.append_field("a\xEF\xBF\xBD" "b", field_flags::kSpecial | field_flags::kNonAscii);
    store.append_field("c", 0);
    store.end_row();
    GrowableBuffer<char> line;
    EXPECT_EQ(encode_line(store[0], 0xA7, '"', line), "a\xEF\xBF\xBD" "b\xC2\xA7" "c\n");
}

TEST(EncodeOutputRow, MatchesTheDefinitionOnGeneratedRows) {
    // Fields of up to about 80 bytes: both sides of the 16-byte moves of
    // short fields, quoted or not, and of a row's last 16 bytes.
    const std::string pieces[] = {"a", "bc", " ", ",", ";", "\t", "\"", "'", "\n", "\r", "\xC3\xA9",
                                  "\xC2\xA7", "\xC3\x83", "\xEF\xBF\xBD", "xyzxyzxyzxyz",
                                  "0123456789abcdefghij"};
    const std::uint8_t delimiters[] = {',', ';', '\t', '|', 0xA7, 0xC3};
    const std::uint8_t quotes[] = {'"', '\'', 0xE9, 0xA7};
    std::mt19937 rng(7);
    GrowableBuffer<char> line;
    for (const std::uint8_t delimiter : delimiters) {
        for (const std::uint8_t quote : quotes) {
            std::vector<Fields> rows;
            for (int r = 0; r < 300; ++r) {
                Fields fields(1 + rng() % 6);
                for (std::string& field : fields) {
                    const std::size_t parts = rng() % 5;
                    for (std::size_t p = 0; p < parts; ++p) field += pieces[rng() % std::size(pieces)];
                }
                rows.push_back(fields);
            }
            const RowStore store = store_of(rows, delimiter, quote);
            // Row by row into a cleared line, and all rows one after the
            // other into one buffer.
            GrowableBuffer<char> all;
            std::string expected_all;
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const std::string expected = reference_line(rows[r], delimiter, quote);
                ASSERT_EQ(encode_line(store[r], delimiter, quote, line), expected)
                    << "delimiter " << int{delimiter} << ", quote " << int{quote} << ", row " << r;
                encode_output_row(store[r], delimiter, quote, all);
                expected_all += expected;
            }
            ASSERT_EQ(text_of(all), expected_all)
                << "delimiter " << int{delimiter} << ", quote " << int{quote};
        }
    }
}

TEST(EncodeOutputRow, QuoteOnlyRowsAroundTheWorstCaseSizeLimit) {
    // Text and field count of 2^16 together is the largest row sized by its
    // worst case; a field of quotes alone is that worst case.
    const std::size_t limit = std::size_t{1} << 16;
    const struct {
        std::size_t fields;
        std::size_t quotes_each;
    } cases[] = {
        {1, limit - 1}, {1, limit}, {limit / 2, 1}, {limit / 2 + 1, 1}, {3, limit / 3}, {limit / 4, 3},
    };
    GrowableBuffer<char> line;
    for (const auto& c : cases) {
        const Fields fields(c.fields, std::string(c.quotes_each, '"'));
        const RowStore store = store_of({fields}, ',', '"');
        EXPECT_EQ(encode_line(store[0], ',', '"', line), reference_line(fields, ',', '"'))
            << c.fields << " x " << c.quotes_each;
    }
}

TEST(EncodeOutputRow, ReusesTheLineOnceGrown) {
    const RowStore store =
        store_of({{"alpha", "beta", "gamma"}, {"x\"y", "a,b", "l1\nl2"}, {""}, {"one", "two"}}, ',', '"');
    GrowableBuffer<char> line;
    for (const RowView row : store) encode_line(row, ',', '"', line);
    const char* grown = line.data();
    for (int pass = 0; pass < 3; ++pass) {
        for (const RowView row : store) {
            encode_line(row, ',', '"', line);
            EXPECT_EQ(line.data(), grown);
        }
    }
    EXPECT_EQ(encode_line(store[2], ',', '"', line), "\n");
}

TEST(QuoteLeadingByteOrderMark, QuotesTheFirstFieldOnlyWhenItStartsWithTheMark) {
    const std::string mark = "\xEF\xBB\xBF";
    const struct {
        std::string line;
        std::uint8_t delimiter;
        std::uint8_t quote;
        std::string quoted;
    } cases[] = {
        {mark + "id,name\n", ',', '"', "\"" + mark + "id\",name\n"},
        {mark + "id\n", ',', '"', "\"" + mark + "id\"\n"},
        {mark + "\n", ',', '"', "\"" + mark + "\"\n"},
        {mark + ",x,\"a,b\"\n", ',', '"', "\"" + mark + "\",x,\"a,b\"\n"},
        {mark + "a;b,c\n", ';', '\'', "'" + mark + "a';b,c\n"},
        {mark + "a\xC2\xA7" "b\n", 0xA7, 0xE9, "\xC3\xA9" + mark + "a\xC3\xA9\xC2\xA7" "b\n"},
        {"id," + mark + "\n", ',', '"', "id," + mark + "\n"},
        {"\xEF\xBB,x\n", ',', '"', "\xEF\xBB,x\n"},
        {"\n", ',', '"', "\n"},
    };
    for (const auto& c : cases) {
        GrowableBuffer<char> line;
        line.append(c.line.data(), c.line.size());
        quote_leading_byte_order_mark(line, c.delimiter, c.quote);
        EXPECT_EQ(text_of(line), c.quoted) << c.line;
    }
}

struct QuarantineCase {
    std::size_t line_number;
    std::string reason;
    Fields fields;
    std::uint8_t delimiter;
    std::string line;
};

TEST(EncodeQuarantineRow, WritesLineReasonAndJoinedFields) {
    const std::string few = "Row has too few columns (expected 3)";
    const std::string extra = "Row has extra columns (expected 2)";
    const QuarantineCase cases[] = {
        {7, few, {"a", "b x\"y"}, ',', "7,\"" + few + "\",\"a,b x\"\"y\"\n"},
        {5, few, {""}, ',', "5,\"" + few + "\",\"\"\n"},
        {0, "", {"a"}, ',', "0,\"\",\"a\"\n"},
        {12, extra, {"a,b", "c", "d"}, ',', "12,\"" + extra + "\",\"a,b,c,d\"\n"},
        {3, few, {"a", "b"}, '\t', "3,\"" + few + "\",\"a\tb\"\n"},
        {3, few, {"a", "b"}, ';', "3,\"" + few + "\",\"a;b\"\n"},
        {3, few, {"a", "b", "c"}, 0xA7, "3,\"" + few + "\",\"a\xC2\xA7" "b\xC2\xA7" "c\"\n"},
        {3, few, {"a", "b"}, '"', "3,\"" + few + "\",\"a\"\"b\"\n"},
        {3, few, {"\"", "\"\""}, '\'', "3,\"" + few + "\",\"\"\"'\"\"\"\"\"\n"},
        {9, "say \"x\"", {"q"}, ',', "9,\"say \"\"x\"\"\",\"q\"\n"},
        {4, few, {"l1\nl2\r", "\r\n"}, ',', "4,\"" + few + "\",\"l1\nl2\r,\r\n\"\n"},
        {1234567890123u, few, {"\xC3\xA9"}, ',', "1234567890123,\"" + few + "\",\"\xC3\xA9\"\n"},
        {static_cast<std::size_t>(-1), few, {"z"}, ',',
         std::to_string(static_cast<std::size_t>(-1)) + ",\"" + few + "\",\"z\"\n"},
    };
    std::string line = "left over";
    for (const QuarantineCase& c : cases) {
        SCOPED_TRACE(c.line);
        const RowStore store = store_of({c.fields}, c.delimiter, '"');
        encode_quarantine_row(
            QuarantinedRow{store[0], c.reason, c.line_number, quillon::QuarantineReason::kTooFewColumns, {}},
            c.delimiter, line);
        EXPECT_EQ(line, c.line);
    }
}

}  // namespace
}  // namespace quillon

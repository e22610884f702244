#include "engine/tokenizer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/row_store.hpp"
#include "engine/scan.hpp"
#include "engine_dialect.hpp"
#include "reference_tokenizer.hpp"

namespace {

using namespace std::literals;
using quillon::RecordTokenizer;
using quillon::RowStore;
using Fields = std::vector<std::string>;

constexpr std::string_view kFffd = "\xEF\xBF\xBD";

struct Config {
    std::uint8_t delimiter;
    std::uint8_t quote;
    bool repair;
};

using reference::engine_dialect;

reference::Dialect dialect_of(const Config& c) {
    return reference::Dialect{c.delimiter, c.quote, std::nullopt, false, c.repair, 0};
}

// The flags the tokenizer stored with each field against its text. The
// special flag speaks of raw bytes, so it is exact only for an ASCII
// delimiter and quote (a byte of 0x80 or above may have become U+FFFD); and
// with an escape byte a quoted field is not scanned for the delimiter.
void expect_flags_match_text(const quillon::RowView& row, const reference::Dialect& dialect) {
    const std::uint8_t quote = dialect.quote.value_or('"');
    const bool special_exact = !dialect.escape && dialect.delimiter < 0x80 && quote < 0x80;
    for (const quillon::FieldRef f : row) {
        const reference::FieldFacts facts = reference::facts_of(f.text, dialect.delimiter, quote);
        // On an empty field the non-ASCII bit marks a null (row_store.hpp).
        if (!f.text.empty()) {
            EXPECT_EQ(f.ascii(), facts.ascii) << reference::escaped(f.text);
        }
        if (special_exact) {
            EXPECT_EQ(f.special(), facts.special) << reference::escaped(f.text);
        }
    }
}

// Every record of the buffer through next_record, with the tokenizer's state
// after each one.
std::vector<reference::Record> engine_records(std::string_view buffer,
                                              const reference::Dialect& dialect) {
    RecordTokenizer tok(buffer, engine_dialect(dialect));
    tok.set_runaway_guard(dialect.guard_columns);
    RowStore store;
    std::vector<reference::Record> out;
    while (tok.next_record(store)) {
        if (store.size() != out.size() + 1) {
            ADD_FAILURE() << "next_record did not append exactly one row";
            return out;
        }
        expect_flags_match_text(store[store.size() - 1], dialect);
        out.push_back({store[store.size() - 1].to_strings(), tok.line(), tok.position(),
                       tok.ended_by_line_break(), tok.record_begin(), tok.content_end(),
                       tok.ended_in_open_quote()});
        if (out.size() > buffer.size()) {
            ADD_FAILURE() << "more records than bytes";
            return out;
        }
    }
    EXPECT_EQ(store.size(), out.size()) << "the final call appended a row";
    EXPECT_FALSE(tok.next_record(store)) << "an exhausted tokenizer yielded again";
    EXPECT_EQ(store.size(), out.size());
    return out;
}

// The same records seen through the counting mode: field counts and blankness
// must agree with the stored records, and the position and line with the
// building mode.
void expect_shapes_match(std::string_view buffer, const reference::Dialect& dialect,
                         const std::vector<reference::Record>& records) {
    RecordTokenizer tok(buffer, engine_dialect(dialect));
    tok.set_runaway_guard(dialect.guard_columns);
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const std::optional<quillon::RecordShape> shape = tok.next_shape();
        ASSERT_TRUE(shape.has_value()) << "counting mode ended early";
        EXPECT_EQ(shape->fields, records[i].fields.size());
        EXPECT_EQ(shape->blank, reference::is_blank(records[i].fields));
        EXPECT_EQ(tok.line(), records[i].line);
        EXPECT_EQ(tok.position(), records[i].position);
        EXPECT_EQ(tok.ended_by_line_break(), records[i].ended_by_line_break);
        EXPECT_EQ(tok.record_begin(), records[i].begin);
        EXPECT_EQ(tok.content_end(), records[i].content_end);
        EXPECT_EQ(tok.ended_in_open_quote(), records[i].ended_in_open_quote);
    }
    EXPECT_FALSE(tok.next_shape().has_value()) << "counting mode yields more records";
    EXPECT_FALSE(tok.next_shape().has_value());
}

std::vector<Fields> fields_of(const std::vector<reference::Record>& records) {
    std::vector<Fields> out;
    for (const reference::Record& r : records) out.push_back(r.fields);
    return out;
}

std::string u(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    return std::string(a) + std::string(b) + std::string(c);
}

struct FieldCase {
    std::string_view input;
    std::vector<Fields> expected;
    Config config = {',', '\'', true};
};

const std::vector<FieldCase>& field_cases() {
    // clang-format off
    static const std::vector<FieldCase> cases = {
        {"", {}},
        {"\xEF\xBB\xBF", {}},
        {"\xEF\xBB", {{std::string(kFffd)}}},
        {"\xEF\xBB\xBF" "a,b", {{"a", "b"}}},
        {"x\xEF\xBB\xBF", {{"x\xEF\xBB\xBF"}}},
        {"a,b\n", {{"a", "b"}}},
        {"a,b", {{"a", "b"}}},
        {"a,,b,\n", {{"a", "", "b", ""}}},
        {",", {{"", ""}}},
        {"\n", {{""}}},
        {"a\n\nb", {{"a"}, {""}, {"b"}}},
        {"a\n\rb", {{"a"}, {""}, {"b"}}},
        {"a\r\nb", {{"a"}, {"b"}}},
        {"a\rb", {{"a"}, {"b"}}},
        {"a\r\r\n", {{"a"}, {""}}},
        {"'a,b',c\n", {{"a,b", "c"}}},
        {"'a''b'\n", {{"a'b"}}},
        {"'ab''", {{"ab'"}}},
        {"''", {{""}}},
        {"'", {{""}}},
        {"'ab'cd,e\n", {{"abcd", "e"}}},
        {"'ab'  ,c", {{"ab", "c"}}},
        {"'ab'  x", {{"abx"}}},
        {"'ab' \t\n", {{"ab"}}},
        {" 'ab'", {{" 'ab'"}}},
        {"a'b,c", {{"a'b", "c"}}},
        {"'say 'hi' now',x\n", {{"say 'hi' now", "x"}}},
        {"'say 'hi' now',x\n", {{"say hi' now'", "x"}}, {',', '\'', false}},
        {"'a'b,'c'\n", {{"a'b,'c"}}},
        {"'a'b,'c'\n", {{"ab", "c"}}, {',', '\'', false}},
        {"'a'b,c\n", {{"ab", "c"}}},
        {"'a' 'b'", {{"a' 'b"}}},
        {"'a' 'b'", {{"a'b'"}}, {',', '\'', false}},
        {"'a'b 'c' ,d", {{"a'b 'c", "d"}}},
        {"'x'y\nz'", {{"xy"}, {"z'"}}},
        {"'x'y\rz',w", {{"xy"}, {"z'", "w"}}},
        {"'ab\ncd'\n", {{"ab\ncd"}}},
        {"'ab\r\ncd'", {{"ab\r\ncd"}}},
        {"'abc", {{"abc"}}},
        {"'ab\ncd,e", {{"ab\ncd,e"}}},
        {"'a\nb'c'd'\n", {{"a\nb'c'd"}}},
        {"'ab'\t'cd'\n", {{"ab", "cd"}}, {'\t', '\'', true}},
        {"'ab' cd", {{"ab", "cd"}}, {' ', '\'', true}},
        {"a\xFF" "b", {{u("a", kFffd, "b")}}},
        {"a\xC3\xA9" "b,c\n", {{"a", u(kFffd, "b,c")}}, {0xC3, '\'', true}},
        {"a\xC3\xA9" "b,c\n", {{"a\xC3\xA9" "b", "c"}}},
        {"a\0b,\0"sv, {{"a\0b"s, "\0"s}}},
        {",a,\n", {{"a"}}, {',', ',', true}},
        {"a,b", {{"a", "b"}}, {',', ',', true}},
        {"\"a,b\",c", {{"\"a", "b\"", "c"}}},
        {"\"a,b\",c", {{"a,b", "c"}}, {',', '"', true}},
        // clang-format on
    };
    return cases;
}

TEST(TokenizerTest, FieldsFollowTheRecordRules) {
    for (const FieldCase& c : field_cases()) {
        SCOPED_TRACE("input \"" + reference::escaped(c.input) + "\" repair " +
                     std::to_string(c.config.repair));
        const std::vector<reference::Record> got = engine_records(c.input, dialect_of(c.config));
        EXPECT_EQ(fields_of(got), c.expected);
        expect_shapes_match(c.input, dialect_of(c.config), got);
    }
}

// The reference is trusted by the differential tests below, so it must agree
// with the same table.
TEST(TokenizerTest, ReferenceAgreesWithTheTable) {
    for (const FieldCase& c : field_cases()) {
        SCOPED_TRACE("input \"" + reference::escaped(c.input) + "\"");
        EXPECT_EQ(fields_of(reference::tokenize(c.input, c.config.delimiter, c.config.quote,
                                                c.config.repair)),
                  c.expected);
    }
}

struct After {
    std::size_t line;
    std::size_t position;
    bool ended_by_line_break;
};

struct StateCase {
    std::string_view input;
    std::vector<After> after;
};

TEST(TokenizerTest, LineAndPositionAfterEachRecord) {
    // clang-format off
    const std::vector<StateCase> cases = {
        {"a", {{1, 1, false}}},
        {"a\n", {{2, 2, true}}},
        {"\xEF\xBB\xBF" "a\n", {{2, 5, true}}},
        {"a\nb", {{2, 2, true}, {2, 3, false}}},
        {"a\r\nb\r\n", {{2, 3, true}, {3, 6, true}}},
        {"a\rb", {{2, 2, true}, {2, 3, false}}},
        {"a\n\rb", {{2, 2, true}, {3, 3, true}, {3, 4, false}}},
        {"\n\n", {{2, 1, true}, {3, 2, true}}},
        {"'ab\ncd'\n", {{3, 8, true}}},
        {"'ab\r\ncd'", {{2, 8, false}}},
        {"'a\rb'\nc", {{2, 6, true}, {2, 7, false}}},
        {"'a\n\nb\n", {{4, 6, false}}},
        {"x,'a\nb'\ny\n", {{3, 8, true}, {4, 10, true}}},
        {"'x'y\nz'", {{2, 5, true}, {2, 7, false}}},
        // clang-format on
    };
    for (const StateCase& c : cases) {
        SCOPED_TRACE("input \"" + reference::escaped(c.input) + "\"");
        const std::vector<reference::Record> got =
            engine_records(c.input, dialect_of({',', '\'', true}));
        ASSERT_EQ(got.size(), c.after.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].line, c.after[i].line) << "record " << i;
            EXPECT_EQ(got[i].position, c.after[i].position) << "record " << i;
            EXPECT_EQ(got[i].ended_by_line_break, c.after[i].ended_by_line_break) << "record " << i;
        }
    }
}

TEST(TokenizerTest, StartsPastAByteOrderMarkOnly) {
    const struct {
        std::string_view input;
        std::size_t start;
    } cases[] = {
        {"", 0},
        {"\xEF", 0},
        {"\xEF\xBB", 0},
        {"\xEF\xBB\xBF", 3},
        {"\xEF\xBB\xBF\xEF\xBB\xBF", 3},
        {"\xEF\xBB\xBE", 0},
        {" \xEF\xBB\xBF", 0},
    };
    for (const auto& c : cases) {
        const RecordTokenizer tok(c.input, ',', '"', true);
        EXPECT_EQ(tok.position(), c.start) << reference::escaped(c.input);
        EXPECT_EQ(tok.line(), 1u);
    }
}

struct BlankCase {
    std::string_view input;
    std::vector<bool> blank;
};

TEST(TokenizerTest, CountingModeFindsBlankRecords) {
    const std::vector<BlankCase> cases = {
        {"\n", {true}},
        {"   \n\t\n", {true, true}},
        {",\n", {false}},
        {"\"\"\n\" \"", {true, true}},
        {"\xC2\xA0\n", {true}},
        {"\xC2\x85\n", {true}},
        {"\x0B\x0C", {true}},
        {"\xE3\x80\x80\xE2\x80\xAF\xE2\x81\x9F", {true}},
        {"\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE1\x9A\x80", {true}},
        {"\xE2\x80\x8B", {false}},
        {"\x1C", {false}},
        {"\xFF", {false}},
        {"\xC2", {false}},
        {"x\n\xEF\xBB\xBF", {false, false}},
        {"a\n \n", {false, true}},
        {"\xC2 \xA0", {false}},
        {"\xC2\t\xA0\n", {false}},
        {"\xC2                \xA0\n", {false}},
        {"                 \xC2\xA0              \t  \xE3\x80\x80 ", {true}},
        {"                        x        ", {false}},
        {"          \xC2\x85           \xFF", {false}},
    };
    for (const BlankCase& c : cases) {
        SCOPED_TRACE("input \"" + reference::escaped(c.input) + "\"");
        RecordTokenizer tok(c.input, ',', '"', true);
        std::vector<bool> got;
        while (std::optional<quillon::RecordShape> shape = tok.next_shape()) {
            got.push_back(shape->blank);
            if (got.size() > c.input.size()) break;
        }
        EXPECT_EQ(got, c.blank);
    }
}

const Config kConfigs[] = {
    {',', '"', true},  {',', '"', false},   {';', '\'', true},   {';', '"', true},
    {'\t', '"', true}, {'\t', '\'', false}, {0xC3, '"', true},   {0xC3, '\'', false},
    {',', ',', true},  {'"', '"', true},    {'\'', '\'', false}, {' ', '\'', true},
    {'|', '"', true},
};

TEST(TokenizerTest, MatchesReferenceOnGeneratedInputs) {
    reference::InputGenerator gen(20240611);
    for (int n = 0; n < 3000; ++n) {
        const std::string input = gen.next();
        for (const Config& c : kConfigs) {
            SCOPED_TRACE("input \"" + reference::escaped(input) + "\" delimiter " +
                         std::to_string(c.delimiter) + " quote " + std::to_string(c.quote) +
                         " repair " + std::to_string(c.repair));
            const std::vector<reference::Record> expected =
                reference::tokenize(input, c.delimiter, c.quote, c.repair);
            const std::vector<reference::Record> got = engine_records(input, dialect_of(c));
            ASSERT_EQ(got, expected);
            expect_shapes_match(input, dialect_of(c), expected);
            if (HasFailure()) return;
        }
    }
}

// Well-formed and ill-formed UTF-8 sequences alone, inside, at either end of
// a field and cut off by the field's end or the buffer's: the quick check
// made before the full validation must let through nothing that the full
// one would repair.
TEST(TokenizerTest, Utf8SequencesMatchReference) {
    const std::string sequences[] = {
        "\xC3\xA9", "\xC2\x80", "\xDF\xBF", "\xE4\xB8\xAD", "\xE1\x80\x80", "\xEC\xBF\xBF",
        "\xEE\x80\x80", "\xEF\xBF\xBD", "\xE0\xA0\x80", "\xE0\x80\x80", "\xED\x9F\xBF",
        "\xED\xA0\x80", "\xF0\x9F\x98\x80", "\xF4\x90\x80\x80", "\xC0\xAF", "\xC1\xBF",
        "\xC3", "\xE4\xB8", "\xE4", "\x80", "\xBF", "\xC3\x41", "\xE4\x41\x80", "\xE4\xB8\x41",
        "\xC3\xC3\xA9", "\xF8\x88\x80\x80\x80", "\xFF",
    };
    const Config config{',', '"', true};
    for (const std::string& seq : sequences) {
        const std::string inputs[] = {seq + ",x\n",       "a" + seq + "b,x\n", "x,a" + seq + "\n",
                                      "x," + seq,         "\"" + seq + "\",x\n", seq + seq + "\n",
                                      "ab" + seq + "\"\n"};
        for (const std::string& input : inputs) {
            SCOPED_TRACE("input \"" + reference::escaped(input) + "\"");
            const std::vector<reference::Record> expected =
                reference::tokenize(input, config.delimiter, config.quote, config.repair);
            EXPECT_EQ(engine_records(input, dialect_of(config)), expected);
        }
    }
}

// Fields around the row store's long-length escape (16383 bytes), unquoted,
// quoted, and with ill-formed bytes whose replacement makes them grow past it.
TEST(TokenizerTest, LongFieldsMatchReference) {
    const std::size_t lengths[] = {16382, 16383, 16384, 70000};
    for (std::size_t len : lengths) {
        const std::string plain(len, 'x');
        std::string spread(len, 'y');
        for (std::size_t i = 0; i < len; i += 1000) spread[i] = '\xFF';
        const std::vector<std::string> inputs = {
            plain,
            plain + ",a\n" + plain + "\n",
            "\"" + plain + "\",\"" + plain.substr(1) + "\"\"\"",
            "a," + spread + "," + plain + "\xC3\xA9\n",
            "\"" + spread + "\"\"\n" + spread + "\"",
            std::string(len - 2, 'z') + "\xFF",
        };
        for (const std::string& input : inputs) {
            SCOPED_TRACE("field length " + std::to_string(len) + ", input of " +
                         std::to_string(input.size()) + " bytes");
            const reference::Dialect c = dialect_of({',', '"', true});
            const std::vector<reference::Record> expected =
                reference::tokenize(input, ',', '"', true);
            EXPECT_EQ(engine_records(input, c), expected);
            expect_shapes_match(input, c, expected);
        }
    }
}

// Long physical lines where the look-ahead is asked about almost every quote:
// the answers must be those of the plain rescan-the-line rule.
TEST(TokenizerTest, LongLinesOfStrayQuotesMatchReference) {
    auto repeat = [](std::string_view unit, std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += unit;
        return s;
    };
    const std::vector<std::string> inputs = {
        repeat("\"a\"b", 50000) + "\n",
        "\"" + repeat("a\"b\"", 4000) + ",x\n" + repeat("\"a\"b,", 3000) + "\n",
        repeat("\"" + repeat("x\"y ", 1500) + "\" ,z\n", 8),
        repeat("\"a\"b", 3000) + "\"\r\n" + repeat("\"\"\"a", 3000) + "\n",
        "\"" + repeat("\"a\" \"b\",", 2500) + "\n" + repeat("\"", 20001),
        repeat("\"a\n\"b\"c\", \"d", 2000),
        repeat(",\"x", 5000) + "\n" + repeat("\"y,z\n", 2000) + repeat("a,\"b\r\n", 2000),
    };
    for (const std::string& input : inputs) {
        // The runaway-quote guard rescans lines too: for 2 and 3 fields.
        const std::pair<std::size_t, bool> configs[] = {{0, true}, {0, false}, {2, false}, {3, true}};
        for (const auto& [guard, repair] : configs) {
            reference::Dialect c = dialect_of({',', '"', repair});
            c.guard_columns = guard;
            SCOPED_TRACE("input of " + std::to_string(input.size()) + " bytes starting \"" +
                         reference::escaped(input.substr(0, 40)) + "\" repair " +
                         std::to_string(repair));
            const std::vector<reference::Record> expected = reference::tokenize(input, c);
            EXPECT_EQ(engine_records(input, c), expected);
            expect_shapes_match(input, c, expected);
        }
    }
}

// Regular and irregular quoting at every offset around the 64-byte blocks
// the scanners work in: a filler record of 0 to 140 bytes moves each
// fragment across a block edge, with regular records after it, so that
// every stop byte, look-ahead and guard decision meets a block edge.
TEST(TokenizerTest, BlockEdgesMatchReference) {
    const std::string_view fragments[] = {
        "\"a,b\",\"c\"\"d\",e\n",        // delimiter and doubled quote inside quotes
        "\"\"\"\",\"\",x\r\n",          // quotes only, CR LF
        "ab\"c,d\n",                  // a quote inside unquoted text
        "\"ab\"c,d\n",               // text after the closing quote
        "\"ab\" ,d\n",               // a space after the closing quote
        "\"a\nb\",c\n",             // a line break inside quotes
        "a\rb,c\n",                   // a CR alone
        "\"unclosed,x\n",            // a quote the guard may take as text
        "\xC3\xA9t\xC3\xA9,\xE2\x82\xAC\n",  // UTF-8 sequences across the edge
        "\xC3,\xFF\xE2\x82\n",        // ill-formed UTF-8
        ",,\n\n",                     // empty fields and an empty line
    };
    for (std::size_t filler = 0; filler <= 140; ++filler) {
        for (const std::string_view fragment : fragments) {
            const std::string input = std::string(filler, 'x') + "\n" + std::string(fragment) +
                                      "p,\"q\",r\n" + std::string(fragment) +
                                      std::string(fragment.substr(0, fragment.size() - 1));
            for (const std::size_t guard : {std::size_t{0}, std::size_t{3}}) {
                for (const bool repair : {true, false}) {
                    const reference::Dialect dialect{',', '"', std::nullopt, false, repair, guard};
                    SCOPED_TRACE("input \"" + reference::escaped(input) + "\" guard " +
                                 std::to_string(guard) + " repair " + std::to_string(repair));
                    const std::vector<reference::Record> expected =
                        reference::tokenize(input, dialect);
                    ASSERT_EQ(engine_records(input, dialect), expected);
                }
            }
        }
    }
}

// The dialect options beyond delimiter and quote.
struct DialectCase {
    std::string_view input;
    reference::Dialect dialect;
    std::vector<Fields> expected;
};

const std::vector<DialectCase>& dialect_cases() {
    const auto skip = [](std::uint8_t delimiter) {
        return reference::Dialect{delimiter, '"', std::nullopt, true, true, 0};
    };
    const auto unquoted = [](std::uint8_t delimiter) {
        return reference::Dialect{delimiter, std::nullopt, std::nullopt, false, true, 0};
    };
    const reference::Dialect backslash{',', '"', '\\', false, true, 0};
    const auto guard = [](std::size_t columns) {
        return reference::Dialect{',', '"', std::nullopt, false, true, columns};
    };
    const reference::Dialect spaces{' ', ' ', std::nullopt, true, false, 3};
    // Dumps that escape with a backslash and never quote.
    const auto dump = [](std::uint8_t delimiter) {
        return reference::Dialect{delimiter, std::nullopt, '\\', false, true, 0};
    };
    // clang-format off
    static const std::vector<DialectCase> cases = {
        {"id, name, note\n1, \"Smith, J\", ok", skip(','), {{"id", "name", "note"}, {"1", "Smith, J", "ok"}}},
        {"  a,  \"b\"  ,c ", skip(','), {{"a", "b", "c "}}},
        {"a, ,b", skip(','), {{"a", "", "b"}}},
        {"a,  \n", skip(','), {{"a", ""}}},
        {"a  b   c\n  d e", skip(' '), {{"a", "b", "c"}, {"d", "e"}}},
        {"\"a,b\",\"c", unquoted(','), {{"\"a", "b\"", "\"c"}}},
        {"'x',\"y\"\n", unquoted(','), {{"'x'", "\"y\""}}},
        {"\"48\\\" screen\",x", backslash, {{"48\" screen", "x"}}},
        {"\"a\\\\\",b", backslash, {{"a\\", "b"}}},
        {"\"a\\\\b\\n\"", backslash, {{"a\\b\\n"}}},
        {"a\\\"b,c", backslash, {{"a\\\"b", "c"}}},
        {"\"a\"\"b\\\"\"", backslash, {{"a\"b\""}}},
        {"\"ab\\", backslash, {{"ab\\"}}},
        {"\"a\\\"\nb\"", backslash, {{"a\"\nb"}}},
        {"\"a\\,b\",c", reference::Dialect{',', '"', ',', false, true, 0}, {{"a\\,b", "c"}}},
        {"'it\\'s',x", reference::Dialect{',', '\'', '\\', true, true, 0}, {{"it's", "x"}}},
        {"\"42,Widget,3.50\n43,Gadget,1.25\n\"44\",\"x\",2\n", guard(3),
         {{"\"42", "Widget", "3.50"}, {"43", "Gadget", "1.25"}, {"44", "x", "2"}}},
        {"1,shipped,\"\n2,lost,\"\n3,ok,x\n", guard(3),
         {{"1", "shipped", "\""}, {"2", "lost", "\""}, {"3", "ok", "x"}}},
        {"1,\"note, with\ncomma\",x\n2,b,c\n", guard(3), {{"1", "note, with\ncomma", "x"}, {"2", "b", "c"}}},
        {"1,\"two\nlines\",x\n", guard(3), {{"1", "two\nlines", "x"}}},
        {"8,\"partial, gift\nsent, damaged\",13\n", guard(3), {{"8", "partial, gift\nsent, damaged", "13"}}},
        {"8,\"gift\nsay \"\"no\"\", then, go\",13\n", guard(3), {{"8", "gift\nsay \"no\", then, go", "13"}}},
        // Quoted fields after the closing quote count whole, however many
        // delimiters they hold; one that runs past the line leaves the
        // quoted reading.
        {"t,b,\"x, y\nz\",\"p, q, r\"\n", guard(4), {{"t", "b", "x, y\nz", "p, q, r"}}},
        {"t,b,\"x, y\nz\",\"p, q\nr\"\n", guard(4), {{"t", "b", "x, y\nz", "p, q\nr"}}},
        {"t,\"x\ny\",\"p,\"\"q\"\"\"\n", guard(3), {{"t", "x\ny", "p,\"q\""}}},
        {"\"a,b,c", guard(3), {{"a,b,c"}}},
        {"\"a,b\n\"c,d\n", guard(2), {{"\"a", "b"}, {"\"c", "d"}}},
        // A stray quote at a line's start: read as text where that gives the
        // table's field count on the line, not otherwise.
        {"\"KS,C15,\"P, C\",15\nKS,C16,\"P, C\",16\n", guard(4),
         {{"\"KS", "C15", "P, C", "15"}, {"KS", "C16", "P, C", "16"}}},
        {"\"a,b\",c\n", guard(4), {{"a,b", "c"}}},
        {"\"a,\nb\",c\n", guard(3), {{"a,\nb", "c"}}},
        // A quoted last field cut off at the line end, before a whole row.
        {"1,x,\"Combat, Assault\n2,y,\"Guns, 30\"\n", guard(3),
         {{"1", "x", "Combat, Assault"}, {"2", "y", "Guns, 30"}}},
        {"1,x,\"a, b\nc\"\n2,y,z\n", guard(3), {{"1", "x", "a, b\nc"}, {"2", "y", "z"}}},
        {"1,x,\"a, b\n2,y,z\"\n", guard(3), {{"1", "x", "a, b\n2,y,z"}}},
        {"1\\tSeltsam\\, oder\t\\N\n", dump('\t'), {{"1\tSeltsam, oder", ""}}},
        {"a\\,b,\\\\N,\\N\\N,x\\N,\\N", dump(','), {{"a,b", "\\N", "NN", "xN", ""}}},
        {"a\\\nb\tc\r\nd", dump('\t'), {{"a\nb", "c"}, {"d"}}},
        {"\"q\\\"\tx\\", dump('\t'), {{"\"q\"", "x\\"}}},
        {"\\r\\b\\v\\f\\q\t\\N\r", dump('\t'), {{"\r\b\v\fq", ""}}},
        {"a,\\\r\n", dump(','), {{"a", "\r"}}},
        // A space that is delimiter, quote and skipped at once: the guard
        // makes a runaway one text, and as text it is skipped.
        {"a b c\n x y z\n", spaces, {{"a", "b", "c"}, {"x", "y", "z"}}},
        {"a b c\n x y\n", spaces, {{"a", "b", "c"}, {"xy"}}},
        {"\"a\"b,c,d\n1,2,3\n", reference::Dialect{',', '"', std::nullopt, false, false, 3},
         {{"ab", "c", "d"}, {"1", "2", "3"}}},
    };
    // clang-format on
    return cases;
}

TEST(TokenizerTest, DialectOptionsFollowTheirRules) {
    for (const DialectCase& c : dialect_cases()) {
        SCOPED_TRACE("input \"" + reference::escaped(c.input) + "\"");
        const std::vector<reference::Record> expected = reference::tokenize(c.input, c.dialect);
        EXPECT_EQ(fields_of(expected), c.expected) << "reference";
        EXPECT_EQ(engine_records(c.input, c.dialect), expected);
        expect_shapes_match(c.input, c.dialect, expected);
    }
}

// The counting mode reads a line of plain and well-formed quoted fields off
// its block masks: lines of each kind, regular and not, at every offset of
// a block and across block edges, must count as the reference reads them.
TEST(TokenizerTest, CountingModeReadsLinesAtEveryBlockOffset) {
    const std::string_view lines[] = {
        "a,b,c\n",           "\"a,b\",c,\"\"\n", "\"x\"\"y\",\"\"\"\",z\r\n", "a,\"b\"c,d\n",
        "a,b\"c,d\n",        "\"a\nb\",c\n",      "a,b\rc,d\n",              "a,\"b\r\nc\",d\n",
        "\"a\",\"b\" ,c\n",    "x\n",             "\n",                      "\"q\",r\n",
        "a,,\"\",\"\"\"\n", "\"a\"\r,b\n",
        // Text after a quote that parity calls closing: the repair reads
        // the quotes otherwise, and the count differs.
        "\"a\"b,\"c,d\"\n",
    };
    const reference::Dialect dialects[] = {
        {',', '"', std::nullopt, false, true, 0},
        {',', '"', std::nullopt, false, false, 0},
        {',', '"', std::nullopt, false, true, 3},
        {',', std::nullopt, std::nullopt, false, true, 0},
    };
    for (std::size_t pad = 0; pad < 70; ++pad) {
        for (const std::string_view line : lines) {
            // The padding field moves the line's structure across a block
            // edge; a second copy after it starts at another offset.
            std::string input = std::string(pad, 'p') + "," + std::string(line);
            input += std::string(pad / 2, 'p') + "," + std::string(line);
            input += std::string(130, 't') + "\n";
            for (const reference::Dialect& d : dialects) {
                SCOPED_TRACE("input \"" + reference::escaped(input) + "\" guard " +
                             std::to_string(d.guard_columns));
                const std::vector<reference::Record> expected = reference::tokenize(input, d);
                expect_shapes_match(input, d, expected);
                if (HasFailure()) return;
            }
        }
    }
}

TEST(TokenizerTest, DialectsMatchReferenceOnGeneratedInputs) {
    const reference::Dialect dialects[] = {
        {',', '"', std::nullopt, true, true, 0},  {',', std::nullopt, std::nullopt, false, true, 0},
        {',', '"', '\\', false, true, 0},         {';', '\'', '\\', true, false, 0},
        {' ', '"', std::nullopt, true, true, 0},  {'\t', std::nullopt, std::nullopt, true, true, 0},
        {',', '"', 'a', false, true, 0},          {'|', '\'', '"', true, true, 0},
        {',', '"', std::nullopt, false, true, 2}, {';', '"', std::nullopt, false, false, 3},
        {',', '\'', '\\', true, true, 1},
        {'\t', std::nullopt, '\\', false, true, 0}, {',', std::nullopt, '\\', true, true, 0},
    };
    reference::InputGenerator gen(20261208);
    for (int n = 0; n < 2000; ++n) {
        std::string input = gen.next();
        // Escapes in front of quotes and of themselves, across blocks.
        if (n % 3 == 0) {
            for (std::size_t i = 0; i < input.size(); i += 1 + gen.below(9)) {
                input[i] = '\\';
                // Nulls of the dumps without quoting.
                if (i + 1 < input.size() && gen.below(4) == 0) input[i + 1] = 'N';
            }
        }
        for (const reference::Dialect& d : dialects) {
            SCOPED_TRACE("input \"" + reference::escaped(input) + "\" delimiter " +
                         std::to_string(d.delimiter));
            const std::vector<reference::Record> expected = reference::tokenize(input, d);
            ASSERT_EQ(engine_records(input, d), expected);
            expect_shapes_match(input, d, expected);
            if (HasFailure()) return;
        }
    }
}

// The skip scanning under the tokenizer: every block-mask implementation the
// CPU can run, and the helpers built on them, against plain byte loops.

const quillon::ByteSet4 kSets[] = {
    {{',', '"', '\r', '\n'}},
    {{0x00, 0x80, 0xFF, 0x7F}},
    {{'\n', '\n', '\n', '\n'}},
    {{0xC3, '\'', '\r', '\n'}},
};

bool in_set(unsigned char c, const quillon::ByteSet4& set) {
    for (std::uint8_t b : set.bytes) {
        if (c == b) return true;
    }
    return false;
}

// Bytes drawn mostly from the set bytes and the ASCII/non-ASCII boundary.
std::string scan_bytes(reference::InputGenerator& gen, std::size_t n) {
    static constexpr unsigned char kPool[] = {',',  '"',  '\r', '\n', 0x00, 0x7F,
                                              0x80, 0xFF, 0xC3, '\'', 'a',  ' '};
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(gen.below(3) == 0 ? kPool[gen.below(std::size(kPool))]
                                                : 'a' + gen.below(26));
    }
    return s;
}

TEST(ScanTest, BlockMasksAgreeWithAPlainLoop) {
    reference::InputGenerator gen(64);
    const std::vector<quillon::BlockMaskFn> fns = quillon::block_mask_implementations();
    ASSERT_FALSE(fns.empty());
    for (int n = 0; n < 2000; ++n) {
        const std::string block = scan_bytes(gen, 64);
        const auto* p = reinterpret_cast<const unsigned char*>(block.data());
        for (const quillon::ByteSet4& set : kSets) {
            std::uint64_t want_match = 0;
            std::uint64_t want_high = 0;
            for (unsigned i = 0; i < 64; ++i) {
                if (in_set(p[i], set)) want_match |= std::uint64_t{1} << i;
                if (p[i] >= 0x80) want_high |= std::uint64_t{1} << i;
            }
            for (std::size_t f = 0; f < fns.size(); ++f) {
                const quillon::BlockMasks masks = fns[f](p, set);
                EXPECT_EQ(masks.match, want_match) << "implementation " << f;
                EXPECT_EQ(masks.high, want_high) << "implementation " << f;
            }
        }
    }
}

TEST(ScanTest, LineMasksAgreeWithAPlainLoop) {
    reference::InputGenerator gen(66);
    const std::vector<quillon::LineMasksFn> fns = quillon::line_masks_implementations();
    for (int n = 0; n < 500; ++n) {
        const std::string block = scan_bytes(gen, 64);
        const auto* p = reinterpret_cast<const unsigned char*>(block.data());
        for (const auto& [quote, delimiter] : {std::pair<unsigned char, unsigned char>{'"', ','},
                                               {'\'', ';'}, {0xC3, 0xA7}, {0, '\t'}}) {
            std::uint64_t want[4] = {};
            for (unsigned i = 0; i < 64; ++i) {
                const unsigned char c = p[i];
                const std::uint64_t bit = std::uint64_t{1} << i;
                if (c == quote) want[0] |= bit;
                if (c == delimiter) want[1] |= bit;
                if (c == '\r') want[2] |= bit;
                if (c == '\n') want[3] |= bit;
            }
            for (std::size_t f = 0; f < fns.size(); ++f) {
                const quillon::LineMasks m = fns[f](p, quote, delimiter);
                EXPECT_EQ(m.quote, want[0]) << "implementation " << f;
                EXPECT_EQ(m.delimiter, want[1]) << "implementation " << f;
                EXPECT_EQ(m.cr, want[2]) << "implementation " << f;
                EXPECT_EQ(m.lf, want[3]) << "implementation " << f;
            }
        }
    }
}

// Runs of the counted byte long enough to fill a byte counter many times
// over, at lengths around the vector width, and mixed text.
TEST(ScanTest, CountByteAgreesWithAPlainCount) {
    reference::InputGenerator gen(65);
    const std::size_t sizes[] = {0, 1, 15, 16, 17, 255 * 16, 255 * 16 + 1, 10000};
    for (const std::size_t size : sizes) {
        for (const std::string& text :
             {std::string(size, ','), std::string(size, 'x'), scan_bytes(gen, size)}) {
            const auto* p = reinterpret_cast<const unsigned char*>(text.data());
            for (const unsigned char b : {',', 'x', '\xEF'}) {
                EXPECT_EQ(quillon::count_byte(p, text.size(), b),
                          static_cast<std::size_t>(std::count(text.begin(), text.end(), static_cast<char>(b))))
                    << "size " << size << " byte " << int{b};
            }
        }
    }
}

// next() from offsets past the last stop, and next_after() from the stop
// itself (the next byte on), mixed at random: across block ends and runs of
// adjacent stops.
// Stretches without a set byte from part of a block to many blocks, with
// and without a byte of 0x80 or above: the scanner passes the longer ones in
// one call to the skip function, whose implementations must agree with a
// plain loop on where they stop and what they passed.
TEST(ScanTest, LongStretchesWithoutASetByte) {
    const quillon::ByteSet4 set = kSets[0];
    const std::vector<quillon::BlockSkipFn> skips = quillon::block_skip_implementations();
    constexpr std::size_t kNone = ~std::size_t{0};
    for (const std::size_t lead : {0, 1, 40}) {
        for (const std::size_t length : {0, 1, 63, 64, 65, 127, 128, 129, 191, 200, 1000, 4096}) {
            for (const std::size_t high_at : {kNone, std::size_t{0}, length / 2, length - 1}) {
                if (high_at != kNone && high_at >= length) continue;
                for (const bool stop : {true, false}) {
                    std::string text = std::string(lead, 'x') + "," + std::string(length, 'a');
                    if (high_at != kNone) text[lead + 1 + high_at] = '\xC3';
                    text += stop ? ",b" : "b";
                    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
                    SCOPED_TRACE("lead " + std::to_string(lead) + " length " +
                                 std::to_string(length) + " high at " + std::to_string(high_at) +
                                 " stop " + std::to_string(stop));
                    const quillon::ScanTarget target(p, text.size(), set);
                    quillon::BlockScanner scanner(target);
                    std::uint16_t flags = 0;
                    EXPECT_EQ(scanner.next(lead + 1, flags, 0x4000),
                              stop ? lead + 1 + length : text.size());
                    EXPECT_EQ(flags != 0, high_at != kNone);
                    for (std::size_t base = 0; base < text.size(); base += 64) {
                        std::size_t want = base;
                        bool want_high = false;
                        for (; text.size() - want >= 64; want += 64) {
                            const std::string_view block(text.data() + want, 64);
                            if (block.find_first_of(",\"\r\n") != std::string_view::npos) break;
                            want_high = want_high || block.find('\xC3') != std::string_view::npos;
                        }
                        for (const quillon::BlockSkipFn skip : skips) {
                            const quillon::BlockSkip got = skip(p, base, text.size(), set);
                            EXPECT_EQ(got.base, want) << "from " << base;
                            EXPECT_EQ(got.found, text.size() - want >= 64) << "from " << base;
                            EXPECT_EQ(got.passed_high, want_high) << "from " << base;
                            if (got.found) {
                                EXPECT_EQ(got.masks.match,
                                          quillon::block_mask_function()(p + want, set).match);
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(ScanTest, ScannerFindsTheNextSetByte) {
    reference::InputGenerator gen(65);
    for (int n = 0; n < 400; ++n) {
        const std::string text = scan_bytes(gen, gen.below(300));
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        for (const quillon::ByteSet4& set : kSets) {
            const quillon::ScanTarget target(p, text.size(), set);
            quillon::BlockScanner scanner(target);
            std::size_t pos = 0;
            bool after_stop = false;
            while (pos <= text.size()) {
                std::size_t want = pos;
                bool want_high = false;
                while (want < text.size() && !in_set(p[want], set)) want_high |= p[want++] >= 0x80;
                std::uint16_t flags = 0;
                const std::size_t got = after_stop ? scanner.next_after(pos - 1, flags, 0x4000)
                                                   : scanner.next(pos, flags, 0x4000);
                ASSERT_EQ(got, want) << reference::escaped(text) << " from " << pos
                                     << (after_stop ? " after a stop" : "");
                ASSERT_EQ(flags == 0x4000, want_high) << reference::escaped(text) << " from " << pos;
                EXPECT_EQ(quillon::find_first_of(p, pos, text.size(), set), want);
                if (want >= text.size()) break;
                after_stop = gen.below(3) != 0;
                pos = after_stop ? want + 1 : want + 1 + gen.below(3);
            }
        }
    }
}

TEST(ScanTest, HighBytesAreFound) {
    reference::InputGenerator gen(66);
    for (int n = 0; n < 2000; ++n) {
        const std::string text = scan_bytes(gen, gen.below(40));
        bool want = false;
        for (char c : text) want = want || static_cast<unsigned char>(c) >= 0x80;
        EXPECT_EQ(quillon::has_high_byte(reinterpret_cast<const unsigned char*>(text.data()),
                                         text.size()),
                  want)
            << reference::escaped(text);
    }
}

}  // namespace

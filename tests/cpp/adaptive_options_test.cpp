// The engine options that only the adaptive salvage sets: structure (preamble,
// repeated headers), decoding of text that is not UTF-8, and where each
// quarantined record lies in the input.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/options.hpp"
#include "engine/salvage.hpp"
#include "engine/text_decoding.hpp"
#include "reference_tokenizer.hpp"

namespace {

using quillon::FieldDecoding;
using quillon::QuarantineReason;
using quillon::SalvageOptions;
using Fields = std::vector<std::string>;

std::vector<Fields> rows_of(const quillon::SalvageResult& r) {
    std::vector<Fields> out;
    for (const quillon::RowView row : r.rows) out.push_back(row.to_strings());
    return out;
}

SalvageOptions given(std::size_t columns) {
    SalvageOptions o;
    o.delimiter = ',';
    o.expected_columns = columns;
    return o;
}

TEST(AdaptiveOptionsTest, PreambleAndRepeatedHeadersAreSetAsideWithTheirPlace) {
    const std::string input =
        "SALES REPORT,,\r\n,,\n\nid,name\n1,\"a\nb\"\nid,name\n2,c\nid,name,x\n";
    SalvageOptions o = given(2);
    o.preamble_rows = 3;
    o.drop_repeated_headers = true;
    const quillon::SalvageResult r = quillon::salvage_buffer(input, o);
    EXPECT_EQ(rows_of(r), (std::vector<Fields>{{"id", "name"}, {"1", "a\nb"}, {"2", "c"},
                                                {"id", "name,x"}}));
    EXPECT_EQ(r.total_rows, 8u);
    EXPECT_EQ(r.preamble_rows, 3u);
    EXPECT_EQ(r.repeated_header_rows, 1u);
    EXPECT_EQ(r.merged_rows, 1u);
    ASSERT_EQ(r.quarantine.size(), 4u);
    const struct {
        QuarantineReason code;
        quillon::RecordPlace place;
    } expected[] = {
        {QuarantineReason::kPreamble, {1, 1, 0, 14}},
        {QuarantineReason::kPreamble, {2, 2, 16, 18}},
        {QuarantineReason::kPreamble, {3, 3, 19, 19}},
        {QuarantineReason::kRepeatedHeader, {7, 7, 36, 43}},
    };
    for (std::size_t i = 0; i < r.quarantine.size(); ++i) {
        const quillon::QuarantinedRow q = r.quarantine[i];
        EXPECT_EQ(q.code, expected[i].code) << i;
        EXPECT_EQ(q.place.first_line, expected[i].place.first_line) << i;
        EXPECT_EQ(q.place.line, expected[i].place.line) << i;
        EXPECT_EQ(input.substr(q.place.begin, q.place.end - q.place.begin),
                  input.substr(expected[i].place.begin,
                               expected[i].place.end - expected[i].place.begin))
            << i;
    }
}

// A header repeated with other field boundaries is data, and a file whose
// first record is never repeated loses nothing.
TEST(AdaptiveOptionsTest, OnlyExactRepeatsOfTheHeaderAreSetAside) {
    SalvageOptions o = given(2);
    o.drop_repeated_headers = true;
    const quillon::SalvageResult r =
        quillon::salvage_buffer("ab,c\na,bc\n\"ab\",c\nab,c \n", o);
    EXPECT_EQ(rows_of(r), (std::vector<Fields>{{"ab", "c"}, {"a", "bc"}, {"ab", "c "}}));
    EXPECT_EQ(r.repeated_header_rows, 1u);
}

// The quarantined record's span, for a quoted field across lines and for a
// record cut off by the end of the buffer.
TEST(AdaptiveOptionsTest, SpansCoverTheRecordWithoutItsLineBreak) {
    SalvageOptions o = given(3);
    o.fill_ragged_rows = false;
    const std::string input = "a,b,c\n\"x\r\ny\",z\r\nlast";
    const quillon::SalvageResult r = quillon::salvage_buffer(input, o);
    ASSERT_EQ(r.quarantine.size(), 2u);
    const quillon::RecordPlace first = r.quarantine[0].place;
    EXPECT_EQ(input.substr(first.begin, first.end - first.begin), "\"x\r\ny\",z");
    EXPECT_EQ(first.first_line, 2u);
    EXPECT_EQ(first.line, 3u);
    const quillon::RecordPlace last = r.quarantine[1].place;
    EXPECT_EQ(input.substr(last.begin, last.end - last.begin), "last");
    EXPECT_EQ(last.first_line, 4u);
}

struct DecodingCase {
    std::string_view input;
    FieldDecoding decoding;
    std::string_view expected;
    bool single_byte;
};

TEST(AdaptiveOptionsTest, FieldsDecodeByTheChosenRule) {
    // clang-format off
    const DecodingCase cases[] = {
        {"Jos\xE9", FieldDecoding::kUtf8Replace, "Jos\xEF\xBF\xBD", false},
        {"Jos\xE9 Garc\xED" "a", FieldDecoding::kUtf8Windows1252Fallback, "Jos\xC3\xA9 Garc\xC3\xAD" "a", true},
        {"caf\xC3\xA9 \x80", FieldDecoding::kUtf8Windows1252Fallback, "caf\xC3\xA9 \xE2\x82\xAC", true},
        {"caf\xC3\xA9", FieldDecoding::kUtf8Windows1252Fallback, "caf\xC3\xA9", false},
        {"\xC3\xA9", FieldDecoding::kWindows1252, "\xC3\x83\xC2\xA9", true},
        {"\x81\x8D\x9F", FieldDecoding::kWindows1252, "\xC2\x81\xC2\x8D\xC5\xB8", true},
        {"\x80\xFF", FieldDecoding::kLatin1, "\xC2\x80\xC3\xBF", true},
        {"\xE2\x82", FieldDecoding::kUtf8Windows1252Fallback, "\xC3\xA2\xE2\x80\x9A", true},
        {"a\x81" "b", FieldDecoding::kUtf8Windows1252Fallback, "a\xEF\xBF\xBD" "b", false},
    };
    // clang-format on
    for (const DecodingCase& c : cases) {
        SCOPED_TRACE(reference::escaped(c.input));
        std::string out(quillon::kMaxDecodedPerByte * c.input.size(), '\0');
        const quillon::DecodedField d = quillon::decode_field(
            reinterpret_cast<const unsigned char*>(c.input.data()), c.input.size(), out.data(),
            c.decoding);
        out.resize(d.written);
        EXPECT_EQ(reference::escaped(out), reference::escaped(c.expected));
        EXPECT_EQ(d.single_byte_used, c.single_byte);

        // The same field through a salvage run, and the count of such rows.
        SalvageOptions o = given(0);
        o.decoding = c.decoding;
        const std::string input = "ok\n" + std::string(c.input) + "\n";
        const quillon::SalvageResult r = quillon::salvage_buffer(input, o);
        ASSERT_EQ(r.rows.size(), 2u);
        EXPECT_EQ(reference::escaped(r.rows[1].to_strings()[0]), reference::escaped(c.expected));
        const bool counted = c.single_byte && c.decoding == FieldDecoding::kUtf8Windows1252Fallback;
        EXPECT_EQ(r.reencoded_rows, counted ? 1u : 0u);
    }
}

}  // namespace

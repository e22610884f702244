#include "detection/encoding_detection.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using quillon::InputEncoding;
using namespace std::literals;

// UTF-16 code units of code points, little- or big-endian bytes.
std::string utf16(const std::vector<std::uint32_t>& code_points, bool big_endian) {
    std::vector<std::uint16_t> units;
    for (const std::uint32_t cp : code_points) {
        if (cp >= 0x10000) {
            units.push_back(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    std::string out;
    for (const std::uint16_t u : units) {
        const char high = static_cast<char>(u >> 8);
        const char low = static_cast<char>(u & 0xFF);
        out += big_endian ? high : low;
        out += big_endian ? low : high;
    }
    return out;
}

std::vector<std::uint32_t> ascii(std::string_view s) { return {s.begin(), s.end()}; }

TEST(EncodingDetectionTest, Guesses) {
    struct Case {
        std::string name;
        std::string input;
        InputEncoding encoding;
        std::size_t bom_length;
    };
    const std::string table = "id,name\n1,Ada\n2,Grace\n";
    // clang-format off
    const std::vector<Case> cases = {
        {"Empty", "", InputEncoding::kUtf8, 0},
        {"OneByte", "a", InputEncoding::kUtf8, 0},
        {"Ascii", table, InputEncoding::kUtf8, 0},
        {"Utf8", "name\nJos\xC3\xA9 Garc\xC3\xAD" "a\n", InputEncoding::kUtf8, 0},
        {"Utf8Mark", "\xEF\xBB\xBF" + table, InputEncoding::kUtf8, 3},
        {"Utf8MarkWithBadBytes", "\xEF\xBB\xBFJos\xE9\n", InputEncoding::kUtf8With1252Rows, 3},
        {"Utf8WithUndefinedBytesOnly", "caf\xC3\xA9\nx\x81y\x9D\n", InputEncoding::kUtf8, 0},
        {"Utf16LeMark", "\xFF\xFE" + utf16(ascii(table), false), InputEncoding::kUtf16Le, 2},
        {"Utf16BeMark", "\xFE\xFF" + utf16(ascii(table), true), InputEncoding::kUtf16Be, 2},
        {"Utf16LeMarkOnly", "\xFF\xFE", InputEncoding::kUtf16Le, 2},
        {"Utf16LeNoMark", utf16(ascii(table), false), InputEncoding::kUtf16Le, 0},
        {"Utf16BeNoMark", utf16(ascii(table), true), InputEncoding::kUtf16Be, 0},
        {"Utf16LeNoMarkCyrillicHalf",
         utf16({'1', ',', 0x41C, 0x438, 0x440, '\n', '2', ',', 0x414, 0x430, '\n'}, false),
         InputEncoding::kUtf16Le, 0},
        {"Utf8WithStrayNuls", "a\0,b\0,c\n1\0\0,2,3\n"s, InputEncoding::kUtf8, 0},
        {"NulsOnBothParities", std::string(64, '\0'), InputEncoding::kUtf8, 0},
        {"Windows1252", "name\nJos\xE9 Garc\xED" "a\n\x93quoted\x94\n", InputEncoding::kWindows1252, 0},
        {"Windows1252Euro", "price\n5 \x80\n", InputEncoding::kWindows1252, 0},
        {"UndefinedIn1252", "name\nJos\xE9\x81\n", InputEncoding::kLatin1, 0},
        {"MostlyHighBytes", "\xE9\xE8\xEA\xEB,\xE0\n", InputEncoding::kLatin1, 0},
        {"ControlBytes", "a\x01\x02\x03\x04\xE9\n", InputEncoding::kLatin1, 0},
        {"Utf8With1252Row", "name\nJos\xC3\xA9\nGarc\xED" "a\n", InputEncoding::kUtf8With1252Rows, 0},
        {"Utf8With1252RowFirst", "Garc\xED" "a\nJos\xC3\xA9\n", InputEncoding::kUtf8With1252Rows, 0},
        {"TruncatedUtf8AtEnd", "Jos\xC3", InputEncoding::kWindows1252, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const quillon::EncodingGuess g = quillon::detect_encoding(c.input);
        EXPECT_EQ(quillon::encoding_name(g.encoding), quillon::encoding_name(c.encoding));
        EXPECT_EQ(g.bom_length, c.bom_length);
    }
}

TEST(EncodingDetectionTest, Names) {
    EXPECT_EQ(quillon::encoding_name(InputEncoding::kUtf8), "utf-8");
    EXPECT_EQ(quillon::encoding_name(InputEncoding::kUtf8With1252Rows), "utf-8+windows-1252");
    EXPECT_EQ(quillon::encoding_name(InputEncoding::kWindows1252), "windows-1252");
    EXPECT_EQ(quillon::encoding_name(InputEncoding::kLatin1), "latin-1");
    EXPECT_EQ(quillon::encoding_name(InputEncoding::kUtf16Le), "utf-16-le");
    EXPECT_EQ(quillon::encoding_name(InputEncoding::kUtf16Be), "utf-16-be");
}

TEST(EncodingDetectionTest, TranscodesUtf16) {
    struct Case {
        std::string name;
        std::vector<std::uint32_t> code_points;
        std::string odd_tail;
        std::string expected;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"Empty", {}, "", ""},
        {"Ascii", ascii("id,name\r\n1,Ada\n"), "", "id,name\r\n1,Ada\n"},
        {"TwoAndThreeBytes", {'J', 'o', 's', 0xE9, ',', 0x20AC}, "", "Jos\xC3\xA9,\xE2\x82\xAC"},
        {"SurrogatePair", {'a', 0x1F600, 'b'}, "", "a\xF0\x9F\x98\x80" "b"},
        {"NulUnit", {'a', 0, 'b'}, "", "a\0b"s},
        {"LoneHighSurrogate", {'a', 0xD800, 'b'}, "", "a\xEF\xBF\xBD" "b"},
        {"LoneLowSurrogate", {0xDC00, 'b'}, "", "\xEF\xBF\xBD" "b"},
        {"HighSurrogateAtEnd", {'a', 'b', 'c', 'd', 'e', 0xDBFF}, "", "abcde\xEF\xBF\xBD"},
        {"TwoHighSurrogates", {0xD800, 0xD800, 0xDC00}, "", "\xEF\xBF\xBD\xF0\x90\x80\x80"},
        {"OddLastByte", ascii("abcdefgh"), "x", "abcdefgh\xEF\xBF\xBD"},
        {"OnlyAnOddByte", {}, "x", "\xEF\xBF\xBD"},
    };
    // clang-format on
    for (const Case& c : cases) {
        for (const bool big_endian : {false, true}) {
            SCOPED_TRACE(c.name + (big_endian ? " big-endian" : " little-endian"));
            // Surrogates are passed as lone units, not paired, by this helper.
            std::string bytes = utf16(c.code_points, big_endian) + c.odd_tail;
            EXPECT_EQ(quillon::transcode_utf16_to_utf8(bytes, big_endian), c.expected);
        }
    }
}

TEST(EncodingDetectionTest, MapsTranscodedOffsetsBack) {
    // a é € 😀 then an odd byte: UTF-8 lengths 1 2 3 4 3, UTF-16 bytes 2 2 2 4 1.
    const std::string bytes = utf16({'a', 0xE9, 0x20AC, 0x1F600}, false) + "z";
    const std::string text = quillon::transcode_utf16_to_utf8(bytes, false);
    ASSERT_EQ(text.size(), 13u);
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {
        {0, 0}, {1, 2}, {3, 4}, {6, 6}, {10, 10}, {13, 11}, {2, 4}, {100, 11},
    };
    for (const auto& [utf8_offset, utf16_offset] : expected) {
        EXPECT_EQ(quillon::utf16_offset_of(text, utf8_offset, bytes.size()), utf16_offset)
            << "offset " << utf8_offset;
    }
}

}  // namespace

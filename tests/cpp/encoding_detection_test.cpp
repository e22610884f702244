#include "detection/encoding_detection.hpp"
#include "detection/legacy_cjk.hpp"

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
    for (const InputEncoding e : {InputEncoding::kUtf8, InputEncoding::kLatin1, InputEncoding::kBig5,
                                  InputEncoding::kGb18030, InputEncoding::kShiftJis, InputEncoding::kEucKr}) {
        EXPECT_EQ(quillon::encoding_named(quillon::encoding_name(e)), e);
    }
    EXPECT_EQ(quillon::encoding_named("shift-jis"), std::nullopt);
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

// A table in each encoding, and Western text that must stay Windows-1252.
const std::string kGbTable =
    "id,\xD0\xD5\xC3\xFB,\xB3\xC7\xCA\xD0\n1,\xCD\xF5\xD0\xA1\xC3\xF7,\xB1\xB1\xBE\xA9\xCA\xD0\n"
    "2,\xC0\xEE\xBB\xAA,\xC9\xCF\xBA\xA3\xCA\xD0\n3,\xD5\xC5\xCE\xB0,\xB9\xE3\xD6\xDD\xCA\xD0\n";
const std::string kBig5Table =
    "id,\xA9m\xA6W,\xAB\xB0\xA5\xAB\n1,\xB3\xAF\xA4j\xA4\xE5,\xBBO\xA5_\xA5\xAB\n"
    "2,\xAAL\xAC\xFC\xAC\xC2,\xB0\xAA\xB6\xAF\xA5\xAB\n3,\xB6\xC0\xA7\xD3\xA9\xFA,\xBBO\xA4\xA4\xA5\xAB\n";
const std::string kShiftJisTable =
    "id,\x96\xBC\x91O,\x8FZ\x8F\x8A\n1,\x8ER\x93" "c\x91\xBE\x98Y,\x93\x8C\x8B\x9E\x93s\x90V\x8Fh\x8B\xE6\n"
    "2,\x8D\xB2\x93\xA1\x89\xD4\x8Eq,\x91\xE5\x8D\xE3\x95{\x91\xE5\x8D\xE3\x8Es\n"
    "3,\x97\xE9\x96\xD8\x88\xEA\x98Y,\x88\xA4\x92m\x8C\xA7\x96\xBC\x8C\xC3\x89\xAE\x8Es\n";
const std::string kEucKrTable =
    "id,\xC0\xCC\xB8\xA7,\xB5\xB5\xBD\xC3\n1,\xB1\xE8\xB9\xCE\xC1\xD8,\xBC\xAD\xBF\xEF\xC6\xAF\xBA\xB0\xBD\xC3\n"
    "2,\xC0\xCC\xBC\xAD\xBF\xAC,\xBA\xCE\xBB\xEA\xB1\xA4\xBF\xAA\xBD\xC3\n"
    "3,\xB9\xDA\xC1\xF6\xC8\xC6,\xB4\xEB\xB1\xB8\xB1\xA4\xBF\xAA\xBD\xC3\n";

TEST(EncodingDetectionTest, TellsDoubleByteTextFromWestern) {
    struct Case {
        std::string name;
        std::string input;
        InputEncoding encoding;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"Gb18030", kGbTable, InputEncoding::kGb18030},
        {"Big5", kBig5Table, InputEncoding::kBig5},
        {"ShiftJis", kShiftJisTable, InputEncoding::kShiftJis},
        {"EucKr", kEucKrTable, InputEncoding::kEucKr},
        // iPhone手機殼, USB充電線: the trail bytes of 充 and 電 are ASCII letters.
        {"Big5AfterLatinLetters", "sku,desc\nA1,iPhone\xA4\xE2\xBE\xF7\xB4\xDF\nB2,USB\xA5R\xB9q\xBDu\n",
         InputEncoding::kBig5},
        {"Utf8Hanzi", "id,\xE5\xA7\x93\xE5\x90\x8D\n1,\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E\n", InputEncoding::kUtf8},
        // One GBK row in a UTF-8 file: the UTF-8 sequences outweigh it.
        {"Utf8WithOneGbRow", "name\nJos\xC3\xA9\nZo\xC3\xAB\nRen\xC3\xA9\nM\xC3\xBCller\n\xCD\xF5\xD0\xA1\xC3\xF7\n",
         InputEncoding::kUtf8With1252Rows},
        {"French", "Pr\xE9nom;Ville\nRen\xE9;Besan\xE7on\nAna\xEFs;Orl\xE9" "ans\n\xAB \xC9lodie \xBB;N\xEEmes\n"
                   "H\xE9l\xE8ne;Ch\xE2lons\n", InputEncoding::kWindows1252},
        {"German", "Name,Stra\xDF" "e\nJ\xFCrgen M\xFCller,K\xF6nigstra\xDF" "e 5\nBj\xF6rn Wei\xDF,Gr\xF6\xDF"
                   "enweg 12\n\xC4nne \xD6zt\xFCrk,\xDC" "bersee\n", InputEncoding::kWindows1252},
        {"Spanish", "A\xF1o,Se\xF1or\n2024,Jos\xE9 N\xFA\xF1" "ez\n\xBFQu\xE9?,\xA1Ol\xE9!\nMar\xED"
                    "a,Pe\xF1" "alol\xE9n\n", InputEncoding::kWindows1252},
        // Each "ção" and "ções" reads as two common Hanzi.
        {"Portuguese", "Descri\xE7\xE3o,Situa\xE7\xE3o\nA\xE7\xF5" "es,Informa\xE7\xF5" "es\nCora\xE7\xE3o,"
                       "S\xE3o Jo\xE3o\nOrganiza\xE7\xE3o,Instala\xE7\xF5" "es\n", InputEncoding::kWindows1252},
        // Too many high bytes for Windows-1252 text, but not double-byte text either.
        {"PortugueseWordsOnly", "a\n\xE7\xE3o\n\xE7\xF5" "es\n\xE7\xE3o\n", InputEncoding::kLatin1},
        {"Currency", "item;price\nbook;5 \x80\ntea;3 \xA3\nsushi;\xA5" "1200\n", InputEncoding::kWindows1252},
        {"SmartQuotes", "quote\n\x93quoted\x94 \x96 \x91single\x92 \x97 \x85\n\x84" "Anf\xFChrung\x93 \x82so\x91\n",
         InputEncoding::kWindows1252},
        {"OneHanziPair", "a\n\xCD\xF5\n", InputEncoding::kLatin1},
        // 21°C and 5µg are common Hanzi in Big5 (B0 43, B5 67), but each stands alone.
        {"Units", "sample;temp;dose\n1;21\xB0" "C;5\xB5g\n2;19\xB0" "C;3\xB5m\n3;25\xB0" "C;7\xB5L\n4;70\xB0"
                  "F;2\xB5g\n", InputEncoding::kWindows1252},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quillon::encoding_name(quillon::detect_encoding(c.input).encoding),
                  quillon::encoding_name(c.encoding));
    }
}

TEST(EncodingDetectionTest, TranscodesDoubleByteText) {
    using quillon::LegacyCjk;
    struct Case {
        std::string name;
        LegacyCjk encoding;
        std::string input;
        std::string expected;
        bool round_trips;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"GbText", LegacyCjk::kGb18030, "1,\xCD\xF5\n", "1,\xE7\x8E\x8B\n", true},
        {"GbFourBytes", LegacyCjk::kGb18030, "\x81\x30\x81\x30|\x94\x39\xFC\x36",
         "\xC2\x80|\xF0\x9F\x98\x80", true},
        {"GbFourByteOutOfRange", LegacyCjk::kGb18030, "\xFE\x39\xFE\x39", "\xEF\xBF\xBD" "9\xEF\xBF\xBD" "9", false},
        // Read by glibc as U+1E3F, by Python's gb18030 as a private-use one.
        {"GbChangedMapping", LegacyCjk::kGb18030, "\xA8\xBC", "\xE1\xB8\xBF", false},
        // A backslash as the trail byte is part of the character.
        {"ShiftJisBackslashTrail", LegacyCjk::kShiftJis, "\x95\x5C,\x83\x5C\n", "\xE8\xA1\xA8,\xE3\x82\xBD\n", true},
        {"ShiftJisHalfWidthKana", LegacyCjk::kShiftJis, "\xB1" "a", "\xEF\xBD\xB1" "a", true},
        // NEC's duplicate of an IBM extension: code page 932 writes the IBM form.
        {"ShiftJisNecDuplicate", LegacyCjk::kShiftJis, "\xED\x40", "\xE7\xBA\x8A", false},
        {"Big5BackslashTrail", LegacyCjk::kBig5, "\xA5\x5C\\", "\xE5\x8A\x9F\\", true},
        {"EucKrExtendedHangul", LegacyCjk::kEucKr, "\x8C\x63", "\xEB\x98\xA0", true},
        // A lead byte before a line break or at the end starts nothing: the
        // line break stays one.
        {"LeadBeforeLineBreak", LegacyCjk::kBig5, "a\xA4\nb", "a\xEF\xBF\xBD\nb", false},
        {"LeadAtEnd", LegacyCjk::kEucKr, "ab\xB0", "ab\xEF\xBF\xBD", false},
        {"InvalidPairReadsTrailAfresh", LegacyCjk::kEucKr, "\xFF\xB0\xA1", "\xEF\xBF\xBD\xEA\xB0\x80", false},
        {"Empty", LegacyCjk::kShiftJis, "", "", true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = quillon::transcode_cjk_to_utf8(c.input, c.encoding);
        EXPECT_EQ(text, c.expected);
        EXPECT_EQ(quillon::cjk_round_trips(c.input, c.encoding), c.round_trips);
        EXPECT_EQ(quillon::cjk_input_length(c.input, text.size(), c.encoding), c.input.size());
        // Block by block, a character cut at a block's end is finished by the next.
        for (std::size_t block = 1; block <= 5; ++block) {
            std::string streamed;
            std::string pending;
            for (std::size_t at = 0; at < c.input.size(); at += block) {
                pending += c.input.substr(at, block);
                pending.erase(0, quillon::append_cjk_as_utf8(pending, c.encoding, false, streamed));
            }
            quillon::append_cjk_as_utf8(pending, c.encoding, true, streamed);
            EXPECT_EQ(streamed, c.expected) << "blocks of " << block;
        }
    }
}

TEST(EncodingDetectionTest, MapsDoubleByteOffsetsBack) {
    // 表 (2 bytes, 3 in UTF-8), a, ｱ (1 byte, 3), a bad byte FD (1, 3), b.
    const std::string input = "\x95\x5C" "a\xB1\xFD" "b";
    const std::string text = quillon::transcode_cjk_to_utf8(input, quillon::LegacyCjk::kShiftJis);
    ASSERT_EQ(text.size(), 11u);
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {
        {0, 0}, {1, 2}, {3, 2}, {4, 3}, {7, 4}, {10, 5}, {11, 6}, {50, 6},
    };
    for (const auto& [utf8_length, input_length] : expected) {
        EXPECT_EQ(quillon::cjk_input_length(input, utf8_length, quillon::LegacyCjk::kShiftJis),
                  input_length)
            << "length " << utf8_length;
    }
}

}  // namespace

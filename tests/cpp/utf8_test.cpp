#include "engine/utf8.hpp"
#include "engine/utf8_validation.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reference_tokenizer.hpp"

namespace {

using namespace std::literals;

constexpr std::string_view kFffd = "\xEF\xBF\xBD";

const unsigned char* bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string lossy(std::string_view in) {
    std::string out(3 * in.size(), '\0');
    out.resize(quillon::decode_utf8_lossy(bytes(in), in.size(), out.data()));
    return out;
}

// Every validator, and the one chosen for this processor, answer as the
// reference does.
void expect_validators_agree(std::string_view text) {
    const bool valid = reference::valid_prefix(text) == text.size();
    EXPECT_EQ(quillon::is_valid_utf8(bytes(text), text.size()), valid);
    for (const quillon::Utf8ValidatorFn fn : quillon::utf8_validator_implementations()) {
        EXPECT_EQ(fn(bytes(text), text.size()), valid);
    }
}

std::string fffd(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += kFffd;
    return s;
}

struct DecodeCase {
    std::string_view input;
    std::string expected;
};

std::vector<DecodeCase> decode_cases() {
    // clang-format off
    return {
        {"", ""},
        {"abc", "abc"},
        {"\0x\0"sv, "\0x\0"s},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"\xEF\xBB\xBF", "\xEF\xBB\xBF"},
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"\xEE\x80\x80", "\xEE\x80\x80"},
        {"a\xFF" "b", "a"s + fffd(1) + "b"},
        {"\xFF\xFE", fffd(2)},
        {"\x80", fffd(1)},
        {"\x80\x80\x80", fffd(3)},
        {"\xBF", fffd(1)},
        {"\xC3", fffd(1)},
        {"\xC3" "a", fffd(1) + "a"},
        {"\xC3\xC3\xA9", fffd(1) + "\xC3\xA9"},
        {"\xEF\xBB", fffd(1)},
        {"\xE2\x82", fffd(1)},
        {"\xE2\x82" "a", fffd(1) + "a"},
        {"\xE2\x82\xE2\x82\xAC", fffd(1) + "\xE2\x82\xAC"},
        {"\xF0\x9F\x98", fffd(1)},
        {"\xF0\x80", fffd(2)},
        {"\xF0\x80\x80\x80", fffd(4)},
        {"\xF0\x8F\xBF\xBF", fffd(4)},
        {"\xED\xA0\x80", fffd(3)},
        {"\xED\xBF\xBF", fffd(3)},
        {"\xC0\xAF", fffd(2)},
        {"\xC1\xBF", fffd(2)},
        {"\xE0\x80\xAF", fffd(3)},
        {"\xE0\x9F\xBF", fffd(3)},
        {"\xF4\x90\x80\x80", fffd(4)},
        {"\xF5\x80\x80\x80", fffd(4)},
        {"\xF8\x88\x80\x80\x80", fffd(5)},
        {"\xFE\xFF", fffd(2)},
        {"\xE1\x80\xC0", fffd(2)},
        {"\xF1\x80\x80" "a", fffd(1) + "a"},
        {"\xF1\x80\x80\xC3\xA9", fffd(1) + "\xC3\xA9"},
        // The Unicode Standard's example for U+FFFD substitution (Table 3-8).
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a"s + fffd(3) + "b" + fffd(1) + "c" + fffd(2) + "d"},
        // clang-format on
    };
}

TEST(Utf8Test, LossyDecodingReplacesEachMaximalSubpart) {
    for (const DecodeCase& c : decode_cases()) {
        EXPECT_EQ(lossy(c.input), c.expected) << reference::escaped(c.input);
        EXPECT_EQ(reference::decode_lossy(c.input), c.expected)
            << "the reference disagrees on " << reference::escaped(c.input);
    }
}

struct PrefixCase {
    std::string_view input;
    std::size_t expected;
};

TEST(Utf8Test, ValidPrefixStopsAtTheFirstIllFormedByte) {
    const PrefixCase cases[] = {
        {"", 0},
        {"abc", 3},
        {"\0\0"sv, 2},
        {"a\xC3\xA9", 3},
        {"a\xC3", 1},
        {"ab\xE2\x82", 2},
        {"\xE2\x82\xAC\xFF", 3},
        {"\xF0\x9F\x98\x80!", 5},
        {"\xF0\x80\x80\x80", 0},
        {"\xED\xA0\x80", 0},
        {"\xC0\xAF", 0},
        {"\xF4\x90\x80\x80", 0},
        {"\xF4\x8F\xBF\xBF", 4},
        {"x\x80", 1},
    };
    for (const PrefixCase& c : cases) {
        EXPECT_EQ(quillon::valid_utf8_prefix(bytes(c.input), c.input.size()), c.expected)
            << reference::escaped(c.input);
        EXPECT_EQ(reference::valid_prefix(c.input), c.expected) << reference::escaped(c.input);
    }
}

// Long texts take the block paths: an ill-formed byte or sequence at every
// offset of a few blocks, in ASCII and in multi-byte text.
TEST(Utf8Test, LongTextsAgreeWithReferenceAtEveryOffset) {
    const std::string_view fillers[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    const std::string_view faults[] = {
        "\xFF",     "\x80",         "\xC3",     "\xE2\x82",         "\xED\xA0\x80",     "\xF0\x80",
        "\xC0\xAF", "\xE0\x9F\xBF", "\xC3\xC3", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"};
    // Every prefix of mixed text: sequences cut off at every place of a
    // block, the block's last three bytes included.
    std::string mixed = "a";
    for (std::string_view filler : fillers) {
        for (int k = 0; k < 12; ++k) mixed += filler;
    }
    for (std::size_t cut = 0; cut <= mixed.size(); ++cut) {
        expect_validators_agree(std::string_view(mixed).substr(0, cut));
        expect_validators_agree(std::string_view(mixed).substr(cut));
    }
    for (std::string_view filler : fillers) {
        for (std::string_view fault : faults) {
            for (std::size_t at = 0; at < 140; ++at) {
                std::string text;
                while (text.size() < at) text += filler;
                text += fault;
                while (text.size() < 200) text += filler;
                SCOPED_TRACE(reference::escaped(filler) + " with " + reference::escaped(fault) +
                             " at " + std::to_string(at));
                EXPECT_EQ(quillon::valid_utf8_prefix(bytes(text), text.size()),
                          reference::valid_prefix(text));
                EXPECT_EQ(lossy(text), reference::decode_lossy(text));
                expect_validators_agree(text);
                // Cut short inside the fault: a sequence open at the end.
                expect_validators_agree(std::string_view(text).substr(0, at + 1));
            }
        }
    }
}

TEST(Utf8Test, RandomBytesAgreeWithReference) {
    const std::string_view pieces[] = {
        "a",    " ",        "\x80", "\xBF",     "\xC2", "\xC3\xA9", "\xDF",
        "\xE0", "\xE0\xA0", "\xED", "\xED\x9F", "\xEF", "\xF0",     "\xF0\x90",
        "\xF4", "\xF4\x8F", "\xF5", "\xFF",     "\x90", "\xA0",     "\0"sv};
    reference::InputGenerator gen(31337);
    for (int n = 0; n < 5000; ++n) {
        std::string text;
        for (std::size_t k = gen.below(48); k > 0; --k)
            text += pieces[gen.below(std::size(pieces))];
        ASSERT_EQ(lossy(text), reference::decode_lossy(text)) << reference::escaped(text);
        ASSERT_EQ(quillon::valid_utf8_prefix(bytes(text), text.size()),
                  reference::valid_prefix(text))
            << reference::escaped(text);
        expect_validators_agree(text);
    }
}

TEST(Utf8Test, EncodesAByteAsItsCodePoint) {
    const struct {
        std::uint8_t byte;
        std::string_view expected;
    } cases[] = {
        {0x00, "\0"sv},     {0x2C, ","},        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"}, {0xA7, "\xC2\xA7"}, {0xBF, "\xC2\xBF"},
        {0xC0, "\xC3\x80"}, {0xC3, "\xC3\x83"}, {0xFF, "\xC3\xBF"},
    };
    for (const auto& c : cases) {
        char out[2];
        const std::size_t n = quillon::encode_byte_as_code_point(c.byte, out);
        EXPECT_EQ(std::string_view(out, n), c.expected) << int{c.byte};
    }
}

}  // namespace

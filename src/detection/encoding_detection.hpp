// Which character encoding an input is in, and reading UTF-16 as UTF-8.
//
// The engine works on UTF-8 bytes. Spreadsheet programs also export UTF-16
// ("Unicode text"), and older Windows programs Windows-1252, whose accented
// letters would otherwise all turn into U+FFFD; a UTF-8 file may hold rows
// pasted from a Windows-1252 one. The guess is made once per input, from its
// bytes alone; a UTF-16 input is transcoded whole before anything else reads
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <optional>
#include <string_view>

#include "detection/legacy_cjk.hpp"

namespace quillon {

enum class InputEncoding : std::uint8_t {
    kUtf8,
    // Mostly UTF-8, with some bytes that are not: read those as Windows-1252.
    kUtf8With1252Rows,
    kWindows1252,
    kLatin1,
    kUtf16Le,
    kUtf16Be,
    kBig5,
    kGb18030,
    kShiftJis,
    kEucKr,
};

// "utf-8", "utf-8+windows-1252", "windows-1252", "latin-1", "utf-16-le",
// "utf-16-be", "big5", "gb18030", "shift_jis", "euc-kr".
std::string_view encoding_name(InputEncoding encoding) noexcept;

// The encoding of that name, if any.
std::optional<InputEncoding> encoding_named(std::string_view name) noexcept;

// The double-byte encoding that an input in `encoding` is transcoded from.
std::optional<LegacyCjk> legacy_cjk_of(InputEncoding encoding) noexcept;

struct EncodingGuess {
    InputEncoding encoding = InputEncoding::kUtf8;
    // Bytes of byte-order mark at the start: 3 for UTF-8, 2 for UTF-16, else 0.
    std::size_t bom_length = 0;

    friend bool operator==(const EncodingGuess&, const EncodingGuess&) = default;
};

// In this order: a UTF-16 byte-order mark (FF FE little-endian, FE FF
// big-endian); a UTF-8 one (EF BB BF: UTF-8, with Windows-1252 rows when the
// rest is not all UTF-8); UTF-16 without a mark, when the first
// 4 KiB have NUL bytes in alternate positions as UTF-16 text of mostly ASCII
// has; the whole buffer valid UTF-8; Big5, GB18030, Shift-JIS or EUC-KR
// when every byte of 0x80 and above (but a few) is part of a character of
// that encoding, most of those characters are of its common range (kana,
// the first level of Kanji or Hanzi, Hangul syllables), and fewer of those
// bytes form UTF-8 sequences; some of it valid multi-byte UTF-8 (then the
// rest is taken for Windows-1252 rows); no valid multi-byte sequence at
// all: Windows-1252 when every byte of 0x80 and above is defined there (81,
// 8D, 8F, 90, 9D are not) and the text looks like text (few control bytes,
// at most a third of bytes of 0x80 and above), else Latin-1, which any byte
// sequence is. Linear in the buffer; the UTF-8 check is word-at-a-time over
// ASCII.
EncodingGuess detect_encoding(std::string_view buffer) noexcept;

// The UTF-8 form of UTF-16 text (the mark already removed). A surrogate
// without its partner becomes U+FFFD, and so does an odd last byte. The
// result is allocated once.
std::string transcode_utf16_to_utf8(std::string_view bytes, bool big_endian);

// Where in the UTF-16 input (the mark already removed) the text before
// `utf8_offset` of its transcoding ends: every UTF-8 sequence of 1 to 3
// bytes came from one 2-byte unit, one of 4 bytes from two units, and a
// U+FFFD at the very end from the odd last byte when `input_size` is odd.
// An offset inside a sequence counts that whole sequence.
std::size_t utf16_offset_of(std::string_view transcoded, std::size_t utf8_offset,
                            std::size_t input_size) noexcept;

}  // namespace quillon

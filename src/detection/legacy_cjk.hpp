// Reading the legacy double-byte encodings of Chinese, Japanese and Korean
// (Big5, GB18030, Shift-JIS, EUC-KR) as UTF-8.
//
// Each is read as the superset that Windows writes: Big5 as code page 950,
// GBK and GB2312 as GB18030, Shift-JIS as code page 932, EUC-KR as code page
// 949. The mappings are glibc's (iconv), read once per process into tables,
// so that a character is one table look-up and its length in the input is
// always known: the quarantine maps offsets in the transcoding back to the
// input by walking it again. A byte that starts no character of the encoding
// becomes U+FFFD on its own, and the byte after it is read afresh; a line
// break is never part of a character in any of them, so lines stay lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

enum class LegacyCjk : std::uint8_t {
    kBig5,
    kGb18030,
    kShiftJis,
    kEucKr,
};

// How many bytes at the start of [p, p + n) are below 0x80; word-at-a-time.
std::size_t ascii_prefix_length(const unsigned char* p, std::size_t n) noexcept;

// The name of the codec (as Python spells it) that encodes the transcoding of
// a record back to its bytes: "cp950", "gb18030", "cp932", "cp949".
std::string_view cjk_codec_name(LegacyCjk encoding) noexcept;

// Whether this system's iconv reads the encoding; without it, input is never
// taken for that encoding.
bool cjk_decoding_available(LegacyCjk encoding) noexcept;

// Appends the UTF-8 form of `bytes` to `out` and returns how many bytes were
// read: all of them when `last`, else the bytes of a character that the next
// block may complete are left for it (at most 3). Linear in `bytes`.
std::size_t append_cjk_as_utf8(std::string_view bytes, LegacyCjk encoding, bool last,
                               std::string& out);

// The UTF-8 form of a whole input.
std::string transcode_cjk_to_utf8(std::string_view bytes, LegacyCjk encoding);

// How many bytes at the start of `input` (a character boundary) the first
// `utf8_length` bytes of its transcoding came from; a length inside a
// character counts that whole character.
std::size_t cjk_input_length(std::string_view input, std::size_t utf8_length,
                             LegacyCjk encoding);

// Whether encoding the transcoding of `bytes` with cjk_codec_name gives them
// back: every byte is part of a character, and no character is one of those
// the codec would write in another form (duplicates such as the IBM and NEC
// forms of code page 932, or characters whose mapping has changed).
bool cjk_round_trips(std::string_view bytes, LegacyCjk encoding);

}  // namespace quillon

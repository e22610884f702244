#include "encoding_detection.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>

#include "engine/scan.hpp"
#include "engine/text_decoding.hpp"
#include "engine/utf8.hpp"

namespace quillon {
namespace {

using Byte = unsigned char;

constexpr std::size_t kUtf16Window = 4096;

bool starts_with(std::string_view b, std::initializer_list<Byte> prefix) noexcept {
    if (b.size() < prefix.size()) return false;
    std::size_t i = 0;
    for (const Byte c : prefix) {
        if (static_cast<Byte>(b[i++]) != c) return false;
    }
    return true;
}

// UTF-16 of mostly ASCII text has a NUL in every other byte and nowhere
// else: at odd offsets little-endian, at even ones big-endian. Half the units
// must show it (the rest may be other scripts), and the other parity must be
// almost free of NULs, which a UTF-8 file with stray NULs is not.
std::optional<InputEncoding> utf16_without_mark(std::string_view buffer) noexcept {
    const std::size_t units = std::min(buffer.size(), kUtf16Window) / 2;
    if (units < 2) return std::nullopt;
    const auto* p = reinterpret_cast<const Byte*>(buffer.data());
    std::size_t nul_high_le = 0;
    std::size_t nul_high_be = 0;
    for (std::size_t i = 0; i < units; ++i) {
        const Byte a = p[2 * i];
        const Byte b = p[2 * i + 1];
        nul_high_le += (b == 0 && a != 0) ? 1 : 0;
        nul_high_be += (a == 0 && b != 0) ? 1 : 0;
    }
    if (2 * nul_high_le >= units && 16 * nul_high_be <= units) return InputEncoding::kUtf16Le;
    if (2 * nul_high_be >= units && 16 * nul_high_le <= units) return InputEncoding::kUtf16Be;
    return std::nullopt;
}

bool is_control(Byte b) noexcept {
    return b < 0x09 || b == 0x0B || b == 0x0C || (b >= 0x0E && b < 0x20) || b == 0x7F;
}

bool in_range(Byte b, Byte first, Byte last) noexcept { return b >= first && b <= last; }
bool is_digit(Byte b) noexcept { return in_range(b, 0x30, 0x39); }
bool is_ascii_letter(Byte b) noexcept { return in_range(b | 0x20, 'a', 'z'); }

// What a byte sequence is in one of the double-byte encodings: a character of
// its common range, another character, or a byte that starts none.
enum class CjkKind : std::uint8_t { kCommon, kRare, kInvalid };

struct CjkStep {
    std::size_t length;
    CjkKind kind;
};

constexpr CjkStep kNoCharacter{1, CjkKind::kInvalid};

// The ranges are those of the code pages (950, GB18030, 932, 949), by lead
// and trail byte only: cheaper than the tables, and close enough to score.
CjkStep big5_step(const Byte* p, std::size_t n) noexcept {
    if (n < 2 || !in_range(p[0], 0xA1, 0xF9)) return kNoCharacter;
    if (!in_range(p[1], 0x40, 0x7E) && !in_range(p[1], 0xA1, 0xFE)) return kNoCharacter;
    const unsigned s = (unsigned{p[0]} << 8) | p[1];
    // Punctuation and symbols, then the 5,401 frequent Hanzi.
    const bool common = (s >= 0xA140 && s <= 0xA3BF) || (s >= 0xA440 && s <= 0xC67E);
    return {2, common ? CjkKind::kCommon : CjkKind::kRare};
}

CjkStep gb18030_step(const Byte* p, std::size_t n) noexcept {
    if (n < 2 || !in_range(p[0], 0x81, 0xFE)) return kNoCharacter;
    if (is_digit(p[1])) {
        const bool four = n >= 4 && in_range(p[2], 0x81, 0xFE) && is_digit(p[3]);
        return four ? CjkStep{4, CjkKind::kRare} : kNoCharacter;
    }
    if (!in_range(p[1], 0x40, 0x7E) && !in_range(p[1], 0x80, 0xFE)) return kNoCharacter;
    // GB2312's punctuation, Latin, kana, Greek and Cyrillic, then its Hanzi.
    const bool common = p[1] >= 0xA1 && (in_range(p[0], 0xA1, 0xA9) || in_range(p[0], 0xB0, 0xF7));
    return {2, common ? CjkKind::kCommon : CjkKind::kRare};
}

CjkStep shift_jis_step(const Byte* p, std::size_t n) noexcept {
    const Byte lead = p[0];
    // Half-width katakana: one byte each.
    if (in_range(lead, 0xA1, 0xDF)) return {1, CjkKind::kRare};
    if (n < 2 || !(in_range(lead, 0x81, 0x9F) || in_range(lead, 0xE0, 0xFC))) return kNoCharacter;
    const Byte trail = p[1];
    if (!in_range(trail, 0x40, 0x7E) && !in_range(trail, 0x80, 0xFC)) return kNoCharacter;
    // Unassigned rows and the user-defined area.
    if (in_range(lead, 0x85, 0x86) || in_range(lead, 0xEB, 0xEC) || in_range(lead, 0xEF, 0xF9) ||
        (lead == 0xFC && trail > 0x4B)) {
        return kNoCharacter;
    }
    // Punctuation, full-width Latin, kana, Greek and Cyrillic, then the first
    // level of Kanji.
    const bool common = in_range(lead, 0x81, 0x84) || in_range(lead, 0x88, 0x98);
    return {2, common ? CjkKind::kCommon : CjkKind::kRare};
}

CjkStep euc_kr_step(const Byte* p, std::size_t n) noexcept {
    if (n < 2 || !in_range(p[0], 0x81, 0xFE)) return kNoCharacter;
    const Byte lead = p[0];
    const Byte trail = p[1];
    if (in_range(trail, 0xA1, 0xFE)) {
        // The user-defined rows.
        if (lead == 0xC9 || lead == 0xFE) return kNoCharacter;
        // Symbols and jamo, then the 2,350 Hangul syllables; Hanja are rare.
        const bool common = in_range(lead, 0xA1, 0xAC) || in_range(lead, 0xB0, 0xC8);
        return {2, common ? CjkKind::kCommon : CjkKind::kRare};
    }
    // Code page 949's other Hangul syllables.
    const bool extended = lead <= 0xC6 && (in_range(trail, 0x41, 0x5A) ||
                                           in_range(trail, 0x61, 0x7A) || in_range(trail, 0x81, 0xA0));
    return extended ? CjkStep{2, CjkKind::kRare} : kNoCharacter;
}

CjkStep cjk_step(LegacyCjk encoding, const Byte* p, std::size_t n) noexcept {
    switch (encoding) {
        case LegacyCjk::kBig5:
            return big5_step(p, n);
        case LegacyCjk::kGb18030:
            return gb18030_step(p, n);
        case LegacyCjk::kShiftJis:
            return shift_jis_step(p, n);
        case LegacyCjk::kEucKr:
            break;
    }
    return euc_kr_step(p, n);
}

// Frequent Hangul syllables in EUC-KR (이 다 의 는 에 하 고 을 가 지 기 사
// 한 서 로 정 대 ... 김 박 최 민 영, and the like) and frequent Hanzi in GB2312
// (的 一 是 不 了 人 在 有 ... 王 李 张 刘 陈 市 区 省 路, and the like): text in
// both bytes of 0xA1 and above reads as either, and which of these it holds
// more of tells Korean from Chinese.
constexpr std::uint16_t kKoreanFrequent[] = {
    0xB0A1, 0xB0CD, 0xB0D4, 0xB0E6, 0xB0ED, 0xB0F8, 0xB0FA, 0xB0FC, 0xB1B8, 0xB1B9,
    0xB1D7, 0xB1E2, 0xB1E6, 0xB1E8, 0xB3AA, 0xB3BB, 0xB3E2, 0xB4C2, 0xB4D9, 0xB4EB,
    0xB5B5, 0xB5BF, 0xB5C7, 0xB5E5, 0xB5E9, 0xB7CE, 0xB8A6, 0xB8AE, 0xB8B6, 0xB8B8,
    0xB8BB, 0xB8E9, 0xB9AE, 0xB9CC, 0xB9CE, 0xB9DA, 0xBAB8, 0xBACE, 0xBBE7, 0xBBF3,
    0xBBFD, 0xBCAD, 0xBCB1, 0xBCBA, 0xBCD2, 0xBCF6, 0xBDBA, 0xBDC3, 0xBDC5, 0xBEC6,
    0xBEEE, 0xBEF8, 0xBFA1, 0xBFA9, 0xBFAC, 0xBFB5, 0xBFE4, 0xBFEC, 0xBFEF, 0xBFF8,
    0xC0A7, 0xC0BA, 0xC0BB, 0xC0C7, 0xC0CC, 0xC0CE, 0xC0CF, 0xC0D6, 0xC0DA, 0xC0E5,
    0xC0FB, 0xC0FC, 0xC1A4, 0xC1A6, 0xC1D6, 0xC1D8, 0xC1DF, 0xC1F6, 0xC1F8, 0xC3D6,
    0xC7CF, 0xC7D0, 0xC7D1, 0xC7D8, 0xC7F6, 0xC8A3, 0xC8AD, 0xC8B8
};
constexpr std::uint16_t kChineseFrequent[] = {
    0xB1B1, 0xB1BE, 0xB2BB, 0xB3A4, 0xB3C2, 0xB3C9, 0xB3F6, 0xB4D3, 0xB4F3, 0xB5B1,
    0xB5BD, 0xB5C0, 0xB5C3, 0xB5C4, 0xB5D8, 0xB6AB, 0xB6AF, 0xB6BC, 0xB6D4, 0xB6E0,
    0xB6F8, 0xB7A2, 0xB7BD, 0xB8F6, 0xB9AB, 0xB9FA, 0xB9FD, 0xBAA3, 0xBAC3, 0xBAC5,
    0xBACD, 0xBAF3, 0xBBAA, 0xBBB9, 0xBBC6, 0xBBE1, 0xBCD2, 0xBCFB, 0xBDAD, 0xBDD6,
    0xBDF0, 0xBEA9, 0xBEAD, 0xBECD, 0xBFAA, 0xBFB4, 0xBFC9, 0xC0B4, 0xC0CF, 0xC0EE,
    0xC0EF, 0xC0F6, 0xC1BD, 0xC1CB, 0xC1F5, 0xC2B7, 0xC3B4, 0xC3BB, 0xC3C7, 0xC3E6,
    0xC3F7, 0xC4C7, 0xC4CF, 0xC4DC, 0xC4E3, 0xC4EA, 0xC6F0, 0xC7B0, 0xC7F8, 0xC8A5,
    0xC8BB, 0xC8CB, 0xC8D5, 0xC8E7, 0xC8FD, 0xC9BD, 0xC9CF, 0xC9FA, 0xCAA1, 0xCAAE,
    0xCAB1, 0xCAC2, 0xCAC7, 0xCAD0, 0xCAD6, 0xCBB5, 0xCBBE, 0xCBF9, 0xCBFB, 0xCBFD,
    0xCCEC, 0xCDAC, 0xCDB7, 0xCDF5, 0xCEAA, 0xCEC4, 0xCED2, 0xCEDE, 0xCEE2, 0xCEF7,
    0xCFC2, 0xCFD8, 0xCFDE, 0xCFEB, 0xD0A1, 0xD0C2, 0xD0C4, 0xD0D0, 0xD1A7, 0xD1EE,
    0xD2AA, 0xD2B2, 0xD2BB, 0xD2D1, 0xD2D4, 0xD3C3, 0xD3D0, 0xD3D6, 0xD3DA, 0xD4DA,
    0xD5C5, 0xD5D4, 0xD5E2, 0xD6AE, 0xD6BB, 0xD6D0, 0xD6DC, 0xD6DD, 0xD6F7, 0xD7C5,
    0xD7D3, 0xD7D4, 0xD7F7
};

bool is_frequent(std::span<const std::uint16_t> set, const Byte* p) noexcept {
    const auto pair = static_cast<std::uint16_t>((unsigned{p[0]} << 8) | p[1]);
    return std::binary_search(set.begin(), set.end(), pair);
}

// Characters enough to judge by: the tally of a large sample stops there.
constexpr std::size_t kCjkEvidence = 16384;
constexpr std::size_t kCjkEarlyVerdict = 512;

struct CjkTally {
    std::size_t common = 0;
    std::size_t rare = 0;
    std::size_t invalid = 0;
    // Characters among the frequent ones above (EUC-KR and GB18030 only).
    std::size_t frequent = 0;
    // Characters with an ASCII letter just before or after them.
    std::size_t by_letters = 0;
    // Characters right before or after another one.
    std::size_t in_runs = 0;
    // Where the tally stopped.
    std::size_t end = 0;

    std::size_t characters() const noexcept { return common + rare; }
};

// Whether the tally reads as text in that encoding: nearly every high byte
// part of a character (one damaged byte is let pass from eight characters
// on), most characters common ones, most of them away from ASCII letters and
// most next to another character, as words of these scripts are. Western
// text in Windows-1252 fails them: its accented letters stand inside words
// of ASCII letters, making rare pairs with the next letter, or before
// spaces, digits and delimiters, making none; where two meet ("ção", which
// reads as two common Hanzi) they sit between letters; and a sign before a
// letter ("21°C", "5µg": a common Hanzi in Big5) stands alone. So text of
// single characters between ASCII only (a column of 男 and 女) is not taken
// for double-byte text.
bool reads_as_text(const CjkTally& t) noexcept {
    const std::size_t chars = t.characters();
    const std::size_t damaged = chars >= 8 ? std::min<std::size_t>(t.invalid, 1) : 0;
    return t.common >= 3 && 50 * (t.invalid - damaged) <= chars && 10 * t.common >= 7 * chars &&
           2 * t.by_letters <= chars && 2 * t.in_runs >= chars;
}

CjkTally tally(LegacyCjk encoding, const Byte* p, std::size_t n) noexcept {
    const std::span<const std::uint16_t> frequent =
        encoding == LegacyCjk::kEucKr     ? std::span<const std::uint16_t>(kKoreanFrequent)
        : encoding == LegacyCjk::kGb18030 ? std::span<const std::uint16_t>(kChineseFrequent)
                                          : std::span<const std::uint16_t>();
    CjkTally t;
    std::size_t i = 0;
    // Where the last character ended, and whether it is counted in a run.
    std::size_t last_end = 0;
    bool last_in_run = false;
    // A tally that has read enough, or already fails, stops: Western text
    // fails within its first few hundred accented letters.
    while (t.characters() + t.invalid < kCjkEvidence &&
           (t.characters() + t.invalid < kCjkEarlyVerdict || reads_as_text(t))) {
        i += ascii_prefix_length(p + i, n - i);
        if (i == n) break;
        const CjkStep step = cjk_step(encoding, p + i, n - i);
        if (step.kind != CjkKind::kInvalid) {
            // The byte before may be the ASCII trail byte of the character before.
            const bool in_run = i != 0 && i == last_end;
            if ((i > 0 && !in_run && is_ascii_letter(p[i - 1])) ||
                (i + step.length < n && is_ascii_letter(p[i + step.length]))) {
                ++t.by_letters;
            }
            if (in_run) t.in_runs += last_in_run ? 1 : 2;
            last_in_run = in_run;
            last_end = i + step.length;
        }
        switch (step.kind) {
            case CjkKind::kCommon:
                ++t.common;
                if (!frequent.empty() && is_frequent(frequent, p + i)) ++t.frequent;
                break;
            case CjkKind::kRare:
                ++t.rare;
                break;
            case CjkKind::kInvalid:
                ++t.invalid;
                break;
        }
        i += step.length;
    }
    t.end = i;
    return t;
}

// Bytes of 0x80 and above in [p, p + n), and how many of them are in
// well-formed UTF-8 sequences.
struct HighBytes {
    std::size_t total = 0;
    std::size_t in_utf8 = 0;
};

HighBytes high_bytes(const Byte* p, std::size_t n) noexcept {
    HighBytes h;
    std::size_t i = 0;
    while (true) {
        i += ascii_prefix_length(p + i, n - i);
        if (i == n) return h;
        const Byte lead = p[i];
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead >= 0xC2 && length <= n - i && valid_utf8_prefix(p + i, length) == length) {
            h.total += length;
            h.in_utf8 += length;
            i += length;
        } else {
            ++h.total;
            ++i;
        }
    }
}

std::optional<InputEncoding> legacy_cjk_text(const Byte* p, std::size_t n) noexcept {
    struct Candidate {
        LegacyCjk cjk;
        InputEncoding encoding;
        CjkTally tally;
    };
    Candidate candidates[] = {
        {LegacyCjk::kGb18030, InputEncoding::kGb18030, {}},
        {LegacyCjk::kBig5, InputEncoding::kBig5, {}},
        {LegacyCjk::kEucKr, InputEncoding::kEucKr, {}},
        {LegacyCjk::kShiftJis, InputEncoding::kShiftJis, {}},
    };
    const Candidate* best = nullptr;
    std::size_t judged = 0;
    for (Candidate& c : candidates) {
        c.tally = tally(c.cjk, p, n);
        judged = std::max(judged, c.tally.end);
        if (!reads_as_text(c.tally) || !cjk_decoding_available(c.cjk)) continue;
        const CjkTally& t = c.tally;
        // The larger share of common characters; on a tie the earlier.
        if (best == nullptr ||
            t.common * best->tally.characters() > best->tally.common * t.characters()) {
            best = &c;
        }
    }
    if (best == nullptr) return std::nullopt;
    // Korean text reads as Chinese too, and often all common Hanzi.
    const Candidate& gb = candidates[0];
    const Candidate& kr = candidates[2];
    if (best == &gb && reads_as_text(kr.tally) && cjk_decoding_available(kr.cjk) &&
        kr.tally.frequent > gb.tally.frequent) {
        best = &kr;
    }
    // UTF-8 with some bytes that are not: most high bytes in UTF-8 sequences.
    const HighBytes h = high_bytes(p, judged);
    if (2 * h.in_utf8 >= h.total) return std::nullopt;
    return best->encoding;
}

// Not UTF-8 throughout; `first_bad` is the offset of the first ill-formed byte.
InputEncoding single_byte_or_mixed(const Byte* p, std::size_t n, std::size_t first_bad) noexcept {
    bool multibyte = has_high_byte(p, first_bad);
    bool all_defined = true;
    bool any_defined = false;
    std::size_t i = first_bad;
    while (i < n) {
        // p[i] starts an ill-formed sequence: read it as one single byte.
        const bool defined = !is_undefined_in_windows_1252(p[i]);
        all_defined = all_defined && defined;
        any_defined = any_defined || defined;
        ++i;
        const std::size_t valid = valid_utf8_prefix(p + i, n - i);
        multibyte = multibyte || has_high_byte(p + i, valid);
        i += valid;
    }
    // Broken bytes that Windows-1252 does not define either are damage, not
    // pasted rows: the file is UTF-8 with some bytes lost.
    if (multibyte) return any_defined ? InputEncoding::kUtf8With1252Rows : InputEncoding::kUtf8;
    if (!all_defined) return InputEncoding::kLatin1;
    std::size_t controls = 0;
    std::size_t high = 0;
    for (std::size_t k = 0; k < n; ++k) {
        controls += is_control(p[k]) ? 1 : 0;
        high += p[k] >= 0x80 ? 1 : 0;
    }
    const bool plausible = 100 * controls <= n && 3 * high <= n;
    return plausible ? InputEncoding::kWindows1252 : InputEncoding::kLatin1;
}

char* put_code_point(char* d, std::uint32_t cp) noexcept {
    return d + encode_utf8(static_cast<char32_t>(cp), d);
}

constexpr std::uint32_t kReplacement = 0xFFFD;

}  // namespace

std::string_view encoding_name(InputEncoding encoding) noexcept {
    switch (encoding) {
        case InputEncoding::kUtf8:
            return "utf-8";
        case InputEncoding::kUtf8With1252Rows:
            return "utf-8+windows-1252";
        case InputEncoding::kWindows1252:
            return "windows-1252";
        case InputEncoding::kLatin1:
            return "latin-1";
        case InputEncoding::kUtf16Le:
            return "utf-16-le";
        case InputEncoding::kUtf16Be:
            return "utf-16-be";
        case InputEncoding::kBig5:
            return "big5";
        case InputEncoding::kGb18030:
            return "gb18030";
        case InputEncoding::kShiftJis:
            return "shift_jis";
        case InputEncoding::kEucKr:
            return "euc-kr";
    }
    return "utf-8";
}

std::optional<InputEncoding> encoding_named(std::string_view name) noexcept {
    for (const InputEncoding e :
         {InputEncoding::kUtf8, InputEncoding::kUtf8With1252Rows, InputEncoding::kWindows1252,
          InputEncoding::kLatin1, InputEncoding::kUtf16Le, InputEncoding::kUtf16Be,
          InputEncoding::kBig5, InputEncoding::kGb18030, InputEncoding::kShiftJis,
          InputEncoding::kEucKr}) {
        if (encoding_name(e) == name) return e;
    }
    return std::nullopt;
}

std::optional<LegacyCjk> legacy_cjk_of(InputEncoding encoding) noexcept {
    switch (encoding) {
        case InputEncoding::kBig5:
            return LegacyCjk::kBig5;
        case InputEncoding::kGb18030:
            return LegacyCjk::kGb18030;
        case InputEncoding::kShiftJis:
            return LegacyCjk::kShiftJis;
        case InputEncoding::kEucKr:
            return LegacyCjk::kEucKr;
        default:
            return std::nullopt;
    }
}

EncodingGuess detect_encoding(std::string_view buffer) noexcept {
    if (starts_with(buffer, {0xFF, 0xFE})) return {InputEncoding::kUtf16Le, 2};
    if (starts_with(buffer, {0xFE, 0xFF})) return {InputEncoding::kUtf16Be, 2};
    if (starts_with(buffer, {0xEF, 0xBB, 0xBF})) {
        // The mark says UTF-8, so bytes that are not are pasted rows, never
        // a whole file in another encoding.
        const auto* text = reinterpret_cast<const Byte*>(buffer.data()) + 3;
        const std::size_t size = buffer.size() - 3;
        return {valid_utf8_prefix(text, size) == size ? InputEncoding::kUtf8
                                                      : InputEncoding::kUtf8With1252Rows,
                3};
    }
    if (const std::optional<InputEncoding> utf16 = utf16_without_mark(buffer)) return {*utf16, 0};
    const auto* p = reinterpret_cast<const Byte*>(buffer.data());
    const std::size_t valid = valid_utf8_prefix(p, buffer.size());
    if (valid == buffer.size()) return {InputEncoding::kUtf8, 0};
    if (const std::optional<InputEncoding> cjk = legacy_cjk_text(p, buffer.size())) return {*cjk, 0};
    return {single_byte_or_mixed(p, buffer.size(), valid), 0};
}

std::string transcode_utf16_to_utf8(std::string_view bytes, bool big_endian) {
    const std::size_t units = bytes.size() / 2;
    const bool odd = bytes.size() % 2 != 0;
    // A unit makes at most 3 bytes; a pair of units 4.
    std::string out(3 * units + (odd ? 3 : 0), '\0');
    const auto* p = reinterpret_cast<const Byte*>(bytes.data());
    char* d = out.data();
    const unsigned hi = big_endian ? 0 : 1;
    const unsigned lo = 1 - hi;
    const auto unit = [&](std::size_t i) -> std::uint32_t {
        return (std::uint32_t{p[2 * i + hi]} << 8) | p[2 * i + lo];
    };
    // Four ASCII units at a time: their high bytes all zero, low bytes below
    // 0x80. The mask is laid out in memory like the units, whatever the host.
    std::uint64_t not_ascii;
    {
        Byte mask[8];
        for (std::size_t k = 0; k < 8; k += 2) {
            mask[k + hi] = 0xFF;
            mask[k + lo] = 0x80;
        }
        std::memcpy(&not_ascii, mask, 8);
    }
    std::size_t i = 0;
    while (i < units) {
        if (i + 4 <= units) {
            std::uint64_t w;
            std::memcpy(&w, p + 2 * i, 8);
            if ((w & not_ascii) == 0) {
                for (std::size_t k = 0; k < 4; ++k) *d++ = static_cast<char>(p[2 * (i + k) + lo]);
                i += 4;
                continue;
            }
        }
        const std::uint32_t u = unit(i);
        ++i;
        if (u < 0xD800 || u > 0xDFFF) {
            d = put_code_point(d, u);
        } else if (u <= 0xDBFF && i < units && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
            d = put_code_point(d, 0x10000 + ((u - 0xD800) << 10) + (unit(i) - 0xDC00));
            ++i;
        } else {
            d = put_code_point(d, kReplacement);
        }
    }
    if (odd) d = put_code_point(d, kReplacement);
    out.resize(static_cast<std::size_t>(d - out.data()));
    return out;
}

std::size_t utf16_offset_of(std::string_view transcoded, std::size_t utf8_offset,
                            std::size_t input_size) noexcept {
    const std::size_t end = std::min(utf8_offset, transcoded.size());
    std::size_t offset = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const auto b = static_cast<Byte>(transcoded[i]);
        // Lead bytes carry the whole sequence's weight, continuation bytes none.
        if (b < 0x80 || (b >= 0xC0 && b < 0xF0)) {
            offset += 2;
        } else if (b >= 0xF0) {
            offset += 4;
        }
    }
    // Only the odd last byte's U+FFFD counts 2 for 1 byte, and only at the end.
    return std::min(offset, input_size);
}

}  // namespace quillon

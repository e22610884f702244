#include "legacy_cjk.hpp"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "engine/utf8.hpp"

namespace quillon {
namespace {

using Byte = unsigned char;

// A table entry: the code point in the low 21 bits, 0 for no character.
constexpr std::uint32_t kCodePointMask = 0x1FFFFF;
constexpr std::uint32_t kRoundTrips = 0x80000000u;
constexpr char32_t kReplacement = 0xFFFD;

// Byte sequences (read as a big-endian number) whose glibc reading does not
// encode back to them with the codec named for the quarantine, or with glibc:
// duplicates (code page 932's NEC and IBM forms, Big5's two forms of 兀 and
// 嗀), and sequences that glibc and Python's codec read as different
// characters (Big5's ETEN extensions, characters GB18030 moved out of the
// private-use area). Found by decoding every sequence with glibc and encoding
// the result both ways; code page 949 has none.
struct SequenceRange {
    std::uint32_t first;
    std::uint32_t last;
};

constexpr SequenceRange kBig5Changed[] = {
    {0x80, 0x80},     {0xA2CC, 0xA2CC}, {0xA2CE, 0xA2CE}, {0xC6A1, 0xC6FE}, {0xC740, 0xC77E},
    {0xC7A1, 0xC7FE}, {0xC840, 0xC87E}, {0xC8A1, 0xC8FE}, {0xF9E9, 0xF9EB}, {0xF9F9, 0xF9FD},
};
constexpr SequenceRange kGb18030Changed[] = {
    {0xA6D9, 0xA6DF}, {0xA6EC, 0xA6ED}, {0xA6F3, 0xA6F3}, {0xA8BC, 0xA8BC}, {0xFE51, 0xFE53},
    {0xFE59, 0xFE59}, {0xFE61, 0xFE61}, {0xFE66, 0xFE67}, {0xFE6C, 0xFE6D}, {0xFE76, 0xFE76},
    {0xFE7E, 0xFE7E}, {0xFE90, 0xFE91}, {0xFEA0, 0xFEA0}, {0x8135F437, 0x8135F437},
};
constexpr SequenceRange kShiftJisChanged[] = {
    {0x8790, 0x8792}, {0x8795, 0x8797}, {0x879A, 0x879C}, {0xED40, 0xEEFC}, {0xFA40, 0xFC4B},
};

std::span<const SequenceRange> changed_sequences(LegacyCjk encoding) noexcept {
    switch (encoding) {
        case LegacyCjk::kBig5:
            return kBig5Changed;
        case LegacyCjk::kGb18030:
            return kGb18030Changed;
        case LegacyCjk::kShiftJis:
            return kShiftJisChanged;
        case LegacyCjk::kEucKr:
            break;
    }
    return {};
}

const char* iconv_name(LegacyCjk encoding) noexcept {
    switch (encoding) {
        case LegacyCjk::kBig5:
            return "BIG5";
        case LegacyCjk::kGb18030:
            return "GB18030";
        case LegacyCjk::kShiftJis:
            return "CP932";
        case LegacyCjk::kEucKr:
            break;
    }
    return "UHC";
}

struct IconvClose {
    void operator()(void* cd) const noexcept { ::iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvClose>;

IconvHandle open_decoder(LegacyCjk encoding) noexcept {
    const iconv_t cd = ::iconv_open("UTF-32LE", iconv_name(encoding));
    if (cd == reinterpret_cast<iconv_t>(-1)) return IconvHandle();
    return IconvHandle(cd);
}

// The one code point that glibc reads the whole of `sequence` as, or 0.
std::uint32_t decode_one(void* cd, const Byte* sequence, std::size_t length) noexcept {
    ::iconv(static_cast<iconv_t>(cd), nullptr, nullptr, nullptr, nullptr);
    char in[4];
    std::memcpy(in, sequence, length);
    char out[8];
    char* in_p = in;
    char* out_p = out;
    std::size_t in_left = length;
    std::size_t out_left = sizeof out;
    const std::size_t done = ::iconv(static_cast<iconv_t>(cd), &in_p, &in_left, &out_p, &out_left);
    if (done == static_cast<std::size_t>(-1) || in_left != 0 || out_left != sizeof out - 4) return 0;
    std::uint32_t cp = 0;
    for (int k = 3; k >= 0; --k) cp = (cp << 8) | static_cast<Byte>(out[k]);
    return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) ? cp : 0;
}

std::uint32_t entry_for(void* cd, std::uint32_t sequence, std::size_t length,
                        std::span<const SequenceRange> changed) noexcept {
    Byte bytes[4];
    for (std::size_t k = 0; k < length; ++k) {
        bytes[k] = static_cast<Byte>(sequence >> (8 * (length - 1 - k)));
    }
    const std::uint32_t cp = decode_one(cd, bytes, length);
    if (cp == 0) return 0;
    const bool is_changed = std::any_of(changed.begin(), changed.end(), [&](const SequenceRange& r) {
        return sequence >= r.first && sequence <= r.last;
    });
    return cp | (is_changed ? 0 : kRoundTrips);
}

// GB18030's four-byte sequences of the Basic Multilingual Plane: first byte
// 81 to 84, then a digit, a byte of 81 to FE and a digit.
constexpr std::size_t kFourByteBmp = 4 * 10 * 126 * 10;

std::size_t four_byte_index(const Byte* p) noexcept {
    return ((static_cast<std::size_t>(p[0] - 0x81) * 10 + (p[1] - 0x30)) * 126 + (p[2] - 0x81)) *
               10 +
           (p[3] - 0x30);
}

struct CjkTables {
    // Indexed by the sequence: one byte (0x80 to 0xFF) or lead * 256 + trail.
    std::vector<std::uint32_t> entries;
    // GB18030 only.
    std::vector<std::uint32_t> four_byte;
};

CjkTables build_tables(LegacyCjk encoding) {
    CjkTables t;
    // Without a decoder every byte of 0x80 and above reads as U+FFFD.
    t.entries.assign(0x10000, 0);
    const IconvHandle cd = open_decoder(encoding);
    if (!cd) return t;
    const std::span<const SequenceRange> changed = changed_sequences(encoding);
    for (std::uint32_t b = 0x80; b <= 0xFF; ++b) t.entries[b] = entry_for(cd.get(), b, 1, changed);
    // No trail byte of these encodings is below 0x40 (GB18030's digits start
    // a four-byte sequence instead).
    for (std::uint32_t lead = 0x81; lead <= 0xFE; ++lead) {
        for (std::uint32_t trail = 0x40; trail <= 0xFE; ++trail) {
            const std::uint32_t s = (lead << 8) | trail;
            t.entries[s] = entry_for(cd.get(), s, 2, changed);
        }
    }
    if (encoding == LegacyCjk::kGb18030) {
        t.four_byte.assign(kFourByteBmp, 0);
        Byte p[4];
        for (p[0] = 0x81; p[0] <= 0x84; ++p[0]) {
            for (p[1] = 0x30; p[1] <= 0x39; ++p[1]) {
                for (p[2] = 0x81; p[2] <= 0xFE; ++p[2]) {
                    for (p[3] = 0x30; p[3] <= 0x39; ++p[3]) {
                        const std::uint32_t s = (std::uint32_t{p[0]} << 24) |
                                                (std::uint32_t{p[1]} << 16) |
                                                (std::uint32_t{p[2]} << 8) | p[3];
                        t.four_byte[four_byte_index(p)] = entry_for(cd.get(), s, 4, changed);
                    }
                }
            }
        }
    }
    return t;
}

// Built on first use, once per process (about 25,000 iconv calls; 75,000 for
// GB18030).
const CjkTables& tables(LegacyCjk encoding) {
    switch (encoding) {
        case LegacyCjk::kBig5: {
            static const CjkTables t = build_tables(LegacyCjk::kBig5);
            return t;
        }
        case LegacyCjk::kGb18030: {
            static const CjkTables t = build_tables(LegacyCjk::kGb18030);
            return t;
        }
        case LegacyCjk::kShiftJis: {
            static const CjkTables t = build_tables(LegacyCjk::kShiftJis);
            return t;
        }
        case LegacyCjk::kEucKr:
            break;
    }
    static const CjkTables t = build_tables(LegacyCjk::kEucKr);
    return t;
}

bool is_digit(Byte b) noexcept { return b >= 0x30 && b <= 0x39; }
bool is_gb_byte(Byte b) noexcept { return b >= 0x81 && b <= 0xFE; }

// A table entry (0: none) and how many bytes it reads.
struct CjkChar {
    std::uint32_t entry;
    std::size_t length;
};

// The character at p (n > 0 bytes left, p[0] >= 0x80): a two-byte one when
// the pair is one, else GB18030's four bytes, else one byte.
CjkChar next_char(const CjkTables& t, const Byte* p, std::size_t n) noexcept {
    if (n >= 2) {
        if (const std::uint32_t e = t.entries[(std::size_t{p[0]} << 8) | p[1]]; e != 0) return {e, 2};
        if (!t.four_byte.empty() && n >= 4 && p[0] <= 0x84 && is_gb_byte(p[0]) && is_digit(p[1]) &&
            is_gb_byte(p[2]) && is_digit(p[3])) {
            return {t.four_byte[four_byte_index(p)], 4};
        }
        // Beyond the Basic Multilingual Plane GB18030 counts on from U+10000.
        if (!t.four_byte.empty() && n >= 4 && p[0] >= 0x90 && p[0] <= 0xE3 && is_digit(p[1]) &&
            is_gb_byte(p[2]) && is_digit(p[3])) {
            const std::uint32_t cp =
                0x10000 +
                static_cast<std::uint32_t>(((p[0] - 0x90) * 10 + (p[1] - 0x30)) * 1260 +
                                           (p[2] - 0x81) * 10 + (p[3] - 0x30));
            if (cp <= 0x10FFFF) return {cp | kRoundTrips, 4};
        }
    }
    return {t.entries[p[0]], 1};
}

char32_t code_point_of(std::uint32_t entry) noexcept {
    return entry == 0 ? kReplacement : static_cast<char32_t>(entry & kCodePointMask);
}

std::size_t utf8_length_of(char32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

}  // namespace

std::size_t ascii_prefix_length(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w & 0x8080808080808080ull) != 0) break;
        i += 8;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

std::string_view cjk_codec_name(LegacyCjk encoding) noexcept {
    switch (encoding) {
        case LegacyCjk::kBig5:
            return "cp950";
        case LegacyCjk::kGb18030:
            return "gb18030";
        case LegacyCjk::kShiftJis:
            return "cp932";
        case LegacyCjk::kEucKr:
            break;
    }
    return "cp949";
}

bool cjk_decoding_available(LegacyCjk encoding) noexcept {
    // Opening a decoder is cheap next to building the tables, which
    // detection never needs.
    static const std::array<bool, 4> available = {
        static_cast<bool>(open_decoder(LegacyCjk::kBig5)),
        static_cast<bool>(open_decoder(LegacyCjk::kGb18030)),
        static_cast<bool>(open_decoder(LegacyCjk::kShiftJis)),
        static_cast<bool>(open_decoder(LegacyCjk::kEucKr)),
    };
    return available[static_cast<std::size_t>(encoding)];
}

std::size_t append_cjk_as_utf8(std::string_view bytes, LegacyCjk encoding, bool last,
                               std::string& out) {
    const CjkTables& t = tables(encoding);
    const auto* p = reinterpret_cast<const Byte*>(bytes.data());
    const std::size_t n = bytes.size();
    // Written through a small buffer: the UTF-8 form may be up to three times
    // as long as the input, and most of it is never needed.
    char buffer[1 << 16];
    std::size_t used = 0;
    const auto flush = [&] {
        out.append(buffer, used);
        used = 0;
    };
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            const std::size_t run = ascii_prefix_length(p + i, n - i);
            if (run > sizeof buffer - used) flush();
            if (run > sizeof buffer) {
                out.append(bytes.substr(i, run));
            } else {
                std::memcpy(buffer + used, p + i, run);
                used += run;
            }
            i += run;
            continue;
        }
        if (!last && n - i < 4) break;
        if (sizeof buffer - used < 4) flush();
        const CjkChar c = next_char(t, p + i, n - i);
        used += encode_utf8(code_point_of(c.entry), buffer + used);
        i += c.length;
    }
    flush();
    return i;
}

std::string transcode_cjk_to_utf8(std::string_view bytes, LegacyCjk encoding) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    append_cjk_as_utf8(bytes, encoding, true, out);
    return out;
}

std::size_t cjk_input_length(std::string_view input, std::size_t utf8_length,
                             LegacyCjk encoding) {
    const CjkTables& t = tables(encoding);
    const auto* p = reinterpret_cast<const Byte*>(input.data());
    const std::size_t n = input.size();
    std::size_t i = 0;
    std::size_t written = 0;
    while (i < n && written < utf8_length) {
        const std::size_t run = std::min(ascii_prefix_length(p + i, n - i), utf8_length - written);
        i += run;
        written += run;
        if (i == n || written >= utf8_length) break;
        const CjkChar c = next_char(t, p + i, n - i);
        written += utf8_length_of(code_point_of(c.entry));
        i += c.length;
    }
    return i;
}

bool cjk_round_trips(std::string_view bytes, LegacyCjk encoding) {
    const CjkTables& t = tables(encoding);
    const auto* p = reinterpret_cast<const Byte*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (true) {
        i += ascii_prefix_length(p + i, n - i);
        if (i == n) return true;
        const CjkChar c = next_char(t, p + i, n - i);
        if ((c.entry & kRoundTrips) == 0) return false;
        i += c.length;
    }
}

}  // namespace quillon

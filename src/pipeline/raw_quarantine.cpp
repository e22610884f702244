#include "raw_quarantine.hpp"

#include <charconv>

#include "engine/text_decoding.hpp"
#include "engine/utf8.hpp"

namespace quillon {

namespace {

void append_number(std::string& line, std::size_t value) {
    char digits[24];
    const auto converted = std::to_chars(digits, digits + sizeof digits, value);
    line.append(digits, converted.ptr);
}

void append_code_point(std::string& line, char32_t cp) {
    char bytes[4];
    line.append(bytes, encode_utf8(cp, bytes));
}

// Text with each double quote doubled.
void append_quoted_text(std::string& line, std::string_view text) {
    for (const char c : text) {
        line.push_back(c);
        if (c == '"') line.push_back('"');
    }
}

void append_base64(std::string& line, std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (unsigned{at(i)} << 16) | (unsigned{at(i + 1)} << 8) | at(i + 2);
        for (int shift = 18; shift >= 0; shift -= 6) line.push_back(kAlphabet[(v >> shift) & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 0) return;
    const unsigned v = (unsigned{at(i)} << 16) | (rest == 2 ? unsigned{at(i + 1)} << 8 : 0u);
    line.push_back(kAlphabet[(v >> 18) & 63]);
    line.push_back(kAlphabet[(v >> 12) & 63]);
    line.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    line.push_back('=');
}

// Whether the UTF-16 text `bytes` is well formed, so that its UTF-8 form
// encodes back to the same bytes: whole units, each surrogate in a pair.
bool well_formed_utf16(std::string_view bytes, bool big_endian) noexcept {
    if (bytes.size() % 2 != 0) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t hi = big_endian ? 0 : 1;
    const std::size_t units = bytes.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const unsigned high = p[2 * i + hi];
        if (high < 0xD8 || high > 0xDF) continue;
        if (high >= 0xDC || i + 1 == units) return false;
        const unsigned next = p[2 * (i + 1) + hi];
        if (next < 0xDC || next > 0xDF) return false;
        ++i;
    }
    return true;
}

struct SingleByteFacts {
    bool any_multibyte_utf8 = false;
    bool any_undefined_1252 = false;
};

SingleByteFacts facts_of(std::string_view bytes) noexcept {
    SingleByteFacts facts;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (p[i] < 0x80) continue;
        if (is_undefined_in_windows_1252(p[i])) facts.any_undefined_1252 = true;
        const std::size_t window = bytes.size() - i < 4 ? bytes.size() - i : 4;
        if (valid_utf8_prefix(p + i, window) != 0) facts.any_multibyte_utf8 = true;
    }
    return facts;
}

void append_single_bytes(std::string& line, std::string_view bytes, bool windows_1252) {
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const char32_t cp = windows_1252 ? windows_1252_code_point(b) : char32_t{b};
        if (cp == U'"') line.push_back('"');
        append_code_point(line, cp);
    }
}

}  // namespace

std::string_view quarantine_reason_code(QuarantineReason reason) noexcept {
    switch (reason) {
        case QuarantineReason::kTooFewColumns:
            return "too_few_columns";
        case QuarantineReason::kExtraColumns:
            return "extra_columns";
        case QuarantineReason::kPreamble:
            return "preamble";
        case QuarantineReason::kRepeatedHeader:
            return "repeated_header";
        case QuarantineReason::kComment:
            return "comment";
        case QuarantineReason::kFooter:
            return "footer";
        case QuarantineReason::kOtherTable:
            return "other_table";
    }
    return "unknown";
}

void encode_raw_quarantine_row(const RawRecord& record, std::string& line) {
    line.clear();
    append_number(line, record.first_line);
    line.push_back(',');
    append_number(line, record.last_line);
    line.push_back(',');
    append_number(line, record.byte_offset);
    line.push_back(',');
    line.append(quarantine_reason_code(record.reason));
    line.push_back(',');

    const std::string_view bytes = record.bytes;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    switch (record.form) {
        case RawForm::kUtf16Le:
        case RawForm::kUtf16Be: {
            const bool big_endian = record.form == RawForm::kUtf16Be;
            if (!well_formed_utf16(record.input_bytes, big_endian)) {
                // The transcoding holds U+FFFD for the bad units: only the
                // input's own bytes give them back.
                line.append("base64,\"");
                append_base64(line, record.input_bytes);
                break;
            }
            line.append(big_endian ? "utf-16-be,\"" : "utf-16-le,\"");
            append_quoted_text(line, bytes);
            break;
        }
        case RawForm::kLegacyCjk:
            if (!cjk_round_trips(record.input_bytes, record.cjk)) {
                line.append("base64,\"");
                append_base64(line, record.input_bytes);
                break;
            }
            line.append(cjk_codec_name(record.cjk));
            line.append(",\"");
            append_quoted_text(line, bytes);
            break;
        case RawForm::kLatin1:
            line.append("latin-1,\"");
            append_single_bytes(line, bytes, false);
            break;
        case RawForm::kWindows1252:
        case RawForm::kUtf8: {
            if (record.form == RawForm::kUtf8 &&
                valid_utf8_prefix(p, bytes.size()) == bytes.size()) {
                line.append("utf-8,\"");
                append_quoted_text(line, bytes);
                break;
            }
            const SingleByteFacts facts = facts_of(bytes);
            if (record.form == RawForm::kUtf8 && facts.any_multibyte_utf8) {
                // Both encodings in one record: no single codec reads it back.
                line.append("base64,\"");
                append_base64(line, bytes);
            } else if (facts.any_undefined_1252) {
                line.append("latin-1,\"");
                append_single_bytes(line, bytes, false);
            } else {
                line.append("windows-1252,\"");
                append_single_bytes(line, bytes, true);
            }
            break;
        }
    }
    line.append("\"\n");
}

}  // namespace quillon

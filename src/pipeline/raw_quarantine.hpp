// The lossless quarantine file of the adaptive salvage.
//
// One CSV line per set-aside record, comma and double quote, every line
// ending in LF, under the header
//
//   first_line,last_line,byte_offset,reason,encoding,raw
//
// first_line and last_line are the physical lines the record spans (from 1),
// byte_offset the offset of its first byte in the input file (from 0),
// reason a code (too_few_columns, extra_columns, preamble, repeated_header).
// raw is the record exactly as it stood in the input, delimiters, quotes and
// inner line breaks included, without the line break that ended it; encoding
// says how to get its bytes back: utf-8, windows-1252, latin-1, utf-16-le,
// utf-16-be, cp950, gb18030, cp932 or cp949 (encode the text with that codec)
// or base64 (decode the text), the last wherever no codec would give the
// bytes back (UTF-8 mixed with single-byte text, UTF-16 with a lone surrogate
// or an odd last byte, double-byte text with a byte that starts no character
// or a character the codec writes in another form).
// raw is always quoted; the other columns never need it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "detection/legacy_cjk.hpp"
#include "engine/salvage.hpp"

namespace quillon {

inline constexpr std::string_view RAW_QUARANTINE_HEADER =
    "first_line,last_line,byte_offset,reason,encoding,raw\n";

// The reason code written for a quarantined record.
std::string_view quarantine_reason_code(QuarantineReason reason) noexcept;

// How the raw bytes of one record are written.
enum class RawForm {
    kUtf8,
    kWindows1252,
    kLatin1,
    kUtf16Le,
    kUtf16Be,
    // Big5, GB18030, Shift-JIS or EUC-KR: RawRecord::cjk says which.
    kLegacyCjk,
};

struct RawRecord {
    std::size_t first_line;
    std::size_t last_line;
    std::size_t byte_offset;
    QuarantineReason reason;
    // The record's bytes in the buffer the engine read.
    std::string_view bytes;
    // What the input was in: UTF-8 bytes that are not well formed fall back to
    // Windows-1252 or Latin-1 when that reads them back exactly, else base64.
    // For transcoded input (UTF-16, the double-byte encodings), `bytes` is
    // the UTF-8 transcoding.
    RawForm form;
    // For transcoded input, the record's bytes in the input file, which are
    // written instead when the transcoding does not give them back.
    std::string_view input_bytes = {};
    LegacyCjk cjk = LegacyCjk::kBig5;
};

// Clears `line` and fills it with the record's quarantine line.
void encode_raw_quarantine_row(const RawRecord& record, std::string& line);

}  // namespace quillon

// The adaptive run (detection, then the engine with the options it settled)
// over any bytes, with the user's options taken from the first input byte.
//
// Input: byte 0 flags (bit 0 fill_ragged_rows, bit 1 merge_overflow, bit 2
// repair_quotes, bit 3 drop_repeated_headers, bit 4 no column check, bit 5
// no quoting given, bit 6 a backslash escape given, bit 7 skip 1 record as
// preamble), then the buffer (see make_buffer).
//
// Invariants: every record is in exactly one place (kept rows plus
// quarantined rows make the total, each list holds its count) and the
// rejects by kind add up to the quarantined rows; repaired rows are kept
// rows; each quarantined record's span lies in the text, after the previous
// one, with first_line <= last_line; its raw quarantine line, decoded as its
// encoding column says (a codec, or base64), gives back the input's bytes at
// its byte_offset, UTF-16 input with lone surrogates or an odd last byte and
// double-byte input with bytes that start no character included; every kept row has the applied column count unless that is 0;
// where the engine's field flags fit the clean file's dialect, encoding with
// them gives the same line as encoding from the text alone. The clean file
// that the salvage writes as it reads (into a memory file) is the encoding
// of the rows the run kept, with the same counts; read as a stream through
// tiny windows and spans, it writes that file and counts alike.
#include <iconv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "engine/growable_buffer.hpp"
#include "engine/salvage_counts.hpp"
#include "engine/text_decoding.hpp"
#include "engine/utf8.hpp"
#include "fuzz_support.hpp"
#include "pipeline/adaptive_salvage.hpp"
#include "pipeline/encoders.hpp"
#include "pipeline/unique_fd.hpp"

namespace {

using fuzz::check;

quillon::AdaptiveOptions read_options(fuzz::ByteReader& in) {
    const std::uint8_t flags = in.take();
    quillon::AdaptiveOptions o;
    o.fill_ragged_rows = (flags & 1) != 0;
    o.merge_overflow = (flags & 2) != 0;
    o.repair_quotes = (flags & 4) != 0;
    o.drop_repeated_headers = (flags & 8) != 0;
    if ((flags & 16) != 0) o.expected_columns = 0;
    if ((flags & 32) != 0) o.dialect.quote_given = true;
    if ((flags & 64) != 0) {
        o.dialect.escape_given = true;
        o.dialect.escape = '\\';
    }
    if ((flags & 128) != 0) o.preamble_rows = 1;
    return o;
}

// The code points of well-formed UTF-8 text; false when it is not.
bool code_points_of(std::string_view text, std::u32string& out) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    if (quillon::valid_utf8_prefix(p, text.size()) != text.size()) return false;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned lead = p[i];
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t cp = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (p[i + k] & 0x3Fu);
        out.push_back(cp);
        i += length;
    }
    return true;
}

bool base64_bytes(std::string_view text, std::string& out) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.clear();
    if (text.size() % 4 != 0) return false;
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    unsigned bits = 0;
    unsigned held = 0;
    for (const char c : text) {
        const std::size_t v = kAlphabet.find(c);
        if (v == std::string_view::npos) return false;
        bits = (bits << 6) | static_cast<unsigned>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    return true;
}

// glibc's name of a double-byte codec of the quarantine, or null.
const char* double_byte_charset(std::string_view codec) {
    if (codec == "cp950") return "BIG5";
    if (codec == "gb18030") return "GB18030";
    if (codec == "cp932") return "CP932";
    if (codec == "cp949") return "UHC";
    return nullptr;
}

// UTF-8 text encoded with iconv: the other way from the transcoding's tables.
bool iconv_encode(const char* charset, std::string_view text, std::string& out) {
    const iconv_t cd = iconv_open(charset, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in(text);
    out.assign(4 * text.size() + 4, '\0');
    char* in_p = in.data();
    char* out_p = out.data();
    std::size_t in_left = in.size();
    std::size_t out_left = out.size();
    const std::size_t done = iconv(cd, &in_p, &in_left, &out_p, &out_left);
    iconv_close(cd);
    out.resize(out.size() - out_left);
    return done != static_cast<std::size_t>(-1) && in_left == 0;
}

// The bytes a raw quarantine value stands for under its encoding column, as
// a reader of the file would get them; false when it cannot be decoded.
bool raw_value_bytes(std::string_view encoding, std::string_view raw, std::string& out) {
    if (encoding == "base64") return base64_bytes(raw, out);
    std::u32string cps;
    if (!code_points_of(raw, cps)) return false;
    out.clear();
    if (encoding == "utf-8") {
        out.assign(raw);
        return true;
    }
    const bool big = encoding == "utf-16-be";
    if (big || encoding == "utf-16-le") {
        const auto unit = [&](char32_t u) {
            const char hi = static_cast<char>(u >> 8);
            const char lo = static_cast<char>(u & 0xFF);
            out.push_back(big ? hi : lo);
            out.push_back(big ? lo : hi);
        };
        for (const char32_t cp : cps) {
            if (cp < 0x10000) {
                unit(cp);
            } else {
                unit(0xD800 + ((cp - 0x10000) >> 10));
                unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
        }
        return true;
    }
    if (const char* charset = double_byte_charset(encoding)) return iconv_encode(charset, raw, out);
    const bool windows_1252 = encoding == "windows-1252";
    if (!windows_1252 && encoding != "latin-1") return false;
    // The byte a code point stands for: searched, so that the check does
    // not share the encoder's mapping the other way.
    const auto byte_of = [&](char32_t cp) -> unsigned {
        for (unsigned b = 0; b < 256; ++b) {
            const auto byte = static_cast<std::uint8_t>(b);
            if (!windows_1252 && b == cp) return b;
            if (windows_1252 && !quillon::is_undefined_in_windows_1252(byte) &&
                quillon::windows_1252_code_point(byte) == cp) {
                return b;
            }
        }
        return 256;
    };
    for (const char32_t cp : cps) {
        const unsigned b = byte_of(cp);
        if (b == 256) return false;
        out.push_back(static_cast<char>(b));
    }
    return true;
}

// Reads one raw quarantine line back: its byte offset and the bytes its raw
// value stands for.
void check_round_trip(std::string_view line, std::string_view input) {
    std::string_view columns[5];
    std::string_view rest = line;
    for (std::string_view& column : columns) {
        const std::size_t comma = rest.find(',');
        check(comma != std::string_view::npos, "raw quarantine line has six columns",
              [&] { return std::string(line); });
        column = rest.substr(0, comma);
        rest.remove_prefix(comma + 1);
    }
    check(rest.size() >= 3 && rest.front() == '"' && rest.substr(rest.size() - 2) == "\"\n",
          "raw is quoted and the line ends in LF", [&] { return std::string(line); });
    std::string raw;
    for (std::size_t i = 1; i + 2 < rest.size(); ++i) {
        raw.push_back(rest[i]);
        if (rest[i] == '"') ++i;
    }
    std::size_t offset = 0;
    for (const char c : columns[2]) offset = offset * 10 + static_cast<std::size_t>(c - '0');
    std::string bytes;
    check(raw_value_bytes(columns[4], raw, bytes), "raw decodes with its encoding",
          [&] { return std::string(line); });
    check(offset <= input.size() && input.substr(offset, bytes.size()) == bytes,
          "raw gives back the input's bytes at byte_offset", [&] { return std::string(line); });
}

// Returns the clean file the run's rows make.
std::string check_run(const quillon::AdaptiveRun& run) {
    const quillon::SalvageResult& r = run.result;
    check(r.total_rows == r.salvaged_rows + r.quarantined_rows, "total == salvaged + quarantined");
    check(r.rows.size() == r.salvaged_rows, "every kept row is in the rows");
    check(r.quarantine.size() == r.quarantined_rows,
          "every quarantined record is in the quarantine");
    check(r.repaired_rows <= r.salvaged_rows, "repaired rows are kept rows");
    check(r.padded_rows + r.merged_rows + r.dropped_empty_rows + r.rejoined_rows + r.split_rows <=
              r.repaired_rows,
          "rows repaired by kind are repaired");
    std::size_t rejects = 0;
    for (const quillon::CountName& c : quillon::kCounts) {
        if (c.kind == quillon::CountKind::kReject) rejects += r.*c.count;
    }
    check(rejects == r.quarantined_rows, "rejects by kind add up");
    const std::string_view text = run.input.text();
    std::size_t previous_end = 0;
    for (const quillon::QuarantinedRow q : r.quarantine) {
        const quillon::RecordPlace& p = q.place;
        check(p.begin <= p.end && p.end <= text.size(), "span inside the text");
        check(p.begin >= previous_end, "spans in input order");
        check(p.first_line <= p.line, "first line <= last line");
        previous_end = p.end;
    }
    quillon::RunQuarantineLines lines(run);
    std::string line;
    std::size_t quarantined = 0;
    while (lines.next(line)) {
        check_round_trip(line, run.input.original);
        ++quarantined;
    }
    check(quarantined == r.quarantined_rows, "a quarantine line for every quarantined record");
    const quillon::Dialect& d = run.detection.dialect;
    const bool flags_fit = d.delimiter == run.output_delimiter && (!d.quote || *d.quote == '"') &&
                           !d.escape;
    quillon::GrowableBuffer<char> rescanned;
    quillon::GrowableBuffer<char> by_flags;
    std::string clean;
    for (const quillon::RowView row : r.rows) {
        if (r.inferred_columns != 0) {
            check(row.size() == r.inferred_columns, "kept rows have the column count");
        }
        rescanned.clear();
        quillon::encode_output_row_rescanning(row, run.output_delimiter, '"', rescanned,
                                               quillon::LoneEmptyField::kQuoted);
        if (flags_fit) {
            by_flags.clear();
            quillon::encode_output_row(row, run.output_delimiter, '"', by_flags,
                                      quillon::LoneEmptyField::kQuoted);
            const std::string_view text_line(rescanned.data(), rescanned.size());
            const std::string_view flags_line(by_flags.data(), by_flags.size());
            check(flags_line == text_line, "flags decide quoting as the text does",
                  [&] { return std::string(flags_line) + " vs " + std::string(text_line); });
        }
        if (clean.empty()) quillon::quote_leading_byte_order_mark(rescanned, run.output_delimiter, '"');
        clean.append(rescanned.data(), rescanned.size());
    }
    return clean;
}

// The salvage that writes rows as it reads them, into a memory file.
void check_written_as_read(const std::string& buffer, const quillon::AdaptiveOptions& options,
                           const quillon::AdaptiveRun& run, const std::string& clean) {
    const quillon::UniqueFd file(memfd_create("clean", MFD_CLOEXEC));
    if (!file) return;
    quillon::IoResult<quillon::AdaptiveStats> stats = quillon::adaptive_salvage_content(
        buffer, quillon::OutputTarget{"", file.get()}, std::nullopt, options);
    check(stats.ok(), "the salvage into a memory file succeeds");
    if (!stats.ok()) return;
    std::string written(clean.size() + 1, '\0');
    const ssize_t n = pread(file.get(), written.data(), written.size(), 0);
    written.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    check(written == clean, "the clean file is the encoding of the kept rows",
          [&] { return written + " vs " + clean; });
    const quillon::AdaptiveStats& s = stats.value();
    check(s.total_rows == run.result.total_rows && s.salvaged_rows == run.result.salvaged_rows &&
              s.quarantined_rows == run.result.quarantined_rows &&
              s.repaired_rows == run.result.repaired_rows &&
              s.ends_in_open_quote == run.result.ends_in_open_quote,
          "the salvage written as read counts as the run");
}

std::string memory_file_text(int fd) {
    std::string text;
    char chunk[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, chunk, sizeof chunk, at);
        if (n <= 0) return text;
        text.append(chunk, static_cast<std::size_t>(n));
        at += n;
    }
}

// The same input read as a stream through windows, spans, a head and blocks
// of sizes taken from its length (notes below the table kept, so that no
// 16 KiB tail is held back): the clean file and counts of the input held
// whole with that head.
void check_streamed(const std::string& buffer, quillon::AdaptiveOptions options) {
    options.drop_footer = false;
    const std::size_t n = buffer.size();
    options.head_bytes = 1 + n / 3;
    options.window_bytes = 1 + n / 7;
    options.span_bytes = 1 + n / 19;
    options.threads = 1 + static_cast<unsigned>(n % 3);
    const quillon::UniqueFd whole_file(memfd_create("whole", MFD_CLOEXEC));
    const quillon::UniqueFd streamed_file(memfd_create("streamed", MFD_CLOEXEC));
    if (!whole_file || !streamed_file) return;
    quillon::MemoryByteStream source(buffer, 1 + n % 11);
    quillon::IoResult<quillon::AdaptiveStats> whole = quillon::adaptive_salvage_content(
        buffer, quillon::OutputTarget{"", whole_file.get()}, std::nullopt, options);
    quillon::IoResult<quillon::AdaptiveStats> streamed = quillon::adaptive_salvage_stream(
        source, quillon::OutputTarget{"", streamed_file.get()}, std::nullopt, options);
    check(whole.ok() && streamed.ok(), "both salvages succeed");
    if (!whole.ok() || !streamed.ok()) return;
    const std::string whole_text = memory_file_text(whole_file.get());
    const std::string streamed_text = memory_file_text(streamed_file.get());
    check(streamed_text == whole_text, "the streamed clean file is the one of the input held whole",
          [&] { return streamed_text + " vs " + whole_text; });
    const quillon::AdaptiveStats& w = whole.value();
    const quillon::AdaptiveStats& s = streamed.value();
    bool same = s.columns == w.columns && s.ends_in_open_quote == w.ends_in_open_quote;
    for (const quillon::CountName& c : quillon::kCounts) same = same && s.*c.count == w.*c.count;
    check(same, "the streamed salvage counts as the input held whole");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const quillon::AdaptiveOptions options = read_options(in);
    const std::string buffer = fuzz::make_buffer(in);
    try {
        const quillon::AdaptiveRun run = quillon::run_adaptive(buffer, options);
        check_written_as_read(buffer, options, run, check_run(run));
        check_streamed(buffer, options);
    } catch (const std::bad_alloc&) {
        fuzz::fail("std::bad_alloc", "buffer of " + std::to_string(buffer.size()) + " bytes");
    }
    return 0;
}

// The adaptive run (detection, then the engine with the options it settled)
// over any bytes, with the user's options taken from the first input byte.
//
// Input: byte 0 flags (bit 0 fill_ragged_rows, bit 1 merge_overflow, bit 2
// repair_quotes, bit 3 drop_repeated_headers, bit 4 no column check, bit 5
// no quoting given, bit 6 a backslash escape given, bit 7 skip 1 record as
// preamble), then the buffer (see make_buffer).
//
// Invariants: total_rows == salvaged_rows + quarantined_rows, and the rejects
// by kind add up to the quarantined rows; repaired rows are kept rows; each quarantined record's span lies in the text,
// after the previous one, with first_line <= last_line; its raw quarantine
// line encodes; every kept row has the applied column count unless that is
// 0; where the engine's field flags fit the clean file's dialect, encoding
// with them gives the same line as encoding from the text alone. The clean
// file that the salvage writes as it reads (into a memory file) is the
// encoding of the rows the run kept, with the same counts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "engine/growable_buffer.hpp"
#include "fuzz_support.hpp"
#include "pipeline/adaptive_salvage.hpp"
#include "pipeline/encoders.hpp"
#include "pipeline/raw_quarantine.hpp"
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

// Returns the clean file the run's rows make.
std::string check_run(const quillon::AdaptiveRun& run) {
    const quillon::SalvageResult& r = run.result;
    check(r.total_rows == r.salvaged_rows + r.quarantined_rows, "total == salvaged + quarantined");
    check(r.repaired_rows <= r.salvaged_rows, "repaired rows are kept rows");
    check(r.padded_rows + r.merged_rows + r.dropped_empty_rows + r.rejoined_rows + r.split_rows <=
              r.repaired_rows,
          "rows repaired by kind are repaired");
    check(r.too_few_rows + r.extra_rows + r.preamble_rows + r.repeated_header_rows ==
              r.quarantined_rows,
          "rejects by kind add up");
    const std::string_view text = run.input.text();
    std::size_t previous_end = 0;
    std::string line;
    for (const quillon::QuarantinedRow q : r.quarantine) {
        const quillon::RecordPlace& p = q.place;
        check(p.begin <= p.end && p.end <= text.size(), "span inside the text");
        check(p.begin >= previous_end, "spans in input order");
        check(p.first_line <= p.line, "first line <= last line");
        previous_end = p.end;
        const quillon::RawRecord record{p.first_line, p.line, p.begin, q.code,
                                        text.substr(p.begin, p.end - p.begin),
                                        quillon::RawForm::kUtf8};
        quillon::encode_raw_quarantine_row(record, line);
        check(!line.empty() && line.back() == '\n', "raw quarantine line ends in LF");
    }
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
        quillon::encode_output_row_rescanning(row, run.output_delimiter, '"', rescanned);
        if (flags_fit) {
            by_flags.clear();
            quillon::encode_output_row(row, run.output_delimiter, '"', by_flags);
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
              s.repaired_rows == run.result.repaired_rows,
          "the salvage written as read counts as the run");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const quillon::AdaptiveOptions options = read_options(in);
    const std::string buffer = fuzz::make_buffer(in);
    try {
        const quillon::AdaptiveRun run = quillon::run_adaptive(buffer, options);
        check_written_as_read(buffer, options, run, check_run(run));
    } catch (const std::bad_alloc&) {
        fuzz::fail("std::bad_alloc", "buffer of " + std::to_string(buffer.size()) + " bytes");
    }
    return 0;
}

#include "salvage_run.hpp"

#include <cstdint>
#include <utility>

#include "column_profile.hpp"
#include "inference.hpp"
#include "normalize.hpp"
#include "sniffer.hpp"
#include "tokenizer.hpp"

namespace quillon {

namespace {

// A header after a byte-order mark is the same header: `cat` of exports that
// each begin with one glues the mark in front of every header but the first.
std::size_t mark_length(std::string_view text) noexcept {
    constexpr std::string_view kMark = "\xEF\xBB\xBF";
    return text.starts_with(kMark) ? kMark.size() : 0;
}

}  // namespace

void HeaderMatcher::remember(const RowView& row, std::string_view record) {
    record_.assign(record.substr(mark_length(record)));
    const std::size_t mark = mark_length(row.text());
    text_.assign(row.text().substr(mark));
    lengths_.clear();
    for (const FieldRef field : row) {
        lengths_.push_back(field.text.size() - (lengths_.empty() ? mark : 0));
    }
    set_ = true;
}

// The text is compared first: it settles almost every row without walking
// its fields.
bool HeaderMatcher::matches(const RowView& row) const noexcept {
    const std::size_t mark = mark_length(row.text());
    if (row.text().substr(mark) != text_) return false;
    std::size_t i = 0;
    for (const FieldRef field : row) {
        if (i == lengths_.size() || field.text.size() - (i == 0 ? mark : 0) != lengths_[i]) {
            return false;
        }
        ++i;
    }
    return i == lengths_.size();
}

std::size_t HeaderMatcher::glued_at(std::string_view record) const noexcept {
    if (record_.empty() || record.size() <= record_.size() || !record.ends_with(record_)) {
        return std::string_view::npos;
    }
    std::size_t at = record.size() - record_.size();
    if (at > 3 && mark_length(record.substr(at - 3)) != 0) at -= 3;
    return at;
}

namespace {

// A sink is handed this much at a time: enough to keep its loop busy, little
// enough to stay in the cache between tokenizing a row and encoding it.
constexpr std::size_t kSinkBatchText = std::size_t{128} << 10;
constexpr std::size_t kSinkBatchRows = 2048;

Dialect dialect_of(std::uint8_t delimiter, const SalvageOptions& options) {
    return Dialect{.delimiter = delimiter,
                   .quote = options.quoting ? std::optional<std::uint8_t>(options.quote_char)
                                            : std::nullopt,
                   .escape = options.escape_char,
                   .skip_initial_space = options.skip_initial_space,
                   .repair_quotes = options.repair_quotes};
}

void configure(RecordTokenizer& tokenizer, const SalvageOptions& options, std::size_t expected) {
    tokenizer.set_decoding(options.decoding);
    if (options.guard_runaway_quotes) tokenizer.set_runaway_guard(expected);
}

// The run's type-aware row repair, or none: its profiles are learned from
// the table's first records, read as the run reads them. A table whose
// rows rarely fit has too little to learn from and keeps the fixed rules.
std::optional<RowRepairer> make_row_repairer(std::string_view buffer, const Dialect& dialect,
                                             const SalvageOptions& options,
                                             std::size_t expected) {
    if (!options.repair_misaligned_rows || expected == 0) return std::nullopt;
    RecordTokenizer reader(buffer, dialect);
    configure(reader, options, expected);
    ColumnProfiles profiles =
        learn_column_profiles(reader, options.preamble_rows, expected, dialect.delimiter);
    if (profiles.rows() < RowRepairer::kMinProfileRows) return std::nullopt;
    return RowRepairer(std::move(profiles), dialect.delimiter, dialect.skip_initial_space);
}

// Mends the header row, the last of `rows`, to `width` fields as `shape`
// says, when its field count is the one that shape has. The row is copied
// out first: its text would be overwritten as it is rebuilt.
void mend_header(RowStore& rows, HeaderShape shape, std::size_t width) {
    const std::size_t fields = rows.last_row_size();
    const bool fits = shape == HeaderShape::kRowNames ? fields + 1 == width : fields > width;
    if (!fits) return;
    RowStore copy;
    copy.append_row(rows.row(rows.size() - 1));
    std::size_t kept = 0;
    for (const FieldRef f : copy.row(0)) {
        if (kept++ >= width && !is_blank_text(f.text)) return;
    }
    rows.pop_last_row();
    if (shape == HeaderShape::kRowNames) rows.append_field("row_name", 0);
    kept = 0;
    for (const FieldRef f : copy.row(0)) {
        if (kept++ == width) break;
        rows.append_field(f.text, f.flags);
    }
    rows.end_row();
}

}  // namespace

bool InputWindow::holds(std::size_t reach) const noexcept {
    // The tokenizer's block scanner reads a little past where it stops.
    constexpr std::size_t kScanSlack = 256;
    return complete || reach + kScanSlack < end();
}

SalvageRun::SalvageRun(std::string_view whole, const SalvageOptions& options, bool complete)
    : buffer_(whole), options_(options) {
    const std::string_view buffer = whole.substr(0, std::min(whole.size(), options.settle_bytes));
    // An empty input reports the comma and no column check, whatever the
    // options name: there was nothing to apply them to.
    if (buffer.empty()) {
        dialect_ = dialect_of(',', options);
        return;
    }
    const std::uint8_t delimiter =
        options.delimiter ? *options.delimiter : sniff_delimiter(buffer);
    expected_ =
        options.expected_columns ? *options.expected_columns : infer_columns(buffer, delimiter);
    dialect_ = dialect_of(delimiter, options);
    repairer_ = make_row_repairer(buffer, dialect_, options, expected_);

    find_head(options, complete);
    if (options.split_tables) {
        tables_.emplace(expected_, options.comment_prefix, delimiter);
        table_scan_ = SpanCursor{head_end_, head_lines_};
        find_tables(InputWindow{whole, 0, complete});
    }
}

std::size_t SalvageRun::find_tables(const InputWindow& window) {
    if (!tables_) return SIZE_MAX;
    const std::size_t base = window.base;
    const std::string_view bytes = window.bytes;
    // Without a break in sight the records need not be read: every line
    // holds the delimiter. Spans tell where they end (records_read_to).
    if (!tables_->open() &&
        !may_hold_other_tables(bytes.substr(table_scan_.position - base), dialect_.delimiter)) {
        if (window.complete) tables_->finish(window.end());
        return SIZE_MAX;
    }
    RecordTokenizer records(bytes, dialect_);
    configure(records, options_, expected_);
    records.start_at(table_scan_.position - base);
    const std::size_t lines_before = table_scan_.lines;
    for (;;) {
        const std::size_t line = lines_before + records.line();
        const std::optional<RecordShape> shape = records.next_shape();
        // A record that looked past the window may read otherwise once
        // more of the input is there.
        if (!shape || !window.holds(base + records.reach())) break;
        const std::size_t at = records.record_begin();
        tables_->take(*shape, base + at, line, bytes.substr(at, records.content_end() - at),
                      bytes.substr(at));
        table_scan_.position = base + records.position();
        table_scan_.lines = lines_before + records.line() - 1;
    }
    if (window.complete) tables_->finish(window.end());
    if (!tables_->tables().empty()) other_tables_from_ = tables_->tables().front().boundary;
    return tables_->undecided_from();
}

std::size_t SalvageRun::table_records(const InputWindow& window, std::size_t from,
                                      std::size_t until,
                                      const std::vector<RecordStart>& lone_records,
                                      std::vector<TableRecord>& out) const {
    out.clear();
    const std::string_view bytes = window.bytes;
    const std::size_t base = window.base;
    const std::size_t start = std::max(from, head_end_);
    if (start >= window.end() || start >= until) return from;
    RecordTokenizer records(bytes, dialect_);
    configure(records, options_, expected_);
    const std::string_view comment = options_.comment_prefix;
    std::size_t reach = from;
    std::size_t wanted = kOtherTableRecords;
    // The records from `at`, on line `line`, while the finder may want them.
    const auto take_from = [&](std::size_t at, std::size_t line) {
        records.start_at(at - base);
        const std::size_t lines_before = line - 1;
        while (wanted != 0 && base + records.position() < until) {
            const std::size_t record_line = lines_before + records.line();
            const std::optional<RecordShape> shape = records.next_shape();
            if (!shape) break;
            const std::size_t begin = records.record_begin();
            if (shape->fields == 1) {
                wanted = kOtherTableRecords;
            } else if (!comment.empty() && bytes.substr(begin).starts_with(comment)) {
                continue;
            } else {
                --wanted;
            }
            out.push_back(TableRecord{*shape, base + begin, base + records.content_end(),
                                      record_line});
        }
        reach = std::max(reach, base + records.reach());
    };
    take_from(start, from == start ? 1 : head_lines_ + 1);
    for (const RecordStart& lone : lone_records) {
        // One read already, or one of the head.
        if (lone.begin < base + records.position() || lone.begin < start) continue;
        // The record itself resets what the finder wants after it.
        wanted = 1;
        take_from(lone.begin, lone.line);
    }
    return reach;
}

void SalvageRun::records_read_to(const SpanCursor& cursor) noexcept {
    if (tables_ && !tables_->open() && cursor.position > table_scan_.position) {
        table_scan_ = cursor;
    }
}

// The records that only a pass from the start reads as preamble and header:
// a span that begins later must begin past them.
void SalvageRun::find_head(const SalvageOptions& options, bool complete) {
    const std::string_view buffer = buffer_;
    std::size_t head_records =
        options.preamble_rows + (options.drop_repeated_headers ? 1 : 0);
    if (head_records == 0) return;
    RecordTokenizer tokenizer(buffer, dialect_);
    configure(tokenizer, options, expected_);
    RowStore rows;
    // Comments between the preamble and the header move the header down.
    std::size_t header_at = options.preamble_rows;
    const std::string_view comment = options.comment_prefix;
    for (std::size_t i = 0; i < head_records; ++i) {
        if (!tokenizer.next_record(rows)) break;
        if (i == header_at) {
            if (!comment.empty() && buffer.substr(tokenizer.record_begin()).starts_with(comment)) {
                ++header_at;
                ++head_records;
            } else {
                header_.remember(rows.row(0), buffer.substr(tokenizer.record_begin(),
                                                            tokenizer.content_end() -
                                                                tokenizer.record_begin()));
            }
        }
        // A preamble of many records costs one record's memory.
        rows.clear();
    }
    head_end_ = tokenizer.position();
    head_lines_ = tokenizer.line() - 1;
    head_complete_ = InputWindow{buffer, 0, complete}.holds(tokenizer.reach());
}

void SalvageRun::describe(SalvageResult& result) const {
    result.detected_delimiter = static_cast<char32_t>(dialect_.delimiter);
    result.inferred_columns = expected_;
    result.quarantine.set_expected_columns(expected_);
    if (tables_) result.other_tables = tables_->tables();
}

namespace {

// Reads `text` into `into` as one whole record; false when it is not one.
bool read_whole_record(std::string_view text, const Dialect& dialect,
                       const SalvageOptions& options, std::size_t expected, RowStore& into) {
    RecordTokenizer tokenizer(text, dialect);
    configure(tokenizer, options, expected);
    return tokenizer.next_record(into) && tokenizer.position() >= text.size();
}

// A record (`record`, its bytes) whose bytes from `at` on are a copy of the
// header: when the head and the copy each read as one record, the head takes
// the record's place, the last row of `rows`, with `place` narrowed to it,
// and the copy is left as the second row of `parts`; its place is returned.
std::optional<RecordPlace> split_glued_header(RecordPlace& place, std::size_t at,
                                              std::string_view record, const Dialect& dialect,
                                              const SalvageOptions& options, std::size_t expected,
                                              RowStore& rows, RowStore& parts) {
    parts.clear();
    if (!read_whole_record(record.substr(0, at), dialect, options, expected, parts) ||
        !read_whole_record(record.substr(at), dialect, options, expected, parts)) {
        return std::nullopt;
    }
    rows.pop_last_row();
    rows.append_row(parts.row(0));
    const RecordPlace copy{place.line, place.line, place.begin + at, place.end};
    place.end = place.begin + at;
    return copy;
}

}  // namespace

SpanEnd SalvageRun::read_span(std::size_t from, std::size_t until, SalvageResult& result,
                              KeptRowSink* sink, ProgressHook progress) const {
    return read_span(InputWindow{buffer_, 0, true}, from, until, result, sink, progress);
}

SpanEnd SalvageRun::read_span(const InputWindow& window, std::size_t from, std::size_t until,
                              SalvageResult& result, KeptRowSink* sink, ProgressHook progress,
                              std::vector<RecordStart>* lone_records) const {
    // The tokenizer counts in the window; places and the footer mark are
    // offsets of the input. Its end is the input's only in a complete window.
    const std::string_view bytes = window.bytes;
    const std::size_t base = window.base;
    const std::size_t n = window.end();
    RecordTokenizer tokenizer(bytes, dialect_);
    configure(tokenizer, options_, expected_);
    if (from != 0) tokenizer.start_at(from - base);
    if (from >= n || from >= until) return SpanEnd{from, 0, from};

    RowStore& rows = result.rows;
    const std::size_t rows_before = rows.size();
    const std::size_t quarantined_before = result.quarantine.size();
    if (rows.empty()) {
        // Generous estimates: capacity that is never written is never resident.
        const std::size_t span = sink != nullptr ? kSinkBatchText : (until < n ? until : n) - from;
        rows.reserve(span / 64 + 16, span / 4 + 16, span + 64);
    }
    std::size_t handed = 0;
    // The first line of each row in `rows`, for a sink that wants them.
    const bool with_lines = sink != nullptr && sink->wants_lines();
    std::vector<std::size_t> first_lines;
    if (with_lines) first_lines.reserve(kSinkBatchRows + 1);
    // False once the sink has refused a batch.
    const auto hand_over = [&]() {
        handed += rows.size();
        const bool taken = with_lines ? sink->take_lines(rows, first_lines.data()) : sink->take(rows);
        rows.clear();
        first_lines.clear();
        return taken;
    };

    // Each span has its own scratch for the repair, and its own header
    // matcher: a span from the start finds the header itself.
    std::optional<RowRepairer> repairer = repairer_;
    NormalizeSettings settings{expected_, dialect_.delimiter, options_.fill_ragged_rows,
                               options_.merge_overflow};
    if (repairer) settings.repair = &*repairer;
    HeaderMatcher header = from == 0 ? HeaderMatcher() : header_;
    // Records before this one; a span past the head only needs to know that
    // it is past the preamble.
    std::size_t records = from == 0 ? 0 : options_.preamble_rows + 1;
    const bool count_reencoded = options_.decoding == FieldDecoding::kUtf8Windows1252Fallback;
    const std::string_view comment = options_.comment_prefix;
    // A record's head and the header copy cut off it, set aside after the
    // head (as the second row).
    RowStore glued_parts;
    // The first record after the preamble that is not a comment is the header.
    bool awaiting_header = from == 0;
    // Without a hook no offset reaches the mark: one comparison per record.
    std::size_t next_report = progress ? from + kProgressStep : SIZE_MAX;

    for (;;) {
        // Asked before the span's end too: a run that has just read its last
        // record still reports reaching the mark, and may still be stopped.
        const std::size_t at = base + tokenizer.position();
        if (at >= next_report) {
            if (!progress(at, n)) {
                result.stopped = true;
                break;
            }
            next_report = at + kProgressStep;
        }
        if (at >= until) break;
        const std::size_t first_line = tokenizer.line();
        if (!tokenizer.next_record(rows)) break;
        // The line on which the record ends: the counter has already moved
        // past the line break that ended it.
        RecordPlace place{
            first_line, tokenizer.line() - (tokenizer.ended_by_line_break() ? 1 : 0),
            base + tokenizer.record_begin(), base + tokenizer.content_end()};
        if (lone_records != nullptr && rows.row(rows.size() - 1).size() == 1) {
            lone_records->push_back(RecordStart{place.begin, first_line});
        }
        ++records;
        ++result.total_rows;
        if (count_reencoded && tokenizer.single_byte_decoded()) ++result.reencoded_rows;
        if (place.begin >= other_tables_from_) {
            result.quarantine.add(rows.row(rows.size() - 1), QuarantineReason::kOtherTable, place);
            rows.pop_last_row();
            ++result.other_table_rows;
            continue;
        }
        if (!comment.empty() && bytes.substr(place.begin - base).starts_with(comment)) {
            result.quarantine.add(rows.row(rows.size() - 1), QuarantineReason::kComment, place);
            rows.pop_last_row();
            ++result.comment_rows;
            continue;
        }
        if (place.begin >= options_.footer_from) {
            result.quarantine.add(rows.row(rows.size() - 1), QuarantineReason::kFooter, place);
            rows.pop_last_row();
            ++result.footer_rows;
            continue;
        }
        if (records <= options_.preamble_rows) {
            result.quarantine.add(rows.row(rows.size() - 1), QuarantineReason::kPreamble, place);
            rows.pop_last_row();
            ++result.preamble_rows;
            continue;
        }
        if (options_.drop_repeated_headers) {
            const RowView row = rows.row(rows.size() - 1);
            if (!header.set()) {
                header.remember(row, bytes.substr(place.begin - base, place.end - place.begin));
            } else if (header.matches(row)) {
                result.quarantine.add(row, QuarantineReason::kRepeatedHeader, place);
                rows.pop_last_row();
                ++result.repeated_header_rows;
                continue;
            }
        }
        if (awaiting_header) {
            awaiting_header = false;
            if (options_.header_shape != HeaderShape::kWidth) {
                mend_header(rows, options_.header_shape, expected_);
            }
        }
        std::optional<RecordPlace> glued;
        if (header.set() && expected_ != 0 && rows.last_row_size() > expected_) {
            const std::string_view record = bytes.substr(place.begin - base, place.end - place.begin);
            const std::size_t copy_at = header.glued_at(record);
            if (copy_at != std::string_view::npos) {
                glued = split_glued_header(place, copy_at, record, dialect_, options_, expected_, rows,
                                           glued_parts);
            }
            // A header with no rows below it, cut off its line break
            // (`cat` of an empty export): both copies are set aside.
            if (glued && header.matches(rows.row(rows.size() - 1))) {
                result.quarantine.add(rows.row(rows.size() - 1), QuarantineReason::kRepeatedHeader,
                                      place);
                rows.pop_last_row();
                result.quarantine.add(glued_parts.row(1), QuarantineReason::kRepeatedHeader, *glued);
                result.repeated_header_rows += 2;
                ++result.total_rows;
                continue;
            }
        }
        // A record the guard mended is a repaired row even when its count
        // then fits; one that normalization also pads or merges counts once.
        const std::size_t repaired_before = result.repaired_rows;
        const std::size_t kept_before = rows.size();
        // A row of the table's width needs no call.
        if (expected_ != 0 && rows.last_row_size() != expected_) {
            normalize_row(result, settings, place);
        }
        if (tokenizer.runaway_quote_taken()) {
            ++result.runaway_quote_rows;
            if (rows.size() == kept_before && result.repaired_rows == repaired_before) {
                ++result.repaired_rows;
            }
        }
        if (glued) {
            result.quarantine.add(glued_parts.row(1), QuarantineReason::kRepeatedHeader, *glued);
            ++result.repeated_header_rows;
            ++result.total_rows;
        }
        // The rows this record left (none when the repair set it aside).
        if (with_lines) first_lines.resize(rows.size(), first_line);
        if (sink != nullptr &&
            (rows.text_bytes() >= kSinkBatchText || rows.size() >= kSinkBatchRows) &&
            !hand_over()) {
            result.stopped = true;
            break;
        }
    }
    if (sink != nullptr && !rows.empty() && !result.stopped && !hand_over()) {
        result.stopped = true;
    }

    result.salvaged_rows += handed + rows.size() - rows_before;
    result.ends_in_open_quote =
        window.complete && base + tokenizer.position() >= n && tokenizer.ended_in_open_quote();
    result.quarantined_rows += result.quarantine.size() - quarantined_before;
    return SpanEnd{base + tokenizer.position(), tokenizer.line() - 1, base + tokenizer.reach()};
}

}  // namespace quillon

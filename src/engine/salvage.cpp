#include "salvage.hpp"

#include "salvage_run.hpp"

namespace quillon {

namespace {

// The text of a reason that names no column count; empty for one that does.
std::string_view fixed_reason_text(QuarantineReason reason) noexcept {
    switch (reason) {
        case QuarantineReason::kPreamble:
            return "Row precedes the table";
        case QuarantineReason::kRepeatedHeader:
            return "Row repeats the header";
        case QuarantineReason::kComment:
            return "Row is a comment";
        case QuarantineReason::kFooter:
            return "Row follows the table";
        case QuarantineReason::kOtherTable:
            return "Row belongs to another table";
        case QuarantineReason::kTooFewColumns:
        case QuarantineReason::kExtraColumns:
            break;
    }
    return {};
}

}  // namespace

std::string quarantine_reason_text(QuarantineReason reason, std::size_t expected) {
    if (const std::string_view fixed = fixed_reason_text(reason); !fixed.empty()) {
        return std::string(fixed);
    }
    std::string text = reason == QuarantineReason::kTooFewColumns
                           ? "Row has too few columns (expected "
                           : "Row has extra columns (expected ";
    text += std::to_string(expected);
    text += ')';
    return text;
}

void QuarantineList::set_expected_columns(std::size_t expected) {
    too_few_ = quarantine_reason_text(QuarantineReason::kTooFewColumns, expected);
    extra_ = quarantine_reason_text(QuarantineReason::kExtraColumns, expected);
}

void QuarantineList::add(const RowView& fields, QuarantineReason reason, const RecordPlace& place) {
    fields_.append_row(fields);
    entries_.push_back(Entry{place, reason});
}

std::string_view QuarantineList::reason_text(QuarantineReason reason) const noexcept {
    switch (reason) {
        case QuarantineReason::kTooFewColumns:
            return too_few_;
        case QuarantineReason::kExtraColumns:
            return extra_;
        default:
            return fixed_reason_text(reason);
    }
}

QuarantinedRow QuarantineList::operator[](std::size_t i) const noexcept {
    const Entry& e = entries_[i];
    return QuarantinedRow{fields_.row(i), reason_text(e.reason), e.place.line, e.reason, e.place};
}

SalvageResult salvage_buffer(std::string_view buffer, const SalvageOptions& options) {
    SalvageResult result;
    const SalvageRun run(buffer, options);
    run.describe(result);
    run.read_span(0, buffer.size(), result, nullptr, options.progress);
    return result;
}

void QuarantineList::append(const QuarantineList& other, std::size_t line_offset) {
    fields_.append_rows(other.fields_);
    entries_.reserve_tail(other.entries_.size());
    for (std::size_t i = 0; i < other.entries_.size(); ++i) {
        Entry e = other.entries_[i];
        e.place.first_line += line_offset;
        e.place.line += line_offset;
        entries_.push_back(e);
    }
}

void append_span(SalvageResult& into, const SalvageResult& span, std::size_t line_offset) {
    into.rows.append_rows(span.rows);
    into.quarantine.append(span.quarantine, line_offset);
    add_span_counts(into, span);
}

void add_span_counts(SalvageResult& into, const SalvageResult& span) {
    into += span;
    // Only the last span that read a record holds the input's last record
    // (a span cut after a quoted field that ran to the end reads none).
    if (span.total_rows != 0) into.ends_in_open_quote = span.ends_in_open_quote;
    into.stopped = into.stopped || span.stopped;
}

}  // namespace quillon

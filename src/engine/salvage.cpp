#include "salvage.hpp"

#include "inference.hpp"
#include "normalize.hpp"
#include "sniffer.hpp"
#include "tokenizer.hpp"

namespace quillon {

std::string quarantine_reason_text(QuarantineReason reason, std::size_t expected) {
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

void QuarantineList::add(const RowView& fields, QuarantineReason reason, std::size_t line) {
    fields_.append_row(fields);
    entries_.push_back(Entry{line, reason});
}

QuarantinedRow QuarantineList::operator[](std::size_t i) const noexcept {
    const Entry& e = entries_[i];
    return QuarantinedRow{fields_.row(i),
                          e.reason == QuarantineReason::kTooFewColumns ? std::string_view(too_few_)
                                                                        : std::string_view(extra_),
                          e.line};
}

SalvageResult salvage_buffer(std::string_view buffer, const SalvageOptions& options) {
    SalvageResult result;
    if (buffer.empty()) return result;

    const std::uint8_t delimiter =
        options.delimiter ? *options.delimiter : sniff_delimiter(buffer);
    const std::size_t expected =
        options.expected_columns ? *options.expected_columns : infer_columns(buffer, delimiter);
    result.quarantine.set_expected_columns(expected);

    // Generous estimates: capacity that is never written is never resident.
    const std::size_t n = buffer.size();
    result.rows.reserve(n / 64 + 16, n / 4 + 16, n + 64);

    const NormalizeSettings settings{expected, delimiter, options.fill_ragged_rows,
                                     options.merge_overflow};
    RecordTokenizer tokenizer(buffer, delimiter, options.quote_char, options.repair_quotes);
    while (tokenizer.next_record(result.rows)) {
        // The line on which the record ends: the counter has already moved
        // past the line break that ended it.
        const std::size_t line = tokenizer.line() - (tokenizer.ended_by_line_break() ? 1 : 0);
        normalize_row(result, settings, line);
        ++result.total_rows;
    }

    result.detected_delimiter = static_cast<char32_t>(delimiter);
    result.salvaged_rows = result.rows.size();
    result.quarantined_rows = result.quarantine.size();
    result.inferred_columns = expected;
    return result;
}

}  // namespace quillon

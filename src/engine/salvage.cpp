#include "salvage.hpp"

#include "column_profile.hpp"
#include "inference.hpp"
#include "normalize.hpp"
#include "row_repair.hpp"
#include "sniffer.hpp"
#include "tokenizer.hpp"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace quillon {

std::string quarantine_reason_text(QuarantineReason reason, std::size_t expected) {
    switch (reason) {
        case QuarantineReason::kPreamble:
            return "Row precedes the table";
        case QuarantineReason::kRepeatedHeader:
            return "Row repeats the header";
        case QuarantineReason::kTooFewColumns:
        case QuarantineReason::kExtraColumns:
            break;
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
        case QuarantineReason::kPreamble:
            return "Row precedes the table";
        case QuarantineReason::kRepeatedHeader:
            return "Row repeats the header";
    }
    return {};
}

QuarantinedRow QuarantineList::operator[](std::size_t i) const noexcept {
    const Entry& e = entries_[i];
    return QuarantinedRow{fields_.row(i), reason_text(e.reason), e.place.line, e.reason, e.place};
}

namespace {

// The table's first record, kept to recognise the header rows that
// concatenated exports repeat further down.
class HeaderMatcher {
public:
    void remember(const RowView& row) {
        text_.assign(row.text());
        lengths_.clear();
        for (const FieldRef field : row) lengths_.push_back(field.text.size());
        set_ = true;
    }
    bool set() const noexcept { return set_; }
    // The same fields, byte for byte. The text is compared first: it settles
    // almost every row without walking its fields.
    bool matches(const RowView& row) const noexcept {
        if (row.text() != text_) return false;
        std::size_t i = 0;
        for (const FieldRef field : row) {
            if (i == lengths_.size() || field.text.size() != lengths_[i]) return false;
            ++i;
        }
        return i == lengths_.size();
    }

private:
    std::string text_;
    std::vector<std::size_t> lengths_;
    bool set_ = false;
};

// The run's type-aware row repair, or none: its profiles are learned from
// the table's first records, read as the run reads them. A table whose
// rows rarely fit has too little to learn from and keeps the fixed rules.
std::optional<RowRepairer> make_row_repairer(std::string_view buffer, const Dialect& dialect,
                                             const SalvageOptions& options,
                                             std::size_t expected) {
    if (!options.repair_misaligned_rows || expected == 0) return std::nullopt;
    RecordTokenizer reader(buffer, dialect);
    reader.set_decoding(options.decoding);
    if (options.guard_runaway_quotes) reader.set_runaway_guard(expected);
    ColumnProfiles profiles =
        learn_column_profiles(reader, options.preamble_rows, expected, dialect.delimiter);
    if (profiles.rows() < RowRepairer::kMinProfileRows) return std::nullopt;
    return RowRepairer(std::move(profiles), dialect.delimiter, dialect.skip_initial_space);
}

}  // namespace

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

    NormalizeSettings settings{expected, delimiter, options.fill_ragged_rows,
                               options.merge_overflow};
    const Dialect dialect{.delimiter = delimiter,
                          .quote = options.quoting ? std::optional<std::uint8_t>(options.quote_char)
                                                   : std::nullopt,
                          .escape = options.escape_char,
                          .skip_initial_space = options.skip_initial_space,
                          .repair_quotes = options.repair_quotes};
    RecordTokenizer tokenizer(buffer, dialect);
    tokenizer.set_decoding(options.decoding);
    if (options.guard_runaway_quotes) tokenizer.set_runaway_guard(expected);
    std::optional<RowRepairer> repairer = make_row_repairer(buffer, dialect, options, expected);
    if (repairer) settings.repair = &*repairer;
    const bool count_reencoded = options.decoding == FieldDecoding::kUtf8Windows1252Fallback;
    HeaderMatcher header;
    // Without a hook no offset reaches the mark: one comparison per record.
    std::size_t next_report = options.progress ? kProgressStep : SIZE_MAX;
    for (;;) {
        if (tokenizer.position() >= next_report) {
            if (!options.progress(tokenizer.position(), n)) {
                result.stopped = true;
                break;
            }
            next_report = tokenizer.position() + kProgressStep;
        }
        const std::size_t first_line = tokenizer.line();
        if (!tokenizer.next_record(result.rows)) break;
        // The line on which the record ends: the counter has already moved
        // past the line break that ended it.
        const RecordPlace place{
            first_line, tokenizer.line() - (tokenizer.ended_by_line_break() ? 1 : 0),
            tokenizer.record_begin(), tokenizer.content_end()};
        ++result.total_rows;
        if (count_reencoded && tokenizer.single_byte_decoded()) ++result.reencoded_rows;
        if (result.total_rows <= options.preamble_rows) {
            result.quarantine.add(result.rows.row(result.rows.size() - 1),
                                  QuarantineReason::kPreamble, place);
            result.rows.pop_last_row();
            ++result.preamble_rows;
            continue;
        }
        if (options.drop_repeated_headers) {
            const RowView row = result.rows.row(result.rows.size() - 1);
            if (!header.set()) {
                header.remember(row);
            } else if (header.matches(row)) {
                result.quarantine.add(row, QuarantineReason::kRepeatedHeader, place);
                result.rows.pop_last_row();
                ++result.repeated_header_rows;
                continue;
            }
        }
        // A record the guard mended is a repaired row even when its count
        // then fits; one that normalization also pads or merges counts once.
        const std::size_t repaired_before = result.repaired_rows;
        const std::size_t kept_before = result.rows.size();
        normalize_row(result, settings, place);
        if (tokenizer.runaway_quote_taken()) {
            ++result.runaway_quote_rows;
            if (result.rows.size() == kept_before && result.repaired_rows == repaired_before) {
                ++result.repaired_rows;
            }
        }
    }

    result.detected_delimiter = static_cast<char32_t>(delimiter);
    result.salvaged_rows = result.rows.size();
    result.quarantined_rows = result.quarantine.size();
    result.inferred_columns = expected;
    return result;
}

}  // namespace quillon

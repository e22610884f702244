#include "kept_row_writers.hpp"

#include <utility>

namespace quillon {

void encode_clean_line(const RowView& row, std::uint8_t delimiter, QuotingDecision decision,
                       std::uint8_t quote_char, GrowableBuffer<char>& out,
                       LoneEmptyField lone_empty) {
    if (decision == QuotingDecision::kByFlags) {
        encode_output_row(row, delimiter, quote_char, out, lone_empty);
    } else {
        encode_output_row_rescanning(row, delimiter, quote_char, out, lone_empty);
    }
}

bool CleanFileWriter::write_line() {
    if (first_line_) [[unlikely]] {
        quote_leading_byte_order_mark(line_, delimiter_, quote_char_);
        first_line_ = false;
    }
    // The status is only kept when it tells of a failure: assigning the
    // result every time would cost a variant's move for each row.
    IoStatus written = out_.write_all(std::string_view(line_.data(), line_.size()));
    if (written) [[likely]] return true;
    status_ = std::move(written);
    return false;
}

bool CleanFileWriter::take(const RowStore& rows) {
    for (const RowView row : rows) {
        line_.clear();
        encode_clean_line(row, delimiter_, decision_, quote_char_, line_, lone_empty_);
        if (!write_line()) return false;
    }
    return true;
}

bool CleanFileWriter::write_encoded(std::string_view text, std::size_t first_line) {
    if (text.empty()) return true;
    if (first_line_) {
        line_.clear();
        line_.append(text.data(), first_line);
        if (!write_line()) return false;
        text.remove_prefix(first_line);
    }
    status_ = out_.write_all(text);
    return static_cast<bool>(status_);
}

SpanEncoder::SpanEncoder(std::uint8_t delimiter, std::uint8_t quote_char, QuotingDecision decision,
                         LoneEmptyField lone_empty, std::size_t expected_bytes)
    : delimiter_(delimiter), quote_char_(quote_char), decision_(decision), lone_empty_(lone_empty) {
    text_.reserve(expected_bytes);
}

bool SpanEncoder::take(const RowStore& rows) {
    for (const RowView row : rows) {
        encode_clean_line(row, delimiter_, decision_, quote_char_, text_, lone_empty_);
        if (first_line_ == 0) first_line_ = text_.size();
    }
    return true;
}

}  // namespace quillon

// The clean file's lines, made from kept rows as an engine run hands them
// over: straight into the output file when one thread reads the input, or
// into one block of memory per span when spans are read on several threads
// and written in order afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "buffered_file_writer.hpp"
#include "encoders.hpp"
#include "engine/growable_buffer.hpp"
#include "engine/row_store.hpp"
#include "engine/salvage_run.hpp"
#include "io_error.hpp"

namespace quillon {

// How a row's quoting is decided: from the engine's special flags, or from
// the text alone when the flags speak of another dialect than the output's.
enum class QuotingDecision : std::uint8_t { kByFlags, kByText };

// Appends one row to `out` as the clean file's line.
void encode_clean_line(const RowView& row, std::uint8_t delimiter, QuotingDecision decision,
                       std::uint8_t quote_char, GrowableBuffer<char>& out,
                       LoneEmptyField lone_empty = LoneEmptyField::kEmptyLine);

// Writes each kept row to the clean file as one line handed to the writer in
// one piece; the file's first line gets its byte-order mark quoted.
class CleanFileWriter final : public KeptRowSink {
public:
    CleanFileWriter(BufferedFileWriter& out, std::uint8_t delimiter, std::uint8_t quote_char,
                    QuotingDecision decision,
                    LoneEmptyField lone_empty = LoneEmptyField::kEmptyLine) noexcept
        : out_(out),
          delimiter_(delimiter),
          quote_char_(quote_char),
          decision_(decision),
          lone_empty_(lone_empty) {}

    bool take(const RowStore& rows) override;
    // Writes text already encoded by a SpanEncoder: `first_line` bytes of it
    // are the span's first line.
    bool write_encoded(std::string_view text, std::size_t first_line);
    // The first write failure, if any.
    const IoStatus& status() const noexcept { return status_; }

private:
    bool write_line();

    BufferedFileWriter& out_;
    std::uint8_t delimiter_;
    std::uint8_t quote_char_;
    QuotingDecision decision_;
    LoneEmptyField lone_empty_;
    // One line at a time, refilled for each row.
    GrowableBuffer<char> line_;
    bool first_line_ = true;
    IoStatus status_ = io_ok();
};

// Encodes one span's kept rows into memory, for a CleanFileWriter to write
// when the span's turn comes.
class SpanEncoder final : public KeptRowSink {
public:
    // `expected_bytes`: about how much text the span makes, reserved up front
    // (address space only until written).
    SpanEncoder(std::uint8_t delimiter, std::uint8_t quote_char, QuotingDecision decision,
                LoneEmptyField lone_empty, std::size_t expected_bytes);

    bool take(const RowStore& rows) override;
    std::string_view text() const noexcept { return {text_.data(), text_.size()}; }
    // The length of the span's first line (0 when it kept no row).
    std::size_t first_line() const noexcept { return first_line_; }

private:
    std::uint8_t delimiter_;
    std::uint8_t quote_char_;
    QuotingDecision decision_;
    LoneEmptyField lone_empty_;
    // The rows' lines, each encoded straight after the one before.
    GrowableBuffer<char> text_;
    std::size_t first_line_ = 0;
};

}  // namespace quillon

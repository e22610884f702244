// The lines of the output file and of the quarantine file.
//
// The clean file's encoders append one whole line ending in LF to a buffer
// whose spare room they write without filling it first, so that a caller
// can encode rows one after the other straight into one block of text, or
// reuse one line buffer (cleared before each row) that allocates only while
// it still grows to the longest line. The quarantine encoder clears a string
// and fills it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/growable_buffer.hpp"
#include "engine/row_store.hpp"
#include "engine/salvage.hpp"

namespace quillon {

inline constexpr std::string_view QUARANTINE_HEADER = "line,reason,raw_content\n";

// How a row of one empty field is written: as an empty line, or as two
// quotes, as Python's csv.writer writes it, so that readers that skip blank
// lines (pandas, pyarrow) still count the row.
enum class LoneEmptyField : std::uint8_t { kEmptyLine, kQuoted };

// The fields joined by the delimiter, with minimal quoting: a field is quoted
// if and only if it contains the quote character, the delimiter, LF or CR,
// and inside a quoted field each quote character is doubled (and a lone
// empty field as `lone_empty` says). Delimiter and quote are written as the
// code points U+0000..U+00FF of their byte values.
void encode_output_row(const RowView& row, std::uint8_t delimiter, std::uint8_t quote_char,
                       GrowableBuffer<char>& out,
                       LoneEmptyField lone_empty = LoneEmptyField::kEmptyLine);

// The same line as encode_output_row, deciding quoting from the text alone:
// for rows whose special flags speak of another dialect than the output's
// (the input's delimiter or quote differ from the ones written).
void encode_output_row_rescanning(const RowView& row, std::uint8_t delimiter,
                                  std::uint8_t quote_char, GrowableBuffer<char>& out,
                                  LoneEmptyField lone_empty = LoneEmptyField::kEmptyLine);

// Quotes the first field of a clean file's first line when the line begins
// with the bytes of a byte-order mark (the field starts with U+FEFF): every
// reader, this one included, skips a mark there, so the character would be
// lost when the clean file is read back. `line` holds that line as
// encode_output_row made it, from its start (and may hold more lines after it).
void quote_leading_byte_order_mark(GrowableBuffer<char>& line, std::uint8_t delimiter,
                                   std::uint8_t quote_char);

// `{line},"{reason}","{fields joined by the delimiter}"` with each double
// quote of the two quoted columns doubled, whatever the run's quote character.
void encode_quarantine_row(const QuarantinedRow& row, std::uint8_t delimiter, std::string& line);

}  // namespace quillon

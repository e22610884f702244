// The record tokenizer.
//
// Design note. The tokenizer turns any byte sequence into records; it never
// rejects input and has no error path (bad quoting is resolved by fixed
// rules, ill-formed UTF-8 becomes U+FFFD). It is a byte-exact state machine
// with four states:
//
//   FieldStart  nothing of the field read yet
//   Unquoted    inside a field that did not open with the quote byte
//   Quoted      inside a field that opened with the quote byte
//   AfterQuote  just after the quote that closed a quoted field
//
// What must not change: the order of the tests inside each state (it decides
// what happens when the quote, the delimiter, CR or LF coincide), the rule
// that a quoted field runs across line breaks, and the stray-quote look-ahead:
// an undoubled quote inside a quoted field closes it when a terminator (the
// delimiter, a line break or the end, after optional spaces and tabs)
// follows, or when no later quote on the same physical line is followed by
// one; otherwise it is content. The test suite carries a byte-at-a-time
// reference of these rules and compares on generated inputs: change both
// together, or neither.
//
// Speed. Only four bytes ever end a span of ordinary content in any state:
// the delimiter, the quote byte, CR and LF. A BlockScanner finds the next of
// them with one bitmask per 64-byte block, and the span before it is copied
// in one piece, straight into the row store (records are never copied again
// on their way into the result). The non-ASCII bitmask of the same blocks
// tells whether a field needs UTF-8 validation at all. The look-ahead keeps
// two memos (see tokenizer.hpp) so that its total cost stays linear in the
// line length even for a line made of stray quotes.
//
// The same state machine drives two sinks: StoreSink writes fields into a
// RowStore, CountSink only counts them for the sniffer and the inference.
#include "tokenizer.hpp"

#include <cstring>

#include "scan.hpp"
#include "sniffer.hpp"
#include "utf8.hpp"

namespace quillon {
namespace {

constexpr unsigned char kCR = '\r';
constexpr unsigned char kLF = '\n';

bool has_bom(std::string_view b) noexcept {
    return b.size() >= 3 && static_cast<unsigned char>(b[0]) == 0xEF &&
           static_cast<unsigned char>(b[1]) == 0xBB && static_cast<unsigned char>(b[2]) == 0xBF;
}

std::uint16_t make_flags(bool special, bool non_ascii) noexcept {
    return static_cast<std::uint16_t>((special ? field_flags::kSpecial : 0) |
                                      (non_ascii ? field_flags::kNonAscii : 0));
}

// Writes field text into a RowStore as it is read.
class StoreSink {
public:
    StoreSink(RowStore& store, const unsigned char* buffer_end) noexcept
        : store_(store), text_(store.text_buffer()), field_begin_(text_.size()), end_(buffer_end) {}

    void append(const unsigned char* p, std::size_t n) {
        // Short spans, the common case, are copied with two fixed 16-byte
        // moves when both sides have the room, instead of a memcpy call.
        char* dst = text_.reserve_tail(n + 32);
        if (n <= 32 && end_ - p >= 32) {
            std::memcpy(dst, p, 16);
            std::memcpy(dst + 16, p + 16, 16);
        } else {
            std::memcpy(dst, p, n);
        }
        text_.set_size(text_.size() + n);
    }
    void append_byte(unsigned char c) { text_.push_back(static_cast<char>(c)); }

    void end_field(bool special, bool non_ascii) {
        std::size_t length = text_.size() - field_begin_;
        if (non_ascii) length = repair_utf8(length);
        store_.push_field(length, make_flags(special, non_ascii));
        field_begin_ = text_.size();
    }

private:
    // Replaces ill-formed sequences in the field just written; returns its
    // new length. Valid text, the usual case, is only validated.
    std::size_t repair_utf8(std::size_t length) {
        const auto* field = reinterpret_cast<const unsigned char*>(text_.data() + field_begin_);
        const std::size_t valid = valid_utf8_prefix(field, length);
        if (valid == length) return length;
        const std::size_t bad = length - valid;
        scratch_.clear();
        scratch_.append(text_.data() + field_begin_ + valid, bad);
        text_.truncate(field_begin_ + valid);
        char* dst = text_.reserve_tail(3 * bad);
        const std::size_t written =
            decode_utf8_lossy(reinterpret_cast<const unsigned char*>(scratch_.data()), bad, dst);
        text_.set_size(text_.size() + written);
        return valid + written;
    }

    RowStore& store_;
    GrowableBuffer<char>& text_;
    std::size_t field_begin_;
    const unsigned char* end_;
    GrowableBuffer<char> scratch_;
};

// Counts fields and keeps just enough of the first field to tell whether a
// one-field record is blank: it stops keeping bytes at the first ASCII byte
// that is not white space.
class CountSink {
public:
    explicit CountSink(GrowableBuffer<char>& scratch) noexcept : scratch_(scratch) {
        scratch_.clear();
    }

    void append(const unsigned char* p, std::size_t n) {
        if (fields_ != 0 || !maybe_blank_) return;
        for (std::size_t i = 0; i < n; ++i) {
            if (!keep(p[i])) return;
        }
    }
    void append_byte(unsigned char c) {
        if (fields_ == 0 && maybe_blank_) keep(c);
    }
    void end_field(bool, bool) noexcept { ++fields_; }

    RecordShape shape() const noexcept {
        const bool blank =
            fields_ == 1 && maybe_blank_ &&
            is_blank_text(std::string_view(scratch_.data(), scratch_.size()));
        return RecordShape{fields_, blank};
    }

private:
    bool keep(unsigned char c) {
        if (c < 0x80 && c != ' ' && (c < 0x09 || c > 0x0D)) {
            maybe_blank_ = false;
            return false;
        }
        scratch_.push_back(static_cast<char>(c));
        return true;
    }

    GrowableBuffer<char>& scratch_;
    std::size_t fields_ = 0;
    bool maybe_blank_ = true;
};

}  // namespace

RecordTokenizer::RecordTokenizer(std::string_view buffer, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes) noexcept
    : data_(reinterpret_cast<const unsigned char*>(buffer.data())),
      size_(buffer.size()),
      pos_(has_bom(buffer) ? 3 : 0),
      delimiter_(delimiter),
      quote_(quote_char),
      repair_(repair_quotes),
      scanner_(data_, size_, ByteSet4{{delimiter, quote_char, kCR, kLF}}) {}

bool RecordTokenizer::next_record(RowStore& out) {
    if (pos_ >= size_) return false;
    StoreSink sink(out, data_ + size_);
    read_record(sink);
    out.end_row();
    return true;
}

std::optional<RecordShape> RecordTokenizer::next_shape() {
    if (pos_ >= size_) return std::nullopt;
    CountSink sink(blank_scratch_);
    read_record(sink);
    return sink.shape();
}

std::size_t RecordTokenizer::skip_blanks(std::size_t from) {
    if (blank_from_ <= from && from <= blank_to_) return blank_to_;
    std::size_t m = from;
    while (m < size_ && data_[m] != delimiter_ && (data_[m] == ' ' || data_[m] == '\t')) ++m;
    blank_from_ = from;
    blank_to_ = m;
    return m;
}

bool RecordTokenizer::terminated_at(std::size_t m) const noexcept {
    return m >= size_ || data_[m] == delimiter_ || data_[m] == kCR || data_[m] == kLF;
}

std::size_t RecordTokenizer::next_line_candidate(std::size_t from) {
    if (cand_from_ <= from && from <= cand_to_) return cand_to_;
    const ByteSet4 set{{quote_, kCR, kLF, kLF}};
    std::size_t k = from;
    for (;;) {
        k = find_first_of(data_, k, size_, set);
        if (k >= size_ || data_[k] == kCR || data_[k] == kLF) break;
        if (terminated_at(skip_blanks(k + 1))) break;
        ++k;
    }
    cand_from_ = from;
    cand_to_ = k;
    return k;
}

bool RecordTokenizer::quote_closes(std::size_t i) {
    const std::size_t m = skip_blanks(i + 1);
    if (terminated_at(m)) return true;
    const std::size_t k = next_line_candidate(m);
    return k >= size_ || data_[k] == kCR || data_[k] == kLF;
}

template <typename Sink>
void RecordTokenizer::read_record(Sink& sink) {
    const unsigned char* const d = data_;
    const std::size_t n = size_;
    std::size_t p = pos_;
    bool special = false;
    bool non_ascii = false;
    ended_by_break_ = false;

    const auto finish_field = [&] {
        sink.end_field(special, non_ascii);
        special = false;
        non_ascii = false;
    };
    // Ends the record at the line break at offset i; CR LF is one break.
    const auto end_record = [&](std::size_t i) {
        pos_ = (d[i] == kCR && i + 1 < n && d[i + 1] == kLF) ? i + 2 : i + 1;
        ++line_;
        ended_by_break_ = true;
        finish_field();
    };
    const auto store_byte = [&](unsigned char c) {
        sink.append_byte(c);
        special = true;
        non_ascii |= c >= 0x80;
    };

field_start:
    if (p >= n) {
        // A delimiter was the last byte: the record ends with an empty field.
        finish_field();
        pos_ = n;
        return;
    }
    {
        const unsigned char c = d[p];
        // The quote opens a quoted field; tested before the delimiter.
        if (c == quote_) {
            ++p;
            goto quoted;
        }
        // A delimiter right away: an empty field.
        if (c == delimiter_) {
            finish_field();
            ++p;
            goto field_start;
        }
        // A line break right away: the record ends with an empty field.
        if (c == kCR || c == kLF) {
            end_record(p);
            return;
        }
        // Anything else starts an unquoted field with this byte.
    }

unquoted:
    for (;;) {
        const std::size_t s = scanner_.next(p, non_ascii);
        sink.append(d + p, s - p);
        // The end of the buffer ends the field and the record.
        if (s >= n) {
            finish_field();
            pos_ = n;
            return;
        }
        const unsigned char c = d[s];
        // The delimiter ends the field.
        if (c == delimiter_) {
            finish_field();
            p = s + 1;
            goto field_start;
        }
        // A line break ends the record.
        if (c == kCR || c == kLF) {
            end_record(s);
            return;
        }
        // A quote byte inside an unquoted field is plain content.
        store_byte(c);
        p = s + 1;
    }

quoted:
    for (;;) {
        const std::size_t s = scanner_.next(p, non_ascii);
        sink.append(d + p, s - p);
        // An unterminated quoted field takes the rest of the buffer.
        if (s >= n) {
            finish_field();
            pos_ = n;
            return;
        }
        const unsigned char c = d[s];
        if (c == quote_) {
            // A quote as the very last byte closes the field.
            if (s + 1 == n) {
                p = s + 1;
                goto after_quote;
            }
            // A doubled quote stands for one quote byte.
            if (d[s + 1] == quote_) {
                store_byte(c);
                p = s + 2;
                continue;
            }
            // Without repair every undoubled quote closes; with it, the look-ahead decides.
            if (!repair_ || quote_closes(s)) {
                p = s + 1;
                goto after_quote;
            }
            // A stray quote is content; the field goes on.
            store_byte(c);
            p = s + 1;
            continue;
        }
        // The delimiter, CR and LF are content here; a stored LF counts a line.
        store_byte(c);
        if (c == kLF) ++line_;
        p = s + 1;
    }

after_quote:
    for (;;) {
        if (p >= n) {
            finish_field();
            pos_ = n;
            return;
        }
        const unsigned char c = d[p];
        // The delimiter ends the field.
        if (c == delimiter_) {
            finish_field();
            ++p;
            goto field_start;
        }
        // Spaces and tabs between the closing quote and what follows are dropped.
        if (c == ' ' || c == '\t') {
            ++p;
            continue;
        }
        // A line break ends the record.
        if (c == kCR || c == kLF) {
            end_record(p);
            return;
        }
        // Any other byte, the quote included, joins the field as unquoted text.
        goto unquoted;
    }
}

}  // namespace quillon

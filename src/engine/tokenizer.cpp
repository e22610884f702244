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
// tells whether a field needs UTF-8 validation at all. From one stop byte
// to the next the scanner only clears the lowest bit of the block's mask, so
// a record's fields cost no shift, reload or table lookup between them; and
// the field after a delimiter is known to be unquoted (or not) from where
// that next stop lies. The look-ahead keeps two memos (see tokenizer.hpp)
// so that its total cost stays linear in the line length even for a line
// made of stray quotes.
//
// The same state machine drives two sinks: StoreSink writes fields into a
// RowStore, CountSink only counts them for the sniffer and the inference.
//
// Dialects. The rules above are those of the default dialect; three options
// extend them, each off by default, so that the default reads exactly as
// described:
//   - no quote byte: FieldStart never opens a quoted field (the quote byte is
//     kept as a stop byte of the scanner all the same, so the special flag
//     still covers '"' for the output encoder);
//   - space skipping: in FieldStart, after the test for the quote, a space is
//     dropped (as Python's csv does with skipinitialspace), so `a, "b, c"`
//     has the quoted field "b, c";
//   - an escape byte: in Quoted, tested before the quote, the escape followed
//     by the quote or by itself stands for that second byte; before anything
//     else it is content. Without a quote byte (the dumps of PostgreSQL's
//     COPY and MySQL's INTO OUTFILE) the escape works in every field instead:
//     in FieldStart and Unquoted, tested after the delimiter and the line
//     breaks, it and the byte after it are one byte of content (t n r b f v 0
//     the control characters, any other byte itself: the delimiter, a line
//     break, the escape), and the escape and N as a whole field are a null,
//     an empty field. The escape then takes the place of '"' as a stop byte.
//     The look-ahead of the quote repair does not look at escapes. Quoted
//     fields are then scanned for the quote, the escape, CR and LF only, so
//     a field's special flag may miss a delimiter inside quotes: callers
//     that need it exact recompute it;
//   - the runaway-quote guard, given the table's field count N (off for a
//     quote byte that is CR or LF, which ends lines itself): when a
//     quoted field reaches its first line break (CR or LF) on the line of
//     its opening quote, that quote found no closing quote there and would
//     carry the record across the line break. It is taken as text instead
//     (the field starts again from it, unquoted) when the line then has N
//     fields (the fields before it, plus one, plus the delimiters after it
//     on the line), no terminated quote (one followed, after spaces and
//     tabs, by the delimiter, a line break or the end) follows it on the
//     line, and one of: the quote is the line's last byte; the next line is
//     a whole row by itself (N - 1 delimiters, and the first terminated
//     quote after the line break lies beyond it); the quoted reading does
//     not have N fields (the fields before it, plus one, plus the delimiters
//     after that first terminated quote on its line; none when there is no
//     such quote; a quoted field after it that closes on the line counts as
//     one field, and one that runs on past the line leaves the quoted
//     reading standing). That search pairs doubled quotes from the line
//     break on and skips them. A quoted field that legitimately spans lines keeps its
//     count and stays quoted. When instead the field is the table's last
//     and the line has more than N fields with the quote as text (the field
//     held the delimiter), and the next line, read by itself with its quoted
//     fields whole and no quote inside unquoted text, has N fields, the
//     field was cut off: it ends at the line break, and so does the record.
//     And a record that comes out with fewer than N fields, opened by a
//     quote at its first byte and kept to one line, is read once more with
//     that quote as text; that reading stands when it has N fields and keeps
//     to its line (a stray quote at a line's start had joined three fields).
//     Deciding at the line break costs nothing for fields closed on their
//     own line; more memos (the first terminated quote across lines,
//     delimiter counts of the opening and the next line, moved forward, and
//     the fields after each closing quote) keep it linear.
#include "tokenizer.hpp"

#include <bit>
#include <cstring>

#include "scan.hpp"
#include "sniffer.hpp"
#include "text_decoding.hpp"
#include "utf8.hpp"
#include "utf8_validation.hpp"

namespace quillon {
namespace {

constexpr unsigned char kCR = '\r';
constexpr unsigned char kLF = '\n';

bool has_popcnt() noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("popcnt") != 0;
    }();
    return supported;
#else
    return true;
#endif
}

bool has_bom(std::string_view b) noexcept {
    return b.size() >= 3 && static_cast<unsigned char>(b[0]) == 0xEF &&
           static_cast<unsigned char>(b[1]) == 0xBB && static_cast<unsigned char>(b[2]) == 0xBF;
}

// Writes field text into a RowStore as it is read.
//
// The write positions are plain pointer values held in this object, which
// lives on the stack of one next_record call and whose address is never
// taken: the compiler keeps them in registers even though the text is written
// through char pointers, which may alias anything in memory. The cold paths
// take and return the positions by value for the same reason.
//
// Room for the text is made once per record: a record never stores more
// bytes than it consumes from the input, except where ill-formed UTF-8 is
// replaced, and that cold path makes its own room. So the free capacity is
// kept at the rest of the input plus 32 bytes (for the fixed-size copies)
// and appends need no check.
class StoreSink {
public:
    StoreSink(RowStore& store, std::size_t rest, FieldDecoding decoding)
        : store_(&store), room_(rest + 32), decoding_(decoding) {
        GrowableBuffer<char>& text = store.text_buffer();
        text.reserve_tail(room_);
        text_ = Cursor<char>{text.data(), text.data() + text.size()};
        GrowableBuffer<std::uint16_t>& slots = store.slot_buffer();
        slots_ = Cursor<std::uint16_t>{slots.data(), slots.data() + slots.size()};
        slots_cap_ = slots.data() + slots.capacity();
        slots_counted_ = slots.size();
        field_begin_ = text_.at;
    }

    // A span that ends at least 32 bytes before the end of the input: one
    // up to 32 bytes long, the common case, goes by two fixed 16-byte moves
    // instead of a memcpy call (the bytes past its end are overwritten by
    // what follows or left in the spare capacity).
    void append_near(const unsigned char* p, std::size_t n) {
        if (n <= 32) [[likely]] {
            std::memcpy(text_.at, p, 16);
            std::memcpy(text_.at + 16, p + 16, 16);
        } else {
            std::memcpy(text_.at, p, n);
        }
        text_.at += n;
    }
    // Any span.
    void append(const unsigned char* p, std::size_t n) {
        if (n != 0) std::memcpy(text_.at, p, n);
        text_.at += n;
    }
    void append_byte(unsigned char c) { *text_.at++ = static_cast<char>(c); }
    // Drops what the open field holds so far.
    void restart_field() noexcept { text_.at = field_begin_; }

    // `flags`: field_flags::kSpecial and kNonAscii as found while reading.
    [[gnu::always_inline]] void end_field(std::uint16_t flags) {
        if ((flags & field_flags::kNonAscii) && !plain_utf8_field()) [[unlikely]] {
            const auto begin = static_cast<std::size_t>(field_begin_ - text_.base);
            const Repaired repaired =
                repair_utf8(store_->text_buffer(), text_, begin, room_, decoding_);
            text_ = repaired.text;
            single_byte_used_ = single_byte_used_ || repaired.single_byte;
            field_begin_ = text_.base + begin;
        }
        const auto length = static_cast<std::size_t>(text_.at - field_begin_);
        if (length < field_flags::kLongLength && slots_.at != slots_cap_) [[likely]] {
            *slots_.at++ = static_cast<std::uint16_t>(flags | length);
        } else {
            const SlotPush pushed = push_slow(*store_, slots_, length, flags);
            slots_ = pushed.slots;
            slots_cap_ = pushed.cap;
            has_long_ = has_long_ || length >= field_flags::kLongLength;
        }
        // The row's summary bits are the fields' flags shifted up: one OR per
        // field here, the shift once per record.
        record_flags_ |= flags;
        field_begin_ = text_.at;
    }

    // Whether the open field is text that UTF-8 decoding keeps as it is, so
    // that it needs no repair call.
    bool plain_utf8_field() const noexcept {
        return decoding_ != FieldDecoding::kWindows1252 && decoding_ != FieldDecoding::kLatin1 &&
               is_valid_utf8(reinterpret_cast<const unsigned char*>(field_begin_),
                             static_cast<std::size_t>(text_.at - field_begin_));
    }

    // Fields ended so far in the record, for the runaway-quote guard: off
    // the common path, so they are counted from the slots instead of by a
    // counter on every field. The count goes on from where the last call
    // stopped: a record of many lines, each opening a quoted field, would
    // otherwise recount its fields at every line break.
    std::size_t fields() noexcept {
        const std::uint16_t* s = slots_.base + slots_counted_;
        while (s < slots_.at) {
            s += (*s & field_flags::kLengthMask) == field_flags::kLongLength ? 5 : 1;
            ++fields_counted_;
        }
        slots_counted_ = static_cast<std::size_t>(s - slots_.base);
        return fields_counted_;
    }

    // Whether a field of the record was decoded by a single-byte rule.
    bool single_byte_used() const noexcept { return single_byte_used_; }

    void end_record() {
        store_->end_row_at(static_cast<std::size_t>(slots_.at - slots_.base),
                           static_cast<std::size_t>(text_.at - text_.base),
                           (static_cast<std::uint64_t>(record_flags_) << 47) |
                               (has_long_ ? RowStore::kRowHasLong : 0));
    }

private:
    template <typename T>
    struct Cursor {
        T* base;
        T* at;
    };

    struct SlotPush {
        Cursor<std::uint16_t> slots;
        std::uint16_t* cap;
    };
    [[gnu::noinline]] static SlotPush push_slow(RowStore& store, Cursor<std::uint16_t> c,
                                                std::size_t length, std::uint16_t flags) {
        GrowableBuffer<std::uint16_t>& slots = store.slot_buffer();
        slots.set_size(static_cast<std::size_t>(c.at - c.base));
        RowStore::push_slot(slots, length, flags);
        return SlotPush{Cursor<std::uint16_t>{slots.data(), slots.data() + slots.size()},
                        slots.data() + slots.capacity()};
    }

    // Replaces ill-formed sequences in the field that starts at `begin`,
    // leaving at least `room` bytes free. Valid text, the usual case, is
    // only validated, unless the input is in a single-byte encoding.
    // The state comes back by value (no reference to the sink's members, so
    // that they can stay in registers).
    struct Repaired {
        Cursor<char> text;
        bool single_byte;
    };
    [[gnu::noinline]] static Repaired repair_utf8(GrowableBuffer<char>& text, Cursor<char> c,
                                                  std::size_t begin, std::size_t room,
                                                  FieldDecoding decoding) {
        const std::size_t length = static_cast<std::size_t>(c.at - c.base) - begin;
        const auto* field = reinterpret_cast<const unsigned char*>(c.base + begin);
        const bool utf8 = decoding == FieldDecoding::kUtf8Replace ||
                          decoding == FieldDecoding::kUtf8Windows1252Fallback;
        const std::size_t valid = utf8 ? valid_utf8_prefix(field, length) : 0;
        if (valid == length) return Repaired{c, false};
        const std::size_t bad = length - valid;
        GrowableBuffer<char> scratch;
        scratch.append(c.base + begin + valid, bad);
        text.set_size(begin + valid);
        char* dst = text.reserve_tail(kMaxDecodedPerByte * bad);
        const DecodedField decoded = decode_field(
            reinterpret_cast<const unsigned char*>(scratch.data()), bad, dst, decoding);
        text.set_size(text.size() + decoded.written);
        text.reserve_tail(room);
        return Repaired{Cursor<char>{text.data(), text.data() + text.size()},
                        decoded.single_byte_used};
    }

    RowStore* store_;
    // The rest of the input when the record began, plus the copy overrun.
    std::size_t room_;
    Cursor<char> text_;
    Cursor<std::uint16_t> slots_;
    std::uint16_t* slots_cap_;
    // fields(): the slot up to which the record's fields are counted, and
    // their count; the record's first slot and 0 to begin with.
    std::size_t slots_counted_;
    std::size_t fields_counted_ = 0;
    char* field_begin_;
    std::uint16_t record_flags_ = 0;
    bool has_long_ = false;
    FieldDecoding decoding_;
    bool single_byte_used_ = false;
};

// Counts fields and decides whether a one-field record is blank while it is
// read. ASCII white space settles itself; only non-ASCII bytes need decoding
// (U+00A0 and others are white space too), so only they are kept, with one
// space standing for each run of ASCII white space between them: that keeps
// two partial sequences apart without copying the ASCII runs.
class CountSink {
public:
    explicit CountSink(GrowableBuffer<char>& scratch) noexcept : scratch_(scratch) {
        scratch_.clear();
    }

    void append(const unsigned char* p, std::size_t n) {
        if (fields_ != 0 || !maybe_blank_) return;
        const unsigned char* const end = p + n;
        for (;;) {
            // Runs of spaces, the adversarial case, go eight bytes at a time,
            // and still keep the high bytes on either side apart.
            const unsigned char* const run = p;
            while (end - p >= 8 && load_word(p) == kEightSpaces) p += 8;
            if (p != run) keep(' ');
            if (p == end) return;
            if (!keep(*p++)) return;
        }
    }
    void append_near(const unsigned char* p, std::size_t n) { append(p, n); }
    void append_byte(unsigned char c) {
        if (fields_ == 0 && maybe_blank_) keep(c);
    }
    void end_field(std::uint16_t) noexcept { ++fields_; }
    std::size_t fields() const noexcept { return fields_; }
    void end_record() noexcept {}
    void restart_field() noexcept {
        if (fields_ != 0) return;
        scratch_.clear();
        maybe_blank_ = true;
        high_seen_ = false;
        last_high_ = false;
    }

    RecordShape shape() const noexcept {
        const bool blank =
            fields_ == 1 && maybe_blank_ &&
            (!high_seen_ || is_blank_text(std::string_view(scratch_.data(), scratch_.size())));
        return RecordShape{fields_, blank};
    }

private:
    static constexpr std::uint64_t kEightSpaces = 0x2020202020202020ULL;
    static std::uint64_t load_word(const unsigned char* p) noexcept {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }

    bool keep(unsigned char c) {
        if (c >= 0x80) {
            scratch_.push_back(static_cast<char>(c));
            high_seen_ = true;
            last_high_ = true;
            return true;
        }
        if (c != ' ' && (c < 0x09 || c > 0x0D)) {
            maybe_blank_ = false;
            return false;
        }
        if (last_high_) scratch_.push_back(' ');
        last_high_ = false;
        return true;
    }

    GrowableBuffer<char>& scratch_;
    std::size_t fields_ = 0;
    bool maybe_blank_ = true;
    bool high_seen_ = false;
    bool last_high_ = false;
};

}  // namespace

RecordTokenizer::RecordTokenizer(std::string_view buffer, std::uint8_t delimiter,
                                 std::uint8_t quote_char, bool repair_quotes) noexcept
    : RecordTokenizer(buffer, Dialect{.delimiter = delimiter,
                                      .quote = quote_char,
                                      .escape = std::nullopt,
                                      .skip_initial_space = false,
                                      .repair_quotes = repair_quotes}) {}

namespace {

constexpr unsigned kNoByte = 256;

// An escape equal to the quote, the delimiter or (without quoting, where it
// escapes line breaks) CR or LF could never be told apart from them; such a
// dialect reads as one without escape.
unsigned escape_of(const Dialect& d) noexcept {
    if (!d.escape || *d.escape == d.delimiter) return kNoByte;
    if (d.quote) return *d.escape == *d.quote ? kNoByte : unsigned{*d.escape};
    return *d.escape == kCR || *d.escape == kLF ? kNoByte : unsigned{*d.escape};
}

// The byte that stops scanning for the quote: without quoting, '"' still
// stops it, as content, so that the special flag covers it, unless the
// escape takes its place (the flags are then recomputed by the callers that
// need them, as for any escape).
std::uint8_t quote_stop(const Dialect& d) noexcept {
    if (d.quote) return *d.quote;
    const unsigned escape = escape_of(d);
    return escape != kNoByte ? static_cast<std::uint8_t>(escape) : std::uint8_t{'"'};
}

// The byte an escape before `c` stands for in a field without quoting: the
// control characters of the usual letters, else `c` itself (the escape, the
// delimiter, a line break).
unsigned char unescaped(unsigned char c) noexcept {
    switch (c) {
        case 't': return '\t';
        case 'n': return '\n';
        case 'r': return '\r';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'v': return '\v';
        case '0': return '\0';
        default: return c;
    }
}

}  // namespace

RecordTokenizer::RecordTokenizer(std::string_view buffer, const Dialect& dialect) noexcept
    : data_(reinterpret_cast<const unsigned char*>(buffer.data())),
      size_(buffer.size()),
      near_end_(size_ > 31 ? size_ - 31 : 0),
      pos_(has_bom(buffer) ? 3 : 0),
      delimiter_(dialect.delimiter),
      quote_(dialect.quote ? unsigned{*dialect.quote} : kNoByte),
      escape_(escape_of(dialect)),
      unquoted_escape_(dialect.quote ? kNoByte : escape_),
      space_skip_(dialect.skip_initial_space ? unsigned{' '} : kNoByte),
      repair_(dialect.repair_quotes),
      general_(escape_ != kNoByte || space_skip_ != kNoByte),
      masks_readable_(delimiter_ != kCR && delimiter_ != kLF && quote_ != kCR && quote_ != kLF &&
                      quote_ != delimiter_ && has_popcnt()),
      line_masks_fn_(line_masks_function()),
      scan_target_(data_, size_, ByteSet4{{dialect.delimiter, quote_stop(dialect), kCR, kLF}}),
      scanner_(scan_target_),
      quoted_target_(data_, size_,
                     ByteSet4{{quote_stop(dialect), static_cast<std::uint8_t>(escape_ & 0xFF), kLF,
                               kCR}}),
      quoted_scanner_(quoted_target_) {}

// A dialect with an escape byte or space skipping reads through a copy of
// the state machine of its own, out of line, so that the usual one keeps its
// size. Each copy has a sink of its own whose address never leaves it: the
// sink's cursors then stay in registers across the text stores.
bool RecordTokenizer::next_record(RowStore& out) {
    if (pos_ >= size_) return false;
    if (general_) return next_general_record(out);
    if (guard_columns_ != 0) return next_guarded_record<false>(out);
    StoreSink sink(out, size_ - pos_, decoding_);
    read_record<false>(sink);
    single_byte_decoded_ = sink.single_byte_used();
    return true;
}

[[gnu::noinline]] bool RecordTokenizer::next_general_record(RowStore& out) {
    if (guard_columns_ != 0) return next_guarded_record<true>(out);
    StoreSink sink(out, size_ - pos_, decoding_);
    read_record<true>(sink);
    single_byte_decoded_ = sink.single_byte_used();
    return true;
}

namespace {

// The bytes from the first to each bit of x that are set, counted modulo 2:
// for a mask of quotes, the bytes inside quotes (with their opening quote).
std::uint64_t prefix_xor(std::uint64_t x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

}  // namespace

// A record that is one line of plain fields and quoted fields that close on
// it, each quote opening a field or doubling the one before it and each
// closing quote followed by a delimiter or the line break, is read off the
// masks of its blocks: its fields are its delimiters outside quotes plus
// one. The state machine reads such a line the same way, byte by byte. Any
// other line (a stray quote, a quoted line break, a CR alone, a line of
// more than kMaxBlocks blocks or near the buffer's end), a lone field,
// whose blankness needs its text, and a short record opening with a quote,
// which the runaway-quote guard may read again, are left to it.
// Built for processors with POPCNT (a delimiter count per block), which the
// constructor asks for before it lets this be called.
#if defined(__x86_64__) || defined(_M_X64)
__attribute__((target("popcnt")))
#endif
std::optional<RecordShape> RecordTokenizer::regular_line_shape() {
    constexpr std::size_t kMaxBlocks = 16;
    constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
    const std::size_t start = pos_;
    if (!masks_readable_ || (literal_quote_ != kNoStop && literal_quote_ >= start)) return std::nullopt;
    const bool quoting = quote_ <= 0xFF;
    const auto quote = static_cast<unsigned char>(quoting ? quote_ : delimiter_);
    // Blocks are aligned, so that the records meeting in one share its
    // masks; the first is read from the record's start on.
    std::size_t base = start & ~std::size_t{63};
    std::uint64_t from = ~std::uint64_t{0} << (start - base);
    // All ones when the block begins inside quotes.
    std::uint64_t inside_carry = 0;
    // The bit of a field's first byte, from the block before.
    std::uint64_t start_carry = std::uint64_t{1} << (start - base);
    // The block's first byte follows a closing quote.
    std::uint64_t close_carry = 0;
    // The block's first byte must be LF.
    bool cr_carry = false;
    std::size_t separators = 0;
    for (std::size_t block = 0; block < kMaxBlocks; ++block, base += 64, from = ~std::uint64_t{0}) {
        if (size_ - base < 64) return std::nullopt;
        if (base != line_masks_base_) {
            line_masks_ = line_masks_fn_(data_ + base, quote, delimiter_);
            line_masks_base_ = base;
        }
        const LineMasks& m = line_masks_;
        const std::uint64_t lfs = m.lf & from;
        const std::uint64_t lf = lfs & (~lfs + 1);
        const std::uint64_t line = (lf != 0 ? lf - 1 : ~std::uint64_t{0}) & from;
        const std::uint64_t quotes = quoting ? m.quote & line : 0;
        const std::uint64_t inside = prefix_xor(quotes) ^ inside_carry;
        const std::uint64_t opening = quotes & inside;
        const std::uint64_t closing = quotes & ~inside;
        const std::uint64_t delimiters = m.delimiter & line & ~inside;
        const std::uint64_t crs = m.cr & line;
        // CR only right before the line's LF, which lies outside quotes.
        if ((cr_carry && lf != 1) || (lf & inside) != 0) return std::nullopt;
        const std::uint64_t stray_cr = crs & ~(lf >> 1);
        if ((stray_cr & (lf != 0 ? ~std::uint64_t{0} : ~kTop)) != 0) return std::nullopt;
        if ((opening & ~((delimiters << 1) | start_carry | (closing << 1) | close_carry)) != 0) {
            return std::nullopt;
        }
        const std::uint64_t may_follow = delimiters | opening | crs | lf;
        if ((close_carry & ~may_follow) != 0 || (closing & ~kTop & ~(may_follow >> 1)) != 0) {
            return std::nullopt;
        }
        separators += static_cast<std::size_t>(std::popcount(delimiters));
        if (lf == 0) {
            inside_carry = (inside & kTop) != 0 ? ~std::uint64_t{0} : 0;
            start_carry = delimiters >> 63;
            close_carry = closing >> 63;
            cr_carry = (crs & kTop) != 0;
            continue;
        }
        const std::size_t fields = separators + 1;
        if (fields == 1 || (guard_columns_ != 0 && data_[start] == quote_ && fields < guard_columns_)) {
            return std::nullopt;
        }
        const std::size_t at = base + static_cast<std::size_t>(std::countr_zero(lf));
        const std::size_t brk = at > start && data_[at - 1] == kCR ? at - 1 : at;
        note_reach(at);
        record_begin_ = start;
        content_end_ = brk;
        pos_ = at + 1;
        ++line_;
        ended_by_break_ = true;
        ended_in_quote_ = false;
        runaway_taken_ = false;
        resume_stop_ = kNoStop;
        return RecordShape{fields, false};
    }
    return std::nullopt;
}

std::optional<RecordShape> RecordTokenizer::next_shape() {
    if (pos_ >= size_) return std::nullopt;
    if (general_) return next_general_shape();
    if (const std::optional<RecordShape> shape = regular_line_shape()) return shape;
    if (guard_columns_ != 0) return next_guarded_shape<false>();
    CountSink sink(blank_scratch_);
    read_record<false>(sink);
    return sink.shape();
}

[[gnu::noinline]] std::optional<RecordShape> RecordTokenizer::next_general_shape() {
    if (guard_columns_ != 0) return next_guarded_shape<true>();
    CountSink sink(blank_scratch_);
    read_record<true>(sink);
    return sink.shape();
}

// With the guard on, a record may be read twice more (first_quote_is_text):
// a copy of the state machine of its own keeps that out of the usual one.
template <bool kGeneral>
[[gnu::noinline]] bool RecordTokenizer::next_guarded_record(RowStore& out) {
    const Rewind rewind = rewind_point();
    StoreSink sink(out, size_ - pos_, decoding_);
    read_record<kGeneral>(sink);
    single_byte_decoded_ = sink.single_byte_used();
    // Only a record that opens with a quote is looked at again.
    if (data_[record_begin_] == quote_ && out.last_row_size() < guard_columns_ &&
        first_quote_is_text<kGeneral>(rewind)) {
        out.pop_last_row();
        StoreSink again(out, size_ - pos_, decoding_);
        read_record<kGeneral>(again);
        single_byte_decoded_ = again.single_byte_used();
        literal_quote_ = kNoStop;
        runaway_taken_ = true;
    }
    return true;
}

template <bool kGeneral>
[[gnu::noinline]] std::optional<RecordShape> RecordTokenizer::next_guarded_shape() {
    const Rewind rewind = rewind_point();
    CountSink sink(blank_scratch_);
    read_record<kGeneral>(sink);
    // Taken before another reading reuses the blank scratch.
    const RecordShape shape = sink.shape();
    if (data_[record_begin_] == quote_ && shape.fields < guard_columns_ &&
        first_quote_is_text<kGeneral>(rewind)) {
        CountSink again(blank_scratch_);
        read_record<kGeneral>(again);
        literal_quote_ = kNoStop;
        runaway_taken_ = true;
        return again.shape();
    }
    return shape;
}

// A record the guard finds short, opened on one line by a quote that closed
// there, is a stray quote at the line's start when the record has the
// table's field count with that quote as text: `"KS,County15,"PISTOL, CAL"`
// is three fields in one and the rest shifted. Read again so, the record is
// taken when it keeps to its line; else the tokenizer is put back where the
// quoted reading left it. Each record is read at most three times.
template <bool kGeneral>
bool RecordTokenizer::first_quote_is_text(const Rewind& rewind) {
    const std::size_t begin = record_begin_;
    const bool one_line = line_ == rewind.line + (ended_by_break_ ? 1 : 0);
    if (ended_in_quote_ || !one_line) return false;
    const Rewind quoted = rewind_point();
    const bool quoted_break = ended_by_break_;
    const bool quoted_taken = runaway_taken_;
    const std::size_t quoted_end = content_end_;
    restore(rewind);
    literal_quote_ = begin;
    CountSink literal(blank_scratch_);
    read_record<kGeneral>(literal);
    const bool fits = literal.fields() == guard_columns_ && !ended_in_quote_ &&
                      line_ == rewind.line + (ended_by_break_ ? 1 : 0);
    if (fits) {
        // Read once more, into the caller's sink.
        restore(rewind);
        return true;
    }
    literal_quote_ = kNoStop;
    restore(quoted);
    record_begin_ = begin;
    ended_by_break_ = quoted_break;
    ended_in_quote_ = false;
    content_end_ = quoted_end;
    runaway_taken_ = quoted_taken;
    return false;
}

std::size_t RecordTokenizer::skip_blanks(std::size_t from) {
    if (blank_from_ <= from && from <= blank_to_) return blank_to_;
    std::size_t m = from;
    while (m < size_ && data_[m] != delimiter_ && (data_[m] == ' ' || data_[m] == '\t')) ++m;
    blank_from_ = from;
    blank_to_ = m;
    note_reach(m);
    return m;
}

bool RecordTokenizer::terminated_at(std::size_t m) const noexcept {
    return m >= size_ || data_[m] == delimiter_ || data_[m] == kCR || data_[m] == kLF;
}

std::size_t RecordTokenizer::next_line_candidate(std::size_t from) {
    if (cand_from_ <= from && from <= cand_to_) return cand_to_;
    // Only reached inside a quoted field, so there is a quote byte.
    const ByteSet4 set{{static_cast<std::uint8_t>(quote_), kCR, kLF, kLF}};
    std::size_t k = from;
    for (;;) {
        k = find_first_of(data_, k, size_, set);
        if (k >= size_ || data_[k] == kCR || data_[k] == kLF) break;
        if (terminated_at(skip_blanks(k + 1))) break;
        ++k;
    }
    cand_from_ = from;
    cand_to_ = k;
    note_reach(k);
    return k;
}

bool RecordTokenizer::quote_closes(std::size_t i) {
    const std::size_t m = skip_blanks(i + 1);
    if (terminated_at(m)) return true;
    const std::size_t k = next_line_candidate(m);
    return k >= size_ || data_[k] == kCR || data_[k] == kLF;
}

std::size_t RecordTokenizer::line_end(std::size_t from) const noexcept {
    const std::size_t end = find_first_of(data_, from, size_, ByteSet4{{kCR, kLF, kLF, kLF}});
    note_reach(end);
    return end;
}

std::size_t RecordTokenizer::delimiters_between(DelimiterCount& memo, std::size_t from,
                                                std::size_t to) {
    if (memo.to == to && memo.from <= from) {
        memo.count -= count_byte(data_ + memo.from, from - memo.from, delimiter_);
        memo.from = from;
        return memo.count;
    }
    const std::size_t count = count_byte(data_ + from, to - from, delimiter_);
    memo = DelimiterCount{from, to, count};
    return count;
}

std::size_t RecordTokenizer::next_closing_quote(std::size_t from) {
    if (close_from_ <= from && from <= close_to_) return close_to_;
    const auto q = static_cast<std::uint8_t>(quote_);
    std::size_t k = from;
    for (;;) {
        k = find_first_of(data_, k, size_, ByteSet4{{q, q, q, q}});
        if (k >= size_) break;
        // A doubled quote is a quote of the text, whatever follows it.
        if (k + 1 < size_ && data_[k + 1] == q) {
            k += 2;
            continue;
        }
        if (terminated_at(skip_blanks(k + 1))) break;
        ++k;
    }
    close_from_ = from;
    close_to_ = k;
    note_reach(k);
    return k;
}

// The offset after the line break at k, CR LF as one.
std::size_t RecordTokenizer::line_after(std::size_t k) const noexcept {
    return k + (data_[k] == kCR && k + 1 < size_ && data_[k + 1] == kLF ? 2 : 1);
}

// Whether the line after the line break at k is a whole row by itself and
// closes no quoted field: the quoted reading would swallow it.
bool RecordTokenizer::next_line_is_row(std::size_t k) {
    const std::size_t c = next_closing_quote(k);
    const std::size_t next = line_after(k);
    if (next >= size_) return false;
    const std::size_t end =
        next_line_.from == next && next_line_.to >= next ? next_line_.to : line_end(next);
    return c >= end && delimiters_between(next_line_, next, end) + 1 == guard_columns_;
}

RecordTokenizer::RunawayReading RecordTokenizer::runaway_quote(std::size_t q,
                                                               std::size_t fields_done) {
    // A terminated quote later on the line closes the field there; without a
    // line break after it the field ends with the buffer anyway.
    const std::size_t k = next_line_candidate(q + 1);
    if (k >= size_ || data_[k] == quote_) return RunawayReading::kQuoted;
    const std::size_t columns = guard_columns_;
    const std::size_t literal = fields_done + 1 + delimiters_between(opening_line_, q + 1, k);
    if (literal != columns) {
        // The table's last field, holding the delimiter, whose closing quote
        // the line end cut off: it ends there when the next line is a row.
        // The next line is read by itself, its quoted fields whole; a quote
        // inside its text may close this field there, and it is no row.
        if (fields_done + 1 != columns || literal < columns) return RunawayReading::kQuoted;
        const std::size_t next = line_after(k);
        return next < size_ && separators_on_line(next, true, true) + 1 == columns
                   ? RunawayReading::kCutOff
                   : RunawayReading::kQuoted;
    }
    // A quote right before the line break opens nothing: the lone quote of
    // a damaged line end.
    if (q + 1 == k || next_line_is_row(k)) return RunawayReading::kText;
    const std::size_t c = next_closing_quote(k);
    // The quoted reading: this field, then what follows its closing quote on
    // that quote's line.
    std::size_t quoted = fields_done + 1;
    if (c < size_) {
        const std::size_t separators = separators_after_close(c);
        // A quoted field after it runs on past the line: its count is unknown,
        // and the quoted reading stands.
        if (separators == kUnknownCount) return RunawayReading::kQuoted;
        quoted += separators;
    }
    return quoted != columns ? RunawayReading::kText : RunawayReading::kQuoted;
}

std::size_t RecordTokenizer::separators_after_close(std::size_t c) {
    // Guard decisions that share a closing quote share the answer; distinct
    // closing quotes lie on distinct lines, so every line is walked once.
    if (c == separators_after_close_at_) return separators_after_close_;
    separators_after_close_at_ = c;
    separators_after_close_ = separators_on_line(c + 1, false, false);
    return separators_after_close_;
}

std::size_t RecordTokenizer::separators_on_line(std::size_t i, bool field_start,
                                                bool well_formed) {
    const std::size_t end = line_end(i);
    const unsigned char* const d = data_;
    const unsigned char delimiter = delimiter_;
    // Without quoting no byte opens a quoted field; the delimiter stands in
    // for the quote in the byte sets.
    const auto quote = quote_ <= 0xFF ? static_cast<unsigned char>(quote_) : delimiter;
    const ByteSet4 quotes{{quote, quote, quote, quote}};
    // Text outside quotes runs to the next delimiter; a quote inside it is
    // text too, unless a well-formed line was asked for.
    const ByteSet4 text_stops = well_formed ? ByteSet4{{delimiter, quote, quote, quote}}
                                            : ByteSet4{{delimiter, delimiter, delimiter, delimiter}};
    std::size_t count = 0;
    while (i < end) {
        const unsigned char b = d[i];
        if (b == delimiter) {
            ++count;
            field_start = true;
            ++i;
            continue;
        }
        if (field_start && b == quote_) {
            // A quoted field: its delimiters are text. It ends at the first
            // terminated quote on the line, doubled quotes paired.
            std::size_t j = i + 1;
            for (;;) {
                j = find_first_of(d, j, end, quotes);
                if (j >= end) return kUnknownCount;
                if (j + 1 < end && d[j + 1] == quote) {
                    j += 2;
                    continue;
                }
                std::size_t m = j + 1;
                while (m < end && d[m] != delimiter && (d[m] == ' ' || d[m] == '\t')) ++m;
                if (m >= end || d[m] == delimiter) break;
                ++j;
            }
            i = j + 1;
            field_start = false;
            continue;
        }
        if (well_formed && b == quote_) return kUnknownCount;
        field_start = false;
        i = find_first_of(d, i + 1, end, text_stops);
    }
    return count;
}

template <bool kGeneral, typename Sink>
[[gnu::always_inline]] inline void RecordTokenizer::read_record(Sink& sink) {
    const unsigned char* const d = data_;
    const std::size_t n = size_;
    const std::size_t near_end = near_end_;
    const unsigned char delimiter = delimiter_;
    const unsigned quote = quote_;
    // A local copy, so that text stores cannot force its state out of registers.
    BlockScanner scanner = scanner_;
    std::size_t p = pos_;
    // The stop byte the scanner found last.
    std::size_t s = 0;
    // The line break that ends the record, at at_break.
    std::size_t brk = 0;
    record_begin_ = p;
    // The field's flags so far, one word: fewer live values, and no byte
    // store read back as a word should it live on the stack.
    std::uint16_t flags = 0;
    // The quote that opened the current quoted field, until its first line
    // break, for the runaway-quote guard.
    constexpr std::size_t kNoQuote = ~std::size_t{0};
    std::size_t opening_quote = kNoQuote;
    ended_by_break_ = false;
    ended_in_quote_ = false;
    runaway_taken_ = false;

    const auto finish_field = [&]() __attribute__((always_inline)) {
        sink.end_field(flags);
        flags = 0;
    };
    const auto store_byte = [&](unsigned char c) __attribute__((always_inline)) {
        sink.append_byte(c);
        flags |= c >= 0x80 ? field_flags::kSpecial | field_flags::kNonAscii : field_flags::kSpecial;
    };
    // Copies the content [p, s) to the sink; false when s is the end of the
    // buffer. Far from the end, the usual case, one test does for both.
    const auto take_span = [&]() __attribute__((always_inline)) -> bool {
        if (s < near_end) [[likely]] {
            sink.append_near(d + p, s - p);
            return true;
        }
        sink.append(d + p, s - p);
        return s < n;
    };
    // With an escape byte, quoted fields are scanned by a scanner of their
    // own; the next stop byte after `stop`, the one that scanner found last
    // (or the byte before `from` when the unquoted scanner found it).
    const auto next_quoted_after = [&](std::size_t stop, std::size_t from) __attribute__((always_inline)) {
        if constexpr (kGeneral) {
            if (escape_ != kNoByte) return quoted_scanner_.next(from, flags, field_flags::kNonAscii);
        }
        static_cast<void>(from);
        return scanner.next_after(stop, flags, field_flags::kNonAscii);
    };

    // A record that follows a line break the scanner stopped at goes on
    // from that stop (and from the LF of a CR LF) instead of from an offset.
    if (resume_stop_ != kNoStop) {
        s = scanner.next_after(resume_stop_, flags, field_flags::kNonAscii);
        if (s < p) s = scanner.next_after(s, flags, field_flags::kNonAscii);
        goto field_start_scanned;
    }

field_start:
    s = scanner.next(p, flags, field_flags::kNonAscii);
    // From here on s is the first stop byte at or after p.
field_start_scanned:
    if constexpr (kGeneral) {
        // With space skipping, a space before the field's first byte is
        // dropped (the quote is tested first, so a space that is the quote
        // byte opens a field unless the guard made it text). Unless it is
        // the delimiter too, it is no stop byte, and s stays where it is.
        if (p < n && d[p] == space_skip_ && (d[p] != quote || p == literal_quote_)) {
            if (s == p) s = scanner.next_after(s, flags, field_flags::kNonAscii);
            ++p;
            goto field_start_scanned;
        }
        // Without quoting, the escape and N as a whole field stand for a
        // null: an empty field that row_store.hpp's null bit marks.
        if (p + 1 < n && d[p] == unquoted_escape_ && d[p + 1] == 'N' && terminated_at(p + 2)) {
            p += 2;
            flags |= field_flags::kNonAscii;
            goto unquoted;
        }
    }
    // An ordinary byte first, the usual case: an unquoted field, whose span
    // runs up to s.
    if (s != p) goto unquoted_scanned;
    if (p >= n) [[unlikely]] {
        // A delimiter was the last byte: the record ends with an empty field.
        goto at_end;
    }
    {
        const unsigned char c = d[p];
        // The quote opens a quoted field; tested before the delimiter. With
        // the guard on, a runaway one is text instead.
        if (c == quote && p != literal_quote_) {
            opening_quote = p;
            ++p;
            s = next_quoted_after(s, p);
            goto quoted_scanned;
        }
        // A delimiter right away: an empty field.
        if (c == delimiter) {
            finish_field();
            ++p;
            s = scanner.next_after(s, flags, field_flags::kNonAscii);
            goto field_start_scanned;
        }
        // A line break right away: the record ends with an empty field.
        if (c == kCR || c == kLF) {
            brk = p;
            goto at_break;
        }
        // Anything else (the '"' of a dialect without quoting, a stop byte
        // all the same) starts an unquoted field with this byte.
    }
    goto unquoted_scanned;

unquoted:
    s = scanner.next(p, flags, field_flags::kNonAscii);
unquoted_scanned:
    for (;;) {
        // The end of the buffer ends the field and the record.
        if (!take_span()) {
            goto at_end;
        }
        const unsigned char c = d[s];
        // The delimiter ends the field; the next one starts right after it,
        // and its first stop byte is found from this one.
        if (c == delimiter) {
            finish_field();
            p = s + 1;
            s = scanner.next_after(s, flags, field_flags::kNonAscii);
            if (s != p) {
                if constexpr (!kGeneral) continue;
                if (d[p] != space_skip_) continue;
            }
            goto field_start_scanned;
        }
        // A line break ends the record.
        if (c == kCR || c == kLF) {
            brk = s;
            goto at_break;
        }
        if constexpr (kGeneral) {
            // Without quoting, the escape and the byte after it are one byte
            // of content, a line break included; the scanner goes on after
            // them. As the last byte, the escape is content.
            if (c == unquoted_escape_ && s + 1 < n) {
                const unsigned char e = d[s + 1];
                store_byte(unescaped(e));
                if (e == kLF) ++line_;
                p = s + 2;
                goto unquoted;
            }
        }
        // A quote byte inside an unquoted field is plain content.
        store_byte(c);
        p = s + 1;
        s = scanner.next_after(s, flags, field_flags::kNonAscii);
    }

quoted_scanned:
    for (;;) {
        // An unterminated quoted field takes the rest of the buffer.
        if (!take_span()) {
            ended_in_quote_ = true;
            goto at_end;
        }
        const unsigned char c = d[s];
        if constexpr (kGeneral) {
            // The escape before the quote or itself stands for that byte.
            if (c == escape_) {
                if (s + 1 < n && (d[s + 1] == quote || d[s + 1] == escape_)) {
                    store_byte(d[s + 1]);
                    p = s + 2;
                    s = next_quoted_after(next_quoted_after(s, s + 1), p);
                } else {
                    store_byte(c);
                    p = s + 1;
                    s = next_quoted_after(s, p);
                }
                continue;
            }
        }
        if (c == quote) {
            // A quote as the very last byte closes the field.
            if (s + 1 == n) [[unlikely]] {
                p = s + 1;
                goto after_quote;
            }
            const unsigned char next = d[s + 1];
            // A doubled quote stands for one quote byte; the second quote is
            // the next stop byte.
            if (next == quote) {
                store_byte(c);
                p = s + 2;
                s = next_quoted_after(next_quoted_after(s, s + 1), p);
                continue;
            }
            // Without repair every undoubled quote closes; with it, the look-ahead
            // decides, and a terminator right after the quote, the usual case,
            // settles it at once.
            if (next == delimiter) {
                // Closed, and the delimiter ends the field, as after_quote
                // would find; it is the stop byte after this one.
                finish_field();
                p = s + 2;
                if constexpr (kGeneral) {
                    if (escape_ != kNoByte) goto field_start;
                }
                s = scanner.next_after(s, flags, field_flags::kNonAscii);
                s = scanner.next_after(s, flags, field_flags::kNonAscii);
                goto field_start_scanned;
            }
            if (!repair_ || next == kCR || next == kLF || quote_closes(s)) [[likely]] {
                p = s + 1;
                goto after_quote;
            }
            // A stray quote is content; the field goes on.
            store_byte(c);
            p = s + 1;
            s = next_quoted_after(s, p);
            continue;
        }
        // The first line break of a field is where the runaway-quote guard
        // looks at its opening quote, which a field closed on its own line
        // never needs. Taken as text, the quote starts the field again,
        // unquoted.
        if (guard_columns_ != 0 && (c == kCR || c == kLF) && opening_quote != kNoQuote)
            [[unlikely]] {
            const std::size_t q = opening_quote;
            opening_quote = kNoQuote;
            const RunawayReading reading = runaway_quote(q, sink.fields());
            if (reading == RunawayReading::kText) {
                runaway_taken_ = true;
                sink.restart_field();
                flags = 0;
                store_byte(d[q]);
                p = q + 1;
                goto unquoted;
            }
            if (reading == RunawayReading::kCutOff) {
                // The field ends with its line, and the record; the next
                // record's scan starts afresh (s may be another scanner's).
                runaway_taken_ = true;
                brk = s;
                s = kNoStop;
                goto at_break;
            }
        }
        // The delimiter, CR and LF are content here; a stored LF counts a line.
        store_byte(c);
        if (c == kLF) ++line_;
        p = s + 1;
        s = next_quoted_after(s, p);
    }

after_quote:
    for (;;) {
        if (p >= n) [[unlikely]] goto at_end;
        const unsigned char c = d[p];
        // The delimiter ends the field.
        if (c == delimiter) {
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
            brk = p;
            goto at_break;
        }
        // Any other byte, the quote included, joins the field as unquoted text.
        goto unquoted;
    }

    // The record's ends, each written once: the end of the buffer ends the
    // last field and the record.
at_end:
    resume_stop_ = kNoStop;
    content_end_ = n;
    finish_field();
    sink.end_record();
    scanner_ = scanner;
    pos_ = n;
    return;

    // A line break ends the record; CR LF is one break.
at_break:
    // Only a break the scanner returned last is where it can go on from.
    resume_stop_ = brk == s ? brk : kNoStop;
    ++line_;
    ended_by_break_ = true;
    content_end_ = brk;
    finish_field();
    sink.end_record();
    scanner_ = scanner;
    pos_ = (d[brk] == kCR && brk + 1 < n && d[brk + 1] == kLF) ? brk + 2 : brk + 1;
}

}  // namespace quillon

// Contiguous storage for the rows of a salvage run.
//
// All field text of all rows lives in one byte buffer, one row after the
// other and one field after the other, with nothing between them. Each field
// adds one 16-bit slot to a second buffer: its length and two facts that later
// stages would otherwise have to find out with another pass over the text:
//
//   bit 15  special:   the text holds the delimiter, the quote byte, CR or LF
//                      of the run (raw bytes), so the output encoder must quote
//                      it when delimiter and quote are ASCII;
//   bit 14  non-ASCII: the text holds a byte of 0x80 or above, so building a
//                      Python str from it needs a UTF-8 decode;
//   bits 0-13          the length in bytes, or kLongLength: then the length
//                      follows in the next four slots, low 16 bits first.
//
// An empty field cannot hold a byte of 0x80 or above, so the non-ASCII bit on
// a field of length 0 marks a null instead (`\N` in a PostgreSQL or MySQL
// dump): written as an empty field, a missing value in Arrow.
//
// A row is two words: the index one past its last slot and the offset one past
// its last text byte, so any row is reached in constant time and its fields
// are walked in order. The top bits of the slot word summarise the row's
// fields (any long field, any non-ASCII field, any special field).
//
// The cost per field is 2 bytes plus its text, and 16 bytes per row; the
// tokenizer writes the text in place, so a kept record is never copied again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "growable_buffer.hpp"

namespace quillon {

namespace field_flags {
inline constexpr std::uint16_t kSpecial = 0x8000;
inline constexpr std::uint16_t kNonAscii = 0x4000;
inline constexpr std::uint16_t kLengthMask = 0x3FFF;
inline constexpr std::uint16_t kLongLength = 0x3FFF;
}  // namespace field_flags

// One field of a stored row.
struct FieldRef {
    std::string_view text;
    std::uint16_t flags = 0;

    // The text holds the run's delimiter, quote byte, CR or LF (raw bytes).
    bool special() const noexcept { return (flags & field_flags::kSpecial) != 0; }
    bool ascii() const noexcept { return (flags & field_flags::kNonAscii) == 0; }
    bool null() const noexcept { return text.empty() && !ascii(); }
};

// A read-only view of one stored row; valid while its store is unchanged.
class RowView {
public:
    class iterator {
    public:
        iterator(const std::uint16_t* slot, const char* text) noexcept : slot_(slot), text_(text) {}
        FieldRef operator*() const noexcept {
            return FieldRef{std::string_view(text_, length()),
                            static_cast<std::uint16_t>(*slot_ & ~field_flags::kLengthMask)};
        }
        iterator& operator++() noexcept {
            text_ += length();
            slot_ += is_long() ? 5 : 1;
            return *this;
        }
        bool operator==(const iterator& other) const noexcept { return slot_ == other.slot_; }

    private:
        bool is_long() const noexcept {
            return (*slot_ & field_flags::kLengthMask) == field_flags::kLongLength;
        }
        std::size_t length() const noexcept {
            return is_long() ? long_length() : (*slot_ & field_flags::kLengthMask);
        }
        std::size_t long_length() const noexcept;
        const std::uint16_t* slot_;
        const char* text_;
    };

    RowView(const std::uint16_t* slots_begin, const std::uint16_t* slots_end, const char* text_begin,
            const char* text_end, std::uint64_t summary) noexcept
        : slots_begin_(slots_begin),
          slots_end_(slots_end),
          text_begin_(text_begin),
          text_end_(text_end),
          summary_(summary) {}

    // Number of fields; constant time unless the row holds a field of 16 KiB or more.
    std::size_t size() const noexcept;
    // Bytes of field text in the row, separators not counted.
    std::size_t text_size() const noexcept { return static_cast<std::size_t>(text_end_ - text_begin_); }
    std::string_view text() const noexcept { return {text_begin_, text_size()}; }
    bool all_ascii() const noexcept;
    bool any_special() const noexcept;

    iterator begin() const noexcept { return {slots_begin_, text_begin_}; }
    iterator end() const noexcept { return {slots_end_, text_end_}; }

    // The raw slots, for loops that walk them without the iterator: without
    // a long field (has_long() false) each slot is one field, its length in
    // the low bits, its text right after the previous field's.
    const std::uint16_t* slots_begin() const noexcept { return slots_begin_; }
    const std::uint16_t* slots_end() const noexcept { return slots_end_; }
    bool has_long() const noexcept;

    // The fields as owned strings, for tests and slow paths.
    std::vector<std::string> to_strings() const;

private:
    const std::uint16_t* slots_begin_;
    const std::uint16_t* slots_end_;
    const char* text_begin_;
    const char* text_end_;
    std::uint64_t summary_;
};

class RowStore {
public:
    // Row summary bits, kept in the top of the row's slot word.
    static constexpr std::uint64_t kRowHasLong = 1ULL << 63;
    // These two are the field flags shifted up by 47 bits, so that
    // push_field can fold a field's flags into the row with one shift.
    static constexpr std::uint64_t kRowNonAscii = 1ULL << 61;
    static constexpr std::uint64_t kRowSpecial = 1ULL << 62;
    static constexpr std::uint64_t kRowSummaryMask = kRowHasLong | kRowNonAscii | kRowSpecial;
    static_assert(std::uint64_t{field_flags::kSpecial} << 47 == kRowSpecial);
    static_assert(std::uint64_t{field_flags::kNonAscii} << 47 == kRowNonAscii);

    RowStore() = default;
    RowStore(RowStore&&) noexcept = default;
    RowStore& operator=(RowStore&&) noexcept = default;

    std::size_t size() const noexcept { return rows_.size(); }
    bool empty() const noexcept { return rows_.empty(); }
    RowView row(std::size_t i) const noexcept;
    RowView operator[](std::size_t i) const noexcept { return row(i); }

    class iterator {
    public:
        iterator(const RowStore* store, std::size_t i) noexcept : store_(store), i_(i) {}
        RowView operator*() const noexcept { return store_->row(i_); }
        iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        bool operator==(const iterator& other) const noexcept { return i_ == other.i_; }

    private:
        const RowStore* store_;
        std::size_t i_;
    };
    iterator begin() const noexcept { return {this, 0}; }
    iterator end() const noexcept { return {this, size()}; }

    // Bytes held, for memory accounting.
    std::size_t text_bytes() const noexcept { return text_.size(); }
    std::size_t slot_count() const noexcept { return slots_.size(); }

    // ---- Building. A row is open from its first field until end_row(). ----

    // Reserves room for about `rows` rows, `fields` fields and `text` bytes.
    void reserve(std::size_t rows, std::size_t fields, std::size_t text);
    GrowableBuffer<char>& text_buffer() noexcept { return text_; }
    GrowableBuffer<std::uint16_t>& slot_buffer() noexcept { return slots_; }
    // Appends the slots of one field to `slots`; returns the row summary bits
    // it contributes. For writers that fill the buffers by hand.
    static std::uint64_t push_slot(GrowableBuffer<std::uint16_t>& slots, std::size_t length,
                                   std::uint16_t flags);
    // Records a field whose `length` bytes were just appended to the text buffer.
    void push_field(std::size_t length, std::uint16_t flags) {
        open_summary_ |= push_slot(slots_, length, flags);
        ++open_fields_;
    }
    // Appends a whole field: text and slot.
    void append_field(std::string_view text, std::uint16_t flags);
    void end_row() { end_row(open_summary_); }
    // Closes a row whose slots and text were written by hand, with the
    // summary bits those writes collected.
    void end_row(std::uint64_t summary) {
        rows_.push_back(RowEntry{slots_.size() | summary, text_.size()});
        open_summary_ = 0;
        open_fields_ = 0;
    }
    // Closes a row whose slots and text were written by hand into the spare
    // capacity, up to these sizes, with no row open before them: the sizes
    // and the row are set at once.
    void end_row_at(std::size_t slot_end, std::size_t text_end, std::uint64_t summary) {
        slots_.set_size(slot_end);
        text_.set_size(text_end);
        rows_.push_back(RowEntry{slot_end | summary, text_end});
    }
    // Fields of the last row, without building its view: one subtraction
    // unless the row holds a field of 16 KiB or more. The store must not be
    // empty.
    std::size_t last_row_size() const noexcept {
        const std::uint64_t end = rows_.back().slot_end;
        if ((end & kRowHasLong) != 0) return row(rows_.size() - 1).size();
        const std::uint64_t begin =
            rows_.size() < 2 ? 0 : (rows_[rows_.size() - 2].slot_end & ~kRowSummaryMask);
        return static_cast<std::size_t>((end & ~kRowSummaryMask) - begin);
    }
    // Number of fields pushed to the open row so far.
    std::size_t open_fields() const noexcept { return open_fields_; }

    // Appends `count` empty fields to the last row.
    void pad_last_row(std::size_t count);
    // Joins fields keep-1 .. end of the last row into one, with `separator`
    // between each two of them, so that the row has `keep` fields (keep >= 1).
    void merge_last_row(std::size_t keep, std::string_view separator, std::uint16_t separator_flags);
    // Appends a copy of `row` as a new row.
    void append_row(const RowView& row);
    void pop_last_row() noexcept;
    // Appends every row of `other`, in order.
    void append_rows(const RowStore& other) { append_rows(other, 0, other.size()); }
    // Appends rows [begin, end) of `other`, in order.
    void append_rows(const RowStore& other, std::size_t begin, std::size_t end);
    // Drops every row and keeps the capacity, for a store that is refilled.
    void clear() noexcept {
        text_.clear();
        slots_.clear();
        rows_.clear();
        open_summary_ = 0;
        open_fields_ = 0;
    }

private:
    struct RowEntry {
        std::uint64_t slot_end;  // index past the last slot, summary bits on top
        std::uint64_t text_end;  // offset past the last text byte
    };
    std::size_t last_row_slot_begin() const noexcept;
    std::size_t last_row_text_begin() const noexcept;

    GrowableBuffer<char> text_;
    GrowableBuffer<std::uint16_t> slots_;
    GrowableBuffer<RowEntry> rows_;
    std::uint64_t open_summary_ = 0;
    std::size_t open_fields_ = 0;
};

// Inline: the writers of the clean file build one view per kept row.
inline RowView RowStore::row(std::size_t i) const noexcept {
    const std::uint64_t slot_begin = i == 0 ? 0 : (rows_[i - 1].slot_end & ~kRowSummaryMask);
    const std::uint64_t text_begin = i == 0 ? 0 : rows_[i - 1].text_end;
    const RowEntry& e = rows_[i];
    return RowView(slots_.data() + slot_begin, slots_.data() + (e.slot_end & ~kRowSummaryMask),
                   text_.data() + text_begin, text_.data() + e.text_end, e.slot_end & kRowSummaryMask);
}

// The summary bits are defined with RowStore, so these come after it.
inline bool RowView::has_long() const noexcept { return (summary_ & RowStore::kRowHasLong) != 0; }
inline bool RowView::all_ascii() const noexcept { return (summary_ & RowStore::kRowNonAscii) == 0; }
inline bool RowView::any_special() const noexcept {
    return (summary_ & RowStore::kRowSpecial) != 0;
}

}  // namespace quillon

#include "row_store.hpp"

#include <cstring>

namespace quillon {

namespace {

using field_flags::kLengthMask;
using field_flags::kLongLength;

std::size_t read_long_length(const std::uint16_t* slot) noexcept {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 4; ++i) v |= static_cast<std::uint64_t>(slot[1 + i]) << (16 * i);
    return static_cast<std::size_t>(v);
}

bool is_long(std::uint16_t slot) noexcept { return (slot & kLengthMask) == kLongLength; }

}  // namespace

std::size_t RowView::iterator::long_length() const noexcept { return read_long_length(slot_); }

std::size_t RowView::size() const noexcept {
    const auto slots = static_cast<std::size_t>(slots_end_ - slots_begin_);
    if ((summary_ & RowStore::kRowHasLong) == 0) return slots;
    std::size_t n = 0;
    for (const std::uint16_t* s = slots_begin_; s < slots_end_; s += is_long(*s) ? 5 : 1) ++n;
    return n;
}

std::vector<std::string> RowView::to_strings() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (FieldRef f : *this) out.emplace_back(f.text);
    return out;
}

void RowStore::reserve(std::size_t rows, std::size_t fields, std::size_t text) {
    rows_.reserve(rows);
    slots_.reserve(fields);
    text_.reserve(text);
}

std::uint64_t RowStore::push_slot(GrowableBuffer<std::uint16_t>& slots, std::size_t length,
                                  std::uint16_t flags) {
    std::uint64_t summary = static_cast<std::uint64_t>(flags) << 47;
    if (length < kLongLength) {
        slots.push_back(static_cast<std::uint16_t>(flags | length));
        return summary;
    }
    std::uint16_t* s = slots.reserve_tail(5);
    s[0] = static_cast<std::uint16_t>(flags | kLongLength);
    const auto v = static_cast<std::uint64_t>(length);
    for (unsigned i = 0; i < 4; ++i) s[1 + i] = static_cast<std::uint16_t>(v >> (16 * i));
    slots.set_size(slots.size() + 5);
    return summary | kRowHasLong;
}

void RowStore::append_field(std::string_view text, std::uint16_t flags) {
    text_.append(text.data(), text.size());
    push_field(text.size(), flags);
}

std::size_t RowStore::last_row_slot_begin() const noexcept {
    return rows_.size() < 2 ? 0 : (rows_[rows_.size() - 2].slot_end & ~kRowSummaryMask);
}

std::size_t RowStore::last_row_text_begin() const noexcept {
    return rows_.size() < 2 ? 0 : rows_[rows_.size() - 2].text_end;
}

void RowStore::pad_last_row(std::size_t count) {
    // One allocation attempt for the whole padding, so that an absurd count
    // fails at once instead of after a long series of doublings.
    slots_.append_fill(count, std::uint16_t{0});
    rows_.back().slot_end += count;
}

void RowStore::merge_last_row(std::size_t keep, std::string_view separator,
                              std::uint16_t separator_flags) {
    const RowView last = row(rows_.size() - 1);
    const std::size_t fields = last.size();
    if (fields <= keep) return;

    // Find where field keep-1 starts, in slots and in text.
    std::size_t slot = last_row_slot_begin();
    std::size_t text = last_row_text_begin();
    std::uint64_t summary = 0;
    auto it = last.begin();
    for (std::size_t i = 0; i + 1 < keep; ++i, ++it) {
        const FieldRef f = *it;
        text += f.text.size();
        if (!f.ascii()) summary |= kRowNonAscii;
        if (f.special()) summary |= kRowSpecial;
        if (is_long(slots_[slot])) summary |= kRowHasLong;
        slot += is_long(slots_[slot]) ? 5 : 1;
    }
    // Lengths and flags of the fields to join, read before the slots change.
    std::uint16_t flags = separator_flags;
    std::size_t joined_parts = 0;
    GrowableBuffer<std::size_t> lengths;
    lengths.reserve(fields - keep + 1);
    for (; it != last.end(); ++it) {
        const FieldRef f = *it;
        flags |= f.flags;
        lengths.push_back(f.text.size());
        ++joined_parts;
    }
    const std::size_t seps = joined_parts - 1;
    const std::size_t old_tail = text_.size() - text;
    const std::size_t new_tail = old_tail + seps * separator.size();

    // Spread the joined fields' text out from the back so that each separator
    // lands between two of them; every byte moves at most once.
    text_.reserve_tail(new_tail - old_tail);
    char* base = text_.data() + text;
    std::size_t src_end = old_tail;
    std::size_t dst_end = new_tail;
    for (std::size_t k = joined_parts; k-- > 0;) {
        const std::size_t len = lengths[k];
        std::memmove(base + dst_end - len, base + src_end - len, len);
        dst_end -= len;
        src_end -= len;
        if (k != 0) {
            dst_end -= separator.size();
            std::memcpy(base + dst_end, separator.data(), separator.size());
        }
    }
    text_.set_size(text + new_tail);

    slots_.truncate(slot);
    open_summary_ = summary;
    open_fields_ = keep - 1;
    push_field(new_tail, static_cast<std::uint16_t>(flags & ~kLengthMask));
    rows_.back() = RowEntry{slots_.size() | open_summary_, text_.size()};
    open_summary_ = 0;
    open_fields_ = 0;
}

void RowStore::append_row(const RowView& row) {
    for (FieldRef f : row) append_field(f.text, f.flags);
    end_row();
}

void RowStore::append_rows(const RowStore& other, std::size_t begin, std::size_t end) {
    if (begin >= end) return;
    const std::uint64_t slot_from =
        begin == 0 ? 0 : (other.rows_[begin - 1].slot_end & ~kRowSummaryMask);
    const std::uint64_t text_from = begin == 0 ? 0 : other.rows_[begin - 1].text_end;
    const std::uint64_t slot_to = other.rows_[end - 1].slot_end & ~kRowSummaryMask;
    const std::uint64_t text_to = other.rows_[end - 1].text_end;
    // The ends move by (own size - source start); in unsigned arithmetic
    // that wraps to the right value even when the source starts further in.
    const std::uint64_t slot_shift = slots_.size() - slot_from;
    const std::uint64_t text_shift = text_.size() - text_from;
    rows_.reserve_tail(end - begin);
    slots_.append(other.slots_.data() + slot_from, slot_to - slot_from);
    text_.append(other.text_.data() + text_from, text_to - text_from);
    // Summary bits sit above any slot index, so shifting the index leaves them be.
    for (std::size_t i = begin; i < end; ++i) {
        const RowEntry& e = other.rows_[i];
        rows_.push_back(RowEntry{e.slot_end + slot_shift, e.text_end + text_shift});
    }
}

void RowStore::pop_last_row() noexcept {
    slots_.truncate(last_row_slot_begin());
    text_.truncate(last_row_text_begin());
    rows_.truncate(rows_.size() - 1);
}

}  // namespace quillon

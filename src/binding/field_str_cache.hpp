// The strs of short fields, shared within each column of a reader.
//
// Exports repeat a few values over and over in some columns (names, cities,
// country codes, statuses). Such a column needs one str per distinct value,
// handed out again as a new reference, where building a str per field costs
// an allocation (and for UTF-8 a decoding) now and a deallocation when the
// row is dropped; rows that the caller keeps share the memory too. Each
// column has a direct-mapped table of strs, indexed by a hash of the field's
// bytes, each entry holding those bytes beside its str, so that a lookup
// reads only the table. A str's value depends on the bytes alone, so ASCII
// and UTF-8 text share the tables.
//
// What a lookup costs is mostly mispredicted branches and cache misses, not
// instructions: it has one branch that depends on the data (hit or miss), and
// a kept str stays. Replacing it would free the old str, cold by then, where
// the str of a field that missed dies young with its row, in memory that the
// allocator hands straight back. A str is kept only when its value comes a
// second time: a value seen once holds no str and no slot for good, and its
// str belongs to the caller alone.
//
// A column of nearly unique values (ids, amounts, timestamps) would only pay
// for lookups, so each column counts its hits over a window of lookups: below
// a quarter, its table is emptied and it builds its strs without looking for
// a while, then measures again, as a file's columns can change character.
#pragma once

#include <Python.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "py_ref.hpp"

namespace quillon::binding {

class FieldStrCache {
public:
    // Fields of columns past these, shorter than two bytes (the interpreter
    // shares those already) or longer, are built without the cache.
    static constexpr std::size_t kColumns = 64;
    static constexpr std::size_t kMaxLength = 16;

    // `readable_end` ends the memory that the fields lie in: a field with 16
    // bytes before it is read as two whole words, the rest masked off.
    explicit FieldStrCache(const char* readable_end) noexcept : readable_end_(readable_end) {}

    // A new reference to a str of the text of a field in `column`, built by
    // `Build` unless the column's table has one; null with an exception set.
    // `Build(text, size)` returns a new str whose value depends on the text
    // alone, or null with an exception set.
    template <auto Build>
    PyObject* str(std::size_t column, const char* text, std::size_t size) {
        if (column >= kColumns || size - 2 > kMaxLength - 2) return Build(text, size);
        return columns_[column].template str<Build>(text, size, readable_end_);
    }

private:
    // A field's bytes as two little-endian words, zero past its end, and its size.
    struct Key {
        std::uint64_t low;
        std::uint64_t high;
        std::uint64_t size;

        static Key of(const char* text, std::size_t size, const char* readable_end) noexcept {
            static_assert(std::endian::native == std::endian::little);
            if (readable_end - text < 16) [[unlikely]] {
                char padded[16] = {};
                std::memcpy(padded, text, size);
                return of_words(padded, size);
            }
            return of_words(text, size);
        }
        static Key of_words(const char* p, std::size_t size) noexcept {
            std::uint64_t low;
            std::uint64_t high;
            std::memcpy(&low, p, 8);
            std::memcpy(&high, p + 8, 8);
            return {low & kLowMask[size], high & kHighMask[size], size};
        }
        std::size_t index(unsigned bits) const noexcept {
            const std::uint64_t mixed = (low ^ (high * 0x9E3779B97F4A7C15ULL) ^ size) * 0xD6E8FEB86659FD93ULL;
            return static_cast<std::size_t>(mixed >> (64 - bits));
        }
        bool operator==(const Key&) const noexcept = default;

        // The bytes of the first and second word that a field of each size holds.
        static constexpr std::array<std::uint64_t, kMaxLength + 1> kLowMask = [] {
            std::array<std::uint64_t, kMaxLength + 1> masks{};
            for (std::size_t n = 0; n <= kMaxLength; ++n) masks[n] = n >= 8 ? ~0ULL : (1ULL << (8 * n)) - 1;
            return masks;
        }();
        static constexpr std::array<std::uint64_t, kMaxLength + 1> kHighMask = [] {
            std::array<std::uint64_t, kMaxLength + 1> masks{};
            for (std::size_t n = 9; n <= kMaxLength; ++n) masks[n] = n == 16 ? ~0ULL : (1ULL << (8 * (n - 8))) - 1;
            return masks;
        }();
    };

    class Column {
    public:
        template <auto Build>
        PyObject* str(const char* text, std::size_t size, const char* readable_end) {
            if (--remaining_ == 0) next_phase();
            if (!looking_) return Build(text, size);
            const Key key = Key::of(text, size, readable_end);
            Entry& entry = (*table_)[key.index(kIndexBits)];
            if (entry.key == key && entry.str) {
                ++hits_;
                return Py_NewRef(entry.str.get());
            }
            PyObject* built = Build(text, size);
            if (!entry.str && built != nullptr) {
                // Seen before: the str is kept. Seen first: only its bytes
                // are, in place of the bytes of another value seen once.
                if (entry.key == key) {
                    entry.str = PyRef::borrow(built);
                } else {
                    entry.key = key;
                }
            }
            return built;
        }

    private:
        static constexpr unsigned kIndexBits = 9;
        // Lookups per measurement, and fields built without looking after a
        // window whose hit rate was too low.
        static constexpr std::uint32_t kWindow = 1024;
        static constexpr std::uint32_t kPause = 32 * kWindow;
        static constexpr std::uint32_t kMinHits = kWindow / 4;
        // Empty, a value seen once (its key alone) or a kept str and its key.
        struct Entry {
            Key key{};
            PyRef str;
        };
        using Table = std::array<Entry, std::size_t{1} << kIndexBits>;

        void next_phase() noexcept;

        std::unique_ptr<Table> table_;
        // Fields left in the current window or pause; the first field starts a window.
        std::uint32_t remaining_ = 1;
        std::uint32_t hits_ = 0;
        bool looking_ = false;
    };

    const char* readable_end_;
    std::array<Column, kColumns> columns_;
};

}  // namespace quillon::binding

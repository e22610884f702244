// A frequency table of record field counts, small by construction (the
// sniffer and the inference sample at most 100 records).
//
// Entries stay in the order their counts were first met, and ties go to the
// earliest one, so the same bytes always give the same answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quillon {

class FieldCountTable {
public:
    struct Entry {
        std::size_t fields;
        std::size_t records;
    };

    void add(std::size_t fields) {
        ++records_;
        for (Entry& e : entries_) {
            if (e.fields == fields) {
                ++e.records;
                return;
            }
        }
        entries_.push_back(Entry{fields, 1});
    }

    // The entry with the most records among counts of at least `min_fields`;
    // the first met of those tied.
    std::optional<Entry> most_frequent(std::size_t min_fields) const noexcept {
        std::optional<Entry> best;
        for (const Entry& e : entries_) {
            if (e.fields >= min_fields && (!best || e.records > best->records)) best = e;
        }
        return best;
    }

    // Number of records entered.
    std::size_t records() const noexcept { return records_; }

private:
    std::vector<Entry> entries_;
    std::size_t records_ = 0;
};

// The field counts of the first `limit` non-blank records of `buffer`, split
// with `delimiter` and the double quote, stray-quote repair on: how the
// sniffer and the inference see a text, whatever the run's own options.
FieldCountTable sample_field_counts(std::string_view buffer, std::uint8_t delimiter,
                                    std::size_t limit);

}  // namespace quillon

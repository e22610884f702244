// A frequency table of record field counts, small by construction (the
// sniffer and the inference sample at most 100 records).
//
// Entries stay in the order their counts were first met, and ties go to the
// earliest one, so the same bytes always give the same answer.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace quillon {

class FieldCountTable {
public:
    struct Entry {
        std::size_t fields;
        std::size_t records;
    };

    void add(std::size_t fields) {
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

private:
    std::vector<Entry> entries_;
};

}  // namespace quillon

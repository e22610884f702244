// SalvageSummary: the immutable counters of one salvage, created only here.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/salvage_counts.hpp"

namespace quillon::binding {

struct SummaryValues {
    // The delimiter as UTF-8 text: the one code point U+0000..U+00FF whose
    // value is the delimiter byte.
    char delimiter[2] = {',', 0};
    std::uint8_t delimiter_size = 1;
    // Of which the summary shows the rows: total, salvaged, repaired, quarantined.
    SalvageCounts counts;
    std::size_t inferred_columns = 0;

    std::string_view delimiter_text() const noexcept { return {delimiter, delimiter_size}; }

    // From a result or stats record of the engine or the pipeline.
    template <typename Counters>
    static SummaryValues of(const Counters& counters) noexcept {
        SummaryValues values;
        values.set_delimiter(counters.detected_delimiter);
        values.counts = counters;
        values.inferred_columns = counters.inferred_columns;
        return values;
    }

private:
    void set_delimiter(char32_t code_point) noexcept;
};

// The SalvageSummary type; borrowed, lives for the process. Null with an
// exception set if it cannot be created.
PyTypeObject* summary_type() noexcept;

// A new SalvageSummary holding its own copy of `values`.
PyObject* new_summary(const SummaryValues& values);

}  // namespace quillon::binding

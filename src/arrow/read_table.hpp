// The adaptive salvage of a file into record batches instead of a clean file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pipeline/adaptive_salvage.hpp"
#include "record_batches.hpp"

namespace quillon::arrow {

struct TableRead {
    std::shared_ptr<const BatchTable> table;
    AdaptiveStats stats;
};

// Whether the run's first kept row is the table's header: the run detected
// (or was told) that there is one, and that record was not set aside.
bool header_row_kept(const AdaptiveRun& run) noexcept;
// The same from the run's first entries of its quarantine (at least those
// of the span from the input's start): whether the header record, when one
// was detected, escaped it.
bool header_escaped_quarantine(const QuarantineList& quarantine) noexcept;

// Reads `input_path` whole, runs the adaptive salvage over it, writes the
// quarantine file when a path is given, and builds the batches: one column
// per applied column (or per field of the widest row when the column check
// is off), named from the header row when it was kept. Each span's rows
// become batches on the thread that reads the span, so that the rows are
// never all held in row form. When the options' progress hook stops the
// run, the error is EINTR.
IoResult<TableRead> read_table(const std::string& input_path,
                               const std::optional<std::string>& quarantine_path,
                               const AdaptiveOptions& options, const BatchLimits& limits = {},
                               InterruptCheck interrupt = nullptr);

// The same over an input already in memory (decompressed, or handed over as
// bytes), which the caller keeps alive for the call.
IoResult<TableRead> read_table_content(std::string_view content,
                                       const std::optional<std::string>& quarantine_path,
                                       const AdaptiveOptions& options,
                                       const BatchLimits& limits = {},
                                       InterruptCheck interrupt = nullptr);

}  // namespace quillon::arrow

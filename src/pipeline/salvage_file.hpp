// The file salvage pipeline: input file -> engine -> output and quarantine files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "engine/growable_buffer.hpp"
#include "engine/options.hpp"
#include "engine/salvage_counts.hpp"
#include "io_error.hpp"
#include "unique_fd.hpp"

namespace quillon {

struct SalvageStats : SalvageCounts {
    char32_t detected_delimiter = U',';
    std::size_t inferred_columns = 0;
};

struct InputFile {
    UniqueFd fd;                   // still open; the caller closes it when done
    GrowableBuffer<char> content;  // the whole file
};

// Opens `path` for reading and reads it whole. Interrupted system calls are
// repeated unless `interrupt` says to give up. A `poll`, when given, is asked
// after every 64 MiB read and gives up the same way when it says so, so that
// Ctrl-C ends the read of a large file within a fraction of a second.
IoResult<InputFile> read_input_file(const std::string& path, InterruptCheck interrupt = nullptr,
                                    InterruptCheck poll = nullptr);

// Salvages `input_path` into `output_path` and, when given, writes the
// quarantined rows to `quarantine_path`. Interrupted system calls are
// repeated unless `interrupt` says to give up.
IoResult<SalvageStats> salvage_file(const std::string& input_path, const std::string& output_path,
                                    const std::optional<std::string>& quarantine_path,
                                    const SalvageOptions& options,
                                    InterruptCheck interrupt = nullptr);

}  // namespace quillon

#include "read_table.hpp"

#include <cerrno>
#include <string_view>
#include <utility>

#include "pipeline/salvage_file.hpp"

namespace quillon::arrow {

bool header_row_kept(const AdaptiveRun& run) noexcept {
    const SalvageResult& result = run.result;
    if (!run.detection.structure.header || result.rows.empty()) return false;
    // The header is the first record after the preamble. Records follow each
    // other line by line, and the quarantine lists them in input order, so
    // the header was set aside exactly when the first entry after the
    // preamble begins on the line after the preamble's last.
    const std::size_t preamble = result.preamble_rows;
    if (result.quarantine.size() <= preamble) return true;
    const std::size_t header_line =
        preamble == 0 ? 1 : result.quarantine[preamble - 1].place.line + 1;
    return result.quarantine[preamble].place.first_line != header_line;
}

namespace {

// What a run hands to the batches: its counts, its kept rows, and whether
// the first of them is the header.
struct RunRows {
    TableRead read;
    RowStore rows;
    bool header = false;
};

// The adaptive run over `content`, with the quarantine file written.
IoStatus run_over(std::string_view content, const std::optional<std::string>& quarantine_path,
                  const AdaptiveOptions& options, InterruptCheck interrupt, RunRows& out) {
    AdaptiveRun run = run_adaptive(content, options);
    // The options' progress hook asked to stop: no table, as a signal
    // interrupts a system call.
    if (run.result.stopped) return IoError::from_errno(EINTR);
    if (quarantine_path) {
        if (IoStatus written = write_run_quarantine(*quarantine_path, run, interrupt); !written) {
            return concerning(written.error(), *quarantine_path);
        }
    }
    out.read.stats = stats_of(run);
    out.header = header_row_kept(run);
    out.rows = std::move(run.result.rows);
    return io_ok();
}

TableRead batches_of(RunRows&& run, const BatchLimits& limits) {
    run.read.table = std::make_shared<const BatchTable>(
        build_batches(std::move(run.rows), run.header, run.read.stats.columns, limits));
    return std::move(run.read);
}

}  // namespace

IoResult<TableRead> read_table(const std::string& input_path,
                               const std::optional<std::string>& quarantine_path,
                               const AdaptiveOptions& options, const BatchLimits& limits,
                               InterruptCheck interrupt) {
    RunRows run;
    {
        IoResult<InputFile> file = read_input_file(input_path, interrupt, interrupt);
        if (!file) return concerning(file.error(), input_path);
        const GrowableBuffer<char>& content = file.value().content;
        if (IoStatus done = run_over(std::string_view(content.data(), content.size()),
                                     quarantine_path, options, interrupt, run);
            !done) {
            return done.error();
        }
        // The input, its transcoding and the quarantined records go here,
        // before the batches take their room.
    }
    return batches_of(std::move(run), limits);
}

IoResult<TableRead> read_table_content(std::string_view content,
                                       const std::optional<std::string>& quarantine_path,
                                       const AdaptiveOptions& options, const BatchLimits& limits,
                                       InterruptCheck interrupt) {
    RunRows run;
    if (IoStatus done = run_over(content, quarantine_path, options, interrupt, run); !done) {
        return done.error();
    }
    return batches_of(std::move(run), limits);
}

}  // namespace quillon::arrow

#include "read_table.hpp"

#include <cerrno>
#include <memory>
#include <string_view>

#include "pipeline/salvage_file.hpp"

namespace quillon::arrow {

bool header_row_kept(const AdaptiveRun& run) noexcept {
    return run.detection.structure.header && run.result.salvaged_rows != 0 &&
           header_escaped_quarantine(run.result.quarantine);
}

bool header_escaped_quarantine(const QuarantineList& quarantine) noexcept {
    // The header is the first record after the preamble and the comments
    // above it. Records follow each other line by line, and the quarantine
    // lists them in input order, so the header was set aside exactly when
    // the first entry past the unbroken run of those from line 1 begins on
    // the line after that run's last.
    std::size_t header_line = 1;
    std::size_t i = 0;
    for (; i < quarantine.size(); ++i) {
        const QuarantinedRow entry = quarantine[i];
        const bool above = entry.code == QuarantineReason::kPreamble ||
                           entry.code == QuarantineReason::kComment;
        if (!above || entry.place.first_line != header_line) break;
        header_line = entry.place.line + 1;
    }
    return i == quarantine.size() || quarantine[i].place.first_line != header_line;
}

IoResult<TableRead> read_table_content(std::string_view content,
                                       const std::optional<std::string>& quarantine_path,
                                       const AdaptiveOptions& options, const BatchLimits& limits,
                                       InterruptCheck interrupt) {
    AdaptiveRun run;
    run.detection = detect_input(content, options, run.input);
    // The first kept row is the header unless the header record was set
    // aside, which only the quarantine tells once the run is over: the
    // span from the start keeps that row apart until then.
    const bool header_detected = run.detection.structure.header;
    TableBuilder table(limits);
    salvage_detected(
        run, options,
        [&](std::size_t from) {
            return std::make_unique<BatchBuilder>(limits, header_detected && from == 0);
        },
        [&](KeptRowSink& span) {
            table.add(static_cast<BatchBuilder&>(span));
            return true;
        });
    // The options' progress hook asked to stop: no table, as a signal
    // interrupts a system call.
    if (run.result.stopped) return IoError::from_errno(EINTR);
    if (quarantine_path) {
        if (IoStatus written = write_run_quarantine(*quarantine_path, run, interrupt); !written) {
            return concerning(written.error(), *quarantine_path);
        }
    }
    TableRead out;
    out.stats = stats_of(run);
    out.table = std::make_shared<const BatchTable>(
        table.finish(header_row_kept(run), out.stats.columns));
    return out;
}

IoResult<TableRead> read_table(const std::string& input_path,
                               const std::optional<std::string>& quarantine_path,
                               const AdaptiveOptions& options, const BatchLimits& limits,
                               InterruptCheck interrupt) {
    IoResult<InputFile> file = read_input_file(input_path, interrupt, interrupt);
    if (!file) return concerning(file.error(), input_path);
    const GrowableBuffer<char>& content = file.value().content;
    return read_table_content(std::string_view(content.data(), content.size()), quarantine_path,
                              options, limits, interrupt);
}

}  // namespace quillon::arrow

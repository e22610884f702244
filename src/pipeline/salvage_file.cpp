#include "salvage_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "buffered_file_writer.hpp"
#include "encoders.hpp"
#include "kept_row_writers.hpp"
#include "engine/salvage.hpp"
#include "engine/salvage_run.hpp"
#include "open_file.hpp"
#include "path_identity.hpp"

namespace quillon {

namespace {

// A read into spare capacity that is not there yet would force the buffer to
// grow; this much is read on the stack first to learn whether the file has
// ended, so a file read into its exact reservation keeps its one allocation.
constexpr std::size_t kProbeSize = 32;
// Least room asked for when the buffer must grow for a file of unknown size.
constexpr std::size_t kMinReadChunk = 8192;
// Linux transfers at most this many bytes per read(2).
constexpr std::size_t kMaxReadChunk = 0x7ffff000;
// Bytes read between two polls.
constexpr std::size_t kPolledReadChunk = std::size_t{64} << 20;

// read(2), repeated when interrupted unless `interrupt` says to give up
// (then -1 with errno EINTR).
ssize_t read_retrying(int fd, void* data, std::size_t size, InterruptCheck interrupt,
                      std::size_t most = kMaxReadChunk) {
    for (;;) {
        const ssize_t r = ::read(fd, data, size < most ? size : most);
        if (r >= 0 || errno != EINTR) return r;
        if (interrupt != nullptr && interrupt()) {
            errno = EINTR;
            return -1;
        }
    }
}

// The bytes left to read from the current position, when the file can say.
std::size_t size_hint(int fd) noexcept {
    struct stat st;
    if (::fstat(fd, &st) != 0) return 0;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0 || st.st_size <= position) return 0;
    return static_cast<std::size_t>(st.st_size - position);
}

IoError names_output_error() {
    return IoError::with_message(IoErrorKind::kInvalidInput, "quarantine path names the output file");
}

}  // namespace

IoResult<InputFile> read_input_file(const std::string& path, InterruptCheck interrupt,
                                    InterruptCheck poll) {
    IoResult<UniqueFd> opened = open_file(path, O_RDONLY, 0, interrupt);
    if (!opened) return opened.error();
    InputFile file{std::move(opened.value()), GrowableBuffer<char>()};
    const int fd = file.fd.get();
    GrowableBuffer<char>& content = file.content;

    try {
        content.reserve(size_hint(fd));
    } catch (const std::bad_alloc&) {
        return IoError::with_message(IoErrorKind::kOutOfMemory, "out of memory");
    }

    for (;;) {
        if (content.size() == content.capacity()) {
            char probe[kProbeSize];
            const ssize_t r = read_retrying(fd, probe, sizeof probe, interrupt);
            if (r < 0) return IoError::from_errno(errno);
            if (r == 0) break;
            content.append(probe, static_cast<std::size_t>(r));
        }
        std::size_t room = content.capacity() - content.size();
        if (room == 0) {
            content.reserve_tail(kMinReadChunk);
            room = content.capacity() - content.size();
        }
        const ssize_t r = read_retrying(fd, content.data() + content.size(), room, interrupt,
                                        poll != nullptr ? kPolledReadChunk : kMaxReadChunk);
        if (r < 0) return IoError::from_errno(errno);
        if (r == 0) break;
        content.set_size(content.size() + static_cast<std::size_t>(r));
        if (poll != nullptr && poll()) return IoError::from_errno(EINTR);
    }
    return file;
}

IoResult<SalvageStats> salvage_file(const std::string& input_path, const std::string& output_path,
                                    const std::optional<std::string>& quarantine_path,
                                    const SalvageOptions& options, InterruptCheck interrupt) {
    // Creating the quarantine file would truncate the output just written.
    if (quarantine_path && same_file(output_path, *quarantine_path)) return names_output_error();

    // Declared in the order of opening, so that every path out releases them
    // in the reverse order: quarantine writer, output writer, input.
    IoResult<InputFile> input = read_input_file(input_path, interrupt);
    if (!input) return input.error();
    const GrowableBuffer<char>& content = input.value().content;

    // The run settles delimiter and column count over the whole input before
    // the output is created; its kept rows are then written as they are read,
    // never all held at once, and the quarantined ones after the output.
    const SalvageRun run(std::string_view(content.data(), content.size()), options);
    const std::uint8_t delimiter = run.delimiter();

    IoResult<BufferedFileWriter> output = BufferedFileWriter::create(output_path, interrupt);
    if (!output) return output.error();
    BufferedFileWriter& out = output.value();

    SalvageResult result;
    run.describe(result);
    CleanFileWriter writer(out, delimiter, options.quote_char, QuotingDecision::kByFlags);
    run.read_span(0, content.size(), result, &writer, options.progress);
    if (!writer.status()) return writer.status().error();
    if (result.stopped) return IoError::from_errno(EINTR);
    if (IoStatus flushed = out.flush(); !flushed) return flushed.error();

    if (quarantine_path) {
        if (leads_to(*quarantine_path, out.fd())) return names_output_error();
        IoResult<BufferedFileWriter> created = BufferedFileWriter::create(*quarantine_path, interrupt);
        if (!created) return created.error();
        BufferedFileWriter& quarantine = created.value();
        if (IoStatus written = quarantine.write_all(QUARANTINE_HEADER); !written) {
            return written.error();
        }
        std::string line;
        for (const QuarantinedRow row : result.quarantine) {
            encode_quarantine_row(row, delimiter, line);
            if (IoStatus written = quarantine.write_all(line); !written) return written.error();
        }
        if (IoStatus flushed = quarantine.flush(); !flushed) return flushed.error();
        quarantine.close();
    }

    SalvageStats stats;
    static_cast<SalvageCounts&>(stats) = result;
    stats.detected_delimiter = result.detected_delimiter;
    stats.inferred_columns = result.inferred_columns;
    return stats;
}

}  // namespace quillon

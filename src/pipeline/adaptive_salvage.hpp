// The adaptive salvage: detect the input's encoding, dialect and structure,
// then salvage it with the engine into a standard CSV file and a lossless
// quarantine file.
//
// The steps and what each settles:
//   1. read the input: whole (as salvage_file does), or as a stream through a
//      window of bounded size (adaptive_salvage_stream);
//   2. encoding: UTF-16, Big5, GB18030, Shift-JIS and EUC-KR input is
//      transcoded to UTF-8 first; Windows-1252 and Latin-1 are decoded field
//      by field by the engine;
//   3. dialect: delimiter, quote, escape and space skipping, from a sample;
//   4. structure: preamble records, header, column count;
//   5. the engine run, with repeated headers set aside when there is a header;
//   6. the clean file (the double quote, LF line ends, minimal quoting; the
//      input's delimiter when it is comma, semicolon, tab or pipe, else the
//      comma), then the quarantine file (raw_quarantine.hpp).
// Whatever the caller fixes is not detected. Files are created and written
// in the same order as salvage_file, so failures leave the same files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "detection/dialect_detection.hpp"
#include "detection/encoding_detection.hpp"
#include "detection/structure_detection.hpp"
#include "engine/dialect.hpp"
#include "engine/parallel_salvage.hpp"
#include "engine/salvage.hpp"
#include "buffered_file_writer.hpp"
#include "byte_stream.hpp"
#include "io_error.hpp"
#include "raw_quarantine.hpp"

namespace quillon {

struct AdaptiveOptions {
    DialectHints dialect;
    std::optional<InputEncoding> encoding;
    std::optional<bool> header;
    std::optional<std::size_t> preamble_rows;
    // The prefix of comment lines; "" for none; absent: detected.
    std::optional<std::string> comment;
    // Absent: the detected table's. 0 turns the column check off.
    std::optional<std::size_t> expected_columns;
    bool fill_ragged_rows = true;
    bool merge_overflow = true;
    // The type-aware repair of rows of the wrong field count (engine/row_repair.hpp).
    bool repair_rows = true;
    bool repair_quotes = true;
    bool drop_repeated_headers = true;
    // Notes below the table are set aside as the footer.
    bool drop_footer = true;
    bool guard_runaway_quotes = true;
    // The tables below the first are set aside as other_table.
    bool split_tables = true;
    // Absent: the input's delimiter when it is one of , ; TAB |, else comma.
    std::optional<std::uint8_t> output_delimiter;
    // Told how far the run has got, every few MB of input; false stops it
    // (an "interrupted" error).
    ProgressHook progress;
    // Threads that read the input's records; 0: one for each core the
    // process may run on. The result is the same for any number.
    unsigned threads = 0;
    // Detection and the engine's settling step read the input's first
    // head_bytes (and, for the notes below the table, its last bytes), so
    // that a streamed input settles exactly as one held whole.
    std::size_t head_bytes = kHeadBytes;
    // A streamed input is read through a window of about this many bytes,
    // in spans of span_bytes (0: the usual plan's). Any sizes give the same
    // result; small ones are for tests.
    std::size_t window_bytes = kWindowBytes;
    std::size_t span_bytes = 0;

    static constexpr std::size_t kHeadBytes = std::size_t{16} << 20;
    static constexpr std::size_t kWindowBytes = std::size_t{64} << 20;
};

// What detection settled for one input.
struct Detection {
    EncodingGuess encoding;
    Dialect dialect;
    TableStructure structure;
};

struct AdaptiveStats : SalvageCounts {
    Detection detection;
    std::uint8_t output_delimiter = ',';
    std::size_t columns = 0;
    // The last record ends inside an open quoted field (SalvageResult).
    bool ends_in_open_quote = false;
    // The tables below the first, their offsets those of the input file.
    std::vector<OtherTable> other_tables;
    // A streamed input whose window grew to hold a record longer than it:
    // the bytes it grew to; 0 when it never did.
    std::size_t window_grown_to = 0;
};

// The input as the engine reads it: UTF-16 and the double-byte encodings
// transcoded to UTF-8, anything else as it is. Safe to move: the text is
// found anew on each call.
struct EngineInput {
    std::string_view original;
    std::string transcoded;
    bool is_transcoded = false;
    // Offset of the text's first byte in the input file (the UTF-16 mark).
    std::size_t skipped = 0;

    std::string_view text() const noexcept {
        return is_transcoded ? std::string_view(transcoded) : original;
    }
};

// Detection over an input held in memory; `input` is set to what the engine
// must read. It reads the input's first options.head_bytes and, when there
// is more, its last bytes for the notes below the table.
Detection detect_input(std::string_view content, const AdaptiveOptions& options,
                       EngineInput& input);

// One adaptive run over an input held in memory (`content` must outlive it).
struct AdaptiveRun {
    Detection detection;
    EngineInput input;
    SalvageResult result;
    std::uint8_t output_delimiter = ',';
};
AdaptiveRun run_adaptive(std::string_view content, const AdaptiveOptions& options);

// Takes the sink of one span, in input order; false stops the run.
using SinkConsumer = std::function<bool(KeptRowSink&)>;
// The engine run of an input whose detection is done (run.detection and
// run.input as detect_input sets them): each span's kept rows go to a sink
// that `make_sink` makes instead of into run.result.rows, so that they are
// never all held at once; the quarantine and the counts are the run's.
void salvage_detected(AdaptiveRun& run, const AdaptiveOptions& options,
                      const SinkFactory& make_sink, const SinkConsumer& take);

// The counts of a run.
AdaptiveStats stats_of(const AdaptiveRun& run);

// The delimiter of the clean file for an input dialect.
std::uint8_t default_output_delimiter(std::uint8_t input_delimiter) noexcept;

// Detects as a salvage of the input would, reading only its head (UTF-16
// and the double-byte encodings, transcoded whole, are read whole). The
// notes below the table, which only the input's end tells, are not looked
// for: footer_from is kNoFooter for an input longer than its head.
IoResult<Detection> detect_stream(ByteStream& input, const AdaptiveOptions& options);

// detect_stream over the file at `input_path`.
IoResult<Detection> detect_file(const std::string& input_path, const AdaptiveOptions& options,
                                InterruptCheck interrupt = nullptr);

// The raw-quarantine lines of a run's records set aside, in input order,
// each with its offset in the input file. The offsets in a transcoded input
// are found by walking on from the previous record, never from the start
// again.
class RunQuarantineLines {
public:
    explicit RunQuarantineLines(const AdaptiveRun& run) noexcept;
    // Fills `line` with the next record's line; false after the last one.
    bool next(std::string& line);

private:
    const AdaptiveRun* run_;
    RawForm form_;
    std::optional<LegacyCjk> cjk_;
    std::size_t index_ = 0;
    // How far the walk has got, in the text and in the transcoded input
    // (from its first byte after a UTF-16 mark).
    std::size_t mapped_utf8_ = 0;
    std::size_t mapped_input_ = 0;
    std::size_t input_offset(std::size_t utf8_offset);
};

// Writes the quarantine file of a run: the raw-quarantine header, then each
// record set aside, byte for byte, with its lines, offset and reason.
IoStatus write_run_quarantine(const std::string& path, const AdaptiveRun& run,
                              InterruptCheck interrupt = nullptr);

// Where the clean file goes: `path`, created or truncated, unless `fd` is an
// open descriptor (standard output, say), which is written through a
// duplicate and left open.
struct OutputTarget {
    std::string path;
    int fd = -1;
};

// The salvage of an input already in memory (read from a pipe, decompressed),
// written as adaptive_salvage_file writes it.
IoResult<AdaptiveStats> adaptive_salvage_content(std::string_view content,
                                                 const OutputTarget& output,
                                                 const std::optional<std::string>& quarantine_path,
                                                 const AdaptiveOptions& options,
                                                 InterruptCheck interrupt = nullptr);

// The salvage of an input read as a stream, written as adaptive_salvage_file
// writes it, with the same result, in memory that does not grow with the
// input: the head for detection, the window, and the spans in flight. A
// record longer than the window grows it for that record (window_grown_to).
// UTF-16 input, transcoded whole, is read whole. The quarantine file is
// written as the clean file is, once both are created.
IoResult<AdaptiveStats> adaptive_salvage_stream(ByteStream& input, const OutputTarget& output,
                                                const std::optional<std::string>& quarantine_path,
                                                const AdaptiveOptions& options,
                                                InterruptCheck interrupt = nullptr);

// A streamed input opened and detected, its spans read window by window as
// the caller asks for them: the loop that adaptive_salvage_stream writes the
// clean file from, and that a reader of record batches pulls from. Memory
// does not grow with the input (see adaptive_salvage_stream).
class StreamedSalvage {
public:
    // Takes one span's output in input order, with the window that holds
    // its records (for their raw quarantine lines); false stops the run.
    using SpanTaker = std::function<bool(SpanOutput&, const InputWindow&)>;
    enum class Step : std::uint8_t { kMore, kDone };

    // Reads the input's head, detects, and starts the run, reading on until
    // the window holds the preamble and header records whole, as a run over
    // the whole input reads them. UTF-16 and the double-byte encodings,
    // transcoded whole, are read whole instead: whole() then holds the
    // input, for the caller to salvage in memory.
    static IoResult<std::unique_ptr<StreamedSalvage>> open(ByteStream& input,
                                                           const AdaptiveOptions& options);
    ~StreamedSalvage();
    StreamedSalvage(const StreamedSalvage&) = delete;
    StreamedSalvage& operator=(const StreamedSalvage&) = delete;

    // The whole input, when it had to be read whole; empty otherwise.
    std::optional<std::string_view> whole() const noexcept;
    const AdaptiveRun& run() const noexcept;
    // About how many input bytes a span reads, for the sinks' first room.
    std::size_t span_bytes() const noexcept;
    // How the quarantine writes the records of this input.
    RawForm raw_form() const noexcept;
    // Input bytes read so far.
    std::size_t consumed() const noexcept;
    // Reads on through a window of about `bytes` (at least two spans): a
    // reader that holds what it made of each window until it is taken wants
    // a smaller one than the first. Any size gives the same result.
    void set_window_bytes(std::size_t bytes);

    // Reads the next window: the spans it holds go to sinks that `make_sink`
    // makes and then to `take`, in input order. kDone once the input has
    // ended and every span was taken (and on every later call); an error
    // when reading failed, or EINTR when `take` or the progress hook stopped.
    IoResult<Step> step(const SinkFactory& make_sink, const SpanTaker& take);

    // The detection and the counts of the spans taken so far: the run's
    // once step() said kDone.
    AdaptiveStats stats();

private:
    struct State;
    explicit StreamedSalvage(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// Writes the quarantine lines of one span taken from a streamed run.
IoStatus write_span_quarantine(BufferedFileWriter& out, const SpanOutput& span,
                               const InputWindow& window, RawForm form, std::string& line);

IoResult<AdaptiveStats> adaptive_salvage_file(const std::string& input_path,
                                              const std::string& output_path,
                                              const std::optional<std::string>& quarantine_path,
                                              const AdaptiveOptions& options,
                                              InterruptCheck interrupt = nullptr);

}  // namespace quillon

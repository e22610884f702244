#include "adaptive_salvage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "buffered_file_writer.hpp"
#include "detection/detection_sample.hpp"
#include "engine/parallel_salvage.hpp"
#include "engine/salvage_run.hpp"
#include "kept_row_writers.hpp"
#include "engine/options.hpp"
#include "open_file.hpp"
#include "path_identity.hpp"
#include "raw_quarantine.hpp"
#include "salvage_file.hpp"

namespace quillon {

namespace {

// A detected UTF-8 file reads any stray bytes beyond the judged prefix as
// Windows-1252 rows too; one the caller declares UTF-8 gets U+FFFD for them.
FieldDecoding decoding_for(InputEncoding encoding, bool given) noexcept {
    switch (encoding) {
        case InputEncoding::kUtf8With1252Rows:
            return FieldDecoding::kUtf8Windows1252Fallback;
        case InputEncoding::kUtf8:
            return given ? FieldDecoding::kUtf8Replace : FieldDecoding::kUtf8Windows1252Fallback;
        case InputEncoding::kWindows1252:
            return FieldDecoding::kWindows1252;
        case InputEncoding::kLatin1:
            return FieldDecoding::kLatin1;
        case InputEncoding::kUtf16Le:
        case InputEncoding::kUtf16Be:
        case InputEncoding::kBig5:
        case InputEncoding::kGb18030:
        case InputEncoding::kShiftJis:
        case InputEncoding::kEucKr:
            break;
    }
    return FieldDecoding::kUtf8Replace;
}

RawForm raw_form_for(InputEncoding encoding) noexcept {
    switch (encoding) {
        case InputEncoding::kWindows1252:
            return RawForm::kWindows1252;
        case InputEncoding::kLatin1:
            return RawForm::kLatin1;
        case InputEncoding::kUtf16Le:
            return RawForm::kUtf16Le;
        case InputEncoding::kUtf16Be:
            return RawForm::kUtf16Be;
        case InputEncoding::kBig5:
        case InputEncoding::kGb18030:
        case InputEncoding::kShiftJis:
        case InputEncoding::kEucKr:
            return RawForm::kLegacyCjk;
        case InputEncoding::kUtf8:
        case InputEncoding::kUtf8With1252Rows:
            break;
    }
    return RawForm::kUtf8;
}

bool is_utf16(InputEncoding encoding) noexcept {
    return encoding == InputEncoding::kUtf16Le || encoding == InputEncoding::kUtf16Be;
}

// The bytes a UTF-16 input has before its text: its mark, when it has one.
std::size_t utf16_mark_length(std::string_view content, InputEncoding encoding) noexcept {
    if (content.size() < 2) return 0;
    const auto b0 = static_cast<unsigned char>(content[0]);
    const auto b1 = static_cast<unsigned char>(content[1]);
    if (encoding == InputEncoding::kUtf16Le && b0 == 0xFF && b1 == 0xFE) return 2;
    if (encoding == InputEncoding::kUtf16Be && b0 == 0xFE && b1 == 0xFF) return 2;
    return 0;
}

SalvageOptions engine_options(const Detection& d, const AdaptiveOptions& options) {
    SalvageOptions o;
    o.delimiter = d.dialect.delimiter;
    o.quote_char = d.dialect.quote.value_or('"');
    o.quoting = d.dialect.quote.has_value();
    o.escape_char = d.dialect.escape;
    o.skip_initial_space = d.dialect.skip_initial_space;
    o.repair_quotes = options.repair_quotes;
    o.fill_ragged_rows = options.fill_ragged_rows;
    o.merge_overflow = options.merge_overflow;
    o.repair_misaligned_rows = options.repair_rows;
    o.expected_columns = d.structure.columns;
    o.preamble_rows = d.structure.preamble_rows;
    o.drop_repeated_headers = options.drop_repeated_headers && d.structure.header;
    o.header_shape = d.structure.header ? d.structure.header_shape : HeaderShape::kWidth;
    o.comment_prefix = d.structure.comment;
    if (options.drop_footer) o.footer_from = d.structure.footer_from;
    o.split_tables = options.split_tables;
    o.guard_runaway_quotes = options.guard_runaway_quotes && d.dialect.quote.has_value();
    o.decoding = decoding_for(d.encoding.encoding, options.encoding.has_value());
    o.settle_bytes = options.head_bytes;
    o.progress = options.progress;
    return o;
}

// Whether the engine's special flags, taken for the input's dialect, decide
// quoting for the output's: the same delimiter, and a quote byte that is the
// double quote or none (the flags cover '"' then too). With an escape byte
// the flags may miss bytes inside quotes.
bool flags_fit_output(const Dialect& input, std::uint8_t output_delimiter) noexcept {
    return input.delimiter == output_delimiter && (!input.quote || *input.quote == '"') &&
           !input.escape;
}

std::uint8_t output_delimiter_for(const Detection& d, const AdaptiveOptions& options) noexcept {
    return options.output_delimiter.value_or(default_output_delimiter(d.dialect.delimiter));
}

IoError names_output_error() {
    return IoError::with_message(IoErrorKind::kInvalidInput, "quarantine path names the output file");
}

// Reports a run's progress on the input's scale: the engine counts in its
// text, which is longer or shorter than the input when UTF-16 was transcoded.
class ScaledProgress {
public:
    ScaledProgress(ProgressHook outer, std::size_t input_size) noexcept
        : outer_(outer), size_(input_size) {}
    // An empty hook when there is no outer one: the engine then never asks.
    ProgressHook hook() noexcept {
        return outer_ ? ProgressHook{&ScaledProgress::step, this} : ProgressHook{};
    }

private:
    static bool step(void* self, std::size_t done, std::size_t of) {
        auto* p = static_cast<ScaledProgress*>(self);
        const std::size_t scaled =
            of == 0 || done >= of
                ? p->size_
                : static_cast<std::size_t>(static_cast<double>(done) / static_cast<double>(of) *
                                           static_cast<double>(p->size_));
        return p->outer_(scaled, p->size_);
    }

    ProgressHook outer_;
    std::size_t size_;
};

IoError stopped_error() { return IoError::from_errno(EINTR); }

unsigned threads_for(const AdaptiveOptions& options) noexcept {
    return options.threads != 0 ? options.threads : available_cores();
}

// A detected UTF-8 file whose run read stray bytes as Windows-1252 past the
// judged prefix says so in its encoding.
void label_reencoded_rows(AdaptiveRun& run, const AdaptiveOptions& options) noexcept {
    if (!options.encoding && run.detection.encoding.encoding == InputEncoding::kUtf8 &&
        run.result.reencoded_rows != 0) {
        run.detection.encoding.encoding = InputEncoding::kUtf8With1252Rows;
    }
}

// Writes the kept rows of the run to the clean file as they are read: on one
// thread straight into the file, on several span by span in input order.
IoStatus write_clean_rows(const SalvageOptions& engine, AdaptiveRun& run, BufferedFileWriter& out,
                          unsigned threads, ProgressHook progress) {
    const std::uint8_t delimiter = run.output_delimiter;
    const QuotingDecision decision = flags_fit_output(run.detection.dialect, delimiter)
                                         ? QuotingDecision::kByFlags
                                         : QuotingDecision::kByText;
    // A row of one empty field is written "": as an empty line, readers
    // that skip blank lines would lose it.
    CleanFileWriter writer(out, delimiter, '"', decision, LoneEmptyField::kQuoted);
    const std::string_view text = run.input.text();
    const SpanPlan plan = plan_spans(text.size(), threads);
    if (plan.threads <= 1) {
        const SalvageRun salvage(text, engine);
        salvage.describe(run.result);
        salvage.read_span(0, text.size(), run.result, &writer, progress);
    } else {
        const bool finished = read_buffer_spans(
            text, engine, plan,
            // A span's clean text is about its input's length; an eighth more
            // covers the quotes that the output adds.
            [&](std::size_t) {
                return std::make_unique<SpanEncoder>(delimiter, '"', decision,
                                                     LoneEmptyField::kQuoted,
                                                     plan.span_bytes + plan.span_bytes / 8);
            },
            [&](SpanOutput& span) {
                const auto& encoded = static_cast<const SpanEncoder&>(*span.sink);
                append_span(run.result, span.result, span.line_offset);
                return writer.write_encoded(encoded.text(), encoded.first_line());
            },
            run.result, progress);
        if (!finished) run.result.stopped = true;
    }
    if (!writer.status()) return writer.status().error();
    if (run.result.stopped) return stopped_error();
    return io_ok();
}

IoResult<BufferedFileWriter> open_output(const OutputTarget& target, InterruptCheck interrupt) {
    if (target.fd < 0) return BufferedFileWriter::create(target.path, interrupt);
    UniqueFd copy(::fcntl(target.fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) return IoError::from_errno(errno);
    return BufferedFileWriter(std::move(copy), &::write, interrupt);
}

void untranscoded(std::string_view content, EngineInput& input);

// `told`: the input's detection, when it was made as the input was read.
IoResult<AdaptiveStats> salvage_and_write(std::string_view content, const OutputTarget& output,
                                          const std::optional<std::string>& quarantine_path,
                                          const AdaptiveOptions& options,
                                          InterruptCheck interrupt,
                                          const std::optional<Detection>& told = std::nullopt) {
    // Detection comes first, over the whole input; only then is the clean
    // file created, and its rows are written as they are read. The
    // quarantine follows once the clean file is flushed.
    AdaptiveRun run;
    if (told) {
        run.detection = *told;
        untranscoded(content, run.input);
    } else {
        run.detection = detect_input(content, options, run.input);
    }
    run.output_delimiter = output_delimiter_for(run.detection, options);
    const SalvageOptions engine = engine_options(run.detection, options);

    IoResult<BufferedFileWriter> created = open_output(output, interrupt);
    if (!created) return concerning(created.error(), output.path);
    BufferedFileWriter& out = created.value();
    ScaledProgress progress(options.progress, content.size());
    if (IoStatus written = write_clean_rows(engine, run, out, threads_for(options), progress.hook());
        !written) {
        return concerning(written.error(), output.path);
    }
    if (IoStatus flushed = out.flush(); !flushed) return concerning(flushed.error(), output.path);
    label_reencoded_rows(run, options);

    if (quarantine_path) {
        if (leads_to(*quarantine_path, out.fd())) return names_output_error();
        if (IoStatus written = write_run_quarantine(*quarantine_path, run, interrupt); !written) {
            return concerning(written.error(), *quarantine_path);
        }
    }
    return stats_of(run);
}

}  // namespace

std::uint8_t default_output_delimiter(std::uint8_t input_delimiter) noexcept {
    switch (input_delimiter) {
        case ',':
        case ';':
        case '\t':
        case '|':
            return input_delimiter;
        default:
            return ',';
    }
}

namespace {

// The prefix the encoding is judged by: enough for a file in one encoding to
// show which, without a pass over all of a large one. It ends before a byte
// of 0x80 or above, so it never cuts a UTF-8 sequence in two.
constexpr std::size_t kEncodingSample = std::size_t{1} << 20;

// What one read(2) or one block of a streamed source asks for.
constexpr std::size_t kReadBlock = std::size_t{1} << 20;

std::string_view encoding_sample(std::string_view content) noexcept {
    if (content.size() <= kEncodingSample) return content;
    std::size_t end = kEncodingSample;
    while (end > 0 && static_cast<unsigned char>(content[end - 1]) >= 0x80) --end;
    return content.substr(0, end);
}

}  // namespace

namespace {

void detect_encoding_of(std::string_view head, const AdaptiveOptions& options, Detection& d) {
    if (options.encoding) {
        d.encoding.encoding = *options.encoding;
        d.encoding.bom_length = 0;
    } else {
        d.encoding = detect_encoding(encoding_sample(head));
    }
}

// Dialect and structure, from the text's start (and its end, for the notes
// below the table, when the text is all there).
void detect_table(std::string_view text, const AdaptiveOptions& options, Detection& d) {
    DialectHints hints = options.dialect;
    hints.guard_runaway_quotes = options.guard_runaway_quotes;
    d.dialect = detect_dialect(text, hints);
    d.dialect.repair_quotes = options.repair_quotes;
    d.structure = detect_structure(text, d.dialect, options.header, options.comment);
    if (options.header) d.structure.header = *options.header;
    if (options.preamble_rows) d.structure.preamble_rows = *options.preamble_rows;
    if (options.expected_columns) d.structure.columns = *options.expected_columns;
}

// Where the notes below the table begin in an input longer than its head:
// read as from the head followed by the input's last bytes (`end`, from
// offset `end_at`, which is at least the head's size), so that the table's
// shape comes from the same records as the rest of detection.
std::size_t footer_beyond_head(std::string_view head, std::string_view end, std::size_t end_at,
                               const Detection& d, const AdaptiveOptions& options) {
    std::string joined;
    joined.reserve(head.size() + end.size());
    joined.append(head).append(end);
    const std::size_t from =
        detect_structure(joined, d.dialect, options.header, options.comment).footer_from;
    if (from == TableStructure::kNoFooter) return from;
    return from - head.size() + end_at;
}

// The input's last bytes that footer_beyond_head reads, from `end_at`.
std::size_t tail_start(std::size_t head_size, std::size_t input_size) noexcept {
    return std::max(head_size, input_size > kTailBytes ? input_size - kTailBytes : 0);
}

}  // namespace

namespace {

std::string_view head_of(std::string_view content, const AdaptiveOptions& options) noexcept {
    return content.substr(0, std::min(content.size(), options.head_bytes));
}

// What the input's head tells: its encoding and, unless the input is to be
// transcoded whole first, its dialect and structure; true then.
bool detect_head(std::string_view head, const AdaptiveOptions& options, Detection& d) {
    detect_encoding_of(head, options, d);
    if (is_utf16(d.encoding.encoding) || legacy_cjk_of(d.encoding.encoding)) return false;
    detect_table(head, options, d);
    return true;
}

// Where the notes below the table begin in an input of `size` bytes whose
// head detect_head told, `end` holding its bytes from `end_at` on
// (tail_start); the head as it told.
void detect_footer(std::string_view head, std::string_view end, std::size_t end_at,
                   std::size_t size, const AdaptiveOptions& options, Detection& d) {
    if (size > head.size()) d.structure.footer_from = footer_beyond_head(head, end, end_at, d, options);
}

// The engine's input when it reads the input's bytes as they are.
void untranscoded(std::string_view content, EngineInput& input) {
    input.original = content;
    input.transcoded.clear();
    input.skipped = 0;
    input.is_transcoded = false;
}

// The rest of detect_input once detect_head has said `head_told`.
void finish_detection(std::string_view content, const AdaptiveOptions& options, bool head_told,
                      Detection& d, EngineInput& input) {
    untranscoded(content, input);
    if (head_told) {
        const std::string_view head = head_of(content, options);
        const std::size_t end_at = tail_start(head.size(), content.size());
        detect_footer(head, content.substr(std::min(end_at, content.size())), end_at,
                      content.size(), options, d);
        return;
    }
    input.is_transcoded = true;
    if (const std::optional<LegacyCjk> cjk = legacy_cjk_of(d.encoding.encoding)) {
        input.transcoded = transcode_cjk_to_utf8(content, *cjk);
    } else {
        input.skipped = utf16_mark_length(content, d.encoding.encoding);
        input.transcoded = transcode_utf16_to_utf8(content.substr(input.skipped),
                                                   d.encoding.encoding == InputEncoding::kUtf16Be);
    }
    detect_table(input.text(), options, d);
}

}  // namespace

Detection detect_input(std::string_view content, const AdaptiveOptions& options,
                       EngineInput& input) {
    Detection d;
    const bool head_told = detect_head(head_of(content, options), options, d);
    finish_detection(content, options, head_told, d, input);
    return d;
}

AdaptiveRun run_adaptive(std::string_view content, const AdaptiveOptions& options) {
    AdaptiveRun run;
    run.detection = detect_input(content, options, run.input);
    const std::string_view text = run.input.text();
    run.result = salvage_buffer_parallel(text, engine_options(run.detection, options),
                                         plan_spans(text.size(), threads_for(options)));
    label_reencoded_rows(run, options);
    run.output_delimiter = output_delimiter_for(run.detection, options);
    return run;
}

void salvage_detected(AdaptiveRun& run, const AdaptiveOptions& options,
                      const SinkFactory& make_sink, const SinkConsumer& take) {
    const std::string_view text = run.input.text();
    const SalvageOptions engine = engine_options(run.detection, options);
    const bool finished = read_buffer_spans(
        text, engine, plan_spans(text.size(), threads_for(options)), make_sink,
        [&](SpanOutput& span) {
            append_span(run.result, span.result, span.line_offset);
            return take(*span.sink);
        },
        run.result, engine.progress);
    if (!finished) run.result.stopped = true;
    label_reencoded_rows(run, options);
    run.output_delimiter = output_delimiter_for(run.detection, options);
}

namespace {

// The input file's offset of an offset in the engine's text: a transcoded
// UTF-16 input has two bytes per code unit (four for a character that takes
// four in UTF-8) after its mark.
std::size_t input_offset(const EngineInput& input, std::size_t text_offset) noexcept {
    if (!input.is_transcoded) return text_offset;
    std::size_t units = 0;
    for (const char c : input.text().substr(0, text_offset)) {
        const auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
    }
    return input.skipped + 2 * units;
}

}  // namespace

AdaptiveStats stats_of(const AdaptiveRun& run) {
    AdaptiveStats stats;
    static_cast<SalvageCounts&>(stats) = run.result;
    stats.detection = run.detection;
    stats.output_delimiter = run.output_delimiter;
    stats.columns = run.result.inferred_columns;
    stats.ends_in_open_quote = run.result.ends_in_open_quote;
    stats.other_tables = run.result.other_tables;
    for (OtherTable& t : stats.other_tables) {
        t.boundary = input_offset(run.input, t.boundary);
        t.begin = input_offset(run.input, t.begin);
        t.end = input_offset(run.input, t.end);
    }
    return stats;
}

namespace {

// Appends the source's next block to `into`; false at its end.
IoResult<bool> read_block(ByteStream& input, std::string& into) {
    const std::size_t had = into.size();
    into.resize(had + kReadBlock);
    IoResult<std::size_t> got = input.read(into.data() + had, kReadBlock);
    into.resize(had + (got ? got.value() : 0));
    if (!got) return got.error();
    return got.value() != 0;
}

}  // namespace

IoResult<Detection> detect_stream(ByteStream& input, const AdaptiveOptions& options) {
    const std::size_t head_bytes = std::max<std::size_t>(options.head_bytes, 1);
    std::string content;
    bool more = true;
    while (more && content.size() <= head_bytes) {
        IoResult<bool> got = read_block(input, content);
        if (!got) return got.error();
        more = got.value();
    }
    EngineInput engine_input;
    if (!more) return detect_input(content, options, engine_input);
    Detection d;
    detect_encoding_of(std::string_view(content).substr(0, head_bytes), options, d);
    if (is_utf16(d.encoding.encoding) || legacy_cjk_of(d.encoding.encoding)) {
        // The transcoding reads the input whole.
        while (more) {
            IoResult<bool> got = read_block(input, content);
            if (!got) return got.error();
            more = got.value();
        }
        return detect_input(content, options, engine_input);
    }
    detect_table(std::string_view(content).substr(0, head_bytes), options, d);
    return d;
}

IoResult<Detection> detect_file(const std::string& input_path, const AdaptiveOptions& options,
                                InterruptCheck interrupt) {
    IoResult<FdByteStream> opened = FdByteStream::open(input_path, interrupt);
    if (!opened) return concerning(opened.error(), input_path);
    IoResult<Detection> detected = detect_stream(opened.value(), options);
    if (!detected) return concerning(detected.error(), input_path);
    return detected;
}

RunQuarantineLines::RunQuarantineLines(const AdaptiveRun& run) noexcept
    : run_(&run),
      form_(raw_form_for(run.detection.encoding.encoding)),
      cjk_(legacy_cjk_of(run.detection.encoding.encoding)) {}

std::size_t RunQuarantineLines::input_offset(std::size_t utf8_offset) {
    const EngineInput& input = run_->input;
    const std::string_view text = input.text();
    const std::string_view rest = input.original.substr(input.skipped + mapped_input_);
    const std::size_t length = utf8_offset - mapped_utf8_;
    mapped_input_ += cjk_ ? cjk_input_length(rest, length, *cjk_)
                          : utf16_offset_of(text.substr(mapped_utf8_), length, rest.size());
    mapped_utf8_ = utf8_offset;
    return input.skipped + mapped_input_;
}

bool RunQuarantineLines::next(std::string& line) {
    const QuarantineList& quarantine = run_->result.quarantine;
    if (index_ == quarantine.size()) return false;
    const QuarantinedRow row = quarantine[index_++];
    const RecordPlace& place = row.place;
    const std::string_view text = run_->input.text();
    RawRecord record{place.first_line, place.line, place.begin, row.code,
                     text.substr(place.begin, place.end - place.begin), form_};
    if (run_->input.is_transcoded) {
        record.byte_offset = input_offset(place.begin);
        const std::size_t end = input_offset(place.end);
        record.input_bytes =
            run_->input.original.substr(record.byte_offset, end - record.byte_offset);
        if (cjk_) record.cjk = *cjk_;
    }
    encode_raw_quarantine_row(record, line);
    return true;
}

IoStatus write_run_quarantine(const std::string& path, const AdaptiveRun& run,
                              InterruptCheck interrupt) {
    IoResult<BufferedFileWriter> created = BufferedFileWriter::create(path, interrupt);
    if (!created) return created.error();
    BufferedFileWriter& quarantine = created.value();
    if (IoStatus written = quarantine.write_all(RAW_QUARANTINE_HEADER); !written) {
        return written.error();
    }
    RunQuarantineLines lines(run);
    std::string line;
    while (lines.next(line)) {
        if (IoStatus written = quarantine.write_all(line); !written) return written.error();
    }
    if (IoStatus flushed = quarantine.flush(); !flushed) return flushed.error();
    quarantine.close();
    return io_ok();
}

IoResult<AdaptiveStats> adaptive_salvage_content(std::string_view content,
                                                 const OutputTarget& output,
                                                 const std::optional<std::string>& quarantine_path,
                                                 const AdaptiveOptions& options,
                                                 InterruptCheck interrupt) {
    if (output.fd < 0 && quarantine_path && same_file(output.path, *quarantine_path)) {
        return names_output_error();
    }
    return salvage_and_write(content, output, quarantine_path, options, interrupt);
}

namespace {

// A file at least this large is read on two threads.
constexpr std::size_t kHalvedReadBytes = std::size_t{16} << 20;

// pread(2) of `size` bytes at `offset`, repeated when interrupted unless
// `interrupt` says to give up; false when that, an error or the file's end
// came first.
bool read_all_at(int fd, char* into, std::size_t size, std::size_t offset,
                 InterruptCheck interrupt) {
    while (size != 0) {
        const ssize_t r = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR && (interrupt == nullptr || !interrupt())) continue;
        if (r <= 0) return false;
        const auto got = static_cast<std::size_t>(r);
        into += got;
        size -= got;
        offset += got;
    }
    return true;
}

// The input file read whole, as read_input_file reads it. A large plain
// file on several cores is read in two halves at once: a worker reads the
// second while the calling thread reads the first and detects (into `told`,
// unless the input is to be transcoded whole first), the notes below the
// table from the last bytes read apart, so that detection holds up no read.
// A file that is not the size it said, or a read that fails, is read again
// the usual way, which reports the failure.
IoResult<InputFile> read_input_detecting(const std::string& path, const AdaptiveOptions& options,
                                         std::optional<Detection>& told,
                                         InterruptCheck interrupt) {
    if (threads_for(options) > 1) {
        IoResult<UniqueFd> opened = open_file(path, O_RDONLY, 0, interrupt);
        if (!opened) return opened.error();
        const int fd = opened.value().get();
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::size_t>(st.st_size) >= kHalvedReadBytes) {
            const auto size = static_cast<std::size_t>(st.st_size);
            InputFile file{std::move(opened.value()), GrowableBuffer<char>()};
            try {
                file.content.reserve(size);
            } catch (const std::bad_alloc&) {
                return IoError::with_message(IoErrorKind::kOutOfMemory, "out of memory");
            }
            char* const data = file.content.data();
            const std::size_t first = std::max(size / 2, std::min(size, options.head_bytes));
            bool read_first = false;
            bool read_second = false;
            Detection d;
            bool detected = false;
            run_beside(
                // The worker asks nothing of Python: it reads on through
                // interrupted calls, as the calling thread checks for signals.
                [&] { read_second = read_all_at(fd, data + first, size - first, first, nullptr); },
                [&] {
                    read_first = read_all_at(fd, data, first, 0, interrupt);
                    const std::string_view head(data, std::min(first, options.head_bytes));
                    if (!read_first || !detect_head(head, options, d)) return;
                    const std::size_t end_at = tail_start(head.size(), size);
                    std::string end(size - end_at, '\0');
                    detected = read_all_at(fd, end.data(), end.size(), end_at, interrupt);
                    if (detected) detect_footer(head, end, end_at, size, options, d);
                });
            char past_end = 0;
            if (read_first && read_second && ::pread(fd, &past_end, 1, st.st_size) == 0) {
                file.content.set_size(size);
                if (detected) told.emplace(std::move(d));
                return file;
            }
        }
    }
    return read_input_file(path, interrupt, interrupt);
}

}  // namespace

IoResult<AdaptiveStats> adaptive_salvage_file(const std::string& input_path,
                                              const std::string& output_path,
                                              const std::optional<std::string>& quarantine_path,
                                              const AdaptiveOptions& options,
                                              InterruptCheck interrupt) {
    if (quarantine_path && same_file(output_path, *quarantine_path)) return names_output_error();

    std::optional<Detection> told;
    IoResult<InputFile> file = read_input_detecting(input_path, options, told, interrupt);
    if (!file) return concerning(file.error(), input_path);
    const GrowableBuffer<char>& content = file.value().content;
    return salvage_and_write(std::string_view(content.data(), content.size()),
                             OutputTarget{output_path}, quarantine_path, options, interrupt, told);
}

namespace {

// The bytes of a streamed input from `base` on, read as far as asked; the
// bytes before the run's next record are dropped as it moves on.
class StreamWindow {
public:
    StreamWindow(ByteStream& source, ProgressHook progress) noexcept
        : source_(source), progress_(progress) {}

    // Reads until the window holds `bytes` or the input has ended.
    IoStatus fill(std::size_t bytes) {
        if (data_.size() < bytes) data_.resize(bytes);
        while (size_ < bytes && !ended_) {
            IoResult<std::size_t> got =
                source_.read(data_.data() + size_, std::min(bytes - size_, kReadBlock));
            if (!got) return got.error();
            size_ += got.value();
            ended_ = got.value() == 0;
            // A source of unknown size (or one that grew) reports what it
            // has read as its size.
            const std::size_t done = source_.consumed();
            const std::size_t of = std::max({source_.total(), done, std::size_t{1}});
            if (progress_ && !progress_(done, of)) {
                return stopped_error();
            }
        }
        return io_ok();
    }
    // Forgets the bytes before the input's offset `offset`; gives back the
    // memory of a window grown past `keep` bytes.
    void drop_before(std::size_t offset, std::size_t keep) {
        const std::size_t dropped = offset - base_;
        std::memmove(data_.data(), data_.data() + dropped, size_ - dropped);
        size_ -= dropped;
        base_ = offset;
        if (data_.size() > keep && size_ <= keep) {
            data_.resize(keep);
            data_.shrink_to_fit();
        }
    }
    InputWindow view() const noexcept {
        return InputWindow{std::string_view(data_.data(), size_), base_, ended_};
    }
    bool ended() const noexcept { return ended_; }
    std::size_t size() const noexcept { return size_; }

private:
    ByteStream& source_;
    ProgressHook progress_;
    std::vector<char> data_;
    std::size_t size_ = 0;
    std::size_t base_ = 0;
    bool ended_ = false;
};

// The engine's options for a streamed input: the notes below the table of
// one longer than its head are found once its end is known.
SalvageOptions streamed_engine_options(const Detection& d, const AdaptiveOptions& options,
                                       bool head_whole) {
    SalvageOptions o = engine_options(d, options);
    if (!head_whole) o.footer_from = TableStructure::kNoFooter;
    return o;
}

// The run of a streamed input past its detection: its spans read window by
// window as the window moves through the input.
class StreamedRun {
public:
    // `head`: the bytes detection read; `start`: the window's, at least the
    // head, `start_whole` when they are the whole input.
    StreamedRun(StreamWindow& window, AdaptiveRun& run, const AdaptiveOptions& options,
                std::string_view head, bool head_whole, std::string_view start, bool start_whole)
        : window_(window),
          run_(run),
          options_(options),
          salvage_(start, streamed_engine_options(run.detection, options, head_whole), start_whole),
          head_(head_whole ? std::string() : std::string(head)),
          footer_known_(head_whole) {
        salvage_.describe(run.result);
        const unsigned threads = std::min(threads_for(options_), kMaxThreads);
        const std::size_t span = options_.span_bytes != 0
                                     ? options_.span_bytes
                                     : plan_spans(SIZE_MAX / 2, std::max(threads, 2U)).span_bytes;
        plan_ = SpanPlan{threads, span};
        usual_ = window_for(options_.window_bytes);
        wanted_ = usual_;
        // On several threads the look for the tables below the first rides
        // on the spans (TableLook) instead of reading each window first; the
        // spans' run then sets no records aside as another table's.
        if (threads > 1 && options_.split_tables && TableLook::needed(salvage_)) {
            SalvageOptions spans_only = streamed_engine_options(run.detection, options, head_whole);
            spans_only.split_tables = false;
            spans_.emplace(start, spans_only, start_whole);
            look_.emplace(spans_only.comment_prefix, *spans_, pass_on_);
        }
    }

    // The look's consumer points into the run.
    StreamedRun(const StreamedRun&) = delete;
    StreamedRun& operator=(const StreamedRun&) = delete;

    void set_window_bytes(std::size_t bytes) {
        usual_ = window_for(bytes);
        wanted_ = usual_;
        // A window larger than that gives its memory back now.
        window_.drop_before(window_.view().base, usual_);
    }

    // The window's bytes grew to for a record longer than it; 0 if never.
    std::size_t grown_to() const noexcept { return grown_to_; }
    // The preamble and header records were read whole: spans may start.
    bool head_read() const noexcept { return salvage_.head_complete(); }
    std::size_t span_bytes() const noexcept { return plan_.span_bytes; }

    IoResult<StreamedSalvage::Step> step(const SinkFactory& make_sink,
                                         const StreamedSalvage::SpanTaker& take) {
        if (done_) return StreamedSalvage::Step::kDone;
        if (IoStatus filled = window_.fill(wanted_); !filled) return filled.error();
        const InputWindow view = window_.view();
        if (view.complete && !footer_known_) find_footer(view);
        const std::size_t before = cursor_.position;
        taking_ = Taking{&take, &view};
        const SpanPass pass =
            look_ ? read_looking(view, make_sink) : look_then_read(view, make_sink);
        salvage_.records_read_to(cursor_);
        if (pass == SpanPass::kStopped) return stopped_error();
        if (view.complete && pass == SpanPass::kDone) {
            // The tables found as the input went by.
            salvage_.describe(run_.result);
            done_ = true;
            return StreamedSalvage::Step::kDone;
        }
        if (cursor_.position == before && window_.size() >= wanted_) {
            // One record fills the window: it grows for that record.
            wanted_ *= 2;
            grown_to_ = std::max(grown_to_, wanted_);
        } else if (cursor_.position != before) {
            wanted_ = usual_;
        }
        // The input's last bytes stay for the footer's detection.
        const std::size_t end_kept = view.end() > kTailBytes ? view.end() - kTailBytes : 0;
        window_.drop_before(std::clamp(end_kept, view.base, cursor_.position), usual_);
        return StreamedSalvage::Step::kMore;
    }

private:
    // The spans of a window up to where the look for tables, reading the
    // window's records first, has decided.
    SpanPass look_then_read(const InputWindow& view, const SinkFactory& make_sink) {
        // Spans stop above a table that is not told yet.
        const std::size_t limit = std::min(span_limit(view), salvage_.find_tables(view));
        if (limit <= cursor_.position) {
            return view.complete ? SpanPass::kDone : SpanPass::kNeedsMore;
        }
        return read_window_spans(salvage_, view, cursor_, limit, plan_, make_sink, pass_on_);
    }

    // The spans of a window with the look riding on them.
    SpanPass read_looking(const InputWindow& view, const SinkFactory& make_sink) {
        const std::size_t limit = span_limit(view);
        SpanPass pass = view.complete ? SpanPass::kDone : SpanPass::kNeedsMore;
        if (limit > cursor_.position) {
            SpanPlan looking = plan_;
            looking.table_records = true;
            pass = read_window_spans(*spans_, view, cursor_, limit, looking, make_sink,
                                     [&](SpanOutput& output) { return look_->take(output, view); });
        }
        if (const std::optional<SpanCursor> gave_up_at = look_->gave_up_at()) {
            // A table below the first, or a break that stays open: the run
            // that reads each window for tables first goes on from before it.
            cursor_ = *gave_up_at;
            look_.reset();
            spans_.reset();
            salvage_.records_read_to(cursor_);
            return SpanPass::kNeedsMore;
        }
        if (pass == SpanPass::kStopped) return pass;
        if (view.complete && pass == SpanPass::kDone) {
            return look_->finish() ? pass : SpanPass::kStopped;
        }
        // A span held at the window's end is read again with the next one,
        // whose records may tell.
        if (const std::optional<SpanCursor> held_at = look_->forget_held()) cursor_ = *held_at;
        return pass;
    }

    // Spans begin before this: the records past it may be notes below the
    // table, which only the input's end tells (when they are set aside), and
    // a span may not start inside the head records, which only a span from
    // the start reads.
    std::size_t span_limit(const InputWindow& view) const noexcept {
        if (view.complete) return view.end();
        const std::size_t held = held_back();
        const std::size_t limit = view.end() > held ? view.end() - held : 0;
        return cursor_.position == 0 && limit < salvage_.head_end() ? 0 : limit;
    }

    // The window's usual size for a wish of `bytes`.
    std::size_t window_for(std::size_t bytes) const noexcept {
        return std::max(bytes, 2 * plan_.span_bytes) + held_back();
    }

    // The bytes at the window's end that no span may begin in before the
    // input's end is known.
    std::size_t held_back() const noexcept { return options_.drop_footer ? kTailBytes + 1 : 0; }

    void find_footer(const InputWindow& view) {
        footer_known_ = true;
        const std::size_t end_at = tail_start(head_.size(), view.end());
        if (options_.drop_footer) {
            const std::size_t footer_from = footer_beyond_head(
                head_, view.bytes.substr(end_at - view.base), end_at, run_.detection, options_);
            salvage_.set_footer_from(footer_from);
            if (spans_) spans_->set_footer_from(footer_from);
        }
        head_ = std::string();
    }

    StreamWindow& window_;
    AdaptiveRun& run_;
    const AdaptiveOptions& options_;
    SalvageRun salvage_;
    // The span's consumer of this step, and its window.
    struct Taking {
        const StreamedSalvage::SpanTaker* take = nullptr;
        const InputWindow* view = nullptr;
    };
    Taking taking_;
    // Counts each span passed on, then hands it to this step's taker.
    const SpanConsumer pass_on_ = [this](SpanOutput& output) {
        add_span_counts(run_.result, output.result);
        return (*taking_.take)(output, *taking_.view);
    };
    // While the look for tables rides on the spans: the spans' run, which
    // sets nothing aside as another table's, and the look.
    std::optional<SalvageRun> spans_;
    std::optional<TableLook> look_;
    // The head, kept for the footer's detection while the end is unknown.
    std::string head_;
    bool footer_known_;
    SpanPlan plan_;
    // The window's usual size, and the size the next pass fills it to.
    std::size_t usual_ = 0;
    std::size_t wanted_ = 0;
    SpanCursor cursor_;
    std::size_t grown_to_ = 0;
    bool done_ = false;
};

}  // namespace

IoStatus write_span_quarantine(BufferedFileWriter& out, const SpanOutput& span,
                               const InputWindow& window, RawForm form, std::string& line) {
    for (const QuarantinedRow row : span.result.quarantine) {
        const RecordPlace& place = row.place;
        const RawRecord record{place.first_line + span.line_offset, place.line + span.line_offset,
                               place.begin, row.code,
                               window.bytes.substr(place.begin - window.base,
                                                   place.end - place.begin),
                               form};
        encode_raw_quarantine_row(record, line);
        if (IoStatus written = out.write_all(line); !written) return written.error();
    }
    return io_ok();
}

struct StreamedSalvage::State {
    State(ByteStream& input, const AdaptiveOptions& given) : options(given), window(input, given.progress) {}

    AdaptiveOptions options;
    StreamWindow window;
    AdaptiveRun run;
    std::string head;
    std::optional<StreamedRun> streamed;
    bool read_whole = false;
};

StreamedSalvage::StreamedSalvage(std::unique_ptr<State> state) noexcept
    : state_(std::move(state)) {}

StreamedSalvage::~StreamedSalvage() = default;

IoResult<std::unique_ptr<StreamedSalvage>> StreamedSalvage::open(ByteStream& input,
                                                                 const AdaptiveOptions& options) {
    auto state = std::make_unique<State>(input, options);
    StreamWindow& window = state->window;
    const std::size_t head_bytes = std::max<std::size_t>(options.head_bytes, 1);
    if (IoStatus filled = window.fill(head_bytes + 1); !filled) return filled.error();
    const bool head_whole = window.ended() && window.size() <= head_bytes;
    const std::string_view head = window.view().bytes.substr(0, head_bytes);

    AdaptiveRun& run = state->run;
    detect_encoding_of(head, options, run.detection);
    if (is_utf16(run.detection.encoding.encoding) ||
        legacy_cjk_of(run.detection.encoding.encoding)) {
        // The transcoding reads the input whole.
        std::size_t wanted = window.size();
        while (!window.ended()) {
            wanted *= 2;
            if (IoStatus filled = window.fill(wanted); !filled) return filled.error();
        }
        state->read_whole = true;
        return std::unique_ptr<StreamedSalvage>(new StreamedSalvage(std::move(state)));
    }
    detect_table(head, options, run.detection);
    run.output_delimiter = output_delimiter_for(run.detection, options);
    // The run settles on the head, but reads the preamble and header records
    // whole, as a run over the whole input does: the window grows until it
    // holds them.
    state->head = std::string(head);
    for (;;) {
        state->streamed.emplace(window, run, state->options, state->head, head_whole,
                                window.view().bytes, window.ended());
        if (state->streamed->head_read() || window.ended()) break;
        if (IoStatus filled = window.fill(2 * window.size()); !filled) return filled.error();
    }
    state->head = std::string();
    return std::unique_ptr<StreamedSalvage>(new StreamedSalvage(std::move(state)));
}

std::optional<std::string_view> StreamedSalvage::whole() const noexcept {
    if (!state_->read_whole) return std::nullopt;
    return state_->window.view().bytes;
}

const AdaptiveRun& StreamedSalvage::run() const noexcept { return state_->run; }

std::size_t StreamedSalvage::span_bytes() const noexcept {
    return state_->streamed ? state_->streamed->span_bytes() : 0;
}

RawForm StreamedSalvage::raw_form() const noexcept {
    return raw_form_for(state_->run.detection.encoding.encoding);
}

std::size_t StreamedSalvage::consumed() const noexcept {
    return state_->window.view().end();
}

void StreamedSalvage::set_window_bytes(std::size_t bytes) {
    if (state_->streamed) state_->streamed->set_window_bytes(bytes);
}

IoResult<StreamedSalvage::Step> StreamedSalvage::step(const SinkFactory& make_sink,
                                                      const SpanTaker& take) {
    if (!state_->streamed) return Step::kDone;
    return state_->streamed->step(make_sink, take);
}

AdaptiveStats StreamedSalvage::stats() {
    label_reencoded_rows(state_->run, state_->options);
    AdaptiveStats stats = stats_of(state_->run);
    if (state_->streamed) stats.window_grown_to = state_->streamed->grown_to();
    return stats;
}

namespace {

// Where a streamed run's files go, for the messages of their failures.
struct StreamedFiles {
    BufferedFileWriter& out;
    const std::string& out_path;
    BufferedFileWriter* quarantine;
    const std::string& quarantine_path;
};

// Writes the clean file and the quarantine span by span as the window moves
// through the input.
IoStatus write_streamed(StreamedSalvage& streamed, const StreamedFiles& files) {
    const AdaptiveRun& run = streamed.run();
    BufferedFileWriter* const quarantine = files.quarantine;
    const std::uint8_t delimiter = run.output_delimiter;
    const QuotingDecision decision = flags_fit_output(run.detection.dialect, delimiter)
                                         ? QuotingDecision::kByFlags
                                         : QuotingDecision::kByText;
    CleanFileWriter writer(files.out, delimiter, '"', decision, LoneEmptyField::kQuoted);
    const std::size_t span = streamed.span_bytes();
    const RawForm form = streamed.raw_form();
    IoStatus quarantined = io_ok();
    std::string line;
    const SinkFactory make_sink = [&](std::size_t) {
        return std::make_unique<SpanEncoder>(delimiter, '"', decision, LoneEmptyField::kQuoted,
                                             span + span / 8);
    };
    const StreamedSalvage::SpanTaker take = [&](SpanOutput& output, const InputWindow& view) {
        const auto& encoded = static_cast<const SpanEncoder&>(*output.sink);
        if (!writer.write_encoded(encoded.text(), encoded.first_line())) return false;
        if (quarantine == nullptr) return true;
        quarantined = write_span_quarantine(*quarantine, output, view, form, line);
        return static_cast<bool>(quarantined);
    };
    for (;;) {
        IoResult<StreamedSalvage::Step> step = streamed.step(make_sink, take);
        if (!writer.status()) return concerning(writer.status().error(), files.out_path);
        if (!quarantined) return concerning(quarantined.error(), files.quarantine_path);
        if (!step) return step.error();
        if (step.value() == StreamedSalvage::Step::kDone) return io_ok();
    }
}

}  // namespace

IoResult<AdaptiveStats> adaptive_salvage_stream(ByteStream& input, const OutputTarget& output,
                                                const std::optional<std::string>& quarantine_path,
                                                const AdaptiveOptions& options,
                                                InterruptCheck interrupt) {
    if (output.fd < 0 && quarantine_path && same_file(output.path, *quarantine_path)) {
        return names_output_error();
    }
    IoResult<std::unique_ptr<StreamedSalvage>> opened = StreamedSalvage::open(input, options);
    if (!opened) return opened.error();
    StreamedSalvage& streamed = *opened.value();
    if (const std::optional<std::string_view> whole = streamed.whole()) {
        return salvage_and_write(*whole, output, quarantine_path, options, interrupt);
    }

    IoResult<BufferedFileWriter> created = open_output(output, interrupt);
    if (!created) return concerning(created.error(), output.path);
    BufferedFileWriter& out = created.value();
    std::optional<BufferedFileWriter> quarantine;
    if (quarantine_path) {
        if (leads_to(*quarantine_path, out.fd())) return names_output_error();
        IoResult<BufferedFileWriter> made = BufferedFileWriter::create(*quarantine_path, interrupt);
        if (!made) return concerning(made.error(), *quarantine_path);
        quarantine.emplace(std::move(made.value()));
        if (IoStatus written = quarantine->write_all(RAW_QUARANTINE_HEADER); !written) {
            return concerning(written.error(), *quarantine_path);
        }
    }
    const std::string no_path;
    const StreamedFiles files{out, output.path, quarantine ? &*quarantine : nullptr,
                              quarantine_path ? *quarantine_path : no_path};
    if (IoStatus written = write_streamed(streamed, files); !written) return written.error();
    if (IoStatus flushed = out.flush(); !flushed) return concerning(flushed.error(), output.path);
    if (quarantine) {
        if (IoStatus flushed = quarantine->flush(); !flushed) {
            return concerning(flushed.error(), *quarantine_path);
        }
        quarantine->close();
    }
    return streamed.stats();
}

}  // namespace quillon

#include "streamed_table.hpp"

#include <algorithm>
#include <utility>

#include "read_table.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillon::arrow {

namespace {

// The window the input is read through: the batches of one window wait in
// memory until they are handed out. The first window (the rows the types are
// decided on, AdaptiveOptions::window_bytes) is read through several.
constexpr std::size_t kLaterWindowBytes = std::size_t{8} << 20;

// Gives the memory freed by a window's reading back to the system. The
// spans' row stores and builders are freed on the threads that read them,
// into allocator arenas that the next window's (smaller) work does not
// reuse whole: without this a stream's peak holds the first window's
// garbage on top of what its consumer keeps.
void return_freed_memory() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// A later window's batches must fit the schema the first window settled.
IoStatus check_fits(const BatchTable& part, const BatchTable& shape) {
    if (part.width() > shape.width()) {
        return IoError::with_message(IoErrorKind::kInvalidInput,
                                     "a row past the first window is wider than the table");
    }
    for (std::size_t c = 0; c < part.width(); ++c) {
        if (part.wide(c) && !shape.wide(c)) {
            return IoError::with_message(
                IoErrorKind::kInvalidInput,
                "a field past the first window is longer than a string column holds (2 GiB): "
                "read the table whole first");
        }
    }
    return io_ok();
}

}  // namespace

StreamedTable::StreamedTable(ByteStream& input, const AdaptiveOptions& options,
                             const BatchLimits& limits) noexcept
    : input_(input), options_(options), limits_(limits) {}

StreamedTable::~StreamedTable() = default;

IoResult<std::unique_ptr<StreamedTable>> StreamedTable::open(
    ByteStream& input, const std::optional<std::string>& quarantine_path,
    const AdaptiveOptions& options, const BatchLimits& limits, InterruptCheck interrupt) {
    std::unique_ptr<StreamedTable> table(new StreamedTable(input, options, limits));
    if (IoStatus read = table->read_first(quarantine_path, interrupt); !read) return read.error();
    return table;
}

IoStatus StreamedTable::read_first(const std::optional<std::string>& quarantine_path,
                                   InterruptCheck interrupt) {
    IoResult<std::unique_ptr<StreamedSalvage>> opened = StreamedSalvage::open(input_, options_);
    if (!opened) return opened.error();
    salvage_ = std::move(opened.value());
    delimiter_ = salvage_->run().detection.dialect.delimiter;
    if (const std::optional<std::string_view> whole = salvage_->whole()) {
        IoResult<TableRead> read =
            read_table_content(*whole, quarantine_path, options_, limits_, interrupt);
        if (!read) return read.error();
        stats_ = read.value().stats;
        first_.emplace(read.value().table->with_batches(read.value().table->batches()));
        shape_ = first_->with_batches({});
        input_ended_ = true;
        salvage_.reset();
        return io_ok();
    }
    if (quarantine_path) {
        IoResult<BufferedFileWriter> made = BufferedFileWriter::create(*quarantine_path, interrupt);
        if (!made) return concerning(made.error(), *quarantine_path);
        quarantine_.emplace(std::move(made.value()));
        quarantine_path_ = *quarantine_path;
        if (IoStatus written = quarantine_->write_all(RAW_QUARANTINE_HEADER); !written) {
            return concerning(written.error(), quarantine_path_);
        }
    }
    // The run goes with the salvage once the input has ended.
    const bool header_detected = salvage_->run().detection.structure.header;
    const std::size_t columns = salvage_->run().result.inferred_columns;
    // Without a column check the table is as wide as its widest row, which
    // only the end tells: such a table is read whole.
    const bool unchecked = columns == 0;
    // The first window's rows are read through the smaller window of the
    // later ones: only its batches need to be held at once.
    const std::size_t first_window = options_.window_bytes;
    salvage_->set_window_bytes(std::min(first_window, kLaterWindowBytes));
    TableBuilder builder(limits_);
    while (!input_ended_ &&
           (unchecked || first_span_ || salvage_->consumed() < first_window)) {
        if (IoStatus read = read_window(builder); !read) return read.error();
    }
    first_.emplace(builder.finish(header_detected && header_escaped_, columns));
    return_freed_memory();
    shape_ = first_->with_batches({});
    return io_ok();
}

IoStatus StreamedTable::read_window(TableBuilder& into) {
    const bool header_detected = salvage_->run().detection.structure.header;
    const BatchLimits limits = limits_;
    const SinkFactory make_sink = [limits, header_detected](std::size_t from) {
        return std::make_unique<BatchBuilder>(limits, header_detected && from == 0);
    };
    const RawForm form = salvage_->raw_form();
    IoStatus quarantined = io_ok();
    const StreamedSalvage::SpanTaker take = [&](SpanOutput& output, const InputWindow& view) {
        if (first_span_) {
            // The header record, when it was set aside, is listed here.
            header_escaped_ = header_escaped_quarantine(output.result.quarantine);
            first_span_ = false;
        }
        into.add(static_cast<BatchBuilder&>(*output.sink));
        if (!quarantine_) return true;
        quarantined = write_span_quarantine(*quarantine_, output, view, form, line_);
        return static_cast<bool>(quarantined);
    };
    IoResult<StreamedSalvage::Step> step = salvage_->step(make_sink, take);
    if (!quarantined) return concerning(quarantined.error(), quarantine_path_);
    if (!step) return step.error();
    if (step.value() == StreamedSalvage::Step::kDone) return finish_input();
    return io_ok();
}

IoStatus StreamedTable::finish_input() {
    input_ended_ = true;
    if (quarantine_) {
        if (IoStatus flushed = quarantine_->flush(); !flushed) {
            return concerning(flushed.error(), quarantine_path_);
        }
        quarantine_->close();
        quarantine_.reset();
    }
    stats_ = salvage_->stats();
    // The window goes back now.
    salvage_.reset();
    return io_ok();
}

void StreamedTable::take_first() {
    if (!first_) return;
    pending_.assign(first_->batches().begin(), first_->batches().end());
    first_.reset();
}

void StreamedTable::decide_types(const TypingRequest& request, bool keep_text) {
    auto strings = std::make_shared<const BatchTable>(std::move(*first_));
    first_.reset();
    TypedTable typed = type_columns(strings, request);
    if (keep_text) {
        TypingRequest strict = request;
        bool demoted = false;
        for (std::size_t c = 0; c < typed.reject_counts.size(); ++c) {
            const bool given = c < request.given.size() && request.given[c].has_value();
            if (typed.reject_counts[c] == 0 || given) continue;
            if (strict.given.size() <= c) strict.given.resize(c + 1);
            strict.given[c] = typed::ColumnType{};
            demoted = true;
        }
        if (demoted) typed = type_columns(strings, strict);
    }
    shape_ = typed.table->with_batches({});
    if (input_ended_) {
        // The whole input was in the first window: today's table exactly.
        held_ = std::move(typed.table);
        rows_ = held_->rows();
        rejects_ = std::move(typed.rejects);
        reject_counts_ = std::move(typed.reject_counts);
        complete_.store(true, std::memory_order_release);
        return;
    }
    types_ = shape_.types();
    // A table of strings keeps its batches as they are.
    if (std::none_of(types_.begin(), types_.end(),
                     [](const typed::ColumnType& t) { return t.typed(); })) {
        types_.clear();
    }
    given_.assign(types_.size(), false);
    for (std::size_t c = 0; c < types_.size() && c < request.given.size(); ++c) {
        given_[c] = request.given[c].has_value();
    }
    // The typed first batches are dropped: each batch is typed again as it
    // is handed out, so that only the batches of one window are held.
    pending_.assign(strings->batches().begin(), strings->batches().end());
}

IoStatus StreamedTable::read_more() {
    TableBuilder builder(limits_);
    if (IoStatus read = read_window(builder); !read) return read.error();
    const BatchTable part = builder.finish(false, 0);
    if (IoStatus fits = check_fits(part, shape_); !fits) return fits;
    pending_.insert(pending_.end(), part.batches().begin(), part.batches().end());
    return_freed_memory();
    return io_ok();
}

RecordBatch StreamedTable::typed(const RecordBatch& batch) {
    const std::size_t first_row = handed_rows_;
    handed_rows_ += static_cast<std::size_t>(batch.rows);
    if (types_.empty()) return batch;
    return type_batch(batch, types_, given_, first_row, cell_rejects_);
}

void StreamedTable::finish_rows() {
    rows_ = handed_rows_;
    rejects_ = reject_log_of(shape_, types_, std::move(cell_rejects_), reject_counts_);
    cell_rejects_.clear();
    complete_.store(true, std::memory_order_release);
}

IoResult<std::optional<RecordBatch>> StreamedTable::next() {
    take_first();
    while (pending_.empty() && !input_ended_) {
        if (IoStatus read = read_more(); !read) return read.error();
    }
    if (pending_.empty()) {
        if (!complete_) finish_rows();
        return std::optional<RecordBatch>();
    }
    const RecordBatch batch = std::move(pending_.front());
    pending_.pop_front();
    return std::optional<RecordBatch>(typed(batch));
}

IoStatus StreamedTable::hold_whole() {
    if (held_) return io_ok();
    take_first();
    while (!input_ended_) {
        if (IoStatus read = read_more(); !read) return read.error();
    }
    std::vector<RecordBatch> batches;
    batches.reserve(pending_.size());
    for (const RecordBatch& batch : pending_) batches.push_back(typed(batch));
    pending_.clear();
    held_ = std::make_shared<const BatchTable>(shape_.with_batches(std::move(batches)));
    finish_rows();
    return io_ok();
}

}  // namespace quillon::arrow

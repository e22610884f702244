// A table read as a stream: the adaptive salvage of an input into record
// batches that are made as a consumer asks for them, window by window, so
// that memory does not grow with the input.
//
// Opening reads the first window (AdaptiveOptions::window_bytes of input, or
// all of it when it is shorter): detection, the column names and the column
// types come from it. Each later call for a batch reads windows until one is
// ready; a batch handed out is not kept. The quarantine file is written as
// the spans are read and closed at the input's end. An input that ends within
// the first window, or one read whole (hold_whole), gives exactly the table
// of read_table and type_columns; past the first window the types stay those
// decided on it, and its later cells that fit no value of them are rejects.
//
// Inputs read whole at once: UTF-16 and the double-byte encodings (which are
// transcoded whole), and a table without a column check (whose width is its
// widest row, known only at the end).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/adaptive_salvage.hpp"
#include "pipeline/buffered_file_writer.hpp"
#include "record_batches.hpp"
#include "typed_columns.hpp"

namespace quillon::arrow {

class StreamedTable {
public:
    // Reads the input's first window; the quarantine file (when a path is
    // given) is created now. Fails as read_table does. The input must
    // outlive the table.
    static IoResult<std::unique_ptr<StreamedTable>> open(
        ByteStream& input, const std::optional<std::string>& quarantine_path,
        const AdaptiveOptions& options, const BatchLimits& limits = {},
        InterruptCheck interrupt = nullptr);

    StreamedTable(const StreamedTable&) = delete;
    StreamedTable& operator=(const StreamedTable&) = delete;
    ~StreamedTable();

    // Names, width and (once decided) types: what every batch's schema is.
    const BatchTable& shape() const noexcept { return shape_; }
    // The input's delimiter, which the typing of numbers reads.
    std::uint8_t delimiter() const noexcept { return delimiter_; }
    // Decides the columns' types from the first window's rows, once, before
    // the first batch; throws only std::bad_alloc. With `keep_text`, a
    // column inferred a type that some of those rows' cells do not fit stays
    // a string column, as a file that must hold every cell's text wants.
    void decide_types(const TypingRequest& request, bool keep_text = false);

    // The input was read to its end and every batch handed out or held: the
    // rows, counts and rejects below are final.
    bool complete() const noexcept { return complete_.load(std::memory_order_acquire); }
    // Every batch is held in table(): no stream has taken any.
    bool held() const noexcept { return held_ != nullptr; }

    // The next batch, typed; nullopt after the last one. Throws only
    // std::bad_alloc.
    IoResult<std::optional<RecordBatch>> next();
    // Reads the rest of the input and keeps every batch; only before next().
    IoStatus hold_whole();

    // When held: the whole table.
    const std::shared_ptr<const BatchTable>& table() const noexcept { return held_; }
    // When complete.
    std::size_t rows() const noexcept { return rows_; }
    const AdaptiveStats& stats() const noexcept { return stats_; }
    const std::shared_ptr<const BatchTable>& rejects() const noexcept { return rejects_; }
    const std::vector<std::uint64_t>& reject_counts() const noexcept { return reject_counts_; }

private:
    StreamedTable(ByteStream& input, const AdaptiveOptions& options,
                  const BatchLimits& limits) noexcept;
    IoStatus read_first(const std::optional<std::string>& quarantine_path,
                        InterruptCheck interrupt);
    IoStatus read_window(TableBuilder& into);
    // Reads the next window's batches into pending_.
    IoStatus read_more();
    IoStatus finish_input();
    // The first window's batches become the first pending ones.
    void take_first();
    // The batch with its typed columns, the next rows handed out.
    RecordBatch typed(const RecordBatch& batch);
    // Every row was handed out or held: the counts and the log are final.
    void finish_rows();

    ByteStream& input_;
    std::uint8_t delimiter_ = ',';
    AdaptiveOptions options_;
    BatchLimits limits_;
    std::unique_ptr<StreamedSalvage> salvage_;
    std::optional<BufferedFileWriter> quarantine_;
    std::string quarantine_path_;
    std::string line_;
    bool first_span_ = true;
    // The first span's quarantine did not list the header record.
    bool header_escaped_ = true;
    bool input_ended_ = false;

    BatchTable shape_;
    // The first window's string batches until the types are decided.
    std::optional<BatchTable> first_;
    std::deque<RecordBatch> pending_;
    std::vector<typed::ColumnType> types_;
    std::vector<bool> given_;
    std::vector<CellReject> cell_rejects_;
    std::size_t handed_rows_ = 0;

    std::shared_ptr<const BatchTable> held_;
    // Set last, once the figures below it are final: other threads read it.
    std::atomic<bool> complete_{false};
    std::size_t rows_ = 0;
    AdaptiveStats stats_;
    std::shared_ptr<const BatchTable> rejects_;
    std::vector<std::uint64_t> reject_counts_;
};

}  // namespace quillon::arrow

// An engine run on several threads, with the result of one pass.
//
// The buffer is cut at line starts into spans, and the spans are read on
// worker threads at once, each on the guess that its first line starts a
// record. The calling thread takes the spans in input order and keeps a
// span only when the span before it really ended at its first byte; when a
// quoted line break crossed the cut, the span is read again from where the
// previous one ended. Every row, count, line number and quarantine entry is
// therefore the one pass's (SalvageRun's guarantee), whatever the cuts.
// Work is at most twice one pass even when every guess fails.
//
// Memory does not grow with the thread count: workers read ahead of the
// calling thread only as far as the bytes in flight allow (kInFlightBytes,
// the one budget for every run), and a run has at most kMaxThreads workers,
// never more than its spans. The workers come from one pool for the process,
// made as first needed and kept for later runs, so that repeated runs start
// no threads (and no allocator arenas with them). When no worker is free the
// calling thread reads the span it waits for itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "options.hpp"
#include "other_tables.hpp"
#include "salvage.hpp"
#include "salvage_run.hpp"

namespace quillon {

// One span, handed to the consumer in input order.
struct SpanOutput {
    // The span's rows (unless a sink took them), quarantine and counts, its
    // quarantine's lines counted from 1 at its first byte.
    SalvageResult result;
    // The sink that took its kept rows, when the caller made one.
    std::unique_ptr<KeptRowSink> sink;
    // Lines of the input before the span's first byte.
    std::size_t line_offset = 0;
    // The span's first byte.
    std::size_t begin = 0;
    // What the look for the tables below the first takes of its records,
    // when read_buffer_spans looks for them (SalvageRun::table_records).
    std::vector<TableRecord> table_records;
};

// Workers a run may have at most: more add no speed on memory-bound work.
inline constexpr unsigned kMaxThreads = 32;
// Input bytes of the spans read but not yet consumed, at most, whatever the
// thread count (a worker claims no span past it; a span is at least 1 MiB).
// A span read holds about twice its bytes until it is consumed (its encoded
// text or batches, its store), so this bounds what reading ahead costs.
inline constexpr std::size_t kInFlightBytes = std::size_t{32} << 20;

struct SpanPlan {
    // Threads that read spans; 1 reads the whole buffer on the calling
    // thread as one span.
    unsigned threads = 1;
    // Bytes per span, about: a span ends at the first line start past it.
    std::size_t span_bytes = std::size_t{4} << 20;
    // Each span's thread also reads the records the look for the tables
    // below the first takes (SpanOutput::table_records, for a TableLook).
    bool table_records = false;
};

// The spans for a buffer of `size` bytes on `threads` threads: several per
// thread so that one slow span does not leave a core idle, few enough that
// the handing over costs nothing. The threads are cut to kMaxThreads and to
// the number of spans, and the spans to what kInFlightBytes holds for them.
SpanPlan plan_spans(std::size_t size, unsigned threads) noexcept;

// The cores this process may run on (its CPU affinity), at least 1.
unsigned available_cores() noexcept;

// Runs `beside` on a worker of the process's pool while the calling thread
// runs `here`, and returns once both have: two independent pieces of work
// on two cores. When no worker takes `beside`, the calling thread runs it
// after `here`. `beside` may not throw; when `here` throws, `beside` is
// waited for (or never started) first.
void run_beside(const std::function<void()>& beside, const std::function<void()>& here);

// Makes the sink of one span, on the thread that reads it, given the span's
// first offset; empty: the span's rows stay in its result.
using SinkFactory = std::function<std::unique_ptr<KeptRowSink>(std::size_t from)>;
// Takes one span on the calling thread; false stops the run.
using SpanConsumer = std::function<bool(SpanOutput&)>;

// Reads the run's whole buffer in spans; returns false when the consumer or
// `progress` (called on the calling thread as spans are consumed) asked to
// stop. Throws only std::bad_alloc, on the calling thread.
bool read_spans(const SalvageRun& run, const SpanPlan& plan, const SinkFactory& make_sink,
                const SpanConsumer& consume, ProgressHook progress = {});

enum class SpanPass : std::uint8_t {
    // Every span that begins before the limit was consumed.
    kDone,
    // A span needs input past the window's end: the cursor is where it
    // begins, and nothing from there on was consumed.
    kNeedsMore,
    // The consumer or `progress` asked to stop.
    kStopped,
};

// read_spans over a window of a streamed input: the spans from
// cursor.position (a record's start in the window) that begin before
// `limit` (at most the window's end), the cursor moved past each one
// consumed. Spans read alike for any window that holds them.
SpanPass read_window_spans(const SalvageRun& run, const InputWindow& window, SpanCursor& cursor,
                           std::size_t limit, const SpanPlan& plan, const SinkFactory& make_sink,
                           const SpanConsumer& consume, ProgressHook progress = {});

// The look for the tables below the first over spans read apart from it,
// fed by the calling thread in input order with the records each span's
// thread read for it (SpanPlan::table_records), so that the look is no pass
// of its own before the spans. A span is passed on to the consumer once no
// table can begin in it: a break still open at a span's end holds that span
// until the next one tells. When a table is found, or a break stays open
// past the span held, the look gives up and says where a run that knows
// the tables must read on from; no span passed on reaches the break.
class TableLook {
public:
    // `run` reads the spans; `comment` is the comment prefix.
    TableLook(std::string_view comment, const SalvageRun& run, const SpanConsumer& consume);

    // Whether a run's spans may hold another table at all: a table of one
    // column has no shape to tell another by.
    static bool needed(const SalvageRun& run) noexcept { return run.expected_columns() >= 2; }

    // Takes the next span, read from `window`; false stops the spans: the
    // consumer asked to, or the look gave up.
    bool take(SpanOutput& span, const InputWindow& window);
    // After the last span of the input: its end closes any break.
    bool finish() { return pass_held(); }
    // Drops the span held, as if it was never taken, for a window that moves
    // on: where it begins, to be read again.
    std::optional<SpanCursor> forget_held();
    // Where the look gave up, if it did.
    const std::optional<SpanCursor>& gave_up_at() const noexcept { return gave_up_at_; }

private:
    bool pass_held();
    bool give_up(const SpanOutput& span);

    OtherTableFinder finder_;
    OtherTableFinder before_held_;
    const SpanConsumer& consume_;
    std::optional<SpanOutput> held_;
    std::optional<SpanCursor> gave_up_at_;
};

// read_spans over a buffer held whole, the run made here. With
// options.split_tables on several threads, the look for the tables below the
// first (a pass over every record) is not made before the spans: each span's
// thread reads the records it takes with the span, and the calling thread
// looks over them as it takes the spans. A span where a table may begin is
// held until the next one tells; once one is found, a run that knows where
// the tables begin reads on from before it. The run's description
// (SalvageRun::describe) goes to `described`, before the first span and
// again when the tables found change it. Throws only std::bad_alloc, on the
// calling thread.
bool read_buffer_spans(std::string_view buffer, const SalvageOptions& options,
                       const SpanPlan& plan, const SinkFactory& make_sink,
                       const SpanConsumer& consume, SalvageResult& described,
                       ProgressHook progress = {});

// salvage_buffer read in the plan's spans (plan_spans): the same result.
SalvageResult salvage_buffer_parallel(std::string_view buffer, const SalvageOptions& options,
                                      const SpanPlan& plan);

}  // namespace quillon

#include "parallel_salvage.hpp"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif

namespace quillon {

namespace {

// Spans of 1 to 4 MiB: big enough that a span's set-up and hand-over are
// noise, small enough that the few held at a time (thread count + 1, with
// their encoded text) stay a small share of the input.
constexpr std::size_t kMinSpan = std::size_t{1} << 20;
constexpr std::size_t kMaxSpan = std::size_t{4} << 20;
constexpr std::size_t kSpansPerThread = 4;

// Span starts: 0, then the first line start at or past each span_bytes step
// (and past the head, which only the first span reads as such).
std::vector<std::size_t> cut_points(std::string_view buffer, std::size_t head_end,
                                    std::size_t span_bytes) {
    std::vector<std::size_t> cuts{0};
    const std::size_t n = buffer.size();
    for (;;) {
        std::size_t target = cuts.back() + span_bytes;
        if (target < head_end) target = head_end;
        if (target >= n) break;
        const void* lf = std::memchr(buffer.data() + target, '\n', n - target);
        if (lf == nullptr) break;
        const auto cut = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data()) + 1;
        if (cut >= n) break;
        cuts.push_back(cut);
    }
    cuts.push_back(n);
    return cuts;
}

struct SpanRead {
    SpanOutput output;
    std::size_t begin = 0;
    SpanEnd end;
};

SpanRead read_one(const SalvageRun& run, const SinkFactory& make_sink, std::size_t from,
                  std::size_t until, ProgressHook progress = {}) {
    SpanRead read;
    read.begin = from;
    run.describe(read.output.result);
    if (make_sink) read.output.sink = make_sink();
    read.end = run.read_span(from, until, read.output.result, read.output.sink.get(), progress);
    return read;
}

// What the workers and the calling thread share, under one lock.
class SpanBoard {
public:
    SpanBoard(std::size_t spans, std::size_t window) : slots_(spans), window_(window) {}

    // The next span for a worker to read, or none once the run is over.
    std::optional<std::size_t> claim() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || next_ >= slots_.size() || next_ < consumed_ + window_; });
        if (stop_ || next_ >= slots_.size()) return std::nullopt;
        return next_++;
    }
    void deliver(std::size_t i, SpanRead read) {
        {
            const std::lock_guard lock(mutex_);
            slots_[i] = std::move(read);
        }
        changed_.notify_all();
    }
    // A worker ran out of memory: the calling thread raises it.
    void fail() {
        {
            const std::lock_guard lock(mutex_);
            failed_ = true;
            stop_ = true;
        }
        changed_.notify_all();
    }
    // Span i once read, and the window moved past it; none after a failure.
    std::optional<SpanRead> take(std::size_t i) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || slots_[i].has_value(); });
        if (failed_) return std::nullopt;
        std::optional<SpanRead> read = std::move(slots_[i]);
        slots_[i].reset();
        consumed_ = i + 1;
        lock.unlock();
        changed_.notify_all();
        return read;
    }
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<SpanRead>> slots_;
    std::size_t window_;
    std::size_t next_ = 0;
    std::size_t consumed_ = 0;
    bool stop_ = false;
    bool failed_ = false;
};

// Joins the workers on every way out, after telling them to stop.
class Workers {
public:
    explicit Workers(SpanBoard& board) : board_(board) {}
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers() {
        board_.stop();
        for (std::thread& t : threads_) t.join();
    }
    // Starts up to `count` workers; fewer when the system refuses threads.
    template <typename Body>
    void start(unsigned count, Body body) {
        for (unsigned i = 0; i < count; ++i) {
            try {
                threads_.emplace_back(body);
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    bool empty() const noexcept { return threads_.empty(); }

private:
    SpanBoard& board_;
    std::vector<std::thread> threads_;
};

}  // namespace

unsigned available_cores() noexcept {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

SpanPlan plan_spans(std::size_t size, unsigned threads) noexcept {
    if (threads <= 1 || size < 2 * kMinSpan) return SpanPlan{1, size};
    std::size_t span = size / (std::size_t{threads} * kSpansPerThread);
    if (span < kMinSpan) span = kMinSpan;
    if (span > kMaxSpan) span = kMaxSpan;
    return SpanPlan{threads, span};
}

bool read_spans(const SalvageRun& run, const SpanPlan& plan, const SinkFactory& make_sink,
                const SpanConsumer& consume, ProgressHook progress) {
    const std::string_view buffer = run.buffer();
    const std::size_t n = buffer.size();
    const std::vector<std::size_t> cuts =
        plan.threads <= 1 ? std::vector<std::size_t>{0, n}
                          : cut_points(buffer, run.head_end(), plan.span_bytes);
    const std::size_t spans = cuts.size() - 1;

    SpanBoard board(spans, std::size_t{plan.threads} + 1);
    Workers workers(board);
    if (spans > 1) {
        workers.start(plan.threads, [&] {
            try {
                while (const std::optional<std::size_t> i = board.claim()) {
                    board.deliver(*i, read_one(run, make_sink, cuts[*i], cuts[*i + 1]));
                }
            } catch (const std::bad_alloc&) {
                board.fail();
            }
        });
    }

    std::size_t position = 0;
    std::size_t lines = 0;
    for (std::size_t i = 0; i < spans; ++i) {
        std::optional<SpanRead> read;
        // Alone, the calling thread reports progress from inside each span.
        const bool alone = workers.empty();
        if (alone) {
            read = read_one(run, make_sink, position, cuts[i + 1], progress);
        } else {
            read = board.take(i);
            if (!read) throw std::bad_alloc();
            // The guess failed: the span before ran past this one's first
            // line start (or stopped short of it). Read it from where that
            // one really ended.
            if (read->begin != position) read = read_one(run, make_sink, position, cuts[i + 1]);
        }
        read->output.line_offset = lines;
        position = read->end.position;
        lines += read->end.lines;
        const bool stopped = read->output.result.stopped;
        if (!consume(read->output) || stopped) return false;
        if (!alone && progress && !progress(position, n)) return false;
    }
    return true;
}

SalvageResult salvage_buffer_parallel(std::string_view buffer, const SalvageOptions& options,
                                      const SpanPlan& plan) {
    if (plan.threads <= 1) return salvage_buffer(buffer, options);

    SalvageResult result;
    const SalvageRun run(buffer, options);
    run.describe(result);
    const std::size_t n = buffer.size();
    // As salvage_buffer reserves: room for all rows, resident only as written.
    result.rows.reserve(n / 64 + 16, n / 4 + 16, n + 64);
    const bool finished = read_spans(
        run, plan, nullptr,
        [&](SpanOutput& span) {
            append_span(result, span.result, span.line_offset);
            span.result = SalvageResult();
            return true;
        },
        options.progress);
    if (!finished) result.stopped = true;
    return result;
}

}  // namespace quillon

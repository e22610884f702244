#include "parallel_salvage.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
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
// noise, small enough that the few held at a time stay a small share of the
// input.
constexpr std::size_t kMinSpan = std::size_t{1} << 20;
constexpr std::size_t kMaxSpan = std::size_t{4} << 20;
constexpr std::size_t kSpansPerThread = 4;

// Span starts: `from`, then the first line start at or past each span_bytes
// step (and past the head, which only the first span reads as such), before
// `limit`, which ends the last span.
std::vector<std::size_t> cut_points(const InputWindow& window, std::size_t from, std::size_t limit,
                                    std::size_t head_end, std::size_t span_bytes) {
    std::vector<std::size_t> cuts{from};
    const char* const data = window.bytes.data() - window.base;
    for (;;) {
        std::size_t target = cuts.back() + span_bytes;
        if (target < head_end) target = head_end;
        if (target >= limit) break;
        const void* lf = std::memchr(data + target, '\n', limit - target);
        if (lf == nullptr) break;
        const auto cut = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
        if (cut >= limit) break;
        cuts.push_back(cut);
    }
    cuts.push_back(limit);
    return cuts;
}

// ---- The process's worker threads ----

// Work offered to the pool: `body` run on up to `wanted` more threads.
struct PoolJob {
    std::function<void()> body;
    unsigned wanted = 0;
    unsigned running = 0;
};

// Threads made as runs first need them, up to kMaxThreads, and kept: a run
// offers its job, idle threads take it, and the run withdraws what was not
// taken and waits for the rest before it returns. The pool is never
// destroyed: at interpreter exit a worker may still be inside the run of a
// daemon thread that will never go on, and joining it would hang the exit.
// The threads are detached and simply end with the process.
class WorkerPool {
public:
    void offer(PoolJob& job) {
        {
            const std::lock_guard lock(mutex_);
            offers_.push_back(&job);
            while (idle_ < job.wanted && threads_ < kMaxThreads && start_thread()) {
            }
        }
        work_.notify_all();
    }
    void withdraw(PoolJob& job) {
        std::unique_lock lock(mutex_);
        std::erase(offers_, &job);
        job.wanted = 0;
        done_.wait(lock, [&] { return job.running == 0; });
    }

private:
    // Called under the lock; false when the system refuses a thread.
    bool start_thread() {
        try {
            std::thread([this] { serve(); }).detach();
        } catch (const std::system_error&) {
            return false;
        }
        ++threads_;
        ++idle_;
        return true;
    }
    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [&] { return !offers_.empty(); });
            PoolJob* job = offers_.front();
            if (--job->wanted == 0) offers_.erase(offers_.begin());
            ++job->running;
            --idle_;
            lock.unlock();
            job->body();
            lock.lock();
            ++idle_;
            if (--job->running == 0) done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::vector<PoolJob*> offers_;
    unsigned threads_ = 0;
    unsigned idle_ = 0;
};

std::atomic<WorkerPool*> the_pool{nullptr};

// A forked child has none of the parent's threads, and the pool's lock may
// have been held by one of them: the child forgets that pool (without
// touching it) and makes its own when it needs one.
void forget_pool_in_child() { the_pool.store(nullptr); }

WorkerPool& worker_pool() {
    static const bool registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)registered;
    WorkerPool* pool = the_pool.load();
    if (pool != nullptr) return *pool;
    auto* made = new WorkerPool;
    if (the_pool.compare_exchange_strong(pool, made)) return *made;
    delete made;
    return *pool;
}

// ---- One run's spans ----

struct SpanRead {
    SpanOutput output;
    std::size_t begin = 0;
    SpanEnd end;
};

// How a run's spans are read.
struct SpanReading {
    const SalvageRun& run;
    const InputWindow& window;
    const SinkFactory& make_sink;
    // SpanPlan::table_records.
    bool tables = false;
};

SpanRead read_one(const SpanReading& how, std::size_t from, std::size_t until,
                  ProgressHook progress = {}) {
    SpanRead read;
    read.begin = from;
    read.output.begin = from;
    how.run.describe(read.output.result);
    if (how.make_sink) read.output.sink = how.make_sink(from);
    std::vector<RecordStart> lone_records;
    read.end = how.run.read_span(how.window, from, until, read.output.result,
                                 read.output.sink.get(), progress,
                                 how.tables ? &lone_records : nullptr);
    if (read.output.sink) read.output.sink->finish();
    if (how.tables) {
        // The span holds only when both readings of it do.
        read.end.reach = std::max(read.end.reach,
                                  how.run.table_records(how.window, from, until, lone_records,
                                                        read.output.table_records));
    }
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
    // A worker failed (out of memory): the calling thread raises it.
    void fail() {
        {
            const std::lock_guard lock(mutex_);
            failed_ = true;
            stop_ = true;
        }
        changed_.notify_all();
    }
    enum class Taken : std::uint8_t { kRead, kYours, kFailed };
    // Span i once a worker has read it; or kYours when no worker has
    // started it, and the calling thread is to read it itself.
    Taken take(std::size_t i, std::optional<SpanRead>& read) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || slots_[i].has_value() || next_ == i; });
        if (failed_) return Taken::kFailed;
        const bool yours = !slots_[i].has_value();
        if (yours) {
            next_ = i + 1;
        } else {
            read = std::move(slots_[i]);
            slots_[i].reset();
        }
        consumed_ = i + 1;
        lock.unlock();
        changed_.notify_all();
        return yours ? Taken::kYours : Taken::kRead;
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

// The pool's threads at work on one run; on every way out they are told to
// stop and waited for.
class Crew {
public:
    Crew(SpanBoard& board, unsigned workers, std::function<void()> body) : board_(board) {
        job_.body = std::move(body);
        job_.wanted = workers;
        worker_pool().offer(job_);
    }
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;
    ~Crew() {
        board_.stop();
        worker_pool().withdraw(job_);
    }

private:
    SpanBoard& board_;
    PoolJob job_;
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

void run_beside(const std::function<void()>& beside, const std::function<void()>& here) {
    std::atomic<bool> taken{false};
    PoolJob job;
    job.body = [&] {
        taken.store(true);
        beside();
    };
    job.wanted = 1;
    // Withdrawn on every way out of `here`, the worker waited for.
    struct Withdrawal {
        PoolJob& job;
        ~Withdrawal() { worker_pool().withdraw(job); }
    };
    worker_pool().offer(job);
    {
        const Withdrawal withdrawal{job};
        here();
    }
    if (!taken.load()) beside();
}

SpanPlan plan_spans(std::size_t size, unsigned threads) noexcept {
    threads = std::min(threads, kMaxThreads);
    if (threads <= 1 || size < 2 * kMinSpan) return SpanPlan{1, size};
    // Each thread's span and one more in flight must fit the budget.
    const std::size_t span = std::clamp(
        std::min(size / (std::size_t{threads} * kSpansPerThread), kInFlightBytes / (threads + 1)),
        kMinSpan, kMaxSpan);
    const std::size_t spans = (size + span - 1) / span;
    return SpanPlan{static_cast<unsigned>(std::min<std::size_t>(threads, spans)), span};
}

namespace {

SpanPass read_spans_as(const SpanReading& how, SpanCursor& cursor, std::size_t limit,
                       const SpanPlan& plan, const SpanConsumer& consume, ProgressHook progress) {
    const SalvageRun& run = how.run;
    const InputWindow& window = how.window;
    const std::size_t n = window.end();
    // One span when it would hold all; a streamed window is cut even for one
    // thread, so that a span that needs more input costs only itself.
    const std::vector<std::size_t> cuts =
        plan.span_bytes >= limit - cursor.position
            ? std::vector<std::size_t>{cursor.position, limit}
            : cut_points(window, cursor.position, limit, run.head_end(), plan.span_bytes);
    const std::size_t spans = cuts.size() - 1;
    // Spans claimed but not yet consumed: one per worker and one more, as
    // far as the budget goes.
    const std::size_t window_spans =
        std::clamp<std::size_t>(kInFlightBytes / std::max<std::size_t>(plan.span_bytes, 1), 2,
                                std::size_t{plan.threads} + 1);
    const auto workers =
        static_cast<unsigned>(std::min({std::size_t{plan.threads}, window_spans - 1, spans}));

    SpanBoard board(spans, window_spans);
    std::optional<Crew> crew;
    if (spans > 1 && plan.threads > 1 && workers > 0) {
        crew.emplace(board, workers, [&] {
            try {
                while (const std::optional<std::size_t> i = board.claim()) {
                    board.deliver(*i, read_one(how, cuts[*i], cuts[*i + 1]));
                }
            } catch (...) {
                board.fail();
            }
        });
    }

    for (std::size_t i = 0; i < spans; ++i) {
        std::optional<SpanRead> read;
        if (!crew) {
            // Alone, the calling thread reports progress from inside each span.
            read = read_one(how, cursor.position, cuts[i + 1], progress);
        } else {
            switch (board.take(i, read)) {
                case SpanBoard::Taken::kFailed:
                    throw std::bad_alloc();
                case SpanBoard::Taken::kYours:
                    read = read_one(how, cursor.position, cuts[i + 1]);
                    break;
                case SpanBoard::Taken::kRead:
                    // The guess failed: the span before ran past this one's
                    // first line start (or stopped short of it). Read it from
                    // where that one really ended.
                    if (read->begin != cursor.position) {
                        read = read_one(how, cursor.position, cuts[i + 1]);
                    }
                    break;
            }
        }
        // A span whose look-ahead met the window's end may read otherwise
        // once more of the input is there: it is read again then.
        if (!window.holds(read->end.reach)) return SpanPass::kNeedsMore;
        read->output.line_offset = cursor.lines;
        if (read->output.sink) read->output.sink->lines_before(cursor.lines);
        cursor.position = read->end.position;
        cursor.lines += read->end.lines;
        const bool stopped = read->output.result.stopped;
        if (!consume(read->output) || stopped) return SpanPass::kStopped;
        if (crew && progress && !progress(cursor.position, n)) return SpanPass::kStopped;
    }
    return SpanPass::kDone;
}

}  // namespace

SpanPass read_window_spans(const SalvageRun& run, const InputWindow& window, SpanCursor& cursor,
                           std::size_t limit, const SpanPlan& plan, const SinkFactory& make_sink,
                           const SpanConsumer& consume, ProgressHook progress) {
    return read_spans_as(SpanReading{run, window, make_sink, plan.table_records}, cursor, limit,
                         plan, consume, progress);
}

TableLook::TableLook(std::string_view comment, const SalvageRun& run, const SpanConsumer& consume)
    : finder_(run.expected_columns(), comment, run.delimiter()), before_held_(finder_),
      consume_(consume) {}

bool TableLook::take(SpanOutput& span, const InputWindow& window) {
    const OtherTableFinder before = finder_;
    for (const TableRecord& r : span.table_records) {
        const std::string_view from_begin = window.bytes.substr(r.begin - window.base);
        finder_.take(r.shape, r.begin, span.line_offset + r.line,
                     from_begin.substr(0, r.content_end - r.begin), from_begin);
        if (!finder_.tables().empty()) return give_up(span);
    }
    const std::size_t open_from = finder_.undecided_from();
    // A stopped span ends the run: nothing after it can tell.
    if (open_from == SIZE_MAX || span.result.stopped) return pass_held() && consume_(span);
    if (held_ && open_from < span.begin) return give_up(span);
    if (!pass_held()) return false;
    held_.emplace(std::move(span));
    before_held_ = before;
    return true;
}

std::optional<SpanCursor> TableLook::forget_held() {
    if (!held_) return std::nullopt;
    const SpanCursor at{held_->begin, held_->line_offset};
    held_.reset();
    finder_ = before_held_;
    return at;
}

bool TableLook::pass_held() {
    if (!held_) return true;
    SpanOutput span = std::move(*held_);
    held_.reset();
    return consume_(span);
}

bool TableLook::give_up(const SpanOutput& span) {
    const SpanOutput& first = held_ ? *held_ : span;
    gave_up_at_ = SpanCursor{first.begin, first.line_offset};
    held_.reset();
    return false;
}

bool read_spans(const SalvageRun& run, const SpanPlan& plan, const SinkFactory& make_sink,
                const SpanConsumer& consume, ProgressHook progress) {
    const InputWindow whole{run.buffer(), 0, true};
    SpanCursor cursor;
    return read_window_spans(run, whole, cursor, whole.end(), plan, make_sink, consume,
                             progress) != SpanPass::kStopped;
}

bool read_buffer_spans(std::string_view buffer, const SalvageOptions& options,
                       const SpanPlan& plan, const SinkFactory& make_sink,
                       const SpanConsumer& consume, SalvageResult& described,
                       ProgressHook progress) {
    const InputWindow whole{buffer, 0, true};
    SpanCursor cursor;
    if (options.split_tables && plan.threads > 1) {
        // The spans' run sets no records aside as another table's: until the
        // look finds one, none are.
        SalvageOptions spans_only = options;
        spans_only.split_tables = false;
        const SalvageRun run(buffer, spans_only);
        run.describe(described);
        TableLook look(options.comment_prefix, run, consume);
        SpanPlan looking = plan;
        looking.table_records = TableLook::needed(run);
        const SpanPass pass = read_window_spans(
            run, whole, cursor, whole.end(), looking, make_sink,
            [&](SpanOutput& span) { return look.take(span, whole); }, progress);
        if (!look.gave_up_at()) return pass != SpanPass::kStopped && look.finish();
        cursor = *look.gave_up_at();
    }
    const SalvageRun run(buffer, options);
    run.describe(described);
    return read_window_spans(run, whole, cursor, whole.end(), plan, make_sink, consume,
                             progress) != SpanPass::kStopped;
}

SalvageResult salvage_buffer_parallel(std::string_view buffer, const SalvageOptions& options,
                                      const SpanPlan& plan) {
    if (plan.threads <= 1) return salvage_buffer(buffer, options);

    SalvageResult result;
    const std::size_t n = buffer.size();
    // As salvage_buffer reserves: room for all rows, resident only as written.
    result.rows.reserve(n / 64 + 16, n / 4 + 16, n + 64);
    const bool finished = read_buffer_spans(
        buffer, options, plan, nullptr,
        [&](SpanOutput& span) {
            append_span(result, span.result, span.line_offset);
            span.result = SalvageResult();
            return true;
        },
        result, options.progress);
    if (!finished) result.stopped = true;
    return result;
}

}  // namespace quillon

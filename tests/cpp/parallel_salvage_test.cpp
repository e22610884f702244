// Reading a buffer in spans on several threads must give the one pass's
// result exactly: the same rows, quarantine entries with the same lines and
// offsets, the same counts. Tiny spans put a cut on nearly every line, so
// cuts land inside quoted line breaks, in runaway quotes and before the
// header as often as the generated inputs allow.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/parallel_salvage.hpp"
#include "engine/salvage.hpp"
#include "engine/salvage_run.hpp"
#include "reference_tokenizer.hpp"
#include "result_description.hpp"

namespace {

using quillon::SalvageOptions;
using quillon::SalvageResult;

using reference::describe_result;

std::vector<SalvageOptions> option_sets() {
    std::vector<SalvageOptions> sets(5);
    // [0]: the module's defaults.
    sets[1].delimiter = ',';
    sets[1].expected_columns = 3;
    sets[1].preamble_rows = 2;
    sets[1].drop_repeated_headers = true;
    sets[1].guard_runaway_quotes = true;
    sets[1].repair_misaligned_rows = true;
    sets[1].decoding = quillon::FieldDecoding::kUtf8Windows1252Fallback;
    sets[1].split_tables = true;
    sets[2].fill_ragged_rows = false;
    sets[2].merge_overflow = false;
    sets[2].drop_repeated_headers = true;
    sets[3].quoting = false;
    sets[3].preamble_rows = 1;
    sets[4].escape_char = '\\';
    sets[4].skip_initial_space = true;
    sets[4].guard_runaway_quotes = true;
    return sets;
}

// Several generated inputs as the lines of one buffer, with a repeated
// header now and then.
std::string generated_buffer(reference::InputGenerator& gen) {
    std::string buffer = "id,name,note\n";
    const std::size_t parts = 2 + gen.below(12);
    for (std::size_t i = 0; i < parts; ++i) {
        buffer += gen.next();
        buffer += gen.below(4) == 0 ? "\nid,name,note\n" : "\n";
    }
    return buffer;
}

TEST(ParallelSalvageTest, SpansGiveTheOnePassResultOnGeneratedInputs) {
    reference::InputGenerator gen(20261208);
    const std::vector<SalvageOptions> sets = option_sets();
    const quillon::SpanPlan plans[] = {{2, 1}, {3, 7}, {2, 64}};
    for (int n = 0; n < 300; ++n) {
        const std::string buffer = generated_buffer(gen);
        for (std::size_t o = 0; o < sets.size(); ++o) {
            const std::vector<std::string> expected =
                describe_result(quillon::salvage_buffer(buffer, sets[o]));
            for (const quillon::SpanPlan& plan : plans) {
                SCOPED_TRACE("input \"" + reference::escaped(buffer) + "\" options " +
                             std::to_string(o) + " span " + std::to_string(plan.span_bytes));
                ASSERT_EQ(describe_result(quillon::salvage_buffer_parallel(buffer, sets[o], plan)),
                          expected);
            }
        }
    }
}

// One quoted field holding every line break of the buffer: every guess fails
// and every span after the first is read again, still in linear work.
TEST(ParallelSalvageTest, AQuoteThatSwallowsTheRestIsReadOnce) {
    std::string buffer = "a,b\n1,\"";
    for (int i = 0; i < 20000; ++i) buffer += "x,y\n";
    for (const bool guard : {false, true}) {
        SalvageOptions options;
        options.guard_runaway_quotes = guard;
        const std::vector<std::string> expected =
            describe_result(quillon::salvage_buffer(buffer, options));
        EXPECT_EQ(describe_result(quillon::salvage_buffer_parallel(buffer, options, {2, 100})),
                  expected);
    }
}

// Only the input's last record can end inside an open quoted field, so only
// the last span's answer counts; a quote the guard took as text opens none.
TEST(ParallelSalvageTest, EndInsideAnOpenQuoteIsTheLastRecordsOnly) {
    std::string rows;
    for (int i = 0; i < 200; ++i) rows += "1,\"x\"\n";
    struct Case {
        std::string tail;
        bool guard;
        bool escape;
        bool open;
    };
    const Case cases[] = {
        {"1,\"x", false, false, true},
        {"1,\"x\n", false, false, true},
        {"1,\"x\"\"", false, false, true},
        {"1,\"x\\\"", false, true, true},
        {"\"1,x\n2,y", false, false, true},
        {"1,\"x\"", false, false, false},
        {"1,\"x\"\n", false, false, false},
        {"1,x\"", false, false, false},
        {"1,\"x\"y", false, false, false},
        {"1,\"b\n1,2\n", false, false, true},
        {"1,\"b\n1,2\n", true, false, false},
    };
    for (const Case& c : cases) {
        for (const bool before : {false, true}) {
            // An open quote early on that closes again must not count.
            const std::string buffer =
                "a,b\n" + std::string(before ? "1,\"x\n2\"\n" : "") + rows + c.tail;
            SCOPED_TRACE("input tail \"" + reference::escaped(c.tail) + "\"");
            SalvageOptions options;
            options.guard_runaway_quotes = c.guard;
            if (c.escape) options.escape_char = '\\';
            EXPECT_EQ(quillon::salvage_buffer(buffer, options).ends_in_open_quote, c.open);
            EXPECT_EQ(quillon::salvage_buffer_parallel(buffer, options, {2, 64}).ends_in_open_quote,
                      c.open);
        }
    }
    EXPECT_FALSE(quillon::salvage_buffer("", SalvageOptions()).ends_in_open_quote);
}

TEST(ParallelSalvageTest, ProgressCanStopTheRunBetweenSpans) {
    std::string buffer;
    for (int i = 0; i < 50000; ++i) buffer += "1,2,3\n";
    struct Hook {
        int calls = 0;
        static bool report(void* self, std::size_t, std::size_t) {
            return ++static_cast<Hook*>(self)->calls < 3;
        }
    } hook;
    SalvageOptions options;
    options.progress = quillon::ProgressHook{&Hook::report, &hook};
    const SalvageResult r = quillon::salvage_buffer_parallel(buffer, options, {2, 1000});
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(hook.calls, 3);
    EXPECT_EQ(r.salvaged_rows, r.rows.size());
    EXPECT_LT(r.total_rows, 50000u);
}

// Threads past the cap or past the spans add no work; the spans of all the
// threads and one more fit the bytes in flight.
TEST(ParallelSalvageTest, PlanBoundsThreadsAndBytesInFlight) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    struct Case {
        std::size_t size;
        unsigned threads;
        quillon::SpanPlan plan;
    };
    const Case cases[] = {
        {200 * kMiB, 1, {1, 200 * kMiB}},
        {kMiB, 8, {1, kMiB}},
        {200 * kMiB, 2, {2, 4 * kMiB}},
        {200 * kMiB, 8, {8, quillon::kInFlightBytes / 9}},
        {200 * kMiB, 1024, {quillon::kMaxThreads, kMiB}},
        {3 * kMiB, 1024, {3, kMiB}},
    };
    for (const Case& c : cases) {
        const quillon::SpanPlan plan = quillon::plan_spans(c.size, c.threads);
        EXPECT_EQ(plan.threads, c.plan.threads) << c.size << " " << c.threads;
        EXPECT_EQ(plan.span_bytes, c.plan.span_bytes) << c.size << " " << c.threads;
    }
}

std::size_t threads_in_process() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

// The workers are the process's, kept between runs: repeated runs start no
// threads. A forked child, which has none of them, makes its own.
TEST(ParallelSalvageTest, RunsReuseTheWorkersAndForkedChildrenMakeTheirOwn) {
    std::string buffer;
    for (int i = 0; i < 20000; ++i) buffer += "1,\"two\nlines\",3\n";
    const SalvageOptions options;
    const quillon::SpanPlan plan{4, 4096};
    const std::vector<std::string> expected =
        describe_result(quillon::salvage_buffer(buffer, options));
    ASSERT_EQ(describe_result(quillon::salvage_buffer_parallel(buffer, options, plan)), expected);
    const std::size_t threads = threads_in_process();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(describe_result(quillon::salvage_buffer_parallel(buffer, options, plan)),
                  expected);
    }
    EXPECT_EQ(threads_in_process(), threads);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(30);
        const bool same =
            describe_result(quillon::salvage_buffer_parallel(buffer, options, plan)) == expected;
        _exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

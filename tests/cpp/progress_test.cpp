// Progress reports of the engine and the adaptive pipeline, the salvage of
// an input held in memory, and a clean file written to an open descriptor.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/options.hpp"
#include "engine/salvage.hpp"
#include "file_test_support.hpp"
#include "pipeline/adaptive_salvage.hpp"
#include "pipeline/unique_fd.hpp"

namespace {

using quillon::AdaptiveOptions;
using quillon::AdaptiveStats;
using quillon::IoErrorKind;
using quillon::IoResult;
using quillon::kProgressStep;
using quillon::OutputTarget;
using quillon::ProgressHook;
using quillon::testing::file_exists;
using quillon::testing::read_file;
using quillon::testing::TempDir;
using quillon::testing::write_file;

// Records each report; says stop at report number `stop_at` (from 1).
struct Recorder {
    std::vector<std::pair<std::size_t, std::size_t>> reports;
    std::size_t stop_at = 0;

    static bool report(void* self, std::size_t done, std::size_t total) {
        auto* r = static_cast<Recorder*>(self);
        r->reports.emplace_back(done, total);
        return r->reports.size() != r->stop_at;
    }
    ProgressHook hook() { return ProgressHook{&Recorder::report, this}; }
};

// Rows of mixed shape (short, long, quoted with line breaks) past `bytes`.
std::string table_of(std::size_t bytes) {
    std::string text = "id,name,note\n";
    for (std::size_t i = 0; text.size() < bytes; ++i) {
        text += std::to_string(i);
        text += i % 97 == 0 ? ",short\n" : i % 89 == 0 ? ",a,b,c,d\n" : ",\"name\nwith break\",note\n";
    }
    return text;
}

struct Counts {
    std::size_t total, salvaged, quarantined;
    friend bool operator==(const Counts&, const Counts&) = default;
};

Counts counts_of(const quillon::SalvageResult& r) {
    return {r.total_rows, r.salvaged_rows, r.quarantined_rows};
}

TEST(EngineProgress, ReportsEveryStepAndChangesNothing) {
    const std::string text = table_of(3 * kProgressStep + 1000);
    quillon::SalvageOptions options;
    const quillon::SalvageResult plain = quillon::salvage_buffer(text, options);
    Recorder recorder;
    options.progress = recorder.hook();
    const quillon::SalvageResult reported = quillon::salvage_buffer(text, options);

    EXPECT_EQ(counts_of(reported), counts_of(plain));
    EXPECT_FALSE(reported.stopped);
    ASSERT_EQ(recorder.reports.size(), 3u);
    std::size_t previous = 0;
    for (const auto& [done, total] : recorder.reports) {
        EXPECT_EQ(total, text.size());
        // A report comes within one record after each step.
        EXPECT_GE(done, previous + kProgressStep);
        EXPECT_LT(done, previous + kProgressStep + 100);
        previous = done;
    }
}

TEST(EngineProgress, StopsWhereTheHookSays) {
    const std::string text = table_of(3 * kProgressStep);
    Recorder recorder{.reports = {}, .stop_at = 1};
    quillon::SalvageOptions options;
    options.progress = recorder.hook();
    const quillon::SalvageResult result = quillon::salvage_buffer(text, options);
    EXPECT_TRUE(result.stopped);
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_GT(result.total_rows, 0u);
    EXPECT_EQ(result.total_rows, result.salvaged_rows + result.quarantined_rows);
    EXPECT_LT(result.total_rows, counts_of(quillon::salvage_buffer(text, {})).total);
}

std::string utf16le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// What the file salvage writes, and what the in-memory one writes, for the
// same bytes: the same clean and quarantine files and counts.
class ContentSalvage : public ::testing::TestWithParam<std::string> {};

TEST_P(ContentSalvage, WritesWhatTheFileSalvageWrites) {
    TempDir dir;
    const std::string input = GetParam();
    write_file(dir.file("in.csv"), input);
    AdaptiveOptions options;
    options.fill_ragged_rows = false;
    IoResult<AdaptiveStats> from_file = quillon::adaptive_salvage_file(
        dir.file("in.csv"), dir.file("a.csv"), dir.file("qa.csv"), options);
    IoResult<AdaptiveStats> from_memory = quillon::adaptive_salvage_content(
        input, OutputTarget{dir.file("b.csv")}, dir.file("qb.csv"), options);
    ASSERT_TRUE(from_file.ok() && from_memory.ok());
    EXPECT_EQ(from_file.value().total_rows, from_memory.value().total_rows);
    EXPECT_EQ(from_file.value().quarantined_rows, from_memory.value().quarantined_rows);
    EXPECT_GT(from_memory.value().quarantined_rows, 0u);
    EXPECT_EQ(read_file(dir.file("a.csv")), read_file(dir.file("b.csv")));
    EXPECT_EQ(read_file(dir.file("qa.csv")), read_file(dir.file("qb.csv")));
}

INSTANTIATE_TEST_SUITE_P(Inputs, ContentSalvage,
                         ::testing::Values("TITLE\n\na;b;c\n1;2;3\n4;5\n6;7;8\n",
                                           utf16le("a,b\n1,2\n3\n4,5\n")));

// Salvages `text` into `output` (and `quarantine`), reporting to `recorder`.
IoResult<AdaptiveStats> salvage_reporting(const std::string& text, const std::string& output,
                                          Recorder& recorder,
                                          std::optional<std::string> quarantine = std::nullopt) {
    AdaptiveOptions options;
    options.progress = recorder.hook();
    return quillon::adaptive_salvage_content(text, OutputTarget{output}, quarantine, options);
}

TEST(ContentSalvage, ProgressCoversTheInputInOrder) {
    TempDir dir;
    Recorder recorder;
    ASSERT_TRUE(salvage_reporting(table_of(2 * kProgressStep), dir.file("out.csv"), recorder).ok());
    ASSERT_GE(recorder.reports.size(), 2u);
    const std::size_t total = recorder.reports.front().second;
    std::size_t previous = 0;
    for (const auto& [done, of] : recorder.reports) {
        EXPECT_EQ(of, total);
        EXPECT_GE(done, previous);
        EXPECT_LE(done, total);
        previous = done;
    }
    // Reports from both halves of the input.
    EXPECT_LT(recorder.reports.front().first, total / 2);
    EXPECT_GT(recorder.reports.back().first, total / 2);
}

// Rows are written as they are read: a run stopped at any report leaves a
// prefix of the full clean file and no quarantine file.
TEST(ContentSalvage, StoppedRunLeavesWhatWasWritten) {
    TempDir dir;
    const std::string text = table_of(3 * kProgressStep);
    Recorder all;
    ASSERT_TRUE(salvage_reporting(text, dir.file("full.csv"), all).ok());
    ASSERT_GE(all.reports.size(), 2u);
    const std::string full = *read_file(dir.file("full.csv"));
    for (const std::size_t stop_at : {std::size_t{1}, std::size_t{2}}) {
        SCOPED_TRACE("stopped at report " + std::to_string(stop_at));
        Recorder stopping{.reports = {}, .stop_at = stop_at};
        const IoResult<AdaptiveStats> result =
            salvage_reporting(text, dir.file("out.csv"), stopping, dir.file("q.csv"));
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind, IoErrorKind::kInterrupted);
        const std::string part = *read_file(dir.file("out.csv"));
        EXPECT_LT(part.size(), full.size());
        EXPECT_EQ(full.substr(0, part.size()), part);
        EXPECT_FALSE(file_exists(dir.file("q.csv")));
    }
}

TEST(ContentSalvage, WritesToADescriptorAndLeavesItOpen) {
    TempDir dir;
    quillon::UniqueFd fd(::open(dir.file("out.csv").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ASSERT_TRUE(fd.valid());
    const std::string input = "a,b\n1,2\n";
    ASSERT_TRUE(quillon::adaptive_salvage_content(input, OutputTarget{"", fd.get()}, std::nullopt,
                                                  AdaptiveOptions{})
                    .ok());
    ASSERT_EQ(::write(fd.get(), "end\n", 4), 4);
    EXPECT_EQ(read_file(dir.file("out.csv")), input + "end\n");
}

TEST(ContentSalvage, QuarantineNamingTheOutputIsRefusedBeforeWriting) {
    TempDir dir;
    write_file(dir.file("out.csv"), "keep");
    const IoResult<AdaptiveStats> result = quillon::adaptive_salvage_content(
        "a,b\n1\n", OutputTarget{dir.file("out.csv")}, dir.file("out.csv"), AdaptiveOptions{});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, IoErrorKind::kInvalidInput);
    EXPECT_EQ(read_file(dir.file("out.csv")), "keep");
}

}  // namespace

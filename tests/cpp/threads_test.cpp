// The adaptive salvage on several threads writes the files and counts of one
// thread, byte for byte: spans are cut at line starts, many of them inside
// quoted line breaks here, and the clean file's first line, the quarantine's
// line numbers and offsets, and every count must come out as one pass makes
// them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_test_support.hpp"
#include "pipeline/adaptive_salvage.hpp"

namespace {

using quillon::AdaptiveOptions;
using quillon::AdaptiveStats;
using quillon::IoResult;
using quillon::OutputTarget;
using quillon::testing::read_file;
using quillon::testing::TempDir;

// About `bytes` of a damaged export: a title line (unless `start` comes
// first), a header that repeats,
// quoted line breaks on every third row, short and long rows, a stray
// Windows-1252 byte, CRLF now and then.
std::string damaged_export(std::size_t bytes, const std::string& start) {
    std::string text = start.empty() ? "Export of orders\n" : start;
    text += "id,name,note\n";
    for (std::size_t i = 0; text.size() < bytes; ++i) {
        text += std::to_string(i);
        switch (i % 11) {
            case 0:
            case 3:
            case 6:
                text += ",\"two\nlines, \"\"quoted\"\"\",ok\n";
                break;
            case 1:
                text += ",short\n";
                break;
            case 2:
                text += ",a,b,c\r\n";
                break;
            case 4:
                text += i % 5 == 0 ? "\nid,name,note\n" : ",caf\xE9,x\n";
                break;
            case 5:
                text += i % 7 == 0 ? ",\"runaway,x\n" : ",plain,row\n";
                break;
            default:
                text += ",plain,row\n";
        }
    }
    return text;
}

std::vector<std::size_t> counts_of(const AdaptiveStats& s) {
    std::vector<std::size_t> counts{s.columns};
    for (const quillon::CountName& c : quillon::kCounts) counts.push_back(s.*c.count);
    counts.push_back(std::size_t{s.ends_in_open_quote});
    return counts;
}

TEST(AdaptiveThreads, FilesAndCountsDoNotDependOnTheThreads) {
    // A second byte-order mark makes the first field begin with U+FEFF,
    // which the clean file's first line must quote.
    for (const std::string& start : {std::string(), std::string("\xEF\xBB\xBF\xEF\xBB\xBF")}) {
        const std::string input = damaged_export(std::size_t{6} << 20, start);
        TempDir dir;
        std::vector<std::string> outputs;
        std::vector<std::string> quarantines;
        std::vector<std::vector<std::size_t>> counts;
        for (const unsigned threads : {1u, 2u, 3u}) {
            SCOPED_TRACE("threads " + std::to_string(threads));
            AdaptiveOptions options;
            options.threads = threads;
            options.fill_ragged_rows = false;
            const std::string name = std::to_string(threads) + ".csv";
            const std::string out = dir.file("out" + name);
            const std::string rejects = dir.file("q" + name);
            IoResult<AdaptiveStats> stats =
                quillon::adaptive_salvage_content(input, OutputTarget{out}, rejects, options);
            ASSERT_TRUE(stats.ok());
            ASSERT_GT(stats.value().quarantined_rows, 0u);
            outputs.push_back(*read_file(out));
            quarantines.push_back(*read_file(rejects));
            counts.push_back(counts_of(stats.value()));
        }
        EXPECT_EQ(outputs[0].rfind(start.empty() ? "id," : "\"\xEF\xBB\xBFid\",", 0), 0u);
        for (std::size_t i = 1; i < outputs.size(); ++i) {
            EXPECT_TRUE(outputs[i] == outputs[0]);
            EXPECT_TRUE(quarantines[i] == quarantines[0]);
            EXPECT_EQ(counts[i], counts[0]);
        }
    }
}

}  // namespace

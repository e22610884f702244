// A streamed salvage writes the files and counts of the salvage of the input
// held whole, byte for byte, whatever the window, span, head and block sizes
// and the threads: small windows (the notes below the table hold back the
// input's last 16 KiB, so a window is at least that) put record boundaries,
// quoted line breaks and runaway quotes across a window's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// A damaged export: comments and a title above, a header that repeats,
// quoted line breaks, short and long rows, runaway quotes, CRLF, and notes
// below the table.
std::string damaged_export(std::size_t rows) {
    std::string text = "# exported 2026-12-08\nOrders report\n\nid,name,amount\n";
    for (std::size_t i = 0; i < rows; ++i) {
        const std::string id = std::to_string(i);
        switch (i % 9) {
            case 0:
                text += id + ",\"two\nlines, \"\"quoted\"\"\"," + id + ".5\n";
                break;
            case 1:
                text += id + ",short\n";
                break;
            case 2:
                text += id + ",a,b," + id + "\r\n";
                break;
            case 3:
                text += i % 4 == 0 ? "id,name,amount\n" : id + ",\"runaway," + id + "\n";
                break;
            case 4:
                text += "# note " + id + "\n";
                break;
            default:
                text += id + ",plain row," + id + "\n";
        }
    }
    return text + "\nTotal,12345\nSource: the shop\n";
}

// A plain table with notes below it long enough that a window that did not
// hold them back would read them as rows before the end is known.
std::string table_with_notes(std::size_t rows) {
    std::string text = "id,name,amount\n";
    for (std::size_t i = 0; i < rows; ++i) text += std::to_string(i) + ",row," + std::to_string(i % 97) + "\n";
    text += "\n";
    for (int i = 0; i < 6; ++i) text += "Total of the shop " + std::string(400, 'w') + ",12345\n";
    return text;
}

struct Salvaged {
    std::string clean;
    std::string quarantine;
    std::vector<std::size_t> counts;
    std::size_t grown_to = 0;
};

Salvaged collected(IoResult<AdaptiveStats> stats, const std::string& out,
                   const std::string& rejects) {
    EXPECT_TRUE(stats.ok());
    Salvaged s{read_file(out).value_or("?"), read_file(rejects).value_or("?"), {}, 0};
    if (!stats.ok()) return s;
    const AdaptiveStats& v = stats.value();
    s.counts = {v.columns, std::size_t{v.ends_in_open_quote}, v.detection.structure.preamble_rows};
    for (const quillon::CountName& c : quillon::kCounts) s.counts.push_back(v.*c.count);
    s.grown_to = v.window_grown_to;
    return s;
}

Salvaged held_whole(const std::string& input, const AdaptiveOptions& options, const TempDir& dir) {
    const std::string out = dir.file("whole.csv");
    const std::string rejects = dir.file("whole.q");
    return collected(
        quillon::adaptive_salvage_content(input, OutputTarget{out}, rejects, options), out,
        rejects);
}

Salvaged streamed(const std::string& input, const AdaptiveOptions& options, std::size_t block,
                  const TempDir& dir) {
    const std::string out = dir.file("streamed.csv");
    const std::string rejects = dir.file("streamed.q");
    quillon::MemoryByteStream source(input, block);
    return collected(
        quillon::adaptive_salvage_stream(source, OutputTarget{out}, rejects, options), out,
        rejects);
}

struct Sizes {
    std::size_t head;
    std::size_t window;
    std::size_t span;
    std::size_t block;
    unsigned threads;
};

TEST(StreamSalvage, SameFilesAndCountsAsTheInputHeldWhole) {
    const std::vector<std::string> inputs = {
        damaged_export(4000),
        damaged_export(3),
        table_with_notes(5000),
        "",
        "a,b\n1,2",
        // A quoted field that never closes swallows the rest.
        "a,b,c\n1,2,3\n4,\"5,6\n7,8,9\n" + std::string(60000, 'x') + "\n1,2,3\n",
        // No line break at all.
        std::string(50000, 'y'),
    };
    const std::vector<Sizes> sizes = {
        {1 << 20, 1 << 20, 0, 1 << 20, 1},
        {256, 64, 16, 7, 1},
        {300, 200, 40, 64, 3},
        {64, 1, 1, 1, 2},
        {4096, 5000, 100, 333, 4},
    };
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (const Sizes& z : sizes) {
            SCOPED_TRACE("input " + std::to_string(i) + ", window " + std::to_string(z.window) +
                         ", threads " + std::to_string(z.threads));
            AdaptiveOptions options;
            options.head_bytes = z.head;
            options.window_bytes = z.window;
            options.span_bytes = z.span;
            options.threads = z.threads;
            TempDir dir;
            const Salvaged whole = held_whole(inputs[i], options, dir);
            const Salvaged stream = streamed(inputs[i], options, z.block, dir);
            EXPECT_EQ(stream.clean, whole.clean);
            EXPECT_EQ(stream.quarantine, whole.quarantine);
            EXPECT_EQ(stream.counts, whole.counts);
        }
    }
}

// Memory grows only for a record longer than the window, and says so.
TEST(StreamSalvage, RecordLongerThanTheWindowGrowsIt) {
    const std::string input =
        "a,b\n1,\"" + std::string(200000, 'z') + "\"\n" + std::string(20000, '-') + "\n2,3\n";
    AdaptiveOptions options;
    options.head_bytes = 64;
    options.window_bytes = 1024;
    options.span_bytes = 128;
    TempDir dir;
    const Salvaged stream = streamed(input, options, 1000, dir);
    EXPECT_EQ(stream.clean, held_whole(input, options, dir).clean);
    EXPECT_GT(stream.grown_to, std::size_t{200000});
    options.window_bytes = input.size() * 2;
    EXPECT_EQ(streamed(input, options, 100, dir).grown_to, 0u);
}

}  // namespace

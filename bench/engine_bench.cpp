// Throughput and result memory of salvage_buffer on files held in memory.
//
// For each file: one run with delimiter and column count left open (sniffer
// and inference included), then one with both given, each the median of
// --runs timed calls after a warm-up call. The given values are the ones the
// open run settled on unless --delimiter / --columns name others. CPU time is
// printed beside wall time: on a shared machine it is the steadier of the two.
//
// Memory is read in a forked child around one call with both values left
// open: the bytes the result accounts for (field text, 2 bytes per field
// slot, 16 bytes per row), the growth of the resident set while the result is
// alive, and the growth of the high-water mark during the call, each as a
// multiple of the input size.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "engine/salvage.hpp"

namespace {

using namespace quillon;
using namespace quillon::bench;

constexpr const char* kUsage =
    "usage: engine_bench [--runs N] [--delimiter C] [--columns N] [--json] FILE...\n";

struct Timing {
    double median_seconds = 0;
    double median_cpu_seconds = 0;
    std::vector<double> runs;
    std::vector<double> cpu_runs;
    SalvageResult last;
};

Timing time_salvage(const std::string& data, const SalvageOptions& options, int runs) {
    Timing t;
    t.last = salvage_buffer(data, options);
    for (int i = 0; i < runs; ++i) {
        // Dropping the previous result first keeps its pages from being
        // reused by the next call, which would flatter the figures.
        t.last = SalvageResult{};
        double start = now_seconds();
        double cpu_start = cpu_seconds();
        SalvageResult result = salvage_buffer(data, options);
        double cpu_stop = cpu_seconds();
        double stop = now_seconds();
        t.runs.push_back(stop - start);
        t.cpu_runs.push_back(cpu_stop - cpu_start);
        t.last = std::move(result);
    }
    t.median_seconds = median(t.runs);
    t.median_cpu_seconds = median(t.cpu_runs);
    return t;
}

struct MemoryReport {
    std::size_t accounted = 0;
    std::size_t resident_growth = 0;
    std::size_t peak_growth = 0;
};

MemoryReport measure_memory(const std::string& path, const SalvageOptions& options) {
    return run_in_child<MemoryReport>([&] {
        std::string data = load_file(path);
        MemoryReport r;
        std::size_t before = resident_bytes();
        std::size_t peak_before = std::max(before, peak_resident_bytes());
        SalvageResult result = salvage_buffer(data, options);
        std::size_t after = resident_bytes();
        std::size_t peak_after = peak_resident_bytes();
        r.accounted = result.rows.text_bytes() + result.rows.slot_count() * 2 + result.rows.size() * 16;
        r.resident_growth = after > before ? after - before : 0;
        r.peak_growth = peak_after > peak_before ? peak_after - peak_before : 0;
        return r;
    }).report;
}

double gbps(std::size_t bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e9 : 0.0; }

std::string runs_text(const std::vector<double>& runs) {
    std::string s;
    for (double r : runs) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%.4f", s.empty() ? "" : " ", r);
        s += buf;
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args = Arguments::parse(argc, argv, kUsage);
    if (!args.json) std::printf("engine_bench on %s, %d timed runs after a warm-up\n", cpu_model().c_str(), args.runs);
    bool first = true;
    if (args.json) std::printf("[");
    // Memory first, while this process has freed nothing that a child's
    // allocator could hand out again without growing the resident set.
    std::vector<MemoryReport> memory;
    for (const std::string& path : args.files) memory.push_back(measure_memory(path, SalvageOptions{}));
    for (std::size_t f = 0; f < args.files.size(); ++f) {
        const std::string& path = args.files[f];
        const MemoryReport& mem = memory[f];
        std::string data = load_file(path);
        double size = static_cast<double>(data.size());

        Timing open = time_salvage(data, SalvageOptions{}, args.runs);
        SalvageOptions given;
        given.delimiter = args.delimiter >= 0 ? static_cast<std::uint8_t>(args.delimiter)
                                              : static_cast<std::uint8_t>(open.last.detected_delimiter);
        given.expected_columns =
            args.columns >= 0 ? static_cast<std::size_t>(args.columns) : open.last.inferred_columns;
        open.last = SalvageResult{};
        Timing known = time_salvage(data, given, args.runs);
        const SalvageResult& r = known.last;
        std::size_t rows = r.total_rows, kept = r.salvaged_rows, repaired = r.repaired_rows,
                    quarantined = r.quarantined_rows, columns = r.inferred_columns;
        char32_t delimiter = r.detected_delimiter;
        known.last = SalvageResult{};

        if (args.json) {
            std::printf(
                "%s{\"file\":\"%s\",\"bytes\":%zu,\"open_seconds\":%.6f,\"open_gbps\":%.4f,"
                "\"open_cpu_seconds\":%.6f,\"given_seconds\":%.6f,\"given_gbps\":%.4f,"
                "\"given_cpu_seconds\":%.6f,\"delimiter\":%u,\"columns\":%zu,"
                "\"total_rows\":%zu,\"salvaged_rows\":%zu,\"repaired_rows\":%zu,\"quarantined_rows\":%zu,"
                "\"accounted_ratio\":%.4f,\"resident_ratio\":%.4f,\"peak_ratio\":%.4f}",
                first ? "" : ",", base_name(path).c_str(), data.size(), open.median_seconds,
                gbps(data.size(), open.median_seconds), open.median_cpu_seconds, known.median_seconds,
                gbps(data.size(), known.median_seconds), known.median_cpu_seconds, static_cast<unsigned>(delimiter), columns, rows, kept, repaired, quarantined,
                static_cast<double>(mem.accounted) / size, static_cast<double>(mem.resident_growth) / size,
                static_cast<double>(mem.peak_growth) / size);
        } else {
            std::printf("\n%s  %.1f MB\n", base_name(path).c_str(), size / 1e6);
            std::printf("  left open (sniff + infer)   median %.4f s  %6.2f GB/s  (CPU time %.4f s, %5.2f GB/s)  runs %s\n",
                        open.median_seconds, gbps(data.size(), open.median_seconds), open.median_cpu_seconds,
                        gbps(data.size(), open.median_cpu_seconds), runs_text(open.runs).c_str());
            std::printf("  given ('%s', %zu columns)    median %.4f s  %6.2f GB/s  (CPU time %.4f s, %5.2f GB/s)  runs %s\n",
                        delimiter_text(delimiter).c_str(), columns, known.median_seconds,
                        gbps(data.size(), known.median_seconds), known.median_cpu_seconds,
                        gbps(data.size(), known.median_cpu_seconds), runs_text(known.runs).c_str());
            std::printf("  records %zu: kept %zu (repaired %zu), quarantined %zu\n", rows, kept, repaired,
                        quarantined);
            std::printf("  result memory / input: accounted %.2fx, resident growth %.2fx, peak growth %.2fx\n",
                        static_cast<double>(mem.accounted) / size, static_cast<double>(mem.resident_growth) / size,
                        static_cast<double>(mem.peak_growth) / size);
        }
        first = false;
    }
    if (args.json) std::printf("]\n");
    return 0;
}

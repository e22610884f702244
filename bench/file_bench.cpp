// File-to-file throughput and peak memory of the pipeline's salvage_file,
// side by side with cp(1) of the same file in the same run.
//
// The input is read once first so that every run finds it in the page cache.
// Each timed run is a forked child, so that its peak resident memory (the
// child's ru_maxrss) belongs to that run alone; the child times the call
// itself. Runs of salvage_file and cp alternate, so that load from other
// processes falls on both alike. Output files are removed before each run:
// truncating a large existing file costs time that neither side should pay.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "pipeline/salvage_file.hpp"

extern char** environ;

namespace {

using namespace quillon;
using namespace quillon::bench;

constexpr const char* kUsage =
    "usage: file_bench [--runs N] [--out DIR] [--no-quarantine] [--delimiter C] [--columns N] [--json] FILE...\n"
    "  Options left out are left open to salvage_file (sniffer and inference run).\n"
    "  DIR defaults to an out/ directory beside the first input file.\n";

struct RunReport {
    double seconds = 0;
    double cpu_seconds = 0;
    bool ok = false;
    char error[200] = {};
    SalvageStats stats;
};

struct Sample {
    double seconds = 0;
    double cpu_seconds = 0;
    std::size_t peak_resident = 0;
};

Sample run_salvage(const std::string& input, const std::string& output, const std::optional<std::string>& quarantine,
                   const SalvageOptions& options, RunReport* last) {
    ::unlink(output.c_str());
    if (quarantine) ::unlink(quarantine->c_str());
    auto outcome = run_in_child<RunReport>([&] {
        RunReport r;
        double start = now_seconds();
        double cpu_start = cpu_seconds();
        auto result = salvage_file(input, output, quarantine, options);
        r.cpu_seconds = cpu_seconds() - cpu_start;
        r.seconds = now_seconds() - start;
        r.ok = result.ok();
        if (r.ok) {
            r.stats = result.value();
        } else {
            std::snprintf(r.error, sizeof r.error, "%s", result.error().text().c_str());
        }
        return r;
    });
    if (!outcome.report.ok) die(input + ": salvage_file failed: " + outcome.report.error);
    *last = outcome.report;
    return {outcome.report.seconds, outcome.report.cpu_seconds, outcome.peak_resident};
}

Sample run_cp(const std::string& input, const std::string& output) {
    ::unlink(output.c_str());
    std::vector<char*> argv = {const_cast<char*>("cp"), const_cast<char*>(input.c_str()),
                               const_cast<char*>(output.c_str()), nullptr};
    pid_t pid = 0;
    double start = now_seconds();
    if (::posix_spawnp(&pid, "cp", nullptr, nullptr, argv.data(), environ) != 0) die("cannot start cp");
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    double seconds = now_seconds() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("cp failed");
    auto cpu = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
    return {seconds, cpu(usage.ru_utime) + cpu(usage.ru_stime), static_cast<std::size_t>(usage.ru_maxrss) * 1024};
}

double median_of(const std::vector<Sample>& samples, double Sample::*field) {
    std::vector<double> v;
    for (const Sample& s : samples) v.push_back(s.*field);
    return median(v);
}

double median_peak(const std::vector<Sample>& samples) {
    std::vector<double> v;
    for (const Sample& s : samples) v.push_back(static_cast<double>(s.peak_resident));
    return median(v);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args = Arguments::parse(argc, argv, kUsage);
    std::string out_dir = args.out_dir;
    if (out_dir.empty()) {
        const std::string& first = args.files.front();
        auto slash = first.rfind('/');
        out_dir = (slash == std::string::npos ? std::string(".") : first.substr(0, slash)) + "/out";
    }
    ::mkdir(out_dir.c_str(), 0777);

    SalvageOptions options;
    if (args.delimiter >= 0) options.delimiter = static_cast<std::uint8_t>(args.delimiter);
    if (args.columns >= 0) options.expected_columns = static_cast<std::size_t>(args.columns);

    if (!args.json) {
        std::printf("file_bench on %s, %d timed runs after a warm-up, quarantine file %s, output in %s\n",
                    cpu_model().c_str(), args.runs, args.quarantine ? "on" : "off", out_dir.c_str());
    }
    bool first = true;
    if (args.json) std::printf("[");
    for (const std::string& input : args.files) {
        std::size_t size = file_size(input);
        double dsize = static_cast<double>(size);
        std::string name = base_name(input);
        std::string output = out_dir + "/" + name + ".clean.csv";
        std::optional<std::string> quarantine;
        if (args.quarantine) quarantine = out_dir + "/" + name + ".quarantine.csv";
        std::string copy = out_dir + "/" + name + ".cp.csv";

        warm_page_cache(input);
        RunReport last;
        run_salvage(input, output, quarantine, options, &last);
        run_cp(input, copy);
        std::vector<Sample> ours, cps;
        for (int i = 0; i < args.runs; ++i) {
            ours.push_back(run_salvage(input, output, quarantine, options, &last));
            cps.push_back(run_cp(input, copy));
        }
        std::size_t output_size = file_size(output);
        ::unlink(output.c_str());
        if (quarantine) ::unlink(quarantine->c_str());
        ::unlink(copy.c_str());

        double our_s = median_of(ours, &Sample::seconds);
        double cp_s = median_of(cps, &Sample::seconds);
        double our_cpu = median_of(ours, &Sample::cpu_seconds);
        double cp_cpu = median_of(cps, &Sample::cpu_seconds);
        double our_peak = median_peak(ours);
        double cp_peak = median_peak(cps);
        const SalvageStats& st = last.stats;
        if (args.json) {
            std::printf(
                "%s{\"file\":\"%s\",\"bytes\":%zu,\"output_bytes\":%zu,\"seconds\":%.6f,\"gbps\":%.4f,"
                "\"cpu_seconds\":%.6f,\"peak_rss_bytes\":%.0f,\"peak_ratio\":%.4f,\"cp_seconds\":%.6f,"
                "\"cp_gbps\":%.4f,\"cp_cpu_seconds\":%.6f,"
                "\"cp_peak_rss_bytes\":%.0f,\"time_ratio_to_cp\":%.4f,\"delimiter\":%u,\"columns\":%zu,"
                "\"total_rows\":%zu,\"salvaged_rows\":%zu,\"repaired_rows\":%zu,\"quarantined_rows\":%zu}",
                first ? "" : ",", name.c_str(), size, output_size, our_s, dsize / our_s / 1e9, our_cpu, our_peak,
                our_peak / dsize, cp_s, dsize / cp_s / 1e9, cp_cpu, cp_peak, our_s / cp_s,
                static_cast<unsigned>(st.detected_delimiter), st.inferred_columns, st.total_rows, st.salvaged_rows,
                st.repaired_rows, st.quarantined_rows);
        } else {
            std::printf("\n%s  %.1f MB -> %.1f MB\n", name.c_str(), dsize / 1e6, static_cast<double>(output_size) / 1e6);
            std::printf("  salvage_file  median %.4f s  %6.2f GB/s  (CPU time %.4f s)  peak RSS %7.1f MB = %.2fx input\n",
                        our_s, dsize / our_s / 1e9, our_cpu, our_peak / 1e6, our_peak / dsize);
            std::printf("  cp            median %.4f s  %6.2f GB/s  (CPU time %.4f s)  peak RSS %7.1f MB\n", cp_s,
                        dsize / cp_s / 1e9, cp_cpu, cp_peak / 1e6);
            std::printf("  salvage_file takes %.2fx the time of cp\n", our_s / cp_s);
            std::printf("  delimiter '%s', %zu columns; records %zu: kept %zu (repaired %zu), quarantined %zu\n",
                        delimiter_text(st.detected_delimiter).c_str(), st.inferred_columns, st.total_rows,
                        st.salvaged_rows, st.repaired_rows, st.quarantined_rows);
        }
        first = false;
    }
    if (args.json) std::printf("]\n");
    return 0;
}

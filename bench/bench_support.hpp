// Helpers shared by the C++ benchmarks: loading a file, timing, memory
// readings and running one measurement in a child process.
//
// Memory is measured in a forked child so that every reading starts from the
// same state: a high-water mark reset to the resident set at the start and an
// allocator that holds no blocks freed by an earlier run. The child sends its
// readings back through a pipe.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

namespace quillon::bench {

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "error: %s\n", what.c_str());
    std::exit(2);
}

inline std::string load_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die(path + ": " + std::strerror(errno));
    struct stat st{};
    if (::fstat(fd, &st) != 0) die(path + ": " + std::strerror(errno));
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die(path + ": short read");
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return data;
}

inline std::size_t file_size(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) die(path + ": " + std::strerror(errno));
    return static_cast<std::size_t>(st.st_size);
}

// Reads the file once so that later runs find it in the page cache.
inline void warm_page_cache(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die(path + ": " + std::strerror(errno));
    std::vector<char> block(1 << 20);
    while (::read(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
}

inline double now_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// CPU time of this process. On a shared machine it grows only while the
// process runs, so it is a steadier figure than wall time under load.
inline double cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// Resident set size now, from /proc/self/statm.
inline std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t total_pages = 0;
    std::size_t resident_pages = 0;
    statm >> total_pages >> resident_pages;
    return resident_pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// The process's high-water mark of resident memory.
inline std::size_t peak_resident_bytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

inline std::string cpu_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto colon = line.find(':');
            if (colon != std::string::npos) return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "unknown CPU";
}

template <typename Report>
struct ChildOutcome {
    Report report{};
    std::size_t peak_resident = 0;  // the child's ru_maxrss, in bytes
};

// Runs `work` in a forked child and returns the Report it produced together
// with the child's peak resident memory.
template <typename Report, typename Work>
ChildOutcome<Report> run_in_child(Work&& work) {
    static_assert(std::is_trivially_copyable_v<Report>);
    int fds[2];
    if (::pipe(fds) != 0) die(std::string("pipe: ") + std::strerror(errno));
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) die(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::close(fds[0]);
        // A forked child starts with its parent's high-water mark; writing 5
        // to clear_refs resets it (Linux 4.0 and later).
        std::ofstream("/proc/self/clear_refs") << "5";
        Report report = work();
        const char* bytes = reinterpret_cast<const char*>(&report);
        std::size_t done = 0;
        while (done < sizeof report) {
            ssize_t n = ::write(fds[1], bytes + done, sizeof report - done);
            if (n <= 0) ::_exit(3);
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildOutcome<Report> outcome;
    char* bytes = reinterpret_cast<char*>(&outcome.report);
    std::size_t done = 0;
    while (done < sizeof outcome.report) {
        ssize_t n = ::read(fds[0], bytes + done, sizeof outcome.report - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) die("benchmark child killed by signal " + std::to_string(WTERMSIG(status)));
    if (done != sizeof outcome.report || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        die("benchmark child failed with exit status " + std::to_string(WEXITSTATUS(status)));
    }
    outcome.peak_resident = static_cast<std::size_t>(usage.ru_maxrss) * 1024;
    return outcome;
}

// Reads "--name value" style options; positional arguments are the files.
struct Arguments {
    std::vector<std::string> files;
    int runs = 5;
    bool json = false;
    bool quarantine = true;
    int delimiter = -1;          // -1: left open in the "open" run and taken from it
    long long columns = -1;      // -1: likewise
    std::string out_dir;

    static Arguments parse(int argc, char** argv, const char* usage) {
        Arguments a;
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) die(arg + " needs a value\n" + usage);
                return argv[++i];
            };
            if (arg == "--runs") {
                a.runs = std::max(1, std::atoi(value().c_str()));
            } else if (arg == "--json") {
                a.json = true;
            } else if (arg == "--no-quarantine") {
                a.quarantine = false;
            } else if (arg == "--delimiter") {
                std::string d = value();
                if (d.empty()) die("--delimiter needs one byte");
                bool tab = d == "\\t" || d == "tab";
                a.delimiter = tab ? '\t' : static_cast<unsigned char>(d[0]);
            } else if (arg == "--columns") {
                a.columns = std::atoll(value().c_str());
            } else if (arg == "--out") {
                a.out_dir = value();
            } else if (arg == "-h" || arg == "--help") {
                std::printf("%s", usage);
                std::exit(0);
            } else if (!arg.empty() && arg[0] == '-') {
                die("unknown option " + arg + "\n" + usage);
            } else {
                a.files.push_back(arg);
            }
        }
        if (a.files.empty()) die(std::string("no input file\n") + usage);
        return a;
    }
};

inline std::string base_name(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline std::string delimiter_text(char32_t d) {
    if (d == U'\t') return "\\t";
    if (d >= 0x20 && d < 0x7F) return std::string(1, static_cast<char>(d));
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(d));
    return buf;
}

}  // namespace quillon::bench

#include "pipeline/salvage_file.hpp"

#include <atomic>
#include <stdexcept>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "file_test_support.hpp"

namespace quillon {
namespace {

using testing::file_exists;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

const std::string kHeader = "line,reason,raw_content\n";
const std::string kFew = "Row has too few columns (expected 3)";
const std::string kExtra = "Row has extra columns (expected 3)";

// Six lines with the apostrophe as quote: a header, a short row, a long row,
// an empty line, a quoted field with a doubled quote, a last short row
// without a line break.
const std::string kWorkedInput = "h1,h2,h3\n1,2\n1,2,3,4,5\n\n'x''y',z,w\nlast,row";

SalvageOptions worked_options(bool repair) {
    SalvageOptions options;
    options.delimiter = ',';
    options.quote_char = '\'';
    options.expected_columns = 3;
    options.fill_ragged_rows = repair;
    options.merge_overflow = repair;
    return options;
}

// Input the engine keeps unchanged: three columns, comma, no quoting needed
// except where the rows below ask for it.
std::string clean_rows(std::size_t rows) {
    std::string s;
    for (std::size_t i = 0; i < rows; ++i) {
        s += "row" + std::to_string(i) + ",value " + std::to_string(i * 7) + ",end\n";
    }
    return s;
}

SalvageOptions clean_options() {
    SalvageOptions options;
    options.delimiter = ',';
    options.expected_columns = 3;
    return options;
}

void expect_stats(const SalvageStats& stats, char32_t delimiter, std::size_t total,
                  std::size_t salvaged, std::size_t repaired, std::size_t quarantined,
                  std::size_t columns) {
    EXPECT_EQ(stats.detected_delimiter, delimiter);
    EXPECT_EQ(stats.total_rows, total);
    EXPECT_EQ(stats.salvaged_rows, salvaged);
    EXPECT_EQ(stats.repaired_rows, repaired);
    EXPECT_EQ(stats.quarantined_rows, quarantined);
    EXPECT_EQ(stats.inferred_columns, columns);
}

std::vector<std::string> names_in(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SalvageFile, WritesRepairedRowsAndAnEmptyQuarantine) {
    TempDir dir;
    write_file(dir.file("in.csv"), kWorkedInput);
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), worked_options(true));
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    expect_stats(stats.value(), U',', 6, 6, 4, 0, 3);
    EXPECT_EQ(read_file(dir.file("out.csv")), "h1,h2,h3\n1,2,\n1,2,'3,4,5'\n,,\n'x''y',z,w\nlast,row,\n");
    EXPECT_EQ(read_file(dir.file("q.csv")), kHeader);
    EXPECT_EQ(read_file(dir.file("in.csv")), kWorkedInput);
}

TEST(SalvageFile, WritesQuarantinedRowsWithLineAndReason) {
    TempDir dir;
    write_file(dir.file("in.csv"), kWorkedInput);
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), worked_options(false));
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    expect_stats(stats.value(), U',', 6, 2, 0, 4, 3);
    EXPECT_EQ(read_file(dir.file("out.csv")), "h1,h2,h3\n'x''y',z,w\n");
    EXPECT_EQ(read_file(dir.file("q.csv")), kHeader + "2,\"" + kFew + "\",\"1,2\"\n" + "3,\"" + kExtra +
                                                "\",\"1,2,3,4,5\"\n" + "4,\"" + kFew + "\",\"\"\n" +
                                                "6,\"" + kFew + "\",\"last,row\"\n");
}

TEST(SalvageFile, WithoutQuarantinePathWritesOnlyTheOutput) {
    TempDir dir;
    write_file(dir.file("in.csv"), kWorkedInput);
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("in.csv"), dir.file("out.csv"), std::nullopt, worked_options(false));
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    EXPECT_EQ(stats.value().quarantined_rows, 4u);
    EXPECT_EQ(read_file(dir.file("out.csv")), "h1,h2,h3\n'x''y',z,w\n");
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"in.csv", "out.csv"}));
}

TEST(SalvageFile, EmptyInputGivesEmptyOutputAndOnlyTheHeader) {
    TempDir dir;
    write_file(dir.file("in.csv"), "");
    write_file(dir.file("out.csv"), "old output");
    write_file(dir.file("q.csv"), "old quarantine, longer than the header line");
    SalvageOptions options;
    options.delimiter = ';';
    options.expected_columns = 5;
    IoResult<SalvageStats> stats = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), options);
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    expect_stats(stats.value(), U',', 0, 0, 0, 0, 0);
    EXPECT_EQ(read_file(dir.file("out.csv")), "");
    EXPECT_EQ(read_file(dir.file("q.csv")), kHeader);
}

TEST(SalvageFile, WritesWithTheDetectedDelimiter) {
    TempDir dir;
    write_file(dir.file("in.csv"), "a;b;c\n1;2,5;3\n4;5;6\n7;8;9\n");
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("in.csv"), dir.file("out.csv"), std::nullopt, SalvageOptions{});
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    expect_stats(stats.value(), U';', 4, 4, 0, 0, 3);
    EXPECT_EQ(read_file(dir.file("out.csv")), "a;b;c\n1;2,5;3\n4;5;6\n7;8;9\n");
}

TEST(SalvageFile, KeepsAByteOrderMarkCharacterAtTheStartOfTheText) {
    // After the input's own mark, the text starts with U+FEFF: written bare,
    // it would read as a mark and vanish on the way back in.
    struct Case {
        const char* name;
        std::string input;
        std::uint8_t delimiter;
        std::uint8_t quote;
        std::string output;
    };
    const std::string mark = "\xEF\xBB\xBF";
    const Case cases[] = {
        {"before other fields", mark + mark + "a,b,c\n", ',', '"', "\"" + mark + "a\",b,c\n"},
        {"the only field", mark + mark + "a\nx\n", ',', '"', "\"" + mark + "a\"\nx\n"},
        {"two-byte delimiter", mark + mark + "a\xA7" "b\n", 0xA7, '\'', "'" + mark + "a'\xC2\xA7" "b\n"},
        {"not at the start", "a," + mark + "b\n", ',', '"', "a," + mark + "b\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in.csv"), c.input);
        SalvageOptions options;
        options.delimiter = c.delimiter;
        options.quote_char = c.quote;
        options.expected_columns = 0;
        IoResult<SalvageStats> first =
            salvage_file(dir.file("in.csv"), dir.file("out.csv"), std::nullopt, options);
        ASSERT_TRUE(first.ok()) << first.error().text();
        EXPECT_EQ(read_file(dir.file("out.csv")), c.output);
        // Read back, the clean file gives itself again. (Not with a delimiter
        // of 0x80 or above: it is written as two bytes and split at the second.)
        if (c.delimiter >= 0x80) continue;
        IoResult<SalvageStats> again =
            salvage_file(dir.file("out.csv"), dir.file("again.csv"), std::nullopt, options);
        ASSERT_TRUE(again.ok()) << again.error().text();
        EXPECT_EQ(read_file(dir.file("again.csv")), c.output);
    }
}

TEST(SalvageFile, TruncatesLongerExistingFiles) {
    TempDir dir;
    write_file(dir.file("in.csv"), "a,b,c\n");
    write_file(dir.file("out.csv"), std::string(100000, 'o'));
    write_file(dir.file("q.csv"), std::string(100000, 'q'));
    IoResult<SalvageStats> stats = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), clean_options());
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    EXPECT_EQ(read_file(dir.file("out.csv")), "a,b,c\n");
    EXPECT_EQ(read_file(dir.file("q.csv")), kHeader);
}

TEST(SalvageFile, OutputNamingTheInputReplacesIt) {
    TempDir dir;
    write_file(dir.file("data.csv"), kWorkedInput);
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("data.csv"), dir.file("data.csv"), std::nullopt, worked_options(true));
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    EXPECT_EQ(read_file(dir.file("data.csv")), "h1,h2,h3\n1,2,\n1,2,'3,4,5'\n,,\n'x''y',z,w\nlast,row,\n");
}

TEST(SalvageFile, QuarantineNamingTheInputReplacesIt) {
    TempDir dir;
    write_file(dir.file("data.csv"), kWorkedInput);
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("data.csv"), dir.file("out.csv"), dir.file("data.csv"), worked_options(true));
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    EXPECT_EQ(read_file(dir.file("data.csv")), kHeader);
}

TEST(SalvageFile, WritesLinesLongerThanTheBufferInOrder) {
    TempDir dir;
    const std::string wide(20000, 'w');
    std::string quoted = "\"";
    for (int i = 0; i < 6000; ++i) quoted += "q,";
    quoted += "\"";
    const std::string input = clean_rows(500) + wide + ",x,y\n" + clean_rows(3) + "a," + quoted + ",z\n" +
                              "b,c," + std::string(8186, 'e') + "\n" + "b,c," + std::string(8187, 'e') + "\n" +
                              clean_rows(400);
    write_file(dir.file("in.csv"), input);
    IoResult<SalvageStats> stats = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), clean_options());
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    expect_stats(stats.value(), U',', 907, 907, 0, 0, 3);
    EXPECT_EQ(read_file(dir.file("out.csv")), input);
}

TEST(SalvageFile, WritesLongQuarantineLinesInOrder) {
    TempDir dir;
    std::string input = "a,b,c\n";
    std::string expected = kHeader;
    for (int i = 0; i < 300; ++i) {
        const std::string field = std::string(static_cast<std::size_t>(i % 7 == 0 ? 9000 : 40), 'f');
        input += field + ",\"x\"\"y\"\n";
        expected += std::to_string(i + 2) + ",\"" + kFew + "\",\"" + field + ",x\"\"y\"\n";
    }
    write_file(dir.file("in.csv"), input);
    SalvageOptions options = clean_options();
    options.fill_ragged_rows = false;
    IoResult<SalvageStats> stats = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), options);
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    expect_stats(stats.value(), U',', 301, 1, 0, 300, 3);
    EXPECT_EQ(read_file(dir.file("out.csv")), "a,b,c\n");
    EXPECT_EQ(read_file(dir.file("q.csv")), expected);
}

// ---- Failures, step by step, and the files they leave behind. ----

enum class Input { kMissing, kDirectory, kSmall, kLarge };
enum class Target { kFresh, kExisting, kMissingDirectory, kDiskFull, kAbsent };
enum class After { kAbsent, kUnchanged, kComplete };

struct FailureCase {
    const char* name;
    Input input;
    Target output;
    Target quarantine;
    IoErrorKind kind;
    const char* text;
    After output_after;
    After quarantine_after;
};

constexpr const char* kOldContent = "content from before the call\n";

std::string target_path(const TempDir& dir, Target target, const char* name) {
    switch (target) {
        case Target::kMissingDirectory: return dir.file(std::string("missing/") + name);
        case Target::kDiskFull: return "/dev/full";
        default: return dir.file(name);
    }
}

TEST(SalvageFileFailure, StopsAtTheFailingStepAndLeavesFilesAsTheyWere) {
    const std::string not_found = "No such file or directory (os error 2)";
    const std::string disk_full = "No space left on device (os error 28)";
    const FailureCase cases[] = {
        {"1 open: missing input", Input::kMissing, Target::kFresh, Target::kFresh, IoErrorKind::kNotFound,
         not_found.c_str(), After::kAbsent, After::kAbsent},
        {"1 open: missing input, existing outputs", Input::kMissing, Target::kExisting, Target::kExisting,
         IoErrorKind::kNotFound, not_found.c_str(), After::kUnchanged, After::kUnchanged},
        {"2 read: directory as input", Input::kDirectory, Target::kExisting, Target::kExisting,
         IoErrorKind::kIsADirectory, "Is a directory (os error 21)", After::kUnchanged, After::kUnchanged},
        {"2 read: directory as input, fresh outputs", Input::kDirectory, Target::kFresh, Target::kFresh,
         IoErrorKind::kIsADirectory, "Is a directory (os error 21)", After::kAbsent, After::kAbsent},
        {"4 create output: missing directory", Input::kSmall, Target::kMissingDirectory, Target::kExisting,
         IoErrorKind::kNotFound, not_found.c_str(), After::kAbsent, After::kUnchanged},
        {"4 create output: missing directory, no quarantine", Input::kSmall, Target::kMissingDirectory,
         Target::kFresh, IoErrorKind::kNotFound, not_found.c_str(), After::kAbsent, After::kAbsent},
        {"5 write a row: disk full", Input::kLarge, Target::kDiskFull, Target::kExisting, IoErrorKind::kOther,
         disk_full.c_str(), After::kAbsent, After::kUnchanged},
        {"6 flush output: disk full", Input::kSmall, Target::kDiskFull, Target::kExisting, IoErrorKind::kOther,
         disk_full.c_str(), After::kAbsent, After::kUnchanged},
        {"6 flush output: disk full, fresh quarantine", Input::kSmall, Target::kDiskFull, Target::kFresh,
         IoErrorKind::kOther, disk_full.c_str(), After::kAbsent, After::kAbsent},
        {"7.1 create quarantine: missing directory", Input::kLarge, Target::kExisting,
         Target::kMissingDirectory, IoErrorKind::kNotFound, not_found.c_str(), After::kComplete,
         After::kAbsent},
        {"7.4 flush quarantine: disk full", Input::kSmall, Target::kFresh, Target::kDiskFull,
         IoErrorKind::kOther, disk_full.c_str(), After::kComplete, After::kAbsent},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string input = c.input == Input::kLarge ? clean_rows(5000) : clean_rows(10);
        std::string input_path = dir.file("in.csv");
        if (c.input == Input::kDirectory) {
            input_path = dir.file("input_dir");
            std::filesystem::create_directory(input_path);
        } else if (c.input != Input::kMissing) {
            write_file(input_path, input);
        }
        const std::string output_path = target_path(dir, c.output, "out.csv");
        const std::string quarantine_path = target_path(dir, c.quarantine, "q.csv");
        if (c.output == Target::kExisting) write_file(output_path, kOldContent);
        if (c.quarantine == Target::kExisting) write_file(quarantine_path, kOldContent);

        IoResult<SalvageStats> stats = salvage_file(input_path, output_path, quarantine_path, clean_options());
        ASSERT_FALSE(stats.ok());
        EXPECT_EQ(stats.error().kind, c.kind);
        EXPECT_EQ(stats.error().text(), c.text);

        auto check = [&](const std::string& path, Target target, After after) {
            if (target == Target::kDiskFull) return;
            SCOPED_TRACE(path);
            switch (after) {
                case After::kAbsent: EXPECT_FALSE(file_exists(path)); break;
                case After::kUnchanged: EXPECT_EQ(read_file(path), kOldContent); break;
                case After::kComplete: EXPECT_EQ(read_file(path), input); break;
            }
        };
        check(output_path, c.output, c.output_after);
        check(quarantine_path, c.quarantine, c.quarantine_after);
        if (c.input != Input::kMissing && c.input != Input::kDirectory) {
            EXPECT_EQ(read_file(input_path), input);
        }
    }
}

TEST(SalvageFileFailure, UnreadableInputCreatesNothing) {
    if (::geteuid() == 0) GTEST_SKIP() << "the superuser reads every file";
    TempDir dir;
    write_file(dir.file("in.csv"), "a,b,c\n");
    ::chmod(dir.file("in.csv").c_str(), 0);
    IoResult<SalvageStats> stats = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), clean_options());
    ASSERT_FALSE(stats.ok());
    EXPECT_EQ(stats.error().kind, IoErrorKind::kPermissionDenied);
    EXPECT_EQ(stats.error().text(), "Permission denied (os error 13)");
    EXPECT_FALSE(file_exists(dir.file("out.csv")));
    EXPECT_FALSE(file_exists(dir.file("q.csv")));
}

// Caps this process's address space while it lives. A kernel that grants
// any request (vm.overcommit_memory=1) would hand out memory far beyond
// what the machine has, and the process would be killed once it filled it;
// under the cap such a request fails whatever the overcommit setting.
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_AS, &saved_);
        rlimit limit = saved_;
        if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > bytes) limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_AS, &limit);
    }
    AddressSpaceLimit(const AddressSpaceLimit&) = delete;
    AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;
    ~AddressSpaceLimit() { ::setrlimit(RLIMIT_AS, &saved_); }

private:
    rlimit saved_{};
};

TEST(SalvageFileFailure, InputTooLargeForMemoryIsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator stops the process on an impossible allocation";
#endif
    TempDir dir;
    const std::string input = dir.file("huge.csv");
    write_file(input, "");
    // A sparse file far larger than memory and swap, and than the cap.
    if (::truncate(input.c_str(), off_t{1} << 43) != 0) GTEST_SKIP() << "no sparse 8 TiB file here";
    write_file(dir.file("q.csv"), kOldContent);
    const AddressSpaceLimit cap(rlim_t{1} << 40);
    IoResult<SalvageStats> stats = salvage_file(input, dir.file("out.csv"), dir.file("q.csv"), clean_options());
    ASSERT_FALSE(stats.ok());
    EXPECT_EQ(stats.error().kind, IoErrorKind::kOutOfMemory);
    EXPECT_EQ(stats.error().os_code, 0);
    EXPECT_EQ(stats.error().text(), "out of memory");
    EXPECT_FALSE(file_exists(dir.file("out.csv")));
    EXPECT_EQ(read_file(dir.file("q.csv")), kOldContent);
}

// Caps the size of every file this process writes, so that a write fails
// part way through like on a full disk, but leaves a file to look at.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit saved_{};
    sighandler_t old_handler_;
};

TEST(SalvageFileFailure, OutputWriteErrorKeepsTheBytesWrittenSoFar) {
    TempDir dir;
    const std::string input = clean_rows(2000);
    ASSERT_GT(input.size(), 30000u);
    write_file(dir.file("in.csv"), input);
    write_file(dir.file("q.csv"), kOldContent);
    IoResult<SalvageStats> stats = IoError{};
    {
        const FileSizeLimit limit(20001);
        stats = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), clean_options());
    }
    ASSERT_FALSE(stats.ok());
    EXPECT_EQ(stats.error().text(), "File too large (os error 27)");
    // Cut inside a row: the limit does not fall on a line end.
    EXPECT_NE(input[20000], '\n');
    EXPECT_EQ(read_file(dir.file("out.csv")), input.substr(0, 20001));
    EXPECT_EQ(read_file(dir.file("q.csv")), kOldContent);
}

TEST(SalvageFileFailure, QuarantineWriteErrorLeavesCompleteOutput) {
    TempDir dir;
    std::string input = "a,b,c\n";
    std::string quarantine = kHeader;
    for (int i = 0; i < 1000; ++i) {
        input += "short" + std::to_string(i) + ",row\n";
        quarantine += std::to_string(i + 2) + ",\"" + kFew + "\",\"short" + std::to_string(i) + ",row\"\n";
    }
    ASSERT_GT(quarantine.size(), 30000u);
    write_file(dir.file("in.csv"), input);
    SalvageOptions options = clean_options();
    options.fill_ragged_rows = false;
    IoResult<SalvageStats> stats = IoError{};
    {
        const FileSizeLimit limit(12345);
        stats = salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), options);
    }
    ASSERT_FALSE(stats.ok());
    EXPECT_EQ(stats.error().text(), "File too large (os error 27)");
    EXPECT_EQ(read_file(dir.file("out.csv")), "a,b,c\n");
    EXPECT_EQ(read_file(dir.file("q.csv")), quarantine.substr(0, 12345));
}

// ---- The quarantine must not be the output file. ----

TEST(SalvageFileSameFile, RefusesBeforeAnyFileIsOpened) {
    struct Case {
        const char* name;
        bool output_exists;
        std::string quarantine;  // relative to the directory
    };
    const Case cases[] = {
        {"same text, no file yet", false, "out.csv"},
        {"same text, existing file", true, "out.csv"},
        {"another spelling", true, "./out.csv"},
        {"another spelling, no file yet", false, "./out.csv"},
        {"through another directory, no file yet", false, "sub/../out.csv"},
        {"a hard link", true, "hard.csv"},
        {"a symbolic link", true, "soft.csv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string output = dir.file("out.csv");
        std::filesystem::create_directory(dir.file("sub"));
        if (c.output_exists) {
            write_file(output, kOldContent);
            std::filesystem::create_hard_link(output, dir.file("hard.csv"));
            std::filesystem::create_symlink(output, dir.file("soft.csv"));
        }
        // The input is missing: refusing first means it is never looked at.
        IoResult<SalvageStats> stats = salvage_file(dir.file("missing.csv"), output,
                                                    dir.path().string() + "/" + c.quarantine, clean_options());
        ASSERT_FALSE(stats.ok());
        EXPECT_EQ(stats.error().kind, IoErrorKind::kInvalidInput);
        EXPECT_EQ(stats.error().os_code, 0);
        EXPECT_EQ(stats.error().text(), "quarantine path names the output file");
        if (c.output_exists) {
            EXPECT_EQ(read_file(output), kOldContent);
        } else {
            EXPECT_FALSE(file_exists(output));
        }
    }
}

TEST(SalvageFileSameFile, RefusesALinkToTheOutputMadeByTheCall) {
    // A dangling link cannot be resolved before the output exists; it is
    // caught after the output is written, before anything truncates it.
    TempDir dir;
    write_file(dir.file("in.csv"), "a,b,c\n");
    std::filesystem::create_symlink(dir.file("out.csv"), dir.file("link.csv"));
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("link.csv"), clean_options());
    ASSERT_FALSE(stats.ok());
    EXPECT_EQ(stats.error().kind, IoErrorKind::kInvalidInput);
    EXPECT_EQ(stats.error().text(), "quarantine path names the output file");
    EXPECT_EQ(read_file(dir.file("out.csv")), "a,b,c\n");
}

TEST(SalvageFileSameFile, AcceptsASharedDeviceOrFifo) {
    // A second open of these truncates nothing: the output and the
    // quarantine follow each other.
    TempDir dir;
    write_file(dir.file("in.csv"), "a,b,c\nshort\n");
    std::filesystem::create_symlink("/dev/null", dir.file("null-link"));
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Holds both ends, so that the opens of the call do not wait for a reader.
    const UniqueFd held(::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(held.valid());
    SalvageOptions options = clean_options();
    options.fill_ragged_rows = false;
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/null", "/dev/null"},
        {"/dev/null", dir.file("null-link")},
        {fifo, fifo},
    };
    for (const auto& [output, quarantine] : cases) {
        SCOPED_TRACE(quarantine);
        IoResult<SalvageStats> stats = salvage_file(dir.file("in.csv"), output, quarantine, options);
        ASSERT_TRUE(stats.ok()) << stats.error().text();
        EXPECT_EQ(stats.value().quarantined_rows, 1u);
    }
    const std::string expected = "a,b,c\n" + kHeader + "2,\"" + kFew + "\",\"short\"\n";
    std::string piped(expected.size() + 1, '\0');
    ASSERT_EQ(::read(held.get(), piped.data(), piped.size()), static_cast<ssize_t>(expected.size()));
    EXPECT_EQ(piped.substr(0, expected.size()), expected);
}

TEST(SalvageFileSameFile, AcceptsDistinctFiles) {
    TempDir dir;
    write_file(dir.file("in.csv"), "a,b,c\n");
    write_file(dir.file("out.csv"), kOldContent);
    write_file(dir.file("q.csv"), kOldContent);
    IoResult<SalvageStats> stats =
        salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), clean_options());
    ASSERT_TRUE(stats.ok()) << stats.error().text();
    EXPECT_EQ(read_file(dir.file("out.csv")), "a,b,c\n");
    EXPECT_EQ(read_file(dir.file("q.csv")), kHeader);
}

// ---- Reading the input. ----

TEST(ReadInputFile, ReadsAnOrdinaryFileIntoItsExactReservation) {
    TempDir dir;
    const std::string sizes_text[] = {"", "x", std::string(32, 'a'), std::string(100000, 'b') + std::string("\xFF\0z", 3)};
    for (const std::string& content : sizes_text) {
        SCOPED_TRACE(content.size());
        write_file(dir.file("in.csv"), content);
        IoResult<InputFile> file = read_input_file(dir.file("in.csv"));
        ASSERT_TRUE(file.ok()) << file.error().text();
        const GrowableBuffer<char>& buffer = file.value().content;
        EXPECT_EQ(std::string(buffer.data(), buffer.size()), content);
        EXPECT_EQ(buffer.capacity(), content.size());
        EXPECT_TRUE(file.value().fd.valid());
        EXPECT_EQ(::fcntl(file.value().fd.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
        EXPECT_NE(::fcntl(file.value().fd.get(), F_GETFD) & FD_CLOEXEC, 0);
    }
}

TEST(ReadInputFile, ReadsAFileOfUnknownSizeToTheEnd) {
    IoResult<InputFile> file = read_input_file("/proc/self/status");
    ASSERT_TRUE(file.ok()) << file.error().text();
    const GrowableBuffer<char>& buffer = file.value().content;
    const std::string text(buffer.data(), buffer.size());
    EXPECT_EQ(text.rfind("Name:", 0), 0u);
    EXPECT_NE(text.find("\nPid:"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

void ignore_signal(int) {}

// Catches SIGUSR1 with a handler that does nothing and without SA_RESTART,
// so that the signal makes a blocked system call fail with EINTR.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = ignore_signal;
        if (::sigaction(SIGUSR1, &action, &saved_) != 0) throw std::runtime_error("sigaction failed");
    }
    InterruptingSignal(const InterruptingSignal&) = delete;
    InterruptingSignal& operator=(const InterruptingSignal&) = delete;
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &saved_, nullptr); }

private:
    struct sigaction saved_ {};
};

TEST(ReadInputFile, ReadsAPipeAndRepeatsInterruptedReads) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const InterruptingSignal interrupting;

    std::string content;
    for (int i = 0; i < 30000; ++i) content += "line " + std::to_string(i) + "\n";
    const pthread_t reader = ::pthread_self();
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t r = ::write(fd, content.data() + done, content.size() - done);
            if (r <= 0) break;
            done += static_cast<std::size_t>(r);
            if (done < 70000) ::pthread_kill(reader, SIGUSR1);
        }
        ::close(fd);
    });
    IoResult<InputFile> file = read_input_file(fifo);
    writer.join();
    ASSERT_TRUE(file.ok()) << file.error().text();
    const GrowableBuffer<char>& buffer = file.value().content;
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), content);
}

// Counts the interruptions it is asked about and gives up at the third.
std::atomic<int> interruptions{0};
bool give_up_at_third() { return ++interruptions >= 3; }

TEST(ReadInputFile, GivesUpAnInterruptedCallWhenAsked) {
    // Opening a FIFO without a writer blocks; each signal interrupts the
    // open, and the check decides whether it is repeated.
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const InterruptingSignal interrupting;
    interruptions = 0;
    const pthread_t reader = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::pthread_kill(reader, SIGUSR1);
        }
    });
    IoResult<InputFile> file = read_input_file(fifo, give_up_at_third);
    done = true;
    signaller.join();
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(file.error().kind, IoErrorKind::kInterrupted);
    EXPECT_EQ(file.error().os_code, EINTR);
    EXPECT_EQ(interruptions.load(), 3);
}

TEST(ReadInputFile, ReportsWhyTheFileCannotBeRead) {
    TempDir dir;
    write_file(dir.file("plain"), "x");
    struct Case {
        const char* name;
        std::string path;
        IoErrorKind kind;
        const char* text;
    };
    const Case cases[] = {
        {"missing", dir.file("missing.csv"), IoErrorKind::kNotFound, "No such file or directory (os error 2)"},
        {"a directory", dir.path().string(), IoErrorKind::kIsADirectory, "Is a directory (os error 21)"},
        {"below a regular file", dir.file("plain/x.csv"), IoErrorKind::kNotADirectory,
         "Not a directory (os error 20)"},
        {"NUL in the path", dir.file("plain") + std::string(1, '\0'), IoErrorKind::kInvalidInput,
         "file name contained an unexpected NUL byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IoResult<InputFile> file = read_input_file(c.path);
        ASSERT_FALSE(file.ok());
        EXPECT_EQ(file.error().kind, c.kind);
        EXPECT_EQ(file.error().text(), c.text);
    }
}

}  // namespace
}  // namespace quillon

#include "pipeline/io_error.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "file_test_support.hpp"

namespace quillon {
namespace {

using testing::TempDir;

// The error of a failed call: errno as the system sets it.
int failure(long result) { return result < 0 ? errno : 0; }

struct FailedCall {
    const char* what;
    int (*call)(const TempDir& dir);
    IoErrorKind kind;
};

// The failures a file tool meets, each provoked from the system rather than
// named by its code, with the kind the binding turns into the matching
// Python exception (FileNotFoundError, IsADirectoryError, ...).
TEST(IoErrorKindFromErrno, KindsOfTheFailuresFileCallsMeet) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("folder"));
    { std::ofstream(dir.file("plain")) << "x"; }
    const FailedCall cases[] = {
        {"a missing file", [](const TempDir& d) { return failure(::open(d.file("missing").c_str(), O_RDONLY)); },
         IoErrorKind::kNotFound},
        {"a folder written", [](const TempDir& d) { return failure(::open(d.file("folder").c_str(), O_WRONLY)); },
         IoErrorKind::kIsADirectory},
        {"a path through a file",
         [](const TempDir& d) { return failure(::open(d.file("plain/x").c_str(), O_RDONLY)); },
         IoErrorKind::kNotADirectory},
        {"a file created that exists",
         [](const TempDir& d) { return failure(::open(d.file("plain").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)); },
         IoErrorKind::kAlreadyExists},
        {"an empty pipe read without blocking",
         [](const TempDir&) {
             int fds[2];
             if (::pipe2(fds, O_NONBLOCK) != 0) return 0;
             char byte;
             const int code = failure(::read(fds[0], &byte, 1));
             ::close(fds[0]);
             ::close(fds[1]);
             return code;
         },
         IoErrorKind::kWouldBlock},
        {"a pipe written without a reader",
         [](const TempDir&) {
             int fds[2];
             if (::pipe(fds) != 0) return 0;
             ::close(fds[0]);
             // Blocked, SIGPIPE stays pending instead of ending the process;
             // it is taken back before the mask is restored.
             sigset_t pipe_signal, saved;
             sigemptyset(&pipe_signal);
             sigaddset(&pipe_signal, SIGPIPE);
             ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
             const int code = failure(::write(fds[1], "x", 1));
             const timespec now{};
             ::sigtimedwait(&pipe_signal, nullptr, &now);
             ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
             ::close(fds[1]);
             return code;
         },
         IoErrorKind::kBrokenPipe},
        {"a closed descriptor", [](const TempDir&) { return failure(::write(-1, "x", 1)); }, IoErrorKind::kOther},
        {"a pipe sought", [](const TempDir&) {
             int fds[2];
             if (::pipe(fds) != 0) return 0;
             const int code = failure(::lseek(fds[0], 0, SEEK_SET));
             ::close(fds[0]);
             ::close(fds[1]);
             return code;
         },
         IoErrorKind::kOther},
    };
    for (const FailedCall& c : cases) {
        SCOPED_TRACE(c.what);
        const int code = c.call(dir);
        ASSERT_NE(code, 0) << "the call did not fail";
        EXPECT_EQ(io_error_kind_from_errno(code), c.kind);
        const IoError error = IoError::from_errno(code);
        EXPECT_EQ(error.kind, c.kind);
        EXPECT_EQ(error.os_code, code);
    }
    // A code no system uses.
    EXPECT_EQ(io_error_kind_from_errno(4242), IoErrorKind::kOther);
}

TEST(IoErrorKindDescription, NamesEachKindApart) {
    // An error without a code or message reads as its kind's description:
    // no two kinds may read alike, and a kind left out of the list would
    // read as "other error".
    std::set<std::string> seen;
    for (int k = static_cast<int>(IoErrorKind::kNotFound); k <= static_cast<int>(IoErrorKind::kOther); ++k) {
        const auto kind = static_cast<IoErrorKind>(k);
        const std::string description = io_error_kind_description(kind);
        EXPECT_FALSE(description.empty()) << k;
        EXPECT_TRUE(seen.insert(description).second) << k << " repeats " << description;
        EXPECT_EQ((IoError{kind, 0, "", ""}.text()), description);
    }
}

struct TextCase {
    IoError error;
    const char* text;
};

TEST(IoErrorText, FormsTheTextFromCodeMessageOrKind) {
    const TextCase cases[] = {
        {IoError::from_errno(ENOENT), "No such file or directory (os error 2)"},
        {IoError::from_errno(EACCES), "Permission denied (os error 13)"},
        {IoError::from_errno(EISDIR), "Is a directory (os error 21)"},
        {IoError::from_errno(ENOSPC), "No space left on device (os error 28)"},
        {IoError::from_errno(4242), "Unknown error 4242 (os error 4242)"},
        // A code wins over a message.
        {IoError{IoErrorKind::kOther, EPIPE, "ignored", ""}, "Broken pipe (os error 32)"},
        {IoError::with_message(IoErrorKind::kWriteZero, "failed to write whole buffer"),
         "failed to write whole buffer"},
        {IoError::with_message(IoErrorKind::kInvalidInput, "quarantine path names the output file"),
         "quarantine path names the output file"},
        {IoError{IoErrorKind::kOutOfMemory, 0, "", ""}, "out of memory"},
        {IoError{IoErrorKind::kOther, 0, "", ""}, "other error"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(c.error.text(), c.text);
}

TEST(IoErrorText, IsSafeFromManyThreads) {
    // Unknown codes make a C library format the message per call, which is
    // where a shared static buffer would mix up the threads' texts.
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            const int code = 5000 + t;
            const std::string expected = "Unknown error " + std::to_string(code) + " (os error " +
                                         std::to_string(code) + ")";
            for (int i = 0; i < 2000; ++i) {
                if (IoError::from_errno(code).text() != expected) ++mismatches[static_cast<std::size_t>(t)];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int count : mismatches) EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace quillon

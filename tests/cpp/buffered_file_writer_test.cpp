#include "pipeline/buffered_file_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <deque>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_test_support.hpp"

namespace quillon {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

constexpr std::size_t kCap = BufferedFileWriter::kCapacity;

// What the injected write call does on one call.
struct Step {
    enum Action { kPass, kShort, kInterrupt, kZero, kFail, kThrow };
    Action action;
    std::size_t limit = 0;  // kShort: at most this many bytes
    int error = 0;          // kFail: errno
};

Step pass() { return {Step::kPass}; }
Step short_write(std::size_t n) { return {Step::kShort, n}; }
Step interrupt() { return {Step::kInterrupt}; }
Step zero() { return {Step::kZero}; }
Step fail(int error) { return {Step::kFail, 0, error}; }
Step throws() { return {Step::kThrow}; }

// The write seam: follows a script, then passes every call through to the
// real file, so the file shows exactly which bytes reached it.
struct ScriptedWrite {
    static inline std::deque<Step> script;
    static inline std::vector<std::size_t> requested;

    static ssize_t call(int fd, const void* data, std::size_t size) {
        requested.push_back(size);
        if (script.empty()) return ::write(fd, data, size);
        const Step step = script.front();
        script.pop_front();
        switch (step.action) {
            case Step::kPass: return ::write(fd, data, size);
            case Step::kShort: return ::write(fd, data, size < step.limit ? size : step.limit);
            case Step::kInterrupt: errno = EINTR; return -1;
            case Step::kZero: return 0;
            case Step::kFail: errno = step.error; return -1;
            case Step::kThrow: throw std::runtime_error("write seam");
        }
        return -1;
    }
};

// Distinct bytes, so that a misplaced or repeated chunk shows in the file.
std::string pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('!' + (i * 7 + seed * 13) % 90);
    return s;
}

class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ScriptedWrite::script.clear();
        ScriptedWrite::requested.clear();
        path_ = dir_.file("out.bin");
    }

    BufferedFileWriter make_writer(InterruptCheck interrupt = nullptr) {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) throw std::runtime_error("open failed");
        return BufferedFileWriter(UniqueFd(fd), &ScriptedWrite::call, interrupt);
    }

    // Leaves exactly `held` bytes in the buffer without any write call.
    static void fill(BufferedFileWriter& writer, const std::string& bytes) {
        if (bytes.empty()) return;
        ASSERT_TRUE(writer.write_all(std::string_view(bytes).substr(0, bytes.size() - 1)).ok());
        ASSERT_TRUE(writer.write_all(std::string_view(bytes).substr(bytes.size() - 1)).ok());
        ASSERT_EQ(writer.buffered(), bytes.size());
        ASSERT_TRUE(ScriptedWrite::requested.empty());
    }

    std::string file() const { return read_file(path_).value(); }

    TempDir dir_;
    std::string path_;
};

struct ThresholdCase {
    std::size_t held;
    std::size_t n;
    std::vector<std::size_t> calls;  // sizes the file is asked to take
    std::size_t buffered_after;
};

TEST_F(WriterTest, WriteAllBuffersOrFlushesOrBypassesByTheFreeSpace) {
    const ThresholdCase cases[] = {
        {0, 0, {}, 0},
        {0, 10, {}, 10},
        {0, kCap - 1, {}, kCap - 1},
        {0, kCap, {kCap}, 0},
        {0, 3 * kCap + 5, {3 * kCap + 5}, 0},
        {8000, 191, {}, 8191},
        {8000, 192, {}, kCap},  // exactly the free space: appended
        {8000, 193, {8000}, 193},
        {10, kCap - 10, {}, kCap},
        {10, kCap - 9, {10}, kCap - 9},
        {10, kCap, {10, kCap}, 0},
        {100, 20000, {100, 20000}, 0},
        {kCap, 0, {}, kCap},
        {kCap, 1, {kCap}, 1},
    };
    for (const ThresholdCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "held " << c.held << ", n " << c.n);
        SetUp();
        const std::string before = pattern(c.held, 1);
        const std::string bytes = pattern(c.n, 2);
        {
            BufferedFileWriter writer = make_writer();
            fill(writer, before);
            ASSERT_TRUE(writer.write_all(bytes).ok());
            EXPECT_EQ(ScriptedWrite::requested, c.calls);
            EXPECT_EQ(writer.buffered(), c.buffered_after);
            ASSERT_TRUE(writer.flush().ok());
            EXPECT_EQ(writer.buffered(), 0u);
        }
        EXPECT_EQ(file(), before + bytes);
    }
}

struct FlushCase {
    const char* name;
    std::vector<Step> script;
    std::vector<std::size_t> calls;
    IoErrorKind kind;  // kOther with os_code 0: the flush succeeds
    int os_code;
    const char* text;
    std::size_t reached;  // bytes in the file after the flush
};

TEST_F(WriterTest, FlushKeepsWhatDidNotReachTheFileForTheNextFlush) {
    constexpr std::size_t n = 5000;
    const FlushCase cases[] = {
        {"short writes", {short_write(3), short_write(5), pass()}, {n, n - 3, n - 8},
         IoErrorKind::kOther, 0, nullptr, n},
        {"interrupted writes are repeated", {interrupt(), interrupt(), pass()}, {n, n, n},
         IoErrorKind::kOther, 0, nullptr, n},
        {"a write of 0 bytes", {short_write(100), zero()}, {n, n - 100}, IoErrorKind::kWriteZero, 0,
         "failed to write the buffered data", 100},
        {"disk full in the middle", {short_write(100), fail(ENOSPC)}, {n, n - 100},
         IoErrorKind::kOther, ENOSPC, "No space left on device (os error 28)", 100},
        {"error at once", {fail(EIO)}, {n}, IoErrorKind::kOther, EIO,
         "Input/output error (os error 5)", 0},
        {"mixed, then broken pipe", {short_write(10), interrupt(), short_write(20), fail(EPIPE)},
         {n, n - 10, n - 10, n - 30}, IoErrorKind::kBrokenPipe, EPIPE, "Broken pipe (os error 32)",
         30},
    };
    for (const FlushCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const std::string bytes = pattern(n, 3);
        BufferedFileWriter writer = make_writer();
        fill(writer, bytes);
        ScriptedWrite::script.assign(c.script.begin(), c.script.end());
        const IoStatus status = writer.flush();
        EXPECT_EQ(ScriptedWrite::requested, c.calls);
        if (c.text == nullptr) {
            EXPECT_TRUE(status.ok());
        } else {
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.error().kind, c.kind);
            EXPECT_EQ(status.error().os_code, c.os_code);
            EXPECT_EQ(status.error().text(), c.text);
        }
        EXPECT_EQ(file(), bytes.substr(0, c.reached));
        EXPECT_EQ(writer.buffered(), n - c.reached);

        // The next flush continues where this one stopped.
        ScriptedWrite::requested.clear();
        ASSERT_TRUE(writer.flush().ok());
        if (c.reached < n) {
            EXPECT_EQ(ScriptedWrite::requested, std::vector<std::size_t>{n - c.reached});
        } else {
            EXPECT_TRUE(ScriptedWrite::requested.empty());
        }
        EXPECT_EQ(file(), bytes);
        EXPECT_EQ(writer.buffered(), 0u);
    }
}

struct DirectCase {
    const char* name;
    std::vector<Step> script;
    std::vector<std::size_t> calls;
    IoErrorKind kind;
    int os_code;
    const char* text;  // nullptr: success
    std::size_t reached;
};

TEST_F(WriterTest, LongWritesGoStraightToTheFile) {
    constexpr std::size_t n = 20000;
    const DirectCase cases[] = {
        {"in one piece", {}, {n}, IoErrorKind::kOther, 0, nullptr, n},
        {"short and interrupted", {short_write(4000), interrupt(), short_write(1), pass()},
         {n, n - 4000, n - 4000, n - 4001}, IoErrorKind::kOther, 0, nullptr, n},
        {"a write of 0 bytes", {short_write(4000), zero()}, {n, n - 4000}, IoErrorKind::kWriteZero,
         0, "failed to write whole buffer", 4000},
        {"disk full", {short_write(7000), fail(ENOSPC)}, {n, n - 7000}, IoErrorKind::kOther, ENOSPC,
         "No space left on device (os error 28)", 7000},
        {"error at once", {fail(EIO)}, {n}, IoErrorKind::kOther, EIO,
         "Input/output error (os error 5)", 0},
    };
    for (const DirectCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const std::string bytes = pattern(n, 4);
        BufferedFileWriter writer = make_writer();
        ScriptedWrite::script.assign(c.script.begin(), c.script.end());
        const IoStatus status = writer.write_all(bytes);
        EXPECT_EQ(ScriptedWrite::requested, c.calls);
        if (c.text == nullptr) {
            EXPECT_TRUE(status.ok());
        } else {
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.error().kind, c.kind);
            EXPECT_EQ(status.error().os_code, c.os_code);
            EXPECT_EQ(status.error().text(), c.text);
        }
        EXPECT_EQ(writer.buffered(), 0u);
        EXPECT_EQ(file(), bytes.substr(0, c.reached));
    }
}

TEST_F(WriterTest, FailedFlushBeforeAppendTakesNoneOfTheNewBytes) {
    const std::string held = pattern(8000, 5);
    BufferedFileWriter writer = make_writer();
    fill(writer, held);
    ScriptedWrite::script = {short_write(300), fail(EIO)};
    const IoStatus status = writer.write_all(pattern(500, 6));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().os_code, EIO);
    EXPECT_EQ(writer.buffered(), 8000u - 300u);
    ASSERT_TRUE(writer.flush().ok());
    EXPECT_EQ(file(), held);
}

TEST_F(WriterTest, CloseMakesOneLastAttemptAndIgnoresItsFailure) {
    BufferedFileWriter writer = make_writer();
    fill(writer, pattern(50, 7));
    ScriptedWrite::script = {fail(ENOSPC)};
    writer.close();
    EXPECT_EQ(ScriptedWrite::requested, std::vector<std::size_t>{50});
    EXPECT_FALSE(writer.is_open());
    EXPECT_EQ(writer.buffered(), 0u);
    EXPECT_EQ(file(), "");
    writer.close();
    EXPECT_EQ(ScriptedWrite::requested.size(), 1u);
}

TEST_F(WriterTest, CloseWritesOutTheBuffer) {
    const std::string bytes = pattern(300, 8);
    BufferedFileWriter writer = make_writer();
    fill(writer, bytes);
    ScriptedWrite::script = {short_write(100), interrupt()};
    writer.close();
    EXPECT_EQ(ScriptedWrite::requested, (std::vector<std::size_t>{300, 200, 200}));
    EXPECT_EQ(file(), bytes);
}

TEST_F(WriterTest, CloseAfterFlushWritesNothing) {
    BufferedFileWriter writer = make_writer();
    fill(writer, pattern(70, 9));
    ASSERT_TRUE(writer.flush().ok());
    ScriptedWrite::requested.clear();
    writer.close();
    EXPECT_TRUE(ScriptedWrite::requested.empty());
}

TEST_F(WriterTest, DestructorClosesTheFile) {
    const std::string bytes = pattern(123, 10);
    int fd = -1;
    {
        BufferedFileWriter writer = make_writer();
        fd = writer.fd();
        fill(writer, bytes);
    }
    EXPECT_EQ(file(), bytes);
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(WriterTest, MovedWriterOwnsBufferAndFile) {
    const std::string bytes = pattern(40, 11);
    BufferedFileWriter first = make_writer();
    fill(first, bytes);
    BufferedFileWriter second = std::move(first);
    EXPECT_FALSE(first.is_open());
    first.close();
    EXPECT_EQ(file(), "");
    second.close();
    EXPECT_EQ(file(), bytes);
}

TEST_F(WriterTest, WriteLeftByAnExceptionSkipsTheLastWriteOut) {
    BufferedFileWriter writer = make_writer();
    fill(writer, pattern(8000, 12));
    ScriptedWrite::script = {throws()};
    EXPECT_THROW((void)writer.write_all(pattern(1000, 13)), std::runtime_error);
    writer.close();
    EXPECT_EQ(ScriptedWrite::requested.size(), 1u);
    EXPECT_FALSE(writer.is_open());
    EXPECT_EQ(file(), "");
}

// An interrupt check that counts its calls and answers as told.
struct CountingCheck {
    static inline int calls = 0;
    static inline bool answer = false;
    static bool call() {
        ++calls;
        return answer;
    }
};

struct InterruptCase {
    const char* name;
    bool direct;  // a long write that bypasses the buffer, else a flush
    bool give_up;
};

TEST_F(WriterTest, InterruptCheckDecidesBetweenRepeatAndGivingUpForGood) {
    const InterruptCase cases[] = {
        {"flush, repeated", false, false},
        {"flush, given up", false, true},
        {"direct, repeated", true, false},
        {"direct, given up", true, true},
    };
    for (const InterruptCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        CountingCheck::calls = 0;
        CountingCheck::answer = c.give_up;
        const std::size_t n = c.direct ? 3 * kCap : 5000;
        const std::string bytes = pattern(n, 14);
        BufferedFileWriter writer = make_writer(&CountingCheck::call);
        if (!c.direct) fill(writer, bytes);
        ScriptedWrite::script = {short_write(100), interrupt()};
        const IoStatus status = c.direct ? writer.write_all(bytes) : writer.flush();
        EXPECT_EQ(CountingCheck::calls, 1);
        if (c.give_up) {
            ASSERT_FALSE(status.ok());
            EXPECT_EQ(status.error().kind, IoErrorKind::kInterrupted);
            EXPECT_EQ(status.error().os_code, EINTR);
            EXPECT_EQ(ScriptedWrite::requested, (std::vector<std::size_t>{n, n - 100}));
        } else {
            EXPECT_TRUE(status.ok());
        }
        // After giving up, close neither writes (it could block again) nor
        // asks the check once more.
        const std::size_t requests = ScriptedWrite::requested.size();
        writer.close();
        EXPECT_EQ(ScriptedWrite::requested.size(), requests);
        EXPECT_EQ(CountingCheck::calls, 1);
        EXPECT_FALSE(writer.is_open());
        EXPECT_EQ(file(), bytes.substr(0, c.give_up ? 100 : n));
    }
}

TEST_F(WriterTest, ClosedWriterRefusesWrites) {
    BufferedFileWriter writer = make_writer();
    writer.close();
    const IoStatus status = writer.write_all("x");
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().os_code, EBADF);
    EXPECT_TRUE(writer.flush().ok());
}

TEST_F(WriterTest, GeneratedWritesReachTheFileInOrder) {
    std::mt19937 rng(20240501);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        SetUp();
        std::string expected;
        {
            BufferedFileWriter writer = make_writer();
            const int writes = static_cast<int>(rng() % 60);
            for (int w = 0; w < writes; ++w) {
                const std::size_t roll = rng() % 10;
                const std::size_t n = roll == 0 ? kCap + rng() % 20000 : rng() % 3000;
                for (int s = 0; s < 3; ++s) {
                    switch (rng() % 4) {
                        case 0: ScriptedWrite::script.push_back(interrupt()); break;
                        case 1: ScriptedWrite::script.push_back(short_write(1 + rng() % 5000)); break;
                        default: break;
                    }
                }
                const std::string bytes = pattern(n, static_cast<unsigned>(rng()));
                ScriptedWrite::requested.clear();
                ASSERT_TRUE(writer.write_all(bytes).ok());
                expected += bytes;
                // The file sees chunks of the buffer only, apart from a long
                // write that bypasses it.
                for (std::size_t size : ScriptedWrite::requested) {
                    EXPECT_TRUE(size <= kCap || (n >= kCap && size <= n));
                }
            }
        }
        EXPECT_EQ(file(), expected);
    }
}

struct CreateFailureCase {
    const char* name;
    std::string path;
    IoErrorKind kind;
    int os_code;
    const char* text;
};

TEST(BufferedFileWriterCreate, ReportsTheErrorOfTheOpen) {
    TempDir dir;
    write_file(dir.file("plain"), "x");
    const CreateFailureCase cases[] = {
        {"missing directory", dir.file("missing/out.csv"), IoErrorKind::kNotFound, ENOENT,
         "No such file or directory (os error 2)"},
        {"a directory", dir.path().string(), IoErrorKind::kIsADirectory, EISDIR,
         "Is a directory (os error 21)"},
        {"below a regular file", dir.file("plain/out.csv"), IoErrorKind::kNotADirectory, ENOTDIR,
         "Not a directory (os error 20)"},
        {"NUL in the path", dir.file("out") + std::string(1, '\0') + "x", IoErrorKind::kInvalidInput,
         0, "file name contained an unexpected NUL byte"},
    };
    for (const CreateFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        IoResult<BufferedFileWriter> writer = BufferedFileWriter::create(c.path);
        ASSERT_FALSE(writer.ok());
        EXPECT_EQ(writer.error().kind, c.kind);
        EXPECT_EQ(writer.error().os_code, c.os_code);
        EXPECT_EQ(writer.error().text(), c.text);
    }
    EXPECT_FALSE(testing::file_exists(dir.file("out")));
}

TEST(BufferedFileWriterCreate, TruncatesAnExistingFile) {
    TempDir dir;
    const std::string path = dir.file("out.csv");
    write_file(path, std::string(100000, 'o'));
    IoResult<BufferedFileWriter> writer = BufferedFileWriter::create(path);
    ASSERT_TRUE(writer.ok());
    EXPECT_EQ(read_file(path).value(), "");
    ASSERT_TRUE(writer.value().write_all("new\n").ok());
    writer.value().close();
    EXPECT_EQ(read_file(path).value(), "new\n");
}

TEST(BufferedFileWriterCreate, CreatesReadWriteFileClosedOnExec) {
    TempDir dir;
    const std::string path = dir.file("out.csv");
    const mode_t old_mask = ::umask(022);
    IoResult<BufferedFileWriter> writer = BufferedFileWriter::create(path);
    ::umask(old_mask);
    ASSERT_TRUE(writer.ok());
    EXPECT_NE(::fcntl(writer.value().fd(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(::fcntl(writer.value().fd(), F_GETFL) & O_ACCMODE, O_WRONLY);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace quillon

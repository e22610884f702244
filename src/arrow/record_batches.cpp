#include "record_batches.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace quillon::arrow {

namespace {

constexpr std::size_t kMaxNarrowBytes = 0x7FFFFFFF;
constexpr std::size_t kCopySlack = 16;

bool blank(std::string_view name) noexcept {
    return name.find_first_not_of(" \t") == std::string_view::npos;
}

std::string numbered(std::size_t column) { return "column_" + std::to_string(column + 1); }

// Rows [begin, end) of the store form one batch.
struct BatchRange {
    std::size_t begin;
    std::size_t end;
};

// Gives the whole pages inside [begin, end) back to the system: a batch's
// copy of its rows' text is made, and the store is only read on to its end.
// Reading those bytes afterwards gives zeros.
void discard_pages(const char* begin, const char* end) noexcept {
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace

std::vector<std::string> column_names(const RowView* header, std::size_t width) {
    std::vector<std::string> names;
    names.reserve(width);
    if (header != nullptr) {
        for (const FieldRef field : *header) {
            if (names.size() == width) break;
            names.push_back(blank(field.text) ? numbered(names.size()) : std::string(field.text));
        }
    }
    while (names.size() < width) names.push_back(numbered(names.size()));

    // Earlier columns keep their names; a later one that repeats a name
    // takes the first free suffix, checked against every name in the header.
    std::unordered_set<std::string> taken(names.begin(), names.end());
    std::unordered_set<std::string> seen;
    for (std::string& name : names) {
        if (seen.insert(name).second) continue;
        for (std::size_t n = 2;; ++n) {
            std::string candidate = name + "_" + std::to_string(n);
            if (taken.insert(candidate).second) {
                name = std::move(candidate);
                seen.insert(name);
                break;
            }
        }
    }
    return names;
}

// Writes the columns of one batch: a pass over the rows to size every
// buffer exactly, then a pass that copies the text.
class ChunkWriter {
  public:
    static RecordBatch write(const RowStore& rows, BatchRange range,
                             const std::vector<std::uint8_t>& wide) {
        const std::size_t width = wide.size();
        const std::size_t n = range.end - range.begin;
        std::vector<std::size_t> bytes(width, 0);
        // rows_with[k]: rows of exactly k fields; a cell of column c is
        // missing in each row of at most c fields.
        std::vector<std::size_t> rows_with(width + 1, 0);
        for (std::size_t r = range.begin; r < range.end; ++r) {
            std::size_t c = 0;
            for (const FieldRef field : rows[r]) bytes[c++] += field.text.size();
            ++rows_with[c];
        }

        std::vector<std::shared_ptr<ColumnChunk>> chunks(width);
        std::vector<char*> text(width);
        std::vector<std::int32_t*> narrow(width);
        std::vector<std::int64_t*> offsets64(width);
        std::vector<std::uint8_t*> valid(width);
        std::size_t missing = 0;
        for (std::size_t c = 0; c < width; ++c) {
            missing += rows_with[c];
            auto chunk = std::make_shared<ColumnChunk>();
            chunk->length_ = static_cast<std::int64_t>(n);
            chunk->null_count_ = static_cast<std::int64_t>(missing);
            chunk->wide_ = wide[c] != 0;
            // The slack lets short fields be copied in one 16-byte move.
            text[c] = chunk->values_.reserve_tail(bytes[c] + kCopySlack);
            chunk->values_.set_size(bytes[c]);
            if (chunk->wide_) {
                offsets64[c] = chunk->wide_offsets_.reserve_tail(n + 1);
                chunk->wide_offsets_.set_size(n + 1);
                offsets64[c][0] = 0;
            } else {
                narrow[c] = chunk->offsets_.reserve_tail(n + 1);
                chunk->offsets_.set_size(n + 1);
                narrow[c][0] = 0;
            }
            if (missing != 0) {
                const std::size_t bitmap = (n + 7) / 8;
                valid[c] = chunk->validity_.reserve_tail(bitmap);
                chunk->validity_.set_size(bitmap);
                std::memset(valid[c], 0xFF, bitmap);
            }
            chunks[c] = std::move(chunk);
        }

        // Short fields are copied 16 bytes at a time, reading on into the
        // fields after them, as far as the store's text goes.
        const RowView last = rows[rows.size() - 1];
        const char* const copy_limit = last.text().data() + last.text_size();
        std::vector<std::size_t> written(width, 0);
        for (std::size_t r = range.begin; r < range.end; ++r) {
            const std::size_t i = r - range.begin;
            std::size_t c = 0;
            for (const FieldRef field : rows[r]) {
                const std::size_t len = field.text.size();
                const char* src = field.text.data();
                char* dst = text[c] + written[c];
                if (len <= kCopySlack &&
                    copy_limit - src >= static_cast<std::ptrdiff_t>(kCopySlack)) {
                    std::memcpy(dst, src, kCopySlack);
                } else if (len != 0) {
                    std::memcpy(dst, src, len);
                }
                written[c] += len;
                set_offset(narrow[c], offsets64[c], i + 1, written[c]);
                ++c;
            }
            for (; c < width; ++c) {
                set_offset(narrow[c], offsets64[c], i + 1, written[c]);
                valid[c][i / 8] = static_cast<std::uint8_t>(valid[c][i / 8] & ~(1u << (i % 8)));
            }
        }

        RecordBatch batch;
        batch.rows = static_cast<std::int64_t>(n);
        batch.columns.assign(chunks.begin(), chunks.end());
        return batch;
    }

  private:
    static void set_offset(std::int32_t* narrow, std::int64_t* wide, std::size_t i,
                           std::size_t value) noexcept {
        if (narrow != nullptr) {
            narrow[i] = static_cast<std::int32_t>(value);
        } else {
            wide[i] = static_cast<std::int64_t>(value);
        }
    }
};

namespace {

// Runs work(i) for i in [0, count) on up to `threads` threads, this one
// included. A thread that cannot be started leaves its share to the others;
// the first exception a call throws is rethrown here once all have stopped.
template <typename Work>
void run_parallel(std::size_t count, unsigned threads, Work work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto worker = [&]() noexcept {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count || failed.load()) return;
            try {
                work(i);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true);
            }
        }
    };
    std::vector<std::thread> pool;
    const std::size_t extra =
        std::min<std::size_t>(threads > 0 ? threads - 1 : 0, count > 0 ? count - 1 : 0);
    try {
        pool.reserve(extra);
        for (std::size_t t = 0; t < extra; ++t) pool.emplace_back(worker);
    } catch (const std::system_error&) {
        // Fewer threads, same work.
    }
    worker();
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace

class TableBuilder {
  public:
    static BatchTable build(const RowStore& rows, bool header, std::size_t columns,
                            const BatchLimits& limits, bool release_text);
};

BatchTable TableBuilder::build(const RowStore& rows, bool header, std::size_t columns,
                               const BatchLimits& limits, bool release_text) {
    const std::size_t max_rows = std::max<std::size_t>(limits.max_rows, 1);
    const std::size_t max_bytes = std::min(limits.max_bytes, kMaxNarrowBytes);
    const std::size_t first = header && !rows.empty() ? 1 : 0;

    std::size_t width = columns;
    if (first == 1) width = std::max(width, rows[0].size());
    std::vector<BatchRange> ranges;
    std::vector<std::size_t> long_rows;
    std::size_t begin = first;
    std::size_t bytes = 0;
    for (std::size_t r = first; r < rows.size(); ++r) {
        const RowView row = rows[r];
        const std::size_t size = row.text_size();
        if (r > begin && (r - begin == max_rows || bytes > max_bytes || size > max_bytes - bytes)) {
            ranges.push_back({begin, r});
            begin = r;
            bytes = 0;
        }
        bytes += size;
        width = std::max(width, row.size());
        if (size > max_bytes) long_rows.push_back(r);
    }
    if (begin < rows.size()) ranges.push_back({begin, rows.size()});

    BatchTable table;
    if (first == 1) {
        const RowView header_row = rows[0];
        table.names_ = column_names(&header_row, width);
    } else {
        table.names_ = column_names(nullptr, width);
    }
    table.wide_.assign(width, 0);
    for (const std::size_t r : long_rows) {
        std::size_t c = 0;
        for (const FieldRef field : rows[r]) {
            if (field.text.size() > max_bytes) table.wide_[c] = 1;
            ++c;
        }
    }
    table.rows_ = rows.size() - first;
    table.batches_.resize(ranges.size());
    run_parallel(ranges.size(), limits.threads, [&](std::size_t i) {
        table.batches_[i] = ChunkWriter::write(rows, ranges[i], table.wide_);
        if (release_text) {
            const RowView last = rows[ranges[i].end - 1];
            discard_pages(rows[ranges[i].begin].text().data(),
                          last.text().data() + last.text_size());
        }
    });
    return table;
}

BatchTable build_batches(const RowStore& rows, bool header, std::size_t columns,
                         const BatchLimits& limits) {
    return TableBuilder::build(rows, header, columns, limits, false);
}

BatchTable build_batches(RowStore&& rows, bool header, std::size_t columns,
                         const BatchLimits& limits) {
    const RowStore store = std::move(rows);
    return TableBuilder::build(store, header, columns, limits, true);
}

}  // namespace quillon::arrow

// A growable array of trivially copyable elements on malloc/realloc.
//
// std::vector value-initialises on resize and cannot hand out spare capacity
// for raw writes; the tokenizer writes field text straight into the spare
// capacity and commits what it wrote. Large blocks come from mmap, so
// capacity that is reserved but never written costs no resident memory, and
// growth by realloc can remap instead of copying.
//
// Allocation failure throws std::bad_alloc; nothing here aborts.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace quillon {

template <typename T>
class GrowableBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    GrowableBuffer() = default;
    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;
    GrowableBuffer(GrowableBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    GrowableBuffer& operator=(GrowableBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~GrowableBuffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    const T& back() const noexcept { return data_[size_ - 1]; }

    void reserve(std::size_t wanted) {
        if (wanted > capacity_) reallocate(wanted);
    }
    // Makes room for `extra` more elements past size() and returns where they go.
    T* reserve_tail(std::size_t extra) {
        if (extra > capacity_ - size_) grow(extra);
        return data_ + size_;
    }
    // Commits elements written into the spare capacity by hand.
    void set_size(std::size_t n) noexcept { size_ = n; }
    void push_back(const T& value) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = value;
    }
    void append(const T* src, std::size_t n) {
        T* dst = reserve_tail(n);
        if (n != 0) std::memcpy(dst, src, n * sizeof(T));
        size_ += n;
    }
    // Appends n copies of value; one allocation attempt for the whole run.
    void append_fill(std::size_t n, const T& value) {
        T* dst = reserve_tail(n);
        for (std::size_t i = 0; i < n; ++i) dst[i] = value;
        size_ += n;
    }
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }
    void clear() noexcept { size_ = 0; }

private:
    void grow(std::size_t extra) {
        const std::size_t max = static_cast<std::size_t>(-1) / sizeof(T);
        if (extra > max - size_) throw std::bad_alloc();
        std::size_t wanted = size_ + extra;
        std::size_t doubled = capacity_ < max / 2 ? capacity_ * 2 : max;
        // A jump past doubling is room kept in case (the tokenizer keeps the
        // rest of the input free), not a buffer about to be filled: huge pages
        // there would make resident whole 2 MiB blocks of it that are never
        // written, once per span read at the same time.
        if (wanted > doubled) {
            reallocate(wanted, false);
        } else {
            reallocate(doubled < 16 ? 16 : doubled);
        }
    }
    void reallocate(std::size_t n, bool filled_soon = true) {
        if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        void* p = std::realloc(data_, n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        capacity_ = n;
        if (filled_soon) advise_huge_pages();
    }
    // Big buffers are filled front to back right after they are made; huge
    // pages cut the cost of faulting them in by a large factor.
    void advise_huge_pages() noexcept {
#ifdef MADV_HUGEPAGE
        constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
        const std::size_t bytes = capacity_ * sizeof(T);
        if (bytes < 2 * kHuge) return;
        const auto begin = reinterpret_cast<std::uintptr_t>(data_);
        const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quillon

// A non-blocking reader/writer flag for objects shared between threads of an
// interpreter without the global lock.
//
// The state is the number of shared holders, or -1 while one exclusive
// holder has it. A request that cannot be granted at once fails instead of
// waiting; the caller raises. Under the global lock no two operations on an
// object overlap and every request succeeds.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillon::binding {

class AccessFlag {
public:
    AccessFlag() noexcept = default;
    AccessFlag(const AccessFlag&) = delete;
    AccessFlag& operator=(const AccessFlag&) = delete;

    bool try_shared() noexcept {
        std::intptr_t state = state_.load(std::memory_order_relaxed);
        // Retries only while other shared holders come and go; an exclusive
        // holder makes it fail at once.
        do {
            if (state < 0) return false;
        } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void end_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void end_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t> state_{0};
};

// Holds shared access for a scope, if it was granted.
class SharedAccess {
public:
    explicit SharedAccess(AccessFlag& flag) noexcept : flag_(flag.try_shared() ? &flag : nullptr) {}
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    ~SharedAccess() {
        if (flag_ != nullptr) flag_->end_shared();
    }
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    AccessFlag* flag_;
};

// Holds exclusive access for a scope, if it was granted.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessFlag& flag) noexcept : flag_(flag.try_exclusive() ? &flag : nullptr) {}
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ~ExclusiveAccess() {
        if (flag_ != nullptr) flag_->end_exclusive();
    }
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    AccessFlag* flag_;
};

}  // namespace quillon::binding

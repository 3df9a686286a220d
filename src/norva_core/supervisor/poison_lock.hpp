// A reader/writer lock that refuses further use once a holder failed in the middle of an update,
// so that nobody reads a half-made change.
#pragma once

#include "../py/ref.hpp"

#include <atomic>
#include <exception>
#include <shared_mutex>

namespace norva {

class PoisonLock {
public:
    explicit PoisonLock(const char* poisoned_message) : message_(poisoned_message) {}

    class Shared {
    public:
        explicit Shared(PoisonLock& l) : l_(l) {
            l_.m_.lock_shared();
            if (l_.poisoned_.load(std::memory_order_relaxed)) {
                l_.m_.unlock_shared();
                throw py::error(PyExc_RuntimeError, l_.message_);
            }
        }
        ~Shared() { l_.m_.unlock_shared(); }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        PoisonLock& l_;
    };

    class Exclusive {
    public:
        explicit Exclusive(PoisonLock& l) : l_(l), unwinding_(std::uncaught_exceptions()) {
            l_.m_.lock();
            if (l_.poisoned_.load(std::memory_order_relaxed)) {
                l_.m_.unlock();
                throw py::error(PyExc_RuntimeError, l_.message_);
            }
        }
        ~Exclusive() {
            if (std::uncaught_exceptions() > unwinding_) l_.poisoned_.store(true, std::memory_order_relaxed);
            l_.m_.unlock();
        }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        PoisonLock& l_;
        int unwinding_;
    };

    // For the garbage collector's walks, which must never block.
    bool try_lock_shared() noexcept { return m_.try_lock_shared(); }
    void unlock_shared() noexcept { m_.unlock_shared(); }

private:
    std::shared_mutex m_;
    std::atomic<bool> poisoned_{false};
    const char* message_;
};

}  // namespace norva

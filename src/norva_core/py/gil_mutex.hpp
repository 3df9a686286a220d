// A mutex for locks that stay held while Python code runs (a schema's validation, a deep copy, a
// worker call).
//
// Two hazards come with such locks. Another thread that blocks on the lock while holding the
// interpreter lock would stop the holder from ever getting the interpreter lock back: so a waiter
// releases the interpreter lock for as long as it waits. And the Python code running under the
// lock may call back into the same operation on the same thread: so re-entry raises RuntimeError
// instead of deadlocking on itself.
#pragma once

#include "ref.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace py {

class GilMutex {
public:
    // Acquire; the caller holds the interpreter lock. `reentry_message` is the RuntimeError text
    // raised when this thread already holds the mutex.
    void lock(const char* reentry_message) {
        const auto me = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == me) throw error(PyExc_RuntimeError, reentry_message);
        if (!m_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            m_.lock();
            Py_END_ALLOW_THREADS
        }
        owner_.store(me, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        owner_.store(std::thread::id{}, std::memory_order_relaxed);
        m_.unlock();
    }
    bool held_by_this_thread() const noexcept {
        return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    std::mutex m_;
    std::atomic<std::thread::id> owner_{};
};

// Release the interpreter lock for a scope of pure native work (no Python objects touched).
class AllowThreads {
public:
    AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

class GilLock {
public:
    GilLock(GilMutex& m, const char* reentry_message) : m_(m) { m_.lock(reentry_message); }
    ~GilLock() { m_.unlock(); }
    GilLock(const GilLock&) = delete;
    GilLock& operator=(const GilLock&) = delete;

private:
    GilMutex& m_;
};

}  // namespace py

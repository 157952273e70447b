// A mutex for the short critical sections on the stand-ins' hot paths (the IOKit handle table,
// the registry cache, the host session's stamp, the volume snapshot), which a volume walk takes
// some twenty times per volume. Inline and free of locked instructions while the process has
// one thread, as glibc's own mutex is, but without its call and type checks, which cost more
// than the sections themselves. With more threads: one atomic instruction to take and one to
// drop when nobody waits; a thread that finds it taken sleeps on a futex, never spins.
// Threading: BasicLockable (std::lock_guard, std::unique_lock); not recursive.
#pragma once

#include <linux/futex.h>
#include <sys/single_threaded.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace tvb {

class Lock {
public:
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock() {
        // A thread is only ever created by a running thread, so while this one is alone no
        // other can be inside, nor start before this section ends.
        if (__libc_single_threaded && mState.load(std::memory_order_relaxed) == kFree) {
            mState.store(kTaken, std::memory_order_relaxed);
            return;
        }
        int expected = kFree;
        if (!mState.compare_exchange_strong(expected, kTaken, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            Wait(expected);
    }

    bool try_lock() {
        int expected = kFree;
        return mState.compare_exchange_strong(expected, kTaken, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }

    void unlock() {
        if (__libc_single_threaded) {
            mState.store(kFree, std::memory_order_relaxed);
            return;
        }
        if (mState.exchange(kFree, std::memory_order_release) == kContended)
            syscall(SYS_futex, Word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

private:
    enum : int { kFree = 0, kTaken = 1, kContended = 2 };

    // Marks the lock contended and sleeps until it is free (the classic three-state futex
    // mutex), so that the holder knows to wake a sleeper.
    void Wait(int state) {
        if (state != kContended)
            state = mState.exchange(kContended, std::memory_order_acquire);
        while (state != kFree) {
            syscall(SYS_futex, Word(), FUTEX_WAIT_PRIVATE, kContended, nullptr, nullptr, 0);
            state = mState.exchange(kContended, std::memory_order_acquire);
        }
    }

    int* Word() { return reinterpret_cast<int*>(&mState); }

    static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);
    std::atomic<int> mState{kFree};
};

} // namespace tvb

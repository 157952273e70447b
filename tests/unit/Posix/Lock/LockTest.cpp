// tvb::Lock takes a cheaper path while the process has one thread; what matters is that the two
// paths agree when a thread starts while the lock is held, and that it excludes under contention.
// Each test runs as a process of its own, so the first starts with one thread.
#include <gtest/gtest.h>

#include <sys/single_threaded.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tvb/Lock.h"

using namespace std::chrono_literals;

TEST(Lock, TakenAloneStaysExclusiveForAThreadStartedMeanwhileAndWakesIt) {
    if (!__libc_single_threaded)
        GTEST_SKIP() << "another test of this process started a thread first";
    tvb::Lock lock;
    lock.lock();
    std::atomic<bool> entered{false};
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread other([&] {
        lock.lock();
        entered = true;
        lock.unlock();
        done.set_value();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(entered);
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
    const bool woken = finished.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(woken) << "the waiting thread was not woken by unlock";
    if (!woken) {
        other.detach();
        return;
    }
    other.join();
    EXPECT_TRUE(entered);
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(Lock, ThreadsContendingLoseNoIncrement) {
    tvb::Lock lock;
    long counter = 0;
    constexpr int kThreads = 4;
    constexpr long kEach = 100000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (long i = 0; i < kEach; ++i) {
                std::lock_guard<tvb::Lock> guard(lock);
                ++counter;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, kThreads * kEach);
}

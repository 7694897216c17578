#include <gtest/gtest.h>

#if defined(__unix__) || defined(__APPLE__)
#define TRELVANE_HAS_FORK 1
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cmath>
#include <latch>
#include <numeric>
#include <thread>
#include <vector>

#include "shared.hpp"

namespace trelvane {
namespace {

TEST(SizeMismatch, TextForm) {
    EXPECT_EQ(to_string(SizeMismatch{12, 7}), "SizeMismatch { expected: 12, got: 7 }");
    EXPECT_EQ(to_string(SizeMismatch{UINT64_MAX, 0}),
              "SizeMismatch { expected: 18446744073709551615, got: 0 }");
}

TEST(SaturatingConversion, LimitsAndNaN) {
    EXPECT_EQ(saturating_u64(std::nan("")), 0u);
    EXPECT_EQ(saturating_u64(-5.0), 0u);
    EXPECT_EQ(saturating_u64(1e300), UINT64_MAX);
    EXPECT_EQ(saturating_u64(1024.0), 1024u);
}

TEST(Buffer, ZeroedAndOverflowChecked) {
    auto b = Buffer<std::uint16_t>::zeroed(1000);
    EXPECT_EQ(b.size, 1000u);
    for (auto v : b.span()) EXPECT_EQ(v, 0);
    EXPECT_THROW(Buffer<std::uint16_t>::zeroed(SIZE_MAX / 2 + 1), std::bad_alloc);
    EXPECT_THROW(checked_mul(SIZE_MAX, 2), std::bad_alloc);
}

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolSizes, EveryRowRunsExactlyOnce) {
    WorkerPool pool(GetParam());
    std::vector<int> out(997 * 5, 0);
    for_each_row(std::span<int>(out), 5, [](std::size_t y, std::span<int> row) {
        for (auto& v : row) v += static_cast<int>(y) + 1;
    }, pool);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<int>(i / 5) + 1);
}

TEST_P(PoolSizes, LastRowMayBeShort) {
    WorkerPool pool(GetParam());
    std::vector<int> out(11, 0);
    std::vector<std::size_t> lengths(3);
    for_each_row(std::span<int>(out), 4, [&](std::size_t y, std::span<int> row) {
        lengths[y] = row.size();
    }, pool);
    EXPECT_EQ(lengths, (std::vector<std::size_t>{4, 4, 3}));
}

TEST_P(PoolSizes, FailureIsRethrownOnTheCaller) {
    WorkerPool pool(GetParam());
    std::vector<int> out(1000, 0);
    std::atomic<int> ran{0};
    EXPECT_THROW(for_each_row(std::span<int>(out), 1, [&](std::size_t y, std::span<int>) {
        ++ran;
        if (y == 10) fail("row 10 failed");
    }, pool), InternalFailure);
    // The pool stays usable after a failed loop.
    std::atomic<int> after{0};
    pool.run(50, [&](std::size_t) { ++after; });
    EXPECT_EQ(after.load(), 50);
}

TEST_P(PoolSizes, ZeroRowLengthFailsEvenWhenEmpty) {
    WorkerPool pool(GetParam());
    std::vector<int> empty;
    try {
        for_each_row(std::span<int>(empty), 0, [](std::size_t, std::span<int>) {}, pool);
        FAIL();
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "chunk_size must not be zero");
    }
    int calls = 0;
    for_each_row(std::span<int>(empty), 3, [&](std::size_t, std::span<int>) { ++calls; }, pool);
    EXPECT_EQ(calls, 0);
}

TEST_P(PoolSizes, ConcurrentCallersShareThePool) {
    WorkerPool pool(GetParam());
    std::vector<std::thread> callers;
    std::vector<long> sums(6, 0);
    for (std::size_t t = 0; t < sums.size(); ++t)
        callers.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                std::vector<long> rows(300, 0);
                pool.run(rows.size(), [&](std::size_t y) { rows[y] = static_cast<long>(y * (t + 1)); });
                sums[t] += std::accumulate(rows.begin(), rows.end(), 0L);
            }
        });
    for (auto& c : callers) c.join();
    for (std::size_t t = 0; t < sums.size(); ++t)
        EXPECT_EQ(sums[t], 20L * 299 * 300 / 2 * static_cast<long>(t + 1));
}

TEST_P(PoolSizes, NoMoreThreadsRunRowsThanThereAreWorkers) {
    // Callers always run their own rows; workers fill up to the pool's size.
    WorkerPool pool(GetParam());
    std::atomic<int> running{0}, most{0};
    auto row = [&](std::size_t) {
        const int now = ++running;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --running;
    };
    pool.run(60, [&](std::size_t y) { row(y); });
    EXPECT_LE(most.load(), std::max<int>(1, static_cast<int>(GetParam())));
    most = 0;
    std::thread other([&] { pool.run(60, [&](std::size_t y) { row(y); }); });
    pool.run(60, [&](std::size_t y) { row(y); });
    other.join();
    // A worker leaves between rows when a second caller arrives, so at most
    // one row's time with one thread more.
    EXPECT_LE(most.load(), std::max<int>(2, static_cast<int>(GetParam()) + 1));
}

INSTANTIATE_TEST_SUITE_P(Workers, PoolSizes, ::testing::Values(0, 1, 3, 8));

TEST(ProcessPool, ThreadSettingSetsTheWorkers) {
    EXPECT_EQ(pool_workers(nullptr, 4), 4u);
    EXPECT_EQ(pool_workers("1", 4), 0u);  // the calling thread alone
    EXPECT_EQ(pool_workers("3", 4), 3u);  // the caller and two workers at a time
    EXPECT_EQ(pool_workers("8", 4), 8u);  // asked for: more than the processors
    EXPECT_EQ(pool_workers("100000", 4), 1024u);
    for (const char* ignored : {"0", "-2", "", "two", "2.5", " 2", "2 ", "99999999999999999999"})
        EXPECT_EQ(pool_workers(ignored, 4), 4u) << ignored;
}

TEST(ProcessPool, OneWorkerPerAvailableProcessor) {
    EXPECT_GE(process_pool().workers(), 1u);
    EXPECT_EQ(&process_pool(), &process_pool());
}

#if defined(TRELVANE_HAS_FORK)
// A loop on the process pool; true when every row ran once.
bool pool_loop_completes() {
    std::atomic<int> rows{0};
    process_pool().run(64, [&](std::size_t) { ++rows; });
    return rows == 64;
}

using Clock = std::chrono::steady_clock;

// A child in a process group of its own running body, which returns its exit status.
template <class Body>
pid_t spawn(Body&& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        _exit(body());
    }
    return pid;
}

// Waits for a child until deadline; a child still running then is killed, with
// everything it started.
bool exited_cleanly(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Threads make their first calls, and so build the pool, while one thread
// forks in a loop; every child must finish a loop of its own.
int first_calls_racing_forks() {
    constexpr int callers = 3, forks = 20;
    std::latch start(callers + 1);
    std::vector<pid_t> children;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < forks; ++i) children.push_back(spawn([] { return pool_loop_completes() ? 0 : 1; }));
    });
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&] {
            start.arrive_and_wait();
            pool_loop_completes();
        });
    for (auto& t : threads) t.join();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    bool all_finished = true;
    for (const pid_t pid : children) all_finished &= pid > 0 && exited_cleanly(pid, deadline);
    return all_finished ? 0 : 1;
}

TEST(ProcessPool, ForkWhileTheFirstPoolIsBuilt) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support fork() in a multithreaded process";
#endif
    // Each trial runs in a forked process: the child of a fork starts without
    // a pool, so every trial races to build the first one.
    for (int trial = 0; trial < 20; ++trial) {
        const pid_t pid = spawn(first_calls_racing_forks);
        ASSERT_TRUE(exited_cleanly(pid, Clock::now() + std::chrono::seconds(10))) << "trial " << trial;
    }
}

#endif  // TRELVANE_HAS_FORK

}  // namespace
}  // namespace trelvane

#include <gtest/gtest.h>

#include <cstdint>
#include <atomic>
#include <thread>
#include <vector>

#include "detector/large_buffer_cache.hpp"

namespace trelvane {
namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

TEST(LargeBufferCache, SizesRoundUpToHugePages) {
    EXPECT_EQ(cached_buffer_size(5 * mib), 6 * mib);
    EXPECT_EQ(cached_buffer_size(6 * mib), 6 * mib);
    EXPECT_EQ(cached_buffer_size(SIZE_MAX - 1), SIZE_MAX - 1);  // too large to round: never kept
}

// A buffer given back goes to the next call that asks for its size, and
// only to one of that size.
TEST(LargeBufferCache, HandsAKeptBufferToItsSizeOnly) {
    free_kept_large_buffers();
    void* p = take_large_buffer(38 * mib);
    ASSERT_NE(p, nullptr);
    give_back_large_buffer(p, 38 * mib);
    EXPECT_EQ(kept_large_buffer_bytes(), 38 * mib);
    void* other = take_large_buffer(46 * mib);
    EXPECT_NE(other, p);
    EXPECT_EQ(take_large_buffer(38 * mib), p);
    EXPECT_EQ(kept_large_buffer_bytes(), 0u);
    give_back_large_buffer(other, 46 * mib);
    give_back_large_buffer(p, 38 * mib);
    EXPECT_EQ(kept_large_buffer_bytes(), 84 * mib);
    free_kept_large_buffers();
    EXPECT_EQ(kept_large_buffer_bytes(), 0u);
}

TEST(LargeBufferCache, KeepsNoMoreThanItsLimit) {
    const std::size_t big = large_buffer_cache_bytes + 2 * mib;
    const std::size_t before = kept_large_buffer_bytes();
    void* p = take_large_buffer(big);
    ASSERT_NE(p, nullptr);
    give_back_large_buffer(p, big);
    EXPECT_EQ(kept_large_buffer_bytes(), before);
}

// Threads take and give back buffers of three sizes at once: no buffer is
// ever held by two of them (each fills its buffer with its own mark and
// finds it unchanged before giving it back).
TEST(LargeBufferCache, NeverHandsOneBufferToTwoThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> overlaps{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::size_t bytes = (30 + 2 * static_cast<std::size_t>((i + t) % 3)) * mib;
                auto* words = static_cast<std::uint64_t*>(take_large_buffer(bytes));
                const std::uint64_t mark = static_cast<std::uint64_t>(t) << 32 | static_cast<std::uint64_t>(i);
                for (std::size_t k = 0; k < 64; ++k) words[k * (bytes / 8 / 64)] = mark;
                std::this_thread::yield();
                for (std::size_t k = 0; k < 64; ++k) overlaps += words[k * (bytes / 8 / 64)] != mark;
                give_back_large_buffer(words, bytes);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_LE(kept_large_buffer_bytes(), large_buffer_cache_bytes);
}

}  // namespace
}  // namespace trelvane

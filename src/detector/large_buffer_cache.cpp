#include "large_buffer_cache.hpp"

#include <atomic>
#include <cstdint>

#include "platform.hpp"

namespace trelvane {
namespace {

constexpr std::size_t granule = std::size_t{2} << 20;
constexpr std::size_t slots = 4;

// The kept buffers, each in a slot of its own, without a lock (a fork may
// come at any time). A kept buffer is the cache's own, and holds its size
// in its first bytes.
std::atomic<void*> kept[slots];
std::atomic<std::size_t> kept_bytes{0};

std::size_t& size_of(void* p) { return *static_cast<std::size_t*>(p); }

void drop(void* p) noexcept {
    kept_bytes.fetch_sub(size_of(p), std::memory_order_relaxed);
    free_large_buffer(p);
}

// Puts p back into an empty slot; false when none is empty. Releases p's
// size to the acquire of the next take.
bool put(void* p) noexcept {
    for (std::atomic<void*>& slot : kept) {
        void* empty = nullptr;
        if (slot.compare_exchange_strong(empty, p, std::memory_order_release, std::memory_order_relaxed))
            return true;
    }
    return false;
}

}  // namespace

std::size_t cached_buffer_size(std::size_t bytes) {
    return bytes > SIZE_MAX - granule ? bytes : (bytes + granule - 1) / granule * granule;
}

std::size_t kept_large_buffer_bytes() { return kept_bytes.load(std::memory_order_relaxed); }

void free_kept_large_buffers() noexcept {
    for (std::atomic<void*>& slot : kept)
        if (void* p = slot.exchange(nullptr, std::memory_order_acquire)) drop(p);
}

void* take_large_buffer(std::size_t bytes) {
    for (std::atomic<void*>& slot : kept) {
        void* p = slot.exchange(nullptr, std::memory_order_acquire);
        if (!p) continue;
        if (size_of(p) == bytes) {
            kept_bytes.fetch_sub(bytes, std::memory_order_relaxed);
            return p;
        }
        if (!put(p)) drop(p);
    }
    return allocate_large_buffer(bytes);
}

void give_back_large_buffer(void* p, std::size_t bytes) noexcept {
    if (bytes == 0 || bytes % granule != 0) return free_large_buffer(p);  // not a rounded size: never kept
    if (kept_bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes > large_buffer_cache_bytes) {
        kept_bytes.fetch_sub(bytes, std::memory_order_relaxed);
        return free_large_buffer(p);
    }
    size_of(p) = bytes;
    if (!put(p)) drop(p);
}

}  // namespace trelvane

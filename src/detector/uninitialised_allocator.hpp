// The allocator of the detector's per-pixel buffers: it leaves new elements
// uninitialised and takes large buffers from the platform's large-buffer
// memory (huge pages where the system has them), through the cache that
// keeps them from one call to the next (large_buffer_cache.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "detector/large_buffer_cache.hpp"
#include "shared.hpp"

namespace trelvane {

// Buffers of at least this many bytes (two huge pages) are large buffers.
inline constexpr std::size_t large_buffer_bytes = std::size_t{4} << 20;

// Leaves the elements of a new vector(count) uninitialised, so that the
// parallel loop that writes them is the first to touch their memory. Only for
// buffers whose every element is written before it is read.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        const std::size_t bytes = checked_mul(n, sizeof(T));
        if (bytes < large_buffer_bytes) return std::allocator<T>::allocate(n);
        void* p = take_large_buffer(cached_buffer_size(bytes));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < large_buffer_bytes) return std::allocator<T>::deallocate(p, n);
        give_back_large_buffer(p, cached_buffer_size(n * sizeof(T)));
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// A vector whose vector(count) constructor and resize leave new elements
// uninitialised; vector(count, value) fills as usual.
template <class T>
using FilledLater = std::vector<T, UninitialisedAllocator<T>>;

}  // namespace trelvane

// Large buffers kept from one call to the next. The pages of fresh memory are
// cleared by the kernel as a call first touches them, on the touching
// thread: at 2048 x 2048, scale 1.0, that took 6 to 18 ms of system time a
// call, the part of the front end that more threads did not shorten. So the
// detector keeps the large buffers its calls free, up to
// large_buffer_cache_bytes in all, and hands one of the same rounded size to
// a later call, whose pages are then in place.
#pragma once

#include <cstddef>

namespace trelvane {

inline constexpr std::size_t large_buffer_cache_bytes = std::size_t{256} << 20;

// bytes rounded up to the sizes the cache keeps (whole huge pages): ask for
// and give back buffers of a rounded size. Sizes too large to round stay as
// they are, and are never cached.
std::size_t cached_buffer_size(std::size_t bytes);

// A kept buffer of exactly `bytes`, else a new one from the platform's
// large-buffer memory; null when there is no memory. Its contents are
// whatever they were.
void* take_large_buffer(std::size_t bytes);

// Keeps p, a buffer of `bytes` from take_large_buffer, for a later call where
// the cache has room, else frees it.
void give_back_large_buffer(void* p, std::size_t bytes) noexcept;

// The bytes of the buffers kept now, and their release, for the tests.
std::size_t kept_large_buffer_bytes();
void free_kept_large_buffers() noexcept;

}  // namespace trelvane

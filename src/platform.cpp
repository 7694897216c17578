#include "platform.hpp"

#include <cstdint>
#include <cstdlib>
#include <thread>

#if defined(__linux__) && !defined(TRELVANE_PORTABLE)
#define TRELVANE_LINUX 1
#include <sched.h>
#include <sys/mman.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#define TRELVANE_HAS_FORK 1
#include <pthread.h>
#endif

namespace trelvane {
namespace {

// What the standard library knows of the machine's processors; at least 1.
std::size_t hardware_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

}  // namespace

#if defined(TRELVANE_LINUX)

// The affinity mask, not the machine's processor count: a process pinned to
// a few processors (taskset, a container's cpuset) gets that many workers.
std::size_t available_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return hardware_threads();
}

namespace {
constexpr std::size_t huge_page = std::size_t{1} << 21;
}

void* allocate_large_buffer(std::size_t bytes) {
    if (bytes > SIZE_MAX - huge_page) return nullptr;
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    void* p = std::aligned_alloc(huge_page, rounded);
    if (p) madvise(p, rounded, MADV_HUGEPAGE);  // only a hint: without it, ordinary pages
    return p;
}

#else

std::size_t available_processors() { return hardware_threads(); }

void* allocate_large_buffer(std::size_t bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }

#endif

void free_large_buffer(void* p) noexcept { std::free(p); }

#if defined(TRELVANE_HAS_FORK)
bool register_fork_handlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child) == 0;
}
#else
bool register_fork_handlers(void (*)(), void (*)(), void (*)()) { return true; }
#endif

}  // namespace trelvane

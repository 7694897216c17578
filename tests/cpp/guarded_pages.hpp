// Memory whose end is followed by an inaccessible page: a read past the end
// faults instead of passing silently.
#pragma once

#include <cstddef>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace trelvane {

class GuardedPages {
public:
    // `bytes` writable bytes that end right before the guard page.
    explicit GuardedPages(std::size_t bytes) {
        const std::size_t page = page_size();
        mapped_ = (bytes + page - 1) / page * page + page;
        base_ = static_cast<unsigned char*>(map(mapped_));
        if (!base_ || !protect(base_ + mapped_ - page, page)) throw std::bad_alloc();
        end_ = base_ + mapped_ - page;
    }
    ~GuardedPages() { unmap(base_, mapped_); }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    // The first byte of the guard page.
    unsigned char* end() const { return end_; }

private:
#if defined(_WIN32)
    static std::size_t page_size() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
    }
    static void* map(std::size_t n) { return VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }
    static bool protect(void* p, std::size_t n) {
        DWORD old;
        return VirtualProtect(p, n, PAGE_NOACCESS, &old) != 0;
    }
    static void unmap(void* p, std::size_t) { VirtualFree(p, 0, MEM_RELEASE); }
#else
    static std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
    static void* map(std::size_t n) {
        void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    static bool protect(void* p, std::size_t n) { return mprotect(p, n, PROT_NONE) == 0; }
    static void unmap(void* p, std::size_t n) { munmap(p, n); }
#endif

    std::size_t mapped_ = 0;
    unsigned char* base_ = nullptr;
    unsigned char* end_ = nullptr;
};

}  // namespace trelvane

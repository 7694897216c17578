// The operating-system services the core needs, behind standard C++ types.
// platform.cpp holds every system call, one branch per system: Linux; other
// systems with fork() (macOS); the rest (Windows). The CMake option
// TRELVANE_PORTABLE builds the non-Linux branch on Linux, so that it is tested.
#pragma once

#include <cstddef>

namespace trelvane {

// The logical processors this process may run on; at least 1.
std::size_t available_processors();

// Memory for a large buffer, or null. On Linux it is asked to sit on
// transparent huge pages, so that a first touch faults in 2 MiB at once
// instead of 4 KiB; elsewhere it is plain heap memory. Release it with
// free_large_buffer.
void* allocate_large_buffer(std::size_t bytes);
void free_large_buffer(void* p) noexcept;

// Registers handlers run around fork(): prepare in the parent before the
// fork, parent and child in each process after it. On a system without
// fork() there is nothing to register. False when registration failed.
bool register_fork_handlers(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace trelvane

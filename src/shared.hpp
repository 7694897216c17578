// Shared by the detector and the resampling code: the length-mismatch record,
// internal failures, checked sizes and zero-filled buffers, and the row-parallel
// loop on the process-wide worker pool. No Python headers here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <algorithm>
#include <variant>
#include <vector>

namespace trelvane {

// A buffer's length differs from the product of its dimensions.
struct SizeMismatch {
    std::uint64_t expected;
    std::uint64_t got;
    bool operator==(const SizeMismatch&) const = default;
};

// "SizeMismatch { expected: E, got: G }"
std::string to_string(const SizeMismatch& m);

// A broken internal invariant. The entry points turn it into PanicException;
// ordinary input never reaches one.
struct InternalFailure : std::logic_error {
    using std::logic_error::logic_error;
};

[[noreturn]] void fail(const std::string& message);
// For a fixed message: call sites build no string, so code compiled for a
// vector level instantiates nothing of std::string.
[[noreturn]] void fail(const char* message);

// The failure of a clamp to the empty range [lo, hi].
[[noreturn]] void fail_empty_range(std::int64_t lo, std::int64_t hi);

// Float to unsigned conversion that saturates at the type's limits; NaN gives 0.
inline std::uint64_t saturating_u64(double v) {
    if (!(v > -1.0)) return 0;  // NaN and everything that truncates below zero
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(v);
}

// a × b, or std::bad_alloc when the product cannot be represented: every size
// that ends in an allocation goes through here, so an impossible request
// becomes MemoryError before any work.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}

// Product of dimensions for a length check. Saturates instead of throwing:
// a product beyond 2^64 can never equal a real buffer length.
inline std::uint64_t dims_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// A zero-filled heap buffer of samples, released with free() so that its
// ownership can be handed to code that knows nothing of C++ (a NumPy array).
template <class T>
struct Buffer {
    std::unique_ptr<T[], FreeDeleter> data;
    std::size_t size = 0;

    static Buffer zeroed(std::size_t count) {
        checked_mul(count, sizeof(T));
        // calloc gets fresh zero pages from the system for large sizes: no
        // second pass over the memory.
        T* p = static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T)));
        if (!p) throw std::bad_alloc();
        return Buffer{std::unique_ptr<T[], FreeDeleter>(p), count};
    }
    std::span<T> span() { return {data.get(), size}; }
    std::span<const T> span() const { return {data.get(), size}; }
    T* release() { return data.release(); }
};

// Either the result of a computation or the mismatch that prevented it.
template <class T>
using Checked = std::variant<T, SizeMismatch>;

// The result, for callers that passed lengths taken from the buffers' own
// shapes: a mismatch there is an internal failure, reported as "why: record".
template <class T>
T value_or_fail(Checked<T>&& result, const char* why) {
    if (const auto* mismatch = std::get_if<SizeMismatch>(&result))
        fail(std::string(why) + ": " + to_string(*mismatch));
    return std::move(std::get<T>(result));
}

// Fork-join pool. run() hands rows out one at a time to the workers and to the
// calling thread, and returns when every row is done. Several threads may call
// run() at once: their loops share the workers, whose number never grows.
// Callers always work on their own loops, so no loop waits for another; a
// worker joins a loop only while fewer threads than there are workers are
// running rows, callers included, and leaves it between rows when more do, so
// that concurrent callers do not oversubscribe the processors.
class WorkerPool {
public:
    explicit WorkerPool(std::size_t workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t workers() const { return threads_.size(); }

    // Calls task(row) for every row in [0, rows). The first exception thrown by
    // a task stops the handing out of further rows and is rethrown here once
    // the rows already started have finished.
    template <class Task>
    void run(std::size_t rows, Task&& task) {
        Job job;
        job.rows = rows;
        job.context = &task;
        job.call = [](void* ctx, std::size_t row) { (*static_cast<Task*>(ctx))(row); };
        execute(job);
    }

    struct Job {
        std::size_t rows = 0;
        void* context = nullptr;
        void (*call)(void*, std::size_t) = nullptr;
        std::atomic<std::size_t> next{0};
        std::size_t participants = 0;  // workers inside the job, under the pool's mutex
        std::atomic<bool> stopped{false};
        std::exception_ptr error;
        std::mutex error_mutex;
        Job* link = nullptr;
    };

private:
    void execute(Job& job);
    void stop();
    void worker_loop();
    // Runs rows of job until none is left or, for a worker, until more
    // threads than there are workers run rows.
    void work_on(Job& job, bool worker);

    std::mutex mutex_;
    std::condition_variable wake_;   // workers: a job arrived or shutdown
    std::condition_variable done_;   // callers: a job finished
    Job* jobs_ = nullptr;            // jobs that still have rows to hand out
    std::atomic<std::size_t> running_{0};  // callers and workers running rows; changed under mutex_
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};

// The process-wide pool: one worker per logical processor available to the
// process, created on first use and created anew in a child after fork().
// TRELVANE_NUM_THREADS, read when the pool is created, sets the number of
// threads working on one loop (see pool_workers).
WorkerPool& process_pool();

// Workers for a pool on a machine with `processors` logical processors, given
// the text of TRELVANE_NUM_THREADS (null when unset). A positive decimal n
// allows n threads per loop, the calling thread included: n workers (none for
// n = 1), even more than there are processors (up to 1024); anything else
// (0, negative, not a number) leaves the default, one per processor.
std::size_t pool_workers(const char* setting, std::size_t processors);

// Splits out into consecutive rows of row_length elements and calls
// task(row_index, row_span) for each on the pool. A zero row length is an
// internal failure, even for an empty buffer.
template <class T, class Task>
void for_each_row(std::span<T> out, std::size_t row_length, Task&& task,
                  WorkerPool& pool = process_pool()) {
    if (row_length == 0) fail("chunk_size must not be zero");
    const std::size_t rows = (out.size() + row_length - 1) / row_length;
    pool.run(rows, [&](std::size_t y) {
        const std::size_t begin = y * row_length;
        const std::size_t len = std::min(row_length, out.size() - begin);
        task(y, out.subspan(begin, len));
    });
}

}  // namespace trelvane

#include <charconv>
#include <cstring>
#include <system_error>

#include "platform.hpp"
#include "shared.hpp"

namespace trelvane {

std::string to_string(const SizeMismatch& m) {
    return "SizeMismatch { expected: " + std::to_string(m.expected) +
           ", got: " + std::to_string(m.got) + " }";
}

void fail(const std::string& message) { throw InternalFailure(message); }
void fail(const char* message) { throw InternalFailure(message); }

void fail_empty_range(std::int64_t lo, std::int64_t hi) {
    fail("min > max. min = " + std::to_string(lo) + ", max = " + std::to_string(hi));
}

// A system that refuses more threads gets a smaller pool: the calling thread
// always works too, so a pool without workers still finishes every loop.
WorkerPool::WorkerPool(std::size_t workers) {
    try {
        threads_.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
    } catch (...) {
        stop();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() {
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

// Takes rows until none is left; a row taken after a failure is only counted.
void WorkerPool::work_on(Job& job, bool worker) {
    for (;;) {
        if (worker && running_.load(std::memory_order_relaxed) > threads_.size()) return;
        const std::size_t row = job.next.fetch_add(1, std::memory_order_relaxed);
        if (row >= job.rows) return;
        if (job.stopped.load(std::memory_order_relaxed)) continue;
        try {
            job.call(job.context, row);
        } catch (...) {
            std::lock_guard lock(job.error_mutex);
            if (!job.error) job.error = std::current_exception();
            job.stopped.store(true, std::memory_order_relaxed);
        }
    }
}

namespace {

bool has_rows_left(const WorkerPool::Job& job) {
    return job.next.load(std::memory_order_relaxed) < job.rows;
}

void unlink(WorkerPool::Job*& head, WorkerPool::Job* job) {
    for (WorkerPool::Job** p = &head; *p; p = &(*p)->link)
        if (*p == job) {
            *p = job->link;
            return;
        }
}

}  // namespace

void WorkerPool::execute(Job& job) {
    if (job.rows == 0) return;
    const bool shared = job.rows > 1 && !threads_.empty();
    {
        std::lock_guard lock(mutex_);
        ++running_;
        if (shared) {
            Job** tail = &jobs_;
            while (*tail) tail = &(*tail)->link;
            *tail = &job;
        }
    }
    if (shared) wake_.notify_all();
    work_on(job, false);
    {
        // Every row is now taken; wait for the workers still inside this job.
        std::unique_lock lock(mutex_);
        --running_;
        if (jobs_) wake_.notify_one();  // a processor is free for another loop
        unlink(jobs_, &job);
        done_.wait(lock, [&] { return job.participants == 0; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

// The caller may release a job only once no worker is inside it any more.
void WorkerPool::worker_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return shutdown_ || (jobs_ != nullptr && running_ < threads_.size()); });
        if (shutdown_) return;
        Job* job = jobs_;
        if (!has_rows_left(*job)) {
            unlink(jobs_, job);
            continue;
        }
        ++job->participants;
        ++running_;
        lock.unlock();
        work_on(*job, true);
        lock.lock();
        --running_;
        if (jobs_) wake_.notify_one();
        if (--job->participants == 0) done_.notify_all();
    }
}

constexpr std::size_t max_pool_workers = 1024;

std::size_t pool_workers(const char* setting, std::size_t processors) {
    if (!setting) return processors;
    const char* end = setting + std::strlen(setting);
    long long n = 0;
    const auto [stop, error] = std::from_chars(setting, end, n);
    if (error != std::errc{} || stop != end || n <= 0) return processors;
    // A pool of w workers runs a loop on at most w threads, the caller
    // included (WorkerPool); a single thread needs no worker at all. An
    // explicit count is honoured above the processor count too, up to a
    // bound on threads a process can sensibly start.
    return n == 1 ? 0 : std::min(max_pool_workers, static_cast<std::size_t>(n));
}

namespace {

std::mutex pool_mutex;
std::atomic<WorkerPool*> pool{nullptr};

// The child of a fork() has none of the parent's worker threads: forget the old
// pool (its threads and locks belong to the parent) and build a new one on use.
// Holding the mutex across fork() means the child never inherits it locked.
void before_fork() { pool_mutex.lock(); }
void after_fork_parent() { pool_mutex.unlock(); }
void after_fork_child() {
    pool.store(nullptr, std::memory_order_relaxed);
    pool_mutex.unlock();
}

// Registered when the library is loaded, before any thread can take the mutex:
// a fork() while the first pool is being built must already wait for it.
const bool fork_handlers = register_fork_handlers(before_fork, after_fork_parent, after_fork_child);

}  // namespace

WorkerPool& process_pool() {
    // Pairs with the release below: a thread that sees the pool sees it built.
    if (WorkerPool* p = pool.load(std::memory_order_acquire)) return *p;
    // Registration fails only for lack of memory; without the handlers a
    // forked child could inherit a pool it cannot use.
    if (!fork_handlers) throw std::bad_alloc();
    std::lock_guard lock(pool_mutex);
    if (WorkerPool* p = pool.load(std::memory_order_relaxed)) return *p;  // the lock orders it
    // Never destroyed: joining workers during interpreter shutdown buys nothing.
    auto* created = new WorkerPool(pool_workers(std::getenv("TRELVANE_NUM_THREADS"), available_processors()));
    pool.store(created, std::memory_order_release);  // publishes the built pool to the acquire above
    return *created;
}

}  // namespace trelvane

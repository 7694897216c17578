#include "seed_loop.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "grow_region.hpp"
#include "improve_rect.hpp"
#include "mask_access.hpp"
#include "refine_region.hpp"
#include "region_to_rect.hpp"

namespace trelvane {

template <class Mask>
SeedFate process_seed(std::uint32_t seed, const GradientField& field, Mask& mask, const RunConstants& run,
                      Region& region, Rect& rect) {
    if (mask.taken(seed)) return SeedFate::taken;
    const DirectionSum sum = grow_region(seed, angle_tolerance, field, mask, region);
    if (region.size() < run.min_region_size) return SeedFate::small;
    rect = region_to_rect(region, field, sum.angle(), aligned_probability);
    return refine_region(region, rect, mask, field, run.min_region_size) ? SeedFate::dense : SeedFate::sparse;
}

template SeedFate process_seed(std::uint32_t, const GradientField&, DirectMask&, const RunConstants&, Region&, Rect&);
template SeedFate process_seed(std::uint32_t, const GradientField&, StampedMask&, const RunConstants&, Region&, Rect&);
template SeedFate process_seed(std::uint32_t, const GradientField&, SpeculativeMask&, const RunConstants&, Region&,
                               Rect&);

Candidate validate(const Rect& rect, const GradientField& field, const RunConstants& run) {
    Candidate c{rect, 0};
    c.log_nfa = improve_rect(c.rect, field.records, rho, run.log_nt, field.width, field.height);
    return c;
}

// Wakes a waiting validator once a few candidates wait, not for every one: a
// wake-up costs the seed loop a system call.
void ValidationQueue::push(const Rect& rect) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        items_.push_back({rect, 0});
        waiting_.store(items_.size() - taken_, std::memory_order_relaxed);
        wake = items_.size() - taken_ >= wake_batch;
    }
    if (wake) ready_.notify_one();
}

void ValidationQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

void ValidationQueue::validate_taken(std::unique_lock<std::mutex>& lock) {
    const std::size_t i = taken_++;
    waiting_.store(items_.size() - taken_, std::memory_order_relaxed);
    const Rect rect = items_[i].rect;
    lock.unlock();
    const Candidate done = validate(rect, field_, run_);
    lock.lock();
    items_[i] = done;
}

void ValidationQueue::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [&] { return taken_ < items_.size() || closed_; });
        if (taken_ == items_.size()) return;
        validate_taken(lock);
    }
}

bool ValidationQueue::work_one() {
    // Looked at without the lock first: a thread that asks often must not
    // keep the seed loop's pushes waiting for it.
    if (waiting_.load(std::memory_order_relaxed) == 0) return false;
    std::unique_lock lock(mutex_);
    if (taken_ == items_.size()) return false;
    validate_taken(lock);
    return true;
}

constexpr std::size_t mask_prefetch_distance = 16;
constexpr std::size_t record_prefetch_distance = 6;

void prefetch_ahead(std::span<const std::uint32_t> seeds, std::size_t i, const GradientField& field,
                    const UsedMask& used) {
    if (i + mask_prefetch_distance < seeds.size()) __builtin_prefetch(&used[seeds[i + mask_prefetch_distance]]);
    if (i + record_prefetch_distance >= seeds.size()) return;
    const std::size_t ahead = seeds[i + record_prefetch_distance];
    if (load_shared(used.data(), ahead)) return;
    const std::size_t w = field.width, count = field.records.size();
    for (const std::size_t q : {ahead >= w ? ahead - w : ahead, ahead, ahead + w < count ? ahead + w : ahead})
        __builtin_prefetch(field.records.data() + q);
}

namespace {

// A short wait for another thread's progress: pause a little, then give the
// processor away, as the other thread may be waiting for one.
class Backoff {
public:
    void pause() {
        if (++spins_ < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            std::this_thread::yield();
        }
    }

private:
    unsigned spins_ = 0;
};

// One seed's growth in a block speculation: its position, what became of it
// and the ends of its ranges in the block's region and footprint lists.
struct SpeculatedSeed {
    std::size_t position;
    SeedFate fate;
    Rect rect;
    std::size_t region_end, footprint_end;
};

// A block grown ahead of its turn. The tag says which block it is for and
// whether it is done: (block + 1) × 2 + ready, 0 for one never used.
struct BlockSpeculation {
    static std::uint64_t tag(std::size_t block, bool ready) { return (std::uint64_t{block} + 1) * 2 + ready; }
    static std::size_t block(std::uint64_t tag) { return static_cast<std::size_t>(tag / 2) - 1; }

    std::atomic<std::uint64_t> tag_{0};
    std::uint32_t since = 0;  // commits finished before the growths started: all seen by them
    bool failed = false;      // a growth threw: the block is grown again at its turn, where the failure surfaces
    std::vector<SpeculatedSeed> seeds;
    std::vector<std::uint32_t> regions;    // the seeds' regions, one after another
    std::vector<std::uint32_t> footprint;  // the tiles the growths read, seed after seed
};

// The committer walks the blocks in order and alone writes the mask,
// stamping the tiles it writes with the number of the block commit. A block
// is claimed once, by the committer at its turn or by a thread (the
// committer too, while it waits) that grows it ahead into one of its own
// block speculations, named in the claim; a thread reuses a speculation once
// the committer has passed its block. The committer keeps each speculated
// growth whose footprint saw the mask of its turn (keep_block) and grows the
// others itself.
class ParallelSeedLoop {
public:
    ParallelSeedLoop(const GradientField& field, UsedMask& used, std::span<const std::uint32_t> seeds,
                     const RunConstants& run, ValidationQueue& queue, std::size_t threads)
        : field_(field), used_(used), seeds_(seeds), run_(run), queue_(queue), grid_(field.width),
          tiles_(field.width), stamps_(tiles_.count(field.height), 0), grown_(stamps_.size(), 0),
          blocks_((seeds.size() + block_positions - 1) / block_positions), claims_(blocks_),
          window_(speculation_window(seeds.size())),
          // One per block of the window past the lead, and a few more for the
          // committer's turn to come.
          per_thread_(window_.end - window_.lead + 4), speculations_(threads * per_thread_) {
        if (speculations_.size() >= by_committer) fail("too many threads for the seed loop");
    }

    // The committer (thread 0): every seed in order, on the plain mask until
    // a speculator arrives (a loop that gets no second thread pays nothing).
    void commit_all() {
        Worker own(*this, 0);
        DirectMask direct(used_);
        std::size_t b = 0;
        for (; b < blocks_ && !progress_.wanted.load(std::memory_order_relaxed); ++b)
            for (std::size_t i = b * block_positions; i < block_end(b); ++i) {
                prefetch_ahead(seeds_, i, field_, used_);
                if (!used_[seeds_[i]])
                    emit(process_seed(seeds_[i], field_, direct, run_, own.region, own.rect), own.rect);
            }
        progress_.committed.store(b, std::memory_order_relaxed);
        progress_.granted.store(true, std::memory_order_release);
        for (; b < blocks_; ++b) {
            commit(b, own);
            progress_.commits.store(++commits_, std::memory_order_release);
        }
        finish();
    }

    // Thread `thread` (1, 2, ...) as a speculator: validates candidates, and
    // grows blocks ahead of the committer when there is none, until the
    // committer is done.
    void speculate(std::size_t thread) {
        progress_.wanted.store(true, std::memory_order_relaxed);
        Backoff backoff;
        while (!progress_.granted.load(std::memory_order_acquire)) backoff.pause();
        Worker self(*this, thread);
        for (std::size_t b = 0;;) {
            const std::size_t committed = progress_.committed.load(std::memory_order_acquire);
            if (committed >= blocks_) break;
            // Candidates first: validating them is never wasted.
            if (queue_.work_one()) continue;
            b = next_open(std::max(b, committed + window_.lead), committed);
            BlockSpeculation* s = b == none ? nullptr : next_speculation(self, committed);
            if (s && claim(b, index(*s))) {
                grow_block(b, *s, self);
                backoff = Backoff{};
            } else {
                backoff.pause();  // nothing to grow before the committer moves on
            }
            if (b == none) b = committed + window_.lead;
        }
    }

    // Ends the loop for the speculators.
    void finish() {
        progress_.committed.store(blocks_, std::memory_order_release);
        progress_.granted.store(true, std::memory_order_release);
    }

    SpeculationCounts counts() const { return counts_; }

private:
    // A thread's own scratch: the pixels it holds, its region and rectangle,
    // and its turn through its block speculations.
    struct Worker {
        Worker(const ParallelSeedLoop& loop, std::size_t thread)
            : held(loop.used_.size()), first(thread * loop.per_thread_) {}
        PixelSet held;
        Region region;
        Rect rect;
        std::size_t first;     // its first speculation
        std::size_t next = 0;  // the one it uses next, from first
    };

    static constexpr std::uint32_t by_committer = UINT32_MAX;  // a claim of the committer at the block's turn
    static constexpr std::size_t none = SIZE_MAX;

    std::size_t block_end(std::size_t b) const { return std::min(seeds_.size(), (b + 1) * block_positions); }
    std::uint32_t index(const BlockSpeculation& s) const {
        return static_cast<std::uint32_t>(&s - speculations_.data() + 1);
    }

    // The first block from b on, inside the window of the committer's block,
    // that nobody has claimed; `none` when there is none.
    std::size_t next_open(std::size_t b, std::size_t committed) const {
        for (const std::size_t end = std::min(blocks_, committed + window_.end); b < end; ++b)
            if (claims_[b].load(std::memory_order_relaxed) == 0) return b;
        return none;
    }

    bool claim(std::size_t block, std::uint32_t by) {
        std::uint32_t open = 0;
        return claims_[block].compare_exchange_strong(open, by, std::memory_order_relaxed);
    }

    // The thread's next block speculation, once the committer, at block
    // `committed`, has passed the block it last held; null before.
    BlockSpeculation* next_speculation(Worker& self, std::size_t committed) {
        BlockSpeculation& s = speculations_[self.first + self.next];
        const std::uint64_t t = s.tag_.load(std::memory_order_relaxed);
        return t == 0 || BlockSpeculation::block(t) < committed ? &s : nullptr;
    }

    void emit(SeedFate fate, const Rect& rect) {
        if (fate == SeedFate::dense) queue_.push(rect);
    }

    // Grows the seeds of block b, claimed for speculation s, in order.
    void grow_block(std::size_t b, BlockSpeculation& s, Worker& self) {
        self.next = (self.next + 1) % per_thread_;
        s.tag_.store(BlockSpeculation::tag(b, false), std::memory_order_relaxed);
        s.seeds.clear(), s.regions.clear(), s.footprint.clear();
        s.since = progress_.commits.load(std::memory_order_acquire);
        s.failed = false;
        try {
            SpeculativeMask mask(used_, self.held, s.footprint, tiles_, field_.width, field_.height);
            for (std::size_t i = b * block_positions; i < block_end(b); ++i) {
                prefetch_ahead(seeds_, i, field_, used_);
                // A seed found taken is checked again at its turn (keep_block).
                if (mask.taken(seeds_[i])) continue;
                mask.new_growth();
                const SeedFate fate = process_seed(seeds_[i], field_, mask, run_, self.region, self.rect);
                if (fate == SeedFate::taken) continue;
                s.regions.insert(s.regions.end(), self.region.begin(), self.region.end());
                s.seeds.push_back({i, fate, self.rect, s.regions.size(), s.footprint.size()});
            }
            for (std::uint32_t q : s.regions) self.held.erase(q);
        } catch (...) {
            s.failed = true;  // pixels may be held outside the recorded regions
            self.held.clear();
        }
        s.tag_.store(BlockSpeculation::tag(b, true), std::memory_order_release);
    }

    // The committer at block b.
    void commit(std::size_t b, Worker& own) {
        progress_.committed.store(b, std::memory_order_release);
        if (claim(b, by_committer)) return grow_own(b * block_positions, block_end(b), own);
        BlockSpeculation& s = speculations_[claims_[b].load(std::memory_order_relaxed) - 1];
        // Rather than wait for the speculator, grow a later block the same way.
        Backoff backoff;
        for (std::size_t ahead = b + 1; s.tag_.load(std::memory_order_acquire) != BlockSpeculation::tag(b, true);) {
            ahead = next_open(ahead, b);
            BlockSpeculation* mine = ahead == none ? nullptr : next_speculation(own, b);
            if (mine && claim(ahead, index(*mine)))
                grow_block(ahead, *mine, own);
            else
                backoff.pause();
            if (ahead == none) ahead = b + window_.end;
        }
        keep_block(b, s, own);
    }

    // Commits the speculated block b, walking its positions as the sequential
    // loop would. A speculated growth is kept when no tile it read was
    // written by an earlier block since it started, nor by a growth of this
    // block that was not kept: such a growth is grown again at its turn, and
    // the tiles of the region it had held are marked as grown too (the
    // growths after it took that region as taken). A seed found taken ahead
    // of its turn and free at it is grown too.
    void keep_block(std::size_t b, const BlockSpeculation& s, Worker& own) {
        if (s.failed) return grow_own(b * block_positions, block_end(b), own);
        // Before this block writes anything, so that only earlier blocks' stamps count.
        fresh_.assign(s.seeds.size(), false);
        for (std::size_t k = 0, from = 0; k < s.seeds.size(); from = s.seeds[k++].footprint_end)
            fresh_[k] = unchanged(s, from, s.seeds[k].footprint_end);
        std::size_t k = 0, region_start = 0, footprint_start = 0;
        for (std::size_t i = b * block_positions; i < block_end(b); ++i) {
            if (k == s.seeds.size() || s.seeds[k].position != i) {
                if (!load_shared(used_.data(), seeds_[i])) grow_own(i, i + 1, own);
                continue;
            }
            const SpeculatedSeed& seed = s.seeds[k];
            const auto region = std::span(s.regions).subspan(region_start, seed.region_end - region_start);
            if (fresh_[k] && !grown_here(s, footprint_start, seed.footprint_end)) {
                publish(region);
                emit(seed.fate, seed.rect);
                ++counts_.kept;
            } else {
                for (std::uint32_t q : region) grown_[tiles_.of(q, grid_)] = stamp();
                grow_own(i, i + 1, own);
                ++counts_.regrown;
            }
            region_start = seed.region_end, footprint_start = seed.footprint_end, ++k;
        }
    }

    // Whether no tile of footprint entries [from, to) of s was written since
    // its growths started.
    bool unchanged(const BlockSpeculation& s, std::size_t from, std::size_t to) const {
        for (std::size_t k = from; k < to; ++k)
            if (stamps_[s.footprint[k]] > s.since) return false;
        return true;
    }

    // Whether a tile of footprint entries [from, to) of s was grown by the
    // committer in the block commit under way.
    bool grown_here(const BlockSpeculation& s, std::size_t from, std::size_t to) const {
        for (std::size_t k = from; k < to; ++k)
            if (grown_[s.footprint[k]] == stamp()) return true;
        return false;
    }

    // The stamp of the block commit under way.
    std::uint32_t stamp() const { return commits_ + 1; }

    // The committer grows the seeds at positions [from, to) itself, at their
    // turn, on the mask in place.
    void grow_own(std::size_t from, std::size_t to, Worker& own) {
        StampedMask mask(used_, stamps_, grown_, tiles_, stamp());
        for (std::size_t i = from; i < to; ++i) {
            prefetch_ahead(seeds_, i, field_, used_);
            const SeedFate fate = process_seed(seeds_[i], field_, mask, run_, own.region, own.rect);
            if (fate == SeedFate::taken) continue;
            ++counts_.own;
            emit(fate, own.rect);
        }
    }

    // Marks a kept region in the mask.
    void publish(std::span<const std::uint32_t> region) {
        for (std::uint32_t q : region) {
            store_shared(used_.data(), q, 1);
            stamps_[tiles_.of(q, grid_)] = stamp();
        }
    }

    const GradientField& field_;
    UsedMask& used_;
    std::span<const std::uint32_t> seeds_;
    const RunConstants& run_;
    ValidationQueue& queue_;
    const PixelGrid grid_;
    const TileGrid tiles_;
    TileStamps stamps_;         // the committer's: every write
    TileStamps grown_;          // the committer's: what it grew itself, or gave up
    std::vector<bool> fresh_;   // keep_block's: growths that saw no change from earlier blocks
    const std::size_t blocks_;
    // Per block: 0 while unclaimed, by_committer, or 1 + the index of the
    // speculation that grows it.
    std::vector<std::atomic<std::uint32_t>> claims_;
    const SpeculationWindow window_;
    const std::size_t per_thread_;                // speculations of each thread
    std::vector<BlockSpeculation> speculations_;  // per_thread_ for each thread
    SpeculationCounts counts_;                    // the committer's
    std::uint32_t commits_ = 0;                   // block commits finished since the loop went parallel
    // What the speculators read as they go, on a cache line of its own (the
    // alignment rounds its size up to the line too) that only a block commit
    // writes.
    struct alignas(64) Progress {
        std::atomic<std::uint32_t> commits{0};  // commits_, for the speculators
        std::atomic<std::size_t> committed{0};  // blocks below are committed
        std::atomic<bool> wanted{false};        // a speculator has arrived
        std::atomic<bool> granted{false};       // the committer has left the mask to atomic access
    } progress_;
};

}  // namespace

SeedLoopTrace trace_seed_loop(const GradientField& field, UsedMask& used, std::span<const std::uint32_t> seeds,
                              const RunConstants& run) {
    using clock = std::chrono::steady_clock;
    const PixelGrid grid(field.width);
    const TileGrid tiles(field.width);
    SeedLoopTrace trace{seeds.size(), {}, {}, {}};
    PixelSet held(used.size());
    Region region;
    Rect rect;
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const std::uint32_t seed = seeds[i];
        if (used[seed]) continue;
        SpeculativeMask mask(used, held, trace.reads, tiles, field.width, field.height);
        const auto start = clock::now();
        process_seed(seed, field, mask, run, region, rect);
        const auto grown = clock::now();
        for (std::uint32_t q : region) {
            used[q] = 1;
            held.erase(q);
        }
        const auto marked = clock::now();
        // Each seed's own entries name all its tiles, also the one the seed
        // before it ended on.
        const std::size_t writes_start = trace.writes.size();
        for (std::uint32_t q : region) {
            const std::uint32_t t = tiles.of(q, grid);
            if (trace.writes.size() == writes_start || trace.writes.back() != t) trace.writes.push_back(t);
        }
        trace.seeds.push_back({i,
                               std::chrono::duration<double>(grown - start).count(),
                               std::chrono::duration<double>(marked - grown).count(), trace.reads.size(),
                               trace.writes.size()});
    }
    return trace;
}

void parallel_seed_loop(const GradientField& field, UsedMask& used, std::span<const std::uint32_t> seeds,
                        const RunConstants& run, ValidationQueue& queue, WorkerPool& pool,
                        SpeculationCounts* counts, const std::function<void()>& loop_done) {
    const std::size_t threads = std::max<std::size_t>(pool.workers(), 1);
    auto loop = std::make_unique<ParallelSeedLoop>(field, used, seeds, run, queue, threads);
    pool.run(threads, [&](std::size_t unit) {
        if (unit == 0) {
            try {
                loop->commit_all();
                loop_done();
            } catch (...) {
                loop->finish();  // speculators must not wait for a committer that is gone
                queue.close();
                throw;
            }
            queue.close();
        } else {
            loop->speculate(unit);
        }
        queue.work();
    });
    if (counts) *counts = loop->counts();
}

}  // namespace trelvane

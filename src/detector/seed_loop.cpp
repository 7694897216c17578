#include "seed_loop.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "improve_rect.hpp"

namespace trelvane {

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
// and the end of its region in the block's region list.
struct SpeculatedSeed {
    std::size_t position;
    SeedFate fate;
    Rect rect;
    std::size_t region_end;
};

// A block grown ahead of its turn. The tag says which block it is for and
// whether it is done: (block + 1) × 2 + ready, 0 for one never used.
struct BlockSpeculation {
    static std::uint64_t tag(std::size_t block, bool ready) { return (std::uint64_t{block} + 1) * 2 + ready; }
    static std::size_t block(std::uint64_t tag) { return static_cast<std::size_t>(tag / 2) - 1; }

    // The region of growth k.
    std::span<const std::uint32_t> region(std::size_t k) const {
        const std::size_t from = k ? seeds[k - 1].region_end : 0;
        return std::span(regions).subspan(from, seeds[k].region_end - from);
    }

    // Whether growth k took a pixel that is settled by now: it will be grown
    // again at its turn.
    bool doomed(std::size_t k, const UsedMask& used) const {
        const auto pixels = took.of(k);
        return std::any_of(pixels.begin(), pixels.end(),
                           [&](std::uint32_t q) { return load_shared(used.data(), q) == settled; });
    }

    std::atomic<std::uint64_t> tag_{0};
    // Other threads reading it to renew it (renew_doomed), and whether one
    // has set out to.
    std::atomic<std::uint32_t> readers{0};
    std::atomic<bool> renewing{false};
    bool failed = false;  // a growth threw: the block is grown again at its turn, where the failure surfaces
    std::vector<SpeculatedSeed> seeds;
    std::vector<std::uint32_t> regions;  // the seeds' regions, one after another
    GrowthLog took, found;               // growth k's are seeds[k]'s (LoggedMask)
    std::vector<std::size_t> rechecks;   // positions of seeds skipped as taken but not settled
};

// The committer walks the blocks in order and alone writes the mask. A
// block is claimed once, by the committer at its turn or by a thread (the
// committer too, while it waits) that grows it ahead into one of its own
// block speculations, named in the claim; a thread reuses a speculation once
// the committer has passed its block. The committer keeps each speculated
// growth that the keep rule allows (keep_rule.hpp) and grows the others
// itself. A thread with nothing else to do renews a speculation that a
// commit since has doomed, and the claim then names the renewed one.
class ParallelSeedLoop {
public:
    ParallelSeedLoop(const SeedRun& run, ValidationQueue& queue, std::size_t threads, const SeedLoopProbe* probe)
        : run_(run), queue_(queue), blocks_((run.seeds.size() + block_positions - 1) / block_positions), claims_(blocks_),
          window_(speculation_window(run.seeds.size(), threads)),
          // A thread's share of the window, and a few more for the
          // committer's turn to come and for renewals: speculations keep
          // their buffers, so all of them together hold about a window's
          // worth on any number of threads.
          per_thread_(window_.end / std::max<std::size_t>(threads - 1, 1) + 4), speculations_(threads * per_thread_),
          ahead_(probe ? probe->speculate_ahead : 0),
          after_growth_(probe && probe->after_growth ? &probe->after_growth : nullptr) {
        if (speculations_.size() >= by_committer) fail("too many threads for the seed loop");
    }

    // The committer (thread 0): every block in order, on the plain mask
    // until a speculator arrives (a loop that gets no second thread pays
    // nothing), then through the keep rule.
    void commit_all() {
        Worker own(*this, 0);
        if (ahead_) progress_.wanted.store(true, std::memory_order_relaxed);
        DirectMask direct(run_.used);
        std::size_t b = 0;
        for (; b < blocks_ && !progress_.wanted.load(std::memory_order_relaxed); ++b)
            walk_seeds(run_, b * block_positions, block_end(b), direct, own.region, own.rect,
                       [&](std::size_t i, SeedFate fate) { grown_own(i, fate, own); });
        progress_.committed.store(b, std::memory_order_relaxed);  // published by the grant
        // Pairs with the acquire in speculate()'s wait: publishes the bytes
        // written on the plain mask and where the committer stands.
        progress_.granted.store(true, std::memory_order_release);
        for (; b < blocks_; ++b) commit(b, own);
        finish();
    }

    // Thread `thread` (1, 2, ...) as a speculator: validates candidates, and
    // grows blocks ahead of the committer when there is none, until the
    // committer is done.
    void speculate(std::size_t thread) {
        // Only a hint for the committer to go parallel; the grant publishes.
        progress_.wanted.store(true, std::memory_order_relaxed);
        Backoff backoff;
        // Pairs with the release of the grant in commit_all().
        while (!progress_.granted.load(std::memory_order_acquire)) backoff.pause();
        Worker self(*this, thread);
        for (std::size_t b = 0;;) {
            // Pairs with the release at the start of each block commit
            // (commit()): the committer is done with the speculations of the
            // blocks before, which next_speculation() then lets this thread reuse.
            const std::size_t committed = progress_.committed.load(std::memory_order_acquire);
            if (committed >= blocks_) break;
            // Candidates first: validating them is never wasted.
            if (queue_.work_one()) continue;
            b = next_open(std::max(b, window_.from(committed)), committed);
            if ((b != none && grow_ahead(b, committed, self)) || renew_doomed(committed, self))
                backoff = Backoff{};
            else
                backoff.pause();  // nothing to grow before the committer moves on
            if (b == none) b = window_.from(committed);
        }
    }

    // Ends the loop for the speculators (releases: nothing is read after these).
    void finish() {
        progress_.committed.store(blocks_, std::memory_order_release);
        progress_.granted.store(true, std::memory_order_release);
    }

    SpeculationCounts counts() const {
        SpeculationCounts c = counts_;
        c.renewed = renewed_.load(std::memory_order_relaxed);
        return c;
    }

private:
    // A thread's own scratch: the pixels it holds, its region and rectangle,
    // and its turn through its block speculations.
    struct Worker {
        Worker(const ParallelSeedLoop& loop, std::size_t thread)
            : mine(loop.run_.used.size()), earlier(loop.run_.used.size()), first(thread * loop.per_thread_) {}
        PixelSet mine, earlier;  // held by the growth under way, by those before it in its block
        Region region;
        Rect rect;
        std::size_t first;             // its first speculation
        std::size_t next = 0;          // the one it uses next, from first
        std::size_t looked_at = none;  // the committer's block when no speculation of the window was doomed
    };

    static constexpr std::uint32_t by_committer = UINT32_MAX;  // a claim of the committer at the block's turn
    static constexpr std::size_t none = SIZE_MAX;

    std::size_t block_end(std::size_t b) const { return std::min(run_.seeds.size(), (b + 1) * block_positions); }
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

    // Relaxed: a claim only hands out the block; the speculation's tag
    // carries the block number and publishes the growths.
    bool claim(std::size_t block, std::uint32_t by) {
        std::uint32_t open = 0;
        return claims_[block].compare_exchange_strong(open, by, std::memory_order_relaxed);
    }

    // The thread's next block speculation, once the committer, at block
    // `committed`, has passed the block it last held; null before. The tag
    // is only ever written by this thread, hence relaxed.
    BlockSpeculation* next_speculation(Worker& self, std::size_t committed) {
        BlockSpeculation& s = speculations_[self.first + self.next];
        const std::uint64_t t = s.tag_.load(std::memory_order_relaxed);
        return t == 0 || BlockSpeculation::block(t) < committed ? &s : nullptr;
    }

    // Grows block b ahead into the thread's next speculation, when one is
    // free and b is still unclaimed.
    bool grow_ahead(std::size_t b, std::size_t committed, Worker& self) {
        BlockSpeculation* s = next_speculation(self, committed);
        if (!s || !claim(b, index(*s))) return false;
        grow_block(b, *s, self);
        return true;
    }

    // Counts this thread as a reader of s while s is still block b's and
    // done. Sequentially consistent, as is begin()'s reuse: either this
    // thread sees the tag of the reuse and backs off, or the reuse sees this
    // reader and waits. The tag's load also acquires s's growths. A reader
    // waits for nothing until it unpins, so begin() never waits for long and
    // never in a cycle.
    bool pin(BlockSpeculation& s, std::size_t b) {
        s.readers.fetch_add(1, std::memory_order_seq_cst);
        if (s.tag_.load(std::memory_order_seq_cst) == BlockSpeculation::tag(b, true)) return true;
        unpin(s);
        return false;
    }
    // Pairs with the wait in begin(): the reads of s come before its reuse.
    static void unpin(BlockSpeculation& s) { s.readers.fetch_sub(1, std::memory_order_release); }

    // A speculation ahead of the committer (at block `committed`) is doomed
    // once a pixel one of its growths took is settled. Renews the first
    // doomed one of the window into the thread's next speculation, which
    // the committer gets instead unless it has taken the block meanwhile:
    // growths that read the commits since are then kept rather than grown
    // again at their turn. Looks through the window again only once the
    // committer has moved on.
    bool renew_doomed(std::size_t committed, Worker& self) {
        if (self.looked_at == committed) return false;
        // As far as speculations go: the window, or the probe's blocks ahead.
        const std::size_t end = std::min(blocks_, committed + std::max(window_.end, ahead_ + 1));
        for (std::size_t b = committed + 1; b < end; ++b) {
            std::uint32_t held = claims_[b].load(std::memory_order_relaxed);
            if (held == 0 || held == by_committer || !renewable(speculations_[held - 1], b)) continue;
            BlockSpeculation* fresh = next_speculation(self, committed);
            if (!fresh) break;  // no speculation of its own is free
            // Relaxed, as a claim: the fresh speculation's tag publishes it.
            if (renew_block(b, speculations_[held - 1], *fresh, self) &&
                claims_[b].compare_exchange_strong(held, index(*fresh), std::memory_order_relaxed))
                renewed_.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        self.looked_at = committed;
        return false;
    }

    // Whether s, block b's, is doomed and nobody renews it yet.
    bool renewable(BlockSpeculation& s, std::size_t b) {
        if (s.renewing.load(std::memory_order_relaxed) || !pin(s, b)) return false;
        bool any = false;
        for (std::size_t k = 0; k < s.seeds.size() && !any && !s.failed; ++k) any = s.doomed(k, run_.used);
        unpin(s);
        return any;
    }

    void emit(SeedFate fate, const Rect& rect) {
        if (fate == SeedFate::dense) queue_.push(rect);
    }

    void hook(std::size_t position, bool speculative) const {
        if (after_growth_) (*after_growth_)(position, speculative);
    }

    // Makes s, the thread's next speculation, block b's: once no renewer
    // reads it any more (pin()).
    void begin(std::size_t b, BlockSpeculation& s, Worker& self) {
        self.next = (self.next + 1) % per_thread_;
        s.tag_.store(BlockSpeculation::tag(b, false), std::memory_order_seq_cst);
        for (Backoff backoff; s.readers.load(std::memory_order_seq_cst) != 0;) backoff.pause();
        s.seeds.clear(), s.regions.clear(), s.took.clear(), s.found.clear(), s.rechecks.clear();
        s.failed = false;
        s.renewing.store(false, std::memory_order_relaxed);
    }

    // Adds the growth just made from the seed at `position` to s; the next
    // growths of the block find its pixels taken.
    void add_growth(BlockSpeculation& s, Worker& self, std::size_t position, SeedFate fate) {
        s.took.end_growth(), s.found.end_growth();
        for (std::uint32_t q : self.region) self.mine.erase(q), self.earlier.bits().insert(q);
        s.regions.insert(s.regions.end(), self.region.begin(), self.region.end());
        s.seeds.push_back({position, fate, self.rect, s.regions.size()});
        hook(position, true);
    }

    // A growth of s threw: pixels may be held outside its recorded regions.
    static void fail_growth(BlockSpeculation& s, Worker& self) {
        s.failed = true;
        self.mine.clear(), self.earlier.clear();
    }

    // Publishes s: pairs with the acquire in commit()'s wait and in pin().
    void publish(std::size_t b, BlockSpeculation& s, Worker& self) {
        for (std::uint32_t q : s.regions) self.earlier.erase(q);
        s.tag_.store(BlockSpeculation::tag(b, true), std::memory_order_release);
    }

    // Grows the seeds of block b, claimed for speculation s, in order.
    void grow_block(std::size_t b, BlockSpeculation& s, Worker& self) {
        begin(b, s, self);
        try {
            LoggedMask mask(run_.used, self.mine, self.earlier, s.took, s.found, s.rechecks);
            walk_seeds(run_, b * block_positions, block_end(b), mask, self.region, self.rect,
                       [&](std::size_t i, SeedFate fate) { add_growth(s, self, i, fate); });
        } catch (...) {
            fail_growth(s, self);
        }
        publish(b, s, self);
    }

    // Block b's speculation `old` again into `fresh`: its doomed growths
    // grown again on the mask as it stands, the others as they were (the
    // keep rule checks each at its turn, whatever view it was grown on).
    // False, with fresh failed, when old is no longer block b's, another
    // thread renews it, a growth throws, or the committer reaches the block.
    bool renew_block(std::size_t b, BlockSpeculation& old, BlockSpeculation& fresh, Worker& self) {
        begin(b, fresh, self);  // before pinning old: begin() may wait for readers
        if (!pin(old, b)) {
            fresh.failed = true;
        } else {
            if (old.renewing.exchange(true, std::memory_order_relaxed)) {
                fresh.failed = true;
            } else {
                try {
                    copy_or_regrow(b, old, fresh, self);
                } catch (...) {
                    fail_growth(fresh, self);
                }
            }
            unpin(old);
        }
        publish(b, fresh, self);
        return !fresh.failed;
    }

    void copy_or_regrow(std::size_t b, const BlockSpeculation& old, BlockSpeculation& fresh, Worker& self) {
        LoggedMask mask(run_.used, self.mine, self.earlier, fresh.took, fresh.found, fresh.rechecks);
        for (std::size_t k = 0; k < old.seeds.size(); ++k) {
            if (progress_.committed.load(std::memory_order_relaxed) >= b) {
                fresh.failed = true;  // the committer is there: too late
                return;
            }
            const SpeculatedSeed& seed = old.seeds[k];
            if (old.doomed(k, run_.used)) {
                walk_seeds(run_, seed.position, seed.position + 1, mask, self.region, self.rect,
                           [&](std::size_t i, SeedFate fate) { add_growth(fresh, self, i, fate); });
                continue;
            }
            fresh.took.add_growth(old.took.of(k)), fresh.found.add_growth(old.found.of(k));
            const auto region = old.region(k);
            for (std::uint32_t q : region) self.earlier.bits().insert(q);
            fresh.regions.insert(fresh.regions.end(), region.begin(), region.end());
            fresh.seeds.push_back({seed.position, seed.fate, seed.rect, fresh.regions.size()});
        }
        const auto middle = static_cast<std::ptrdiff_t>(fresh.rechecks.size());
        fresh.rechecks.insert(fresh.rechecks.end(), old.rechecks.begin(), old.rechecks.end());
        std::inplace_merge(fresh.rechecks.begin(), fresh.rechecks.begin() + middle, fresh.rechecks.end());
    }

    // The committer at block b.
    void commit(std::size_t b, Worker& own) {
        // Pairs with the acquire in speculate(): keep_block() is done with
        // the speculations of every block before b.
        progress_.committed.store(b, std::memory_order_release);
        if (ahead_) {
            while (renew_doomed(b, own)) {
                // as idle speculators would, until none is doomed
            }
            if (b + ahead_ < blocks_) grow_ahead(b + ahead_, b, own);
        }
        // Taking the block for good: a speculator may still hand over a
        // renewed speculation up to here.
        const std::uint32_t claimed = claims_[b].exchange(by_committer, std::memory_order_relaxed);
        if (claimed == 0) return grow_own(b * block_positions, block_end(b), own);
        BlockSpeculation& s = speculations_[claimed - 1];
        // Rather than wait for the speculator, grow a later block the same
        // way. The acquire pairs with the release at the end of grow_block().
        Backoff backoff;
        for (std::size_t ahead = b + 1; s.tag_.load(std::memory_order_acquire) != BlockSpeculation::tag(b, true);) {
            ahead = next_open(ahead, b);
            if (ahead == none || !grow_ahead(ahead, b, own)) backoff.pause();
            if (ahead == none) ahead = b + window_.end;
        }
        keep_block(b, s, own);
    }

    // Commits the speculated block b in the sequential loop's order: each
    // growth kept or grown again, and each seed the speculator skipped as
    // taken but not settled grown when free at its turn. The seeds it found
    // settled are taken at their turn too (keep_rule.hpp): the committer
    // does not look at them.
    void keep_block(std::size_t b, const BlockSpeculation& s, Worker& own) {
        if (s.failed) return grow_own(b * block_positions, block_end(b), own);
        std::size_t r = 0;
        const auto recheck_before = [&](std::size_t position) {
            for (; r < s.rechecks.size() && s.rechecks[r] < position; ++r)
                grow_own(s.rechecks[r], s.rechecks[r] + 1, own);
        };
        for (std::size_t k = 0; k < s.seeds.size(); ++k) {
            const SpeculatedSeed& seed = s.seeds[k];
            recheck_before(seed.position);
            if (still_as_read(run_.used, s.took.of(k), s.found.of(k))) {
                publish(s.region(k));
                emit(seed.fate, seed.rect);
                ++counts_.kept;
            } else {
                grow_own(seed.position, seed.position + 1, own);
                ++counts_.regrown;
            }
        }
        recheck_before(block_end(b));
        counts_.rechecked += s.rechecks.size();
    }

    // The committer grows the seeds at positions [from, to) itself, at their
    // turn, on the mask in place.
    void grow_own(std::size_t from, std::size_t to, Worker& own) {
        SharedMask mask(run_.used);
        walk_seeds(run_, from, to, mask, own.region, own.rect, [&](std::size_t i, SeedFate fate) {
            mask.settle(own.region);
            ++counts_.own;
            grown_own(i, fate, own);
        });
    }

    void grown_own(std::size_t position, SeedFate fate, const Worker& own) {
        hook(position, false);
        emit(fate, own.rect);
    }

    // Marks a kept region in the mask.
    void publish(std::span<const std::uint32_t> region) {
        for (std::uint32_t q : region) store_shared(run_.used.data(), q, settled);
    }

    const SeedRun& run_;
    ValidationQueue& queue_;
    const std::size_t blocks_;
    // Per block: 0 while unclaimed, by_committer, or 1 + the index of the
    // speculation that grows it.
    std::vector<std::atomic<std::uint32_t>> claims_;
    const SpeculationWindow window_;
    const std::size_t per_thread_;                // speculations of each thread
    std::vector<BlockSpeculation> speculations_;  // per_thread_ for each thread
    const std::size_t ahead_;                     // the probe's speculate_ahead
    const std::function<void(std::size_t, bool)>* after_growth_;
    SpeculationCounts counts_;  // the committer's
    std::atomic<std::size_t> renewed_{0};
    // What the speculators read as they go, on a cache line of its own (the
    // alignment rounds its size up to the line too) that only a block commit
    // writes.
    struct alignas(64) Progress {
        std::atomic<std::size_t> committed{0};  // blocks below are committed
        std::atomic<bool> wanted{false};        // a speculator has arrived
        std::atomic<bool> granted{false};       // the committer has left the mask to atomic access
    } progress_;
};

}  // namespace

namespace {

using Clock = std::chrono::steady_clock;

// The seconds of a step timed from one clock read to the next. A read takes
// time too (30 to 40 ns under this project's hypervisor, more than checking
// and marking a small kept region), and each step timed includes about one:
// it is taken off, as the least of many back-to-back reads, so as never to
// take off more.
class StepClock {
public:
    StepClock() {
        for (int i = 0; i < 1000; ++i) {
            const auto from = Clock::now();
            read_ = std::min(read_, raw(from, Clock::now()));
        }
    }
    double seconds(Clock::time_point from, Clock::time_point to) const { return std::max(0.0, raw(from, to) - read_); }

private:
    static double raw(Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double>(to - from).count();
    }

    double read_ = 1;
};

// Pass 1: the sequential loop as the committer runs it, each seed at its
// turn on the mask in place, timed seed by seed.
void trace_at_turn(const SeedRun& run, const StepClock& clock, SeedLoopTrace& trace) {
    SharedMask mask(run.used);
    Region region;
    Rect rect;
    auto last = Clock::now();
    for (std::size_t i = 0; i < run.seeds.size(); ++i) {
        prefetch_ahead(run.seeds, i, run.field, run.used);
        if (mask.taken(run.seeds[i])) continue;
        const auto reached = Clock::now();
        const SeedFate fate = process_seed(run.seeds[i], run, mask, region, rect);
        mask.settle(region);
        const auto grown = Clock::now();
        if (fate == SeedFate::dense) validate(rect, run.field, run.constants);
        const auto validated = Clock::now();
        trace.seeds.push_back(
            {i, clock.seconds(last, reached), clock.seconds(reached, grown), 0, 0, clock.seconds(grown, validated)});
        last = validated;
    }
}

// Pass 2 and 3, from the same mask: each seed grown through a speculative
// view, a speculator's walk and growth timed together into `seeds`, then
// checked and its region marked `marked` as the committer keeps it; the
// growths that own the pixels it found taken into `depends_on`. Marked
// settled, as the committer marks, a growth finds the regions before it
// settled and logs none of them: the timing pass. Marked held, it logs
// every one it finds: the pass that records the dependencies.
void trace_speculative(const SeedRun& run, const StepClock& clock, std::uint8_t marked, std::span<SeedTrace> seeds,
                       GrowthLog& depends_on) {
    constexpr std::uint32_t nobody = UINT32_MAX;  // taken before the loop
    std::vector<std::uint32_t> owner(run.used.size(), nobody);
    PixelSet mine(run.used.size()), earlier(run.used.size());
    Region region;
    Rect rect;
    // Reused growth after growth, as a speculator reuses its block's logs.
    GrowthLog took, found;
    std::vector<std::size_t> rechecks;
    LoggedMask mask(run.used, mine, earlier, took, found, rechecks);
    std::uint32_t k = 0;
    auto last = Clock::now();
    walk_seeds(run, 0, run.seeds.size(), mask, region, rect, [&](std::size_t i, SeedFate) {
        const auto grown = Clock::now();
        took.end_growth(), found.end_growth();
        if (!still_as_read(run.used, took.of(0), found.of(0))) fail("a growth on the mask it read was not kept");
        for (std::uint32_t q : region) store_shared(run.used.data(), q, marked);
        const auto marked_at = Clock::now();
        for (std::uint32_t q : region) mine.erase(q);  // the speculator's part
        for (std::uint32_t q : found.of(0))
            if (owner[q] != nobody) depends_on.note(owner[q]);
        depends_on.end_growth();
        for (std::uint32_t q : region) owner[q] = k;
        took.clear(), found.clear(), rechecks.clear();
        // Every pass grows the same seeds: the loop's result does not depend on the view.
        if (k == seeds.size() || seeds[k].position != i) fail("the traced passes grew different seeds");
        seeds[k].speculative_seconds = clock.seconds(last, grown);
        seeds[k++].mark_seconds = clock.seconds(grown, marked_at);
        last = Clock::now();
    });
}

}  // namespace

SeedLoopTrace trace_seed_loop(const SeedRun& run) {
    SeedLoopTrace trace{run.seeds.size(), {}, {}};
    const std::vector<std::uint8_t> start(run.used.begin(), run.used.end());
    const StepClock clock;
    trace_at_turn(run, clock, trace);
    std::copy(start.begin(), start.end(), run.used.begin());
    GrowthLog none;  // a settled region is never logged
    trace_speculative(run, clock, settled, trace.seeds, none);
    std::copy(start.begin(), start.end(), run.used.begin());
    std::vector<SeedTrace> untimed = trace.seeds;
    trace_speculative(run, clock, held, untimed, trace.depends_on);
    return trace;
}

void parallel_seed_loop(const SeedRun& run, ValidationQueue& queue, WorkerPool& pool, SeedLoopProbe* probe,
                        const std::function<void()>& loop_done) {
    const std::size_t threads = std::max<std::size_t>(pool.workers(), 1);
    auto loop = std::make_unique<ParallelSeedLoop>(run, queue, threads, probe);
    try {
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
    } catch (...) {
        if (probe) probe->counts = loop->counts();
        throw;
    }
    if (probe) probe->counts = loop->counts();
}

}  // namespace trelvane

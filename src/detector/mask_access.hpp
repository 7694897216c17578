// How region growing and refinement see the used mask. The sequential seed
// loop reads and writes the run's mask in place. In the parallel seed loop
// the committer does the same, but with atomic byte access (speculators read
// the mask meanwhile); a speculative growth, ahead of the committer, only
// reads the mask, keeps what it takes to itself and logs what the keep rule
// needs to tell whether its turn would read the same (keep_rule.hpp).
//
// A growth releases only pixels it took itself (refinement), so between
// growths the mask only fills up. In the parallel loop a taken byte says
// which it is: `settled`, taken before the loop or by a growth that is over,
// and so taken for good; or `held` by the committer's growth under way,
// which may still release it. A speculator need not log what it finds
// settled.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "records.hpp"

namespace trelvane {

inline constexpr std::uint8_t settled = 1, held = 2;

// A view of the mask: size(); taken(q), take(q), release(q) for pixel index q.
template <class M>
concept MaskView = requires(M mask, const M view, std::size_t q) {
    { view.size() } -> std::same_as<std::size_t>;
    { view.taken(q) } -> std::same_as<bool>;
    mask.take(q);
    mask.release(q);
};

// The mask itself: what the sequential seed loop and the plain stages use.
class DirectMask {
public:
    explicit DirectMask(UsedMask& used) : bytes_(used.data()), size_(used.size()) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const { return bytes_[q] != 0; }
    void take(std::size_t q) { bytes_[q] = 1; }
    void release(std::size_t q) { bytes_[q] = 0; }

private:
    std::uint8_t* bytes_;
    std::size_t size_;
};

// A byte of the mask while speculators read it. Relaxed order: a byte's
// stores come from the committer alone, and the committer checks every
// answer a speculative growth got against the byte at its turn
// (keep_rule.hpp), so no order between the threads' accesses is needed.
inline std::uint8_t load_shared(const std::uint8_t* bytes, std::size_t q) {
    return std::atomic_ref(const_cast<std::uint8_t&>(bytes[q])).load(std::memory_order_relaxed);
}
inline void store_shared(std::uint8_t* bytes, std::size_t q, std::uint8_t v) {
    std::atomic_ref(bytes[q]).store(v, std::memory_order_relaxed);
}

// One pixel per bit, over words owned elsewhere: a view keeps this pointer
// in a register through a growth, where a reference to the owner would be
// reloaded after every store.
struct PixelBits {
    std::uint64_t* words;
    bool contains(std::size_t q) const { return words[q / 64] >> (q % 64) & 1; }
    void insert(std::size_t q) const { words[q / 64] |= std::uint64_t{1} << (q % 64); }
    void erase(std::size_t q) const { words[q / 64] &= ~(std::uint64_t{1} << (q % 64)); }
};

// One pixel per bit: the pixels a speculative growth holds.
class PixelSet {
public:
    explicit PixelSet(std::size_t pixels) : words_((pixels + 63) / 64, 0) {}
    PixelBits bits() { return {words_.data()}; }
    void erase(std::size_t q) { bits().erase(q); }
    void clear() { std::fill(words_.begin(), words_.end(), 0); }

private:
    std::vector<std::uint64_t> words_;
};

// Pixel indices logged growth after growth. A growth logs the same pixels
// over and over (a region's pixels are each other's neighbours): a pixel
// found in a small direct-mapped table of the growth's recent entries is not
// logged again. The table is emptied between growths, so that no growth
// relies on the entries of the one before it; a pixel pushed out of the
// table may be logged twice, which is harmless.
class GrowthLog {
public:
    GrowthLog() { recent_.fill(none); }
    void note(std::uint32_t q) {
        std::uint32_t& slot = recent_[q % recent_.size()];
        if (slot == q) return;
        slot = q;
        entries_.push_back(q);
    }
    // The entries noted from here on are the next growth's.
    void end_growth() {
        ends_.push_back(entries_.size());
        recent_.fill(none);
    }
    void clear() { entries_.clear(), ends_.clear(), recent_.fill(none); }
    // A whole growth's entries at once, as another log holds them.
    void add_growth(std::span<const std::uint32_t> entries) {
        entries_.insert(entries_.end(), entries.begin(), entries.end());
        end_growth();
    }
    std::span<const std::uint32_t> of(std::size_t growth) const {
        const std::size_t from = growth ? ends_[growth - 1] : 0;
        return std::span(entries_).subspan(from, ends_[growth] - from);
    }

private:
    // Never a pixel index: a working image has fewer than 2^32 pixels (front_end.hpp).
    static constexpr std::uint32_t none = UINT32_MAX;
    std::vector<std::uint32_t> entries_;
    std::vector<std::size_t> ends_;
    std::array<std::uint32_t, 32> recent_;
};

// The committer's view in the parallel loop: the mask in place, each byte
// stored atomically, as speculators read it meanwhile. A growth holds what
// it takes until settle() is given its region as it ends.
class SharedMask {
public:
    explicit SharedMask(UsedMask& used) : bytes_(used.data()), size_(used.size()) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const { return load_shared(bytes_, q) != 0; }
    void take(std::size_t q) { store_shared(bytes_, q, held); }
    void release(std::size_t q) { store_shared(bytes_, q, 0); }
    void settle(std::span<const std::uint32_t> region) {
        for (std::uint32_t q : region) store_shared(bytes_, q, settled);
    }

private:
    std::uint8_t* bytes_;
    std::size_t size_;
};

// A speculative growth's view: the shared mask, read only, under the pixels
// held by the growths before it in its block and the pixels it holds
// itself. It logs, for the committer's check at its turn, every pixel it
// takes and every pixel it finds taken but neither settled nor its own: the
// growth is the one its turn would make when each pixel it took is still
// free then and each it found taken is still taken (keep_rule.hpp).
class LoggedMask {
public:
    LoggedMask(const UsedMask& shared, PixelSet& mine, PixelSet& earlier, GrowthLog& took, GrowthLog& found,
               std::vector<std::size_t>& rechecks)
        : shared_(shared.data()), size_(shared.size()), mine_(mine.bits()), earlier_(earlier.bits()), took_(&took),
          found_(&found), rechecks_(&rechecks) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const {
        if (mine_.contains(q)) return true;
        const std::uint8_t byte = load_shared(shared_, q);
        if (byte == settled) return true;
        if (!byte && !earlier_.contains(q)) return false;
        found_->note(static_cast<std::uint32_t>(q));
        return true;
    }
    // A walk over the seeds skips a seed found taken. One found settled is
    // taken at its turn too; the position of any other goes to `rechecks`,
    // for the committer to check again at its turn (keep_block in
    // seed_loop.cpp).
    bool seed_taken(std::size_t position, std::size_t q) const {
        const std::uint8_t byte = load_shared(shared_, q);
        if (byte == settled) return true;
        if (!byte && !earlier_.contains(q) && !mine_.contains(q)) return false;
        rechecks_->push_back(position);
        return true;
    }
    void take(std::size_t q) {
        mine_.insert(q);
        took_->note(static_cast<std::uint32_t>(q));
    }
    void release(std::size_t q) { mine_.erase(q); }

private:
    const std::uint8_t* shared_;
    std::size_t size_;
    PixelBits mine_, earlier_;
    GrowthLog* took_;
    GrowthLog* found_;
    std::vector<std::size_t>* rechecks_;
};

// Whether a walk over the seeds finds seed q, at `position` in the order,
// taken and skips it.
template <MaskView Mask>
bool seed_taken(const Mask& mask, std::size_t position, std::size_t q) {
    if constexpr (requires { mask.seed_taken(position, q); })
        return mask.seed_taken(position, q);
    else
        return mask.taken(q);
}

static_assert(MaskView<DirectMask> && MaskView<SharedMask> && MaskView<LoggedMask>);

}  // namespace trelvane

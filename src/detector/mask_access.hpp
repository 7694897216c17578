// How region growing and refinement see the used mask. The sequential seed
// loop reads and writes the run's mask in place. In the parallel seed loop
// the committer does the same, but with atomic byte access (speculators read
// the mask meanwhile), stamping the tile of every pixel it visits; a
// speculative growth, ahead of the committer, only reads the mask, keeps
// what it takes to itself and notes the tiles of everything it reads, so that
// the committer can tell whether the mask it ran on is still the mask its
// seed's turn sees (keep_rule.hpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "keep_rule.hpp"
#include "records.hpp"

namespace trelvane {

// A view of the mask: size(); taken(q), take(q), release(q) for pixel index
// q; visit(x, y) as growth visits pixel (x, y). Growth and refinement
// (grow_region, refine_region) keep a contract with every view, on which
// the parallel loop's keep rule rests:
// - they read only the bytes of a visited pixel's eight neighbours and
//   itself, after visiting it;
// - every pixel they take or release is visited in the same growth
//   (possibly after the write: a neighbour taken in one visit is visited
//   later).
// Tests drive them through a recording view that checks both.
template <class M>
concept MaskView = requires(M mask, const M view, std::size_t q) {
    { view.size() } -> std::same_as<std::size_t>;
    { view.taken(q) } -> std::same_as<bool>;
    mask.take(q);
    mask.release(q);
    mask.visit(q, q);
};

// The mask itself: what the sequential seed loop and the plain stages use.
class DirectMask {
public:
    explicit DirectMask(UsedMask& used) : bytes_(used.data()), size_(used.size()) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const { return bytes_[q] != 0; }
    void take(std::size_t q) { bytes_[q] = 1; }
    void release(std::size_t q) { bytes_[q] = 0; }
    void visit(std::size_t, std::size_t) const {}

private:
    std::uint8_t* bytes_;
    std::size_t size_;
};

// A byte of the mask while speculators read it. Relaxed order: a byte's
// stores come from the committer alone, and what a speculator must have
// seen is published by the commit count's release and acquire
// (seed_loop.cpp); a byte read newer than that lies in a stamped tile and
// makes the growth that read it not kept (keep_rule.hpp).
inline std::uint8_t load_shared(const std::uint8_t* bytes, std::size_t q) {
    return std::atomic_ref(const_cast<std::uint8_t&>(bytes[q])).load(std::memory_order_relaxed);
}
inline void store_shared(std::uint8_t* bytes, std::size_t q, std::uint8_t v) {
    std::atomic_ref(bytes[q]).store(v, std::memory_order_relaxed);
}

// Tiles of tile_side × tile_side pixels, numbered row by row: the unit in
// which the committer records where it wrote the mask.
inline constexpr std::size_t tile_shift = 2;
inline constexpr std::size_t tile_side = std::size_t{1} << tile_shift;

struct TileGrid {
    std::size_t columns;
    explicit TileGrid(std::size_t width) : columns((width + tile_side - 1) / tile_side) {}
    std::size_t count(std::size_t height) const { return columns * ((height + tile_side - 1) / tile_side); }
    std::uint32_t at(std::size_t x, std::size_t y) const {
        return static_cast<std::uint32_t>((y >> tile_shift) * columns + (x >> tile_shift));
    }
    // The tile of pixel index q.
    std::uint32_t of(std::uint32_t q, const PixelGrid& grid) const { return at(grid.x(q), grid.y(q)); }
};

// The committer's view in the parallel loop: the mask in place, atomically;
// each visited pixel's tile stamped as grown by the commit under way.
class StampedMask {
public:
    StampedMask(UsedMask& used, KeepRule& rule, const TileGrid& tiles)
        : bytes_(used.data()), size_(used.size()), rule_(rule), tiles_(tiles) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const { return load_shared(bytes_, q) != 0; }
    void take(std::size_t q) { store_shared(bytes_, q, 1); }
    void release(std::size_t q) { store_shared(bytes_, q, 0); }
    void visit(std::size_t x, std::size_t y) { rule_.grew(tiles_.at(x, y)); }

private:
    std::uint8_t* bytes_;
    std::size_t size_;
    KeepRule& rule_;
    TileGrid tiles_;
};

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

// A speculative growth's view: the shared mask, read only, under the pixels
// this growth holds. The tiles of every byte it reads go into the growth
// under way of `footprints`. The growth ends holding exactly the pixels of
// the regions it leaves: the caller marks them in the mask on commit and
// erases them from `held`.
class SpeculativeMask {
public:
    SpeculativeMask(const UsedMask& shared, PixelSet& held, GrowthTiles& footprints, const TileGrid& tiles,
                    std::size_t width, std::size_t height)
        : shared_(shared.data()), size_(shared.size()), held_(held.bits()), footprints_(footprints), tiles_(tiles),
          last_x_(width - 1), last_y_(height - 1) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const { return load_shared(shared_, q) || held_.contains(q); }
    void take(std::size_t q) { held_.insert(q); }
    void release(std::size_t q) { held_.erase(q); }
    // The tiles of the 3 × 3 pixels around (x, y), clipped to the image:
    // one tile unless the block straddles a tile border. It does not when x
    // modulo the tile side is neither 0 nor side - 1 (x + 1 modulo the side
    // is 2 or more), and the same for y: then x - 1 and x + 1 lie in x's
    // tile, and y - 1 and y + 1 in y's. That is the common case.
    void visit(std::size_t x, std::size_t y) {
        constexpr std::size_t inner = tile_side - 2;  // the bits of 2 ... side - 1
        if ((x + 1) & inner && (y + 1) & inner) return footprints_.note(tiles_.at(x, y));
        const std::size_t x0 = x == 0 ? 0 : x - 1, x1 = std::min(x + 1, last_x_);
        const std::size_t y0 = y == 0 ? 0 : y - 1, y1 = std::min(y + 1, last_y_);
        footprints_.note(tiles_.at(x0, y0));
        if ((x0 ^ x1) >> tile_shift) footprints_.note(tiles_.at(x1, y0));
        if ((y0 ^ y1) >> tile_shift) {
            footprints_.note(tiles_.at(x0, y1));
            if ((x0 ^ x1) >> tile_shift) footprints_.note(tiles_.at(x1, y1));
        }
    }

private:
    const std::uint8_t* shared_;
    std::size_t size_;
    PixelBits held_;
    GrowthTiles& footprints_;
    TileGrid tiles_;
    std::size_t last_x_, last_y_;
};

static_assert(MaskView<DirectMask> && MaskView<StampedMask> && MaskView<SpeculativeMask>);

}  // namespace trelvane

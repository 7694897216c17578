// How region growing and refinement see the used mask. The sequential seed
// loop reads and writes the run's mask in place. In the parallel seed loop
// the committer does the same, but with atomic byte access (speculators read
// the mask meanwhile) and stamping every tile of pixels it visits; a
// speculative growth, ahead of the committer, only reads the mask, keeps what
// it takes to itself and notes the tiles of everything it reads, so that the
// committer can tell whether the mask it ran on is still the mask its seed's
// turn sees.
//
// Every view has: size(); taken(q), take(q), release(q) for pixel index q;
// visit(x, y) as growth visits pixel (x, y), whose eight neighbours it then
// reads (and may write).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "records.hpp"

namespace trelvane {

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

// A byte of the mask while speculators read it: relaxed order is enough, as
// what a speculation read is checked again by the committer, the only
// writer, before anything it led to is used.
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

// Per tile, the number of the last commit that wrote a mask byte in it, plus
// one (0: none since the loop went parallel). The committer's alone.
using TileStamps = std::vector<std::uint32_t>;

// The committer's view in the parallel loop: the mask in place, atomically;
// each visited pixel's tile stamped with the commit under way, in `stamps`
// and in `grown` (what the committer grew itself). A visited pixel is the
// only kind whose byte growth and refinement write.
class StampedMask {
public:
    StampedMask(UsedMask& used, TileStamps& stamps, TileStamps& grown, const TileGrid& tiles, std::uint32_t stamp)
        : bytes_(used.data()), size_(used.size()), stamps_(stamps.data()), grown_(grown.data()), tiles_(tiles),
          stamp_(stamp) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const { return load_shared(bytes_, q) != 0; }
    void take(std::size_t q) { store_shared(bytes_, q, 1); }
    void release(std::size_t q) { store_shared(bytes_, q, 0); }
    void visit(std::size_t x, std::size_t y) {
        const std::uint32_t t = tiles_.at(x, y);
        stamps_[t] = stamp_, grown_[t] = stamp_;
    }

private:
    std::uint8_t* bytes_;
    std::size_t size_;
    std::uint32_t* stamps_;
    std::uint32_t* grown_;
    TileGrid tiles_;
    std::uint32_t stamp_;
};

// One pixel per bit: the pixels a speculative growth holds.
class PixelSet {
public:
    explicit PixelSet(std::size_t pixels) : words_((pixels + 63) / 64, 0) {}
    bool contains(std::size_t q) const { return words_[q / 64] >> (q % 64) & 1; }
    void insert(std::size_t q) { words_[q / 64] |= std::uint64_t{1} << (q % 64); }
    void erase(std::size_t q) { words_[q / 64] &= ~(std::uint64_t{1} << (q % 64)); }
    void clear() { std::fill(words_.begin(), words_.end(), 0); }

private:
    std::vector<std::uint64_t> words_;
};

// A speculative growth's view: the shared mask, read only, under the pixels
// this growth holds. The tiles of every byte it reads go into `footprint`,
// each at least once in the entries from the growth's start (the view's
// construction, or new_growth()). The growth ends holding exactly the pixels
// of the regions it leaves: the caller marks them in the mask on commit and
// erases them from `held`.
class SpeculativeMask {
public:
    SpeculativeMask(const UsedMask& shared, PixelSet& held, std::vector<std::uint32_t>& footprint,
                    const TileGrid& tiles, std::size_t width, std::size_t height)
        : shared_(shared.data()), size_(shared.size()), held_(held), footprint_(footprint),
          growth_start_(footprint.size()), tiles_(tiles), last_x_(width - 1), last_y_(height - 1) {}
    std::size_t size() const { return size_; }
    bool taken(std::size_t q) const { return load_shared(shared_, q) || held_.contains(q); }
    void take(std::size_t q) { held_.insert(q); }
    void release(std::size_t q) { held_.erase(q); }
    // The footprint entries from here on are the next growth's.
    void new_growth() { growth_start_ = footprint_.size(); }
    // The tiles of the 3 × 3 pixels around (x, y), clipped to the image:
    // one tile unless the block straddles a tile border.
    void visit(std::size_t x, std::size_t y) {
        const std::size_t x0 = x == 0 ? 0 : x - 1, x1 = std::min(x + 1, last_x_);
        const std::size_t y0 = y == 0 ? 0 : y - 1, y1 = std::min(y + 1, last_y_);
        note(tiles_.at(x0, y0));
        if ((x0 ^ x1) >> tile_shift) note(tiles_.at(x1, y0));
        if ((y0 ^ y1) >> tile_shift) {
            note(tiles_.at(x0, y1));
            if ((x0 ^ x1) >> tile_shift) note(tiles_.at(x1, y1));
        }
    }

private:
    // A tile the last entry already names is not noted again, but only
    // within the growth: each growth's entries must name all its tiles.
    void note(std::uint32_t tile) {
        if (footprint_.size() == growth_start_ || footprint_.back() != tile) footprint_.push_back(tile);
    }

    const std::uint8_t* shared_;
    std::size_t size_;
    PixelSet& held_;
    std::vector<std::uint32_t>& footprint_;
    std::size_t growth_start_;
    TileGrid tiles_;
    std::size_t last_x_, last_y_;
};

}  // namespace trelvane

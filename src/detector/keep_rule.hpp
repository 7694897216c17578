// Which growths made ahead of their turn the parallel seed loop may keep.
//
// The mask is divided into tiles (mask_access.hpp). Block commits are
// numbered 1, 2, ... in seed order; a speculation records `since`, the
// number of commits finished when its growths started. A speculated growth
// is kept when these hold, and then equals the growth the sequential loop
// makes at that seed's turn:
//
// 1. Footprint ⊇ reads. Every mask byte a growth reads lies in a tile of its
//    footprint (SpeculativeMask::visit notes the tiles around each visited
//    pixel, which cover every byte growth and refinement read).
// 2. Stamps ⊇ writes. Every mask byte a commit writes lies in a tile stamped
//    with that commit's number: kept regions tile by tile (publish), and the
//    committer's own growths through StampedMask, which stamps each visited
//    pixel's tile; growth and refinement write only pixels they visit (the
//    MaskView contract, mask_access.hpp, checked by tests).
// 3. Only commits change the mask, and a speculation sees every write of
//    the commits up to `since` (it reads the commit count with acquire
//    order: seed_loop.cpp, grow_block). A byte it reads may show a later
//    commit's write, but that write stamped the byte's tile.
//
// So a growth whose footprint holds no tile stamped after `since` read
// exactly the bytes the mask holds once every earlier block is committed,
// which is the mask of its turn but for its own block. Within its block it
// took the regions of the growths before it as taken: that holds while each
// of them is kept. A growth that is not kept is grown again by the
// committer, and the tiles of both its regions count as grown again: a later
// growth of the block that read one of them is grown again too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace trelvane {

// Tiles named growth after growth. Each growth's entries name every tile it
// noted. A growth notes the same few tiles over and over (those around the
// pixels it visits): a tile found in a small direct-mapped table of the
// growth's recent tiles is not noted again. The table is emptied between
// growths, so that no growth relies on the entries of the one before it;
// a tile pushed out of the table may be noted twice, which is harmless.
class GrowthTiles {
public:
    GrowthTiles() { recent_.fill(no_tile); }
    void note(std::uint32_t tile) {
        std::uint32_t& slot = recent_[tile % recent_.size()];
        if (slot == tile) return;
        slot = tile;
        tiles_.push_back(tile);
    }
    // The entries noted from here on are the next growth's.
    void end_growth() {
        ends_.push_back(tiles_.size());
        start_ = tiles_.size();
        recent_.fill(no_tile);
    }
    void clear() { tiles_.clear(), ends_.clear(), start_ = 0, recent_.fill(no_tile); }
    std::size_t growths() const { return ends_.size(); }
    std::span<const std::uint32_t> of(std::size_t growth) const {
        const std::size_t from = growth ? ends_[growth - 1] : 0;
        return std::span(tiles_).subspan(from, ends_[growth] - from);
    }
    // The entries of the growth under way.
    std::span<const std::uint32_t> current() const { return std::span(tiles_).subspan(start_); }

private:
    static constexpr std::uint32_t no_tile = UINT32_MAX;  // tile indices stay below: 16 pixels a tile
    std::vector<std::uint32_t> tiles_;
    std::vector<std::size_t> ends_;
    std::size_t start_ = 0;
    std::array<std::uint32_t, 32> recent_;
};

// The committer's record of which commit last wrote each tile, and the rule
// above. Commit 0 stands for everything before the loop went parallel.
class KeepRule {
public:
    explicit KeepRule(std::size_t tiles) : stamps_(tiles, 0), grown_(tiles, 0) {}

    // Block commits finished: all seen by a speculation that starts now.
    std::uint32_t finished() const { return finished_; }
    // The commit under way.
    std::uint32_t current() const { return finished_ + 1; }
    void finish_commit() { ++finished_; }

    // The commit under way wrote a byte in tile t by keeping a region.
    void wrote(std::uint32_t t) { stamps_[t] = current(); }
    // ... or by growing a seed itself.
    void grew(std::uint32_t t) { stamps_[t] = grown_[t] = current(); }
    // A growth it did not keep had held a pixel in tile t.
    void gave_up(std::uint32_t t) { grown_[t] = current(); }

    // Opens the commit of a speculated block whose growths are growths
    // [first, last) of footprints, started after `since` commits: decides
    // which saw a later commit's write, before this commit writes anything.
    void open_block(const GrowthTiles& footprints, std::size_t first, std::size_t last, std::uint32_t since) {
        first_ = first;
        fresh_.assign(last - first, false);
        for (std::size_t k = first; k < last; ++k) fresh_[k - first] = unchanged_since(footprints.of(k), since);
    }
    // Whether growth k of the open block is kept: its footprint saw no later
    // commit and no tile grown again in this one.
    bool keeps(std::size_t k, std::span<const std::uint32_t> footprint) const {
        return fresh_[k - first_] && !grown_again(footprint);
    }

    bool unchanged_since(std::span<const std::uint32_t> footprint, std::uint32_t since) const {
        for (std::uint32_t t : footprint)
            if (stamps_[t] > since) return false;
        return true;
    }
    bool grown_again(std::span<const std::uint32_t> footprint) const {
        for (std::uint32_t t : footprint)
            if (grown_[t] == current()) return true;
        return false;
    }

private:
    std::vector<std::uint32_t> stamps_;  // per tile: the last commit that wrote it
    std::vector<std::uint32_t> grown_;   // per tile: the last commit that grew it itself or gave it up
    std::uint32_t finished_ = 0;
    std::vector<bool> fresh_;  // the open block's growths that saw no later commit
    std::size_t first_ = 0;
};

}  // namespace trelvane

// Which growths made ahead of their turn the parallel seed loop may keep.
//
// A growth (region growing, then refinement, which may release pixels and
// grow again) reads the used mask only through taken(q), and what it does
// next depends only on the answer:
// - taken: q is skipped;
// - free: q is taken into the region if its direction is aligned with the
//   region's, and skipped otherwise.
// Everything else it reads is the level-line field, which the loop never
// writes. So a growth made on another mask is the growth of its turn when
// every answer it got is an answer its turn would give, or leads to the same
// step. A speculative growth (LoggedMask, mask_access.hpp) logs
// - every pixel it took: free when it read it, and so it must be free at its
//   turn, or its turn would skip it;
// - every pixel it found taken, except those it had taken itself: so it must
//   be taken at its turn, or its turn might take it. A pixel it found
//   settled (mask_access.hpp) is left out: it stays taken.
// A pixel it found free and skipped as not aligned needs nothing: taken or
// free at its turn, it is skipped. Its own pixels are its own at its turn
// too, since everything before them went the same way.
//
// The committer checks both logs against the mask when the growth's turn
// comes, once every earlier seed is committed: the mask then is exactly the
// sequential loop's. A growth that passes is kept and its region marked; one
// that fails is grown again at its turn. The logs hold values, not times: a
// pixel that changed and changed back in between makes no difference. Seeds
// go the same way: one a speculation skipped as settled is taken at its
// turn; the committer checks every other seed it skipped at its turn.
#pragma once

#include <cstdint>
#include <span>

#include "mask_access.hpp"

namespace trelvane {

// The keep rule: whether a growth that took the pixels `took` and found
// those of `found` taken reads on `mask`, at its turn, what it read.
inline bool still_as_read(const UsedMask& mask, std::span<const std::uint32_t> took,
                          std::span<const std::uint32_t> found) {
    for (std::uint32_t q : took)
        if (load_shared(mask.data(), q)) return false;
    for (std::uint32_t q : found)
        if (!load_shared(mask.data(), q)) return false;
    return true;
}

}  // namespace trelvane

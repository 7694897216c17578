// The detector's output record: one validated segment in input-image
// coordinates.
#pragma once

namespace trelvane {

struct Segment {
    double x1, y1, x2, y2;
    double width;      // of the segment's rectangle, in input-image pixels
    double precision;  // chance probability p of an aligned pixel
    double log_nfa;    // -log10(number of false alarms), above 0
};

}  // namespace trelvane

#include "improve_rect.hpp"

#include "rect_nfa.hpp"

namespace trelvane {
namespace {

constexpr int trials_per_section = 5;
constexpr double width_step = 0.5;
constexpr double side_step = width_step * 0.5;
constexpr double min_width = 0.5;

// Keeps the best rectangle seen; a later one must be strictly better, so ties
// keep the earlier.
struct Search {
    Rect& rect;
    std::span<const GradientRecord> field;
    float threshold;
    double log_nt;
    std::uint64_t width, height;
    double best = 0.0;

    double nfa(const Rect& r) const { return rect_nfa(r, field, threshold, log_nt, width, height); }
    void try_rect(const Rect& trial) {
        const double v = nfa(trial);
        if (v > best) {
            rect = trial;
            best = v;
        }
    }
    bool meaningful() const { return best > 0.0; }
};

// Halvings of p accumulate in the trial whether or not one wins.
void try_finer_precision(Search& search) {
    Rect trial = search.rect;
    for (int i = 0; i < trials_per_section; ++i) {
        trial.p = trial.p * 0.5;
        trial.prec = pi * trial.p;
        search.try_rect(trial);
    }
}

void try_narrower(Search& search) {
    Rect trial = search.rect;
    for (int i = 0; i < trials_per_section && !(trial.width - width_step < min_width); ++i) {
        trial.width = trial.width - width_step;
        search.try_rect(trial);
    }
}

// Narrows by 0.5 per trial and moves the central line a quarter pixel
// (shift_x, shift_y) towards one edge, which thus stays in place.
void try_one_side(Search& search, double shift_x, double shift_y) {
    Rect trial = search.rect;
    for (int i = 0; i < trials_per_section && !(trial.width - width_step < min_width); ++i) {
        trial.x1 += shift_x;
        trial.y1 += shift_y;
        trial.x2 += shift_x;
        trial.y2 += shift_y;
        trial.width = trial.width - width_step;
        search.try_rect(trial);
    }
}

}  // namespace

double improve_rect(Rect& rect, std::span<const GradientRecord> field, float threshold,
                    double log_nt, std::uint64_t width, std::uint64_t height) {
    Search search{rect, field, threshold, log_nt, width, height};
    search.best = search.nfa(rect);
    if (search.meaningful()) return search.best;
    try_finer_precision(search);
    if (search.meaningful()) return search.best;
    try_narrower(search);
    if (search.meaningful()) return search.best;
    try_one_side(search, -rect.dy * side_step, rect.dx * side_step);
    if (search.meaningful()) return search.best;
    try_one_side(search, rect.dy * side_step, -rect.dx * side_step);
    if (search.meaningful()) return search.best;
    try_finer_precision(search);
    return search.best;
}

}  // namespace trelvane

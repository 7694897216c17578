#include "front_end.hpp"

#include <algorithm>
#include <bit>
#include <type_traits>

#include "front_end_rows.hpp"
#include "gaussian_downsample.hpp"
#include "level_line_field.hpp"

namespace trelvane {

namespace {

// A caller's sample as a 64-bit float; uint16 is divided by 257.
template <class T>
double sample_value(T v) {
    if constexpr (std::is_same_v<T, std::uint16_t>) return static_cast<double>(v) / 257.0;
    return static_cast<double>(v);
}

// One row of samples as 64-bit floats: doubles are used where they are.
template <class T>
const double* row_values(const T* row, std::size_t w, double* scratch) {
    if constexpr (std::is_same_v<T, double>) {
        return row;
    } else {
        for (std::size_t x = 0; x < w; ++x) scratch[x] = sample_value(row[x]);
        return scratch;
    }
}

// Where a block writes: its rows of the field and the mask, and its strong
// pixels; the routines of the call's level and the block's bits of one row.
struct BlockOutput {
    GradientRecord* records;
    std::uint8_t* used;
    StrongPixels& strong;
    std::size_t width;
    const FrontEndRows& rows;
    std::uint64_t* strong_bits;
};

// Field row y from working rows y and y + 1, its mask bytes and strong
// pixels. Every record starts zero and every byte used; the pixels the weak
// test cannot prove weak (front_end_rows.hpp) then get their record, the
// strong ones a free byte. The last column, with no column to its right,
// stays as it starts.
void emit_row(const BlockOutput& out, std::size_t y, const double* top, const double* bottom) {
    const std::size_t w = out.width;
    GradientRecord* rec = out.records + y * w;
    std::uint8_t* used = out.used + y * w;
    std::fill_n(rec, w, GradientRecord{});
    std::fill_n(used, w, std::uint8_t{1});
    out.rows.mark_strong(top, bottom, w - 1, out.strong_bits);
    const auto base = static_cast<std::uint32_t>(y * w);
    for (std::size_t word = 0; word < (w + 62) / 64; ++word) {
        for (std::uint64_t bits = out.strong_bits[word]; bits != 0; bits &= bits - 1) {
            const std::size_t x = word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
            const GradientRecord r = level_line_record(gradient_at(top + x, bottom + x));
            rec[x] = r;
            if (r.magnitude > rho) {
                used[x] = 0;
                out.strong.pixels.push_back({base + static_cast<std::uint32_t>(x), r.magnitude});
                out.strong.max = max_ignoring_nan(out.strong.max, r.magnitude);
            }
        }
    }
}

// The last row has no row below it: undefined records, all used.
void emit_last_row(const BlockOutput& out, std::size_t y) {
    const std::size_t w = out.width;
    std::fill_n(out.records + y * w, w, GradientRecord{});
    std::fill_n(out.used + y * w, w, std::uint8_t{1});
}

struct Blocks {
    std::size_t count, rows;
    std::size_t begin(std::size_t b) const { return b * front_end_block_rows; }
    std::size_t end(std::size_t b) const { return std::min(begin(b) + front_end_block_rows, rows); }
};

FrontEnd allocate(std::size_t w, std::size_t h) {
    const std::size_t count = checked_mul(w, h);
    FrontEnd fe{GradientField{w, h, FilledLater<GradientRecord>(count)}, UsedMask(count), {}};
    fe.blocks.resize((h + front_end_block_rows - 1) / front_end_block_rows);
    return fe;
}

// Calls fill(out, first row, end row) for every block of field rows, on the
// pool. A block gathers its strong pixels on its own and moves them into
// fe.blocks when done: neighbouring entries of fe.blocks share cache lines,
// and two threads appending to neighbours through them took 1.1 to 1.6
// times the processor time (2048 x 2048, scale 1.0).
template <class Fill>
void fill_blocks(FrontEnd& fe, const FrontEndRows& rows, WorkerPool& pool, Fill&& fill) {
    const Blocks blocks{fe.blocks.size(), fe.field.height};
    pool.run(blocks.count, [&](std::size_t b) {
        StrongPixels strong;
        std::vector<std::uint64_t> bits((fe.field.width + 63) / 64);
        fill(BlockOutput{fe.field.records.data(), fe.used.data(), strong, fe.field.width, rows, bits.data()},
             blocks.begin(b), blocks.end(b));
        fe.blocks[b] = std::move(strong);
    });
}

// Scale >= 1: the field straight from the samples, converted row by row.
template <class T>
FrontEnd full_scale(std::span<const T> samples, std::size_t w, std::size_t h, WorkerPool& pool, IsaLevel level) {
    FrontEnd fe = allocate(w, h);
    fill_blocks(fe, front_end_rows(level), pool, [&](const BlockOutput& out, std::size_t y0, std::size_t y1) {
        FilledLater<double> scratch(std::is_same_v<T, double> ? 0 : 2 * w);
        double* const slots[2] = {scratch.data(), scratch.data() + scratch.size() / 2};
        const double* top = row_values(samples.data() + y0 * w, w, slots[0]);
        for (std::size_t y = y0; y < y1; ++y) {
            if (y + 1 == h) {
                emit_last_row(out, y);
                break;
            }
            const double* bottom = row_values(samples.data() + (y + 1) * w, w, slots[(y + 1 - y0) % 2]);
            emit_row(out, y, top, bottom);
            top = bottom;
        }
    });
    return fe;
}

// What every block of the downsampling pass shares: the kernel, the source
// column and row of every output column and row, and the sum of the taps.
struct DownsamplePlan {
    std::vector<double> kernel;
    std::size_t n;
    std::vector<std::size_t> columns, rows;
    std::size_t width, height;  // of the input
    std::size_t ring;           // input rows a working row can read: min(2n + 1, height)
    SumTaps sum_taps;
};

DownsamplePlan downsample_plan(std::size_t w, std::size_t h, double scale, SumTaps sum_taps) {
    const ImageSize size = downsampled_size(w, h, scale);
    DownsamplePlan plan{gaussian_kernel(scale), 0, std::vector<std::size_t>(size.width),
                        std::vector<std::size_t>(size.height), w, h, 0, sum_taps};
    plan.n = plan.kernel.size() / 2;
    plan.ring = std::min(plan.kernel.size(), h);
    for (std::size_t i = 0; i < plan.columns.size(); ++i) plan.columns[i] = downsample_source(i, scale, w);
    for (std::size_t j = 0; j < plan.rows.size(); ++j) plan.rows[j] = downsample_source(j, scale, h);
    return plan;
}

// Input row r blurred horizontally, at the sampled columns. The row is first
// laid out with n copies of each edge sample beyond its ends, so that tap k of
// output column x reads padded[x + k] = I(clamp(x + k - n)); the taps are
// added in increasing k onto 0, as the full horizontal pass does. When more
// than half the columns are sampled, blurring the whole row (contiguous, so
// vectorised) and then picking the columns is the cheaper of the two ways to
// the same values; scratch holds that whole row. taps holds a pointer per tap.
template <class T>
void blur_sampled_row(const T* in, const DownsamplePlan& plan, double* padded, double* scratch, double* out,
                      const double** taps) {
    const std::size_t w = plan.width, n = plan.n, count = plan.columns.size();
    const double left = sample_value(in[0]), right = sample_value(in[w - 1]);
    std::fill_n(padded, n, left);
    for (std::size_t x = 0; x < w; ++x) padded[n + x] = sample_value(in[x]);
    std::fill_n(padded + n + w, n, right);
    if (2 * count > w) {
        for (std::size_t k = 0; k < plan.kernel.size(); ++k) taps[k] = padded + k;
        plan.sum_taps(taps, plan.kernel.data(), plan.kernel.size(), w, scratch);
        for (std::size_t i = 0; i < count; ++i) out[i] = scratch[plan.columns[i]];
        return;
    }
    std::fill_n(out, count, 0.0);
    for (std::size_t k = 0; k < plan.kernel.size(); ++k) {
        const double g = plan.kernel[k];
        const double* tap = padded + k;
        for (std::size_t i = 0; i < count; ++i) out[i] = out[i] + g * tap[plan.columns[i]];
    }
}

// One block of the downsampled field. The horizontally blurred input rows
// live in a ring of plan.ring rows (row r in slot r mod plan.ring): the rows a
// working row reads form a window that only moves down and is never longer
// than the ring.
template <class T>
void downsampled_block(std::span<const T> samples, const DownsamplePlan& plan, const BlockOutput& out,
                       std::size_t j0, std::size_t j1) {
    const std::size_t cols = plan.columns.size(), last_row = plan.rows.size() - 1;
    const auto n = static_cast<std::int64_t>(plan.n), h = static_cast<std::int64_t>(plan.height);
    FilledLater<double> padded(plan.width + 2 * plan.n), whole_row(plan.width), ring(plan.ring * cols), work(2 * cols);
    std::vector<const double*> taps(plan.kernel.size());
    std::int64_t next = 0;  // first input row not yet in the ring
    const std::size_t j_end = std::min(j1, last_row);
    for (std::size_t j = j0; j <= j_end; ++j) {
        const auto sy = static_cast<std::int64_t>(plan.rows[j]);
        const std::int64_t lo = std::max<std::int64_t>(sy - n, 0), hi = std::min(sy + n, h - 1);
        for (std::int64_t r = std::max(next, lo); r <= hi; ++r)
            blur_sampled_row(samples.data() + static_cast<std::size_t>(r) * plan.width, plan, padded.data(),
                             whole_row.data(), ring.data() + static_cast<std::size_t>(r) % plan.ring * cols,
                             taps.data());
        next = std::max(next, hi + 1);

        // Vertical taps at the sampled points, in increasing k onto 0.
        double* row = work.data() + (j - j0) % 2 * cols;
        for (std::size_t k = 0; k < plan.kernel.size(); ++k) {
            const std::int64_t r = std::clamp<std::int64_t>(sy + static_cast<std::int64_t>(k) - n, 0, h - 1);
            taps[k] = ring.data() + static_cast<std::size_t>(r) % plan.ring * cols;
        }
        plan.sum_taps(taps.data(), plan.kernel.data(), plan.kernel.size(), cols, row);
        if (j > j0) emit_row(out, j - 1, work.data() + (j - 1 - j0) % 2 * cols, row);
    }
    if (j1 == last_row + 1) emit_last_row(out, last_row);
}

// Scale < 1: blur and sample on the fly, block by block.
template <class T>
FrontEnd downsampled(std::span<const T> samples, std::size_t w, std::size_t h, double scale, WorkerPool& pool,
                     IsaLevel level) {
    const FrontEndRows rows = front_end_rows(level);
    const DownsamplePlan plan = downsample_plan(w, h, scale, rows.sum_taps);
    const std::size_t new_w = plan.columns.size(), new_h = plan.rows.size();
    FrontEnd fe = allocate(new_w, new_h);
    fill_blocks(fe, rows, pool, [&](const BlockOutput& out, std::size_t j0, std::size_t j1) {
        downsampled_block(samples, plan, out, j0, j1);
    });
    return fe;
}

// Samples as 64-bit floats: doubles are borrowed, other types converted.
template <class T>
GrayImage working_samples(std::span<const T> samples, std::size_t width, std::size_t height) {
    if constexpr (std::is_same_v<T, double>) {
        return GrayImage::borrowing(width, height, samples);
    } else {
        std::vector<double> converted(samples.size());
        for (std::size_t i = 0; i < samples.size(); ++i) converted[i] = sample_value(samples[i]);
        return GrayImage::owning(width, height, std::move(converted));
    }
}

void check_input(std::size_t samples, std::size_t width, std::size_t height) {
    if (width < 3 || height < 3 || samples != checked_mul(width, height))
        fail("front end: the input must be at least 3 x 3 and match its size");
}

}  // namespace

template <class T>
FrontEnd fused_front_end(std::span<const T> samples, std::size_t width, std::size_t height, double scale,
                         WorkerPool& pool, IsaLevel level) {
    check_input(samples.size(), width, height);
    if (downsamples(scale)) return downsampled(samples, width, height, scale, pool, level);
    return full_scale(samples, width, height, pool, level);
}

template <class T>
FrontEnd reference_front_end(std::span<const T> samples, std::size_t width, std::size_t height, double scale,
                             WorkerPool& pool) {
    check_input(samples.size(), width, height);
    GrayImage image = working_samples(samples, width, height);
    if (downsamples(scale)) image = gaussian_downsample(image, scale, pool);
    FrontEnd fe{level_line_field(image, pool), {}, {}};
    fe.used = UsedMask(fe.field.records.size());
    for (std::size_t i = 0; i < fe.used.size(); ++i) fe.used[i] = fe.field.records[i].magnitude <= rho ? 1 : 0;
    return fe;
}

#define TRELVANE_FRONT_END(T)                                                                                   \
    template FrontEnd fused_front_end<T>(std::span<const T>, std::size_t, std::size_t, double, WorkerPool&,      \
                                         IsaLevel);                                                             \
    template FrontEnd reference_front_end<T>(std::span<const T>, std::size_t, std::size_t, double, WorkerPool&);
TRELVANE_FRONT_END(double)
TRELVANE_FRONT_END(float)
TRELVANE_FRONT_END(std::uint8_t)
TRELVANE_FRONT_END(std::uint16_t)
#undef TRELVANE_FRONT_END

}  // namespace trelvane

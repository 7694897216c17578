// Times 8-bit remap_rgb or remap_gray at each vector level with the float32
// kernels on and off (the exact kernels), interleaved in one process, and
// counts the output pixels the float32 kernels handed to the exact code.
//
//     resample_float32 FILTER rgb|gray IMAGE.raw MAP_X.raw MAP_Y.raw WIDTH HEIGHT REPEATS
//
// The inputs are raw arrays written by bench/bench_resample.py: WIDTH × HEIGHT
// RGB or gray bytes and two WIDTH × HEIGHT float32 maps (the output has the
// same size). Prints one line per level: "level median_seconds median_cpu_seconds
// recomputed_pixels pixels". The processor time, summed
// over the threads, is the steadier figure on a machine other work shares.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "warp/remap.hpp"

namespace {

template <class T>
std::vector<T> read_raw(const char* path, std::size_t count) {
    std::vector<T> v(count);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(T)));
    if (!in) throw std::runtime_error(std::string("short or missing input: ") + path);
    return v;
}

struct Timing {
    std::vector<double> seconds, cpu;
    std::uint64_t recomputed = 0;
};

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

// The median wall and processor times of `repeats` calls at each level,
// interleaved run after run, and the pixels recomputed by the last call.
template <int C>
std::vector<Timing> time_levels(const std::vector<trelvane::IsaLevel>& levels, trelvane::Filter filter,
                                const char* image_path, const std::vector<float>& map_x,
                                const std::vector<float>& map_y, std::size_t w, std::size_t h, int repeats) {
    using namespace trelvane;
    const auto image = read_raw<std::uint8_t>(image_path, w * h * C);
    std::vector<Timing> timings(levels.size());
    for (int r = 0; r < repeats; ++r)
        for (std::size_t i = 0; i < levels.size(); ++i) {
            const std::uint64_t before = recomputed_samples();
            const double cpu = cpu_seconds();
            const auto start = std::chrono::steady_clock::now();
            value_or_fail(remap_image<std::uint8_t, C>(image, w, h, map_x, map_y, w, h, filter, levels[i]), "remap");
            timings[i].seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            timings[i].cpu.push_back(cpu_seconds() - cpu);
            timings[i].recomputed = recomputed_samples() - before;
        }
    return timings;
}

int main(int argc, char** argv) {
    using namespace trelvane;
    const auto filter = argc == 9 ? parse_filter(argv[1]) : std::nullopt;
    const std::string channels = argc == 9 ? argv[2] : "";
    if (!filter || (channels != "rgb" && channels != "gray")) {
        std::fprintf(stderr, "usage: resample_float32 bilinear|lanczos3 rgb|gray IMAGE.raw MAP_X.raw MAP_Y.raw WIDTH HEIGHT REPEATS\n");
        return 2;
    }
    const std::size_t w = std::strtoul(argv[6], nullptr, 10), h = std::strtoul(argv[7], nullptr, 10);
    const int repeats = std::atoi(argv[8]);
    const auto map_x = read_raw<float>(argv[4], w * h), map_y = read_raw<float>(argv[5], w * h);

    std::vector<IsaLevel> levels;
    for (IsaLevel l : {IsaLevel::Avx512, IsaLevel::Avx512Exact, IsaLevel::Avx2, IsaLevel::Avx2Exact})
        if (instruction_set(l) <= cpu_isa_level()) levels.push_back(l);
    const char* names[] = {"baseline", "avx2-exact", "avx2", "avx512-exact", "avx512"};
    const auto timings = channels == "rgb" ? time_levels<3>(levels, *filter, argv[3], map_x, map_y, w, h, repeats)
                                           : time_levels<1>(levels, *filter, argv[3], map_x, map_y, w, h, repeats);
    for (std::size_t i = 0; i < levels.size(); ++i)
        std::printf("%s %.6f %.6f %llu %zu\n", names[static_cast<int>(levels[i])], median(timings[i].seconds),
                    median(timings[i].cpu), static_cast<unsigned long long>(timings[i].recomputed), w * h);
}

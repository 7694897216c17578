// Times the detector's stages on an 8-bit binary PGM image.
//
//     detect_stages IMAGE.pgm SCALE REPEATS [reference]
//
// Prints one line of seconds per stage (the run with the smallest total) and
// the number of segments, for bench/bench_detect.py to read. With
// "reference", times the plain stage functions one after the other instead of
// the fused, parallel path.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "detector/detect_segments.hpp"

namespace {

struct Pgm {
    std::size_t width = 0, height = 0;
    std::vector<std::uint8_t> samples;
};

Pgm read_pgm(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int max = 0;
    Pgm image;
    in >> magic >> image.width >> image.height >> max;
    in.get();  // the single whitespace before the samples
    if (!in || magic != "P5" || max != 255) throw std::runtime_error(std::string("not an 8-bit PGM: ") + path);
    image.samples.resize(image.width * image.height);
    in.read(reinterpret_cast<char*>(image.samples.data()), static_cast<std::streamsize>(image.samples.size()));
    if (!in) throw std::runtime_error(std::string("truncated PGM: ") + path);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    const bool reference = argc == 5 && std::string(argv[4]) == "reference";
    if (argc != 4 && !reference) {
        std::cerr << "usage: detect_stages IMAGE.pgm SCALE REPEATS [reference]\n";
        return 2;
    }
    const Pgm image = read_pgm(argv[1]);
    const double scale = std::strtod(argv[2], nullptr);
    const int repeats = std::atoi(argv[3]);
    const auto pipeline = reference ? trelvane::Pipeline::reference : trelvane::Pipeline::fused;
    trelvane::StageTimes best;
    double best_total = 1e300;
    std::size_t segments = 0;
    for (int r = 0; r < repeats; ++r) {
        trelvane::StageTimes times;
        const auto start = std::chrono::steady_clock::now();
        const auto result = trelvane::detect_segments<std::uint8_t>(image.samples, image.width, image.height,
                                                                    scale, &times, pipeline);
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        segments = std::get<std::vector<trelvane::Segment>>(result).size();
        if (total < best_total) best_total = total, best = times;
    }
    std::printf("total %.6f front_end %.6f ordering %.6f growing %.6f validation %.6f segments %zu\n", best_total,
                best.front_end, best.ordering, best.growing, best.validation, segments);
    return 0;
}

// Reads the benchmark's images: 8-bit binary PGM, as bench/bench_detect.py
// writes them.
#pragma once

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct Pgm {
    std::size_t width = 0, height = 0;
    std::vector<std::uint8_t> samples;
};

inline Pgm read_pgm(const char* path) {
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

}  // namespace bench

// The instruction-set primitives under the vector row routines: every
// intrinsic and every #if on the level lives here, so that the kernels in
// vector_rows-inl.hpp read like the scalar samplers they mirror. Included by
// vector_rows-inl.hpp only, so compiled once per level like it.
//
// Each primitive opens with its lane picture: [a0 … aN−1] are the N lanes of
// a vector, lane l standing for output pixel l of a group.

#pragma once

#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "warp/sampling.hpp"

namespace trelvane::TRELVANE_LEVEL {
namespace {

#if defined(__AVX512F__)
constexpr int N = 8;
#else
constexpr int N = 4;
#endif

typedef double Vd __attribute__((vector_size(N * 8)));
typedef std::int64_t Vq __attribute__((vector_size(N * 8)));  // lane masks: -1 or 0
typedef std::uint64_t Vu __attribute__((vector_size(N * 8)));
typedef std::int32_t Vi __attribute__((vector_size(N * 4)));
typedef float Vf __attribute__((vector_size(N * 4)));

// [m0 … mN−1] → m0 ≠ 0 or … or mN−1 ≠ 0.
inline bool any(Vq m) {
#if defined(__AVX512F__)
    return _mm512_test_epi64_mask(__m512i(m), __m512i(m)) != 0;
#else
    return !_mm256_testz_si256(__m256i(m), __m256i(m));
#endif
}
// [v0 … vN−1] → [v0 … vN−1] between 64-bit lanes (Vq, Vd) and 32-bit ones (Vi).
inline Vi narrow(Vq v) { return __builtin_convertvector(v, Vi); }
inline Vq widen(Vi v) { return __builtin_convertvector(v, Vq); }
inline Vd to_double(Vi v) { return __builtin_convertvector(v, Vd); }
// [x0 … xN−1] → [trunc x0 … trunc xN−1], toward zero; the lanes are below 2^31
// in magnitude.
inline Vi truncate(Vd v) { return __builtin_convertvector(v, Vi); }
// [a0 … aN−1], [b0 … bN−1] → [min(a0, b0) … ], [max(a0, b0) … ].
inline Vi min(Vi a, Vi b) { return a < b ? a : b; }
inline Vi max(Vi a, Vi b) { return a > b ? a : b; }

// [o0 … oN−1] → [8 bytes at base + o0 … 8 bytes at base + oN−1].
// 8-byte words at the byte offsets of the lanes in m (the gathers' scale is
// 1: the offsets count bytes); other lanes give 0 and read nothing.
inline Vu gather_words(const unsigned char* base, Vi offsets, Vq m) {
#if defined(__AVX512F__)
    const __mmask8 k = _mm512_test_epi64_mask(__m512i(m), __m512i(m));
    return Vu(_mm512_mask_i32gather_epi64(_mm512_setzero_si512(), k, __m256i(offsets), base, 1));
#else
    return Vu(_mm256_mask_i32gather_epi64(_mm256_setzero_si256(),
                                          reinterpret_cast<const long long*>(base), __m128i(offsets),
                                          __m256i(m), 1));
#endif
}

// [k0 … kN−1] → w[i] = [entry k0 weight i … entry kN−1 weight i], i = 0 … 5.
// The six weights of table entry phase[l] for every lane l, as six vectors:
// each lane's entry is loaded whole and the block is transposed, which costs
// fewer cycles than six gathers. Every phase indexes the table.
//
// AVX-512: row l is lane l's entry, weights 0 … 5 and two zeros (mask 0x3F
// loads the six). unpacklo/unpackhi pair lanes l, l + 1 in each 128-bit block;
// then _mm512_shuffle_f64x2(a, b, imm) twice, whose result blocks are two
// blocks of a and two of b picked by the 2-bit fields of imm: 0x88 =
// 10 00 10 00 takes the even blocks (a0 a2 b0 b2), 0xDD = 11 01 11 01 the
// odd ones (a1 a3 b1 b3). After the two rounds block b of w[i] holds weight i
// of lanes 2b, 2b + 1.
// AVX2: weights 0 … 3 of each lane transposed as a 4 × 4 block: unpacklo/hi
// as above, then _mm256_permute2f128_pd(a, b, imm), whose low and high halves
// are picked by the low and high nibbles of imm (0 a's low half, 1 a's high
// half, 2 b's low, 3 b's high): 0x20 joins the low halves, 0x31 the high
// ones. Weights 4 and 5 come from 2-wide loads and unpacks.
inline void load_weights(const double* table, Vi phase, Vd (&w)[lanczos3.taps]) {
    static_assert(lanczos3.taps == 6, "the transposition is written for six weights");
    std::int32_t k[N];
    std::memcpy(k, &phase, sizeof k);
#if defined(__AVX512F__)
    __m512d r[8], t[8], q[8];
    for (int l = 0; l < 8; ++l) r[l] = _mm512_maskz_loadu_pd(0x3F, table + lanczos3.taps * k[l]);
    for (int l = 0; l < 8; l += 2) {
        t[l] = _mm512_unpacklo_pd(r[l], r[l + 1]);      // weights 0 2 4 6 of lanes l, l + 1
        t[l + 1] = _mm512_unpackhi_pd(r[l], r[l + 1]);  // weights 1 3 5 7
    }
    for (int h = 0; h < 8; h += 4)
        for (int o = 0; o < 2; ++o) {
            q[h + o] = _mm512_shuffle_f64x2(t[h + o], t[h + o + 2], 0x88);      // weights 0 4 / 1 5
            q[h + o + 2] = _mm512_shuffle_f64x2(t[h + o], t[h + o + 2], 0xDD);  // weights 2 6 / 3 7
        }
    w[0] = Vd(_mm512_shuffle_f64x2(q[0], q[4], 0x88));
    w[4] = Vd(_mm512_shuffle_f64x2(q[0], q[4], 0xDD));
    w[1] = Vd(_mm512_shuffle_f64x2(q[1], q[5], 0x88));
    w[5] = Vd(_mm512_shuffle_f64x2(q[1], q[5], 0xDD));
    w[2] = Vd(_mm512_shuffle_f64x2(q[2], q[6], 0x88));
    w[3] = Vd(_mm512_shuffle_f64x2(q[3], q[7], 0x88));
#else
    __m256d a[4];
    __m128d b[4];
    for (int l = 0; l < 4; ++l) {
        a[l] = _mm256_loadu_pd(table + lanczos3.taps * k[l]);
        b[l] = _mm_loadu_pd(table + lanczos3.taps * k[l] + 4);
    }
    const __m256d t0 = _mm256_unpacklo_pd(a[0], a[1]), t1 = _mm256_unpackhi_pd(a[0], a[1]);
    const __m256d t2 = _mm256_unpacklo_pd(a[2], a[3]), t3 = _mm256_unpackhi_pd(a[2], a[3]);
    w[0] = Vd(_mm256_permute2f128_pd(t0, t2, 0x20));
    w[2] = Vd(_mm256_permute2f128_pd(t0, t2, 0x31));
    w[1] = Vd(_mm256_permute2f128_pd(t1, t3, 0x20));
    w[3] = Vd(_mm256_permute2f128_pd(t1, t3, 0x31));
    w[4] = Vd(_mm256_set_m128d(_mm_unpacklo_pd(b[2], b[3]), _mm_unpacklo_pd(b[0], b[1])));
    w[5] = Vd(_mm256_set_m128d(_mm_unpackhi_pd(b[2], b[3]), _mm_unpackhi_pd(b[0], b[1])));
#endif
}

// [word0 … wordN−1] → [sample At of word0 … sample At of wordN−1], as doubles.
// Sample number At of a gathered word of T samples, as a double: a byte
// shuffle moves the sample's bytes to the bottom of its lane and clears the
// rest, and the conversion is exact (the value is below 2^16). The byte
// shuffle picks within 16-byte blocks, so each control byte names a byte of
// its own block; 0x80 writes a zero.
template <class T, int At>
inline Vd sample_in_word(Vu word) {
    typedef char Vb __attribute__((vector_size(N * 8)));
    static constexpr auto bytes = [] {
        std::array<char, N * 8> control{};
        for (int b = 0; b < N * 8; ++b) {
            const int in_lane = b % 8, lane_start = b % 16 - in_lane;  // shuffles stay in 16-byte lanes
            control[b] = in_lane < int(sizeof(T)) ? char(lane_start + At * sizeof(T) + in_lane) : char(0x80);
        }
        return control;
    }();
    Vb control;
    std::memcpy(&control, bytes.data(), sizeof control);
#if defined(__AVX512F__)
    const Vq v = Vq(_mm512_shuffle_epi8(__m512i(word), __m512i(control)));
    return __builtin_convertvector(v, Vd);
#else
    // No 64-bit integer conversion below AVX-512: 2^52 + v as a bit pattern
    // (the exponent of 2^52 is 0x433), minus 2^52: exact for v < 2^52.
    const Vu v = Vu(_mm256_shuffle_epi8(__m256i(word), __m256i(control)));
    return Vd(v | 0x4330000000000000) - 4503599627370496.0;
#endif
}

// [x0 … xN−1] → i = f = [floor x0 … floor xN−1], as integers and as doubles.
// The scalar floor_of on lanes. The baseline corrects a truncation because it
// has no rounding instruction; this level has an exact one, which costs one
// operation instead of four. The values are the same except that −0 stays −0
// where the scalar gives +0, and that never reaches an output: it only turns
// the fraction x − f from −0 into +0, which makes some bilinear terms zeros of
// the other sign, added to a first term that is never −0 (so they change
// nothing), and leaves the Lanczos phase at 0.
struct Floors {
    Vi i;
    Vd f;
};
inline Floors floor_of(Vd x) {
    constexpr int down = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
#if defined(__AVX512F__)
    const Vd f = Vd(_mm512_roundscale_pd(__m512d(x), down));  // scale bits 0: whole numbers
#else
    const Vd f = Vd(_mm256_round_pd(__m256d(x), down));
#endif
    return {truncate(f), f};  // f is a whole number: exact
}

// [o0 … oN−1] → the cache lines at base + o0 and base + oN−1 on their way.
// Starts loading the cache lines of the first and the last lane's word: the
// lanes are neighbouring output pixels, so their taps share those lines or
// lie between them. Issued while a block is planned, the lines are on their
// way before the block's gathers.
inline void prefetch_lanes(const unsigned char* base, Vi offsets) {
    _mm_prefetch(reinterpret_cast<const char*>(base + offsets[0]), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(base + offsets[N - 1]), _MM_HINT_T0);
}

// The cache line at base + offset on its way.
inline void prefetch_line(const unsigned char* base, std::int32_t offset) {
    _mm_prefetch(reinterpret_cast<const char*>(base + offset), _MM_HINT_T0);
}

// Primitives of the float32 paths. In the Lanczos-3 sums a float vector of 2N
// lanes holds two taps of N output pixels, in the block order of the gathered
// words: each 16-byte block of N words holds the words of pixels 2b and 2b +
// 1, and the same block of floats holds [tap a of 2b, tap a of 2b + 1, tap b
// of 2b, tap b of 2b + 1]. Every float vector of those sums keeps this order,
// so it costs one byte shuffle per two taps.
typedef float V2f __attribute__((vector_size(N * 8)));

typedef std::int32_t V2i __attribute__((vector_size(N * 8)));

// [a0 … aN−1], [b0 … bN−1] → [a0 a1 b0 b1 a2 a3 b2 b3 …]: per-pixel values
// of two taps in the block order.
inline V2f interleave_pairs(Vf a, Vf b) {
#if defined(__AVX512F__)
    return __builtin_shufflevector(a, b, 0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
#else
    return __builtin_shufflevector(a, b, 0, 1, 4, 5, 2, 3, 6, 7);
#endif
}
// [a0 a1 b0 b1 a2 a3 b2 b3 …] → [b0 b1 a0 a1 b2 b3 a2 a3 …].
inline V2f swap_taps(V2f v) {
#if defined(__AVX512F__)
    return __builtin_shufflevector(v, v, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
#else
    return __builtin_shufflevector(v, v, 2, 3, 0, 1, 6, 7, 4, 5);
#endif
}
// [a0 a1 b0 b1 a2 a3 b2 b3 …] → [a0 … aN−1].
inline Vf first_taps(V2f v) {
#if defined(__AVX512F__)
    return __builtin_shufflevector(v, v, 0, 1, 4, 5, 8, 9, 12, 13);
#else
    return __builtin_shufflevector(v, v, 0, 1, 4, 5);
#endif
}

// [word0 … wordN−1] → bytes A and B of every word as floats, in the block
// order (exact: the values are below 256). One byte shuffle moves each byte
// to the bottom of its 32-bit lane and clears the rest (0x80).
template <int A, int B>
inline V2f byte_pair(Vu word) {
    static_assert(A >= 0 && A < 8 && B >= 0 && B < 8, "bytes of an 8-byte word");
    typedef char Vb __attribute__((vector_size(N * 8)));
    Vb control;
    for (int b = 0; b < N * 8; ++b) {
        const int dword = b % 16 / 4;  // [A of the even word, A of the odd one, B, B]
        control[b] = b % 4 ? char(0x80) : char((dword < 2 ? A : B) + dword % 2 * 8);
    }
#if defined(__AVX512F__)
    return V2f(_mm512_cvtepi32_ps(_mm512_shuffle_epi8(__m512i(word), __m512i(control))));
#else
    return V2f(_mm256_cvtepi32_ps(_mm256_shuffle_epi8(__m256i(word), __m256i(control))));
#endif
}

// a·b + c rounded once. Only the Lanczos-3 float32 sums use it, whose error
// bound counts one rounding for it; the machine-code scan allows fused
// multiply-adds in float32_sums alone.
[[gnu::always_inline]] inline V2f fused_multiply_add(V2f a, V2f b, V2f c) {
#if defined(__AVX512F__)
    return V2f(_mm512_fmadd_ps(__m512(a), __m512(b), __m512(c)));
#else
    return V2f(_mm256_fmadd_ps(__m256(a), __m256(b), __m256(c)));
#endif
}

// [v0 … vN−1] → [to_sample<T>(v0) … to_sample<T>(vN−1)] as 32-bit integers.
// The output conversion of the scalar code on lanes, as whole numbers.
template <class T>
inline Vi to_samples(Vd v) {
    return truncate(rounded_sample<T>(v));
}

// [x0 … xN−1] → [floor x0 … floor xN−1], floats, exactly.
inline Vf floor_floats(Vf x) {
    constexpr int down = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
#if defined(__AVX512F__)
    return Vf(_mm256_round_ps(__m256(x), down));
#else
    return Vf(_mm_round_ps(__m128(x), down));
#endif
}

// The float32 bilinear kernel works on 2N output pixels at once, one per
// 32-bit lane, in their own order: [a0 … a2N−1].

// [o0 … o2N−1] → [4 bytes at base + o0 … 4 bytes at base + o2N−1], every lane
// read (the caller has checked every offset).
inline V2i gather_dwords(const unsigned char* base, V2i offsets) {
#if defined(__AVX512F__)
    return V2i(_mm512_i32gather_epi32(__m512i(offsets), base, 1));
#else
    return V2i(_mm256_i32gather_epi32(reinterpret_cast<const int*>(base), __m256i(offsets), 1));
#endif
}
// [w0 … w2N−1] → [byte K of w0 … byte K of w2N−1] (little-endian order).
template <int K>
inline V2i byte_of(V2i word) {
    typedef std::uint32_t V2u __attribute__((vector_size(N * 8)));
    const V2u w = V2u(word) >> (8 * K);
    if constexpr (K == 3) return V2i(w);
    return V2i(w & 0xFF);
}
// [m0 … m2N−1] (each lane −1 or 0) → bit l set where m_l is −1.
inline unsigned lane_bits(V2i m) {
#if defined(__AVX512F__)
    return _mm512_movepi32_mask(__m512i(m));
#else
    return unsigned(_mm256_movemask_ps(__m256(m)));
#endif
}
// [m0 … m2N−1] (each lane −1 or 0) → m0 and … and m2N−1.
inline bool all(V2i m) { return lane_bits(m) == (1u << 2 * N) - 1; }
// [x0 … x2N−1] rounded to whole numbers in rounding mode Mode, floats, exactly.
template <int Mode>
inline V2f round_floats(V2f x) {
    constexpr int mode = Mode | _MM_FROUND_NO_EXC;
#if defined(__AVX512F__)
    return V2f(_mm512_roundscale_ps(__m512(x), mode));  // scale bits 0: whole numbers
#else
    return V2f(_mm256_round_ps(__m256(x), mode));
#endif
}
// [x0 … x2N−1] → [floor x0 … floor x2N−1].
inline V2f floor_floats(V2f x) { return round_floats<_MM_FROUND_TO_NEG_INF>(x); }
// [x0 … x2N−1] → the nearest whole numbers (ties to even).
inline V2f nearest_floats(V2f x) { return round_floats<_MM_FROUND_TO_NEAREST_INT>(x); }
// [x0 … x2N−1] → [|x0| … |x2N−1|]: the sign bits cleared.
inline V2f magnitude(V2f x) { return V2f(V2i(x) & 0x7FFFFFFF); }

// The byte-shuffle control that squeezes each 16-byte block of four 32-bit
// RGB pixels (samples at bytes 0 … 2) into its first 12 bytes: control byte
// k of a block takes byte k mod 3 of pixel k / 3; 0x80 clears the last four.
template <class Vb>
inline Vb rgb_squeeze() {
    Vb squeeze;
    for (int b = 0; b < int(sizeof(Vb)); ++b) {
        const int k = b % 16;
        squeeze[b] = k < 12 ? char(k / 3 * 4 + k % 3) : char(0x80);
    }
    return squeeze;
}

// [s0 … s2N−1] (pixel k's samples at bytes 0 … C − 1 of s_k) → dest[0 …
// 2N·C − 1]. RGB: the squeeze and join of store_rgb8 below, on twice the
// lanes.
template <int C>
inline void store_packed(V2i packed, std::uint8_t* dest) {
    if constexpr (C == 1) {
        typedef std::uint8_t Vb __attribute__((vector_size(N * 2)));
        const Vb bytes = __builtin_convertvector(packed, Vb);
        std::memcpy(dest, &bytes, sizeof bytes);
    } else {
        typedef char Vb __attribute__((vector_size(N * 8)));
        const Vb squeeze = rgb_squeeze<Vb>();
#if defined(__AVX512F__)
        const __m512i quarters = _mm512_shuffle_epi8(__m512i(packed), __m512i(squeeze));
        const __m512i joined = _mm512_permutexvar_epi32(
            _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15), quarters);
#else
        const __m256i halves = _mm256_shuffle_epi8(__m256i(packed), __m256i(squeeze));
        const __m256i joined = _mm256_permutevar8x32_epi32(halves, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
#endif
        std::memcpy(dest, &joined, N * 6);
    }
}

// sample[c] lane l → dest[3l + c] as 8 bits, 0 where live is 0.
// 8-bit RGB: each pixel's samples packed into one 32-bit lane, then a byte
// shuffle squeezes each 16-byte half down to four 3-byte pixels
// (rgb_squeeze) and (with 8 lanes) a dword permutation joins the halves:
// dwords 0 1 2 of the first half, 4 5 6 of the second, then the two cleared
// ones. 32-bit lanes keep every step at half the width of the double lanes.
inline void store_rgb8(const Vi (&sample)[3], Vq live, std::uint8_t* dest) {
    Vi packed = (sample[0] | sample[1] << 8 | sample[2] << 16) & narrow(live);
    typedef char Vb __attribute__((vector_size(N * 4)));
    const Vb squeeze = rgb_squeeze<Vb>();
#if defined(__AVX512F__)
    const __m256i halves = _mm256_shuffle_epi8(__m256i(packed), __m256i(squeeze));
    const __m256i joined = _mm256_permutevar8x32_epi32(halves, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
#else
    const __m128i joined = _mm_shuffle_epi8(__m128i(packed), __m128i(squeeze));
#endif
    std::memcpy(dest, &joined, N * 3);
}

// sample[c] lane l → dest[3l + c] as 16 bits, 0 where live is 0.
// 16-bit RGB: each pixel's samples packed into one 64-bit lane (sample c at
// byte 2c), then written with one 8-byte store where that stays inside the N
// pixels, later pixels overwriting the spare bytes of earlier ones; with 8
// lanes a word permutation joins the pixels instead (output word w takes
// sample w mod 3 of pixel w / 3, packed word w / 3 × 4 + w mod 3).
inline void store_rgb16(const Vi (&sample)[3], Vq live, std::uint16_t* dest) {
    Vu packed{};
    for (int c = 0; c < 3; ++c) packed |= Vu(widen(sample[c])) << (c * 16);
    packed &= Vu(live);
#if defined(__AVX512F__)
    typedef std::int16_t Vw __attribute__((vector_size(64)));
    Vw order;
    for (int w = 0; w < 32; ++w) order[w] = std::int16_t(w / 3 * 4 + w % 3);
    const __m512i joined = _mm512_permutexvar_epi16(__m512i(order), __m512i(packed));
    std::memcpy(dest, &joined, N * 6);
#else
    std::uint64_t lanes[N];
    std::memcpy(lanes, &packed, sizeof packed);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(dest);
    for (int l = 0; l < N; ++l) std::memcpy(bytes + l * 6, &lanes[l], l + 1 < N ? 8 : 6);
#endif
}

}  // namespace
}  // namespace trelvane::TRELVANE_LEVEL

#pragma once

#include <cstdint>
#include <cstring>

// Eight-lane float vectors for the stencil kernels, written with the compiler's generic vector
// extension (g++ and clang): with -march=x86-64-v3 each operation is one AVX2 instruction,
// without it the compiler splits it into SSE halves, so the sanitizer builds compile the same
// source. Lane arithmetic is plain IEEE single precision, element for element the same as the
// scalar expressions it replaces.
// Without AVX, the compilers note at every function taking or returning such a vector that the
// calling convention differs from AVX builds; these helpers are internal and inlined, so no call
// ever crosses between the two.
#if !defined(__AVX__)
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#endif

namespace skv::simd {

typedef float F8 __attribute__((vector_size(32)));
typedef int32_t I8 __attribute__((vector_size(32)));

constexpr int kLanes = 8;

inline F8 load(const float* p) {
    F8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(float* p, F8 v) {
    std::memcpy(p, &v, sizeof v);
}

inline F8 splat(float a) {
    return F8{a, a, a, a, a, a, a, a};
}

// Lanes 0, 2, 4, 6 from `fresh`, the others from `old`.
inline F8 takeEvenLanes(F8 old, F8 fresh) {
    return __builtin_shufflevector(old, fresh, 8, 1, 10, 3, 12, 5, 14, 7);
}

// Lanes 1, 3, 5, 7 from `fresh`, the others from `old`.
inline F8 takeOddLanes(F8 old, F8 fresh) {
    return __builtin_shufflevector(old, fresh, 0, 9, 2, 11, 4, 13, 6, 15);
}

// (before[7], after[0], …, after[6]): the vector one element to the left of `after`.
inline F8 shiftInLast(F8 before, F8 after) {
    return __builtin_shufflevector(before, after, 7, 8, 9, 10, 11, 12, 13, 14);
}

// Magnitudes compared as integers: the bit pattern of a float without its sign orders like
// the magnitude, with +infinity above every finite value and NaN above infinity. One integer
// maximum per vector therefore tracks the largest magnitude and any NaN at once.
inline I8 magnitudeBits(F8 v) {
    I8 bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits & (I8{} + 0x7fffffff);
}

inline I8 maxMagnitudeBits(I8 a, I8 b) {
    const I8 greater = a > b;
    return (a & greater) | (b & ~greater);
}

inline float fromMagnitudeBits(I8 bits) {
    int32_t m = 0;
    for (int k = 0; k < kLanes; ++k)
        m = bits[k] > m ? bits[k] : m;
    float out;
    std::memcpy(&out, &m, sizeof out);
    return out;
}

// The larger of |a| and |b| in the same order (a NaN wins); a and b may carry any sign.
inline float maxMagnitude(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, sizeof ia);
    std::memcpy(&ib, &b, sizeof ib);
    ia &= 0x7fffffff;
    ib &= 0x7fffffff;
    const int32_t m = ia > ib ? ia : ib;
    float out;
    std::memcpy(&out, &m, sizeof out);
    return out;
}

}  // namespace skv::simd

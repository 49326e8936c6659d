// IEEE 754 binary16, binary32, binary64 and (decoding only) binary128.
//
// Encoders return the bit pattern; decoders take it and return the value as a double.
// Binary16 is narrowed from the binary32 value, so a double is rounded twice. Inline, as
// packet walks call them once per field.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace bitweave {

namespace detail {

inline std::uint32_t bits_of(float f) {
    std::uint32_t a;
    std::memcpy(&a, &f, sizeof a);
    return a;
}

inline float float_of(std::uint32_t a) {
    float f;
    std::memcpy(&f, &a, sizeof f);
    return f;
}

inline double double_of(std::uint64_t a) {
    double d;
    std::memcpy(&d, &a, sizeof d);
    return d;
}

}  // namespace detail

inline std::uint64_t encode_ieee754_f16(float value) {
    const std::uint32_t a = detail::bits_of(value);
    const std::uint32_t s = (a >> 16) & 0x8000;
    const std::uint32_t e = (a >> 23) & 0xFF;
    const std::uint32_t m = a & 0x7FFFFF;
    if (e == 255) return s | 0x7C00 | (m >> 13) | (m != 0 ? 0x0200 : 0);  // NaN stays NaN
    if (e >= 143) return s | 0x7C00;                                      // overflow: infinity
    if (e >= 113) {
        const std::uint32_t base = s | ((e - 112) << 10) | (m >> 13);
        const bool round = (m & 0x1000) != 0, sticky_or_odd = (m & 0x2FFF) != 0;
        return base + (round && sticky_or_odd ? 1 : 0);  // a carry may reach infinity
    }
    if (e >= 102) {  // subnormal result
        const std::uint32_t full = m | 0x800000;
        const std::uint32_t k = 126 - e, r = k - 1;  // k in 14..24
        std::uint32_t base = full >> k;
        if (((full >> r) & 1) != 0 && (full & ((3u << r) - 1)) != 0) ++base;
        return s | base;
    }
    return s;  // underflow: a zero of the value's sign
}

inline std::uint64_t encode_ieee754_f32(float value) { return detail::bits_of(value); }

inline std::uint64_t encode_ieee754_f64(double value) {
    std::uint64_t p;
    std::memcpy(&p, &value, sizeof p);
    return p;
}

inline double decode_ieee754_f16(std::uint64_t pattern) {
    const std::uint32_t h = std::uint32_t(pattern & 0xFFFF);
    const std::uint32_t s = (h & 0x8000) << 16, e = (h >> 10) & 0x1F, fr = h & 0x3FF;
    std::uint32_t a;
    if ((h & 0x7FFF) == 0) {
        a = s;
    } else if (e == 0x1F) {
        a = fr == 0 ? s | 0x7F800000 : s | 0x7FC00000 | (fr << 13);  // NaN: quiet, payload kept
    } else if (e != 0) {
        a = s | ((e + 112) << 23) | (fr << 13);
    } else {  // subnormal: normalise by the highest set bit of the fraction
        const unsigned top = 31 - unsigned(std::countl_zero(fr));
        a = s | ((top + 103) << 23) | ((fr << (23 - top)) & 0x7FFFFF);
    }
    return double(detail::float_of(a));
}

inline double decode_ieee754_f32(std::uint64_t pattern) {
    return double(detail::float_of(std::uint32_t(pattern)));
}

inline double decode_ieee754_f64(std::uint64_t pattern) { return detail::double_of(pattern); }

// The nearest double by truncating the fraction; values below the double range become a
// zero of their sign, and a NaN loses its payload.
inline double decode_ieee754_f128(std::uint64_t low, std::uint64_t high) {
    using detail::double_of;
    const std::uint64_t sign = high & 0x8000000000000000ULL;
    const std::uint64_t e = (high >> 48) & 0x7FFF;
    const std::uint64_t top = high & 0xFFFFFFFFFFFFULL;  // fraction bits 111..64
    if (e == 0x7FFF)
        return (top | low) == 0 ? double_of(sign | 0x7FF0000000000000ULL)
                                : double_of(0x7FF8000000000000ULL);
    if (e > 0x43FE) return double_of(sign | 0x7FF0000000000000ULL);
    if (e <= 0x3C00) return double_of(sign);  // zeros, subnormals and underflow
    // The top 52 fraction bits; the rest are cut off, never rounded up.
    const std::uint64_t m = (top << 4) | (low >> 60);
    return double_of(sign | ((e - 0x3C00) << 52) | m);
}

}  // namespace bitweave

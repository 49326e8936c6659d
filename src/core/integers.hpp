// Binary integers: unsigned, two's complement, ones' complement and sign-magnitude.
//
// A pattern is a 64-bit integer whose low `bits` bits are the field. The routines are
// inline, as packet walks call them once per field; their error texts are built out of
// line (integers.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bits.hpp"
#include "errors.hpp"
#include "platform.hpp"

namespace bitweave {

namespace detail {
BITWEAVE_COLD CodecError too_wide_for(const char* encoding);
BITWEAVE_COLD CodecError twos_out_of_range(std::int64_t v, std::size_t bits, std::int64_t min,
                                           std::int64_t max);
BITWEAVE_COLD CodecError too_large(std::int64_t v, std::size_t bits);
BITWEAVE_COLD CodecError too_large(std::uint64_t v, std::size_t bits);
BITWEAVE_COLD CodecError magnitude_too_large(std::int64_t v, std::size_t bits, bool ones);
BITWEAVE_COLD CodecError sign_magnitude_width();
}  // namespace detail

// ---- Encoding: a value to its pattern ----

// The unsigned range rule: below 64 bits a value must be less than 2^bits.
inline Result<std::uint64_t> encode_unsigned(std::uint64_t v, std::size_t bits) {
    if (bits < 64 && (v >> bits) != 0) return detail::too_large(v, bits);
    return v;
}

inline Result<std::uint64_t> encode_twos_complement(std::int64_t v, std::size_t bits) {
    if (bits > 64) return detail::too_wide_for("two's complement encoding");
    if (bits == 64) return std::uint64_t(v);
    // Only 0 fits in no bits at all.
    const std::int64_t max = bits == 0 ? 0 : std::int64_t(low_mask(bits - 1));
    const std::int64_t min = bits == 0 ? 0 : -max - 1;
    if (v < min || v > max) return detail::twos_out_of_range(v, bits, min, max);
    return std::uint64_t(v) & low_mask(bits);
}

inline Result<std::uint64_t> encode_ones_complement(std::int64_t v, std::size_t bits) {
    if (bits > 64) return detail::too_wide_for("ones' complement encoding");
    if (v >= 0) {
        // Below the sign bit: v < 2^(bits-1); with no bits at all only 0 fits.
        if (bits < 64 && (bits == 0 ? v != 0 : (std::uint64_t(v) >> (bits - 1)) != 0))
            return detail::too_large(v, bits);
        return std::uint64_t(v);
    }
    const std::uint64_t m = 0 - std::uint64_t(v);  // 2^63 for the most negative value
    if (bits == 0 || (m >> (bits - 1)) != 0) return detail::magnitude_too_large(v, bits, true);
    return low_mask(bits) - m;  // the complement of the magnitude within the field
}

inline Result<std::uint64_t> encode_sign_magnitude(std::int64_t v, std::size_t bits) {
    if (bits < 2 || bits > 64) return detail::sign_magnitude_width();
    const std::uint64_t m = v < 0 ? 0 - std::uint64_t(v) : std::uint64_t(v);
    if ((m >> (bits - 1)) != 0) return detail::magnitude_too_large(v, bits, false);
    return v < 0 ? m | (std::uint64_t{1} << (bits - 1)) : m;
}

// ---- Decoding: a pattern to its value ----
// Widths of 64 and more read the pattern as a whole; below that, bit bits-1 is the sign.

inline std::int64_t decode_twos_complement(std::uint64_t p, std::size_t bits) {
    if (bits >= 64) return std::int64_t(p);
    const std::size_t sign = (bits - 1) % 64;  // a width of 0 takes bit 63 as its sign
    if (((p >> sign) & 1) == 0) return std::int64_t(p);
    return -std::int64_t((0 - p) & low_mask(bits));  // bits above the sign become copies of it
}

inline std::int64_t decode_ones_complement(std::uint64_t p, std::size_t bits) {
    if (bits >= 64) return std::int64_t(p + (p >> 63));  // all ones is negative zero
    const std::size_t sign = (bits - 1) % 64;
    if (((p >> sign) & 1) == 0) return std::int64_t(p);
    return std::int64_t(p + (~std::uint64_t{0} << bits) + 1);
}

inline std::int64_t decode_sign_magnitude(std::uint64_t p, std::size_t bits) {
    const std::size_t sign = (bits - 1) % 64;
    const std::uint64_t magnitude = p & low_mask(sign);
    return ((p >> sign) & 1) != 0 ? -std::int64_t(magnitude) : std::int64_t(magnitude);
}

}  // namespace bitweave

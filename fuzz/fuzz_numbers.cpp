// Fuzz target: the integer, BCD and IEEE 754 codecs and the field layout helpers, on any
// values and widths. Besides crashes and undefined behaviour it checks what each pair
// of routines promises: a pattern stays inside its field, and decoding what was encoded
// (or encoding what was decoded) gives back what went in.
#include <cmath>
#include <cstring>

#include "core/bcd.hpp"
#include "core/bits.hpp"
#include "core/ieee754.hpp"
#include "core/integers.hpp"
#include "fuzz.hpp"

using namespace bitweave;

namespace {

bool fits(std::uint64_t pattern, std::size_t bits) { return (pattern & ~low_mask(bits)) == 0; }

void twos(std::int64_t v, std::uint64_t p, std::size_t bits) {
    const Result<std::uint64_t> r = encode_twos_complement(v, bits);
    bool in_range = bits == 64 || (bits == 0 && v == 0);
    if (bits >= 1 && bits < 64) {
        const std::int64_t half = std::int64_t{1} << (bits - 1);
        in_range = v >= -half && v < half;
    }
    FUZZ_CHECK(r.ok() == (bits <= 64 && in_range));
    if (r.ok()) {
        FUZZ_CHECK(fits(r.value(), bits));
        if (bits != 0) FUZZ_CHECK(decode_twos_complement(r.value(), bits) == v);
    }
    (void)decode_twos_complement(p, bits);
    if (bits >= 1 && bits <= 64) {  // every pattern of the field is some value's pattern
        const std::uint64_t field = p & low_mask(bits);
        const Result<std::uint64_t> back =
            encode_twos_complement(decode_twos_complement(field, bits), bits);
        FUZZ_CHECK(back.ok() && back.value() == field);
    }
}

void ones(std::int64_t v, std::uint64_t p, std::size_t bits) {
    const Result<std::uint64_t> r = encode_ones_complement(v, bits);
    if (bits > 64) FUZZ_CHECK(!r.ok());
    if (r.ok()) {
        FUZZ_CHECK(fits(r.value(), bits));
        if (bits != 0) FUZZ_CHECK(decode_ones_complement(r.value(), bits) == v);
        FUZZ_CHECK(v != 0 || r.value() == 0);  // never negative zero
    } else if (bits >= 2 && bits <= 64 && v != INT64_MIN) {
        const std::uint64_t m = v < 0 ? 0 - std::uint64_t(v) : std::uint64_t(v);
        FUZZ_CHECK(bits < 64 &&
                   m >= (std::uint64_t{1} << (bits - 1)));  // refused only when too large
    }
    (void)decode_ones_complement(p, bits);
    if (bits >= 1 && bits <= 64) {
        const std::uint64_t field = p & low_mask(bits);
        const std::int64_t d = decode_ones_complement(field, bits);
        const Result<std::uint64_t> back = encode_ones_complement(d, bits);
        // Negative zero (all ones) comes back as the one zero the encoder writes.
        FUZZ_CHECK(back.ok() && (back.value() == field || (d == 0 && field == low_mask(bits))));
    }
}

void sign_magnitude(std::int64_t v, std::uint64_t p, std::size_t bits) {
    const Result<std::uint64_t> r = encode_sign_magnitude(v, bits);
    if (bits < 2 || bits > 64) FUZZ_CHECK(!r.ok());
    if (r.ok()) {
        FUZZ_CHECK(fits(r.value(), bits));
        FUZZ_CHECK(decode_sign_magnitude(r.value(), bits) == v);
        FUZZ_CHECK(v != 0 || r.value() == 0);
    }
    (void)decode_sign_magnitude(p, bits);
    if (bits >= 2 && bits <= 64) {
        const std::uint64_t field = p & low_mask(bits);
        const std::int64_t d = decode_sign_magnitude(field, bits);
        const Result<std::uint64_t> back = encode_sign_magnitude(d, bits);
        const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
        FUZZ_CHECK(back.ok() && (back.value() == field || (d == 0 && field == sign)));
    }
}

void unsigned_rule(std::uint64_t v, std::size_t bits) {
    const Result<std::uint64_t> r = encode_unsigned(v, bits);
    FUZZ_CHECK(r.ok() == (bits >= 64 || fits(v, bits)));
    if (r.ok()) FUZZ_CHECK(r.value() == v);
}

void bcd(std::int64_t v, std::uint64_t p, std::size_t bits, bool is_signed) {
    const Result<std::uint64_t> packed = encode_packed_bcd(v, bits, is_signed);
    if (bits < 4 || bits > 64) FUZZ_CHECK(!packed.ok());
    if (packed.ok()) {
        FUZZ_CHECK(fits(packed.value(), bits));
        const Result<std::int64_t> back = decode_packed_bcd(packed.value(), bits, is_signed);
        FUZZ_CHECK(back.ok() && back.value() == v);
    }
    const Result<std::uint64_t> unpacked = encode_unpacked_bcd(v, bits, is_signed);
    if (bits < 8 || bits > 64) FUZZ_CHECK(!unpacked.ok());
    if (unpacked.ok()) {
        FUZZ_CHECK(fits(unpacked.value(), bits));
        const Result<std::int64_t> back = decode_unpacked_bcd(unpacked.value(), bits, is_signed);
        FUZZ_CHECK(back.ok() && back.value() == v);
    }
    // Any pattern: a value or an error, and a decoded value that fits its digits encodes
    // to a pattern that decodes to it again.
    for (const bool s : {false, true}) {
        const Result<std::int64_t> d = decode_packed_bcd(p, bits, s);
        if (d.ok() && bits >= 4 && bits <= 64) {
            const Result<std::uint64_t> again = encode_packed_bcd(d.value(), bits, s);
            if (again.ok()) {
                const Result<std::int64_t> d2 = decode_packed_bcd(again.value(), bits, s);
                FUZZ_CHECK(d2.ok() && d2.value() == d.value());
            }
        }
        const Result<std::int64_t> u = decode_unpacked_bcd(p, bits, s);
        if (u.ok() && bits >= 8 && bits <= 64) {
            const Result<std::uint64_t> again = encode_unpacked_bcd(u.value(), bits, s);
            if (again.ok()) {
                const Result<std::int64_t> u2 = decode_unpacked_bcd(again.value(), bits, s);
                FUZZ_CHECK(u2.ok() && u2.value() == u.value());
            }
        }
    }
}

template <class F, class B>
F from_bits(B b) {
    F f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

void ieee754(std::uint64_t p, std::uint64_t high) {
    const float f = from_bits<float>(std::uint32_t(p));
    const double d = from_bits<double>(p);

    // binary32 and binary64 are reinterpretations: exact both ways.
    FUZZ_CHECK(encode_ieee754_f32(f) == std::uint32_t(p));
    FUZZ_CHECK(encode_ieee754_f64(d) == p);
    const double f32 = decode_ieee754_f32(p);
    FUZZ_CHECK(std::isnan(f32) ? std::isnan(f) : f32 == double(f));
    FUZZ_CHECK(encode_ieee754_f64(decode_ieee754_f64(p)) == p);

    // binary16: every pattern widens to a float that narrows back to it (NaNs stay NaN).
    const std::uint64_t h = p & 0xFFFF;
    const double wide = decode_ieee754_f16(h);
    const std::uint64_t narrowed = encode_ieee754_f16(static_cast<float>(wide));
    FUZZ_CHECK(narrowed <= 0xFFFF);
    if (std::isnan(wide))
        FUZZ_CHECK((narrowed & 0x7C00) == 0x7C00 && (narrowed & 0x3FF) != 0);
    else
        FUZZ_CHECK(narrowed == h);
    // Narrowing any float gives a pattern that widens to a value no further from it than
    // the next binary16 step.
    const std::uint64_t n16 = encode_ieee754_f16(f);
    FUZZ_CHECK(n16 <= 0xFFFF);
    const double w = decode_ieee754_f16(n16);
    FUZZ_CHECK(std::isnan(f) == std::isnan(w));
    if (!std::isnan(f)) FUZZ_CHECK(std::signbit(w) == std::signbit(f));

    const double q = decode_ieee754_f128(p, high);
    (void)q;
}

void layout(std::uint64_t pattern, std::size_t bits, bool reverse_bits, bool little) {
    if (bits > 64) return;  // both helpers are for fields of at most 64 bits
    const std::uint64_t field = field_image(pattern, bits, reverse_bits, little);
    FUZZ_CHECK(fits(field, bits));
    FUZZ_CHECK(field_value(field, bits, reverse_bits, little) == (pattern & low_mask(bits)));
    FUZZ_CHECK(mirror_bits(mirror_bits(pattern, bits), bits) == (pattern & low_mask(bits)));
    FUZZ_CHECK(from_little_field(to_little_field(pattern & low_mask(bits), bits), bits) ==
               (pattern & low_mask(bits)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint64_t a = in.take<std::uint64_t>();
    const std::uint64_t b = in.take<std::uint64_t>();
    const std::size_t bits = fuzz::width(in);
    const std::uint8_t flags = in.take<std::uint8_t>();
    const bool f0 = flags & 1, f1 = flags & 2;
    const std::int64_t v = std::int64_t(a);

    twos(v, b, bits);
    ones(v, b, bits);
    sign_magnitude(v, b, bits);
    unsigned_rule(a, bits);
    bcd(v, b, bits, f0);
    ieee754(a, b);
    layout(b, bits, f0, f1);
    return 0;
}

#include "bcd.hpp"

#include <string>

#include "platform.hpp"

namespace bitweave {

namespace {

CodecError too_many_digits(std::int64_t v, std::size_t digits) {
    return value_error("Value " + std::to_string(v) + " has too many digits for " +
                       std::to_string(digits) + " BCD digits");
}

std::uint64_t magnitude(std::int64_t v) {
    return v < 0 ? 0 - std::uint64_t(v) : std::uint64_t(v);  // 2^63 for the most negative value
}

CodecError invalid_digit(unsigned d) {
    return value_error("Invalid BCD digit: " + std::to_string(d) + " (must be 0-9)");
}

std::string hex_byte(unsigned b) {
    const char* digits = "0123456789ABCDEF";
    return {'0', 'x', digits[(b >> 4) & 0xF], digits[b & 0xF]};
}

// The number the digits form, most significant first, saturating instead of wrapping.
std::int64_t bcd_value(const unsigned* digits, std::size_t count, bool negative) {
    std::uint64_t m = 0;
    for (std::size_t i = count; i-- > 0;) {
        std::uint64_t next;
        if (!checked_mul(m, std::uint64_t{10}, next) ||
            !checked_add(next, std::uint64_t{digits[i]}, next))
            next = ~std::uint64_t{0};
        m = next;
    }
    // Read as a signed 64-bit value; negating wraps the way two's complement does.
    return std::int64_t(negative ? 0 - m : m);
}

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t v, std::size_t bits, bool is_signed) {
    if (bits < 4) return value_error("bits must be >= 4 for packed BCD");
    if (bits > 64) return value_error("bits must be <= 64 for packed BCD");
    if (v < 0 && !is_signed) return value_error("Cannot encode negative value in unsigned BCD");
    const std::size_t digits = bits / 4 - (is_signed ? 1 : 0);
    std::uint64_t m = magnitude(v), pattern = 0;
    const unsigned first = is_signed ? 4 : 0;  // the sign nibble comes first
    for (std::size_t i = 0; i < digits; ++i, m /= 10) pattern |= (m % 10) << (first + 4 * i);
    if (m != 0) return too_many_digits(v, digits);
    return is_signed ? pattern | (v < 0 ? 0xD : 0xC) : pattern;
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t v, std::size_t bits, bool is_signed) {
    if (bits < 8) return value_error("bits must be >= 8 for unpacked BCD");
    if (bits > 64) return value_error("bits must be <= 64 for unpacked BCD");
    // An unsigned field has nowhere to keep a sign.
    if (v < 0 && !is_signed) return value_error("Cannot encode negative value in unsigned BCD");
    const std::size_t digits = bits / 8;
    std::uint64_t m = magnitude(v), pattern = 0;
    for (std::size_t i = 0; i < digits; ++i, m /= 10) {
        const std::uint64_t zone = !is_signed ? 0 : i != 0 ? 0xF0 : v < 0 ? 0xD0 : 0xC0;
        pattern |= (zone | m % 10) << (8 * i);
    }
    if (m != 0) return too_many_digits(v, digits);
    return pattern;
}

Result<std::int64_t> decode_packed_bcd(std::uint64_t p, std::size_t bits, bool is_signed) {
    const std::size_t nibbles = bits / 4;
    if (nibbles == 0) return std::int64_t{0};
    if (bits > 64) return value_error("bits must be <= 64 for packed BCD");
    bool negative = false;
    std::size_t first = 0;
    if (is_signed) {
        const unsigned s = unsigned(p & 0xF);
        if (s < 0xA)
            return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        negative = s == 0xB || s == 0xD;
        first = 1;
    }
    unsigned digits[16];
    for (std::size_t i = first; i < nibbles; ++i) {
        const unsigned d = unsigned((p >> (4 * i)) & 0xF);
        if (d > 9) return invalid_digit(d);
        digits[i - first] = d;
    }
    return bcd_value(digits, nibbles - first, negative);
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t p, std::size_t bits, bool is_signed) {
    const std::size_t count = bits / 8;
    if (count == 0) return std::int64_t{0};
    if (bits > 64) return value_error("bits must be <= 64 for unpacked BCD");
    unsigned digits[8];
    bool negative = false;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned b = unsigned((p >> (8 * i)) & 0xFF), zone = b & 0xF0, digit = b & 0x0F;
        if (!is_signed) {
            if (b > 9) return invalid_digit(b);
        } else if (i == 0) {  // the sign byte: its zone is the sign
            if (digit > 9 || (zone != 0xC0 && zone != 0xD0 && zone != 0xF0 && zone != 0x30))
                return value_error("Invalid zoned decimal signed byte: " + hex_byte(b) +
                                   " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
            negative = zone == 0xD0;
        } else if (digit > 9 || (zone != 0xF0 && zone != 0x30)) {
            return value_error("Invalid zoned decimal byte: " + hex_byte(b) +
                               " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
        }
        digits[i] = digit;
    }
    return bcd_value(digits, count, negative);
}

}  // namespace bitweave

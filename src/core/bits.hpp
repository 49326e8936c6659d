// Bit positions and the reads and writes of a packet's bits, word-wise where the buffer
// allows it.
//
// Packet bit numbering: position 0 is the most significant bit of byte 0; position p is
// bit 7 - (p mod 8) of byte p / 8. A field's bits are written most significant first.
// Nothing here includes Python.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform.hpp"

namespace bitweave {

// The low n bits set; n >= 64 gives all ones (a shift by 64 would be undefined).
constexpr std::uint64_t low_mask(std::size_t n) {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Bit i of v set exactly when bit n - 1 - i of the result is set, for i < n <= 64.
// Bits of v at and above n are dropped.
constexpr std::uint64_t mirror_bits(std::uint64_t v, std::size_t n) {
    if (n == 0) return 0;
    v &= low_mask(n);
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    v = ((v >> 8) & 0x00FF00FF00FF00FFULL) | ((v & 0x00FF00FF00FF00FFULL) << 8);
    v = ((v >> 16) & 0x0000FFFF0000FFFFULL) | ((v & 0x0000FFFF0000FFFFULL) << 16);
    v = (v >> 32) | (v << 32);
    return v >> (64 - n);  // n in 1..64, so the count is in 0..63
}
static_assert(mirror_bits(1, 3) == 4);
static_assert(mirror_bits(5, 3) == 5);
static_assert(mirror_bits(0xABC, 12) == 0x3D5);
static_assert(mirror_bits(1, 64) == 0x8000000000000000ULL);

// Little-endian layout of an n-bit value (n <= 64) inside its field: the value's bytes
// least significant first, then a last partial chunk of n mod 8 bits that carries the
// value's top bits. For widths that are multiples of 8 this is a plain byte swap.
constexpr std::uint64_t to_little_field(std::uint64_t v, std::size_t n) {
    const std::size_t full = n / 8, rem = n % 8;
    std::uint64_t f = 0;
    for (std::size_t k = 0; k < full; ++k) f = (f << 8) | ((v >> (8 * k)) & 0xFF);
    if (rem != 0) f = (f << rem) | ((v >> (8 * full)) & low_mask(rem));
    return f;
}

// The inverse of to_little_field.
constexpr std::uint64_t from_little_field(std::uint64_t f, std::size_t n) {
    const std::size_t full = n / 8, rem = n % 8;
    std::uint64_t v = rem != 0 ? (f & low_mask(rem)) << (8 * full) : 0;
    for (std::size_t k = 0; k < full; ++k) v |= ((f >> (n - 8 * (k + 1))) & 0xFF) << (8 * k);
    return v;
}
static_assert(to_little_field(0xABC, 12) == 0xBCA);
static_assert(from_little_field(0xBCA, 12) == 0xABC);
static_assert(to_little_field(0x1234, 16) == 0x3412);

// The bits that a numeric field of n <= 64 bits holds for a pattern: its low n bits,
// mirrored when the item reverses its bits, then laid out in the field's byte order.
inline std::uint64_t field_image(std::uint64_t pattern, std::size_t n, bool reverse_bits,
                                 bool little) {
    const std::uint64_t v = reverse_bits ? mirror_bits(pattern, n) : pattern & low_mask(n);
    return little ? to_little_field(v, n) : v;
}

// The inverse of field_image: the pattern that a field's n bits hold.
inline std::uint64_t field_value(std::uint64_t field, std::size_t n, bool reverse_bits,
                                 bool little) {
    const std::uint64_t v = little ? from_little_field(field, n) : field;
    return reverse_bits ? mirror_bits(v, n) : v & low_mask(n);
}

// A bit position kept as a byte index and a bit within that byte, so that adding any
// two sizes is exact (the byte index of a sum of two 64-bit bit counts fits 64 bits).
struct BitPos {
    std::uint64_t byte = 0;
    unsigned bit = 0;  // 0..7

    static constexpr BitPos of(std::uint64_t bits) { return {bits / 8, unsigned(bits % 8)}; }
    constexpr BitPos plus(std::uint64_t bits) const {
        const std::uint64_t b = bit + bits % 8;
        return {byte + bits / 8 + b / 8, unsigned(b % 8)};
    }
    // The end (exclusive) of the bytes that hold a field of n bits starting here; a field
    // of no bits holds no byte.
    constexpr std::uint64_t end_byte(std::uint64_t n) const {
        return n == 0 ? byte : byte + n / 8 + (bit + n % 8 + 7) / 8;
    }
};

// Writes the low n bits (n <= 64) of v at bit position pos, most significant first,
// overwriting whatever the bits held before.
inline void write_bits(std::uint8_t* buf, BitPos pos, std::uint64_t v, std::size_t n) {
    std::uint8_t* p = buf + pos.byte;
    std::size_t avail = 8 - pos.bit;
    while (n > 0) {
        const std::size_t take = n < avail ? n : avail;
        const std::size_t shift = avail - take;
        const unsigned chunk = unsigned((v >> (n - take)) & low_mask(take));
        const unsigned m = unsigned(low_mask(take) << shift);
        *p = std::uint8_t((*p & ~m) | (chunk << shift));
        n -= take;
        ++p;
        avail = 8;
    }
}

// Reads n bits (n <= 64) at bit position pos, most significant first.
inline std::uint64_t read_bits(const std::uint8_t* buf, BitPos pos, std::size_t n) {
    const std::uint8_t* p = buf + pos.byte;
    std::size_t avail = 8 - pos.bit;
    std::uint64_t v = 0;
    while (n > 0) {
        const std::size_t take = n < avail ? n : avail;
        const std::size_t shift = avail - take;
        v = (v << take) | ((*p >> shift) & low_mask(take));  // take <= 8
        n -= take;
        ++p;
        avail = 8;
    }
    return v;
}

// Eight bytes as a big-endian word, and back.
inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::little) w = byteswap64(w);
    return w;
}
inline void store_be64(std::uint8_t* p, std::uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) w = byteswap64(w);
    std::memcpy(p, &w, sizeof w);
}

// Whether n bits (1 <= n) at pos lie inside one eight-byte word that the buffer of `size`
// bytes holds in full.
inline bool in_one_word(std::size_t size, BitPos pos, std::size_t n) {
    return n != 0 && n <= 64 - pos.bit && size >= 8 && pos.byte <= size - 8;
}

// read_bits for a buffer of `size` bytes: one word load where the buffer allows it.
inline std::uint64_t read_field_bits(const std::uint8_t* buf, std::size_t size, BitPos pos,
                                     std::size_t n) {
    if (in_one_word(size, pos, n)) return (load_be64(buf + pos.byte) << pos.bit) >> (64 - n);
    return read_bits(buf, pos, n);
}

// write_bits for a buffer of `size` bytes: one word load and store where the buffer
// allows it.
inline void write_field_bits(std::uint8_t* buf, std::size_t size, BitPos pos, std::uint64_t v,
                             std::size_t n) {
    if (in_one_word(size, pos, n)) {
        const unsigned shift = unsigned(64 - pos.bit - n);  // < 64, as n >= 1
        const std::uint64_t mask = low_mask(n) << shift;
        const std::uint64_t w = load_be64(buf + pos.byte);
        store_be64(buf + pos.byte, (w & ~mask) | ((v << shift) & mask));
        return;
    }
    write_bits(buf, pos, v, n);
}

// Sets n bits from pos to zero (any n).
inline void clear_bits(std::uint8_t* buf, BitPos pos, std::uint64_t n) {
    if (pos.bit != 0) {
        const std::size_t head = n < 8 - pos.bit ? n : 8 - pos.bit;
        write_bits(buf, pos, 0, head);
        n -= head;
        pos = pos.plus(head);
    }
    std::memset(buf + pos.byte, 0, std::size_t(n / 8));
    pos.byte += n / 8;
    if (n % 8 > 0) write_bits(buf, pos, 0, std::size_t(n % 8));
}

// Fields wider than 64 bits hold the pattern zero-extended to the field's width. For bit b
// (0..63) of the pattern this gives its index in such a field, counted from the field's
// first (most significant) bit: mirrored across the whole field when reverse_bits is set,
// then laid out as to_little_field does when little is set.
constexpr std::uint64_t wide_field_index(unsigned b, std::uint64_t n, bool reverse_bits,
                                         bool little) {
    const std::uint64_t j = reverse_bits ? n - 1 - b : b;  // index in the field's value
    if (!little) return n - 1 - j;
    const std::uint64_t full = n / 8;
    if (j / 8 < full) return 8 * (j / 8) + 7 - j % 8;
    return 8 * full + (n - 1 - j);
}
static_assert(wide_field_index(0, 72, false, false) == 71);
static_assert(wide_field_index(0, 72, true, false) == 0);
static_assert(wide_field_index(0, 72, false, true) == 7);
static_assert(wide_field_index(63, 72, false, true) == 56);

// The number of set bits among n bits from pos (any n).
inline std::uint64_t count_set_bits(const std::uint8_t* buf, BitPos pos, std::uint64_t n) {
    std::uint64_t count = 0;
    if (pos.bit != 0) {
        const std::size_t head = n < 8 - pos.bit ? std::size_t(n) : 8 - pos.bit;
        count += unsigned(std::popcount(read_bits(buf, pos, head)));
        n -= head;
        pos = pos.plus(head);
    }
    const std::uint8_t* p = buf + pos.byte;
    for (; n >= 8; n -= 8) count += unsigned(std::popcount(*p++));
    if (n > 0) count += unsigned(std::popcount(read_bits(p, {}, std::size_t(n))));
    return count;
}

inline void set_bit(std::uint8_t* buf, BitPos pos) {
    buf[pos.byte] = std::uint8_t(buf[pos.byte] | (0x80u >> pos.bit));
}

inline bool get_bit(const std::uint8_t* buf, BitPos pos) {
    return (buf[pos.byte] >> (7 - pos.bit)) & 1;
}

}  // namespace bitweave

// Field placement: everything that touches a packet's bytes.
//
// A field is a run of `bits` bits at a bit position of the packet, arranged by its shape
// (mirrored bits, little-endian bytes). This file turns that into the packet bits the field
// covers, checks positions with exact sums, and reads and writes numeric patterns (wide
// fields bit by bit, narrow ones word-wise) and text images, in both directions, on spans
// of bytes. The codec families (integers, BCD, IEEE 754, text) turn patterns into values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bcd.hpp"
#include "bits.hpp"
#include "encoding.hpp"
#include "errors.hpp"
#include "ieee754.hpp"
#include "integers.hpp"
#include "platform.hpp"

namespace bitweave {

// How a field's bits are arranged: its width, whether its bits are mirrored, and whether
// its bytes are laid out least significant first.
struct FieldShape {
    std::uint64_t bits = 0;
    bool reverse_bits = false;
    bool little = false;
};

// ---- Positions ----

// The bit number of a position counted from the packet's first bit, in decimal (it may
// exceed 64 bits: a byte index of up to 2^64 - 1 and a bit within it).
std::string bit_number_text(BitPos pos);

BITWEAVE_COLD CodecError packet_too_large(std::uint64_t start, std::uint64_t bits);

// The end (exclusive) of a field of n bits from bit `start`, or an error when that does
// not fit a 64-bit bit count.
inline bool field_end(std::uint64_t start, std::uint64_t n, std::uint64_t& end, CodecError& err) {
    if (checked_add(start, n, end)) return true;
    err = packet_too_large(start, n);
    return false;
}

// The bytes of a packet whose furthest field ends at bit `end_bits`, refused when more than
// `max_bytes` (the largest object the caller can make).
inline bool packet_bytes(std::uint64_t end_bits, std::uint64_t max_bytes, std::uint64_t& bytes,
                         CodecError& err) {
    bytes = end_bits / 8 + (end_bits % 8 != 0);
    if (bytes <= max_bytes) return true;
    err = packet_too_large(0, end_bits);
    return false;
}

BITWEAVE_COLD CodecError past_the_end(const char* which, std::uint64_t index, std::size_t length);

// Whether n bits from pos lie inside a packet of `size` bytes; the error names the first
// byte index outside it.
inline bool check_in_packet(BitPos pos, std::uint64_t n, std::size_t size, CodecError& err) {
    // Byte indexes of the field are exact: they cannot wrap.
    if (pos.byte > size) return err = past_the_end("start", pos.byte, size), false;
    if (const std::uint64_t end = pos.end_byte(n); end > size)
        return err = past_the_end("end", end, size), false;
    return true;
}

// ---- Numeric fields ----

// A decoded numeric value, of the kind its encoding gives, in one word.
struct Number {
    enum class Kind : std::uint8_t { unsigned_int, signed_int, real };
    Kind kind = Kind::unsigned_int;
    std::uint64_t word = 0;

    std::uint64_t u() const { return word; }
    std::int64_t i() const { return std::int64_t(word); }
    double d() const { return detail::double_of(word); }

    static Number of_unsigned(std::uint64_t v) { return {Kind::unsigned_int, v}; }
    static Number of_signed(std::int64_t v) { return {Kind::signed_int, std::uint64_t(v)}; }
    static Number of_real(double v) { return {Kind::real, encode_ieee754_f64(v)}; }
};

// Writes a pattern into a numeric field: zero-extended to the field's width, mirrored and
// laid out as the shape says.
void put_wide_field(std::span<std::uint8_t> packet, BitPos pos, std::uint64_t pattern,
                    const FieldShape& f);
inline void put_number_field(std::span<std::uint8_t> packet, BitPos pos, std::uint64_t pattern,
                             const FieldShape& f) {
    if (f.bits <= 64) {
        write_field_bits(packet.data(), packet.size(), pos,
                         field_image(pattern, std::size_t(f.bits), f.reverse_bits, f.little),
                         std::size_t(f.bits));
        return;
    }
    put_wide_field(packet, pos, pattern, f);
}

BITWEAVE_COLD CodecError wider_than(std::string_view name, std::uint64_t bits, unsigned width);

// The pattern a numeric field holds, of at most `width` (16 to 128) bits: `low` holds bits
// 0..63, `high` bits 64..127. Fields wider than the pattern hold it zero-extended; one
// with any other bit set is refused (the error names the field) rather than read
// truncated. The field must lie inside the packet.
bool read_wide_field(std::span<const std::uint8_t> packet, BitPos pos, const FieldShape& f,
                     unsigned width, std::string_view name, std::uint64_t& low, std::uint64_t& high,
                     CodecError& err);
inline bool read_number_field(std::span<const std::uint8_t> packet, BitPos pos, const FieldShape& f,
                              unsigned width, std::string_view name, std::uint64_t& low,
                              std::uint64_t& high, CodecError& err) {
    if (f.bits <= 64) {
        high = 0;
        low = field_value(read_field_bits(packet.data(), packet.size(), pos, std::size_t(f.bits)),
                          std::size_t(f.bits), f.reverse_bits, f.little);
        if (width < f.bits && (low >> width) != 0)
            return err = wider_than(name, f.bits, width), false;
        return true;
    }
    return read_wide_field(packet, pos, f, width, name, low, high, err);
}

// The value of a two's complement, ones' complement or sign-magnitude field wider than 64
// bits, whose sign is the field's own top bit: refused unless it fits a signed 64-bit
// integer. The field must lie inside the packet.
bool read_wide_signed(std::span<const std::uint8_t> packet, BitPos pos, const FieldShape& f,
                      Encoding encoding, std::string_view name, std::int64_t& value,
                      CodecError& err);

constexpr bool is_binary_integer(Encoding e) {
    return e == Encoding::unsigned_int || e == Encoding::twos_complement ||
           e == Encoding::ones_complement || e == Encoding::sign_magnitude;
}

constexpr bool is_signed_binary(Encoding e) {
    return e == Encoding::twos_complement || e == Encoding::ones_complement ||
           e == Encoding::sign_magnitude;
}

// The common case, small enough to inline into packet walks: a field of at most 64 bits of
// a binary integer encoding, or of a float format that fills it exactly. False when the
// field needs decode_number's full path; never an error of its own. The field must lie
// inside the packet.
inline bool decode_plain_number(Encoding encoding, std::span<const std::uint8_t> packet, BitPos pos,
                                const FieldShape& f, Number& out) {
    if (f.bits > 64) return false;
    switch (encoding) {
        case Encoding::ieee754_f16:
        case Encoding::ieee754_f32:
        case Encoding::ieee754_f64:
            if (ieee754_width(encoding) != f.bits) return false;
            break;
        default:
            if (!is_binary_integer(encoding)) return false;
    }
    const std::size_t n = std::size_t(f.bits);
    const std::uint64_t raw = field_value(read_field_bits(packet.data(), packet.size(), pos, n), n,
                                          f.reverse_bits, f.little);
    switch (encoding) {
        case Encoding::unsigned_int: out = Number::of_unsigned(raw); return true;
        case Encoding::twos_complement:
            out = Number::of_signed(decode_twos_complement(raw, n));
            return true;
        case Encoding::ones_complement:
            out = Number::of_signed(decode_ones_complement(raw, n));
            return true;
        case Encoding::sign_magnitude:
            out = Number::of_signed(decode_sign_magnitude(raw, n));
            return true;
        case Encoding::ieee754_f16: out = Number::of_real(decode_ieee754_f16(raw)); return true;
        case Encoding::ieee754_f32: out = Number::of_real(decode_ieee754_f32(raw)); return true;
        default: out = {Number::Kind::real, raw}; return true;  // ieee754_f64
    }
}

// Every other numeric field: wide fields, float fields wider than their format, BCD,
// binary128, and the errors of reserved formats and narrow float fields.
Result<Number> decode_other_number(Encoding encoding, std::span<const std::uint8_t> packet,
                                   BitPos pos, const FieldShape& f, std::string_view name);

// Decodes the numeric field of `encoding` at pos (the field must lie inside the packet).
// `name` is only for error texts.
inline Result<Number> decode_number(Encoding encoding, std::span<const std::uint8_t> packet,
                                    BitPos pos, const FieldShape& f, std::string_view name) {
    Number n;
    if (decode_plain_number(encoding, packet, pos, f, n)) return n;
    return decode_other_number(encoding, packet, pos, f, name);
}

// The pattern of a value of a signed integer or BCD encoding (every numeric encoding but
// unsigned and the floats).
inline Result<std::uint64_t> encode_integer_pattern(Encoding encoding, std::int64_t v,
                                                    std::uint64_t bits) {
    const std::size_t n = std::size_t(bits);
    switch (encoding) {
        case Encoding::twos_complement: return encode_twos_complement(v, n);
        case Encoding::ones_complement: return encode_ones_complement(v, n);
        case Encoding::sign_magnitude: return encode_sign_magnitude(v, n);
        case Encoding::bcd: return encode_unpacked_bcd(v, n, false);
        case Encoding::bcd_signed: return encode_unpacked_bcd(v, n, true);
        case Encoding::packed_bcd: return encode_packed_bcd(v, n, false);
        case Encoding::packed_bcd_signed: return encode_packed_bcd(v, n, true);
        default: break;
    }
    return unsupported_encoding(encoding_name(encoding));
}

// The pattern of a float for a field of `bits` bits of an IEEE 754 encoding of at most 64
// bits: a field narrower than the format is refused.
inline Result<std::uint64_t> encode_float_pattern(Encoding encoding, double v, std::uint64_t bits) {
    if (const unsigned width = ieee754_width(encoding); bits < width)
        return ieee754_too_narrow(width);
    switch (encoding) {
        case Encoding::ieee754_f16: return encode_ieee754_f16(static_cast<float>(v));
        case Encoding::ieee754_f32: return encode_ieee754_f32(static_cast<float>(v));
        case Encoding::ieee754_f64: return encode_ieee754_f64(v);
        default: break;
    }
    return unsupported_encoding(encoding_name(encoding));
}

// ---- Text fields ----

BITWEAVE_COLD CodecError text_too_long(std::size_t bytes, std::uint64_t bits);

// Whether an encoded text of `bytes` bytes fits a field of `bits` bits.
inline bool check_text_fits(std::size_t bytes, std::uint64_t bits, CodecError& err) {
    if (bytes <= bits / 8) return true;
    err = text_too_long(bytes, bits);
    return false;
}

// Writes a text field: the encoded text (which must fit, see check_text_fits) from the
// field's first bit, then zero bits to the field's end. A little-endian field of whole
// bytes holds that padded image in reverse byte order, so that reading it back gives the
// text first, as a big-endian field does; other little-endian widths hold the text's
// bytes reversed from the field's first bit.
void put_text_field(std::span<std::uint8_t> packet, BitPos pos, std::span<const std::uint8_t> image,
                    const FieldShape& f);

// The bytes a text field holds: its bits right-aligned in whole bytes (leading zero bits
// when the width is not a multiple of 8), reversed for a little-endian field. Read in
// place where the field is whole aligned bytes in big-endian order, else copied into
// `scratch`. The field must lie inside the packet.
std::span<const std::uint8_t> text_field_image(std::span<const std::uint8_t> packet, BitPos pos,
                                               const FieldShape& f, std::string& scratch);

}  // namespace bitweave

#include "field.hpp"

#include <cstring>
#include <string>
#include <utility>

namespace bitweave {

std::string bit_number_text(BitPos pos) {
    // The 67-bit number byte * 8 + bit as two words, divided by ten a digit at a time in
    // 32-bit halves so that no intermediate exceeds 64 bits.
    std::uint64_t hi = pos.byte >> 61, lo = (pos.byte << 3) | pos.bit;
    std::string digits;
    do {
        const std::uint64_t r0 = hi % 10;
        hi /= 10;
        const std::uint64_t a = (r0 << 32) | (lo >> 32);
        const std::uint64_t b = ((a % 10) << 32) | (lo & 0xFFFFFFFFu);
        lo = ((a / 10) << 32) | (b / 10);
        digits.insert(digits.begin(), char('0' + b % 10));
    } while (hi != 0 || lo != 0);
    return digits;
}

CodecError packet_too_large(std::uint64_t start, std::uint64_t bits) {
    return value_error("Field of " + std::to_string(bits) + " bits at bit " +
                       std::to_string(start) +
                       " ends beyond the largest packet this platform can hold");
}

CodecError past_the_end(const char* which, std::uint64_t index, std::size_t length) {
    return value_error(std::string("range ") + which + " index " + std::to_string(index) +
                       " out of range for slice of length " + std::to_string(length));
}

void put_wide_field(std::span<std::uint8_t> packet, BitPos pos, std::uint64_t pattern,
                    const FieldShape& f) {
    clear_bits(packet.data(), pos, f.bits);
    for (unsigned b = 0; b < 64; ++b)
        if ((pattern >> b) & 1)
            set_bit(packet.data(), pos.plus(wide_field_index(b, f.bits, f.reverse_bits, f.little)));
}

bool read_wide_field(std::span<const std::uint8_t> packet, BitPos pos, const FieldShape& f,
                     unsigned width, std::string_view name, std::uint64_t& low, std::uint64_t& high,
                     CodecError& err) {
    low = high = 0;
    const unsigned held = f.bits < width ? unsigned(f.bits) : width;
    std::uint64_t set = 0;
    for (unsigned b = 0; b < held; ++b) {
        if (get_bit(packet.data(),
                    pos.plus(wide_field_index(b, f.bits, f.reverse_bits, f.little)))) {
            (b < 64 ? low : high) |= std::uint64_t{1} << (b % 64);
            ++set;
        }
    }
    if (count_set_bits(packet.data(), pos, f.bits) != set)
        return err = wider_than(name, f.bits, width), false;
    return true;
}

CodecError wider_than(std::string_view name, std::uint64_t bits, unsigned width) {
    return value_error("Field '" + std::string(name) + "' of " + std::to_string(bits) +
                       " bits holds a value wider than " + std::to_string(width) + " bits");
}

bool read_wide_signed(std::span<const std::uint8_t> packet, BitPos pos, const FieldShape& f,
                      Encoding encoding, std::string_view name, std::int64_t& value,
                      CodecError& err) {
    const std::uint64_t n = f.bits;  // > 64
    const auto bit = [&](std::uint64_t b) {
        return get_bit(packet.data(), pos.plus(wide_field_index(b, n, f.reverse_bits, f.little)));
    };
    // The value's low 64 bits, its sign, and how many of the bits between are set.
    std::uint64_t low = 0, low_set = 0;
    for (unsigned b = 0; b < 64; ++b)
        if (bit(b)) low |= std::uint64_t{1} << b, ++low_set;
    const bool sign = bit(n - 1);
    const std::uint64_t middle = count_set_bits(packet.data(), pos, n) - low_set - sign;
    const bool top = (low >> 63) != 0;
    // It fits 64 bits when bits 63 to n-2 all copy the sign (two's and ones' complement),
    // or are all zero (sign-magnitude, whose bit 63 is part of the magnitude).
    const bool copies_sign = sign ? middle == n - 65 && top : middle == 0 && !top;
    switch (encoding) {
        case Encoding::twos_complement:
            if (!copies_sign) break;
            value = std::int64_t(low);
            return true;
        case Encoding::ones_complement:
            if (!copies_sign) break;
            value = sign ? -std::int64_t(~low & low_mask(63)) : std::int64_t(low);
            return true;
        default:  // sign-magnitude
            if (middle != 0 || top) break;
            value = sign ? -std::int64_t(low) : std::int64_t(low);
            return true;
    }
    err = wider_than(name, n, 64);
    return false;
}

Result<Number> decode_other_number(Encoding encoding, std::span<const std::uint8_t> packet,
                                   BitPos pos, const FieldShape& f, std::string_view name) {
    if (const char* message = reserved_format_message(encoding)) return not_implemented(message);
    const unsigned float_width = ieee754_width(encoding);
    if (f.bits < float_width) return ieee754_too_narrow(float_width);
    CodecError err;
    if (f.bits > 64 && is_signed_binary(encoding)) {
        std::int64_t v;
        if (!read_wide_signed(packet, pos, f, encoding, name, v, err)) return err;
        return Number::of_signed(v);
    }
    std::uint64_t raw, high;
    if (!read_number_field(packet, pos, f, float_width != 0 ? float_width : 64, name, raw, high,
                           err))
        return err;
    const std::size_t bits = std::size_t(f.bits);
    const auto bcd = [](Result<std::int64_t> r) -> Result<Number> {
        if (!r.ok()) return r.take_error();
        return Number::of_signed(r.value());
    };
    switch (encoding) {
        case Encoding::unsigned_int: return Number::of_unsigned(raw);
        case Encoding::twos_complement: return Number::of_signed(decode_twos_complement(raw, bits));
        case Encoding::ones_complement: return Number::of_signed(decode_ones_complement(raw, bits));
        case Encoding::sign_magnitude: return Number::of_signed(decode_sign_magnitude(raw, bits));
        case Encoding::bcd: return bcd(decode_unpacked_bcd(raw, bits, false));
        case Encoding::bcd_signed: return bcd(decode_unpacked_bcd(raw, bits, true));
        case Encoding::packed_bcd: return bcd(decode_packed_bcd(raw, bits, false));
        case Encoding::packed_bcd_signed: return bcd(decode_packed_bcd(raw, bits, true));
        case Encoding::ieee754_f16: return Number::of_real(decode_ieee754_f16(raw));
        case Encoding::ieee754_f32: return Number::of_real(decode_ieee754_f32(raw));
        case Encoding::ieee754_f64: return Number::of_real(decode_ieee754_f64(raw));
        case Encoding::ieee754_f128: return Number::of_real(decode_ieee754_f128(raw, high));
        default: break;
    }
    return unsupported_encoding(encoding_name(encoding));
}

CodecError text_too_long(std::size_t bytes, std::uint64_t bits) {
    return value_error("Encoded text of " + std::to_string(bytes) + " bytes does not fit in " +
                       std::to_string(bits) + " bits");
}

void put_text_field(std::span<std::uint8_t> packet, BitPos pos, std::span<const std::uint8_t> image,
                    const FieldShape& f) {
    const std::size_t n = image.size();
    // A little-endian field of whole bytes holds the padded image reversed: its padding
    // first, then the text's bytes last to first. Other little-endian widths hold the
    // reversed text from their first bit.
    BitPos at = pos;
    if (f.little && f.bits % 8 == 0) {
        clear_bits(packet.data(), pos, f.bits - 8 * n);
        at = pos.plus(f.bits - 8 * n);
    }
    if (at.bit == 0 && !f.little) {
        if (n != 0) std::memcpy(packet.data() + at.byte, image.data(), n);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            write_bits(packet.data(), at.plus(8 * i), f.little ? image[n - 1 - i] : image[i], 8);
    }
    if (!(f.little && f.bits % 8 == 0)) clear_bits(packet.data(), at.plus(8 * n), f.bits - 8 * n);
}

std::span<const std::uint8_t> text_field_image(std::span<const std::uint8_t> packet, BitPos pos,
                                               const FieldShape& f, std::string& scratch) {
    const std::size_t n = std::size_t(f.bits / 8 + (f.bits % 8 != 0));
    if (pos.bit == 0 && f.bits % 8 == 0 && !f.little)
        return packet.subspan(std::size_t(pos.byte), n);  // read in place
    scratch.assign(n, '\0');
    auto* o = reinterpret_cast<std::uint8_t*>(scratch.data());
    std::size_t k = 0;
    BitPos q = pos;
    if (const std::size_t lead = std::size_t(f.bits % 8); lead != 0) {
        o[k++] = std::uint8_t(read_bits(packet.data(), q, lead));
        q = q.plus(lead);
    }
    for (; k < n; ++k, q = q.plus(8)) o[k] = std::uint8_t(read_bits(packet.data(), q, 8));
    if (f.little)
        for (std::size_t i = 0, j = n; i + 1 < j; ++i, --j) std::swap(o[i], o[j - 1]);
    return {o, n};
}

}  // namespace bitweave

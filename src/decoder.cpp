// The packet parser and every decode routine, each with the module function that stands
// behind it.
#include <cstring>
#include <string>

#include "bits.hpp"
#include "codecs.hpp"
#include "packet.hpp"
#include "recipe.hpp"

namespace bitweave {

// ---- Binary integers ----
// Widths of 64 and more read the pattern as a whole; below that, bit bits-1 is the sign.

std::int64_t decode_twos_complement(std::uint64_t p, std::size_t bits) {
    if (bits >= 64) return std::int64_t(p);
    const std::size_t sign = (bits - 1) % 64;  // a width of 0 takes bit 63 as its sign
    if (((p >> sign) & 1) == 0) return std::int64_t(p);
    return -std::int64_t((0 - p) & low_mask(bits));  // bits above the sign become copies of it
}

std::int64_t decode_ones_complement(std::uint64_t p, std::size_t bits) {
    if (bits >= 64) return std::int64_t(p + (p >> 63));  // all ones is negative zero
    const std::size_t sign = (bits - 1) % 64;
    if (((p >> sign) & 1) == 0) return std::int64_t(p);
    return std::int64_t(p + (~std::uint64_t{0} << bits) + 1);
}

std::int64_t decode_sign_magnitude(std::uint64_t p, std::size_t bits) {
    const std::size_t sign = (bits - 1) % 64;
    const std::uint64_t magnitude = p & low_mask(sign);
    return ((p >> sign) & 1) != 0 ? -std::int64_t(magnitude) : std::int64_t(magnitude);
}

// ---- Binary-coded decimal ----

namespace {

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
        if (__builtin_mul_overflow(m, std::uint64_t{10}, &next) || __builtin_add_overflow(next, digits[i], &next))
            next = ~std::uint64_t{0};
        m = next;
    }
    // Read as a signed 64-bit value; negating wraps the way two's complement does.
    return std::int64_t(negative ? 0 - m : m);
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t p, std::size_t bits, bool is_signed) {
    const std::size_t nibbles = bits / 4;
    if (nibbles == 0) return std::int64_t{0};
    if (bits > 64) return value_error("bits must be <= 64 for packed BCD");
    bool negative = false;
    std::size_t first = 0;
    if (is_signed) {
        const unsigned s = unsigned(p & 0xF);
        if (s < 0xA) return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
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

// ---- IEEE 754 ----

namespace {

float float_of(std::uint32_t a) {
    float f;
    std::memcpy(&f, &a, sizeof f);
    return f;
}

double double_of(std::uint64_t a) {
    double d;
    std::memcpy(&d, &a, sizeof d);
    return d;
}

}  // namespace

double decode_ieee754_f16(std::uint64_t pattern) {
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
        const unsigned top = 31 - unsigned(__builtin_clz(fr));
        a = s | ((top + 103) << 23) | ((fr << (23 - top)) & 0x7FFFFF);
    }
    return double(float_of(a));
}

double decode_ieee754_f32(std::uint64_t pattern) { return double(float_of(std::uint32_t(pattern))); }

double decode_ieee754_f64(std::uint64_t pattern) { return double_of(pattern); }

double decode_ieee754_f128(std::uint64_t low, std::uint64_t high) {
    const std::uint64_t sign = high & 0x8000000000000000ULL;
    const std::uint64_t e = (high >> 48) & 0x7FFF;
    const std::uint64_t top = high & 0xFFFFFFFFFFFFULL;  // fraction bits 111..64
    if (e == 0x7FFF) return (top | low) == 0 ? double_of(sign | 0x7FF0000000000000ULL) : double_of(0x7FF8000000000000ULL);
    if (e > 0x43FE) return double_of(sign | 0x7FF0000000000000ULL);
    if (e <= 0x3C00) return double_of(sign);  // zeros, subnormals and underflow
    // The top 52 fraction bits; the rest are cut off, never rounded up.
    const std::uint64_t m = (top << 4) | (low >> 60);
    return double_of(sign | ((e - 0x3C00) << 52) | m);
}

std::uint64_t decode_integer_from_bytes(std::uint64_t field, std::size_t bits, bool reverse_bits,
                                        bool little) {
    std::uint64_t v = little ? from_little_field(field, bits) : field;
    return reverse_bits ? mirror_bits(v, bits) : v & low_mask(bits);
}

// ---- The packet parser ----

namespace {

CodecError past_the_end(const char* which, std::uint64_t index, std::size_t length) {
    return value_error(std::string("range ") + which + " index " + std::to_string(index) +
                       " out of range for slice of length " + std::to_string(length));
}

// The pattern a numeric field holds, of at most `width` (64 or 128) bits. Fields wider
// than the pattern hold it zero-extended; one with any other bit set is refused rather
// than read truncated.
bool read_pattern(std::span<const std::uint8_t> packet, BitPos pos, const Item& f, bool little,
                  unsigned width, std::uint64_t& low, std::uint64_t& high, CodecError& err) {
    high = 0;
    if (f.bits <= 64) {
        low = decode_integer_from_bytes(read_bits(packet.data(), pos, f.bits), f.bits, f.reverse_bits,
                                        little);
        return true;
    }
    low = 0;
    const unsigned held = f.bits < width ? unsigned(f.bits) : width;
    std::uint64_t set = 0;
    for (unsigned b = 0; b < held; ++b) {
        if (get_bit(packet.data(), pos.plus(wide_field_index(b, f.bits, f.reverse_bits, little)))) {
            (b < 64 ? low : high) |= std::uint64_t{1} << (b % 64);
            ++set;
        }
    }
    if (count_set_bits(packet.data(), pos, f.bits) != set) {
        err = value_error("Field '" + std::string(f.name) + "' of " + std::to_string(f.bits) +
                          " bits holds a value wider than " + std::to_string(width) + " bits");
        return false;
    }
    return true;
}

const char* reserved_format_message(Encoding e) {
    switch (e) {
        case Encoding::ieee754_1985_f32: return "IEEE 754-1985 f32 format not yet implemented";
        case Encoding::ieee754_1985_f64: return "IEEE 754-1985 f64 format not yet implemented";
        case Encoding::ieee754_1985_f80: return "IEEE 754-1985 f80 format not yet implemented";
        case Encoding::mil_std_1750a_f32: return "MIL-STD-1750A f32 format not yet implemented";
        case Encoding::mil_std_1750a_f48: return "MIL-STD-1750A f48 format not yet implemented";
        case Encoding::dec_f32: return "DEC f32 format not yet implemented";
        case Encoding::dec_f64: return "DEC f64 format not yet implemented";
        case Encoding::ibm_f32: return "IBM f32 format not yet implemented";
        case Encoding::ibm_f64: return "IBM f64 format not yet implemented";
        case Encoding::ti_f32: return "TI f32 format not yet implemented";
        case Encoding::ti_f40: return "TI f40 format not yet implemented";
        default: return nullptr;
    }
}

CodecError ieee754_too_narrow(unsigned width) {
    const std::string w = std::to_string(width);
    return value_error("bits must be >= " + w + " for IEEE 754 f" + w);
}

// The least width a float format's field may have (0 for the other encodings).
unsigned ieee754_width(Encoding e) {
    switch (e) {
        case Encoding::ieee754_f16: return 16;
        case Encoding::ieee754_f32: return 32;
        case Encoding::ieee754_f64: return 64;
        case Encoding::ieee754_f128: return 128;
        default: return 0;
    }
}

PyObject* long_or_error(Result<std::int64_t> r, CodecError& err) {
    if (!r.ok()) return err = r.take_error(), nullptr;
    return PyLong_FromLongLong(r.value());
}

// Decodes a located numeric field into a new Python object.
PyObject* decode_number(std::span<const std::uint8_t> packet, BitPos pos, const Item& f, bool little,
                        Encoding encoding, CodecError& err) {
    if (const char* message = reserved_format_message(encoding)) return err = not_implemented(message), nullptr;
    const unsigned float_width = ieee754_width(encoding);
    if (f.bits < float_width) return err = ieee754_too_narrow(float_width), nullptr;
    std::uint64_t raw, high;
    if (!read_pattern(packet, pos, f, little, float_width == 128 ? 128 : 64, raw, high, err)) return nullptr;
    const std::size_t bits = f.bits;
    switch (encoding) {
        case Encoding::unsigned_int: return PyLong_FromUnsignedLongLong(raw);
        case Encoding::twos_complement: return PyLong_FromLongLong(decode_twos_complement(raw, bits));
        case Encoding::ones_complement: return PyLong_FromLongLong(decode_ones_complement(raw, bits));
        case Encoding::sign_magnitude: return PyLong_FromLongLong(decode_sign_magnitude(raw, bits));
        case Encoding::bcd: return long_or_error(decode_unpacked_bcd(raw, bits, false), err);
        case Encoding::bcd_signed: return long_or_error(decode_unpacked_bcd(raw, bits, true), err);
        case Encoding::packed_bcd: return long_or_error(decode_packed_bcd(raw, bits, false), err);
        case Encoding::packed_bcd_signed: return long_or_error(decode_packed_bcd(raw, bits, true), err);
        case Encoding::ieee754_f16: return PyFloat_FromDouble(decode_ieee754_f16(raw));
        case Encoding::ieee754_f32: return PyFloat_FromDouble(decode_ieee754_f32(raw));
        case Encoding::ieee754_f64: return PyFloat_FromDouble(decode_ieee754_f64(raw));
        case Encoding::ieee754_f128: return PyFloat_FromDouble(decode_ieee754_f128(raw, high));
        default: break;
    }
    return err = value_error("Unsupported encoding type: " + std::string(f.encoding)), nullptr;
}

PyObject* decode_text_field(std::span<const std::uint8_t> packet, BitPos pos, const Item& f, bool little,
                            Encoding encoding, CodecError& err);

// Decodes one located field into a new Python object.
PyObject* decode_field(std::span<const std::uint8_t> packet, BitPos pos, const Item& f,
                       CodecError& err) {
    bool little;
    if (!find_byte_order(f, little, err)) return nullptr;
    Encoding encoding;
    if (!find_encoding(f, false, encoding, err)) return nullptr;
    PyObject* value = is_text(encoding) ? decode_text_field(packet, pos, f, little, encoding, err)
                                        : decode_number(packet, pos, f, little, encoding, err);
    if (value == nullptr && !err) err = CodecError::pending();
    return value;
}

}  // namespace

PyObject* process_recipe(std::span<const std::uint8_t> packet, std::size_t offset_bits,
                         const py::Recipe& items, CodecError& err) {
    py::Ref result(PyDict_New());
    if (!result) return err = CodecError::pending(), nullptr;
    const BitPos base = BitPos::of(offset_bits);
    BitPos cursor = base;
    for (PyObject* item : items) {
        Item f;
        if (!read_item(item, f, err)) return nullptr;
        const BitPos pos = f.has_offset ? base.plus(f.offset_bits) : cursor;
        // Byte indexes of the field are exact: they cannot wrap.
        const std::uint64_t end = pos.end_byte(f.bits);
        if (pos.byte > packet.size()) return err = past_the_end("start", pos.byte, packet.size()), nullptr;
        if (end > packet.size()) return err = past_the_end("end", end, packet.size()), nullptr;

        py::Ref value(decode_field(packet, pos, f, err));
        if (!value) return nullptr;
        // An exact str is its own key; a subclass gives way to a plain str of its text.
        py::Ref key = PyUnicode_CheckExact(f.name_obj.get())
                          ? py::Ref::borrow(f.name_obj.get())
                          : py::Ref(PyUnicode_FromStringAndSize(f.name.data(), Py_ssize_t(f.name.size())));
        if (!key || PyDict_SetItem(result.get(), key.get(), value.get()) < 0)
            return err = CodecError::pending(), nullptr;
        cursor = pos.plus(f.bits);
    }
    return result.release();
}

// ---- Module functions ----

namespace {

using namespace py;

constexpr FunctionDescription d_ones{"decode_ones_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_twos{"decode_twos_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_sign{"decode_sign_magnitude", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_unpacked_bcd{"decode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_packed_bcd{"decode_packed_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_f16{"decode_ieee754_f16", {"value"}, 1, 1};
constexpr FunctionDescription d_f32{"decode_ieee754_f32", {"value"}, 1, 1};
constexpr FunctionDescription d_f64{"decode_ieee754_f64", {"value"}, 1, 1};
constexpr FunctionDescription d_f128{"decode_ieee754_f128", {"value"}, 1, 1};

double decode_f128(U128 v) { return decode_ieee754_f128(v.lo, v.hi); }

// Reserved formats: the argument is converted as a 64-bit pattern, then refused.
constexpr FunctionDescription d_1985_f32{"decode_ieee754_1985_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f64{"decode_ieee754_1985_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f80{"decode_ieee754_1985_f80", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f32{"decode_mil_std_1750a_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f48{"decode_mil_std_1750a_f48", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f32{"decode_dec_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f64{"decode_dec_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f32{"decode_ibm_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f64{"decode_ibm_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f32{"decode_ti_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f40{"decode_ti_f40", {"_value"}, 1, 1};
constexpr char m_1985_f32[] = "IEEE 754-1985 f32 format not yet implemented";
constexpr char m_1985_f64[] = "IEEE 754-1985 f64 format not yet implemented";
constexpr char m_1985_f80[] = "IEEE 754-1985 f80 format not yet implemented";
constexpr char m_mil_f32[] = "MIL-STD-1750A f32 format not yet implemented";
constexpr char m_mil_f48[] = "MIL-STD-1750A f48 format not yet implemented";
constexpr char m_dec_f32[] = "DEC f32 format not yet implemented";
constexpr char m_dec_f64[] = "DEC f64 format not yet implemented";
constexpr char m_ibm_f32[] = "IBM f32 format not yet implemented";
constexpr char m_ibm_f64[] = "IBM f64 format not yet implemented";
constexpr char m_ti_f32[] = "TI f32 format not yet implemented";
constexpr char m_ti_f40[] = "TI f40 format not yet implemented";

template <const FunctionDescription& D, const char* M>
constexpr ModuleFunction reserved{&D, entry<D, not_implemented_yet<M, std::uint64_t>, U64>};

constexpr ModuleFunction decoder_number_table[] = {
    {&d_ones, entry<d_ones, decode_ones_complement, U64, Size>},
    {&d_twos, entry<d_twos, decode_twos_complement, U64, Size>},
    {&d_sign, entry<d_sign, decode_sign_magnitude, U64, Size>},
    {&d_unpacked_bcd, entry<d_unpacked_bcd, decode_unpacked_bcd, U64, Size, Flag>},
    {&d_packed_bcd, entry<d_packed_bcd, decode_packed_bcd, U64, Size, Flag>},
    {&d_f16, entry<d_f16, decode_ieee754_f16, U64>},
    {&d_f32, entry<d_f32, decode_ieee754_f32, U64>},
    {&d_f64, entry<d_f64, decode_ieee754_f64, U64>},
    {&d_f128, entry<d_f128, decode_f128, UInt128>},
    reserved<d_1985_f32, m_1985_f32>,
    reserved<d_1985_f64, m_1985_f64>,
    reserved<d_1985_f80, m_1985_f80>,
    reserved<d_mil_f32, m_mil_f32>,
    reserved<d_mil_f48, m_mil_f48>,
    reserved<d_dec_f32, m_dec_f32>,
    reserved<d_dec_f64, m_dec_f64>,
    reserved<d_ibm_f32, m_ibm_f32>,
    reserved<d_ibm_f64, m_ibm_f64>,
    reserved<d_ti_f32, m_ti_f32>,
    reserved<d_ti_f40, m_ti_f40>,
};

}  // namespace

const std::span<const ModuleFunction> decoder_number_functions{decoder_number_table};

// ---- Text ----

namespace {

PyObject* decode_text_field(std::span<const std::uint8_t>, BitPos, const Item& f, bool, Encoding,
                            CodecError& err) {
    err = value_error("Unsupported encoding type: " + std::string(f.encoding));
    return nullptr;
}

}  // namespace

const std::span<const ModuleFunction> decoder_text_functions{};

}  // namespace bitweave

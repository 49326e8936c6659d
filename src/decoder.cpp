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
        if (__builtin_mul_overflow(m, std::uint64_t{10}, &next) ||
            __builtin_add_overflow(next, digits[i], &next))
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

double decode_ieee754_f32(std::uint64_t pattern) {
    return double(float_of(std::uint32_t(pattern)));
}

double decode_ieee754_f64(std::uint64_t pattern) { return double_of(pattern); }

double decode_ieee754_f128(std::uint64_t low, std::uint64_t high) {
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

std::uint64_t decode_integer_from_bytes(std::uint64_t field, std::size_t bits, bool reverse_bits,
                                        bool little) {
    return field_value(field, bits, reverse_bits, little);
}

// ---- The packet parser ----

namespace {

[[gnu::cold, gnu::noinline]] CodecError past_the_end(const char* which, std::uint64_t index,
                                                     std::size_t length) {
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
        low = field_value(read_field_bits(packet.data(), packet.size(), pos, f.bits), f.bits,
                          f.reverse_bits, little);
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

PyObject* long_or_error(Result<std::int64_t> r, CodecError& err) {
    if (!r.ok()) return err = r.take_error(), nullptr;
    return PyLong_FromLongLong(r.value());
}

// Decodes a located numeric field into a new Python object.
PyObject* decode_number(std::span<const std::uint8_t> packet, BitPos pos, const Item& f,
                        bool little, Encoding encoding, CodecError& err) {
    if (const char* message = reserved_format_message(encoding))
        return err = not_implemented(message), nullptr;
    const unsigned float_width = ieee754_width(encoding);
    if (f.bits < float_width) return err = ieee754_too_narrow(float_width), nullptr;
    std::uint64_t raw, high;
    if (!read_pattern(packet, pos, f, little, float_width == 128 ? 128 : 64, raw, high, err))
        return nullptr;
    const std::size_t bits = f.bits;
    switch (encoding) {
        case Encoding::unsigned_int: return PyLong_FromUnsignedLongLong(raw);
        case Encoding::twos_complement:
            return PyLong_FromLongLong(decode_twos_complement(raw, bits));
        case Encoding::ones_complement:
            return PyLong_FromLongLong(decode_ones_complement(raw, bits));
        case Encoding::sign_magnitude: return PyLong_FromLongLong(decode_sign_magnitude(raw, bits));
        case Encoding::bcd: return long_or_error(decode_unpacked_bcd(raw, bits, false), err);
        case Encoding::bcd_signed: return long_or_error(decode_unpacked_bcd(raw, bits, true), err);
        case Encoding::packed_bcd: return long_or_error(decode_packed_bcd(raw, bits, false), err);
        case Encoding::packed_bcd_signed:
            return long_or_error(decode_packed_bcd(raw, bits, true), err);
        case Encoding::ieee754_f16: return PyFloat_FromDouble(decode_ieee754_f16(raw));
        case Encoding::ieee754_f32: return PyFloat_FromDouble(decode_ieee754_f32(raw));
        case Encoding::ieee754_f64: return PyFloat_FromDouble(decode_ieee754_f64(raw));
        case Encoding::ieee754_f128: return PyFloat_FromDouble(decode_ieee754_f128(raw, high));
        default: break;
    }
    return err = unsupported_encoding(f.encoding), nullptr;
}

PyObject* decode_text_field(std::span<const std::uint8_t> packet, BitPos pos, const Item& f,
                            bool little, Encoding encoding, CodecError& err);

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
#if PY_VERSION_HEX < 0x030D0000
    // Sized for the items up front: no resizing while the fields are stored.
    py::Ref result(_PyDict_NewPresized(Py_ssize_t(items.size())));
#else
    py::Ref result(PyDict_New());
#endif
    if (!result) return err = CodecError::pending(), nullptr;
    const BitPos base = BitPos::of(offset_bits);
    BitPos cursor = base;
    for (PyObject* item : items) {
        Item f;
        if (!read_item(item, f, err)) return nullptr;
        const BitPos pos = f.has_offset ? base.plus(f.offset_bits) : cursor;
        // Byte indexes of the field are exact: they cannot wrap.
        const std::uint64_t end = pos.end_byte(f.bits);
        if (pos.byte > packet.size())
            return err = past_the_end("start", pos.byte, packet.size()), nullptr;
        if (end > packet.size()) return err = past_the_end("end", end, packet.size()), nullptr;

        py::Ref value(decode_field(packet, pos, f, err));
        if (!value) return nullptr;
        // An exact str is its own key; a subclass gives way to a plain str of its text.
        py::Ref key =
            PyUnicode_CheckExact(f.name_obj.get())
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
constexpr FunctionDescription d_unpacked_bcd{
    "decode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2};
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

std::string as_string(std::span<const std::uint8_t> b) {
    return b.empty() ? std::string()
                     : std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

bool starts_with(std::span<const std::uint8_t> b, std::initializer_list<std::uint8_t> prefix) {
    if (b.size() < prefix.size()) return false;
    std::size_t i = 0;
    for (std::uint8_t x : prefix)
        if (b[i++] != x) return false;
    return true;
}

CodecError lone_surrogate() {
    return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

std::uint8_t* utf8_begin(std::string& s) { return reinterpret_cast<std::uint8_t*>(s.data()); }

}  // namespace

Result<std::string> decode_us_ascii(std::span<const std::uint8_t> bytes) {
    const std::size_t bad = skip_ascii(bytes.data(), 0, bytes.size());
    if (bad < bytes.size())
        return value_error("Invalid US-ASCII byte: 0x" + hex_upper(bytes[bad], 2) +
                           " (must be <= 0x7F)");
    return as_string(bytes);
}

std::string decode_iso_8859_1(std::span<const std::uint8_t> bytes) {
    std::size_t high = 0;  // bytes that take two in UTF-8
    for (std::uint8_t b : bytes) high += b >> 7;
    std::string s(add_size(bytes.size(), high), '\0');
    std::uint8_t* o = utf8_begin(s);
    for (std::uint8_t b : bytes) o = put_utf8(o, b);
    return s;
}

Result<std::string> decode_windows_1252(std::span<const std::uint8_t> bytes) {
    // A byte-order mark selects UTF-8 or UTF-16, which must then be well formed.
    Result<std::string> sniffed = std::string();
    if (starts_with(bytes, {0xEF, 0xBB, 0xBF}))
        sniffed = decode_utf8(bytes.subspan(3));
    else if (starts_with(bytes, {0xFF, 0xFE}))
        sniffed = decode_utf16_with_endianness(bytes.subspan(2), true);
    else if (starts_with(bytes, {0xFE, 0xFF}))
        sniffed = decode_utf16_with_endianness(bytes.subspan(2), false);
    else {
        std::size_t two = 0, three = 0;  // bytes that take two or three in UTF-8
        for (std::uint8_t b : bytes) {
            const char32_t c = windows_1252_to_unicode(b);
            two += c >= 0x80 && c < 0x800;
            three += c >= 0x800;
        }
        std::string s(add_size(bytes.size(), add_size(two, mul_size(three, 2))), '\0');
        std::uint8_t* o = utf8_begin(s);
        for (std::uint8_t b : bytes) o = put_utf8(o, windows_1252_to_unicode(b));
        return s;
    }
    if (!sniffed.ok()) return value_error("Failed to decode Windows-1252 bytes");
    return sniffed;
}

Result<std::string> decode_utf8(std::span<const std::uint8_t> bytes) {
    const Utf8Check check = check_utf8(bytes.data(), bytes.size());
    if (!check.valid) return value_error("Invalid UTF-8 bytes: " + utf8_fault_text(check));
    return as_string(bytes);
}

Result<std::string> decode_utf16(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0)
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    if (starts_with(bytes, {0xFE, 0xFF}))
        return decode_utf16_with_endianness(bytes.subspan(2), false);
    if (starts_with(bytes, {0xFF, 0xFE}))
        return decode_utf16_with_endianness(bytes.subspan(2), true);
    return decode_utf16_with_endianness(bytes, false);
}

Result<std::string> decode_utf16_with_endianness(std::span<const std::uint8_t> bytes, bool little) {
    if (bytes.size() % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
    const std::size_t units = bytes.size() / 2;
    const std::uint8_t* p = bytes.data();
    auto unit = [=](std::size_t k) -> std::uint32_t {
        const std::uint32_t a = p[2 * k], b = p[2 * k + 1];
        return little ? b << 8 | a : a << 8 | b;
    };
    // A unit takes at most three bytes in UTF-8; a surrogate pair four for its two units.
    std::string s(mul_size(units, 3), '\0');
    std::uint8_t* const begin = utf8_begin(s);
    std::uint8_t* o = begin;
    for (std::size_t k = 0; k < units; ++k) {
        const std::uint32_t u = unit(k);
        if (u < 0xD800 || u > 0xDFFF) {
            o = put_utf8(o, u);
            continue;
        }
        if (u > 0xDBFF || k + 1 == units) return lone_surrogate();
        const std::uint32_t v = unit(++k);
        if (v < 0xDC00 || v > 0xDFFF) return lone_surrogate();
        o = put_utf8(o, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
    }
    s.resize(std::size_t(o - begin));
    return s;
}

Result<std::string> decode_utf32(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0)
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    if (starts_with(bytes, {0xFF, 0xFE, 0x00, 0x00}))
        return decode_utf32_with_endianness(bytes.subspan(4), true);
    if (starts_with(bytes, {0x00, 0x00, 0xFE, 0xFF}))
        return decode_utf32_with_endianness(bytes.subspan(4), false);
    return decode_utf32_with_endianness(bytes, false);
}

Result<std::string> decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little) {
    if (bytes.size() % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
    // A unit takes at most four bytes in UTF-8.
    std::string s(bytes.size(), '\0');
    std::uint8_t* const begin = utf8_begin(s);
    std::uint8_t* o = begin;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        std::uint32_t c = 0;
        for (int k = 0; k < 4; ++k) c = c << 8 | bytes[i + std::size_t(little ? 3 - k : k)];
        if ((c >= 0xD800 && c < 0xE000) || c > 0x10FFFF)
            return value_error("Invalid UTF-32 codepoint: 0x" + hex_upper(c, 8));
        o = put_utf8(o, c);
    }
    s.resize(std::size_t(o - begin));
    return s;
}

namespace {

Result<std::string> decode_utf16le(std::span<const std::uint8_t> b) {
    return decode_utf16_with_endianness(b, true);
}
Result<std::string> decode_utf16be(std::span<const std::uint8_t> b) {
    return decode_utf16_with_endianness(b, false);
}
Result<std::string> decode_utf32le(std::span<const std::uint8_t> b) {
    return decode_utf32_with_endianness(b, true);
}
Result<std::string> decode_utf32be(std::span<const std::uint8_t> b) {
    return decode_utf32_with_endianness(b, false);
}

// The text of every encoding but UTF-8, which goes to the interpreter directly.
Result<std::string> decode_text(Encoding encoding, std::span<const std::uint8_t> image) {
    switch (encoding) {
        case Encoding::us_ascii: return decode_us_ascii(image);
        case Encoding::iso_8859_1: return decode_iso_8859_1(image);
        case Encoding::windows_1252: return decode_windows_1252(image);
        case Encoding::utf16: return decode_utf16(image);
        case Encoding::utf16le: return decode_utf16le(image);
        case Encoding::utf16be: return decode_utf16be(image);
        case Encoding::utf32: return decode_utf32(image);
        case Encoding::utf32le: return decode_utf32le(image);
        case Encoding::utf32be: return decode_utf32be(image);
        default: return decode_utf8(image);
    }
}

// A str from UTF-8 bytes, made by the interpreter's own strict decoder; when it refuses
// them, the validator above names the fault. The two agree on what is valid.
PyObject* str_from_utf8(std::span<const std::uint8_t> bytes, CodecError& err) {
    PyObject* s = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes.data()),
                                       Py_ssize_t(bytes.size()), "strict");
    if (s != nullptr) return s;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return err = CodecError::pending(), nullptr;
    PyErr_Clear();
    const Utf8Check check = check_utf8(bytes.data(), bytes.size());
    if (check.valid) {
        py::raise_internal_fault("the interpreter refused UTF-8 that the validator accepts");
        return err = CodecError::pending(), nullptr;
    }
    err = value_error("Invalid UTF-8 bytes: " + utf8_fault_text(check));
    return nullptr;
}

// A text field's byte image is its bits right-aligned in whole bytes (leading zero bits
// when the width is not a multiple of 8), reversed for little-endian order.
PyObject* decode_text_field(std::span<const std::uint8_t> packet, BitPos pos, const Item& f,
                            bool little, Encoding encoding, CodecError& err) {
    const std::size_t n = f.bits / 8 + (f.bits % 8 != 0);
    std::span<const std::uint8_t> image;
    std::string copy;
    if (pos.bit == 0 && f.bits % 8 == 0 && !little) {
        image = packet.subspan(std::size_t(pos.byte), n);  // read in place
    } else {
        copy.assign(n, '\0');
        std::uint8_t* o = utf8_begin(copy);
        std::size_t k = 0;
        BitPos q = pos;
        if (const std::size_t lead = f.bits % 8; lead != 0) {
            o[k++] = std::uint8_t(read_bits(packet.data(), q, lead));
            q = q.plus(lead);
        }
        for (; k < n; ++k, q = q.plus(8)) o[k] = std::uint8_t(read_bits(packet.data(), q, 8));
        if (little)
            for (std::size_t i = 0, j = n; i + 1 < j; ++i, --j) std::swap(o[i], o[j - 1]);
        image = {o, n};
    }
    if (encoding == Encoding::utf8) return str_from_utf8(image, err);
    Result<std::string> text = decode_text(encoding, image);
    if (!text.ok()) return err = text.take_error(), nullptr;
    PyObject* s = PyUnicode_FromStringAndSize(text.value().data(), Py_ssize_t(text.value().size()));
    if (s == nullptr) err = CodecError::pending();
    return s;
}

using namespace py;

// Module function routines: the decoded text as a str.
template <auto Decode>
Result<Utf8Text> decode_to_text(std::span<const std::uint8_t> bytes) {
    Result<std::string> text = Decode(bytes);
    if (!text.ok()) return text.take_error();
    return Utf8Text{std::move(text.value())};
}

Result<Ref> decode_utf8_to_str(std::span<const std::uint8_t> bytes) {
    CodecError err;
    Ref s(str_from_utf8(bytes, err));
    if (!s) return err;
    return Result<Ref>(std::move(s));
}

constexpr FunctionDescription d_text_us_ascii{"decode_us_ascii", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_iso_8859_1{"decode_iso_8859_1", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_windows_1252{"decode_windows_1252", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf8{"decode_utf8", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf16{"decode_utf16", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf16le{"decode_utf16le", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf16be{"decode_utf16be", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf32{"decode_utf32", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf32le{"decode_utf32le", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf32be{"decode_utf32be", {"bytes"}, 1, 1};

template <const FunctionDescription& D, auto Decode>
constexpr ModuleFunction text_decoder{&D, entry<D, decode_to_text<Decode>, ByteString>};

constexpr ModuleFunction decoder_text_table[] = {
    text_decoder<d_text_us_ascii, decode_us_ascii>,
    text_decoder<d_text_iso_8859_1, decode_iso_8859_1>,
    text_decoder<d_text_windows_1252, decode_windows_1252>,
    {&d_text_utf8, entry<d_text_utf8, decode_utf8_to_str, ByteString>},
    text_decoder<d_text_utf16, decode_utf16>,
    text_decoder<d_text_utf16le, decode_utf16le>,
    text_decoder<d_text_utf16be, decode_utf16be>,
    text_decoder<d_text_utf32, decode_utf32>,
    text_decoder<d_text_utf32le, decode_utf32le>,
    text_decoder<d_text_utf32be, decode_utf32be>,
};

}  // namespace

const std::span<const ModuleFunction> decoder_text_functions{decoder_text_table};

}  // namespace bitweave

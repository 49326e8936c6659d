// The packet builder and every encode routine, each with the module function that stands
// behind it.
#include <cstring>
#include <span>
#include <string>

#include "bits.hpp"
#include "codecs.hpp"
#include "packet.hpp"
#include "recipe.hpp"

namespace bitweave {

// ---- Binary integers ----

Result<std::uint64_t> encode_twos_complement(std::int64_t v, std::size_t bits) {
    if (bits > 64) return value_error("bits must be <= 64 for two's complement encoding");
    if (bits == 64) return std::uint64_t(v);
    // Only 0 fits in no bits at all.
    const std::int64_t max = bits == 0 ? 0 : std::int64_t(low_mask(bits - 1));
    const std::int64_t min = bits == 0 ? 0 : -max - 1;
    if (v < min || v > max)
        return value_error("Value " + std::to_string(v) + " out of range for " +
                           std::to_string(bits) + " bits (range: " + std::to_string(min) + " to " +
                           std::to_string(max) + ")");
    return std::uint64_t(v) & low_mask(bits);
}

Result<std::uint64_t> encode_ones_complement(std::int64_t v, std::size_t bits) {
    if (bits > 64) return value_error("bits must be <= 64 for ones' complement encoding");
    if (v >= 0) {
        // Below the sign bit: v < 2^(bits-1); with no bits at all only 0 fits.
        if (bits < 64 && (bits == 0 ? v != 0 : (std::uint64_t(v) >> (bits - 1)) != 0))
            return value_error("Value " + std::to_string(v) + " is too large for " +
                               std::to_string(bits) + " bits");
        return std::uint64_t(v);
    }
    const std::uint64_t m = 0 - std::uint64_t(v);  // 2^63 for the most negative value
    if (bits == 0 || (m >> (bits - 1)) != 0)
        return value_error("Value " + std::to_string(v) + " is too large (magnitude) for " +
                           std::to_string(bits) + " bits");
    return low_mask(bits) - m;  // the complement of the magnitude within the field
}

Result<std::uint64_t> encode_sign_magnitude(std::int64_t v, std::size_t bits) {
    if (bits < 2 || bits > 64)
        return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
    const std::uint64_t m = v < 0 ? 0 - std::uint64_t(v) : std::uint64_t(v);
    if ((m >> (bits - 1)) != 0)
        return value_error("Magnitude of " + std::to_string(v) + " is too large for " +
                           std::to_string(bits) + " bits");
    return v < 0 ? m | (std::uint64_t{1} << (bits - 1)) : m;
}

namespace {
// Out of line, so that the range check stays a compare and a branch where it is used.
[[gnu::cold, gnu::noinline]] CodecError too_large_unsigned(std::uint64_t v, std::size_t bits) {
    return value_error("Value " + std::to_string(v) + " is too large for " + std::to_string(bits) +
                       " bits");
}
}  // namespace

Result<std::uint64_t> encode_unsigned(std::uint64_t v, std::size_t bits) {
    if (bits < 64 && (v >> bits) != 0) return too_large_unsigned(v, bits);
    return v;
}

// ---- Binary-coded decimal ----
// Digits are counted from the units digit. Patterns are 64 bits, so a field holds at
// most 16 nibbles or 8 bytes: wider widths are refused rather than letting digits land
// on top of each other.

namespace {

CodecError too_many_digits(std::int64_t v, std::size_t digits) {
    return value_error("Value " + std::to_string(v) + " has too many digits for " +
                       std::to_string(digits) + " BCD digits");
}

std::uint64_t magnitude(std::int64_t v) {
    return v < 0 ? 0 - std::uint64_t(v) : std::uint64_t(v);  // 2^63 for the most negative value
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

// ---- IEEE 754 ----

namespace {

std::uint32_t bits_of(float f) {
    std::uint32_t a;
    std::memcpy(&a, &f, sizeof a);
    return a;
}

}  // namespace

std::uint64_t encode_ieee754_f16(float value) {
    const std::uint32_t a = bits_of(value);
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

std::uint64_t encode_ieee754_f32(float value) { return bits_of(value); }

std::uint64_t encode_ieee754_f64(double value) {
    std::uint64_t p;
    std::memcpy(&p, &value, sizeof p);
    return p;
}

std::uint64_t encode_integer_to_bytes(std::uint64_t pattern, std::size_t bits, bool reverse_bits,
                                      bool little) {
    return field_image(pattern, bits, reverse_bits, little);
}

// ---- The packet builder ----

namespace {

// Writes a numeric field: the pattern zero-extended to the field's width, mirrored and
// laid out as the item says, at pos.
void put_integer_field(std::span<std::uint8_t> packet, BitPos pos, std::uint64_t pattern,
                       std::size_t bits, bool reverse_bits, bool little) {
    if (bits <= 64) {
        write_field_bits(packet.data(), packet.size(), pos,
                         field_image(pattern, bits, reverse_bits, little), bits);
        return;
    }
    clear_bits(packet.data(), pos, bits);
    for (unsigned b = 0; b < 64; ++b)
        if ((pattern >> b) & 1)
            set_bit(packet.data(), pos.plus(wide_field_index(b, bits, reverse_bits, little)));
}

CodecError packet_too_large(std::uint64_t start, std::size_t bits) {
    return value_error("Field of " + std::to_string(bits) + " bits at bit " +
                       std::to_string(start) +
                       " ends beyond the largest packet this platform can hold");
}

// The sizing pass: every item's dict type, "bits" and "offset_bits", and the packet's
// length in bytes.
bool packet_length(const py::Recipe& items, std::size_t& length, CodecError& err) {
    std::uint64_t largest_end = 0;
    for (PyObject* item : items) {
        if (!check_dict(item, err)) return false;
        std::size_t bits = 0, offset = 0;
        bool present, has_offset;
        if (!get_size_field(item, py::names.bits, "bits", true, present, bits, err)) return false;
        if (!get_size_field(item, py::names.offset_bits, "offset_bits", false, has_offset, offset,
                            err))
            return false;
        const std::uint64_t start = has_offset ? offset : largest_end;
        std::uint64_t end;
        if (__builtin_add_overflow(start, std::uint64_t(bits), &end)) {
            err = packet_too_large(start, bits);
            return false;
        }
        if (end > largest_end) largest_end = end;
    }
    const std::uint64_t bytes = largest_end / 8 + (largest_end % 8 != 0);
    if (bytes > std::uint64_t(PY_SSIZE_T_MAX)) {
        err = packet_too_large(0, largest_end);
        return false;
    }
    length = std::size_t(bytes);
    return true;
}

bool fill_text_field(PyObject* value, const Item& f, Encoding encoding, std::uint8_t* packet,
                     BitPos pos, CodecError& err);

// The value of a numeric item converted and encoded as its pattern. A failed conversion
// leaves the interpreter's exception pending.
Result<std::uint64_t> encode_number(PyObject* value, const Item& f, Encoding encoding) {
    const std::size_t bits = f.bits;
    if (encoding == Encoding::unsigned_int) {
        std::uint64_t v;
        if (!py::to_u64(value, v)) return CodecError::pending();
        return encode_unsigned(v, bits);
    }
    if (encoding >= Encoding::ieee754_f16 && encoding <= Encoding::ieee754_f64) {
        double v;
        if (!py::to_double(value, v)) return CodecError::pending();
        if (const unsigned width = ieee754_width(encoding); bits < width)
            return ieee754_too_narrow(width);
        switch (encoding) {
            case Encoding::ieee754_f16: return encode_ieee754_f16(static_cast<float>(v));
            case Encoding::ieee754_f32: return encode_ieee754_f32(static_cast<float>(v));
            default: return encode_ieee754_f64(v);
        }
    }
    std::int64_t v;
    if (!py::to_i64(value, v)) return CodecError::pending();
    switch (encoding) {
        case Encoding::twos_complement: return encode_twos_complement(v, bits);
        case Encoding::ones_complement: return encode_ones_complement(v, bits);
        case Encoding::sign_magnitude: return encode_sign_magnitude(v, bits);
        case Encoding::bcd: return encode_unpacked_bcd(v, bits, false);
        case Encoding::bcd_signed: return encode_unpacked_bcd(v, bits, true);
        case Encoding::packed_bcd: return encode_packed_bcd(v, bits, false);
        case Encoding::packed_bcd_signed: return encode_packed_bcd(v, bits, true);
        default: break;
    }
    return unsupported_encoding(f.encoding);
}

// Encodes one item's value into the packet at pos.
bool fill_field(PyObject* item, const Item& f, std::span<std::uint8_t> packet, BitPos pos,
                CodecError& err) {
    py::Ref value = lookup(item, py::names.value, err);
    if (!value) {
        if (!err)
            err = {ErrorKind::key_error,
                   "Recipe item '" + std::string(f.name) + "' missing required field: 'value'"};
        return false;
    }
    Encoding encoding;
    if (!find_encoding(f, true, encoding, err)) return false;
    if (is_text(encoding))
        return fill_text_field(value.get(), f, encoding, packet.data(), pos, err);

    Result<std::uint64_t> pattern = encode_number(value.get(), f, encoding);
    if (!pattern.ok()) return err = pattern.take_error(), false;

    bool little;
    if (!find_byte_order(f, little, err)) return false;
    put_integer_field(packet, pos, pattern.value(), f.bits, f.reverse_bits, little);
    return true;
}

}  // namespace

PyObject* build_packet(const py::Recipe& items, CodecError& err) {
    std::size_t length = 0;
    if (!packet_length(items, length, err)) return nullptr;
    py::Ref packet(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(length)));
    if (!packet) return err = CodecError::pending(), nullptr;
    auto* buf = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
    std::memset(buf, 0, length);

    std::uint64_t cursor = 0;
    for (PyObject* item : items) {
        Item f;
        if (!read_item(item, f, err)) return nullptr;
        if (f.has_offset) cursor = f.offset_bits;
        // The sizing pass guarantees the room, unless the recipe changed in between
        // (a key whose value converts differently the second time).
        std::uint64_t end;
        if (__builtin_add_overflow(cursor, std::uint64_t(f.bits), &end) ||
            end > std::uint64_t(length) * 8) {
            err = value_error("Field '" + std::string(f.name) + "' of " + std::to_string(f.bits) +
                              " bits at bit " + std::to_string(cursor) +
                              " does not fit the packet sized before: the recipe changed while it "
                              "was packed");
            return nullptr;
        }
        if (!fill_field(item, f, {buf, length}, BitPos::of(cursor), err)) return nullptr;
        cursor = end;
    }
    return packet.release();
}

// ---- Module functions ----

namespace {

using namespace py;

constexpr FunctionDescription d_ones{"encode_ones_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_twos{"encode_twos_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_sign{"encode_sign_magnitude", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_unpacked_bcd{
    "encode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_packed_bcd{"encode_packed_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_f16{"encode_ieee754_f16", {"value"}, 1, 1};
constexpr FunctionDescription d_f32{"encode_ieee754_f32", {"value"}, 1, 1};
constexpr FunctionDescription d_f64{"encode_ieee754_f64", {"value"}, 1, 1};

// Reserved formats: name, message, and whether the argument is narrowed to binary32.
constexpr FunctionDescription d_f128{"encode_ieee754_f128", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f32{"encode_ieee754_1985_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f64{"encode_ieee754_1985_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f80{"encode_ieee754_1985_f80", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f32{"encode_mil_std_1750a_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f48{"encode_mil_std_1750a_f48", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f32{"encode_dec_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f64{"encode_dec_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f32{"encode_ibm_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f64{"encode_ibm_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f32{"encode_ti_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f40{"encode_ti_f40", {"_value"}, 1, 1};
constexpr char m_f128[] = "IEEE 754 f128 encoding not yet implemented";
constexpr char m_1985_f32[] = "IEEE 754-1985 f32 encoding not yet implemented";
constexpr char m_1985_f64[] = "IEEE 754-1985 f64 encoding not yet implemented";
constexpr char m_1985_f80[] = "IEEE 754-1985 f80 encoding not yet implemented";
constexpr char m_mil_f32[] = "MIL-STD-1750A f32 encoding not yet implemented";
constexpr char m_mil_f48[] = "MIL-STD-1750A f48 encoding not yet implemented";
constexpr char m_dec_f32[] = "DEC f32 encoding not yet implemented";
constexpr char m_dec_f64[] = "DEC f64 encoding not yet implemented";
constexpr char m_ibm_f32[] = "IBM f32 encoding not yet implemented";
constexpr char m_ibm_f64[] = "IBM f64 encoding not yet implemented";
constexpr char m_ti_f32[] = "TI f32 encoding not yet implemented";
constexpr char m_ti_f40[] = "TI f40 encoding not yet implemented";

template <const FunctionDescription& D, const char* M>
constexpr ModuleFunction reserved_single{&D, entry<D, not_implemented_yet<M, float>, Single>};
template <const FunctionDescription& D, const char* M>
constexpr ModuleFunction reserved_double{&D, entry<D, not_implemented_yet<M, double>, Double>};

constexpr ModuleFunction encoder_number_table[] = {
    {&d_ones, entry<d_ones, encode_ones_complement, I64, Size>},
    {&d_twos, entry<d_twos, encode_twos_complement, I64, Size>},
    {&d_sign, entry<d_sign, encode_sign_magnitude, I64, Size>},
    {&d_unpacked_bcd, entry<d_unpacked_bcd, encode_unpacked_bcd, I64, Size, Flag>},
    {&d_packed_bcd, entry<d_packed_bcd, encode_packed_bcd, I64, Size, Flag>},
    {&d_f16, entry<d_f16, encode_ieee754_f16, Single>},
    {&d_f32, entry<d_f32, encode_ieee754_f32, Single>},
    {&d_f64, entry<d_f64, encode_ieee754_f64, Double>},
    reserved_double<d_f128, m_f128>,
    reserved_single<d_1985_f32, m_1985_f32>,
    reserved_double<d_1985_f64, m_1985_f64>,
    reserved_double<d_1985_f80, m_1985_f80>,
    reserved_single<d_mil_f32, m_mil_f32>,
    reserved_double<d_mil_f48, m_mil_f48>,
    reserved_single<d_dec_f32, m_dec_f32>,
    reserved_double<d_dec_f64, m_dec_f64>,
    reserved_single<d_ibm_f32, m_ibm_f32>,
    reserved_double<d_ibm_f64, m_ibm_f64>,
    reserved_single<d_ti_f32, m_ti_f32>,
    reserved_double<d_ti_f40, m_ti_f40>,
};

}  // namespace

const std::span<const ModuleFunction> encoder_number_functions{encoder_number_table};

// ---- Text ----

namespace {

const std::uint8_t* bytes_of(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Walks valid UTF-8 text in order: run(i, j) for each run of ASCII bytes [i, j), and
// scalar(c, i) for every other scalar value c, which starts at byte i. A false from
// scalar stops the walk, and the walk returns false. The counting pass and the writing
// pass of an encoder both walk this way, so they cannot disagree about the output even
// for text that is not valid UTF-8.
template <class Run, class Scalar>
bool walk_text(std::string_view text, Run run, Scalar scalar) {
    const std::uint8_t* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t j = skip_ascii(p, i, n);
        if (j > i) {
            run(i, j);
            i = j;
            if (i == n) break;
        }
        const std::size_t start = i;
        if (!scalar(next_scalar(p, n, i), start)) return false;
    }
    return true;
}

// The error for the character at byte i, which the named character set cannot hold.
CodecError unencodable(std::string_view text, std::size_t i, const char* set) {
    std::size_t end = i;
    const char32_t c = next_scalar(bytes_of(text), text.size(), end);
    return value_error("Character '" + std::string(text.substr(i, end - i)) + "' (U+" +
                       hex_upper(std::uint32_t(c), 4) + ") is not valid " + set);
}

// A single-byte character set: `byte_of` gives the byte for a scalar value, or -1.
template <class ByteOf>
Result<std::size_t> encode_single_byte(std::string_view text, ByteSink& out, ByteOf byte_of,
                                       CodecError (*refuse)(std::string_view, std::size_t)) {
    std::size_t length = 0;
    std::size_t bad = 0;
    const bool ok = walk_text(
        text, [&](std::size_t i, std::size_t j) { length += j - i; },
        [&](char32_t c, std::size_t i) {
            if (byte_of(c) < 0) return bad = i, false;
            return ++length, true;
        });
    if (!ok) return refuse(text, bad);
    std::uint8_t* o = out.room(length);
    const std::uint8_t* p = bytes_of(text);
    walk_text(
        text,
        [&](std::size_t i, std::size_t j) {
            std::memcpy(o, p + i, j - i);
            o += j - i;
        },
        [&](char32_t c, std::size_t) { return *o++ = std::uint8_t(byte_of(c)), true; });
    return length;
}

// UTF-16 (Unit = 2 bytes) or UTF-32 (Unit = 4) in one byte order, after a mark if asked.
template <unsigned Unit>
Result<std::size_t> encode_utf_form(std::string_view text, ByteSink& out, bool little, bool mark) {
    const auto put = [little](std::uint8_t* o, std::uint32_t u) {
        for (unsigned k = 0; k < Unit; ++k)
            o[little ? k : Unit - 1 - k] = std::uint8_t(u >> (8 * k));
        return o + Unit;
    };
    // UTF-16 writes a character beyond the basic plane as a surrogate pair.
    const auto paired = [](char32_t c) { return Unit == 2 && c >= 0x10000; };
    std::size_t units = 0;
    walk_text(
        text, [&](std::size_t i, std::size_t j) { units += j - i; },
        [&](char32_t c, std::size_t) { return units += paired(c) ? 2 : 1, true; });
    const std::size_t length = add_size(mul_size(units, Unit), mark ? Unit : 0);
    std::uint8_t* o = out.room(length);
    if (mark) o = put(o, 0xFEFF);
    const std::uint8_t* p = bytes_of(text);
    walk_text(
        text,
        [&](std::size_t i, std::size_t j) {
            for (; i < j; ++i) o = put(o, p[i]);
        },
        [&](char32_t c, std::size_t) {
            if (paired(c)) {
                o = put(o, 0xD800 + ((c - 0x10000) >> 10));
                o = put(o, 0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                o = put(o, c);
            }
            return true;
        });
    return length;
}

}  // namespace

Result<std::size_t> encode_us_ascii(std::string_view text, ByteSink& out) {
    const std::size_t bad = skip_ascii(bytes_of(text), 0, text.size());
    if (bad < text.size()) return unencodable(text, bad, "US-ASCII");
    return encode_utf8(text, out);  // ASCII text is its own encoding
}

Result<std::size_t> encode_iso_8859_1(std::string_view text, ByteSink& out) {
    return encode_single_byte(
        text, out, [](char32_t c) { return c <= 0xFF ? int(c) : -1; },
        [](std::string_view t, std::size_t i) { return unencodable(t, i, "ISO-8859-1"); });
}

Result<std::size_t> encode_windows_1252(std::string_view text, ByteSink& out) {
    return encode_single_byte(text, out, unicode_to_windows_1252,
                              [](std::string_view, std::size_t) {
                                  return value_error("Failed to encode to Windows-1252");
                              });
}

Result<std::size_t> encode_utf8(std::string_view text, ByteSink& out) {
    std::uint8_t* o = out.room(text.size());
    if (!text.empty()) std::memcpy(o, text.data(), text.size());
    return text.size();
}

Result<std::size_t> encode_utf16(std::string_view text, ByteSink& out) {
    return encode_utf_form<2>(text, out, false, true);
}
Result<std::size_t> encode_utf16le(std::string_view text, ByteSink& out) {
    return encode_utf_form<2>(text, out, true, false);
}
Result<std::size_t> encode_utf16be(std::string_view text, ByteSink& out) {
    return encode_utf_form<2>(text, out, false, false);
}
Result<std::size_t> encode_utf32(std::string_view text, ByteSink& out) {
    return encode_utf_form<4>(text, out, false, true);
}
Result<std::size_t> encode_utf32le(std::string_view text, ByteSink& out) {
    return encode_utf_form<4>(text, out, true, false);
}
Result<std::size_t> encode_utf32be(std::string_view text, ByteSink& out) {
    return encode_utf_form<4>(text, out, false, false);
}

namespace {

Result<std::size_t> encode_text(Encoding encoding, std::string_view text, ByteSink& out) {
    switch (encoding) {
        case Encoding::us_ascii: return encode_us_ascii(text, out);
        case Encoding::iso_8859_1: return encode_iso_8859_1(text, out);
        case Encoding::windows_1252: return encode_windows_1252(text, out);
        case Encoding::utf16: return encode_utf16(text, out);
        case Encoding::utf16le: return encode_utf16le(text, out);
        case Encoding::utf16be: return encode_utf16be(text, out);
        case Encoding::utf32: return encode_utf32(text, out);
        case Encoding::utf32le: return encode_utf32le(text, out);
        case Encoding::utf32be: return encode_utf32be(text, out);
        default: return encode_utf8(text, out);
    }
}

// A text field holds the encoded text from its first bit on, then zero bits to its end.
// Text longer than the field is refused rather than cut.
bool fill_text_field(PyObject* value, const Item& f, Encoding encoding, std::uint8_t* packet,
                     BitPos pos, CodecError& err) {
    std::string_view text;
    if (!py::to_text(value, text)) return err = CodecError::pending(), false;
    // UTF-8 text in big-endian order is written straight from the interpreter's copy.
    StringSink encoded;
    std::span<const std::uint8_t> image{bytes_of(text), text.size()};
    if (encoding != Encoding::utf8) {
        Result<std::size_t> n = encode_text(encoding, text, encoded);
        if (!n.ok()) return err = n.take_error(), false;
        image = {reinterpret_cast<const std::uint8_t*>(encoded.bytes.data()), encoded.bytes.size()};
    }
    bool little;
    if (!find_byte_order(f, little, err)) return false;
    if (image.size() > f.bits / 8) {
        err = value_error("Encoded text of " + std::to_string(image.size()) +
                          " bytes does not fit in " + std::to_string(f.bits) + " bits");
        return false;
    }
    if (little) {
        if (encoding == Encoding::utf8) encoded.bytes.assign(text);
        auto& b = encoded.bytes;
        for (std::size_t i = 0, j = b.size(); i + 1 < j; ++i, --j) std::swap(b[i], b[j - 1]);
        image = {reinterpret_cast<const std::uint8_t*>(b.data()), b.size()};
    }
    if (pos.bit == 0) {
        if (!image.empty()) std::memcpy(packet + pos.byte, image.data(), image.size());
    } else {
        for (std::size_t i = 0; i < image.size(); ++i)
            write_bits(packet, pos.plus(8 * i), image[i], 8);
    }
    clear_bits(packet, pos.plus(8 * image.size()), f.bits - 8 * image.size());
    return true;
}

using namespace py;

// A module function's routine: the encoder's output as a new bytes object.
template <Result<std::size_t> (*Encode)(std::string_view, ByteSink&)>
Result<NewBytes> encode_to_bytes(std::string_view text) {
    NewBytes out;
    Result<std::size_t> n = Encode(text, out);
    if (!n.ok()) return n.take_error();
    return Result<NewBytes>(std::move(out));
}

constexpr FunctionDescription d_text_us_ascii{"encode_us_ascii", {"text"}, 1, 1};
constexpr FunctionDescription d_text_iso_8859_1{"encode_iso_8859_1", {"text"}, 1, 1};
constexpr FunctionDescription d_text_windows_1252{"encode_windows_1252", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf8{"encode_utf8", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf16{"encode_utf16", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf16le{"encode_utf16le", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf16be{"encode_utf16be", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf32{"encode_utf32", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf32le{"encode_utf32le", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf32be{"encode_utf32be", {"text"}, 1, 1};

template <const FunctionDescription& D, Result<std::size_t> (*Encode)(std::string_view, ByteSink&)>
constexpr ModuleFunction text_encoder{&D, entry<D, encode_to_bytes<Encode>, Text>};

constexpr ModuleFunction encoder_text_table[] = {
    text_encoder<d_text_us_ascii, encode_us_ascii>,
    text_encoder<d_text_iso_8859_1, encode_iso_8859_1>,
    text_encoder<d_text_windows_1252, encode_windows_1252>,
    text_encoder<d_text_utf8, encode_utf8>,
    text_encoder<d_text_utf16, encode_utf16>,
    text_encoder<d_text_utf16le, encode_utf16le>,
    text_encoder<d_text_utf16be, encode_utf16be>,
    text_encoder<d_text_utf32, encode_utf32>,
    text_encoder<d_text_utf32le, encode_utf32le>,
    text_encoder<d_text_utf32be, encode_utf32be>,
};

}  // namespace

const std::span<const ModuleFunction> encoder_text_functions{encoder_text_table};

}  // namespace bitweave

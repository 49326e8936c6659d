// The packet builder and every encode routine, each with the module function that stands
// behind it.
#include <cstring>
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
        return value_error("Value " + std::to_string(v) + " out of range for " + std::to_string(bits) +
                           " bits (range: " + std::to_string(min) + " to " + std::to_string(max) + ")");
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

Result<std::uint64_t> encode_unsigned(std::uint64_t v, std::size_t bits) {
    if (bits < 64 && (v >> bits) != 0)
        return value_error("Value " + std::to_string(v) + " is too large for " + std::to_string(bits) +
                           " bits");
    return v;
}

std::uint64_t encode_integer_to_bytes(std::uint64_t pattern, std::size_t bits, bool reverse_bits,
                                      bool little) {
    std::uint64_t v = reverse_bits ? mirror_bits(pattern, bits) : pattern & low_mask(bits);
    return little ? to_little_field(v, bits) : v;
}

// ---- The packet builder ----

namespace {

// Writes a numeric field: the pattern zero-extended to the field's width, mirrored and
// laid out as the item says, at pos.
void put_integer_field(std::uint8_t* packet, BitPos pos, std::uint64_t pattern, std::size_t bits,
                       bool reverse_bits, bool little) {
    if (bits <= 64) {
        write_bits(packet, pos, encode_integer_to_bytes(pattern, bits, reverse_bits, little), bits);
        return;
    }
    clear_bits(packet, pos, bits);
    for (unsigned b = 0; b < 64; ++b)
        if ((pattern >> b) & 1) set_bit(packet, pos.plus(wide_field_index(b, bits, reverse_bits, little)));
}

CodecError packet_too_large(std::uint64_t start, std::size_t bits) {
    return value_error("Field of " + std::to_string(bits) + " bits at bit " + std::to_string(start) +
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
        if (!get_size_field(item, py::names.offset_bits, "offset_bits", false, has_offset, offset, err))
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

bool fill_text_field(PyObject* value, const Item& f, Encoding encoding, std::uint8_t* packet, BitPos pos,
                     CodecError& err);

// Encodes one item's value into the packet at pos.
bool fill_field(PyObject* item, const Item& f, std::uint8_t* packet, BitPos pos, CodecError& err) {
    py::Ref value = lookup(item, py::names.value, err);
    if (!value) {
        if (!err)
            err = {ErrorKind::key_error,
                   "Recipe item '" + std::string(f.name) + "' missing required field: 'value'"};
        return false;
    }
    Encoding encoding;
    if (!find_encoding(f, true, encoding, err)) return false;
    if (is_text(encoding)) return fill_text_field(value.get(), f, encoding, packet, pos, err);

    Result<std::uint64_t> pattern = std::uint64_t{0};
    if (encoding == Encoding::unsigned_int) {
        std::uint64_t v;
        if (!py::to_u64(value.get(), v)) return err = CodecError::pending(), false;
        pattern = encode_unsigned(v, f.bits);
    } else {
        std::int64_t v;
        if (!py::to_i64(value.get(), v)) return err = CodecError::pending(), false;
        switch (encoding) {
            case Encoding::twos_complement: pattern = encode_twos_complement(v, f.bits); break;
            case Encoding::ones_complement: pattern = encode_ones_complement(v, f.bits); break;
            case Encoding::sign_magnitude: pattern = encode_sign_magnitude(v, f.bits); break;
            default: return err = value_error("Unsupported encoding type: " + std::string(f.encoding)), false;
        }
    }
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
        if (__builtin_add_overflow(cursor, std::uint64_t(f.bits), &end) || end > std::uint64_t(length) * 8) {
            err = value_error("Field '" + std::string(f.name) + "' of " + std::to_string(f.bits) +
                              " bits at bit " + std::to_string(cursor) +
                              " does not fit the packet sized before: the recipe changed while it "
                              "was packed");
            return nullptr;
        }
        if (!fill_field(item, f, buf, BitPos::of(cursor), err)) return nullptr;
        cursor = end;
    }
    return packet.release();
}

// ---- Module functions ----

namespace {

using namespace py;

constexpr FunctionDescription d_encode_ones_complement{"encode_ones_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_encode_twos_complement{"encode_twos_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_encode_sign_magnitude{"encode_sign_magnitude", {"value", "bits"}, 2, 2};

PyObject* py_encode_ones_complement(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call<I64, Size>(d_encode_ones_complement, a, n, kw, encode_ones_complement);
}
PyObject* py_encode_twos_complement(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call<I64, Size>(d_encode_twos_complement, a, n, kw, encode_twos_complement);
}
PyObject* py_encode_sign_magnitude(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call<I64, Size>(d_encode_sign_magnitude, a, n, kw, encode_sign_magnitude);
}

}  // namespace

const ModuleFunction encoder_number_table[] = {
    {&d_encode_ones_complement, py_encode_ones_complement},
    {&d_encode_twos_complement, py_encode_twos_complement},
    {&d_encode_sign_magnitude, py_encode_sign_magnitude},
};
const std::span<const ModuleFunction> encoder_number_functions{encoder_number_table};

// ---- Text ----

namespace {

bool fill_text_field(PyObject*, const Item& f, Encoding, std::uint8_t*, BitPos, CodecError& err) {
    err = value_error("Unsupported encoding type: " + std::string(f.encoding));
    return false;
}

}  // namespace

const std::span<const ModuleFunction> encoder_text_functions{};

}  // namespace bitweave

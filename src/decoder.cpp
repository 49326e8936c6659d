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

// The pattern a numeric field holds. Fields wider than 64 bits hold it zero-extended; a
// wide field with any other bit set does not hold a 64-bit pattern and is refused.
bool read_integer_field(std::span<const std::uint8_t> packet, BitPos pos, const Item& f, bool little,
                        std::uint64_t& out, CodecError& err) {
    if (f.bits <= 64) {
        out = decode_integer_from_bytes(read_bits(packet.data(), pos, f.bits), f.bits, f.reverse_bits,
                                        little);
        return true;
    }
    std::uint64_t v = 0;
    for (unsigned b = 0; b < 64; ++b)
        if (get_bit(packet.data(), pos.plus(wide_field_index(b, f.bits, f.reverse_bits, little))))
            v |= std::uint64_t{1} << b;
    // Every set bit of the field must belong to the pattern.
    const std::uint64_t set_bits = count_set_bits(packet.data(), pos, f.bits) - unsigned(__builtin_popcountll(v));
    if (set_bits != 0) {
        err = value_error("Field '" + std::string(f.name) + "' of " + std::to_string(f.bits) +
                          " bits holds a value wider than 64 bits");
        return false;
    }
    out = v;
    return true;
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
    if (is_text(encoding)) return decode_text_field(packet, pos, f, little, encoding, err);
    std::uint64_t raw;
    if (!read_integer_field(packet, pos, f, little, raw, err)) return nullptr;
    PyObject* value = nullptr;
    switch (encoding) {
        case Encoding::unsigned_int: value = PyLong_FromUnsignedLongLong(raw); break;
        case Encoding::twos_complement:
            value = PyLong_FromLongLong(decode_twos_complement(raw, f.bits));
            break;
        case Encoding::ones_complement:
            value = PyLong_FromLongLong(decode_ones_complement(raw, f.bits));
            break;
        case Encoding::sign_magnitude:
            value = PyLong_FromLongLong(decode_sign_magnitude(raw, f.bits));
            break;
        default: return err = value_error("Unsupported encoding type: " + std::string(f.encoding)), nullptr;
    }
    if (value == nullptr) err = CodecError::pending();
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

constexpr FunctionDescription d_decode_ones_complement{"decode_ones_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_decode_twos_complement{"decode_twos_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_decode_sign_magnitude{"decode_sign_magnitude", {"value", "bits"}, 2, 2};

PyObject* py_decode_ones_complement(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call<U64, Size>(d_decode_ones_complement, a, n, kw, decode_ones_complement);
}
PyObject* py_decode_twos_complement(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call<U64, Size>(d_decode_twos_complement, a, n, kw, decode_twos_complement);
}
PyObject* py_decode_sign_magnitude(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    return call<U64, Size>(d_decode_sign_magnitude, a, n, kw, decode_sign_magnitude);
}

}  // namespace

const ModuleFunction decoder_number_table[] = {
    {&d_decode_ones_complement, py_decode_ones_complement},
    {&d_decode_twos_complement, py_decode_twos_complement},
    {&d_decode_sign_magnitude, py_decode_sign_magnitude},
};
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

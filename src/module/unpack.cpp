// The packet parser behind unpack_parameters: each item read, its field located and
// checked against the packet, decoded by the core, and stored under its name.
#include <string>

#include "core/field.hpp"
#include "core/text.hpp"
#include "packet.hpp"
#include "recipe.hpp"

namespace bitweave {

namespace {

PyObject* to_python(const Number& n) {
    switch (n.kind) {
        case Number::Kind::unsigned_int: return PyLong_FromUnsignedLongLong(n.u());
        case Number::Kind::signed_int: return PyLong_FromLongLong(n.i());
        case Number::Kind::real: break;
    }
    return PyFloat_FromDouble(n.d());
}

// Text fields become a str: UTF-8 straight from the packet's bytes, other encodings
// through the core's decoder.
PyObject* decode_text_field(std::span<const std::uint8_t> packet, BitPos pos, const FieldShape& f,
                            Encoding encoding, CodecError& err) {
    std::string scratch;
    const std::span<const std::uint8_t> image = text_field_image(packet, pos, f, scratch);
    if (encoding == Encoding::utf8) return py::str_from_utf8(image, err);
    Result<std::string> text = decode_text(encoding, image);
    if (!text.ok()) return err = text.take_error(), nullptr;
    PyObject* s = PyUnicode_FromStringAndSize(text.value().data(), Py_ssize_t(text.value().size()));
    if (s == nullptr) err = CodecError::pending();
    return s;
}

// Decodes one located field into a new Python object.
PyObject* decode_field(std::span<const std::uint8_t> packet, BitPos pos, const Item& f,
                       CodecError& err) {
    bool little;
    if (!find_byte_order(f, little, err)) return nullptr;
    Encoding encoding;
    if (!find_encoding(f, false, encoding, err)) return nullptr;
    const FieldShape shape{f.bits, f.reverse_bits, little};
    if (is_text(encoding)) return decode_text_field(packet, pos, shape, encoding, err);
    Number n;
    if (!decode_plain_number(encoding, packet, pos, shape, n)) {
        Result<Number> other = decode_other_number(encoding, packet, pos, shape, f.name);
        if (!other.ok()) return err = other.take_error(), nullptr;
        n = other.value();
    }
    PyObject* value = to_python(n);
    if (value == nullptr) err = CodecError::pending();
    return value;
}

}  // namespace

PyObject* process_recipe(std::span<const std::uint8_t> packet, std::size_t offset_bits,
                         const py::Recipe& items, CodecError& err, py::ItemPlace& place) {
#if PY_VERSION_HEX < 0x030D0000
    // Sized for the items up front: no resizing while the fields are stored.
    py::Ref result(_PyDict_NewPresized(Py_ssize_t(items.size())));
#else
    py::Ref result(PyDict_New());
#endif
    if (!result) return err = CodecError::pending(), nullptr;
    const BitPos base = BitPos::of(offset_bits);
    BitPos cursor = base;
    std::size_t index = 0;
    for (PyObject* item : items) {
        place.at(item, index++);
        Item f;
        if (!read_item(item, f, err)) return nullptr;
        const BitPos pos = f.has_offset ? base.plus(f.offset_bits) : cursor;
        place.field(pos, f.bits);
        if (!check_in_packet(pos, f.bits, packet.size(), err)) {
            place.past_end = true;
            place.packet_size = packet.size();
            return nullptr;
        }

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

}  // namespace bitweave

// The packet builder behind pack_parameters: a sizing pass over the recipe, one zeroed
// bytes object of the final size, then each item's value converted and written by the core.
#include <cstring>
#include <span>
#include <string>

#include "core/field.hpp"
#include "core/text.hpp"
#include "packet.hpp"
#include "recipe.hpp"
#include "values.hpp"

namespace bitweave {

namespace {

// The sizing pass: every item's dict type, "bits" and "offset_bits", and the packet's
// length in bytes.
bool packet_length(const py::Recipe& items, std::size_t& length, CodecError& err,
                   py::ItemPlace& place) {
    std::uint64_t largest_end = 0;
    std::size_t index = 0;
    for (PyObject* item : items) {
        place.at(item, index++);
        if (!check_dict(item, err)) return false;
        std::size_t bits = 0, offset = 0;
        bool present, has_offset;
        if (!get_size_field(item, py::names.bits, "bits", true, present, bits, err)) return false;
        if (!get_size_field(item, py::names.offset_bits, "offset_bits", false, has_offset, offset,
                            err))
            return false;
        std::uint64_t end;
        if (!field_end(has_offset ? offset : largest_end, bits, end, err)) return false;
        if (end > largest_end) largest_end = end;
    }
    place = {};  // the packet's size is no item's fault
    std::uint64_t bytes;
    if (!packet_bytes(largest_end, std::uint64_t(PY_SSIZE_T_MAX), bytes, err)) return false;
    length = std::size_t(bytes);
    return true;
}

// A text field holds the encoded text from its first bit on, then zero bits to its end.
// Text longer than the field is refused rather than cut.
bool fill_text_field(PyObject* value, const Item& f, Encoding encoding,
                     std::span<std::uint8_t> packet, BitPos pos, CodecError& err) {
    StringSink encoded;
    std::span<const std::uint8_t> image;
    if (!encode_text_value(value, encoding, encoded, image, err)) return false;
    bool little;
    if (!find_byte_order(f, little, err)) return false;
    if (!check_text_fits(image.size(), f.bits, err)) return false;
    put_text_field(packet, pos, image, {f.bits, f.reverse_bits, little});
    return true;
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
    if (is_text(encoding)) return fill_text_field(value.get(), f, encoding, packet, pos, err);

    Result<std::uint64_t> pattern = encode_number(value.get(), encoding, f.bits);
    if (!pattern.ok()) return err = pattern.take_error(), false;

    bool little;
    if (!find_byte_order(f, little, err)) return false;
    put_number_field(packet, pos, pattern.value(), {f.bits, f.reverse_bits, little});
    return true;
}

}  // namespace

PyObject* build_packet(const py::Recipe& items, CodecError& err, py::ItemPlace& place) {
    std::size_t length = 0;
    if (!packet_length(items, length, err, place)) return nullptr;
    py::Ref packet(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(length)));
    if (!packet) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_MemoryError, "cannot allocate a packet of %zu bytes", length);
        }
        return err = CodecError::pending(), nullptr;
    }
    auto* buf = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
    std::memset(buf, 0, length);

    std::uint64_t cursor = 0;
    std::size_t index = 0;
    for (PyObject* item : items) {
        place.at(item, index++);
        Item f;
        if (!read_item(item, f, err)) return nullptr;
        if (f.has_offset) cursor = f.offset_bits;
        // The sizing pass guarantees the room, unless the recipe changed in between
        // (a key whose value converts differently the second time).
        std::uint64_t end;
        if (!checked_add(cursor, std::uint64_t(f.bits), end) || end > std::uint64_t(length) * 8) {
            err = value_error("Field '" + std::string(f.name) + "' of " + std::to_string(f.bits) +
                              " bits at bit " + std::to_string(cursor) +
                              " does not fit the packet sized before: the recipe changed while it "
                              "was packed");
            return nullptr;
        }
        place.field(BitPos::of(cursor), f.bits);
        if (!fill_field(item, f, {buf, length}, BitPos::of(cursor), err)) return nullptr;
        cursor = end;
    }
    return packet.release();
}

}  // namespace bitweave

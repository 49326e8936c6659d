// Reading recipe items: key lookup, key conversions, encoding names and byte orders.
// Shared by the packet builder (pack.cpp) and the packet parser (unpack.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/encoding.hpp"
#include "pyconv.hpp"

namespace bitweave {

// One recipe item's keys, each text held alive by its own reference.
struct Item {
    py::Ref name_obj, encoding_obj, byte_order_obj;
    std::string_view name, encoding, byte_order;
    std::size_t bits = 0;
    bool reverse_bits = false;
    bool has_offset = false;
    std::size_t offset_bits = 0;
};

inline CodecError missing_field(const char* key) {
    return {ErrorKind::key_error, std::string("Recipe missing required field: '") + key + "'"};
}

// The item dict's value for key, looked up in the dict's own storage, as a strong
// reference. An absent key gives an empty Ref and no error; a failed lookup sets err.
inline py::Ref lookup(PyObject* item, PyObject* key, CodecError& err) {
    PyObject* v = PyDict_GetItemWithError(item, key);
    if (v == nullptr && PyErr_Occurred()) err = CodecError::pending();
    return py::Ref::borrow(v);
}

inline bool check_dict(PyObject* item, CodecError& err) {
    if (PyDict_Check(item)) return true;
    py::refuse(item, "dict");
    err = CodecError::pending();
    return false;
}

// A required text key: the value object (kept) and its UTF-8 text.
inline bool get_required_field(PyObject* item, PyObject* key, const char* key_text, py::Ref& obj,
                               std::string_view& text, CodecError& err) {
    obj = lookup(item, key, err);
    if (!obj) {
        if (!err) err = missing_field(key_text);
        return false;
    }
    if (!py::to_text(obj.get(), text)) {
        err = CodecError::pending();
        return false;
    }
    return true;
}

// A size key; `present` tells whether it was there (an absent required key is an error).
inline bool get_size_field(PyObject* item, PyObject* key, const char* key_text, bool required,
                           bool& present, std::size_t& out, CodecError& err) {
    py::Ref v = lookup(item, key, err);
    present = bool(v);
    if (!v) {
        if (!err && required) err = missing_field(key_text);
        return !err;
    }
    if (!py::to_size(v.get(), out)) {
        err = CodecError::pending();
        return false;
    }
    return true;
}

// The keys every item has, in the order they are checked: name, encoding, bits,
// byte_order, reverse_bits, offset_bits.
inline bool read_item(PyObject* item, Item& f, CodecError& err) {
    if (!check_dict(item, err)) return false;
    if (!get_required_field(item, py::names.name, "name", f.name_obj, f.name, err)) return false;
    if (!get_required_field(item, py::names.encoding, "encoding", f.encoding_obj, f.encoding, err))
        return false;
    bool present;
    if (!get_size_field(item, py::names.bits, "bits", true, present, f.bits, err)) return false;
    if (!get_required_field(item, py::names.byte_order, "byte_order", f.byte_order_obj,
                            f.byte_order, err))
        return false;
    py::Ref rev = lookup(item, py::names.reverse_bits, err);
    if (!rev) {
        if (!err) err = missing_field("reverse_bits");
        return false;
    }
    if (!py::to_flag(rev.get(), f.reverse_bits)) {
        err = CodecError::pending();
        return false;
    }
    return get_size_field(item, py::names.offset_bits, "offset_bits", false, f.has_offset,
                          f.offset_bits, err);
}

// Lower-cases a name for matching. ASCII text is lower-cased in `buf` (names longer than
// `cap` cannot match and give an empty view); other text goes through the interpreter's
// own full Unicode lower-casing (str.lower), whose result is kept alive in `keep`.
inline bool lower_name(PyObject* obj, std::string_view text, char* buf, std::size_t cap,
                       py::Ref& keep, std::string_view& out, CodecError& err) {
    if (PyUnicode_IS_ASCII(obj)) {
        if (text.size() > cap) {
            out = {};
            return true;
        }
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            buf[i] = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        }
        out = {buf, text.size()};
        return true;
    }
    keep = py::Ref(PyObject_CallOneArg(py::names.str_lower, obj));
    if (!keep || !py::to_text(keep.get(), out)) {
        err = CodecError::pending();
        return false;
    }
    return true;
}

// The encoding an item names, or an error for a name this direction does not accept.
// A name not written in lower case, not in the table, or not for this direction.
BITWEAVE_COLD inline bool find_other_encoding(const Item& f, bool packing, const EncodingName* row,
                                              Encoding& out, CodecError& err) {
    if (row == nullptr) {
        char buf[longest_encoding_name()];
        py::Ref keep;
        std::string_view lowered;
        if (!lower_name(f.encoding_obj.get(), f.encoding, buf, sizeof buf, keep, lowered, err))
            return false;
        row = match_encoding(lowered);
    }
    if (row != nullptr && (row->pack || !packing)) {
        out = row->encoding;
        return true;
    }
    err = unsupported_encoding(f.encoding);
    return false;
}

inline bool find_encoding(const Item& f, bool packing, Encoding& out, CodecError& err) {
    // Names are nearly always written in lower case already: try the text as it is.
    const EncodingName* row = match_encoding(f.encoding);
    if (row != nullptr && (row->pack || !packing)) {
        out = row->encoding;
        return true;
    }
    return find_other_encoding(f, packing, row, out, err);
}

// A byte order not written in lower case, or not a byte order at all.
BITWEAVE_COLD inline bool find_other_byte_order(const Item& f, bool& little, CodecError& err) {
    std::string_view lowered;
    char buf[6];
    py::Ref keep;
    if (!lower_name(f.byte_order_obj.get(), f.byte_order, buf, sizeof buf, keep, lowered, err))
        return false;
    if (lowered == "big" || lowered == "little") {
        little = lowered.size() == 6;
        return true;
    }
    err = value_error("Invalid byte_order '" + std::string(f.byte_order) +
                      "': must be 'big' or 'little'");
    return false;
}

// Whether the item's byte order is "little" (true) or "big" (false), in any letter case.
inline bool find_byte_order(const Item& f, bool& little, CodecError& err) {
    if (f.byte_order == "big" || f.byte_order == "little") {
        little = f.byte_order.size() == 6;
        return true;
    }
    return find_other_byte_order(f, little, err);
}

}  // namespace bitweave

// Reading recipe items: key lookup, key conversions, encoding names and byte orders.
// Shared by the packet builder (encoder.cpp) and the packet parser (decoder.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "pyconv.hpp"

namespace bitweave {

enum class Encoding : std::uint8_t {
    // Binary integers and BCD: a pattern of at most 64 bits.
    unsigned_int,
    twos_complement,
    ones_complement,
    sign_magnitude,
    bcd,
    bcd_signed,
    packed_bcd,
    packed_bcd_signed,
    // IEEE 754.
    ieee754_f16,
    ieee754_f32,
    ieee754_f64,
    ieee754_f128,
    // Reserved formats: decoding them always fails.
    ieee754_1985_f32,
    ieee754_1985_f64,
    ieee754_1985_f80,
    mil_std_1750a_f32,
    mil_std_1750a_f48,
    dec_f32,
    dec_f64,
    ibm_f32,
    ibm_f64,
    ti_f32,
    ti_f40,
    // Text: the field holds the encoded bytes.
    us_ascii,
    iso_8859_1,
    windows_1252,
    utf8,
    utf16,
    utf16le,
    utf16be,
    utf32,
    utf32le,
    utf32be,
};

constexpr bool is_text(Encoding e) { return e >= Encoding::us_ascii; }

// The least width a float format's field may have (0 for the other encodings): a
// narrower field would lose the pattern's high bits.
constexpr unsigned ieee754_width(Encoding e) {
    switch (e) {
        case Encoding::ieee754_f16: return 16;
        case Encoding::ieee754_f32: return 32;
        case Encoding::ieee754_f64: return 64;
        case Encoding::ieee754_f128: return 128;
        default: return 0;
    }
}

[[gnu::cold, gnu::noinline]] inline CodecError ieee754_too_narrow(unsigned width) {
    const std::string w = std::to_string(width);
    return value_error("bits must be >= " + w + " for IEEE 754 f" + w);
}

[[gnu::cold, gnu::noinline]] inline CodecError unsupported_encoding(std::string_view name) {
    return value_error("Unsupported encoding type: " + std::string(name));
}

struct EncodingName {
    std::string_view name;  // as matched, after lower-casing
    Encoding encoding;
    bool pack;  // accepted by pack_parameters (unpack_parameters accepts every name)
};

// The recipe's encoding names with their aliases. A family whose codecs are not built
// yet has no rows, and its names are unsupported in both directions.
inline constexpr EncodingName encoding_names[] = {
    {"unsigned", Encoding::unsigned_int, true},
    {"twos_complement", Encoding::twos_complement, true},
    {"twoscomplement", Encoding::twos_complement, true},
    {"ones_complement", Encoding::ones_complement, true},
    {"onescomplement", Encoding::ones_complement, true},
    {"sign_magnitude", Encoding::sign_magnitude, true},
    {"signmagnitude", Encoding::sign_magnitude, true},
    {"bcd", Encoding::bcd, true},
    {"bcd_signed", Encoding::bcd_signed, true},
    {"bcd-signed", Encoding::bcd_signed, true},
    {"packed_bcd", Encoding::packed_bcd, true},
    {"packed-bcd", Encoding::packed_bcd, true},
    {"packed_bcd_signed", Encoding::packed_bcd_signed, true},
    {"packed-bcd-signed", Encoding::packed_bcd_signed, true},
    {"ieee754_f16", Encoding::ieee754_f16, true},
    {"ieee754-f16", Encoding::ieee754_f16, true},
    {"ieee754_f32", Encoding::ieee754_f32, true},
    {"ieee754-f32", Encoding::ieee754_f32, true},
    {"ieee754_f64", Encoding::ieee754_f64, true},
    {"ieee754-f64", Encoding::ieee754_f64, true},
    {"ieee754_f128", Encoding::ieee754_f128, false},
    {"ieee754-f128", Encoding::ieee754_f128, false},
    {"ieee754_1985_f32", Encoding::ieee754_1985_f32, false},
    {"ieee754-1985-f32", Encoding::ieee754_1985_f32, false},
    {"ieee754_1985_f64", Encoding::ieee754_1985_f64, false},
    {"ieee754-1985-f64", Encoding::ieee754_1985_f64, false},
    {"ieee754_1985_f80", Encoding::ieee754_1985_f80, false},
    {"ieee754-1985-f80", Encoding::ieee754_1985_f80, false},
    {"mil_std_1750a_f32", Encoding::mil_std_1750a_f32, false},
    {"mil-std-1750a-f32", Encoding::mil_std_1750a_f32, false},
    {"mil_std_1750a_f48", Encoding::mil_std_1750a_f48, false},
    {"mil-std-1750a-f48", Encoding::mil_std_1750a_f48, false},
    {"dec_f32", Encoding::dec_f32, false},
    {"dec-f32", Encoding::dec_f32, false},
    {"dec_f64", Encoding::dec_f64, false},
    {"dec-f64", Encoding::dec_f64, false},
    {"ibm_f32", Encoding::ibm_f32, false},
    {"ibm-f32", Encoding::ibm_f32, false},
    {"ibm_f64", Encoding::ibm_f64, false},
    {"ibm-f64", Encoding::ibm_f64, false},
    {"ti_f32", Encoding::ti_f32, false},
    {"ti-f32", Encoding::ti_f32, false},
    {"ti_f40", Encoding::ti_f40, false},
    {"ti-f40", Encoding::ti_f40, false},
    {"us_ascii", Encoding::us_ascii, true},
    {"us-ascii", Encoding::us_ascii, true},
    {"iso_8859_1", Encoding::iso_8859_1, true},
    {"iso-8859-1", Encoding::iso_8859_1, true},
    {"latin1", Encoding::iso_8859_1, false},
    {"windows_1252", Encoding::windows_1252, true},
    {"windows-1252", Encoding::windows_1252, true},
    {"utf8", Encoding::utf8, true},
    {"utf-8", Encoding::utf8, true},
    {"utf16", Encoding::utf16, true},
    {"utf-16", Encoding::utf16, true},
    {"utf16le", Encoding::utf16le, true},
    {"utf-16le", Encoding::utf16le, true},
    {"utf16be", Encoding::utf16be, true},
    {"utf-16be", Encoding::utf16be, true},
    {"utf32", Encoding::utf32, true},
    {"utf-32", Encoding::utf32, true},
    {"utf32le", Encoding::utf32le, true},
    {"utf-32le", Encoding::utf32le, true},
    {"utf32be", Encoding::utf32be, true},
    {"utf-32be", Encoding::utf32be, true},
};

constexpr std::size_t longest_encoding_name() {
    std::size_t n = 0;
    for (const auto& e : encoding_names) n = e.name.size() > n ? e.name.size() : n;
    return n;
}

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

// A cheap fingerprint of a name (length, first, middle and last byte) to skip most
// candidates without comparing their text.
constexpr std::uint32_t name_key(std::string_view s) {
    if (s.empty()) return 0;
    return std::uint32_t(s.size() & 0xFF) | std::uint32_t(std::uint8_t(s.front())) << 8 |
           std::uint32_t(std::uint8_t(s[s.size() / 2])) << 16 |
           std::uint32_t(std::uint8_t(s.back())) << 24;
}

struct EncodingKeys {
    std::uint32_t key[std::size(encoding_names)];
};
inline constexpr EncodingKeys encoding_keys = [] {
    EncodingKeys k{};
    for (std::size_t i = 0; i < std::size(encoding_names); ++i)
        k.key[i] = name_key(encoding_names[i].name);
    return k;
}();

// Whether two texts of the same length are equal: word compares (the last word overlapping
// the one before it) instead of a library call, as names are short.
inline bool same_text(const char* a, const char* b, std::size_t n) {
    const auto word = [](const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    };
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    for (std::size_t i = 0; i + 8 < n; i += 8)
        if (word(a + i) != word(b + i)) return false;
    return word(a + n - 8) == word(b + n - 8);
}

// The row of a name exactly as given (names in the table are lower-case), or nullptr.
inline const EncodingName* match_encoding(std::string_view text) {
    const std::uint32_t key = name_key(text);
    for (std::size_t i = 0; i < std::size(encoding_names); ++i)
        // Equal keys mean equal lengths (below 256; longer names match no key's length byte).
        if (encoding_keys.key[i] == key && encoding_names[i].name.size() == text.size() &&
            same_text(encoding_names[i].name.data(), text.data(), text.size()))
            return &encoding_names[i];
    return nullptr;
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
[[gnu::cold, gnu::noinline]] inline bool find_other_encoding(const Item& f, bool packing,
                                                             const EncodingName* row, Encoding& out,
                                                             CodecError& err) {
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
[[gnu::cold, gnu::noinline]] inline bool find_other_byte_order(const Item& f, bool& little,
                                                               CodecError& err) {
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

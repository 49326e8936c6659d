// One value converted and encoded the way pack_parameters does it, for any caller that
// knows the field: the packet builder here, and compiled layouts' packing.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/field.hpp"
#include "core/text.hpp"
#include "pyconv.hpp"

namespace bitweave {

// The value of a numeric field converted and encoded as its pattern. A failed conversion
// leaves the interpreter's exception pending.
inline Result<std::uint64_t> encode_number(PyObject* value, Encoding encoding, std::uint64_t bits) {
    if (encoding == Encoding::unsigned_int) {
        std::uint64_t v;
        if (!py::to_u64(value, v)) return CodecError::pending();
        return encode_unsigned(v, std::size_t(bits));
    }
    if (encoding >= Encoding::ieee754_f16 && encoding <= Encoding::ieee754_f64) {
        double v;
        if (!py::to_double(value, v)) return CodecError::pending();
        return encode_float_pattern(encoding, v, bits);
    }
    std::int64_t v;
    if (!py::to_i64(value, v)) return CodecError::pending();
    return encode_integer_pattern(encoding, v, bits);
}

// The encoded bytes of a text value: the interpreter's own UTF-8 for utf8, else the
// encoder's output, kept in `encoded`.
inline bool encode_text_value(PyObject* value, Encoding encoding, StringSink& encoded,
                              std::span<const std::uint8_t>& image, CodecError& err) {
    std::string_view text;
    if (!py::to_text(value, text)) return err = CodecError::pending(), false;
    image = {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    if (encoding == Encoding::utf8) return true;
    Result<std::size_t> n = encode_text(encoding, text, encoded);
    if (!n.ok()) return err = n.take_error(), false;
    image = {reinterpret_cast<const std::uint8_t*>(encoded.bytes.data()), encoded.bytes.size()};
    return true;
}

}  // namespace bitweave

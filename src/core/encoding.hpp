// The encoding names of a recipe item: the Encoding values, the table of names and
// aliases, their matching, and what each encoding demands of its field's width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "platform.hpp"

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
    // Raw bytes: what an iso_8859_1 field holds, as bytes (compiled layouts only, so it
    // has no row in the recipe's name table below).
    binary,
};

constexpr bool is_text(Encoding e) { return e >= Encoding::us_ascii && e <= Encoding::utf32be; }

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

BITWEAVE_COLD inline CodecError ieee754_too_narrow(unsigned width) {
    const std::string w = std::to_string(width);
    return value_error("bits must be >= " + w + " for IEEE 754 f" + w);
}

BITWEAVE_COLD inline CodecError unsupported_encoding(std::string_view name) {
    return value_error("Unsupported encoding type: " + std::string(name));
}

struct EncodingName {
    std::string_view name;  // as matched, after lower-casing
    Encoding encoding;
    bool pack;  // accepted by pack_parameters (unpack_parameters accepts every name)
};

// The recipe's encoding names with their aliases, in lower case; pack marks those that
// packing accepts too.
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

// The name of an encoding as the table first gives it.
constexpr std::string_view encoding_name(Encoding e) {
    for (const auto& row : encoding_names)
        if (row.encoding == e) return row.name;
    return {};
}
static_assert(encoding_name(Encoding::twos_complement) == "twos_complement");

// The error text of a reserved float format, which no field can decode; nullptr for the
// other encodings.
constexpr const char* reserved_format_message(Encoding e) {
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

}  // namespace bitweave

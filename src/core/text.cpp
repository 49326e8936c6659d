// The text encoders and decoders of every character set, each family's encoder beside
// its decoder's helpers.
#include "text.hpp"

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

namespace bitweave {

// ---- Encoding: UTF-8 text in, the character set's bytes out ----

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

// ---- Decoding: bytes in, UTF-8 text out ----

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

}  // namespace bitweave

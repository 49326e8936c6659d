// The pure codec routines: plain C++ values in, a value or a CodecError out.
//
// Encode routines are defined in encoder.cpp, decode routines in decoder.cpp; both files
// also hold the module functions that stand behind them. Nothing here includes Python.h,
// so these routines can be tested and fuzzed without an interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "charsets.hpp"
#include "errors.hpp"

namespace bitweave {

// Binary integers. A pattern is a 64-bit integer whose low `bits` bits are the field.
Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::size_t bits);
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::size_t bits);
Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::size_t bits);
// The unsigned range rule: below 64 bits a value must be less than 2^bits.
Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::size_t bits);

std::int64_t decode_twos_complement(std::uint64_t pattern, std::size_t bits);
std::int64_t decode_ones_complement(std::uint64_t pattern, std::size_t bits);
std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::size_t bits);

// Binary-coded decimal: packed (a digit per nibble, signed forms with a sign nibble) and
// unpacked (a digit per byte; the signed form is zoned decimal).
Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::size_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::size_t bits, bool is_signed);
Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed);

// IEEE 754. Binary16 is narrowed from the binary32 value (rounding twice for a double).
std::uint64_t encode_ieee754_f16(float value);
std::uint64_t encode_ieee754_f32(float value);
std::uint64_t encode_ieee754_f64(double value);
double decode_ieee754_f16(std::uint64_t pattern);
double decode_ieee754_f32(std::uint64_t pattern);
double decode_ieee754_f64(std::uint64_t pattern);
double decode_ieee754_f128(std::uint64_t low, std::uint64_t high);

// The field's bits as they stand in the packet, right-aligned, for a field of at most
// 64 bits: the pattern's low `bits` bits, mirrored first when reverse_bits is set, then
// laid out least significant byte first when little is set.
std::uint64_t encode_integer_to_bytes(std::uint64_t pattern, std::size_t bits, bool reverse_bits,
                                      bool little);
// The inverse: the pattern held by a field of at most 64 bits read as it stands.
std::uint64_t decode_integer_from_bytes(std::uint64_t field, std::size_t bits, bool reverse_bits,
                                        bool little);

// Text. Encoders take valid UTF-8 text (as the interpreter hands it over), write their
// output to `out` (asking it once, for exactly the bytes they write) and return its
// length; only the single-byte character sets can refuse a character. Decoders read a
// byte string strictly and return the text as UTF-8.
Result<std::size_t> encode_us_ascii(std::string_view text, ByteSink& out);
Result<std::size_t> encode_iso_8859_1(std::string_view text, ByteSink& out);
Result<std::size_t> encode_windows_1252(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf8(std::string_view text, ByteSink& out);
// The plain UTF-16 and UTF-32 forms write a big-endian byte-order mark and big-endian data.
Result<std::size_t> encode_utf16(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf16le(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf16be(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf32(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf32le(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf32be(std::string_view text, ByteSink& out);

Result<std::string> decode_us_ascii(std::span<const std::uint8_t> bytes);
std::string decode_iso_8859_1(std::span<const std::uint8_t> bytes);
// A leading UTF-8 or UTF-16 byte-order mark selects that form; otherwise every byte maps.
Result<std::string> decode_windows_1252(std::span<const std::uint8_t> bytes);
Result<std::string> decode_utf8(std::span<const std::uint8_t> bytes);
// The plain forms honour a leading byte-order mark (and drop it); without one they read
// big-endian data.
Result<std::string> decode_utf16(std::span<const std::uint8_t> bytes);
Result<std::string> decode_utf16_with_endianness(std::span<const std::uint8_t> bytes, bool little);
Result<std::string> decode_utf32(std::span<const std::uint8_t> bytes);
Result<std::string> decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little);

}  // namespace bitweave

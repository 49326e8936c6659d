// The pure codec routines: plain C++ values in, a value or a CodecError out.
//
// Encode routines are defined in encoder.cpp, decode routines in decoder.cpp; both files
// also hold the module functions that stand behind them. Nothing here includes Python.h,
// so these routines can be tested and fuzzed without an interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace bitweave

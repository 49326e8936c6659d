// Binary-coded decimal: packed (a digit per nibble, the signed forms with a sign nibble
// first) and unpacked (a digit per byte; the signed form is zoned decimal).
//
// Patterns are 64 bits, so a field holds at most 16 nibbles or 8 bytes: wider widths are
// refused rather than letting digits land on top of each other. Digits are counted from
// the units digit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "errors.hpp"

namespace bitweave {

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::size_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::size_t bits, bool is_signed);
Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::size_t bits, bool is_signed);

}  // namespace bitweave

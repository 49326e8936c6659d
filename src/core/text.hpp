// Text in the recipe's character sets.
//
// Encoders take valid UTF-8 text (as the interpreter hands it over), write their output to
// `out` (asking it once, for exactly the bytes they write) and return its length; only the
// single-byte character sets can refuse a character. Decoders read a byte string strictly
// and return the text as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "charsets.hpp"
#include "encoding.hpp"
#include "errors.hpp"

namespace bitweave {

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
Result<std::string> decode_utf16le(std::span<const std::uint8_t> bytes);
Result<std::string> decode_utf16be(std::span<const std::uint8_t> bytes);
Result<std::string> decode_utf32(std::span<const std::uint8_t> bytes);
Result<std::string> decode_utf32_with_endianness(std::span<const std::uint8_t> bytes, bool little);
Result<std::string> decode_utf32le(std::span<const std::uint8_t> bytes);
Result<std::string> decode_utf32be(std::span<const std::uint8_t> bytes);

// The encoder and the decoder of a text encoding (is_text(encoding) must hold).
Result<std::size_t> encode_text(Encoding encoding, std::string_view text, ByteSink& out);
Result<std::string> decode_text(Encoding encoding, std::span<const std::uint8_t> bytes);

}  // namespace bitweave

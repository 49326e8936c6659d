// The module's single-value decoders: for each, its parameters and the core routine it
// stands behind, with the argument kinds that convert its arguments. Numbers first, then
// text, in registration order.
#include <string>

#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/integers.hpp"
#include "core/text.hpp"
#include "packet.hpp"

namespace bitweave {

namespace {

using namespace py;

constexpr FunctionDescription d_ones{"decode_ones_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_twos{"decode_twos_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_sign{"decode_sign_magnitude", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_unpacked_bcd{
    "decode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_packed_bcd{"decode_packed_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_f16{"decode_ieee754_f16", {"value"}, 1, 1};
constexpr FunctionDescription d_f32{"decode_ieee754_f32", {"value"}, 1, 1};
constexpr FunctionDescription d_f64{"decode_ieee754_f64", {"value"}, 1, 1};
constexpr FunctionDescription d_f128{"decode_ieee754_f128", {"value"}, 1, 1};

double decode_f128(U128 v) { return decode_ieee754_f128(v.lo, v.hi); }

// Reserved formats: the argument is converted as a 64-bit pattern, then refused.
constexpr FunctionDescription d_1985_f32{"decode_ieee754_1985_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f64{"decode_ieee754_1985_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f80{"decode_ieee754_1985_f80", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f32{"decode_mil_std_1750a_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f48{"decode_mil_std_1750a_f48", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f32{"decode_dec_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f64{"decode_dec_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f32{"decode_ibm_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f64{"decode_ibm_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f32{"decode_ti_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f40{"decode_ti_f40", {"_value"}, 1, 1};
constexpr char m_1985_f32[] = "IEEE 754-1985 f32 format not yet implemented";
constexpr char m_1985_f64[] = "IEEE 754-1985 f64 format not yet implemented";
constexpr char m_1985_f80[] = "IEEE 754-1985 f80 format not yet implemented";
constexpr char m_mil_f32[] = "MIL-STD-1750A f32 format not yet implemented";
constexpr char m_mil_f48[] = "MIL-STD-1750A f48 format not yet implemented";
constexpr char m_dec_f32[] = "DEC f32 format not yet implemented";
constexpr char m_dec_f64[] = "DEC f64 format not yet implemented";
constexpr char m_ibm_f32[] = "IBM f32 format not yet implemented";
constexpr char m_ibm_f64[] = "IBM f64 format not yet implemented";
constexpr char m_ti_f32[] = "TI f32 format not yet implemented";
constexpr char m_ti_f40[] = "TI f40 format not yet implemented";

template <const FunctionDescription& D, const char* M>
constexpr ModuleFunction reserved{&D, entry<D, not_implemented_yet<M, std::uint64_t>, U64>};

constexpr ModuleFunction decoder_number_table[] = {
    {&d_ones, entry<d_ones, decode_ones_complement, U64, Size>},
    {&d_twos, entry<d_twos, decode_twos_complement, U64, Size>},
    {&d_sign, entry<d_sign, decode_sign_magnitude, U64, Size>},
    {&d_unpacked_bcd, entry<d_unpacked_bcd, decode_unpacked_bcd, U64, Size, Flag>},
    {&d_packed_bcd, entry<d_packed_bcd, decode_packed_bcd, U64, Size, Flag>},
    {&d_f16, entry<d_f16, decode_ieee754_f16, U64>},
    {&d_f32, entry<d_f32, decode_ieee754_f32, U64>},
    {&d_f64, entry<d_f64, decode_ieee754_f64, U64>},
    {&d_f128, entry<d_f128, decode_f128, UInt128>},
    reserved<d_1985_f32, m_1985_f32>,
    reserved<d_1985_f64, m_1985_f64>,
    reserved<d_1985_f80, m_1985_f80>,
    reserved<d_mil_f32, m_mil_f32>,
    reserved<d_mil_f48, m_mil_f48>,
    reserved<d_dec_f32, m_dec_f32>,
    reserved<d_dec_f64, m_dec_f64>,
    reserved<d_ibm_f32, m_ibm_f32>,
    reserved<d_ibm_f64, m_ibm_f64>,
    reserved<d_ti_f32, m_ti_f32>,
    reserved<d_ti_f40, m_ti_f40>,
};

}  // namespace

const std::span<const ModuleFunction> decoder_number_functions{decoder_number_table};

namespace {

using namespace py;

// Module function routines: the decoded text as a str.
template <auto Decode>
Result<Utf8Text> decode_to_text(std::span<const std::uint8_t> bytes) {
    Result<std::string> text = Decode(bytes);
    if (!text.ok()) return text.take_error();
    return Utf8Text{std::move(text.value())};
}

Result<Ref> decode_utf8_to_str(std::span<const std::uint8_t> bytes) {
    CodecError err;
    Ref s(str_from_utf8(bytes, err));
    if (!s) return err;
    return Result<Ref>(std::move(s));
}

constexpr FunctionDescription d_text_us_ascii{"decode_us_ascii", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_iso_8859_1{"decode_iso_8859_1", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_windows_1252{"decode_windows_1252", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf8{"decode_utf8", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf16{"decode_utf16", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf16le{"decode_utf16le", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf16be{"decode_utf16be", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf32{"decode_utf32", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf32le{"decode_utf32le", {"bytes"}, 1, 1};
constexpr FunctionDescription d_text_utf32be{"decode_utf32be", {"bytes"}, 1, 1};

template <const FunctionDescription& D, auto Decode>
constexpr ModuleFunction text_decoder{&D, entry<D, decode_to_text<Decode>, ByteString>};

constexpr ModuleFunction decoder_text_table[] = {
    text_decoder<d_text_us_ascii, decode_us_ascii>,
    text_decoder<d_text_iso_8859_1, decode_iso_8859_1>,
    text_decoder<d_text_windows_1252, decode_windows_1252>,
    {&d_text_utf8, entry<d_text_utf8, decode_utf8_to_str, ByteString>},
    text_decoder<d_text_utf16, decode_utf16>,
    text_decoder<d_text_utf16le, decode_utf16le>,
    text_decoder<d_text_utf16be, decode_utf16be>,
    text_decoder<d_text_utf32, decode_utf32>,
    text_decoder<d_text_utf32le, decode_utf32le>,
    text_decoder<d_text_utf32be, decode_utf32be>,
};

}  // namespace

const std::span<const ModuleFunction> decoder_text_functions{decoder_text_table};

}  // namespace bitweave

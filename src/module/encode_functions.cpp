// The module's single-value encoders: for each, its parameters and the core routine it
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

constexpr FunctionDescription d_ones{"encode_ones_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_twos{"encode_twos_complement", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_sign{"encode_sign_magnitude", {"value", "bits"}, 2, 2};
constexpr FunctionDescription d_unpacked_bcd{
    "encode_unpacked_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_packed_bcd{"encode_packed_bcd", {"value", "bits", "signed"}, 3, 2};
constexpr FunctionDescription d_f16{"encode_ieee754_f16", {"value"}, 1, 1};
constexpr FunctionDescription d_f32{"encode_ieee754_f32", {"value"}, 1, 1};
constexpr FunctionDescription d_f64{"encode_ieee754_f64", {"value"}, 1, 1};

// Reserved formats: name, message, and whether the argument is narrowed to binary32.
constexpr FunctionDescription d_f128{"encode_ieee754_f128", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f32{"encode_ieee754_1985_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f64{"encode_ieee754_1985_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_1985_f80{"encode_ieee754_1985_f80", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f32{"encode_mil_std_1750a_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_mil_f48{"encode_mil_std_1750a_f48", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f32{"encode_dec_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_dec_f64{"encode_dec_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f32{"encode_ibm_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ibm_f64{"encode_ibm_f64", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f32{"encode_ti_f32", {"_value"}, 1, 1};
constexpr FunctionDescription d_ti_f40{"encode_ti_f40", {"_value"}, 1, 1};
constexpr char m_f128[] = "IEEE 754 f128 encoding not yet implemented";
constexpr char m_1985_f32[] = "IEEE 754-1985 f32 encoding not yet implemented";
constexpr char m_1985_f64[] = "IEEE 754-1985 f64 encoding not yet implemented";
constexpr char m_1985_f80[] = "IEEE 754-1985 f80 encoding not yet implemented";
constexpr char m_mil_f32[] = "MIL-STD-1750A f32 encoding not yet implemented";
constexpr char m_mil_f48[] = "MIL-STD-1750A f48 encoding not yet implemented";
constexpr char m_dec_f32[] = "DEC f32 encoding not yet implemented";
constexpr char m_dec_f64[] = "DEC f64 encoding not yet implemented";
constexpr char m_ibm_f32[] = "IBM f32 encoding not yet implemented";
constexpr char m_ibm_f64[] = "IBM f64 encoding not yet implemented";
constexpr char m_ti_f32[] = "TI f32 encoding not yet implemented";
constexpr char m_ti_f40[] = "TI f40 encoding not yet implemented";

template <const FunctionDescription& D, const char* M>
constexpr ModuleFunction reserved_single{&D, entry<D, not_implemented_yet<M, float>, Single>};
template <const FunctionDescription& D, const char* M>
constexpr ModuleFunction reserved_double{&D, entry<D, not_implemented_yet<M, double>, Double>};

constexpr ModuleFunction encoder_number_table[] = {
    {&d_ones, entry<d_ones, encode_ones_complement, I64, Size>},
    {&d_twos, entry<d_twos, encode_twos_complement, I64, Size>},
    {&d_sign, entry<d_sign, encode_sign_magnitude, I64, Size>},
    {&d_unpacked_bcd, entry<d_unpacked_bcd, encode_unpacked_bcd, I64, Size, Flag>},
    {&d_packed_bcd, entry<d_packed_bcd, encode_packed_bcd, I64, Size, Flag>},
    {&d_f16, entry<d_f16, encode_ieee754_f16, Single>},
    {&d_f32, entry<d_f32, encode_ieee754_f32, Single>},
    {&d_f64, entry<d_f64, encode_ieee754_f64, Double>},
    reserved_double<d_f128, m_f128>,
    reserved_single<d_1985_f32, m_1985_f32>,
    reserved_double<d_1985_f64, m_1985_f64>,
    reserved_double<d_1985_f80, m_1985_f80>,
    reserved_single<d_mil_f32, m_mil_f32>,
    reserved_double<d_mil_f48, m_mil_f48>,
    reserved_single<d_dec_f32, m_dec_f32>,
    reserved_double<d_dec_f64, m_dec_f64>,
    reserved_single<d_ibm_f32, m_ibm_f32>,
    reserved_double<d_ibm_f64, m_ibm_f64>,
    reserved_single<d_ti_f32, m_ti_f32>,
    reserved_double<d_ti_f40, m_ti_f40>,
};

}  // namespace

const std::span<const ModuleFunction> encoder_number_functions{encoder_number_table};

namespace {

using namespace py;

// A module function's routine: the encoder's output as a new bytes object.
template <Result<std::size_t> (*Encode)(std::string_view, ByteSink&)>
Result<NewBytes> encode_to_bytes(std::string_view text) {
    NewBytes out;
    Result<std::size_t> n = Encode(text, out);
    if (!n.ok()) return n.take_error();
    return Result<NewBytes>(std::move(out));
}

constexpr FunctionDescription d_text_us_ascii{"encode_us_ascii", {"text"}, 1, 1};
constexpr FunctionDescription d_text_iso_8859_1{"encode_iso_8859_1", {"text"}, 1, 1};
constexpr FunctionDescription d_text_windows_1252{"encode_windows_1252", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf8{"encode_utf8", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf16{"encode_utf16", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf16le{"encode_utf16le", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf16be{"encode_utf16be", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf32{"encode_utf32", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf32le{"encode_utf32le", {"text"}, 1, 1};
constexpr FunctionDescription d_text_utf32be{"encode_utf32be", {"text"}, 1, 1};

template <const FunctionDescription& D, Result<std::size_t> (*Encode)(std::string_view, ByteSink&)>
constexpr ModuleFunction text_encoder{&D, entry<D, encode_to_bytes<Encode>, Text>};

constexpr ModuleFunction encoder_text_table[] = {
    text_encoder<d_text_us_ascii, encode_us_ascii>,
    text_encoder<d_text_iso_8859_1, encode_iso_8859_1>,
    text_encoder<d_text_windows_1252, encode_windows_1252>,
    text_encoder<d_text_utf8, encode_utf8>,
    text_encoder<d_text_utf16, encode_utf16>,
    text_encoder<d_text_utf16le, encode_utf16le>,
    text_encoder<d_text_utf16be, encode_utf16be>,
    text_encoder<d_text_utf32, encode_utf32>,
    text_encoder<d_text_utf32le, encode_utf32le>,
    text_encoder<d_text_utf32be, encode_utf32be>,
};

}  // namespace

const std::span<const ModuleFunction> encoder_text_functions{encoder_text_table};

}  // namespace bitweave

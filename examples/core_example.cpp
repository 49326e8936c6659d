// bitweave's core from plain C++: the README's quick-start packet (a 3-bit mode, a 5-bit
// two's complement current, an f32 temperature) plus a 4-byte ASCII status, packed into
// a buffer and unpacked again, with no Python anywhere.
//
//   c++ -std=c++20 -I src examples/core_example.cpp src/core/*.cpp -o core_example
//   ./core_example
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/bitweave_core.hpp"

using namespace bitweave;

namespace {

int fail(const char* what, const CodecError& e) {
    std::fprintf(stderr, "%s: %.*s\n", what, int(e.message().size()), e.message().data());
    return 1;
}

}  // namespace

int main() {
    std::array<std::uint8_t, 9> packet{};  // 3 + 5 + 32 + 32 bits
    const FieldShape mode{3}, current{5}, temp{32}, status{32};
    const BitPos at_mode = BitPos::of(0), at_current = at_mode.plus(mode.bits),
                 at_temp = at_current.plus(current.bits), at_status = at_temp.plus(temp.bits);

    // Pack: each value becomes its field's pattern, then the pattern goes into the bytes.
    Result<std::uint64_t> p = encode_unsigned(5, mode.bits);
    if (!p.ok()) return fail("mode", p.error());
    put_number_field(packet, at_mode, p.value(), mode);
    p = encode_twos_complement(-1, current.bits);
    if (!p.ok()) return fail("current", p.error());
    put_number_field(packet, at_current, p.value(), current);
    p = encode_float_pattern(Encoding::ieee754_f32, 21.5, temp.bits);
    if (!p.ok()) return fail("temp", p.error());
    put_number_field(packet, at_temp, p.value(), temp);
    StringSink ascii;
    Result<std::size_t> n = encode_us_ascii("NOML", ascii);
    CodecError err;
    if (!n.ok()) return fail("status", n.error());
    const std::span<const std::uint8_t> image{
        reinterpret_cast<const std::uint8_t*>(ascii.bytes.data()), ascii.bytes.size()};
    if (!check_text_fits(image.size(), status.bits, err)) return fail("status", err);
    put_text_field(packet, at_status, image, status);

    std::printf("packet:");
    for (std::uint8_t b : packet) std::printf(" %02x", b);
    std::printf("\n");

    // Unpack: every field is checked against the packet's length, then decoded.
    const std::span<const std::uint8_t> bytes(packet);
    for (const auto& [pos, shape] : {std::pair{at_mode, mode}, std::pair{at_current, current},
                                     std::pair{at_temp, temp}, std::pair{at_status, status}})
        if (!check_in_packet(pos, shape.bits, bytes.size(), err)) return fail("position", err);
    const Result<Number> m = decode_number(Encoding::unsigned_int, bytes, at_mode, mode, "mode");
    const Result<Number> c =
        decode_number(Encoding::twos_complement, bytes, at_current, current, "current");
    const Result<Number> t = decode_number(Encoding::ieee754_f32, bytes, at_temp, temp, "temp");
    if (!m.ok() || !c.ok() || !t.ok()) return fail("decode", !m.ok() ? m.error() : c.error());
    std::string scratch;
    const Result<std::string> s =
        decode_us_ascii(text_field_image(bytes, at_status, status, scratch));
    if (!s.ok()) return fail("status", s.error());

    std::printf("mode=%llu current=%lld temp=%g status=%s\n",
                static_cast<unsigned long long>(m.value().u()),
                static_cast<long long>(c.value().i()), t.value().d(), s.value().c_str());
    const bool ok = m.value().u() == 5 && c.value().i() == -1 && t.value().d() == 21.5 &&
                    s.value() == "NOML" && packet[0] == 0xbf && packet[1] == 0x41;
    std::printf(ok ? "round trip ok\n" : "ROUND TRIP FAILED\n");
    return ok ? 0 : 1;
}

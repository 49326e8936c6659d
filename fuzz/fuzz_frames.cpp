// Fuzz target: the transfer frame walk over any bytes, for any options, fed whole or in
// pieces cut anywhere: the packets given out are the same either way, each is a whole space
// packet, and what the reader holds never passes a frame and a packet per channel. The CRC,
// by tables or by carry-less multiplication, is checked against a bit-at-a-time model.
#include <algorithm>
#include <vector>

#include "core/ccsds.hpp"
#include "core/frames.hpp"
#include "fuzz.hpp"

using namespace bitweave;

namespace {

std::uint16_t crc_model(std::span<const std::uint8_t> data) {
    unsigned crc = 0xFFFF;
    for (const std::uint8_t b : data) {
        crc ^= unsigned(b) << 8;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : crc << 1;
        crc &= 0xFFFF;
    }
    return std::uint16_t(crc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    FrameOptions o;
    const std::uint8_t flags = in.take<std::uint8_t>();
    o.kind = (flags & 1) ? FrameKind::aos : FrameKind::tm;
    o.fecf = flags & 2;
    o.ocf = flags & 4;
    o.header_ec = flags & 8;
    o.insert_zone = in.take<std::uint8_t>() % 16;
    o.frame_length = in.take<std::uint16_t>() % 600;
    o.channels = in.take<std::uint64_t>() | 1;
    const std::size_t cut = in.take<std::uint8_t>();
    const std::span<const std::uint8_t> rest = in.rest();
    FUZZ_CHECK(crc16_ccitt(rest) == crc_model(rest));
    if (frame_options_problem(o) != nullptr) return 0;

    FrameReader whole(o), pieces(o);
    std::vector<std::uint8_t> a, b;
    whole.feed(rest, a);
    for (std::size_t at = 0, step = cut % 37 + 1; at < rest.size(); at += step)
        pieces.feed(rest.subspan(at, std::min(step, rest.size() - at)), b);
    FUZZ_CHECK(a == b);
    FUZZ_CHECK(whole.counts().frames == rest.size() / o.frame_length);
    FUZZ_CHECK(whole.frame_bytes() == rest.size() % o.frame_length);
    FUZZ_CHECK(whole.packet_bytes() <= 64 * 65542);
    std::uint64_t packets = 0;
    const std::uint64_t left =
        walk_space_packets(a, 0, 0, [&](std::uint64_t, const SpacePacketHeader& h) {
            FUZZ_CHECK(h.version == 0 && h.apid != 0x7FF);
            ++packets;
        });
    FUZZ_CHECK(left == 0 && packets == whole.counts().packets);
    return 0;
}

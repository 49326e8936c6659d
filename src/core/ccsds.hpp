// The CCSDS space packet stream: packets one after another, each a 6-byte primary header
// whose last two bytes give the length of the rest minus one, optionally each behind a
// ground station's fixed-size record header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform.hpp"

namespace bitweave {

// What a primary header says.
struct SpacePacketHeader {
    std::uint8_t version = 0;
    std::uint8_t type = 0;     // 0 telemetry, 1 telecommand
    std::uint8_t sec_hdr = 0;  // a secondary header follows
    std::uint16_t apid = 0;
    std::uint8_t seq_flags = 0;
    std::uint16_t seq_count = 0;
    std::uint32_t length = 0;  // the whole packet's bytes: 7 + the data length field
};

inline SpacePacketHeader read_primary_header(const std::uint8_t* p) {
    SpacePacketHeader h;
    h.version = std::uint8_t(p[0] >> 5);
    h.type = std::uint8_t((p[0] >> 4) & 1);
    h.sec_hdr = std::uint8_t((p[0] >> 3) & 1);
    h.apid = std::uint16_t(((p[0] & 0x07) << 8) | p[1]);
    h.seq_flags = std::uint8_t(p[2] >> 6);
    h.seq_count = std::uint16_t(((p[2] & 0x3F) << 8) | p[3]);
    h.length = 7u + ((std::uint32_t(p[4]) << 8) | p[5]);
    return h;
}

// Walks the stream from byte `start`, calling visit(offset, header) for each whole packet
// (offset: its primary header's byte). Returns the bytes after the last whole packet.
template <class Visit>
std::uint64_t walk_space_packets(std::span<const std::uint8_t> data, std::uint64_t start,
                                 std::uint64_t skip, Visit visit) {
    const std::uint64_t size = data.size();
    std::uint64_t record = start < size ? start : size;
    constexpr std::uint64_t ahead = 8;  // packets
    for (;;) {
        const std::uint64_t left = size - record;
        if (left < skip || left - skip < 6) return left;
        const std::uint64_t at = record + skip;
        const SpacePacketHeader h = read_primary_header(data.data() + at);
        if (size - at < h.length) return left;
        // Each header is found only once the one before it is read: from memory, a chain of
        // waits, one a packet. Packets mostly come in runs of one size, so the header some
        // packets on is asked for now, where it lies if they are all of this one's size.
        // (skip <= left here, so the step cannot wrap, and the guess lies inside the data.)
        const std::uint64_t step = h.length + skip;
        if (step < (size - at) / ahead) prefetch(data.data() + at + step * ahead);
        visit(at, h);
        record = at + h.length;
    }
}

}  // namespace bitweave

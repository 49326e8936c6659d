// CCSDS transfer frames: the fixed-length frames that carry space packets over a link.
// Two kinds share one packet reassembly:
//
//   TM frames: a 6-byte primary header (version 0, spacecraft, 3-bit virtual channel, an
//   operational control field flag, master and virtual channel frame counts, and the data
//   field status with its 11-bit first header pointer), an optional secondary header, the
//   packet zone, the 4-byte operational control field when flagged, and the 2-byte frame
//   error control field (CRC-16-CCITT) when the link has one.
//
//   AOS frames: a 6-byte primary header (version 1, spacecraft, 6-bit virtual channel, a
//   24-bit virtual channel frame count, the signalling byte), an optional 2-byte header
//   error control field and insert zone, the M_PDU (2 bytes of header holding the first
//   header pointer, then the packet zone), an optional operational control field and the
//   frame error control field. Virtual channel 63 is idle.
//
// The first header pointer says where in the packet zone the first packet header starts;
// 0x7FF says none starts there (the zone continues a packet), 0x7FE that the zone is idle.
// Each virtual channel is its own stream of packets. A frame that fails its check, or a
// jump in a channel's frame count, breaks the packet then being joined: that packet is
// dropped, and the channel starts again at the next good frame's first header pointer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bitweave {

// CRC-16-CCITT: polynomial 0x1021, register starting at 0xFFFF, bits most significant
// first, nothing xored at the end (the check of 0x31..0x39 is 0x29B1).
std::uint16_t crc16_ccitt(std::span<const std::uint8_t> data, std::uint16_t crc = 0xFFFF);

enum class FrameKind : std::uint8_t { tm, aos };

struct FrameOptions {
    FrameKind kind = FrameKind::tm;
    std::uint32_t frame_length = 0;              // bytes of each frame, every field included
    bool fecf = true;                            // the frame ends in a CRC, checked
    bool ocf = false;                            // AOS: an operational control field before the CRC
    bool header_ec = false;                      // AOS: two bytes of header error control
    std::uint32_t insert_zone = 0;               // AOS: bytes of insert zone after the header
    std::uint64_t channels = ~std::uint64_t(0);  // bit v: virtual channel v is wanted
};

// A jump in a virtual channel's frame count.
struct LostFrames {
    std::uint8_t vcid;
    std::uint32_t expected, got;
};

struct FrameCounts {
    std::uint64_t frames = 0;       // whole frames seen
    std::uint64_t idle_frames = 0;  // idle channel or idle data only
    std::uint64_t crc_errors = 0;   // failed their check: their data is not used
    std::uint64_t invalid = 0;      // passed, but their headers do not hold together
    std::uint64_t packets = 0;      // packets given out
    std::uint64_t idle_packets = 0;
    std::uint64_t dropped = 0;  // packets broken by a lost or bad frame
};

// Why a frame's options cannot describe any frame; nullptr when they can.
const char* frame_options_problem(const FrameOptions& options);

// Where a feed writes the packets it completes: `capacity` bytes from `data`, filled from
// the start; `size` bytes written.
struct PacketSink {
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;
    std::size_t size = 0;
};

// Reads frames as they arrive, in pieces cut anywhere, and gives out the packets of the
// wanted channels as they complete. Memory held: the unfinished frame, and per channel
// the packet it is joining (at most 65542 bytes).
class FrameReader {
  public:
    explicit FrameReader(const FrameOptions& options);

    // The most bytes of packets a feed of `size` bytes can complete: every packet byte
    // comes from those bytes, the unfinished frame or a packet being joined.
    std::size_t feed_bound(std::size_t size) const { return size + have_ + packet_bytes(); }
    // Reads `data`, writing each packet it completes to `out`, whose capacity must be at
    // least feed_bound(data.size()). The bytes of `data` are read once each (a frame is
    // copied before it is checked), so they may change meanwhile.
    void feed(std::span<const std::uint8_t> data, PacketSink& out);
    // The same, appending to a vector.
    void feed(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);

    const FrameCounts& counts() const { return counts_; }
    const std::vector<LostFrames>& lost() const { return lost_; }
    // Bytes of an unfinished frame, and of unfinished packets.
    std::size_t frame_bytes() const { return have_; }
    std::size_t packet_bytes() const;

  private:
    struct Channel {
        bool seen = false;    // a frame count to expect
        bool synced = false;  // the next zone byte continues `partial` or starts a packet
        std::uint32_t next = 0;
        std::vector<std::uint8_t> partial;
    };

    void frame(const std::uint8_t* f, PacketSink& out);
    void zone(Channel& ch, const std::uint8_t* z, std::size_t n, std::uint32_t fhp,
              PacketSink& out);
    std::size_t join(Channel& ch, const std::uint8_t* z, std::size_t n, PacketSink& out);
    void packets(Channel& ch, const std::uint8_t* z, std::size_t n, PacketSink& out);
    void emit(const std::uint8_t* p, std::size_t n, PacketSink& out);
    void drop(Channel& ch);

    FrameOptions o_;
    std::vector<std::uint8_t> frame_;  // the frame being read
    std::size_t have_ = 0;
    std::array<Channel, 64> channels_;
    FrameCounts counts_;
    std::vector<LostFrames> lost_;
};

}  // namespace bitweave

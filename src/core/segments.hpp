// Segmented space packets joined again. A source that has more user data than one packet
// holds sends it in a run of packets of one APID with consecutive sequence counts, the
// sequence flags saying which part each is: 01 the first segment, 00 a continuation, 10 the
// last (11 is a packet that stands alone).
//
// The joined packet is the first segment's primary header, with flags 11 and its length
// field recomputed, then the first segment's whole data field (its secondary header, if
// any, and its user data), then the user data of each later segment in order. Segments
// carry user data: a later segment's own secondary header (`segment_header` bytes, where
// its header's flag says it has one) is left out, since the joined packet has one
// secondary header, the first's.
//
// A broken run (a continuation or last segment with no first before it, a jump of the
// sequence count inside, a new first or an unsegmented packet of the APID before the
// last, a joined packet beyond the 65542 bytes a primary header can give, or more held
// than the limit) drops the partial packet and the segment that broke it; its segments
// are counted, never joined to other bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bitweave {

struct SegmentOptions {
    std::uint64_t skip = 0;                 // bytes of record header before each packet, kept
    std::uint32_t segment_header = 0;       // bytes of a later segment's secondary header, left out
    std::array<std::uint64_t, 32> apids{};  // bit a of word a / 64: APID a is joined
    std::size_t limit = std::size_t{1} << 20;  // bytes of partial packets held, all APIDs
};

struct SegmentCounts {
    std::uint64_t packets = 0;   // packets given out (joined ones count once)
    std::uint64_t joined = 0;    // of those, packets joined from segments
    std::uint64_t segments = 0;  // segments read, of the joined APIDs
    std::uint64_t dropped = 0;   // segments that ended in no joined packet
};

// Reads a stream of packets (each behind `skip` bytes of record header) in pieces cut
// anywhere, and gives out whole packets: those of other APIDs and unsegmented ones as
// they are, segments joined. Memory held: the unfinished packet of the input (at most
// skip + 65542 bytes) and the partial packets, at most `limit` bytes together.
class SegmentJoiner {
  public:
    explicit SegmentJoiner(const SegmentOptions& options);

    // Reads `data`, appending each packet it completes (record header first) to `out`,
    // and to `last` the sequence count of the packet's last segment (its own count for a
    // packet that stands alone). Each byte of `data` is read once, so it may change meanwhile.
    void feed(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out,
              std::vector<std::uint16_t>& last);
    // The stream ends: partial packets are dropped and counted. The unfinished input
    // packet stays held (its bytes are `carry()`).
    void finish();

    const SegmentCounts& counts() const { return counts_; }
    std::span<const std::uint8_t> carry() const { return carry_; }
    std::size_t held() const { return held_; }  // bytes of partial packets

  private:
    struct Partial {
        std::vector<std::uint8_t> bytes;  // record header, primary header, data so far
        std::uint64_t segments = 0;       // 0: none being joined
        std::uint16_t next = 0;           // the sequence count the next segment must have
    };

    void packet(const std::uint8_t* header, const std::uint8_t* record_head,
                const std::uint8_t* body, std::size_t body_size, std::vector<std::uint8_t>& out,
                std::vector<std::uint16_t>& last);
    void drop(Partial& p);
    bool wanted(std::uint16_t apid) const { return (o_.apids[apid >> 6] >> (apid & 63)) & 1; }

    SegmentOptions o_;
    std::vector<std::uint8_t> carry_;  // an unfinished record of the input
    std::vector<Partial> partials_;    // by APID
    std::size_t held_ = 0;
    SegmentCounts counts_;
};

}  // namespace bitweave

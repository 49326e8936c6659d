// Fuzz target: segmented packets joined from any bytes, for any record header and segment
// header sizes and any APIDs, fed whole or in pieces cut anywhere: the packets given out
// are the same either way, each a whole packet of the record framing, one sequence count
// per packet; every segment is joined or dropped, and what is held never passes the limit.
#include <algorithm>
#include <vector>

#include "core/ccsds.hpp"
#include "core/segments.hpp"
#include "fuzz.hpp"

using namespace bitweave;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    SegmentOptions o;
    o.skip = in.take<std::uint8_t>() % 5;
    o.segment_header = in.take<std::uint8_t>() % 9;
    o.limit = in.take<std::uint16_t>() * std::size_t{4};
    const std::uint64_t apids = in.take<std::uint64_t>();
    for (auto& word : o.apids) word = apids;
    const std::size_t cut = in.take<std::uint8_t>();
    const std::span<const std::uint8_t> rest = in.rest();

    SegmentJoiner whole(o), pieces(o);
    std::vector<std::uint8_t> a, b;
    std::vector<std::uint16_t> la, lb;
    whole.feed(rest, a, la);
    for (std::size_t at = 0, step = cut % 37 + 1; at < rest.size(); at += step) {
        pieces.feed(rest.subspan(at, std::min(step, rest.size() - at)), b, lb);
        FUZZ_CHECK(pieces.held() <= o.limit && pieces.carry().size() <= o.skip + 65542);
    }
    FUZZ_CHECK(a == b && la == lb);
    std::uint64_t packets = 0;
    const std::uint64_t left = walk_space_packets(
        a, 0, o.skip, [&](std::uint64_t, const SpacePacketHeader&) { ++packets; });
    FUZZ_CHECK(left == 0 && packets == whole.counts().packets && packets == la.size());
    whole.finish();
    const SegmentCounts& c = whole.counts();
    FUZZ_CHECK(whole.held() == 0 && c.joined <= c.packets && c.dropped <= c.segments);
    return 0;
}

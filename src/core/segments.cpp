#include "segments.hpp"

#include <algorithm>
#include <cstring>

#include "ccsds.hpp"

namespace bitweave {

namespace {

constexpr std::size_t primary = 6;
constexpr std::size_t most_data = 65536;  // a data length field of 0xFFFF
constexpr std::uint16_t count_mask = 0x3FFF;

enum : std::uint8_t { continuation = 0, first_segment = 1, last_segment = 2, unsegmented = 3 };

std::size_t packet_length(const std::uint8_t* header) {
    return 7 + ((std::size_t(header[4]) << 8) | header[5]);
}

}  // namespace

SegmentJoiner::SegmentJoiner(const SegmentOptions& options) : o_(options), partials_(2048) {}

void SegmentJoiner::feed(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out,
                         std::vector<std::uint16_t>& last) {
    const std::size_t skip = o_.skip, head = skip + primary;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    while (n > 0) {
        if (carry_.empty()) {
            // Whole records straight from the data; the header is copied once and used
            // from the copy.
            while (n >= head) {
                std::uint8_t h[primary];
                std::memcpy(h, p + skip, primary);
                const std::size_t length = packet_length(h);
                if (n - skip < length) break;
                packet(h, p, p + head, length - primary, out, last);
                p += skip + length;
                n -= skip + length;
            }
            if (n == 0) break;
        }
        // An unfinished record: gathered in carry_ up to its header, then to its end.
        std::size_t need =
            carry_.size() >= head ? skip + packet_length(carry_.data() + skip) : head;
        const std::size_t k = std::min(need - carry_.size(), n);
        carry_.insert(carry_.end(), p, p + k);
        p += k;
        n -= k;
        if (carry_.size() == head) need = skip + packet_length(carry_.data() + skip);
        if (carry_.size() == need) {
            packet(carry_.data() + skip, carry_.data(), carry_.data() + head, need - head, out,
                   last);
            carry_.clear();
        }
    }
}

void SegmentJoiner::packet(const std::uint8_t* h, const std::uint8_t* record,
                           const std::uint8_t* body, std::size_t size,
                           std::vector<std::uint8_t>& out, std::vector<std::uint16_t>& last) {
    const SpacePacketHeader header = read_primary_header(h);
    const auto emit = [&] {
        const std::size_t at = out.size();
        out.resize(at + o_.skip + primary + size);
        std::uint8_t* to = out.data() + at;
        if (o_.skip != 0) std::memcpy(to, record, o_.skip);
        std::memcpy(to + o_.skip, h, primary);
        std::memcpy(to + o_.skip + primary, body, size);
        last.push_back(header.seq_count);
        ++counts_.packets;
    };
    if (!wanted(header.apid)) {
        emit();
        return;
    }
    Partial& q = partials_[header.apid];
    if (header.seq_flags == unsegmented) {
        drop(q);  // the run it broke, if any
        emit();
        return;
    }
    ++counts_.segments;
    if (header.seq_flags == first_segment) {
        drop(q);
        const std::size_t bytes = o_.skip + primary + size;
        if (bytes > o_.limit - std::min(held_, o_.limit)) {
            ++counts_.dropped;
            return;
        }
        q.bytes.reserve(bytes);
        q.bytes.insert(q.bytes.end(), record, record + o_.skip);
        q.bytes.insert(q.bytes.end(), h, h + primary);
        q.bytes.insert(q.bytes.end(), body, body + size);
        held_ += bytes;
        q.segments = 1;
        q.next = std::uint16_t((header.seq_count + 1) & count_mask);
        return;
    }
    // A continuation or the last segment: it must follow the segment before it.
    const bool has_header = header.sec_hdr != 0 && o_.segment_header != 0;
    const std::size_t data_so_far = q.bytes.size() - std::min(q.bytes.size(), o_.skip + primary);
    if (q.segments == 0 || header.seq_count != q.next || (has_header && size < o_.segment_header)) {
        drop(q);
        ++counts_.dropped;
        return;
    }
    const std::uint8_t* d = has_header ? body + o_.segment_header : body;
    const std::size_t m = has_header ? size - o_.segment_header : size;
    if (m > most_data - data_so_far || m > o_.limit - std::min(held_, o_.limit)) {
        drop(q);
        ++counts_.dropped;
        return;
    }
    q.bytes.insert(q.bytes.end(), d, d + m);
    held_ += m;
    ++q.segments;
    q.next = std::uint16_t((header.seq_count + 1) & count_mask);
    if (header.seq_flags != last_segment) return;
    // The first segment's header, standing alone, with the length of all the data.
    std::uint8_t* joined = q.bytes.data() + o_.skip;
    const std::size_t field = data_so_far + m - 1;  // the first segment had at least one byte
    joined[2] |= 0xC0;
    joined[4] = std::uint8_t(field >> 8);
    joined[5] = std::uint8_t(field & 0xFF);
    out.insert(out.end(), q.bytes.begin(), q.bytes.end());
    last.push_back(header.seq_count);
    ++counts_.packets;
    ++counts_.joined;
    held_ -= q.bytes.size();
    std::vector<std::uint8_t>().swap(q.bytes);
    q.segments = 0;
}

void SegmentJoiner::drop(Partial& q) {
    if (q.segments == 0) return;
    counts_.dropped += q.segments;
    held_ -= q.bytes.size();
    std::vector<std::uint8_t>().swap(q.bytes);
    q.segments = 0;
}

void SegmentJoiner::finish() {
    for (Partial& q : partials_) drop(q);
}

}  // namespace bitweave

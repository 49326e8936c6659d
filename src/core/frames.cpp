#include "frames.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define BITWEAVE_CRC_CLMUL 1
#endif

#include "ccsds.hpp"

namespace bitweave {

namespace {

// Sixteen tables for sixteen bytes at a time: crc_tables[k][b] is the CRC, from a zero
// register, of byte b followed by k zero bytes. The check value below pins them down.
constexpr std::size_t crc_stride = 16;
using CrcTables = std::array<std::array<std::uint16_t, 256>, crc_stride>;

constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned r = b << 8;
        for (int i = 0; i < 8; ++i) r = (r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1;
        t[0][b] = std::uint16_t(r);
    }
    for (std::size_t k = 1; k < crc_stride; ++k)
        for (unsigned b = 0; b < 256; ++b) {
            const unsigned r = t[k - 1][b];
            t[k][b] = std::uint16_t((r << 8) ^ t[0][r >> 8]);
        }
    return t;
}

constexpr CrcTables crc_tables = make_crc_tables();
static_assert(crc_tables[0][1] == 0x1021 && crc_tables[0][0x80] == 0x9188);

constexpr std::uint16_t crc_bytewise(const std::uint8_t* p, std::size_t n, std::uint16_t crc) {
    for (std::size_t i = 0; i < n; ++i)
        crc = std::uint16_t((crc << 8) ^ crc_tables[0][(crc >> 8) ^ p[i]]);
    return crc;
}

constexpr std::uint8_t check_input[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(crc_bytewise(check_input, 9, 0xFFFF) == 0x29B1);

constexpr std::uint32_t no_packet_starts = 0x7FF;
constexpr std::uint32_t idle_data = 0x7FE;
constexpr std::uint16_t idle_apid = 0x7FF;
constexpr std::uint8_t aos_idle_channel = 63;
constexpr std::size_t primary = 6;

std::uint16_t crc16_sliced(const std::uint8_t* p, std::size_t n, std::uint16_t crc) {
    const auto& t = crc_tables;
    for (; n >= crc_stride; n -= crc_stride, p += crc_stride) {
        unsigned r = t[15][p[0] ^ (crc >> 8)] ^ t[14][p[1] ^ (crc & 0xFF)];
        for (std::size_t i = 2; i < crc_stride; ++i) r ^= t[crc_stride - 1 - i][p[i]];
        crc = std::uint16_t(r);
    }
    return crc_bytewise(p, n, crc);
}

#if defined(BITWEAVE_CRC_CLMUL)
// x^n mod P, the CRC's polynomial (x^16 + 0x1021), as the 16 bits of its remainder.
constexpr std::uint64_t x_power_mod(unsigned n) {
    std::uint32_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x10000) r ^= 0x11021;
    }
    return r;
}

// The message's bytes, most significant first, as a 128-bit polynomial (bit i: x^i).
__attribute__((target("pclmul,ssse3"))) inline __m128i load_be(const std::uint8_t* p) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// a * x^d + b, where k holds x^(d + 64) mod P (high) and x^d mod P (low): congruent modulo
// P, and of degree below 128 (a 64-bit half times a 16-bit remainder).
__attribute__((target("pclmul,ssse3"))) inline __m128i fold(__m128i a, __m128i k, __m128i b) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x11), _mm_clmulepi64_si128(a, k, 0x00)), b);
}

// The CRC by carry-less multiplication: four 128-bit remainders 512 bits apart, folded
// forward 64 bytes at a time, then into one; whatever is congruent to the message modulo P
// has its CRC, which the tables give from its 16 bytes and the tail's.
__attribute__((target("pclmul,ssse3"))) std::uint16_t crc16_clmul(const std::uint8_t* p,
                                                                  std::size_t n,
                                                                  std::uint16_t crc) {
    const __m128i k512 =
        _mm_set_epi64x(std::int64_t(x_power_mod(576)), std::int64_t(x_power_mod(512)));
    const __m128i k128 =
        _mm_set_epi64x(std::int64_t(x_power_mod(192)), std::int64_t(x_power_mod(128)));
    // The register's start value enters as the message's first 16 bits.
    __m128i a0 =
        _mm_xor_si128(load_be(p), _mm_set_epi64x(std::int64_t(std::uint64_t(crc) << 48), 0));
    __m128i a1 = load_be(p + 16), a2 = load_be(p + 32), a3 = load_be(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        a0 = fold(a0, k512, load_be(p));
        a1 = fold(a1, k512, load_be(p + 16));
        a2 = fold(a2, k512, load_be(p + 32));
        a3 = fold(a3, k512, load_be(p + 48));
    }
    __m128i a = fold(fold(fold(a0, k128, a1), k128, a2), k128, a3);
    for (; n >= 16; n -= 16, p += 16) a = fold(a, k128, load_be(p));
    alignas(16) std::uint8_t bytes[16];
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), _mm_shuffle_epi8(a, reverse));
    return crc16_sliced(p, n, crc16_sliced(bytes, 16, 0));
}

bool has_clmul() {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return has;
}
#endif

}  // namespace

std::uint16_t crc16_ccitt(std::span<const std::uint8_t> data, std::uint16_t crc) {
#if defined(BITWEAVE_CRC_CLMUL)
    if (data.size() >= 64 && has_clmul()) return crc16_clmul(data.data(), data.size(), crc);
#endif
    return crc16_sliced(data.data(), data.size(), crc);
}

const char* frame_options_problem(const FrameOptions& o) {
    if (o.frame_length > 65536) return "frame_length is above 65536 bytes";
    std::uint64_t fixed = primary + (o.fecf ? 2 : 0);
    if (o.kind == FrameKind::aos)
        fixed += (o.header_ec ? 2 : 0) + std::uint64_t(o.insert_zone) + 2 + (o.ocf ? 4 : 0);
    if (o.frame_length <= fixed)
        return "frame_length leaves no room for packets after the frame's fixed fields";
    return nullptr;
}

FrameReader::FrameReader(const FrameOptions& options) : o_(options), frame_(options.frame_length) {}

std::size_t FrameReader::packet_bytes() const {
    std::size_t n = 0;
    for (const Channel& ch : channels_) n += ch.partial.size();
    return n;
}

void FrameReader::feed(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + feed_bound(data.size()));
    PacketSink sink{out.data() + at, out.size() - at};
    feed(data, sink);
    out.resize(at + sink.size);
}

void FrameReader::feed(std::span<const std::uint8_t> data, PacketSink& out) {
    const std::size_t length = o_.frame_length;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    while (n > 0) {
        const std::size_t k = std::min(length - have_, n);
        std::memcpy(frame_.data() + have_, p, k);
        have_ += k;
        p += k;
        n -= k;
        if (have_ == length) {
            have_ = 0;
            frame(frame_.data(), out);
        }
    }
}

void FrameReader::frame(const std::uint8_t* f, PacketSink& out) {
    const std::size_t length = o_.frame_length;
    ++counts_.frames;
    std::size_t end = length;
    if (o_.fecf) {
        end -= 2;
        const std::uint16_t want = std::uint16_t((f[end] << 8) | f[end + 1]);
        if (crc16_ccitt({f, end}) != want) {
            ++counts_.crc_errors;
            return;
        }
    }
    std::uint8_t vcid;
    std::uint32_t count, modulus, fhp;
    std::size_t start;
    if (o_.kind == FrameKind::tm) {
        const bool ocf = f[1] & 1, secondary = f[4] & 0x80, sync = f[4] & 0x40;
        if ((f[0] >> 6) != 0 || sync) {  // not version 1, or not packets
            ++counts_.invalid;
            return;
        }
        vcid = std::uint8_t((f[1] >> 1) & 7);
        count = f[3];
        modulus = 256;
        fhp = std::uint32_t(((f[4] & 7) << 8) | f[5]);
        start = primary + (secondary ? std::size_t(f[primary] & 0x3F) + 1 : 0);
        if (ocf) end = end >= 4 ? end - 4 : 0;
    } else {
        if ((f[0] >> 6) != 1) {
            ++counts_.invalid;
            return;
        }
        vcid = std::uint8_t(f[1] & 0x3F);
        count = (std::uint32_t(f[2]) << 16) | (std::uint32_t(f[3]) << 8) | f[4];
        modulus = 1u << 24;
        start = primary + (o_.header_ec ? 2 : 0) + o_.insert_zone;
        fhp = std::uint32_t(((f[start] & 7) << 8) | f[start + 1]);
        start += 2;
        if (o_.ocf) end -= 4;
        if (vcid == aos_idle_channel) {
            ++counts_.idle_frames;
            return;
        }
    }
    if (start >= end) {  // a secondary header that fills the frame
        ++counts_.invalid;
        return;
    }
    if (!((o_.channels >> vcid) & 1)) return;
    Channel& ch = channels_[vcid];
    if (ch.seen && count != ch.next) {
        lost_.push_back({vcid, ch.next, count});
        drop(ch);
    }
    ch.seen = true;
    ch.next = (count + 1) % modulus;
    if (fhp == idle_data) {
        ++counts_.idle_frames;
        return;
    }
    zone(ch, f + start, end - start, fhp, out);
}

void FrameReader::zone(Channel& ch, const std::uint8_t* z, std::size_t n, std::uint32_t fhp,
                       PacketSink& out) {
    if (fhp != no_packet_starts && fhp >= n) {  // points past the zone: the header is wrong
        ++counts_.invalid;
        drop(ch);
        return;
    }
    const std::size_t before = fhp == no_packet_starts ? n : fhp;
    if (ch.synced) {
        if (!ch.partial.empty()) {
            const std::size_t used = join(ch, z, before, out);
            // The packet being joined must end exactly where the pointer says the next
            // header starts; anything else means the bytes are not what they seem.
            if (!ch.partial.empty() ? fhp != no_packet_starts : used != before) drop(ch);
        } else if (before != 0) {
            drop(ch);  // bytes that belong to no packet
        }
    }
    if (fhp == no_packet_starts) return;
    ch.partial.clear();
    ch.synced = true;
    packets(ch, z + fhp, n - fhp, out);
}

// Adds up to n bytes to the packet being joined; returns how many it took.
std::size_t FrameReader::join(Channel& ch, const std::uint8_t* z, std::size_t n, PacketSink& out) {
    std::size_t used = 0;
    if (ch.partial.size() < primary) {
        const std::size_t k = std::min(primary - ch.partial.size(), n);
        ch.partial.insert(ch.partial.end(), z, z + k);
        used = k;
        if (ch.partial.size() < primary) return used;
    }
    const std::size_t length = read_primary_header(ch.partial.data()).length;
    const std::size_t k = std::min(length - ch.partial.size(), n - used);
    ch.partial.insert(ch.partial.end(), z + used, z + used + k);
    used += k;
    if (ch.partial.size() == length) {
        emit(ch.partial.data(), length, out);
        ch.partial.clear();
    }
    return used;
}

// Packets from a packet header at z: the whole ones given out, a last partial one kept.
// Whole packets one after another are copied out in one piece.
void FrameReader::packets(Channel& ch, const std::uint8_t* z, std::size_t n, PacketSink& out) {
    const std::uint8_t* run = z;
    std::size_t run_bytes = 0;
    const auto flush = [&](const std::uint8_t* next) {
        if (run_bytes != 0) std::memcpy(out.data + out.size, run, run_bytes);
        out.size += run_bytes;
        run = next;
        run_bytes = 0;
    };
    while (n > 0) {
        if (n >= primary) {
            if ((z[0] >> 5) != 0) {  // not a space packet: lose sync until the next pointer
                flush(z);
                drop(ch);
                return;
            }
            const SpacePacketHeader h = read_primary_header(z);
            const std::size_t length = h.length;
            if (length <= n) {
                z += length;
                n -= length;
                // No room, which the capacity feed_bound gives rules out; or an idle packet.
                if (length > out.capacity - out.size - run_bytes) {
                    ++counts_.dropped;
                    flush(z);
                } else if (h.apid == idle_apid) {
                    ++counts_.idle_packets;
                    flush(z);
                } else {
                    ++counts_.packets;
                    run_bytes += length;
                }
                continue;
            }
        }
        flush(z);
        ch.partial.assign(z, z + n);
        return;
    }
    flush(z);
}

void FrameReader::emit(const std::uint8_t* p, std::size_t n, PacketSink& out) {
    // A header whose first bytes came before a loss went unseen; or no room, which the
    // capacity feed_bound gives rules out.
    if ((p[0] >> 5) != 0 || n > out.capacity - out.size) {
        ++counts_.dropped;
        return;
    }
    if (read_primary_header(p).apid == idle_apid) {
        ++counts_.idle_packets;
        return;
    }
    ++counts_.packets;
    std::memcpy(out.data + out.size, p, n);
    out.size += n;
}

void FrameReader::drop(Channel& ch) {
    if (!ch.partial.empty()) ++counts_.dropped;
    ch.partial.clear();
    ch.synced = false;
}

}  // namespace bitweave

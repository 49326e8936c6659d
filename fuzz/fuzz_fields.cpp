// Fuzz target: field placement, both directions, on a buffer of any size. A numeric
// pattern written into a field of any width, position and arrangement reads back as
// itself and changes no bit outside the field; a wide field with a stray bit set is
// refused exactly when that bit lies outside the pattern; every encoding decodes any
// field without fault; text images round-trip; and the position checks agree with exact
// arithmetic.
#include <memory>
#include <string>
#include <vector>

#include "core/field.hpp"
#include "fuzz.hpp"

using namespace bitweave;

namespace {

using u128 = unsigned __int128;

bool bit_at(const std::uint8_t* b, u128 q) {
    return (b[std::size_t(q / 8)] >> (7 - unsigned(q % 8))) & 1;
}

// Every bit of the two buffers outside [from, from + n) is equal.
bool same_outside(const std::uint8_t* a, const std::uint8_t* b, std::size_t size, u128 from,
                  u128 n) {
    for (u128 q = 0; q < u128(size) * 8; ++q)
        if ((q < from || q >= from + n) && bit_at(a, q) != bit_at(b, q)) return false;
    return true;
}

void positions(std::uint64_t start, std::uint64_t n, std::size_t size) {
    std::uint64_t end = 0;
    CodecError err;
    const bool fits = field_end(start, n, end, err);
    FUZZ_CHECK(fits == (u128(start) + n <= ~std::uint64_t{0}));
    if (fits) FUZZ_CHECK(end == start + n);
    std::uint64_t bytes = 0;
    CodecError err2;
    const bool small = packet_bytes(start, size, bytes, err2);
    FUZZ_CHECK(bytes == start / 8 + (start % 8 != 0) && small == (bytes <= size));

    const BitPos pos = BitPos::of(start);
    CodecError err3;
    const bool inside = check_in_packet(pos, n, size, err3);
    const u128 first = u128(start) / 8, last_end = (u128(start) + n + 7) / 8;
    FUZZ_CHECK(inside == (n == 0 ? first <= size : last_end <= size));
    FUZZ_CHECK(inside == !err3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    positions(in.take<std::uint64_t>(), in.take<std::uint64_t>(), in.take<std::uint16_t>());

    // A buffer of 1 to 48 bytes on the heap at exactly its size, and a field inside it.
    const std::size_t length = 1 + in.take<std::uint8_t>() % 48;
    const std::uint64_t total = 8 * length;
    const std::uint64_t at = in.take<std::uint16_t>() % (total + 1);
    const std::uint64_t bits = in.take<std::uint16_t>() % (total - at + 1);
    const std::uint8_t flags = in.take<std::uint8_t>();
    const FieldShape shape{bits, (flags & 1) != 0, (flags & 2) != 0};
    const std::uint64_t pattern = in.take<std::uint64_t>();
    const auto encoding = Encoding(in.take<std::uint8_t>() % (std::uint8_t(Encoding::utf32be) + 1));
    const std::uint16_t stray = in.take<std::uint16_t>();
    const auto init = in.bytes(length);

    auto buf = std::make_unique<std::uint8_t[]>(length);
    for (std::size_t i = 0; i < length; ++i) buf[i] = i < init.size() ? init[i] : 0;
    std::vector<std::uint8_t> before(buf.get(), buf.get() + length);
    const BitPos pos = BitPos::of(at);
    const std::span<std::uint8_t> packet(buf.get(), length);
    CodecError err;
    FUZZ_CHECK(check_in_packet(pos, bits, length, err));

    // Any encoding decodes any field inside the packet to a value or an error.
    const Result<Number> any = decode_number(encoding, packet, pos, shape, "x");
    (void)any;

    // Numbers: the pattern (cut to the field when it is narrower) reads back exactly.
    const std::uint64_t expect = bits >= 64 ? pattern : pattern & low_mask(std::size_t(bits));
    put_number_field(packet, pos, pattern, shape);
    FUZZ_CHECK(same_outside(buf.get(), before.data(), length, at, bits));
    for (const unsigned width : {64u, 128u}) {
        std::uint64_t low = 1, high = 1;
        FUZZ_CHECK(read_number_field(packet, pos, shape, width, "x", low, high, err));
        FUZZ_CHECK(low == expect && high == 0);
    }
    if (bits > 64) {
        // One more bit set: refused unless the pattern may hold it.
        const std::uint64_t k = stray % bits;
        const BitPos q = pos.plus(k);
        const bool was_set = get_bit(buf.get(), q);
        set_bit(buf.get(), q);
        for (const unsigned width : {64u, 128u}) {
            const unsigned held = bits < width ? unsigned(bits) : width;
            bool in_pattern = false;
            for (unsigned b = 0; b < held; ++b)
                in_pattern |= wide_field_index(b, bits, shape.reverse_bits, shape.little) == k;
            std::uint64_t low = 0, high = 0;
            CodecError e;
            const bool ok = read_number_field(packet, pos, shape, width, "x", low, high, e);
            FUZZ_CHECK(ok == (in_pattern || was_set));
        }
    }

    // Text: an image that fits reads back from a field of whole bytes; bits outside the
    // field never change.
    std::memcpy(before.data(), buf.get(), length);
    const auto image = in.bytes(std::size_t(bits / 8));
    put_text_field(packet, pos, image, shape);
    FUZZ_CHECK(same_outside(buf.get(), before.data(), length, at, bits));
    std::string scratch;
    const auto back = text_field_image(packet, pos, shape, scratch);
    FUZZ_CHECK(back.size() == bits / 8 + (bits % 8 != 0));
    if (bits % 8 == 0) {
        const std::size_t n = image.size();
        for (std::size_t i = 0; i < back.size(); ++i) {
            // The text, then its padding, in either byte order.
            FUZZ_CHECK(back[i] == (i < n ? image[i] : 0));
        }
    }
    CodecError fit;
    FUZZ_CHECK(check_text_fits(image.size(), bits, fit));
    return 0;
}

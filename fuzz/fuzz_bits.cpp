// Fuzz target: the bit copy behind both packet functions, at any position of a buffer of
// any size, against a one-bit-at-a-time model; and the position arithmetic, which must be
// exact for any two 64-bit bit counts.
#include <memory>
#include <vector>

#include "core/bits.hpp"
#include "fuzz.hpp"

using namespace bitweave;

namespace {

using u128 = unsigned __int128;

bool model_get(const std::vector<std::uint8_t>& b, std::uint64_t q) {
    return (b[q / 8] >> (7 - q % 8)) & 1;
}

void model_set(std::vector<std::uint8_t>& b, std::uint64_t q, bool v) {
    const std::uint8_t m = std::uint8_t(0x80u >> (q % 8));
    b[q / 8] = std::uint8_t(v ? b[q / 8] | m : b[q / 8] & ~m);
}

u128 absolute(BitPos p) { return u128(p.byte) * 8 + p.bit; }

void arithmetic(std::uint64_t a, std::uint64_t n, std::uint64_t c) {
    const BitPos p = BitPos::of(a);
    FUZZ_CHECK(absolute(p) == a && p.bit < 8);
    const BitPos q = p.plus(n);
    FUZZ_CHECK(absolute(q) == u128(a) + n && q.bit < 8);
    const BitPos r = q.plus(c);  // a cursor that moved twice
    FUZZ_CHECK(absolute(r) == u128(a) + n + c && r.bit < 8);
    // The bytes that hold n bits from p: none for no bits, else up to the last bit's byte.
    const std::uint64_t end = p.end_byte(n);
    FUZZ_CHECK(n == 0 ? end == p.byte : u128(end) == (u128(a) + n - 1) / 8 + 1);

    if (n > 64) {  // a wide field's layout: 64 distinct positions inside the field
        for (const bool rev : {false, true})
            for (const bool little : {false, true}) {
                u128 seen[64];
                for (unsigned bit = 0; bit < 64; ++bit) {
                    const std::uint64_t at = wide_field_index(bit, n, rev, little);
                    FUZZ_CHECK(at < n);
                    seen[bit] = at;
                    for (unsigned k = 0; k < bit; ++k) FUZZ_CHECK(seen[k] != at);
                }
            }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint64_t a = in.take<std::uint64_t>(), n = in.take<std::uint64_t>(),
                        c = in.take<std::uint64_t>();
    arithmetic(a, n, c);

    // A buffer of 1 to 64 bytes, on the heap at exactly its size.
    const std::size_t length = 1 + in.take<std::uint8_t>() % 64;
    const std::size_t total = 8 * length;
    const std::uint64_t pos = in.take<std::uint16_t>() % (total + 1);
    const std::uint64_t room = total - pos;  // bits from pos to the end
    const std::size_t nb =
        std::size_t(in.take<std::uint8_t>() % 65 % (room + 1));      // a field of <= 64 bits
    const std::uint64_t nc = in.take<std::uint16_t>() % (room + 1);  // any run that fits
    const std::uint64_t value = in.take<std::uint64_t>();
    const auto init = in.bytes(length);

    std::unique_ptr<std::uint8_t[]> buf = std::make_unique<std::uint8_t[]>(length);
    std::vector<std::uint8_t> model(length);
    for (std::size_t i = 0; i < length; ++i) buf[i] = model[i] = i < init.size() ? init[i] : 0;
    const BitPos at = BitPos::of(pos);

    // Reading: the bits in order, most significant first.
    std::uint64_t expect = 0;
    for (std::uint64_t i = 0; i < nb; ++i) expect = expect << 1 | model_get(model, pos + i);
    FUZZ_CHECK(read_bits(buf.get(), at, nb) == expect);
    FUZZ_CHECK(read_field_bits(buf.get(), length, at, nb) == expect);
    std::uint64_t ones = 0;
    for (std::uint64_t i = 0; i < nc; ++i) ones += model_get(model, pos + i);
    FUZZ_CHECK(count_set_bits(buf.get(), at, nc) == ones);
    if (pos < total) FUZZ_CHECK(get_bit(buf.get(), at) == model_get(model, pos));

    // Writing: exactly the field's bits change, to the value's low bits.
    // Both writers, the word-wise one and the byte-wise one, from the same start.
    std::unique_ptr<std::uint8_t[]> copy = std::make_unique<std::uint8_t[]>(length);
    std::memcpy(copy.get(), buf.get(), length);
    write_bits(buf.get(), at, value, nb);
    write_field_bits(copy.get(), length, at, value, nb);
    for (std::uint64_t i = 0; i < nb; ++i) model_set(model, pos + i, (value >> (nb - 1 - i)) & 1);
    FUZZ_CHECK(std::memcmp(buf.get(), model.data(), length) == 0);
    FUZZ_CHECK(std::memcmp(copy.get(), model.data(), length) == 0);
    FUZZ_CHECK(read_bits(buf.get(), at, nb) == (value & low_mask(nb)));

    clear_bits(buf.get(), at, nc);
    for (std::uint64_t i = 0; i < nc; ++i) model_set(model, pos + i, false);
    FUZZ_CHECK(std::memcmp(buf.get(), model.data(), length) == 0);
    FUZZ_CHECK(count_set_bits(buf.get(), at, nc) == 0);

    if (pos < total) {
        set_bit(buf.get(), at);
        model_set(model, pos, true);
        FUZZ_CHECK(std::memcmp(buf.get(), model.data(), length) == 0);
    }
    return 0;
}

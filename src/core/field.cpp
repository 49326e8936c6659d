#include "field.hpp"

#include <cstring>
#include <string>
#include <utility>

namespace bitweave {

CodecError packet_too_large(std::uint64_t start, std::uint64_t bits) {
    return value_error("Field of " + std::to_string(bits) + " bits at bit " +
                       std::to_string(start) +
                       " ends beyond the largest packet this platform can hold");
}

CodecError past_the_end(const char* which, std::uint64_t index, std::size_t length) {
    return value_error(std::string("range ") + which + " index " + std::to_string(index) +
                       " out of range for slice of length " + std::to_string(length));
}

void put_wide_field(std::span<std::uint8_t> packet, BitPos pos, std::uint64_t pattern,
                    const FieldShape& f) {
    clear_bits(packet.data(), pos, f.bits);
    for (unsigned b = 0; b < 64; ++b)
        if ((pattern >> b) & 1)
            set_bit(packet.data(), pos.plus(wide_field_index(b, f.bits, f.reverse_bits, f.little)));
}

bool read_wide_field(std::span<const std::uint8_t> packet, BitPos pos, const FieldShape& f,
                     unsigned width, std::string_view name, std::uint64_t& low, std::uint64_t& high,
                     CodecError& err) {
    low = high = 0;
    const unsigned held = f.bits < width ? unsigned(f.bits) : width;
    std::uint64_t set = 0;
    for (unsigned b = 0; b < held; ++b) {
        if (get_bit(packet.data(),
                    pos.plus(wide_field_index(b, f.bits, f.reverse_bits, f.little)))) {
            (b < 64 ? low : high) |= std::uint64_t{1} << (b % 64);
            ++set;
        }
    }
    if (count_set_bits(packet.data(), pos, f.bits) != set) {
        err = value_error("Field '" + std::string(name) + "' of " + std::to_string(f.bits) +
                          " bits holds a value wider than " + std::to_string(width) + " bits");
        return false;
    }
    return true;
}

CodecError text_too_long(std::size_t bytes, std::uint64_t bits) {
    return value_error("Encoded text of " + std::to_string(bytes) + " bytes does not fit in " +
                       std::to_string(bits) + " bits");
}

void put_text_field(std::span<std::uint8_t> packet, BitPos pos, std::span<const std::uint8_t> image,
                    const FieldShape& f) {
    const std::size_t n = image.size();
    const auto byte = [&](std::size_t i) { return f.little ? image[n - 1 - i] : image[i]; };
    if (pos.bit == 0 && !f.little) {
        if (n != 0) std::memcpy(packet.data() + pos.byte, image.data(), n);
    } else {
        for (std::size_t i = 0; i < n; ++i) write_bits(packet.data(), pos.plus(8 * i), byte(i), 8);
    }
    clear_bits(packet.data(), pos.plus(8 * n), f.bits - 8 * n);
}

std::span<const std::uint8_t> text_field_image(std::span<const std::uint8_t> packet, BitPos pos,
                                               const FieldShape& f, std::string& scratch) {
    const std::size_t n = std::size_t(f.bits / 8 + (f.bits % 8 != 0));
    if (pos.bit == 0 && f.bits % 8 == 0 && !f.little)
        return packet.subspan(std::size_t(pos.byte), n);  // read in place
    scratch.assign(n, '\0');
    auto* o = reinterpret_cast<std::uint8_t*>(scratch.data());
    std::size_t k = 0;
    BitPos q = pos;
    if (const std::size_t lead = std::size_t(f.bits % 8); lead != 0) {
        o[k++] = std::uint8_t(read_bits(packet.data(), q, lead));
        q = q.plus(lead);
    }
    for (; k < n; ++k, q = q.plus(8)) o[k] = std::uint8_t(read_bits(packet.data(), q, 8));
    if (f.little)
        for (std::size_t i = 0, j = n; i + 1 < j; ++i, --j) std::swap(o[i], o[j - 1]);
    return {o, n};
}

}  // namespace bitweave

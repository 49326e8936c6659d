// The error texts of the binary integer encoders, kept out of their inline bodies.
#include "integers.hpp"

#include <string>

namespace bitweave::detail {

CodecError too_wide_for(const char* encoding) {
    return value_error(std::string("bits must be <= 64 for ") + encoding);
}

CodecError twos_out_of_range(std::int64_t v, std::size_t bits, std::int64_t min, std::int64_t max) {
    return value_error("Value " + std::to_string(v) + " out of range for " + std::to_string(bits) +
                       " bits (range: " + std::to_string(min) + " to " + std::to_string(max) + ")");
}

CodecError too_large(std::int64_t v, std::size_t bits) {
    return value_error("Value " + std::to_string(v) + " is too large for " + std::to_string(bits) +
                       " bits");
}

CodecError too_large(std::uint64_t v, std::size_t bits) {
    return value_error("Value " + std::to_string(v) + " is too large for " + std::to_string(bits) +
                       " bits");
}

CodecError magnitude_too_large(std::int64_t v, std::size_t bits, bool ones) {
    if (ones)
        return value_error("Value " + std::to_string(v) + " is too large (magnitude) for " +
                           std::to_string(bits) + " bits");
    return value_error("Magnitude of " + std::to_string(v) + " is too large for " +
                       std::to_string(bits) + " bits");
}

CodecError sign_magnitude_width() {
    return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
}

}  // namespace bitweave::detail

// What lib.cpp needs from the encoder and the decoder: the module functions of each
// direction, in registration order, and the two packet routines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pyconv.hpp"

namespace bitweave {

constexpr std::size_t decoder_function_count = 3;
constexpr std::size_t encoder_function_count = 3;
extern const py::ModuleFunction decoder_functions[decoder_function_count];
extern const py::ModuleFunction encoder_functions[encoder_function_count];

// A new bytes object holding the packet, or nullptr with err set.
PyObject* build_packet(const py::Recipe& items, CodecError& err);
// A new dict of the decoded fields, or nullptr with err set.
PyObject* process_recipe(std::span<const std::uint8_t> packet, std::size_t offset_bits,
                         const py::Recipe& items, CodecError& err);

}  // namespace bitweave

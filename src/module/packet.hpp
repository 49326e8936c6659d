// What lib.cpp needs from the encoder and the decoder: the module functions of each
// direction, in registration order, and the two packet routines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pyconv.hpp"

namespace bitweave {

// Each direction's functions in registration order: the numeric formats, then text.
extern const std::span<const py::ModuleFunction> decoder_number_functions;
extern const std::span<const py::ModuleFunction> decoder_text_functions;
extern const std::span<const py::ModuleFunction> encoder_number_functions;
extern const std::span<const py::ModuleFunction> encoder_text_functions;
constexpr std::size_t max_function_count = 62;

// A new bytes object holding the packet, or nullptr with err set and `place` at the item
// that failed.
PyObject* build_packet(const py::Recipe& items, CodecError& err, py::ItemPlace& place);
// A new dict of the decoded fields, or nullptr with err set and `place` at the item that
// failed.
PyObject* process_recipe(std::span<const std::uint8_t> packet, std::size_t offset_bits,
                         const py::Recipe& items, CodecError& err, py::ItemPlace& place);

}  // namespace bitweave

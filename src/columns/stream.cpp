// ccsds_index: a stream of CCSDS space packets indexed into numpy columns, one row per
// whole packet, for decoding by packet type with Layout.unpack(offsets=, lengths=).
#include <cstring>
#include <exception>

#include "columns.hpp"
#include "core/ccsds.hpp"

namespace bitweave::columns {

namespace {

constexpr py::FunctionDescription ccsds_index_description{
    "ccsds_index", {"data", "offset", "skip_header_bytes"}, 3, 1};

struct IndexColumn {
    const char* name;
    const char* code;
    void* data = nullptr;
};

}  // namespace

PyObject* ccsds_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError,
                     "ccsds_index() takes 1 positional argument but %zd were given", nargs);
        return nullptr;
    }
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    if (!py::bind(ccsds_index_description, args, nargs, kwnames, a)) return nullptr;
    std::size_t offset = 0, skip = 0;
    if (a[1] != nullptr && !py::to_size(a[1], offset))
        return py::reraise_argument_error("offset"), nullptr;
    if (a[2] != nullptr && !py::to_size(a[2], skip))
        return py::reraise_argument_error("skip_header_bytes"), nullptr;
    View view;
    if (!view.bytes(a[0], "data")) return nullptr;
    const std::span<const std::uint8_t> data = view.span();

    std::uint64_t count = 0, tail = 0;
    Py_BEGIN_ALLOW_THREADS tail = walk_space_packets(
        data, offset, skip, [&](std::uint64_t, const SpacePacketHeader&) { ++count; });
    Py_END_ALLOW_THREADS

        IndexColumn columns[] = {{"offset", "i8"},    {"length", "i8"},    {"apid", "u2"},
                                 {"seq_count", "u2"}, {"seq_flags", "u1"}, {"type", "u1"},
                                 {"sec_hdr", "u1"}};
    py::Ref result(PyDict_New());
    if (!result) return nullptr;
    for (IndexColumn& c : columns) {
        py::Ref array = new_array(count, c.code, c.data);
        if (!array || PyDict_SetItemString(result.get(), c.name, array.get()) < 0) return nullptr;
    }
    auto* offsets = static_cast<std::int64_t*>(columns[0].data);
    auto* lengths = static_cast<std::int64_t*>(columns[1].data);
    auto* apids = static_cast<std::uint16_t*>(columns[2].data);
    auto* counts = static_cast<std::uint16_t*>(columns[3].data);
    auto* flags = static_cast<std::uint8_t*>(columns[4].data);
    auto* types = static_cast<std::uint8_t*>(columns[5].data);
    auto* sec = static_cast<std::uint8_t*>(columns[6].data);
    Py_BEGIN_ALLOW_THREADS std::uint64_t i = 0;
    walk_space_packets(data, offset, skip, [&](std::uint64_t at, const SpacePacketHeader& h) {
        offsets[i] = std::int64_t(at);
        lengths[i] = h.length;
        apids[i] = h.apid;
        counts[i] = h.seq_count;
        flags[i] = h.seq_flags;
        types[i] = h.type;
        sec[i] = h.sec_hdr;
        ++i;
    });
    Py_END_ALLOW_THREADS

        py::Ref tail_obj(PyLong_FromUnsignedLongLong(tail));
    if (!tail_obj || PyDict_SetItemString(result.get(), "tail", tail_obj.get()) < 0) return nullptr;
    return result.release();
}

}  // namespace bitweave::columns

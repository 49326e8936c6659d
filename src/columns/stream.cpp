// ccsds_index: a stream of CCSDS space packets indexed into numpy columns, one row per
// whole packet, for decoding by packet type with Layout.unpack(offsets=, lengths=).
#include <cstring>
#include <new>
#include <vector>

#include "columns.hpp"
#include "core/ccsds.hpp"

namespace bitweave::columns {

namespace {

constexpr py::FunctionDescription ccsds_index_description{
    "ccsds_index", {"data", "offset", "skip_header_bytes"}, 3, 1};

// One whole packet, as the walk found it.
struct IndexRow {
    std::uint64_t offset;
    std::uint32_t length;
    std::uint16_t apid, seq_count;
    std::uint8_t seq_flags, type, sec_hdr;
};

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
    std::uint64_t offset = 0, skip = 0;
    if (a[1] != nullptr && !size_argument(a[1], "offset", offset)) return nullptr;
    if (a[2] != nullptr && !size_argument(a[2], "skip_header_bytes", skip)) return nullptr;
    View view;
    if (!view.bytes(a[0], "data")) return nullptr;
    const std::span<const std::uint8_t> data = view.span();

    // One walk, into rows of our own: the caller's bytes may change while the walk runs
    // (another thread, with the lock released), so what the columns hold is what this walk
    // saw, and the tail is where it stopped.
    std::vector<IndexRow> rows;
    std::uint64_t tail = 0;
    try {
        without_interpreter([&] {
            tail = walk_space_packets(
                data, offset, skip, [&](std::uint64_t at, const SpacePacketHeader& h) {
                    rows.push_back(
                        {at, h.length, h.apid, h.seq_count, h.seq_flags, h.type, h.sec_hdr});
                });
        });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }

    IndexColumn columns[] = {{"offset", "i8"},    {"length", "i8"},    {"apid", "u2"},
                             {"seq_count", "u2"}, {"seq_flags", "u1"}, {"type", "u1"},
                             {"sec_hdr", "u1"}};
    py::Ref result(PyDict_New());
    if (!result) return nullptr;
    for (IndexColumn& c : columns) {
        py::Ref array = new_array(rows.size(), c.code, c.data);
        if (!array || PyDict_SetItemString(result.get(), c.name, array.get()) < 0) return nullptr;
    }
    auto* offsets = static_cast<std::int64_t*>(columns[0].data);
    auto* lengths = static_cast<std::int64_t*>(columns[1].data);
    auto* apids = static_cast<std::uint16_t*>(columns[2].data);
    auto* counts = static_cast<std::uint16_t*>(columns[3].data);
    auto* flags = static_cast<std::uint8_t*>(columns[4].data);
    auto* types = static_cast<std::uint8_t*>(columns[5].data);
    auto* sec = static_cast<std::uint8_t*>(columns[6].data);
    without_interpreter([&] {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const IndexRow& r = rows[i];
            offsets[i] = std::int64_t(r.offset);  // below the data's size
            lengths[i] = r.length;
            apids[i] = r.apid;
            counts[i] = r.seq_count;
            flags[i] = r.seq_flags;
            types[i] = r.type;
            sec[i] = r.sec_hdr;
        }
    });
    py::Ref tail_obj(PyLong_FromUnsignedLongLong(tail));
    if (!tail_obj || PyDict_SetItemString(result.get(), "tail", tail_obj.get()) < 0) return nullptr;
    return result.release();
}

}  // namespace bitweave::columns

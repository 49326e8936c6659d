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

// The index's columns, as a dict of new numpy arrays of `count` rows, and where their
// elements lie.
struct IndexColumns {
    py::Ref dict;
    std::int64_t* offsets = nullptr;
    std::int64_t* lengths = nullptr;
    std::uint16_t *apids = nullptr, *counts = nullptr;
    std::uint8_t *flags = nullptr, *types = nullptr, *sec = nullptr;

    bool make(std::uint64_t count) {
        struct {
            const char* name;
            const char* code;
            void* data = nullptr;
        } columns[] = {{"offset", "i8"},    {"length", "i8"}, {"apid", "u2"},   {"seq_count", "u2"},
                       {"seq_flags", "u1"}, {"type", "u1"},   {"sec_hdr", "u1"}};
        dict = py::Ref(PyDict_New());
        if (!dict) return false;
        for (auto& c : columns) {
            py::Ref array = new_array(count, c.code, c.data);
            if (!array || PyDict_SetItemString(dict.get(), c.name, array.get()) < 0) return false;
        }
        offsets = static_cast<std::int64_t*>(columns[0].data);
        lengths = static_cast<std::int64_t*>(columns[1].data);
        apids = static_cast<std::uint16_t*>(columns[2].data);
        counts = static_cast<std::uint16_t*>(columns[3].data);
        flags = static_cast<std::uint8_t*>(columns[4].data);
        types = static_cast<std::uint8_t*>(columns[5].data);
        sec = static_cast<std::uint8_t*>(columns[6].data);
        return true;
    }
    void put(std::uint64_t i, std::uint64_t at, const SpacePacketHeader& h) {
        offsets[i] = std::int64_t(at);  // below the data's size
        lengths[i] = h.length;
        apids[i] = h.apid;
        counts[i] = h.seq_count;
        flags[i] = h.seq_flags;
        types[i] = h.type;
        sec[i] = h.sec_hdr;
    }
};

struct IndexRow {
    std::uint64_t at;
    SpacePacketHeader header;
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

    // The caller's bytes may change while a walk runs (another thread, with the lock
    // released). A first walk counts the packets and a second fills columns of that count,
    // and counts again: when both counts agree, every row and the tail are what the second
    // walk saw. When they differ, the stream changed between the walks, and one walk into
    // rows of our own gives the index instead.
    std::uint64_t count = 0, seen = 0, tail = 0;
    without_interpreter([&] {
        walk_space_packets(data, offset, skip,
                           [&](std::uint64_t, const SpacePacketHeader&) { ++count; });
    });
    IndexColumns columns;
    if (!columns.make(count)) return nullptr;
    without_interpreter([&] {
        tail = walk_space_packets(data, offset, skip,
                                  [&](std::uint64_t at, const SpacePacketHeader& h) {
                                      if (seen < count) columns.put(seen, at, h);
                                      ++seen;
                                  });
    });
    if (seen != count) {
        std::vector<IndexRow> rows;
        try {
            without_interpreter([&] {
                tail = walk_space_packets(
                    data, offset, skip,
                    [&](std::uint64_t at, const SpacePacketHeader& h) { rows.push_back({at, h}); });
            });
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        if (!columns.make(rows.size())) return nullptr;
        for (std::size_t i = 0; i < rows.size(); ++i) columns.put(i, rows[i].at, rows[i].header);
    }
    py::Ref tail_obj(PyLong_FromUnsignedLongLong(tail));
    if (!tail_obj || PyDict_SetItemString(columns.dict.get(), "tail", tail_obj.get()) < 0)
        return nullptr;
    return columns.dict.release();
}

}  // namespace bitweave::columns

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

// One group's columns from its rows of an index: the packet number (from `first`), offset,
// length and stream offset (from `base`) of each.
void fill_group(const std::size_t* rows, std::size_t count, const std::uint8_t* offsets,
                const std::uint8_t* lengths, std::uint64_t first, std::uint64_t base,
                std::int64_t* index, std::int64_t* at, std::int64_t* length, std::int64_t* where) {
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = rows[k];
        std::int64_t off, len;
        std::memcpy(&off, offsets + 8 * i, 8);
        std::memcpy(&len, lengths + 8 * i, 8);
        index[k] = std::int64_t(first + i);
        at[k] = off;
        length[k] = len;
        // An index's offsets lie inside its data; one that does not is passed on as it is.
        where[k] = off >= 0 && std::uint64_t(off) < (1ULL << 62) ? std::int64_t(base) + off : off;
    }
}

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

// _apid_groups(apids, offsets, lengths, wanted, first, base, /): the packets of each APID
// of `wanted` in an index, in order: {apid: (packet_index, offsets, lengths, packet_offset)}
// as int64 arrays, packet_index counting from `first` and packet_offset from `base`; APIDs
// without a packet are left out. One pass for every APID, instead of a search per APID.
PyObject* apid_groups(PyObject*, PyObject* args) {
    PyObject *apids_obj, *offsets_obj, *lengths_obj, *wanted_obj;
    unsigned long long first = 0, base = 0;
    if (!PyArg_ParseTuple(args, "OOOOKK:_apid_groups", &apids_obj, &offsets_obj, &lengths_obj,
                          &wanted_obj, &first, &base))
        return nullptr;
    View a, o, l;
    if (!a.bytes(apids_obj, "apids") || !o.bytes(offsets_obj, "offsets") ||
        !l.bytes(lengths_obj, "lengths"))
        return nullptr;
    const std::size_t n = a.span().size() / 2;
    if (a.span().size() % 2 != 0 || o.span().size() != 8 * n || l.span().size() != 8 * n ||
        first > (1ULL << 62) || base > (1ULL << 62)) {
        PyErr_SetString(PyExc_ValueError,
                        "_apid_groups takes a uint16 column and two int64 columns of one length, "
                        "and first and base up to 2**62");
        return nullptr;
    }
    py::Ref wanted(PySequence_Fast(wanted_obj, "wanted must be a sequence of APIDs"));
    if (!wanted) return nullptr;
    constexpr std::size_t apids = 2048;
    try {
        std::vector<std::int32_t> slot(apids, -1);
        std::vector<std::uint16_t> order;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(wanted.get()); ++k) {
            const long apid = PyLong_AsLong(PySequence_Fast_GET_ITEM(wanted.get(), k));
            if (apid == -1 && PyErr_Occurred()) return nullptr;
            if (apid < 0 || apid >= long(apids)) {
                PyErr_Format(PyExc_ValueError, "%ld is not an APID (an int from 0 to 2047)", apid);
                return nullptr;
            }
            if (slot[std::size_t(apid)] < 0) {
                slot[std::size_t(apid)] = std::int32_t(order.size());
                order.push_back(std::uint16_t(apid));
            }
        }
        // Each packet's group, read once; the packets in order of their group (a stable
        // counting sort); then each group's rows, each offset and length read once.
        const std::size_t groups = order.size();
        std::vector<std::int32_t> group(n);
        std::vector<std::size_t> start(groups + 1, 0);
        const std::uint8_t* pa = a.span().data();
        for (std::size_t i = 0; i < n; ++i) {
            std::uint16_t apid;
            std::memcpy(&apid, pa + 2 * i, 2);
            group[i] = apid < apids ? slot[apid] : -1;
            if (group[i] >= 0) ++start[std::size_t(group[i]) + 1];
        }
        for (std::size_t g = 0; g < groups; ++g) start[g + 1] += start[g];
        std::vector<std::size_t> rows(start[groups]);
        {
            std::vector<std::size_t> next(start.begin(), start.end() - 1);
            for (std::size_t i = 0; i < n; ++i)
                if (group[i] >= 0) rows[next[std::size_t(group[i])]++] = i;
        }
        struct Out {
            py::Ref index, offsets, lengths, where;
        };
        std::vector<Out> out(groups);
        const std::uint8_t *po = o.span().data(), *pl = l.span().data();
        for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t count = start[g + 1] - start[g];
            if (count == 0) continue;
            void *vi, *vo, *vl, *vw;
            out[g].index = new_array(count, "i8", vi);
            if (out[g].index) out[g].offsets = new_array(count, "i8", vo);
            if (out[g].offsets) out[g].lengths = new_array(count, "i8", vl);
            if (out[g].lengths) out[g].where = new_array(count, "i8", vw);
            if (!out[g].where) return nullptr;
            fill_group(rows.data() + start[g], count, po, pl, first, base,
                       static_cast<std::int64_t*>(vi), static_cast<std::int64_t*>(vo),
                       static_cast<std::int64_t*>(vl), static_cast<std::int64_t*>(vw));
        }
        py::Ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (std::size_t g = 0; g < groups; ++g) {
            if (start[g + 1] == start[g]) continue;
            py::Ref key(PyLong_FromLong(order[g]));
            py::Ref value(key ? PyTuple_Pack(4, out[g].index.get(), out[g].offsets.get(),
                                             out[g].lengths.get(), out[g].where.get())
                              : nullptr);
            if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return dict.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace bitweave::columns

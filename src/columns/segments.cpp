// _SegmentJoiner: the core's joining of segmented packets (core/segments.hpp) as an object
// that keeps its state between pieces of a stream; and _sequence_gaps, the jumps of each
// APID's sequence count in an index. bitweave_columns.stream uses both.
#include "core/segments.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "columns.hpp"

namespace bitweave::columns {

namespace {

constexpr std::size_t apids = 2048;
constexpr std::uint16_t idle_apid = 0x7FF;

struct JoinerObject {
    PyObject_HEAD SegmentJoiner* joiner;
    bool busy;  // a feed runs without the lock; a second one at once is refused
};

SegmentJoiner& joiner_of(PyObject* self) { return *reinterpret_cast<JoinerObject*>(self)->joiner; }

PyObject* joiner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    unsigned long long skip = 0, header = 0, limit = 0;
    Py_buffer mask;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "_SegmentJoiner() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "KKy*K:_SegmentJoiner", &skip, &header, &mask, &limit))
        return nullptr;
    SegmentOptions o;
    const bool fits = mask.len == Py_ssize_t(apids / 8);
    if (fits) std::memcpy(o.apids.data(), mask.buf, apids / 8);
    PyBuffer_Release(&mask);
    if (!fits || skip > 65536 || header > 65536 || limit > (1ULL << 40)) {
        PyErr_SetString(PyExc_ValueError,
                        "_SegmentJoiner takes a record header and a segment header of up to 65536 "
                        "bytes, a mask of 256 bytes and a limit of up to 2**40 bytes");
        return nullptr;
    }
    o.skip = skip;
    o.segment_header = std::uint32_t(header);
    o.limit = std::size_t(limit);
    try {
        auto joiner = std::make_unique<SegmentJoiner>(o);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* obj = reinterpret_cast<JoinerObject*>(self);
        obj->joiner = joiner.release();
        obj->busy = false;
        return self;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void joiner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<JoinerObject*>(self)->joiner;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* joiner_feed(PyObject* self, PyObject* data) {
    auto* obj = reinterpret_cast<JoinerObject*>(self);
    View view;
    if (!view.bytes(data, "data")) return nullptr;
    if (obj->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the segment joiner is being fed by another thread");
        return nullptr;
    }
    std::vector<std::uint8_t> out;
    std::vector<std::uint16_t> last;
    obj->busy = true;
    try {
        // Packets never outgrow the bytes they came in and what was held before.
        out.reserve(view.span().size() + obj->joiner->carry().size() + obj->joiner->held());
        last.reserve(out.capacity() / 7 + 1);  // a packet has at least 7 bytes
        without_interpreter([&] { obj->joiner->feed(view.span(), out, last); });
    } catch (const std::bad_alloc&) {
        obj->busy = false;
        return PyErr_NoMemory();
    }
    obj->busy = false;
    py::Ref packets(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                              Py_ssize_t(out.size())));
    if (!packets) return nullptr;
    void* cells = nullptr;
    py::Ref counts = new_array(last.size(), "u2", cells);
    if (!counts) return nullptr;
    if (!last.empty()) std::memcpy(cells, last.data(), last.size() * 2);
    return PyTuple_Pack(2, packets.get(), counts.get());
}

PyObject* joiner_finish(PyObject* self, PyObject*) {
    if (reinterpret_cast<JoinerObject*>(self)->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the segment joiner is being fed by another thread");
        return nullptr;
    }
    joiner_of(self).finish();
    Py_RETURN_NONE;
}

PyObject* joiner_counts(PyObject* self, PyObject*) {
    const SegmentJoiner& j = joiner_of(self);
    const SegmentCounts& c = j.counts();
    using ull = unsigned long long;
    return Py_BuildValue("{sKsKsKsKsnsn}", "packets", ull(c.packets), "joined", ull(c.joined),
                         "segments", ull(c.segments), "dropped", ull(c.dropped), "carry_bytes",
                         Py_ssize_t(j.carry().size()), "held_bytes", Py_ssize_t(j.held()));
}

PyObject* joiner_carry(PyObject* self, PyObject*) {
    const auto carry = joiner_of(self).carry();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(carry.data()),
                                     Py_ssize_t(carry.size()));
}

PyMethodDef joiner_methods[] = {
    {"feed", joiner_feed, METH_O,
     "feed($self, data, /)\n--\n\n"
     "Reads the next bytes of the packet stream (any C-contiguous buffer, cut anywhere);\n"
     "returns (packets, last): the packets they complete, one after another, as bytes, and\n"
     "a uint16 array of each one's last sequence count."},
    {"finish", joiner_finish, METH_NOARGS,
     "finish($self, /)\n--\n\nThe stream ends: partial packets are dropped and counted."},
    {"counts", joiner_counts, METH_NOARGS,
     "counts($self, /)\n--\n\n"
     "A dict of packets (given out), joined, segments, dropped (segments never joined),\n"
     "carry_bytes (an unfinished packet held) and held_bytes (partial packets held)."},
    {"carry", joiner_carry, METH_NOARGS,
     "carry($self, /)\n--\n\nThe bytes of the unfinished packet held."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot joiner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(joiner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(joiner_dealloc)},
    {Py_tp_methods, joiner_methods},
    {Py_tp_doc, const_cast<char*>(
                    "_SegmentJoiner(skip_header_bytes, segment_header_bytes, apid_mask, limit, /)"
                    "\n--\n\n"
                    "Joins the segmented packets of the APIDs whose bits apid_mask (256 bytes,\n"
                    "APID a at bit a % 64 of little-endian word a // 64) sets.")},
    {0, nullptr},
};

PyType_Spec joiner_type_made = {"bitweave_columns._columns._SegmentJoiner", sizeof(JoinerObject), 0,
                                Py_TPFLAGS_DEFAULT, joiner_slots};

struct Gap {
    std::uint16_t apid, expected, got;
    std::uint64_t row;
};

// The jumps of each APID's count among n packets (apid, count and last segment's count as
// uint16 each); state[a] is APID a's last count or -1, moved on past these packets. Kept
// apart from its caller so that its values stay in registers.
void find_gaps(const std::uint8_t* pa, const std::uint8_t* pc, const std::uint8_t* pl,
               std::size_t n, std::uint64_t first, std::int32_t* state, std::vector<Gap>& gaps) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint16_t a16, c16, e16;
        std::memcpy(&a16, pa + 2 * i, 2);
        std::memcpy(&c16, pc + 2 * i, 2);
        std::memcpy(&e16, pl + 2 * i, 2);
        const std::uint32_t apid = a16 & (apids - 1), count = c16 & 0x3FFFu;
        const std::int32_t before = state[apid];    // any int32 the caller gave: no sum on it
        state[apid] = std::int32_t(e16 & 0x3FFFu);  // before the push, so nothing is spilled
        const std::uint32_t expected = (std::uint32_t(before) + 1) & 0x3FFFu;
        if (before >= 0 && expected != count && apid != idle_apid) [[unlikely]]
            gaps.push_back(
                {std::uint16_t(apid), std::uint16_t(expected), std::uint16_t(count), first + i});
    }
}

}  // namespace

bool add_segment_joiner_type(PyObject* module) {
    return add_type(module, joiner_type_made, "_SegmentJoiner");
}

// _sequence_gaps(apids, counts, lasts, first, state, /) -> (gaps, state): the jumps of each
// APID's sequence count among packets, in order, as (apid, expected, got, first + row),
// idle packets aside. counts are each packet's sequence count, lasts its last segment's
// (None: the same); state is 2048 int32 values (bytes), each APID's count before these
// packets or -1, and the state after them is returned.
PyObject* sequence_gaps(PyObject*, PyObject* args) {
    PyObject *apids_obj, *counts_obj, *lasts_obj, *state_obj;
    unsigned long long first = 0;
    if (!PyArg_ParseTuple(args, "OOOKO:_sequence_gaps", &apids_obj, &counts_obj, &lasts_obj, &first,
                          &state_obj))
        return nullptr;
    View a, c, l, s;
    const bool own_lasts = lasts_obj == Py_None;
    if (!a.bytes(apids_obj, "apids") || !c.bytes(counts_obj, "counts") ||
        (!own_lasts && !l.bytes(lasts_obj, "lasts")) || !s.bytes(state_obj, "state"))
        return nullptr;
    const std::size_t n = a.span().size() / 2;
    if (a.span().size() % 2 != 0 || c.span().size() != 2 * n ||
        (!own_lasts && l.span().size() != 2 * n) || s.span().size() != 4 * apids ||
        first > (1ULL << 62)) {
        PyErr_SetString(PyExc_ValueError,
                        "_sequence_gaps takes uint16 columns of one length, first up to 2**62 "
                        "and a state of 2048 int32 values");
        return nullptr;
    }
    std::vector<std::int32_t> state(apids);
    std::vector<Gap> gaps;
    try {
        without_interpreter([&] {
            std::memcpy(state.data(), s.span().data(), 4 * apids);
            const std::uint8_t* pc = c.span().data();
            find_gaps(a.span().data(), pc, own_lasts ? pc : l.span().data(), n, first, state.data(),
                      gaps);
        });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    py::Ref list(PyList_New(Py_ssize_t(gaps.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const Gap& g = gaps[i];
        PyObject* item = Py_BuildValue("(HHHK)", g.apid, g.expected, g.got,
                                       static_cast<unsigned long long>(g.row));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    py::Ref after(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(state.data()),
                                            Py_ssize_t(4 * apids)));
    if (!after) return nullptr;
    return PyTuple_Pack(2, list.get(), after.get());
}

}  // namespace bitweave::columns

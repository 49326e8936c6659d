// _FrameReader: the transfer frame walk of the core (core/frames.hpp) as an object that
// keeps its state between pieces of a stream; bitweave_columns.frames wraps it.
#include "core/frames.hpp"

#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "columns.hpp"

namespace bitweave::columns {

namespace {

struct FrameReaderObject {
    PyObject_HEAD FrameReader* reader;
    bool busy;  // a feed runs without the lock; a second one at once is refused
};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const char* kind = nullptr;
    unsigned int length = 0, insert = 0;
    int fecf = 1, ocf = 0, header_ec = 0;
    unsigned long long channels = 0;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "_FrameReader() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "sIpppIK:_FrameReader", &kind, &length, &fecf, &ocf, &header_ec,
                          &insert, &channels))
        return nullptr;
    FrameOptions o;
    const std::string_view k(kind);
    if (k != "tm" && k != "aos") {
        PyErr_Format(PyExc_ValueError, "frame kind must be 'tm' or 'aos', not '%s'", kind);
        return nullptr;
    }
    o.kind = k == "tm" ? FrameKind::tm : FrameKind::aos;
    o.frame_length = length;
    o.fecf = fecf != 0;
    o.ocf = ocf != 0;
    o.header_ec = header_ec != 0;
    o.insert_zone = insert;
    o.channels = channels;
    if (const char* problem = frame_options_problem(o)) {
        PyErr_Format(PyExc_ValueError, "%s (frame_length=%u)", problem, length);
        return nullptr;
    }
    try {
        auto reader = std::make_unique<FrameReader>(o);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* obj = reinterpret_cast<FrameReaderObject*>(self);
        obj->reader = reader.release();
        obj->busy = false;
        return self;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<FrameReaderObject*>(self)->reader;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* reader_feed(PyObject* self, PyObject* data) {
    auto* obj = reinterpret_cast<FrameReaderObject*>(self);
    View view;
    if (!view.bytes(data, "data")) return nullptr;
    if (obj->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the frame reader is being fed by another thread");
        return nullptr;
    }
    // The packets are written into the bytes object returned, made as large as they can
    // be and cut to what they are.
    const std::size_t bound = obj->reader->feed_bound(view.span().size());
    if (bound > std::size_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(bound));
    if (out == nullptr) return nullptr;
    PacketSink sink{reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out)), bound};
    populate(sink.data, bound);
    obj->busy = true;
    try {
        without_interpreter([&] { obj->reader->feed(view.span(), sink); });
    } catch (const std::bad_alloc&) {
        obj->busy = false;
        Py_DECREF(out);
        return PyErr_NoMemory();
    }
    obj->busy = false;
    if (sink.size != bound && _PyBytes_Resize(&out, Py_ssize_t(sink.size)) < 0) return nullptr;
    return out;
}

PyObject* reader_counts(PyObject* self, PyObject*) {
    const FrameReader& r = *reinterpret_cast<FrameReaderObject*>(self)->reader;
    const FrameCounts& c = r.counts();
    py::Ref lost(PyList_New(Py_ssize_t(r.lost().size())));
    if (!lost) return nullptr;
    for (std::size_t i = 0; i < r.lost().size(); ++i) {
        const LostFrames& l = r.lost()[i];
        PyObject* item = Py_BuildValue("(BII)", l.vcid, l.expected, l.got);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(lost.get(), Py_ssize_t(i), item);
    }
    using ull = unsigned long long;
    return Py_BuildValue("{sKsKsKsKsKsKsKsnsnsO}", "frames", ull(c.frames), "idle_frames",
                         ull(c.idle_frames), "crc_errors", ull(c.crc_errors), "invalid",
                         ull(c.invalid), "packets", ull(c.packets), "idle_packets",
                         ull(c.idle_packets), "dropped", ull(c.dropped), "frame_bytes",
                         Py_ssize_t(r.frame_bytes()), "packet_bytes", Py_ssize_t(r.packet_bytes()),
                         "lost", lost.get());
}

PyMethodDef reader_methods[] = {
    {"feed", reader_feed, METH_O,
     "feed($self, data, /)\n--\n\n"
     "Reads the next bytes of the frame stream (any C-contiguous buffer, cut anywhere);\n"
     "returns the packets they complete, one after another, as bytes."},
    {"counts", reader_counts, METH_NOARGS,
     "counts($self, /)\n--\n\n"
     "A dict of what was read so far: frames, idle_frames, crc_errors, invalid, packets,\n"
     "idle_packets, dropped, frame_bytes and packet_bytes (held), and lost, a list of\n"
     "(vcid, expected, got) frame count jumps."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_doc, const_cast<char*>(
                    "_FrameReader(kind, frame_length, fecf, ocf, header_ec, insert_zone, "
                    "channels, /)\n--\n\n"
                    "Reads TM ('tm') or AOS ('aos') transfer frames of frame_length bytes and\n"
                    "joins the space packets of the virtual channels in the bit mask channels.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {"bitweave_columns._columns._FrameReader", sizeof(FrameReaderObject), 0,
                           Py_TPFLAGS_DEFAULT, reader_slots};

}  // namespace

bool add_frame_reader_type(PyObject* module) {
    return add_type(module, reader_spec, "_FrameReader");
}

}  // namespace bitweave::columns

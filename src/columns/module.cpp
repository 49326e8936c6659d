// The bitweave_columns._columns extension: compiled layouts and the CCSDS stream index,
// over bitweave's pure core. The package's Python layer (python/bitweave_columns) wraps it.
#include "columns.hpp"

namespace bitweave::columns {

bool add_type(PyObject* module, PyType_Spec& made, const char* name) {
    PyObject* type = PyType_FromSpec(&made);
    if (type == nullptr) return false;
    if (PyModule_AddObject(module, name, type) < 0) {  // steals the reference only on success
        Py_DECREF(type);
        return false;
    }
    return true;
}

namespace {

PyMethodDef module_methods[] = {
    {"ccsds_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ccsds_index)),
     METH_FASTCALL | METH_KEYWORDS,
     "ccsds_index(data, *, offset=0, skip_header_bytes=0)\n--\n\n"
     "Indexes a stream of CCSDS space packets, for decoding by type with\n"
     "Layout.unpack(data, offsets=..., lengths=...).\n\n"
     "data is any C-contiguous buffer, walked from byte offset; each packet is a 6-byte\n"
     "primary header and the bytes its length field gives, behind skip_header_bytes bytes\n"
     "of a ground station's record header. Returns a dict of numpy columns, one row per\n"
     "whole packet: \"offset\" (the primary header's byte) and \"length\" (the packet's\n"
     "bytes, header included) as int64, \"apid\" and \"seq_count\" as uint16,\n"
     "\"seq_flags\", \"type\" and \"sec_hdr\" as uint8; and \"tail\", the bytes after the last\n"
     "whole packet. Raises TypeError for a non-contiguous buffer, and OverflowError for an\n"
     "offset or skip_header_bytes below 0 or above 2**64 - 1."},
    {"_byte_slices", byte_slices, METH_VARARGS,
     "_byte_slices(data, starts, sizes, /)\n--\n\n"
     "The bytes data[starts[i]:starts[i] + sizes[i]] of each i, as a numpy object array;\n"
     "starts and sizes are int64 buffers of one length, and every piece must lie inside\n"
     "data (ValueError otherwise). For the fields of mission databases whose size varies\n"
     "from packet to packet."},
    {"_apid_groups", apid_groups, METH_VARARGS,
     "_apid_groups(apids, offsets, lengths, wanted, first, base, /)\n--\n\n"
     "The packets of each APID of wanted in an index, in order, in one pass: a dict from APID\n"
     "to (packet_index, offsets, lengths, packet_offset) int64 arrays, packet_index counting\n"
     "from first and packet_offset from base; APIDs without a packet left out."},
    {"_sequence_gaps", sequence_gaps, METH_VARARGS,
     "_sequence_gaps(apids, counts, lasts, first, state, /)\n--\n\n"
     "The jumps of each APID's sequence count among packets in order, idle ones aside, as\n"
     "(gaps, state): gaps a list of (apid, expected, got, first + row); apids, counts and\n"
     "lasts (each packet's last segment's count, or None) uint16 buffers of one length;\n"
     "state and the state returned 2048 int32 values (bytes), each APID's last count or -1."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_columns",
                          "Compiled layouts and stream indexes (see bitweave_columns).",
                          0,
                          module_methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

PyObject* module_object = nullptr;

// At the end of the interpreter's finalisation: drop the pointers to its objects, so that
// a new interpreter of the process makes the module afresh.
void forget_interpreter() {
    module_object = nullptr;
    forget_numpy();
    forget_layout_type();
    py::forget_interpreter_objects();
}

}  // namespace

}  // namespace bitweave::columns

PyMODINIT_FUNC PyInit__columns() {
    using namespace bitweave::columns;
    if (module_object != nullptr) {
        Py_INCREF(module_object);
        return module_object;
    }
    if (!bitweave::py::intern_names() || !find_numpy()) return nullptr;
    bitweave::py::Ref module(PyModule_Create(&module_def));
    if (!module || !add_layout_type(module.get()) || !add_tree_type(module.get()) ||
        !add_frame_reader_type(module.get()) || !add_segment_joiner_type(module.get()))
        return nullptr;
    Py_AtExit(forget_interpreter);
    Py_INCREF(module.get());
    module_object = module.get();
    return module.release();
}

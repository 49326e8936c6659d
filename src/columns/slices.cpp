// _byte_slices: the bytes of many pieces of one buffer as an object column, for fields whose
// size varies from packet to packet (strings and binary blobs of mission databases).
#include <cstring>

#include "columns.hpp"

namespace bitweave::columns {

namespace {

// Reads an int64 column of `count` values from a caller's buffer of whole 8-byte values.
bool int64_column(PyObject* obj, const char* what, View& view, std::size_t& count) {
    if (!view.bytes(obj, what)) return false;
    if (view.span().size() % 8 != 0) {
        PyErr_Format(PyExc_ValueError, "%s must hold whole int64 values", what);
        return false;
    }
    count = view.span().size() / 8;
    return true;
}

std::int64_t at(const View& view, std::size_t i) {
    std::int64_t v;
    std::memcpy(&v, view.span().data() + 8 * i, 8);
    return v;
}

}  // namespace

// _byte_slices(data, starts, sizes) -> numpy object array of bytes: data[starts[i]:
// starts[i] + sizes[i]] for each i. starts and sizes are int64 buffers of one length; every
// piece must lie inside data. The lock stays held throughout (each piece is a new object).
PyObject* byte_slices(PyObject*, PyObject* args) {
    PyObject *data_obj, *starts_obj, *sizes_obj;
    if (!PyArg_ParseTuple(args, "OOO:_byte_slices", &data_obj, &starts_obj, &sizes_obj))
        return nullptr;
    View data, starts, sizes;
    std::size_t n = 0, n_sizes = 0;
    if (!data.bytes(data_obj, "data") || !int64_column(starts_obj, "starts", starts, n) ||
        !int64_column(sizes_obj, "sizes", sizes, n_sizes))
        return nullptr;
    if (n != n_sizes) {
        PyErr_Format(PyExc_ValueError, "starts has %zu values and sizes %zu: one size a start", n,
                     n_sizes);
        return nullptr;
    }
    const std::span<const std::uint8_t> bytes = data.span();
    void* cells = nullptr;
    py::Ref out = new_array(n, "O", cells);
    if (!out) return nullptr;
    auto* objects = static_cast<PyObject**>(cells);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t start = at(starts, i), size = at(sizes, i);
        if (start < 0 || size < 0 || std::uint64_t(start) > bytes.size() ||
            std::uint64_t(size) > bytes.size() - std::uint64_t(start)) {
            PyErr_Format(PyExc_ValueError,
                         "piece %zu (%lld bytes from byte %lld) lies outside the data's %zu "
                         "bytes",
                         i, static_cast<long long>(size), static_cast<long long>(start),
                         bytes.size());
            return nullptr;
        }
        PyObject* piece = PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(bytes.data() + start), Py_ssize_t(size));
        if (piece == nullptr) return nullptr;
        Py_SETREF(objects[i], piece);
    }
    return out.release();
}

}  // namespace bitweave::columns

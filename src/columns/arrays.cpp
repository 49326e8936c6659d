// numpy arrays made through numpy's own Python-level functions and filled in place: the
// extension never builds against numpy's C API.
#include <string>

#include "columns.hpp"

namespace bitweave::columns {

namespace {
PyObject* numpy_empty = nullptr;  // numpy.empty
}

bool find_numpy() {
    if (numpy_empty != nullptr) return true;
    py::Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    numpy_empty = PyObject_GetAttrString(numpy.get(), "empty");
    return numpy_empty != nullptr;
}

void forget_numpy() { numpy_empty = nullptr; }

py::Ref new_array(std::uint64_t count, const char* code, void*& data) {
    if (count > std::uint64_t(PY_SSIZE_T_MAX)) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate a column of %llu values",
                     static_cast<unsigned long long>(count));
        return py::Ref();
    }
    py::Ref n(PyLong_FromUnsignedLongLong(count));
    py::Ref type(n ? PyUnicode_FromString(code) : nullptr);
    if (!type) return py::Ref();
    py::Ref array(PyObject_CallFunctionObjArgs(numpy_empty, n.get(), type.get(), nullptr));
    if (!array) return py::Ref();
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0)
        return py::Ref();
    data = view.buf;  // the array owns it, and nothing else can resize it
    PyBuffer_Release(&view);
    return array;
}

bool View::bytes(PyObject* obj, const char* what) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0) return held_ = true;
    // Only a buffer that is not contiguous, or no buffer at all, is the caller's mistake.
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError))
        return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be a contiguous buffer of bytes, not '%s'", what,
                 Py_TYPE(obj)->tp_name);
    return false;
}

bool View::records(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
    return held_ = true;
}

}  // namespace bitweave::columns

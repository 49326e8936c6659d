// numpy arrays made through numpy's own Python-level functions and filled in place: the
// extension never builds against numpy's C API.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "columns.hpp"

namespace bitweave::columns {

namespace {

PyObject* numpy_empty = nullptr;  // numpy.empty

// The dtypes of the type codes asked for so far, made once each: numpy.empty given a dtype
// skips parsing its name, which is most of the cost of a small column.
struct CodeType {
    const char* code;
    PyObject* dtype;
};
CodeType code_types[32] = {};

PyObject* dtype_of(const char* code) {
    for (CodeType& t : code_types) {
        if (t.code == nullptr) {
            py::Ref name(PyUnicode_FromString(code));
            py::Ref numpy(name ? PyImport_ImportModule("numpy") : nullptr);
            py::Ref dtype_type(numpy ? PyObject_GetAttrString(numpy.get(), "dtype") : nullptr);
            if (!dtype_type) return nullptr;
            t.dtype = PyObject_CallOneArg(dtype_type.get(), name.get());
            if (t.dtype == nullptr) return nullptr;
            t.code = code;  // the codes are string literals of the callers
            return t.dtype;
        }
        if (t.code == code || std::strcmp(t.code, code) == 0) return t.dtype;
    }
    return nullptr;  // not reached: fewer codes than rows
}

}  // namespace

// Maps a new column's pages in one call where the system can, instead of taking one fault
// per page as the decode first writes them (in a virtual machine each fault is costly). A
// hint only: where it is refused or unknown, the faults happen as before.
void populate(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr std::size_t page = 4096;
    if (bytes < (std::size_t{1} << 13)) return;  // small columns fault little
    const auto first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

bool find_numpy() {
    if (numpy_empty != nullptr) return true;
    py::Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    numpy_empty = PyObject_GetAttrString(numpy.get(), "empty");
    return numpy_empty != nullptr;
}

void forget_numpy() {
    numpy_empty = nullptr;
    for (CodeType& t : code_types) t = {};
}

py::Ref new_array(std::uint64_t count, const char* code, void*& data) {
    if (count > std::uint64_t(PY_SSIZE_T_MAX)) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate a column of %llu values",
                     static_cast<unsigned long long>(count));
        return py::Ref();
    }
    PyObject* type = dtype_of(code);
    if (type == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "no numpy type for '%s'", code);
        return py::Ref();
    }
    py::Ref n(PyLong_FromUnsignedLongLong(count));
    if (!n) return py::Ref();
    PyObject* call[] = {n.get(), type};
    py::Ref array(PyObject_Vectorcall(numpy_empty, call, 2, nullptr));
    if (!array) return py::Ref();
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0)
        return py::Ref();
    data = view.buf;  // the array owns it, and nothing else can resize it
    populate(view.buf, std::size_t(view.len));
    PyBuffer_Release(&view);
    return array;
}

namespace {

// `rows` arrays of `count` values of a numeric type code, as the rows of one new array;
// empty with an exception set on failure.
std::vector<py::Ref> new_rows(std::uint64_t rows, std::uint64_t count, const char* code,
                              std::vector<void*>& data) {
    std::vector<py::Ref> out;
    data.clear();
    PyObject* type = dtype_of(code);
    if (type == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "no numpy type for '%s'", code);
        return out;
    }
    if (rows > std::uint64_t(PY_SSIZE_T_MAX) || count > std::uint64_t(PY_SSIZE_T_MAX) / 8 ||
        (rows != 0 && count > std::uint64_t(PY_SSIZE_T_MAX) / 8 / rows)) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate %llu columns of %llu values",
                     static_cast<unsigned long long>(rows), static_cast<unsigned long long>(count));
        return out;
    }
    py::Ref shape(Py_BuildValue("(KK)", static_cast<unsigned long long>(rows),
                                static_cast<unsigned long long>(count)));
    if (!shape) return out;
    PyObject* call[] = {shape.get(), type};
    py::Ref block(PyObject_Vectorcall(numpy_empty, call, 2, nullptr));
    if (!block) return out;
    Py_buffer view;
    if (PyObject_GetBuffer(block.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return out;
    auto* base = static_cast<std::uint8_t*>(view.buf);
    const std::size_t row_bytes = rows == 0 ? 0 : std::size_t(view.len) / std::size_t(rows);
    populate(view.buf, std::size_t(view.len));
    PyBuffer_Release(&view);  // the block's memory stays: its rows hold the block
    out.reserve(std::size_t(rows));
    data.reserve(std::size_t(rows));
    for (std::uint64_t r = 0; r < rows; ++r) {
        py::Ref row(PySequence_GetItem(block.get(), Py_ssize_t(r)));
        if (!row) {
            out.clear();
            return out;
        }
        out.push_back(std::move(row));
        data.push_back(base + std::size_t(r) * row_bytes);
    }
    return out;
}

}  // namespace

bool new_columns(std::span<const Store> stores, std::uint64_t count, std::vector<py::Ref>& arrays,
                 std::vector<void*>& data) {
    constexpr std::size_t numeric = std::size_t(Store::object);
    arrays.clear();
    arrays.resize(stores.size());
    data.assign(stores.size(), nullptr);
    std::vector<std::size_t> of_store[numeric];
    for (std::size_t k = 0; k < stores.size(); ++k)
        if (stores[k] != Store::object) of_store[std::size_t(stores[k])].push_back(k);
    for (std::size_t st = 0; st < numeric; ++st) {
        const std::vector<std::size_t>& ks = of_store[st];
        const char* code = store_code(Store(st));
        if (ks.size() == 1) {
            arrays[ks[0]] = new_array(count, code, data[ks[0]]);
            if (!arrays[ks[0]]) return false;
        } else if (ks.size() > 1) {
            std::vector<void*> where;
            std::vector<py::Ref> rows = new_rows(ks.size(), count, code, where);
            if (rows.empty()) return false;
            for (std::size_t j = 0; j < ks.size(); ++j) {
                arrays[ks[j]] = std::move(rows[j]);
                data[ks[j]] = where[j];
            }
        }
    }
    return true;
}

bool size_argument(PyObject* obj, const char* what, std::uint64_t& out) {
    if (py::to_u64(obj, out)) return true;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
        py::reraise_argument_error(what);
        return false;
    }
    PyErr_Clear();
    py::Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow > 0)  // the value itself is not shown: it may be too long to print
        PyErr_Format(PyExc_OverflowError, "%s is too large: at most 2**64 - 1", what);
    else if (overflow < 0)
        PyErr_Format(PyExc_OverflowError, "%s must be >= 0", what);
    else
        PyErr_Format(PyExc_OverflowError, "%s must be >= 0, not %lld", what, v);
    return false;
}

bool View::bytes(PyObject* obj, const char* what) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0) return held_ = true;
    // Only a buffer that is not contiguous, or no buffer at all, is the caller's mistake.
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError))
        return false;
    PyErr_Clear();
    if (PyObject_CheckBuffer(obj))
        PyErr_Format(PyExc_TypeError,
                     "%s must be a C-contiguous buffer; got a non-contiguous %s (copy it with "
                     "numpy.ascontiguousarray)",
                     what, Py_TYPE(obj)->tp_name);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s must be a buffer of bytes (bytes, bytearray, memoryview, mmap, a numpy "
                     "array), not '%s'",
                     what, Py_TYPE(obj)->tp_name);
    return false;
}

bool View::records(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
    return held_ = true;
}

}  // namespace bitweave::columns

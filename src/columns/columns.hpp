// What the parts of the bitweave_columns extension share: numpy arrays made and filled in
// place, held views of callers' buffers, and the entries of the module's parts.
#pragma once

#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "core/layout.hpp"
#include "module/pyconv.hpp"

namespace bitweave::columns {

// numpy.empty, looked up when the module is made and dropped when the interpreter ends.
bool find_numpy();
void forget_numpy();

// A new one-dimensional numpy array of `count` elements of a type code ("u2", "f4", "O",
// "?"), and where its elements lie (contiguous and writable: the array is new and the
// caller's alone). An object array starts full of None.
py::Ref new_array(std::uint64_t count, const char* code, void*& data);

// New columns of `count` values, one for each numeric store of `stores` (columns of
// Store::object are left empty, for the caller to make), with where each column's values
// lie. The columns of one store are the rows of one two-dimensional array where there are
// several (one allocation instead of one a column; each row contiguous and writable).
// False with an exception set.
bool new_columns(std::span<const Store> stores, std::uint64_t count, std::vector<py::Ref>& arrays,
                 std::vector<void*>& data);

// Maps the pages of new memory of ours in one call where the system can (a hint only;
// nothing for less than 8 KiB), instead of a fault per page as they are first written.
void populate(void* data, std::size_t bytes);

// A size or position argument: an integer from 0 to 2**64 - 1. Otherwise false, with a
// TypeError naming `what` (not an integer) or an OverflowError naming it (out of range).
bool size_argument(PyObject* obj, const char* what, std::uint64_t& out);

// Runs pure work with the interpreter's lock released, so that other threads run on; an
// exception thrown by the work arrives after the lock is taken back.
template <class Work>
void without_interpreter(Work work) {
    std::exception_ptr thrown;
    Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
        thrown = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (thrown) std::rethrow_exception(thrown);
}

// A caller's buffer, held (so that its memory cannot move or vanish) until destroyed.
class View {
  public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }
    // A C-contiguous buffer, read as bytes; a TypeError naming `what` otherwise, which
    // tells a buffer that is not contiguous from an object that is no buffer.
    bool bytes(PyObject* obj, const char* what);
    // Any buffer with its element format and strides (for numpy columns).
    bool records(PyObject* obj);
    std::span<const std::uint8_t> span() const {
        return {static_cast<const std::uint8_t*>(view_.buf), std::size_t(view_.len)};
    }
    const Py_buffer& get() const { return view_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// The Layout base type, added to the module as LayoutBase.
bool add_layout_type(PyObject* module);
void forget_layout_type();
// The compiled layout of a LayoutBase instance; nullptr with a TypeError for anything else.
const CompiledLayout* compiled_layout(PyObject* obj);

// Makes the type `made` describes and adds it to `module` as `name`; false with an exception set.
bool add_type(PyObject* module, PyType_Spec& made, const char* name);

// The container tree type, added to the module as _Tree.
bool add_tree_type(PyObject* module);

// The transfer frame reader type of frames.cpp, added to the module as _FrameReader.
bool add_frame_reader_type(PyObject* module);

// The segment joiner type of segments.cpp, added to the module as _SegmentJoiner.
bool add_segment_joiner_type(PyObject* module);

// _sequence_gaps(apids, counts, lasts, first, state): the module function of segments.cpp.
PyObject* sequence_gaps(PyObject* module, PyObject* args);

// ccsds_index(data, *, offset=0, skip_header_bytes=0): the module function of stream.cpp.
PyObject* ccsds_index(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _apid_groups(apids, offsets, lengths, wanted, first, base): a module function of stream.cpp.
PyObject* apid_groups(PyObject* module, PyObject* args);

// _byte_slices(data, starts, sizes): the module function of slices.cpp.
PyObject* byte_slices(PyObject* module, PyObject* args);

}  // namespace bitweave::columns

// _Tree: a mission database's container tree, compiled by the XTCE layer into the core's
// program, decoding a whole indexed stream in one pass.
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "columns.hpp"
#include "core/ccsds.hpp"
#include "core/tree.hpp"

namespace bitweave::columns {

namespace {

struct TreeState {
    Tree tree;
    Tree::Scratch scratch;  // for single packets, under the interpreter's lock
    std::uint64_t marks = 0;
    std::vector<py::Ref> layouts;             // kept alive: the tree reads their compiled fields
    std::vector<std::vector<py::Ref>> names;  // each table's column keys
};

struct TreeObject {
    PyObject_HEAD TreeState* s;
};

TreeState& state(PyObject* self) { return *reinterpret_cast<TreeObject*>(self)->s; }

// A caller's buffer of whole values of `size` bytes.
bool values_of(PyObject* obj, const char* what, std::size_t size, View& view) {
    if (!view.bytes(obj, what)) return false;
    if (view.span().size() % size != 0) {
        PyErr_Format(PyExc_ValueError, "%s must hold whole %zu-byte values", what, size);
        return false;
    }
    return true;
}

void prepare_work(const Tree& tree);

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject *layouts_obj, *program_obj, *reals_obj, *names_obj;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "_Tree() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "OOOO:_Tree", &layouts_obj, &program_obj, &reals_obj, &names_obj))
        return nullptr;
    try {
        auto s = std::make_unique<TreeState>();
        py::Ref layouts(PySequence_Fast(layouts_obj, "layouts must be a sequence of Layouts"));
        if (!layouts) return nullptr;
        std::vector<const CompiledLayout*> compiled;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(layouts.get()); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(layouts.get(), i);
            const CompiledLayout* c = compiled_layout(item);
            if (c == nullptr) return nullptr;
            compiled.push_back(c);
            s->layouts.push_back(py::Ref::borrow(item));
        }
        View program, reals;
        if (!values_of(program_obj, "program", 8, program) ||
            !values_of(reals_obj, "reals", 8, reals))
            return nullptr;
        // Copied out of the caller's memory before reading: the program is read once.
        std::vector<std::int64_t> words(program.span().size() / 8);
        std::vector<double> numbers(reals.span().size() / 8);
        if (!words.empty()) std::memcpy(words.data(), program.span().data(), words.size() * 8);
        if (!numbers.empty()) std::memcpy(numbers.data(), reals.span().data(), numbers.size() * 8);
        CodecError err;
        if (!s->tree.read(words, numbers, compiled, err)) return py::raise(err);
        s->tree.start(s->scratch);
        py::Ref names(PySequence_Fast(names_obj, "names must be a sequence of sequences"));
        if (!names) return nullptr;
        const auto& tables = s->tree.tables();
        if (std::size_t(PySequence_Fast_GET_SIZE(names.get())) != tables.size()) {
            PyErr_SetString(PyExc_ValueError, "names must give one sequence of keys a table");
            return nullptr;
        }
        for (std::size_t t = 0; t < tables.size(); ++t) {
            py::Ref keys(PySequence_Fast(PySequence_Fast_GET_ITEM(names.get(), Py_ssize_t(t)),
                                         "names must be a sequence of sequences"));
            if (!keys) return nullptr;
            if (std::size_t(PySequence_Fast_GET_SIZE(keys.get())) != tables[t].size()) {
                PyErr_Format(PyExc_ValueError, "table %zu has %zu columns, not %zd names", t,
                             tables[t].size(), PySequence_Fast_GET_SIZE(keys.get()));
                return nullptr;
            }
            s->names.emplace_back();
            for (Py_ssize_t c = 0; c < PySequence_Fast_GET_SIZE(keys.get()); ++c) {
                PyObject* key = PySequence_Fast_GET_ITEM(keys.get(), c);
                if (!PyUnicode_Check(key)) {
                    PyErr_SetString(PyExc_TypeError, "column names must be str");
                    return nullptr;
                }
                s->names.back().push_back(py::Ref::borrow(key));
            }
        }
        prepare_work(s->tree);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        reinterpret_cast<TreeObject*>(self)->s = s.release();
        return self;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void tree_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<TreeObject*>(self)->s;
    type->tp_free(self);
    Py_DECREF(type);
}

// Fills a column's `data` from its place in each row.
void copy_column(const TreeTable& table, std::size_t row_bytes, const TreeColumn& c, void* data) {
    auto* out = static_cast<std::uint8_t*>(data);
    const std::uint8_t* in = table.rows.data() + c.at;
    const std::uint64_t rows = table.packet_index.size();
    const auto copy = [&](auto size) {
        for (std::uint64_t r = 0; r < rows; ++r)
            std::memcpy(out + r * size, in + r * row_bytes, size);
    };
    switch (c.size) {
        case 1: copy(std::integral_constant<std::size_t, 1>{}); break;
        case 2: copy(std::integral_constant<std::size_t, 2>{}); break;
        case 4: copy(std::integral_constant<std::size_t, 4>{}); break;
        case 8: copy(std::integral_constant<std::size_t, 8>{}); break;
        default: copy(std::integral_constant<std::size_t, 16>{}); break;
    }
}

py::Ref int64_array(const std::vector<std::int64_t>& values) {
    void* data = nullptr;
    py::Ref array = new_array(values.size(), "i8", data);
    if (array && !values.empty()) std::memcpy(data, values.data(), values.size() * 8);
    return array;
}

// (nodes, packet_index, packet_offset) as int64 arrays; None when no packet was left out.
PyObject* skips_object(const TreeSkips& s) {
    if (s.node.empty()) Py_RETURN_NONE;
    std::vector<std::int64_t> nodes(s.node.begin(), s.node.end());
    py::Ref a = int64_array(nodes), b = int64_array(s.packet_index),
            c = int64_array(s.packet_offset);
    if (!a || !b || !c) return nullptr;
    return PyTuple_Pack(3, a.get(), b.get(), c.get());
}

// The bytes of a variable-size field: `size` bytes from bit `start` of the packet at byte
// `offset` of data (checked by the walk to lie inside it), shifted when the field does not
// start on a byte boundary.
PyObject* field_bytes(std::span<const std::uint8_t> data, std::int64_t offset, std::uint64_t start,
                      std::uint64_t size) {
    const std::uint8_t* p = data.data() + std::uint64_t(offset) + start / 8;
    const unsigned shift = unsigned(start % 8);
    if (shift == 0)
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), Py_ssize_t(size));
    PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size));
    if (out == nullptr) return nullptr;
    auto* q = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out));
    // Off a byte boundary the field's last bits lie in p[size], inside the packet.
    for (std::uint64_t j = 0; j < size; ++j)
        q[j] = std::uint8_t((p[j] << shift) | (p[j + 1] >> (8 - shift)));
    return out;
}

// A column of bytes objects, one a row, from a variable slot's (first bit, size) pairs.
py::Ref bytes_column(std::span<const std::uint8_t> data, const TreeTable& table,
                     std::size_t row_bytes, const TreeColumn& c) {
    const std::uint64_t rows = table.packet_index.size();
    void* cells = nullptr;
    py::Ref array = new_array(rows, "O", cells);
    if (!array) return array;
    auto** objects = static_cast<PyObject**>(cells);
    for (std::uint64_t r = 0; r < rows; ++r) {
        std::uint64_t where[2];
        std::memcpy(where, table.rows.data() + r * row_bytes + c.at, 16);
        PyObject* piece = field_bytes(data, table.packet_offset[r], where[0], where[1]);
        if (piece == nullptr) return py::Ref();
        Py_SETREF(objects[r], piece);
    }
    return array;
}

// (tables, unmatched, truncated, unsupported) of a complete walk.
PyObject* result_object(const TreeState& s, std::span<const std::uint8_t> data,
                        const TreeResult& result) {
    const auto& tables = s.tree.tables();
    const auto& slots = s.tree.slots();
    py::Ref out(PyList_New(Py_ssize_t(tables.size())));
    if (!out) return nullptr;
    for (std::size_t t = 0; t < tables.size(); ++t) {
        const TreeTable& table = result.tables[t];
        const std::uint64_t rows = table.packet_index.size();
        if (rows == 0) {
            Py_INCREF(Py_None);
            PyList_SET_ITEM(out.get(), Py_ssize_t(t), Py_None);
            continue;
        }
        py::Ref dict(PyDict_New());
        if (!dict) return nullptr;
        const std::size_t bytes = s.tree.row_bytes(t);
        // Numeric columns (and positions, int64) of one type as the rows of one block: a
        // table of a thousand columns makes a few arrays, not a thousand. Variable fields
        // are bytes, made after.
        const std::size_t n_columns = tables[t].size();
        std::vector<Store> stores(n_columns);
        for (std::size_t c = 0; c < n_columns; ++c) {
            const TreeSlot& slot = slots[tables[t][c].slot];
            stores[c] = slot.kind == SlotKind::position   ? Store::i64
                        : slot.kind == SlotKind::variable ? Store::object
                                                          : slot.store;
        }
        std::vector<py::Ref> columns;
        std::vector<void*> where;
        if (!new_columns(stores, rows, columns, where)) return nullptr;
        for (std::size_t c = 0; c < n_columns; ++c)
            if (columns[c]) copy_column(table, bytes, tables[t][c], where[c]);
        for (std::size_t c = 0; c < n_columns; ++c) {
            if (!columns[c]) columns[c] = bytes_column(data, table, bytes, tables[t][c]);
            if (!columns[c] ||
                PyDict_SetItem(dict.get(), s.names[t][c].get(), columns[c].get()) < 0)
                return nullptr;
        }
        py::Ref index = int64_array(table.packet_index), offset = int64_array(table.packet_offset);
        if (!index || !offset ||
            PyDict_SetItemString(dict.get(), "packet_index", index.get()) < 0 ||
            PyDict_SetItemString(dict.get(), "packet_offset", offset.get()) < 0)
            return nullptr;
        PyList_SET_ITEM(out.get(), Py_ssize_t(t), dict.release());
    }
    py::Ref unmatched(skips_object(result.unmatched));
    py::Ref truncated(unmatched ? skips_object(result.truncated) : nullptr);
    py::Ref unsupported(truncated ? skips_object(result.unsupported) : nullptr);
    if (!unsupported) return nullptr;
    return PyTuple_Pack(4, out.get(), unmatched.get(), truncated.get(), unsupported.get());
}

// A decode's working memory: its rows, the packets left out, the stream's framing.
struct Work {
    TreeResult result;
    std::vector<std::int64_t> offsets, lengths;

    std::size_t bytes() const {
        std::size_t n = (offsets.capacity() + lengths.capacity()) * 8;
        for (const TreeTable& t : result.tables)
            n += t.rows.capacity() + 16 * t.packet_index.capacity();
        return n;
    }
};

// Working memory of earlier decodes, of any tree, kept for the next ones: rows then land in
// pages already mapped instead of pages the system must fault in on every call (the first
// call of a definition loaded after another included). A few sets, each let go beyond
// 256 MiB, so that one large decode does not hold its memory for good.
std::mutex pool_lock;
std::array<std::unique_ptr<Work>, 4> pool;  // the first `pooled` hold sets
std::size_t pooled = 0;

class Buffers {
  public:
    Buffers() {
        {
            const std::lock_guard<std::mutex> lock(pool_lock);
            if (pooled != 0) work_ = std::move(pool[--pooled]);
        }
        if (!work_) work_ = std::make_unique<Work>();
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    ~Buffers() {
        if (work_->bytes() > (std::size_t{256} << 20)) return;
        const std::lock_guard<std::mutex> lock(pool_lock);
        if (pooled < pool.size()) pool[pooled++] = std::move(work_);
    }
    TreeResult& result() { return work_->result; }
    std::vector<std::int64_t>& offsets() { return work_->offsets; }
    std::vector<std::int64_t>& lengths() { return work_->lengths; }

  private:
    std::unique_ptr<Work> work_;
};

// At load: a set of working memory made ready for this tree (its tables and slots) and
// pooled, so that the first decode too lands in pages already mapped.
void prepare_work(const Tree& tree) {
    Buffers buffers;
    tree.decode({}, nullptr, nullptr, 0, 0, buffers.result());
}

// decode(data, offsets, lengths, first_index, /): None when some packet needs the general
// path; else (tables, unmatched, truncated, unsupported).
PyObject* tree_decode(PyObject* self, PyObject* args) {
    PyObject *data_obj, *offsets_obj, *lengths_obj;
    long long first_index;
    if (!PyArg_ParseTuple(args, "OOOL:decode", &data_obj, &offsets_obj, &lengths_obj, &first_index))
        return nullptr;
    if (first_index < 0 || first_index > (1LL << 62)) {
        PyErr_SetString(PyExc_ValueError, "first_index must be from 0 to 2**62");
        return nullptr;
    }
    TreeState& s = state(self);
    View data, offsets, lengths;
    if (!data.bytes(data_obj, "data") || !values_of(offsets_obj, "offsets", 8, offsets) ||
        !values_of(lengths_obj, "lengths", 8, lengths))
        return nullptr;
    if (offsets.span().size() != lengths.span().size()) {
        PyErr_SetString(PyExc_ValueError, "offsets and lengths must have one length");
        return nullptr;
    }
    try {
        Buffers buffers;
        TreeResult& result = buffers.result();
        const std::uint64_t count = offsets.span().size() / 8;
        without_interpreter([&] {
            s.tree.decode(data.span(), offsets.span().data(), lengths.span().data(), count,
                          first_index, result);
        });
        if (!result.complete) Py_RETURN_NONE;
        return result_object(s, data.span(), result);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// decode_stream(data, skip_header_bytes, max_packets, /): a stream of space packets framed
// and walked in one call: (tables, unmatched, truncated, unsupported, packets, tail); None
// when some packet needs the general path; (offsets, lengths, tail) as int64 arrays when
// the stream holds more than max_packets packets (the column-wise decode is faster there).
PyObject* tree_decode_stream(PyObject* self, PyObject* args) {
    PyObject *data_obj, *skip_obj;
    unsigned long long max_packets;
    if (!PyArg_ParseTuple(args, "OOK:decode_stream", &data_obj, &skip_obj, &max_packets))
        return nullptr;
    TreeState& s = state(self);
    View data;
    std::uint64_t skip;
    if (!data.bytes(data_obj, "data") || !size_argument(skip_obj, "skip_header_bytes", skip))
        return nullptr;
    try {
        Buffers buffers;
        TreeResult& result = buffers.result();
        std::vector<std::int64_t>& offsets = buffers.offsets();
        std::vector<std::int64_t>& lengths = buffers.lengths();
        offsets.clear();
        lengths.clear();
        std::uint64_t tail = 0;
        without_interpreter([&] {
            // Each header is read once, here; the walk checks every packet again against
            // the data's size, so a buffer rewritten meanwhile only changes values.
            tail = walk_space_packets(data.span(), 0, skip,
                                      [&](std::uint64_t at, const SpacePacketHeader& h) {
                                          offsets.push_back(std::int64_t(at));
                                          lengths.push_back(std::int64_t(h.length));
                                      });
            if (offsets.size() > max_packets) return;
            s.tree.decode(data.span(), reinterpret_cast<const std::uint8_t*>(offsets.data()),
                          reinterpret_cast<const std::uint8_t*>(lengths.data()), offsets.size(), 0,
                          result);
        });
        if (offsets.size() > max_packets) {
            py::Ref o = int64_array(offsets), l = int64_array(lengths);
            py::Ref t(o && l ? PyLong_FromUnsignedLongLong(tail) : nullptr);
            if (!t) return nullptr;
            return PyTuple_Pack(3, o.get(), l.get(), t.get());
        }
        if (!result.complete) Py_RETURN_NONE;
        py::Ref got(result_object(s, data.span(), result));
        py::Ref packets(got ? PyLong_FromSize_t(offsets.size()) : nullptr);
        py::Ref tail_obj(packets ? PyLong_FromUnsignedLongLong(tail) : nullptr);
        if (!tail_obj) return nullptr;
        PyObject* t = got.get();
        return PyTuple_Pack(6, PyTuple_GET_ITEM(t, 0), PyTuple_GET_ITEM(t, 1),
                            PyTuple_GET_ITEM(t, 2), PyTuple_GET_ITEM(t, 3), packets.get(),
                            tail_obj.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A slot's value as a Python object: a number for numeric slots, the field's first bit for
// position slots.
PyObject* slot_object(const TreeSlot& slot, std::uint64_t value) {
    switch (slot.kind) {
        case SlotKind::position: return PyLong_FromUnsignedLongLong(value);
        case SlotKind::variable:  // made by the caller, from the packet
            return py::raise_internal_fault("a variable field's bytes were asked of its slot");
        case SlotKind::numeric: break;
    }
    switch (slot.store) {
        case Store::u8:
        case Store::u16:
        case Store::u32:
        case Store::u64: return PyLong_FromUnsignedLongLong(value);
        case Store::f32: {
            float f;
            const auto bits = std::uint32_t(value);
            std::memcpy(&f, &bits, 4);
            return PyFloat_FromDouble(double(f));
        }
        case Store::f64: {
            double d;
            std::memcpy(&d, &value, 8);
            return PyFloat_FromDouble(d);
        }
        default: return PyLong_FromLongLong(static_cast<long long>(std::int64_t(value)));
    }
}

// decode_one(packet, /): (outcome, node, values) for one whole packet: outcome 0 with the
// table's values as a dict, or 1 unmatched, 2 truncated, 3 unsupported (values None, node
// where it stopped), or None when the packet needs the general path (its size is not the
// one its primary header gives, or a field does not decode).
PyObject* tree_decode_one(PyObject* self, PyObject* arg) {
    TreeState& s = state(self);
    View data;
    if (!data.bytes(arg, "packet")) return nullptr;
    const std::span<const std::uint8_t> packet = data.span();
    if (packet.size() < 6 || packet.size() != 7 + ((std::size_t(packet[4]) << 8) | packet[5]))
        Py_RETURN_NONE;
    const Tree::Outcome o = s.tree.walk(packet, s.marks++, s.scratch);
    if (o.kind == Tree::Outcome::general) Py_RETURN_NONE;
    if (o.kind != Tree::Outcome::table) return Py_BuildValue("(iIO)", int(o.kind), o.node, Py_None);
    const std::size_t t = std::size_t(s.tree.table_of(o.node));
    const auto& columns = s.tree.tables()[t];
    py::Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const std::uint32_t slot = columns[c].slot;
        const TreeSlot& kind = s.tree.slots()[slot];
        py::Ref value(kind.kind == SlotKind::variable
                          ? field_bytes(packet, 0, s.scratch.values[slot], s.scratch.sizes[slot])
                          : slot_object(kind, s.scratch.values[slot]));
        if (!value || PyDict_SetItem(dict.get(), s.names[t][c].get(), value.get()) < 0)
            return nullptr;
    }
    return Py_BuildValue("(iIN)", 0, o.node, dict.release());
}

// cut(data, offsets, positions, size, /): a column of bytes objects, row i the `size` bytes
// from bit positions[i] of the packet at byte offsets[i] of data (int64 values): the fixed
// binary fields of a table, whose first bits the walk gave.
PyObject* tree_cut(PyObject*, PyObject* args) {
    PyObject *data_obj, *offsets_obj, *positions_obj;
    unsigned long long size;
    if (!PyArg_ParseTuple(args, "OOOK:cut", &data_obj, &offsets_obj, &positions_obj, &size))
        return nullptr;
    View data, offsets, positions;
    if (!data.bytes(data_obj, "data") || !values_of(offsets_obj, "offsets", 8, offsets) ||
        !values_of(positions_obj, "positions", 8, positions))
        return nullptr;
    if (offsets.span().size() != positions.span().size()) {
        PyErr_SetString(PyExc_ValueError, "offsets and positions must have one length");
        return nullptr;
    }
    const std::span<const std::uint8_t> bytes = data.span();
    const std::uint64_t rows = offsets.span().size() / 8;
    void* cells = nullptr;
    py::Ref array = new_array(rows, "O", cells);
    if (!array) return nullptr;
    auto** objects = static_cast<PyObject**>(cells);
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::int64_t off = index_at(offsets.span().data(), r);
        const std::int64_t bit = index_at(positions.span().data(), r);
        // The field's bytes, and one more where it does not start on a byte, inside data.
        const std::uint64_t room =
            off < 0 || std::uint64_t(off) > bytes.size() ? 0 : bytes.size() - std::uint64_t(off);
        const std::uint64_t left =
            bit < 0 || std::uint64_t(bit) / 8 > room ? 0 : room - std::uint64_t(bit) / 8;
        if (off < 0 || bit < 0 || std::uint64_t(bit) / 8 > room || size > left ||
            (bit % 8 != 0 && size == left)) {
            PyErr_Format(PyExc_ValueError,
                         "row %llu: %llu bytes from bit %lld of the packet at byte %lld lie "
                         "outside the data (%zu bytes)",
                         static_cast<unsigned long long>(r), size, static_cast<long long>(bit),
                         static_cast<long long>(off), bytes.size());
            return nullptr;
        }
        PyObject* piece = field_bytes(bytes, off, std::uint64_t(bit), size);
        if (piece == nullptr) return nullptr;
        Py_SETREF(objects[r], piece);
    }
    return array.release();
}

PyMethodDef tree_methods[] = {
    {"cut", tree_cut, METH_VARARGS,
     "cut($self, data, offsets, positions, size, /)\n--\n\n"
     "A column of bytes objects: row i the size bytes from bit positions[i] of the packet\n"
     "at byte offsets[i] of data (int64 values). ValueError where one lies outside data."},
    {"decode_one", tree_decode_one, METH_O,
     "decode_one($self, packet, /)\n--\n\n"
     "One whole packet: (0, node, values) where it reaches a table, (kind, node, None) where\n"
     "it is left out (1 unmatched, 2 truncated, 3 unsupported), None where it needs the\n"
     "general path."},
    {"decode_stream", tree_decode_stream, METH_VARARGS,
     "decode_stream($self, data, skip_header_bytes, max_packets, /)\n--\n\n"
     "Frames a stream of space packets (each behind skip_header_bytes of record header) and\n"
     "decodes them: (tables, unmatched, truncated, unsupported, packets, tail), or None when\n"
     "some packet needs the general path, or (offsets, lengths, tail) beyond max_packets."},
    {"decode", tree_decode, METH_VARARGS,
     "decode($self, data, offsets, lengths, first_index, /)\n--\n\n"
     "Decodes the packets at offsets (int64, bytes from data's start) of lengths bytes:\n"
     "None when some packet needs the general path, else (tables, unmatched, truncated,\n"
     "unsupported): each table a dict of columns with packet_index and packet_offset, or\n"
     "None when no packet reached it; each of the others (nodes, packet_index,\n"
     "packet_offset) as int64 arrays, or None when no packet is of that kind."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tree_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_methods, tree_methods},
    {Py_tp_doc, const_cast<char*>(
                    "_Tree(layouts, program, reals, names, /)\n--\n\n"
                    "A container tree compiled by bitweave_columns.xtce: the runs' Layouts, the\n"
                    "program as int64 words, its real numbers as float64, and each table's\n"
                    "column names. A program that does not describe a tree raises ValueError.")},
    {0, nullptr},
};

PyType_Spec tree_spec = {"bitweave_columns._columns._Tree", sizeof(TreeObject), 0,
                         Py_TPFLAGS_DEFAULT, tree_slots};

}  // namespace

bool add_tree_type(PyObject* module) { return add_type(module, tree_spec, "_Tree"); }

}  // namespace bitweave::columns

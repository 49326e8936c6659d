// The interpreter side shared by every function of the module: argument binding, the
// conversions that need more than a few lines, and the one place where a CodecError
// becomes a Python exception.
#include "pyconv.hpp"

#include <cstring>
#include <string>

#include "core/field.hpp"

namespace bitweave {

namespace py {

Names names;

namespace {

// The pending exception as a normalized instance (with its traceback attached).
Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref(value);
#endif
}

void restore_exception(Ref exc) {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    Py_INCREF(type);
    PyObject* tb = PyException_GetTraceback(exc.get());
    PyErr_Restore(type, exc.release(), tb);
#endif
}

}  // namespace

bool clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

namespace {

// A type's __qualname__ for an error text, or a stand-in when it cannot be read. False
// when reading it raised something that is not an Exception (an interrupt raised by a
// metaclass hook, say), which is left pending to pass through.
bool type_qualname(PyObject* type, std::string& out) {
    Ref q(PyObject_GetAttr(type, names.qualname));
    const char* s = q ? PyUnicode_AsUTF8(q.get()) : nullptr;
    if (s != nullptr) {
        out = s;
        return true;
    }
    if (!clear_ordinary_error()) return false;
    out = "<failed to extract type name>";
    return true;
}

void set_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

std::string quoted_list(const FunctionDescription& d, PyObject** out, Py_ssize_t from,
                        Py_ssize_t to, Py_ssize_t& count) {
    const char* missing[3];
    count = 0;
    for (Py_ssize_t i = from; i < to; ++i)
        if (out[i] == nullptr) missing[count++] = d.params[i];
    std::string s;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i != 0) {
            if (count > 2) s += ',';
            s += i == count - 1 ? " and " : " ";
        }
        s += '\'';
        s += missing[i];
        s += '\'';
    }
    return s;
}

}  // namespace

bool bind(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    const std::string fname = std::string(d.name) + "()";
    if (nargs > d.count) {
        const char* verb = nargs == 1 ? "was" : "were";
        if (d.required != d.count)
            set_type_error(fname + " takes from " + std::to_string(d.required) + " to " +
                           std::to_string(d.count) + " positional arguments but " +
                           std::to_string(nargs) + " " + verb + " given");
        else
            set_type_error(fname + " takes " + std::to_string(d.count) +
                           " positional arguments but " + std::to_string(nargs) + " " + verb +
                           " given");
        return false;
    }
    for (Py_ssize_t i = 0; i < d.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        // Compared as text, never encoded: a name that UTF-8 cannot hold (a lone surrogate)
        // or that holds a NUL is simply not a parameter's name.
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < d.count && PyUnicode_CompareWithASCIIString(key, d.params[i]) != 0) ++i;
        if (i == d.count) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         fname.c_str(), key);
            return false;
        }
        if (out[i] != nullptr) {
            set_type_error(fname + " got multiple values for argument '" + d.params[i] + "'");
            return false;
        }
        out[i] = args[nargs + k];
    }
    if (nargs < d.required) {
        Py_ssize_t count;
        const std::string list = quoted_list(d, out, nargs, d.required, count);
        if (count > 0) {
            set_type_error(fname + " missing " + std::to_string(count) + " required positional " +
                           (count == 1 ? "argument" : "arguments") + ": " + list);
            return false;
        }
    }
    return true;
}

void refuse(PyObject* obj, const char* required) {
    std::string tname;
    if (!type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(obj)), tname)) return;
    set_type_error("'" + tname + "' object cannot be cast as '" + required + "'");
}

void reraise_argument_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref first = fetch_exception();
    if (!first || Py_TYPE(first.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(first));  // a subclass passes through unchanged
        return;
    }
    Ref text(PyObject_Str(first.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref remapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!remapped) return;
    if (PyObject* cause = PyException_GetCause(first.get()))  // new reference
        PyException_SetCause(remapped.get(), cause);          // steals it
    restore_exception(std::move(remapped));
}

namespace {

PyObject* exception_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::value_error: return PyExc_ValueError;
        case ErrorKind::key_error: return PyExc_KeyError;
        case ErrorKind::type_error: return PyExc_TypeError;
        case ErrorKind::overflow_error: return PyExc_OverflowError;
        case ErrorKind::not_implemented_error: return PyExc_NotImplementedError;
        case ErrorKind::memory_error: return PyExc_MemoryError;
        case ErrorKind::none:
        case ErrorKind::python: break;
    }
    return PyExc_SystemError;
}

PyObject* panic_type = nullptr;  // created on first use, under the interpreter lock

}  // namespace

PyObject* raise(const CodecError& e) {
    if (e.kind == ErrorKind::python) {
        if (!PyErr_Occurred()) return raise_internal_fault("error reported without an exception");
        return nullptr;
    }
    const std::string_view message = e.message();
    Ref text(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    if (text) PyErr_SetObject(exception_class(e.kind), text.get());
    return nullptr;
}

PyObject* raise_wrapped(const CodecError& e) {
    if (e.kind != ErrorKind::python) raise(e);
    if (!PyErr_Occurred()) return raise_internal_fault("error reported without an exception");
    Ref inner = fetch_exception();
    if (!inner) return nullptr;
    // KeyboardInterrupt, SystemExit and the like are not errors of the recipe: they keep
    // their own class, so that an interrupt still interrupts.
    if (!PyObject_TypeCheck(inner.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        restore_exception(std::move(inner));
        return nullptr;
    }
    std::string cls;
    if (!type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(inner.get())), cls)) return nullptr;
    Ref text(PyObject_Str(inner.get()));
    if (!text) {
        if (!clear_ordinary_error()) return nullptr;
        text = Ref(PyUnicode_FromString("<exception str() failed>"));
        if (!text) return nullptr;
    }
    // The interpreter's own MemoryError carries no text; say what it means.
    if (PyUnicode_GET_LENGTH(text.get()) == 0 &&
        PyErr_GivenExceptionMatches(inner.get(), PyExc_MemoryError)) {
        text = Ref(PyUnicode_FromString("out of memory"));
        if (!text) return nullptr;
    }
    PyErr_Format(PyExc_ValueError, "%s: %U", cls.c_str(), text.get());
    return nullptr;
}

namespace {

// The text of a note on the item at `place`, or an empty Ref with an exception pending.
Ref item_note(const ItemPlace& place) {
    std::string note = "recipe item " + std::to_string(place.index);
    if (PyDict_Check(place.item)) {
        PyObject* name = PyDict_GetItemWithError(place.item, names.name);  // borrowed
        if (name == nullptr && PyErr_Occurred()) {
            if (!clear_ordinary_error()) return Ref();
        } else if (name != nullptr && PyUnicode_Check(name)) {
            // str's own repr, which a subclass cannot change.
            Ref quoted(PyUnicode_Type.tp_repr(name));
            const char* text = quoted ? PyUnicode_AsUTF8(quoted.get()) : nullptr;
            if (text == nullptr) return Ref();
            note += " (" + std::string(text) + ")";
        }
    }
    if (place.past_end) {
        const std::uint64_t end = place.start.end_byte(place.bits);
        const bool starts_out = place.start.byte > place.packet_size;
        note += std::string(starts_out ? " starts at byte " : " ends at byte ") +
                std::to_string(starts_out ? place.start.byte : end) + "; the packet has " +
                std::to_string(place.packet_size) + " bytes";
    } else if (place.has_bits && place.bits == 0) {
        note += ", no bits, at bit " + bit_number_text(place.start);
    } else if (place.has_bits) {
        note += ", bits " + bit_number_text(place.start) + " to " +
                bit_number_text(place.start.plus(place.bits - 1));
    }
    return Ref(PyUnicode_FromStringAndSize(note.data(), Py_ssize_t(note.size())));
}

bool attach_note(PyObject* exc, PyObject* note) {
#if PY_VERSION_HEX >= 0x030B0000
    Ref done(PyObject_CallMethod(exc, "add_note", "O", note));
    return bool(done);
#else
    // What add_note does on later versions: append to the __notes__ list.
    Ref notes(PyObject_GetAttrString(exc, "__notes__"));
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        notes = Ref(PyList_New(0));
        if (!notes || PyObject_SetAttrString(exc, "__notes__", notes.get()) < 0) return false;
    }
    if (!PyList_Check(notes.get())) {
        PyErr_SetString(PyExc_TypeError, "Cannot add note: __notes__ is not a list");
        return false;
    }
    return PyList_Append(notes.get(), note) == 0;
#endif
}

}  // namespace

PyObject* add_item_note(const ItemPlace& place) {
    if (place.item == nullptr || !PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = fetch_exception();
    if (!exc) return nullptr;
    Ref note = item_note(place);
    // A note that cannot be made gives way to the error it was for, unless what stopped
    // it is an interrupt, which passes through instead.
    if (!note || !attach_note(exc.get(), note.get())) {
        if (!clear_ordinary_error()) return nullptr;
    }
    restore_exception(std::move(exc));
    return nullptr;
}

bool intern_names() {
    struct {
        PyObject** slot;
        const char* text;
    } const table[] = {
        {&names.name, "name"},
        {&names.encoding, "encoding"},
        {&names.bits, "bits"},
        {&names.byte_order, "byte_order"},
        {&names.reverse_bits, "reverse_bits"},
        {&names.offset_bits, "offset_bits"},
        {&names.value, "value"},
        {&names.qualname, "__qualname__"},
        {&names.module, "__module__"},
        {&names.dunder_name, "__name__"},
    };
    for (const auto& e : table)
        if (*e.slot == nullptr && (*e.slot = PyUnicode_InternFromString(e.text)) == nullptr)
            return false;
    if (names.str_lower == nullptr) {
        names.str_lower =
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
        if (names.str_lower == nullptr) return false;
    }
    return true;
}

void forget_interpreter_objects() {
    names = Names{};
    panic_type = nullptr;
}

PyObject* raise_internal_fault(const char* text) {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("bitweave.PanicException",
                                               "An internal fault of bitweave (a bug).",
                                               PyExc_BaseException, nullptr);
        if (panic_type == nullptr) return nullptr;
    }
    PyErr_SetString(panic_type, text);
    return nullptr;
}

bool to_u128(PyObject* o, U128& out) {
    Ref idx(PyNumber_Index(o));
    if (!idx) return false;
    unsigned char buf[16];
#if PY_VERSION_HEX >= 0x030D0000
    const int rc =
        _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(idx.get()), buf, 16, 1, 0, 1);
#else
    const int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(idx.get()), buf, 16, 1, 0);
#endif
    if (rc < 0) return false;
    out = {};
    for (int i = 7; i >= 0; --i) out.lo = (out.lo << 8) | buf[i];
    for (int i = 15; i >= 8; --i) out.hi = (out.hi << 8) | buf[i];
    return true;
}

bool to_flag_slow(PyObject* o, bool& out) {
    // numpy's bool scalars are accepted through their truth value; nothing else is.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    bool numpy_bool = false;
    {
        Ref mod(PyObject_GetAttr(type, names.module));
        // Never call into the interpreter with the first lookup's exception pending.
        Ref nm(mod ? PyObject_GetAttr(type, names.dunder_name) : nullptr);
        if (mod && nm && PyUnicode_Check(mod.get()) && PyUnicode_Check(nm.get()))
            numpy_bool = PyUnicode_CompareWithASCIIString(mod.get(), "numpy") == 0 &&
                         (PyUnicode_CompareWithASCIIString(nm.get(), "bool_") == 0 ||
                          PyUnicode_CompareWithASCIIString(nm.get(), "bool") == 0);
        if (PyErr_Occurred() && !clear_ordinary_error()) return false;
    }
    if (!numpy_bool) {
        refuse(o, "bool");
        return false;
    }
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_bool == nullptr) {
        std::string tname;
        if (type_qualname(type, tname))
            set_type_error("object of type '" + tname +
                           "' does not define a '__bool__' conversion");
        return false;
    }
    const int r = nb->nb_bool(o);
    if (r < 0) return false;
    out = r == 1;
    return true;
}

Recipe::~Recipe() {
    for (std::size_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
    if (items_ != inline_) PyMem_Free(items_);
}

bool Recipe::reserve(std::size_t cap) {
    if (cap <= capacity_) return true;
    if (cap > PY_SSIZE_T_MAX / sizeof(PyObject*)) {
        PyErr_NoMemory();
        return false;
    }
    auto** grown = static_cast<PyObject**>(PyMem_Malloc(cap * sizeof(PyObject*)));
    if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(grown, items_, size_ * sizeof(PyObject*));
    if (items_ != inline_) PyMem_Free(items_);
    items_ = grown;
    capacity_ = cap;
    return true;
}

bool Recipe::push(PyObject* owned) {
    if (size_ == capacity_ && !reserve(capacity_ * 2)) {
        Py_DECREF(owned);
        return false;
    }
    items_[size_++] = owned;
    return true;
}

bool Recipe::collect(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        set_type_error("Can't extract `str` to `Vec`");
        return false;
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // The same elements that iteration gives, read without an iterator object, into
        // storage of the final size (nothing here can run code that resizes the list).
        if (!reserve(std::size_t(PySequence_Fast_GET_SIZE(obj)))) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(obj, i);
            Py_INCREF(item);
            if (!push(item)) return false;
        }
        return true;
    }
    if (!PySequence_Check(obj)) {
        refuse(obj, "Sequence");
        return false;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it.get()))
        if (!push(item)) return false;
    return !PyErr_Occurred();
}

PyObject* str_from_utf8(std::span<const std::uint8_t> bytes, CodecError& err) {
    PyObject* s = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes.data()),
                                       Py_ssize_t(bytes.size()), "strict");
    if (s != nullptr) return s;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return err = CodecError::pending(), nullptr;
    PyErr_Clear();
    const Utf8Check check = check_utf8(bytes.data(), bytes.size());
    if (check.valid) {
        raise_internal_fault("the interpreter refused UTF-8 that the validator accepts");
        return err = CodecError::pending(), nullptr;
    }
    err = value_error("Invalid UTF-8 bytes: " + utf8_fault_text(check));
    return nullptr;
}

}  // namespace py

}  // namespace bitweave

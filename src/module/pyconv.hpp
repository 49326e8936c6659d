// The interpreter side of every module function: owned references,
// interned names, argument binding, argument conversions, result conversions and the one
// place where a CodecError becomes a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/bits.hpp"
#include "core/charsets.hpp"
#include "core/errors.hpp"

namespace bitweave::py {

// An owned (strong) reference.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject* p_ = nullptr;
};

// Interned strings, made once at import and kept for the life of the process.
struct Names {
    PyObject* name;
    PyObject* encoding;
    PyObject* bits;
    PyObject* byte_order;
    PyObject* reverse_bits;
    PyObject* offset_bits;
    PyObject* value;
    PyObject* qualname;
    PyObject* module;
    PyObject* dunder_name;
    PyObject* str_lower;  // the unbound str.lower
};
extern Names names;

// Makes the names above, once per interpreter; false with an exception set.
bool intern_names();

// Drops every pointer to an interpreter object that this side keeps between calls (the
// names above, the fault class), without touching the objects: for the end of the
// interpreter's life.
void forget_interpreter_objects();

// How a function's arguments are bound: every parameter may be given by position or by
// keyword; the parameters from `required` on have the default False.
struct FunctionDescription {
    const char* name;
    const char* params[3];
    Py_ssize_t count;
    Py_ssize_t required;
};

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct ModuleFunction {
    const FunctionDescription* description;
    FastCall entry;
};

// Binds args/kwnames to the description's parameters in `out` (nullptr where an optional
// parameter was not given). On failure a TypeError is set and false returned.
bool bind(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// Sets TypeError "'{type}' object cannot be cast as '{required}'".
void refuse(PyObject* obj, const char* required);
// Re-raises a pending exception of class exactly TypeError as "argument '{param}': {text}".
void reraise_argument_error(const char* param);

// Clears the pending exception when it is an Exception and returns true; an exception that
// is not (KeyboardInterrupt, SystemExit) stays pending, to pass through, and gives false.
bool clear_ordinary_error();

// Raises a codec error as its own class; returns nullptr.
PyObject* raise(const CodecError& e);
// Raises a packet routine's error as ValueError "{ClassName}: {str(exc)}"; returns nullptr.
PyObject* raise_wrapped(const CodecError& e);
// Where a packet walk stopped, for the note that an error of a recipe item carries. The
// walk keeps it current as it goes; nothing is formatted unless an error needs it.
struct ItemPlace {
    PyObject* item = nullptr;  // borrowed from the walk's Recipe; nullptr before any item
    std::size_t index = 0;
    bool has_bits = false;  // start and bits are known
    BitPos start;           // counted from the first bit of the packet's bytes
    std::uint64_t bits = 0;
    bool past_end = false;  // the field does not lie inside the packet of packet_size bytes
    std::size_t packet_size = 0;

    void at(PyObject* it, std::size_t i) {
        item = it;
        index = i;
        has_bits = past_end = false;
    }
    void field(BitPos s, std::uint64_t n) {
        start = s;
        bits = n;
        has_bits = true;
    }
};

// Adds to the pending exception, when it is an Exception and the walk was inside an item,
// one note naming the item: "recipe item 3 ('temp'), bits 40 to 47". Returns nullptr.
PyObject* add_item_note(const ItemPlace& place);

// Raises an internal fault (never caused by a caller's input); returns nullptr.
PyObject* raise_internal_fault(const char* text);

// ---- Conversions. Each returns false with the interpreter's exception set. ----

inline bool to_u64(PyObject* o, std::uint64_t& out) {
    if (PyLong_Check(o)) {
        out = PyLong_AsUnsignedLongLong(o);
        return !(out == std::uint64_t(-1) && PyErr_Occurred());
    }
    Ref idx(PyNumber_Index(o));
    if (!idx) return false;
    out = PyLong_AsUnsignedLongLong(idx.get());
    return !(out == std::uint64_t(-1) && PyErr_Occurred());
}

inline bool to_i64(PyObject* o, std::int64_t& out) {
    if (PyLong_Check(o)) {
        out = PyLong_AsLongLong(o);
        return !(out == -1 && PyErr_Occurred());
    }
    Ref idx(PyNumber_Index(o));
    if (!idx) return false;
    out = PyLong_AsLongLong(idx.get());
    return !(out == -1 && PyErr_Occurred());
}

inline bool to_size(PyObject* o, std::size_t& out) {
    std::uint64_t v;
    if (!to_u64(o, v)) return false;
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (v > SIZE_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    out = std::size_t(v);
    return true;
}

struct U128 {
    std::uint64_t lo = 0, hi = 0;
};
bool to_u128(PyObject* o, U128& out);

inline bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_flag_slow(PyObject* o, bool& out);
inline bool to_flag(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    return to_flag_slow(o, out);
}

// The text of a str as UTF-8, valid while the caller holds a reference to o.
inline bool to_text(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        refuse(o, "str");
        return false;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) return false;
    out = std::string_view(s, std::size_t(n));
    return true;
}

inline bool to_byte_string(PyObject* o, std::span<const std::uint8_t>& out) {
    if (!PyBytes_Check(o)) {
        refuse(o, "bytes");
        return false;
    }
    out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o)),
           std::size_t(PyBytes_GET_SIZE(o))};
    return true;
}

// The recipe's elements, each held by a strong reference for the whole call, so that
// code run by a lookup cannot free an item under us by changing the recipe.
class Recipe {
  public:
    Recipe() = default;
    Recipe(const Recipe&) = delete;
    Recipe& operator=(const Recipe&) = delete;
    ~Recipe();
    bool collect(PyObject* obj);  // the conversion of a `recipe` argument
    PyObject* const* begin() const { return items_; }
    PyObject* const* end() const { return items_ + size_; }
    std::size_t size() const { return size_; }

  private:
    bool reserve(std::size_t cap);
    bool push(PyObject* owned);
    PyObject* inline_[32];
    PyObject** items_ = inline_;
    std::size_t size_ = 0, capacity_ = 32;
};

// ---- Argument kinds, for the generic entry below. ----

struct U64 {
    using type = std::uint64_t;
    static bool convert(PyObject* o, type& out) { return to_u64(o, out); }
};
struct I64 {
    using type = std::int64_t;
    static bool convert(PyObject* o, type& out) { return to_i64(o, out); }
};
struct Size {
    using type = std::size_t;
    static bool convert(PyObject* o, type& out) { return to_size(o, out); }
};
struct UInt128 {
    using type = U128;
    static bool convert(PyObject* o, type& out) { return to_u128(o, out); }
};
struct Double {
    using type = double;
    static bool convert(PyObject* o, type& out) { return to_double(o, out); }
};
struct Single {
    using type = float;
    static bool convert(PyObject* o, type& out) {
        double d;
        if (!to_double(o, d)) return false;
        out = static_cast<float>(d);  // nearest, ties to even; out of range becomes infinity
        return true;
    }
};
// A flag whose default, when the argument is not given, is False.
struct Flag {
    using type = bool;
    static bool convert(PyObject* o, type& out) {
        if (o == nullptr) {
            out = false;
            return true;
        }
        return to_flag(o, out);
    }
};
struct Text {
    using type = std::string_view;
    static bool convert(PyObject* o, type& out) { return to_text(o, out); }
};
struct ByteString {
    using type = std::span<const std::uint8_t>;
    static bool convert(PyObject* o, type& out) { return to_byte_string(o, out); }
};

// ---- Results. ----

inline PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(float v) { return PyFloat_FromDouble(double(v)); }
template <class T>
PyObject* to_python(Result<T>&& r) {
    if (!r.ok()) return raise(r.error());
    return to_python(std::move(r.value()));
}

// ---- The generic module-function entry. ----

template <class K>
bool convert_argument(const FunctionDescription& d, std::size_t i, PyObject* o,
                      typename K::type& out) {
    if (K::convert(o, out)) return true;
    reraise_argument_error(d.params[i]);
    return false;
}

template <class... K, class F, std::size_t... I>
PyObject* convert_and_call(const FunctionDescription& d, PyObject* const* a, F routine,
                           std::index_sequence<I...>) {
    std::tuple<typename K::type...> v;
    if (!(convert_argument<K>(d, I, a[I], std::get<I>(v)) && ...)) return nullptr;
    return to_python(routine(std::get<I>(v)...));
}

// Binds the call's arguments, converts them in parameter order, calls the routine and
// converts its result or raises its error.
template <class... K, class F>
PyObject* call(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, F routine) {
    constexpr std::size_t n = sizeof...(K);
    PyObject* bound[n];
    PyObject* const* a = args;
    if (kwnames != nullptr || nargs != Py_ssize_t(n)) {  // the positional path skips binding
        if (!bind(d, args, nargs, kwnames, bound)) return nullptr;
        a = bound;
    }
    try {
        return convert_and_call<K...>(d, a, routine, std::index_sequence_for<K...>{});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return raise_internal_fault("unexpected internal error");
    }
}

// A module function's fast-call entry: description, routine and argument kinds fixed at
// compile time.
template <const FunctionDescription& D, auto Routine, class... K>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call<K...>(D, args, nargs, kwnames, Routine);
}

// A reserved format: the argument is converted, then the call always fails.
template <const char* Message, class T>
Result<std::uint64_t> not_implemented_yet(T) {
    return not_implemented(Message);
}

// ---- Text results. ----

// A str from UTF-8 bytes, made by the interpreter's own strict decoder; when it refuses
// them, the core's validator names the fault. Nullptr with err set on failure.
PyObject* str_from_utf8(std::span<const std::uint8_t> bytes, CodecError& err);

// A result already made as a Python object.
inline PyObject* to_python(Ref&& obj) { return obj.release(); }

// Text that a decoder produced as UTF-8; it becomes a str.
struct Utf8Text {
    std::string text;
};
inline PyObject* to_python(Utf8Text&& t) {
    return PyUnicode_FromStringAndSize(t.text.data(), Py_ssize_t(t.text.size()));
}

// A bytes object that an encoder writes into directly, so that its output is not copied.
class NewBytes final : public ByteSink {
  public:
    std::uint8_t* room(std::size_t n) override {
        if (n > std::size_t(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        obj_ = Ref(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n)));
        if (!obj_) throw std::bad_alloc();
        return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(obj_.get()));
    }
    PyObject* release() { return obj_.release(); }

  private:
    Ref obj_;
};
inline PyObject* to_python(NewBytes&& b) {
    PyObject* obj = b.release();
    return obj != nullptr ? obj : raise_internal_fault("an encoder returned without its output");
}

}  // namespace bitweave::py

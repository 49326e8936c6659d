// Module entry: the two packet functions' argument handling, the function table, and the
// module object.
#include <atomic>
#include <cstring>
#include <string>

#include "packet.hpp"
#include "pyconv.hpp"

namespace bitweave {

namespace {

using py::FunctionDescription;

constexpr FunctionDescription unpack_parameters_description{
    "unpack_parameters", {"packet_bytes", "offset_bits", "recipe"}, 3, 3};
constexpr FunctionDescription pack_parameters_description{"pack_parameters", {"recipe"}, 1, 1};

// Runs a packet walk over the recipe. An error is raised wrapped, with a note naming the
// item it came from; memory running out inside the walk is such an error too.
template <class Walk>
PyObject* walk(Walk run) {
    CodecError err;
    py::ItemPlace place;
    PyObject* result;
    try {
        result = run(err, place);
    } catch (const std::bad_alloc&) {
        err = {ErrorKind::memory_error, "out of memory"};
        result = nullptr;
    }
    if (result != nullptr) return result;
    py::raise_wrapped(err);
    return py::add_item_note(place);
}

PyObject* unpack_parameters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto& d = unpack_parameters_description;
    PyObject* bound[3];
    PyObject* const* a = args;
    if (kwnames != nullptr || nargs != 3) {
        if (!py::bind(d, args, nargs, kwnames, bound)) return nullptr;
        a = bound;
    }
    try {
        std::span<const std::uint8_t> packet;
        std::size_t offset;
        py::Recipe recipe;
        if (!py::to_byte_string(a[0], packet))
            return py::reraise_argument_error(d.params[0]), nullptr;
        if (!py::to_size(a[1], offset)) return py::reraise_argument_error(d.params[1]), nullptr;
        if (!recipe.collect(a[2])) return py::reraise_argument_error(d.params[2]), nullptr;
        return walk([&](CodecError& err, py::ItemPlace& place) {
            return process_recipe(packet, offset, recipe, err, place);
        });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return py::raise_internal_fault("unexpected internal error");
    }
}

PyObject* pack_parameters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto& d = pack_parameters_description;
    PyObject* bound[1];
    PyObject* const* a = args;
    if (kwnames != nullptr || nargs != 1) {
        if (!py::bind(d, args, nargs, kwnames, bound)) return nullptr;
        a = bound;
    }
    try {
        py::Recipe recipe;
        if (!recipe.collect(a[0])) return py::reraise_argument_error(d.params[0]), nullptr;
        return walk([&](CodecError& err, py::ItemPlace& place) {
            return build_packet(recipe, err, place);
        });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return py::raise_internal_fault("unexpected internal error");
    }
}

constexpr py::ModuleFunction packet_functions[] = {
    {&unpack_parameters_description, unpack_parameters},
    {&pack_parameters_description, pack_parameters},
};

// The method entries and their text signatures live for the whole process: the function
// objects made from them keep pointers into both.
PyMethodDef method_defs[max_function_count];
std::string signatures[max_function_count];

std::string text_signature(const FunctionDescription& d) {
    std::string s = std::string(d.name) + "(";
    for (Py_ssize_t i = 0; i < d.count; ++i) {
        if (i != 0) s += ", ";
        s += d.params[i];
        if (i >= d.required) s += "=False";
    }
    return s + ")\n--\n\n";
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "bitweave", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<std::int64_t> first_interpreter{-1};
PyObject* module_object = nullptr;

// Runs at the very end of the interpreter's finalisation, when calling into it is no
// longer allowed: only the pointers to its objects are dropped.
void forget_interpreter() {
    module_object = nullptr;
    py::forget_interpreter_objects();
    first_interpreter = -1;
}

bool add_function(PyObject* module, PyObject* all, std::size_t slot, const py::ModuleFunction& f) {
    signatures[slot] = text_signature(*f.description);
    method_defs[slot] = {f.description->name,
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.entry)),
                         METH_FASTCALL | METH_KEYWORDS, signatures[slot].c_str()};
    py::Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    py::Ref fn(PyCMethod_New(&method_defs[slot], module, module_name.get(), nullptr));
    if (!fn) return false;
    py::Ref name(PyObject_GetAttr(fn.get(), py::names.dunder_name));
    if (!name) return false;
    if (PyList_Append(all, name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), fn.get()) == 0;
}

PyObject* create_module() {
    if (!py::intern_names()) return nullptr;
    py::Ref module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return nullptr;
    py::Ref all(PyList_New(0));
    if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
    std::size_t slot = 0;
    using Table = std::span<const py::ModuleFunction>;
    for (Table table : {Table(packet_functions), decoder_number_functions, decoder_text_functions,
                        encoder_number_functions, encoder_text_functions})
        for (const auto& f : table) {
            if (slot == max_function_count) return py::raise_internal_fault("too many functions");
            if (!add_function(module.get(), all.get(), slot++, f)) return nullptr;
        }
    return module.release();
}

}  // namespace

}  // namespace bitweave

PyMODINIT_FUNC PyInit_bitweave() {
    using namespace bitweave;
    try {
        PyInterpreterState* interp = PyInterpreterState_Get();
        const std::int64_t id = interp != nullptr ? PyInterpreterState_GetID(interp) : -1;
        if (id == -1) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            return nullptr;
        }
        std::int64_t expected = -1;
        if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError,
                            "bitweave does not support sub-interpreters: it may be imported only "
                            "by the interpreter that first imported it");
            return nullptr;
        }
        if (module_object != nullptr) {
            Py_INCREF(module_object);
            return module_object;
        }
        PyObject* module = create_module();
        if (module == nullptr) return nullptr;
        // Objects cached here die with the interpreter: forget them when it finalises, so
        // that an embedding program that starts a new one imports afresh. (The table of
        // exit functions is small; when it is full, only that case goes unserved.)
        Py_AtExit(forget_interpreter);
        Py_INCREF(module);
        module_object = module;
        return module;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

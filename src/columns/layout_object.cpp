// The Layout type: a recipe compiled once, with its single-packet methods (unpack_one,
// pack_one) and the bulk entries that the Python layer wraps (_decode, _encode).
#include <bit>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "columns.hpp"
#include "core/layout.hpp"
#include "module/recipe.hpp"
#include "module/values.hpp"

namespace bitweave::columns {

namespace {

// How the single-packet paths handle a field, decided once.
struct Plan {
    Fast kind = Fast::none;   // a number read and written word-wise
    bool ascii_text = false;  // text of 1 to 8 whole bytes whose ASCII is itself
    bool plain = false;       // big-endian, bits not mirrored
    bool word = false;        // plain, and inside one 8-byte word of a packed packet
    BitPos at;                // the field's first bit, from the packet's first bit
    unsigned shift = 0;       // where the field's bits sit in that word
    std::uint64_t mask = 0;   // the field's bits in that word
};

// What a layout keeps besides the core's compiled fields.
struct Compiled {
    CompiledLayout layout;
    py::Ref recipe;  // tuple of the items, as dicts of exact types, for pickling and notes
    py::Ref names;   // tuple of the column names, in recipe order
    py::Ref key;     // tuple that equality and hashing compare
    std::vector<py::Ref> column_keys;         // each column's name as an interned str
    std::vector<std::string> encoding_texts;  // each field's encoding as the recipe gave it
    std::vector<bool> packable;               // whether packing accepts the field's name
    std::vector<Plan> plans;                  // per field, for the single-packet paths
    std::uint64_t need[8] = {};  // bytes a packet needs, by its first field bit's shift
};

struct LayoutObject {
    PyObject_HEAD Compiled* c;
};

PyTypeObject* layout_type = nullptr;

Compiled& of(PyObject* self) { return *reinterpret_cast<LayoutObject*>(self)->c; }

// ---- Building ----

// The encoding an item names, for a layout: every name unpack_parameters reads, and
// "binary". `packable` says whether pack_parameters takes the name.
bool layout_encoding(const Item& f, Encoding& out, bool& packable, CodecError& err) {
    char buf[8];
    std::string_view lowered = f.encoding;
    if (f.encoding.size() == 6) {
        for (std::size_t i = 0; i < 6; ++i) {
            const char c = f.encoding[i];
            buf[i] = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        }
        lowered = {buf, 6};
    }
    if (lowered == "binary") {
        out = Encoding::binary;
        packable = true;
        return true;
    }
    if (!find_encoding(f, false, out, err)) return false;
    Encoding for_packing;
    CodecError ignored;
    packable = find_encoding(f, true, for_packing, ignored);
    if (!packable && ignored.kind == ErrorKind::python) return err = std::move(ignored), false;
    return true;
}

// The item as a dict of exact types, which rebuilds the same layout.
py::Ref normalized_item(const Item& f, PyObject* name) {
    py::Ref d(PyDict_New());
    if (!d) return d;
    py::Ref encoding(PyUnicode_FromStringAndSize(f.encoding.data(), Py_ssize_t(f.encoding.size())));
    py::Ref bits(PyLong_FromSize_t(f.bits));
    py::Ref order(
        PyUnicode_FromStringAndSize(f.byte_order.data(), Py_ssize_t(f.byte_order.size())));
    if (!encoding || !bits || !order || PyDict_SetItem(d.get(), py::names.name, name) < 0 ||
        PyDict_SetItem(d.get(), py::names.encoding, encoding.get()) < 0 ||
        PyDict_SetItem(d.get(), py::names.bits, bits.get()) < 0 ||
        PyDict_SetItem(d.get(), py::names.byte_order, order.get()) < 0 ||
        PyDict_SetItem(d.get(), py::names.reverse_bits, f.reverse_bits ? Py_True : Py_False) < 0)
        return py::Ref();
    if (f.has_offset) {
        py::Ref offset(PyLong_FromSize_t(f.offset_bits));
        if (!offset || PyDict_SetItem(d.get(), py::names.offset_bits, offset.get()) < 0)
            return py::Ref();
    }
    return d;
}

// Compiles the recipe, raising what unpack_parameters raises for a bad item (wrapped, with
// the note naming the item); nullptr then.
Compiled* compile(PyObject* recipe_arg) {
    py::Recipe recipe;
    if (!recipe.collect(recipe_arg)) return py::reraise_argument_error("recipe"), nullptr;
    auto c = std::make_unique<Compiled>();
    py::Ref items(PyTuple_New(Py_ssize_t(recipe.size())));
    py::Ref key(PyTuple_New(Py_ssize_t(recipe.size())));
    if (!items || !key) return nullptr;
    py::ItemPlace place;
    CodecError err;
    std::size_t index = 0;
    std::uint64_t cursor = 0;
    for (PyObject* item : recipe) {
        place.at(item, index);
        Item f;
        LayoutItem li;
        bool packable = false;
        if (read_item(item, f, err)) {
            li.shape.bits = f.bits;
            li.shape.reverse_bits = f.reverse_bits;
            li.has_offset = f.has_offset;
            li.offset_bits = f.offset_bits;
            li.name = std::string(f.name);
            place.field(BitPos::of(f.has_offset ? f.offset_bits : cursor), f.bits);
            if (find_byte_order(f, li.shape.little, err) &&
                layout_encoding(f, li.encoding, packable, err))
                c->layout.add(li, err);
        }
        if (err) {
            py::raise_wrapped(err);
            return py::add_item_note(place), nullptr;
        }
        cursor = c->layout.fields().back().offset + f.bits;
        PyObject* raw_name = PyUnicode_FromStringAndSize(f.name.data(), Py_ssize_t(f.name.size()));
        if (raw_name == nullptr) return nullptr;
        PyUnicode_InternInPlace(&raw_name);
        py::Ref name(raw_name);
        py::Ref normal = normalized_item(f, name.get());
        // What the field does: an alias compares as its encoding, but whether packing takes
        // the name ("latin1" is read only) is part of what the layout does.
        py::Ref field_key(Py_BuildValue(
            "(OsOKOOOK)", name.get(), std::string(encoding_name(li.encoding)).c_str(),
            packable ? Py_True : Py_False, static_cast<unsigned long long>(f.bits),
            li.shape.little ? Py_True : Py_False, f.reverse_bits ? Py_True : Py_False,
            f.has_offset ? Py_True : Py_False, static_cast<unsigned long long>(f.offset_bits)));
        if (!normal || !field_key) return nullptr;
        PyTuple_SET_ITEM(items.get(), Py_ssize_t(index), normal.release());
        PyTuple_SET_ITEM(key.get(), Py_ssize_t(index), field_key.release());
        if (c->column_keys.size() < c->layout.columns().size())
            c->column_keys.push_back(std::move(name));
        c->encoding_texts.emplace_back(f.encoding);
        c->packable.push_back(packable);
        ++index;
    }
    py::Ref names(PyTuple_New(Py_ssize_t(c->column_keys.size())));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < c->column_keys.size(); ++i) {
        Py_INCREF(c->column_keys[i].get());
        PyTuple_SET_ITEM(names.get(), Py_ssize_t(i), c->column_keys[i].get());
    }
    for (const LayoutField& field : c->layout.fields()) {
        Plan plan;
        const std::uint64_t n = field.shape.bits;
        plan.kind = fast_kind(field);
        plan.at = BitPos::of(field.offset);
        plan.plain = !field.shape.reverse_bits && !field.shape.little;
        const bool ascii =
            field.encoding == Encoding::us_ascii || field.encoding == Encoding::iso_8859_1 ||
            field.encoding == Encoding::windows_1252 || field.encoding == Encoding::utf8;
        plan.ascii_text = ascii && plan.plain && n >= 8 && n <= 64 && n % 8 == 0;
        plan.word = plan.plain && n >= 1 && plan.at.bit + n <= 64 && c->layout.size() >= 8 &&
                    plan.at.byte <= c->layout.size() - 8;
        if (plan.word) {
            plan.shift = unsigned(64 - plan.at.bit - n);
            plan.mask = low_mask(std::size_t(n)) << plan.shift;
        }
        c->plans.push_back(plan);
    }
    for (unsigned shift = 0; shift < 8; ++shift) c->need[shift] = c->layout.bytes_needed(shift);
    c->recipe = std::move(items);
    c->key = std::move(key);
    c->names = std::move(names);
    return c.release();
}

PyObject* layout_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"recipe", nullptr};
    PyObject* recipe;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Layout", const_cast<char**>(keywords),
                                     &recipe))
        return nullptr;
    try {
        Compiled* c = compile(recipe);
        if (c == nullptr) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            delete c;
            return nullptr;
        }
        reinterpret_cast<LayoutObject*>(self)->c = c;
        return self;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void layout_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<LayoutObject*>(self)->c;
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- Plain attributes ----

PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

PyObject* get_names(PyObject* self, void*) { return new_ref(of(self).names.get()); }
PyObject* get_bits(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(of(self).layout.bits());
}
PyObject* get_size(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(of(self).layout.size());
}
PyObject* get_recipe(PyObject* self, void*) {
    // Fresh dicts, so that the layout stays as it was made.
    const Compiled& c = of(self);
    py::Ref list(PyList_New(PyTuple_GET_SIZE(c.recipe.get())));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c.recipe.get()); ++i) {
        PyObject* copy = PyDict_Copy(PyTuple_GET_ITEM(c.recipe.get(), i));
        if (copy == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, copy);
    }
    return list.release();
}

PyObject* layout_repr(PyObject* self) {
    const Compiled& c = of(self);
    const auto& fields = c.layout.fields();
    std::string text = std::string(Py_TYPE(self)->tp_name) + "(" + std::to_string(fields.size()) +
                       (fields.size() == 1 ? " field" : " fields") + ", " +
                       std::to_string(c.layout.bits()) + " bits, " +
                       std::to_string(c.layout.size()) + " bytes";
    const std::size_t shown = fields.size() <= 8 ? fields.size() : 6;
    for (std::size_t i = 0; i < shown; ++i) {
        const LayoutField& f = fields[i];
        text += i == 0 ? ": " : ", ";
        text += "'" + f.name + "' " + c.encoding_texts[i] + " " + std::to_string(f.shape.bits) +
                " @" + std::to_string(f.offset);
        if (f.shape.little) text += " little";
        if (f.shape.reverse_bits) text += " reversed";
    }
    if (shown < fields.size()) text += ", ... (" + std::to_string(fields.size() - shown) + " more)";
    text.push_back(')');
    return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
}

Py_hash_t layout_hash(PyObject* self) { return PyObject_Hash(of(self).key.get()); }

PyObject* layout_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, layout_type))
        Py_RETURN_NOTIMPLEMENTED;
    return PyObject_RichCompare(of(self).key.get(), of(other).key.get(), op);
}

PyObject* layout_reduce(PyObject* self, PyObject*) {
    py::Ref recipe(get_recipe(self, nullptr));
    if (!recipe) return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), recipe.get());
}

// ---- One packet ----

// A field's value object from its located bits.
PyObject* field_object(const LayoutField& f, std::span<const std::uint8_t> bytes, BitPos pos,
                       CodecError& err) {
    if (f.encoding == Encoding::binary || is_text(f.encoding)) {
        std::string scratch;
        const std::span<const std::uint8_t> image = text_field_image(bytes, pos, f.shape, scratch);
        PyObject* out;
        if (f.encoding == Encoding::binary) {
            out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(image.data()),
                                            Py_ssize_t(image.size()));
        } else if (f.encoding == Encoding::utf8) {
            return py::str_from_utf8(image, err);
        } else {
            Result<std::string> text = decode_text(f.encoding, image);
            if (!text.ok()) return err = text.take_error(), nullptr;
            out = PyUnicode_FromStringAndSize(text.value().data(), Py_ssize_t(text.value().size()));
        }
        if (out == nullptr) err = CodecError::pending();
        return out;
    }
    Number n;
    if (!decode_plain_number(f.encoding, bytes, pos, f.shape, n)) {
        Result<Number> other = decode_other_number(f.encoding, bytes, pos, f.shape, f.name);
        if (!other.ok()) return err = other.take_error(), nullptr;
        n = other.value();
    }
    PyObject* out = n.kind == Number::Kind::unsigned_int ? PyLong_FromUnsignedLongLong(n.u())
                    : n.kind == Number::Kind::signed_int ? PyLong_FromLongLong(n.i())
                                                         : PyFloat_FromDouble(n.d());
    if (out == nullptr) err = CodecError::pending();
    return out;
}

constexpr py::FunctionDescription unpack_one_description{
    "unpack_one", {"data", "offset_bits"}, 2, 1};

// The bits of a field of 1 to 64 bits as they stand, most significant first.
std::uint64_t raw_bits(std::span<const std::uint8_t> packet, BitPos pos, std::size_t n) {
    if (pos.bit + n <= 64 && packet.size() >= 8 && pos.byte <= packet.size() - 8)
        return (load_be64(packet.data() + pos.byte) << pos.bit) >> (64 - n);
    return read_bits(packet.data(), pos, n);
}

// The value object of a field that the plan reads directly, or nullptr with nothing set
// when the field needs field_object (text that is not all ASCII).
PyObject* plan_object(const Plan& plan, const LayoutField& f, std::span<const std::uint8_t> packet,
                      BitPos pos) {
    const std::size_t n = std::size_t(f.shape.bits);  // 1..64
    std::uint64_t raw = raw_bits(packet, pos, n);
    if (plan.ascii_text) {
        char text[8];
        const std::size_t len = n / 8;
        for (std::size_t k = 0; k < len; ++k) text[k] = char(raw >> (8 * (len - 1 - k)));
        if ((raw & 0x8080808080808080ULL) != 0) return nullptr;
        return PyUnicode_FromStringAndSize(text, Py_ssize_t(len));
    }
    if (!plan.plain) raw = field_value(raw, n, f.shape.reverse_bits, f.shape.little);
    switch (plan.kind) {
        case Fast::unsigned_int: return PyLong_FromUnsignedLongLong(raw);
        case Fast::twos_complement:
            return PyLong_FromLongLong(std::int64_t(raw << (64 - n)) >> (64 - n));
        case Fast::f16: return PyFloat_FromDouble(decode_ieee754_f16(raw));
        case Fast::f32: return PyFloat_FromDouble(decode_ieee754_f32(raw));
        default: return PyFloat_FromDouble(decode_ieee754_f64(raw));
    }
}

PyObject* unpack_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2] = {nullptr, nullptr};
    PyObject* const* a = args;
    if (kwnames == nullptr && nargs == 1) {
        bound[0] = args[0];
        a = bound;
    } else if (kwnames != nullptr || nargs != 2) {
        if (!py::bind(unpack_one_description, args, nargs, kwnames, bound)) return nullptr;
        a = bound;
    }
    std::uint64_t offset = 0;
    if (a[1] != nullptr && !size_argument(a[1], "offset_bits", offset)) return nullptr;
    View view;
    std::span<const std::uint8_t> packet;
    if (PyBytes_CheckExact(a[0])) {
        packet = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a[0])),
                  std::size_t(PyBytes_GET_SIZE(a[0]))};
    } else {
        if (!view.bytes(a[0], "data")) return nullptr;
        packet = view.span();
    }
    const Compiled& c = of(self);
    const auto& fields = c.layout.fields();
#if PY_VERSION_HEX < 0x030D0000
    py::Ref result(_PyDict_NewPresized(Py_ssize_t(fields.size())));
#else
    py::Ref result(PyDict_New());
#endif
    if (!result) return nullptr;
    const BitPos base = BitPos::of(offset);
    CodecError err;
    py::ItemPlace place;
    // When the packet holds every field, which is the rule, no field is checked alone.
    std::uint64_t need;
    const bool holds_all =
        checked_add(c.need[offset % 8], std::uint64_t(offset / 8), need) && need <= packet.size();
    try {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const LayoutField& f = fields[i];
            const Plan& plan = c.plans[i];
            const BitPos pos = offset == 0
                                   ? plan.at
                                   : BitPos{base.byte + plan.at.byte, base.bit}.plus(plan.at.bit);
            const bool outside =
                !holds_all && !check_in_packet(pos, f.shape.bits, packet.size(), err);
            if (!outside) {
                PyObject* value = plan.kind != Fast::none || plan.ascii_text
                                      ? plan_object(plan, f, packet, pos)
                                      : nullptr;
                if (value == nullptr && !PyErr_Occurred())
                    value = field_object(f, packet, pos, err);
                if (value == nullptr) {
                    if (!err) err = CodecError::pending();
                } else {
                    const int rc =
                        PyDict_SetItem(result.get(), c.column_keys[f.column].get(), value);
                    Py_DECREF(value);
                    if (rc == 0) continue;
                    err = CodecError::pending();
                }
            }
            place.at(PyTuple_GET_ITEM(c.recipe.get(), Py_ssize_t(i)), i);
            place.field(pos, f.shape.bits);
            place.past_end = outside;
            place.packet_size = packet.size();
            break;
        }
    } catch (const std::bad_alloc&) {
        err = {ErrorKind::memory_error, "out of memory"};
    }
    if (!err) return result.release();
    py::raise_wrapped(err);
    return py::add_item_note(place);
}

// Writes one value into field i of a packet, as pack_parameters does for its item.
bool put_value(const Compiled& c, std::size_t i, PyObject* value, std::span<std::uint8_t> packet,
               BitPos pos, CodecError& err) {
    const LayoutField& f = c.layout.fields()[i];
    if (!c.packable[i]) return err = unsupported_encoding(c.encoding_texts[i]), false;
    if (f.encoding == Encoding::binary) {
        View bytes;
        if (!bytes.bytes(value, "a binary field's value"))
            return err = CodecError::pending(), false;
        if (bytes.span().size() != f.shape.bits / 8)
            return err = value_error("Value of " + std::to_string(bytes.span().size()) +
                                     " bytes does not fill a binary field of " +
                                     std::to_string(f.shape.bits / 8) + " bytes"),
                   false;
        put_text_field(packet, pos, bytes.span(), f.shape);
        return true;
    }
    if (is_text(f.encoding)) {
        StringSink encoded;
        std::span<const std::uint8_t> image;
        if (!encode_text_value(value, f.encoding, encoded, image, err)) return false;
        if (!check_text_fits(image.size(), f.shape.bits, err)) return false;
        put_text_field(packet, pos, image, f.shape);
        return true;
    }
    Result<std::uint64_t> pattern = encode_number(value, f.encoding, f.shape.bits);
    if (!pattern.ok()) return err = pattern.take_error(), false;
    put_number_field(packet, pos, pattern.value(), f.shape);
    return true;
}

// A new bytes object of `count` packets of the layout's size, zeroed unless the caller
// zeroes it as it writes.
py::Ref new_packets(const Compiled& c, std::uint64_t count, std::uint8_t*& data,
                    bool zeroed = true) {
    std::uint64_t total;
    if (!checked_mul(count, c.layout.size(), total) || total > std::uint64_t(PY_SSIZE_T_MAX)) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate %llu packets of %llu bytes",
                     static_cast<unsigned long long>(count),
                     static_cast<unsigned long long>(c.layout.size()));
        return py::Ref();
    }
    py::Ref out(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
    if (!out) return out;
    data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    if (zeroed) std::memset(data, 0, std::size_t(total));
    return out;
}

// The value of a field's column in a mapping, as a new reference, read as Layout.pack
// reads its columns: `name in values`, then `values[name]`, so that a mapping's own
// methods decide (an exact dict is read from its storage, which is the same). A missing
// one is a KeyError naming the field.
PyObject* value_of(const Compiled& c, std::size_t i, PyObject* values, CodecError& err) {
    PyObject* key = c.column_keys[c.layout.fields()[i].column].get();
    PyObject* v = nullptr;
    if (PyDict_CheckExact(values)) {
        v = PyDict_GetItemWithError(values, key);
        Py_XINCREF(v);
    } else {
        const int has = PySequence_Contains(values, key);
        if (has < 0) return err = CodecError::pending(), nullptr;
        if (has > 0) v = PyObject_GetItem(values, key);
    }
    if (v != nullptr) return v;
    const std::string& name = c.layout.fields()[i].name;
    err = PyErr_Occurred() ? CodecError::pending()
                           : CodecError{ErrorKind::key_error, "no value for field '" + name + "'"};
    return nullptr;
}

// Writes an exact int or float, or ASCII text, into a field that the plan writes
// directly; false when the value needs put_value (another type, or a value packing
// refuses, whose error put_value makes).
bool put_fast(const Compiled& c, std::size_t i, PyObject* value, std::span<std::uint8_t> packet) {
    if (!c.packable[i]) return false;
    const Plan& plan = c.plans[i];
    const LayoutField& f = c.layout.fields()[i];
    const std::uint64_t n = f.shape.bits;
    std::uint64_t pattern;
    if (plan.ascii_text) {
        // The text's own bytes, then zero padding, as the field's big-endian pattern.
        if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) return false;
        const std::size_t len = std::size_t(PyUnicode_GET_LENGTH(value));
        if (len > n / 8) return false;
        const auto* text = static_cast<const std::uint8_t*>(PyUnicode_DATA(value));
        pattern = 0;
        for (std::size_t k = 0; k < n / 8; ++k) pattern = pattern << 8 | (k < len ? text[k] : 0);
    } else {
        switch (plan.kind) {
            case Fast::unsigned_int: {
                if (!PyLong_CheckExact(value)) return false;
                pattern = PyLong_AsUnsignedLongLong(value);
                if (pattern == ~std::uint64_t{0} && PyErr_Occurred()) return PyErr_Clear(), false;
                if (n < 64 && (pattern >> n) != 0) return false;
                break;
            }
            case Fast::twos_complement: {
                if (!PyLong_CheckExact(value)) return false;
                const long long v = PyLong_AsLongLong(value);
                if (v == -1 && PyErr_Occurred()) return PyErr_Clear(), false;
                if (n < 64 && (v < -(1LL << (n - 1)) || v >= (1LL << (n - 1)))) return false;
                pattern = std::uint64_t(v) & low_mask(std::size_t(n));
                break;
            }
            case Fast::f16:
            case Fast::f32:
            case Fast::f64: {
                if (!PyFloat_CheckExact(value)) return false;
                const double d = PyFloat_AS_DOUBLE(value);
                pattern = plan.kind == Fast::f64   ? encode_ieee754_f64(d)
                          : plan.kind == Fast::f32 ? encode_ieee754_f32(static_cast<float>(d))
                                                   : encode_ieee754_f16(static_cast<float>(d));
                break;
            }
            default: return false;
        }
    }
    if (plan.word) {
        std::uint8_t* p = packet.data() + plan.at.byte;
        store_be64(p, (load_be64(p) & ~plan.mask) | (pattern << plan.shift));
    } else {
        put_number_field(packet, plan.at, pattern, f.shape);
    }
    return true;
}

constexpr py::FunctionDescription pack_one_description{"pack_one", {"values"}, 1, 1};

PyObject* pack_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    PyObject* const* a = args;
    if (kwnames != nullptr || nargs != 1) {
        if (!py::bind(pack_one_description, args, nargs, kwnames, bound)) return nullptr;
        a = bound;
    }
    // A dict, or any mapping: an object with keys, as Layout.pack takes its columns (a
    // list or a str also takes [] but maps nothing).
    if (!PyDict_Check(a[0])) {
        py::Ref keys(PyObject_GetAttrString(a[0], "keys"));
        if (!keys) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "values must be a mapping of field names to values, not '%s'",
                         Py_TYPE(a[0])->tp_name);
            return nullptr;
        }
    }
    const Compiled& c = of(self);
    std::uint8_t* data = nullptr;
    py::Ref out = new_packets(c, 1, data);
    if (!out) return nullptr;
    const std::span<std::uint8_t> packet(data, std::size_t(c.layout.size()));
    CodecError err;
    py::ItemPlace place;
    try {
        const std::size_t count = c.layout.fields().size();
        for (std::size_t i = 0; i < count; ++i) {
            py::Ref value(value_of(c, i, a[0], err));
            if (value && !put_fast(c, i, value.get(), packet))
                put_value(c, i, value.get(), packet, c.plans[i].at, err);
            if (err) {
                place.at(PyTuple_GET_ITEM(c.recipe.get(), Py_ssize_t(i)), i);
                place.field(c.plans[i].at, c.layout.fields()[i].shape.bits);
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        err = {ErrorKind::memory_error, "out of memory"};
    }
    if (!err) return out.release();
    py::raise_wrapped(err);
    return py::add_item_note(place);
}

// ---- Many packets ----

// Raises the run's first failure as ValueError "packet P, field 'x': <the field's own
// error text>"; an interpreter exception pending from the failure passes as it is.
PyObject* raise_run_failure(const Compiled& c, RunFailure& failure) {
    const CodecError& e = failure.error;
    if (e.kind == ErrorKind::python) return nullptr;
    std::string where = "packet " + std::to_string(failure.packet);
    if (failure.field < c.layout.fields().size())
        where += ", field '" + c.layout.fields()[failure.field].name + "'";
    const std::string message = where + ": " + std::string(e.message());
    py::Ref text(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

// The text of the pending exception as a failure of a value: "ClassName: text", or just
// the text for a ValueError; an interrupt stays pending and gives false.
bool failure_from_pending(CodecError& err) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    py::Ref t(type), v(value), trace(tb);
    py::Ref text(v ? PyObject_Str(v.get()) : nullptr);
    const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (s == nullptr) {
        if (!py::clear_ordinary_error()) return false;
        s = "<exception str() failed>";
    }
    const bool plain = t.get() == PyExc_ValueError;
    err = value_error(
        (plain ? std::string()
               : std::string(reinterpret_cast<PyTypeObject*>(t.get())->tp_name) + ": ") +
        s);
    return true;
}

// _decode(data, count, stride, offset_bits, offsets, lengths, masking) -> (columns, masks)
PyObject* decode(PyObject* self, PyObject* args) {
    PyObject *data_obj, *count_obj, *stride_obj, *offset_bits_obj, *offsets_obj, *lengths_obj;
    int masking;
    if (!PyArg_ParseTuple(args, "OOOOOOp", &data_obj, &count_obj, &stride_obj, &offset_bits_obj,
                          &offsets_obj, &lengths_obj, &masking))
        return nullptr;
    const Compiled& c = of(self);
    std::uint64_t offset_bits;
    if (!size_argument(offset_bits_obj, "offset_bits", offset_bits)) return nullptr;
    View data, offsets, lengths;
    if (!data.bytes(data_obj, "data")) return nullptr;
    PacketRun run;
    run.data = data.span();
    run.offset_bits = offset_bits;
    if (offsets_obj != Py_None) {  // int64 arrays, made contiguous by the Python layer
        if (!offsets.bytes(offsets_obj, "offsets")) return nullptr;
        const std::size_t bytes = offsets.span().size();
        if (bytes % 8 != 0) {
            PyErr_Format(PyExc_ValueError, "offsets must hold 8-byte integers, not %zu bytes",
                         bytes);
            return nullptr;
        }
        run.offsets = offsets.span().data();
        run.count = bytes / 8;
        if (lengths_obj != Py_None) {
            if (!lengths.bytes(lengths_obj, "lengths")) return nullptr;
            if (lengths.span().size() != bytes) {
                PyErr_Format(PyExc_ValueError,
                             "lengths must hold one 8-byte integer per offset: %zu bytes for "
                             "%zu offsets",
                             lengths.span().size(), bytes / 8);
                return nullptr;
            }
            run.lengths = lengths.span().data();
        }
    } else {
        run.stride = c.layout.size();
        if (stride_obj != Py_None && !size_argument(stride_obj, "stride", run.stride))
            return nullptr;
        const std::uint64_t fit =
            packets_that_fit(c.layout, run.data.size(), offset_bits, run.stride);
        if (count_obj == Py_None) {
            if (run.stride == 0) {
                PyErr_SetString(PyExc_ValueError,
                                "packets of stride 0 all lie at one place: give count= too");
                return nullptr;
            }
            run.count = fit;
        } else {
            if (!size_argument(count_obj, "count", run.count)) return nullptr;
            if (run.count > fit) {
                PyErr_Format(PyExc_ValueError,
                             "count=%llu asks for more packets than the data holds: %llu "
                             "bytes from bit %llu, %llu bytes apart, hold %llu packets of this "
                             "layout's %llu bits",
                             static_cast<unsigned long long>(run.count),
                             static_cast<unsigned long long>(run.data.size()),
                             static_cast<unsigned long long>(offset_bits),
                             static_cast<unsigned long long>(run.stride),
                             static_cast<unsigned long long>(fit),
                             static_cast<unsigned long long>(c.layout.bits()));
                return nullptr;
            }
        }
    }
    try {
        const auto& columns = c.layout.columns();
        std::vector<py::Ref> arrays, masks(masking ? columns.size() : 0);
        std::vector<ColumnOut> outs(columns.size());
        // The numeric columns of one store as the rows of one block: in short runs (a chunk
        // of a stream) an allocation a column costs more than the decode.
        std::vector<Store> stores(columns.size());
        for (std::size_t k = 0; k < columns.size(); ++k) stores[k] = columns[k].store;
        std::vector<void*> where;
        if (!new_columns(stores, run.count, arrays, where)) return nullptr;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            outs[k].values = where[k];
            if (!arrays[k])  // an object column
                arrays[k] = new_array(run.count, store_code(columns[k].store), outs[k].values);
            if (!arrays[k]) return nullptr;
            if (masking) {
                void* m;
                masks[k] = new_array(run.count, "?", m);
                if (!masks[k]) return nullptr;
                std::memset(m, 0, std::size_t(run.count));
                outs[k].mask = static_cast<std::uint8_t*>(m);
            }
        }
        RunFailure failure;
        without_interpreter([&] { decode_columns(c.layout, run, outs, masking, failure); });

        // Object columns, a value at a time with the interpreter.
        const auto& fields = c.layout.fields();
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const std::size_t k = fields[f].column;
            if (columns[k].store != Store::object) continue;
            auto** slots = static_cast<PyObject**>(outs[k].values);
            for (std::uint64_t i = 0; i < run.count; ++i) {
                if (!masking && !failure.before(i, f)) break;
                std::span<const std::uint8_t> bytes;
                BitPos pos;
                CodecError err;
                PyObject* value = nullptr;
                if (locate_field(c.layout, run, i, f, bytes, pos, err))
                    value = field_object(fields[f], bytes, pos, err);
                if (value == nullptr) {
                    if (err.kind == ErrorKind::python) return nullptr;  // the interpreter's own
                    if (masking) {
                        outs[k].mask[i] = 1;
                        continue;
                    }
                    failure.offer(i, f, std::move(err));
                    break;
                }
                PyObject* old = slots[i];
                slots[i] = value;
                Py_XDECREF(old);
            }
        }
        if (failure.failed) return raise_run_failure(c, failure);

        py::Ref result(PyDict_New());
        py::Ref mask_dict(masking ? PyDict_New() : new_ref(Py_None));
        if (!result || !mask_dict) return nullptr;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            if (PyDict_SetItem(result.get(), c.column_keys[k].get(), arrays[k].get()) < 0)
                return nullptr;
            if (masking &&
                PyDict_SetItem(mask_dict.get(), c.column_keys[k].get(), masks[k].get()) < 0)
                return nullptr;
        }
        return PyTuple_Pack(2, result.get(), mask_dict.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The source kind of a numeric numpy column, from its buffer format; false for anything
// else (booleans, objects, text), which goes value by value.
bool source_kind(const Py_buffer& b, SourceKind& out) {
    if (b.ndim != 1 || b.format == nullptr) return false;
    const char* f = b.format;
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    if (f[0] == '\0' || f[1] != '\0') return false;
    const std::size_t size = std::size_t(b.itemsize);
    const bool sized = size == 1 || size == 2 || size == 4 || size == 8;
    const int step = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
    switch (f[0]) {
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
            if (!sized) return false;
            out = SourceKind(int(SourceKind::i8) + step);
            return true;
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
            if (!sized) return false;
            out = SourceKind(int(SourceKind::u8) + step);
            return true;
        case 'e': out = SourceKind::f16; return size == 2;
        case 'f': out = SourceKind::f32; return size == 4;
        case 'd': out = SourceKind::f64; return size == 8;
        default: return false;
    }
}

// _encode(columns, count) -> bytes: columns is a sequence of one array per field, each of
// count values (a repeated value has stride 0).
PyObject* encode(PyObject* self, PyObject* args) {
    PyObject *columns_obj, *count_obj;
    if (!PyArg_ParseTuple(args, "OO", &columns_obj, &count_obj)) return nullptr;
    std::uint64_t count;
    if (!size_argument(count_obj, "count", count)) return nullptr;
    const Compiled& c = of(self);
    const auto& fields = c.layout.fields();
    py::Ref columns(PySequence_Fast(columns_obj, "columns must be a sequence"));
    if (!columns) return nullptr;
    if (std::size_t(PySequence_Fast_GET_SIZE(columns.get())) != fields.size()) {
        PyErr_SetString(PyExc_ValueError, "one column per field is needed");
        return nullptr;
    }
    try {
        std::vector<View> views(fields.size());
        std::vector<ColumnIn> direct(fields.size());
        for (std::size_t f = 0; f < fields.size(); ++f) {
            PyObject* column = PySequence_Fast_GET_ITEM(columns.get(), Py_ssize_t(f));
            SourceKind kind;
            if (!views[f].records(column)) return nullptr;
            const Py_buffer& b = views[f].get();
            if (b.ndim != 1 || std::uint64_t(b.shape[0]) != count) {
                PyErr_SetString(PyExc_ValueError, "a column does not hold count values");
                return nullptr;
            }
            if (c.packable[f] && source_kind(b, kind) &&
                encodes_directly(fields[f].encoding, fields[f].shape.bits, kind))
                direct[f] = {static_cast<const std::uint8_t*>(b.buf), b.strides[0], kind};
        }
        // When every field encodes straight from its array, one pass zeroes and writes
        // each block of packets; otherwise the packets are zeroed first.
        bool all_direct = true;
        for (const ColumnIn& in : direct) all_direct &= in.values != nullptr;
        std::uint8_t* data = nullptr;
        py::Ref out = new_packets(c, count, data, !all_direct);
        if (!out) return nullptr;
        const std::uint64_t size = c.layout.size();
        const std::span<std::uint8_t> all(data, std::size_t(count * size));
        RunFailure failure;
        std::vector<ColumnIn> run(fields.size());
        for (std::size_t f = 0; f < fields.size();) {
            if (direct[f].values != nullptr) {
                // A run of fields that encode straight from their arrays.
                std::size_t g = f;
                for (; g < fields.size() && direct[g].values != nullptr; ++g) run[g] = direct[g];
                without_interpreter(
                    [&] { encode_columns(c.layout, data, count, run, failure, all_direct); });
                for (; f < g; ++f) run[f] = {};
                continue;
            }
            // Any other field: each value as a Python object, as pack_parameters takes it.
            PyObject* column = PySequence_Fast_GET_ITEM(columns.get(), Py_ssize_t(f));
            for (std::uint64_t i = 0; i < count && failure.before(i, f); ++i) {
                py::Ref value(PySequence_GetItem(column, Py_ssize_t(i)));
                CodecError err;
                if (!value)
                    err = CodecError::pending();
                else if (put_value(c, f, value.get(), all,
                                   BitPos{i * size, 0}.plus(fields[f].offset), err))
                    continue;
                if (err.kind == ErrorKind::python && !failure_from_pending(err)) return nullptr;
                failure.offer(i, f, std::move(err));
                break;
            }
            ++f;
        }
        if (failure.failed) {
            if (!failure.error) {
                // The engine only says where; the text comes from that value, taken the way
                // pack_parameters takes it.
                PyObject* column =
                    PySequence_Fast_GET_ITEM(columns.get(), Py_ssize_t(failure.field));
                py::Ref value(PySequence_GetItem(column, Py_ssize_t(failure.packet)));
                CodecError err;
                std::vector<std::uint8_t> scratch(std::size_t(size) + 8);
                if (!value)
                    err = CodecError::pending();
                else
                    put_value(c, failure.field, value.get(), scratch,
                              BitPos::of(fields[failure.field].offset), err);
                if (err.kind == ErrorKind::python && !failure_from_pending(err)) return nullptr;
                if (!err) err = value_error("value refused");
                failure.error = std::move(err);
            }
            return raise_run_failure(c, failure);
        }
        return out.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The methods' texts, for help(): what each takes, returns and raises.
constexpr const char unpack_one_doc[] =
    "unpack_one($self, data, offset_bits=0)\n--\n\n"
    "The fields of one packet as a dict of name to value, exactly as unpack_parameters\n"
    "gives them for this layout's recipe.\n\n"
    "data is any C-contiguous buffer (bytes, bytearray, memoryview, mmap, numpy uint8),\n"
    "read in place; the fields start offset_bits bits into it. A field that does not\n"
    "decode raises what unpack_parameters raises for it (ValueError, with a note naming\n"
    "the recipe item); a non-contiguous buffer raises TypeError, and an offset_bits\n"
    "below 0 or above 2**64 - 1 OverflowError.";
constexpr const char pack_one_doc[] =
    "pack_one($self, values)\n--\n\n"
    "One packet as bytes of size bytes, exactly as pack_parameters packs this layout's\n"
    "recipe with the given values.\n\n"
    "values is any mapping of field name to value (a dict, or an object with keys(),\n"
    "read with `in` and [] as Layout.pack reads its columns). A field with no value\n"
    "raises ValueError (KeyError: no value for field 'x'), and a value that does not fit\n"
    "what pack_parameters raises for it; both carry a note naming the recipe item. A\n"
    "values that is no mapping raises TypeError.";
constexpr const char decode_doc[] =
    "_decode($self, data, count, stride, offset_bits, offsets, lengths, masking, /)\n--\n\n"
    "The engine of Layout.unpack: (columns, masks), masks None unless masking. offsets and\n"
    "lengths are None or buffers of int64 (lengths one per offset).";
constexpr const char encode_doc[] =
    "_encode($self, columns, count, /)\n--\n\n"
    "The engine of Layout.pack: bytes of count packets from one array per field.";

PyMethodDef layout_methods[] = {
    {"unpack_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpack_one)),
     METH_FASTCALL | METH_KEYWORDS, unpack_one_doc},
    {"pack_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack_one)),
     METH_FASTCALL | METH_KEYWORDS, pack_one_doc},
    {"_decode", decode, METH_VARARGS, decode_doc},
    {"_encode", encode, METH_VARARGS, encode_doc},
    {"__reduce__", layout_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nThe layout's class and recipe, for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef layout_getset[] = {
    {"names", get_names, nullptr, "The column names, in recipe order (a repeated name once).",
     nullptr},
    {"bits", get_bits, nullptr, "The furthest field end, in bits from the packet's start.",
     nullptr},
    {"size", get_size, nullptr, "The length in bytes that pack_parameters gives the recipe.",
     nullptr},
    {"recipe", get_recipe, nullptr, "The recipe, as a list of fresh dicts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot layout_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(layout_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(layout_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(layout_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(layout_richcompare)},
    {Py_tp_methods, layout_methods},
    {Py_tp_getset, layout_getset},
    {Py_tp_doc, const_cast<char*>(
                    "LayoutBase(recipe)\n--\n\n"
                    "A recipe compiled once (the base of Layout, which adds unpack and pack).\n\n"
                    "recipe is what unpack_parameters takes: a sequence of dicts with name,\n"
                    "encoding, bits, byte_order, reverse_bits and optionally offset_bits, plus\n"
                    "the \"binary\" encoding. A bad item raises what unpack_parameters raises for\n"
                    "it, with the note naming the item. Immutable; layouts compare equal when\n"
                    "their fields decode and encode alike, and pickle.")},
    {0, nullptr},
};

PyType_Spec layout_spec = {"bitweave_columns._columns.LayoutBase", sizeof(LayoutObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, layout_slots};

}  // namespace

bool add_layout_type(PyObject* module) {
    PyObject* type = PyType_FromSpec(&layout_spec);
    if (type == nullptr) return false;
    layout_type = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // one for the module, one kept here
    if (PyModule_AddObject(module, "LayoutBase", type) < 0) {
        Py_DECREF(type);
        Py_DECREF(type);
        layout_type = nullptr;
        return false;
    }
    return true;
}

void forget_layout_type() { layout_type = nullptr; }

const CompiledLayout* compiled_layout(PyObject* obj) {
    if (layout_type == nullptr || !PyObject_TypeCheck(obj, layout_type)) {
        PyErr_Format(PyExc_TypeError, "expected a Layout, not %s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return &of(obj).layout;
}

}  // namespace bitweave::columns

import inspect
import operator
import pickle
import sys

import pytest

import bitweave
from conftest import item

FORMATS = [
    "ones_complement", "twos_complement", "sign_magnitude", "unpacked_bcd", "packed_bcd",
    "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128",
    "ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80",
    "mil_std_1750a_f32", "mil_std_1750a_f48", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64",
    "ti_f32", "ti_f40", "us_ascii", "iso_8859_1", "windows_1252",
    "utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be",
]
REGISTRATION_ORDER = (
    ["unpack_parameters", "pack_parameters"]
    + ["decode_" + f for f in FORMATS]
    + ["encode_" + f for f in FORMATS]
)

# name -> (parameters, a valid call by keyword, its result)
SIGNATURES = {
    "unpack_parameters": (("packet_bytes", "offset_bits", "recipe"),
                          dict(packet_bytes=b"\xa0", offset_bits=1, recipe=[item("a", bits=2)]),
                          {"a": 1}),
    "pack_parameters": (("recipe",), dict(recipe=[item("a", bits=4, value=9)]), b"\x90"),
    "decode_ones_complement": (("value", "bits"), dict(value=0xFE, bits=8), -1),
    "decode_twos_complement": (("value", "bits"), dict(value=0xFE, bits=8), -2),
    "decode_sign_magnitude": (("value", "bits"), dict(value=0x82, bits=8), -2),
    "encode_ones_complement": (("value", "bits"), dict(value=-1, bits=8), 0xFE),
    "encode_twos_complement": (("value", "bits"), dict(value=-2, bits=8), 0xFE),
    "encode_sign_magnitude": (("value", "bits"), dict(value=-2, bits=8), 0x82),
}
INTEGER_CODECS = [n for n in SIGNATURES if n.endswith(("_complement", "_magnitude"))]


def overflow_text(value, signed):
    """The interpreter's own text for a 64-bit integer conversion that overflows."""
    with pytest.raises(OverflowError) as e:
        value.to_bytes(8, "little", signed=signed)
    return str(e.value)


def index_text(obj):
    with pytest.raises(TypeError) as e:
        operator.index(obj)
    return str(e.value)


def raises_exactly(exc, text, fn, *args, **kwargs):
    with pytest.raises(BaseException) as e:
        fn(*args, **kwargs)
    assert type(e.value) is exc, repr(e.value)
    assert e.value.args == (text,)
    return e.value


# ---------------------------------------------------------------- module object

def public_functions():
    return [n for n in dir(bitweave) if not n.startswith("_")]


def test_all_lists_every_public_function_in_registration_order():
    names = bitweave.__all__
    assert type(names) is list
    assert sorted(names) == sorted(public_functions())
    assert len(set(names)) == len(names)
    assert set(names) <= set(REGISTRATION_ORDER)
    assert names == [n for n in REGISTRATION_ORDER if n in names]
    assert names[:2] == ["unpack_parameters", "pack_parameters"]
    assert set(SIGNATURES) <= set(names)


def test_module_attributes_are_only_functions():
    assert bitweave.__name__ == "bitweave"
    assert bitweave.__doc__ == ""
    for name in public_functions():
        fn = getattr(bitweave, name)
        assert type(fn) is type(len), name
        assert fn.__name__ == name
    assert not hasattr(bitweave, "PanicException")


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_metadata(name):
    params, _, _ = SIGNATURES[name]
    fn = getattr(bitweave, name)
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"
    assert fn.__doc__ is None
    assert list(inspect.signature(fn).parameters) == list(params)
    assert fn.__module__ == "bitweave"
    assert fn.__self__ is bitweave
    assert fn.__qualname__ == name
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_reimport_yields_same_module():
    first = sys.modules.pop("bitweave")
    try:
        import bitweave as again
        assert again is first
        assert again.encode_twos_complement is first.encode_twos_complement
    finally:
        sys.modules["bitweave"] = first


# ---------------------------------------------------------------- argument binding

@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_every_parameter_by_keyword_and_by_position(name):
    params, kwargs, expected = SIGNATURES[name]
    fn = getattr(bitweave, name)
    assert fn(**kwargs) == expected
    assert fn(**dict(reversed(kwargs.items()))) == expected
    assert fn(*[kwargs[p] for p in params]) == expected
    assert fn(kwargs[params[0]], **{p: kwargs[p] for p in params[1:]}) == expected


E2 = bitweave.encode_twos_complement
D1 = bitweave.decode_ones_complement
PACK = bitweave.pack_parameters
UNPACK = bitweave.unpack_parameters

BINDING = [
    # too many positional
    (E2, (1, 2, 3), {}, "encode_twos_complement() takes 2 positional arguments but 3 were given"),
    (E2, (1, 2, 3, 4), {}, "encode_twos_complement() takes 2 positional arguments but 4 were given"),
    (PACK, ([], []), {}, "pack_parameters() takes 1 positional arguments but 2 were given"),
    (UNPACK, (b"", 0, [], 1), {}, "unpack_parameters() takes 3 positional arguments but 4 were given"),
    # missing
    (E2, (1,), {}, "encode_twos_complement() missing 1 required positional argument: 'bits'"),
    (E2, (), {"bits": 8}, "encode_twos_complement() missing 1 required positional argument: 'value'"),
    (D1, (), {}, "decode_ones_complement() missing 2 required positional arguments: 'value' and 'bits'"),
    (PACK, (), {}, "pack_parameters() missing 1 required positional argument: 'recipe'"),
    (UNPACK, (), {}, "unpack_parameters() missing 3 required positional arguments: "
                     "'packet_bytes', 'offset_bits', and 'recipe'"),
    (UNPACK, (b"",), {}, "unpack_parameters() missing 2 required positional arguments: "
                         "'offset_bits' and 'recipe'"),
    (UNPACK, (), {"offset_bits": 0}, "unpack_parameters() missing 2 required positional arguments: "
                                     "'packet_bytes' and 'recipe'"),
    (UNPACK, (b"", 0), {}, "unpack_parameters() missing 1 required positional argument: 'recipe'"),
    # unexpected keyword
    (E2, (1, 2), {"width": 3}, "encode_twos_complement() got an unexpected keyword argument 'width'"),
    (E2, (), {"value": 1, "Bits": 8}, "encode_twos_complement() got an unexpected keyword argument 'Bits'"),
    (PACK, (), {"_recipe": []}, "pack_parameters() got an unexpected keyword argument '_recipe'"),
    # multiple values
    (E2, (1,), {"value": 1}, "encode_twos_complement() got multiple values for argument 'value'"),
    (E2, (1, 8), {"bits": 8}, "encode_twos_complement() got multiple values for argument 'bits'"),
    (UNPACK, (b"", 0), {"offset_bits": 0, "recipe": []},
     "unpack_parameters() got multiple values for argument 'offset_bits'"),
]


@pytest.mark.parametrize("fn, args, kwargs, text", BINDING)
def test_binding_errors(fn, args, kwargs, text):
    raises_exactly(TypeError, text, fn, *args, **kwargs)


# ---------------------------------------------------------------- argument conversion

class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IntWithIndex(int):
    def __index__(self):
        return 99


@pytest.mark.parametrize("name", INTEGER_CODECS)
@pytest.mark.parametrize("value, bits, same_as", [
    (True, 8, (1, 8)),
    (False, True, (0, 1)),
    (Index(3), Index(8), (3, 8)),
    (IntWithIndex(3), IntWithIndex(8), (3, 8)),  # int subclasses are read as ints
])
def test_integer_arguments_accept_bool_and_index(name, value, bits, same_as):
    fn = getattr(bitweave, name)
    if name == "encode_sign_magnitude" and same_as[1] < 2:
        same_as, bits = (0, 2), 2
    assert fn(value, bits) == fn(*same_as)


I64_MAX, I64_MIN, U64_MAX = 2**63 - 1, -(2**63), 2**64 - 1

CONVERSION = [
    # i64 value of the encoders
    ("encode_twos_complement", (1.0, 8), TypeError, "argument 'value': " + index_text(1.0)),
    ("encode_twos_complement", ("1", 8), TypeError, "argument 'value': " + index_text("1")),
    ("encode_ones_complement", (None, 8), TypeError, "argument 'value': " + index_text(None)),
    ("encode_sign_magnitude", (I64_MAX + 1, 8), OverflowError, overflow_text(I64_MAX + 1, True)),
    ("encode_twos_complement", (I64_MIN - 1, 8), OverflowError, overflow_text(I64_MIN - 1, True)),
    ("encode_twos_complement", (Index(I64_MAX + 1), 8), OverflowError, overflow_text(I64_MAX + 1, True)),
    # u64 value of the decoders
    ("decode_twos_complement", (-1, 8), OverflowError, overflow_text(-1, False)),
    ("decode_ones_complement", (U64_MAX + 1, 8), OverflowError, overflow_text(U64_MAX + 1, False)),
    ("decode_sign_magnitude", (Index(-1), 8), OverflowError, overflow_text(-1, False)),
    ("decode_sign_magnitude", (1.5, 8), TypeError, "argument 'value': " + index_text(1.5)),
    # size
    ("encode_twos_complement", (1, -1), OverflowError, overflow_text(-1, False)),
    ("decode_twos_complement", (1, U64_MAX + 1), OverflowError, overflow_text(U64_MAX + 1, False)),
    ("encode_ones_complement", (1, 8.0), TypeError, "argument 'bits': " + index_text(8.0)),
    ("decode_sign_magnitude", (1, b"8"), TypeError, "argument 'bits': " + index_text(b"8")),
    # value is converted before bits, whatever the keyword order
    ("encode_twos_complement", (1.5, -1), TypeError, "argument 'value': " + index_text(1.5)),
    ("encode_twos_complement", (I64_MAX + 1, 65), OverflowError, overflow_text(I64_MAX + 1, True)),
    ("decode_twos_complement", (-1, "x"), OverflowError, overflow_text(-1, False)),
    # an __index__ returning a non-int
    ("encode_twos_complement", (Index("a"), 8), TypeError,
     "argument 'value': __index__ returned non-int (type str)"),
]


@pytest.mark.parametrize("name, args, exc, text", CONVERSION)
def test_integer_conversion_errors(name, args, exc, text):
    fn = getattr(bitweave, name)
    raises_exactly(exc, text, fn, *args)
    raises_exactly(exc, text, fn, bits=args[1], value=args[0])


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class TypeErrorSub(TypeError):
    pass


def test_type_error_from_index_is_prefixed_and_keeps_its_cause():
    cause = KeyError("k")
    inner = TypeError("boom")
    inner.__cause__ = cause
    err = raises_exactly(TypeError, "argument 'bits': boom",
                         bitweave.decode_twos_complement, 1, IndexRaises(inner))
    assert err.__cause__ is cause


@pytest.mark.parametrize("exc", [ValueError("v"), TypeErrorSub("sub"), ZeroDivisionError("z")])
def test_other_errors_from_index_pass_unchanged(exc):
    raises_exactly(type(exc), exc.args[0], bitweave.encode_twos_complement, IndexRaises(exc), 8)


class BytesSub(bytes):
    pass


class Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 5
        return super().__getattribute__(name)


class NoQualname(metaclass=Meta):
    pass


def local_bytearray_type():
    class Local(bytearray):
        pass
    return Local


class IterFails:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 0

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        raise self.exc


CAST = "'{}' object cannot be cast as '{}'"

PACKET_CONVERSION = [
    (PACK, ("ab",), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
    (PACK, ("",), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
    (PACK, ({},), TypeError, "argument 'recipe': " + CAST.format("dict", "Sequence")),
    (PACK, ({"a": 1},), TypeError, "argument 'recipe': " + CAST.format("dict", "Sequence")),
    (PACK, (set(),), TypeError, "argument 'recipe': " + CAST.format("set", "Sequence")),
    (PACK, (iter([]),), TypeError, "argument 'recipe': " + CAST.format("list_iterator", "Sequence")),
    (PACK, (5,), TypeError, "argument 'recipe': " + CAST.format("int", "Sequence")),
    (PACK, (NoQualname(),), TypeError,
     "argument 'recipe': " + CAST.format("<failed to extract type name>", "Sequence")),
    (PACK, (IterFails(ValueError("it")),), ValueError, "it"),
    (PACK, (IterFails(TypeError("it")),), TypeError, "argument 'recipe': it"),
    (UNPACK, (b"", 0, "x"), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
    (UNPACK, (b"", 0, {}), TypeError, "argument 'recipe': " + CAST.format("dict", "Sequence")),
    (UNPACK, (bytearray(b"\x01"), 0, []), TypeError,
     "argument 'packet_bytes': " + CAST.format("bytearray", "bytes")),
    (UNPACK, (memoryview(b"\x01"), 0, []), TypeError,
     "argument 'packet_bytes': " + CAST.format("memoryview", "bytes")),
    (UNPACK, ("\x01", 0, []), TypeError, "argument 'packet_bytes': " + CAST.format("str", "bytes")),
    (UNPACK, (local_bytearray_type()(), 0, []), TypeError,
     "argument 'packet_bytes': " + CAST.format("local_bytearray_type.<locals>.Local", "bytes")),
    (UNPACK, (b"", -1, []), OverflowError, overflow_text(-1, False)),
    (UNPACK, (b"", U64_MAX + 1, []), OverflowError, overflow_text(U64_MAX + 1, False)),
    (UNPACK, (b"", "8", []), TypeError, "argument 'offset_bits': " + index_text("8")),
    (UNPACK, (b"", 8.0, []), TypeError, "argument 'offset_bits': " + index_text(8.0)),
    # arguments convert in parameter order
    (UNPACK, (bytearray(), -1, "x"), TypeError,
     "argument 'packet_bytes': " + CAST.format("bytearray", "bytes")),
    (UNPACK, (b"", "8", "x"), TypeError, "argument 'offset_bits': " + index_text("8")),
]


@pytest.mark.parametrize("fn, args, exc, text", PACKET_CONVERSION)
def test_packet_argument_conversion_errors(fn, args, exc, text):
    raises_exactly(exc, text, fn, *args)


class SeqOfItems:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


RECIPE = [item("a", bits=3, value=5), item("b", "twos_complement", bits=5, value=-1)]
RECIPE_OUT = [item("a", bits=3), item("b", "twos_complement", bits=5)]


@pytest.mark.parametrize("wrap", [list, tuple, SeqOfItems], ids=["list", "tuple", "sequence"])
def test_recipe_accepts_any_sequence(wrap):
    assert PACK(wrap(RECIPE)) == b"\xbf"
    assert UNPACK(b"\xbf", 0, wrap(RECIPE_OUT)) == {"a": 5, "b": -1}
    assert PACK(wrap([])) == b""


@pytest.mark.parametrize("packet, offset", [
    (BytesSub(b"\xbf"), 0),
    (b"\xbf", False),
    (b"\x0b\xf0", Index(4)),
    (BytesSub(b"\x0b\xf0"), IntWithIndex(4)),
])
def test_packet_bytes_subclass_and_offset_conversions(packet, offset):
    assert UNPACK(packet, offset, RECIPE_OUT) == {"a": 5, "b": -1}

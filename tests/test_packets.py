"""pack_parameters / unpack_parameters with the binary integer encodings."""
import os
import subprocess
import sys
from pathlib import Path

import bitstruct
import pytest
from hypothesis import given, settings, strategies as st

import bitweave
from conftest import item

pack = bitweave.pack_parameters
unpack = bitweave.unpack_parameters

U, TWOS, ONES, SM = "unsigned", "twos_complement", "ones_complement", "sign_magnitude"


def f(bits, value=None, name="x", encoding=U, **kw):
    """An item of the given width; "value" only when one is given."""
    if value is not None:
        kw["value"] = value
    return item(name=name, encoding=encoding, bits=bits, **kw)


def without(d, *keys):
    return {k: v for k, v in d.items() if k not in keys}


class Idx:
    """Not an int, but usable as one."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


def raises_wrapped(call, message):
    """The call fails with a plain ValueError whose only argument is message."""
    with pytest.raises(ValueError) as info:
        call()
    assert info.type is ValueError
    assert info.value.args == (message,)


# ---------------------------------------------------------------------------
# Packing: bit placement, offsets, byte order, bit mirroring
# ---------------------------------------------------------------------------

PACK_CASES = [
    ("empty recipe", [], ""),
    ("zero-width fields only", [f(0, 0), f(0, 0)], ""),
    ("zero-width field at an offset still sizes the packet", [f(0, 0, offset_bits=20)], "000000"),
    ("two fields share a byte", [f(3, 5), f(5, 3)], "a3"),
    ("unsigned then twos complement", [f(3, 5), f(5, -1, encoding=TWOS)], "bf"),
    ("one bit", [f(1, 1)], "80"),
    ("bool value is an int", [f(1, True)], "80"),
    ("nine bits", [f(9, 0x1FF)], "ff80"),
    ("uncovered tail bits stay clear", [f(12, 0xABC)], "abc0"),
    ("sixty-four bits", [f(64, 2**64 - 1)], "ff" * 8),
    ("offset inside a byte", [f(4, 0xF, offset_bits=2)], "3c"),
    ("gap before an offset", [f(4, 0xF), f(4, 0xF, offset_bits=12)], "f00f"),
    ("offset moves the cursor", [f(4, 0xA, offset_bits=8), f(4, 0xB)], "00ab"),
    ("offset moving backwards", [f(8, 0x11, offset_bits=16), f(8, 0x22, offset_bits=0), f(8, 0x33)],
     "22331100"),
    ("later field overwrites earlier bits", [f(16, 0xFFFF), f(4, 0, offset_bits=4)], "f0ff"),
    ("field across a byte boundary", [f(4, 0), f(8, 0xFF)], "0ff0"),
    ("duplicate names", [f(4, 1, name="a"), f(4, 2, name="a")], "12"),
    ("index objects", [f(Idx(4), Idx(5), offset_bits=Idx(4))], "05"),
    ("bool width", [f(True, 1), f(True, 1)], "c0"),
    # byte order
    ("little 16", [f(16, 0x1234, byte_order="little")], "3412"),
    ("little 24", [f(24, 0x123456, byte_order="little")], "563412"),
    ("little 64", [f(64, 0x0102030405060708, byte_order="little")], "0807060504030201"),
    ("little 12: low byte then the top nibble", [f(12, 0xABC, byte_order="little")], "bca0"),
    ("little 9", [f(9, 0x155, byte_order="little")], "5580"),
    ("little 20", [f(20, 0x12345, byte_order="little")], "452310"),
    ("little 12 at offset 4", [f(12, 0xABC, byte_order="little", offset_bits=4)], "0bca"),
    ("little 24 twos complement", [f(24, -2, encoding=TWOS, byte_order="little")], "feffff"),
    ("byte order in capitals", [f(16, 0x1234, byte_order="LITTLE"), f(8, 1, byte_order="BIG")], "341201"),
    ("byte order mixed case", [f(16, 0x1234, byte_order="Little"), f(8, 1, byte_order="bIg")], "341201"),
    # bit mirroring
    ("mirrored nibble", [f(4, 1, reverse_bits=True)], "80"),
    ("mirrored nibble then a plain one", [f(4, 1, reverse_bits=True), f(4, 3)], "83"),
    ("mirrored palindrome", [f(3, 5, reverse_bits=True)], "a0"),
    ("mirrored 12", [f(12, 0xABC, reverse_bits=True)], "3d50"),
    ("mirrored 64", [f(64, 1, reverse_bits=True)], "80" + "00" * 7),
    ("mirrored then little", [f(12, 0xABC, reverse_bits=True, byte_order="little")], "d530"),
    ("mirrored twos complement", [f(8, -2, encoding=TWOS, reverse_bits=True)], "7f"),
    # signed encodings
    ("twos -1", [f(8, -1, encoding=TWOS)], "ff"),
    ("twos min", [f(8, -128, encoding=TWOS)], "80"),
    ("twos max", [f(8, 127, encoding=TWOS)], "7f"),
    ("twos one bit", [f(1, -1, encoding=TWOS)], "80"),
    ("twos 64 -1", [f(64, -1, encoding=TWOS)], "ff" * 8),
    ("twos 64 min", [f(64, -(2**63), encoding=TWOS)], "80" + "00" * 7),
    ("twos at bit 3", [f(3, 0), f(5, -16, encoding=TWOS)], "10"),
    ("ones -1", [f(8, -1, encoding=ONES)], "fe"),
    ("ones -127", [f(8, -127, encoding=ONES)], "80"),
    ("ones zero is never all ones", [f(8, 0, encoding=ONES)], "00"),
    ("ones 64 -1", [f(64, -1, encoding=ONES)], "ff" * 7 + "fe"),
    ("sign-magnitude -5", [f(8, -5, encoding=SM)], "85"),
    ("sign-magnitude 3 bits", [f(3, 3, encoding=SM), f(3, -3, encoding=SM)], "7c"),
    ("sign-magnitude zero", [f(2, 0, encoding=SM)], "00"),
    ("sign-magnitude 64 -1", [f(64, -1, encoding=SM)], "80" + "00" * 6 + "01"),
    # wider than 64 bits: zero-extended, never repeated
    ("72 bits", [f(72, 1)], "00" * 8 + "01"),
    ("72 bits all ones", [f(72, 2**64 - 1)], "00" + "ff" * 8),
    ("128 bits", [f(128, 5)], "00" * 15 + "05"),
    ("68 bits at offset 4", [f(68, 1, offset_bits=4)], "00" * 8 + "01"),
    ("72 bits mirrored", [f(72, 1, reverse_bits=True)], "80" + "00" * 8),
    ("72 bits all ones mirrored", [f(72, 2**64 - 1, reverse_bits=True)], "ff" * 8 + "00"),
    ("65 bits mirrored", [f(65, 1, reverse_bits=True)], "80" + "00" * 8),
    ("72 bits little", [f(72, 1, byte_order="little")], "01" + "00" * 8),
    ("70 bits little", [f(70, 0x0102030405060708, byte_order="little")], "0807060504030201" + "00"),
]


@pytest.mark.parametrize("recipe, expected", [c[1:] for c in PACK_CASES], ids=[c[0] for c in PACK_CASES])
def test_pack_layout(recipe, expected):
    packet = pack(recipe)
    assert type(packet) is bytes
    assert packet.hex() == expected


def test_pack_accepts_a_tuple_and_keyword():
    assert pack(recipe=(f(8, 1), f(8, 2))) == b"\x01\x02"


# ---------------------------------------------------------------------------
# Unpacking
# ---------------------------------------------------------------------------

UNPACK_CASES = [
    ("16 bits", "1234", 0, [f(16, name="a")], {"a": 0x1234}),
    ("16 bits little", "1234", 0, [f(16, name="a", byte_order="little")], {"a": 0x3412}),
    ("two bytes", "1234", 0, [f(8, name="a"), f(8, name="b")], {"a": 0x12, "b": 0x34}),
    ("base offset", "1234", 8, [f(8, name="a")], {"a": 0x34}),
    ("item offsets add to the base, not the cursor", "1234", 8,
     [f(8, name="a", offset_bits=0), f(8, name="b", offset_bits=0)], {"a": 0x34, "b": 0x34}),
    ("item offset moves the cursor", "12345678", 8, [f(8, name="a", offset_bits=8), f(8, name="b")],
     {"a": 0x56, "b": 0x78}),
    ("nibbles", "ab", 0, [f(4, name="hi"), f(4, name="lo")], {"hi": 10, "lo": 11}),
    ("across a byte boundary", "0ff0", 4, [f(8)], {"x": 0xFF}),
    ("field ends at the packet end", "abcd", 4, [f(12)], {"x": 0xBCD}),
    ("zero width at the packet end", "ff", 8, [f(0)], {"x": 0}),
    ("zero width inside the last byte", "ff", 12, [f(0)], {"x": 0}),
    ("empty recipe far past the end", "", 1000, [], {}),
    ("index objects", "0f", 0, [f(Idx(4), offset_bits=Idx(4))], {"x": 15}),
    ("letter case", "1234", 0, [f(16, encoding="UNSIGNED", byte_order="Little")], {"x": 0x3412}),
    ("duplicate names: later value, first place", "1234", 0,
     [f(8, name="a"), f(8, name="b"), f(4, name="a", offset_bits=0)], {"a": 1, "b": 0x34}),
    # byte order and mirroring
    ("little 24", "563412", 0, [f(24, byte_order="little")], {"x": 0x123456}),
    ("little 12", "bca0", 0, [f(12, byte_order="little")], {"x": 0xABC}),
    ("little 20", "452310", 0, [f(20, byte_order="little")], {"x": 0x12345}),
    ("little 12 at offset 4", "0bca", 0, [f(12, byte_order="little", offset_bits=4)], {"x": 0xABC}),
    ("little 12 mirrored", "d530", 0, [f(12, byte_order="little", reverse_bits=True)], {"x": 0xABC}),
    ("mirrored byte", "01", 0, [f(8, reverse_bits=True)], {"x": 128}),
    ("mirrored single bit", "80", 0, [f(1, reverse_bits=True)], {"x": 1}),
    ("mirrored 12", "0010", 0, [f(12, reverse_bits=True)], {"x": 0x800}),
    # signed decodes
    ("twos -1", "ff", 0, [f(8, encoding=TWOS)], {"x": -1}),
    ("twos min", "80", 0, [f(8, encoding=TWOS)], {"x": -128}),
    ("twos max", "7f", 0, [f(8, encoding=TWOS)], {"x": 127}),
    ("twos one bit", "80", 0, [f(1, encoding=TWOS)], {"x": -1}),
    ("twos across bytes", "0ff0", 4, [f(8, encoding="TwosComplement")], {"x": -1}),
    ("twos 64", "ff" * 8, 0, [f(64, encoding=TWOS)], {"x": -1}),
    ("ones negative zero", "ff", 0, [f(8, encoding=ONES)], {"x": 0}),
    ("ones -1", "fe", 0, [f(8, encoding=ONES)], {"x": -1}),
    ("ones -127", "80", 0, [f(8, encoding="onescomplement")], {"x": -127}),
    ("ones 64 negative zero", "ff" * 8, 0, [f(64, encoding=ONES)], {"x": 0}),
    ("ones 64 -1", "ff" * 7 + "fe", 0, [f(64, encoding=ONES)], {"x": -1}),
    ("sign-magnitude -5", "85", 0, [f(8, encoding=SM)], {"x": -5}),
    ("sign-magnitude negative zero", "80", 0, [f(8, encoding="SignMagnitude")], {"x": 0}),
    ("sign-magnitude 2 bits", "c0", 0, [f(2, encoding=SM)], {"x": -1}),
    ("sign-magnitude 64", "80" + "00" * 6 + "01", 0, [f(64, encoding=SM)], {"x": -1}),
    # unsigned
    ("64 bits all ones", "ff" * 8, 0, [f(64)], {"x": 2**64 - 1}),
    ("72 bits", "00" + "ff" * 8, 0, [f(72)], {"x": 2**64 - 1}),
    ("72 bits mirrored", "80" + "00" * 8, 0, [f(72, reverse_bits=True)], {"x": 1}),
    ("72 bits little", "01" + "00" * 8, 0, [f(72, byte_order="little")], {"x": 1}),
    ("70 bits little", "0807060504030201" + "00", 0, [f(70, byte_order="little")],
     {"x": 0x0102030405060708}),
    ("128 bits", "00" * 15 + "05", 0, [f(128)], {"x": 5}),
]


@pytest.mark.parametrize("packet, offset, recipe, expected", [c[1:] for c in UNPACK_CASES],
                         ids=[c[0] for c in UNPACK_CASES])
def test_unpack_layout(packet, offset, recipe, expected):
    result = unpack(bytes.fromhex(packet), offset, recipe)
    assert type(result) is dict
    assert list(result.items()) == list(expected.items())
    assert all(type(v) is int for v in result.values())


def test_unpack_accepts_a_tuple_and_keywords():
    assert unpack(recipe=(f(8, name="a"),), offset_bits=0, packet_bytes=b"\x07") == {"a": 7}


# ---------------------------------------------------------------------------
# Names and items
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("spelled, image, value", [
    ("Unsigned", "c8", 200), ("UNSIGNED", "c8", 200),
    ("twoscomplement", "fd", -3), ("TwosComplement", "fd", -3), ("TWOS_COMPLEMENT", "fd", -3),
    ("onescomplement", "fc", -3), ("onesComplement", "fc", -3), ("OnesComplement", "fc", -3),
    ("Ones_Complement", "fc", -3),
    ("signmagnitude", "83", -3), ("SignMagnitude", "83", -3), ("SIGN_MAGNITUDE", "83", -3),
])
def test_encoding_names_in_any_letter_case(spelled, image, value):
    assert pack([f(8, value, encoding=spelled)]).hex() == image
    assert unpack(bytes.fromhex(image), 0, [f(8, encoding=spelled)]) == {"x": value}


@pytest.mark.parametrize("name", [
    "bogus", "", " unsigned", "unsigned ", "uint",
    "twos-complement", "ones-complement", "sign-magnitude",  # no hyphen forms for these
    "UNS\u0130GNED",                  # dotted capital I lower-cases to i + combining dot
    "\uff55\uff4e\uff53\uff49\uff47\uff4e\uff45\uff44",  # fullwidth letters
    "uns\u0131gned",                  # dotless i
    "\u212aunsigned",                 # Kelvin sign lower-cases to k, still no such name
])
def test_unknown_encoding_names_are_repeated_unchanged(name):
    message = f"ValueError: Unsupported encoding type: {name}"
    raises_wrapped(lambda: pack([f(8, 1, encoding=name)]), message)
    raises_wrapped(lambda: unpack(b"\x01", 0, [f(8, encoding=name)]), message)


@pytest.mark.parametrize("order", ["LE", "be", "", " big", "little ", "b\u0130g", "network"])
def test_unknown_byte_orders_are_repeated_unchanged(order):
    message = f"ValueError: Invalid byte_order '{order}': must be 'big' or 'little'"
    raises_wrapped(lambda: pack([f(8, 1, byte_order=order)]), message)
    raises_wrapped(lambda: unpack(b"\x01", 0, [f(8, byte_order=order)]), message)


class OddDict(dict):
    """Lookups through Python-level hooks would see other values."""

    def __getitem__(self, key):
        return "bogus"

    def __missing__(self, key):
        return 1

    def get(self, key, default=None):
        return "bogus"


def test_dict_subclass_is_read_through_its_own_storage():
    assert pack([OddDict(f(8, 7))]) == b"\x07"
    assert unpack(b"\x07", 0, [OddDict(f(8))]) == {"x": 7}
    raises_wrapped(lambda: pack([OddDict(f(8))]),
                   "KeyError: \"Recipe item 'x' missing required field: 'value'\"")
    raises_wrapped(lambda: unpack(b"\x07", 0, [OddDict(without(f(8), "bits"))]),
                   "KeyError: \"Recipe missing required field: 'bits'\"")


def test_numpy_bool_is_a_flag():
    np = pytest.importorskip("numpy")
    assert pack([f(4, 1, reverse_bits=np.bool_(True))]) == b"\x80"
    assert unpack(b"\x80", 0, [f(4, reverse_bits=np.True_)]) == {"x": 1}


def test_unpack_ignores_value():
    assert unpack(b"\x05", 0, [f(8, value="anything")]) == {"x": 5}


@pytest.mark.parametrize("call", [
    lambda r: pack(r),
    lambda r: unpack(b"\x00", 0, r),
], ids=["pack", "unpack"])
@pytest.mark.parametrize("recipe, message", [
    ("abc", "argument 'recipe': Can't extract `str` to `Vec`"),
    ({"name": "x"}, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
    (5, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
])
def test_recipe_argument_errors_are_not_wrapped(call, recipe, message):
    with pytest.raises(TypeError) as info:
        call(recipe)
    assert info.type is TypeError
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Errors: order and texts
# ---------------------------------------------------------------------------

def missing(key):
    return f"KeyError: \"Recipe missing required field: '{key}'\""


FULL = f(8, 1)

# keys taken out of a complete item -> the key reported
MISSING_PACK = [
    ({"name", "bits"}, "bits"),             # the sizing pass reads "bits" first
    ({"name", "encoding"}, "name"),
    ({"encoding", "byte_order", "reverse_bits"}, "encoding"),
    ({"byte_order", "reverse_bits", "value"}, "byte_order"),
    ({"reverse_bits", "value"}, "reverse_bits"),
]
MISSING_UNPACK = [
    ({"name", "bits"}, "name"),
    ({"encoding", "bits"}, "encoding"),
    ({"bits", "byte_order"}, "bits"),
    ({"byte_order", "reverse_bits"}, "byte_order"),
    ({"reverse_bits"}, "reverse_bits"),
]


@pytest.mark.parametrize("keys, reported", MISSING_PACK)
def test_pack_missing_keys_in_check_order(keys, reported):
    raises_wrapped(lambda: pack([without(FULL, *keys)]), missing(reported))


@pytest.mark.parametrize("keys, reported", MISSING_UNPACK)
def test_unpack_missing_keys_in_check_order(keys, reported):
    raises_wrapped(lambda: unpack(b"\x01", 0, [without(FULL, *keys)]), missing(reported))


PACK_ERRORS = [
    ("item is a list of pairs", [list(FULL.items())], "TypeError: 'list' object cannot be cast as 'dict'"),
    ("later non-dict before earlier missing name", [without(FULL, "name"), 5],
     "TypeError: 'int' object cannot be cast as 'dict'"),
    ("later missing bits before earlier missing name", [without(FULL, "name"), FULL, without(FULL, "bits")],
     missing("bits")),
    ("later bad offset before earlier bad name", [f(8, 1, name=5), f(8, 1, offset_bits=-1)],
     "OverflowError: can't convert negative int to unsigned"),
    ("missing value", [FULL, f(8, name="speed")],
     "KeyError: \"Recipe item 'speed' missing required field: 'value'\""),
    ("missing value before unknown name", [f(8, encoding="bogus")],
     "KeyError: \"Recipe item 'x' missing required field: 'value'\""),
    ("name not text", [f(8, 1, name=5)], "TypeError: 'int' object cannot be cast as 'str'"),
    ("encoding not text", [f(8, 1, encoding=None)], "TypeError: 'NoneType' object cannot be cast as 'str'"),
    ("byte order not text", [f(8, 1, byte_order=b"big")], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ("reverse_bits int", [f(8, 1, reverse_bits=1)], "TypeError: 'int' object cannot be cast as 'bool'"),
    ("reverse_bits None", [f(8, 1, reverse_bits=None)], "TypeError: 'NoneType' object cannot be cast as 'bool'"),
    ("bits float", [f(8.0, 1)], "TypeError: 'float' object cannot be interpreted as an integer"),
    ("bits negative", [f(-1, 0)], "OverflowError: can't convert negative int to unsigned"),
    ("bits too large", [f(2**64, 0)], "OverflowError: int too big to convert"),
    ("offset None", [f(8, 1, offset_bits=None)], "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("value None", [item(bits=8, value=None)], "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("value float", [f(8, 1.0)], "TypeError: 'float' object cannot be interpreted as an integer"),
    ("unknown name before bad value", [f(8, "text", encoding="bogus")], "ValueError: Unsupported encoding type: bogus"),
    ("unknown name before bad byte order", [f(8, 1, encoding="bogus", byte_order="LE")],
     "ValueError: Unsupported encoding type: bogus"),
    ("bad value before bad byte order", [f(8, 256, byte_order="LE")], "ValueError: Value 256 is too large for 8 bits"),
    ("bad value type before bad byte order", [f(8, "1", byte_order="LE")],
     "TypeError: 'str' object cannot be interpreted as an integer"),
    ("bad width before bad byte order", [f(1, 0, encoding=SM, byte_order="LE")],
     "ValueError: bits must be between 2 and 64 for sign-magnitude encoding"),
    ("error in a later item", [f(8, 1), f(8, 1), f(4, 16)], "ValueError: Value 16 is too large for 4 bits"),
    # unsigned range rule
    ("unsigned negative", [f(8, -1)], "OverflowError: can't convert negative int to unsigned"),
    ("unsigned above 64 bits of value", [f(64, 2**64)], "OverflowError: int too big to convert"),
    ("unsigned zero width", [f(0, 5)], "ValueError: Value 5 is too large for 0 bits"),
    ("unsigned one bit", [f(1, 2)], "ValueError: Value 2 is too large for 1 bits"),
    ("unsigned 63 bits", [f(63, 2**63)], "ValueError: Value 9223372036854775808 is too large for 63 bits"),
    # signed encodings
    ("twos too large", [f(8, 128, encoding=TWOS)], "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)"),
    ("twos too small", [f(8, -129, encoding=TWOS)],
     "ValueError: Value -129 out of range for 8 bits (range: -128 to 127)"),
    ("twos one bit", [f(1, 1, encoding=TWOS)], "ValueError: Value 1 out of range for 1 bits (range: -1 to 0)"),
    ("twos too wide", [f(65, 5, encoding=TWOS)], "ValueError: bits must be <= 64 for two's complement encoding"),
    ("twos beyond 64-bit", [f(64, 2**63, encoding=TWOS)], "OverflowError: int too big to convert"),
    ("ones too large", [f(8, 128, encoding=ONES)], "ValueError: Value 128 is too large for 8 bits"),
    ("ones too negative", [f(8, -128, encoding=ONES)], "ValueError: Value -128 is too large (magnitude) for 8 bits"),
    ("ones 64 min", [f(64, -(2**63), encoding=ONES)],
     "ValueError: Value -9223372036854775808 is too large (magnitude) for 64 bits"),
    ("ones too wide", [f(72, 1, encoding=ONES)], "ValueError: bits must be <= 64 for ones' complement encoding"),
    ("sign-magnitude one bit", [f(1, 0, encoding=SM)],
     "ValueError: bits must be between 2 and 64 for sign-magnitude encoding"),
    ("sign-magnitude too wide", [f(65, 0, encoding=SM)],
     "ValueError: bits must be between 2 and 64 for sign-magnitude encoding"),
    ("sign-magnitude too large", [f(8, 128, encoding=SM)], "ValueError: Magnitude of 128 is too large for 8 bits"),
    ("sign-magnitude too negative", [f(8, -128, encoding=SM)], "ValueError: Magnitude of -128 is too large for 8 bits"),
    ("sign-magnitude 64 min", [f(64, -(2**63), encoding=SM)],
     "ValueError: Magnitude of -9223372036854775808 is too large for 64 bits"),
]


@pytest.mark.parametrize("recipe, message", [c[1:] for c in PACK_ERRORS], ids=[c[0] for c in PACK_ERRORS])
def test_pack_errors(recipe, message):
    raises_wrapped(lambda: pack(recipe), message)


UNPACK_ERRORS = [
    ("item is a list of pairs", "01", 0, [list(FULL.items())], "TypeError: 'list' object cannot be cast as 'dict'"),
    ("earlier missing name before later missing bits", "01", 0, [without(FULL, "name"), without(FULL, "bits")],
     missing("name")),
    ("name before bits", "01", 0, [f("8", name=5)], "TypeError: 'int' object cannot be cast as 'str'"),
    ("reverse_bits int", "01", 0, [f(8, reverse_bits=1)], "TypeError: 'int' object cannot be cast as 'bool'"),
    ("bits float", "01", 0, [f(8.0)], "TypeError: 'float' object cannot be interpreted as an integer"),
    ("offset None", "01", 0, [f(8, offset_bits=None)],
     "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("offset negative", "01", 0, [f(8, offset_bits=-8)], "OverflowError: can't convert negative int to unsigned"),
    # fields past the end of the packet
    ("end past the packet", "01", 0, [f(16)], "ValueError: range end index 2 out of range for slice of length 1"),
    ("one bit too far", "abcd", 5, [f(12)], "ValueError: range end index 3 out of range for slice of length 2"),
    ("second field past the end", "ff", 0, [f(8, name="a"), f(8, name="b")],
     "ValueError: range end index 2 out of range for slice of length 1"),
    ("zero width beyond the end", "01", 16, [f(0)], "ValueError: range start index 2 out of range for slice of length 1"),
    ("start beyond the end", "0102", 24, [f(8)], "ValueError: range start index 3 out of range for slice of length 2"),
    ("empty packet", "", 0, [f(1)], "ValueError: range end index 1 out of range for slice of length 0"),
    ("outside before bad byte order", "01", 0, [f(16, byte_order="LE")],
     "ValueError: range end index 2 out of range for slice of length 1"),
    ("outside before unknown name", "01", 0, [f(16, encoding="bogus")],
     "ValueError: range end index 2 out of range for slice of length 1"),
    ("bad byte order before unknown name", "01", 0, [f(8, encoding="bogus", byte_order="LE")],
     "ValueError: Invalid byte_order 'LE': must be 'big' or 'little'"),
    ("error after good fields", "ffff", 0, [f(8, name="a"), f(8, name="b", encoding="bogus")],
     "ValueError: Unsupported encoding type: bogus"),
    # sums that would wrap in 64 bits
    ("base plus item offset", "01", 2**64 - 8, [f(8, offset_bits=2**64 - 8)],
     "ValueError: range start index 4611686018427387902 out of range for slice of length 1"),
    ("base near the top", "", 2**64 - 1, [f(8)],
     "ValueError: range start index 2305843009213693951 out of range for slice of length 0"),
    ("widest field", "01", 0, [f(2**64 - 1)],
     "ValueError: range end index 2305843009213693952 out of range for slice of length 1"),
    ("widest field off a byte boundary", "01", 7, [f(2**64 - 1)],
     "ValueError: range end index 2305843009213693953 out of range for slice of length 1"),
    # fields wider than 64 bits
    ("72 bits over 64", "01" + "00" * 8, 0, [f(72, name="wide")],
     "ValueError: Field 'wide' of 72 bits holds a value wider than 64 bits"),
    ("72 bits mirrored over 64", "00" * 8 + "01", 0, [f(72, reverse_bits=True)],
     "ValueError: Field 'x' of 72 bits holds a value wider than 64 bits"),
    ("72 bits little over 64", "00" * 8 + "01", 0, [f(72, byte_order="little")],
     "ValueError: Field 'x' of 72 bits holds a value wider than 64 bits"),
    ("65 bits top bit", "80" + "00" * 8, 0, [f(65)], "ValueError: Field 'x' of 65 bits holds a value wider than 64 bits"),
]


@pytest.mark.parametrize("packet, offset, recipe, message", [c[1:] for c in UNPACK_ERRORS],
                         ids=[c[0] for c in UNPACK_ERRORS])
def test_unpack_errors(packet, offset, recipe, message):
    raises_wrapped(lambda: unpack(bytes.fromhex(packet), offset, recipe), message)


def test_field_past_the_end_is_quiet(capfd):
    raises_wrapped(lambda: unpack(b"\x01", 0, [f(16)]),
                   "ValueError: range end index 2 out of range for slice of length 1")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("recipe", [
    [f(8, 0, offset_bits=2**64 - 8)],                      # end is 2**64
    [f(8, 0, offset_bits=2**64 - 4)],
    [f(2**63, 0), f(2**63, 0)],                            # cursor wraps
    [f(8, 0, offset_bits=2**64 - 1), f(8, 0)],
])
def test_pack_position_overflow_is_an_error(recipe):
    with pytest.raises(ValueError) as info:
        pack(recipe)
    assert info.type is ValueError
    assert str(info.value).split(":")[0].endswith("Error")


_asan = "asan" in os.environ.get("LD_PRELOAD", "") and "allocator_may_return_null=1" not in os.environ.get(
    "ASAN_OPTIONS", "")


@pytest.mark.skipif(_asan, reason="AddressSanitizer aborts on huge allocations")
@pytest.mark.parametrize("recipe", [
    [f(2**64 - 1, 0)],
    [f(8, 0, offset_bits=2**64 - 16)],
])
def test_pack_unallocatable_packet_is_an_error(recipe):
    with pytest.raises(ValueError) as info:
        pack(recipe)
    assert info.type is ValueError


# ---------------------------------------------------------------------------
# Properties, against a bit-level model and bitstruct
# ---------------------------------------------------------------------------

MIN_WIDTH = {U: 0, TWOS: 1, ONES: 1, SM: 2}


def value_range(enc, n):
    if enc == U:
        return 0, (1 << min(n, 64)) - 1
    if enc == TWOS:
        return -(1 << (n - 1)), (1 << (n - 1)) - 1
    return -((1 << (n - 1)) - 1), (1 << (n - 1)) - 1


def pattern(enc, n, v):
    if v >= 0:
        return v
    if enc == TWOS:
        return v + (1 << n)
    if enc == ONES:
        return (1 << n) - 1 + v
    return -v | (1 << (n - 1))


def decode(enc, n, p):
    if enc == U or not (p >> (n - 1)) & 1:
        return p
    if enc == TWOS:
        return p - (1 << n)
    if enc == ONES:
        return p - ((1 << n) - 1)
    return -(p & ((1 << (n - 1)) - 1))


def mirror(x, n):
    return int(format(x, f"0{n}b")[::-1], 2) if n else 0


def to_little(p, n):
    """Field bits for byte order little: whole bytes least significant first, then the top n % 8 bits."""
    full, rest = divmod(n, 8)
    s = "".join(format((p >> 8 * k) & 0xFF, "08b") for k in range(full))
    if rest:
        s += format(p >> 8 * full, f"0{rest}b")
    return int(s, 2) if s else 0


def from_little(field, n):
    s = format(field, f"0{n}b") if n else ""
    full = n // 8
    p = sum(int(s[8 * k:8 * k + 8], 2) << 8 * k for k in range(full))
    if n % 8:
        p |= int(s[8 * full:], 2) << 8 * full
    return p


def field_bits(layout):
    """The field as it sits in the packet, most significant bit first."""
    n = layout["bits"]
    p = pattern(layout["encoding"], n, layout["value"])
    if layout["reverse_bits"]:
        p = mirror(p, n)
    return to_little(p, n) if layout["byte_order"] == "little" else p


def read_field(layout, field):
    n = layout["bits"]
    p = from_little(field, n) if layout["byte_order"] == "little" else field
    if layout["reverse_bits"]:
        p = mirror(p, n)
    return decode(layout["encoding"], n, p)


spell = st.sampled_from([str.lower, str.upper, str.title])


@st.composite
def field_layouts(draw, wide=True, plain=False):
    enc = draw(st.sampled_from([U, TWOS, ONES, SM]))
    if enc == U and wide and draw(st.integers(0, 7)) == 0:
        n = draw(st.integers(65, 136))
    else:
        n = draw(st.integers(max(MIN_WIDTH[enc], 1 if plain else 0), 64))
    return {
        "encoding": enc,
        "bits": n,
        "value": draw(st.integers(*value_range(enc, n))),
        "byte_order": "big" if plain else draw(st.sampled_from(["big", "little"])),
        "reverse_bits": False if plain else draw(st.booleans()),
    }


@st.composite
def layouts(draw, **kw):
    """Non-overlapping fields: (recipe, [(start, layout)] in packet order, total bits)."""
    layouts = draw(st.lists(field_layouts(**kw), max_size=8))
    shuffled = draw(st.booleans())
    placed, recipe, pos = [], [], 0
    for i, layout in enumerate(layouts):
        gap = draw(st.integers(0, 12))
        start = pos + gap
        it = item(name=f"f{i}", encoding=draw(spell)(layout["encoding"]), bits=layout["bits"],
                  byte_order=draw(spell)(layout["byte_order"]), reverse_bits=layout["reverse_bits"],
                  value=layout["value"])
        if shuffled or gap or draw(st.booleans()):
            it["offset_bits"] = start
        placed.append((start, layout))
        recipe.append(it)
        pos = start + layout["bits"]
    if shuffled:
        recipe = draw(st.permutations(recipe))
    return recipe, placed, pos


def bitstruct_format(placed, kind=lambda layout: "u"):
    fmt, pos = "", 0
    for start, layout in placed:
        if start > pos:
            fmt += f"p{start - pos}"
        if layout["bits"]:
            fmt += f"{kind(layout)}{layout['bits']}"
        pos = start + layout["bits"]
    return fmt


@settings(max_examples=250, deadline=None)
@given(layouts())
def test_pack_matches_bit_model_and_unpacks_back(layout):
    recipe, placed, _ = layout
    packet = pack(recipe)
    images = [field_bits(layout) for _, layout in placed if layout["bits"]]
    assert packet == bitstruct.pack(bitstruct_format(placed), *images)
    assert unpack(packet, 0, recipe) == {it["name"]: it["value"] for it in recipe}


@settings(max_examples=200, deadline=None)
@given(layouts(wide=False, plain=True), st.integers(0, 20))
def test_big_endian_agrees_with_bitstruct(layout, base):
    recipe, placed, _ = layout
    kind = lambda layout: "s" if layout["encoding"] == TWOS else "u"
    args = [layout["value"] if layout["encoding"] in (U, TWOS) else pattern(layout["encoding"], layout["bits"], layout["value"])
            for _, layout in placed]
    fmt = bitstruct_format(placed, kind)
    assert pack(recipe) == bitstruct.pack(fmt, *args)
    shifted = bitstruct.pack(f"p{base}" + fmt if base else fmt, *args)
    assert unpack(shifted, base, recipe) == {it["name"]: it["value"] for it in recipe}


@st.composite
def read_recipes(draw):
    """Any fields, overlapping or not, and where each one is read from."""
    base = draw(st.integers(0, 16))
    recipe, cursor = [], base
    for i in range(draw(st.integers(0, 6))):
        layout = draw(field_layouts())
        it = item(name=f"f{i % 4}", encoding=layout["encoding"], bits=layout["bits"],
                  byte_order=layout["byte_order"], reverse_bits=layout["reverse_bits"])
        if draw(st.booleans()):
            it["offset_bits"] = draw(st.integers(0, 80))
            cursor = base + it["offset_bits"]
        recipe.append((it, layout, cursor))
        cursor += layout["bits"]
    need = max([(p + s["bits"] + 7) // 8 for _, s, p in recipe], default=0)
    data = draw(st.binary(min_size=max(0, need - 2), max_size=need + 3))
    return data, base, recipe


@settings(max_examples=250, deadline=None)
@given(read_recipes())
def test_unpack_agrees_with_bitstruct_on_any_bytes(case):
    data, base, placed = case
    recipe = [it for it, _, _ in placed]
    expected, error = {}, None
    for it, layout, p in placed:
        n, length = layout["bits"], len(data)
        s, e = p // 8, p // 8 + ((p % 8 + n + 7) // 8 if n else 0)
        if s > length:
            error = f"ValueError: range start index {s} out of range for slice of length {length}"
        elif e > length:
            error = f"ValueError: range end index {e} out of range for slice of length {length}"
        else:
            field = bitstruct.unpack_from(f"u{n}", data, offset=p)[0] if n else 0
            value = read_field(layout, field)
            if value >= 2**64:
                error = f"ValueError: Field '{it['name']}' of {n} bits holds a value wider than 64 bits"
            expected[it["name"]] = value
        if error:
            break
    if error:
        raises_wrapped(lambda: unpack(data, base, recipe), error)
    else:
        assert unpack(data, base, recipe) == expected


def test_the_demo_runs_and_its_packet_matches_plain_arithmetic():
    # The README's main job: the demo cross-checks bitweave's packet against one built
    # with integer arithmetic and asserts every decoded value.
    demo = Path(__file__).resolve().parents[1] / "examples" / "ccsds_demo.py"
    run = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.rstrip().endswith("round trip ok")

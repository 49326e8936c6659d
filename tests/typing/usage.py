"""bitweave used as a typed program would use it, for checking the installed type stubs.

    python -m mypy --strict --warn-unused-ignores tests/typing/usage.py
    python tests/typing/usage.py

mypy must accept every line, and each line marked `# type: ignore[...]` is one the stubs
must refuse: --warn-unused-ignores reports a marker that no longer suppresses an error.
Run as a script, the accepted lines execute and check that the values have the types the
stubs give them; the refused lines sit in a function that is never called.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NoReturn

import numpy as np

import bitweave
from bitweave_columns import Layout, ccsds_index

if TYPE_CHECKING:
    from bitweave import _PackItem, _UnpackItem

# A recipe written as in the README: a plain list of dicts, not annotated.
readme_recipe = [
    {"name": "mode", "encoding": "unsigned", "bits": 3,
     "byte_order": "big", "reverse_bits": False, "value": 5},
    {"name": "current", "encoding": "twos_complement", "bits": 5,
     "byte_order": "big", "reverse_bits": False, "value": -1},
]
readme_packet: bytes = bitweave.pack_parameters(readme_recipe)
assert readme_packet == b"\xbf"
assert bitweave.unpack_parameters(readme_packet, 0, readme_recipe) == {"mode": 5, "current": -1}

# A recipe annotated with the item type, used in both directions: a packing item is also
# an unpacking item.
recipe: list[_PackItem] = [
    {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big",
     "reverse_bits": False, "value": 0x7FF, "offset_bits": 5},
    {"name": "temp", "encoding": "IEEE754_F32", "bits": 32, "byte_order": "little",
     "reverse_bits": False, "value": 21.5},
    {"name": "label", "encoding": "utf-8", "bits": 24, "byte_order": "big",
     "reverse_bits": False, "value": "ok"},
    {"name": "count", "encoding": "packed_bcd", "bits": np.uint8(8), "byte_order": "big",
     "reverse_bits": False, "value": np.int64(42)},
]
packet = bitweave.pack_parameters(recipe)
fields = bitweave.unpack_parameters(packet, 0, recipe)

# The decoded values are int, float or str; a caller narrows them.
apid = fields["apid"]
assert isinstance(apid, int) and apid == 0x7FF
temp = fields["temp"]
assert isinstance(temp, float) and temp == 21.5
label = fields["label"]
assert isinstance(label, str) and label.rstrip("\0") == "ok"

layout: list[_UnpackItem] = [
    {"name": "flag", "encoding": "unsigned", "bits": 1, "byte_order": "BIG", "reverse_bits": True},
    {"name": "big", "encoding": "ieee754_f128", "bits": 128, "byte_order": "big",
     "reverse_bits": False, "offset_bits": 8},
]
wide = bitweave.unpack_parameters(b"\x80" + (0x3FFF << 112).to_bytes(16, "big"), 0, layout)
assert wide == {"flag": 1, "big": 1.0}

# Single values.
pattern: int = bitweave.encode_twos_complement(-3, 5)
number: int = bitweave.decode_twos_complement(pattern, bits=5)
assert (pattern, number) == (29, -3)
bcd: int = bitweave.encode_packed_bcd(value=-12, bits=12, signed=True)
assert bitweave.decode_packed_bcd(bcd, 12, signed=True) == -12
assert bitweave.decode_unpacked_bcd(bitweave.encode_unpacked_bcd(7, 8), 8) == 7
half: float = bitweave.decode_ieee754_f16(bitweave.encode_ieee754_f16(1))
double: float = bitweave.decode_ieee754_f64(bitweave.encode_ieee754_f64(np.float32(0.5)))
quad: float = bitweave.decode_ieee754_f128(0x3FFF << 112)
assert (half, double, quad) == (1.0, 0.5, 1.0)
assert bitweave.encode_ones_complement(np.int16(-1), 8) == 0xFE
encoded: bytes = bitweave.encode_utf16le("héllo")
text: str = bitweave.decode_utf16le(encoded)
assert text == "héllo"
assert bitweave.decode_windows_1252(bitweave.encode_windows_1252(text="€")) == "€"


# A reserved format never returns: mypy would refuse this function's implicit return
# if the stubs said otherwise.
def reserved_format() -> NoReturn:
    bitweave.encode_ibm_f32(1.0)


try:
    reserved_format()
except NotImplementedError:
    pass


def refused() -> None:
    """Calls the stubs must refuse; never run."""
    bitweave.encode_twos_complement(1.5, 8)  # type: ignore[arg-type]
    bitweave.decode_ieee754_f32(1.0)  # type: ignore[arg-type]
    bitweave.encode_ieee754_f64("1.0")  # type: ignore[arg-type]
    bitweave.decode_utf8("text")  # type: ignore[arg-type]
    bitweave.encode_utf8(b"text")  # type: ignore[arg-type]
    bitweave.decode_packed_bcd(0x12, 8, sign=True)  # type: ignore[call-arg]
    bitweave.encode_unpacked_bcd(1, 8, True, 0)  # type: ignore[call-arg]
    bitweave.unpack_parameters("\x00", 0, recipe)  # type: ignore[arg-type]
    bitweave.pack_parameters(recipe, 0)  # type: ignore[call-arg]
    bitweave.pack_parameters("recipe")  # type: ignore[arg-type]
    wrong: str = bitweave.decode_twos_complement(1, 8)  # type: ignore[assignment]
    packed: str = bitweave.pack_parameters(recipe)  # type: ignore[assignment]
    unnarrowed: int = fields["apid"]  # type: ignore[assignment]
    bitweave.PanicException  # type: ignore[attr-defined]
    bad_value: _PackItem = {"name": "x", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": b"x"}  # type: ignore[typeddict-item]  # noqa: E501
    no_value: _PackItem = {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}  # type: ignore[typeddict-item]  # noqa: E501
    bad_bits: _UnpackItem = {"name": "x", "encoding": "unsigned", "bits": 8.0, "byte_order": "big", "reverse_bits": False}  # type: ignore[typeddict-item]  # noqa: E501
    print(wrong, packed, unnarrowed, bad_value, no_value, bad_bits)


# ---- bitweave_columns ----

compiled = Layout(recipe)
packed_run: bytes = compiled.pack({"apid": [1, 2], "temp": 1.5, "label": "ok", "count": 42})
columns: dict[str, np.ndarray[Any, Any]] = compiled.unpack(packed_run)
masked = compiled.unpack(packed_run, errors="mask")
one: dict[str, Any] = compiled.unpack_one(packed_run, offset_bits=0)
index = ccsds_index(packed_run, skip_header_bytes=0)
print(compiled.names, compiled.size, columns, masked, one, index)


def refused_columns() -> None:
    """Calls the column stubs must refuse; never run."""
    compiled.unpack(packed_run, errors="ignore")  # type: ignore[call-overload]
    compiled.unpack_one(packed_run, 0, 1)  # type: ignore[call-arg]
    name_count: int = compiled.names  # type: ignore[assignment]
    print(name_count)

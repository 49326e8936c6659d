# Type stubs for the bitweave extension module.
#
# Installed twice from this one file: as bitweave.pyi beside the compiled module (editors)
# and as bitweave-stubs/__init__.pyi (mypy, which reads an installed module's stubs only
# from a package).
#
# Every parameter may be given by position or by keyword, as at run time.
#
# Argument types follow the conversions the module makes:
# - integers and bit counts go through __index__ (SupportsIndex: int, bool, numpy integers;
#   never float);
# - float arguments go through __float__, or __index__ when there is no __float__;
# - flags take bool (numpy's bool scalars are accepted at run time too);
# - text is str, byte strings are bytes (bytearray and memoryview are refused).
#
# The names starting with an underscore exist only here, for type checking: the module
# itself has no such attributes. To annotate a recipe, import them under TYPE_CHECKING:
#
#     if TYPE_CHECKING:
#         from bitweave import _PackItem
#     recipe: list[_PackItem] = [...]

from collections.abc import Sequence
from typing import Any, Literal, NoReturn, SupportsFloat, SupportsIndex, TypedDict

from typing_extensions import NotRequired, TypeAlias

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

_FloatLike: TypeAlias = SupportsFloat | SupportsIndex

# ---- Recipes ----

# The encoding names pack_parameters accepts, in the letter case of the module's own
# table. Names are matched in any letter case, so the recipe keys below take any str as
# well: the Literal lists the names for readers and for editors' completion, and refuses
# nothing.
_PackEncoding: TypeAlias = Literal[
    "unsigned",
    "twos_complement", "twoscomplement",
    "ones_complement", "onescomplement",
    "sign_magnitude", "signmagnitude",
    "bcd",
    "bcd_signed", "bcd-signed",
    "packed_bcd", "packed-bcd",
    "packed_bcd_signed", "packed-bcd-signed",
    "ieee754_f16", "ieee754-f16",
    "ieee754_f32", "ieee754-f32",
    "ieee754_f64", "ieee754-f64",
    "us_ascii", "us-ascii",
    "iso_8859_1", "iso-8859-1",
    "windows_1252", "windows-1252",
    "utf8", "utf-8",
    "utf16", "utf-16",
    "utf16le", "utf-16le",
    "utf16be", "utf-16be",
    "utf32", "utf-32",
    "utf32le", "utf-32le",
    "utf32be", "utf-32be",
]
# unpack_parameters also reads binary128 fields and takes "latin1" for ISO-8859-1. It
# accepts the names of the reserved float formats too (ibm_f32, dec_f64, ...), but
# decoding them always fails, so they are left out of the list.
_UnpackEncoding: TypeAlias = _PackEncoding | Literal["ieee754_f128", "ieee754-f128", "latin1"]
_ByteOrder: TypeAlias = Literal["big", "little"]

# The value a packing item holds: an int for the integer and BCD encodings, a float (or
# an int) for IEEE 754, a str for text.
_PackValue: TypeAlias = SupportsIndex | SupportsFloat | str
# What unpack_parameters gives for one field: int, float or str, by the item's encoding.
_Decoded: TypeAlias = int | float | str

class _UnpackItem(TypedDict):
    """One field of a recipe for unpack_parameters; a "value" key would be ignored."""

    name: str
    encoding: _UnpackEncoding | str
    bits: SupportsIndex
    byte_order: _ByteOrder | str  # "big" or "little", in any letter case
    reverse_bits: bool
    # Bits from the call's offset_bits; without it the field follows the previous one.
    offset_bits: NotRequired[SupportsIndex]

class _PackItem(TypedDict):
    """One field of a recipe for pack_parameters."""

    name: str
    encoding: _PackEncoding | str
    bits: SupportsIndex
    byte_order: _ByteOrder | str
    reverse_bits: bool
    # Bits from the start of the packet; without it the field follows the previous one.
    offset_bits: NotRequired[SupportsIndex]
    value: _PackValue

# The recipe arguments take either item type or any dict: a recipe written as a list of
# dict displays and stored in a variable is inferred as list[dict[str, object]], which
# would match no TypedDict, and such code is right. A recipe annotated with the item
# types is checked where it is written.

def unpack_parameters(
    packet_bytes: bytes,
    offset_bits: SupportsIndex,
    recipe: Sequence[_UnpackItem | dict[str, Any]],
) -> dict[str, _Decoded]: ...
def pack_parameters(recipe: Sequence[_PackItem | dict[str, Any]]) -> bytes: ...

# ---- Decoding: a bit pattern (an unsigned int) to its value ----

def decode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def decode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def decode_ieee754_f16(value: SupportsIndex) -> float: ...
def decode_ieee754_f32(value: SupportsIndex) -> float: ...
def decode_ieee754_f64(value: SupportsIndex) -> float: ...

# A 128-bit pattern; the value comes back as a float (binary64), its fraction cut to 52 bits.
def decode_ieee754_f128(value: SupportsIndex) -> float: ...

# Reserved formats: the pattern is converted, then NotImplementedError is raised.
def decode_ieee754_1985_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ieee754_1985_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ieee754_1985_f80(_value: SupportsIndex) -> NoReturn: ...
def decode_mil_std_1750a_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_mil_std_1750a_f48(_value: SupportsIndex) -> NoReturn: ...
def decode_dec_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_dec_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ibm_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ibm_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ti_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ti_f40(_value: SupportsIndex) -> NoReturn: ...

# Encoded text to str.
def decode_us_ascii(bytes: bytes) -> str: ...
def decode_iso_8859_1(bytes: bytes) -> str: ...
def decode_windows_1252(bytes: bytes) -> str: ...
def decode_utf8(bytes: bytes) -> str: ...
def decode_utf16(bytes: bytes) -> str: ...
def decode_utf16le(bytes: bytes) -> str: ...
def decode_utf16be(bytes: bytes) -> str: ...
def decode_utf32(bytes: bytes) -> str: ...
def decode_utf32le(bytes: bytes) -> str: ...
def decode_utf32be(bytes: bytes) -> str: ...

# ---- Encoding: a value to its bit pattern (an unsigned int) ----

def encode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def encode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...

# The value is rounded to binary32 first for f16 and f32.
def encode_ieee754_f16(value: _FloatLike) -> int: ...
def encode_ieee754_f32(value: _FloatLike) -> int: ...
def encode_ieee754_f64(value: _FloatLike) -> int: ...

# Reserved formats: the value is converted, then NotImplementedError is raised.
def encode_ieee754_f128(_value: _FloatLike) -> NoReturn: ...
def encode_ieee754_1985_f32(_value: _FloatLike) -> NoReturn: ...
def encode_ieee754_1985_f64(_value: _FloatLike) -> NoReturn: ...
def encode_ieee754_1985_f80(_value: _FloatLike) -> NoReturn: ...
def encode_mil_std_1750a_f32(_value: _FloatLike) -> NoReturn: ...
def encode_mil_std_1750a_f48(_value: _FloatLike) -> NoReturn: ...
def encode_dec_f32(_value: _FloatLike) -> NoReturn: ...
def encode_dec_f64(_value: _FloatLike) -> NoReturn: ...
def encode_ibm_f32(_value: _FloatLike) -> NoReturn: ...
def encode_ibm_f64(_value: _FloatLike) -> NoReturn: ...
def encode_ti_f32(_value: _FloatLike) -> NoReturn: ...
def encode_ti_f40(_value: _FloatLike) -> NoReturn: ...

# str to encoded text. utf16 and utf32 put a big-endian byte-order mark first.
def encode_us_ascii(text: str) -> bytes: ...
def encode_iso_8859_1(text: str) -> bytes: ...
def encode_windows_1252(text: str) -> bytes: ...
def encode_utf8(text: str) -> bytes: ...
def encode_utf16(text: str) -> bytes: ...
def encode_utf16le(text: str) -> bytes: ...
def encode_utf16be(text: str) -> bytes: ...
def encode_utf32(text: str) -> bytes: ...
def encode_utf32le(text: str) -> bytes: ...
def encode_utf32be(text: str) -> bytes: ...

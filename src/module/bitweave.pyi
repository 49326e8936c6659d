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

r"""Bit-exact packing and unpacking of spacecraft telemetry and command parameters.

pack_parameters and unpack_parameters place fields at any bit position of a packet, as
a recipe (a list of dicts, one per field) describes, with the XTCE data encodings: binary
integers, BCD, IEEE 754 floats and character strings. The encode_ and decode_ functions
convert one value at a time: encoders return the bit pattern as an unsigned int (text:
bytes), decoders take one. Recipes are read afresh on every call; nothing is kept.

Errors: a wrong argument raises TypeError or OverflowError; a single-value function
raises its codec error (mostly ValueError; NotImplementedError for the reserved float
formats); inside a recipe every item error becomes one ValueError "ClassName: message"
with a note naming the item. The version is importlib.metadata.version("bitweave").

>>> import bitweave
>>> recipe = [
...     {"name": "mode", "encoding": "unsigned", "bits": 3,
...      "byte_order": "big", "reverse_bits": False, "value": 5},
...     {"name": "temp", "encoding": "ieee754_f32", "bits": 32,
...      "byte_order": "big", "reverse_bits": False, "value": 21.5},
... ]
>>> bitweave.pack_parameters(recipe)
b'\xa85\x80\x00\x00'
>>> bitweave.unpack_parameters(b'\xa85\x80\x00\x00', 0, recipe)
{'mode': 5, 'temp': 21.5}
"""

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
) -> dict[str, _Decoded]:
    r"""Read the fields a recipe describes from a packet, starting at bit `offset_bits`.

    Args:
        packet_bytes: the packet (bytes only; bytearray and memoryview are refused).
        offset_bits: where the recipe's bit 0 lies, counted from the most significant bit
            of the packet's first byte.
        recipe: a sequence of dicts, one per field in layout order, with "name",
            "encoding", "bits", "byte_order", "reverse_bits" and optionally "offset_bits"
            (from the call's offset_bits; without it the field follows the previous one).
            Other keys, "value" among them, are ignored.

    Returns:
        A dict from each name to its value: int for the integer and BCD encodings, float
        for IEEE 754, str for text (its padding kept as "\x00" characters).

    Raises:
        TypeError, OverflowError: an argument of the wrong type or range.
        ValueError: any error of a recipe item (a missing key, an unknown encoding, a field
            past the packet's end, text that does not decode, ...), as "ClassName: message"
            of the underlying error, with a note (in __notes__) naming the item, such as
            "recipe item 3 ('temp'), bits 40 to 47". No partial result is returned.

    >>> bitweave.unpack_parameters(b"\x0b\xfa\x00", 4, [{"name": "n", "bits": 12,
    ...     "encoding": "twos_complement", "byte_order": "big", "reverse_bits": False}])
    {'n': -1030}
    """

def pack_parameters(recipe: Sequence[_PackItem | dict[str, Any]]) -> bytes:
    r"""Pack the fields that `recipe` describes into a new packet.

    Args:
        recipe: a sequence of dicts, one per field in layout order, with "name",
            "encoding", "bits", "byte_order", "reverse_bits", "value" and optionally
            "offset_bits" (bits from the packet's start; without it the field follows the
            previous one). Other keys are ignored.

    Returns:
        The packet, as long as the furthest field end in whole bytes; bits that no field
        covers are zero. A field without offset_bits is sized from the furthest end so far,
        so an offset_bits that moves backwards can leave trailing zero bytes.

    Raises:
        TypeError: `recipe` is not a sequence (a str is refused too).
        ValueError: any error of a recipe item (a missing key, a value of the wrong type or
            out of range, an unknown encoding, text too long for its field, ...), as
            "ClassName: message" of the underlying error, with a note (in __notes__)
            naming the item, such as "recipe item 3 ('temp'), bits 40 to 47".

    >>> bitweave.pack_parameters([{"name": "apid", "encoding": "unsigned", "bits": 11,
    ...     "byte_order": "big", "reverse_bits": False, "offset_bits": 5, "value": 0x7FF}])
    b'\x07\xff'
    """

# ---- Decoding: a bit pattern (an unsigned int) to its value ----

def decode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a ones' complement pattern of `bits` bits to its signed value.

    `value` is the pattern, below 2**bits, with `bits` at most 64; other inputs are not
    checked and give no meaningful result. Both zeros decode to 0.

    Raises TypeError for a non-integer argument, OverflowError for one outside
    0 .. 2**64 - 1.

    >>> bitweave.decode_ones_complement(0b11100, 5)
    -3
    """

def decode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a two's complement pattern of `bits` bits to its signed value.

    `value` is the pattern, below 2**bits, with `bits` at most 64; other inputs are not
    checked and give no meaningful result.

    Raises TypeError for a non-integer argument, OverflowError for one outside
    0 .. 2**64 - 1.

    >>> bitweave.decode_twos_complement(0b11101, 5)
    -3
    """

def decode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a sign-magnitude pattern of `bits` bits (top bit the sign) to its value.

    `value` is the pattern, below 2**bits, with `bits` from 2 to 64; other inputs are not
    checked and give no meaningful result. Negative zero decodes to 0.

    Raises TypeError for a non-integer argument, OverflowError for one outside
    0 .. 2**64 - 1.

    >>> bitweave.decode_sign_magnitude(0b10011, 5)
    -3
    """

def decode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Decode unpacked BCD, one digit per byte, most significant first.

    Unsigned, each byte is 0x00 to 0x09. Signed (zoned decimal), each byte is 0x30-0x39 or
    0xF0-0xF9, and the last one may carry the sign in its zone instead: 0xC0-0xC9 for plus,
    0xD0-0xD9 for minus. Only the low `bits` // 8 bytes of `value` are read.

    Raises ValueError for a byte outside these (`Invalid BCD digit: 10 (must be 0-9)`) or
    `bits` above 64; TypeError (also for a `signed` that is not a bool) and OverflowError
    for wrong arguments.

    >>> bitweave.decode_unpacked_bcd(0x0402, 16), bitweave.decode_unpacked_bcd(0xF4D2, 16, True)
    (42, -42)
    """

def decode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Decode packed BCD, one digit per nibble, most significant first.

    Signed, the lowest nibble is the sign: 0xB or 0xD for minus, 0xA, 0xC, 0xE or 0xF for
    plus. Only the low `bits` // 4 nibbles of `value` are read.

    Raises ValueError for a digit above 9 (`Invalid BCD digit: 10 (must be 0-9)`), a sign
    nibble below 0xA, or `bits` above 64; TypeError (also for a `signed` that is not a
    bool) and OverflowError for wrong arguments.

    >>> bitweave.decode_packed_bcd(0x1234, 16), bitweave.decode_packed_bcd(0x12D, 12, True)
    (1234, -12)
    """

def decode_ieee754_f16(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary16 pattern (its low 16 bits) to a float.

    Raises TypeError for a non-integer, OverflowError for one outside 0 .. 2**64 - 1.

    >>> bitweave.decode_ieee754_f16(0x3C00), bitweave.decode_ieee754_f16(0x7C00)
    (1.0, inf)
    """

def decode_ieee754_f32(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary32 pattern (its low 32 bits) to a float.

    Raises TypeError for a non-integer, OverflowError for one outside 0 .. 2**64 - 1.

    >>> bitweave.decode_ieee754_f32(0x41AC0000)
    21.5
    """

def decode_ieee754_f64(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary64 pattern to a float.

    Raises TypeError for a non-integer, OverflowError for one outside 0 .. 2**64 - 1.

    >>> bitweave.decode_ieee754_f64(0x3FF0000000000000)
    1.0
    """

def decode_ieee754_f128(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary128 pattern to the nearest float, truncating the fraction.

    Values beyond the double range become infinity, values below its smallest normal
    (2**-1022) become 0.0, and a NaN loses its payload.

    Raises TypeError for a non-integer, OverflowError for one outside 0 .. 2**128 - 1.

    >>> bitweave.decode_ieee754_f128(0x3FFF << 112)
    1.0
    """

# Reserved formats: the pattern is converted (TypeError, OverflowError outside
# 0 .. 2**64 - 1), then NotImplementedError is raised.
def decode_ieee754_1985_f32(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: IEEE 754-1985 f32 format not yet implemented."""

def decode_ieee754_1985_f64(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: IEEE 754-1985 f64 format not yet implemented."""

def decode_ieee754_1985_f80(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: IEEE 754-1985 f80 format not yet implemented."""

def decode_mil_std_1750a_f32(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: MIL-STD-1750A f32 format not yet implemented."""

def decode_mil_std_1750a_f48(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: MIL-STD-1750A f48 format not yet implemented."""

def decode_dec_f32(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: DEC f32 format not yet implemented."""

def decode_dec_f64(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: DEC f64 format not yet implemented."""

def decode_ibm_f32(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: IBM f32 format not yet implemented."""

def decode_ibm_f64(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: IBM f64 format not yet implemented."""

def decode_ti_f32(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: TI f32 format not yet implemented."""

def decode_ti_f40(_value: SupportsIndex) -> NoReturn:
    """Always raises NotImplementedError: TI f40 format not yet implemented."""

# Encoded text to str. Every decoder raises TypeError for anything but bytes.
def decode_us_ascii(bytes: bytes) -> str:
    r"""Decode US-ASCII.

    Raises ValueError for a byte above 0x7F (`Invalid US-ASCII byte: 0x80 (must be <= 0x7F)`).

    >>> bitweave.decode_us_ascii(b"OK")
    'OK'
    """

def decode_iso_8859_1(bytes: bytes) -> str:
    r"""Decode ISO-8859-1 (Latin-1): each byte is the code point of its number; never fails.

    >>> bitweave.decode_iso_8859_1(b"\xe9")
    'é'
    """

def decode_windows_1252(bytes: bytes) -> str:
    r"""Decode Windows-1252 as the WHATWG decoder does.

    0x81, 0x8D, 0x8F, 0x90 and 0x9D decode to the C1 controls of the same number. A UTF-8
    or UTF-16 byte-order mark at the start switches the whole input to that encoding, and
    only then can decoding fail: ValueError `Failed to decode Windows-1252 bytes`.

    >>> bitweave.decode_windows_1252(b"\x80"), bitweave.decode_windows_1252(b"\xff\xfeA\x00")
    ('€', 'A')
    """

def decode_utf8(bytes: bytes) -> str:
    r"""Decode UTF-8 strictly; a leading byte-order mark is kept as U+FEFF.

    Raises ValueError for an invalid sequence, surrogates included, with its position
    (`Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0`).

    >>> bitweave.decode_utf8(b"\xc3\xa9")
    'é'
    """

def decode_utf16(bytes: bytes) -> str:
    r"""Decode UTF-16 in the order a leading byte-order mark gives (dropped), else big-endian.

    Raises ValueError for an odd or zero length (`UTF-16 requires an even number of bytes
    with at least 2 bytes`) or a lone surrogate (`Invalid UTF-16 sequence: ...`).

    >>> bitweave.decode_utf16(b"\xff\xfeA\x00"), bitweave.decode_utf16(b"\x00A")
    ('A', 'A')
    """

def decode_utf16le(bytes: bytes) -> str:
    r"""Decode little-endian UTF-16; a leading byte-order mark is kept as U+FEFF.

    Raises ValueError for an odd length (`UTF-16 requires an even number of bytes`) or a
    lone surrogate. Empty input gives "".

    >>> bitweave.decode_utf16le(b"A\x00")
    'A'
    """

def decode_utf16be(bytes: bytes) -> str:
    r"""Decode big-endian UTF-16; a leading byte-order mark is kept as U+FEFF.

    Raises ValueError for an odd length (`UTF-16 requires an even number of bytes`) or a
    lone surrogate. Empty input gives "".

    >>> bitweave.decode_utf16be(b"\x00A")
    'A'
    """

def decode_utf32(bytes: bytes) -> str:
    r"""Decode UTF-32 in the order a leading byte-order mark gives (dropped), else big-endian.

    Raises ValueError for a length that is zero or not a multiple of 4 (`UTF-32 requires a
    multiple of 4 bytes with at least 4 bytes`), or a surrogate or value above U+10FFFF
    (`Invalid UTF-32 codepoint: 0x00110000`).

    >>> bitweave.decode_utf32(b"\x00\x00\xfe\xff\x00\x00\x00A")
    'A'
    """

def decode_utf32le(bytes: bytes) -> str:
    r"""Decode little-endian UTF-32; a leading byte-order mark is kept as U+FEFF.

    Raises ValueError for a length not a multiple of 4 (`UTF-32 requires a multiple of 4
    bytes`), or a surrogate or value above U+10FFFF. Empty input gives "".

    >>> bitweave.decode_utf32le(b"A\x00\x00\x00")
    'A'
    """

def decode_utf32be(bytes: bytes) -> str:
    r"""Decode big-endian UTF-32; a leading byte-order mark is kept as U+FEFF.

    Raises ValueError for a length not a multiple of 4 (`UTF-32 requires a multiple of 4
    bytes`), or a surrogate or value above U+10FFFF. Empty input gives "".

    >>> bitweave.decode_utf32be(b"\x00\x00\x00A")
    'A'
    """

# ---- Encoding: a value to its bit pattern (an unsigned int) ----

def encode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode `value` as a ones' complement pattern of `bits` bits (0 to 64).

    Raises ValueError for `bits` above 64 or a value outside
    -(2**(bits-1) - 1) .. 2**(bits-1) - 1 (`Value 16 is too large for 5 bits`);
    OverflowError for a value outside the signed 64-bit range or a negative `bits`;
    TypeError for a non-integer.

    >>> bitweave.encode_ones_complement(-3, 5)
    28
    """

def encode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode `value` as a two's complement pattern of `bits` bits (0 to 64).

    Raises ValueError for `bits` above 64 or a value outside -2**(bits-1) .. 2**(bits-1) - 1
    (`Value 16 out of range for 5 bits (range: -16 to 15)`); OverflowError for a value
    outside the signed 64-bit range or a negative `bits`; TypeError for a non-integer.

    >>> bitweave.encode_twos_complement(-3, 5)
    29
    """

def encode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode `value` as a sign-magnitude pattern of `bits` bits (2 to 64), top bit the sign.

    Raises ValueError for `bits` outside 2 .. 64 or a magnitude of 2**(bits-1) or more
    (`Magnitude of -16 is too large for 5 bits`); OverflowError for a value outside the
    signed 64-bit range or a negative `bits`; TypeError for a non-integer.

    >>> bitweave.encode_sign_magnitude(-3, 5)
    19
    """

def encode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode `value` as unpacked BCD: `bits` // 8 digits (bits 8 to 64), one per byte.

    Unsigned, each byte is the digit (0x00-0x09). Signed (zoned decimal), each byte is
    0xF0 | digit, and the last byte's zone is 0xC for plus or 0xD for minus.

    Raises ValueError for `bits` outside 8 .. 64, a negative value when unsigned (`Cannot
    encode negative value in unsigned BCD`) or too many digits (`Value 123 has too many
    digits for 2 BCD digits`); TypeError and OverflowError for wrong arguments.

    >>> hex(bitweave.encode_unpacked_bcd(42, 16)), hex(bitweave.encode_unpacked_bcd(-42, 24, True))
    ('0x402', '0xf0f4d2')
    """

def encode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode `value` as packed BCD: `bits` // 4 nibbles (bits 4 to 64), one digit each.

    Signed, the lowest nibble is the sign, 0xC for plus or 0xD for minus, and the digits
    take the nibbles above it.

    Raises ValueError for `bits` outside 4 .. 64, a negative value when unsigned (`Cannot
    encode negative value in unsigned BCD`) or too many digits (`Value 12345 has too many
    digits for 4 BCD digits`); TypeError and OverflowError for wrong arguments.

    >>> hex(bitweave.encode_packed_bcd(1234, 16)), hex(bitweave.encode_packed_bcd(-12, 12, True))
    ('0x1234', '0x12d')
    """

def encode_ieee754_f16(value: _FloatLike) -> int:
    """Encode `value` as an IEEE 754 binary16 pattern.

    The value is rounded to binary32 first, then to binary16, each to nearest even; this
    differs from one rounding for a few values. Too large a value becomes infinity, as in
    numpy. Raises TypeError for a non-number, OverflowError for an int too large for a float.

    >>> hex(bitweave.encode_ieee754_f16(1.0)), hex(bitweave.encode_ieee754_f16(1e6))
    ('0x3c00', '0x7c00')
    """

def encode_ieee754_f32(value: _FloatLike) -> int:
    """Encode `value` as an IEEE 754 binary32 pattern, rounded to nearest even.

    Too large a value becomes infinity, as in numpy. Raises TypeError for a non-number,
    OverflowError for an int too large for a float.

    >>> hex(bitweave.encode_ieee754_f32(21.5))
    '0x41ac0000'
    """

def encode_ieee754_f64(value: _FloatLike) -> int:
    """Encode `value` as an IEEE 754 binary64 pattern.

    Raises TypeError for a non-number, OverflowError for an int too large for a float.

    >>> hex(bitweave.encode_ieee754_f64(1.0))
    '0x3ff0000000000000'
    """

# Reserved formats: the value is converted (TypeError for a non-number), then
# NotImplementedError is raised.
def encode_ieee754_f128(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: IEEE 754 f128 encoding not yet implemented."""

def encode_ieee754_1985_f32(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: IEEE 754-1985 f32 encoding not yet implemented."""

def encode_ieee754_1985_f64(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: IEEE 754-1985 f64 encoding not yet implemented."""

def encode_ieee754_1985_f80(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: IEEE 754-1985 f80 encoding not yet implemented."""

def encode_mil_std_1750a_f32(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: MIL-STD-1750A f32 encoding not yet implemented."""

def encode_mil_std_1750a_f48(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: MIL-STD-1750A f48 encoding not yet implemented."""

def encode_dec_f32(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: DEC f32 encoding not yet implemented."""

def encode_dec_f64(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: DEC f64 encoding not yet implemented."""

def encode_ibm_f32(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: IBM f32 encoding not yet implemented."""

def encode_ibm_f64(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: IBM f64 encoding not yet implemented."""

def encode_ti_f32(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: TI f32 encoding not yet implemented."""

def encode_ti_f40(_value: _FloatLike) -> NoReturn:
    """Always raises NotImplementedError: TI f40 encoding not yet implemented."""

# str to encoded text. Every encoder raises TypeError for anything but str, and
# UnicodeEncodeError (a ValueError) for a lone surrogate in it.
def encode_us_ascii(text: str) -> bytes:
    """Encode `text` as US-ASCII.

    Raises ValueError for a character above U+007F (`Character 'é' (U+00E9) is not valid
    US-ASCII`).

    >>> bitweave.encode_us_ascii("OK")
    b'OK'
    """

def encode_iso_8859_1(text: str) -> bytes:
    r"""Encode `text` as ISO-8859-1 (Latin-1), one byte per character.

    Raises ValueError for a character above U+00FF (`Character '€' (U+20AC) is not valid
    ISO-8859-1`).

    >>> bitweave.encode_iso_8859_1("é")
    b'\xe9'
    """

def encode_windows_1252(text: str) -> bytes:
    r"""Encode `text` as Windows-1252; U+0081, U+008D, U+008F, U+0090, U+009D encode as such.

    Raises ValueError for a character the set lacks (`Failed to encode to Windows-1252`).

    >>> bitweave.encode_windows_1252("€")
    b'\x80'
    """

def encode_utf8(text: str) -> bytes:
    r"""Encode `text` as UTF-8, without a byte-order mark.

    >>> bitweave.encode_utf8("é")
    b'\xc3\xa9'
    """

def encode_utf16(text: str) -> bytes:
    r"""Encode `text` as big-endian UTF-16 after a byte-order mark, always (2 bytes for "").

    >>> bitweave.encode_utf16("A")
    b'\xfe\xff\x00A'
    """

def encode_utf16le(text: str) -> bytes:
    r"""Encode `text` as little-endian UTF-16, without a byte-order mark.

    >>> bitweave.encode_utf16le("A")
    b'A\x00'
    """

def encode_utf16be(text: str) -> bytes:
    r"""Encode `text` as big-endian UTF-16, without a byte-order mark.

    >>> bitweave.encode_utf16be("A")
    b'\x00A'
    """

def encode_utf32(text: str) -> bytes:
    r"""Encode `text` as big-endian UTF-32 after a byte-order mark, always (4 bytes for "").

    >>> bitweave.encode_utf32("A")
    b'\x00\x00\xfe\xff\x00\x00\x00A'
    """

def encode_utf32le(text: str) -> bytes:
    r"""Encode `text` as little-endian UTF-32, without a byte-order mark.

    >>> bitweave.encode_utf32le("A")
    b'A\x00\x00\x00'
    """

def encode_utf32be(text: str) -> bytes:
    r"""Encode `text` as big-endian UTF-32, without a byte-order mark.

    >>> bitweave.encode_utf32be("A")
    b'\x00\x00\x00A'
    """

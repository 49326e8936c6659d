"""Errors in context: the note naming the recipe item, messages that are never empty, wide
fields read exactly, little-endian text that round-trips, and interrupts that pass through."""
import pytest
from hypothesis import assume, given, strategies as st

import bitweave
from conftest import item

pack, unpack = bitweave.pack_parameters, bitweave.unpack_parameters


def failure(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value), getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("call, expect", [
    # key, type, value, past the end; pack and unpack; offset_bits counted in
    (lambda: pack([item("a", value=1), {"name": "q", "encoding": "unsigned"}]),
     ("KeyError: \"Recipe missing required field: 'bits'\"", "recipe item 1 ('q')")),
    (lambda: pack([item("a", value=1), item("temp", bits=8, value="hot")]),
     ("TypeError: 'str' object cannot be interpreted as an integer",
      "recipe item 1 ('temp'), bits 8 to 15")),
    (lambda: pack([item("a", bits=40, value=0), item("temp", value=256)]),
     ("ValueError: Value 256 is too large for 8 bits", "recipe item 1 ('temp'), bits 40 to 47")),
    (lambda: unpack(bytes(6), 0, [item("a", bits=40), item("late", bits=16)]),
     ("ValueError: range end index 7 out of range for slice of length 6",
      "recipe item 1 ('late') ends at byte 7; the packet has 6 bytes")),
    (lambda: unpack(b"\x00\xf0", 4, [item("d", bits=8, encoding="bcd", offset_bits=0)]),
     ("ValueError: Invalid BCD digit: 15 (must be 0-9)", "recipe item 0 ('d'), bits 4 to 11")),
    (lambda: pack([{"bits": 8}]), ("KeyError: \"Recipe missing required field: 'name'\"",
                                   "recipe item 0")),
    (lambda: unpack(b"", 3, [item("z", bits=0, offset_bits=2**64 - 1, encoding="nope")]),
     ("ValueError: range start index 2305843009213693952 out of range for slice of length 0",
      "recipe item 0 ('z') starts at byte 2305843009213693952; the packet has 0 bytes")),
    (lambda: unpack(b"\x00", 2**64 - 1, [item("w", bits=0, encoding="nope")]),
     ("ValueError: range start index 2305843009213693951 out of range for slice of length 1",
      "recipe item 0 ('w') starts at byte 2305843009213693951; the packet has 1 bytes")),
    (lambda: unpack(bytes(9), 7, [item("e", bits=0, encoding="nope")]),
     ("ValueError: Unsupported encoding type: nope", "recipe item 0 ('e'), no bits, at bit 7")),
])
def test_item_errors_carry_one_note(call, expect):
    cls, text, notes = failure(call)
    assert (cls, text, notes) == (ValueError, expect[0], [expect[1]])


def test_call_errors_and_memory():
    # Argument errors of the call itself carry no note.
    assert failure(lambda: unpack("x", 0, [])) == (
        TypeError, "argument 'packet_bytes': 'str' object cannot be cast as 'bytes'", None)
    # A packet no allocator gives says its size, and is no item's fault.
    assert failure(lambda: pack([item(bits=8 << 60, value=1)])) == (
        ValueError, "MemoryError: cannot allocate a packet of 1152921504606846976 bytes", None)


signed_forms = {
    # encoding: (field value of v in n bits, or None where the encoding has no such value)
    "twos_complement": lambda v, n: v % (1 << n),
    "ones_complement": lambda v, n: v if v >= 0 else (1 << n) - 1 + v,
    "sign_magnitude": lambda v, n: abs(v) | ((v < 0) << (n - 1)),
}


@given(st.sampled_from(sorted(signed_forms)), st.integers(65, 140),
       st.integers(-(1 << 70), 1 << 70) | st.integers(-(1 << 63), (1 << 63) - 1),
       st.booleans(), st.booleans())
def test_wide_signed_fields_read_exactly(encoding, n, v, reverse, little):
    n = n // 8 * 8 if little else n  # little-endian order is then a plain byte reversal
    twos = encoding == "twos_complement"
    half = 1 << (n - 1)
    assume(-half <= v < half if twos else -half < v < half)
    bits = format(signed_forms[encoding](v, n), f"0{n}b")
    bits = bits[::-1] if reverse else bits
    if little:
        packet = int(bits, 2).to_bytes(n // 8, "big")[::-1]
    else:
        packet = int(bits + "0" * (-n % 8), 2).to_bytes((n + 7) // 8, "big")
    recipe = [item("x", encoding, n, "little" if little else "big", reverse)]
    limit = 1 << 63
    if (-limit <= v < limit) if twos else (-limit < v < limit):
        assert unpack(packet, 0, recipe) == {"x": v}
    else:
        assert failure(lambda: unpack(packet, 0, recipe))[1] == (
            f"ValueError: Field 'x' of {n} bits holds a value wider than 64 bits")


@pytest.mark.parametrize("encoding, bits, packet", [
    ("ieee754_f32", 40, b"\xff\x3f\x80\x00\x00"), ("ieee754_f16", 20, b"\x13\xc0\x00"),
    ("ieee754_f32", 80, b"\x80" + bytes(5) + b"\x3f\x80\x00\x00"),
])
def test_float_fields_refuse_bits_outside_their_format(encoding, bits, packet):
    width = encoding[-2:]
    assert failure(lambda: unpack(packet, 0, [item("x", encoding, bits)]))[1] == (
        f"ValueError: Field 'x' of {bits} bits holds a value wider than {width} bits")
    clean = bytes(len(packet) - int(width) // 8) + packet[-(int(width) // 8):]
    assert unpack(clean, (len(packet) * 8 - bits), [item("x", encoding, bits)]) is not None


@given(st.sampled_from(["us_ascii", "iso_8859_1", "utf8", "utf16", "utf16le", "utf32be"]),
       st.text(st.characters(min_codepoint=0x20, max_codepoint=0x7E), max_size=6),
       st.integers(0, 3))
def test_little_endian_text_reads_back_like_big_endian(encoding, s, spare):
    unit = 4 if "32" in encoding else 2 if "16" in encoding else 1
    bits = 8 * (len(getattr(bitweave, "encode_" + encoding)(s)) + unit * spare)
    big, little = item("s", encoding, bits, value=s), item("s", encoding, bits, "little", value=s)
    assert pack([little]) == pack([big])[::-1]
    assert unpack(pack([little]), 0, [little]) == unpack(pack([big]), 0, [big])


class Interrupting(type):
    """A metaclass whose __qualname__, read to build an error text, interrupts."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise KeyboardInterrupt("stop")
        return super().__getattribute__(name)


class Odd(metaclass=Interrupting):
    pass


class StopsInStr(Exception):
    def __str__(self):
        raise SystemExit("stop")


class Raises:
    def __index__(self):
        raise StopsInStr()


@pytest.mark.parametrize("call, exc", [
    (lambda: pack([Odd()]), KeyboardInterrupt),
    (lambda: unpack(b"\x00", 0, [item(reverse_bits=Odd())]), KeyboardInterrupt),
    (lambda: bitweave.decode_utf8(Odd()), KeyboardInterrupt),
    (lambda: pack([item(value=Raises())]), SystemExit),
])
def test_interrupts_while_building_messages_pass_through(call, exc):
    assert failure(call)[:2] == (exc, "stop")


@pytest.mark.parametrize("key", ["bi\x00ts", "\udc80", "b\udc80its"])
def test_keyword_names_that_utf8_cannot_hold(key):
    assert failure(lambda: bitweave.encode_twos_complement(1, **{key: 3})) == (
        TypeError, f"encode_twos_complement() got an unexpected keyword argument '{key}'", None)

"""Robustness of the packet functions against hostile callers.

Objects whose Python hooks change the recipe under the walk, random recipes and packets,
references and memory kept after many calls, sizes at the limits, and threads sharing
recipes and packets. Meant to be run under the sanitizer build as well: the cases that
would need gigabytes there run in a smaller form.
"""
import ctypes
import gc
import os
import random
import re
import resource
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import bitweave
from conftest import item

pack = bitweave.pack_parameters
unpack = bitweave.unpack_parameters

ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
MiB = 1 << 20
U64_MAX = 2**64 - 1

# A wrapped error reads "ClassName: text"; the class name is a qualified name, or the
# placeholder used when the class has none that reads as a string.
WRAPPED = re.compile(r"^([A-Za-z_][\w.]*|<failed to extract type name>): ")


def outcome(call):
    """A call's result, or its exception's class and text."""
    try:
        return ("ok", call())
    except Exception as e:  # noqa: BLE001 - the class is what is compared
        return (type(e), str(e))


def missing(key, name=None):
    """A missing key's error, as the packet functions wrap it."""
    if name is None:
        return (ValueError, f"KeyError: \"Recipe missing required field: '{key}'\"")
    return (ValueError, f"KeyError: \"Recipe item '{name}' missing required field: '{key}'\"")


def wrapped(call, text):
    """The call fails with a plain ValueError whose text is exactly `text`."""
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    assert str(info.value) == text


# ---------------------------------------------------------------------------
# Hostile objects
# ---------------------------------------------------------------------------

class Boom(Exception):
    pass


class Hook:
    """An integer and a number whose conversion first runs `action` (once per call)."""

    def __init__(self, n, action):
        self.n, self.action = n, action

    def __index__(self):
        self.action()
        return self.n

    def __float__(self):
        self.action()
        return float(self.n)


def raise_boom():
    raise Boom("hook refused")


def fresh(text):
    """An equal str of its own (for two or more characters), not interned, so that it
    dies with its last reference."""
    return "".join(list(text))


class Str(str):
    """A str subclass whose Python-level hooks disagree with its contents."""

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 1

    def lower(self):
        return "bogus"

    def __str__(self):
        return "bogus"


class KeyOf:
    """A dict key that collides with a recipe key's hash; once armed, comparing it with
    that key deletes `victims` from the dict first."""

    def __init__(self, key, victims):
        self.key, self.victims, self.target = key, victims, None

    def __hash__(self):
        return hash(self.key)

    def __eq__(self, other):
        target, self.target = self.target, None  # fires once
        for v in self.victims if target is not None else ():
            target.pop(v, None)
        return False


def colliding(key, victims, d):
    """d with a KeyOf placed first, so that a lookup of key meets it before key itself."""
    k = KeyOf(key, victims)
    out = {k: 0}
    out.update(d)
    k.target = out
    return out


class NumpyLikeBool:
    """A flag that counts as numpy's bool; its truth value clears the item."""

    def __init__(self, target):
        self.target = target

    def __bool__(self):
        self.target.clear()
        return True


NumpyLikeBool.__module__ = "numpy"
NumpyLikeBool.__name__ = "bool_"


class HostileName(type):
    """A metaclass whose __qualname__ (read when an object is refused) runs `hook`."""

    hook = staticmethod(lambda: None)

    def __getattribute__(cls, name):
        if name == "__qualname__":
            HostileName.hook()
            return "Hostile"
        return super().__getattribute__(name)


class NotADict(metaclass=HostileName):
    pass


class StrFails(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def u8(value=None, **kw):
    """An 8-bit unsigned item, with a value when one is given."""
    if value is not None:
        kw["value"] = value
    return item(**kw)


def case_value_hook_drops_texts():
    # The value's conversion empties the item, dropping the last reference to every text
    # read from it; the byte order's text is still needed for its error message.
    d = u8(name=fresh("field-name"), encoding=fresh("UNSIGNED"), byte_order=fresh("Sideways"))
    d["value"] = Hook(1, d.clear)
    return lambda: pack([d]), (
        ValueError, "ValueError: Invalid byte_order 'Sideways': must be 'big' or 'little'")


def case_float_hook_drops_texts():
    d = item(encoding=fresh("IEEE754_F32"), bits=32, byte_order=fresh("little"))
    d["value"] = Hook(1, d.clear)
    return lambda: pack([d]), ("ok", b"\x00\x00\x80\x3f")


def case_offset_hook_replaces_texts():
    # The offset's conversion replaces the texts read before it, freeing them; they are
    # still used to decode the field and as the result's key.
    d = item(name=fresh("old"), encoding=fresh("UTF-16LE"), bits=16, byte_order=fresh("Big"))
    d["offset_bits"] = Hook(0, lambda: d.update(name=fresh("new"), encoding=1, byte_order=None))
    return lambda: unpack(b"a\x00", 0, [d]), ("ok", {"old": "a"})


def case_bits_hook_clears_item_unpack():
    d = u8()
    d["bits"] = Hook(8, d.clear)
    return lambda: unpack(b"\x05", 0, [d]), missing("byte_order")


def case_offset_hook_clears_item_unpack():
    d = u8(name=fresh("nn"), encoding=fresh("Utf-8"))
    d["offset_bits"] = Hook(8, d.clear)
    return lambda: unpack(b"\x00\x41", 0, [d]), ("ok", {"nn": "A"})


def case_bits_hook_clears_item_pack():
    d = u8(1)
    d["bits"] = Hook(8, d.clear)  # read in the sizing pass, then the item is empty
    return lambda: pack([d]), missing("name")


class Widths:
    def __init__(self, *widths):
        self.widths = iter(widths)

    def __index__(self):
        return next(self.widths)


def case_bits_change_between_passes():
    d = u8(0, bits=Widths(8, 4096))
    return lambda: pack([d]), (
        ValueError, "ValueError: Field 'x' of 4096 bits at bit 0 does not fit the packet sized "
                    "before: the recipe changed while it was packed")


def case_recipe_emptied():
    recipe = [u8(1), u8(2), u8(3)]
    recipe[0]["value"] = Hook(1, recipe.clear)
    return lambda: pack(recipe), ("ok", b"\x01\x02\x03")


def case_recipe_emptied_unpack():
    recipe = [u8(name="a"), u8(name="b")]
    recipe[0]["bits"] = Hook(8, lambda: recipe.clear() or gc.collect())
    return lambda: unpack(b"\x01\x02", 0, recipe), ("ok", {"a": 1, "b": 2})


def case_recipe_replaced_items():
    recipe = [u8(1, name="a"), u8(2, name="b")]

    def swap():
        recipe[1] = "not an item"
        recipe.append(u8(9))
    recipe[0]["value"] = Hook(1, swap)
    return lambda: pack(recipe), ("ok", b"\x01\x02")


def case_colliding_key_deletes_others():
    d = colliding("byte_order", ["value", "reverse_bits"], u8(7))
    return lambda: pack([d]), missing("reverse_bits")


def case_colliding_key_deletes_value():
    d = colliding("value", ["value"], u8(7))
    return lambda: pack([d]), missing("value", "x")


def case_str_subclasses():
    d = item(name=Str("name"), encoding=Str("UTF-8"), byte_order=Str("Big"), bits=16, value=Str("hi"))
    return lambda: (pack([d]), unpack(b"hi", 0, [d])), ("ok", (b"hi", {"name": "hi"}))


def case_numpy_like_flag_clears_item():
    d = u8(5)
    d["reverse_bits"] = NumpyLikeBool(d)
    return lambda: pack([d]), missing("value", "x")


def case_type_name_hook_empties_recipe():
    recipe = [u8(1), NotADict(), u8(2)]
    HostileName.hook = staticmethod(recipe.clear)
    return lambda: pack(recipe), (ValueError, "TypeError: 'Hostile' object cannot be cast as 'dict'")


def case_type_name_hook_raises():
    HostileName.hook = staticmethod(raise_boom)
    return lambda: unpack(b"", 0, [NotADict()]), (
        ValueError, "TypeError: '<failed to extract type name>' object cannot be cast as 'dict'")


class FailingModule(type):
    """A metaclass whose __module__ raises; it records every other attribute read."""

    seen = []

    def __getattribute__(cls, name):
        if name == "__module__":
            raise Boom("no module")
        FailingModule.seen.append(name)
        return super().__getattribute__(name)


class OddFlag(metaclass=FailingModule):
    pass


def case_flag_type_hooks_raise():
    # Nothing more is asked of the type once a lookup has failed: the interpreter must
    # not run code while an exception is pending.
    FailingModule.seen = []
    call = lambda: (outcome(lambda: pack([u8(1, reverse_bits=OddFlag())])), FailingModule.seen)
    refused = (ValueError, "TypeError: 'OddFlag' object cannot be cast as 'bool'")
    return call, ("ok", (refused, ["__qualname__"]))


def case_index_raises():
    return lambda: pack([u8(Hook(1, raise_boom))]), (ValueError, "Boom: hook refused")


def case_float_raises():
    return lambda: pack([item(encoding="ieee754_f64", bits=64, value=Hook(1, raise_boom))]), (
        ValueError, "Boom: hook refused")


def case_bits_raises_unpack():
    return lambda: unpack(b"\x00", 0, [u8(bits=Hook(8, raise_boom))]), (ValueError, "Boom: hook refused")


def case_exception_without_text():
    def fail():
        raise StrFails()
    return lambda: pack([u8(Hook(1, fail))]), (ValueError, "StrFails: <exception str() failed>")


def case_reentrant_call():
    inner = [u8(0x42)]

    def nested():
        assert pack(inner) == b"\x42"
        assert unpack(b"\x42", 0, inner) == {"x": 0x42}
    return lambda: pack([u8(Hook(7, nested)), u8(Hook(8, nested))]), ("ok", b"\x07\x08")


def case_iteration_mutates_sequence():
    class Seq:
        def __init__(self):
            self.items = [u8(1), u8(2)]

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            self.items.append(u8(3)) if len(self.items) < 4 else None
            return self.items[i]
    return lambda: pack(Seq()), ("ok", b"\x01\x02\x03\x03")


def case_keyword_arguments_dropped():
    # The offset's conversion drops the caller's own references to the packet and the
    # recipe, which the call still uses.
    kwargs = {"packet_bytes": fresh("\x05\x06").encode("latin-1"), "recipe": [u8(name=fresh("key"))]}
    kwargs["offset_bits"] = Hook(8, kwargs.clear)
    return lambda: unpack(**kwargs), ("ok", {"key": 6})


HOSTILE = {name[5:]: f for name, f in list(globals().items()) if name.startswith("case_")}


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_hostile_objects(name):
    call, expected = HOSTILE[name]()
    got = outcome(call)
    assert got == expected


# ---------------------------------------------------------------------------
# Random recipes, packets and hostile objects
# ---------------------------------------------------------------------------

ENCODINGS = [
    "unsigned", "twos_complement", "onesComplement", "sign_magnitude", "bcd", "bcd-signed",
    "packed_bcd", "Packed-BCD-Signed", "ieee754_f16", "IEEE754-F32", "ieee754_f64",
    "ieee754_f128", "ti_f32", "ibm-f64", "us_ascii", "iso-8859-1", "latin1", "windows_1252",
    "utf8", "UTF-16", "utf16le", "utf-16be", "utf32", "utf32le", "UTF-32BE", "bogus", "",
    "\u0130", "utf\u20138",
]
# Widths and offsets: small ones, and ones so large that no packet can hold them. Sizes in
# between could make a packet that fits in memory only just, or not at all: the size tests
# below take those.
HUGE = [2**62, 2**63, U64_MAX - 7, U64_MAX, 2**64, -1]
sizes = st.one_of(st.integers(0, 140), st.sampled_from(HUGE))
text = st.text(st.characters(blacklist_categories=["Cs"]), max_size=12) | st.just("\ud800")
plain_values = st.one_of(st.integers(-2**64, 2**65), st.floats(), text, st.booleans(), st.none(),
                         st.binary(max_size=4))

# Hostile values: made first, then bound to the item and recipe they attack.
HOOKS = ["clear item", "clear recipe", "grow recipe", "raise", "drop key", "nested call"]


def bind_hook(kind, n, d, recipe):
    actions = {
        "clear item": d.clear,
        "clear recipe": recipe.clear,
        "grow recipe": lambda: recipe.append(u8(1)),
        "raise": raise_boom,
        "drop key": lambda: d.pop("byte_order", None),
        "nested call": lambda: pack([u8(1)]),
    }
    return Hook(n, actions[kind])


@st.composite
def recipes(draw):
    recipe = []
    hostile = False
    for _ in range(draw(st.integers(0, 5))):
        if draw(st.integers(0, 15)) == 0:
            recipe.append(draw(st.sampled_from([None, [("name", "x")], "item", 3])))
            continue
        d = {}
        for key in ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"]:
            choice = draw(st.integers(0, 9))
            if choice == 0 and key != "offset_bits":
                continue  # missing
            if key == "offset_bits" and choice < 6:
                continue  # usually absent
            if choice == 9:
                hostile = True
                d[key] = ("hook", draw(st.sampled_from(HOOKS)), draw(st.integers(0, 40)))
            elif choice == 8:
                d[key] = draw(plain_values)
            elif key == "name":
                d[key] = draw(text)
            elif key == "encoding":
                d[key] = draw(st.sampled_from(ENCODINGS))
            elif key in ("bits", "offset_bits"):
                d[key] = draw(sizes)
            elif key == "byte_order":
                d[key] = draw(st.sampled_from(["big", "little", "BIG", "Little", "middle"]))
            elif key == "reverse_bits":
                d[key] = draw(st.booleans())
            else:
                d[key] = draw(plain_values)
        if draw(st.booleans()):
            d = {k: Str(v) if type(v) is str else v for k, v in d.items()}
        if draw(st.integers(0, 12)) == 0:
            hostile = True
            key = draw(st.sampled_from(["name", "bits", "byte_order", "value"]))
            d = colliding(key, ["value", "encoding"], d)
        recipe.append(d)
    for d in recipe:
        if isinstance(d, dict):
            for k, v in list(d.items()):
                if isinstance(v, tuple) and v and v[0] == "hook":
                    d[k] = bind_hook(v[1], v[2], d, recipe)
    return recipe, hostile


def packet_size(recipe):
    """The bytes pack_parameters would allocate, or None when the sizes overflow."""
    largest = 0
    for d in recipe:
        if not isinstance(d, dict):
            return 0  # refused before anything is allocated
        d = {k: v.n if isinstance(v, Hook) else v for k, v in d.items() if type(k) is str}
        bits, offset = d.get("bits"), d.get("offset_bits", largest)
        if not (type(bits) in (int, bool) and type(offset) in (int, bool)) or bits < 0 or offset < 0:
            return 0
        end = offset + bits
        if end >= 2**64:
            return None
        largest = max(largest, end)
    return (largest + 7) // 8


def check_wrapped(e):
    assert type(e) is ValueError, repr(e)
    assert WRAPPED.match(str(e)), str(e)


@settings(max_examples=300 if ASAN else 1500, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(recipes(), st.binary(max_size=48), st.one_of(st.integers(0, 200), st.sampled_from(HUGE)))
def test_random_recipes_give_a_result_or_a_documented_error(case, packet, offset):
    recipe, hostile = case
    size = packet_size(recipe)
    # A packet that no allocator can give is a clean MemoryError here, but the address
    # sanitizer aborts on the request itself.
    if not (ASAN and size is not None and size > 64 * MiB):
        try:
            out = pack(recipe)
        except MemoryError:
            assert size is not None and size > 64 * MiB
        except ValueError as e:
            check_wrapped(e)
        else:
            assert type(out) is bytes
            if not hostile:
                assert len(out) == size
    try:
        out = unpack(packet, offset, recipe)
    except OverflowError as e:
        assert not 0 <= offset <= U64_MAX, e
    except ValueError as e:
        check_wrapped(e)
    else:
        assert type(out) is dict and all(type(k) is str for k in out)


# ---------------------------------------------------------------------------
# Leaks: every function's success and error paths, many times over
# ---------------------------------------------------------------------------

PLACEHOLDERS = ["ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
                "mil_std_1750a_f48", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40"]
SINGLE_CALLS = {
    # name: (a valid call's arguments, arguments that each fail differently)
    "encode_twos_complement": ((-1, 8), [(200, 8), (1, 65), (1.5, 8), (2**63, 8), (1, -1)]),
    "encode_ones_complement": ((-1, 8), [(128, 8), (-128, 8), (1, 65), ("1", 8)]),
    "encode_sign_magnitude": ((-5, 8), [(128, 8), (1, 1), (1, None)]),
    "decode_twos_complement": ((0xFF, 8), [(-1, 8), (1, 2**64), (b"", 8)]),
    "decode_ones_complement": ((0xFE, 8), [(-1, 8), (1, 1.0)]),
    "decode_sign_magnitude": ((0x85, 8), [(2**64, 8), (1, "8")]),
    "encode_packed_bcd": ((-123, 16, True), [(5, 3), (-5, 8), (12345, 16), (1, 8, 1)]),
    "encode_unpacked_bcd": ((123, 24, True), [(5, 7), (1000, 24), (1, 8, None)]),
    "decode_packed_bcd": ((0x123C, 16, True), [(0x1239, 16, True), (0x1A3, 12), (1, 99)]),
    "decode_unpacked_bcd": ((0xF1F2C3, 24, True), [(0xF1F2E3, 24, True), (0xF1A2C3, 24, True),
                                                    (0x313233, 24), (-1, 8)]),
    "encode_ieee754_f16": ((1.5,), [("x",), (Hook(1, raise_boom),)]),
    "encode_ieee754_f32": ((1e40,), [(None,)]),
    "encode_ieee754_f64": ((-0.0,), [(2**1024,)]),
    "encode_ieee754_f128": ((1.0,), [("x",)]),
    "decode_ieee754_f16": ((0x7E00,), [(-1,)]),
    "decode_ieee754_f32": ((0x3F800000,), [(1.0,)]),
    "decode_ieee754_f64": ((U64_MAX,), [(2**64,)]),
    "decode_ieee754_f128": ((2**128 - 1,), [(2**128,), (-1,), ("x",)]),
}
PLACEHOLDER_NAMES = {f"{d}code_{p}" for d in ("en", "de") for p in PLACEHOLDERS} | {"encode_ieee754_f128"}
SINGLE_CALLS.update({f"encode_{p}": ((1.0,), [("x",)]) for p in PLACEHOLDERS})
SINGLE_CALLS.update({f"decode_{p}": ((1,), [(-1,)]) for p in PLACEHOLDERS})
CHARSETS = ["us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16", "utf16le", "utf16be",
            "utf32", "utf32le", "utf32be"]
SINGLE_CALLS.update({f"encode_{c}": (("h\u00e9llo\U0001f600" if c.startswith("utf") else "hello",),
                                      [("\u20ac\U0001f600",), ("\ud800",), (b"x",)]) for c in CHARSETS})
DECODABLE = {"us_ascii": b"hi", "utf8": b"h\xc3\xa9", "utf16": b"\xff\xfeh\x00", "utf16le": b"h\x00",
             "utf32le": b"h\x00\x00\x00"}
SINGLE_CALLS.update({f"decode_{c}": ((DECODABLE.get(c, b"\x00\x00\x00h"),),
                                      [(b"\xff\xfe\xff",), (b"\xed\xa0\x80\xff",), (bytearray(b"x"),)])
                     for c in CHARSETS})

GOOD_ITEMS = [u8(5, name="a"),
              item(name="b", encoding="sign_magnitude", bits=12, value=-7, reverse_bits=True),
              item(name="c", encoding="packed_bcd_signed", bits=16, value=-123, byte_order="little"),
              item(name="d", encoding="ieee754_f16", bits=16, value=0.5),
              item(name="e", encoding="utf-16", bits=64, value="\u00e9"),
              item(name="f", encoding="windows-1252", bits=24, value="\u20ac", offset_bits=100)]
PACK_ERRORS = [
    [u8(5, bits=2)], [u8(-1)], [u8(5, encoding="ibm_f32")], [u8(5, byte_order="middle")],
    [u8()], [{"bits": 8}], [u8(5, bits=None)], [u8(5, reverse_bits=1)],
    [item(encoding="utf8", bits=8, value="ab")], [item(encoding="us_ascii", bits=64, value="\u00e9")],
    [item(encoding="utf8", bits=64, value="\udc00")], [u8(5, offset_bits=U64_MAX)], [3],
    [u8(Hook(1, raise_boom))], [u8(1, name=Str("n"), encoding=Str("x"))],
]
UNPACK_ERRORS = [
    (b"\x01", 0, [u8(bits=16)]), (b"\x01", 9, [u8()]), (b"\xff", 0, [u8(encoding="bcd")]),
    (b"\xff", 0, [u8(encoding="utf8")]), (b"\x00" * 16, 0, [u8(encoding="ieee754_f128", bits=128)]),
    (b"\x00", 0, [u8(encoding="ti_f40")]), (b"\xff" * 9, 0, [u8(bits=72)]), (b"\x00", 0, [u8(bits="8")]),
    (b"\x00", 0, [u8(byte_order=7)]), (bytearray(1), 0, []), (b"", -1, []), (b"", 0, "x"), (b"", 0, {}),
]


def leak_cases():
    cases = []
    for name, (good, bad) in sorted(SINGLE_CALLS.items()):
        fn = getattr(bitweave, name)
        cases += [(name, fn, args, {}) for args in [good, *bad]]
        cases += [(name, fn, good, {"bogus": 1}), (name, fn, (), {})]
    cases += [("pack_parameters", pack, (GOOD_ITEMS,), {}),
              ("pack_parameters", pack, (), {"recipe": GOOD_ITEMS})]
    cases += [("pack_parameters", pack, (r,), {}) for r in PACK_ERRORS]
    packet = pack(GOOD_ITEMS)
    cases += [("unpack_parameters", unpack, (packet, 0, GOOD_ITEMS), {}),
              ("unpack_parameters", unpack, (packet, 8, GOOD_ITEMS[:2]), {})]
    cases += [("unpack_parameters", unpack, args, {}) for args in UNPACK_ERRORS]
    return cases


def test_leak_cases_cover_every_function():
    cases = leak_cases()
    assert {c[0] for c in cases} == set(bitweave.__all__)
    # Each function's first case is its success path; some of the others fail.
    firsts = {c[0]: c for c in reversed(cases)}
    failing = {name for name, fn, args, kwargs in cases if outcome(lambda: fn(*args, **kwargs))[0] != "ok"}
    assert failing == set(bitweave.__all__)
    for name, fn, args, kwargs in firsts.values():
        assert name in PLACEHOLDER_NAMES or outcome(lambda: fn(*args, **kwargs))[0] == "ok", name


libc = ctypes.CDLL(None)


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def heap_in_use():
    """Bytes the C allocator has handed out and not had back (glibc), or 0."""
    if ASAN or not hasattr(libc, "mallinfo2"):
        return 0
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def repeat(fn, args, kwargs, n):
    for _ in range(n):
        try:
            fn(*args, **kwargs)
        except Exception:  # noqa: BLE001
            pass


@pytest.mark.slow
def test_no_leaks_on_success_or_error_paths():
    cases = leak_cases()
    for _, fn, args, kwargs in cases:
        repeat(fn, args, kwargs, 100)
    gc.collect()
    rss_before = resident()
    grown = []
    for name, fn, args, kwargs in cases:
        held = [*args, *kwargs.values()]
        held += [v for a in held if isinstance(a, list) for d in a if isinstance(d, dict)
                 for v in d.values()]
        # Small numbers are shared with the whole interpreter, whose use of them varies.
        held = [o for o in held if type(o) not in (int, float, bool, type(None))]
        n = 300 if ASAN else 100_000 if name.endswith("pack_parameters") else 20_000
        refs = [sys.getrefcount(o) for o in held]
        ASAN or gc.collect()
        blocks, heap = sys.getallocatedblocks(), heap_in_use()
        repeat(fn, args, kwargs, n)
        ASAN or gc.collect()
        blocks, heap = sys.getallocatedblocks() - blocks, heap_in_use() - heap
        # A leaked object or allocation per call would show n times over.
        if blocks > 50 or heap > 64 * 1024 or refs != [sys.getrefcount(o) for o in held]:
            grown.append((name, args, kwargs, blocks, heap, refs, [sys.getrefcount(o) for o in held]))
    assert grown == []
    if not ASAN:
        assert resident() - rss_before < 16 * MiB


# ---------------------------------------------------------------------------
# Sizes at the limits
# ---------------------------------------------------------------------------

PAST = "ValueError: range {} index {} out of range for slice of length 1"


@pytest.mark.parametrize("offset, recipe, text", [
    (U64_MAX, [u8()], PAST.format("start", 2**61 - 1)),
    (0, [u8(offset_bits=U64_MAX)], PAST.format("start", 2**61 - 1)),
    (U64_MAX, [u8(offset_bits=U64_MAX)], PAST.format("start", 2**62 - 1)),
    (7, [u8(bits=U64_MAX)], PAST.format("end", 2**61 + 1)),
    (0, [u8(bits=8 * 300 * MiB, encoding="utf8")], PAST.format("end", 300 * MiB)),
    (0, [u8(bits=0), u8(bits=U64_MAX), u8(bits=U64_MAX)], PAST.format("end", 2**61)),
    (0, [u8(bits=2**64)], "OverflowError: int too big to convert"),
    (0, [u8(offset_bits=-1)], "OverflowError: can't convert negative int to unsigned"),
])
def test_unpack_positions_at_the_limit(offset, recipe, text):
    wrapped(lambda: unpack(b"\x00", offset, recipe), text)


def test_pack_positions_at_the_limit():
    wrapped(lambda: pack([u8(0, bits=0, offset_bits=U64_MAX - 7), u8(0, bits=U64_MAX)]),
            "ValueError: Field of 18446744073709551615 bits at bit 18446744073709551608 "
            "ends beyond the largest packet this platform can hold")
    assert unpack(b"", U64_MAX, []) == {}
    with pytest.raises(OverflowError):
        unpack(b"", 2**64, [])


@pytest.mark.slow
def test_large_field_and_many_items():
    """A field of hundreds of MiB, a million items, and 100 MiB of text: results are
    right (smaller under the sanitizer)."""
    size = 8 * MiB if ASAN else 384 * MiB
    packet = pack([u8(1, bits=8 * size)])
    assert len(packet) == size and packet[-1] == 1 and packet.count(0) == size - 1
    assert unpack(packet, 0, [u8(bits=8 * size)]) == {"x": 1}
    assert unpack(packet, 8 * size - 1, [u8(bits=1)]) == {"x": 1}
    del packet

    count = 10**5 if ASAN else 10**6
    recipe = [u8(0xA5)] * count
    packet = pack(recipe)
    assert packet == b"\xa5" * count
    assert unpack(packet, 0, recipe) == {"x": 0xA5}
    del packet, recipe

    length = 4 * MiB if ASAN else 100 * MiB
    for encoding, text, image in [("utf8", "a" * length, b"a" * length),
                                  ("windows-1252", "\u20ac" * (length // 2), b"\x80" * (length // 2))]:
        fields = [item(encoding=encoding, bits=8 * len(image), value=text)]
        packet = pack(fields)
        assert packet == image
        assert unpack(packet, 0, fields) == {"x": text}
        del packet, fields


@pytest.mark.slow
@pytest.mark.skipif(ASAN, reason="the address sanitizer needs an unbounded address space")
def test_memory_stays_bounded():
    """Under a 1.5 GiB address-space limit, a packet that does not fit is a clean error
    and one of 300 MiB is still made."""
    code = textwrap.dedent("""
        import resource, bitweave
        resource.setrlimit(resource.RLIMIT_AS, (1536 << 20, 1536 << 20))
        def field(bits, encoding="unsigned", value=1):
            return dict(name="x", encoding=encoding, bits=bits, byte_order="big",
                        reverse_bits=False, value=value)
        for bits in [8 << 32, 8 << 31, 64 << 40]:
            try:
                bitweave.pack_parameters([field(bits)])
                raise SystemExit("packed %d bits" % bits)
            except (MemoryError, ValueError) as e:
                assert isinstance(e, MemoryError) or str(e).startswith("MemoryError"), e
        try:
            bitweave.pack_parameters([field(8 << 31, "utf8", "abc")])
        except (MemoryError, ValueError) as e:
            assert isinstance(e, MemoryError) or str(e).startswith("MemoryError"), e
        assert len(bitweave.pack_parameters([field(8 * (300 << 20))])) == 300 << 20
        print("ok")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip(), run.stderr) == (0, "ok", "")


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------

def thread_tasks():
    """Calls whose results must not depend on what other threads do meanwhile."""
    slow = [u8(Hook(i, lambda: None), name=f"s{i}") for i in range(8)]  # Python code mid-walk
    layouts = [
        GOOD_ITEMS,
        slow,
        [item(name=f"f{i}", encoding=e, bits=b, value=v)
         for i, (e, b, v) in enumerate([("twos_complement", 5, -3), ("utf-16le", 48, "h\u00e9!"),
                                        ("ieee754_f64", 64, 2.5), ("bcd-signed", 24, -42)])],
        [u8(5, bits=2)],
        [u8(9, name="z", encoding="bogus")],
    ]
    tasks = []
    for recipe in layouts:
        tasks.append(lambda r=recipe: pack(r))
        packet = outcome(lambda: pack(recipe))
        data = packet[1] if packet[0] == "ok" else bytes(range(16))
        tasks.append(lambda r=recipe, p=data: unpack(p, 0, r))
        tasks.append(lambda r=recipe, p=data: unpack(p, 3, r))
    return tasks


def test_threads_agree_with_one_thread():
    tasks = thread_tasks()
    expected = [outcome(t) for t in tasks]
    rounds = 100 if ASAN else 1000
    mismatches = []
    start = threading.Barrier(8)

    def worker(seed):
        rng = random.Random(seed)
        order = list(range(len(tasks)))
        start.wait()
        for _ in range(rounds):
            rng.shuffle(order)
            for i in order:
                got = outcome(tasks[i])
                if got != expected[i]:
                    mismatches.append((i, got, expected[i]))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert mismatches == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("call", ["pack", "unpack"])
def test_interrupts_from_hooks_are_not_wrapped(exc, call):
    class Interrupting:
        def __index__(self):
            raise exc("stop")

    recipe = [{"name": "a", "encoding": "unsigned", "bits": Interrupting(), "byte_order": "big",
               "reverse_bits": False, "value": 1}]
    with pytest.raises(exc, match="stop"):
        if call == "pack":
            bitweave.pack_parameters(recipe)
        else:
            bitweave.unpack_parameters(b"\x00", 0, recipe)

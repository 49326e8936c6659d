import pytest
from hypothesis import given, settings, strategies as st

from bitweave import (
    decode_ones_complement,
    decode_sign_magnitude,
    decode_twos_complement,
    encode_ones_complement,
    encode_sign_magnitude,
    encode_twos_complement,
)

I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1

TWOS_WIDTH = "bits must be <= 64 for two's complement encoding"
ONES_WIDTH = "bits must be <= 64 for ones' complement encoding"
SM_WIDTH = "bits must be between 2 and 64 for sign-magnitude encoding"


def twos_range(n):
    return (I64_MIN, I64_MAX) if n == 64 else (-(2 ** (n - 1)), 2 ** (n - 1) - 1)


def symmetric_range(n):
    return -(2 ** (n - 1) - 1), 2 ** (n - 1) - 1


def twos_range_text(v, n):
    lo, hi = twos_range(n) if n else (0, 0)
    return f"Value {v} out of range for {n} bits (range: {lo} to {hi})"


def ones_text(v, n):
    if v >= 0:
        return f"Value {v} is too large for {n} bits"
    return f"Value {v} is too large (magnitude) for {n} bits"


def sm_text(v, n):
    return f"Magnitude of {v} is too large for {n} bits"


def refuses(text, fn, value, bits):
    with pytest.raises(BaseException) as e:
        fn(value, bits)
    assert type(e.value) is ValueError, repr(e.value)
    assert e.value.args == (text,)


# ---------------------------------------------------------------- fixed cases

ENCODE = [
    (encode_twos_complement, -1, 8, 255),
    (encode_twos_complement, -128, 8, 128),
    (encode_twos_complement, 127, 8, 127),
    (encode_twos_complement, 0, 8, 0),
    (encode_twos_complement, -1, 64, U64_MAX),
    (encode_twos_complement, I64_MIN, 64, 2**63),
    (encode_twos_complement, I64_MAX, 64, I64_MAX),
    (encode_twos_complement, -1, 1, 1),
    (encode_twos_complement, 0, 1, 0),
    (encode_twos_complement, -(2**62), 63, 2**62),
    (encode_twos_complement, 0, 0, 0),
    (encode_ones_complement, -1, 8, 254),
    (encode_ones_complement, -127, 8, 128),
    (encode_ones_complement, 127, 8, 127),
    (encode_ones_complement, 0, 8, 0),
    (encode_ones_complement, -1, 64, 2**64 - 2),
    (encode_ones_complement, -I64_MAX, 64, 2**63),
    (encode_ones_complement, I64_MAX, 64, I64_MAX),
    (encode_ones_complement, 0, 1, 0),
    (encode_ones_complement, 0, 0, 0),
    (encode_ones_complement, -(2**62 - 1), 63, 2**62),
    (encode_sign_magnitude, -5, 8, 0x85),
    (encode_sign_magnitude, 5, 8, 5),
    (encode_sign_magnitude, 0, 8, 0),
    (encode_sign_magnitude, -127, 8, 0xFF),
    (encode_sign_magnitude, -1, 64, 2**63 + 1),
    (encode_sign_magnitude, -I64_MAX, 64, U64_MAX),
    (encode_sign_magnitude, -1, 2, 3),
    (encode_sign_magnitude, 1, 2, 1),
]


@pytest.mark.parametrize("fn, value, bits, pattern", ENCODE)
def test_encode(fn, value, bits, pattern):
    assert fn(value, bits) == pattern


REFUSE = [
    (encode_twos_complement, 128, 8, twos_range_text(128, 8)),
    (encode_twos_complement, -129, 8, twos_range_text(-129, 8)),
    (encode_twos_complement, 200, 8, "Value 200 out of range for 8 bits (range: -128 to 127)"),
    (encode_twos_complement, 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
    (encode_twos_complement, 2**62, 63, twos_range_text(2**62, 63)),
    (encode_twos_complement, 5, 0, "Value 5 out of range for 0 bits (range: 0 to 0)"),
    (encode_twos_complement, -1, 0, "Value -1 out of range for 0 bits (range: 0 to 0)"),
    (encode_twos_complement, 5, 65, TWOS_WIDTH),
    (encode_twos_complement, 0, 65, TWOS_WIDTH),
    (encode_twos_complement, I64_MIN, 2**32, TWOS_WIDTH),
    (encode_twos_complement, 0, U64_MAX, TWOS_WIDTH),
    (encode_ones_complement, -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
    (encode_ones_complement, 128, 8, "Value 128 is too large for 8 bits"),
    (encode_ones_complement, I64_MIN, 64, f"Value {I64_MIN} is too large (magnitude) for 64 bits"),
    (encode_ones_complement, 1, 1, "Value 1 is too large for 1 bits"),
    (encode_ones_complement, -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    (encode_ones_complement, 5, 0, "Value 5 is too large for 0 bits"),
    (encode_ones_complement, -1, 0, "Value -1 is too large (magnitude) for 0 bits"),
    (encode_ones_complement, I64_MIN, 0, f"Value {I64_MIN} is too large (magnitude) for 0 bits"),
    (encode_ones_complement, I64_MAX, 0, f"Value {I64_MAX} is too large for 0 bits"),
    (encode_ones_complement, 0, 65, ONES_WIDTH),
    (encode_ones_complement, I64_MIN, 100, ONES_WIDTH),
    (encode_sign_magnitude, -128, 8, "Magnitude of -128 is too large for 8 bits"),
    (encode_sign_magnitude, 128, 8, "Magnitude of 128 is too large for 8 bits"),
    (encode_sign_magnitude, I64_MIN, 64, f"Magnitude of {I64_MIN} is too large for 64 bits"),
    (encode_sign_magnitude, 2, 2, "Magnitude of 2 is too large for 2 bits"),
    (encode_sign_magnitude, 0, 1, SM_WIDTH),
    (encode_sign_magnitude, 0, 0, SM_WIDTH),
    (encode_sign_magnitude, I64_MIN, 1, SM_WIDTH),
    (encode_sign_magnitude, 0, 65, SM_WIDTH),
    (encode_sign_magnitude, 0, 2**40, SM_WIDTH),
]


@pytest.mark.parametrize("fn, value, bits, text", REFUSE)
def test_encode_refuses(fn, value, bits, text):
    refuses(text, fn, value, bits)


DECODE = [
    (decode_twos_complement, 0xFF, 8, -1),
    (decode_twos_complement, 0x80, 8, -128),
    (decode_twos_complement, 0x7F, 8, 127),
    (decode_twos_complement, 0x1FF, 8, -1),       # sign set: upper bits replaced
    (decode_twos_complement, 0x100, 8, 256),      # sign clear: upper bits kept
    (decode_twos_complement, 1, 1, -1),
    (decode_twos_complement, U64_MAX, 64, -1),
    (decode_twos_complement, 2**63, 64, I64_MIN),
    (decode_twos_complement, U64_MAX, 100, -1),
    (decode_twos_complement, 2**63, 65, I64_MIN),
    (decode_twos_complement, 5, 100, 5),
    (decode_twos_complement, 5, 0, 5),
    (decode_twos_complement, 2**63 + 5, 0, 0),
    (decode_ones_complement, 0xFF, 8, 0),
    (decode_ones_complement, 0xFE, 8, -1),
    (decode_ones_complement, 0x80, 8, -127),
    (decode_ones_complement, 0x7F, 8, 127),
    (decode_ones_complement, 0x1FE, 8, 255),      # p - 2^N + 1, upper bits kept
    (decode_ones_complement, 0x100, 8, 256),
    (decode_ones_complement, 1, 1, 0),
    (decode_ones_complement, U64_MAX, 64, 0),
    (decode_ones_complement, 2**64 - 2, 64, -1),
    (decode_ones_complement, 2**63, 64, -I64_MAX),
    (decode_ones_complement, U64_MAX, 100, 0),
    (decode_ones_complement, 2**63, 65, -I64_MAX),
    (decode_ones_complement, 5, 100, 5),
    (decode_ones_complement, 5, 0, 5),
    (decode_ones_complement, U64_MAX, 0, -1),
    (decode_ones_complement, 2**63, 0, I64_MIN),
    (decode_sign_magnitude, 0x85, 8, -5),
    (decode_sign_magnitude, 0x80, 8, 0),
    (decode_sign_magnitude, 0x185, 8, -5),        # bits above the sign ignored
    (decode_sign_magnitude, 0x105, 8, 5),
    (decode_sign_magnitude, 0xFF, 8, -127),
    (decode_sign_magnitude, 3, 2, -1),
    (decode_sign_magnitude, 1, 1, 0),
    (decode_sign_magnitude, U64_MAX, 64, -I64_MAX),
    (decode_sign_magnitude, 2**63, 64, 0),
    (decode_sign_magnitude, 2**63 + 5, 0, -5),    # width 0: sign is bit 63
    (decode_sign_magnitude, 5, 0, 5),
    (decode_sign_magnitude, U64_MAX, 65, 0),      # sign bit (N-1) mod 64 = 0, no magnitude
    (decode_sign_magnitude, 3, 66, -1),
    (decode_sign_magnitude, 2**35 + 7, 100, -7),
    (decode_sign_magnitude, 2**63 + 2**35 + 7, 100, -7),
    (decode_sign_magnitude, 2**63 + 5, 128, -5),
]


@pytest.mark.parametrize("fn, pattern, bits, value", DECODE)
def test_decode(fn, pattern, bits, value):
    assert fn(pattern, bits) == value


def test_negative_zero_is_never_produced():
    assert encode_ones_complement(-0, 8) == 0
    assert encode_sign_magnitude(-0, 8) == 0


# ---------------------------------------------------------------- properties

CODECS = {
    "twos": (encode_twos_complement, decode_twos_complement, 1, twos_range, twos_range_text),
    "ones": (encode_ones_complement, decode_ones_complement, 1, symmetric_range, ones_text),
    "sm": (encode_sign_magnitude, decode_sign_magnitude, 2, symmetric_range, sm_text),
}


def width_and_value(kind):
    _, _, lowest, value_range, _ = CODECS[kind]
    return st.integers(lowest, 64).flatmap(
        lambda n: st.tuples(st.just(n), st.integers(*value_range(n))))


def expected_pattern(kind, v, n):
    if v >= 0:
        return v
    if kind == "twos":
        return v % 2**n
    if kind == "ones":
        return 2**n - 1 + v
    return -v | 2 ** (n - 1)


@pytest.mark.parametrize("kind", sorted(CODECS))
@settings(max_examples=250, deadline=None)
@given(data=st.data())
def test_round_trip(kind, data):
    encode, decode, _, _, _ = CODECS[kind]
    n, v = data.draw(width_and_value(kind))
    pattern = encode(v, n)
    assert pattern == expected_pattern(kind, v, n)
    assert decode(pattern, n) == v


@pytest.mark.parametrize("kind, n", [(k, n) for k in sorted(CODECS) for n in range(CODECS[k][2], 65)])
def test_range_ends(kind, n):
    encode, decode, _, value_range, text = CODECS[kind]
    lo, hi = value_range(n)
    for v in (lo, hi):
        assert decode(encode(v, n), n) == v
    for v in (lo - 1, hi + 1):
        if I64_MIN <= v <= I64_MAX:
            refuses(text(v, n), encode, v, n)


@pytest.mark.parametrize("kind", sorted(CODECS))
@settings(max_examples=250, deadline=None)
@given(data=st.data())
def test_values_outside_range_refused(kind, data):
    encode, _, lowest, value_range, text = CODECS[kind]
    n = data.draw(st.integers(lowest, 63))
    lo, hi = value_range(n)
    v = data.draw(st.integers(I64_MIN, lo - 1) | st.integers(hi + 1, I64_MAX))
    refuses(text(v, n), encode, v, n)


@pytest.mark.parametrize("kind", sorted(CODECS))
@settings(max_examples=250, deadline=None)
@given(data=st.data())
def test_decode_then_encode_restores_canonical_pattern(kind, data):
    encode, decode, lowest, _, _ = CODECS[kind]
    n = data.draw(st.integers(lowest, 64))
    p = data.draw(st.integers(0, 2**n - 1))
    v = decode(p, n)
    negative_zero = {"twos": None, "ones": 2**n - 1, "sm": 2 ** (n - 1)}[kind]
    assert encode(v, n) == (0 if p == negative_zero else p)


@pytest.mark.parametrize("fn, text", [
    (encode_twos_complement, TWOS_WIDTH),
    (encode_ones_complement, ONES_WIDTH),
    (encode_sign_magnitude, SM_WIDTH),
])
@settings(max_examples=200, deadline=None)
@given(v=st.integers(I64_MIN, I64_MAX), n=st.integers(65, U64_MAX))
def test_wide_encoders_refuse_width(fn, text, v, n):
    refuses(text, fn, v, n)


@settings(max_examples=250, deadline=None)
@given(p=st.integers(0, U64_MAX), n=st.integers(64, U64_MAX))
def test_wide_decoders(p, n):
    signed = p - 2**64 if p >= 2**63 else p
    assert decode_twos_complement(p, n) == signed
    assert decode_ones_complement(p, n) == signed + (p >> 63)
    k = (n - 1) % 64
    magnitude = p & (2**k - 1)
    assert decode_sign_magnitude(p, n) == (-magnitude if p >> k & 1 else magnitude)

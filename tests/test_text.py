"""Text encodings: US-ASCII, ISO-8859-1, Windows-1252, UTF-8/16/32, as single-value
functions and as packet fields."""
import pytest
from hypothesis import given, settings, strategies as st

import bitweave
from conftest import item

FORMS = ["us_ascii", "iso_8859_1", "windows_1252", "utf8",
         "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"]


def enc(form):
    return getattr(bitweave, "encode_" + form)


def dec(form):
    return getattr(bitweave, "decode_" + form)


def fails(fn, arg, message, exc=ValueError):
    with pytest.raises(BaseException) as e:
        fn(arg)
    assert type(e.value) is exc, repr(e.value)
    assert e.value.args == (message,)


# ---------------------------------------------------------------------------
# Independent references built from the interpreter's codecs
# ---------------------------------------------------------------------------

C1_KEPT = (0x81, 0x8D, 0x8F, 0x90, 0x9D)  # undefined in cp1252, C1 controls in the index
W1252 = {b: chr(b) if b in C1_KEPT else bytes([b]).decode("cp1252") for b in range(256)}
W1252_BACK = {c: b for b, c in W1252.items()}

PY_CODEC = {"us_ascii": "ascii", "iso_8859_1": "latin-1", "utf8": "utf-8",
            "utf16le": "utf-16-le", "utf16be": "utf-16-be",
            "utf32le": "utf-32-le", "utf32be": "utf-32-be"}
MARK = {"utf16": b"\xfe\xff", "utf32": b"\x00\x00\xfe\xff"}


def ref_encode(form, s):
    """Python's encoding of s in the form, or None where the form cannot hold s."""
    try:
        if form in MARK:
            return MARK[form] + s.encode(form[:5].replace("utf", "utf-") + "-be")
        if form == "windows_1252":
            return bytes(W1252_BACK[c] for c in s)
        return s.encode(PY_CODEC[form])
    except (UnicodeEncodeError, KeyError):
        return None


def sniffed(form, b):
    """Whether decoding b as Windows-1252 takes a byte-order mark for one."""
    return form == "windows_1252" and b.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"))


def ref_decode(form, b):
    """Python's strict decoding of b, or None where it fails."""
    try:
        if form == "utf16":
            if len(b) < 2 or len(b) % 2:
                return None
            order = "le" if b[:2] == b"\xff\xfe" else "be"
            return (b[2:] if b[:2] in (b"\xfe\xff", b"\xff\xfe") else b).decode("utf-16-" + order)
        if form == "utf32":
            if len(b) < 4 or len(b) % 4:
                return None
            order = "le" if b[:4] == b"\xff\xfe\x00\x00" else "be"
            marked = b[:4] in (b"\x00\x00\xfe\xff", b"\xff\xfe\x00\x00")
            return (b[4:] if marked else b).decode("utf-32-" + order)
        if form == "windows_1252":
            for mark, codec in ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"),
                                (b"\xfe\xff", "utf-16-be")):
                if b.startswith(mark):
                    return b[len(mark):].decode(codec)
            return "".join(W1252[x] for x in b)
        return b.decode(PY_CODEC[form])
    except UnicodeDecodeError:
        return None


# ---------------------------------------------------------------------------
# Single-value functions: fixed cases
# ---------------------------------------------------------------------------

ENCODE = [
    ("us_ascii", "Hello", b"Hello"),
    ("us_ascii", "\x00\x7f", b"\x00\x7f"),
    ("iso_8859_1", "\xff", b"\xff"),
    ("iso_8859_1", "caf\xe9", b"caf\xe9"),
    ("windows_1252", "\u20ac", b"\x80"),
    ("windows_1252", "\x81", b"\x81"),
    ("windows_1252", "\xe9\u0178", b"\xe9\x9f"),
    ("utf8", "\u20ac", b"\xe2\x82\xac"),
    ("utf16", "", b"\xfe\xff"),
    ("utf16", "A", b"\xfe\xff\x00A"),
    ("utf16le", "A", b"A\x00"),
    ("utf16be", "A", b"\x00A"),
    ("utf16be", "\U0001f600", b"\xd8\x3d\xde\x00"),
    ("utf16le", "\U0001f600", b"\x3d\xd8\x00\xde"),
    ("utf32", "", b"\x00\x00\xfe\xff"),
    ("utf32le", "A", b"A\x00\x00\x00"),
    ("utf32be", "\U0001f600", b"\x00\x01\xf6\x00"),
] + [(form, "", b"") for form in FORMS if form not in MARK]


@pytest.mark.parametrize("form, text, expected", ENCODE)
def test_encode(form, text, expected):
    out = enc(form)(text)
    assert type(out) is bytes and out == expected


ENCODE_REFUSED = [
    ("us_ascii", "caf\xe9", "Character '\xe9' (U+00E9) is not valid US-ASCII"),
    ("us_ascii", "ab\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
    ("us_ascii", "\U0001f600", "Character '\U0001f600' (U+1F600) is not valid US-ASCII"),
    ("us_ascii", "x\xe9\u20ac", "Character '\xe9' (U+00E9) is not valid US-ASCII"),  # first only
    ("iso_8859_1", "\u20ac", "Character '\u20ac' (U+20AC) is not valid ISO-8859-1"),
    ("iso_8859_1", "\xff\u0100", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
    ("windows_1252", "\x80", "Failed to encode to Windows-1252"),
    ("windows_1252", "ok\u0100", "Failed to encode to Windows-1252"),
]


@pytest.mark.parametrize("form, text, message", ENCODE_REFUSED)
def test_encode_refused(form, text, message):
    fails(enc(form), text, message)


DECODE = [
    ("us_ascii", b"\x7f", "\x7f"),
    ("iso_8859_1", b"\xe9\x80", "\xe9\x80"),
    ("windows_1252", b"\x80\x81\x9f", "\u20ac\x81\u0178"),
    ("windows_1252", b"\xff", "\xff"),
    ("windows_1252", b"\xef\xbb", "\xef\xbb"),  # not a whole mark
    ("windows_1252", b"\xef\xbb\xbfA", "A"),
    ("windows_1252", b"\xff\xfeA\x00", "A"),
    ("windows_1252", b"\xfe\xff\x00A", "A"),
    ("windows_1252", b"\xff\xfe", ""),
    ("utf8", b"\x00", "\x00"),
    ("utf8", b"\xef\xbb\xbfA", "\ufeffA"),
    ("utf16", b"\xfe\xff", ""),
    ("utf16", b"\xff\xfeA\x00", "A"),
    ("utf16", b"\x00A", "A"),
    ("utf16be", b"\xfe\xff\x00A", "\ufeffA"),
    ("utf16le", b"\xfe\xff", "\ufffe"),
    ("utf16be", b"\xd8\x3d\xde\x00", "\U0001f600"),
    ("utf32", b"\x00\x00\xfe\xff", ""),
    ("utf32", b"\xff\xfe\x00\x00A\x00\x00\x00", "A"),
    ("utf32", b"\x00\x00\xfeA", "\ufe41"),
    ("utf32be", b"\x00\x10\xff\xff", "\U0010ffff"),
] + [(form, b"", "") for form in FORMS if form not in MARK]


@pytest.mark.parametrize("form, data, expected", DECODE)
def test_decode(form, data, expected):
    out = dec(form)(data)
    assert type(out) is str and out == expected


LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
UTF16_SHORT = "UTF-16 requires an even number of bytes with at least 2 bytes"
UTF32_SHORT = "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"
NOT_1252 = "Failed to decode Windows-1252 bytes"


def bad_utf8(n, i):
    return f"Invalid UTF-8 bytes: invalid utf-8 sequence of {n} bytes from index {i}"


def cut_utf8(i):
    return f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {i}"


DECODE_REFUSED = [
    ("us_ascii", b"A\xff\x80", "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
    ("us_ascii", b"\x80", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    ("windows_1252", b"\xef\xbb\xbf\xff", NOT_1252),
    ("windows_1252", b"\xff\xfeA", NOT_1252),
    ("windows_1252", b"\xfe\xff\xdc\x00", NOT_1252),
    ("utf8", b"A\xc3", cut_utf8(1)),
    ("utf8", b"A\xc3A", bad_utf8(1, 1)),
    ("utf8", b"\xe2\x82A", bad_utf8(2, 0)),
    ("utf8", b"\xf0\x90\x80A", bad_utf8(3, 0)),
    ("utf8", b"\xed\xa0\x80", bad_utf8(1, 0)),  # an encoded surrogate
    ("utf8", b"\xc0\x80", bad_utf8(1, 0)),  # overlong
    ("utf8", b"\xf4\x90\x80\x80", bad_utf8(1, 0)),  # above U+10FFFF
    ("utf8", b"abcdefghij\xf0\x9f\x98", cut_utf8(10)),  # after a run of ASCII
    ("utf16", b"", UTF16_SHORT),
    ("utf16", b"A", UTF16_SHORT),
    ("utf16", b"\xfe\xff\x00", UTF16_SHORT),
    ("utf16le", b"A\x00A", "UTF-16 requires an even number of bytes"),
    ("utf16be", b"\xd8\x00", LONE),
    ("utf16be", b"\xdc\x00\x00A", LONE),
    ("utf16be", b"\xd8\x00\x00A", LONE),
    ("utf16", b"\xff\xfe\x00\xd8", LONE),
    ("utf32", b"\x00\x00\xfe", UTF32_SHORT),
    ("utf32", b"", UTF32_SHORT),
    ("utf32be", b"\x00\x00\x00", "UTF-32 requires a multiple of 4 bytes"),
    ("utf32le", b"\x00\x00\xfe\xff", "Invalid UTF-32 codepoint: 0xFFFE0000"),
    ("utf32be", b"\x00\x00\xd8\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
    ("utf32be", b"\x00\x11\x00\x00", "Invalid UTF-32 codepoint: 0x00110000"),
    ("utf32", b"\x00\x00\xfe\xff\x00\x00\xdf\xff", "Invalid UTF-32 codepoint: 0x0000DFFF"),
]


@pytest.mark.parametrize("form, data, message", DECODE_REFUSED)
def test_decode_refused(form, data, message):
    fails(dec(form), data, message)


@pytest.mark.parametrize("form", FORMS)
def test_lone_surrogate_fails_in_the_conversion(form):
    with pytest.raises(UnicodeEncodeError) as e:
        enc(form)("a\ud800")
    with pytest.raises(UnicodeEncodeError) as py:
        "a\ud800".encode("utf-8")
    assert str(e.value) == str(py.value)


@pytest.mark.parametrize("form", FORMS)
def test_argument_types(form):
    fails(enc(form), b"A", "argument 'text': 'bytes' object cannot be cast as 'str'", TypeError)
    fails(dec(form), bytearray(b"A"),
          "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'", TypeError)
    assert dec(form)(bytes=enc(form)(text="AB")) == "AB"


def test_windows_1252_table_matches_cp1252():
    for b, c in W1252.items():
        assert bitweave.decode_windows_1252(bytes([b])) == c
        assert bitweave.encode_windows_1252(c) == bytes([b])
    for cp in range(0x80, 0x3000):
        if chr(cp) not in W1252_BACK and not 0xD800 <= cp < 0xE000:
            fails(bitweave.encode_windows_1252, chr(cp), "Failed to encode to Windows-1252")


# ---------------------------------------------------------------------------
# Single-value functions against the interpreter's codecs
# ---------------------------------------------------------------------------

# Bytes that are often almost UTF-8: valid runs (long ASCII ones too), truncated
# sequences, overlong forms, surrogates, values above U+10FFFF and stray bytes.
UTF8_PIECES = st.one_of(
    st.text(max_size=6).map(lambda s: s.encode("utf-8")),
    st.text(st.characters(max_codepoint=0x7F), min_size=7, max_size=20).map(str.encode),
    st.text(min_size=1, max_size=1).map(lambda s: s.encode("utf-8")[:-1]),
    st.sampled_from([b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf",
                     b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80", b"\xff", b"\x80",
                     b"\xbf", b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"]),
    st.binary(max_size=3),
)
utf8ish = st.lists(UTF8_PIECES, max_size=8).map(b"".join)


def units(width, order):
    """Byte strings of whole units, biased towards surrogates and marks."""
    top = 0xFFFF if width == 2 else 0xFFFFFFFF
    unit = st.one_of(st.integers(0, 0x10FFFF if width == 4 else top), st.integers(0xD800, 0xDFFF),
                     st.integers(0, top), st.sampled_from([0xFEFF, 0xFFFE, 0xFFFE0000]))
    word = unit.filter(lambda u: u <= top).map(lambda u: u.to_bytes(width, order))
    return st.lists(st.one_of(word, st.binary(max_size=1)), max_size=10).map(b"".join)


DECODER_INPUTS = {
    "us_ascii": utf8ish, "iso_8859_1": st.binary(), "windows_1252": utf8ish, "utf8": utf8ish,
    "utf16": st.one_of(units(2, "big"), units(2, "little")), "utf16le": units(2, "little"),
    "utf16be": units(2, "big"), "utf32": st.one_of(units(4, "big"), units(4, "little")),
    "utf32le": units(4, "little"), "utf32be": units(4, "big"),
}


@pytest.mark.parametrize("form", FORMS)
@settings(max_examples=250, deadline=None)
@given(data=st.data())
def test_decoders_agree_with_the_interpreter(form, data):
    b = data.draw(DECODER_INPUTS[form])
    if form == "windows_1252":
        b = data.draw(st.sampled_from([b"", b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"])) + b
    expected = ref_decode(form, b)
    if expected is None:
        with pytest.raises(BaseException) as e:
            dec(form)(b)
        assert type(e.value) is ValueError
    else:
        assert dec(form)(b) == expected


@settings(max_examples=300, deadline=None)
@given(b=utf8ish)
def test_utf8_fault_position_agrees_with_the_interpreter(b):
    try:
        b.decode("utf-8")
    except UnicodeDecodeError as py:
        with pytest.raises(ValueError) as e:
            bitweave.decode_utf8(b)
        if py.reason == "unexpected end of data":
            assert e.value.args == (cut_utf8(py.start),)
        else:
            assert e.value.args == (bad_utf8(py.end - py.start, py.start),)
        # The validator behind the byte-order-mark path refuses the same bytes.
        fails(bitweave.decode_windows_1252, b"\xef\xbb\xbf" + b, NOT_1252)
    else:
        assert bitweave.decode_utf8(b) == b.decode("utf-8")
        assert bitweave.decode_windows_1252(b"\xef\xbb\xbf" + b) == b.decode("utf-8")


texts = st.one_of(st.text(), st.text(st.characters(max_codepoint=0x2122)),
                  st.text(st.sampled_from("A\x7f\x80\x81\xe9\xff\u0100\u20ac\u0178\U0001f600")))


@pytest.mark.parametrize("form", FORMS)
@settings(max_examples=200, deadline=None)
@given(s=texts)
def test_encoders_agree_with_the_interpreter(form, s):
    expected = ref_encode(form, s)
    if expected is not None:
        assert enc(form)(s) == expected
        if not sniffed(form, expected):
            assert dec(form)(expected) == s
        return
    with pytest.raises(BaseException) as e:
        enc(form)(s)
    assert type(e.value) is ValueError
    if form != "windows_1252":
        first = next(c for c in s if ref_encode(form, c) is None)
        name = {"us_ascii": "US-ASCII", "iso_8859_1": "ISO-8859-1"}[form]
        assert e.value.args == (f"Character '{first}' (U+{ord(first):04X}) is not valid {name}",)


# ---------------------------------------------------------------------------
# Packet fields
# ---------------------------------------------------------------------------

def t(bits, value=None, encoding="utf8", **kw):
    if value is not None:
        kw["value"] = value
    return item(name=kw.pop("name", "s"), encoding=encoding, bits=bits, **kw)


def u(bits, value, **kw):
    return item(name=kw.pop("name", "n"), encoding="unsigned", bits=bits, value=value, **kw)


PACK = [
    ("shorter text is zero-filled", [t(32, "AB")], "41420000"),
    ("little reverses the padded text", [t(32, "AB", byte_order="little")], "00004241"),
    ("mark first", [t(32, "A", "utf16")], "feff0041"),
    ("mark reversed too", [t(32, "A", "utf16", byte_order="LITTLE")], "4100fffe"),
    ("utf32 little", [t(64, "A", "utf32", byte_order="little")], "41000000fffe0000"),
    ("exact fit", [t(24, "abc")], "616263"),
    ("empty text in no bits", [t(0, "")], ""),
    ("empty text is all zeros", [u(16, 0xFFFF), t(16, "", offset_bits=0)], "0000"),
    ("zero fill overwrites", [u(24, 0xFFFFFF), t(16, "A", offset_bits=4)], "f4100f"),
    ("unaligned start", [u(4, 0xF), t(16, "A"), u(4, 0xF)], "f4100f"),
    ("width not a multiple of 8", [t(12, "A"), u(4, 0xF)], "410f"),
    ("reverse_bits ignored", [t(16, "A", reverse_bits=True)], "4100"),
    ("aliases in any case", [t(8, "\u20ac", "Windows-1252"), t(8, "\xe9", "iso-8859-1"),
                             t(8, "A", "US-ASCII"), t(16, "A", "UTF-16BE"),
                             t(32, "A", "utf-32le")], "80e941004141000000"),
    ("utf8 little unaligned", [u(4, 0), t(16, "AB", byte_order="little")], "042410"),
]


@pytest.mark.parametrize("label, recipe, expected", PACK, ids=[c[0] for c in PACK])
def test_pack(label, recipe, expected):
    assert bitweave.pack_parameters(recipe).hex() == expected


SURROGATE_TEXT = ("UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' "
                  "in position 0: surrogates not allowed")


def too_long(n, bits):
    return f"ValueError: Encoded text of {n} bytes does not fit in {bits} bits"


PACK_REFUSED = [
    ("longer text is refused", [t(16, "ABC")], too_long(3, 16)),
    ("whole bytes must fit", [t(15, "AB")], too_long(2, 15)),
    ("mark counts", [t(16, "A", "utf16")], too_long(4, 16)),
    ("no bits", [t(0, "A")], too_long(1, 0)),
    ("latin1 is unpack only", [t(8, "a", "latin1")],
     "ValueError: Unsupported encoding type: latin1"),
    ("value must be a str", [t(8, 5)], "TypeError: 'int' object cannot be cast as 'str'"),
    ("lone surrogate", [t(8, "\ud800")], SURROGATE_TEXT),
    ("unencodable, even in no bits", [t(0, "\xe9", "us_ascii")],
     "ValueError: Character '\xe9' (U+00E9) is not valid US-ASCII"),
    ("encoding error before byte order", [t(8, "\u0100", "windows_1252", byte_order="mid")],
     "ValueError: Failed to encode to Windows-1252"),
    ("byte order before fit", [t(8, "AB", byte_order="mid")],
     "ValueError: Invalid byte_order 'mid': must be 'big' or 'little'"),
]


@pytest.mark.parametrize("label, recipe, message", PACK_REFUSED, ids=[c[0] for c in PACK_REFUSED])
def test_pack_refused(label, recipe, message):
    fails(bitweave.pack_parameters, recipe, message)


UNPACK = [
    ("in place", b"abc", 0, [t(24)], "abc"),
    ("little", b"abc", 0, [t(24, byte_order="little")], "cba"),
    ("trailing zeros are text", b"A\x00", 0, [t(16)], "A\x00"),
    ("latin1", b"\xff", 0, [t(8, encoding="latin1")], "\xff"),
    ("windows-1252", b"\x80", 0, [t(8, encoding="windows_1252")], "\u20ac"),
    ("unaligned", b"\xf4\x1f", 4, [t(8)], "A"),
    ("unaligned by item offset", b"\x04\x1f", 0, [t(8, offset_bits=4)], "A"),
    ("12 bits right-aligned", b"\x04\x10", 0, [t(12, encoding="utf16be")], "A"),
    ("12 bits little", b"\x04\x10", 0, [t(12, encoding="Utf-16LE", byte_order="little")], "A"),
    ("no bits", b"", 0, [t(0)], ""),
    ("utf32 with mark", b"\xff\xfe\x00\x00A\x00\x00\x00", 0, [t(64, encoding="utf-32")], "A"),
]


@pytest.mark.parametrize("label, packet, offset, recipe, expected", UNPACK,
                         ids=[c[0] for c in UNPACK])
def test_unpack(label, packet, offset, recipe, expected):
    assert bitweave.unpack_parameters(packet, offset, recipe) == {"s": expected}


UNPACK_REFUSED = [
    (b"\xff", [t(8, encoding="us_ascii")],
     "ValueError: Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
    (b"A\xc3", [t(16)], "ValueError: " + cut_utf8(1)),
    (b"\x00\xe2\x82", [t(20, offset_bits=4)], "ValueError: " + cut_utf8(1)),
    (b"", [t(0, encoding="utf16")], "ValueError: " + UTF16_SHORT),
    (b"\xd8\x00", [t(16, encoding="utf16be")], "ValueError: " + LONE),
]


@pytest.mark.parametrize("packet, recipe, message", UNPACK_REFUSED)
def test_unpack_refused(packet, recipe, message):
    fails(lambda r: bitweave.unpack_parameters(packet, 0, r), recipe, message)


PACKABLE = FORMS + ["utf-8", "UTF-16", "windows-1252"]


@pytest.mark.parametrize("form", PACKABLE)
@settings(max_examples=100, deadline=None)
@given(s=texts, lead=st.integers(0, 15), spare=st.integers(0, 3), little=st.booleans())
def test_text_fields_at_any_bit(form, s, lead, spare, little):
    name = form.lower().replace("-", "_").replace("utf_", "utf")
    image = ref_encode(name, s)
    if image is None:
        return
    order = "little" if little else "big"
    bits = 8 * (len(image) + spare)
    ones = (1 << lead) - 1
    packet = bitweave.pack_parameters([u(lead, ones), t(bits, s, form, byte_order=order)])
    # The same layout built by hand: the lead ones, the image and the spare zero bytes
    # (reversed together in a little-endian field).
    field = image + bytes(spare)
    field = field[::-1] if little else field
    total = lead + bits
    expect = (ones << bits | int.from_bytes(field, "big")) << (-total % 8)
    assert packet == expect.to_bytes((total + 7) // 8, "big")
    if spare == 0 and not sniffed(name, field):
        back = bitweave.unpack_parameters(packet, lead, [t(bits, encoding=form, byte_order=order)])
        assert back == {"s": s}

"""Compiled layouts against the per-packet functions: every column value equals what
unpack_parameters gives for its packet, and every packed packet what pack_parameters makes."""
import mmap
import pickle
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import bitweave
from bitweave_columns import Layout
from conftest import item

WIDTHS = {  # encoding: widths it decodes
    "unsigned": st.integers(0, 72), "twos_complement": st.integers(0, 72),
    "ones_complement": st.integers(0, 72), "sign_magnitude": st.integers(2, 72),
    "packed_bcd_signed": st.integers(4, 64), "bcd": st.integers(8, 64),
    "ieee754_f16": st.integers(16, 20), "ieee754_f32": st.integers(32, 40),
    "ieee754_f64": st.just(64), "ieee754_f128": st.just(128),
    "us_ascii": st.sampled_from([0, 8, 16, 24, 12]), "utf8": st.sampled_from([8, 32]),
    "utf16le": st.just(32), "latin1": st.just(16), "binary": st.sampled_from([0, 8, 24]),
}


@st.composite
def layouts(draw):
    items = []
    for _ in range(draw(st.integers(1, 7))):
        encoding = draw(st.sampled_from(sorted(WIDTHS)))
        extra = {}
        if draw(st.integers(0, 3)) == 0:
            extra["offset_bits"] = draw(st.integers(0, 80))
        # Names repeat, but a binary field keeps its own: bytes pack into no other field.
        name = f"z{len(items)}" if encoding == "binary" else draw(st.sampled_from("abcdefg"))
        items.append(item(name, encoding, draw(WIDTHS[encoding]),
                          draw(st.sampled_from(["big", "little", "LITTLE"])), draw(st.booleans()),
                          **extra))
    return items


def oracle(recipe):
    """The recipe as unpack_parameters reads it: binary fields are Latin-1 text."""
    return [dict(i, encoding="iso_8859_1") if i["encoding"] == "binary" else i for i in recipe]


def as_oracle(value):
    return value.decode("latin-1") if isinstance(value, bytes) else value


def same(column_value, value):
    if isinstance(value, float):
        return np.isnan(value) if np.isnan(column_value) else column_value == value
    return column_value == value and type(column_value) is not float


def needed_bytes(recipe, offset_bits):
    """The bytes from a packet's start that its fields need, as unpack_parameters counts."""
    cursor = need = 0
    for i in recipe:
        start = i.get("offset_bits", cursor) + offset_bits
        need = max(need, start // 8 if i["bits"] == 0 else (start + i["bits"] + 7) // 8)
        cursor = start + i["bits"] - offset_bits
    return need


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(layouts(), st.integers(0, 12), st.integers(0, 4), st.binary(min_size=64, max_size=64),
       st.integers(0, 2**32))
def test_columns_equal_the_per_packet_functions(recipe, offset_bits, extra_stride, seed, salt):
    layout = Layout(recipe)
    stride = max(1, layout.size + extra_stride)
    rng = np.random.default_rng(int.from_bytes(seed, "big") ^ salt)
    data = rng.integers(0, 256, 5 * stride + 9, dtype=np.uint8).tobytes()
    # Printable bytes now and then, so that text fields decode too.
    data = bytes(b & 0x3F | 0x40 for b in data) if salt % 2 else data
    columns = layout.unpack(data, stride=stride, offset_bits=offset_bits, errors="mask")
    count = len(next(iter(columns.values())))
    need = needed_bytes(recipe, offset_bits)
    assert count == (0 if need > len(data) else (len(data) - need) // stride + 1)
    packed_rows, values_rows, first_error = [], [], None
    for i in range(count):
        packet = data[i * stride:]
        try:
            expect = bitweave.unpack_parameters(packet, offset_bits, oracle(recipe))
        except ValueError as e:
            assert any(np.ma.getmaskarray(c)[i] for c in columns.values())
            if first_error is None:  # "ValueError: text", noted "recipe item k ('name'), ..."
                name = e.__notes__[0].split("'")[1]
                first_error = f"packet {i}, field '{name}': {str(e).split(': ', 1)[1]}"
            continue
        for name, value in expect.items():
            got = columns[name][i]
            assert got is not np.ma.masked and same(as_oracle(got), value), (name, got, value)
        one = layout.unpack_one(packet, offset_bits)
        assert one.keys() == expect.keys()
        assert all(same(as_oracle(one[k]), v) for k, v in expect.items())
        values_rows.append(one)
    if first_error is not None:
        with pytest.raises(ValueError) as info:
            layout.unpack(data, stride=stride, offset_bits=offset_bits)
        assert str(info.value) == first_error
    # Packing what was read: pack, pack_one and pack_parameters agree, error for error.
    for row in values_rows:
        try:
            packed = bitweave.pack_parameters([dict(i, value=as_oracle(row[i["name"]]))
                                               for i in oracle(recipe)])
        except ValueError as e:
            with pytest.raises(ValueError) as info:
                layout.pack_one(row)
            assert str(info.value) == str(e)
            return
        assert layout.pack_one(row) == packed
        packed_rows.append(packed)
    if values_rows:
        table = {name: [row[name] for row in values_rows] for name in layout.names}
        assert layout.pack(table) == b"".join(packed_rows)


U12 = [item("a", bits=12), item("t", "twos_complement", 20), item("f", "ieee754_f32", 32)]


def test_buffer_kinds_are_read_in_place():
    layout = Layout(U12)
    data = layout.pack({"a": np.arange(100) % 4096, "t": -np.arange(100), "f": 1.5})
    expect = layout.unpack(data)
    with mmap.mmap(-1, len(data)) as m:
        m[:] = data
        kinds = [bytearray(data), memoryview(data), m, np.frombuffer(data, np.uint8)]
        for kind in kinds:
            got = layout.unpack(kind)
            assert all(np.array_equal(got[k], expect[k]) for k in expect)
        del got, kind, kinds
    with pytest.raises(TypeError, match="data must be a C-contiguous buffer; got a non-contiguous"):
        layout.unpack(np.frombuffer(data, np.uint8)[::2])
    assert {k: v.dtype.str for k, v in expect.items()} == {"a": "<u2", "t": "<i4", "f": "<f4"}


def test_counts_strides_and_offsets():
    layout = Layout(U12)
    data = bytes(range(256)) * 2
    n = len(data) // layout.size
    assert len(layout.unpack(data)["a"]) == n
    with pytest.raises(ValueError, match=rf"^count={n + 1} asks for more packets than"):
        layout.unpack(data, n + 1)
    assert len(layout.unpack(data, 3, stride=0)["a"]) == 3
    with pytest.raises(ValueError, match="stride 0"):
        layout.unpack(data, stride=0)
    offsets, lengths = [0, 100, 500], [8, 8, 7]
    got = layout.unpack(data, offsets=offsets, lengths=lengths, errors="mask")
    assert list(np.ma.getmaskarray(got["f"])) == [False, False, True]
    with pytest.raises(ValueError, match=r"^packet 2, field 'f': range end index 8 out of "
                                         r"range for slice of length 7$"):
        layout.unpack(data, offsets=offsets, lengths=lengths)
    with pytest.raises(ValueError, match=r"offsets\[1\] is -4"):
        layout.unpack(data, offsets=[0, -4])
    with pytest.raises(TypeError, match="lengths= goes with offsets="):
        layout.unpack(data, lengths=[1])


def test_construction_refuses_what_unpack_parameters_refuses():
    cases = [[item("x", "dec_f32", 32)], [item("x", "ieee754_f32", 16)],
             [item("x", bits=8), {"name": "y", "encoding": "unsigned"}],
             [item("x", "nope")], [item("x", "binary", 12)]]
    for recipe in cases:
        with pytest.raises(ValueError) as made:
            Layout(recipe)
        if recipe[-1].get("encoding") != "binary":
            with pytest.raises(ValueError) as walked:
                bitweave.unpack_parameters(bytes(8), 0, recipe)
            assert (made.value.args, made.value.__notes__) == (
                walked.value.args, walked.value.__notes__)
    assert str(made.value) == "ValueError: bits must be a multiple of 8 for binary fields, not 12"


def test_packing_errors_and_read_only_fields():
    layout = Layout(U12 + [item("q", "ieee754_f128", 128), item("s", "us_ascii", 16)])
    with pytest.raises(ValueError, match="Unsupported encoding type: ieee754_f128"):
        layout.pack_one({"a": 1, "t": 1, "f": 1.0, "q": 1.0, "s": ""})
    layout = Layout(U12 + [item("s", "us_ascii", 16), item("b", "binary", 16)])
    row = {"a": [1, 4096], "t": 0, "f": 0.0, "s": "ok", "b": b"\x01\x02"}
    with pytest.raises(ValueError, match=r"^packet 1, field 'a': Value 4096 is too large"):
        layout.pack(row)
    with pytest.raises(ValueError, match=r"^packet 0, field 's': Encoded text of 3 bytes"):
        layout.pack(dict(row, a=1, s="abc"))
    with pytest.raises(ValueError, match=r"^packet 0, field 'a': TypeError: 'str' object"):
        layout.pack(dict(row, a=["x"]))
    with pytest.raises(ValueError, match=r"^packet 0, field 'b': Value of 1 bytes does not fill"):
        layout.pack(dict(row, a=1, b=b"\x01"))
    with pytest.raises(ValueError, match=r"^packet 1, field 'a': OverflowError"):
        layout.pack(dict(row, a=np.array([1, -1])))
    buffer = bytearray(b"\xee" * 30)
    assert layout.pack_into(buffer, dict(row, a=[1, 2]), offset=3) == 2
    assert bytes(buffer[3:3 + 2 * layout.size]) == layout.pack(dict(row, a=[1, 2]))
    with pytest.raises(ValueError, match="^3 packets of 12 bytes from byte 3 need 39 bytes; the buffer has 30$"):
        layout.pack_into(buffer, dict(row, a=[1, 2, 3]), offset=3)


def test_layouts_pickle_compare_and_show_their_fields():
    layout = Layout(U12 + [item("a", "unsigned", 4, offset_bits=0)])
    again = pickle.loads(pickle.dumps(layout))
    assert again == layout and hash(again) == hash(layout) and again is not layout
    assert layout != Layout(U12)
    assert (layout.names, layout.bits, layout.size) == (("a", "t", "f"), 64, 8)
    assert repr(layout).startswith("Layout(4 fields, 64 bits, 8 bytes: 'a' unsigned 12 @0")


def test_threads_decode_side_by_side():
    layout = Layout(U12)
    data = layout.pack({"a": np.arange(20000) % 4096, "t": 5, "f": 2.0})
    results = [None] * 4

    def work(k):
        results[k] = layout.unpack(data)["a"]
    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, np.arange(20000) % 4096) for r in results)


def test_no_leaks_on_any_path():
    """Every entry, succeeding and failing, 2000 times over: no block survives a call."""
    import gc
    import sys
    layout = Layout(U12 + [item("s", "utf8", 16), item("b", "binary", 8)])
    good = layout.pack({"a": [1, 2], "t": -3, "f": 1.5, "s": "ok", "b": b"\x01"})
    bad = good[:-1] + b"\xff" + good[-1:] * 0
    calls = [
        lambda: layout.unpack(good), lambda: layout.unpack(good, errors="mask"),
        lambda: layout.unpack(good[:-3] + b"\xff\xfe\x00", 2, errors="mask"),
        lambda: layout.unpack(good, offsets=[0, 100], lengths=[12, 3], errors="mask"),
        lambda: layout.unpack_one(good), lambda: layout.pack_one(layout.unpack_one(good)),
        lambda: layout.pack({"a": [1, 5000], "t": 0, "f": 0.0, "s": "x", "b": b"\x00"}),
        lambda: layout.pack_one({"a": 1}), lambda: layout.unpack(bad + bytes(12), 2),
        lambda: Layout(U12 + [item("x", "nope")]), lambda: layout.unpack_one(good[:3]),
    ]
    for call in calls:
        def quiet():
            try:
                call()
            except ValueError:
                pass
        for _ in range(50):
            quiet()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(2000):
            quiet()
        gc.collect()
        assert sys.getallocatedblocks() - before < 50

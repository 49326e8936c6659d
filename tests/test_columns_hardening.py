"""bitweave_columns against hostile callers: buffers rewritten by another thread while a
call runs without the interpreter's lock, arguments beyond their range, unusual mappings
and buffers, and layouts that look alike but do not behave alike."""
import collections
import inspect
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

import bitweave
from bitweave_columns import Layout, _columns, ccsds_index
from conftest import item

U16 = [item(f"f{k}", "unsigned", 16) for k in range(3)]


RACE = """
import threading, time
import numpy as np
from bitweave_columns import Layout, ccsds_index
{setup}
stop = time.monotonic() + 1.5
def flip():
    rng = np.random.default_rng(1)
    while time.monotonic() < stop:
{flip}
thread = threading.Thread(target=flip)
thread.start()
calls = 0
while time.monotonic() < stop:
{call}
    calls += 1
thread.join()
print("ok", calls)
"""


def run_race(setup, flip, call):
    """One thread runs `flip` over and over while this one runs `call`, for 1.5 s, in a
    fresh interpreter, so that a crash fails this test alone."""
    code = RACE.format(setup=textwrap.dedent(setup), flip=textwrap.indent(textwrap.dedent(
        flip), " " * 8), call=textwrap.indent(textwrap.dedent(call), " " * 4))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    assert (run.returncode, run.stderr) == (0, "") and run.stdout.startswith("ok"), run


def test_index_of_a_stream_rewritten_meanwhile_is_one_walk():
    """Length fields flipped while ccsds_index walks: rows follow one another, lie inside
    the data and end where the tail starts."""
    run_race("""
        n = 20000
        stream = bytearray(bytes([0, 1, 0xC0, 0, 0, 9]) + bytes(10)) * n  # 16-byte packets
        view, high = np.frombuffer(stream, np.uint8), np.arange(n) * 16 + 4  # length fields
    """, """
        k = rng.integers(0, n, 64)
        view[high[k]] = rng.integers(0, 256, 64)
        view[high[k]] = 0
    """, """
        skip = calls % 3
        index = ccsds_index(stream, skip_header_bytes=skip)
        at, length = index["offset"], index["length"]
        assert (length >= 7).all() and (at + length <= len(stream)).all()
        assert (at[1:] == at[:-1] + length[:-1] + skip).all() and at[:1].tolist() in ([], [skip])
        assert index["tail"] == len(stream) - (at[-1] + length[-1] if len(at) else 0)
    """)


def test_offsets_rewritten_meanwhile_never_lead_outside_the_data():
    """Offsets and lengths flipped far beyond the data while unpack decodes by them (from an
    aligned and a misaligned array): every value is one read from the data, or masked."""
    run_race("""
        n = 20000
        layout = Layout([dict(name=f"f{k}", encoding="unsigned", bits=16, byte_order="big",
                              reverse_bits=False) for k in range(16)])
        data = b"\\x5a" * (32 * n)  # every field reads 0x5A5A wherever it lies in the data
        raw = bytearray(16 * n + 1)  # misaligned copies of the aligned arrays
        aligned = np.arange(n, dtype=np.int64) * 32, np.full(n, 32, np.int64)
        odd = np.frombuffer(raw, np.int64, n, 1), np.frombuffer(raw, np.int64, n, 8 * n + 1)
        odd[0][:], odd[1][:] = aligned
    """, """
        for o, l in (aligned, odd):
            k = rng.integers(0, n, 64)
            o[k], l[k] = 1 << 40, rng.integers(0, 1 << 40, 64)
            o[k], l[k] = k * 32, 32
    """, """
        o, l = aligned if calls % 2 else odd
        for column in layout.unpack(data, offsets=o, lengths=l, errors="mask").values():
            assert len(column) == n and (column.compressed() == 0x5A5A).all()
    """)


@pytest.mark.parametrize("seed", range(4))
def test_offsets_across_blocks_decode_as_unpack_parameters(seed):
    """Thousands of packets spread over more than 64 KiB, from misaligned arrays: each row is
    what unpack_parameters reads from the packet's bytes, or masked where it refuses."""
    rng = np.random.default_rng(seed)
    recipe = [item("a", "unsigned", 12, offset_bits=0), item("s", "us_ascii", 16, offset_bits=29),
              item("t", "twos_complement", 20, offset_bits=9)]
    data, n = rng.integers(0, 128, 300_000, dtype=np.uint8).tobytes(), 6000
    raw = bytearray(16 * n + 3)
    offsets = np.frombuffer(raw, np.int64, n, 3)
    lengths = np.frombuffer(raw, np.int64, n, 8 * n + 3)
    offsets[:] = rng.integers(0, len(data) + 8, n)
    if seed % 2:  # blocks of 4096 packets; unsorted, blocks of a few packets each
        offsets.sort()
    lengths[:] = rng.integers(0, 12, n)
    got = Layout(recipe).unpack(data, offsets=offsets, lengths=lengths, offset_bits=seed,
                                errors="mask")
    for i, (o, length) in enumerate(zip(offsets.tolist(), lengths.tolist())):
        for field in recipe:
            name = field["name"]
            try:
                want = bitweave.unpack_parameters(data[o:o + length], seed, [field])[name]
            except ValueError:
                assert np.ma.getmaskarray(got[name])[i], (i, name)
                continue
            assert got[name][i] == want, (i, name)


def test_private_decode_refuses_arrays_that_do_not_match():
    layout = Layout(U16)
    offsets = np.arange(3, dtype=np.int64) * 6
    with pytest.raises(ValueError, match=r"^lengths must hold one 8-byte integer per offset: 8 "
                                         r"bytes for 3 offsets$"):
        layout._decode(bytes(18), None, None, 0, offsets, offsets[:1], False)
    with pytest.raises(ValueError, match=r"^offsets must hold 8-byte integers, not 7 bytes$"):
        layout._decode(bytes(18), None, None, 0, bytes(7), None, False)


BIG = 2**64 + 8


@pytest.mark.parametrize("call, message", [
    (lambda L: L.unpack(bytes(64), offset_bits=BIG), "offset_bits is too large"),
    (lambda L: L.unpack_one(bytes(64), offset_bits=BIG), "offset_bits is too large"),
    (lambda L: L.unpack(bytes(64), BIG), "count is too large"),
    (lambda L: L.unpack(bytes(64), 1, stride=BIG), "stride is too large"),
    (lambda L: L.unpack(bytes(64), offsets=[0, 2**63]), r"offsets\[1\] is beyond the largest"),
    (lambda L: L.unpack(bytes(64), offsets=[BIG]), r"offsets\[0\] is beyond the largest"),
    (lambda L: L.unpack(bytes(64), offsets=[0], lengths=np.array([2**64 - 1], np.uint64)),
     r"lengths\[0\] is beyond the largest"),
    (lambda L: L._encode([np.zeros(1)] * 3, BIG), "count is too large"),
    (lambda L: ccsds_index(bytes(64), offset=BIG), "offset is too large"),
    (lambda L: ccsds_index(bytes(64), skip_header_bytes=BIG), "skip_header_bytes is too large"),
    (lambda L: ccsds_index(bytes(64), skip_header_bytes=-1), "skip_header_bytes must be >= 0, "
                                                             "not -1"),
    (lambda L: L.unpack_one(bytes(64), offset_bits=-(2**70)), "offset_bits must be >= 0$"),
])
def test_sizes_beyond_their_range_are_refused_by_name(call, message):
    with pytest.raises(OverflowError, match=message):
        call(Layout(U16))


class Doubled(dict):
    def __getitem__(self, key):  # its own [], which is not its storage
        return 2 * dict.__getitem__(self, key)


def test_pack_one_reads_every_mapping_as_pack_does():
    layout = Layout(U16)
    values = {"f0": 1, "f1": 2, "f2": 3}
    for mapping in (collections.UserDict(values), collections.ChainMap({"f0": 1}, values),
                    types.MappingProxyType(values), Doubled(values)):
        packed = layout.pack_one(mapping)
        assert packed == layout.pack(mapping) == bitweave.pack_parameters(
            [dict(i, value=mapping[i["name"]]) for i in U16]), type(mapping)
    for mapping in ({"f0": 1}, collections.UserDict(f0=1),
                    types.MappingProxyType({"f0": 1, "f2": 2})):
        with pytest.raises(ValueError, match=r"^KeyError: \"no value for field 'f1'\"") as info:
            layout.pack_one(mapping)
        assert info.value.__notes__ == ["recipe item 1 ('f1'), bits 16 to 31"]
    with pytest.raises(TypeError, match="values must be a mapping of field names to values, "
                                        "not 'list'"):
        layout.pack_one([1, 2, 3])


def test_layouts_are_equal_only_where_they_behave_alike():
    latin1, iso, dashed = (Layout([item("s", e, 16)]) for e in ("latin1", "iso_8859_1",
                                                                "iso-8859-1"))
    assert iso == dashed and hash(iso) == hash(dashed)
    assert iso.pack_one({"s": "\xe9"}) == dashed.pack_one({"s": "\xe9"}) == b"\xe9\x00"
    with pytest.raises(ValueError, match="Unsupported encoding type: latin1"):
        latin1.pack_one({"s": "\xe9"})
    assert latin1 != iso and latin1.unpack_one(b"\xe9\x00") == iso.unpack_one(b"\xe9\x00")


def test_buffers_that_are_not_contiguous_are_named_as_such():
    layout = Layout(U16)
    for strided, kind in ((np.zeros(64, np.uint8)[::2], "numpy.ndarray"),
                          (memoryview(bytes(64))[::2], "memoryview")):
        for call in (layout.unpack, layout.unpack_one, ccsds_index):
            with pytest.raises(TypeError, match=rf"^data must be a C-contiguous buffer; got a "
                                                rf"non-contiguous {kind} \(copy it with"):
                call(strided)
    with pytest.raises(TypeError, match=r"^data must be a buffer of bytes .* not 'list'$"):
        ccsds_index([0] * 8)


def test_compiled_callables_say_what_they_do():
    for f in (_columns.LayoutBase, ccsds_index, Layout.unpack_one, Layout.pack_one):
        assert len(inspect.getdoc(f) or "") > 100, f
    assert list(inspect.signature(ccsds_index).parameters) == ["data", "offset",
                                                               "skip_header_bytes"]
    assert list(inspect.signature(_columns.LayoutBase).parameters) == ["recipe"]


def test_byte_slices_are_the_pieces_and_refuse_any_outside():
    data = bytes(range(200))
    starts, sizes = np.array([0, 7, 200], np.int64), np.array([3, 0, 0], np.int64)
    assert _columns._byte_slices(data, starts, sizes).tolist() == [data[0:3], b"", b""]
    for s, n in (([-1], [1]), ([199], [2]), ([0], [-1]), ([2**62], [2**62]), ([0, 1], [1])):
        with pytest.raises(ValueError, match="outside the data|one size a start"):
            _columns._byte_slices(data, np.array(s, np.int64), np.array(n, np.int64))

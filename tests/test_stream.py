"""StreamDecoder: streams cut into chunks anywhere decode, joined, to one decode of the whole
stream; with layouts, the real JPSS file through its XTCE document, and transfer frames."""
import binascii
import os
import random
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from bitweave_columns import Layout, StreamDecoder, ccsds_index, xtce
from bitweave_columns.frames import tm_packets
from bitweave_columns.xtce.decode import Decoded

CORPUS = Path(os.environ.get("BITWEAVE_CORPUS",
                             Path(__file__).resolve().parents[2] / "shared" / "corpus"))
JPSS = CORPUS / "space_packet_parser" / "jpss"

LAYOUT = Layout([{"name": n, "encoding": e, "bits": b, "byte_order": "big",
                  "reverse_bits": False, "offset_bits": o}
                 for n, e, b, o in (("apid", "unsigned", 11, 5), ("count", "unsigned", 14, 18),
                                    ("x", "twos_complement", 13, 51), ("y", "unsigned", 7, 64))])


def chunks(data, draw):
    at = 0
    while at < len(data):
        step = draw(st.one_of(st.just(1), st.integers(1, 200)))
        yield data[at:at + step]
        at += step


def gaps_of(index):  # one packet at a time
    last, gaps = {}, []
    for i, (apid, seq) in enumerate(zip(index["apid"].tolist(), index["seq_count"].tolist())):
        if apid in last and (last[apid] + 1) % 16384 != seq and apid != 0x7FF:
            gaps.append((apid, (last[apid] + 1) % 16384, seq, i))
        last[apid] = seq
    return gaps


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([3, 9, 0x7FF]), st.integers(0, 3),
                          st.binary(min_size=3, max_size=40)), max_size=40),
       st.integers(0, 4), st.data())
def test_chunks_join_into_the_whole_stream_decode(made, skip, data):
    seq, stream = {}, bytearray()
    for apid, jump, payload in made:
        seq[apid] = (seq.get(apid, 16380) + 1 + (jump == 3)) % 16384
        stream += bytes(skip) + apid.to_bytes(2, "big") + (0xC000 | seq[apid]).to_bytes(2, "big")
        stream += (len(payload) - 1).to_bytes(2, "big") + payload
    stream += bytes(data.draw(st.binary(max_size=9)))
    index = ccsds_index(stream, skip_header_bytes=skip)
    decoder = StreamDecoder({3: LAYOUT, 9: LAYOUT}, skip_header_bytes=skip, errors="mask")
    parts = [decoder.feed(c) for c in chunks(bytes(stream), data.draw)] + [decoder.close()]
    assert decoder.gaps == gaps_of(index)
    assert decoder.tail == bytes(stream[len(stream) - int(index["tail"]):])
    assert decoder.packets == len(index["offset"])
    for apid in (3, 9):
        rows = np.flatnonzero(index["apid"] == apid)
        want = LAYOUT.unpack(stream, offsets=index["offset"][rows], lengths=index["length"][rows],
                             errors="mask")
        got = [p[apid] for p in parts if apid in p]
        for name, column in want.items():
            joined = np.ma.concatenate([g[name] for g in got]) if got else column[:0]
            assert np.ma.allequal(joined, column) and (np.ma.getmaskarray(joined) ==
                                                       np.ma.getmaskarray(column)).all()
        for name, want_col in (("packet_index", rows), ("packet_offset", index["offset"][rows])):
            joined = np.concatenate([g[name] for g in got]) if got else rows[:0]
            assert joined.tolist() == want_col.tolist()


def assert_same_decode(parts, whole):
    got = Decoded.concat(parts)
    assert list(got) == list(whole) and got.packets == whole.packets and got.tail == whole.tail
    for name, table in whole.items():
        for col, values in table.items():
            assert got[name][col].dtype == values.dtype and np.array_equal(got[name][col], values)


@pytest.mark.skipif(not JPSS.is_dir(), reason=f"no real data at {JPSS}")
@pytest.mark.parametrize("frames", [None, 1115])
def test_jpss_in_random_chunks_is_the_whole_file_decode(frames):
    definition = xtce.load(JPSS / "jpss1_geolocation_xtce_v1.xml")
    data = (JPSS / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1").read_bytes()
    rng = random.Random(7)
    if frames:  # packets laid end to end in TM frames of one channel, no gaps
        zone, out, pos = frames - 8, [], 0
        index = ccsds_index(data)
        starts = index["offset"].tolist()
        k = 0
        while pos < len(data):
            while k < len(starts) and starts[k] < pos:
                k += 1
            fhp = starts[k] - pos if k < len(starts) and starts[k] < pos + zone else 0x7FF
            f = bytes([0, 2, 0, len(out) & 0xFF]) + fhp.to_bytes(2, "big")
            f += data[pos:pos + zone].ljust(zone, b"\xff")
            out.append(f + binascii.crc_hqx(f, 0xFFFF).to_bytes(2, "big"))
            pos += zone
        data = b"".join(out)
        whole = definition.decode(tm_packets(data, frames))
    else:
        whole = definition.decode(data)
    decoder = StreamDecoder(definition, frames=frames)
    parts, at = [], 0
    while at < len(data):
        step = rng.choice([1, 7, 700, 65536])
        parts.append(decoder.feed(memoryview(data)[at:at + step]))
        at += step
    parts.append(decoder.close())
    assert_same_decode(parts, whole)
    assert whole.packets == 7200 and decoder.gaps == []


@settings(max_examples=100, deadline=None)
@given(st.binary(max_size=2000), st.data())
def test_random_bytes_raise_only_value_error_and_hold_one_packet(stream, data):
    decoder = StreamDecoder({apid: LAYOUT for apid in range(0, 2048, 7)},
                            skip_header_bytes=data.draw(st.integers(0, 3)))
    for chunk in chunks(stream, data.draw):
        try:
            decoder.feed(chunk)
        except ValueError as e:
            assert "APID" in str(e)
            return
        assert decoder.pending <= 65542 + 3


def test_bad_arguments():
    with pytest.raises(TypeError):
        StreamDecoder([LAYOUT])
    with pytest.raises(ValueError):
        StreamDecoder({4096: LAYOUT})
    with pytest.raises(TypeError):
        StreamDecoder({1: LAYOUT}, derived=True)
    decoder = StreamDecoder({1: LAYOUT})
    decoder.close()
    with pytest.raises(ValueError):
        decoder.feed(b"")

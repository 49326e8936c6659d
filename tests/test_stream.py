"""StreamDecoder: streams cut into chunks anywhere decode, joined, to one decode of the whole
stream; with layouts, the real JPSS file through its XTCE document, and transfer frames."""
import binascii
import os
import random
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from bitweave_columns import Layout, StreamDecoder, ccsds_index, join_segments, xtce
from bitweave_columns.frames import tm_packets
from bitweave_columns.stream import SEGMENT_LIMIT
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
@pytest.mark.parametrize("frames, segmented", [(None, None), (1115, None), (1115, True)])
def test_jpss_in_random_chunks_is_the_whole_file_decode(frames, segmented):
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
    decoder = StreamDecoder(definition, frames=frames, segmented=segmented)
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
    segmented = data.draw(st.sampled_from([None, True]))
    decoder = StreamDecoder({apid: LAYOUT for apid in range(0, 2048, 7)},
                            skip_header_bytes=data.draw(st.integers(0, 3)), segmented=segmented)
    for chunk in chunks(stream, data.draw):
        try:
            decoder.feed(chunk)
        except ValueError as e:
            assert "APID" in str(e)
            return
        assert decoder.pending <= 65542 + 3 + (SEGMENT_LIMIT if segmented else 0)


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


def segmented_stream(messages, lost, secondary):
    """Packets of `messages` ((apid, user data, segments)), each cut into its segments with
    consecutive counts per APID, `secondary` bytes of secondary header in each; the packets
    at positions in `lost` left out. Returns the stream, the joined packets that should come
    out (in the order their last segments arrive) and the segments that should be dropped."""
    counts, packets = {}, []  # packets: (message number, bytes)
    for m, (apid, data, k) in enumerate(messages):
        cuts = sorted(random.sample(range(1, len(data)), k - 1)) if k > 1 else []
        pieces = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
        for i, piece in enumerate(pieces):
            flags = 3 if k == 1 else 1 if i == 0 else 2 if i == k - 1 else 0
            seq = counts[apid] = (counts.get(apid, 16383) + 1) % 16384
            field = bytes([m % 256]) * secondary + piece
            head = (0x0800 * bool(secondary) | apid).to_bytes(2, "big")
            packets.append((m, head + (flags << 14 | seq).to_bytes(2, "big")
                            + (len(field) - 1).to_bytes(2, "big") + field))
    broken = {packets[i][0] for i in lost}
    stream = b"".join(p for i, (_, p) in enumerate(packets) if i not in lost)
    joined, dropped = [], 0
    for m, (apid, data, k) in enumerate(messages):
        if m in broken:
            dropped += k - 1 if k > 1 else 0
            continue
        first = next(p for n, p in packets if n == m)
        field = first[6:6 + secondary] + data
        last = max(i for i, (n, _) in enumerate(packets) if n == m)
        joined.append((last, first[:2] + bytes([first[2] | 0xC0, first[3]])
                       + (len(field) - 1).to_bytes(2, "big") + field))
    return stream, b"".join(p for _, p in sorted(joined)), dropped


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([3, 9, 20]), st.binary(min_size=4, max_size=60),
                          st.integers(1, 4)), max_size=20),
       st.integers(0, 2**32), st.sampled_from([0, 3]), st.booleans(), st.data())
def test_segments_join_into_the_packets_they_were_cut_from(messages, seed, secondary, lose,
                                                           data):
    random.seed(seed)
    total = sum(k for _, _, k in messages)
    lost = {random.randrange(total)} if lose and total else set()
    stream, joined, dropped = segmented_stream(messages, lost, secondary)
    got = join_segments(stream, segment_header_bytes=secondary)
    assert got == joined and got.segments_dropped == dropped and got.tail == 0
    assert join_segments(join_segments(stream, [9, 20], segment_header_bytes=secondary), 3,
                         segment_header_bytes=secondary) == got
    # Fed in chunks, the tables are those of the joined stream decoded whole.
    decoder = StreamDecoder({3: LAYOUT, 9: LAYOUT, 20: LAYOUT}, errors="mask", segmented=True,
                            segment_header_bytes=secondary)
    parts = [decoder.feed(c) for c in chunks(stream, data.draw)] + [decoder.close()]
    assert decoder.segments_dropped == dropped and decoder.pending == 0
    index = ccsds_index(joined)
    for apid in (3, 9, 20):
        rows = np.flatnonzero(index["apid"] == apid)
        want = LAYOUT.unpack(joined, offsets=index["offset"][rows],
                             lengths=index["length"][rows], errors="mask")
        want.update(packet_index=rows, packet_offset=index["offset"][rows])
        got = [p[apid] for p in parts if apid in p]
        for name, column in want.items():
            assert np.ma.concatenate([g[name] for g in got] or [column[:0]]).tolist() == \
                column.tolist()
    if not lost:
        assert decoder.gaps == [] and decoder.joined == sum(k > 1 for _, _, k in messages)


def test_segments_beyond_one_packet_or_unfinished_are_dropped():
    def seg(flags, seq, n):
        return (b"\x00\x05" + (flags << 14 | seq).to_bytes(2, "big")
                + (n - 1).to_bytes(2, "big") + bytes(n))
    # 80000 bytes of data (dropped), a run of two (joined), a run the stream ends in.
    stream = seg(1, 0, 40000) + seg(2, 1, 40000) + seg(1, 2, 2) + seg(2, 3, 2) + seg(1, 4, 9)
    got = join_segments(stream + stream[:10])
    assert got.segments_dropped == 2 + 1 and got.joined == 1 and got.tail == 10
    assert got == b"\x00\x05\xc0\x02\x00\x03" + bytes(4)
    decoder = StreamDecoder({5: LAYOUT}, segmented=5)
    decoder.feed(stream[:40020])
    assert decoder.pending == 40020 and decoder.close().tail == 14 == len(decoder.tail)
    assert decoder.segments_dropped == 1
    with pytest.raises(ValueError, match="APID"):
        join_segments(b"", [2048])


def test_apid_groups_take_only_an_index_and_apids():
    from bitweave_columns._columns import _apid_groups
    apids, offs = np.array([5, 7, 5], np.uint16), np.array([0, 10, 20], np.int64)
    got = _apid_groups(apids, offs, offs + 3, [5, 9], 100, 1000)
    assert list(got) == [5] and [a.tolist() for a in got[5]] == [[100, 102], [0, 20], [3, 23],
                                                                 [1000, 1020]]
    with pytest.raises(ValueError, match="of one length"):
        _apid_groups(apids, offs[:2], offs, [5], 0, 0)
    with pytest.raises(ValueError, match="5000 is not an APID"):
        _apid_groups(apids, offs, offs, [5000], 0, 0)


def test_a_layout_function_s_packets_keep_their_stream_numbers():
    # Packets of APID 5 whose value is even are read, the others left out by the function.
    item = lambda n, b: {"name": n, "encoding": "unsigned", "bits": b, "byte_order": "big",
                         "reverse_bits": False}
    layout = Layout([item("h", 48), item("x", 16)])
    stream = b"".join(bytes([0, 5, 0xC0 | i >> 8, i & 0xFF, 0, 1]) + (3 * i).to_bytes(2, "big")
                      for i in range(100))
    decoder = StreamDecoder({np.int64(5): lambda p: layout if p[7] % 2 == 0 else None})
    parts = [t[5] for t in (decoder.feed(stream[at:at + 37]) for at in range(0, 800, 37))
             if 5 in t]
    even = [i for i in range(100) if i % 2 == 0]
    assert np.concatenate([p["packet_index"] for p in parts]).tolist() == even
    assert np.concatenate([p["packet_offset"] for p in parts]).tolist() == [8 * i for i in even]
    assert np.concatenate([np.ma.getdata(p["x"]) for p in parts]).tolist() == [3 * i for i in even]

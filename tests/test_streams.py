"""Mixed packet streams: the CCSDS index against the packets a stream was made of, decoding
by offsets against unpack_parameters packet by packet, and the Dask frames, in worker
processes, against the same packets decoded here."""
import os
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import bitweave
from bitweave_columns import Layout, ccsds_index, xtce
from conftest import item

REALDATA = Path(os.environ.get("BITWEAVE_REALDATA",
                               Path(__file__).resolve().parents[2] / "shared" / "realdata"))
IDEX = REALDATA / "idex"


def space_packet(apid, seq, payload, flags=3, kind=0, sec=0):
    head = (kind << 12) | (sec << 11) | apid, (flags << 14) | seq, len(payload) - 1
    return b"".join(v.to_bytes(2, "big") for v in head) + payload


packets = st.lists(st.tuples(st.integers(0, 2047), st.integers(0, 16383), st.integers(0, 3),
                             st.integers(0, 1), st.integers(0, 1), st.binary(min_size=1)),
                   max_size=20)


@settings(max_examples=300, deadline=None)
@given(packets, st.integers(0, 9), st.data())
def test_index_finds_every_packet_and_the_tail(made, skip, data):
    stream, rows = bytearray(), []
    for apid, seq, flags, kind, sec, payload in made:
        stream += bytes(range(skip))  # a record header that looks like anything
        rows.append((len(stream), 6 + len(payload), apid, seq, flags, kind, sec))
        stream += space_packet(apid, seq, payload, flags, kind, sec)
    whole = len(stream)
    last = bytes(skip) + space_packet(7, 0, bytes(data.draw(st.integers(1, 9))))
    stream += last[:data.draw(st.integers(0, len(last) - 1), "cut")]
    first = data.draw(st.integers(0, len(rows)), "first")
    start = rows[first][0] - skip if first < len(rows) else whole
    index = ccsds_index(memoryview(stream), offset=start, skip_header_bytes=skip)
    names = ["offset", "length", "apid", "seq_count", "seq_flags", "type", "sec_hdr"]
    assert [tuple(r) for r in zip(*(index[n].tolist() for n in names))] == rows[first:]
    assert index["tail"] == len(stream) - whole


def test_index_of_empty_and_short_streams():
    shortest = space_packet(1, 0, b"\x00")  # a length field of 0: one byte of payload
    assert ccsds_index(shortest * 2)["length"].tolist() == [7, 7]
    for data in (b"", shortest[:6], b"\xff" * 5):
        index = ccsds_index(data)
        assert len(index["offset"]) == 0 and index["tail"] == len(data)
    assert ccsds_index(shortest, offset=100)["tail"] == 0


FIELDS = {"unsigned": st.integers(1, 64), "twos_complement": st.integers(2, 64),
          "ieee754_f32": st.just(32), "us_ascii": st.sampled_from([8, 16, 24])}


@st.composite
def recipes(draw):
    recipe, at = [], 0
    for k in range(draw(st.integers(1, 5))):
        encoding = draw(st.sampled_from(sorted(FIELDS)))
        bits = draw(FIELDS[encoding])
        recipe.append(item(f"f{k}", encoding, bits, draw(st.sampled_from(["big", "little"])),
                           offset_bits=at))
        at += bits
    return recipe


@settings(max_examples=150, deadline=None)
@given(recipes(), st.binary(min_size=64, max_size=64), st.integers(0, 7),
       st.lists(st.tuples(st.integers(0, 40), st.integers(0, 24)), max_size=8))
def test_offsets_and_lengths_decode_as_unpack_parameters(recipe, data, shift, places):
    layout = Layout(recipe)
    offsets, lengths = [o for o, _ in places], [n for _, n in places]
    got = layout.unpack(data, offsets=offsets, lengths=lengths, offset_bits=shift,
                        errors="mask")
    refused = False
    for i, (o, n) in enumerate(places):
        packet = data[o:o + n]
        for field in recipe:
            name = field["name"]
            try:
                want = bitweave.unpack_parameters(packet, shift, [field])[name]
            except ValueError:
                assert np.ma.getmaskarray(got[name])[i], (i, name)
                refused = True
                continue
            assert not np.ma.getmaskarray(got[name])[i]
            value = got[name][i]
            assert value == want or (want != want and value != value)
    if refused:
        with pytest.raises(ValueError, match=r"^packet \d+, field 'f\d'"):
            layout.unpack(data, offsets=offsets, lengths=lengths, offset_bits=shift)


# ---- Dask ----

HEADER = [item("version", bits=3), item("type", bits=1), item("sec_hdr", bits=1),
          item("apid", bits=11), item("seq_flags", bits=2), item("seq", bits=14),
          item("length", bits=16)]
HK = Layout(HEADER + [item("volts", bits=12), item("amps", "twos_complement", 12),
                      item("status", "us_ascii", 32)])
ATT = Layout(HEADER + [item("form", bits=8), item("q", "ieee754_f32", 32)])
RAW = Layout(HEADER + [item("form", bits=8), item("blob", "binary", 40)])
SKIP = 3


def pick(packet):
    return ATT if packet[6] == 0 else RAW if packet[6] == 1 else None


def write_stream(path, n, seed):
    """n packets of APIDs 5 (HK) and 6 (ATT, RAW or unknown by byte 6), and a cut tail."""
    rng = np.random.default_rng(seed)
    out = bytearray()
    for i in range(n):
        if rng.random() < 0.5:
            body = HK.pack_one({**dict.fromkeys(HK.names, 0), "apid": 5, "seq": i,
                                "length": HK.size - 7, "volts": rng.integers(4096),
                                "amps": rng.integers(-2048, 2048), "status": "GO"})
        else:
            form = int(rng.integers(3))
            body = RAW.pack_one({**dict.fromkeys(RAW.names, 0), "apid": 6, "seq": i,
                                 "length": RAW.size - 7, "form": form,
                                 "blob": bytes(rng.integers(0, 64, 5).tolist())})  # no NaN
        out += rng.bytes(SKIP) + body
    Path(path).write_bytes(bytes(out + b"\0" * 4))
    return path


def serial(paths):
    """Each file indexed and decoded by APID here: (apid, layout) -> rows."""
    frames, base = {5: [], 6: []}, 0
    for path in paths:
        data = Path(path).read_bytes()
        index = ccsds_index(data, skip_header_bytes=SKIP)
        for i, (o, n, apid) in enumerate(zip(*(index[k].tolist()
                                               for k in ("offset", "length", "apid")))):
            layout = HK if apid == 5 else pick(data[o:o + n])
            if layout is not None:
                frames[apid].append(dict(layout.unpack_one(data[o:o + n]), packet_offset=o,
                                         packet_index=base + i))
        base += len(index["offset"])
    return frames


def as_rows(frame):
    import pandas as pd

    return [{k: v for k, v in row.items() if not pd.isna(v)}
            for row in frame.reset_index().drop(columns="packet_file").to_dict("records")]


def test_refusals(tmp_path):
    pytest.importorskip("dask.dataframe")
    from bitweave_columns.dask import read_packets

    path = write_stream(tmp_path / "s.bin", 40, 1)
    for layouts, error, message in [
            ([HK], TypeError, "layouts must map APIDs"), ({2048: HK}, ValueError, "not an APID"),
            ({5: "HK"}, TypeError, r"layouts\[5\] must be a Layout"),
            ({6: lambda p: "RAW"}, TypeError, "returned 'str', not a Layout"),
            ({5: Layout([item("packet_offset")])}, ValueError, "name of a column")]:
        with pytest.raises(error, match=message):
            read_packets(path, layouts, skip_header_bytes=SKIP)
    with pytest.raises(ValueError, match="twice"):
        read_packets([path, str(path)], {5: HK})
    long = Layout(HEADER + [item("x", bits=8, offset_bits=8 * 60)])
    frames = read_packets(path, {5: long}, skip_header_bytes=SKIP, partition_packets=8)
    with pytest.raises(ValueError, match=r"^packet 0, field 'x'"):
        frames[5].compute(scheduler="sync")
    masked = read_packets(path, {5: long}, skip_header_bytes=SKIP, errors="mask")
    assert masked[5]["x"].isna().all().compute(scheduler="sync")
    Path(path).write_bytes(Path(path).read_bytes()[:200])
    with pytest.raises(RuntimeError, match="changed after it was indexed"):
        masked[5].compute(scheduler="sync")


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_cluster_decode_equals_serial(client, tmp_path):
    import dask
    from bitweave_columns.dask import read_packets

    paths = [write_stream(tmp_path / f"{k}.bin", n, k) for k, n in enumerate([300, 0, 77])]
    frames = read_packets(paths, {5: HK, 6: pick, 9: HK}, skip_header_bytes=SKIP,
                          partition_packets=64)
    assert frames.packets == (300, 0, 77) and frames.tails == (4, 4, 4)
    got = dask.compute(dict(frames), scheduler=client)[0]
    want = serial(paths)
    assert [as_rows(got[apid]) for apid in (5, 6)] == [want[5], want[6]]
    assert sorted(got[6].columns[-3:]) == ["blob", "form", "q"] and got[9].empty


@pytest.mark.skipif(not IDEX.is_dir(), reason=f"no real data at {IDEX}")
def test_cluster_decode_by_definition_equals_decode(client):
    import dask
    from bitweave_columns.dask import read_packets

    definition = xtce.load(IDEX / "idex_combined_science_definition.xml")
    data = IDEX / "sciData_2023_052_14_45_05"
    frames = read_packets(data, definition, partition_packets=10, derived=True)
    got = dask.compute(dict(frames), scheduler=client)[0]
    for name, table in definition.decode(data, derived=True).items():
        frame = got[name]
        assert frame.index.tolist() == table["packet_index"].tolist()
        for column, values in table.items():
            if column != "packet_index":
                assert frame[column].tolist() == [None if v is np.ma.masked else v
                                                  for v in values.tolist()]

"""bitweave_columns.xtce over the real mission databases of ../shared/corpus: every value of
every packet file against space_packet_parser, and the one-pass C++ walk of the container
tree against the level-by-level decode it stands in for."""
import importlib.util
import io
import os
import re
import struct
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from bitweave_columns import ccsds_index, xtce

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
COMPARE = CORPUS / "compare.py"
needs_corpus = pytest.mark.skipif(not COMPARE.is_file(), reason=f"no real data at {CORPUS}")


def _pairs():
    found = importlib.util.spec_from_file_location("corpus_compare", COMPARE)
    compare = importlib.util.module_from_spec(found)
    found.loader.exec_module(compare)
    for p in compare.PAIRS:
        for data in p["data"]:
            for path in sorted(CORPUS.glob(data)) if "*" in data else [CORPUS / data]:
                yield p["doc"], path, p, compare.CONVERT[p["convert"]]


@needs_corpus
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="the oracle's side is pure Python; the sanitizer pass runs the walk "
                           "test below over the same files")
def test_every_value_of_the_corpus_equals_space_packet_parser():
    # The corpus's own comparison: every document loaded by both, every value of every pair
    # compared raw and derived, floats bit for bit.
    out = subprocess.run([sys.executable, str(COMPARE), "--no-census"], capture_output=True,
                         text=True, timeout=900, cwd=CORPUS)
    assert out.returncode == 0, out.stderr[-2000:]
    summary = out.stdout.strip().splitlines()[-1]
    assert "pairs 100, decoded 100, refused 0, raised 0" in summary, summary
    assert re.search(r"raw \d+ mismatches 0, derived \d+ mismatches 0", summary), summary
    loads = int(re.search(r"bitweave loads (\d+)", summary).group(1))
    assert loads >= 130, summary


def _same(a, b):
    """Exactly equal columns: type, dtype, shape, mask and values (floats bit for bit)."""
    if type(a) is not type(b) or a.dtype != b.dtype or a.shape != b.shape:
        return False
    if np.ma.isMaskedArray(a) and not np.array_equal(np.ma.getmaskarray(a), np.ma.getmaskarray(b)):
        return False
    a, b = np.ma.getdata(a), np.ma.getdata(b)
    if a.dtype == object:
        return all(_same_object(x, y) for x, y in zip(a.reshape(-1).tolist(), b.reshape(-1).tolist()))
    if a.dtype.kind == "f":
        return a.tobytes() == b.tobytes()
    return np.array_equal(a, b)


def _same_object(x, y):
    if isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
        return isinstance(x, np.ndarray) and isinstance(y, np.ndarray) and _same(x, y)
    if isinstance(x, float) and isinstance(y, float):
        return struct.pack("<d", x) == struct.pack("<d", y)
    return type(x) is type(y) and x == y


def assert_same_decode(a, b):
    assert list(a) == list(b)
    for name in a:
        assert list(a[name]) == list(b[name]), name
        for col in a[name]:
            assert _same(a[name][col], b[name][col]), (name, col)
    for what in ("unmatched", "truncated", "invalid", "unsupported"):
        x, y = getattr(a, what), getattr(b, what)
        assert (x.by_container, x.first_errors) == (y.by_container, y.first_errors), what
        assert np.array_equal(x.packet_index, y.packet_index) and np.array_equal(x.offsets, y.offsets)
    assert (a.packets, a.tail) == (b.packets, b.tail)


@needs_corpus
def test_the_walk_decodes_every_pair_as_the_level_by_level_decode(monkeypatch):
    # Every file walked, however many packets it holds.
    from bitweave_columns.xtce import tree
    monkeypatch.setattr(tree, "WALK_PACKETS", 1 << 40)
    walked = 0
    pairs = list(_pairs())
    for doc, path, p, convert in pairs:
        d = xtce.load(CORPUS / doc, root=p["root"])
        data = convert(str(path))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for derived in (False, True):
                fast = d.decode(data, derived=derived, skip_header_bytes=p["skip"])
                plan, d._plan = d._plan, None
                try:
                    slow = d.decode(data, derived=derived, skip_header_bytes=p["skip"])
                finally:
                    d._plan = plan
                assert_same_decode(fast, slow)
        walked += plan is not None
    # Nearly every real database is one the walk reads; the rest decode level by level.
    assert walked >= 0.9 * len(pairs), (walked, len(pairs))


@needs_corpus
def test_the_walk_decodes_alike_in_threads_sharing_its_working_memory():
    # Walks of two databases at once, the interpreter lock released: each call takes working
    # memory another call, of either tree, used before.
    from concurrent.futures import ThreadPoolExecutor
    jobs = [(xtce.load(CORPUS / doc, root=p["root"]), convert(str(path)), p["skip"])
            for doc, path, p, convert in _pairs() if doc.startswith("imap/") and path.name in (
                "sci_sample.ccsds", "Ultra45_EM_SwRI_Cal_Run7_ThetaScan_20220530T225054.CCSDS")]
    assert len(jobs) == 2
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        alone = [d.decode(data, skip_header_bytes=skip) for d, data, skip in jobs]
        with ThreadPoolExecutor(4) as pool:
            runs = list(pool.map(lambda k: (k % 2, jobs[k % 2][0].decode(
                jobs[k % 2][1], skip_header_bytes=jobs[k % 2][2])), range(24)))
    for k, got in runs:
        assert_same_decode(got, alone[k])


# A tree the walk reads whole: criteria as lists, as expressions and as one APID each, a
# child of a concrete container, a field sized by another, text and bytes in runs, an array,
# little-endian and calibrated fields, and an entry placed from the packet's start.
WALKED = """<SpaceSystem name="W" xmlns="XTCE_NS"><TelemetryMetaData>
 <ParameterTypeSet>
  <IntegerParameterType name="U1"><IntegerDataEncoding sizeInBits="1"/></IntegerParameterType>
  <IntegerParameterType name="U2"><IntegerDataEncoding sizeInBits="2"/></IntegerParameterType>
  <IntegerParameterType name="U3"><IntegerDataEncoding sizeInBits="3"/></IntegerParameterType>
  <IntegerParameterType name="U4"><IntegerDataEncoding sizeInBits="4"/></IntegerParameterType>
  <IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>
  <IntegerParameterType name="U11"><IntegerDataEncoding sizeInBits="11"/></IntegerParameterType>
  <IntegerParameterType name="U14"><IntegerDataEncoding sizeInBits="14"/></IntegerParameterType>
  <IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
  <IntegerParameterType name="S5"><IntegerDataEncoding sizeInBits="5" encoding="twosComplement"/>
  </IntegerParameterType>
  <IntegerParameterType name="S16LE"><IntegerDataEncoding sizeInBits="16" encoding="twosComplement"
    byteOrder="leastSignificantByteFirst"/></IntegerParameterType>
  <FloatParameterType name="Temp"><IntegerDataEncoding sizeInBits="12"><DefaultCalibrator>
    <PolynomialCalibrator><Term coefficient="-40.5" exponent="0"/><Term coefficient="0.125" exponent="1"/>
    </PolynomialCalibrator></DefaultCalibrator></IntegerDataEncoding></FloatParameterType>
  <FloatParameterType name="F32"><FloatDataEncoding sizeInBits="32"/></FloatParameterType>
  <FloatParameterType name="F64"><FloatDataEncoding sizeInBits="64"/></FloatParameterType>
  <BinaryParameterType name="Blob"><BinaryDataEncoding><SizeInBits><DynamicValue>
    <ParameterInstanceRef parameterRef="LEN" useCalibratedValue="false"/><LinearAdjustment slope="8" intercept="-8"/>
  </DynamicValue></SizeInBits></BinaryDataEncoding></BinaryParameterType>
  <StringParameterType name="Name"><StringDataEncoding encoding="US-ASCII"><SizeInBits>
    <Fixed><FixedValue>24</FixedValue></Fixed></SizeInBits></StringDataEncoding></StringParameterType>
  <ArrayParameterType name="Trio" arrayTypeRef="S5"><DimensionList><Dimension>
    <StartingIndex><FixedValue>0</FixedValue></StartingIndex><EndingIndex><FixedValue>2</FixedValue></EndingIndex>
  </Dimension></DimensionList></ArrayParameterType>
 </ParameterTypeSet>
 <ParameterSet>
  <Parameter name="VERSION" parameterTypeRef="U3"/><Parameter name="TYPE" parameterTypeRef="U1"/>
  <Parameter name="SEC" parameterTypeRef="U1"/><Parameter name="APID" parameterTypeRef="U11"/>
  <Parameter name="FLAGS" parameterTypeRef="U2"/><Parameter name="COUNT" parameterTypeRef="U14"/>
  <Parameter name="PLEN" parameterTypeRef="U16"/><Parameter name="KIND" parameterTypeRef="U4"/>
  <Parameter name="TEMP" parameterTypeRef="Temp"/><Parameter name="LEN" parameterTypeRef="U4"/>
  <Parameter name="BLOB" parameterTypeRef="Blob"/><Parameter name="LE" parameterTypeRef="S16LE"/>
  <Parameter name="NAME" parameterTypeRef="Name"/><Parameter name="X" parameterTypeRef="F32"/>
  <Parameter name="Y" parameterTypeRef="F64"/><Parameter name="T" parameterTypeRef="Trio"/>
  <Parameter name="AGAIN" parameterTypeRef="U8"/>
 </ParameterSet>
 <ContainerSet>
  <SequenceContainer name="Packet" abstract="true"><EntryList>
    <ParameterRefEntry parameterRef="VERSION"/><ParameterRefEntry parameterRef="TYPE"/>
    <ParameterRefEntry parameterRef="SEC"/><ParameterRefEntry parameterRef="APID"/>
    <ParameterRefEntry parameterRef="FLAGS"/><ParameterRefEntry parameterRef="COUNT"/>
    <ParameterRefEntry parameterRef="PLEN"/></EntryList></SequenceContainer>
  <SequenceContainer name="Base" abstract="true"><EntryList><ParameterRefEntry parameterRef="KIND"/>
    <ParameterRefEntry parameterRef="TEMP"/></EntryList>
    <BaseContainer containerRef="Packet"><RestrictionCriteria><ComparisonList>
      <Comparison parameterRef="VERSION" value="0"/><Comparison parameterRef="TYPE" value="0"/>
    </ComparisonList></RestrictionCriteria></BaseContainer></SequenceContainer>
  <SequenceContainer name="A"><EntryList><ParameterRefEntry parameterRef="LEN"/>
    <ParameterRefEntry parameterRef="BLOB"/><ParameterRefEntry parameterRef="LE"/>
    <ParameterRefEntry parameterRef="NAME"/></EntryList>
    <BaseContainer containerRef="Base"><RestrictionCriteria>
      <Comparison parameterRef="APID" value="100"/></RestrictionCriteria></BaseContainer></SequenceContainer>
  <SequenceContainer name="B"><EntryList><ParameterRefEntry parameterRef="X"/>
    <ParameterRefEntry parameterRef="T"/>
    <ParameterRefEntry parameterRef="AGAIN"><LocationInContainerInBits referenceLocation="containerStart">
      <FixedValue>52</FixedValue></LocationInContainerInBits></ParameterRefEntry></EntryList>
    <BaseContainer containerRef="Base"><RestrictionCriteria>
      <Comparison parameterRef="APID" value="200"/></RestrictionCriteria></BaseContainer></SequenceContainer>
  <SequenceContainer name="B2"><EntryList><ParameterRefEntry parameterRef="Y"/></EntryList>
    <BaseContainer containerRef="B"><RestrictionCriteria><BooleanExpression><ORedConditions>
      <Condition><ParameterInstanceRef parameterRef="TEMP" useCalibratedValue="false"/>
        <ComparisonOperator>&lt;=</ComparisonOperator><Value>100.5</Value></Condition>
      <ANDedConditions>
        <Condition><ParameterInstanceRef parameterRef="KIND"/><ComparisonOperator>&lt;</ComparisonOperator>
          <Value>300</Value></Condition>
        <Condition><ParameterInstanceRef parameterRef="AGAIN"/><ComparisonOperator>&lt;</ComparisonOperator>
          <Value>128</Value></Condition></ANDedConditions>
    </ORedConditions></BooleanExpression></RestrictionCriteria></BaseContainer></SequenceContainer>
 </ContainerSet>
</TelemetryMetaData></SpaceSystem>""".replace("XTCE_NS", xtce.XTCE_1_2)


@given(st.lists(st.tuples(st.sampled_from([100, 200, 300]), st.integers(0, 3), st.binary(max_size=40)),
                max_size=12), st.binary(max_size=7))
@settings(max_examples=150, deadline=None)
def test_the_walk_decodes_random_streams_as_the_level_by_level_decode(packets, tail):
    d = xtce.load(io.StringIO(WALKED))
    assert d._tree_plan() is not None
    stream = bytearray()
    for apid, top, body in packets:
        body = body or b"\0"
        # version 0 or 1, type 0 or 1 from `top`; the length field counts the body minus one
        stream += struct.pack(">HHH", (top << 12) | apid, 0xC000, len(body) - 1) + body
    stream += tail
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for derived in (False, True):
            fast = d.decode(bytes(stream), derived=derived)
            d._plan = None
            slow = d.decode(bytes(stream), derived=derived)
            del d._plan
            assert_same_decode(fast, slow)
    # One packet at a time: the row decode gives it, or the reason it has none.
        raw = d.decode(bytes(stream))
    rows = {int(i): (name, {k: v[j] for k, v in t.items() if k not in ("packet_index", "packet_offset")})
            for name, t in raw.items() for j, i in enumerate(t["packet_index"])}
    index = ccsds_index(bytes(stream))
    for i, (o, n) in enumerate(zip(index["offset"].tolist(), index["length"].tolist())):
        if i not in rows:
            with pytest.raises(ValueError, match="no container|too short|packet 0 .byte 0."):
                d.decode_packet(stream[o:o + n])
            continue
        name, values = d.decode_packet(stream[o:o + n])
        want = {k: v.item() if isinstance(v, np.generic) else v for k, v in rows[i][1].items()}
        assert name == rows[i][0] and list(values) == list(want)
        assert all(_same_object(values[k], want[k]) for k in want), (values, want)


def test_decode_packet_refuses_what_is_not_one_whole_packet():
    d = xtce.load(io.StringIO(WALKED))
    with pytest.raises(ValueError, match="6-byte primary header; this one has 3 bytes"):
        d.decode_packet(b"\0\0\0")
    with pytest.raises(ValueError, match="header gives 8 bytes, but the packet has 9"):
        d.decode_packet(bytes([0, 100, 0xC0, 0, 0, 1]) + b"abc")



@pytest.mark.parametrize("offset, bit, size", [(0, 8 * 40 - 7, 1), (-1, 0, 1), (0, -1, 1),
                                               (39, 1, 1), (0, 0, 2**64 - 1)])
def test_fixed_bytes_are_cut_only_inside_the_data(offset, bit, size):
    tree = xtce.load(io.StringIO(WALKED))._tree_plan().tree
    data = bytes(range(40))
    assert tree.cut(data, np.array([39, 0]), np.array([0, 4]), 1).tolist() == [b"\x27", b"\x00"]
    with pytest.raises(ValueError, match="lie outside the data"):
        tree.cut(data, np.array([offset]), np.array([bit]), size)

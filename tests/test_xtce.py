"""bitweave_columns.xtce: mission files decoded from their XTCE documents.

Every value of the two real data sets, and of a contrived stream that uses inheritance
chains, comparison lists, boolean expressions, calibrators, labels, a dynamic binary field
and strings, is checked against space_packet_parser (the oracle; Python 3.10 or newer). What
the oracle does not read (include conditions, strings ended by their size tag or terminator
alone) is checked against the values the packets were built from.
"""
import io
import os
import pickle
import random
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import bitweave
from bitweave_columns import ccsds_index, xtce

REALDATA = Path(os.environ.get("BITWEAVE_REALDATA",
                               Path(__file__).resolve().parents[2] / "shared" / "realdata"))
REAL = {
    "jpss": ("jpss/jpss1_geolocation_xtce_v1.xml", "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
    "idex": ("idex/idex_combined_science_definition.xml", "idex/sciData_2023_052_14_45_05"),
}
needs_realdata = pytest.mark.skipif(not REALDATA.is_dir(), reason=f"no real data at {REALDATA}")


def oracle():
    if sys.version_info < (3, 10):
        pytest.skip("space_packet_parser needs Python 3.10 or newer")
    import space_packet_parser

    return space_packet_parser


def plain(x):
    return x.item() if hasattr(x, "item") else x


def assert_matches_oracle(definition, oracle_definition, data):
    """Every packet decodes to the oracle's parameters, raw and derived values equal; packets
    the oracle refuses are the unmatched ones. Returns the number of values compared."""
    spp = oracle()
    raw, derived = definition.decode(data), definition.decode(data, derived=True)
    where = {i: (name, row) for name, t in raw.items()
             for row, i in enumerate(t["packet_index"].tolist())}
    compared, refused = 0, []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the oracle warns of packets longer than their fields
        for i, bytes_ in enumerate(spp.ccsds_generator(data)):
            try:
                packet = oracle_definition.parse_bytes(bytes_)
            except spp.exceptions.UnrecognizedPacketTypeError:
                refused.append(i)
                continue
            name, row = where[i]
            assert list(packet) == [k for k in raw[name] if k not in xtce.ROW_COLUMNS]
            for key, value in packet.items():
                want = getattr(value, "raw_value", value)
                if isinstance(value, str) and not isinstance(want, int):
                    want = value  # the oracle's raw string is its whole buffer
                assert plain(raw[name][key][row]) == want, (i, key)
                assert plain(derived[name][key][row]) == value, (i, key)
                compared += 1
    assert raw.unmatched.packet_index.tolist() == refused
    assert not raw.truncated
    return compared


@needs_realdata
@pytest.mark.parametrize("name, packets, values, tables", [
    ("jpss", 7200, 194400, {"JPSS_ATT_EPHEM": 7200}),
    ("idex", 78, 2658, {"Sci0TypeZero": 6, "Sci0TypeNonZero": 72}),
])
def test_real_data_equals_oracle(name, packets, values, tables):
    xml, data = (REALDATA / p for p in REAL[name])
    definition = xtce.load(xml)
    assert assert_matches_oracle(definition, oracle().load_xtce(xml), data.read_bytes()) == values
    decoded = definition.decode(data)
    assert {k: len(t["packet_index"]) for k, t in decoded.items()} == tables
    index = ccsds_index(data.read_bytes())
    rows = np.concatenate([t["packet_offset"] for t in decoded.values()])
    assert sorted(rows.tolist()) == index["offset"].tolist()
    assert decoded.packets == packets and decoded.tail == 0


# A contrived mission: CCSDSPacket <- Base (comparison list) <- A (boolean expression) and
# B (comparison) <- B2 (comparison on a calibrated value).
CONTRIVED = f"""<?xml version="1.0" encoding="UTF-8"?>
<SpaceSystem name="Contrived" xmlns="{xtce.XTCE_1_2}">
 <TelemetryMetaData>
  <ParameterTypeSet>
   <IntegerParameterType name="U1"><IntegerDataEncoding sizeInBits="1"/></IntegerParameterType>
   <IntegerParameterType name="U2"><IntegerDataEncoding sizeInBits="2"/></IntegerParameterType>
   <IntegerParameterType name="U3"><IntegerDataEncoding sizeInBits="3"/></IntegerParameterType>
   <IntegerParameterType name="U4"><IntegerDataEncoding sizeInBits="4"/></IntegerParameterType>
   <IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>
   <IntegerParameterType name="U11"><IntegerDataEncoding sizeInBits="11"/></IntegerParameterType>
   <IntegerParameterType name="U14"><IntegerDataEncoding sizeInBits="14"/></IntegerParameterType>
   <IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
   <IntegerParameterType name="S16LE"><IntegerDataEncoding sizeInBits="16" encoding="twosComplement"
     byteOrder="leastSignificantByteFirst"/></IntegerParameterType>
   <FloatParameterType name="Temp"><IntegerDataEncoding sizeInBits="12"><DefaultCalibrator>
     <PolynomialCalibrator><Term coefficient="-40.5" exponent="0"/><Term coefficient="0.125" exponent="1"/>
     <Term coefficient="1e-5" exponent="2"/></PolynomialCalibrator></DefaultCalibrator>
   </IntegerDataEncoding></FloatParameterType>
   <FloatParameterType name="F32"><FloatDataEncoding sizeInBits="32"/></FloatParameterType>
   <FloatParameterType name="F64LE"><FloatDataEncoding sizeInBits="64" byteOrder="leastSignificantByteFirst"/>
   </FloatParameterType>
   <EnumeratedParameterType name="Mode"><IntegerDataEncoding sizeInBits="3"/><EnumerationList>
     <Enumeration value="0" label="OFF"/><Enumeration value="1" label="SAFE"/>
     <Enumeration value="2" label="SCIENCE"/><Enumeration value="3" label="OTHER" maxValue="7"/>
   </EnumerationList></EnumeratedParameterType>
   <BinaryParameterType name="Blob"><BinaryDataEncoding><SizeInBits><DynamicValue>
     <ParameterInstanceRef parameterRef="LEN" useCalibratedValue="false"/><LinearAdjustment slope="8" intercept="8"/>
   </DynamicValue></SizeInBits></BinaryDataEncoding></BinaryParameterType>
   <StringParameterType name="Name"><StringDataEncoding encoding="US-ASCII"><SizeInBits>
     <Fixed><FixedValue>64</FixedValue></Fixed><LeadingSize sizeInBitsOfSizeTag="8"/>
   </SizeInBits></StringDataEncoding></StringParameterType>
   <StringParameterType name="Label"><StringDataEncoding encoding="UTF-8"><SizeInBits>
     <Fixed><FixedValue>48</FixedValue></Fixed><TerminationChar>00</TerminationChar>
   </SizeInBits></StringDataEncoding></StringParameterType>
  </ParameterTypeSet>
  <ParameterSet>
   <Parameter name="VERSION" parameterTypeRef="U3"/><Parameter name="TYPE" parameterTypeRef="U1"/>
   <Parameter name="SEC_HDR_FLG" parameterTypeRef="U1"/><Parameter name="PKT_APID" parameterTypeRef="U11"/>
   <Parameter name="SEQ_FLGS" parameterTypeRef="U2"/><Parameter name="SRC_SEQ_CTR" parameterTypeRef="U14"/>
   <Parameter name="PKT_LEN" parameterTypeRef="U16"/><Parameter name="MODE" parameterTypeRef="Mode"/>
   <Parameter name="KIND" parameterTypeRef="U4"/><Parameter name="TEMP" parameterTypeRef="Temp"/>
   <Parameter name="LEN" parameterTypeRef="U8"/><Parameter name="BLOB" parameterTypeRef="Blob"/>
   <Parameter name="AFTER" parameterTypeRef="S16LE"/><Parameter name="NAME" parameterTypeRef="Name"/>
   <Parameter name="LABEL" parameterTypeRef="Label"/><Parameter name="X" parameterTypeRef="F32"/>
   <Parameter name="Y" parameterTypeRef="F64LE"/>
  </ParameterSet>
  <ContainerSet>
   <SequenceContainer name="CCSDSPacket" abstract="true"><EntryList>
     <ParameterRefEntry parameterRef="VERSION"/><ParameterRefEntry parameterRef="TYPE"/>
     <ParameterRefEntry parameterRef="SEC_HDR_FLG"/><ParameterRefEntry parameterRef="PKT_APID"/>
     <ParameterRefEntry parameterRef="SEQ_FLGS"/><ParameterRefEntry parameterRef="SRC_SEQ_CTR"/>
     <ParameterRefEntry parameterRef="PKT_LEN"/></EntryList></SequenceContainer>
   <SequenceContainer name="Base" abstract="true"><EntryList><ParameterRefEntry parameterRef="MODE"/>
     <ParameterRefEntry parameterRef="KIND"/><ParameterRefEntry parameterRef="TEMP"/></EntryList>
     <BaseContainer containerRef="CCSDSPacket"><RestrictionCriteria><ComparisonList>
       <Comparison parameterRef="VERSION" value="0" useCalibratedValue="false"/>
       <Comparison parameterRef="TYPE" value="0"/></ComparisonList></RestrictionCriteria></BaseContainer>
   </SequenceContainer>
   <SequenceContainer name="A"><EntryList><ParameterRefEntry parameterRef="LEN"/>
     <ParameterRefEntry parameterRef="BLOB"/><ParameterRefEntry parameterRef="AFTER"/>
     <ParameterRefEntry parameterRef="NAME"/><ParameterRefEntry parameterRef="LABEL"/></EntryList>
     <BaseContainer containerRef="Base"><RestrictionCriteria><BooleanExpression><ORedConditions>
       <ANDedConditions>
         <Condition><ParameterInstanceRef parameterRef="PKT_APID"/><ComparisonOperator>==</ComparisonOperator>
           <Value>100</Value></Condition>
         <Condition><ParameterInstanceRef parameterRef="KIND"/><ComparisonOperator>&lt;</ComparisonOperator>
           <Value>8</Value></Condition>
       </ANDedConditions>
       <Condition><ParameterInstanceRef parameterRef="MODE"/><ComparisonOperator>==</ComparisonOperator>
         <Value>SAFE</Value></Condition>
     </ORedConditions></BooleanExpression></RestrictionCriteria></BaseContainer></SequenceContainer>
   <SequenceContainer name="B"><EntryList><ParameterRefEntry parameterRef="X"/></EntryList>
     <BaseContainer containerRef="Base"><RestrictionCriteria>
       <Comparison parameterRef="PKT_APID" value="200"/></RestrictionCriteria></BaseContainer></SequenceContainer>
   <SequenceContainer name="B2"><EntryList><ParameterRefEntry parameterRef="Y"/></EntryList>
     <BaseContainer containerRef="B"><RestrictionCriteria>
       <Comparison parameterRef="TEMP" comparisonOperator="&gt;=" value="100.0"/>
     </RestrictionCriteria></BaseContainer></SequenceContainer>
  </ContainerSet>
 </TelemetryMetaData>
</SpaceSystem>
"""


def field(name, encoding, bits, value, order="big"):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": order,
            "reverse_bits": False, "value": value}


def ccsds(apid, seq, body):
    payload = bitweave.pack_parameters(body)
    header = [field("h", "unsigned", 5, 0), field("apid", "unsigned", 11, apid),
              field("flags", "unsigned", 2, 3), field("seq", "unsigned", 14, seq),
              field("len", "unsigned", 16, len(payload) - 1)]
    return bitweave.pack_parameters(header) + payload


def contrived_packet(rng, seq):
    apid = rng.choice([100, 200, 300])
    mode = 1 if apid == 300 or rng.random() < 0.2 else rng.randrange(4)
    body = [field("MODE", "unsigned", 3, mode), field("KIND", "unsigned", 4, rng.randrange(16)),
            field("TEMP", "unsigned", 12, rng.randrange(4096))]
    if apid == 100 or mode == 1:  # A
        n = rng.randrange(6)
        name = "".join(rng.choice("abcXYZ") for _ in range(rng.randrange(8)))
        body += [field("LEN", "unsigned", 8, n),
                 field("BLOB", "iso_8859_1", 8 * n + 8, "".join(map(chr, rng.randbytes(n + 1)))),
                 field("AFTER", "twos_complement", 16, rng.randrange(-30000, 30000), "little"),
                 field("SIZE", "unsigned", 8, 8 * len(name)), field("NAME", "us_ascii", 56, name),
                 field("LABEL", "utf8", 48, "é1"[:rng.randrange(3)] + "\0")]
    if apid == 200:  # B, or B2 when the calibrated TEMP is 100 or more
        body += [field("X", "ieee754_f32", 32, rng.uniform(-1e6, 1e6)),
                 field("Y", "ieee754_f64", 64, rng.uniform(-1, 1), "little")]
    return ccsds(apid, seq, body)


def test_contrived_stream_equals_oracle():
    rng = random.Random(1)
    stream = b"".join(contrived_packet(rng, i) for i in range(400))
    definition = xtce.load(io.StringIO(CONTRIVED))
    assert assert_matches_oracle(definition, oracle().load_xtce(io.BytesIO(CONTRIVED.encode())),
                                 stream) > 3000
    decoded = definition.decode(stream)
    assert set(decoded) == {"A", "B", "B2"} and decoded.unmatched.by_container == {"Base": 87}
    # Labels of a value range, which the oracle does not read.
    labels = xtce.load(io.StringIO(CONTRIVED)).decode(ccsds(200, 0, [
        field("MODE", "unsigned", 3, 6), field("z", "unsigned", 61, 0)]), derived=True)
    assert labels["B"]["MODE"].tolist() == ["OTHER"]


# Include conditions, strings ended by their size tag or terminator alone, a string sized by
# another parameter, a gap before an entry: in the XTCE 1.1 namespace, with its prefix.
FEATURES = """<x:SpaceSystem name="F" xmlns:x="http://www.omg.org/space/xtce"><x:TelemetryMetaData>
<x:ParameterTypeSet>
 <x:IntegerParameterType name="U3"><x:IntegerDataEncoding sizeInBits="3"/></x:IntegerParameterType>
 <x:IntegerParameterType name="U8"><x:IntegerDataEncoding sizeInBits="8"/></x:IntegerParameterType>
 <x:IntegerParameterType name="U16"><x:IntegerDataEncoding sizeInBits="16"/></x:IntegerParameterType>
 <x:BooleanParameterType name="B1"><x:IntegerDataEncoding sizeInBits="1"/></x:BooleanParameterType>
 <x:StringParameterType name="Pascal"><x:StringDataEncoding><x:Variable maxSizeInBits="800">
   <x:LeadingSize sizeInBitsOfSizeTag="8"/></x:Variable></x:StringDataEncoding></x:StringParameterType>
 <x:StringParameterType name="CStr"><x:StringDataEncoding encoding="UTF-16BE"><x:Variable maxSizeInBits="800">
   <x:TerminationChar>0000</x:TerminationChar></x:Variable></x:StringDataEncoding></x:StringParameterType>
 <x:StringParameterType name="Dyn"><x:StringDataEncoding encoding="ISO-8859-1"><x:Variable maxSizeInBits="80">
   <x:DynamicValue><x:ParameterInstanceRef parameterRef="N"/><x:LinearAdjustment slope="8"/></x:DynamicValue>
 </x:Variable></x:StringDataEncoding></x:StringParameterType>
 <x:BinaryParameterType name="Bin2"><x:BinaryDataEncoding><x:SizeInBits><x:FixedValue>16</x:FixedValue>
   </x:SizeInBits></x:BinaryDataEncoding></x:BinaryParameterType>
</x:ParameterTypeSet>
<x:ParameterSet>
 <x:Parameter name="H" parameterTypeRef="U16"/><x:Parameter name="SEQ" parameterTypeRef="U16"/>
 <x:Parameter name="LEN" parameterTypeRef="U16"/><x:Parameter name="HAS" parameterTypeRef="B1"/>
 <x:Parameter name="N" parameterTypeRef="U3"/><x:Parameter name="OPT1" parameterTypeRef="U8"/>
 <x:Parameter name="OPT2" parameterTypeRef="Bin2"/><x:Parameter name="P" parameterTypeRef="Pascal"/>
 <x:Parameter name="C" parameterTypeRef="CStr"/><x:Parameter name="D" parameterTypeRef="Dyn"/>
 <x:Parameter name="END" parameterTypeRef="U8"/>
</x:ParameterSet>
<x:ContainerSet>
 <x:SequenceContainer name="Opt"><x:EntryList><x:ParameterRefEntry parameterRef="OPT1"/>
   <x:ParameterRefEntry parameterRef="OPT2"/></x:EntryList></x:SequenceContainer>
 <x:SequenceContainer name="Pkt"><x:EntryList>
  <x:ParameterRefEntry parameterRef="H"/><x:ParameterRefEntry parameterRef="SEQ"/>
  <x:ParameterRefEntry parameterRef="LEN"/><x:ParameterRefEntry parameterRef="HAS"/>
  <x:ParameterRefEntry parameterRef="N"/>
  <x:ContainerRefEntry containerRef="Opt"><x:IncludeCondition>
    <x:Comparison parameterRef="HAS" value="true"/></x:IncludeCondition></x:ContainerRefEntry>
  <x:ParameterRefEntry parameterRef="P"/><x:ParameterRefEntry parameterRef="C"/>
  <x:ParameterRefEntry parameterRef="D"/>
  <x:ParameterRefEntry parameterRef="END"><x:LocationInContainerInBits>
    <x:FixedValue>4</x:FixedValue></x:LocationInContainerInBits></x:ParameterRefEntry>
 </x:EntryList></x:SequenceContainer>
</x:ContainerSet></x:TelemetryMetaData></x:SpaceSystem>"""

FEATURE_ROWS = [(1, 1, "", "é", "x"), (1, 2, "héllo", "", "ab"), (0, 0, "x", "日本", ""),
                (1, 7, "abc", "Z", "1234567")]


def feature_packet(seq, has, n, p, c, d):
    body = [field("HAS", "unsigned", 1, has), field("N", "unsigned", 3, n)]
    if has:
        body += [field("OPT1", "unsigned", 8, seq), field("OPT2", "iso_8859_1", 16, "zz")]
    size = 8 * len(p.encode())
    body += [field("PL", "unsigned", 8, size), field("P", "utf8", size, p),
             field("C", "utf16be", 16 * len(c) + 16, c + "\0"), field("D", "iso_8859_1", 8 * n, d),
             field("gap", "unsigned", 4, 0), field("END", "unsigned", 8, 0xEE)]
    return ccsds(7, seq, body)


def test_include_conditions_and_variable_strings():
    stream = b"".join(feature_packet(i, *row) for i, row in enumerate(FEATURE_ROWS))
    table = xtce.load(io.StringIO(FEATURES)).decode(stream)["Pkt"]
    has, _, p, c, d = zip(*FEATURE_ROWS)
    assert table["OPT1"].mask.tolist() == [not h for h in has]
    assert table["OPT1"].compressed().tolist() == [0, 1, 3]
    assert table["OPT2"].compressed().tolist() == [b"zz"] * 3
    assert (table["P"].tolist(), table["C"].tolist(), table["D"].tolist()) == (list(p), list(c), list(d))
    assert table["END"].tolist() == [0xEE] * 4


def test_reports_truncated_unmatched_and_tail():
    definition = xtce.load(io.StringIO(CONTRIVED))
    good = contrived_packet(random.Random(2), 0)
    short = bytearray(ccsds(200, 1, [field("MODE", "unsigned", 3, 2), field("z", "unsigned", 29, 0)]))
    unknown = ccsds(300, 2, [field("MODE", "unsigned", 3, 2), field("z", "unsigned", 21, 0)])
    record = b"\xAA" * 4  # a record header before each packet
    stream = b"".join(record + p for p in (good, bytes(short), unknown, good)) + b"\x01\x02\x03"
    decoded = definition.decode(stream, skip_header_bytes=4)
    assert decoded.truncated.first_offsets == (4 + len(good) + 4,)
    assert decoded.truncated.by_container == {"B": 1}
    assert decoded.unmatched.packet_index.tolist() == [2]
    assert decoded.unmatched.by_container == {"Base": 1}
    assert decoded.tail == 3 and decoded.packets == 4
    rows = np.concatenate([t["packet_index"] for t in decoded.values()])
    assert sorted(rows.tolist()) == [0, 3]


def test_abstract_leaves_and_ambiguous_matches_are_unmatched():
    rng = random.Random(3)
    stream = b"".join(contrived_packet(rng, i) for i in range(100))
    before = xtce.load(io.StringIO(CONTRIVED)).decode(stream)
    also_safe = ('<SequenceContainer name="A2"><EntryList/><BaseContainer containerRef="Base">'
                 '<RestrictionCriteria><Comparison parameterRef="MODE" value="SAFE"/>'
                 '</RestrictionCriteria></BaseContainer></SequenceContainer>')
    doc = CONTRIVED.replace('name="B2"', 'name="B2" abstract="true"').replace(
        '<SequenceContainer name="A">', also_safe + '<SequenceContainer name="A">')
    after = xtce.load(io.StringIO(doc)).decode(stream)
    safe = int((before["A"]["MODE"] == 1).sum())
    assert after.unmatched.by_container == {
        "Base": before.unmatched.count + safe, "B2": len(before["B2"]["packet_index"])}
    assert len(after["A"]["packet_index"]) == len(before["A"]["packet_index"]) - safe > 0
    assert "A2" not in after and "B2" not in after


@pytest.mark.parametrize("extra", [3, 70])  # answers held at once: up to 64 and beyond
def test_long_comparison_lists_match_as_their_short_form(extra):
    rng = random.Random(4)
    stream = b"".join(contrived_packet(rng, i) for i in range(100))
    short = '<Comparison parameterRef="PKT_APID" value="200"/>'

    def decode(same, last):
        doc = CONTRIVED.replace(short, f"<ComparisonList>{short}{same * extra}{last}</ComparisonList>")
        return xtce.load(io.StringIO(doc)).decode(stream)

    for last in ('<Comparison parameterRef="TYPE" value="0"/>',
                 '<Comparison parameterRef="TYPE" value="1"/>'):  # always true, never true
        want = decode("", last)
        got = decode('<Comparison parameterRef="VERSION" value="0"/>', last)
        assert list(got) == list(want) and got.unmatched.count == want.unmatched.count
        for name in want:
            assert got[name]["packet_index"].tolist() == want[name]["packet_index"].tolist()
    assert "B" in decode("", "") and "B" not in want


@needs_realdata
def test_namespaces_and_prefixes_read_alike():
    xml = (REALDATA / REAL["jpss"][0]).read_text()
    data = (REALDATA / REAL["jpss"][1]).read_bytes()[:71 * 50]
    bare = xml.replace("xtce:", "").replace(f' xmlns:xtce="{xtce.XTCE_1_2}"', "")
    old = xml.replace(xtce.XTCE_1_2, xtce.XTCE_1_1)
    default = bare.replace("<SpaceSystem ", f'<SpaceSystem xmlns="{xtce.XTCE_1_2}" ')
    results = [xtce.load(io.StringIO(doc)) for doc in (xml, bare, old, default)]
    assert [d.xtce_version for d in results] == ["1.2", None, "1.1", "1.2"]
    first = results[0].decode(data)["JPSS_ATT_EPHEM"]
    for d in results[1:]:
        other = d.decode(data)["JPSS_ATT_EPHEM"]
        assert all(np.array_equal(other[k], first[k]) for k in first)


@needs_realdata
def test_layout_packs_the_file_back():
    xml, path = (REALDATA / p for p in REAL["jpss"])
    definition, data = xtce.load(xml), path.read_bytes()
    layout = definition.layout("JPSS_ATT_EPHEM")
    columns = definition.decode(data)["JPSS_ATT_EPHEM"]
    assert layout.size == 71 and layout.names == definition.fields("JPSS_ATT_EPHEM")
    assert layout.pack({k: columns[k] for k in layout.names}) == data
    idex = xtce.load(REALDATA / REAL["idex"][0])
    with pytest.raises(xtce.XtceError, match="'IDX__SCI0RAW' varies in size"):
        idex.layout("Sci0TypeNonZero")


@needs_realdata
def test_ranges_decoded_apart_join_into_the_whole():
    xml, path = (REALDATA / p for p in REAL["idex"])
    definition = pickle.loads(pickle.dumps(xtce.load(xml)))  # as a worker process gets it
    data = path.read_bytes()
    index = ccsds_index(data)
    joined = xtce.Decoded.concat(definition.decode_index(data, index, a, a + 20)
                                 for a in range(0, 78, 20))
    whole = definition.decode(path)
    assert list(joined) == list(whole) and joined.packets == 78
    for name, table in whole.items():
        for key, column in table.items():
            assert joined[name][key].tolist() == column.tolist(), (name, key)


# One case per refusal: (element placed into a minimal document, message).
def mini(types="", entries="", tail="", prologue="", params=""):
    return f"""{prologue}<SpaceSystem name="T" xmlns="{xtce.XTCE_1_2}">
<TelemetryMetaData><ParameterTypeSet>
<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>{types}
</ParameterTypeSet><ParameterSet><Parameter name="A" parameterTypeRef="U8"/>{params}</ParameterSet>
<ContainerSet><SequenceContainer name="P"><EntryList><ParameterRefEntry parameterRef="A"/>
{entries}</EntryList></SequenceContainer></ContainerSet></TelemetryMetaData>{tail}</SpaceSystem>"""


USES_M = dict(params='<Parameter name="M" parameterTypeRef="M"/>',
              entries='<ParameterRefEntry parameterRef="M"/>')


@pytest.mark.parametrize("doc, element, message", [
    (mini(types='<ArrayParameterType name="M" arrayTypeRef="U8"/>', **USES_M),
     "ArrayParameterType", "ArrayParameterType 'M' at line 3: arrays whose dimensions the container gives"),
    (mini(entries='<ParameterRefEntry parameterRef="A"><RepeatEntry><Count><FixedValue>2'
                  '</FixedValue></Count><Offset/></RepeatEntry></ParameterRefEntry>'),
     "RepeatEntry", "RepeatEntry at line 6: repeated entries with gaps"),
    (mini(types='<FloatParameterType name="M"><FloatDataEncoding encoding="MILSTD_1750A"/>'
                '</FloatParameterType>', **USES_M), "FloatDataEncoding",
     "MIL-STD-1750A floats are not"),
    (mini(prologue='<!DOCTYPE x [<!ENTITY a "aaaa">]>\n'), "DOCTYPE",
     "document type declarations are refused"),
    (mini(entries='<ParameterRefEntry parameterRef="B"/>'), "ParameterRefEntry",
     "unknown parameter 'B'"),
    (mini(entries='<ParameterRefEntry parameterRef="A"><IncludeCondition><Comparison '
                  'parameterRef="A" value="x"/></IncludeCondition></ParameterRefEntry>'),
     "Comparison", "'x' is not a value of parameter 'A'"),
])
def test_refusals_name_the_element_and_line(doc, element, message):
    """Raised with strict=True; otherwise only the container that needs it is refused."""
    with pytest.raises(xtce.XtceError, match=message.replace("(", r"\(").replace(")", r"\)")) as e:
        xtce.load(io.StringIO(doc), strict=True)
    line = doc[:doc.rindex("<" + ("!" if element == "DOCTYPE" else "") + element)].count("\n") + 1
    assert (e.value.element, e.value.line) == (element, line)
    if element != "DOCTYPE":
        reason = xtce.load(io.StringIO(doc)).unsupported["P"]
        assert (reason.element, reason.line) == (element, line)


def test_criteria_on_fields_not_yet_decoded_are_refused():
    doc = CONTRIVED.replace('parameterRef="PKT_APID" value="200"', 'parameterRef="X" value="200"')
    with pytest.raises(xtce.XtceError, match="restriction criteria refers to 'X', which is not "
                                             "decoded before it"):
        xtce.load(io.StringIO(doc), strict=True)
    assert "decoded before it" in str(xtce.load(io.StringIO(doc)).unsupported["B"])

"""bitweave_columns.xtce: space systems as a tree, databases split over several documents, and
what a real mission database holds besides its packets (passed over, or refused per container).

Packets are built with bitweave.pack_parameters; the expected values are the ones packed."""
import glob
import io
from pathlib import Path

import pytest

import bitweave
from bitweave_columns import xtce

UNSUPPORTED_IN_CORPUS = 134  # measured after repeated entries and container-start locations; lower it as support grows
CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"

# The top document: its namespace named by the schema's URL, prefixed and unprefixed elements
# mixed, descriptive content everywhere, a nested space system whose names clash with Top's.
TOP = """<SpaceSystem name="Top" xmlns="XTCE_NS/SpaceSystem.xsd"
    xmlns:xtce="XTCE_NS" xmlns:other="urn:other" shortDescription="top">
 <LongDescription>described</LongDescription><AliasSet><Alias nameSpace="a" alias="b"/></AliasSet>
 <TelemetryMetaData>
  <ParameterTypeSet>
   <IntegerParameterType name="u16"><UnitSet><Unit>count</Unit></UnitSet>
     <IntegerDataEncoding sizeInBits="16"/><DefaultAlarm><StaticAlarmRanges/></DefaultAlarm>
     <ValidRange minInclusive="0" maxInclusive="9"/></IntegerParameterType>
   <xtce:IntegerParameterType name="u8"><xtce:IntegerDataEncoding sizeInBits="8"/></xtce:IntegerParameterType>
   <IntegerParameterType name="nothing"><IntegerDataEncoding sizeInBits="0" encoding="BCD"/></IntegerParameterType>
   <FloatParameterType name="f32"><FloatDataEncoding encoding="IEEE-754" sizeInBits="32"/>
     <ToString><NumberFormat/></ToString></FloatParameterType>
   <EnumeratedParameterType name="mode"><IntegerDataEncoding sizeInBits="8"/><EnumerationList>
     <Enumeration value="0x0A" label="TEN"/><Enumeration value="0x1f" label="THIRTY-ONE"/>
   </EnumerationList></EnumeratedParameterType>
  </ParameterTypeSet>
  <ParameterSet>
   <Parameter name="ID" parameterTypeRef="u16"><ShortDescription>packet kind</ShortDescription></Parameter>
   <Parameter name="SEQ" parameterTypeRef="u16"/><Parameter name="LEN" parameterTypeRef="u16"/>
   <xtce:Parameter name="X" parameterTypeRef="u8"/><Parameter name="F" parameterTypeRef="f32"/>
   <Parameter name="M" parameterTypeRef="mode"/><other:Thing/>
  </ParameterSet>
  <ContainerSet>
   <SequenceContainer name="Pkt" abstract="true"><DefaultRateInStream minimumValue="1"/><EntryList>
     <ParameterRefEntry parameterRef="ID"/><ParameterRefEntry parameterRef="SEQ"/>
     <ParameterRefEntry parameterRef="LEN"/></EntryList></SequenceContainer>
   <SequenceContainer name="Data"><EntryList><ParameterRefEntry parameterRef="X"/>
     <ParameterRefEntry parameterRef="F"/><ParameterRefEntry parameterRef="M"/></EntryList>
     <BaseContainer containerRef="Pkt"><RestrictionCriteria>
       <Comparison parameterRef="ID" value="0x1"/></RestrictionCriteria></BaseContainer></SequenceContainer>
  </ContainerSet>
 </TelemetryMetaData>
 <CommandMetaData><ArgumentTypeSet/></CommandMetaData>
 <SpaceSystem name="Sub">
  <TelemetryMetaData>
   <ParameterSet><Parameter name="X" parameterTypeRef="u16"/><Parameter name="Z" parameterTypeRef="nothing"/></ParameterSet>
   <AlgorithmSet><CustomAlgorithm name="ground"/></AlgorithmSet>
   <ContainerSet>
    <SequenceContainer name="Data"><EntryList><ParameterRefEntry parameterRef="X"/>
      <ParameterRefEntry parameterRef="../X"/></EntryList>
      <BaseContainer containerRef="../Pkt"><RestrictionCriteria>
        <Comparison parameterRef="/Top/ID" value="2"/></RestrictionCriteria></BaseContainer></SequenceContainer>
    <SequenceContainer name="Broken"><EntryList><ParameterRefEntry parameterRef="Z"/></EntryList>
      <BaseContainer containerRef="/Top/Pkt"><RestrictionCriteria>
        <Comparison parameterRef="ID" value="5"/></RestrictionCriteria></BaseContainer></SequenceContainer>
   </ContainerSet>
  </TelemetryMetaData>
 </SpaceSystem>
</SpaceSystem>""".replace("XTCE_NS", xtce.XTCE_1_2)

# Placed under /Top/Sub: its names resolve up through Sub and Top.
DEEP = """<SpaceSystem name="Deep"><TelemetryMetaData><ParameterSet>
 <Parameter name="Y" parameterTypeRef="u8"/></ParameterSet><ContainerSet>
 <SequenceContainer name="Leaf"><EntryList><ParameterRefEntry parameterRef="Y"/>
   <ParameterRefEntry parameterRef="Sub/X"/></EntryList>
   <BaseContainer containerRef="/Top/Pkt"><RestrictionCriteria><Comparison parameterRef="ID" value="3"/>
   </RestrictionCriteria></BaseContainer></SequenceContainer></ContainerSet></TelemetryMetaData></SpaceSystem>"""

# Declares Top again, as a file set does: it adds to it.
MORE = """<SpaceSystem name="Top"><TelemetryMetaData><ParameterSet>
 <Parameter name="W" parameterTypeRef="u8"/></ParameterSet><ContainerSet>
 <SequenceContainer name="Extra"><EntryList><ParameterRefEntry parameterRef="W"/></EntryList>
   <BaseContainer containerRef="Pkt"><RestrictionCriteria><Comparison parameterRef="ID" value="4"/>
   </RestrictionCriteria></BaseContainer></SequenceContainer></ContainerSet></TelemetryMetaData></SpaceSystem>"""


def line_of(text):
    return TOP[:TOP.index(text)].count("\n") + 1


def u(name, bits, value):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big",
            "reverse_bits": False, "value": value}


def packet(kind, seq, body):
    payload = bitweave.pack_parameters(body)
    return bitweave.pack_parameters([u("ID", 16, kind), u("SEQ", 16, seq),
                                     u("LEN", 16, len(payload) - 1)]) + payload


def database(tmp_path):
    top = tmp_path / "top.xml"
    top.write_text(TOP)
    return xtce.load([top, ("/Top/Sub", io.StringIO(DEEP)), io.BytesIO(MORE.encode())])


F = {"name": "F", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big",
     "reverse_bits": False, "value": 1.5}
STREAM = b"".join([
    packet(1, 0, [u("X", 8, 7), F, u("M", 8, 0x1F)]),
    packet(2, 1, [u("X", 16, 700), u("X", 8, 9)]),
    packet(3, 2, [u("Y", 8, 33), u("X", 16, 65535)]),
    packet(4, 3, [u("W", 8, 44)]),
    packet(5, 4, [u("Z", 8, 0)]),
    packet(5, 5, [u("Z", 8, 0)]),
])


def test_split_database_decodes_by_qualified_and_short_names(tmp_path):
    d = database(tmp_path)
    # Short names where unique, qualified where two space systems share one.
    assert set(d.containers) == {"Pkt", "/Top/Data", "/Top/Sub/Data", "Broken", "Leaf", "Extra"}
    assert {"/Top/X", "/Top/Sub/X", "Y", "W"} <= set(d.parameters)
    t = d.decode(STREAM, derived=True)
    assert t["/Top/Data"]["/Top/X"].tolist() == [7] and t["Top/Data"]["F"].tolist() == [1.5]
    assert t["/Top/Data"]["M"].tolist() == ["THIRTY-ONE"]
    sub = t["/Top/Sub/Data"]
    assert (sub["/Top/Sub/X"].tolist(), sub["/Top/X"].tolist()) == ([700], [9])
    assert (t["Leaf"]["Y"].tolist(), t["/Top/Sub/Deep/Leaf"]["/Top/Sub/X"].tolist()) == ([33], [65535])
    assert t["Extra"]["W"].tolist() == [44] and t["Extra"]["packet_index"].tolist() == [3]
    assert d.xtce_version == "1.2" and d.name == "Top"
    assert xtce.load([tmp_path / "top.xml", ("/Top/Sub", io.StringIO(DEEP))],
                     root="/Top/Pkt").root == "Pkt"
    with pytest.raises(xtce.XtceError, match="'Data' names several containers; say which: "
                                             "/Top/Data, /Top/Sub/Data"):
        xtce.load([tmp_path / "top.xml"], root="Data")


def test_unsupported_containers_are_counted_not_decoded(tmp_path):
    d = database(tmp_path)
    assert list(d.unsupported) == ["Broken"]
    assert (d.unsupported["Broken"].element, d.unsupported["Broken"].line) == ("IntegerDataEncoding", line_of('sizeInBits="0" encoding="BCD"'))
    t = d.decode(STREAM)
    assert "Broken" not in t and "Broken" not in d.concrete
    assert t.unsupported.count == 2 and t.unsupported.by_container == {"Broken": 2}
    assert t.unsupported.first_offsets == tuple(t.unsupported.offsets.tolist())
    assert not t.unmatched and not t.truncated
    with pytest.raises(xtce.XtceError, match="BCD integer of 0 bits"):
        xtce.load([tmp_path / "top.xml"], strict=True)
    # Nothing above the top space system; a document alone misses what its set defines.
    above = xtce.load(io.StringIO(TOP.replace('"../X"', '"../../X"'))).unsupported
    assert "unknown parameter '../../X'" in str(above["/Top/Sub/Data"])
    assert "unknown container '/Top/Pkt'" in str(xtce.load(io.StringIO(DEEP)).unsupported["Leaf"])


def test_what_cannot_move_a_bit_is_passed_over_and_listed(tmp_path):
    d = database(tmp_path)
    for tag in ("LongDescription", "AliasSet", "DefaultAlarm", "ValidRange", "ToString",
                "DefaultRateInStream", "AlgorithmSet", "{urn:other}Thing"):
        assert tag in d.skipped, tag
    assert d.skipped["DefaultRateInStream"] == xtce.Passed(1, line_of("<DefaultRateInStream"))
    assert d.parameters["ID"].short_description == "packet kind"
    assert d.parameters["ID"].units == ("count",)


@pytest.mark.parametrize("source, message", [
    ([], "no document"), ([3], "a path or a file object, not int"),
    ([("/A",)], "a .parent, path. pair"), ("/no/such.xml", "No such file"),
])
def test_sources_load_cannot_read_are_xtce_errors(source, message):
    with pytest.raises(xtce.XtceError, match=message):
        xtce.load(source)


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"no corpus at {CORPUS}")
def test_corpus_documents_load():
    docs = sorted(glob.glob(str(CORPUS / "**" / "*.xml"), recursive=True))
    unsupported = 0
    for path in docs:
        d = xtce.load(path)
        unsupported += len(d.unsupported) - len(d.unsupported_commands)
    assert len(docs) == 134
    # Containers the documents alone cannot decode (most refer to the rest of their set).
    assert unsupported <= UNSUPPORTED_IN_CORPUS

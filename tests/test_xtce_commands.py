"""Commands from XTCE documents: encodings derived by hand from corpus documents, the round
trip through decode_command over every argument kind, and each refusal once."""
import binascii
import struct
import sys
import zlib
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from bitweave_columns import xtce

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"no real data at {CORPUS}")

DOC = """<SpaceSystem name="T" xmlns="XTCE_NS"><CommandMetaData>
<ArgumentTypeSet>
 <IntegerArgumentType name="u3"><IntegerDataEncoding sizeInBits="3"/>
  <ValidRangeSet><ValidRange minInclusive="1" maxInclusive="6"/></ValidRangeSet>
 </IntegerArgumentType>
 <IntegerArgumentType name="s13"><IntegerDataEncoding sizeInBits="13" encoding="twosComplement"/>
 </IntegerArgumentType>
 <FloatArgumentType name="volts"><IntegerDataEncoding sizeInBits="16">
  <DefaultCalibrator><PolynomialCalibrator><Term coefficient="-5" exponent="0"/>
  <Term coefficient="0.5" exponent="1"/></PolynomialCalibrator></DefaultCalibrator>
  </IntegerDataEncoding></FloatArgumentType>
 <FloatArgumentType name="f32"><FloatDataEncoding sizeInBits="32"/></FloatArgumentType>
 <EnumeratedArgumentType name="mode"><IntegerDataEncoding sizeInBits="4"/><EnumerationList>
  <Enumeration value="0" label="OFF"/><Enumeration value="9" label="ON"/></EnumerationList>
 </EnumeratedArgumentType>
 <BooleanArgumentType name="flag"><IntegerDataEncoding sizeInBits="1"/></BooleanArgumentType>
 <StringArgumentType name="name"><StringDataEncoding><Variable maxSizeInBits="64">
  <LeadingSize sizeInBitsOfSizeTag="8"/></Variable></StringDataEncoding>
  <SizeRangeInCharacters><ValidRange minInclusive="0" maxInclusive="5"/></SizeRangeInCharacters>
 </StringArgumentType>
 <BinaryArgumentType name="blob"><BinaryDataEncoding><SizeInBits><FixedValue>24</FixedValue>
  </SizeInBits></BinaryDataEncoding></BinaryArgumentType>
 <IntegerArgumentType name="u16"><IntegerDataEncoding sizeInBits="16"/></IntegerArgumentType>
</ArgumentTypeSet>
<MetaCommandSet>
 <MetaCommand name="Header" abstract="true"><ArgumentList>
  <Argument name="opcode" argumentTypeRef="u16"/></ArgumentList>
  <CommandContainer name="HeaderC"><EntryList>
   <FixedValueEntry binaryValue="1" sizeInBits="3"/><FixedValueEntry binaryValue="1a" sizeInBits="15"/>
   <FixedValueEntry binaryValue="0000" sizeInBits="14"/><FixedValueEntry binaryValue="0" sizeInBits="16"/>
   <ArgumentRefEntry argumentRef="opcode"/></EntryList></CommandContainer></MetaCommand>
 <MetaCommand name="All"><BaseMetaCommand metaCommandRef="Header"><ArgumentAssignmentList>
   <ArgumentAssignment argumentName="opcode" argumentValue="7"/></ArgumentAssignmentList>
  </BaseMetaCommand><ArgumentList>
  <Argument name="a" argumentTypeRef="u3" initialValue="2"/><Argument name="b" argumentTypeRef="s13"/>
  <Argument name="v" argumentTypeRef="volts" initialValue="0"/><Argument name="f" argumentTypeRef="f32"/>
  <Argument name="m" argumentTypeRef="mode" initialValue="ON"/><Argument name="g" argumentTypeRef="flag"/>
  <Argument name="n" argumentTypeRef="name"/><Argument name="x" argumentTypeRef="blob"/></ArgumentList>
  <CommandContainer name="AllC"><BaseContainer containerRef="HeaderC"/><EntryList>
   <ArgumentRefEntry argumentRef="a"/><ArgumentRefEntry argumentRef="b"/><ArgumentRefEntry argumentRef="v"/>
   <ArgumentRefEntry argumentRef="f"/><ArgumentRefEntry argumentRef="m"/><ArgumentRefEntry argumentRef="g"/>
   <ArgumentRefEntry argumentRef="n"/><ArgumentRefEntry argumentRef="x"/></EntryList></CommandContainer>
 </MetaCommand>
</MetaCommandSet></CommandMetaData></SpaceSystem>"""

DOC = DOC.replace("XTCE_NS", xtce.XTCE_1_2)
DEFINITION = xtce.load(__import__("io").BytesIO(DOC.encode()))
BASE = dict(b=-3, f=1.5, g=True, n="ab", x=b"\x01\x02\x03")


@needs_corpus
def test_corpus_commands_by_hand():
    core = CORPUS / "yamcs" / "yamcs-core" / "xtce"
    # enum-arg.xml: phase is an 8-bit unsigned enumeration, ASCENT = 2.
    d = xtce.load(core / "enum-arg.xml")
    assert d.encode_command("cmd1", phase="ASCENT") == b"\x02"
    # booleans.xml: bool2 is a 32-bit string "yes!"/"nooo" ending in 00; four characters
    # fill the buffer, so the terminator is left out (as Yamcs does).
    d = xtce.load(core / "booleans.xml")
    assert d.encode_command("command2", bool2=True) == b"yes!"
    assert d.encode_command("command1", bool1=True) == b"\x01"
    # ranges-test.xml: the base command's container is empty, so only the 64-bit
    # big-endian float follows; its range is [10, 40).
    d = xtce.load(CORPUS / "yamcs" / "yamcs-xtce" / "ranges-test.xml")
    assert d.encode_command("SetTemperature", temperature=20.0) == struct.pack(">d", 20.0)
    with pytest.raises(xtce.CommandError, match=r"temperature.*\[10.0, 40.0\)"):
        d.encode_command("SetTemperature", temperature=40.0)
    # F Prime: CMD_NO_OP's base commands assign version 0, type 1, no secondary header,
    # APID 0, group flags Standalone (3) and opcode 0x01000000; the count, length and 16 bits
    # after them are fixed zeros. Its packet reads back as it, by the opcode its base assigns.
    d = xtce.load(CORPUS / "fprime-yamcs" / "fprime.xtce.xml")
    packet = d.encode_command("CdhCore|cmdDisp|CMD_NO_OP")
    assert packet == bytes.fromhex("1000 c000 0000 0000 0100 0000")
    assert d.decode_command(packet) == ("CdhCore|cmdDisp|CMD_NO_OP", {})
    # strings-cmd.xml: buf_length = 5 bytes of buffer (slope 8) after its 16 bits, holding an
    # 8-bit size tag of 24 bits, "abc" and a zero, then para1's 16 bits.
    d = xtce.load(core / "strings-cmd.xml")
    packet = bytes.fromhex("0005") + b"\x18abc\x00" + bytes.fromhex("0007")
    args = dict(buf_length=5, string4="abc", para1=7)
    assert d.encode_command("command4", args) == packet
    assert d.decode_command(packet) == ("command4", args)


def test_header_base_and_ccsds_options():
    # Header: version 1 (3 bits), 0x1a (15 bits), count (14), length (16), opcode 7 (16 bits),
    # then a=2 (3), b=-3 (13, two's complement), v=0 V -> raw (0+5)/0.5 = 10 (16), f (32),
    # m=ON=9 (4), g=1 (1), n: size tag 16 bits then "ab", x, and 3 zero bits to a byte.
    got = DEFINITION.encode_command("All", BASE)
    bits = (f"{1:03b}{0x1a:015b}{0:014b}{0:016b}{7:016b}{2:03b}{-3 & 0x1fff:013b}{10:016b}"
            + f"{struct.unpack('>I', struct.pack('>f', 1.5))[0]:032b}{9:04b}1{16:08b}"
            + "".join(f"{c:08b}" for c in b"ab\x01\x02\x03") + "000")
    assert got == int(bits, 2).to_bytes(len(bits) // 8, "big")
    full = DEFINITION.encode_command("All", BASE, sequence_count=5, ccsds_length=True,
                                     checksum="crc16-ccitt")
    assert int.from_bytes(full[2:4], "big") & 0x3fff == 5
    assert int.from_bytes(full[4:6], "big") == len(full) - 7
    assert full[-2:] == binascii.crc_hqx(full[:-2], 0xFFFF).to_bytes(2, "big")


@settings(max_examples=150, deadline=None)
@given(a=st.integers(1, 6), b=st.integers(-4096, 4095), v=st.integers(-5, 1000),
       f=st.floats(width=32, allow_nan=False), m=st.sampled_from(["ON", "OFF"]),
       g=st.booleans(), n=st.text("abcxyz", max_size=5), x=st.binary(min_size=3, max_size=3))
def test_round_trip(**args):
    args["v"] = args["v"] / 2  # calibrated volts on the raw grid of 0.5
    packet = DEFINITION.encode_command("All", args)
    assert DEFINITION.decode_command(packet) == ("All", args)


@pytest.mark.parametrize("args, match", [
    (dict(BASE, z=1), "argument 'z': unknown argument"),
    ({k: v for k, v in BASE.items() if k != "b"}, "argument 'b': missing"),
    (dict(BASE, a=7), r"argument 'a': 7 is outside its valid range \[1, 6\]"),
    (dict(BASE, m="HALF"), "argument 'm': unknown label 'HALF' .labels: OFF, ON"),
    (dict(BASE, g=1), "argument 'g': a bool, not int"),
    (dict(BASE, n="abcdef"), "argument 'n': 6 characters, but it takes from 0 to 5"),
    (dict(BASE, x=b"\x01"), "argument 'x': 1 bytes"),
    (dict(BASE, b=5000), "command 'All'"),
    (dict(BASE, opcode=1), "argument 'opcode': its value is fixed"),
])
def test_refusals(args, match):
    with pytest.raises(xtce.CommandError, match=match) as e:
        DEFINITION.encode_command("All", args)
    assert isinstance(e.value, ValueError) and isinstance(e.value, xtce.XtceError)


def test_command_refusals():
    with pytest.raises(xtce.CommandError, match="abstract"):
        DEFINITION.encode_command("Header", opcode=1)
    with pytest.raises(xtce.CommandError, match="unknown command 'Nope'"):
        DEFINITION.encode_command("Nope")
    with pytest.raises(xtce.CommandError, match="sequence_count must be"):
        DEFINITION.encode_command("All", BASE, sequence_count=1 << 14)


@needs_corpus
def test_every_corpus_command_encodes_or_names_why():
    sys.path.insert(0, str(CORPUS))
    import compare
    docs = [p for p in sorted(CORPUS.rglob("*.xml")) if b"MetaCommand" in p.read_bytes()]
    encoded = refused = unread = 0
    for p in docs:
        d = xtce.load(compare.set_of(str(p))[1] or p)
        for name, cmd in d.commands.items():
            if cmd.abstract:
                continue
            try:
                d.encode_command(name)
                encoded += 1
            except xtce.CommandError as e:
                assert "missing" in str(e) or "no value" in str(e), e
                refused += 1
        unread += len(d.unsupported_commands)
    assert (encoded, refused, unread) == (59, 1047, 68)


def test_encode_many_matches_rows():
    d = xtce.load(CORPUS / "yamcs" / "yamcs-core" / "xtce" / "enum-arg.xml") if CORPUS.is_dir() \
        else None
    if d is None:
        pytest.skip("no corpus")
    labels = ["SAFE", "MISSION", "ASCENT", "SAFE"]
    assert d.commands["cmd1"].encode_many({"phase": labels}) == b"".join(
        d.encode_command("cmd1", phase=p) for p in labels)
    with pytest.raises(xtce.CommandError, match="unknown label 'NOPE'"):
        d.commands["cmd1"].encode_many({"phase": ["SAFE", "NOPE"]})
    d = xtce.load(CORPUS / "yamcs" / "yamcs-xtce" / "ranges-test.xml")
    assert d.commands["SetTemperature"].encode_many({"temperature": [10.0, 39.5]}) == \
        struct.pack(">2d", 10.0, 39.5)
    with pytest.raises(xtce.CommandError, match=r"45.0 is outside its valid range"):
        d.commands["SetTemperature"].encode_many({"temperature": [20.0, 45.0]})
    many = DEFINITION.commands["All"]
    with pytest.raises(xtce.CommandError, match="one size"):
        many.encode_many(dict(BASE))


DOC2 = """<SpaceSystem name="H" xmlns="XTCE_NS"><TelemetryMetaData><ParameterTypeSet>
 <IntegerParameterType name="u3"><IntegerDataEncoding sizeInBits="3"/></IntegerParameterType>
 <IntegerParameterType name="u13"><IntegerDataEncoding sizeInBits="13"/></IntegerParameterType>
 <IntegerParameterType name="u16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
 <IntegerParameterType name="u14"><IntegerDataEncoding sizeInBits="14"/></IntegerParameterType>
 <IntegerParameterType name="u2" initialValue="3"><IntegerDataEncoding sizeInBits="2"/>
 </IntegerParameterType></ParameterTypeSet>
 <ParameterSet><Parameter name="ver" parameterTypeRef="u3"/><Parameter name="apid" parameterTypeRef="u13"/>
 <Parameter name="flags" parameterTypeRef="u2"/><Parameter name="count" parameterTypeRef="u14"/>
 <Parameter name="length" parameterTypeRef="u16"/></ParameterSet>
 <ContainerSet><SequenceContainer name="Head" abstract="true"><EntryList>
  <ParameterRefEntry parameterRef="ver"/><ParameterRefEntry parameterRef="apid"/>
  <ParameterRefEntry parameterRef="flags"/><ParameterRefEntry parameterRef="count"/>
  <ParameterRefEntry parameterRef="length"/></EntryList></SequenceContainer></ContainerSet>
</TelemetryMetaData><CommandMetaData><ArgumentTypeSet>
 <IntegerArgumentType name="u8"><IntegerDataEncoding sizeInBits="8"/></IntegerArgumentType>
 <IntegerArgumentType name="s13"><IntegerDataEncoding sizeInBits="13" encoding="twosComplement"/>
 </IntegerArgumentType>
 <ArrayArgumentType name="bytes" arrayTypeRef="u8"><DimensionList><Dimension>
  <StartingIndex><FixedValue>0</FixedValue></StartingIndex><EndingIndex><DynamicValue>
  <ArgumentInstanceRef argumentRef="n"/><LinearAdjustment intercept="-1"/></DynamicValue>
  </EndingIndex></Dimension></DimensionList></ArrayArgumentType>
 <ArrayArgumentType name="pair" arrayTypeRef="s13"><DimensionList><Dimension>
  <StartingIndex><FixedValue>1</FixedValue></StartingIndex><EndingIndex><FixedValue>2</FixedValue>
  </EndingIndex></Dimension></DimensionList></ArrayArgumentType>
 <AggregateArgumentType name="agg"><MemberList><Member name="m" typeRef="u8"/>
  <Member name="p" typeRef="pair"/></MemberList></AggregateArgumentType>
 <AbsoluteTimeArgumentType name="t"><Encoding scale="0.5" offset="10"><IntegerDataEncoding
  sizeInBits="16"/></Encoding><ReferenceTime><Epoch>TAI</Epoch></ReferenceTime>
 </AbsoluteTimeArgumentType>
 <FloatArgumentType name="sq"><IntegerDataEncoding sizeInBits="10"><DefaultCalibrator>
  <PolynomialCalibrator><Term coefficient="1" exponent="0"/><Term coefficient="0.01" exponent="2"/>
  </PolynomialCalibrator></DefaultCalibrator></IntegerDataEncoding></FloatArgumentType>
 <FloatArgumentType name="hump"><IntegerDataEncoding sizeInBits="8" encoding="twosComplement">
  <DefaultCalibrator><PolynomialCalibrator><Term coefficient="1" exponent="2"/>
  </PolynomialCalibrator></DefaultCalibrator></IntegerDataEncoding></FloatArgumentType>
</ArgumentTypeSet><MetaCommandSet>
 <MetaCommand name="Arr"><ArgumentList><Argument name="n" argumentTypeRef="u8"/>
  <Argument name="a" argumentTypeRef="bytes"/><Argument name="g" argumentTypeRef="agg"/>
  <Argument name="t" argumentTypeRef="t"/><Argument name="s" argumentTypeRef="sq"/></ArgumentList>
  <CommandContainer name="ArrC"><EntryList><ArgumentRefEntry argumentRef="n"/>
   <ArgumentRefEntry argumentRef="a"/><ArgumentRefEntry argumentRef="g"/>
   <ArgumentRefEntry argumentRef="t"/><ArgumentRefEntry argumentRef="s"/></EntryList>
  <BaseContainer containerRef="Head"><RestrictionCriteria><ComparisonList>
   <Comparison parameterRef="ver" value="1"/><Comparison parameterRef="apid" value="42"/>
  </ComparisonList></RestrictionCriteria></BaseContainer></CommandContainer></MetaCommand>
 <MetaCommand name="NoApid"><ArgumentList><Argument name="h" argumentTypeRef="hump"/></ArgumentList>
  <CommandContainer name="NoApidC"><EntryList><ArgumentRefEntry argumentRef="h"/></EntryList>
  <BaseContainer containerRef="Head"/></CommandContainer></MetaCommand>
 <MetaCommand name="Bare"><CommandContainer name="BareC"><EntryList/>
  <BaseContainer containerRef="Head"/></CommandContainer></MetaCommand>
 <MetaCommand name="Opt"><ArgumentList><Argument name="mode" argumentTypeRef="u8"/>
  <Argument name="extra" argumentTypeRef="u8"/><Argument name="x" argumentTypeRef="u8"/></ArgumentList>
  <CommandContainer name="OptC"><EntryList><ArgumentRefEntry argumentRef="mode"/>
  <ArgumentRefEntry argumentRef="extra"><IncludeCondition><ArgumentComparison argumentRef="mode"
   value="1"/></IncludeCondition></ArgumentRefEntry>
  <ArgumentRefEntry argumentRef="x"><LocationInContainerInBits><FixedValue>4</FixedValue>
   </LocationInContainerInBits><RepeatEntry><Count><DynamicValue><ArgumentInstanceRef
   argumentRef="mode"/></DynamicValue></Count></RepeatEntry></ArgumentRefEntry>
  </EntryList></CommandContainer></MetaCommand>
 <MetaCommand name="At"><ArgumentList><Argument name="x" argumentTypeRef="u8"/></ArgumentList>
  <CommandContainer name="AtC"><ErrorDetectCorrect><CRC width="32" reflectData="true"
   reflectRemainder="true"><Polynomial>04C11DB7</Polynomial><InitRemainder>FFFFFFFF</InitRemainder>
   <FinalXOR>FFFFFFFF</FinalXOR></CRC></ErrorDetectCorrect>
  <EntryList><ArgumentRefEntry argumentRef="x"/>
  <FixedValueEntry binaryValue="ff" sizeInBits="8"><LocationInContainerInBits
   referenceLocation="containerStart"><FixedValue>16</FixedValue></LocationInContainerInBits>
  </FixedValueEntry></EntryList></CommandContainer></MetaCommand>
 <MetaCommand name="Bad"><BaseMetaCommand metaCommandRef="Opt"/><CommandContainer name="BadC">
  <EntryList><FixedValueEntry binaryValue="ff" sizeInBits="8"><LocationInContainerInBits
   referenceLocation="containerStart"><FixedValue>40</FixedValue></LocationInContainerInBits>
  </FixedValueEntry></EntryList></CommandContainer></MetaCommand>
 <MetaCommand name="AnyApid"><ArgumentList><Argument name="x" argumentTypeRef="u8"/></ArgumentList>
  <CommandContainer name="AnyC"><EntryList><ArgumentRefEntry argumentRef="x"/></EntryList>
  <BaseContainer containerRef="Head"><RestrictionCriteria><Comparison parameterRef="ver" value="1"/>
  </RestrictionCriteria></BaseContainer></CommandContainer></MetaCommand>
 <MetaCommand name="Apid7"><ArgumentList><Argument name="x" argumentTypeRef="u8"/></ArgumentList>
  <CommandContainer name="Apid7C"><EntryList><ArgumentRefEntry argumentRef="x"/></EntryList>
  <BaseContainer containerRef="Head"><RestrictionCriteria><ComparisonList>
  <Comparison parameterRef="ver" value="1"/><Comparison parameterRef="apid" value="7"/>
  </ComparisonList></RestrictionCriteria></BaseContainer></CommandContainer></MetaCommand>
</MetaCommandSet></CommandMetaData></SpaceSystem>""".replace("XTCE_NS", xtce.XTCE_1_2)
D2 = xtce.load(__import__("io").BytesIO(DOC2.encode()))
ARR = dict(a=[1, 2], g={"m": 9, "p": [-1, 5]}, t=10.5, s=2.0)


def test_arrays_aggregates_and_a_telemetry_header():
    # Head: ver=1 and apid=42 from the criteria, flags=3 (its type's initial value), count 0,
    # length = 17 - 7 = 10 (the link's fields); n=2 (from the array's size), a=[1, 2],
    # g: m=9, p=[-1, 5] (13 bits each), t: (10.5 - 10) / 0.5 = 1, s: 1 + 0.01 * 10**2 = 2.
    bits = (f"{1:03b}{42:013b}11{0:014b}{10:016b}{2:08b}{1:08b}{2:08b}{9:08b}"
            f"{-1 & 0x1fff:013b}{5:013b}{1:016b}{10:010b}")
    bits += "0" * (-len(bits) % 8)
    assert D2.encode_command("Arr", ARR) == int(bits, 2).to_bytes(len(bits) // 8, "big")
    # array-arg.xml: the 16-bit length 3 taken from the three 8-bit elements.
    if CORPUS.is_dir():
        d = xtce.load(CORPUS / "yamcs" / "yamcs-core" / "xtce" / "array-arg.xml")
        assert d.encode_command("cmd1", array1=[1, 2, 3]) == b"\x00\x03\x01\x02\x03"
        with pytest.raises(xtce.CommandError, match=r"'array1': a sequence of elements, not str"):
            d.encode_command("cmd1", array1="abc")
        with pytest.raises(xtce.CommandError, match=r"'array1\[1\]': .*too large for 8 bits"):
            d.encode_command("cmd1", array1=[1, 256])
        # ref-xtce.xml: an aggregate of a 32-bit 7 and a 64-bit 3.14, from its members'
        # initial values.
        d = xtce.load(CORPUS / "yamcs" / "yamcs-core" / "xtce" / "ref-xtce.xml")
        assert d.encode_command("command4") == b"\x00\x00\x00\x07" + struct.pack(">d", 3.14)


def test_include_conditions_and_locations():
    # mode 1 sends extra: 01 09, then a 4-bit gap, x repeated once = 03 and 4 bits to a byte:
    # 01 09 00 30; mode 2 leaves extra out (it needs no value), x twice: 02, gap, 03 04, pad.
    for args, packet in ((dict(mode=1, extra=9, x=[3]), "01090030"),
                         (dict(mode=2, x=[3, 4]), "02003040")):
        assert D2.encode_command("Opt", args) == bytes.fromhex(packet)
        assert D2.decode_command(bytes.fromhex(packet)) == ("Opt", args)
    # At: x = 03, then ff placed at bit 16 from the start, after an 8-bit gap.
    assert D2.encode_command("At", x=3) == bytes.fromhex("0300ff")
    # Bad: a place from the start after a field sent on a condition.
    assert "placed at bit 40 from the start follows fields of varying size" in str(
        D2.unsupported_commands["Bad"])


@settings(max_examples=50, deadline=None)
@given(x=st.integers(0, 255))
def test_error_detect_correct_crc(x):
    # At's container gives CRC-32 as zlib computes it; crc16-ccitt is binascii's.
    packet = D2.encode_command("At", x=x)
    assert D2.encode_command("At", x=x, checksum=True) == packet + zlib.crc32(packet).to_bytes(
        4, "big")
    with pytest.raises(xtce.CommandError, match="containers give none"):
        D2.encode_command("Opt", mode=0, x=[], checksum=True)


def test_decode_finds_the_command_its_criteria_fix():
    # AnyApid's packets have any APID; Apid7's fix it at 7, so a packet of APID 7 is Apid7's
    # though AnyApid, defined first, reads it too.
    packet = D2.encode_command("Apid7", x=5)
    assert D2.decode_command(packet) == ("Apid7", {"x": 5})
    other = bytearray(packet)
    other[0] ^= 0x01  # APID 7 -> 263
    assert D2.decode_command(bytes(other)) == ("AnyApid", {"x": 5})


@settings(max_examples=100, deadline=None)
@given(a=st.lists(st.integers(0, 255), max_size=6), m=st.integers(0, 255),
       p=st.lists(st.integers(-4096, 4095), min_size=2, max_size=2), t=st.integers(0, 65535),
       s=st.integers(0, 1023))
def test_array_round_trip(a, m, p, t, s):
    args = dict(n=len(a), a=a, g={"m": m, "p": p}, t=10 + t / 2, s=1 + 0.01 * s * s)
    name, got = D2.decode_command(D2.encode_command("Arr", args))
    assert name == "Arr" and {k: v for k, v in got.items() if k != "s"} == \
        {k: v for k, v in args.items() if k != "s"}
    assert got["s"] == pytest.approx(args["s"])


@pytest.mark.parametrize("command, args, match", [
    ("Arr", dict(ARR, n=3), r"argument 'a': 2 elements, but it takes 3"),
    ("Arr", dict(ARR, g={"m": 1}), r"argument 'g.p': missing member"),
    ("Arr", dict(ARR, s=0.5), r"argument 's': 0.5 is outside what the calibrator gives"),
    ("NoApid", dict(h=4.0), r"argument 'h': the calibrator turns at raw 0"),
    ("Bare", {}, r"command 'Bare': parameter 'ver' has no value"),
])
def test_array_and_header_refusals(command, args, match):
    with pytest.raises(xtce.CommandError, match=match):
        D2.encode_command(command, args)

"""Types, calibrators and entries that the corpus has no packets for: a small document, packets
packed with Layout, values worked out by hand."""
import io

import numpy as np
import pytest

from bitweave_columns import Layout, xtce

U8 = '<IntegerParameterType name="{}"><IntegerDataEncoding sizeInBits="8"/>{}</IntegerParameterType>'
DOC = f"""<SpaceSystem name="T" xmlns="{xtce.XTCE_1_2}"><TelemetryMetaData><ParameterTypeSet>
<IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
{U8.format("U8", "")}
<IntegerParameterType name="Spline8" baseType="U8"><IntegerDataEncoding sizeInBits="8">
 <DefaultCalibrator><SplineCalibrator order="1" extrapolate="true">
  <SplinePoint raw="0" calibrated="0"/><SplinePoint raw="20" calibrated="150"/>
  <SplinePoint raw="10" calibrated="100"/></SplineCalibrator></DefaultCalibrator>
</IntegerDataEncoding></IntegerParameterType>
<IntegerParameterType name="Step8" baseType="Spline8"><IntegerDataEncoding sizeInBits="8">
 <DefaultCalibrator><SplineCalibrator order="0">
  <SplinePoint raw="0" calibrated="1"/><SplinePoint raw="10" calibrated="2"/>
 </SplineCalibrator></DefaultCalibrator></IntegerDataEncoding></IntegerParameterType>
<IntegerParameterType name="Ctx"><IntegerDataEncoding sizeInBits="8">
 <DefaultCalibrator><MathOperationCalibrator><ThisParameterOperand/><ValueOperand>3</ValueOperand>
  <Operator>*</Operator><ParameterInstanceRefOperand parameterRef="SEL"/><Operator>+</Operator>
 </MathOperationCalibrator></DefaultCalibrator>
 <ContextCalibratorList><ContextCalibrator><ContextMatch>
  <Comparison parameterRef="SEL" value="1"/></ContextMatch>
  <Calibrator><PolynomialCalibrator><Term coefficient="2" exponent="1"/></PolynomialCalibrator>
  </Calibrator></ContextCalibrator></ContextCalibratorList>
</IntegerDataEncoding></IntegerParameterType>
<AbsoluteTimeParameterType name="Time"><Encoding scale="0.5" offset="10">
 <IntegerDataEncoding sizeInBits="32"/></Encoding>
 <ReferenceTime><Epoch>UNIX</Epoch></ReferenceTime></AbsoluteTimeParameterType>
<RelativeTimeParameterType name="Span"><Encoding units="seconds">
 <FloatDataEncoding sizeInBits="32"/></Encoding></RelativeTimeParameterType>
<ArrayParameterType name="Grid" arrayTypeRef="Spline8"><DimensionList>
 <Dimension><StartingIndex><FixedValue>0</FixedValue></StartingIndex>
  <EndingIndex><FixedValue>1</FixedValue></EndingIndex></Dimension>
 <Dimension><StartingIndex><FixedValue>1</FixedValue></StartingIndex>
  <EndingIndex><FixedValue>3</FixedValue></EndingIndex></Dimension></DimensionList>
</ArrayParameterType>
<AggregateParameterType name="Inner"><MemberList><Member name="c" typeRef="Step8"/>
 </MemberList></AggregateParameterType>
<AggregateParameterType name="Outer"><MemberList><Member name="a" typeRef="U8"/>
 <Member name="b" typeRef="Inner"/></MemberList></AggregateParameterType>
</ParameterTypeSet><ParameterSet>
 <Parameter name="H1" parameterTypeRef="U16"/><Parameter name="H2" parameterTypeRef="U16"/>
 <Parameter name="LEN" parameterTypeRef="U16"/><Parameter name="SEL" parameterTypeRef="U8"/>
 <Parameter name="X" parameterTypeRef="Ctx"/><Parameter name="S" parameterTypeRef="Spline8"/>
 <Parameter name="TIME" parameterTypeRef="Time"/><Parameter name="DT" parameterTypeRef="Span"/>
 <Parameter name="G" parameterTypeRef="Grid"/><Parameter name="AG" parameterTypeRef="Outer"/>
</ParameterSet><ContainerSet><SequenceContainer name="P"><EntryList>
 <ParameterRefEntry parameterRef="H1"/><ParameterRefEntry parameterRef="H2"/>
 <ParameterRefEntry parameterRef="LEN"/><ParameterRefEntry parameterRef="SEL"/>
 <ParameterRefEntry parameterRef="X"/><ParameterRefEntry parameterRef="S"/>
 <ParameterRefEntry parameterRef="TIME"/><ParameterRefEntry parameterRef="DT"/>
 <ParameterRefEntry parameterRef="G"/><ParameterRefEntry parameterRef="AG"/>
</EntryList></SequenceContainer></ContainerSet></TelemetryMetaData></SpaceSystem>"""

ROWS = {"SEL": [1, 0, 2], "X": [7, 7, 200], "S": [5, 15, 25], "TIME": [0, 3, 2**32 - 1],
        "DT": [1.5, -2.25, 0.0], "G": [[1, 2, 3, 4, 5, 6], [0, 10, 20, 30, 40, 50], [9] * 6],
        "AG.a": [1, 2, 3], "AG.b.c": [0, 9, 10]}


def packets():
    recipe = [{"name": n, "encoding": "unsigned", "bits": b, "byte_order": "big",
               "reverse_bits": False} for n, b in [("H1", 16), ("H2", 16), ("LEN", 16),
                                                   ("SEL", 8), ("X", 8), ("S", 8), ("TIME", 32)]]
    recipe.append({"name": "DT", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big",
                   "reverse_bits": False})
    recipe += [{"name": f"G{i}", "encoding": "unsigned", "bits": 8, "byte_order": "big",
                "reverse_bits": False} for i in range(6)]
    recipe += [{"name": n, "encoding": "unsigned", "bits": 8, "byte_order": "big",
                "reverse_bits": False} for n in ("AG.a", "AG.b.c")]
    layout = Layout(recipe)
    cols = {k: np.array(v) for k, v in ROWS.items() if k != "G"}
    cols.update({f"G{i}": np.array([g[i] for g in ROWS["G"]]) for i in range(6)})
    cols.update(H1=np.full(3, 0x0801), H2=np.full(3, 0xC000), LEN=np.full(3, layout.size - 7))
    return layout.pack(cols)


def test_types_calibrators_arrays_and_aggregates_decode_as_worked_out_by_hand():
    d = xtce.load(io.StringIO(DOC))
    raw = d.decode(packets())["P"]
    der = d.decode(packets(), derived=True)["P"]
    assert d.fields("P")[-4:] == ("DT", "G", "AG.a", "AG.b.c")
    assert raw["G"].shape == (3, 2, 3) and raw["G"][1].tolist() == [[0, 10, 20], [30, 40, 50]]
    assert raw["TIME"].tolist() == ROWS["TIME"] and raw["AG.b.c"].tolist() == [0, 9, 10]
    # SEL == 1 picks the context's 2x; otherwise 3x + SEL.
    assert der["X"].tolist() == [14.0, 21.0, 602.0]
    # Straight lines through (0, 0), (10, 100), (20, 150), and the last one past the end.
    assert der["S"].tolist() == [50.0, 125.0, 175.0]
    assert der["G"][1, 0].tolist() == [0.0, 100.0, 150.0]
    assert der["AG.b.c"].tolist() == [1.0, 1.0, 2.0]  # the last point at or below
    assert der["TIME"].tolist() == [10.0, 11.5, 10 + 0.5 * (2**32 - 1)]
    assert d.datetimes("TIME", der["TIME"])[1] == np.datetime64("1970-01-01T00:00:11.5", "ns")
    assert (d.datetimes("DT", der["DT"]) == np.array([1500, -2250, 0], "timedelta64[ms]")).all()


def test_splines_without_extrapolation_give_nan_outside_their_points():
    doc = DOC.replace('order="1" extrapolate="true"', 'order="1"')
    der = xtce.load(io.StringIO(doc)).decode(packets(), derived=True)["P"]
    assert np.isnan(der["S"][2]) and der["S"][1] == 125.0


@pytest.mark.parametrize("old, new, message", [
    ('baseType="Spline8"', 'baseType="Nope"', "unknown parameter type 'Nope'"),
    ('name="Inner"><MemberList><Member name="c" typeRef="Step8"',
     'name="Inner"><MemberList><Member name="c" typeRef="Outer"', "made of itself"),
    ('<Operator>*</Operator>', '<Operator>**</Operator>', "math operator '\\*\\*'"),
    ('order="0"', 'order="2"', "splines of order 2"),
    ('<Epoch>UNIX</Epoch>', '<Epoch>someday</Epoch>', "'someday' is not an epoch"),
    ('parameterRef="SEL"/><Operator>', 'parameterRef="DT"/><Operator>',
     "its calibration refers to 'DT', which is not decoded before it"),
])
def test_refusals(old, new, message):
    assert old in DOC
    with pytest.raises(xtce.XtceError, match=message):
        xtce.load(io.StringIO(DOC.replace(old, new)), strict=True)


ENTRIES = f"""<SpaceSystem name="E" xmlns="{xtce.XTCE_1_2}"><TelemetryMetaData><ParameterTypeSet>
<IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
{U8.format("U8", "")}
<IntegerParameterType name="R4"><IntegerDataEncoding sizeInBits="4"
 bitOrder="leastSignificantBitFirst"/></IntegerParameterType>
<BooleanParameterType name="YN" zeroStringValue="N" oneStringValue="Y"><StringDataEncoding>
 <SizeInBits><Fixed><FixedValue>8</FixedValue></Fixed></SizeInBits></StringDataEncoding>
</BooleanParameterType></ParameterTypeSet><ParameterSet>
 <Parameter name="H1" parameterTypeRef="U16"/><Parameter name="H2" parameterTypeRef="U16"/>
 <Parameter name="LEN" parameterTypeRef="U16"/><Parameter name="N" parameterTypeRef="U8"/>
 <Parameter name="B" parameterTypeRef="YN"/><Parameter name="R" parameterTypeRef="R4"/>
 <Parameter name="V" parameterTypeRef="U8"/><Parameter name="W" parameterTypeRef="U8"/>
</ParameterSet><ContainerSet><SequenceContainer name="P"><EntryList>
 <ParameterRefEntry parameterRef="H1"/><ParameterRefEntry parameterRef="H2"/>
 <ParameterRefEntry parameterRef="LEN"/><ParameterRefEntry parameterRef="N"/>
 <ParameterRefEntry parameterRef="B"/><ParameterRefEntry parameterRef="R"><RepeatEntry><Count>
  <FixedValue>2</FixedValue></Count></RepeatEntry></ParameterRefEntry>
 <ParameterRefEntry parameterRef="V"><RepeatEntry><Count><DynamicValue>
  <ParameterInstanceRef parameterRef="N"/></DynamicValue></Count></RepeatEntry>
 </ParameterRefEntry>
 <ParameterRefEntry parameterRef="W"><LocationInContainerInBits referenceLocation="containerStart">
  <FixedValue>48</FixedValue></LocationInContainerInBits></ParameterRefEntry>
</EntryList></SequenceContainer></ContainerSet></TelemetryMetaData></SpaceSystem>"""


def test_repeats_locations_bit_order_and_text_booleans():
    # Packets of N = 2 and N = 0 values after the header, N, B and two 4-bit R's.
    one = bytes([0x08, 0x01, 0xC0, 0x00, 0x00, 4, 2]) + b"Y" + bytes([0x1E, 7, 9])
    two = bytes([0x08, 0x01, 0xC0, 0x00, 0x00, 2, 0]) + b"N" + bytes([0x80])
    d = xtce.load(io.StringIO(ENTRIES))
    raw = d.decode(one + two)["P"]
    der = d.decode(one + two, derived=True)["P"]
    # 0x1E: bits 0001 and 1110 read least significant first, 8 and 7.
    assert raw["R"].tolist() == [[8, 7], [1, 0]]
    assert [v.tolist() for v in raw["V"]] == [[7, 9], []]
    assert raw["W"].tolist() == [2, 0]  # bit 48 is N again
    assert raw["B"].tolist() == ["Y", "N"] and der["B"].tolist() == [True, False]

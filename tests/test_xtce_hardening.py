"""bitweave_columns.xtce on hostile documents and packets: sizes past any packet, packets that
cannot be read among good ones, absurd or circular documents, mistaken arguments. Each case is
a small contrived document and stream; a bad packet is reported, never the end of a decode."""
import io
import math
import random
import struct
import warnings

import numpy as np
import pytest

from bitweave_columns import xtce


def doc(types="", params="", entries="", containers=""):
    """Container P: a 48-bit header H, then `entries`; A is an 8-bit unsigned parameter."""
    return f"""<SpaceSystem name="T" xmlns="{xtce.XTCE_1_2}"><TelemetryMetaData><ParameterTypeSet>
<IntegerParameterType name="U48"><IntegerDataEncoding sizeInBits="48"/></IntegerParameterType>
<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>
{types}</ParameterTypeSet><ParameterSet><Parameter name="H" parameterTypeRef="U48"/>
<Parameter name="A" parameterTypeRef="U8"/>{params}</ParameterSet><ContainerSet>
<SequenceContainer name="P"><EntryList><ParameterRefEntry parameterRef="H"/>{entries}
</EntryList></SequenceContainer>{containers}</ContainerSet></TelemetryMetaData></SpaceSystem>"""


def load(*args, strict=False, **kwargs):
    return xtce.load(io.StringIO(doc(*args, **kwargs)), strict=strict)


def packets(*bodies):
    return b"".join(struct.pack(">HHH", 0x0800, 0xC000 | i, len(b) - 1) + b
                    for i, b in enumerate(bodies))


IF_A = '<IncludeCondition><Comparison parameterRef="A" value="1"/></IncludeCondition>'
STRING = ('<StringParameterType name="{name}"><StringDataEncoding encoding="{cs}">{size}'
          '</StringDataEncoding></StringParameterType>')
TAGGED = '<Variable maxSizeInBits="800"><LeadingSize sizeInBitsOfSizeTag="{bits}"/></Variable>'
ENDED = '<Variable maxSizeInBits="800"><TerminationChar>{term}</TerminationChar></Variable>'
BIN = ('<BinaryParameterType name="Big"><BinaryDataEncoding><SizeInBits><FixedValue>{bits}'
       '</FixedValue></SizeInBits></BinaryDataEncoding></BinaryParameterType>')


@pytest.mark.parametrize("types, params, entries, body", [
    (STRING.format(name="S", cs="UTF-8", size=TAGGED.format(bits=64)),
     '<Parameter name="S" parameterTypeRef="S"/>',
     f'<ParameterRefEntry parameterRef="S">{IF_A}</ParameterRefEntry>',
     struct.pack(">Q", 2**63) + b"xy"),
    (STRING.format(name="S", cs="UTF-8", size=TAGGED.format(bits=64)),
     '<Parameter name="S" parameterTypeRef="S"/>',
     f'<ParameterRefEntry parameterRef="S">{IF_A}</ParameterRefEntry>', b"\xff" * 8 + b"xy"),
    (BIN.format(bits=2**63), '<Parameter name="B" parameterTypeRef="Big"/>',
     f'<ParameterRefEntry parameterRef="B">{IF_A}</ParameterRefEntry>', b"xy"),
    ("", '<Parameter name="Z" parameterTypeRef="U8"/>',
     f'<ParameterRefEntry parameterRef="Z">{IF_A}<LocationInContainerInBits><FixedValue>'
     f'{2**63}</FixedValue></LocationInContainerInBits></ParameterRefEntry>', b"xy"),
])
def test_sizes_past_any_packet_are_truncated_packets(types, params, entries, body):
    definition = load(types, params, '<ParameterRefEntry parameterRef="A"/>' + entries)
    decoded = definition.decode(packets(b"\x01" + body, b"\x00z"))
    assert decoded.truncated.packet_index.tolist() == [0]
    assert decoded["P"]["packet_index"].tolist() == [1] and decoded["P"]["A"].tolist() == [0]


def test_a_packet_that_cannot_be_read_is_reported_by_its_stream_number():
    bcd = ('<IntegerParameterType name="D"><IntegerDataEncoding encoding="BCD" sizeInBits="8"/>'
           '</IntegerParameterType>')
    fixed = STRING.format(name="F", cs="US-ASCII", size='<SizeInBits><Fixed><FixedValue>24'
                          '</FixedValue></Fixed><TerminationChar>00</TerminationChar></SizeInBits>')
    definition = load(bcd + fixed, '<Parameter name="D" parameterTypeRef="D"/>'
                      '<Parameter name="F" parameterTypeRef="F"/>',
                      f'<ParameterRefEntry parameterRef="A"/><ParameterRefEntry parameterRef="D">'
                      f'{IF_A}</ParameterRefEntry><ParameterRefEntry parameterRef="F"/>')
    bodies = [b"\x00ab\x00"] * 1000
    bodies[7] = b"\x01\x0fab\x00"  # an invalid BCD digit, read with packets 7 and 9 alone
    bodies[9] = b"\x01\x05ab\x00"
    bodies[500] = b"\x00abc"  # no terminator in its buffer
    decoded = definition.decode(packets(*bodies))
    assert decoded.invalid.packet_index.tolist() == [7, 500]
    assert decoded.invalid.first_errors[0].startswith("packet 7 (byte 70), 'D': Invalid BCD")
    assert "packet 500" in decoded.invalid.first_errors[1] and "terminator" in \
        decoded.invalid.first_errors[1]
    table = decoded["P"]
    assert len(table["F"]) == 998 and set(table["F"].tolist()) == {"ab"}
    assert table["D"].compressed().tolist() == [5]
    # Fed in pieces, the messages still count from the start of the stream.
    from bitweave_columns import StreamDecoder
    stream, decoder = packets(*bodies), StreamDecoder(definition)
    fed = [decoder.feed(stream[at:at + 3001]) for at in range(0, len(stream), 3001)]
    assert [m for f in fed for m in f.invalid.first_errors] == list(decoded.invalid.first_errors)


@pytest.mark.parametrize("charset, term, unit", [("UTF-16", "0000", 2), ("UTF-32", "00000000", 4),
                                                 ("UTF-16LE", "0000", 2)])
def test_empty_wide_strings(charset, term, unit):
    types = (STRING.format(name="T", cs=charset, size=ENDED.format(term=term))
             + STRING.format(name="L", cs=charset, size=TAGGED.format(bits=8)))
    definition = load(types, '<Parameter name="T" parameterTypeRef="T"/>'
                      '<Parameter name="L" parameterTypeRef="L"/>',
                      '<ParameterRefEntry parameterRef="T"/><ParameterRefEntry parameterRef="L"/>'
                      '<ParameterRefEntry parameterRef="A"/>')
    table = definition.decode(packets(b"\x00" * unit + b"\x00\x09"))["P"]
    assert (table["T"].tolist(), table["L"].tolist(), table["A"].tolist()) == ([""], [""], [9])


def test_a_parameter_decoded_again_on_a_condition_keeps_its_first_value_elsewhere():
    definition = load("", '<Parameter name="X" parameterTypeRef="U8"/>',
                      '<ParameterRefEntry parameterRef="A"/><ParameterRefEntry parameterRef="X"/>'
                      f'<ParameterRefEntry parameterRef="X">{IF_A}</ParameterRefEntry>')
    table = definition.decode(packets(b"\x00\x05", b"\x01\x05\x06", b"\x00\x07"))["P"]
    assert not np.ma.isMaskedArray(table["X"]) and table["X"].tolist() == [5, 6, 7]


def enumerated(values, ranges=(), encoding='<FloatDataEncoding sizeInBits="64"/>'):
    items = "".join(f'<Enumeration value="{v}" label="{v}"/>' for v in values) + "".join(
        f'<Enumeration value="{lo}" maxValue="{hi}" label="r{i}"/>' for i, (lo, hi) in
        enumerate(ranges))
    return load(f'<EnumeratedParameterType name="E">{encoding}<EnumerationList>{items}'
                '</EnumerationList></EnumeratedParameterType>',
                '<Parameter name="V" parameterTypeRef="E"/>', '<ParameterRefEntry parameterRef="V"/>')


def test_labels_with_a_nan_value():
    definition = enumerated(["2.5", "NaN", "1.0", "-1"])
    values = [1.0, 2.5, -1.0, math.nan, 7.0]
    table = definition.decode(packets(*(struct.pack(">d", v) for v in values)), derived=True)["P"]
    assert table["V"].tolist() == ["1.0", "2.5", "-1", "NaN", None]


@pytest.mark.parametrize("encoding, pack, draw", [
    ('<IntegerDataEncoding sizeInBits="16" encoding="twosComplement"/>', ">h",
     lambda rng: rng.randrange(-400, 400)),
    ('<FloatDataEncoding sizeInBits="64"/>', ">d", lambda rng: rng.choice(
        [rng.uniform(-400, 400), float(rng.randrange(-400, 400)), math.inf, -math.inf, math.nan])),
])
def test_label_ranges_equal_the_first_range_that_holds_a_value(encoding, pack, draw):
    rng = random.Random(5)
    bound = lambda: rng.choice([rng.randrange(-300, 300), rng.uniform(-300, 300) // 0.5 * 0.5])
    ranges = [tuple(sorted((bound(), bound()))) for _ in range(60)] + [(250, "INF"), ("-INF", -299)]
    definition = enumerated(["7"], ranges, encoding)
    values = [draw(rng) for _ in range(3000)] + [7, 250, -299, 300]
    table = definition.decode(packets(*(struct.pack(pack, v) for v in values)), derived=True)["P"]

    def label(v):  # a single value first, then the first range, in the document's order
        if v == 7:
            return "7"
        return next((f"r{i}" for i, (lo, hi) in enumerate(ranges) if float(lo) <= v <= float(hi)),
                    None)

    assert table["V"].tolist() == [label(v) for v in values]


def polynomial(exponent, encoding='<IntegerDataEncoding sizeInBits="32"/>', kind="Integer",
               strict=False):
    return load(f'<{kind}ParameterType name="C">{encoding[:-2]}><DefaultCalibrator>'
                f'<PolynomialCalibrator><Term coefficient="1" exponent="{exponent}"/>'
                f'<Term coefficient="2" exponent="1"/></PolynomialCalibrator></DefaultCalibrator>'
                f'</{encoding[1:encoding.index(" ")]}></{kind}ParameterType>',
                '<Parameter name="V" parameterTypeRef="C"/>', '<ParameterRefEntry parameterRef="V"/>',
                strict=strict)


def test_powers_too_large_for_a_float_are_infinities():
    table = polynomial(40).decode(packets(b"\xff\xff\xff\xff", b"\x00\x00\x00\x03"),
                                  derived=True)["P"]
    assert table["V"].tolist() == [math.inf, 3.0 ** 40 + 6]
    floats = polynomial(401, '<FloatDataEncoding sizeInBits="64"/>', "Float")
    table = floats.decode(packets(*(struct.pack(">d", v) for v in (10.0, -10.0, 0.5))),
                          derived=True)["P"]
    assert table["V"].tolist() == [math.inf, -math.inf, 0.5 ** 401 + 1.0]


COND = ('<IncludeCondition><BooleanExpression><Condition><ParameterInstanceRef parameterRef="A"/>'
        '<ComparisonOperator>==</ComparisonOperator><ParameterInstanceRef parameterRef="S"/>'
        '</Condition></BooleanExpression></IncludeCondition>')
DYN = ('<BinaryParameterType name="Dyn"><BinaryDataEncoding><SizeInBits><DynamicValue>'
       '<ParameterInstanceRef parameterRef="S"/></DynamicValue></SizeInBits></BinaryDataEncoding>'
       '</BinaryParameterType>')
S = STRING.format(name="Str", cs="UTF-8", size=TAGGED.format(bits=8))


def nested(depth, tag):
    return f"<{tag}>" * depth + '<Condition><ParameterInstanceRef parameterRef="A"/>' \
        '<ComparisonOperator>==</ComparisonOperator><Value>1</Value></Condition>' + f"</{tag}>" * depth


def chain(n, link):
    return "".join(f'<SequenceContainer name="C{i}">{link(i)}</SequenceContainer>' for i in range(n))


@pytest.mark.parametrize("exponent", ["nan", "inf", "1e400", "1e9", "-1", "1.5"])
def test_absurd_exponents_are_refused(exponent):
    with pytest.raises(xtce.XtceError, match=f"exponent='{exponent}'") as e:
        polynomial(exponent, strict=True)
    assert (e.value.element, e.value.line) == ("Term", 4)
    assert polynomial(exponent).unsupported  # without strict, only its container is refused


@pytest.mark.parametrize("types, params, entries, containers, message", [
    (S, '<Parameter name="S" parameterTypeRef="Str"/>',
     f'<ParameterRefEntry parameterRef="S"/><ParameterRefEntry parameterRef="A">{COND}'
     '</ParameterRefEntry>', "", "relates 'A' \\(number\\) to 'S' \\(text\\)"),
    (S + DYN, '<Parameter name="S" parameterTypeRef="Str"/><Parameter name="B" '
     'parameterTypeRef="Dyn"/>', '<ParameterRefEntry parameterRef="S"/>'
     '<ParameterRefEntry parameterRef="B"/>', "", "a size taken from string parameter 'S'"),
    ("", "", '<ParameterRefEntry parameterRef="A"/><ContainerRefEntry containerRef="Q"/>',
     '<SequenceContainer name="Q"><EntryList><ContainerRefEntry containerRef="Q"/></EntryList>'
     '</SequenceContainer>', "includes itself \\(Q -> Q\\)"),
    ("", "", "", chain(1200, lambda i: '<EntryList/>' + (
        f'<BaseContainer containerRef="C{i + 1}"/>' if i < 1199 else "")),
     "nest more than 100 deep"),
    ("", "", "", chain(1200, lambda i: '<EntryList>' + (
        f'<ContainerRefEntry containerRef="C{i + 1}"/>' if i < 1199 else "") + '</EntryList>'),
     "nest more than 100 deep"),
    ("", "", '<ParameterRefEntry parameterRef="A"/><ParameterRefEntry parameterRef="A">'
     f'<IncludeCondition><BooleanExpression>{nested(1200, "ANDedConditions")}'
     '</BooleanExpression></IncludeCondition></ParameterRefEntry>', "",
     "conditions nest more than 100 deep"),
])
def test_documents_that_would_fail_a_decode_are_refused(types, params, entries, containers,
                                                        message):
    with pytest.raises(xtce.XtceError, match=message):
        load(types, params, entries, containers, strict=True)
    assert load(types, params, entries, containers).unsupported


def test_sources_and_data_of_every_kind(tmp_path):
    text = doc(entries='<ParameterRefEntry parameterRef="A"/>')
    with pytest.raises(xtce.XtceError, match=r"pass the text as io.StringIO\(text\)"):
        xtce.load(text)
    with pytest.raises(xtce.XtceError, match="cannot read the document"):
        xtce.load(tmp_path / "missing.xml")
    definition = xtce.load(io.StringIO(text))
    stream = packets(b"\x05", b"\x06")
    (tmp_path / "p.bin").write_bytes(b"junk" + stream)
    with open(tmp_path / "p.bin", "rb") as f:
        f.seek(4)
        assert definition.decode(f)["P"]["A"].tolist() == [5, 6]
    assert definition.decode(io.BytesIO(stream))["P"]["A"].tolist() == [5, 6]
    with pytest.raises(TypeError, match="contiguous"):
        definition.decode(np.frombuffer(stream * 2, np.uint8)[::2])
    with pytest.raises(TypeError, match="a path, a binary file object or a buffer"):
        definition.decode(5)


def test_a_decode_that_finds_little_says_why(tmp_path):
    definition = load(entries='<ParameterRefEntry parameterRef="A"/>')
    stream = packets(*[b"\x05"] * 50)
    (tmp_path / "d.xml").write_text(doc())
    records = b"".join(b"RECD" + stream[i:i + 7] for i in range(0, len(stream), 7))
    for data, skip, cause in [
            (stream, 4, "the data reads as 50 whole packets with skip_header_bytes=0"),
            (records, 0, "the data reads as 50 whole packets with skip_header_bytes=4"),
            (tmp_path / "d.xml", 0, "the data looks like XML"),
            (packets(b"\x05", b"\x05"), 0, None)]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            definition.decode(data, skip_header_bytes=skip)
        assert [str(w.message).split("; ")[1][:len(cause)] for w in caught] == (
            [cause] if cause else [])

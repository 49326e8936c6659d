"""Decode whole mission files from their XTCE documents: bitweave_columns.xtce against
space_packet_parser, the established pure-Python parser, on the same files.

    pip install ".[test]" space_packet_parser==6.2.0
    python benchmarks/bench_xtce.py [--rounds N] [--realdata DIR]

Data: ../shared/realdata (or --realdata, or BITWEAVE_REALDATA): JPSS-1 ATMS geolocation
(7,200 packets of one type, unaligned header fields, f32 payload) and IDEX science
(78 packets, layouts chosen by a type field in the payload, waveforms sized by the packet
length). Each side loads its document first (timed on its own); then each decodes the
whole file from memory, every packet into every parameter. bitweave's figure is the median
of --rounds runs; space_packet_parser's, which takes seconds, the median of --oracle-rounds.
Before any figure is printed, every value of every packet is checked equal on both sides:
raw values, and the derived ones (calibrated values, labels) against the parser's.
"""

import argparse
import io
import math
import os
import pathlib
import statistics
import sys
import time
import warnings
from importlib.metadata import version

from timing import REPO, fmt_time, print_table

import space_packet_parser as spp

from bitweave_columns import xtce

DATA_SETS = [
    ("JPSS-1 geolocation", "jpss/jpss1_geolocation_xtce_v1.xml",
     "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
    ("IDEX science", "idex/idex_combined_science_definition.xml",
     "idex/sciData_2023_052_14_45_05"),
]


def median_time(func, rounds):
    times = []
    result = None
    for _ in range(rounds):
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def oracle_parse(definition, data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # it warns of every IDEX packet longer than its fields
        return [definition.parse_bytes(p) for p in spp.ccsds_generator(io.BytesIO(data))]


def python_value(x):
    return x.item() if hasattr(x, "item") else x


def differences(raw, derived, packets):
    """Values where bitweave and the parser disagree (at most 5), and how many were compared."""
    where = {}
    for name, table in raw.items():
        for row, index in enumerate(table["packet_index"].tolist()):
            where[index] = (name, row)
    bad, compared = [], 0
    for index, packet in enumerate(packets):
        if index not in where:
            bad.append(f"packet {index}: not decoded")
            continue
        name, row = where[index]
        names = [k for k in raw[name] if k not in xtce.ROW_COLUMNS]
        if names != list(packet):
            bad.append(f"packet {index}: parameters {names} != {list(packet)}")
            continue
        for key, value in packet.items():
            want_raw = getattr(value, "raw_value", value)
            if isinstance(value, str) and not isinstance(want_raw, int):
                want_raw = value  # a string's raw value there is its whole buffer
            got_raw = python_value(raw[name][key][row])
            got = python_value(derived[name][key][row])
            for a, b in ((got_raw, want_raw), (got, value)):
                if not (a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))):
                    bad.append(f"packet {index} {key}: {a!r} != {b!r}")
            compared += 1
        if len(bad) >= 5:
            break
    return bad[:5], compared


def label_ranges(rounds, ranges=4000, packets=80_000):
    """An enumeration of `ranges` value ranges over `packets` packets: the derived decode
    (every value labelled) against the raw one, which reads the same bits."""
    import bitweave

    items = "".join(f'<Enumeration value="{10 * i}" maxValue="{10 * i + 9}" label="R{i}"/>'
                    for i in range(ranges))
    doc = f"""<SpaceSystem name="L" xmlns="{xtce.XTCE_1_2}"><TelemetryMetaData>
<ParameterTypeSet><IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/>
</IntegerParameterType><EnumeratedParameterType name="E"><IntegerDataEncoding sizeInBits="16"/>
<EnumerationList>{items}</EnumerationList></EnumeratedParameterType></ParameterTypeSet>
<ParameterSet><Parameter name="H" parameterTypeRef="U16"/><Parameter name="L"
parameterTypeRef="U16"/><Parameter name="S" parameterTypeRef="U16"/><Parameter name="V"
parameterTypeRef="E"/></ParameterSet><ContainerSet><SequenceContainer name="P"><EntryList>
<ParameterRefEntry parameterRef="H"/><ParameterRefEntry parameterRef="S"/>
<ParameterRefEntry parameterRef="L"/><ParameterRefEntry parameterRef="V"/></EntryList>
</SequenceContainer></ContainerSet></TelemetryMetaData></SpaceSystem>"""
    definition = xtce.load(io.StringIO(doc))
    u16 = {"encoding": "unsigned", "bits": 16, "byte_order": "big", "reverse_bits": False}
    data = b"".join(bitweave.pack_parameters([
        {**u16, "name": "H", "value": 0x0801}, {**u16, "name": "S", "value": 0xC000},
        {**u16, "name": "L", "value": 1}, {**u16, "name": "V", "value": (7 * i) % (10 * ranges)}])
        for i in range(packets))
    labels = definition.decode(data, derived=True)["P"]["V"]
    assert labels[1] == "R0" and labels[2] == "R1", labels[:3]
    t_raw, _ = median_time(lambda: definition.decode(data), rounds)
    t_derived, _ = median_time(lambda: definition.decode(data, derived=True), rounds)
    print(f"\nLabel ranges: {ranges} ranges over {packets:,} packets: derived decode "
          f"{fmt_time(t_derived)}, raw {fmt_time(t_raw)}, derived / raw {t_derived / t_raw:.2f}")


def one_packet(definition, oracle, data, rounds, title):
    """One packet at a time: decode_packet against space_packet_parser's parse_bytes, and a
    whole decode call of that one packet (the fixed cost of a call)."""
    from bitweave_columns import ccsds_index

    index = ccsds_index(data)
    start, size = int(index["offset"][1]), int(index["length"][1])
    packet = data[start:start + size]
    name, values = definition.decode_packet(packet)
    assert values == {k: python_value(v.raw_value) for k, v in oracle.parse_bytes(packet).items()
                      if k in values}, "decode_packet differs from parse_bytes"
    n = 2000
    t_one = min(timeit_loop(lambda: definition.decode_packet(packet), n) for _ in range(rounds))
    t_call = min(timeit_loop(lambda: definition.decode(packet), n // 10) for _ in range(rounds))
    t_spp = min(timeit_loop(lambda: oracle.parse_bytes(packet), n // 10) for _ in range(rounds))
    return [title, f"{len(values)}", fmt_time(t_one), fmt_time(t_call), fmt_time(t_spp),
            f"{t_spp / t_one:.0f}x", f"{t_spp / t_call:.1f}x"]


def timeit_loop(func, n):
    t = time.perf_counter()
    for _ in range(n):
        func()
    return (time.perf_counter() - t) / n


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--oracle-rounds", type=int, default=3)
    parser.add_argument("--realdata", type=pathlib.Path, default=pathlib.Path(
        os.environ.get("BITWEAVE_REALDATA", REPO.parent / "shared" / "realdata")))
    args = parser.parse_args()

    import bitweave_columns

    print(f"Python {sys.version.split()[0]}, numpy {version('numpy')}, space_packet_parser "
          f"{version('space_packet_parser')}, bitweave_columns from {bitweave_columns.__file__}")
    rows, loads, singles, failed = [], [], [], False
    for title, xml_name, data_name in DATA_SETS:
        xml_path, data_path = args.realdata / xml_name, args.realdata / data_name
        data = data_path.read_bytes()
        load_bw, definition = median_time(lambda: xtce.load(xml_path), args.rounds)
        load_spp, oracle = median_time(lambda: spp.load_xtce(xml_path), args.rounds)
        loads.append([title, fmt_time(load_bw), fmt_time(load_spp)])

        raw = definition.decode(data)
        derived = definition.decode(data, derived=True)
        packets = oracle_parse(oracle, data)
        bad, compared = differences(raw, derived, packets)
        if bad:
            failed = True
            print(f"\n{title}: values differ\n  " + "\n  ".join(bad))
            continue
        print(f"{title}: {len(packets)} packets, {compared} values equal on both sides "
              f"(raw and derived)")

        singles.append(one_packet(definition, oracle, data, args.rounds, title))
        t_bw, _ = median_time(lambda: definition.decode(data), args.rounds)
        t_spp, _ = median_time(lambda: oracle_parse(oracle, data), args.oracle_rounds)
        n = len(packets)
        rows.append([title, f"{n}", f"{compared}",
                     fmt_time(t_bw), f"{t_bw / n * 1e6:.2f} us", f"{t_bw / compared * 1e9:.1f} ns",
                     fmt_time(t_spp), f"{t_spp / n * 1e6:.1f} us",
                     f"{t_spp / compared * 1e9:.0f} ns", f"{t_spp / t_bw:.0f}x"])

    print("\nWhole-file decode (document loaded beforehand)\n")
    print_table(["file", "packets", "fields", "bitweave", "per packet", "per field",
                 "space_packet_parser", "per packet", "per field", "speed-up"], rows)
    print("\nOne packet (the second of the file): decode_packet, a decode call of that packet, "
          "space_packet_parser's parse_bytes\n")
    print_table(["file", "fields", "decode_packet", "decode(packet)", "parse_bytes",
                 "decode_packet speed-up", "decode speed-up"], singles)
    print("\nDocument load\n")
    print_table(["document", "bitweave", "space_packet_parser"], loads)
    label_ranges(args.rounds)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

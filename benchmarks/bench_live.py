"""Live telemetry: StreamDecoder against one decode of the whole stream, and the TM frame walk
against a copy of the same bytes, as ratios measured side by side.

    python benchmarks/bench_live.py [--packets N] [--rounds R]

1. StreamDecoder fed 64 KiB chunks of a mixed stream (three APIDs, by layouts) and of the
   JPSS-1 file repeated (through its XTCE definition), against one decode of the whole
   stream (Layout.unpack by offsets per APID after ccsds_index; Definition.decode).
   Target: the chunked feed at least 0.8 times the speed of the whole decode.
2. tm_packets over TM frames of 1115 bytes (with their CRC) carrying the mixed stream,
   against a numpy copy of the frames in this process and the floor's memcpy of its own
   archive. Target: at least 1 GB/s of frames.

Timings are medians of interleaved rounds.
"""
import argparse
import binascii
import sys

import numpy as np
from bench_streams import floor_memcpy, interleave, layout_of, packets_of
from timing import REPO, fmt_time, print_table, race

from bitweave_columns import StreamDecoder, ccsds_index, xtce
from bitweave_columns.frames import tm_packets

JPSS = REPO.parent / "shared" / "corpus" / "space_packet_parser" / "jpss"
CHUNK = 64 * 1024


def mixed_stream(packets):
    rng = np.random.default_rng(2)
    layouts = [layout_of(size, seed) for seed, size in enumerate((32, 24, 40))]
    order = rng.choice(3, packets, p=[0.5, 0.3, 0.2])
    arrays = [packets_of(layout, 0x100 + k, int((order == k).sum()), rng)
              for k, layout in enumerate(layouts)]
    return {0x100 + k: layout for k, layout in enumerate(layouts)}, interleave(arrays, order)


def whole_by_layouts(layouts, stream):
    index = ccsds_index(stream)
    out = {}
    for apid, layout in layouts.items():
        at = np.flatnonzero(index["apid"] == apid)
        out[apid] = layout.unpack(stream, offsets=index["offset"][at], lengths=index["length"][at])
    return out


def fed(layouts, stream, **options):
    decoder = StreamDecoder(layouts, **options)
    view = memoryview(stream)
    parts = [decoder.feed(view[at:at + CHUNK]) for at in range(0, len(stream), CHUNK)]
    parts.append(decoder.close())
    return parts


def tm_frames(packets, length):
    zone, starts, frames = length - 8, ccsds_index(packets)["offset"], []
    n = -(-len(packets) // zone)
    first = np.searchsorted(starts, np.arange(n) * zone)  # the first packet at or after
    for k in range(n):
        pos = k * zone
        s = int(starts[first[k]]) if first[k] < len(starts) else 1 << 62
        fhp = s - pos if s < pos + zone else 0x7FF
        body = bytes([0, 2, 0, k & 0xFF]) + fhp.to_bytes(2, "big")
        body += packets[pos:pos + zone].ljust(zone, b"\xff")
        frames.append(body + binascii.crc_hqx(body, 0xFFFF).to_bytes(2, "big"))
    return b"".join(frames)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    layouts, stream = mixed_stream(args.packets)
    env = {"layouts": layouts, "stream": stream, "whole": whole_by_layouts, "fed": fed}
    contenders = [("whole", "whole(layouts, stream)", env), ("fed", "fed(layouts, stream)", env),
                  ("fed segmented", "fed(layouts, stream, segmented=True)", env)]
    rows = [("mixed", f"{args.packets:,} packets of three APIDs by layouts, "
                      f"{len(stream) / 1e6:.0f} MB", args.packets),
            ("segmented", "the same, with segmented=True (every packet through the joiner)",
             args.packets)]
    if JPSS.is_dir():
        definition = xtce.load(JPSS / "jpss1_geolocation_xtce_v1.xml")
        jpss = (JPSS / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1").read_bytes() * 20
        env.update(definition=definition, jpss=jpss)
        contenders += [("jpss whole", "definition.decode(jpss)", env),
                       ("jpss fed", "fed(definition, jpss)", env)]
        rows.append(("jpss", f"the JPSS-1 file 20 times ({len(jpss) // 71:,} packets, "
                             f"{len(jpss) / 1e6:.0f} MB) by its XTCE definition",
                     len(jpss) // 71))
    times = race(contenders, args.rounds, 0.5)
    print(f"\n1. StreamDecoder, {CHUNK // 1024} KiB chunks, against one decode of the whole "
          f"stream\n")
    table = []
    for key, what, packets in rows:
        w = times["jpss whole" if key == "jpss" else "whole"]
        f = times[{"mixed": "fed", "segmented": "fed segmented", "jpss": "jpss fed"}[key]]
        table.append([what, fmt_time(w), fmt_time(f), f"{w / packets * 1e9:.0f} ns",
                      f"{f / packets * 1e9:.0f} ns", f"{w / f:.2f}", ">= 0.8"])
    print_table(["stream", "whole decode", "fed in chunks", "whole a packet", "fed a packet",
                 "speed ratio", "target"], table)

    frames = tm_frames(stream, 1115)
    assert tm_packets(frames, 1115) == stream
    env = {"tm_packets": tm_packets, "frames": frames, "array": np.frombuffer(frames, np.uint8)}
    times = race([("walk", "tm_packets(frames, 1115)", env), ("copy", "array.copy()", env)],
                 args.rounds, 0.3)
    floor = floor_memcpy()
    walk = times["walk"]
    print(f"\n2. tm_packets over {len(frames) // 1115:,} TM frames of 1115 bytes "
          f"({len(frames) / 1e6:.0f} MB, CRC checked)\n")
    table = [["tm_packets", fmt_time(walk), f"{len(frames) / walk / 1e9:.2f}", "", ">= 1 GB/s"],
             ["numpy copy of the frames", fmt_time(times["copy"]),
              f"{len(frames) / times['copy'] / 1e9:.2f}", f"{walk / times['copy']:.2f}", ""]]
    if floor:
        table.append(["the floor's memcpy of its 32 MB archive", fmt_time(floor[0]),
                      f"{32e6 / floor[0] / 1e9:.2f}", f"{walk / (floor[0] * len(frames) / 32e6):.2f}",
                      ""])
    print_table(["work", "time", "GB/s", "walk / this", "target"], table)
    return 0


if __name__ == "__main__":
    sys.exit(main())

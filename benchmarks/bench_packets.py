"""Time bitweave's packet functions against bitstruct on the same packets.

    pip install ".[test]"          # bitweave and bitstruct
    python benchmarks/bench_packets.py [--rounds N] [--target-ms MS]

Packets: (a) a CCSDS primary header, (b) a 32-field housekeeping packet of unaligned
unsigned fields, (c) 1000 fields of 12 bits. Peers: bitstruct's C extension (bitstruct.c)
when it is installed, else its pure-Python module, both uncompiled (pack_dict/unpack_dict)
and compiled (compile(fmt, names).pack/unpack). Every peer's bytes and values are checked
against bitweave's before anything is timed. benchmarks/bench.py has the floor, the
cost per field, the allocations and the other peers.

Each figure is the median over rounds of timeit's time per call; the contenders of one
row are timed in turn inside every round (in rotating order), so that drift of the
machine touches them alike. Only ratios carry over between machines.
"""

import argparse
import sys

import bitweave
from timing import fmt_time, print_table, race

try:
    import bitstruct.c as bitstruct_impl

    BITSTRUCT_KIND = "bitstruct.c"
except ImportError:  # the C extension is optional in bitstruct's wheels
    import bitstruct as bitstruct_impl

    BITSTRUCT_KIND = "bitstruct (pure Python)"


# ---- the packets ----


class Case:
    """One packet layout: (name, bits, value) fields, all unsigned and big-endian."""

    def __init__(self, title, fields):
        self.title = title
        self.names = [name for name, _, _ in fields]
        self.values = {name: value for name, _, value in fields}
        self.fmt = "".join(f"u{bits}" for _, bits, _ in fields)
        self.unpack_recipe = [
            {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big",
             "reverse_bits": False}
            for name, bits, _ in fields
        ]
        self.pack_recipe = [dict(item, value=value)
                            for item, (_, _, value) in zip(self.unpack_recipe, fields)]
        self.packet = bitweave.pack_parameters(self.pack_recipe)
        self.compiled = bitstruct_impl.compile(self.fmt, self.names)


def ccsds_header():
    widths = [("version", 3, 0), ("type", 1, 0), ("sec_header_flag", 1, 1), ("apid", 11, 0x2A5),
              ("sequence_flags", 2, 3), ("sequence_count", 14, 12345),
              ("packet_data_length", 16, 255)]
    return Case("CCSDS header (7 fields, 48 bits)", widths)


def housekeeping():
    widths = [1, 3, 5, 7, 9, 11, 13, 2, 4, 6, 10, 12, 14, 16, 17, 3,
              5, 23, 1, 8, 31, 2, 9, 12, 4, 20, 6, 15, 1, 7, 24, 3]
    fields = [(f"hk{i:02d}", w, (0x9E3779B97F4A7C15 * (i + 1)) % (1 << w))
              for i, w in enumerate(widths)]
    return Case(f"housekeeping (32 fields, {sum(widths)} bits)", fields)


def wide_packet():
    fields = [(f"f{i:04d}", 12, (i * 2654435761) % 4096) for i in range(1000)]
    return Case("1000 x 12-bit fields", fields)


def check_agreement(case):
    """Every contender must produce the same bytes and values before it is timed."""
    bs = bitstruct_impl
    assert bitweave.unpack_parameters(case.packet, 0, case.unpack_recipe) == case.values
    assert bs.pack_dict(case.fmt, case.names, case.values) == case.packet, case.title
    assert case.compiled.pack(case.values) == case.packet, case.title
    assert bs.unpack_dict(case.fmt, case.names, case.packet) == case.values, case.title
    assert case.compiled.unpack(case.packet) == case.values, case.title


def bench_bitstruct(cases, rounds, target_s):
    bs = bitstruct_impl
    rows = []
    for case in cases:
        env = {"bw": bitweave, "bs": bs, "c": case}
        for op in ("pack", "unpack"):
            if op == "pack":
                contenders = [
                    ("bitweave", "bw.pack_parameters(c.pack_recipe)", env),
                    ("dict", "bs.pack_dict(c.fmt, c.names, c.values)", env),
                    ("compiled", "c.compiled.pack(c.values)", env),
                ]
            else:
                contenders = [
                    ("bitweave", "bw.unpack_parameters(c.packet, 0, c.unpack_recipe)", env),
                    ("dict", "bs.unpack_dict(c.fmt, c.names, c.packet)", env),
                    ("compiled", "c.compiled.unpack(c.packet)", env),
                ]
            t = race(contenders, rounds, target_s)
            rows.append([case.title, op, fmt_time(t["bitweave"]), fmt_time(t["dict"]),
                         fmt_time(t["compiled"]), f"{t['bitweave'] / t['dict']:.2f}",
                         f"{t['bitweave'] / t['compiled']:.2f}"])
    print(f"\nbitweave vs {BITSTRUCT_KIND} (median time per call; ratio < 1: bitweave faster)\n")
    print_table(["packet", "op", "bitweave", "bs dict", "bs compiled", "bw/dict",
                 "bw/compiled"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds per row (median)")
    parser.add_argument("--target-ms", type=float, default=20.0,
                        help="length of one timed run of one contender")
    args = parser.parse_args()

    cases = [ccsds_header(), housekeeping(), wide_packet()]
    for case in cases:
        check_agreement(case)
    print(f"Python {sys.version.split()[0]}, bitweave from {bitweave.__file__}")
    print(f"{BITSTRUCT_KIND} from {bitstruct_impl.__file__}")
    print(f"all contenders agree on bytes and values; {args.rounds} rounds per row")

    target_s = args.target_ms / 1000
    bench_bitstruct(cases, args.rounds, target_s)


if __name__ == "__main__":
    main()

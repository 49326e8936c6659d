"""Every speed figure of bitweave in one run: against its floor, against itself, and
against the other description-driven packers.

    pip install ".[test,bench]"     # bitweave, bitstruct, construct, bitstring
    ../shared/floor/build.sh python3 /tmp/bwfloor   # done here by itself when it can
    python benchmarks/bench.py [--rounds N] [--target-ms MS] [--quick]

1. bitweave / bwfloor. bwfloor does only what the calling contract forces on every call
   (argument binding, the dict lookups, the text views, result objects, one packet), so
   its time is the limit; the table gives each ratio next to its target.
2. Cost per field from 8 to 1000 fields, for pack and unpack: flat means no hidden
   quadratic work.
3. Heap allocations per numeric field, counted by valgrind (skipped without it).
4. The peers on a 32-field housekeeping packet with unaligned unsigned, signed, float
   and ASCII fields: bitstruct's C extension (dict API uncompiled and compiled),
   construct's BitStruct and bitstring. Each peer's bytes and values are checked against
   bitweave's before anything is timed.
5. The floor ratios of the packet functions as instruction counts (callgrind; skipped
   without valgrind), which do not move with the machine's load.

Times are medians over rounds; the contenders of one row are timed in turn inside each
round (in rotating order), so drift of the machine touches them alike. Only the ratios
carry over between machines.
"""

import argparse
import os
import platform
import shutil
import subprocess
import sys
import textwrap

import bitweave
from timing import fmt_time, load_floor, print_table, race

HERE = os.path.dirname(os.path.abspath(__file__))


def unsigned_recipe(n, bits=12):
    """n big-endian unsigned fields of `bits` bits, with values, and the packet."""
    pack = [{"name": f"f{i:04d}", "encoding": "unsigned", "bits": bits, "byte_order": "big",
             "reverse_bits": False, "value": (i * 2654435761) % (1 << bits)} for i in range(n)]
    unpack = [{k: v for k, v in item.items() if k != "value"} for item in pack]
    return pack, unpack, bitweave.pack_parameters(pack)


def mixed_text(size):
    """size bytes (or a few less) of telemetry-like UTF-8 in several scripts."""
    sample = ("TM frame 0x1A2B status=OK temp=21.5C; Température élevée, vérifier; "
              "Θερμοκρασία κανονική; Напряжение в норме; 姿勢制御系 正常; "
              "\U0001f6f0\U0001f4e1 link up\n").encode("utf-8")
    data = (sample * (size // len(sample) + 1))[:size]
    return data.decode("utf-8", "ignore").encode("utf-8")  # no sequence cut at the end


# ---- 1. the floor ----


def floor_table(floor, rounds, target_s):
    rows = []

    def row(work, ours, theirs, env, target):
        t = race([("bw", ours, env), ("floor", theirs, env)], rounds, target_s)
        ratio = t["bw"] / t["floor"]
        rows.append([work, fmt_time(t["bw"]), fmt_time(t["floor"]), f"{ratio:.3f}",
                     f"<= {target}", "met" if ratio <= target else "MISSED"])

    for n in (32, 1000):
        pack, unpack, packet = unsigned_recipe(n)
        assert floor.pack_floor(pack) == packet
        assert floor.unpack_floor(packet, 0, unpack) == bitweave.unpack_parameters(packet, 0, unpack)
        env = {"bw": bitweave, "fl": floor, "p": pack, "u": unpack, "b": packet}
        row(f"pack_parameters / pack_floor, {n} x u12", "bw.pack_parameters(p)",
            "fl.pack_floor(p)", env, 1.15)
        row(f"unpack_parameters / unpack_floor, {n} x u12", "bw.unpack_parameters(b, 0, u)",
            "fl.unpack_floor(b, 0, u)", env, 1.15)
    env = {"bw": bitweave, "fl": floor}
    row("encode_twos_complement(-5, 12) / noop2(-5, 12)", "bw.encode_twos_complement(-5, 12)",
        "fl.noop2(-5, 12)", env, 1.3)
    row("decode_twos_complement(0xB2E, 12) / noop2(-5, 12)",
        "bw.decode_twos_complement(0xB2E, 12)", "fl.noop2(-5, 12)", env, 1.3)
    data = mixed_text(1 << 20)
    assert bitweave.decode_utf8(data) == data.decode("utf-8")
    row("decode_utf8 / bytes.decode, 1 MiB mixed scripts", "bw.decode_utf8(d)",
        "d.decode('utf-8')", {"bw": bitweave, "d": data}, 1.1)
    print("\n1. bitweave / bwfloor (the cost of the calling contract alone is 1.00)\n")
    print_table(["work", "bitweave", "floor", "ratio", "target", ""], rows)


# ---- 2. cost per field ----


def per_field_table(floor, rounds, target_s):
    sizes = (8, 32, 128, 512, 1000)
    costs = {"pack": [], "unpack": []}
    rows = []
    for n in sizes:
        pack, unpack, packet = unsigned_recipe(n)
        env = {"bw": bitweave, "fl": floor, "p": pack, "u": unpack, "b": packet}
        contenders = [("pack", "bw.pack_parameters(p)", env),
                      ("unpack", "bw.unpack_parameters(b, 0, u)", env)]
        if floor is not None:
            contenders += [("pack_floor", "fl.pack_floor(p)", env),
                           ("unpack_floor", "fl.unpack_floor(b, 0, u)", env)]
        t = race(contenders, rounds, target_s)
        costs["pack"].append(t["pack"] / n)
        costs["unpack"].append(t["unpack"] / n)
        row = [str(n), fmt_time(t["pack"] / n), fmt_time(t["unpack"] / n)]
        if floor is not None:
            row += [f"{t['pack'] / t['pack_floor']:.3f}", f"{t['unpack'] / t['unpack_floor']:.3f}"]
        rows.append(row)
    print("\n2. Cost per field (time per call / fields), unsigned 12-bit fields\n")
    header = ["fields", "pack", "unpack"] + (["pack/floor", "unpack/floor"] if floor else [])
    print_table(header, rows)
    # The fixed cost of a call spreads over few fields at the small end, so flatness is
    # judged from 32 fields up, where it is below a few percent of the total.
    for op, c in costs.items():
        spread = max(c[1:]) / min(c[1:]) - 1
        print(f"{op}: cost per field from 32 to 1000 fields varies by {spread * 100:.1f}% "
              f"(target: within 10%); 8 fields: {c[0] / min(c[1:]):.2f} x the lowest")


# ---- 3. allocations per field ----

ALLOC_PROBE = textwrap.dedent("""
    import sys
    sys.path[:0] = {paths!r}
    import bitweave
    {floor_import}
    n, calls, op = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    pack = [{{"name": "f%04d" % i, "encoding": "unsigned", "bits": 12, "byte_order": "big",
             "reverse_bits": False, "value": 256 + i % 3000}} for i in range(n)]
    unpack = [{{k: v for k, v in d.items() if k != "value"}} for d in pack]
    packet = bitweave.pack_parameters(pack)
    fn = {{"pack": lambda: bitweave.pack_parameters(pack),
          "unpack": lambda: bitweave.unpack_parameters(packet, 0, unpack),
          "pack_floor": lambda: bwfloor.pack_floor(pack),
          "unpack_floor": lambda: bwfloor.unpack_floor(packet, 0, unpack)}}[op]
    for _ in range(calls):
        fn()
""")


def heap_allocations(script, n, calls, op):
    """Total heap allocations of one probe process, as valgrind's memcheck counts them."""
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONHASHSEED="0")
    run = subprocess.run(["valgrind", "--tool=memcheck", "--leak-check=no",
                          os.path.realpath(sys.executable), "-c", script, str(n), str(calls), op],
                         capture_output=True, text=True, env=env)
    for line in run.stderr.splitlines():
        if "total heap usage:" in line:
            return int(line.split("total heap usage:")[1].split("allocs")[0].replace(",", ""))
    raise RuntimeError(f"valgrind printed no heap summary:\n{run.stderr[-2000:]}")


def allocation_table(floor, floor_dir):
    if shutil.which("valgrind") is None:
        print("\n3. Allocations per field: skipped (valgrind is not installed)")
        return
    paths = [os.path.dirname(bitweave.__file__)] + ([floor_dir] if floor else [])
    script = ALLOC_PROBE.format(paths=paths,
                                floor_import="import bwfloor" if floor else "bwfloor = None")
    ops = ["pack", "unpack"] + (["pack_floor", "unpack_floor"] if floor else [])
    calls, small, large = 20, 32, 1000
    rows = []
    for op in ops:
        # The difference between 20 calls and none removes the interpreter's start-up; the
        # difference between 1000 fields and 32 removes the per-call allocations.
        per_call = {}
        for n in (small, large):
            per_call[n] = (heap_allocations(script, n, calls, op) -
                           heap_allocations(script, n, 0, op)) / calls
        per_field = (per_call[large] - per_call[small]) / (large - small)
        rows.append([op, f"{per_call[small]:.1f}", f"{per_call[large]:.1f}", f"{per_field:.3f}"])
    print("\n3. Heap allocations (valgrind memcheck, PYTHONMALLOC=malloc), values >= 256\n")
    print_table(["function", f"per call, {small} fields", f"per call, {large} fields",
                 "per field"], rows)
    print("(unpack's one per field is the result's int object, which the floor makes too)")


def instructions(script, n, calls, op, symbol):
    """Instructions executed inside `symbol` over `calls` calls, as callgrind counts them."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          "--collect-atstart=no", f"--toggle-collect={symbol}",
                          os.path.realpath(sys.executable), "-c", script, str(n), str(calls), op],
                         capture_output=True, text=True, env=env)
    for line in run.stderr.splitlines():
        if "Collected :" in line:
            count = int(line.split("Collected :")[1])
            if count == 0:  # the symbol was never entered: a stripped module has none
                raise RuntimeError(f"callgrind found no {symbol}: install bitweave with "
                                   "-C install.strip=false to keep its symbols")
            return count
    raise RuntimeError(f"callgrind printed no count:\n{run.stderr[-2000:]}")


def instruction_table(floor, floor_dir):
    """The floor ratios again as instruction counts, which the machine's load cannot move."""
    if shutil.which("valgrind") is None or floor is None:
        print("\n5. Instruction counts: skipped (needs valgrind and bwfloor)")
        return
    paths = [os.path.dirname(bitweave.__file__), floor_dir]
    script = ALLOC_PROBE.format(paths=paths, floor_import="import bwfloor")
    rows = []
    for n in (32, 1000):
        for op, symbol, floor_symbol in [("pack", "*pack_parameters*", "pack_floor"),
                                         ("unpack", "*unpack_parameters*", "unpack_floor")]:
            ours = instructions(script, n, 50, op, symbol)
            theirs = instructions(script, n, 50, f"{op}_floor", floor_symbol)
            rows.append([f"{op}, {n} x u12", f"{ours / 50 / n:.0f}", f"{theirs / 50 / n:.0f}",
                         f"{ours / theirs:.3f}"])
    print("\n5. Instructions per field (callgrind), bitweave / bwfloor\n")
    print_table(["work", "bitweave", "floor", "ratio"], rows)


# ---- 4. the peers ----

HOUSEKEEPING = [  # (name, kind, bits, value): kind u = unsigned, s = signed, f = float, t = text
    ("version", "u", 3, 5), ("apid", "u", 11, 0x2A5), ("seq_count", "u", 14, 12345),
    ("mode", "u", 3, 6), ("temp_a", "s", 12, -1234), ("temp_b", "s", 9, 200),
    ("bus_v", "f", 32, 28.25), ("bus_i", "f", 32, -1.5), ("heater", "u", 1, 1),
    ("gyro_x", "s", 17, -65000), ("gyro_y", "s", 17, 40000), ("gyro_z", "s", 17, -7),
    ("status", "t", 32, "NOML"), ("errors", "u", 7, 99), ("wheel", "s", 15, -16000),
    ("quat_w", "f", 64, 0.7071067811865476), ("quat_x", "f", 32, 0.5), ("flags", "u", 5, 21),
    ("pressure", "u", 20, 1000000), ("bat_soc", "u", 7, 87), ("bat_t", "s", 10, -300),
    ("sun", "u", 2, 3), ("mag_x", "s", 13, -4000), ("mag_y", "s", 13, 4000), ("sat_id", "t", 24, "B42"),
    ("mag_z", "s", 13, 123), ("ctr", "u", 31, 2000000000), ("lat", "f", 32, 51.25),
    ("sw_rev", "u", 6, 42), ("cpu", "u", 7, 73), ("pad", "u", 11, 0), ("crc", "u", 16, 0xBEEF),
]


class Housekeeping:
    def __init__(self):
        encodings = {"u": "unsigned", "s": "twos_complement", "t": "us_ascii"}
        self.values = {name: value for name, _, _, value in HOUSEKEEPING}
        self.names = list(self.values)
        self.pack_recipe = [
            {"name": name, "bits": bits, "byte_order": "big", "reverse_bits": False,
             "encoding": encodings.get(kind, f"ieee754_f{bits}"), "value": value}
            for name, kind, bits, value in HOUSEKEEPING]
        self.unpack_recipe = [{k: v for k, v in item.items() if k != "value"}
                              for item in self.pack_recipe]
        self.packet = bitweave.pack_parameters(self.pack_recipe)
        self.fmt = "".join(f"{kind}{bits}" for _, kind, bits, _ in HOUSEKEEPING)


def peer_contenders(hk):
    """(label, pack stmt, unpack stmt, env) of every peer that is installed, after checking
    that it makes the same packet and reads back the same values."""
    out = []
    env = {"bw": bitweave, "hk": hk}
    assert bitweave.unpack_parameters(hk.packet, 0, hk.unpack_recipe) == hk.values
    out.append(("bitweave", "bw.pack_parameters(hk.pack_recipe)",
                "bw.unpack_parameters(hk.packet, 0, hk.unpack_recipe)", env))
    try:
        import bitstruct.c as bs
    except ImportError:
        print("(bitstruct's C extension is not installed: its rows are skipped)")
    else:
        compiled = bs.compile(hk.fmt, hk.names)
        assert bs.pack_dict(hk.fmt, hk.names, hk.values) == hk.packet
        assert bs.unpack_dict(hk.fmt, hk.names, hk.packet) == hk.values
        assert compiled.pack(hk.values) == hk.packet
        assert compiled.unpack(hk.packet) == hk.values
        env = {"bs": bs, "hk": hk, "cf": compiled}
        out.append(("bitstruct.c dict", "bs.pack_dict(hk.fmt, hk.names, hk.values)",
                    "bs.unpack_dict(hk.fmt, hk.names, hk.packet)", env))
        out.append(("bitstruct.c compiled", "cf.pack(hk.values)", "cf.unpack(hk.packet)", env))
    try:
        import construct as cs
    except ImportError:
        print("(construct is not installed: its row is skipped)")
    else:
        def field(name, kind, bits):
            if kind == "f":
                return name / cs.Bytewise({32: cs.Float32b, 64: cs.Float64b}[bits])
            if kind == "t":
                return name / cs.Bytewise(cs.PaddedString(bits // 8, "ascii"))
            return name / cs.BitsInteger(bits, signed=kind == "s")
        struct = cs.BitStruct(*[field(n, k, b) for n, k, b, _ in HOUSEKEEPING])
        assert struct.build(hk.values) == hk.packet
        parsed = struct.parse(hk.packet)
        assert {name: parsed[name] for name in hk.names} == hk.values
        env = {"st": struct, "hk": hk}
        out.append(("construct BitStruct", "st.build(hk.values)", "st.parse(hk.packet)", env))
    try:
        import bitstring
    except ImportError:
        print("(bitstring is not installed: its row is skipped)")
    else:
        kinds = {"u": "uint", "s": "int", "f": "floatbe", "t": "bytes"}
        fmt = ", ".join(f"{kinds[k]}:{b if k != 't' else b // 8}" for _, k, b, _ in HOUSEKEEPING)

        def bs_pack(values):
            return bitstring.pack(fmt, *[v.encode("ascii") if k == "t" else v
                                         for (_, k, _, _), v in zip(HOUSEKEEPING, values.values())]).bytes

        # Bits.from_bytes is the newer spelling of Bits(bytes=...).
        from_bytes = getattr(bitstring.Bits, "from_bytes", None) or (
            lambda b: bitstring.Bits(bytes=b))

        def bs_unpack(packet):
            raw = from_bytes(packet).unpack(fmt)
            return {name: v.decode("ascii") if k == "t" else v
                    for (name, k, _, _), v in zip(HOUSEKEEPING, raw)}

        assert bs_pack(hk.values) == hk.packet
        assert bs_unpack(hk.packet) == hk.values
        env = {"pk": bs_pack, "up": bs_unpack, "hk": hk}
        out.append(("bitstring", "pk(hk.values)", "up(hk.packet)", env))
    return out


def peer_table(rounds, target_s):
    hk = Housekeeping()
    contenders = peer_contenders(hk)
    times = {}
    for op, index in (("pack", 1), ("unpack", 2)):
        times[op] = race([(c[0], c[index], c[3]) for c in contenders], rounds, target_s)
    rows = [[label, fmt_time(times["pack"][label]), fmt_time(times["unpack"][label]),
             f"{times['pack']['bitweave'] / times['pack'][label]:.2f}",
             f"{times['unpack']['bitweave'] / times['unpack'][label]:.2f}"]
            for label, *_ in contenders]
    bits = sum(b for _, _, b, _ in HOUSEKEEPING)
    print(f"\n4. Peers on a {len(HOUSEKEEPING)}-field housekeeping packet ({bits} bits: unaligned "
          "unsigned, signed, float and ASCII fields); all agree on bytes and values\n")
    print_table(["packer", "pack", "unpack", "bw/peer pack", "bw/peer unpack"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds per row (median)")
    parser.add_argument("--target-ms", type=float, default=20.0,
                        help="length of one timed run of one contender")
    parser.add_argument("--quick", action="store_true", help="5 rounds of 5 ms, no valgrind")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.target_ms = 5, 5.0
    target_s = args.target_ms / 1000

    print(f"Python {platform.python_version()} ({sys.executable}) on {platform.machine()}, "
          f"{os.cpu_count()} cores; {platform.processor() or platform.platform()}")
    print(f"bitweave from {bitweave.__file__}; {args.rounds} rounds per row")
    floor = load_floor()
    if floor is not None:
        floor_table(floor, args.rounds, target_s)
    per_field_table(floor, args.rounds, target_s)
    floor_dir = os.path.dirname(floor.__file__) if floor else None
    if not args.quick:
        allocation_table(floor, floor_dir)
    peer_table(args.rounds, target_s)
    if not args.quick:
        instruction_table(floor, floor_dir)


if __name__ == "__main__":
    main()

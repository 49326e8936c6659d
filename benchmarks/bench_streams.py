"""Mixed packet streams: the index, decoding by offsets, and the Dask example, as ratios.

    pip install ".[test,dask]"
    python benchmarks/bench_streams.py [--packets N] [--rounds R] [--dask-packets N]

1. `ccsds_index` over a stream of 1,000,000 packets of 32 bytes (32 MB), against the time
   the floor program `decode_limit` (../shared/floor, built here with g++) reports for
   copying its own 32 MB archive, and against a numpy copy of the stream in this process.
   Target: index <= 5 x the floor's memcpy.
2. A stream of three APIDs (32, 24 and 40 bytes, interleaved) decoded by offsets from its
   index, against the same packets decoded as three contiguous arrays. Target: <= 1.5 x.
3. examples/archive_dask.py's archive decoded on a LocalCluster of one worker process and of
   one per usable core, against this process alone (Dask's synchronous scheduler), for whole
   frames sent back here and for per-minute means reduced on the workers; the cluster's wall
   time split into the client's graph work, the run on the workers (how much of it they
   spent computing, and how that compares with the same work alone) and the gathering of
   results.

Timings of 1 and 2 are medians of interleaved rounds; 3 is one run of each, after a warm-up.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np
from timing import FLOOR_DIR, REPO, fmt_time, print_table, race

from bitweave_columns import Layout, ccsds_index

sys.path.insert(0, str(REPO / "examples"))


def item(name, bits, encoding="unsigned"):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False}


HEADER = [item("version", 3), item("type", 1), item("sec_hdr", 1), item("apid", 11),
          item("seq_flags", 2), item("seq", 14), item("length", 16)]


def layout_of(size, seed):
    """A layout of `size` bytes: the primary header and fields of 1 to 32 bits."""
    rng = np.random.default_rng(seed)
    fields, left, k = [], 8 * size - 48, 0
    while left:
        bits = min(left, int(rng.integers(1, 33)))
        encoding = "twos_complement" if bits > 1 and k % 3 == 1 else "unsigned"
        fields.append(item(f"f{k}", bits, "ieee754_f32" if bits == 32 else encoding))
        left, k = left - bits, k + 1
    return Layout(HEADER + fields)


def packets_of(layout, apid, n, rng):
    values = {"version": 0, "type": 0, "sec_hdr": 0, "apid": apid, "seq_flags": 3,
              "seq": np.arange(n) % 16384, "length": layout.size - 7}
    for it in layout.recipe[len(HEADER):]:
        if it["encoding"] == "ieee754_f32":
            values[it["name"]] = rng.standard_normal(n).astype(np.float32)
        elif it["encoding"] == "unsigned":
            values[it["name"]] = rng.integers(0, 2 ** it["bits"], n, dtype=np.uint64)
        else:
            half = 2 ** (it["bits"] - 1)
            values[it["name"]] = rng.integers(-half, half, n)
    return np.frombuffer(layout.pack(values, n), np.uint8).reshape(n, layout.size)


def interleave(arrays, order):
    """One stream of packets from per-APID arrays of packets, in `order` (APID numbers)."""
    sizes = np.array([a.shape[1] for a in arrays])[order]
    starts = np.cumsum(sizes) - sizes
    out = np.empty(int(sizes.sum()), np.uint8)
    for k, a in enumerate(arrays):
        at = starts[order == k]
        out[at[:, None] + np.arange(a.shape[1])] = a
    return out.tobytes()


def floor_memcpy():
    """(memcpy seconds, decode ns per field) from decode_limit, or None when it cannot run."""
    source = FLOOR_DIR / "decode_limit.cpp"
    if not source.is_file():
        return None
    exe = os.path.join(tempfile.gettempdir(), "bw_decode_limit")
    built = subprocess.run(["g++", "-O2", "-std=c++20", str(source), "-o", exe],
                           capture_output=True, text=True)
    if built.returncode != 0:
        print(built.stderr)
        return None
    out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout
    memcpy = float(re.search(r"memcpy of the archive ([\d.]+) ms", out).group(1)) / 1e3
    return memcpy, float(re.search(r"decode: ([\d.]+) ns/field", out).group(1)), out.strip()


def bench_index(packets, rounds):
    rng = np.random.default_rng(1)
    stream = packets_of(layout_of(32, 1), 0x123, packets, rng).tobytes()
    env = {"ccsds_index": ccsds_index, "np": np, "stream": stream,
           "array": np.frombuffer(stream, np.uint8)}
    times = race([("index", "ccsds_index(stream)", env), ("copy", "array.copy()", env)],
                 rounds, 0.2)
    floor = floor_memcpy()
    rows = [["ccsds_index, 32-byte packets", fmt_time(times["index"]), "", ""],
            ["numpy copy of the stream (this process)", fmt_time(times["copy"]),
             f"{times['index'] / times['copy']:.2f}", ""]]
    if floor:
        rows.append(["decode_limit's memcpy of its archive", fmt_time(floor[0]),
                     f"{times['index'] / floor[0]:.2f}", "<= 5"])
    print(f"\n1. The index: {packets:,} packets of 32 bytes ({len(stream) / 1e6:.0f} MB)\n")
    print_table(["work", "time", "index / this", "target"], rows)
    print(f"   ({packets / times['index'] / 1e6:.0f} M packets/s, "
          f"{times['index'] / packets * 1e9:.1f} ns per packet)")
    if floor:
        print(f"   decode_limit: {floor[2]}")
    else:
        print(f"   (decode_limit not found or not built at {FLOOR_DIR})")


def bench_mixed(packets, rounds):
    rng = np.random.default_rng(2)
    layouts = [layout_of(size, seed) for seed, size in enumerate((32, 24, 40))]
    order = rng.choice(3, packets, p=[0.5, 0.3, 0.2])
    arrays = [packets_of(layout, 0x100 + k, int((order == k).sum()), rng)
              for k, layout in enumerate(layouts)]
    stream = interleave(arrays, order)
    index = ccsds_index(stream)
    assert index["tail"] == 0 and len(index["offset"]) == packets
    apids = [0x100 + k for k in range(3)]
    by_type = []
    for apid in apids:
        at = np.flatnonzero(index["apid"] == apid)
        by_type.append((index["offset"][at], index["length"][at]))
    contiguous = [a.tobytes() for a in arrays]
    env = {"layouts": layouts, "stream": stream, "by_type": by_type, "contiguous": contiguous,
           "ccsds_index": ccsds_index, "np": np, "apids": apids,
           "window": np.lib.stride_tricks.sliding_window_view}
    stmts = {
        "arrays": "[l.unpack(d) for l, d in zip(layouts, contiguous)]",
        "offsets": "[l.unpack(stream, offsets=o, lengths=n) for l, (o, n) in "
                   "zip(layouts, by_type)]",
        "gathered": "[l.unpack(window(np.frombuffer(stream, np.uint8), l.size)[o]) "
                    "for l, (o, n) in zip(layouts, by_type)]",
        "index+offsets": "i = ccsds_index(stream)\n"
                         "for l, apid in zip(layouts, apids):\n"
                         "    at = np.flatnonzero(i['apid'] == apid)\n"
                         "    l.unpack(stream, offsets=i['offset'][at], lengths=i['length'][at])",
    }
    # The same values both ways, before anything is timed.
    for layout, (o, n), data in zip(layouts, by_type, contiguous):
        x, y = layout.unpack(stream, offsets=o, lengths=n), layout.unpack(data)
        assert all(np.array_equal(x[k], y[k]) for k in x)
    times = race([(k, v, env) for k, v in stmts.items()], rounds, 0.3)
    fields = sum(len(layout.names) * len(o) for layout, (o, _) in zip(layouts, by_type))
    print(f"\n2. A mixed stream: {packets:,} packets of three APIDs (32, 24 and 40 bytes, "
          f"{fields:,} fields), {len(stream) / 1e6:.0f} MB\n")
    base = times["arrays"]
    print_table(["work", "time", "ns/field", "/ arrays", "target"], [
        ["three contiguous arrays, Layout.unpack(data)", fmt_time(base),
         f"{base / fields * 1e9:.2f}", "1.00", ""],
        ["the stream, unpack(offsets=, lengths=) per APID", fmt_time(times["offsets"]),
         f"{times['offsets'] / fields * 1e9:.2f}", f"{times['offsets'] / base:.2f}", "<= 1.5"],
        ["the same with the index and selection", fmt_time(times["index+offsets"]),
         f"{times['index+offsets'] / fields * 1e9:.2f}",
         f"{times['index+offsets'] / base:.2f}", ""],
        ["packets gathered by numpy, then unpack(data)", fmt_time(times["gathered"]),
         f"{times['gathered'] / fields * 1e9:.2f}", f"{times['gathered'] / base:.2f}", ""]])


def bench_dask(packets, workers):
    import dask
    from distributed import Client, LocalCluster, get_task_stream, wait

    import archive_dask as ex

    print(f"\n3. examples/archive_dask.py's archive, {packets:,} packets, on "
          f"{len(os.sched_getaffinity(0))} usable cores\n")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        paths, _ = ex.make_archive(tmp, packets, 4)
        for n in sorted({1, workers}):
            per = -(-packets // (4 * workers))
            with LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                frames = ex.make_frames(paths, per)  # also warms the workers up
                for what, make in (("whole frames", lambda: list(frames.values())),
                                   ("per-minute means", lambda: ex.per_minute(frames))):
                    t0 = time.perf_counter()
                    dask.compute(*make(), scheduler="sync")
                    alone = time.perf_counter() - t0
                    with get_task_stream(client) as stream:
                        t0 = time.perf_counter()
                        futures = client.compute(make())
                        t1 = time.perf_counter()
                        wait(futures)
                        t2 = time.perf_counter()
                        client.gather(futures)
                        t3 = time.perf_counter()
                    compute, transfer = ex.busy_seconds(stream.data)
                    rows.append([what, str(n), f"{alone:.2f} s", f"{t3 - t0:.2f} s",
                                 f"{alone / (t3 - t0):.2f}x", f"{t1 - t0:.2f} s",
                                 f"{t2 - t1:.2f} s", f"{compute / (n * (t2 - t1)):.0%}",
                                 f"{compute / alone:.2f}", f"{transfer:.2f} s",
                                 f"{t3 - t2:.2f} s"])
                    del futures
    print_table(["result", "workers", "alone", "cluster", "speed-up", "graph", "run", "busy",
                 "work x", "transfers", "gather"], rows)
    print("   alone: this process, Dask's synchronous scheduler; graph: the client's "
          "optimisation and submission\n   of the graph; run: until every result is ready; "
          "busy: the workers' task compute time over\n   workers x run; work x: that compute "
          "time over the time alone; transfers: data moved between\n   workers; gather: the "
          "results moved to this process.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--dask-packets", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}; load average "
          f"{os.getloadavg()[0]:.2f} at the start")
    bench_index(args.packets, args.rounds)
    bench_mixed(args.packets, args.rounds)
    try:
        import distributed  # noqa: F401

        import bitweave_columns.dask  # noqa: F401
    except ImportError:
        print('\n3. skipped: pip install "bitweave[dask]"')
        return
    bench_dask(args.dask_packets, args.workers)
    print(f"\nload average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()

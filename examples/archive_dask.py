"""Decode a mixed telemetry archive by packet type on a Dask cluster of worker processes.

    pip install ".[dask,plot]" && python examples/archive_dask.py [--packets N] [--files F]
        [--workers W] [--partition-packets P] [--plot PATH] [--archive DIR]

The archive is F files of CCSDS space packets of three APIDs, interleaved as a spacecraft
downlinks them, each packet behind a 4-byte ground-station record header:

    0x2A5 housekeeping  31 bytes, 17 fields, most of them straddling byte boundaries
    0x101 attitude      34 bytes, a time, a quaternion (f32) and body rates
    0x3C0 science       23 bytes, a format byte: 8 twelve-bit samples, or 3 f32 spectra,
                        so its layout is picked per packet by a function of the packet

The script

1. writes the archive with `Layout.pack`, from columns of known values,
2. starts a `distributed.LocalCluster` of worker processes and makes one dataframe per APID
   with `bitweave_columns.dask.read_packets` (one index pass per file, on the workers),
3. computes per-minute means of every APID's parameters, and then the whole frames, on the
   cluster with Dask's progress bar, and both again in this process alone (Dask's
   synchronous scheduler),
4. checks that both are identical and hold exactly the values that were written,
5. prints the timings and speed-ups, for per-minute means (reduced on the workers) and for
   whole frames (every row sent back here), with the share of the workers' time spent
   computing and moving data, and
6. saves a plot of two housekeeping parameters against time (with matplotlib).

The functions are importable (see tests/test_archive.py): make_archive(), make_frames(),
first_difference(), check_written(), plot() and main().
"""

import argparse
import importlib
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bitweave_columns import Layout

RECORD_HEADER = 4  # ground-station bytes before each packet: a receive counter
EPOCH = 1_700_000_000
ORBIT_SECONDS = 5400
HK, ATT, SCI = 0x2A5, 0x101, 0x3C0


def _items(fields):
    return [{"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
             "reverse_bits": False} for name, encoding, bits in fields]


PRIMARY = [("version", "unsigned", 3), ("type", "unsigned", 1), ("sec_header_flag", "unsigned", 1),
           ("apid", "unsigned", 11), ("sequence_flags", "unsigned", 2),
           ("sequence_count", "unsigned", 14), ("packet_data_length", "unsigned", 16)]
TIME = [("coarse_time", "unsigned", 32), ("fine_time", "unsigned", 16)]
LAYOUTS = {
    "hk": Layout(_items(PRIMARY + TIME + [
        ("battery_voltage_raw", "unsigned", 12), ("battery_current_raw", "twos_complement", 10),
        ("panel_temp", "ieee754_f32", 32), ("mode", "unsigned", 3), ("heater_on", "unsigned", 1),
        ("reaction_wheel_rpm", "twos_complement", 16), ("error_count", "unsigned", 7),
        ("status", "us_ascii", 64), ("spare", "unsigned", 7)])),
    "att": Layout(_items(PRIMARY + TIME + [
        ("q0", "ieee754_f32", 32), ("q1", "ieee754_f32", 32), ("q2", "ieee754_f32", 32),
        ("q3", "ieee754_f32", 32), ("rate_x", "twos_complement", 16),
        ("rate_y", "twos_complement", 16), ("rate_z", "twos_complement", 16)])),
    "wave": Layout(_items(PRIMARY + [("coarse_time", "unsigned", 32), ("format", "unsigned", 8)]
                          + [(f"sample_{k}", "unsigned", 12) for k in range(8)])),
    "spectrum": Layout(_items(PRIMARY + [("coarse_time", "unsigned", 32),
                                         ("format", "unsigned", 8)]
                              + [(f"band_{k}", "ieee754_f32", 32) for k in range(3)])),
}
STATUS = ("OFF     ", "SAFE    ", "IDLE    ", "CHARGING", "SLEWING ", "SCIENCE ")
PATTERN = np.array([HK, ATT, SCI, ATT, SCI, ATT, SCI, SCI])  # the downlink's rhythm
APIDS = {"hk": HK, "att": ATT, "wave": SCI, "spectrum": SCI}
FORMAT_AT = 10  # the science format byte: after the primary header and the coarse time


def pick_science(packet):
    """The science packet's layout, by its format byte."""
    return LAYOUTS["wave"] if packet[FORMAT_AT] == 0 else LAYOUTS["spectrum"]


def layouts():
    """What read_packets takes: a layout per APID, or a function that picks one."""
    return {HK: LAYOUTS["hk"], ATT: LAYOUTS["att"], SCI: pick_science}


# ---- writing ----


def _values(kind, i, apid):
    """Columns of simulated values for packets numbered i (stream order) of one kind."""
    n = len(i)
    head = {"version": 0, "type": 0, "sec_header_flag": 0, "apid": apid, "sequence_flags": 3,
            "sequence_count": np.arange(n) % 16384,
            "packet_data_length": LAYOUTS[kind].size - 7,
            "coarse_time": EPOCH + i // 8, "fine_time": (i % 8) * 8192}
    if kind == "hk":
        mode = (i // 4000) % len(STATUS)
        orbit = 2 * np.pi * (i / 8) / ORBIT_SECONDS
        temp = (np.round((20 + 35 * np.sin(orbit - 0.8)) * 8) / 8).astype(np.float32)
        return {**head, "battery_voltage_raw": (3400 + 400 * np.sin(orbit)).astype(int)
                + (i * 7) % 41 - 20,
                "battery_current_raw": (300 * np.cos(orbit)).astype(int), "panel_temp": temp,
                "mode": mode, "heater_on": (temp < 0).astype(np.uint8),
                "reaction_wheel_rpm": (i * 97) % 12001 - 6000, "error_count": (i // 5000) % 128,
                "status": np.array(STATUS, dtype=object)[mode], "spare": 0}
    if kind == "att":
        angle = i * 1e-5
        q = [np.cos(angle), np.sin(angle) * 0.6, np.sin(angle) * 0.8, np.zeros(n)]
        return {**head, **{f"q{k}": v.astype(np.float32) for k, v in enumerate(q)},
                "rate_x": i % 2001 - 1000, "rate_y": (i * 3) % 2001 - 1000, "rate_z": -(i % 300)}
    head.pop("fine_time")
    if kind == "wave":
        return {**head, "format": 0, **{f"sample_{k}": (i * (k + 1)) % 4096 for k in range(8)}}
    return {**head, "format": 1, **{f"band_{k}": (np.sqrt(i + k) * 0.5).astype(np.float32)
                                    for k in range(3)}}


def make_archive(folder, packets, files=4):
    """Writes `packets` packets over `files` files in `folder`; returns the paths and, per
    kind of packet, the columns that were written, in archive order."""
    apids = PATTERN[np.arange(packets) % len(PATTERN)]
    i = np.arange(packets)
    kinds = {"hk": apids == HK, "att": apids == ATT,
             "wave": (apids == SCI) & (i % 3 == 0), "spectrum": (apids == SCI) & (i % 3 != 0)}
    written = {kind: _values(kind, i[sel], APIDS[kind]) for kind, sel in kinds.items()}
    size = np.zeros(packets, np.int64)
    for kind, sel in kinds.items():
        size[sel] = RECORD_HEADER + LAYOUTS[kind].size
    ends = np.cumsum(size)
    stream = np.empty(int(ends[-1]) if packets else 0, np.uint8)
    starts = ends - size
    stream[starts[:, None] + np.arange(RECORD_HEADER)] = (
        (i[:, None] >> (8 * np.arange(RECORD_HEADER)[::-1])) & 0xFF)
    for kind, sel in kinds.items():
        layout = LAYOUTS[kind]
        packed = np.frombuffer(layout.pack(written[kind], int(sel.sum())), np.uint8)
        at = starts[sel] + RECORD_HEADER
        stream[at[:, None] + np.arange(layout.size)] = packed.reshape(-1, layout.size)
    # Files of whole records, cut at packet boundaries.
    cuts = [0] + [int(starts[k * packets // files]) for k in range(1, files)] + [len(stream)]
    paths = []
    for k in range(files):
        path = Path(folder) / f"downlink_{k:03d}.bin"
        path.write_bytes(stream[cuts[k]:cuts[k + 1]].tobytes())
        paths.append(path)
    return paths, written


# ---- decoding and checking ----


def make_frames(paths, partition_packets=None):
    """One Dask dataframe per APID, on the current scheduler."""
    from bitweave_columns.dask import DEFAULT_PARTITION_PACKETS, read_packets

    return read_packets(paths, layouts(), skip_header_bytes=RECORD_HEADER,
                        partition_packets=partition_packets or DEFAULT_PARTITION_PACKETS)


def _same(a, b):
    """Two pandas columns equal value for value, missing where the other is, of one type."""
    if a.dtype != b.dtype or len(a) != len(b):
        return False
    na = a.isna().to_numpy()
    return (na == b.isna().to_numpy()).all() and (a[~na].to_numpy() == b[~na].to_numpy()).all()


def first_difference(a, b):
    """None if two results (APID -> pandas DataFrame) are identical, else the first
    difference, named."""
    if list(a) != list(b):
        return f"APIDs differ: {list(a)} != {list(b)}"
    for apid in a:
        x, y = a[apid], b[apid]
        if list(x.columns) != list(y.columns) or not x.index.equals(y.index):
            return f"APID {apid:#x}: columns or packet numbers differ"
        for name in x.columns:
            if not _same(x[name], y[name]):
                return f"APID {apid:#x}, {name}: columns differ"
    return None


def check_written(result, written):
    """None if every decoded packet holds the values it was written with."""
    sci = result[SCI]
    parts = {"hk": result[HK], "att": result[ATT], "wave": sci[sci["format"] == 0],
             "spectrum": sci[sci["format"] == 1]}
    for kind, frame in parts.items():
        n = len(frame)
        for name, values in written[kind].items():
            want = np.broadcast_to(np.asarray(values), (n,))
            got = frame[name].to_numpy()
            if len(got) != len(want) or not (got == want).all():
                return f"{kind}, {name}: decoded values differ from the written ones"
    return None


def plot(result, path):
    """Battery voltage and panel temperature against time, saved as a PNG; False when
    matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    hk = result[HK]
    t = (hk["coarse_time"] - EPOCH).to_numpy() + hk["fine_time"].to_numpy() / 65536
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 5))
    t = t / 3600
    top.plot(t, hk["battery_voltage_raw"].to_numpy(), ",", color="tab:blue")
    top.set_ylabel("battery voltage (raw)")
    bottom.plot(t, hk["panel_temp"].to_numpy(), ",", color="tab:red")
    bottom.set_ylabel("panel temperature (°C)")
    bottom.set_xlabel(f"hours since {EPOCH} (UNIX time)")
    fig.suptitle(f"Housekeeping (APID {HK:#x}), {len(hk):,} packets decoded on the cluster")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def busy_seconds(stream):
    """Seconds the workers spent decoding (task compute) and moving data, from a task
    stream."""
    compute = transfer = 0.0
    for task in stream:
        for step in task["startstops"]:
            seconds = step["stop"] - step["start"]
            if step["action"] == "compute":
                compute += seconds
            elif step["action"] == "transfer":
                transfer += seconds
    return compute, transfer


# ---- command line ----


def usable_cpus():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def per_minute(frames):
    """Each APID's numeric columns averaged per minute of spacecraft time: the kind of result
    a cluster sends back, small beside the packets."""
    return [f.select_dtypes("number").groupby(f["coarse_time"] // 60).mean()
            for f in frames.values()]


def _on_cluster(client, collections, progress):
    """Computes collections on the cluster with a progress bar: (results, seconds, the
    workers' compute and transfer seconds)."""
    from distributed import get_task_stream

    with get_task_stream(client) as stream:
        t0 = time.perf_counter()
        futures = client.compute(collections)
        progress(futures)
        results = client.gather(futures)
        seconds = time.perf_counter() - t0
    print()
    return results, seconds, busy_seconds(stream.data)


def run(paths, workers, partition_packets):
    """Decodes the archive on a LocalCluster and in this process alone, both to per-minute
    means and to whole frames; returns (whole frames on the cluster, alone, timings)."""
    import dask
    from distributed import Client, LocalCluster, progress

    t = {}
    t0 = time.perf_counter()
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(importlib.import_module, "bitweave_columns.dask")  # pandas, pyarrow, ...
        t["start"] = time.perf_counter() - t0
        t0 = time.perf_counter()
        frames = make_frames(paths, partition_packets)
        t["index"] = time.perf_counter() - t0
        t["tasks"] = sum(f.npartitions for f in frames.values())
        means, t["means"], t["means_busy"] = _on_cluster(client, per_minute(frames), progress)
        whole, t["whole"], t["whole_busy"] = _on_cluster(client, list(frames.values()),
                                                         progress)
    t0 = time.perf_counter()
    alone_means = dask.compute(*per_minute(frames), scheduler="sync")
    t["means_alone"] = time.perf_counter() - t0
    t0 = time.perf_counter()
    alone = dask.compute(*frames.values(), scheduler="sync")
    t["whole_alone"] = time.perf_counter() - t0
    t["means_equal"] = all(a.equals(b) for a, b in zip(means, alone_means))
    return dict(zip(frames, whole)), dict(zip(frames, alone)), t


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--packets", type=int, default=1_000_000,
                        help="packets in the archive (default: 1000000)")
    parser.add_argument("--files", type=int, default=4, help="files (default: 4)")
    parser.add_argument("--workers", type=int, default=usable_cpus(),
                        help="worker processes (default: the usable CPU cores)")
    parser.add_argument("--partition-packets", type=int, default=None,
                        help="packets per partition (default: four partitions per worker)")
    parser.add_argument("--plot", type=Path,
                        default=Path(tempfile.gettempdir()) / "archive_hk.png",
                        help="where to save the plot (default: archive_hk.png in the "
                             "temporary folder)")
    parser.add_argument("--archive", type=Path,
                        help="folder to write the archive to (default: a temporary one)")
    args = parser.parse_args(argv)
    if args.packets < 1 or args.files < 1 or args.workers < 1:
        parser.error("--packets, --files and --workers must be >= 1")
    try:
        import bitweave_columns.dask  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        print('This example needs Dask: pip install "bitweave[dask]"', file=sys.stderr)
        return 2
    per = args.partition_packets or -(-args.packets // (4 * args.workers))

    with tempfile.TemporaryDirectory() as tmp:
        folder = args.archive or Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        t0 = time.perf_counter()
        paths, written = make_archive(folder, args.packets, args.files)
        size = sum(p.stat().st_size for p in paths)
        print(f"archive:  {args.packets:,} packets of 3 APIDs in {args.files} files, "
              f"{size / 1e6:.1f} MB, written in {time.perf_counter() - t0:.2f} s")
        parallel, serial, t = run(paths, args.workers, per)

    problem = first_difference(parallel, serial) or check_written(parallel, written)
    if not t["means_equal"]:
        problem = "the per-minute means differ"
    if problem:
        print(f"MISMATCH: {problem}", file=sys.stderr)
        return 1
    print(f"cluster:  {args.workers} worker processes, started (imports included) in "
          f"{t['start']:.1f} s; {t['tasks']} decode tasks (an APID's packets in a partition "
          f"of up to {per:,})")
    print(f"index:    {t['index']:.2f} s (one task per file, and the science layouts found)")
    rows = {f"{apid:#x}": len(frame) for apid, frame in parallel.items()}
    print(f"check:    cluster == this process alone, every value as written; packets per "
          f"APID {rows}")
    cpus = usable_cpus()
    print(f"speed-up on {cpus} usable core{'s' if cpus != 1 else ''}, {args.workers} workers "
          f"against this process alone:")
    for what, key in (("per-minute means", "means"), ("whole frames   ", "whole")):
        compute, transfer = t[key + "_busy"]
        print(f"  {what}: {t[key + '_alone']:.2f} s alone, {t[key]:.2f} s on the cluster, "
              f"{t[key + '_alone'] / t[key]:.2f}x; workers computing "
              f"{compute / (args.workers * t[key]):.0%} of the time, moving data "
              f"{transfer / (args.workers * t[key]):.0%}")
    if plot(parallel, args.plot):
        print(f"plot:     {args.plot}")
    else:
        print('plot:     skipped (pip install "bitweave[plot]" for matplotlib)')
    return 0


if __name__ == "__main__":
    sys.exit(main())

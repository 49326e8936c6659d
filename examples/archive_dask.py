"""Decode a telemetry archive in parallel worker processes with Dask.

    pip install ".[dask]" && python examples/archive_dask.py [--packets N] [--workers W]

The archive is a file of concatenated fixed-layout housekeeping packets (a CCSDS primary
header and a 25-byte payload, 31 bytes in all, with most fields straddling byte
boundaries). The script

1. writes such an archive (one million packets by default) with pack_parameters,
2. decodes it in this process, into one column per field,
3. decodes it again with Dask's multiprocessing scheduler: each task opens the file, maps
   it and decodes one byte range of whole packets into columns of its own,
4. checks that both decodes are identical, every value of every packet, and that sampled
   packets hold the values that were packed,
5. prints the timings and the speed-up.

Workers send back columns (typed arrays for numbers, lists for text) rather than a dict per
packet: pickling a million dicts to the parent and back would cost more than decoding them.
The parallel timing includes starting the worker processes, so small archives gain little;
the speed-up is bounded by the number of CPU cores the process may use.

The functions are importable: make_archive(), decode_serial(), decode_parallel() and
first_difference() (see tests/test_archive.py).
"""

import argparse
import math
import mmap
import os
import sys
import tempfile
import time
from array import array
from pathlib import Path

import bitweave

# (name, encoding, bits). Big-endian, most significant bit first.
FIELDS = [
    # CCSDS primary header, 6 bytes
    ("version", "unsigned", 3),
    ("type", "unsigned", 1),
    ("sec_header_flag", "unsigned", 1),
    ("apid", "unsigned", 11),
    ("sequence_flags", "unsigned", 2),
    ("sequence_count", "unsigned", 14),
    ("packet_data_length", "unsigned", 16),
    # housekeeping payload, 25 bytes
    ("coarse_time", "unsigned", 32),  # seconds
    ("fine_time", "unsigned", 16),  # 1/65536 s
    ("battery_voltage_raw", "unsigned", 12),
    ("battery_current_raw", "twos_complement", 10),
    ("panel_temp", "ieee754_f32", 32),  # degrees Celsius
    ("mode", "unsigned", 3),
    ("heater_on", "unsigned", 1),
    ("reaction_wheel_rpm", "twos_complement", 16),
    ("error_count", "unsigned", 7),
    ("status", "us_ascii", 64),  # 8 characters, space padded
    ("spare", "unsigned", 7),  # pads the payload to whole bytes
]

NAMES = [name for name, _, _ in FIELDS]
PACKET_BITS = sum(bits for _, _, bits in FIELDS)
PACKET_BYTES = PACKET_BITS // 8
HEADER_BYTES = 6
assert PACKET_BITS % 8 == 0, f"packet is {PACKET_BITS} bits, not whole bytes"

APIDS = (0x2A5, 0x2A6, 0x101)
STATUS = ("OFF     ", "SAFE    ", "IDLE    ", "CHARGING", "SLEWING ", "SCIENCE ")
EPOCH = 1_700_000_000

# Packets decoded at a time, which bounds the dicts alive at once.
BLOCK_PACKETS = 1 << 15


def recipe(with_values=False):
    """Recipe items for FIELDS, fresh dicts each call."""
    items = [
        {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
         "reverse_bits": False}
        for name, encoding, bits in FIELDS
    ]
    if with_values:
        for item in items:
            item["value"] = 0
    return items


def packet_values(i):
    """The values packed into packet number i, in FIELDS order: simulated housekeeping that
    is a pure function of i, so that any packet can be checked on its own."""
    mode = (i // 1000) % len(STATUS)
    temp = -40.0 + (i % 1041) * 0.125  # exact in binary32
    return (
        0, 0, 0, APIDS[i % 3], 0b11, (i // 3) % 16384, PACKET_BYTES - HEADER_BYTES - 1,
        EPOCH + i // 8, (i % 8) * 8192,
        2800 + (i * 7) % 1200,
        (i * 13) % 1024 - 512,
        temp,
        mode,
        int(temp < 0.0),
        (i * 97) % 12001 - 6000,
        (i // 5000) % 128,
        STATUS[mode],
        0,
    )


def expected_packet(i):
    return dict(zip(NAMES, packet_values(i)))


# ---- writing ----


def make_archive(path, packets, batch=1 << 15):
    """Writes packets 0 .. packets-1 to path; returns the path."""
    items = recipe(with_values=True)
    pack = bitweave.pack_parameters
    with open(path, "wb") as out:
        for start in range(0, packets, batch):
            chunk = []
            for i in range(start, min(start + batch, packets)):
                for item, value in zip(items, packet_values(i)):
                    item["value"] = value
                chunk.append(pack(items))
            out.write(b"".join(chunk))
    return path


def count_packets(path):
    size = os.path.getsize(path)
    if size % PACKET_BYTES:
        raise ValueError(f"{path}: {size} bytes is not a whole number of "
                         f"{PACKET_BYTES}-byte packets")
    return size // PACKET_BYTES


# ---- decoding ----


def column_for(encoding, bits):
    """An empty column for one field: an array of the narrowest C type that holds the
    field's integers, doubles for floats, a list for text."""
    if encoding.startswith("ieee754"):
        return array("d")
    if encoding in ("unsigned", "twos_complement"):
        codes = "BHIQ" if encoding == "unsigned" else "bhiq"
        for code in codes:
            if bits <= 8 * array(code).itemsize:
                return array(code)
    return []


def decode_chunk(path, first, count, samples=()):
    """Decodes packets first .. first+count-1 of the archive at path into columns.

    Returns {"columns": {name: column}, "samples": {i: dict}}, where samples holds the
    decoded dicts themselves for those packet numbers in samples that fall in the range.
    Runs in a worker process: it takes only picklable arguments and opens the file itself.
    """
    columns = {name: column_for(encoding, bits) for name, encoding, bits in FIELDS}
    wanted = sorted(i for i in samples if first <= i < first + count)
    kept = {}
    if count == 0:
        return {"columns": columns, "samples": kept}
    items = recipe()
    unpack = bitweave.unpack_parameters
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        for start in range(0, count, BLOCK_PACKETS):
            stop = min(start + BLOCK_PACKETS, count)
            # unpack_parameters takes bytes; one copy per block, then bit offsets into it.
            data = mm[(first + start) * PACKET_BYTES:(first + stop) * PACKET_BYTES]
            rows = [unpack(data, k * PACKET_BITS, items) for k in range(stop - start)]
            for name, column in columns.items():
                column.extend([row[name] for row in rows])
            for i in wanted:
                if first + start <= i < first + stop:
                    kept[i] = rows[i - first - start]
    return {"columns": columns, "samples": kept}


def sample_indices(packets, how_many=16):
    """Packet numbers whose decoded dicts are kept whole: spread out, first and last."""
    if packets == 0:
        return []
    step = max(1, packets // how_many)
    return sorted(set(range(0, packets, step)) | {packets - 1})


def decode_serial(path):
    """The whole archive decoded in this process."""
    packets = count_packets(path)
    return decode_chunk(path, 0, packets, sample_indices(packets))


def chunk_ranges(packets, chunk_packets):
    return [(first, min(chunk_packets, packets - first))
            for first in range(0, packets, chunk_packets)]


def merge(parts):
    """One result from the chunks' results, in archive order."""
    columns = {name: column_for(encoding, bits) for name, encoding, bits in FIELDS}
    samples = {}
    for part in parts:
        for name, column in columns.items():
            column.extend(part["columns"][name])
        samples.update(part["samples"])
    return {"columns": columns, "samples": samples}


def default_chunk_packets(packets, workers):
    """Four chunks per worker: enough to even out the load, few results to send back."""
    return max(1, math.ceil(packets / (4 * workers)))


def decode_parallel(path, workers=2, chunk_packets=None):
    """The archive decoded by Dask's multiprocessing scheduler in byte-range chunks of
    chunk_packets packets (default: default_chunk_packets())."""
    import dask

    packets = count_packets(path)
    chunk_packets = chunk_packets or default_chunk_packets(packets, workers)
    samples = sample_indices(packets)
    path = str(path)
    tasks = [dask.delayed(decode_chunk, pure=True)(path, first, count, samples)
             for first, count in chunk_ranges(packets, chunk_packets)]
    # chunksize=1: one task per dispatch, or the first worker would take six chunks at once.
    parts = dask.compute(*tasks, scheduler="processes", num_workers=workers, chunksize=1)
    return merge(parts)


# ---- checking ----


def _same_value(a, b):
    """Equal and of one type; floats compared bit for bit (NaN, -0.0)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return array("d", [a]).tobytes() == array("d", [b]).tobytes()
    return a == b


def _same_dict(a, b):
    return list(a) == list(b) and all(_same_value(a[k], b[k]) for k in a)


def first_difference(a, b):
    """None if the two decodes are identical, else a message naming the first difference.

    Every value of every column is compared exactly (floats by their bits), and the whole
    decoded dicts kept as samples are compared key for key and type for type.
    """
    if list(a["columns"]) != list(b["columns"]):
        return f"fields differ: {list(a['columns'])} != {list(b['columns'])}"
    for name in a["columns"]:
        x, y = a["columns"][name], b["columns"][name]
        if type(x) is not type(y) or getattr(x, "typecode", None) != getattr(y, "typecode", None):
            return f"{name}: column types differ"
        if len(x) != len(y):
            return f"{name}: {len(x)} values != {len(y)}"
        same = x.tobytes() == y.tobytes() if isinstance(x, array) else x == y
        if not same:
            i = next(i for i in range(len(x)) if not _same_value(x[i], y[i]))
            return f"packet {i}, {name}: {x[i]!r} != {y[i]!r}"
    if sorted(a["samples"]) != sorted(b["samples"]):
        return f"sampled packets differ: {sorted(a['samples'])} != {sorted(b['samples'])}"
    for i in a["samples"]:
        if not _same_dict(a["samples"][i], b["samples"][i]):
            return f"packet {i}: {a['samples'][i]!r} != {b['samples'][i]!r}"
    return None


def check_against_packed(result):
    """None if every sampled packet decoded to the values that were packed into it."""
    for i, got in sorted(result["samples"].items()):
        if not _same_dict(got, expected_packet(i)):
            return f"packet {i}: decoded {got!r}, packed {expected_packet(i)!r}"
        row = {name: column[i] for name, column in result["columns"].items()}
        if row != got:
            return f"packet {i}: columns hold {row!r}, decoded dict {got!r}"
    return None


# ---- command line ----


def usable_cpus():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--packets", type=int, default=1_000_000,
                        help="packets in the archive (default: 1000000)")
    parser.add_argument("--archive", type=Path,
                        help="where to write the archive (default: a temporary file, "
                             "removed afterwards)")
    parser.add_argument("--workers", type=int, default=usable_cpus(),
                        help="worker processes (default: the usable CPU cores)")
    parser.add_argument("--chunk-packets", type=int,
                        help="packets per task (default: four tasks per worker)")
    args = parser.parse_args(argv)
    if args.packets < 0:
        parser.error("--packets must be >= 0")
    if args.workers < 1 or (args.chunk_packets is not None and args.chunk_packets < 1):
        parser.error("--workers and --chunk-packets must be >= 1")
    try:
        import dask  # noqa: F401
    except ImportError:
        print('This example needs Dask: pip install "dask>=2023.1" '
              '(or pip install ".[dask]" in the bitweave checkout)', file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory() as tmp:
        path = args.archive or Path(tmp) / "archive.bin"

        t0 = time.perf_counter()
        make_archive(path, args.packets)
        t_make = time.perf_counter() - t0
        print(f"archive:  {args.packets:,} packets x {PACKET_BYTES} bytes = "
              f"{args.packets * PACKET_BYTES / 1e6:.1f} MB, written in {t_make:.2f} s")

        t0 = time.perf_counter()
        serial = decode_serial(path)
        t_serial = time.perf_counter() - t0
        rate = args.packets / t_serial / 1e3 if t_serial else 0.0
        print(f"serial:   {t_serial:.2f} s ({rate:,.0f} k packets/s, one process)")

        chunk_packets = args.chunk_packets or default_chunk_packets(args.packets, args.workers)
        chunks = len(chunk_ranges(args.packets, chunk_packets))
        t0 = time.perf_counter()
        parallel = decode_parallel(path, args.workers, chunk_packets)
        t_parallel = time.perf_counter() - t0
        print(f"parallel: {t_parallel:.2f} s ({args.workers} worker processes, {chunks} chunks, "
              f"Dask 'processes' scheduler, worker start-up included)")

    problem = first_difference(serial, parallel) or check_against_packed(serial)
    if problem:
        print(f"MISMATCH: {problem}", file=sys.stderr)
        return 1
    print(f"check:    parallel == serial for all {len(FIELDS)} fields of {args.packets:,} "
          f"packets; {len(serial['samples'])} sampled packets match the packed values")
    cpus = usable_cpus()
    print(f"speed-up: {t_serial / t_parallel:.2f}x with {args.workers} workers on {cpus} "
          f"usable CPU core{'s' if cpus != 1 else ''} (at most ~{min(cpus, args.workers)}x here)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A mission file's first decode after its document's load, against space_packet_parser, and
against the least any decoder returning bytes objects must do: copy each binary field out of
the file into a bytes object of its own, in memory the process has not touched yet.

    pip install ".[test]"
    python benchmarks/bench_first_call.py [--corpus DIR] [--rounds N]

Files from ../shared/corpus (or --corpus) whose packets are mostly binary fields (IDEX
science waveforms, IMAP-Ultra events, IMAP-HIT science frames). Each round runs in a new
process, as a user's first call would: load the document with each library, decode with
space_packet_parser (keeping its packets), then decode once with bitweave (keeping the
result) or, in a process of its own, copy every value of the binary column by slicing the
file (keeping the copies). On a virtual machine every page a process touches for the first
time costs a fault of several microseconds, and the copies show what those faults alone
cost.
"""

import argparse
import json
import pathlib
import statistics
import os
import subprocess
import sys
import tempfile

from timing import REPO, fmt_time, print_table

FILES = [
    ("IDEX science, 2,206 packets", "imap/defs/idex/idex_packet_definition.xml",
     "imap/data/idex/imap_idex_l0_raw_20230725_v001.pkts", "IDX__SCI0RAW"),
    ("IMAP-Ultra events, 1,058 packets", "imap/defs/ultra/ULTRA_SCI_COMBINED.xml",
     "imap/data/ultra/Ultra45_EM_SwRI_Cal_Run7_ThetaScan_20220530T225054.CCSDS", "EVENTDATA"),
    ("IMAP-HIT science, 1,220 packets", "imap-2025/defs/hit/hit_packet_definitions.xml",
     "imap-2025/data/hit/**/sci_sample.ccsds", "HIT_SCIENCE.SCIENCE_DATA"),
]

# One round, in a process of its own: the oracle's decode, then either bitweave's first decode
# or the copies of the binary values (at the places given in a file); prints the times.
ROUND = r"""
import glob, json, sys, time, warnings
warnings.simplefilter("ignore")
from space_packet_parser import generators
from space_packet_parser.xtce import definitions
from bitweave_columns import xtce
doc, pattern, mode, places = sys.argv[1:5]
data = open(sorted(glob.glob(pattern, recursive=True))[0], "rb").read()
where = json.load(open(places)) if mode == "copies" else None
oracle = definitions.XtcePacketDefinition.from_xtce(doc, root_container_name="CCSDSPacket")
ours = xtce.load(doc)
t = time.perf_counter()
packets = []
for p in generators.ccsds_generator(data):
    try:
        packets.append(oracle.parse_bytes(p, root_container_name="CCSDSPacket"))
    except Exception as e:  # packets of no container: the oracle raises, and goes on
        packets.append(e)
t_spp = time.perf_counter() - t
t = time.perf_counter()
if mode == "copies":
    kept = [data[at:at + n] for at, n in where]
else:
    kept = ours.decode(data)
print(json.dumps([t_spp, time.perf_counter() - t]))
"""


def places(corpus, doc, data, column):
    """(byte, size) of every value of the binary column, from a decode of the file."""
    import glob
    import warnings

    from bitweave_columns import xtce

    blob = open(sorted(glob.glob(str(corpus / data), recursive=True))[0], "rb").read()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        decoded = xtce.load(corpus / doc).decode(blob)
    values = [b for table in decoded.values() if column in table for b in table[column]]
    return [(blob.find(b), len(b)) for b in values]


def one(corpus, doc, data, mode, where):
    out = subprocess.run([sys.executable, "-c", ROUND, str(corpus / doc), str(corpus / data),
                          mode, where], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", default=str(REPO.parent / "shared" / "corpus"))
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    corpus = pathlib.Path(args.corpus)
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for label, doc, data, column in FILES:
            where = places(corpus, doc, data, column)
            path = os.path.join(tmp, "places.json")
            with open(path, "w") as f:
                json.dump(where, f)
            runs = [(one(corpus, doc, data, "decode", path), one(corpus, doc, data, "copies", path))
                    for _ in range(args.rounds)]
            t_spp = statistics.median(r[k][0] for r in runs for k in (0, 1))
            t_ours = statistics.median(r[0][1] for r in runs)
            t_copy = statistics.median(r[1][1] for r in runs)
            rows.append([label, f"{len(where)} ({sum(n for _, n in where) // 1024} KiB)",
                         fmt_time(t_spp), fmt_time(t_ours), fmt_time(t_copy),
                         f"{t_spp / t_ours:.0f}x", f"{t_spp / t_copy:.0f}x"])
    print(f"First decode call after load, median of {args.rounds} processes each\n")
    print_table(["file", "binary values", "space_packet_parser", "bitweave", "copies alone",
                 "speed-up", "ceiling (spp / copies)"], rows)


if __name__ == "__main__":
    main()

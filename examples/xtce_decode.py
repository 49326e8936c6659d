"""Decode a real mission file straight from its XTCE document, then plot a few parameters.

    pip install ".[plot]" && python examples/xtce_decode.py [--out PLOT.png]

The file is two hours of JPSS-1 spacecraft attitude and ephemeris packets (7,200 of them,
APID 11), the input to ATMS geolocation; its XTCE document describes the CCSDS header,
a secondary header and the payload (GPS position and velocity in ECEF, an attitude
quaternion, their valid times). Both come from ../shared/realdata/jpss (or --realdata DIR,
or the BITWEAVE_REALDATA variable). One call decodes the whole file into numpy columns;
the example prints what it found and saves a plot of the spacecraft's distance from the
Earth's centre, its speed and the attitude quaternion over the two hours (to
jpss1_geolocation.png in the temporary folder, or --out). Without matplotlib it prints the
summary only; without the real data it says where it looked and exits with status 2.
"""

import argparse
import datetime
import importlib.util
import os
import pathlib
import sys
import tempfile
import time

import numpy as np

from bitweave_columns import xtce

REPO = pathlib.Path(__file__).resolve().parents[1]
REALDATA = pathlib.Path(os.environ.get("BITWEAVE_REALDATA", REPO.parent / "shared" / "realdata"))
DOCUMENT = "jpss/jpss1_geolocation_xtce_v1.xml"
PACKETS = "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
EPOCH = datetime.datetime(1958, 1, 1)  # the ephemeris times count days from 1958-01-01


def valid_times(table):
    """The ephemeris valid times as numpy datetime64 values (microseconds)."""
    days = table["ADAET1DAY"].astype(np.int64)
    micros = table["ADAET1MS"].astype(np.int64) * 1000 + table["ADAET1US"].astype(np.int64)
    return np.datetime64(EPOCH, "us") + days * np.timedelta64(1, "D") + micros * np.timedelta64(1, "us")


def summarise(definition, decoded, seconds):
    print(definition)
    print(f"decoded {decoded.packets} packets in {seconds * 1e3:.1f} ms: {decoded!r}")
    for name, table in decoded.items():
        print(f"\n{name}: {len(table['packet_index'])} rows, columns:")
        for column, values in table.items():
            first, last = values[0].item(), values[-1].item()
            print(f"  {column:<13} {str(values.dtype):<8} first {first!r:<20} last {last!r}")
    if decoded.unmatched or decoded.truncated:
        print(f"\nskipped: unmatched {decoded.unmatched}, truncated {decoded.truncated}")


def plot(table, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    when = valid_times(table)
    minutes = (when - when[0]) / np.timedelta64(1, "m")
    pos = np.stack([table[f"ADGPSPOS{c}"] for c in "XYZ"]).astype(np.float64)
    vel = np.stack([table[f"ADGPSVEL{c}"] for c in "XYZ"]).astype(np.float64)
    fig, axes = plt.subplots(3, 1, figsize=(9, 8), sharex=True)
    axes[0].plot(minutes, np.linalg.norm(pos, axis=0) / 1e3)
    axes[0].set_ylabel("distance from\nEarth's centre (km)")
    axes[1].plot(minutes, np.linalg.norm(vel, axis=0) / 1e3)
    axes[1].set_ylabel("speed (km/s)")
    for i in range(1, 5):
        axes[2].plot(minutes, table[f"ADCFAQ{i}"], label=f"q{i}")
    axes[2].set_ylabel("attitude quaternion")
    axes[2].legend(loc="lower left", ncols=4, fontsize="small")
    axes[2].set_xlabel(f"minutes after {when[0].astype('datetime64[s]')} UTC")
    fig.suptitle("JPSS-1 attitude and ephemeris, decoded from its XTCE document")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"\nsaved {out}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--realdata", type=pathlib.Path, default=REALDATA)
    parser.add_argument("--out", type=pathlib.Path,
                        default=pathlib.Path(tempfile.gettempdir()) / "jpss1_geolocation.png",
                        help="where to save the plot (default: jpss1_geolocation.png in the "
                             "temporary folder)")
    args = parser.parse_args()
    if not (args.realdata / DOCUMENT).is_file():
        print(f"no real data at {args.realdata}: pass --realdata DIR or set BITWEAVE_REALDATA",
              file=sys.stderr)
        return 2
    definition = xtce.load(args.realdata / DOCUMENT)
    start = time.perf_counter()
    decoded = definition.decode(args.realdata / PACKETS)
    seconds = time.perf_counter() - start
    summarise(definition, decoded, seconds)
    if importlib.util.find_spec("matplotlib") is None:
        print("\n(matplotlib is not installed: no plot; pip install '.[plot]')")
        return 0
    plot(decoded["JPSS_ATT_EPHEM"], args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Shared by the benchmarks: interleaved timing, tables, and the floor module."""

import importlib
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import timeit

REPO = pathlib.Path(__file__).resolve().parents[1]
# The floor's sources: ../shared/floor beside the repository, or where BWFLOOR_SOURCE says.
FLOOR_DIR = pathlib.Path(os.environ.get("BWFLOOR_SOURCE", REPO.parent / "shared" / "floor"))


def calibrate(stmt, env, target_s):
    """Loop count that makes one timeit run last about target_s."""
    timer = timeit.Timer(stmt, globals=env)
    number, elapsed = timer.autorange()
    return max(1, int(number * target_s / elapsed))


def race(contenders, rounds, target_s):
    """Median seconds per call of each (label, stmt, env), timed interleaved."""
    timers = []
    for label, stmt, env in contenders:
        timers.append((label, timeit.Timer(stmt, globals=env), calibrate(stmt, env, target_s)))
    samples = {label: [] for label, _, _ in timers}
    for r in range(rounds):
        shift = r % len(timers)
        for label, timer, number in timers[shift:] + timers[:shift]:
            samples[label].append(timer.timeit(number) / number)
    return {label: statistics.median(times) for label, times in samples.items()}


def fmt_time(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e3:.3f} ms"


def print_table(header, rows):
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    line = "  ".join(f"{{:<{widths[0]}}}" if i == 0 else f"{{:>{w}}}"
                     for i, w in enumerate(widths))
    print(line.format(*header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line.format(*row))


def load_floor():
    """Builds and imports bwfloor, or returns None (with the reason) when it cannot."""
    build = FLOOR_DIR / "build.sh"
    if not build.is_file():
        print(f"\n(no benchmark floor at {FLOOR_DIR}: bwfloor section skipped)")
        return None
    default = pathlib.Path(tempfile.gettempdir()) / "bwfloor"
    out = pathlib.Path(os.environ.get("BWFLOOR_DIR", default))
    result = subprocess.run(["bash", str(build), sys.executable, str(out)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        print(f"\n(bwfloor did not build, section skipped)\n{result.stderr}")
        return None
    sys.path.insert(0, str(out))
    try:
        return importlib.import_module("bwfloor")
    except ImportError as e:
        print(f"\n(bwfloor did not import: {e}; section skipped)")
        return None
    finally:
        sys.path.remove(str(out))

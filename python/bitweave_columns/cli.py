"""The `bitweave` command: describe a mission database, index a packet file, decode packet files
into Parquet, NetCDF or CSV, encode a command, follow live telemetry.

Exit status 0 on success, 1 for bad input (a missing file, an unknown container, a bad
argument), with one line on stderr naming what was wrong; never a traceback for those.
"""
import argparse
import importlib
import importlib.util
import os
import socket
import sys

EXAMPLES = """examples:
  bitweave describe mission.xml
  bitweave index packets.bin --skip-header-bytes 4
  bitweave decode mission.xml day1.bin day2.bin -o out.parquet --derived
  bitweave decode mission.xml packets.bin -o hk.csv --container HK_Packet
  bitweave decode mission.xml packets.bin -o packets.nc
  bitweave encode mission.xml SET_MODE MODE=2 > command.hex
  bitweave follow mission.xml --tcp 127.0.0.1:10015
"""


class UserError(Exception):
    """A mistake of the caller's: printed as one line, exit status 1."""


def _load(doc):
    from . import xtce

    if not os.path.isfile(doc):
        raise UserError(f"{doc}: no such file")
    try:
        return xtce.load(doc)
    except xtce.XtceError as e:
        raise UserError(f"{doc}: {e}") from None


def _data_file(path):
    if not os.path.isfile(path):
        raise UserError(f"{path}: no such file")
    return path


def _progress(items, what):
    """`items` with a progress bar on stderr, when that is a terminal and tqdm is installed."""
    if not sys.stderr.isatty() or len(items) < 2:
        return items
    try:
        tqdm = importlib.import_module("tqdm").tqdm  # optional: the "progress" extra
    except ImportError:
        return items
    return tqdm(items, desc=what, unit="file")


def describe(args, out):
    d = _load(args.doc)
    out.write(f"{d.name} (XTCE {d.xtce_version or 'without namespace'}): "
              f"{len(d.parameters)} parameters, {len(d.containers)} containers\n")
    systems = sorted({q.rsplit("/", 1)[0] or "/" for q in getattr(d, "_qualified", {})})
    if systems:
        out.write(f"space systems: {', '.join(systems)}\n")
    out.write(f"root: {d.root}\n")
    out.write("containers:\n")
    for name, c in d.containers.items():
        kind = "abstract" if c.abstract else "concrete"
        if name in d.unsupported:
            out.write(f"  {name}: unsupported: {d.unsupported[name]}\n")
            continue
        try:
            size = f"{d.layout(name).size} bytes"
        except Exception:  # sized in each packet, or a tree of several layouts
            size = "variable size"
        fields = d.fields(name)
        base = f", based on {c.base}" if c.base else ""
        out.write(f"  {name} ({kind}{base}): {size}, {len(fields)} parameters: "
                  f"{', '.join(fields[:8])}{', ...' if len(fields) > 8 else ''}\n")
    commands = getattr(d, "commands", None)
    if commands:
        out.write(f"commands: {', '.join(commands)}\n")
    if d.skipped:
        out.write("skipped: " + ", ".join(f"{k} x{v.count}" for k, v in d.skipped.items()) + "\n")


def index(args, out):
    import numpy as np

    from . import ccsds_index
    from .xtce.decode import _Buffer

    with _Buffer(_data_file(args.file)) as buf:
        ix = ccsds_index(buf.view, skip_header_bytes=args.skip_header_bytes)
    n = len(ix["offset"])
    out.write(f"{args.file}: {n} packets, tail {ix['tail']} bytes\n")
    out.write("apid     packets  min length  max length  sequence gaps\n")
    for apid in np.unique(ix["apid"]).tolist():
        sel = ix["apid"] == apid
        lens, seq = ix["length"][sel], ix["seq_count"][sel].astype(np.int64)
        gaps = int(np.count_nonzero((np.diff(seq) % 16384) != 1)) if len(seq) > 1 else 0
        out.write(f"{apid:<8} {int(sel.sum()):>7}  {int(lens.min()):>10}  {int(lens.max()):>10}"
                  f"  {gaps:>13}\n")


def _write_csv(decoded, path):
    frames = decoded.to_pandas()
    if len(frames) == 1:
        next(iter(frames.values())).to_csv(path)
        return [path]
    stem, ext = os.path.splitext(path)
    paths = []
    for name, frame in frames.items():  # one file per container
        paths.append(f"{stem}.{name.strip('/').replace('/', '.')}{ext}")
        frame.to_csv(paths[-1])
    return paths


def _write_netcdf(decoded, path):
    import numpy as np

    if importlib.util.find_spec("netCDF4") is None and importlib.util.find_spec("scipy") is None:
        raise UserError(f'-o {path}: NetCDF files need netCDF4: pip install "bitweave[xarray]"')

    datasets = decoded.to_xarray()
    mode = "w"
    for name, ds in datasets.items():  # one group per container
        for var in ds.variables.values():
            if var.dtype == object:  # NetCDF has no bytes: hex text, as CSV shows them
                var.values = np.array([v.hex() if isinstance(v, bytes) else "" if v is None
                                       else str(v) for v in var.values.reshape(-1).tolist()],
                                      dtype=str).reshape(var.shape)
        ds.to_netcdf(path, mode=mode, group=name.strip("/").replace("/", "."))
        mode = "a"
    return [path]


def decode(args, out):
    from . import xtce

    d = _load(args.doc)
    suffix = os.path.splitext(args.output.rstrip("/"))[1].lower()
    if suffix not in (".parquet", ".nc", ".csv"):
        raise UserError(f"-o {args.output}: the output's suffix must be .parquet (a folder), "
                        ".nc or .csv")
    if args.container is not None and args.container not in d.concrete:
        raise UserError(f"--container {args.container}: not a container these packets decode "
                        f"as (one of {', '.join(d.concrete)})")
    files = [_data_file(f) for f in args.files]
    parts = []
    for f in _progress(files, "decoding"):
        parts.append(d.decode(f, derived=args.derived, skip_header_bytes=args.skip_header_bytes))
    decoded = xtce.Decoded.concat(parts) if len(parts) > 1 else parts[0]
    if args.container is not None:
        for name in [n for n in decoded if n != args.container]:
            del decoded[name]
    if not decoded:
        raise UserError(f"{', '.join(files)}: no packet decoded ({decoded.unmatched.count} "
                        "unmatched; check --skip-header-bytes and the document)")
    if suffix == ".parquet":
        written = list(decoded.to_parquet(args.output).values())
    elif suffix == ".nc":
        written = _write_netcdf(decoded, args.output)
    else:
        written = _write_csv(decoded, args.output)
    for name, table in decoded.items():
        out.write(f"{name}: {len(table['packet_index'])} packets\n")
    lost = {k: getattr(decoded, k).count for k in ("unmatched", "truncated", "invalid",
                                                   "unsupported") if getattr(decoded, k).count}
    if lost:
        out.write("left out: " + ", ".join(f"{k} {v}" for k, v in lost.items()) + "\n")
    out.write(f"wrote {', '.join(written)}\n")


def encode(args, out):
    from . import xtce

    d = _load(args.doc)
    if not hasattr(d, "encode_command"):
        raise UserError("encode: this bitweave cannot encode commands yet")
    values = {}
    for item in args.values:
        name, eq, value = item.partition("=")
        if not eq or not name:
            raise UserError(f"{item}: arguments are name=value")
        values[name] = _number(value)
    try:
        packet = d.encode_command(args.command, values)
    except (getattr(xtce, "CommandError", ValueError), ValueError, KeyError) as e:
        raise UserError(f"{args.command}: {e}") from None
    if args.raw:
        out.flush()
        sys.stdout.buffer.write(packet)
    else:
        out.write(bytes(packet).hex() + "\n")


def _number(text):
    for kind in (int, float):
        try:
            return kind(text, 0) if kind is int else kind(text)
        except ValueError:
            pass
    return text


def follow(args, out):
    import bitweave_columns

    d = _load(args.doc)
    if not hasattr(bitweave_columns, "StreamDecoder"):
        raise UserError("follow: this bitweave cannot decode live streams yet")
    host, _, port = args.tcp.rpartition(":")
    if not host or not port.isdigit():
        raise UserError(f"--tcp {args.tcp}: give HOST:PORT")
    try:
        sock = socket.create_connection((host, int(port)), timeout=10)
    except OSError as e:
        raise UserError(f"--tcp {args.tcp}: {e.strerror or e}") from None
    decoder = bitweave_columns.StreamDecoder(d)
    with sock:
        sock.settimeout(None)
        while True:
            chunk = sock.recv(65536)
            got = decoder.feed(chunk) if chunk else decoder.close()
            for name, table in got.items():
                for i in range(len(table["packet_index"])):
                    values = ", ".join(f"{k}={v[i]}" for k, v in table.items()
                                       if k not in ("packet_index", "packet_offset"))
                    out.write(f"{name} #{table['packet_index'][i]}: {values}\n")
            out.flush()
            if not chunk:
                return


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # a bad argument: one line, status 1 like any other mistake
        self.exit(1, f"{self.prog}: {message} (see {self.prog} --help)\n")


def parser():
    p = _Parser(prog="bitweave", description=__doc__.split("\n\n")[0],
                                epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="verb", metavar="VERB")
    sub.required = True
    s = sub.add_parser("describe", help="space systems, containers, their sizes and parameters")
    s.add_argument("doc", metavar="DOC", help="XTCE document")
    s = sub.add_parser("index", help="packets per APID, lengths, sequence gaps, tail")
    s.add_argument("file", metavar="FILE")
    s.add_argument("--skip-header-bytes", type=int, default=0, metavar="N")
    s = sub.add_parser("decode", help="packet files into Parquet (folder), NetCDF or CSV")
    s.add_argument("doc", metavar="DOC")
    s.add_argument("files", metavar="FILE", nargs="+")
    s.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="OUT.parquet (a folder, a file per container), OUT.nc or OUT.csv")
    s.add_argument("--derived", action="store_true", help="calibrated values and labels")
    s.add_argument("--skip-header-bytes", type=int, default=0, metavar="N")
    s.add_argument("--container", metavar="NAME", help="only this container's table")
    s = sub.add_parser("encode", help="a command's bytes, as hex (or raw with --raw)")
    s.add_argument("doc", metavar="DOC")
    s.add_argument("command", metavar="COMMAND")
    s.add_argument("values", metavar="name=value", nargs="*")
    s.add_argument("--raw", action="store_true", help="write the bytes themselves to stdout")
    s = sub.add_parser("follow", help="print live values from a TCP packet stream")
    s.add_argument("doc", metavar="DOC")
    s.add_argument("--tcp", required=True, metavar="HOST:PORT")
    return p


VERBS = {"describe": describe, "index": index, "decode": decode, "encode": encode,
         "follow": follow}


def main(argv=None):
    """Run the command line; returns the exit status."""
    args = parser().parse_args(argv)
    if getattr(args, "skip_header_bytes", 0) < 0:
        return _fail("--skip-header-bytes must be 0 or more")
    try:
        VERBS[args.verb](args, sys.stdout)
    except UserError as e:
        return _fail(str(e))
    except ImportError as e:
        return _fail(str(e))
    except (OSError, ValueError) as e:
        return _fail(f"{type(e).__name__}: {e}")
    except KeyboardInterrupt:
        return 1
    return 0


def _fail(message):
    print(f"bitweave: {message}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())

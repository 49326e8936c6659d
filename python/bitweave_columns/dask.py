"""Packet files decoded by packet type, in parallel, as Dask dataframes.

    pip install "bitweave[dask]"

    from bitweave_columns import Layout
    from bitweave_columns.dask import read_packets

    frames = read_packets(["day1.bin", "day2.bin"], {0x2A5: housekeeping, 0x101: pick})
    hk = frames[0x2A5].compute()        # a pandas DataFrame, one row per packet

:func:`read_packets` indexes each file once, sequentially (`ccsds_index`, one task per file),
and cuts its packets into ranges of `partition_packets` packets. Each partition of each
packet type's dataframe is one task that memory-maps its file by path, walks the primary
headers of its own byte range again, and decodes the packets of its type with
`Layout.unpack(offsets=, lengths=)`. Tasks carry a file path and a byte range, never data,
so they run in worker processes of a `distributed` cluster, or any other Dask scheduler.

Why dataframes: a packet type is a table (one row per packet, one typed column per field,
text and bytes among them), and its packets' numbers make a sorted index, so the partitions'
divisions are known before anything is decoded; joins on packet number or time, filters
and group-bys then work across packet types. Dask arrays would need one collection per field,
each recomputing or sharing the same decode, and hold no text.
"""
import os

import numpy as np

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError('bitweave_columns.dask needs Dask\'s dataframes and distributed, on '
                      'Python 3.10 or newer: pip install "bitweave[dask]"') from e

from . import Layout, ccsds_index, xtce
from .xtce.decode import _Buffer

__all__ = ["PacketFrames", "read_packets"]

# The columns every frame has before the packet's own fields; the index is "packet_index".
ROW_COLUMNS = ("packet_file", "packet_offset")
DEFAULT_PARTITION_PACKETS = 1 << 20

_TEXT = pd.StringDtype("pyarrow")
_BINARY = pd.ArrowDtype(pa.binary())


class PacketFrames(dict):
    """Dask dataframes by APID (or, for an XTCE definition, by container name).

    Each frame's index, "packet_index", numbers the packets of all files in order (the
    first file's first), "packet_file" (categorical) names the packet's file and
    "packet_offset" gives its primary header's byte position there; the packet's fields
    follow. Attributes from the index pass: `paths`, `packets` and `tails` (per file: whole
    packets, and trailing bytes that do not make one) and `apids` (packets per APID in all
    files, those not decoded included).
    """

    def __init__(self, frames, paths, packets, tails, apids):
        super().__init__(frames)
        self.paths, self.packets, self.tails, self.apids = paths, packets, tails, apids

    def __repr__(self):
        frames = ", ".join(f"{k!r}: {f.npartitions} partitions" for k, f in self.items())
        return (f"PacketFrames({{{frames}}}, files={len(self.paths)}, "
                f"packets={sum(self.packets)}, tails={list(self.tails)})")


def read_packets(paths, layouts, *, skip_header_bytes=0,
                 partition_packets=DEFAULT_PARTITION_PACKETS, errors="raise", derived=False):
    """Dataframes of the packets of CCSDS packet files, one per packet type.

    `paths`: a file or a sequence of files, each a stream of space packets, optionally each
    packet behind `skip_header_bytes` of record header. `layouts` maps an APID to the
    `Layout` of its packets, or to a function that takes one packet (`bytes`, primary header
    first) and returns its `Layout`, or None to leave it out; such an APID's columns are
    those of every layout the function returns (missing values where a packet's layout has
    no such field), which are found here by one pass of the function over that APID's
    packets (so it runs twice per packet in all). Or `layouts` is an `xtce.Definition`: one
    frame per concrete container, decoded by `Definition.decode_index` (`derived=True` for
    calibrated values and labels); packets that match no container, or are too short for
    theirs, are left out, as `decode` does. One task decodes a partition for every
    container, so compute the frames together (`dask.compute(*frames.values())`).

    Files are indexed here, one task per file on the current Dask scheduler; nothing else is
    decoded until a frame is computed. With layouts, `errors="mask"` turns fields that do not
    decode (packets shorter than their layout) into missing values instead of an error. Columns
    that may hold missing values (with "mask", with a picking function, with a definition)
    have pandas' nullable types; text is a pyarrow string, bytes pyarrow binary.

    Returns a :class:`PacketFrames`.
    """
    paths = _paths(paths)
    skip = _whole(skip_header_bytes, "skip_header_bytes", 0)
    per = _whole(partition_packets, "partition_packets", 1)
    if errors not in ("raise", "mask"):
        raise ValueError(f"errors must be 'raise' or 'mask', not {errors!r}")
    definition = isinstance(layouts, xtce.Definition)
    if definition:
        keys = [(name, None) for name in layouts.concrete]
    elif hasattr(layouts, "items"):
        if derived:
            raise TypeError("derived= goes with an XTCE definition")
        keys = [(_apid(apid), entry) for apid, entry in layouts.items()]
        for apid, entry in keys:
            if not isinstance(entry, Layout) and not callable(entry):
                raise TypeError(f"layouts[{apid}] must be a Layout or a function of the packet "
                                f"that returns one, not {type(entry).__name__!r}")
    else:
        raise TypeError(f"layouts must map APIDs to layouts, or be an xtce.Definition, not "
                        f"{type(layouts).__name__!r}")

    index = dask.delayed(_index_file)
    summaries = dask.compute(*[index(path, skip, per) for path in paths])
    parts, base = [], 0  # (the packet range, APIDs in it)
    for number, (path, s) in enumerate(zip(paths, summaries)):
        bounds = s["bounds"]
        for k, apids in enumerate(s["apids"]):
            first = k * per
            piece = (number, path, bounds[k], bounds[k + 1], base + first,
                    min(per, s["packets"] - first))
            parts.append((piece, apids))
        base += s["packets"]
    counts = {}
    for s in summaries:
        for apid, n in s["counts"].items():
            counts[apid] = counts.get(apid, 0) + n

    if definition:
        metas = {name: _frame_meta(paths, _definition_dtypes(layouts, name, derived), True)
                 for name, _ in keys}
        decoded = [dask.delayed(_decode_definition)(piece, layouts, skip, derived, metas)
                   for piece, _ in parts]
        frames = {name: _dataframe([(piece, d[name]) for (piece, _), d in zip(parts, decoded)],
                                   meta) for name, meta in metas.items()}
    else:
        frames = {}
        for apid, entry in keys:
            mine = [piece for piece, apids in parts if apid in apids]
            if isinstance(entry, Layout):
                chosen = [entry]
            else:
                pick = dask.delayed(_picked_layouts)
                found = dask.compute(*[pick(piece, apid, entry, skip) for piece in mine])
                chosen = list(dict.fromkeys(layout for f in found for layout in f))
            meta = _frame_meta(paths, _layout_dtypes(chosen),
                               errors == "mask" or not isinstance(entry, Layout))
            decode = dask.delayed(_decode_apid)
            frames[apid] = _dataframe([(piece, decode(piece, apid, entry, skip, errors, meta))
                                       for piece in mine], meta)
    return PacketFrames(frames, tuple(paths), tuple(s["packets"] for s in summaries),
                        tuple(s["tail"] for s in summaries), dict(sorted(counts.items())))


# ---- arguments ----


def _paths(paths):
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    out = []
    for p in paths:
        if not isinstance(p, (str, os.PathLike)):
            raise TypeError(f"paths must be file paths, not {type(p).__name__!r}")
        out.append(os.path.abspath(os.fspath(p)))  # workers may run elsewhere in the tree
    if len(set(out)) != len(out):
        raise ValueError("paths names a file twice")
    return out


def _whole(value, what, least):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an int, not {type(value).__name__!r}")
    if value < least:
        raise ValueError(f"{what} must be >= {least}, not {value}")
    return int(value)


def _apid(apid):
    if isinstance(apid, bool) or not isinstance(apid, (int, np.integer)) or not 0 <= apid < 2048:
        raise ValueError(f"{apid!r} is not an APID (an int from 0 to 2047)")
    return int(apid)


# ---- column types ----


def _nullable(dtype):
    """The pandas type that adds missing values to a numpy one."""
    if not isinstance(dtype, np.dtype):
        return dtype
    if dtype.kind == "b":
        return pd.BooleanDtype()
    prefix = {"u": "UInt", "i": "Int", "f": "Float"}[dtype.kind]
    return pd.api.types.pandas_dtype(prefix + str(dtype.itemsize * 8))


def _column_dtype(layout, name, column):
    if column.dtype != object:
        return column.dtype
    binary = {item["name"]: item["encoding"].lower() == "binary" for item in layout.recipe}
    return _BINARY if binary[name] else _TEXT


def _layout_dtypes(layouts):
    """Column types of the union of the layouts' fields, in order of first appearance."""
    dtypes = {}
    for layout in layouts:
        for name, column in layout.unpack(b"", offsets=[]).items():
            dtype = _column_dtype(layout, name, column)
            had = dtypes.setdefault(name, dtype)
            if had != dtype:
                both = isinstance(had, np.dtype) and isinstance(dtype, np.dtype)
                wider = np.promote_types(had, dtype) if both else None
                if wider is None or (wider.kind == "f" and "f" not in (had.kind, dtype.kind)):
                    raise ValueError(f"field {name!r} is {had} in one layout and {dtype} in "
                                     f"another: no column holds both")
                dtypes[name] = wider
    return dtypes


def _definition_dtypes(definition, container, derived):
    dtypes = {}
    for name in definition.fields(container):
        ptype = definition.parameters[name].type
        enc = ptype.encoding
        if derived and ptype.has_derived:
            dtype = {"enumerated": _TEXT, "boolean": np.dtype(bool)}.get(
                ptype.kind, np.dtype(np.float64))
        elif enc.kind in ("string", "binary"):
            dtype = _TEXT if enc.kind == "string" else _BINARY
        else:
            layout = Layout([{"name": name, "encoding": enc.codec, "bits": enc.bits,
                              "byte_order": enc.byte_order, "reverse_bits": False}])
            dtype = layout.unpack(b"", offsets=[])[name].dtype
        dtypes[name] = dtype
    return dtypes


def _frame_meta(paths, dtypes, nullable):
    columns = {"packet_file": pd.Categorical([], categories=paths),
               "packet_offset": np.zeros(0, np.int64)}
    for name, dtype in dtypes.items():
        if name in columns:
            raise ValueError(f"field {name!r} has the name of a column that every frame has")
        columns[name] = pd.array([], dtype=_nullable(dtype) if nullable else dtype)
    return pd.DataFrame(columns, index=pd.Index(np.zeros(0, np.int64), name="packet_index"))


def _array(values, dtype):
    """A decoded column (maybe masked) as the frame's column type."""
    mask = np.ma.getmaskarray(values)
    data = np.ma.getdata(values)
    if isinstance(dtype, np.dtype):
        return data.astype(dtype, copy=False)
    if isinstance(dtype, (pd.StringDtype, pd.ArrowDtype)):
        if mask.any():
            data = data.copy()
            data[mask] = None
        return pd.array(data, dtype=dtype)
    return dtype.construct_array_type()(data.astype(dtype.numpy_dtype, copy=False), mask)


def _missing(n, dtype):
    text = isinstance(dtype, (pd.StringDtype, pd.ArrowDtype))
    return np.ma.masked_all(n, object if text else dtype.numpy_dtype)


def _frame(piece, rows, offsets, columns, meta):
    """One partition: rows are packet numbers within its range."""
    number, first = piece[0], piece[4]
    data = {"packet_file": pd.Categorical.from_codes(np.full(len(rows), number, np.int32),
                                                     dtype=meta["packet_file"].dtype),
            "packet_offset": offsets}
    for name in meta.columns[len(ROW_COLUMNS):]:
        data[name] = _array(columns[name], meta.dtypes[name])
    index = pd.Index(np.asarray(rows, np.int64) + first, name="packet_index")
    return pd.DataFrame(data, index=index, copy=False)


def _dataframe(parts, meta):
    """A dataframe of (piece, delayed partition) pairs, with divisions by packet number."""
    if not parts:
        return dd.from_pandas(meta, npartitions=1)
    divisions = [piece[4] for piece, _ in parts]
    last = parts[-1][0]
    divisions.append(last[4] + last[5] - 1)
    return dd.from_delayed([p for _, p in parts], meta=meta, divisions=tuple(divisions),
                           verify_meta=False)


# ---- tasks, run where the scheduler puts them ----


def _index_file(path, skip, per):
    """The one sequential pass over a file: its packet count, trailing bytes, the byte
    ranges of its partitions (record headers included) and the APIDs of each."""
    with _Buffer(path) as buf:
        index = ccsds_index(buf.view, skip_header_bytes=skip)
    offsets, apids = index["offset"], index["apid"]
    n = len(offsets)
    bounds = (offsets[::per] - skip).tolist()
    bounds.append(int(offsets[-1] + index["length"][-1]) if n else 0)
    values, counts = np.unique(apids, return_counts=True)
    return {"packets": n, "tail": int(index["tail"]), "bounds": bounds,
            "apids": [set(np.flatnonzero(np.bincount(apids[k:k + per], minlength=2048)).tolist())
                      for k in range(0, n, per)],
            "counts": dict(zip(values.tolist(), counts.tolist()))}


def _range_index(view, piece, skip):
    _, path, start, stop, _, count = piece
    index = ccsds_index(view[:stop], offset=start, skip_header_bytes=skip)
    if len(index["offset"]) != count or index["tail"]:
        raise RuntimeError(f"{path} changed after it was indexed: bytes {start} to {stop} no "
                           f"longer hold {count} whole packets")
    return index


def _pick(data, offsets, lengths, picker, apid):
    """Calls picker on each packet (bytes sliced from the file's map): a layout number per
    packet (-1 for None), and the distinct layouts in order of first appearance."""
    codes, by_id, by_value, chosen, seen = [], {}, {}, [], []
    for at, end in zip(offsets.tolist(), (offsets + lengths).tolist()):
        layout = picker(data[at:end])
        code = by_id.get(id(layout))
        if code is None:
            if layout is None:
                code = -1
            elif not isinstance(layout, Layout):
                raise TypeError(f"the layout function of APID {apid} returned "
                                f"{type(layout).__name__!r}, not a Layout or None")
            else:
                code = by_value.setdefault(layout, len(by_value))
                if code == len(chosen):
                    chosen.append(layout)
            by_id[id(layout)] = code
            seen.append(layout)  # kept alive, so that its id is not reused
        codes.append(code)
    return np.array(codes, np.int64), chosen


def _packets_of(view, piece, skip, apid):
    index = _range_index(view, piece, skip)
    rows = np.flatnonzero(index["apid"] == apid)
    return rows, index["offset"][rows], index["length"][rows]


def _picked_layouts(piece, apid, picker, skip):
    with _Buffer(piece[1]) as buf:
        _, offsets, lengths = _packets_of(buf.view, piece, skip, apid)
        return _pick(buf.map, offsets, lengths, picker, apid)[1]


def _decode_apid(piece, apid, entry, skip, errors, meta):
    with _Buffer(piece[1]) as buf:
        rows, offsets, lengths = _packets_of(buf.view, piece, skip, apid)
        if isinstance(entry, Layout):
            columns = entry.unpack(buf.view, offsets=offsets, lengths=lengths, errors=errors)
            return _frame(piece, rows, offsets, columns, meta)
        codes, chosen = _pick(buf.map, offsets, lengths, entry, apid)
        keep = codes >= 0
        rows, offsets, lengths, codes = rows[keep], offsets[keep], lengths[keep], codes[keep]
        columns = {name: _missing(len(rows), meta.dtypes[name])
                   for name in meta.columns[len(ROW_COLUMNS):]}
        for code, layout in enumerate(chosen):
            at = np.flatnonzero(codes == code)
            got = layout.unpack(buf.view, offsets=offsets[at], lengths=lengths[at],
                                errors=errors)
            for name, values in got.items():
                if name not in columns:
                    raise ValueError(f"the layout function of APID {apid} returned a layout "
                                     f"with {name!r}, which it never did while the frames "
                                     f"were made")
                columns[name][at] = values
        return _frame(piece, rows, offsets, columns, meta)


def _decode_definition(piece, definition, skip, derived, metas):
    with _Buffer(piece[1]) as buf:
        index = _range_index(buf.view, piece, skip)
        decoded = definition.decode_index(buf.view, index, derived=derived)
    frames = {}
    for name, meta in metas.items():
        table = decoded.get(name)
        if table is None:
            frames[name] = meta
            continue
        frames[name] = _frame(piece, table["packet_index"], table["packet_offset"], table, meta)
    return frames

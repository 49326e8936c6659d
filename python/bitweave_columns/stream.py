"""Telemetry decoded as it arrives: chunks of a stream cut anywhere, packets as they complete.

    from bitweave_columns import StreamDecoder

    decoder = StreamDecoder(definition)          # or {apid: Layout, ...}
    for chunk in socket_chunks:
        tables = decoder.feed(chunk)             # the packets this chunk completed
    rest = decoder.close()

Each feed indexes the bytes it holds (the unfinished packet of the last feed, then the new
chunk) with ``ccsds_index``, decodes the whole packets found in one call, and keeps the bytes
of the unfinished one. Rows are numbered from the start of the whole stream, so the results
of all feeds, joined (``Decoded.concat`` for a definition), are what one decode of the whole
stream gives.
"""
import numpy as np

from . import Layout, ccsds_index, xtce
from .frames import FrameReader

__all__ = ["StreamDecoder", "Tables"]

_COUNT_MODULUS = 1 << 14
_IDLE_APID = 0x7FF


class Tables(dict):
    """Tables by APID, each a dict of numpy columns plus "packet_index" and "packet_offset";
    with ``packets`` (whole packets indexed, of any APID) and ``tail`` (bytes held after the
    last whole packet)."""

    def __init__(self, tables, packets, tail):
        super().__init__(tables)
        self.packets, self.tail = packets, tail

    def __repr__(self):
        tables = ", ".join(f"{k}: {len(t['packet_index'])} rows" for k, t in self.items())
        return f"Tables({{{tables}}}, packets={self.packets}, tail={self.tail})"


class StreamDecoder:
    """Decodes a stream of CCSDS space packets that arrives in pieces.

    ``layouts`` is what ``dask.read_packets`` takes: a mapping from APID to a ``Layout``, or
    to a function of one packet (``bytes``, primary header first) that returns its
    ``Layout`` or None to leave it out; or an ``xtce.Definition``. ``skip_header_bytes``: a
    fixed record header before each packet. ``derived``: calibrated values and labels
    (with a definition). ``frames``: the stream is CCSDS TM transfer frames of this many
    bytes each (with an error control field), or a :class:`frames.FrameReader` for other
    frames; their packets are decoded, and ``packet_offset`` counts bytes of those packets
    as ``frames.tm_packets`` gives them. ``errors="mask"`` (with layouts) masks fields of
    packets shorter than their layout instead of raising.

    :meth:`feed` returns the packets the chunk completed; :meth:`close` what is left.
    """

    def __init__(self, layouts, *, skip_header_bytes=0, derived=False, frames=None,
                 errors="raise"):
        self._definition = isinstance(layouts, xtce.Definition)
        if self._definition:
            self._layouts = None
        elif hasattr(layouts, "items"):
            if derived:
                raise TypeError("derived= goes with an XTCE definition")
            self._layouts = {}
            for apid, entry in layouts.items():
                if isinstance(apid, bool) or not isinstance(apid, (int, np.integer)) \
                        or not 0 <= apid < 2048:
                    raise ValueError(f"{apid!r} is not an APID (an int from 0 to 2047)")
                if not isinstance(entry, Layout) and not callable(entry):
                    raise TypeError(f"layouts[{apid}] must be a Layout or a function of the "
                                    f"packet that returns one, not {type(entry).__name__!r}")
                self._layouts[int(apid)] = entry
        else:
            raise TypeError(f"layouts must map APIDs to layouts, or be an xtce.Definition, "
                            f"not {type(layouts).__name__!r}")
        if isinstance(skip_header_bytes, bool) or not isinstance(skip_header_bytes, int):
            raise TypeError("skip_header_bytes must be an int")
        if skip_header_bytes < 0:
            raise ValueError(f"skip_header_bytes must be >= 0, not {skip_header_bytes}")
        if errors not in ("raise", "mask"):
            raise ValueError(f"errors must be 'raise' or 'mask', not {errors!r}")
        if frames is not None and not isinstance(frames, FrameReader):
            frames = FrameReader("tm", frames)
        self.definition = layouts if self._definition else None
        self.skip_header_bytes = skip_header_bytes
        self.derived = bool(derived)
        self.errors = errors
        self.frames = frames
        self.gaps = []  # (apid, expected, got, packet_index)
        self.packets = 0  # whole packets so far
        self._held = bytearray()
        self._base = 0  # the stream byte of _held[0]
        self._last = {}  # APID -> its last sequence count
        self._closed = False

    @property
    def pending(self):
        """Bytes held: of an unfinished packet (and, with frames, of an unfinished frame
        and of packets still being joined from frames)."""
        return len(self._held) + (self.frames.pending if self.frames is not None else 0)

    @property
    def tail(self):
        """The bytes of the unfinished packet held (after close, what never completed)."""
        return bytes(self._held)

    def feed(self, chunk):
        """Takes the next bytes of the stream (any bytes-like object, cut anywhere) and
        returns the packets they completed: for a definition, a ``Decoded`` as
        ``Definition.decode`` gives it; for layouts, :class:`Tables`. Raises ValueError,
        and keeps nothing of the chunk, when a packet does not decode with its layout."""
        if self._closed:
            raise ValueError("feed() after close()")
        view = memoryview(chunk)
        if not view.c_contiguous:
            raise TypeError("chunk must be a contiguous buffer")
        if self.frames is not None:
            view = self.frames.feed(view)
        held = len(self._held)
        self._held += view.cast("B") if isinstance(view, memoryview) else view
        try:
            return self._decode()
        except BaseException:
            del self._held[held:]
            raise

    def close(self):
        """Ends the stream: returns a result with no packets (the shape :meth:`feed`
        returns) whose ``tail`` counts the bytes that never made a whole packet; those bytes
        stay in :attr:`tail`. Further feeds are refused."""
        self._closed = True
        return self._decode()

    def _decode(self):
        data = self._held
        index = ccsds_index(data, skip_header_bytes=self.skip_header_bytes)
        offsets = index["offset"]
        n = len(offsets)
        used = int(offsets[-1] + index["length"][-1]) if n else 0
        first = self.packets
        if self._definition:
            result = self.definition.decode_index(data, index, derived=self.derived)
            _shift_decoded(result, first, self._base)
        else:
            result = Tables(self._tables(data, index, first), n, int(index["tail"]))
        gaps, last = _gaps(index["apid"], index["seq_count"], first, self._last)
        # Everything decoded: only now is the state moved on.
        self.gaps.extend(gaps)
        self._last = last
        self.packets += n
        self._base += used
        del self._held[:used]
        return result

    def _tables(self, data, index, first):
        apids = index["apid"]
        tables = {}
        for apid, entry in self._layouts.items():
            rows = np.flatnonzero(apids == apid)
            if not len(rows):
                continue
            offs, lens = index["offset"][rows], index["length"][rows]
            try:
                if isinstance(entry, Layout):  # the index's columns need no checking
                    table, masks = entry._decode(data, None, None, 0, offs, lens,
                                                 self.errors == "mask")
                    if masks is not None:
                        table = {name: np.ma.MaskedArray(column, mask=masks[name])
                                 for name, column in table.items()}
                else:
                    table, rows, offs = self._picked(data, entry, apid, rows, offs, lens)
            except ValueError as e:
                raise ValueError(f"APID {apid}, counting from packet {first} of the stream: "
                                 f"{e}") from e
            table["packet_index"] = rows + first
            table["packet_offset"] = offs + self._base
            tables[apid] = table
        return tables

    def _picked(self, data, pick, apid, rows, offs, lens):
        """Packets whose layout a function chooses: columns of every layout chosen, masked
        where a packet's layout has no such field."""
        codes, chosen = [], []
        for at, end in zip(offs.tolist(), (offs + lens).tolist()):
            layout = pick(bytes(data[at:end]))
            if layout is not None and not isinstance(layout, Layout):
                raise TypeError(f"the layout function of APID {apid} returned "
                                f"{type(layout).__name__!r}, not a Layout or None")
            if layout is None:
                codes.append(-1)
                continue
            if layout not in chosen:
                chosen.append(layout)
            codes.append(chosen.index(layout))
        codes = np.asarray(codes, np.int64)
        keep = codes >= 0
        rows, offs, lens, codes = rows[keep], offs[keep], lens[keep], codes[keep]
        table = {}
        for code, layout in enumerate(chosen):
            at = np.flatnonzero(codes == code)
            got = layout.unpack(data, offsets=offs[at], lengths=lens[at], errors=self.errors)
            for name, values in got.items():
                if name not in table:
                    table[name] = np.ma.masked_all(len(rows), values.dtype)
                table[name][at] = values
        return table, rows, offs


def _shift_decoded(decoded, first, base):
    """Renumbers a decode of the held bytes as rows of the whole stream."""
    for table in decoded.values():
        table["packet_index"] = table["packet_index"] + first
        table["packet_offset"] = table["packet_offset"] + base
    for skipped in (decoded.unmatched, decoded.truncated, decoded.invalid, decoded.unsupported):
        skipped.packet_index = skipped.packet_index + first
        skipped.offsets = skipped.offsets + base


def _gaps(apids, counts, first, last):
    """Jumps of each APID's sequence count (idle packets aside) among these packets, the
    first of each APID compared with `last`, its count before them; and `last` moved on."""
    last = dict(last)
    if not len(apids):
        return [], last
    order = np.argsort(apids, kind="stable")
    a = apids[order]
    s = counts[order].astype(np.int32)
    same = a[1:] == a[:-1]
    # Within an APID: each count one past the one before, modulo 16384.
    inside = np.flatnonzero(same & ((s[1:] - s[:-1] - 1) & (_COUNT_MODULUS - 1) != 0)) + 1
    jumps = [(k, (int(s[k - 1]) + 1) % _COUNT_MODULUS) for k in inside.tolist()]
    starts = [0] + (np.flatnonzero(~same) + 1).tolist()
    for i, j in zip(starts, starts[1:] + [len(a)]):
        apid = int(a[i])
        if apid in last and (last[apid] + 1) % _COUNT_MODULUS != s[i]:
            jumps.append((i, (last[apid] + 1) % _COUNT_MODULUS))
        last[apid] = int(s[j - 1])
    gaps = sorted((int(a[k]), expected, int(s[k]), int(order[k]) + first)
                  for k, expected in jumps if a[k] != _IDLE_APID)
    gaps.sort(key=lambda g: g[3])
    return gaps, last

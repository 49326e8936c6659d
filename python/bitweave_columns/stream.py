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
from ._columns import _apid_groups, _SegmentJoiner, _sequence_gaps
from .frames import FrameReader
from .xtce.decode import _Buffer

__all__ = ["Segments", "StreamDecoder", "Tables", "join_segments"]

SEGMENT_LIMIT = 1 << 20  # bytes of partial packets held while their segments are joined
_NO_COUNTS = np.full(2048, -1, np.int32).tobytes()  # no APID's sequence count seen yet


class Segments(bytes):
    """Space packets one after another (a ``bytes``), segmented ones joined: with
    ``joined`` (packets joined from segments), ``segments`` (segments read),
    ``segments_dropped`` (segments of broken runs, never joined) and ``tail`` (bytes after
    the last whole packet, left out)."""

    joined: int
    segments: int
    segments_dropped: int
    tail: int

    def __repr__(self):
        return (f"Segments({len(self)} bytes, joined={self.joined}, segments={self.segments}, "
                f"segments_dropped={self.segments_dropped}, tail={self.tail})")

    __str__ = __repr__


def _joiner(apids, skip_header_bytes, segment_header_bytes):
    """The C++ joiner of the segments of `apids` (True: all)."""
    if isinstance(segment_header_bytes, bool) or not isinstance(segment_header_bytes, int):
        raise TypeError("segment_header_bytes must be an int")
    if not 0 <= segment_header_bytes <= 65536:
        raise ValueError(f"segment_header_bytes must be from 0 to 65536, not "
                         f"{segment_header_bytes}")
    if skip_header_bytes > 65536:
        raise ValueError(f"skip_header_bytes must be up to 65536 where segments are joined, "
                         f"not {skip_header_bytes}")
    words = np.zeros(32, np.uint64)  # bit a % 64 of word a // 64: APID a is joined
    if apids is True:
        words[:] = ~np.uint64(0)
    else:
        if isinstance(apids, (int, np.integer)):
            apids = [apids]
        for apid in apids:
            if isinstance(apid, bool) or not isinstance(apid, (int, np.integer)) \
                    or not 0 <= apid < 2048:
                raise ValueError(f"{apid!r} is not an APID (an int from 0 to 2047)")
            words[int(apid) >> 6] |= np.uint64(1 << (int(apid) & 63))
    return _SegmentJoiner(skip_header_bytes, segment_header_bytes, words.tobytes(),
                          SEGMENT_LIMIT)


def join_segments(data, apids=True, *, skip_header_bytes=0, segment_header_bytes=0):
    """The packets of a stream with each run of segments joined into one packet, as
    :class:`Segments` (which feeds ``ccsds_index`` and ``Definition.decode`` as it is).

    ``data`` is any contiguous buffer of space packets, each behind ``skip_header_bytes``
    of record header. ``apids``: the APIDs whose segments are joined (an int or several),
    all by default. Packets of sequence flags 01 (first segment), 00 (continuation) and 10
    (last) of one APID with consecutive sequence counts become one packet: the first
    segment's record and primary headers, with flags 11 and the length recomputed, its
    whole data field, then the user data of each later segment in order. Segments carry
    user data: ``segment_header_bytes`` is the size of the secondary header that a later
    segment carries when its header's flag says so, left out of the joined packet (the
    first segment's is kept). Other packets pass as they are.

    A broken run (a continuation or last segment with no first, a jump of the sequence
    count inside, a new first or an unsegmented packet of the APID before the last, more
    than a packet's 65536 bytes of data, or more than ``SEGMENT_LIMIT`` bytes of partial
    packets held) is dropped, its segments counted in ``segments_dropped``, never joined
    to other bytes; so is a run the data ends in.
    """
    if isinstance(skip_header_bytes, bool) or not isinstance(skip_header_bytes, int):
        raise TypeError("skip_header_bytes must be an int")
    if skip_header_bytes < 0:
        raise ValueError(f"skip_header_bytes must be >= 0, not {skip_header_bytes}")
    joiner = _joiner(apids, skip_header_bytes, segment_header_bytes)
    packets = Segments(joiner.feed(data)[0])
    joiner.finish()
    c = joiner.counts()
    packets.joined, packets.segments = c["joined"], c["segments"]
    packets.segments_dropped, packets.tail = c["dropped"], c["carry_bytes"]
    return packets


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

    ``segmented``: the APIDs (an int or several, or True for all) whose segmented packets
    are joined before decoding, as :func:`join_segments` joins them (with
    ``segment_header_bytes``); each joined packet is one row, and ``packet_offset`` then
    counts bytes of the packets as :func:`join_segments` gives them. Segments are held
    until their last arrives (in :attr:`pending`, at most ``SEGMENT_LIMIT`` bytes);
    :attr:`segments_dropped` counts those of broken runs. A gap is then a jump from the
    last segment of a packet to the next packet of its APID.

    ``first_errors`` of a definition's ``invalid`` packets, like ``packet_index`` and
    ``packet_offset``, count packets and bytes from the start of the whole stream.

    :meth:`feed` returns the packets the chunk completed; :meth:`close` what is left.
    """

    def __init__(self, layouts, *, skip_header_bytes=0, derived=False, frames=None,
                 errors="raise", segmented=None, segment_header_bytes=0):
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
            self._apids = list(self._layouts)
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
        self._joiner = None if segmented is None or segmented is False else \
            _joiner(segmented, skip_header_bytes, segment_header_bytes)
        self.gaps = []  # (apid, expected, got, packet_index)
        self.packets = 0  # whole packets so far
        self._held = bytearray()
        self._base = 0  # the stream byte of _held[0]
        self._counts = _NO_COUNTS  # each APID's last sequence count (int32), or -1
        self._closed = False

    @property
    def pending(self):
        """Bytes held: of an unfinished packet (and, with frames, of an unfinished frame
        and of packets still being joined from frames; with segmented, of segments held)."""
        held = len(self._held) + (self.frames.pending if self.frames is not None else 0)
        if self._joiner is not None:
            c = self._joiner.counts()
            held += c["carry_bytes"] + c["held_bytes"]
        return held

    @property
    def tail(self):
        """The bytes of the unfinished packet held (after close, what never completed)."""
        return bytes(self._held) + (self._joiner.carry() if self._joiner is not None else b"")

    @property
    def joined(self):
        """Packets joined from segments so far (0 unless ``segmented``)."""
        return self._joiner.counts()["joined"] if self._joiner is not None else 0

    @property
    def segments_dropped(self):
        """Segments of broken runs, never joined (at close, also those of the run the
        stream ended in)."""
        return self._joiner.counts()["dropped"] if self._joiner is not None else 0

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
        lasts = None
        if self._joiner is not None:  # whole packets only, segments joined
            view, lasts = self._joiner.feed(view)
        held = len(self._held)
        self._held += view.cast("B") if isinstance(view, memoryview) else view
        try:
            return self._decode(lasts)
        except BaseException:
            del self._held[held:]
            raise

    def close(self):
        """Ends the stream: returns a result with no packets (the shape :meth:`feed`
        returns) whose ``tail`` counts the bytes that never made a whole packet; those bytes
        stay in :attr:`tail`. Segments still held are dropped. Further feeds are refused."""
        self._closed = True
        result = self._decode(None)
        if self._joiner is not None:
            self._joiner.finish()
            result.tail += self._joiner.counts()["carry_bytes"]
        return result

    def _decode(self, lasts):
        data = self._held
        index = ccsds_index(data, skip_header_bytes=self.skip_header_bytes)
        offsets = index["offset"]
        n = len(offsets)
        used = int(offsets[-1] + index["length"][-1]) if n else 0
        first = self.packets
        if lasts is not None and len(lasts) != n:  # packets held from before: none with a joiner
            lasts = None
        gaps, counts = _sequence_gaps(index["apid"], index["seq_count"], lasts, first,
                                      self._counts)
        if self._definition:
            with _Buffer(data) as buf:
                result = self.definition._decode(buf, index, 0, None, self.derived,
                                                 first=first, base=self._base)
        else:
            result = Tables(self._tables(data, index, first), n, int(index["tail"]))
        # Everything decoded: only now is the state moved on.
        self.gaps.extend(gaps)
        self._counts = counts
        self.packets += n
        self._base += used
        del self._held[:used]
        return result

    def _tables(self, data, index, first):
        tables = {}
        # Each APID's packets in one pass over the index, numbered in the whole stream.
        groups = _apid_groups(index["apid"], index["offset"], index["length"], self._apids,
                              first, self._base)
        for apid, entry in self._layouts.items():
            group = groups.get(apid)
            if group is None:
                continue
            rows, offs, lens, where = group
            try:
                if isinstance(entry, Layout):  # the index's columns need no checking
                    table, masks = entry._decode(data, None, None, 0, offs, lens,
                                                 self.errors == "mask")
                    if masks is not None:
                        table = {name: np.ma.MaskedArray(column, mask=masks[name])
                                 for name, column in table.items()}
                else:
                    table, rows, where = self._picked(data, entry, apid, rows, offs, lens)
                    where += self._base
            except ValueError as e:
                raise ValueError(f"APID {apid}, counting from packet {first} of the stream: "
                                 f"{e}") from e
            table["packet_index"], table["packet_offset"] = rows, where
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

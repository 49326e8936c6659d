"""CCSDS transfer frames: the space packets they carry, joined again.

A downlink or a frame recorder holds fixed-length transfer frames, not packets. Each
virtual channel of the frames carries its own stream of space packets, cut wherever a frame
ends; the first header pointer of each frame says where its first packet starts.

    from bitweave_columns import ccsds_index
    from bitweave_columns.frames import tm_packets

    packets = tm_packets(recording, 1115)       # the packets, one after another
    index = ccsds_index(packets)                # or definition.decode(packets)
    packets.crc_errors, packets.lost            # what the frames said about the link

:func:`tm_packets` reads TM transfer frames, :func:`aos_packets` AOS frames (their M_PDU
packet zones); a :class:`FrameReader` does the same for a stream that arrives in pieces.
Frames whose error control field (CRC-16-CCITT) fails are not used. A packet broken by such
a frame or by a jump in its channel's frame count is dropped, never joined to bytes of
another packet; the channel starts again where the next good frame's first header pointer
says. Idle frames and idle packets (APID 0x7FF) are left out. The frame walk runs in C++
without the interpreter's lock.
"""
from ._columns import _FrameReader

__all__ = ["FrameReader", "Packets", "aos_packets", "tm_packets"]


class Packets(bytes):
    """Space packets one after another (a ``bytes``), with what the frames that carried them
    said: ``frames`` (whole frames read), ``idle_frames``, ``crc_errors`` (frames whose error
    control failed), ``invalid`` (frames whose headers do not hold together: a version or a
    first header pointer that no frame has), ``lost`` (jumps of a virtual channel's frame
    count, as ``(vcid, expected, got)``), ``dropped`` (packets broken by a lost or bad
    frame), ``idle_packets`` and ``tail`` (bytes after the last whole frame)."""

    frames: int
    idle_frames: int
    crc_errors: int
    invalid: int
    lost: list
    dropped: int
    idle_packets: int
    tail: int

    def __repr__(self):
        return (f"Packets({len(self)} bytes, frames={self.frames}, crc_errors={self.crc_errors}, "
                f"lost={len(self.lost)}, dropped={self.dropped}, tail={self.tail})")

    __str__ = __repr__


def _channels(virtual_channels, top):
    if virtual_channels is None:
        return (1 << 64) - 1
    if isinstance(virtual_channels, int):
        virtual_channels = [virtual_channels]
    mask = 0
    for v in virtual_channels:
        if isinstance(v, bool) or not isinstance(v, int):
            raise TypeError(f"virtual_channels must be ints, not {type(v).__name__!r}")
        if not 0 <= v <= top:
            raise ValueError(f"virtual channel {v} is not one of 0 to {top}")
        mask |= 1 << v
    return mask


def _length(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__!r}")
    if not 0 <= value <= 65536:
        raise ValueError(f"{what} must be from 0 to 65536, not {value}")
    return value


class FrameReader:
    """Transfer frames read as they arrive: ``FrameReader("tm", frame_length, ...)``.

    ``kind`` is ``"tm"`` or ``"aos"``; the other arguments are those of :func:`tm_packets`
    and :func:`aos_packets`. :meth:`feed` takes the next bytes, cut anywhere, and returns the
    packets they complete; the counts so far are :attr:`counts` (the attributes of
    :class:`Packets`), and :attr:`pending` is the bytes held (an unfinished frame, and an
    unfinished packet per channel).
    """

    def __init__(self, kind, frame_length, *, fecf=True, virtual_channels=None, ocf=False,
                 header_ec=False, insert_zone=0):
        if kind not in ("tm", "aos"):
            raise ValueError(f"kind must be 'tm' or 'aos', not {kind!r}")
        if kind == "tm" and (ocf or header_ec or insert_zone):
            raise TypeError("ocf, header_ec and insert_zone are AOS frame fields; a TM frame's "
                            "header flags its own operational control field")
        self.kind = kind
        self.frame_length = _length(frame_length, "frame_length")
        self._reader = _FrameReader(kind, self.frame_length, bool(fecf), bool(ocf),
                                    bool(header_ec), _length(insert_zone, "insert_zone"),
                                    _channels(virtual_channels, 7 if kind == "tm" else 62))

    def feed(self, data):
        """The packets completed by the next bytes of the stream, as ``bytes``."""
        return self._reader.feed(data)

    @property
    def counts(self):
        """What was read so far: a dict of frames, idle_frames, crc_errors, invalid, lost,
        dropped, idle_packets and packets (packets given out)."""
        c = self._reader.counts()
        del c["frame_bytes"], c["packet_bytes"]
        return c

    @property
    def pending(self):
        """Bytes held: the unfinished frame, and the unfinished packet of each channel."""
        c = self._reader.counts()
        return c["frame_bytes"] + c["packet_bytes"]

    @property
    def tail(self):
        """Bytes of the unfinished frame."""
        return self._reader.counts()["frame_bytes"]


def _read(reader, data):
    packets = Packets(reader.feed(data))
    c = reader._reader.counts()
    for name in ("frames", "idle_frames", "crc_errors", "invalid", "lost", "dropped",
                 "idle_packets"):
        setattr(packets, name, c[name])
    packets.tail = c["frame_bytes"]
    return packets


def tm_packets(data, frame_length, *, fecf=True, virtual_channels=None):
    """The space packets of a stream of CCSDS TM transfer frames, as :class:`Packets`.

    ``data`` is any contiguous buffer of frames of ``frame_length`` bytes each, header to
    error control field. ``fecf``: each frame ends in a 2-byte frame error control field,
    checked. ``virtual_channels``: the channels (0 to 7) whose packets are wanted, all by
    default; packets come in the order they complete. A frame's secondary header and its
    operational control field are skipped as its header flags them; frames of a channel
    that does not carry packets (the synchronisation flag set) count as ``invalid``.

    The result feeds ``ccsds_index`` and ``Definition.decode`` as it is.
    """
    return _read(FrameReader("tm", frame_length, fecf=fecf,
                             virtual_channels=virtual_channels), data)


def aos_packets(data, frame_length, *, fecf=True, ocf=False, header_ec=False, insert_zone=0,
                virtual_channels=None):
    """The space packets of a stream of CCSDS AOS transfer frames (their M_PDU packet
    zones), as :class:`Packets`.

    As :func:`tm_packets`, with the fields an AOS link fixes for all its frames: ``ocf``
    (a 4-byte operational control field before the error control field), ``header_ec`` (2
    bytes of frame header error control after the primary header) and ``insert_zone`` (its
    bytes, after the header). Channels are 0 to 62; 63 is the idle channel.
    """
    return _read(FrameReader("aos", frame_length, fecf=fecf, ocf=ocf, header_ec=header_ec,
                             insert_zone=insert_zone, virtual_channels=virtual_channels), data)

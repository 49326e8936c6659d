"""Transfer frames made here, with a CRC of our own, against the packets they were made of:
whole, chunked, with a frame corrupted or dropped, and random bytes."""
import binascii
import random

import pytest
from hypothesis import given, settings, strategies as st

from bitweave_columns.frames import FrameReader, aos_packets, tm_packets


def crc16(data):  # bit by bit: polynomial 0x1021, register from 0xFFFF
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def test_crc_known_answer():
    assert crc16(b"123456789") == 0x29B1 == binascii.crc_hqx(b"123456789", 0xFFFF)


def packet(apid, seq, n):
    return (apid.to_bytes(2, "big") + (0xC000 | seq).to_bytes(2, "big")
            + (n - 1).to_bytes(2, "big") + bytes(random.getrandbits(8) for _ in range(n)))


def make_frames(kind, length, channels, secondary=0, ocf=False):
    """Frames of each channel's packets, channels interleaved at random; and per channel
    the frames (by position) that each packet touches."""
    head = 6 + (secondary + 1 if secondary else 0) + (2 if kind == "aos" else 0)
    zone = length - head - 2 - (4 if ocf else 0)
    plans = {}
    for vc, packets in channels.items():
        stream, starts = b"".join(packets), []
        for p in packets:
            starts.append(sum(map(len, packets[:len(starts)])))
        plans[vc] = [stream, starts, 0, 0]  # bytes, packet starts, position, frame count
    frames, touched = [], {vc: [set() for _ in packets] for vc, packets in channels.items()}
    order = [vc for vc, plan in plans.items() for _ in range(-(-len(plan[0]) // zone))]
    random.shuffle(order)
    for vc in order:
        stream, starts, pos, count = plans[vc]
        fhp = next((s - pos for s in starts if pos <= s < pos + zone), 0x7FF)
        for i, s in enumerate(starts):
            if s < pos + zone and s + len(channels[vc][i]) > pos:
                touched[vc][i].add(len(frames))
        data = stream[pos:pos + zone]
        data += (b"\x07\xff" * zone)[:zone - len(data)]  # fill: an idle packet's start
        if kind == "tm":
            status = (0x8000 if secondary else 0) | fhp
            f = bytes([0x00, (vc << 1) | ocf, 0, count & 0xFF]) + status.to_bytes(2, "big")
            f += bytes([secondary]) + bytes(secondary) if secondary else b""
        else:
            f = bytes([0x40, vc]) + count.to_bytes(3, "big") + b"\x00" + fhp.to_bytes(2, "big")
        f += data + (b"OCF!" if ocf else b"")
        frames.append(f + crc16(f).to_bytes(2, "big"))
        plans[vc][2:] = [pos + zone, count + 1]
    return frames, touched


def read(kind, frames, length, ocf=False, **kw):
    data = b"".join(frames)
    if kind == "tm":
        return tm_packets(data, length, **kw)
    return aos_packets(data, length, ocf=ocf, **kw)


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(["tm", "aos"]), st.integers(24, 300), st.integers(0, 2**32),
       st.integers(0, 5), st.booleans(), st.data())
def test_frames_give_back_their_packets(kind, length, seed, secondary, ocf, data):
    # Frames of at least 24 bytes: room for data behind the largest headers and trailers.
    random.seed(seed)
    secondary = secondary if kind == "tm" and secondary else 0
    channels = {vc: [packet(random.randrange(0x7FF), i % 16384, random.randint(1, 200))
                     for i in range(random.randint(0, 12))] for vc in (1, 5)}
    frames, touched = make_frames(kind, length, channels, secondary, ocf)
    got = read(kind, frames, length, ocf)
    assert got.frames == len(frames) and not (got.crc_errors or got.lost or got.dropped)
    for vc, packets in channels.items():
        assert read(kind, frames, length, ocf, virtual_channels=[vc]) == b"".join(packets)
    # Chunks cut anywhere give the same.
    reader = FrameReader(kind, length, ocf=ocf) if kind == "aos" else FrameReader(kind, length)
    whole, out, at = b"".join(frames), b"", 0
    while at < len(whole):
        step = data.draw(st.integers(1, 3 * length))
        out, at = out + reader.feed(whole[at:at + step]), at + step
    assert out == got and reader.pending < length + 65542 * 2

    # A frame corrupted, or missing: the packets it carried are lost, and no others.
    if not frames:
        return
    bad = data.draw(st.integers(0, len(frames) - 1), "bad")
    keep = {vc: b"".join(p for p, t in zip(channels[vc], touched[vc]) if bad not in t)
            for vc in channels}
    corrupted = list(frames)
    corrupted[bad] = corrupted[bad][:-3] + bytes([corrupted[bad][-3] ^ 1]) + corrupted[bad][-2:]
    for broken, crc_errors in ((corrupted, 1), (frames[:bad] + frames[bad + 1:], 0)):
        for vc in channels:
            got = read(kind, broken, length, ocf, virtual_channels=[vc])
            assert got == keep[vc] and got.crc_errors == crc_errors


def test_idle_frames_and_idle_packets_are_left_out():
    random.seed(1)
    packet_bytes = [packet(3, 0, 10), packet(0x7FF, 0, 40), packet(3, 1, 10)]
    frames, _ = make_frames("tm", 64, {0: packet_bytes})
    oid = bytearray(frames[0])
    oid[3], oid[4:6] = len(frames), b"\x07\xfe"
    oid[-2:] = crc16(oid[:-2]).to_bytes(2, "big")
    got = tm_packets(b"".join(frames) + bytes(oid), 64)
    assert got == packet_bytes[0] + packet_bytes[2]
    assert (got.idle_frames, got.idle_packets, got.lost) == (1, 1, [])


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=3000), st.integers(16, 200), st.sampled_from(["tm", "aos"]),
       st.booleans())
def test_random_bytes_are_read_without_error(data, length, kind, fecf):
    got = read(kind, [data], length, fecf=fecf)
    assert got.frames == len(data) // length and got.tail == len(data) % length


@pytest.mark.parametrize("call, error", [
    (lambda: tm_packets(b"", 8), ValueError),
    (lambda: tm_packets(b"", 70000), ValueError),
    (lambda: tm_packets(b"", 100, virtual_channels=[8]), ValueError),
    (lambda: aos_packets(b"", 20, insert_zone=10), ValueError),
    (lambda: tm_packets([1, 2], 100), TypeError),
    (lambda: FrameReader("tm", 100, ocf=True), TypeError),
])
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call()

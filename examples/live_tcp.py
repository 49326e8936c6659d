"""Live telemetry over TCP, decoded as it arrives.

A sender thread replays a recorded packet file (by default the JPSS-1 attitude and ephemeris
file of the corpus) over the loopback interface in chunks of random size, optionally inside
CCSDS TM transfer frames; the receiver decodes what arrives with a StreamDecoder, prints a
line a second (packets, sequence gaps, the latest values of a few parameters), and at the end
checks that everything it decoded equals one decode of the whole file.

    python examples/live_tcp.py [--frames 1115] [--rate 200000] [--timeout 60]

Loopback only; the run stops by itself when the file has been sent, or after --timeout.
"""
import argparse
import binascii
import random
import socket
import sys
import threading
import time
from pathlib import Path

import numpy as np

from bitweave_columns import StreamDecoder, ccsds_index, xtce
from bitweave_columns.frames import tm_packets
from bitweave_columns.xtce.decode import Decoded

JPSS = Path(__file__).resolve().parents[2] / "shared" / "corpus" / "space_packet_parser" / "jpss"


def tm_frames(packets, length, vcid=1):
    """The packets laid end to end in TM frames of `length` bytes (with their CRC)."""
    zone, starts, frames = length - 8, ccsds_index(packets)["offset"].tolist(), []
    k = 0
    for pos in range(0, len(packets), zone):
        while k < len(starts) and starts[k] < pos:
            k += 1
        fhp = starts[k] - pos if k < len(starts) and starts[k] < pos + zone else 0x7FF
        head = bytes([0, vcid << 1, 0, len(frames) & 0xFF]) + fhp.to_bytes(2, "big")
        body = head + packets[pos:pos + zone].ljust(zone, b"\xff")
        frames.append(body + binascii.crc_hqx(body, 0xFFFF).to_bytes(2, "big"))
    return b"".join(frames)


def send(server, data, rate, seed):
    """Accepts one receiver and sends it `data` in chunks of random size, at about `rate`
    bytes a second."""
    rng = random.Random(seed)
    conn, _ = server.accept()
    with conn:
        at, start = 0, time.monotonic()
        while at < len(data):
            step = rng.choice([1, rng.randint(1, 64), rng.randint(64, 8192)])
            conn.sendall(data[at:at + step])
            at += step
            ahead = at / rate - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=Path,
                        default=JPSS / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1")
    parser.add_argument("--xtce", type=Path, default=JPSS / "jpss1_geolocation_xtce_v1.xml")
    parser.add_argument("--frames", type=int, default=0, help="TM frame length (0: packets)")
    parser.add_argument("--rate", type=float, default=200_000, help="bytes a second")
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)

    definition = xtce.load(args.xtce)
    packets = args.packets.read_bytes()
    wire = tm_frames(packets, args.frames) if args.frames else packets

    server = socket.create_server(("127.0.0.1", 0))
    sender = threading.Thread(target=send, args=(server, wire, args.rate, args.seed), daemon=True)
    sender.start()
    decoder = StreamDecoder(definition, frames=args.frames or None)
    parts, latest, received = [], {}, 0
    deadline = time.monotonic() + args.timeout
    with socket.create_connection(server.getsockname(), timeout=args.timeout) as conn:
        next_line = time.monotonic() + 1
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            received += len(chunk)
            got = decoder.feed(chunk)
            parts.append(got)
            for table in got.values():
                if len(table["packet_index"]):
                    names = [n for n in table if n not in ("packet_index", "packet_offset")]
                    latest = {name: table[name][-1] for name in names[-3:]}
            if time.monotonic() >= next_line:
                next_line += 1
                values = ", ".join(f"{k}={v}" for k, v in latest.items())
                print(f"{received} bytes, {decoder.packets} packets, {len(decoder.gaps)} gaps; "
                      f"{values}", flush=True)
            if time.monotonic() > deadline:
                print(f"stopped after {args.timeout} s", file=sys.stderr)
                return 1
    parts.append(decoder.close())
    server.close()
    sender.join(timeout=5)

    got = Decoded.concat(parts)
    whole = definition.decode(tm_packets(wire, args.frames) if args.frames else packets)
    same = list(got) == list(whole) and all(
        np.array_equal(got[name][col], values) for name, table in whole.items()
        for col, values in table.items())
    print(f"{decoder.packets} packets, {len(decoder.gaps)} gaps, {len(decoder.tail)} bytes of "
          f"tail: {'identical to' if same else 'DIFFERENT from'} one decode of the whole file")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())

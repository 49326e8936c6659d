"""Pack a CCSDS space packet with a small housekeeping payload, then read it back.

    pip install . && python examples/ccsds_demo.py

The packet is a 6-byte primary header followed by housekeeping fields at odd widths, so
most of them straddle byte boundaries: integers, a temperature as an IEEE 754 single,
an on-board time of day as a packed BCD time code (hhmmss) and a status word as ASCII
text. The layout is two tables of field rows (PRIMARY_HEADER, HOUSEKEEPING); the recipe
for both pack_parameters and unpack_parameters is built from them in one place,
recipe(), and reference_packet() builds the same bytes with plain integer arithmetic as
a cross-check.
"""

import struct

import bitweave

# (name, encoding, bits, value). Widths in bits; big-endian, most significant bit first.
PRIMARY_HEADER = [
    ("version", "unsigned", 3, 0),  # always 0 for a CCSDS space packet
    ("type", "unsigned", 1, 0),  # 0 = telemetry, 1 = telecommand
    ("sec_header_flag", "unsigned", 1, 0),
    ("apid", "unsigned", 11, 0x2A5),
    ("sequence_flags", "unsigned", 2, 0b11),  # unsegmented user data
    ("sequence_count", "unsigned", 14, 12345),
    ("packet_data_length", "unsigned", 16, None),  # filled in by build_fields()
]

HOUSEKEEPING = [
    ("battery_voltage_raw", "unsigned", 12, 3071),  # ADC count, 0..4095
    ("battery_current_raw", "twos_complement", 10, -137),  # signed ADC count, -512..511
    ("panel_temp_raw", "twos_complement", 9, -40),
    ("mode", "unsigned", 3, 5),  # 0 = off ... 5 = science
    ("heater_on", "unsigned", 1, 1),
    ("reaction_wheel_rpm", "twos_complement", 16, -2750),
    ("board_temp_c", "ieee754_f32", 32, 21.375),  # exact in binary32
    ("time_of_day", "packed_bcd", 24, 134502),  # 13:45:02 as six BCD digits
    ("error_count", "unsigned", 7, 3),
    ("status", "us_ascii", 32, "NOML"),  # four characters, one byte each
    ("spare", "unsigned", 6, 0),  # pads the payload to whole bytes
]

HEADER_BITS = sum(bits for _, _, bits, _ in PRIMARY_HEADER)


def build_fields():
    """The field list with the header's data length computed from the payload."""
    payload_bits = sum(bits for _, _, bits, _ in HOUSEKEEPING)
    assert payload_bits % 8 == 0, f"payload is {payload_bits} bits, not whole bytes"
    # CCSDS: the packet data length is the number of bytes after the primary header, minus 1.
    data_length = payload_bits // 8 - 1
    header = [
        (name, enc, bits, data_length if name == "packet_data_length" else value)
        for name, enc, bits, value in PRIMARY_HEADER
    ]
    return header + HOUSEKEEPING


def recipe(fields, with_values=True):
    """Recipe items for bitweave; the one place that knows the recipe's keys."""
    items = []
    for name, encoding, bits, value in fields:
        item = {
            "name": name,
            "encoding": encoding,
            "bits": bits,
            "byte_order": "big",
            "reverse_bits": False,
        }
        if with_values:
            item["value"] = value
        items.append(item)
    return items


def reference_pattern(encoding, bits, value):
    """A field's bits as an integer, computed without bitweave."""
    if encoding == "ieee754_f32":
        return int.from_bytes(struct.pack(">f", value), "big")
    if encoding == "packed_bcd":
        return int(str(value), 16)  # each decimal digit becomes one nibble
    if encoding == "us_ascii":
        return int.from_bytes(value.encode("ascii"), "big")
    return value & ((1 << bits) - 1)  # two's complement by masking


def reference_packet(fields):
    """The same packet built with plain integer arithmetic, as a cross-check."""
    acc, nbits = 0, 0
    for _, encoding, bits, value in fields:
        acc = (acc << bits) | reference_pattern(encoding, bits, value)
        nbits += bits
    pad = -nbits % 8
    return (acc << pad).to_bytes((nbits + pad) // 8, "big")


def main():
    fields = build_fields()
    packet = bitweave.pack_parameters(recipe(fields))

    header_bytes = HEADER_BITS // 8
    print(f"packet ({len(packet)} bytes)")
    print(f"  primary header: {packet[:header_bytes].hex(' ')}")
    print(f"  housekeeping:   {packet[header_bytes:].hex(' ')}")

    # The parser needs no values; read the payload again from its own offset too.
    decoded = bitweave.unpack_parameters(packet, 0, recipe(fields, with_values=False))
    payload = bitweave.unpack_parameters(packet, HEADER_BITS, recipe(HOUSEKEEPING, False))

    width = max(len(name) for name, _, _, _ in fields)
    print("\ndecoded fields")
    for name, encoding, bits, value in fields:
        got = decoded[name]
        assert got == value, f"{name}: packed {value}, unpacked {got}"
        print(f"  {name:<{width}}  {bits:>2} bits  {encoding:<16} {got!s:>7}")
    assert payload == {name: value for name, _, _, value in HOUSEKEEPING}

    # Engineering values, from calibrations the ground segment would normally hold.
    volts = decoded["battery_voltage_raw"] * 33.0 / 4095
    amps = decoded["battery_current_raw"] * 0.01
    hhmmss = f"{decoded['time_of_day']:06d}"
    print(f"\nbattery: {volts:.2f} V, {amps:+.2f} A; board at {decoded['board_temp_c']:.3f} C; "
          f"status {decoded['status']} at {hhmmss[:2]}:{hhmmss[2:4]}:{hhmmss[4:]}")

    assert packet == reference_packet(fields)
    assert packet[4:6] == (len(packet) - header_bytes - 1).to_bytes(2, "big")
    print("round trip ok")


if __name__ == "__main__":
    main()

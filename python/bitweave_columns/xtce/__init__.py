"""Decode a telemetry file straight from its XTCE document, into columns.

    from bitweave_columns import xtce

    definition = xtce.load("mission.xml")          # XTCE 1.1 or 1.2, namespaced or not
    tables = definition.decode("packets.bin")      # {container name: {parameter: numpy column}}
    hk = tables["HK_Packet"]
    hk["BATTERY_V"], hk["packet_index"], hk["packet_offset"]
    tables.unmatched.count, tables.truncated.first_offsets

`load` reads the document with the standard library's expat parser and refuses document type
declarations, so no entity is ever expanded. It understands what a packet decoder needs and
refuses, naming the element and its line, everything that would change how a packet is read
and that it cannot honour (arrays, repeated entries, time types, commands, ...): nothing is
skipped in silence. Only descriptive elements (descriptions, aliases, ancillary data, units,
alarms, valid ranges) are passed over.

`Definition.decode` indexes the packet stream by the primary headers' length fields, walks the
container inheritance tree once per level for all packets together (each level's own entries
decoded with one compiled `Layout` over every packet that reached it, its children's
restriction criteria evaluated on the decoded columns with numpy), and returns one table per
concrete container, rows in stream order.

The package's files: `_xml` reads the XML safely, `model` holds the encodings, types,
parameters, containers and their conditions, `loader` reads a document into the model,
`definition` compiles it, `decode` reads packets with it, and `calibration` gives derived
values.
"""
from ._xml import NAMESPACES, XTCE_1_1, XTCE_1_2, XtceError
from .decode import Decoded, Skipped
from .definition import Definition
from .loader import load
from .model import ROW_COLUMNS, Container, Encoding, Parameter, ParameterType

__all__ = [
    "Container",
    "Decoded",
    "Definition",
    "Encoding",
    "Parameter",
    "ParameterType",
    "Skipped",
    "XtceError",
    "load",
]

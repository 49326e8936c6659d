"""Decode a telemetry file straight from its XTCE document, into columns.

    from bitweave_columns import xtce

    definition = xtce.load("mission.xml")          # XTCE 1.1 or 1.2, namespaced or not
    tables = definition.decode("packets.bin")      # {container name: {parameter: numpy column}}
    hk = tables["HK_Packet"]
    hk["BATTERY_V"], hk["packet_index"], hk["packet_offset"]
    tables.unmatched.count, tables.truncated.first_offsets

`load` reads the document with the standard library's expat parser and refuses document type
declarations, so no entity is ever expanded. It reads a database split over several
documents as one (`xtce.load(["a.xml", ("/Top/Sub", "b.xml")])`), nested space systems as a
tree, and qualified, relative and short references as XTCE resolves them. What cannot change
how a packet's bits are read (descriptions, aliases, alarms, commands, algorithms, ...) is
passed over and listed on `definition.skipped`; a type, parameter or container that cannot be
read refuses only the containers that use it (`definition.unsupported`, and
`tables.unsupported` counts their packets), and `load(..., strict=True)` raises instead.
Nothing is skipped in silence. Tables and columns are keyed by short names where those are
unique, by qualified names ("/Top/Sub/HK") where two space systems share one.

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
from .commands import Argument, Command, CommandError
from .decode import Decoded, Skipped
from .definition import Definition
from .loader import load
from .model import ROW_COLUMNS, Container, Encoding, Parameter, ParameterType, Passed

__all__ = [
    "Argument",
    "Command",
    "CommandError",
    "Container",
    "Decoded",
    "Definition",
    "Encoding",
    "Parameter",
    "Passed",
    "ParameterType",
    "Skipped",
    "XtceError",
    "load",
]

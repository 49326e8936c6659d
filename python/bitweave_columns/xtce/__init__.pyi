"""Mission definitions in XTCE: documents read into packet layouts, packet files decoded into
numpy columns by container."""

import os
from typing import IO, Any, Iterable, NamedTuple, Union

import numpy as np
import numpy.typing as npt

from .. import Layout

__all__ = ["Argument", "Command", "CommandError", "Container", "Decoded", "Definition", "Encoding", "Parameter", "Passed",
           "ParameterType", "Skipped", "XtceError", "load"]

XTCE_1_1: str
XTCE_1_2: str
NAMESPACES: dict[str, str]
ROW_COLUMNS: tuple[str, str]

_Path = Union[str, os.PathLike[str]]
_Source = Union[_Path, IO[str], IO[bytes]]

class XtceError(ValueError):
    """A document that cannot be read as XTCE, or holds what this module does not support;
    `element` and `line` name the place."""

    element: str | None
    line: int | None
    def __init__(self, message: str, element: str | None = None, line: int | None = None) -> None: ...

class CommandError(XtceError):
    """A command that cannot be encoded or read back as asked; names command and argument."""

class Argument:
    """A command argument: its type, initial engineering value and valid range."""

    name: str
    type: Any
    initial: Any
    range: tuple[Any, Any, bool, bool, bool] | None
    size_range: tuple[int, int] | None
    def __init__(self, name: str, atype: Any, initial: Any, vrange: Any, size_range: Any) -> None: ...

class Command:
    """A meta command: its arguments, its base's assignments and its fields in order."""

    name: str
    abstract: bool
    base: str | None
    arguments: dict[str, Argument]
    assignments: dict[str, Any]
    fields: tuple[tuple[Any, ...], ...]
    line: int | None
    def __init__(self, name: str, abstract: bool, base: str | None, arguments: dict[str, Argument],
                 assignments: dict[str, Any], fields: tuple[tuple[Any, ...], ...],
                 line: int | None) -> None: ...
    def values(self, args: dict[str, Any]) -> dict[str, Any]: ...
    def encode(self, args: dict[str, Any], sequence_count: int | None = None,
               ccsds_length: bool = False, checksum: str | bool | None = None) -> bytes: ...
    def encode_many(self, columns: dict[str, Any]) -> bytes: ...
    def signature(self) -> tuple[tuple[int, int, int], ...]: ...
    def raw(self, arg: Argument, value: Any) -> Any: ...
    def uncalibrate(self, arg: Argument, value: Any) -> Any: ...
    def check_range(self, arg: Argument, value: Any) -> None: ...
    def check_size(self, arg: Argument, size: int, unit: str) -> None: ...
    def decode(self, packet: Any) -> dict[str, Any]: ...
    def cook(self, arg: Argument, raw: Any) -> Any: ...

class Passed(NamedTuple):
    """What a document holds that decoding does not use: how many, and the first line."""

    count: int  # type: ignore[assignment]  # a field, where tuple has a method
    first_line: int

class Encoding:
    """How a parameter's raw value sits in a packet."""

    kind: str
    codec: str
    bits: int | None
    byte_order: str
    reverse_bits: bool
    size_ref: str | None
    size_calibrated: bool
    slope: float
    intercept: float
    leading_bits: int
    terminator: bytes | None
    unit: int
    max_bits: int | None
    def __init__(
        self,
        kind: str,
        codec: str,
        bits: int | None,
        byte_order: str = "big",
        *,
        size_ref: str | None = None,
        size_calibrated: bool = True,
        slope: float = 1.0,
        intercept: float = 0.0,
        leading_bits: int = 0,
        terminator: bytes | None = None,
        unit: int = 1,
        max_bits: int | None = None,
    ) -> None: ...
    @property
    def fixed(self) -> bool: ...

class ParameterType:
    """A parameter type: its kind, encoding, calibrator, labels and units."""

    name: str
    kind: str
    encoding: Encoding
    def __init__(
        self,
        name: str,
        kind: str,
        encoding: Encoding,
        *,
        calibrator: Any = None,
        labels: Any = None,
        label_ranges: Any = (),
        units: Any = (),
        bool_strings: tuple[str, str] = ("False", "True"),
        line: int | None = None,
        contexts: Any = (),
    ) -> None: ...
    @property
    def has_derived(self) -> bool: ...

class Parameter:
    """A parameter: its name, type and descriptions."""

    name: str
    type: ParameterType
    short_description: str | None
    def __init__(
        self, name: str, ptype: ParameterType, short_description: str | None = None,
        line: int | None = None,
    ) -> None: ...
    @property
    def units(self) -> Any: ...

class Container:
    """A sequence container: its base, restriction criteria and entries."""

    name: str
    abstract: bool
    base: str | None
    children: tuple[str, ...]
    def __init__(
        self, name: str, abstract: bool, base: str | None, restriction: Any, entries: Any,
        line: int | None,
    ) -> None: ...

class Skipped:
    """Packets left out of the tables: how many, their numbers and byte positions in the
    stream, and how many per container."""

    packet_index: npt.NDArray[np.int64]
    offsets: npt.NDArray[np.int64]
    by_container: dict[str, int]
    first_errors: list[Any]
    def __init__(
        self,
        packet_index: npt.NDArray[np.int64],
        offsets: npt.NDArray[np.int64],
        by_container: dict[str, int],
        first_errors: Any = (),
    ) -> None: ...
    def __bool__(self) -> bool: ...
    @property
    def count(self) -> int: ...
    @property
    def first_offsets(self) -> list[int]: ...

class Decoded(dict[str, dict[str, Any]]):
    """Tables by container name, each a dict of numpy columns with "packet_index" and
    "packet_offset"; the packets left out (`unmatched`, `truncated`, `invalid`,
    `unsupported`), `packets` and `tail`."""

    unmatched: Skipped
    truncated: Skipped
    invalid: Skipped
    unsupported: Skipped
    packets: int
    tail: int
    definition: Definition | None
    derived: bool
    def __init__(
        self,
        tables: dict[str, dict[str, Any]],
        unmatched: Skipped,
        truncated: Skipped,
        packets: int,
        tail: int,
        invalid: Skipped | None = None,
        unsupported: Skipped | None = None,
        names: Any = None,
    ) -> None: ...
    def __missing__(self, key: str) -> dict[str, Any]: ...
    def to_xarray(self) -> dict[str, Any]:
        """{container name: xarray.Dataset}, a `packet` dimension with `packet_index` and
        `packet_offset` as coordinates, units and descriptions as attributes."""
    def to_pandas(self) -> dict[str, Any]:
        """{container name: pandas.DataFrame} indexed by `packet_index`."""
    def to_parquet(self, folder: str | os.PathLike[str], **options: Any) -> dict[str, str]:
        """One Parquet file per container in `folder`, units in the schema's metadata;
        returns {container name: path}."""
    @classmethod
    def concat(cls, parts: Iterable[Decoded]) -> Decoded: ...

class Definition:
    """An XTCE database's telemetry packets, ready to decode."""

    name: str | None
    xtce_version: str | None
    source: str | None
    parameter_types: dict[str, ParameterType]
    parameters: dict[str, Parameter]
    containers: dict[str, Container]
    commands: dict[str, Command]
    unsupported_commands: dict[str, XtceError]
    root: str | None
    concrete: tuple[str, ...]
    skipped: dict[str, Passed]
    unsupported: dict[str, XtceError]
    def __init__(self, loader: Any, root: str | None) -> None: ...
    def fields(self, container_name: str) -> tuple[str, ...]: ...
    def encode_command(self, name: str, args: dict[str, Any] | None = None, /, *,
                       sequence_count: int | None = None, ccsds_length: bool = False,
                       checksum: str | bool | None = None, **kwargs: Any) -> bytes: ...
    def decode_command(self, packet: Any) -> tuple[str, dict[str, Any]]: ...
    def layout(self, container_name: str) -> Layout: ...
    def datetimes(self, name: str, column: Any) -> Any: ...
    def decode(self, data: Any, *, derived: bool = False, skip_header_bytes: int = 0) -> Decoded: ...
    def decode_packet(self, packet: Any, *, derived: bool = False) -> tuple[str, dict[str, Any]]:
        """Decode one space packet: (container name, values by parameter name), the values of
        that packet's row of decode, as Python objects."""
    def decode_index(
        self,
        data: Any,
        index: Any,
        start: int = 0,
        stop: int | None = None,
        *,
        derived: bool = False,
    ) -> Decoded: ...

def load(
    source: _Source | list[_Source | tuple[str, _Source]],
    *,
    root: str | None = None,
    strict: bool = False,
) -> Definition:
    """Read an XTCE document, or several as one database, into a `Definition`."""

"""Telemetry decoded as it arrives: chunks of a stream cut anywhere."""

from collections.abc import Callable, Iterable, Mapping
from typing import Any, Literal

from typing_extensions import disjoint_base

from . import Layout
from .frames import FrameReader
from .xtce import Decoded, Definition

__all__ = ["Segments", "StreamDecoder", "Tables", "join_segments"]

SEGMENT_LIMIT: int

@disjoint_base
class Segments(bytes):
    """Space packets one after another, segmented ones joined."""

    joined: int
    segments: int
    segments_dropped: int
    tail: int

def join_segments(
    data: Any,
    apids: bool | int | Iterable[int] = True,
    *,
    skip_header_bytes: int = 0,
    segment_header_bytes: int = 0,
) -> Segments:
    """The packets of a stream with each run of segments joined into one packet."""

class Tables(dict[int, dict[str, Any]]):
    """Tables by APID, with the packets indexed and the bytes held."""

    packets: int
    tail: int
    def __init__(self, tables: Mapping[int, dict[str, Any]], packets: int, tail: int) -> None: ...

class StreamDecoder:
    """Decodes a stream of CCSDS space packets that arrives in pieces."""

    definition: Definition | None
    skip_header_bytes: int
    derived: bool
    errors: Literal["raise", "mask"]
    frames: FrameReader | None
    gaps: list[tuple[int, int, int, int]]
    packets: int
    def __init__(
        self,
        layouts: Mapping[int, Layout | Callable[[bytes], Layout | None]] | Definition,
        *,
        skip_header_bytes: int = 0,
        derived: bool = False,
        frames: int | FrameReader | None = None,
        errors: Literal["raise", "mask"] = "raise",
        segmented: bool | int | Iterable[int] | None = None,
        segment_header_bytes: int = 0,
    ) -> None: ...
    @property
    def pending(self) -> int:
        """Bytes held."""
    @property
    def tail(self) -> bytes:
        """The bytes of the unfinished packet held."""
    @property
    def joined(self) -> int:
        """Packets joined from segments so far."""
    @property
    def segments_dropped(self) -> int:
        """Segments of broken runs, never joined."""
    def feed(self, chunk: Any) -> Decoded | Tables:
        """The packets the chunk completed, decoded."""
    def close(self) -> Decoded | Tables:
        """What is left, with no packets."""

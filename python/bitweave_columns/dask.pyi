"""Packet files decoded by packet type, in parallel, as Dask dataframes."""

import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal

from . import Layout
from .xtce import Definition

__all__ = ["PacketFrames", "read_packets"]

DEFAULT_PARTITION_PACKETS: int

class PacketFrames(dict[Any, Any]):
    """Dask dataframes by APID (or, for an XTCE definition, by container name), with the
    index pass's `paths`, `packets`, `tails` (per file) and `apids` (packets per APID)."""

    paths: list[str]
    packets: list[int]
    tails: list[int]
    apids: dict[int, int]
    def __init__(
        self,
        frames: Mapping[Any, Any],
        paths: list[str],
        packets: list[int],
        tails: list[int],
        apids: dict[int, int],
    ) -> None: ...

def read_packets(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    layouts: Mapping[int, Layout | Callable[[bytes], Layout | None]] | Definition,
    *,
    skip_header_bytes: int = 0,
    partition_packets: int = ...,
    errors: Literal["raise", "mask"] = "raise",
    derived: bool = False,
) -> PacketFrames:
    """Dataframes of the packets of CCSDS packet files, one per packet type: each file
    indexed once, each partition a task that memory-maps its file and decodes its range
    with ``Layout.unpack(offsets=, lengths=)``."""

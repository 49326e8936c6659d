"""The compiled part of bitweave_columns."""

from collections.abc import Mapping
from typing import Any, final

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

@disjoint_base
class LayoutBase:
    """A recipe compiled once (the base of Layout)."""

    def __new__(cls, recipe: Any) -> LayoutBase: ...
    @property
    def names(self) -> tuple[str, ...]:
        """The column names, in recipe order (a repeated name once)."""
    @property
    def bits(self) -> int:
        """The furthest field end, in bits from the packet's start."""
    @property
    def size(self) -> int:
        """The length in bytes that pack_parameters gives the recipe."""
    @property
    def recipe(self) -> list[dict[str, Any]]:
        """The recipe, as a list of fresh dicts."""
    def unpack_one(self, data: Any, offset_bits: int = 0) -> dict[str, Any]:
        """The fields of one packet as a dict, exactly as unpack_parameters gives them for
        this layout's recipe (same values, same errors with their notes)."""
    def pack_one(self, values: Mapping[str, Any]) -> bytes:
        """One packet from a mapping of field names to values, exactly as pack_parameters
        packs this layout's recipe with those values."""
    def _decode(
        self,
        data: Any,
        count: int | None,
        stride: int | None,
        offset_bits: int,
        offsets: Any,
        lengths: Any,
        masking: bool,
        /,
    ) -> tuple[dict[str, npt.NDArray[Any]], dict[str, npt.NDArray[np.bool_]] | None]: ...
    def _encode(self, columns: Any, count: int, /) -> bytes: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def ccsds_index(data: Any, *, offset: int = 0, skip_header_bytes: int = 0) -> dict[str, Any]:
    """Indexes a stream of CCSDS space packets: numpy columns "offset", "length", "apid",
    "seq_count", "seq_flags", "type" and "sec_hdr" (one row per whole packet), and "tail",
    the bytes after the last whole packet."""

def _byte_slices(data: Any, starts: Any, sizes: Any, /) -> npt.NDArray[np.object_]: ...

@final
class _Tree:
    """A container tree compiled by bitweave_columns.xtce for the one-pass walk."""

    def __new__(cls, layouts: Any, program: Any, reals: Any, names: Any, /) -> _Tree: ...
    def decode(
        self, data: Any, offsets: Any, lengths: Any, first_index: int, /
    ) -> tuple[list[dict[str, npt.NDArray[Any]] | None], Any, Any, Any] | None: ...
    def decode_stream(self, data: Any, skip_header_bytes: int, max_packets: int, /) -> tuple[Any, ...] | None: ...
    def decode_one(self, packet: Any, /) -> tuple[int, int, dict[str, Any] | None] | None: ...
    def cut(self, data: Any, offsets: Any, positions: Any, size: int, /) -> npt.NDArray[Any]: ...

@final
class _FrameReader:
    """Reads TM or AOS transfer frames and joins the space packets they carry."""

    def __new__(
        cls,
        kind: str,
        frame_length: int,
        fecf: bool,
        ocf: bool,
        header_ec: bool,
        insert_zone: int,
        channels: int,
        /,
    ) -> _FrameReader: ...
    def feed(self, data: Any, /) -> bytes: ...
    def counts(self) -> dict[str, Any]: ...

@final
class _SegmentJoiner:
    """Joins segmented space packets of the APIDs of a mask."""

    def __new__(
        cls, skip_header_bytes: int, segment_header_bytes: int, apid_mask: bytes, limit: int, /
    ) -> _SegmentJoiner: ...
    def feed(self, data: Any, /) -> tuple[bytes, npt.NDArray[np.uint16]]: ...
    def finish(self) -> None: ...
    def counts(self) -> dict[str, int]: ...
    def carry(self) -> bytes: ...

def _apid_groups(
    apids: Any, offsets: Any, lengths: Any, wanted: Any, first: int, base: int, /
) -> dict[int, tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]]]: ...
def _sequence_gaps(
    apids: Any, counts: Any, lasts: Any, first: int, state: bytes, /
) -> tuple[list[tuple[int, int, int, int]], bytes]: ...

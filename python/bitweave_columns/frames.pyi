"""CCSDS transfer frames: the space packets they carry, joined again."""

from collections.abc import Iterable
from typing import Any, Literal

from typing_extensions import disjoint_base

__all__ = ["FrameReader", "Packets", "aos_packets", "tm_packets"]

@disjoint_base
class Packets(bytes):
    """Space packets one after another, with what the frames that carried them said."""

    frames: int
    idle_frames: int
    crc_errors: int
    invalid: int
    lost: list[tuple[int, int, int]]
    dropped: int
    idle_packets: int
    tail: int

class FrameReader:
    """Transfer frames read as they arrive."""

    kind: Literal["tm", "aos"]
    frame_length: int
    def __init__(
        self,
        kind: Literal["tm", "aos"],
        frame_length: int,
        *,
        fecf: bool = True,
        virtual_channels: int | Iterable[int] | None = None,
        ocf: bool = False,
        header_ec: bool = False,
        insert_zone: int = 0,
    ) -> None: ...
    def feed(self, data: Any) -> bytes:
        """The packets completed by the next bytes of the stream."""
    @property
    def counts(self) -> dict[str, Any]:
        """What was read so far."""
    @property
    def pending(self) -> int:
        """Bytes held."""
    @property
    def tail(self) -> int:
        """Bytes of the unfinished frame."""

def tm_packets(
    data: Any,
    frame_length: int,
    *,
    fecf: bool = True,
    virtual_channels: int | Iterable[int] | None = None,
) -> Packets:
    """The space packets of a stream of CCSDS TM transfer frames."""

def aos_packets(
    data: Any,
    frame_length: int,
    *,
    fecf: bool = True,
    ocf: bool = False,
    header_ec: bool = False,
    insert_zone: int = 0,
    virtual_channels: int | Iterable[int] | None = None,
) -> Packets:
    """The space packets of a stream of CCSDS AOS transfer frames."""

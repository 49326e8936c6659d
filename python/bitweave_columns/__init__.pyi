"""Whole archives of packets into numpy columns, and back (see the package's docstring)."""

from collections.abc import Mapping, Sequence
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt
from bitweave import _UnpackItem

from ._columns import LayoutBase as _LayoutBase
from ._columns import ccsds_index as ccsds_index
from .stream import StreamDecoder as StreamDecoder
from .stream import join_segments as join_segments

__all__ = ["Layout", "StreamDecoder", "ccsds_index", "join_segments"]
__version__: str

_Buffer = bytes | bytearray | memoryview | Any
_Indexes = Sequence[int] | npt.NDArray[np.integer[Any]]

class Layout(_LayoutBase):
    """A recipe compiled once: ``Layout(recipe)``.

    The recipe is what ``bitweave.unpack_parameters`` takes (``value`` is ignored), plus
    the ``"binary"`` encoding (bytes fields). Bad items raise what ``unpack_parameters``
    raises for them, with the note naming the item. Immutable, comparable, picklable.
    """

    __slots__ = ()
    def __new__(cls, recipe: Sequence[_UnpackItem | Mapping[str, Any]]) -> Layout: ...
    @overload
    def unpack(
        self,
        data: _Buffer,
        count: int | None = None,
        *,
        stride: int | None = None,
        offset_bits: int = 0,
        errors: Literal["raise"] = "raise",
        offsets: _Indexes | None = None,
        lengths: _Indexes | None = None,
    ) -> dict[str, npt.NDArray[Any]]:
        """Decodes packets into one numpy column per name.

        Packet ``i`` starts at bit ``offset_bits + 8 * stride * i`` (``stride`` defaults to
        ``size``), or at byte ``offsets[i]`` plus ``offset_bits``, within ``lengths[i]``
        bytes. ``count`` defaults to every packet that fits. A field that does not decode
        raises ``ValueError("packet 7, field 'x': <its error>")``.
        """
    @overload
    def unpack(
        self,
        data: _Buffer,
        count: int | None = None,
        *,
        stride: int | None = None,
        offset_bits: int = 0,
        errors: Literal["mask"],
        offsets: _Indexes | None = None,
        lengths: _Indexes | None = None,
    ) -> dict[str, np.ma.MaskedArray[Any, Any]]:
        """As above, with fields that do not decode masked instead of raised."""
    def pack(self, columns: Mapping[str, Any], count: int | None = None) -> bytes:
        """``count`` packets from columns (array-likes, or single values repeated); packet
        ``i`` is what ``bitweave.pack_parameters`` makes of row ``i``'s values."""
    def pack_into(
        self, buffer: Any, columns: Mapping[str, Any], count: int | None = None, *, offset: int = 0
    ) -> int:
        """Packs into a writable buffer from byte ``offset``; returns the packet count."""

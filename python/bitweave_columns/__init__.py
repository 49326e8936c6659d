"""Whole archives of packets into numpy columns, and back.

A :class:`Layout` reads a bitweave recipe once. It then decodes any number of packets of
that layout into one numpy array per field (:meth:`Layout.unpack`), encodes columns back
into packets (:meth:`Layout.pack`), and handles single packets faster than the per-call
functions (:meth:`Layout.unpack_one`, :meth:`Layout.pack_one`). Every value equals what
``bitweave.unpack_parameters`` gives for the same packet, and every packet equals what
``bitweave.pack_parameters`` makes from the same values.

:func:`ccsds_index` walks a stream of CCSDS space packets, so that a file of mixed packet
types can be decoded by type with ``Layout.unpack(data, offsets=..., lengths=...)``.
:class:`StreamDecoder` decodes such a stream as it arrives, in chunks cut anywhere,
:func:`join_segments` joins segmented packets, and :mod:`bitweave_columns.frames` takes
packets out of CCSDS transfer frames.
"""

from importlib import metadata as _metadata

import numpy as _np

from ._columns import LayoutBase as _LayoutBase
from ._columns import ccsds_index

__all__ = ["Layout", "StreamDecoder", "ccsds_index", "join_segments"]

try:
    __version__ = _metadata.version("bitweave")
except _metadata.PackageNotFoundError:  # run from a source tree
    __version__ = "0+unknown"


_INT64_MAX = int(_np.iinfo(_np.int64).max)


def _index_array(values, what):
    """An int64 array of byte positions or lengths: TypeError unless integers, ValueError
    for a negative one, OverflowError for one beyond the largest buffer (2**63 - 1)."""
    array = _np.asarray(values)
    if array.ndim == 1 and array.dtype.kind in "fO" and not isinstance(values, _np.ndarray):
        array = _np.array(list(values), dtype=object)  # Python ints, some beyond int64
    if array.ndim == 1 and array.dtype == object:
        if not all(isinstance(v, (int, _np.integer)) and not isinstance(v, bool) for v in array):
            raise TypeError(f"{what} must be a one-dimensional sequence of integers")
        for i, v in enumerate(array):
            if v < 0:
                raise ValueError(f"{what}[{i}] is {v}: it cannot be negative")
            if v > _INT64_MAX:
                raise OverflowError(f"{what}[{i}] is beyond the largest buffer (2**63 - 1)")
        array = array.astype(_np.int64)
    if array.ndim != 1 or (array.size and array.dtype.kind not in "iu"):
        raise TypeError(f"{what} must be a one-dimensional sequence of integers")
    if array.dtype.kind == "u" and array.size and array.max() > _INT64_MAX:
        first = int(_np.argmax(array > _INT64_MAX))
        raise OverflowError(f"{what}[{first}] is beyond the largest buffer (2**63 - 1)")
    array = _np.ascontiguousarray(array, dtype=_np.int64)
    if array.size and array.min() < 0:
        first = int(_np.argmax(array < 0))
        raise ValueError(f"{what}[{first}] is {int(array[first])}: it cannot be negative")
    return array


def _size(value, what):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, _np.integer)):
        raise TypeError(f"{what} must be an int, not {type(value).__name__!r}")
    if value < 0:
        raise ValueError(f"{what} must be >= 0, not {value}")
    return int(value)


class Layout(_LayoutBase):
    """A recipe compiled once: ``Layout(recipe)``.

    The recipe is what ``bitweave.unpack_parameters`` takes: a list of dicts with
    ``name``, ``encoding``, ``bits``, ``byte_order``, ``reverse_bits`` and, optionally,
    ``offset_bits``; ``value`` is ignored. Fields sit where ``unpack_parameters`` places
    them. Besides the recipe's encodings, a layout knows ``"binary"``: a field of whole
    bytes read as ``bytes`` and written from any bytes-like value of exactly its length.

    A bad item raises what ``unpack_parameters`` raises for it, with the note naming the
    item, when the layout is made; so do fields that no packet could ever decode (the
    reserved float formats, float fields narrower than their format). Fields that can be
    read but not written (``ieee754_f128``, the ``latin1`` alias, signed fields wider than
    64 bits) are allowed, and packing refuses them as ``pack_parameters`` does.

    Attributes: ``names`` (the columns, in recipe order; an item that repeats a name
    fills the same column, the later item's value winning as in ``unpack_parameters``),
    ``bits`` (the furthest field end), ``size`` (the packet length ``pack_parameters``
    gives) and ``recipe``. Layouts are immutable, compare equal when their fields are the
    same, and pickle, so they travel to worker processes.

    >>> layout = Layout([
    ...     {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big",
    ...      "reverse_bits": False, "offset_bits": 5},
    ...     {"name": "temp", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big",
    ...      "reverse_bits": False}])
    >>> data = layout.pack({"apid": [1, 2, 3], "temp": 20.5})
    >>> layout.unpack(data)["apid"]
    array([1, 2, 3], dtype=uint16)
    """

    __slots__ = ()

    def unpack(self, data, count=None, *, stride=None, offset_bits=0, errors="raise",
               offsets=None, lengths=None):
        """Decodes packets into a dict of numpy columns, one per name.

        ``data`` is any contiguous buffer (``bytes``, ``bytearray``, ``memoryview``,
        ``mmap.mmap``, a numpy ``uint8`` array), read in place and never past its end.
        Packet ``i`` starts at bit ``offset_bits + 8 * stride * i`` (``stride`` defaults
        to ``size``); ``count`` defaults to every packet whose fields end within ``data``,
        and a larger one is refused before anything is decoded. Or give ``offsets`` (the
        byte position of each packet, ``offset_bits`` added to each) and, optionally,
        ``lengths`` (each packet's bytes, which its fields must not run past).

        Columns have the smallest numpy type that holds every value exactly: uint8 to
        uint64 for unsigned fields, int8 to int64 for signed ones, int64 for BCD, float32
        for f16 and f32, float64 for f64 and f128, and object arrays of ``str`` (text) or
        ``bytes`` (binary). Each column is contiguous; the numeric columns of one type are
        rows of one block of memory (one allocation, not one a column), so a column is a
        view that cannot be resized in place (``numpy.resize`` and copies can).

        A field that does not decode raises ``ValueError("packet 12345, field 'temp':
        Invalid BCD digit: 12 (must be 0-9)")``, naming the first such field of the
        first such packet; nothing partial is returned. With ``errors="mask"`` such fields
        are masked instead, and every column is a ``numpy.ma.MaskedArray``.

        Numeric fields are decoded without the interpreter's lock, so threads decode in
        parallel.
        """
        if errors not in ("raise", "mask"):
            raise ValueError(f"errors must be 'raise' or 'mask', not {errors!r}")
        offset_bits = _size(offset_bits, "offset_bits")
        if offsets is not None:
            if count is not None or stride is not None:
                raise TypeError("offsets= takes the place of count and stride: give one or "
                                "the other")
            offsets = _index_array(offsets, "offsets")
            if lengths is not None:
                lengths = _index_array(lengths, "lengths")
                if lengths.shape != offsets.shape:
                    raise ValueError(f"lengths has {lengths.size} values for "
                                     f"{offsets.size} offsets")
        elif lengths is not None:
            raise TypeError("lengths= goes with offsets=")
        columns, masks = self._decode(data, _size(count, "count"), _size(stride, "stride"),
                                      offset_bits, offsets, lengths, errors == "mask")
        if masks is None:
            return columns
        return {name: _np.ma.MaskedArray(column, mask=masks[name])
                for name, column in columns.items()}

    def _columns_for(self, columns, count):
        """One array per field, of count values, from a mapping of names to array-likes
        or scalars."""
        if not hasattr(columns, "keys"):
            raise TypeError(f"columns must be a mapping of field names to values, not "
                            f"{type(columns).__name__!r}")
        arrays = {}
        for name in self.names:
            if name not in columns:
                raise KeyError(f"columns has no {name!r}: every field needs an array or a "
                               f"single value")
            value = columns[name]
            if isinstance(value, (str, bytes, bytearray, memoryview)):
                array = _np.empty((), dtype=object)
                array[()] = value
            elif isinstance(value, _np.ndarray):
                array = value.astype(object) if value.dtype.kind in "US" else value
            else:
                # Sequences of Python values: integers become an integer array; anything
                # else keeps its own objects, so that each row packs exactly as
                # pack_parameters packs that value (no text or float made of an int).
                array = _np.asarray(value)
                if array.dtype.kind not in "iu":
                    array = _np.empty(len(value), dtype=object) if array.ndim else array
                    if array.ndim:
                        array[:] = list(value)
                    else:
                        array = _np.empty((), dtype=object)
                        array[()] = value
            if array.ndim > 1:
                raise ValueError(f"column {name!r} has {array.ndim} dimensions; one is needed")
            arrays[name] = array
        lengths = {len(a) for a in arrays.values() if a.ndim == 1}
        if count is None:
            if len(lengths) > 1:
                raise ValueError(f"the columns differ in length ({sorted(lengths)}): give "
                                 f"columns of one length, or count=")
            count = lengths.pop() if lengths else 1
        elif any(n != count for n in lengths):
            raise ValueError(f"count={count} but the columns hold {sorted(lengths)} values")
        arrays = {name: a if a.ndim == 1 else _np.broadcast_to(a, (count,))
                  for name, a in arrays.items()}
        by_field = [arrays[item["name"]] for item in self.recipe]
        return by_field, count

    def pack(self, columns, count=None):
        """Encodes packets from columns: ``bytes`` of ``count`` packets of ``size`` bytes.

        ``columns`` maps each field name to an array-like of values (or one value,
        repeated). Packet ``i`` is byte for byte what ``bitweave.pack_parameters`` gives
        the recipe with row ``i``'s values. A value that does not fit raises
        ``ValueError("packet 3, field 'x': Value 256 is too large for 8 bits")``.
        """
        arrays, count = self._columns_for(columns, _size(count, "count"))
        return self._encode(arrays, count)

    def pack_into(self, buffer, columns, count=None, *, offset=0):
        """Encodes packets as :meth:`pack` does, into a writable buffer from byte
        ``offset`` on. The buffer is written only when every packet encodes."""
        offset = _size(offset, "offset")
        arrays, count = self._columns_for(columns, _size(count, "count"))
        view = memoryview(buffer).cast("B")
        if view.readonly:
            raise TypeError("buffer must be writable")
        need = count * self.size
        if offset + need > len(view):
            raise ValueError(f"{count} packets of {self.size} bytes from byte {offset} need "
                             f"{offset + need} bytes; the buffer has {len(view)}")
        view[offset:offset + need] = self._encode(arrays, count)
        return count


from .stream import StreamDecoder, join_segments  # noqa: E402  (it builds on Layout)

"""Decoding telemetry: packets walked down the container tree a level at a time, each level's
own entries decoded with compiled Layouts over every packet that reached it; and the results."""
import mmap
import operator
import os

import numpy as np

from .._columns import _byte_slices
from .calibration import _derive, _objects
from .model import _UNREADABLE, ArrayType, _AnyOf, _Compare, _Rep, _Run, _Seek, _int_range

# A bit position past the end of any packet, where sizes and gaps too large for any packet are
# clamped, so that positions stay far from the int64 limit.
_FAR = 1 << 62


_PLAIN = (bytes, bytearray, memoryview)  # buffers as they are: no path, no file


class _Buffer:
    """The bytes of a path (memory-mapped), of a binary file object (memory-mapped from its
    position when it has a file number, read otherwise) or of a buffer, as a flat memoryview."""

    def __init__(self, data):
        self.map = None
        if type(data) in _PLAIN:
            pass
        elif isinstance(data, (str, os.PathLike)):
            with open(data, "rb") as f:
                data = self.mapped(f, 0)
        elif hasattr(data, "read") and not _is_buffer(data):
            data = self.from_file(data)
        try:
            self.outer = memoryview(data)
        except TypeError:
            raise TypeError("data must be a path, a binary file object or a buffer, not "
                            f"{type(data).__name__}") from None
        if not self.outer.c_contiguous:
            strides = self.outer.strides
            self.outer.release()
            raise TypeError(f"data must be a contiguous buffer (this one has strides {strides}: "
                            "pass a copy, e.g. numpy.ascontiguousarray(data))")
        self.view = self.outer.cast("B")

    def mapped(self, f, start):
        size = os.fstat(f.fileno()).st_size
        if size <= start:
            return b""
        self.map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        return memoryview(self.map)[start:] if start else self.map

    def from_file(self, f):
        try:
            return self.mapped(f, f.tell())
        except (AttributeError, OSError, ValueError):  # no file number (io.BytesIO, ...)
            data = f.read()
        if isinstance(data, str):
            raise TypeError("data is a text file: open it in binary mode ('rb')")
        return data

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.view.release()
        self.outer.release()
        if self.map is not None:
            self.map.close()


def _is_buffer(data):
    try:
        memoryview(data).release()
    except TypeError:
        return False
    return True


class _Group:
    """Packets decoded together: stream numbers, byte positions, lengths, the bit position of
    the next field in each, and the columns decoded so far."""

    __slots__ = ("pidx", "offs", "lens", "pos", "cols")

    def __init__(self, pidx, offs, lens, pos=None, cols=None):
        self.pidx, self.offs, self.lens = pidx, offs, lens
        self.pos = np.zeros(len(pidx), dtype=np.int64) if pos is None else pos
        self.cols = {} if cols is None else cols

    def __len__(self):
        return len(self.pidx)

    def take(self, keep):
        if keep.all():
            return self
        return _Group(self.pidx[keep], self.offs[keep], self.lens[keep], self.pos[keep],
                      {k: v[keep] for k, v in self.cols.items()})


class _Decoding:
    """One decode call: walks the container tree and collects tables and skipped packets."""

    def __init__(self, definition, buf, derived):
        self.d = definition
        self.buf = buf
        self.derived = derived
        self.tables = {}
        # (container name, packet numbers, byte offsets): where matching stopped, or the
        # container whose fields did not fit
        self.unmatched = []
        self.truncated = []
        self.unsupported = []  # the packets that reached a container that cannot be decoded
        # packets with a field that cannot be read (a size tag larger than its buffer, a
        # string without its terminator, bytes that are not text): as above, and the
        # messages of the first few, each naming the packet's number in the stream
        self.invalid = []
        self.errors = []
        self.base = 0  # added to byte offsets in the messages: the buffer's place in a stream

    def walk(self, container, g):
        if container.name in self.d.unsupported:
            self.unsupported.append((container.name, g.pidx, g.offs))
            return
        g = self.steps(container, g)
        if not len(g):
            return
        kids = [self.d.containers[name] for name in container.children]
        # A child whose criteria cannot be read, or refer to what this level has not
        # decoded (a container refused for that very reason), cannot be told apart.
        unknown = [k for k in kids if k.restriction is _UNREADABLE or (
            k.restriction is not None and not k.restriction.params() <= g.cols.keys())]
        if unknown:
            # Which of these packets that child takes is unknown: none can be placed.
            self.unsupported.append((unknown[0].name, g.pidx, g.offs))
            return
        which = self.dispatch(container, kids, g) if kids else None
        if which is not None:
            # At most one child per packet: the one whose value the packet holds.
            count = (which >= 0).view(np.int8)
            for k in np.unique(which[which >= 0]).tolist():
                self.walk(kids[k], g.take(which == k))
            lost = count != 1 if container.abstract else count > 1
            if not container.abstract and (count == 0).any():
                self.emit(container, g.take(count == 0))
        elif kids:
            values = self.values(g)
            masks = [k.restriction.evaluate(values) if k.restriction is not None
                     else np.ones(len(g), dtype=bool) for k in kids]
            count = np.sum(masks, axis=0)
            for kid, m in zip(kids, masks):
                sel = m & (count == 1)
                if sel.any():
                    self.walk(kid, g.take(sel))
            # No child, or several: an abstract container cannot hold the packet itself.
            lost = count != 1 if container.abstract else count > 1
            if not container.abstract and (count == 0).any():
                self.emit(container, g.take(count == 0))
        else:
            lost = np.full(len(g), container.abstract)
            if not container.abstract:
                self.emit(container, g)
        if lost.any():
            self.unmatched.append((container.name, g.pidx[lost], g.offs[lost]))

    def dispatch(self, container, kids, g):
        """Each packet's child number (-1 for none), found in one pass, where every child's
        restriction is one raw integer parameter equal to a value of its own (APIDs and
        packet type codes, the usual case); None where the children must be tested one by
        one."""
        key = ("dispatch", container.name)
        cache = self.d._layouts
        if key not in cache:
            cache[key] = _dispatch_table(self.d, kids)
        table = cache[key]
        if table is None:
            return None
        param, values = table
        col = g.cols.get(param)
        if col is None or type(col) is not np.ndarray or col.dtype.kind not in "iu":
            return None
        if len(col) <= 16:
            return np.array([values.get(v, -1) for v in col.tolist()], dtype=np.int64)
        low, high = _int_range(col.dtype)
        known = sorted((v, k) for v, k in values.items() if low <= v <= high)
        if not known:
            return np.full(len(col), -1, dtype=np.int64)
        keys = np.array([v for v, _ in known], dtype=col.dtype)
        kid = np.array([k for _, k in known], dtype=np.int64)
        at = np.minimum(np.searchsorted(keys, col), len(keys) - 1)
        return np.where(keys[at] == col, kid[at], -1)

    def steps(self, container, g):
        for step in container._steps:
            if not len(g):
                break
            values = self.values(g)
            on = step.cond.evaluate(values) if step.cond is not None else None
            rows = np.flatnonzero(on) if on is not None else None
            names = self.step_names(step)
            before = {name: g.cols[name] for name in names if name in g.cols}
            invalid = np.zeros(len(g), dtype=bool)
            if isinstance(step, _Run):
                bad = self.run(step, g, rows, invalid)
                for name, items, dims in step.arrays:
                    g.cols[name] = np.stack([g.cols.pop(i) for i in items], axis=-1).reshape(
                        (len(g),) + dims)
            elif isinstance(step, _Seek):
                if rows is None:
                    g.pos[:] = step.bits
                else:
                    g.pos[rows] = step.bits
                continue
            elif isinstance(step, _Rep):
                bad = self.rep(step, g, rows, invalid)
            else:
                bad = self.var(step, g, rows, invalid)
            if on is not None and not on.all():
                for name in names:
                    g.cols[name] = _merge(before.get(name), g.cols[name], on)
            bad &= ~invalid
            if bad.any():
                self.truncated.append((container.name, g.pidx[bad], g.offs[bad]))
            if invalid.any():
                self.invalid.append((container.name, g.pidx[invalid], g.offs[invalid]))
            if bad.any() or invalid.any():
                g = g.take(~(bad | invalid))
        return g

    def problem(self, g, rows, invalid, i, name, message):
        """Packet `rows[i]` of the group cannot be read: it leaves the tables, reported."""
        row = rows[i] if rows is not None else i
        invalid[row] = True
        if len(self.errors) < 10:
            self.errors.append((int(g.pidx[row]), f"packet {g.pidx[row]} (byte "
                                                  f"{g.offs[row] + self.base}), {name!r}: "
                                                  f"{message}"))

    @staticmethod
    def step_names(step):
        if isinstance(step, _Seek):
            return []
        if not isinstance(step, _Run):
            return [step.name]  # a _Var or a _Rep
        inside = {i for _, items, _ in step.arrays for i in items}
        return [it[0] for it in step.items if it[0] not in inside] + [a for a, _, _ in step.arrays]

    # Values for criteria, sizes and derived columns --------------------------------------------

    def values(self, g):
        def value(name, calibrated):
            col = g.cols[name]
            ptype = self.d.parameters[name].type
            if not calibrated or not ptype.has_derived:
                return col
            elem = ptype.element if isinstance(ptype, ArrayType) else ptype
            if col.dtype == object and elem.encoding.kind in ("integer", "float"):
                # One array per packet (sized in each): derived packet by packet.
                out = np.full(len(col), None, dtype=object)
                for i, a in enumerate(np.ma.getdata(col).tolist()):
                    if a is not None:
                        out[i] = _derive(elem, a.reshape(-1)).reshape(a.shape)
                return np.ma.masked_array(out, mask=np.ma.getmaskarray(col)) \
                    if np.ma.isMaskedArray(col) else out
            if col.ndim > 1:
                # Elements derived as one flat column, then given their shape back.
                ptype = elem
                flat = col.reshape(-1) if not np.ma.isMaskedArray(col) else np.ma.masked_array(
                    np.ma.getdata(col).reshape(-1), mask=np.ma.getmaskarray(col).reshape(-1))
                out = _derive(ptype, flat, None, None)
                return out.reshape(col.shape)
            return _derive(ptype, col, value, name)
        return value

    def emit(self, container, g):
        table = {}
        values = self.values(g)
        for name, col in g.cols.items():
            ptype = self.d.parameters[name].type
            table[name] = values(name, True) if self.derived and ptype.has_derived else col
        table["packet_index"] = g.pidx
        table["packet_offset"] = g.offs
        self.tables[container.name] = table

    # Reading fields ----------------------------------------------------------------------------

    def unpack_at(self, layout, offs, pos):
        """Unpack `layout` at bit `pos` of each packet starting at byte `offs`."""
        bit = offs * 8 + pos
        byte, phase = bit >> 3, bit & 7
        if not len(phase) or (phase == phase[0]).all():
            return layout.unpack(self.buf.view, offsets=byte,
                                 offset_bits=int(phase[0]) if len(phase) else 0)
        cols = None
        for p in np.unique(phase):
            sel = np.flatnonzero(phase == p)
            part = layout.unpack(self.buf.view, offsets=byte[sel], offset_bits=int(p))
            if cols is None:
                cols = {k: np.empty(len(byte), dtype=v.dtype) for k, v in part.items()}
            for k, v in part.items():
                cols[k][sel] = v
        return cols

    def unpack_checked(self, layout, offs, pos, report):
        """`unpack_at`, where a field that does not decode (an invalid BCD digit, bytes that
        are not text) leaves its packet out: `report(i, field, message)` for each such packet
        `i` of `offs`, and zeros in its columns."""
        try:
            return self.unpack_at(layout, offs, pos)
        except ValueError:
            pass
        cols = {}
        broken = np.zeros(len(offs), dtype=bool)
        for p in np.unique((offs * 8 + pos) & 7):
            sel = np.flatnonzero(((offs * 8 + pos) & 7) == p)
            part = layout.unpack(self.buf.view, offsets=(offs[sel] * 8 + pos[sel]) >> 3,
                                 offset_bits=int(p), errors="mask")
            for k, v in part.items():
                col = cols.get(k)
                if col is None:
                    col = cols[k] = np.zeros(len(offs), dtype=v.dtype)
                col[sel] = np.ma.getdata(v)
                broken[sel] |= np.ma.getmaskarray(v)
        for i in np.flatnonzero(broken).tolist():
            try:
                self.unpack_at(layout, offs[i:i + 1], pos[i:i + 1])
                message = "does not decode"
            except ValueError as e:
                message = str(e)
            field, _, message = message.partition(": ")  # "packet 0, field 'x'", the error
            report(i, field.partition(", field ")[2].strip("'") or "?", message)
        return cols

    def scatter(self, g, rows, cols):
        """Store columns decoded for `rows` (None: all) of the group."""
        for name, col in cols.items():
            if rows is not None and len(rows) != len(g):
                full = np.zeros(len(g), dtype=col.dtype)
                full[rows] = col
                col = full
            g.cols[name] = col

    def run(self, step, g, rows, invalid):
        offs, lens, pos = (g.offs, g.lens, g.pos) if rows is None else (
            g.offs[rows], g.lens[rows], g.pos[rows])
        bits = min(step.bits, _FAR)
        short = lens * 8 < pos + bits
        fit = ~short
        if step.items:
            layout = self.d._layout(("run", id(step)), step.recipe)
            sel = np.flatnonzero(fit)

            def report(i, name, message):
                self.problem(g, rows, invalid, sel[i], name, message)

            if short.any():
                cols = self.unpack_checked(layout, offs[fit], pos[fit], report)
                cols = {k: _widen(v, fit) for k, v in cols.items()}
            else:
                cols = self.unpack_checked(layout, offs, pos, report)
            self.scatter(g, rows, cols)
        if rows is None:
            g.pos += bits
            return short
        g.pos[rows] += bits
        bad = np.zeros(len(g), dtype=bool)
        bad[rows] = short
        return bad

    def read_bytes(self, offs, pos, nbytes):
        """The bytes from bit `pos` of each packet, `nbytes` of them, as a list."""
        bit = offs * 8 + pos
        aligned = (bit & 7) == 0
        if aligned.all():
            return _byte_slices(self.buf.view, bit >> 3, nbytes.astype(np.int64))
        out = list(_byte_slices(self.buf.view, np.where(aligned, bit >> 3, 0),
                                np.where(aligned, nbytes, 0).astype(np.int64)))
        rest = np.flatnonzero(~aligned)
        for size in np.unique(nbytes[rest]).tolist():
            # Bytes that do not start on a byte boundary: one Layout per size.
            sel = rest[nbytes[rest] == size]
            layout = self.d._layout(("bytes", size), lambda: [{
                "name": "b", "encoding": "binary", "bits": 8 * size, "byte_order": "big",
                "reverse_bits": False}])
            for i, v in zip(sel.tolist(), self.unpack_at(layout, offs[sel], pos[sel])["b"]):
                out[i] = v
        return out

    def read_uint(self, offs, pos, bits):
        """An unsigned field as int64; values past any packet's size are clamped to `_FAR`."""
        layout = self.d._layout(("uint", bits), lambda: [{
            "name": "n", "encoding": "unsigned", "bits": bits, "byte_order": "big",
            "reverse_bits": False}])
        n = self.unpack_at(layout, offs, pos)["n"]
        if n.dtype == np.uint64:
            n = np.minimum(n, np.uint64(_FAR))
        return n.astype(np.int64)

    def rep(self, step, g, rows, invalid):
        """An array sized in each packet: decoded for all packets of one size at once."""
        atype = step.atype
        enc = atype.element.encoding
        if rows is None:
            rows = np.arange(len(g))
        offs, end = g.offs[rows], g.lens[rows] * 8
        pos = g.pos[rows] + step.skip
        shape = np.ones((len(rows), len(atype.dims)), dtype=np.int64)
        for k, d in enumerate(atype.dims):
            if isinstance(d, int):
                shape[:, k] = d
                continue
            ref, calibrated, slope, intercept = d
            size = np.ma.getdata(self.values(g)(ref, calibrated))[rows].astype(np.float64)
            size = size * slope + intercept
            for i in np.flatnonzero(~np.isfinite(size)).tolist():
                self.problem(g, rows, invalid, i, step.name, f"its size from {ref!r} is not finite")
            shape[:, k] = np.trunc(np.where(np.isfinite(size), size, 0))
        count = shape.prod(axis=1)
        bad = (shape < 0).any(axis=1) | (pos + count * enc.bits > end)
        col = np.full(len(g), None, dtype=object)
        for n in np.unique(count[~bad]).tolist():
            sel = np.flatnonzero(~bad & (count == n))
            if n == 0:
                flat = np.zeros((len(sel), 0), dtype=np.float64 if enc.kind == "float"
                                else np.int64)
            else:
                layout = self.d._layout(
                    ("rep", enc.codec, enc.bits, enc.byte_order, enc.reverse_bits, n),
                    lambda: [{"name": f"e{i}", "encoding": enc.codec, "bits": enc.bits,
                              "byte_order": enc.byte_order, "reverse_bits": enc.reverse_bits}
                             for i in range(n)])
                part = self.unpack_at(layout, offs[sel], pos[sel])
                flat = np.stack([part[f"e{i}"] for i in range(n)], axis=-1)
            for j, i in enumerate(sel.tolist()):
                col[rows[i]] = flat[j].reshape(tuple(shape[i].tolist()))
        g.pos[rows] = np.where(bad, g.pos[rows], pos + count * enc.bits)
        g.cols[step.name] = col
        full = np.zeros(len(g), dtype=bool)
        full[rows] = bad
        return full

    def var(self, step, g, rows, invalid):
        """A field whose size varies from packet to packet."""
        enc = step.ptype.encoding
        if rows is None:
            rows = np.arange(len(g))
        offs, end = g.offs[rows], g.lens[rows] * 8
        pos = g.pos[rows] + min(step.skip, _FAR)
        bad = pos > end

        def report(i, message):
            self.problem(g, rows, invalid, i, step.name, message)
            bad[i] = True  # passed over below; `steps` counts it invalid, not truncated

        if enc.size_ref is not None:
            ref = self.values(g)(enc.size_ref, enc.size_calibrated)
            size = np.ma.getdata(ref)[rows].astype(np.float64) * enc.slope + enc.intercept
            for i in np.flatnonzero(~np.isfinite(size) & ~bad).tolist():
                report(i, f"its size from {enc.size_ref!r} is {size[i]}")
            size = np.trunc(np.clip(np.nan_to_num(size), -1, _FAR)).astype(np.int64)
        elif enc.bits is not None:
            size = np.full(len(rows), min(enc.bits, _FAR), dtype=np.int64)
        else:
            size = None
        bad |= (size < 0) if size is not None else False
        start, nbits = pos, size
        if enc.leading_bits:
            k = enc.leading_bits
            bad |= pos + k > end
            ok = ~bad
            tag = np.zeros(len(rows), dtype=np.int64)
            tag[ok] = self.read_uint(offs[ok], pos[ok], k)
            start, nbits = pos + k, tag
            if size is not None:
                for i in np.flatnonzero(ok & (tag > size - k)).tolist():
                    report(i, f"a string of {tag[i]} bits in a buffer of {size[i]} bits")
            else:
                size = k + tag
        elif enc.terminator is not None:
            limit = end if size is None else pos + size
            if size is None and enc.max_bits:
                limit = np.minimum(limit, pos + enc.max_bits)
            bad |= limit > end
            ok = np.flatnonzero(~bad)
            blobs = self.read_bytes(offs[ok], pos[ok], np.maximum(limit[ok] - pos[ok], 0) // 8)
            nbits = np.zeros(len(rows), dtype=np.int64)
            values = [None] * len(rows)
            for i, blob in zip(ok.tolist(), blobs):
                at = _find(blob, enc.terminator, enc.unit)
                if at < 0:
                    if size is not None:
                        report(i, f"no terminator in its buffer of {size[i]} bits")
                    else:
                        bad[i] = True  # the string runs past the end of the packet
                    continue
                nbits[i] = 8 * at
                values[i] = blob[:at]
            if size is None:
                size = nbits + 8 * enc.unit
            bad |= pos + size > end
            return self.store(step, g, rows, pos + size, bad, values, report)
        bad |= (pos + size > end) | (start + nbits > end)
        for i in np.flatnonzero(~bad & (nbits % 8 != 0)).tolist():
            report(i, f"{nbits[i]} bits, not whole bytes")
        ok = np.flatnonzero(~bad)
        blobs = self.read_bytes(offs[ok], start[ok], nbits[ok] // 8)
        if len(ok) == len(rows):
            values = blobs
        else:
            values = [None] * len(rows)
            for i, blob in zip(ok.tolist(), blobs):
                values[i] = blob
        return self.store(step, g, rows, pos + size, bad, values, report)

    def store(self, step, g, rows, new_pos, bad, values, report):
        enc = step.ptype.encoding
        if enc.kind == "string":
            decode = _text_decoder(enc.codec)
            for i, blob in enumerate(values):
                if blob is not None:
                    try:
                        values[i] = decode(blob) if blob else ""
                    except ValueError as e:
                        report(i, str(e))
                        values[i] = None
        g.pos[rows] = np.where(bad, g.pos[rows], new_pos)
        col = np.full(len(g), None, dtype=object)
        col[rows] = _objects(values)
        g.cols[step.name] = col
        full = np.zeros(len(g), dtype=bool)
        full[rows] = bad
        return full


def _dispatch_table(definition, kids):
    """(parameter, {value: child number}) when the children are told apart by distinct
    integer values of one raw parameter (each child's restriction one value, or several
    joined by "or"), else None."""
    param, values = None, {}
    for k, kid in enumerate(kids):
        r = kid.restriction
        mine = set()
        for c in r.items if type(r) is _AnyOf else (r,):
            if (type(c) is not _Compare or c.op is not operator.eq or type(c.value) is not int
                    or (param is not None and c.param != param) or c.value in values):
                return None
            if c.calibrated and definition.parameters[c.param].type.has_derived:
                return None
            param = c.param
            mine.add(c.value)
        values.update(dict.fromkeys(mine, k))
    return param, values


def _find(blob, term, unit):
    at = blob.find(term)
    while at >= 0 and at % unit:
        at = blob.find(term, at + 1)
    return at


def _text_decoder(codec):
    import bitweave

    return getattr(bitweave, "decode_" + codec)


def _merge(old, new, on):
    """The column of a parameter decoded again by a conditional entry: the new values where
    `on` is set; elsewhere the earlier entry's values, or masked when there was none."""
    on = on.reshape((-1,) + (1,) * (np.ndim(new) - 1))  # one flag a row, for array columns
    if old is None:
        return np.ma.masked_array(new, mask=np.broadcast_to(~on, np.shape(new)))
    data = np.where(on, np.ma.getdata(new), np.ma.getdata(old))
    mask = ~on & np.ma.getmaskarray(old)
    return np.ma.masked_array(data, mask=mask) if mask.any() else data


def _widen(col, fit):
    """A column for all rows from one decoded for the rows where `fit` is set."""
    full = np.zeros(len(fit), dtype=col.dtype)
    full[fit] = col
    return full


# ---------------------------------------------------------------------------------------------
# Results.


class Skipped:
    """Packets left out of the tables: how many, their numbers and byte positions in the
    stream, and how many per container (where matching stopped, for unmatched packets; the
    container whose fields did not fit, for truncated ones; the container whose field could
    not be read, for invalid ones). `first_errors` holds, for invalid packets, the messages
    of the first (up to) ten, each naming the packet's number in the stream and the field."""

    def __init__(self, packet_index, offsets, by_container, first_errors=()):
        self.packet_index = packet_index
        self.offsets = offsets
        self.by_container = by_container
        self.first_errors = tuple(first_errors)

    @property
    def count(self):
        """How many packets."""
        return len(self.packet_index)

    @property
    def first_offsets(self):
        """The byte positions of the first (up to) ten such packets."""
        return tuple(self.offsets[:10].tolist())

    def __bool__(self):
        return self.count > 0

    def __repr__(self):
        if not self.count:
            return "Skipped(0)"
        return f"Skipped({self.count}, first at bytes {list(self.first_offsets)}, {self.by_container})"


# What every empty Skipped holds: one array that cannot be written to, made once.
_NONE = np.zeros(0, np.int64)
_NONE.flags.writeable = False


def _skipped(parts, errors=()):
    errors = tuple(message for _, message in sorted(errors))[:10] if errors else ()
    if not parts:
        return Skipped(_NONE, _NONE, {}, errors)
    pidx = np.concatenate([p for _, p, _ in parts])
    offs = np.concatenate([o for _, _, o in parts])
    order = np.argsort(pidx, kind="stable")
    by = {}
    for name, p, _ in parts:
        by[name] = by.get(name, 0) + len(p)
    return Skipped(pidx[order], offs[order], by, errors)


class Decoded(dict):
    """Tables by concrete container name (in the document's order), each a dict of numpy
    columns; with `unmatched`, `truncated`, `invalid` and `unsupported` (`Skipped`: packets
    that match no container, that are shorter than their container, that hold a field that
    cannot be read, and packets of containers the definition cannot decode, see
    `Definition.unsupported`), `packets` (packets indexed) and `tail` (bytes after the last
    whole packet). A table is also found by its container's qualified name."""

    def __init__(self, tables, unmatched, truncated, packets, tail, invalid=None,
                 unsupported=None, names=None):
        super().__init__(tables)
        self.unmatched = unmatched
        self.truncated = truncated
        self.invalid = invalid if invalid is not None else _skipped(())
        self.unsupported = _skipped(()) if unsupported is None else unsupported
        self.packets = packets
        self.tail = tail
        self._names = names or {}
        # What decoded it (for units and descriptions in the outputs) and whether the
        # values are derived ones.
        self.definition = None
        self.derived = False

    def __missing__(self, key):
        name = self._names.get("/" + key.strip("/")) if isinstance(key, str) else None
        if name is None or not dict.__contains__(self, name):
            raise KeyError(key)
        return dict.__getitem__(self, name)

    def __repr__(self):
        tables = ", ".join(f"{name!r}: {len(t['packet_index'])} rows x {len(t) - 2} parameters"
                           for name, t in self.items())
        return (f"Decoded({{{tables}}}, packets={self.packets}, unmatched={self.unmatched.count}, "
                f"truncated={self.truncated.count}, invalid={self.invalid.count}, "
                f"unsupported={self.unsupported.count}, tail={self.tail})")

    def to_xarray(self):
        """{container name: `xarray.Dataset`}: a `packet` dimension with `packet_index` and
        `packet_offset` as coordinates, one variable per parameter carrying its XTCE units
        and descriptions as attributes (and its calibrator or labels where the values are
        derived), fixed arrays with extra dimensions. Missing values are NaN (integers then
        float64) or None. Needs the "xarray" extra."""
        from .outputs import to_xarray

        return to_xarray(self)

    def to_pandas(self):
        """{container name: `pandas.DataFrame`} indexed by `packet_index`, one column per
        parameter (nullable types where values are missing; a fixed array's column holds one
        array per row). Units and descriptions are in each column's `attrs`. Needs the
        "pandas" extra."""
        from .outputs import to_pandas

        return to_pandas(self)

    def to_parquet(self, folder, **options):
        """Write one Parquet file per container into `folder` (created if needed), named
        after the container, and return {container name: path}. Each parameter's units and
        descriptions are its field's metadata, and the schema's metadata holds "container"
        and "units" (JSON, parameter to units). Fixed arrays are fixed-size lists, sized
        ones lists; `options` go to `pyarrow.parquet.write_table`. Needs the "parquet"
        extra."""
        from .outputs import to_parquet

        return to_parquet(self, folder, **options)

    @classmethod
    def concat(cls, parts):
        """Join the results of consecutive packet ranges (`Definition.decode_index`) into the
        result for the whole range, as one decode would have given it."""
        parts = list(parts)
        names = list(dict.fromkeys(name for p in parts for name in p))
        tables = {}
        for name in names:
            pieces = [p[name] for p in parts if name in p]
            tables[name] = {col: _concat([t[col] for t in pieces]) for col in pieces[0]}

        def skipped(attr):
            got = [getattr(p, attr) for p in parts]
            by = {}
            for s in got:
                for k, v in s.by_container.items():
                    by[k] = by.get(k, 0) + v
            return Skipped(np.concatenate([s.packet_index for s in got] or [np.zeros(0, np.int64)]),
                           np.concatenate([s.offsets for s in got] or [np.zeros(0, np.int64)]), by,
                           [m for s in got for m in s.first_errors][:10])

        out = cls(tables, skipped("unmatched"), skipped("truncated"),
                  sum(p.packets for p in parts), parts[-1].tail if parts else 0,
                  skipped("invalid"), unsupported=skipped("unsupported"),
                  names=parts[0]._names if parts else None)
        if parts:
            out.definition, out.derived = parts[0].definition, parts[0].derived
        return out


def _concat(cols):
    if any(np.ma.isMaskedArray(c) for c in cols):
        return np.ma.concatenate(cols)
    return np.concatenate(cols)

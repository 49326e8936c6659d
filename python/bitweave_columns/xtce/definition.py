"""The definition as a whole: containers compiled into steps, their inheritance tree, and
the entry points of decoding."""
import warnings

import numpy as np

from ._xml import XtceError, _fail
from .commands import decode_command as _decode_command, find_command as _find_command
from .decode import Decoded, _Buffer, _Decoding, _Group, _skipped
from .tree import compile_tree
from .model import (AggregateType, ArrayType, MathOperation, Start, _Rep, _Run, _Seek, _Var,
                    _all_of)

_UNSET = object()


def _calibrator_refs(ptype):
    """The parameters a type's calibrators read besides the one calibrated."""
    names = set()
    for cond, cal in ptype.contexts:
        names |= cond.params() | _calibrator_refs_of(cal)
    return names | _calibrator_refs_of(ptype.calibrator)


def _calibrator_refs_of(cal):
    return cal.params() if isinstance(cal, MathOperation) else set()


class Definition:
    """An XTCE database's telemetry packets, ready to decode.

    Attributes: `name` (the first document's space system's), `xtce_version` ("1.1", "1.2" or
    None when the document has no namespace), `source` (the path it was read from, if any;
    a list for several documents), `parameter_types`, `parameters` and `containers` (dicts
    by name), `root` (the container where decoding starts) and `concrete` (the containers
    that packets decode as).

    Names: a type, parameter or container is known by its short name where that is unique in
    the whole database, and by its qualified name ("/Top/Sub/x") where two space systems
    define the same short name; table keys and column names follow the same rule. `root=`,
    `fields`, `layout` and the decoded tables also accept qualified names.

    `skipped` maps each element that was passed over (it cannot change how a packet is
    read; an element of another namespace as "{namespace}tag") to a `Passed(count,
    first_line)` named tuple: how often it occurs and the line of its first occurrence (in
    a database of several documents, a line of one of them). `unsupported` maps each container that cannot be decoded to the `XtceError`
    that says why (its `element` and `line` name the cause: the container's own entry, or a
    type, parameter or base container it uses); `containers` still holds such a container,
    as a stub without entries where it could not be read, so that its packets are counted.
    A command that cannot be read is listed there too, and on `unsupported_commands`;
    `commands` holds the others (see `encode_command`).
    """

    def __init__(self, loader, root):
        self.name = loader.name
        self.xtce_version = loader.version
        self.source = loader.source
        self.skipped = dict(loader.skipped)
        self.unsupported = dict(loader.unsupported)
        self.parameter_types = loader.types
        self.parameters = loader.parameters
        self.containers = loader.containers
        self.commands = loader.commands
        self.unsupported_commands = dict(loader.command_errors)
        self.unsupported.update(loader.command_errors)
        self._qualified = {q: k for q, k in loader.keys["container"].items()
                           if k in self.containers}
        strict = loader.strict
        changed = True
        while changed:  # a container whose base could not be placed in the tree
            changed = False
            for c in list(self.containers.values()):
                if c.base is not None and c.base not in self.containers:
                    del self.containers[c.name]
                    self.unsupported.setdefault(c.name, self.unsupported.get(c.base) or _fail(
                        c._element, f"its base container {c.base!r} cannot be read"))
                    changed = True
        children = {name: [] for name in self.containers}
        for c in self.containers.values():
            if c.base is not None:
                children[c.base].append(c.name)
        for c in self.containers.values():
            c.children = tuple(children[c.name])
        self._chains = {}
        self._chain_sets = {}
        self._layouts = {}
        included = {r for c in self.containers.values() for k, r, _ in c.entries
                    if k == "container"}
        for c in self.containers.values():
            # A container that is only ever included is compiled where it is included: its
            # include conditions may refer to the includer's fields.
            if c.name in self.unsupported:
                continue  # refused already (a cycle, nesting too deep, a part unreadable)
            if c.name not in included or c.base is not None or c.children:
                try:
                    self._compile(c, ())
                except XtceError as e:
                    if strict:
                        raise
                    self.unsupported.setdefault(c.name, e)
        self._chain_sets = {}
        self.root = self._find_root(root)
        self.concrete = tuple(name for name in self._tree(self.root)
                              if not self.containers[name].abstract
                              and name not in self.unsupported) if self.root else ()
        self._compile_layouts()
        self._plan = compile_tree(self)

    def _tree_plan(self):
        """The tree compiled for the C++ walk (None where the tree holds what it does not
        read); made again after unpickling."""
        plan = self.__dict__.get("_plan", _UNSET)
        if plan is _UNSET:
            plan = self._plan = compile_tree(self)
        return plan

    def _compile_layouts(self):
        """Compile the Layouts of every run of fixed fields below the root now, at load, so
        that the first decode costs what every later one does."""
        if self.root is None:
            return
        for name in self._tree(self.root):
            if name in self.unsupported:
                continue
            for step in getattr(self.containers[name], "_steps", ()):
                if isinstance(step, _Run) and step.items:
                    self._layout(("run", id(step)), step.recipe)

    # Compilation -----------------------------------------------------------------------------

    def _find_root(self, root):
        if root is not None:
            return self._key(root, XtceError(f"unknown root container {root!r}"))
        referenced = {r for c in self.containers.values() for k, r, _ in c.entries
                      if k == "container"}
        tops = [c.name for c in self.containers.values() if c.base is None
                and (c.children or (not c.abstract and c.name not in referenced))]
        if len(tops) == 1:
            return tops[0]
        if "CCSDSPacket" in tops:
            return "CCSDSPacket"
        return None

    def _tree(self, name):
        yield name
        for child in self.containers[name].children:
            yield from self._tree(child)

    def _compile(self, container, seen):
        """Compile a container's own entries into steps; returns its chain of parameter names
        (the base containers' and its own, in packet order)."""
        if container.name in self._chains:
            return self._chains[container.name]
        if container.name in self.unsupported:
            raise self.unsupported[container.name]
        if container.name in seen:
            raise _fail(container._element, "the container inherits from or includes itself")
        seen = seen + (container.name,)
        chain = []
        if container.base is not None:
            chain = list(self._compile(self.containers[container.base], seen))
            if container.restriction is not None:
                self._check_refs(container._element, container.restriction.params(), chain,
                                 "its restriction criteria")
        steps = []
        self._flatten(container, None, steps, chain, seen)
        container._steps = tuple(s for s in steps if not isinstance(s, _Run) or s.items
                                 or s.bits or s.arrays)
        self._chains[container.name] = tuple(chain)
        return self._chains[container.name]

    def _flatten(self, container, outer, steps, chain, seen):
        for kind, ref, cond, skip, el in container._entries:
            if cond is not None:
                self._check_refs(el, cond.params(), chain, "its include condition")
            cond = _all_of([outer, cond])
            if kind == "container":
                if ref in self.unsupported or ref not in self.containers:
                    raise self.unsupported.get(ref) or _fail(el, f"{ref!r} cannot be read")
                inner = self.containers[ref]
                if ref in seen:
                    raise _fail(el, "the container inherits from or includes itself")
                if inner.base is not None:
                    raise _fail(el, f"including container {ref!r}, which has a base container, "
                                    "is not supported")
                if any(isinstance(e[3], Start) for e in inner._entries):
                    raise _fail(el, f"including container {ref!r}, which places entries from "
                                    "its start, is not supported")
                skip = self._place(steps, cond, skip)
                if skip:
                    self._fixed(steps, cond, skip)
                self._flatten(inner, cond, steps, chain, seen + (ref,))
                continue
            skip = self._place(steps, cond, skip)
            repeat = container._repeats.get(id(el))
            if repeat is not None:
                self._array(ref, repeat, el, cond, skip, steps, chain)
            else:
                self._parameter(ref, el, cond, skip, steps, chain)

    @staticmethod
    def _place(steps, cond, skip):
        """An entry placed from the container's start: a step there; the bits to skip after."""
        if isinstance(skip, Start):
            steps.append(_Seek(skip.bits, cond))
            return 0
        return skip

    def _parameter(self, ref, el, cond, skip, steps, chain):
        """Compile one parameter's entry: a field, an aggregate's members or an array."""
        ptype = self.parameters[ref].type
        if isinstance(ptype, AggregateType):
            for member, _ in ptype.members:
                self._parameter(f"{ref}.{member}", el, cond, skip, steps, chain)
                skip = 0
            return
        if isinstance(ptype, ArrayType):
            return self._array(ref, ptype, el, cond, skip, steps, chain)
        enc = ptype.encoding
        self._check_refs(el, _calibrator_refs(ptype) - {ref}, chain, "its calibration")
        if enc.size_ref is not None:
            self._check_refs(el, {enc.size_ref}, chain, "its size")
            size_type = self.parameters[enc.size_ref].type
            if enc.size_calibrated and size_type.kind in ("enumerated", "boolean"):
                raise _fail(el, f"a size taken from the label of {enc.size_ref!r}")
            if size_type.encoding.kind in ("string", "binary"):
                raise _fail(el, f"a size taken from {size_type.encoding.kind} parameter "
                                f"{enc.size_ref!r}")
        if enc.fixed:
            run = self._fixed(steps, cond, skip)
            run.items.append((ref, enc.codec, enc.bits, enc.byte_order, run.bits,
                              enc.reverse_bits))
            run.bits += enc.bits
        else:
            steps.append(_Var(ref, ptype, skip, cond))
        chain.append(ref)

    def _array(self, ref, atype, el, cond, skip, steps, chain):
        """An array of fixed size whose elements have a fixed size: one run, its elements
        gathered into one (packets, *dims) column once decoded."""
        enc = getattr(atype.element, "encoding", None)
        if enc is None or not enc.fixed:
            raise _fail(el, f"array {ref!r}: only arrays of fixed-size elements are supported")
        if atype.element.contexts or _calibrator_refs(atype.element):
            raise _fail(el, f"array {ref!r}: elements calibrated from other parameters")
        if not atype.fixed:
            sizes = {d[0] for d in atype.dims if not isinstance(d, int)}
            self._check_refs(el, sizes, chain, "its size")
            steps.append(_Rep(ref, atype, skip, cond))
            chain.append(ref)
            return
        run = self._fixed(steps, cond, skip)
        names = []
        for i in range(int(np.prod(atype.dims))):
            names.append(f"{ref}[{i}]")
            run.items.append((names[-1], enc.codec, enc.bits, enc.byte_order, run.bits,
                              enc.reverse_bits))
            run.bits += enc.bits
        run.arrays.append((ref, tuple(names), atype.dims))
        chain.append(ref)

    @staticmethod
    def _fixed(steps, cond, skip):
        """The run that the next fixed field joins, after `skip` bits."""
        if not steps or not isinstance(steps[-1], _Run) or steps[-1].cond is not cond:
            steps.append(_Run(cond))
        steps[-1].bits += skip
        return steps[-1]

    def _check_refs(self, el, names, chain, what):
        if not names:
            return
        # The chain only grows while a container compiles: its set is extended, not rebuilt
        # for every entry (PeakSat's reports have thousands of conditional entries).
        held, known, seen = self._chain_sets.get(id(chain), (None, None, 0))
        if held is not chain or seen > len(chain):
            known, seen = set(), 0
        known.update(chain[seen:])
        self._chain_sets[id(chain)] = (chain, known, len(chain))  # held: its id stays its own
        missing = sorted(set(names) - known)
        if missing:
            raise _fail(el, f"{what} refers to {', '.join(map(repr, missing))}, which "
                            "is not decoded before it")

    # Inspection ------------------------------------------------------------------------------

    def fields(self, container_name):
        """The parameter names of a container's packets, in packet order (base containers'
        first), as its table has them."""
        return tuple(dict.fromkeys(self._compile(self._container(container_name), ())))

    def _key(self, name, error):
        """The table name of container `name`, given by its table name or qualified name."""
        if name in self.containers:
            return name
        key = self._qualified.get("/" + name.strip("/")) if isinstance(name, str) else None
        if key is None:
            several = sorted(k for q, k in self._qualified.items() if q.rpartition("/")[2] == name)
            if len(several) > 1:
                raise type(error)(f"{name!r} names several containers; say which: "
                                  f"{', '.join(several)}")
            raise error
        return key

    def _container(self, name):
        key = self._key(name, KeyError(f"no container {name!r} in {self.name!r}"))
        if key in self.unsupported:
            raise self.unsupported[key]
        return self.containers[key]

    def _lineage(self, name):
        out = []
        while name is not None:
            out.append(self.containers[name])
            name = self.containers[name].base
        return out[::-1]

    def layout(self, container_name):
        """The `Layout` of a container whose fields have a fixed size and place, from the first
        field of its outermost base container: for packing, or for decoding a stream of
        packets of one kind without the definition."""
        from .. import Layout

        container = self._container(container_name)
        self._compile(container, ())
        recipe, offset = [], 0
        for c in self._lineage(container.name):
            for step in c._steps:
                if isinstance(step, _Seek) and step.cond is None:
                    offset = step.bits
                    continue
                if not isinstance(step, _Run) or step.cond is not None:
                    fixed = isinstance(step, (_Run, _Seek))
                    what = step.items[0][0] if isinstance(step, _Run) else getattr(
                        step, "name", f"the entry at bit {getattr(step, 'bits', 0)}")
                    raise XtceError(f"container {container_name!r} has no fixed layout: "
                                    f"{what!r} " + ("is included on a condition" if fixed
                                                    else "varies in size"))
                recipe += step.recipe(offset)
                offset += step.bits
        return Layout(recipe)

    def datetimes(self, name, column):
        """A time parameter's derived column (a number in the type's units, as `decode` gives
        it with `derived=True`) as datetime64[ns] counted from the type's epoch for absolute
        times, or as timedelta64[ns] for relative ones. Named epochs are instants on one time
        line without leap seconds (TAI 1958-01-01, J2000 2000-01-01T11:58:55.816, UNIX
        1970-01-01, GPS 1980-01-06)."""
        from .loader import _epoch

        ptype = self.parameters[name].type
        if ptype.time is None:
            raise ValueError(f"{name!r} is not a time parameter")
        units = {"seconds": 1e9, "milliSeconds": 1e6, "microSeconds": 1e3, "nanoSeconds": 1.0,
                 "picoSeconds": 1e-3, "minutes": 6e10, "hours": 3.6e12, "days": 8.64e13}
        scale = units.get(ptype.time["units"])
        if scale is None:
            raise ValueError(f"{name!r} counts {ptype.time['units']}, which have no fixed length")
        data = np.ma.getdata(column).astype(np.float64) * scale
        bad = ~np.isfinite(data)
        out = np.where(bad, 0, np.round(data)).astype(np.int64).astype("timedelta64[ns]")
        out[bad] = np.timedelta64("NaT")
        if ptype.kind == "absolute_time":
            if ptype.time["epoch"] is None:
                raise ValueError(f"{name!r} counts from another parameter's time "
                                 f"({ptype.time['offset_from']!r}), not from an epoch")
            out = _epoch(None, ptype.time["epoch"]) + out
        if np.ma.isMaskedArray(column):
            return np.ma.masked_array(out, mask=np.ma.getmaskarray(column))
        return out

    def __repr__(self):
        version = f"XTCE {self.xtce_version}" if self.xtce_version else "no namespace"
        return (f"<xtce.Definition {self.name!r} ({version}): {len(self.parameters)} parameters, "
                f"{len(self.containers)} containers"
                + (f" ({len(self.unsupported)} unsupported)" if self.unsupported else "")
                + f", root {self.root!r}, "
                f"decodes as {', '.join(self.concrete) or 'nothing'}>")

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_layouts"] = {}  # compiled again where the definition is unpickled
        state["_chain_sets"] = {}
        state.pop("_plan", None)  # holds compiled C++ objects: made again where unpickled
        return state

    # Decoding --------------------------------------------------------------------------------

    def decode(self, data, *, derived=False, skip_header_bytes=0):
        """Decode a stream of CCSDS space packets into one table per concrete container.

        `data` is a path, a binary file object (read from its position) or any contiguous
        buffer (anything else raises TypeError). Each packet starts with a 6-byte primary
        header whose length field gives its size; `skip_header_bytes` skips a fixed record
        header before each packet. Each packet is matched to its concrete container through
        the restriction criteria of the inheritance tree, from the root container down.

        Returns a `Decoded` mapping: container name -> table, a dict of numpy columns keyed by
        parameter name plus "packet_index" (the packet's number in the stream) and
        "packet_offset" (the byte position of its primary header). Raw values by default; with
        `derived=True`, parameters with a calibrator hold calibrated float64 values,
        enumerated ones their labels (None for a value without a label) and booleans True or
        False. A parameter that an include condition leaves out of some packets is a numpy
        masked array, masked where absent. Packets that match no container (or several),
        packets shorter than their container, and packets with a field that cannot be read
        (a size tag larger than its buffer, a string without its terminator, bytes that are not
        text in the field's character set) are left out of the tables and counted on the
        result (`unmatched`, `truncated`, `invalid` with the first errors), as are the bytes
        after the last whole packet (`tail`): a bad packet never ends the decode.

        When most of the data ends up in none of the tables, a `UserWarning` names the likely
        cause (the data is XML, there are record headers to skip or none, the document is not
        the one of these packets).

        Raises `XtceError` only for a problem of the document (several root containers).
        """
        plan = self.__dict__.get("_plan") if self.root is not None else None
        if (plan is not None and plan.all_plain and not derived
                and type(data) in (bytes, bytearray) and type(skip_header_bytes) is int
                and 0 <= skip_header_bytes < 1 << 63):
            # The common case in one pass and few steps: a buffer as it is, raw values, tables
            # the walk gives whole.
            got = plan.decode_plain(data, skip_header_bytes)
            if got is not None:
                tables, unmatched, truncated, unsupported, packets, tail = got
                decoded = self._stamped(Decoded(tables, unmatched, truncated, packets, tail,
                                                unsupported=unsupported, names=self._qualified),
                                        False)
                _warn_if_mostly_lost(decoded, data, skip_header_bytes)
                return decoded
        from .. import ccsds_index

        with _Buffer(data) as buf:
            plan = self._tree_plan() if self.root is not None else None
            # Framing and decoding in one call where the walk reads the tree (a bad
            # skip_header_bytes is left to ccsds_index, whose errors name it).
            tried = (plan is not None and type(skip_header_bytes) is int
                     and 0 <= skip_header_bytes < 1 << 63)
            got = plan.decode_stream(buf, skip_header_bytes, derived) if tried else None
            if got is not None and len(got) == 3:  # many packets: framed, for the levels
                index = {"offset": got[0], "length": got[1], "tail": got[2]}
                decoded = self._decode(buf, index, 0, None, derived, walk=False)
            elif got is not None:
                tables, unmatched, truncated, unsupported, packets, tail = got
                decoded = self._result(tables, unmatched, truncated, unsupported, packets, tail,
                                       derived)
            else:
                index = ccsds_index(buf.view, skip_header_bytes=skip_header_bytes)
                decoded = self._decode(buf, index, 0, None, derived, walk=not tried)
            _warn_if_mostly_lost(decoded, buf.view, skip_header_bytes)
            return decoded

    def decode_packet(self, packet, *, derived=False):
        """Decode one space packet: `(container name, values)`, the values a dict by parameter
        name holding what `decode` gives for that packet's row, as Python numbers, str and
        bytes (None where an include condition leaves a parameter out; arrays as numpy
        arrays).

        `packet` is any buffer holding exactly one packet, its primary header first. Raises
        ValueError when it is not one whole packet, or when it lands in no table (it matches
        no container, is shorter than its container, holds a field that cannot be read, or
        is of a container that cannot be decoded), naming why.
        """
        plan = self._tree_plan()
        if plan is not None and not derived:
            got = plan.decode_one(packet)
            if got is not None:
                return got
        with _Buffer(packet) as buf:
            view = buf.view
            if len(view) < 6:
                raise ValueError(f"a packet starts with its 6-byte primary header; this one has "
                                 f"{len(view)} bytes")
            size = 7 + (view[4] << 8 | view[5])
            if size != len(view):
                raise ValueError(f"the packet's primary header gives {size} bytes, but the "
                                 f"packet has {len(view)}")
            index = {"offset": np.zeros(1, np.int64), "length": np.full(1, size, np.int64)}
            decoded = self._decode(buf, index, 0, None, derived)
        for name, table in decoded.items():
            return name, {k: _row_value(col) for k, col in table.items()
                          if k not in ("packet_index", "packet_offset")}
        if decoded.invalid:
            raise ValueError(decoded.invalid.first_errors[0])
        if decoded.unsupported:
            name = next(iter(decoded.unsupported.by_container))
            raise ValueError(f"the packet is of container {name!r}, which cannot be decoded: "
                             f"{self.unsupported.get(name, 'its kind cannot be told')}")
        if decoded.truncated:
            name = next(iter(decoded.truncated.by_container))
            raise ValueError(f"the packet ({size} bytes) is too short for container {name!r}")
        name = next(iter(decoded.unmatched.by_container))
        raise ValueError(f"the packet matches no container below {name!r}")

    def decode_index(self, data, index, start=0, stop=None, *, derived=False):
        """Decode packets `start` to `stop` of a stream already indexed with `ccsds_index`.

        `index` is what `ccsds_index(data, ...)` returned for the same `data` (or a dict with at
        least its "offset" and "length" columns). Rows keep their numbers in the whole stream
        ("packet_index" counts from the start of `index`, not from `start`), so that the
        results of consecutive ranges, decoded in parallel, join with `Decoded.concat` into
        the result of decoding the whole stream at once.
        """
        with _Buffer(data) as buf:
            return self._decode(buf, index, start, stop, derived)

    def _result(self, tables, unmatched, truncated, unsupported, packets, tail, derived):
        tables = {name: tables[name] for name in self.containers if name in tables}
        return self._stamped(Decoded(tables, unmatched, truncated, packets, int(tail),
                                     _skipped(()), unsupported=unsupported,
                                     names=self._qualified), derived)

    def _decode(self, buf, index, start, stop, derived, walk=True, first=0, base=0):
        """The decode of rows `start` to `stop` of `index`, numbered as packets from `first`
        (row 0) and bytes from `base` (the buffer's first byte) of a longer stream."""
        if self.root is None:
            raise XtceError(f"{self.name!r} has several root containers; name the one to start "
                            "from with load(..., root=...)")
        offs = np.ascontiguousarray(index["offset"], dtype=np.int64)
        lens = np.ascontiguousarray(index["length"], dtype=np.int64)
        total = len(offs)
        start, stop, _ = slice(start, stop).indices(total)
        stop = max(start, stop)
        tail = index.get("tail", 0) if stop == total else 0
        plan = self._tree_plan() if walk else None
        plan = plan if plan is not None and stop - start <= plan.most() else None
        got = plan.decode(buf, offs[start:stop], lens[start:stop], first + start, derived) \
            if plan is not None and len(offs) == len(lens) else None
        if got is not None:
            # One pass of the C++ walk; packets it cannot read send the whole range down
            # the general path below, which reports them.
            return _moved(self._result(*got, stop - start, tail, derived), base)
        run = _Decoding(self, buf, derived)
        run.base = base
        group = _Group(np.arange(first + start, first + stop, dtype=np.int64), offs[start:stop],
                       lens[start:stop])
        run.walk(self.containers[self.root], group)
        tables = {name: run.tables[name] for name in self.containers if name in run.tables}
        return _moved(self._stamped(Decoded(tables, _skipped(run.unmatched),
                                            _skipped(run.truncated), stop - start, int(tail),
                                            _skipped(run.invalid, run.errors),
                                            unsupported=_skipped(run.unsupported),
                                            names=self._qualified), derived), base)

    def _stamped(self, decoded, derived):
        decoded.definition, decoded.derived = self, bool(derived)
        return decoded

    def _layout(self, key, recipe):
        """A compiled Layout, cached by `key`; `recipe` is a callable that gives its recipe."""
        layout = self._layouts.get(key)
        if layout is None:
            from .. import Layout

            layout = self._layouts[key] = Layout(recipe())
        return layout

    def encode_command(self, name, args=None, /, *, sequence_count=None, ccsds_length=False,
                       checksum=None, **kwargs):
        """The bytes of command `name` (qualified, or a short name unique in the database)
        with engineering argument values from `args` and keyword arguments, the others
        taking their initial values. `sequence_count=` and `ccsds_length=True` fill the
        CCSDS primary header's count and length, `checksum="crc16-ccitt"` appends a
        CRC-16/CCITT over the packet, `checksum=True` the CRC that the command container's
        ErrorDetectCorrect gives. Raises `CommandError` naming the command and argument."""
        command = self.commands.get(name) or _find_command(self, name)
        values = dict(args, **kwargs) if kwargs and args else (args or kwargs)
        return command.encode(values, sequence_count, ccsds_length, checksum)

    def decode_command(self, packet):
        """(name, args) of the command `packet` holds, args as engineering values."""
        return _decode_command(self, packet)


def _moved(decoded, base):
    """`decoded` with its byte offsets counted from `base`."""
    if base:
        for table in decoded.values():
            table["packet_offset"] = table["packet_offset"] + base  # may be the index's
        for skipped in (decoded.unmatched, decoded.truncated, decoded.invalid,
                        decoded.unsupported):
            if len(skipped.offsets):
                skipped.offsets = skipped.offsets + base
    return decoded


def _row_value(col):
    """The first row of a column as a Python value (None where masked)."""
    if np.ma.isMaskedArray(col) and np.ma.getmaskarray(col)[0].any():
        return None
    value = np.ma.getdata(col)[0]
    return value.item() if isinstance(value, np.generic) else value


def _warn_if_mostly_lost(decoded, view, skip):
    """A UserWarning when most of the data is in no table, naming the likely cause."""
    size = len(view)
    lost = decoded.unmatched.count + decoded.truncated.count + decoded.invalid.count
    # Record headers end where a packet starts: a tail after them says they were misread.
    mostly = not (2 * decoded.tail <= size and 2 * lost <= decoded.packets and decoded.packets)
    if not size or not (mostly or (skip and decoded.tail)):
        return
    head = bytes(view[:64]).lstrip(b"\xef\xbb\xbf \t\r\n")
    summary = (f"{decoded.packets} packets in {size} bytes: {lost} left out of the tables "
               f"(unmatched {decoded.unmatched.count}, truncated {decoded.truncated.count}, "
               f"invalid {decoded.invalid.count}), {decoded.tail} bytes of tail")
    # Packets that all end where the next begins, none cut short, are framed right.
    framed = not decoded.tail and not decoded.truncated.count
    framing = (_other_framing(view, skip, decoded.packets)
               if not head.startswith(b"<") and not framed else None)
    if not mostly and framing is None:
        return
    if head.startswith(b"<"):
        cause = ("the data looks like XML, not packets: load the document with xtce.load and "
                 "pass the packet file to decode")
    elif framing is not None:
        cause = (f"the data reads as {framing[1]} whole packets with skip_header_bytes="
                 f"{framing[0]} (this decode used {skip})")
    elif 2 * decoded.tail > size or decoded.truncated.count * 2 > decoded.packets:
        cause = ("the packets' length fields do not hold: the file may have a record header "
                 "before each packet (skip_header_bytes) or not be CCSDS packets")
    elif decoded.invalid.count * 2 > decoded.packets:
        cause = f"most packets hold a field that cannot be read: {decoded.invalid.first_errors[0]}"
    else:
        cause = ("most packets match no container: is this the document of these packets, "
                 "and the right root container?")
    warnings.warn(f"{summary}; {cause}", UserWarning, stacklevel=3)


def _other_framing(view, skip, packets):
    """(skip_header_bytes, packets) of another record header size, up to 32 bytes, under
    which the data is whole packets with no tail, and more of them; None if there is none.
    Tried on data of up to 64 MiB only, where indexing it again costs little."""
    from .. import ccsds_index

    if len(view) > 1 << 26:
        return None
    for other in range(33):
        if other != skip:
            index = ccsds_index(view, skip_header_bytes=other)
            if not index["tail"] and len(index["offset"]) > packets:
                return other, len(index["offset"])
    return None


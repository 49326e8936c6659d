"""The definition as a whole: containers compiled into steps, their inheritance tree, and
the entry points of decoding."""
import warnings

import numpy as np

from ._xml import NAMESPACES, XtceError, _fail
from .decode import Decoded, _Buffer, _Decoding, _Group, _skipped
from .model import _Run, _Var, _all_of

class Definition:
    """An XTCE document's telemetry packets, ready to decode.

    Attributes: `name` (the space system's), `xtce_version` ("1.1", "1.2" or None when the
    document has no namespace), `source` (the path it was read from, if any),
    `parameter_types`, `parameters` and `containers` (dicts by name), `root` (the container
    where decoding starts) and `concrete` (the containers that packets decode as).
    """

    def __init__(self, loader, root):
        self.name = loader.doc.get("name")
        self.xtce_version = NAMESPACES.get(loader.ns)
        self.source = loader.source
        self.parameter_types = loader.types
        self.parameters = loader.parameters
        self.containers = loader.containers
        children = {name: [] for name in self.containers}
        for c in self.containers.values():
            if c.base is not None:
                children[c.base].append(c.name)
        for c in self.containers.values():
            c.children = tuple(children[c.name])
        self._chains = {}
        self._layouts = {}
        included = {r for c in self.containers.values() for k, r, _ in c.entries
                    if k == "container"}
        for c in self.containers.values():
            # A container that is only ever included is compiled where it is included: its
            # include conditions may refer to the includer's fields.
            if c.name not in included or c.base is not None or c.children:
                self._compile(c, ())
        self.root = self._find_root(root)
        self.concrete = tuple(name for name in self._tree(self.root)
                              if not self.containers[name].abstract) if self.root else ()

    # Compilation -----------------------------------------------------------------------------

    def _find_root(self, root):
        if root is not None:
            if root not in self.containers:
                raise XtceError(f"unknown root container {root!r}")
            return root
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
                                 or s.bits)
        self._chains[container.name] = tuple(chain)
        return self._chains[container.name]

    def _flatten(self, container, outer, steps, chain, seen):
        for kind, ref, cond, skip, el in container._entries:
            if cond is not None:
                self._check_refs(el, cond.params(), chain, "its include condition")
            cond = _all_of([outer, cond])
            if kind == "container":
                inner = self.containers[ref]
                if ref in seen:
                    raise _fail(el, "the container inherits from or includes itself")
                if inner.base is not None:
                    raise _fail(el, f"including container {ref!r}, which has a base container, "
                                    "is not supported")
                if skip:
                    self._fixed(steps, cond, skip)
                self._flatten(inner, cond, steps, chain, seen + (ref,))
                continue
            ptype = self.parameters[ref].type
            enc = ptype.encoding
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
                run.items.append((ref, enc.codec, enc.bits, enc.byte_order, run.bits))
                run.bits += enc.bits
            else:
                steps.append(_Var(ref, ptype, skip, cond))
            chain.append(ref)

    @staticmethod
    def _fixed(steps, cond, skip):
        """The run that the next fixed field joins, after `skip` bits."""
        if not steps or not isinstance(steps[-1], _Run) or steps[-1].cond is not cond:
            steps.append(_Run(cond))
        steps[-1].bits += skip
        return steps[-1]

    def _check_refs(self, el, names, chain, what):
        missing = sorted(set(names) - set(chain))
        if missing:
            raise _fail(el, f"{what} refers to {', '.join(map(repr, missing))}, which "
                            "is not decoded before it")

    # Inspection ------------------------------------------------------------------------------

    def fields(self, container_name):
        """The parameter names of a container's packets, in packet order (base containers'
        first), as its table has them."""
        return tuple(dict.fromkeys(self._compile(self._container(container_name), ())))

    def _container(self, name):
        try:
            return self.containers[name]
        except KeyError:
            raise KeyError(f"no container {name!r} in {self.name!r}") from None

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

        self._compile(self._container(container_name), ())
        recipe, offset = [], 0
        for c in self._lineage(container_name):
            for step in c._steps:
                if isinstance(step, _Var) or step.cond is not None:
                    what = step.name if isinstance(step, _Var) else step.items[0][0]
                    raise XtceError(f"container {container_name!r} has no fixed layout: "
                                    f"{what!r} " + ("varies in size" if isinstance(step, _Var)
                                                    else "is included on a condition"))
                recipe += step.recipe(offset)
                offset += step.bits
        return Layout(recipe)

    def __repr__(self):
        version = f"XTCE {self.xtce_version}" if self.xtce_version else "no namespace"
        return (f"<xtce.Definition {self.name!r} ({version}): {len(self.parameters)} parameters, "
                f"{len(self.containers)} containers, root {self.root!r}, "
                f"decodes as {', '.join(self.concrete) or 'nothing'}>")

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_layouts"] = {}  # compiled again where the definition is unpickled
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
        from .. import ccsds_index

        with _Buffer(data) as buf:
            index = ccsds_index(buf.view, skip_header_bytes=skip_header_bytes)
            decoded = self._decode(buf, index, 0, None, derived)
            _warn_if_mostly_lost(decoded, buf.view, skip_header_bytes)
            return decoded

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

    def _decode(self, buf, index, start, stop, derived):
        if self.root is None:
            raise XtceError(f"{self.name!r} has several root containers; name the one to start "
                            "from with load(..., root=...)")
        offs = np.asarray(index["offset"], dtype=np.int64)
        lens = np.asarray(index["length"], dtype=np.int64)
        total = len(offs)
        start, stop, _ = slice(start, stop).indices(total)
        stop = max(start, stop)
        run = _Decoding(self, buf, derived)
        group = _Group(np.arange(start, stop, dtype=np.int64), offs[start:stop], lens[start:stop])
        run.walk(self.containers[self.root], group)
        tables = {name: run.tables[name] for name in self.containers if name in run.tables}
        tail = index.get("tail", 0) if stop == total else 0
        return Decoded(tables, _skipped(run.unmatched), _skipped(run.truncated), stop - start,
                       int(tail), _skipped(run.invalid, run.errors))

    def _layout(self, key, recipe):
        """A compiled Layout, cached by `key`; `recipe` is a callable that gives its recipe."""
        layout = self._layouts.get(key)
        if layout is None:
            from .. import Layout

            layout = self._layouts[key] = Layout(recipe())
        return layout


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
    framing = _other_framing(view, skip, decoded.packets) if not head.startswith(b"<") else None
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

"""The container tree compiled for the C++ walk: every packet of a stream decoded in one pass
from the root container down, where the tree holds only what that walk reads (runs of fixed
fields, places from the packet's start, fields sized by another parameter or by their type,
restriction criteria on raw numbers). Anything else keeps the level-by-level decode of
decode.py, which is also where every packet the walk cannot read is decoded and reported."""
import operator

import numpy as np

from .._columns import _Tree
from .calibration import _objects
from .decode import (_FAR, Skipped, _Decoding, _dispatch_table, _Group, _skipped,
                     _text_decoder)
from .model import (_UNREADABLE, _AllOf, _AnyOf, _beyond_range, _Compare, _int_range, _Rep,
                    _Run, _Seek, _Var)

_OPS = {operator.eq: 0, operator.ne: 1, operator.lt: 2, operator.le: 3, operator.gt: 4,
        operator.ge: 5}
_NUMERIC_SLOT, _POSITION_SLOT, _VARIABLE_SLOT = 0, 1, 2
# Up to this many packets a call walks them; beyond, where every field is a number, decoding
# each level's fields column by column over all its packets costs less than the walk's copy
# of every row (with bytes or text to cut, the walk stays faster).
WALK_PACKETS = 4096


class _Ineligible(Exception):
    """The tree holds something the C++ walk does not read."""


def _word(value):
    """A 64-bit pattern as the int64 word the program holds."""
    return value - (1 << 64) if value >= 1 << 63 else value


class _Builder:
    def __init__(self, definition):
        self.d = definition
        self.slots = []        # each slot's kind
        self.dtypes = {}       # numeric slot -> numpy dtype of its column
        self.items = {}        # position slot -> the recipe item that reads its field
        self.layouts = []
        self.runs = []         # (bits, column slots)
        self.reals = []
        self.nodes = []        # each node's words, filled in preorder
        self.ids = {}
        self.tables = []       # (container name, [(name, entry)])

    def slot(self, kind):
        self.slots.append(kind)
        return len(self.slots) - 1

    def build(self):
        order = list(self.d._tree(self.d.root))
        self.ids = {name: i for i, name in enumerate(order)}
        self.nodes = [None] * len(order)
        self.node(self.d.root, {})
        words = [1, len(self.slots), len(self.runs), len(self.nodes), len(self.tables)]
        words += self.slots
        for bits, slots in self.runs:
            words += [bits, len(slots)] + slots
        for node in self.nodes:
            words += node
        names = []
        for _, columns in self.tables:
            slots = [s for _, entry in columns for s in _entry_slots(entry)]
            words += [len(slots)] + slots
            names.append([k for name, entry in columns for k in _entry_keys(name, entry)])
        tree = _Tree(self.layouts, np.array(words, dtype=np.int64),
                     np.array(self.reals or [0.0], dtype=np.float64), names)
        return _Plan(self.d, tree, self.tables, self.items)

    def node(self, name, cols):
        c = self.d.containers[name]
        k = self.ids[name]
        if name in self.d.unsupported:
            self.nodes[k] = [int(c.abstract), 1, k, 0, -1, 0, -1]
            self.skip_subtree(name)
            return
        ops = []
        for step in getattr(c, "_steps", ()):
            ops += self.step(step, cols)
        kids = [self.d.containers[n] for n in c.children]
        unknown = [kid for kid in kids if kid.restriction is _UNREADABLE or (
            kid.restriction is not None and not kid.restriction.params() <= cols.keys())]
        words = [int(c.abstract), 2 if unknown else 0, self.ids[unknown[0].name] if unknown else k,
                 len(ops)]
        for op in ops:
            words += op
        words += self.children(kids, cols) if kids and not unknown else [-1, 0]
        if c.abstract:
            words.append(-1)
        else:
            words.append(len(self.tables))
            self.tables.append((name, list(cols.items())))
        self.nodes[k] = words
        for kid in kids:
            self.node(kid.name, dict(cols))

    def skip_subtree(self, name):
        """Nodes no packet reaches (below a refused container), kept for their numbers."""
        for kid in self.d.containers[name].children:
            self.nodes[self.ids[kid]] = [0, 1, self.ids[kid], 0, -1, 0, -1]
            self.skip_subtree(kid)

    def step(self, step, cols):
        if step.cond is not None or isinstance(step, _Rep):
            raise _Ineligible
        if isinstance(step, _Seek):
            if not 0 <= step.bits <= _FAR:
                raise _Ineligible
            return [[1, step.bits]]
        if isinstance(step, _Var):
            return [self.variable(step, cols)]
        bits = min(step.bits, _FAR)
        if not step.items:
            return [[0, self.run(None, bits, cols, step)]] if bits else []
        return [[0, self.run(step.recipe, bits, cols, step)]]

    def run(self, recipe, bits, cols, step):
        names = [it[0] for it in step.items]
        if len(set(names)) != len(names):
            raise _Ineligible  # one column filled twice in a run
        layout = self.d._layout(("run", id(step)), recipe) if recipe else self.d._layout(
            ("empty",), lambda: [])
        column_slots = []
        dtypes = {k: v.dtype for k, v in layout.unpack(b"", count=0).items()}
        for it, name in zip(step.items, layout.names):
            if dtypes[name] != object:
                s = self.slot(_NUMERIC_SLOT)
                self.dtypes[s] = dtypes[name]
            else:
                s = self.slot(_POSITION_SLOT)
                self.items[s] = (it[1], it[2], it[3], it[5])
            column_slots.append(s)
            cols[name] = ("slot", s)
        for name, items, dims in step.arrays:
            cols[name] = ("array", [cols.pop(i) for i in items], dims)
        self.layouts.append(layout)
        self.runs.append((bits, column_slots))
        return len(self.runs) - 1

    def variable(self, step, cols):
        enc = step.ptype.encoding
        if enc.leading_bits or enc.terminator is not None or enc.kind not in ("string", "binary"):
            raise _Ineligible
        size_slot, fixed = -1, 0
        if enc.size_ref is not None:
            entry = cols.get(enc.size_ref)
            if entry is None or entry[0] != "slot" or self.slots[entry[1]] != _NUMERIC_SLOT:
                raise _Ineligible
            if enc.size_calibrated and self.d.parameters[enc.size_ref].type.has_derived:
                raise _Ineligible
            size_slot = entry[1]
        elif enc.bits is not None:
            fixed = min(enc.bits, _FAR)
        else:
            raise _Ineligible
        s = self.slot(_VARIABLE_SLOT)
        self.reals += [float(enc.slope), float(enc.intercept)]
        cols[step.name] = ("var", s, enc)
        return [2, s, min(step.skip, _FAR), size_slot, fixed, len(self.reals) - 2]

    def children(self, kids, cols):
        table = _dispatch_table(self.d, kids)
        if table is not None:
            param, values = table
            entry = cols.get(param)
            dtype = self.dtype_of(entry)
            if dtype is not None and dtype.kind in "iu":
                low, high = _int_range(dtype)
                # A child whose value the column cannot hold takes no packet: left out.
                held = sorted((k, v) for v, k in values.items() if low <= v <= high)
                words = [entry[1], len(held)]
                for k, v in held:
                    words += [self.ids[kids[k].name], _word(v % (1 << 64))]
                return words
        words = [-1, len(kids)]
        for kid in kids:
            terms = self.terms(kid.restriction, cols) if kid.restriction is not None else []
            words += [self.ids[kid.name], len(terms)]
            for t in terms:
                words += t
        return words

    def dtype_of(self, entry):
        if entry is None or entry[0] != "slot" or self.slots[entry[1]] != _NUMERIC_SLOT:
            return None
        return self.dtypes[entry[1]]

    def terms(self, cond, cols):
        if isinstance(cond, (_AllOf, _AnyOf)):
            out = []
            for item in cond.items:
                out += self.terms(item, cols)
            return out + [[3 if isinstance(cond, _AnyOf) else 2, len(cond.items)]]
        if type(cond) is not _Compare or cond.op not in _OPS:
            raise _Ineligible
        entry = cols.get(cond.param)
        dtype = self.dtype_of(entry)
        if dtype is None or (cond.calibrated and self.d.parameters[cond.param].type.has_derived):
            raise _Ineligible
        value, op = cond.value, cond.op
        if dtype.kind in "iu" and isinstance(value, int):
            low, high = _int_range(dtype)
            if value > high or value < low:
                return [[4, int(_beyond_range(op, value, high))]]
            return [[0, entry[1], _OPS[op], _word(value % (1 << 64))]]
        if dtype == np.float32 or not isinstance(value, (int, float)):
            raise _Ineligible
        try:
            self.reals.append(float(value))
        except OverflowError:
            raise _Ineligible from None
        return [[1, entry[1], _OPS[op], len(self.reals) - 1]]


def _entry_slots(entry):
    if entry[0] == "array":
        return [s for e in entry[1] for s in _entry_slots(e)]
    return [entry[1]]


def _entry_keys(name, entry):
    if entry[0] == "array":
        return [f"{name}[{i}]" for i in range(len(entry[1]))]
    return [name]


class _Plan:
    """A definition's tree for the C++ walk, and how its tables are finished."""

    def __init__(self, definition, tree, tables, items):
        self.d = definition
        self.tree = tree
        self.tables = tables
        self.items = items
        # Tables whose columns the walk gives as they are: no array to shape, no text or
        # bytes to read.
        self.plain = [all((e[0] == "slot" and e[1] not in items)
                          or (e[0] == "var" and e[2].kind == "binary") for _, e in cols)
                      for _, cols in tables]
        self.names = list(definition._tree(definition.root))
        self.numbers_only = all(e[0] == "slot" and e[1] not in items
                                for _, cols in tables for _, e in cols)
        self.plain_at = {self.names.index(name): plain for (name, _), plain in zip(tables, self.plain)}
        # Tables in the document's order, as decode lists them: (name, table number).
        position = {name: k for k, name in enumerate(definition.containers)}
        self.order = sorted(((name, t) for t, (name, _) in enumerate(tables)),
                            key=lambda item: position[item[0]])
        self.all_plain = all(self.plain)

    def decode_plain(self, data, skip):
        """A whole stream of bytes or bytearray walked at once, where every table is plain
        and the values raw: (tables in document order, unmatched, truncated, unsupported,
        packets, tail), or None where another path must run."""
        got = self.tree.decode_stream(data, skip, self.most())
        if got is None or len(got) == 3:
            return None
        raw = got[0]
        tables = {name: raw[t] for name, t in self.order if raw[t] is not None}
        return (tables, self.skipped(got[1]), self.skipped(got[2]), self.skipped(got[3]),
                got[4], got[5])

    def decode(self, buf, offs, lens, first, derived):
        """The tables and skipped packets, or None where the general decode must run."""
        got = self.tree.decode(buf.view, offs, lens, first)
        return None if got is None else self.result(buf, got, derived)

    def decode_stream(self, buf, skip, derived):
        """A whole stream framed and walked at once: (tables, unmatched, truncated,
        unsupported, packets, tail), or None where the general decode must run."""
        got = self.tree.decode_stream(buf.view, skip, self.most())
        if got is None or len(got) == 3:
            return got
        done = self.result(buf, got[:4], derived)
        return None if done is None else done + got[4:]

    def result(self, buf, got, derived):
        raw, unmatched, truncated, unsupported = got
        run = _Decoding(self.d, buf, derived) if derived or not all(self.plain) else None
        tables = {}
        for (name, cols), plain, table in zip(self.tables, self.plain, raw):
            if table is None:
                continue
            if not plain:
                table = self.finish(run, cols, table)
                if table is None:
                    return None
            if derived:
                pidx, offsets = table.pop("packet_index"), table.pop("packet_offset")
                run.emit(self.d.containers[name], _Group(pidx, offsets, None, cols=table))
                table = run.tables[name]
            tables[name] = table
        return tables, self.skipped(unmatched), self.skipped(truncated), self.skipped(unsupported)

    def most(self):
        """The most packets a call walks."""
        return WALK_PACKETS if self.numbers_only else 1 << 62

    def decode_one(self, packet):
        """(container name, values) of one whole packet, where the walk reads it and its table
        needs no finishing; None otherwise."""
        got = self.tree.decode_one(packet)
        if got is None or got[0] != 0 or not self.plain_at[got[1]]:
            return None
        return self.names[got[1]], got[2]

    def finish(self, run, cols, raw):
        """A table with its arrays shaped and its text and bytes read; None when a field does
        not decode (the general decode reports it)."""
        offs = raw["packet_offset"]
        out = {}
        for name, entry in cols:
            if entry[0] == "array":
                out[name] = np.stack([self.column(run, e, raw[f"{name}[{i}]"], offs)
                                      for i, e in enumerate(entry[1])], axis=-1).reshape(
                    (len(offs),) + tuple(entry[2]))
                continue
            col = self.column(run, entry, raw[name], offs)
            if col is None:
                return None
            out[name] = col
        out["packet_index"] = raw["packet_index"]
        out["packet_offset"] = offs
        return out

    def column(self, run, entry, col, offs):
        if entry[0] == "var":
            enc = entry[2]
            if enc.kind != "string":
                return col  # the bytes, as the walk cut them
            decode = _text_decoder(enc.codec)
            try:
                return _objects([decode(b) if b else "" for b in col.tolist()])
            except ValueError:
                return None
        item = self.items.get(entry[1])
        if item is None:
            return col
        codec, bits, order, reverse = item
        if codec == "binary" and bits % 8 == 0 and order == "big" and not reverse:
            # Whole bytes as they lie, cut in C++ (the walk checked them inside the packet).
            return self.tree.cut(run.buf.view, offs, col, bits // 8)
        layout = self.d._layout(("item",) + item, lambda: [{
            "name": "v", "encoding": codec, "bits": bits, "byte_order": order,
            "reverse_bits": reverse}])
        try:
            return run.unpack_at(layout, offs, col)["v"]
        except ValueError:
            return None

    def skipped(self, parts):
        if parts is None:  # no packet of this kind
            return _skipped(())
        nodes, pidx, offs = parts
        names = self.names
        first = int(nodes[0])
        if len(nodes) == 1 or not (nodes != first).any():  # one node's: in stream order
            return Skipped(pidx, offs, {names[first]: len(nodes)})
        return _skipped([(names[k], pidx[nodes == k], offs[nodes == k])
                         for k in np.unique(nodes).tolist()])


def compile_tree(definition):
    """The plan of a definition's tree for the C++ walk, or None where it holds what the walk
    does not read."""
    if definition.root is None:
        return None
    try:
        return _Builder(definition).build()
    except _Ineligible:
        return None

"""The definition model: data encodings, parameter types, parameters, containers, and the
restriction criteria and include conditions that select packets and entries."""
import operator
from collections import namedtuple

import numpy as np
import numpy.ma  # noqa: F401 - loaded here, not inside the first decode (tens of ms)

# An element passed over (Definition.skipped): how often, and the first line it stands on.
Passed = namedtuple("Passed", "count first_line")

# Columns every table has besides its parameters.
ROW_COLUMNS = ("packet_index", "packet_offset")

# The most bits a CCSDS space packet holds: its 6-byte primary header and 65,536 bytes.
_PACKET_BITS = 8 * (6 + 65536)


class Encoding:
    """How a parameter's raw value is laid out in a packet.

    `kind` is "integer", "float", "string" or "binary"; `codec` the bitweave encoding name.
    `bits` is the field's size when it is fixed (for strings, the size of the buffer that holds
    the characters with their size tag or terminator); None when another parameter's value
    gives it (`size_ref`, scaled as `slope * value + intercept` bits) or, for strings, when a
    leading size tag or a terminator alone ends the field. A string's size tag
    (`leading_bits` wide) counts the bits of the characters that follow it; `terminator`
    is found only at whole code units (`unit` bytes) from the string's start.
    """

    __slots__ = ("kind", "codec", "bits", "byte_order", "size_ref", "size_calibrated", "slope",
                 "intercept", "leading_bits", "terminator", "unit", "max_bits", "reverse_bits")

    def __init__(self, kind, codec, bits, byte_order="big", *, size_ref=None,
                 size_calibrated=True, slope=1.0, intercept=0.0, leading_bits=0,
                 terminator=None, unit=1, max_bits=None):
        self.kind = kind
        self.codec = codec
        self.bits = bits
        self.byte_order = byte_order
        self.size_ref = size_ref
        self.size_calibrated = size_calibrated
        self.slope = slope
        self.intercept = intercept
        self.leading_bits = leading_bits
        self.terminator = terminator
        self.unit = unit
        self.max_bits = max_bits
        self.reverse_bits = False  # the first bit in the packet is the value's least significant

    @property
    def fixed(self):
        """True when the field has the same size and place in every packet (and fits in
        one: a larger field is read as a variable one, which finds every packet too short)."""
        return (self.bits is not None and self.bits <= _PACKET_BITS and not self.leading_bits
                and self.terminator is None)

    def __repr__(self):
        if self.size_ref is not None:
            size = f"{self.slope:g} * {self.size_ref} + {self.intercept:g} bits"
        elif self.bits is not None:
            size = f"{self.bits} bits"
        else:
            size = "variable"
        extra = ""
        if self.leading_bits:
            extra = f", {self.leading_bits}-bit size tag"
        elif self.terminator is not None:
            extra = f", terminated by {self.terminator.hex()}"
        order = ", little-endian" if self.byte_order == "little" else ""
        return f"Encoding({self.codec}, {size}{extra}{order})"


class ParameterType:
    """A parameter type: its kind, data encoding, calibrator and enumeration labels.

    `kind` is "integer", "float", "string", "binary", "enumerated" or "boolean".
    `calibrator` is a tuple of (coefficient, exponent) terms of a polynomial, a `Spline`, a
    `MathOperation`, or None; `contexts` holds (condition, calibrator) pairs, the first whose
    condition holds for a packet calibrating it instead.
    `labels` maps raw values to enumeration labels; `label_ranges` holds (low, high, label)
    entries of enumerations that cover a range of values.
    """

    def __init__(self, name, kind, encoding, *, calibrator=None, labels=None, label_ranges=(),
                 units=(), bool_strings=("False", "True"), line=None, contexts=()):
        self.name = name
        self.contexts = contexts
        self.kind = kind
        self.encoding = encoding
        self.calibrator = calibrator
        self.labels = labels
        self.label_ranges = label_ranges
        self.units = units
        self.bool_strings = bool_strings
        self.line = line
        self.time = None  # for time types: {"epoch", "offset_from", "units"}
        self._table = {}

    @property
    def has_derived(self):
        """True when the derived value differs from the raw one (calibrator, labels, booleans)."""
        return (self.kind in ("enumerated", "boolean") or self.calibrator is not None
                or bool(self.contexts))

    def __repr__(self):
        extra = ""
        if isinstance(self.calibrator, tuple):
            extra = ", calibrated " + " + ".join(f"{c:g}*x^{e}" for c, e in self.calibrator)
        elif self.calibrator is not None:
            extra = f", calibrated by {self.calibrator!r}"
        if self.labels is not None:
            extra = f", {len(self.labels) + len(self.label_ranges)} labels"
        return f"<ParameterType {self.name!r} {self.kind}, {self.encoding!r}{extra}>"


class AggregateType:
    """A type made of named members, each of its own type: decoded one after the other into
    one column per member, named `parameter.member`."""

    kind = "aggregate"
    has_derived = False

    def __init__(self, name, members, line=None):
        self.name = name
        self.members = tuple(members)
        self.line = line

    def __repr__(self):
        return f"<AggregateType {self.name!r} of {', '.join(n for n, _ in self.members)}>"


def _dimension(el, start, stop, fail, what):
    """One dimension's size from its indexes: a number, or (ref, calibrated, slope,
    intercept) where the ending index comes from the value of `ref` (`what`: an argument
    or a parameter) in each packet. `fail(el, message)` makes the error."""
    if not isinstance(start, int):
        raise fail(el, f"a starting index from another {what} is not supported")
    if isinstance(stop, int):
        if stop < start:
            raise fail(el, "the dimension ends before it starts")
        return stop - start + 1
    # The ending index from a value, then plus one.
    ref, calibrated, slope, intercept = stop
    return ref, calibrated, slope, intercept + 1 - start


class ArrayType:
    """An array of elements of one type. `dims` holds each dimension's size: a number, or
    (parameter, calibrated, slope, intercept) for a size read from a parameter."""

    kind = "array"

    def __init__(self, name, element, dims, line=None):
        self.name = name
        self.element = element
        self.dims = dims
        self.line = line

    @property
    def has_derived(self):
        return self.element.has_derived

    @property
    def fixed(self):
        return all(isinstance(d, int) for d in self.dims)

    def __repr__(self):
        dims = "x".join(str(d) if isinstance(d, int) else d[0] for d in self.dims)
        return f"<ArrayType {self.name!r} [{dims}] of {self.element.name!r}>"


class Parameter:
    """A named parameter and its type, with its descriptions; `units` are its type's."""

    def __init__(self, name, ptype, short_description=None, line=None):
        self.name = name
        self.type = ptype
        self.short_description = short_description
        self.long_description = None
        self.line = line

    @property
    def units(self):
        return self.type.units

    def __repr__(self):
        return f"<Parameter {self.name!r} of {self.type.name!r}>"


class Container:
    """A sequence container: its base container and restriction, and its own entries.

    `entries` lists the container's own entries as (kind, name, condition) with kind
    "parameter" or "container" and the include condition (or None); `children` names the
    containers that inherit from it.
    """

    def __init__(self, name, abstract, base, restriction, entries, line):
        self.name = name
        self.abstract = abstract
        self.base = base
        self.restriction = restriction
        self.entries = entries
        self.children = ()
        self.line = line
        self._steps = None  # the compiled own entries, see Definition._compile

    def __repr__(self):
        kind = "abstract container" if self.abstract else "container"
        base = f" based on {self.base!r}" if self.base else ""
        where = f" where {self.restriction}" if self.restriction is not None else ""
        return f"<{kind} {self.name!r}{base}{where}, {len(self.entries)} entries>"


# Restriction criteria and include conditions.

# The restriction of a container that could not be read: which packets it takes is unknown.
_UNREADABLE = object()

_OPS = {
    "==": operator.eq, "eq": operator.eq,
    "!=": operator.ne, "neq": operator.ne,
    "<": operator.lt, "lt": operator.lt, "&lt;": operator.lt,
    "<=": operator.le, "leq": operator.le, "&lt;=": operator.le,
    ">": operator.gt, "gt": operator.gt, "&gt;": operator.gt,
    ">=": operator.ge, "geq": operator.ge, "&gt;=": operator.ge,
}
_OP_TEXT = {operator.eq: "==", operator.ne: "!=", operator.lt: "<", operator.le: "<=",
            operator.gt: ">", operator.ge: ">="}


_INT_RANGES: dict = {}


def _int_range(dtype):
    """(min, max) of an integer dtype, remembered: numpy's iinfo costs microseconds a call."""
    r = _INT_RANGES.get(dtype)
    if r is None:
        info = np.iinfo(dtype)
        r = _INT_RANGES[dtype] = (int(info.min), int(info.max))
    return r


def _compare(values, op, other):
    """Elementwise `values op other` as a plain bool array; a masked (absent) value is False."""
    mask = np.ma.getmaskarray(values) if np.ma.isMaskedArray(values) else None
    data = np.ma.getdata(values)
    if isinstance(other, np.ndarray):
        if np.ma.isMaskedArray(other):
            m2 = np.ma.getmaskarray(other)
            mask = m2 if mask is None else mask | m2
            other = np.ma.getdata(other)
        if data.dtype == object or other.dtype == object:
            result = np.array([a is not None and b is not None and bool(op(a, b))
                               for a, b in zip(data.tolist(), other.tolist())], dtype=bool)
        else:
            result = op(data, other)
    elif data.dtype == object:
        result = np.array([a is not None and bool(op(a, other)) for a in data.tolist()],
                          dtype=bool)
    elif data.dtype.kind in "iu" and isinstance(other, int):
        low, high = _int_range(data.dtype)
        if other > high or other < low:
            # Out of the column's range: the answer is the same for every row.
            result = np.full(len(data), _beyond_range(op, other, high))
        else:
            result = op(data, data.dtype.type(other))
    else:
        result = op(data, other)
    result = np.asarray(result, dtype=bool)
    return result & ~mask if mask is not None else result


def _beyond_range(op, other, high):
    """`value op other` for every value of a column whose range `other` lies above (when
    other > high) or below."""
    return bool(op(0 if other > high else 1, 1 if other > high else 0))


class _Compare:
    """parameter op value (a Comparison, or a Condition against a Value)."""

    def __init__(self, param, op, value, calibrated):
        self.param = param
        self.op = op
        self.value = value
        self.calibrated = calibrated

    def params(self):
        return {self.param}

    def evaluate(self, values):
        return _compare(values(self.param, self.calibrated), self.op, self.value)

    def __str__(self):
        raw = "" if self.calibrated else " (raw)"
        return f"{self.param}{raw} {_OP_TEXT[self.op]} {self.value!r}"


class _Relate:
    """parameter op parameter (a Condition with two parameter references)."""

    def __init__(self, left, op, right, left_calibrated, right_calibrated):
        self.left, self.op, self.right = left, op, right
        self.left_calibrated, self.right_calibrated = left_calibrated, right_calibrated

    def params(self):
        return {self.left, self.right}

    def evaluate(self, values):
        return _compare(values(self.left, self.left_calibrated), self.op,
                        values(self.right, self.right_calibrated))

    def __str__(self):
        return f"{self.left} {_OP_TEXT[self.op]} {self.right}"


class _AllOf:
    def __init__(self, items):
        self.items = tuple(items)

    def params(self):
        return set().union(*(c.params() for c in self.items))

    def evaluate(self, values):
        result = None
        for c in self.items:
            r = c.evaluate(values)
            result = r if result is None else result & r
        return result

    def __str__(self):
        return " and ".join(f"({c})" if isinstance(c, _AnyOf) else str(c) for c in self.items)


class _AnyOf(_AllOf):
    def evaluate(self, values):
        result = None
        for c in self.items:
            r = c.evaluate(values)
            result = r if result is None else result | r
        return result

    def __str__(self):
        return " or ".join(f"({c})" if isinstance(c, _AllOf) and not isinstance(c, _AnyOf)
                           else str(c) for c in self.items)


def _all_of(items):
    items = [c for c in items if c is not None]
    return items[0] if len(items) == 1 else (_AllOf(items) if items else None)


# Compiled entries: a run of fixed fields decoded with one Layout, or one variable field.


class _Run:
    __slots__ = ("items", "bits", "cond", "arrays")

    def __init__(self, cond):
        self.items = []  # (name, codec, bits, byte_order, offset within the run, reverse_bits)
        self.bits = 0
        self.cond = cond
        self.arrays = []  # (array name, its element items' names, dimensions)

    def recipe(self, base=0):
        return [{"name": name, "encoding": codec, "bits": bits, "byte_order": order,
                 "reverse_bits": reverse, "offset_bits": base + off}
                for name, codec, bits, order, off, reverse in self.items]


class _Var:
    __slots__ = ("name", "ptype", "skip", "cond")

    def __init__(self, name, ptype, skip, cond):
        self.name, self.ptype, self.skip, self.cond = name, ptype, skip, cond


# Calibrators other than polynomials (those are tuples of (coefficient, exponent) terms).


class Spline:
    """A piecewise calibrator of order 0 (the value of the nearest point at or below) or 1
    (straight lines between points); `extrapolate` carries the end pieces past the points."""

    def __init__(self, order, points, extrapolate):
        self.order = order
        self.points = tuple(sorted(points, key=lambda p: p[0]))
        self.extrapolate = extrapolate

    def __repr__(self):
        return f"Spline(order {self.order}, {len(self.points)} points)"


class MathOperation:
    """A calibrator written in postfix: `tokens` are ("value", number), ("this", None),
    ("param", (name, calibrated)) and ("op", text), evaluated left to right on a stack."""

    def __init__(self, tokens):
        self.tokens = tuple(tokens)

    def params(self):
        return {v[0] for k, v in self.tokens if k == "param"}

    def __repr__(self):
        return "MathOperation(" + " ".join(
            str(v) if k == "value" else "x" if k == "this" else v[0] if k == "param" else v
            for k, v in self.tokens) + ")"


class Start:
    """An entry's location counted from its container's start (the packet's) in bits."""
    __slots__ = ("bits",)

    def __init__(self, bits):
        self.bits = bits

    def __bool__(self):
        return True


class _Seek:
    """Move to bit `bits` of the packet, where an entry placed from the container's start is."""
    __slots__ = ("bits", "cond")

    def __init__(self, bits, cond):
        self.bits, self.cond = bits, cond


class _Rep:
    """An array whose size is read from other parameters in each packet: one array per packet."""
    __slots__ = ("name", "atype", "skip", "cond")

    def __init__(self, name, atype, skip, cond):
        self.name, self.atype, self.skip, self.cond = name, atype, skip, cond

"""Telecommands: the argument types, meta commands and command containers of a document's
CommandMetaData, each command's fields in the order they are sent, and encoding from
engineering values (and back) with every field placed by a compiled `Layout`."""
import binascii
import copy
import functools
import json
import math
import operator

from ._xml import XtceError, _fail, _version
from .model import (AggregateType, ArrayType, ParameterType, Spline, _AllOf, _Compare,
                    _dimension)

# XTCE character sets as Python codecs, by the bitweave codec the loader gives them.
_PY_CODECS = {"us_ascii": "ascii", "iso_8859_1": "latin-1", "windows_1252": "cp1252",
              "utf8": "utf-8", "utf16": "utf-16-be", "utf16be": "utf-16-be",
              "utf16le": "utf-16-le", "utf32": "utf-32-be", "utf32be": "utf-32-be",
              "utf32le": "utf-32-le"}
_ARG_KINDS = ("Integer", "Float", "Enumerated", "Boolean", "String", "Binary", "Array",
              "Aggregate", "AbsoluteTime", "RelativeTime")


class CommandError(XtceError):
    """A command that cannot be encoded or decoded as asked: names the command and argument."""


class Argument:
    """A command argument: `name`, `type` (a ParameterType), `initial` (engineering value or
    None) and `range` ((low, high, low inclusive, high inclusive, applies to calibrated) or
    None); `size_range` bounds a string's characters or a binary value's bytes."""

    def __init__(self, name, atype, initial, vrange, size_range):
        self.name, self.type, self.initial = name, atype, initial
        self.range, self.size_range = vrange, size_range

    def __repr__(self):
        return f"<Argument {self.name!r} of {self.type.name!r}>"


class Command:
    """A meta command: `name`, `abstract`, `base` (its base command's name or None),
    `arguments` (name -> Argument, base commands' first), `assignments` (argument values its
    base commands' assignments fix) and `fields`, what the packet holds in order: ("arg",
    name), ("param", name, type, raw value) or ("fixed", bytes, bits)."""

    def __init__(self, name, abstract, base, arguments, assignments, fields, line):
        self.name, self.abstract, self.base = name, abstract, base
        self.arguments, self.assignments, self.fields = arguments, assignments, fields
        self.line = line
        self.check = None  # (width, polynomial, init, final xor, reflect in, reflect out)
        self._layouts = {}

    def __repr__(self):
        kind = "abstract command" if self.abstract else "command"
        return f"<{kind} {self.name!r}, {len(self.arguments)} arguments>"

    # Encoding --------------------------------------------------------------------------------

    def _fail(self, arg, message):
        where = f", argument {arg!r}" if arg else ""
        return CommandError(f"command {self.name!r}{where}: {message}")

    def values(self, args):
        """Every argument's engineering value: given, assigned or initial. An argument that
        sizes an array or binary argument and is left out takes the size of the value given."""
        out = {}
        for name in args:
            if name not in self.arguments:
                raise self._fail(name, f"unknown argument (known: {', '.join(self.arguments)})")
            if name in self.assignments:
                raise self._fail(name, "its value is fixed by the base command's assignment")
        if len(args) == len(self.arguments):
            return args
        derived = self._derived_sizes(args) if self._sizers() else {}
        for name, arg in self.arguments.items():
            if name in args:
                out[name] = args[name]
            elif name in self.assignments:
                out[name] = self.assignments[name]
            elif name in derived:
                out[name] = derived[name]
            elif arg.initial is not None:
                out[name] = arg.initial
            elif name not in self._optional():
                raise self._fail(name, "missing (it has no initial value)")
        return out

    def _optional(self):
        """The arguments sent only where an include condition holds: needed only then."""
        if "_optional_set" not in self.__dict__:
            always = {f[1] for f in self.fields if f[0] == "arg" and len(f) == 2}
            self.__dict__["_optional_set"] = {f[1] for f in self.fields if f[0] == "arg"
                                              and len(f) > 2} - always
        return self.__dict__["_optional_set"]

    def _holds(self, condition, values):
        """Whether an include condition, (argument, operator, value, calibrated) terms
        that all must hold, holds for the argument values `values`."""
        for ref, op, want, calibrated in condition:
            if ref not in values:
                raise self._fail(ref, "missing (an include condition needs its value)")
            value = values[ref]
            if not calibrated and ref in self.arguments:
                value = self.raw(self.arguments[ref], value)
            try:
                if not op(value, want):
                    return False
            except TypeError:
                raise self._fail(ref, f"{value!r} does not compare with {want!r}") from None
        return True

    def _sizers(self):
        """(argument, the argument that sizes it, calibrated, slope, intercept, bits per
        item) of the arguments whose first dimension or size another argument gives."""
        if "_sizer_list" not in self.__dict__:
            out = []
            for name, arg in self.arguments.items():
                t = arg.type
                if isinstance(t, ArrayType) and not isinstance(t.dims[0], int):
                    out.append((name,) + tuple(t.dims[0]) + (0,))
                elif getattr(t, "_size_arg", None) is not None:
                    out.append((name,) + tuple(t._size_arg) + (8,))
            self.__dict__["_sizer_list"] = out
        return self.__dict__["_sizer_list"]

    def _derived_sizes(self, args):
        out = {}
        for name, ref, calibrated, slope, intercept, unit in self._sizers():
            if name not in args or ref in args or ref in self.assignments or slope == 0:
                continue
            value = args[name]
            if unit:
                if not isinstance(value, (bytes, bytearray, memoryview)):
                    continue
                count = unit * len(value)
            else:
                count = _length(value)
                if count is None:
                    raise self._fail(name, f"a sequence of elements, not {type(value).__name__}")
            size = (count - intercept) / slope
            ref_type = self.arguments[ref].type
            if size == int(size) and (calibrated or getattr(ref_type, "calibrator", 1) is None):
                out[ref] = int(size)
        return out

    def _size(self, name, sizer, values):
        """The number of items (or bits) argument `sizer[0]` gives argument `name`."""
        ref, calibrated, slope, intercept = sizer
        if ref not in values:
            raise self._fail(name, f"its size comes from {ref!r}, which has no value")
        value = values[ref]
        if not calibrated and ref in self.arguments:
            value = self.raw(self.arguments[ref], value)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self._fail(name, f"its size comes from {ref!r}, which holds {value!r}")
        size = slope * value + intercept
        if size != int(size) or size < 0:
            raise self._fail(name, f"its size from {ref!r} = {value!r} is {size!r}, not a "
                                   "whole number from 0")
        return int(size)

    def _leaves(self, name, atype, value, values):
        """(field name, type, raw value) of each element of an array or member of an
        aggregate, in the order they are sent."""
        if isinstance(atype, AggregateType):
            if not isinstance(value, dict):
                raise self._fail(name, f"a dict of its members, not {type(value).__name__}")
            unknown = [k for k in value if k not in dict(atype.members)]
            if unknown:
                raise self._fail(name, f"no member {unknown[0]!r} (members: "
                                       f"{', '.join(m for m, _ in atype.members)})")
            out, scope = [], dict(values)
            for member, mtype in atype.members:
                if member not in value:
                    raise self._fail(f"{name}.{member}", "missing member")
                out.extend(self._leaves(f"{name}.{member}", mtype, value[member], scope))
                scope[member] = value[member]
            return out
        if isinstance(atype, ArrayType):
            return self._elements(name, atype, atype.dims, value, values)
        leaf = Argument(name, atype, None, atype._range, atype._size)
        return [(name, atype, self.raw(leaf, value))]

    def _elements(self, name, atype, dims, value, values):
        want = dims[0] if isinstance(dims[0], int) else self._size(name, dims[0], values)
        if hasattr(value, "tolist") and not isinstance(value, (bytes, bytearray)):
            value = value.tolist()
        if isinstance(value, (str, bytes, bytearray, dict)) or not hasattr(value, "__len__"):
            raise self._fail(name, f"a sequence of {want} elements, not {type(value).__name__}")
        if len(value) != want:
            raise self._fail(name, f"{len(value)} elements, but it takes {want}")
        out = []
        for i, v in enumerate(value):
            if len(dims) > 1:
                out.extend(self._elements(f"{name}[{i}]", atype, dims[1:], v, values))
            else:
                out.extend(self._leaves(f"{name}[{i}]", atype.element, v, values))
        return out

    def _plan(self):
        """For a command whose fields all have one size: its Layout, the constant values and
        per argument the field it fills and its converter. None for other commands."""
        if "_compiled" in self.__dict__:
            return self.__dict__["_compiled"]
        plan = None
        if all(f[0] != "arg" or (_fixed(self.arguments[f[1]].type) and len(f) == 2)
               for f in self.fields):
            recipe, consts, convert, offset, unset = [], {}, [], 0, []
            for field in self.fields:
                if field[0] in ("fixed", "gap"):
                    _, data, bits = field
                    name = f"#{len(recipe)}"
                    recipe.append(_item(name, "unsigned" if bits <= 64 else "binary", bits,
                                        offset))
                    consts[name] = int.from_bytes(data, "big") if bits <= 64 else data
                    offset += bits
                    continue
                atype = field[2] if field[0] == "param" else self.arguments[field[1]].type
                if field[0] == "param" and field[3] is None:
                    unset.append(field[1])
                items = _fields(field[1], atype, field[3] if field[0] == "param" and
                                field[3] is not None else _placeholder(atype), offset)
                for item, value in items:
                    recipe.append(item)
                    offset += item["bits"]
                    if field[0] == "param":
                        consts[item["name"]] = value
                if field[0] == "arg":
                    convert.append((field[1], items[-1][0]["name"],
                                    _quick(self.arguments[field[1]])))
            if offset % 8:
                recipe.append(_item("#pad", "unsigned", 8 - offset % 8, offset))
                consts["#pad"] = 0
            from .. import Layout
            plan = (Layout(recipe), recipe, consts, tuple(convert), tuple(unset))
        self.__dict__["_compiled"] = plan
        return plan

    def encode(self, args, sequence_count=None, ccsds_length=False, checksum=None):
        if self.abstract:
            raise self._fail(None, "an abstract command cannot be sent")
        values = self.values(args)
        plan = self._plan()
        if plan is not None:
            layout, recipe, consts, convert, unset = plan
            packed = dict(consts)
            arguments = self.arguments
            for name, field, quick in convert:
                value = values[name]
                if quick is not None:
                    raw = quick(value)
                    if raw is not None:
                        packed[field] = raw
                        continue
                atype = arguments[name].type
                raw = self.raw(arguments[name], value)
                if atype.encoding.kind in ("string", "binary"):
                    try:
                        raw = _fields(name, atype, raw, 0)[-1][1]
                    except ValueError as e:
                        raise self._fail(name, str(e)) from None
                packed[field] = raw
            return self._finish(layout, recipe, packed, layout.size, sequence_count,
                                ccsds_length, checksum, unset)
        recipe, packed, offset, unset = [], {}, 0, []
        for field in self.fields:
            if field[0] in ("fixed", "gap"):
                _, data, bits = field
                name = f"#{len(recipe)}"
                recipe.append(_item(name, "unsigned" if bits <= 64 else "binary", bits, offset))
                packed[name] = int.from_bytes(data, "big") if bits <= 64 else data
                offset += bits
                continue
            if field[0] == "param":
                leaves = [(field[1], field[2], field[3])]
                if field[3] is None:
                    unset.append(field[1])
                    leaves = [(field[1], field[2], _placeholder(field[2]))]
            else:
                name = field[1]
                if len(field) > 2 and not self._holds(field[2], values):
                    continue
                if name not in values:
                    raise self._fail(name, "missing (it has no initial value)")
                arg = self.arguments[name]
                atype = arg.type
                if isinstance(atype, (ArrayType, AggregateType)):
                    leaves = self._leaves(name, atype, values[name], values)
                else:
                    if getattr(atype, "_buffer_arg", None) is not None:
                        atype = _sized(atype, self._size(name, atype._buffer_arg, values),
                                   self._fail, name)
                    leaves = [(name, atype, self.raw(arg, values[name]))]
                    if getattr(atype, "_size_arg", None) is not None:
                        want = self._size(name, atype._size_arg, values)
                        if 8 * len(leaves[0][2]) != want:
                            raise self._fail(name, f"{len(leaves[0][2])} bytes, but "
                                                   f"{atype._size_arg[0]!r} gives {want} bits")
            for name, atype, raw in leaves:
                try:
                    items = _fields(name, atype, raw, offset)
                except ValueError as e:
                    raise self._fail(name, str(e)) from None
                for item, value in items:
                    recipe.append(item)
                    packed[item["name"]] = value
                    offset += item["bits"]
        if offset % 8:
            recipe.append(_item("#pad", "unsigned", 8 - offset % 8, offset))
            packed["#pad"] = 0
            offset += 8 - offset % 8
        key = tuple((i["encoding"], i["bits"]) for i in recipe)
        layout = self._layouts.get(key)
        if layout is None:
            from .. import Layout
            layout = self._layouts[key] = Layout(recipe)
        return self._finish(layout, recipe, packed, offset // 8, sequence_count, ccsds_length,
                            checksum, unset)

    def _link_fills_length(self, recipe, unset):
        """Whether the CCSDS header's length is among the parameters `unset` leaves without a
        value. A header's count and length the link fills (as Yamcs's CCSDS links do): the
        count 0 unless given, the length always; any other parameter needs a value."""
        header = _ccsds_header(recipe) or ()
        for name in unset:
            if name not in header:
                raise self._fail(None, f"parameter {name!r} has no value (no restriction "
                                       "criterion or initial value gives one)")
        return header[1] in unset

    def _finish(self, layout, recipe, packed, size, sequence_count, ccsds_length, checksum,
                unset=()):
        check_bytes, check = self._check(checksum)
        size += check_bytes
        if unset:
            ccsds_length = ccsds_length or self._link_fills_length(recipe, unset)
        if sequence_count is not None or ccsds_length:
            header = _ccsds_header(recipe)
            if header is None:
                raise self._fail(None, "the command has no CCSDS primary header (a 14-bit count "
                                       "at bit 18 and a 16-bit length at bit 32)")
            count_name, length_name = header
            if sequence_count is not None:
                if isinstance(sequence_count, bool) or not isinstance(sequence_count, int) or \
                        not 0 <= sequence_count < 1 << 14:
                    raise self._fail(None, f"sequence_count must be an int from 0 to 16383, "
                                           f"not {sequence_count!r}")
                packed[count_name] = sequence_count
            if ccsds_length:
                if not 7 <= size <= 65542:
                    raise self._fail(None, f"a packet of {size} bytes has no CCSDS length")
                packed[length_name] = size - 7
        try:
            data = layout.pack_one(packed)
        except (ValueError, TypeError, OverflowError) as e:
            raise self._fail(_refusing(recipe, packed), str(e)) from None
        if check is not None:
            data += check(data).to_bytes(check_bytes, "big")
        return data

    def _check(self, checksum):
        """(bytes, function of the packet) of the check word `checksum` asks for: none,
        "crc16-ccitt", or True for the CRC of the command container's ErrorDetectCorrect."""
        if checksum is None:
            return 0, None
        if checksum == "crc16-ccitt" and type(checksum) is str:
            return 2, _crc16_ccitt
        if checksum is not True:
            raise self._fail(None, f"checksum must be 'crc16-ccitt' or True, not {checksum!r}")
        if isinstance(self.check, str):
            raise self._fail(None, self.check)
        if self.check is None:
            raise self._fail(None, "checksum=True takes the container's ErrorDetectCorrect, "
                                   "and the command's containers give none")
        return self.check[0] // 8, functools.partial(_crc, *self.check)

    def encode_many(self, columns):
        """The packets of many commands at once, one per row: `columns` maps argument names
        to array-likes (or one value for every row), as `Layout.pack` takes them; the others
        take their initial values. Each row is checked as `encode` checks it. Only for
        commands whose fields all have one size."""
        import numpy as np
        if self.abstract:
            raise self._fail(None, "an abstract command cannot be sent")
        plan = self._plan()
        if plan is None:
            raise self._fail(None, "encode_many takes commands whose fields all have one size, "
                                   "none of them an array, aggregate or conditional one")
        layout, recipe, consts, convert, unset = plan
        packed = dict(consts)
        if unset and self._link_fills_length(recipe, unset):
            packed[_ccsds_header(recipe)[1]] = layout.size - 7
        values = self.values(columns)
        count = max([np.size(v) for v in values.values() if not isinstance(v, (str, bytes))
                     and np.ndim(v)] or [1])
        for name, field, _ in convert:
            arg, value = self.arguments[name], values[name]
            t = arg.type
            if np.ndim(value) == 0 or t.kind in ("string", "binary"):
                if np.ndim(value) and t.kind in ("string", "binary"):
                    rows = [self.raw(arg, v) for v in value]
                    packed[field] = [_fields(name, t, r, 0)[-1][1] for r in rows]
                else:
                    one = self.raw(arg, value.item() if hasattr(value, "item") else value)
                    packed[field] = (_fields(name, t, one, 0)[-1][1]
                                     if t.kind in ("string", "binary") else one)
                continue
            if t.kind in ("enumerated", "boolean"):
                # Each distinct value checked once, the column mapped through them.
                column = np.asarray(value)
                uniq, where = np.unique(column, return_inverse=True)
                raws = [self.raw(arg, v.item() if hasattr(v, "item") else v) for v in uniq]
                packed[field] = np.asarray(raws)[where.reshape(-1)]
                continue
            column = np.asarray(value)
            if column.dtype.kind not in "iuf" or (t.calibrator is None and
                                                 t.encoding.kind == "integer" and
                                                 column.dtype.kind == "f"):
                raise self._fail(name, f"numbers, not a column of {column.dtype}")
            if arg.range is not None:
                low, high, low_in, high_in, _ = arg.range
                bad = np.zeros(column.shape, bool)
                if low is not None:
                    bad |= column < low if low_in else column <= low
                if high is not None:
                    bad |= column > high if high_in else column >= high
                bad |= column != column
                if bad.any():
                    row = int(np.argmax(bad))
                    self.check_range(arg, column[row].item())
                    raise self._fail(name, f"row {row}: {column[row].item()!r} is not valid")
            if t.calibrator is not None:
                column = self.uncalibrate(arg, column.astype(float))
                if t.encoding.kind == "integer":
                    column = np.rint(column).astype(np.int64)
            packed[field] = column
        try:
            return layout.pack(packed, count)
        except (ValueError, TypeError, OverflowError) as e:
            raise self._fail(None, str(e)) from None

    def raw(self, arg, value):
        """The raw value of an argument's engineering value, checked against its range."""
        t = arg.type
        kind = t.kind
        if kind == "enumerated":
            if not isinstance(value, str):
                raise self._fail(arg.name, f"a label, not {type(value).__name__}")
            for raw, label in t.labels.items():
                if label == value:
                    return raw
            for low, _, label in t.label_ranges:
                if label == value:
                    return low
            labels = list(t.labels.values()) + [r[2] for r in t.label_ranges]
            raise self._fail(arg.name, f"unknown label {value!r} (labels: {', '.join(labels)})")
        if kind == "boolean":
            if not isinstance(value, bool):
                raise self._fail(arg.name, f"a bool, not {type(value).__name__}")
            if t.encoding.kind == "string":
                return t.bool_strings[value]
            return int(value)
        if kind == "string":
            if not isinstance(value, str):
                raise self._fail(arg.name, f"a str, not {type(value).__name__}")
            self.check_size(arg, len(value), "characters")
            return value
        if kind == "binary":
            if not isinstance(value, (bytes, bytearray, memoryview)):
                raise self._fail(arg.name, f"bytes, not {type(value).__name__}")
            value = bytes(value)
            self.check_size(arg, len(value), "bytes")
            if t.encoding.bits is not None and 8 * len(value) != t.encoding.bits:
                raise self._fail(arg.name, f"{len(value)} bytes, but it takes "
                                           f"{t.encoding.bits // 8}")
            return value
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self._fail(arg.name, f"a number, not {type(value).__name__}")
        if kind == "integer" and t.calibrator is None and not isinstance(value, int):
            if value != int(value):
                raise self._fail(arg.name, f"an integer, not {value!r}")
            value = int(value)
        if arg.range is not None and arg.range[4]:
            self.check_range(arg, value)
        raw = self.uncalibrate(arg, value)
        if t.encoding.kind == "integer":
            if isinstance(raw, float):
                if not math.isfinite(raw):
                    raise self._fail(arg.name, f"{value!r} has no raw value")
                raw = int(round(raw))
        elif not isinstance(raw, float):
            raw = float(raw)
        if arg.range is not None and not arg.range[4]:
            self.check_range(arg, raw)
        return raw

    def uncalibrate(self, arg, value):
        """The raw value (or column of them) that calibrates to `value`: exact for a
        polynomial of degree 1, found by bisection on the raw integers otherwise."""
        cal = arg.type.calibrator
        if cal is None:
            return value
        if isinstance(cal, tuple):
            terms = {}
            for c, e in cal:
                terms[e] = terms.get(e, 0.0) + c
            if max(terms) <= 1:
                slope = terms.get(1, 0.0)
                if slope == 0:
                    raise self._fail(arg.name, "the calibrator is constant, so it cannot be "
                                               "inverted")
                return (value - terms.get(0, 0.0)) / slope
        if not isinstance(cal, (tuple, Spline)) or (isinstance(cal, Spline) and cal.order != 1):
            raise self._fail(arg.name, f"the calibrator {cal!r} cannot be inverted")
        enc = arg.type.encoding
        key = (id(cal), enc.codec, enc.bits)
        cached = arg.type.__dict__.get("_inverse_bounds")
        if cached is None or cached[0] != key:
            cached = arg.type.__dict__["_inverse_bounds"] = (key, self._monotone(arg, cal))
        low, high = cached[1]
        f = functools.partial(_calibrate, cal)
        ends = sorted((f(float(low)), f(float(high))))
        sign = 1.0 if f(float(high)) >= f(float(low)) else -1.0
        if isinstance(value, (int, float)):
            if not ends[0] <= value <= ends[1]:
                raise self._outside(arg, value, low, high, ends)
            # The first raw value whose calibrated value reaches `value`, then the nearer of
            # it and the one below it (the lower where both are as near).
            lo, hi = low, high
            while lo < hi:
                mid = lo + (hi - lo) // 2
                if sign * f(float(mid)) >= sign * value:
                    hi = mid
                else:
                    lo = mid + 1
            below = max(lo - 1, low)
            return below if abs(f(float(below)) - value) <= abs(f(float(lo)) - value) else lo
        import numpy as np
        v = np.asarray(value, dtype=float)
        bad = ~((v >= ends[0]) & (v <= ends[1]))
        if bad.any():
            raise self._outside(arg, float(v[bad].flat[0]), low, high, ends)
        lo = np.full(v.shape, low, np.int64)
        hi = np.full(v.shape, high, np.int64)
        while (lo < hi).any():
            mid = lo + (hi - lo) // 2
            reach = sign * f(mid.astype(float)) >= sign * v
            hi, lo = np.where(reach, mid, hi), np.where(reach, lo, mid + 1)
        below = np.maximum(lo - 1, low)
        lower = np.abs(f(below.astype(float)) - v) <= np.abs(f(lo.astype(float)) - v)
        return np.where(lower, below, lo)

    def _outside(self, arg, value, low, high, ends):
        return self._fail(arg.name, f"{value!r} is outside what the calibrator gives for raw "
                                    f"values {low} to {high} ({ends[0]!r} to {ends[1]!r})")

    def _monotone(self, arg, cal):
        """The raw integers (low, high) over which calibrator `cal` is inverted; refused
        where it is not monotone over them."""
        import numpy as np
        enc = arg.type.encoding
        if enc.kind != "integer" or enc.bits > 53:
            raise self._fail(arg.name, f"the calibrator {cal!r} is inverted only for integer "
                                       "fields of up to 53 bits")
        low, high = _raw_bounds(enc)
        if isinstance(cal, Spline):
            if not cal.extrapolate:
                low = max(low, math.ceil(cal.points[0][0]))
                high = min(high, math.floor(cal.points[-1][0]))
            steps = np.diff([c for _, c in cal.points])
            if not ((steps > 0).all() or (steps < 0).all()):
                raise self._fail(arg.name, "the spline is not monotone, so a value can have "
                                           "more than one raw value")
            return low, high
        degree = max(e for _, e in cal)
        slope = [0.0] * degree
        for c, e in cal:
            if e:
                slope[degree - e] += c * e
        turns = [r.real for r in np.roots(slope) if abs(r.imag) < 1e-9 * max(1.0, abs(r))]
        turn = next((r for r in turns if low < r < high), None)
        if turn is not None:
            raise self._fail(arg.name, f"the calibrator turns at raw {turn:.6g}, inside the "
                                       f"raw values {low} to {high}, so it cannot be inverted")
        return low, high

    def check_range(self, arg, value):
        low, high, low_in, high_in, _ = arg.range
        if (low is not None and (value < low if low_in else value <= low)) or \
                (high is not None and (value > high if high_in else value >= high)):
            text = f"{'[' if low_in else '('}{'-inf' if low is None else low}, " \
                   f"{'inf' if high is None else high}{']' if high_in else ')'}"
            raise self._fail(arg.name, f"{value!r} is outside its valid range {text}")

    def check_size(self, arg, size, unit):
        if arg.size_range is not None:
            low, high = arg.size_range
            if not low <= size <= high:
                raise self._fail(arg.name, f"{size} {unit}, but it takes from {low} to {high}")

    # Decoding --------------------------------------------------------------------------------

    def decode(self, packet):
        """The arguments of `packet` as engineering values; raises CommandError when the packet
        does not hold this command (a fixed field, parameter or assignment differs)."""
        from .. import Layout
        data = bytes(packet)
        offset, args = 0, {}
        for field in self.fields:
            if field[0] == "gap":
                offset += field[2]
                continue
            if field[0] == "fixed":
                _, want, bits = field
                got = _read(Layout, data, "binary" if bits > 64 else "unsigned", bits, offset)
                if (got if bits > 64 else got.to_bytes((bits + 7) // 8, "big")) != want:
                    raise self._fail(None, f"fixed field at bit {offset} differs")
                offset += bits
                continue
            name = field[1]
            if field[0] == "param":
                value, offset = _read_value(Layout, data, field[2], offset, self._fail, name)
                if field[3] is not None and value != field[3]:
                    raise self._fail(name, f"holds {value!r}, not {field[3]!r}")
                continue
            if len(field) > 2 and not self._holds(field[2], args):
                continue
            args[name], offset = self._read_arg(Layout, data, name, self.arguments[name].type,
                                                offset, args)
            if name in self.assignments and args[name] != self.assignments[name]:
                raise self._fail(name, f"holds {args[name]!r}, not the assigned "
                                       f"{self.assignments[name]!r}")
        if (offset + 7) // 8 != len(data):
            raise self._fail(None, f"the packet has {len(data)} bytes, the command "
                                   f"{(offset + 7) // 8}")
        return {k: v for k, v in args.items() if k not in self.assignments}

    def _read_arg(self, Layout, data, name, atype, offset, args, dims=None):
        """The engineering value of argument (or element, or member) `name` at `offset`: a
        list for an array, a dict for an aggregate. Sizes come from the arguments read."""
        if isinstance(atype, AggregateType):
            out, scope = {}, dict(args)
            for member, mtype in atype.members:
                out[member], offset = self._read_arg(Layout, data, f"{name}.{member}", mtype,
                                                     offset, scope)
                scope[member] = out[member]
            return out, offset
        if isinstance(atype, ArrayType):
            dims = atype.dims if dims is None else dims
            count = dims[0] if isinstance(dims[0], int) else self._size(name, dims[0], args)
            if count > 8 * len(data):
                raise self._fail(name, f"{count} elements do not fit in the packet")
            out = []
            for i in range(count):
                if len(dims) > 1:
                    v, offset = self._read_arg(Layout, data, f"{name}[{i}]", atype, offset,
                                               args, dims[1:])
                else:
                    v, offset = self._read_arg(Layout, data, f"{name}[{i}]", atype.element,
                                               offset, args)
                out.append(v)
            return out, offset
        bits = None
        if getattr(atype, "_size_arg", None) is not None:
            bits = self._size(name, atype._size_arg, args)
        if getattr(atype, "_buffer_arg", None) is not None:
            atype = _sized(atype, self._size(name, atype._buffer_arg, args), self._fail, name)
        raw, offset = _read_value(Layout, data, atype, offset, self._fail, name, bits)
        return self.cook(Argument(name, atype, None, None, None), raw), offset

    def signature(self):
        """(bit offset, bits, unsigned value) of the fields at fixed places that hold the same
        value in every packet of the command: fixed values, parameters that criteria or
        initial values fill, and arguments that base commands' assignments fix."""
        out, offset = [], 0
        for field in self.fields:
            if field[0] in ("fixed", "gap"):
                _, data, bits = field
                if field[0] == "fixed":
                    out.append((offset, bits, int.from_bytes(data, "big")))
                offset += bits
                continue
            if field[0] == "arg" and len(field) > 2:
                break  # the places after a field sent on a condition vary
            atype = field[2] if field[0] == "param" else self.arguments[field[1]].type
            if not _fixed(atype):
                break
            enc = atype.encoding
            raw = field[3] if field[0] == "param" else None
            if field[0] == "arg" and field[1] in self.assignments:
                try:
                    raw = self.raw(self.arguments[field[1]], self.assignments[field[1]])
                except CommandError:
                    raw = None
            if isinstance(raw, int) and enc.kind == "integer" and not enc.reverse_bits and \
                    enc.codec in ("unsigned", "twos_complement") and \
                    (enc.byte_order == "big" or enc.bits <= 8) and enc.bits:
                out.append((offset, enc.bits, raw & ((1 << enc.bits) - 1)))
            offset += enc.bits
        return tuple(out)

    def cook(self, arg, raw):
        t = arg.type
        if t.kind == "enumerated":
            if raw in t.labels:
                return t.labels[raw]
            for low, high, label in t.label_ranges:
                if low <= raw <= high:
                    return label
            raise self._fail(arg.name, f"{raw!r} has no label")
        if t.kind == "boolean":
            return raw == t.bool_strings[1] if t.encoding.kind == "string" else bool(raw)
        if isinstance(t.calibrator, (tuple, Spline)):
            return _calibrate(t.calibrator, raw)
        return raw


# Converts the values that criteria and initial values give parameters, with the checks of
# an argument's.
_SCRATCH = Command("(parameter)", False, None, {}, {}, (), None)


def _calibrate(cal, raw):
    """A polynomial's or first-order spline's value at `raw` (a number or a numpy array)."""
    if isinstance(cal, tuple):
        return sum(c * raw ** e for c, e in cal)
    import numpy as np
    xs, ys = [x for x, _ in cal.points], [y for _, y in cal.points]
    out = np.interp(raw, xs, ys)
    if cal.extrapolate:
        for at, (x0, y0), (x1, y1) in ((np.less(raw, xs[0]), cal.points[0], cal.points[1]),
                                       (np.greater(raw, xs[-1]), cal.points[-2],
                                        cal.points[-1])):
            out = np.where(at, y0 + (np.asarray(raw) - x0) * (y1 - y0) / (x1 - x0), out)
    return float(out) if np.ndim(out) == 0 else out


def _raw_bounds(enc):
    """The lowest and highest raw integers of an integer encoding."""
    bits, codec = enc.bits, enc.codec
    if codec == "unsigned":
        return 0, (1 << bits) - 1
    if codec == "twos_complement":
        return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if codec in ("bcd", "packed_bcd"):
        return 0, 10 ** (bits // (8 if codec == "bcd" else 4)) - 1
    return -((1 << (bits - 1)) - 1), (1 << (bits - 1)) - 1


def _refusing(recipe, packed):
    """The name of the first field whose value its encoding refuses, packed alone (for the
    message of a packet that did not pack); None when each packs alone."""
    from .. import Layout

    for item in recipe:
        name = item["name"]
        if name.startswith("#") or name not in packed:
            continue
        try:
            Layout([dict(item, offset_bits=0)]).pack_one({name: packed[name]})
        except (ValueError, TypeError, OverflowError):
            return name
    return None


def _length(value):
    """The number of elements of an array argument's value, None if it is not a sequence."""
    if isinstance(value, (str, bytes, bytearray, dict)):
        return None
    try:
        return len(value)
    except TypeError:
        return None


def _fixed(atype):
    """True when every value of the type takes the same bits in a field of its own."""
    enc = getattr(atype, "encoding", None)
    if enc is None:
        return False
    if enc.kind in ("integer", "float"):
        return True
    return enc.bits is not None and not enc.leading_bits and enc.size_ref is None


def _quick(arg):
    """A converter for the common arguments (plain numbers, enumerations) that gives None
    where the full check must run (and say what is wrong)."""
    t, r = arg.type, arg.range
    if t.kind == "enumerated" and not t.label_ranges:
        table = {label: raw for raw, label in reversed(list(t.labels.items()))}
        return table.get if all(isinstance(k, str) for k in table) else None
    if t.kind not in ("integer", "float") or t.calibrator is not None or t.contexts:
        return None
    low = -math.inf if r is None or r[0] is None else r[0]
    high = math.inf if r is None or r[1] is None else r[1]
    if r is not None and not (r[2] and r[3]):
        return None
    if t.encoding.kind == "integer":
        if t.encoding.codec == "unsigned":
            low, high = max(low, 0), min(high, (1 << t.encoding.bits) - 1)
        elif t.encoding.codec == "twos_complement":
            half = 1 << (t.encoding.bits - 1) if t.encoding.bits else 1
            low, high = max(low, -half), min(high, half - 1)
        else:
            return None

        def integer(v):
            return v if type(v) is int and low <= v <= high else None
        return integer

    def number(v):
        return float(v) if type(v) in (float, int) and low <= v <= high else None
    return number


def _placeholder(atype):
    kind = atype.encoding.kind
    return 0 if kind in ("integer", "float") else "" if kind == "string" else b""


def _item(name, codec, bits, offset, order="big"):
    return {"name": name, "encoding": codec, "bits": bits, "byte_order": order,
            "reverse_bits": False, "offset_bits": offset}


def _text_bytes(enc, text):
    codec = _PY_CODECS.get(enc.codec, enc.codec)
    return text.encode(codec)


def _fields(name, atype, raw, offset):
    """The recipe items (and values) that hold `raw` of type `atype` from bit `offset`."""
    enc = atype.encoding
    if enc.kind in ("integer", "float"):
        item = _item(name, enc.codec, enc.bits, offset, enc.byte_order)
        item["reverse_bits"] = enc.reverse_bits
        return [(item, raw)]
    data = _text_bytes(enc, raw) if enc.kind == "string" else raw
    out = []
    if enc.leading_bits:
        out.append((_item(name + "#size", "unsigned", enc.leading_bits, offset),
                    8 * len(data)))
        offset += enc.leading_bits
    elif enc.terminator is not None:
        data += enc.terminator
    if enc.bits is not None:
        room = (enc.bits - enc.leading_bits) // 8
        if enc.terminator is not None and len(data) - len(enc.terminator) == room:
            data = data[:room]  # Yamcs leaves the terminator out of a full buffer
        if len(data) > room:
            raise ValueError(f"{len(data)} bytes do not fit in its {room}")
        data += bytes(room - len(data))  # padded with zeros, as Yamcs pads
    if data:
        out.append((_item(name, "binary", 8 * len(data), offset), data))
    return out


def _read(Layout, data, codec, bits, offset, order="big", reverse=False):
    item = _item("v", codec, bits, offset, order)
    item["reverse_bits"] = reverse
    if offset + bits > 8 * len(data):
        raise ValueError("the packet ends before the field")
    return Layout([item]).unpack_one(data)["v"]


def _read_value(Layout, data, atype, offset, fail, name, size=None):
    """The raw value of type `atype` at bit `offset` (of `size` bits where another value
    sizes it) and the offset after it."""
    enc = atype.encoding
    try:
        if enc.kind in ("integer", "float"):
            v = _read(Layout, data, enc.codec, enc.bits, offset, enc.byte_order, enc.reverse_bits)
            return v, offset + enc.bits
        if size is not None:
            if size % 8:
                raise ValueError(f"a size of {size} bits")
            return (_read(Layout, data, "binary", size, offset) if size else b""), offset + size
        start = offset
        if enc.leading_bits:
            size = _read(Layout, data, "unsigned", enc.leading_bits, offset)
            offset += enc.leading_bits
            if size % 8:
                raise ValueError(f"a size tag of {size} bits")
            raw = _read(Layout, data, "binary", size, offset) if size else b""
            offset += size
        elif enc.bits is not None:
            raw = _read(Layout, data, "binary", enc.bits, offset) if enc.bits else b""
            offset += enc.bits
        elif enc.terminator is not None:
            rest = data[offset // 8:]
            at = 0
            while True:
                at = rest.find(enc.terminator, at)
                if at < 0:
                    raise ValueError("no terminator")
                if at % enc.unit == 0:
                    break
                at += 1
            raw = rest[:at + len(enc.terminator)]
            offset += 8 * len(raw)
        else:
            raise ValueError("a field sized from another value")
        if enc.bits is not None:
            offset = start + enc.bits
        if enc.terminator is not None:
            i = 0
            while True:
                i = raw.find(enc.terminator, i)
                if i < 0 or i % enc.unit == 0:
                    break
                i += 1
            raw = raw if i < 0 else raw[:i]
        if enc.kind == "string":
            return raw.decode(_PY_CODECS.get(enc.codec, enc.codec)), offset
        return raw, offset
    except (ValueError, UnicodeDecodeError) as e:
        raise fail(name, str(e)) from None


def _ccsds_header(recipe):
    """The names of the fields that hold a CCSDS primary header's count and length."""
    count = length = None
    for i in recipe:
        if i["offset_bits"] == 18 and i["bits"] == 14 and i["encoding"] == "unsigned":
            count = i["name"]
        if i["offset_bits"] == 32 and i["bits"] == 16 and i["encoding"] == "unsigned":
            length = i["name"]
    return None if count is None or length is None else (count, length)


# Reading ---------------------------------------------------------------------------------------


class _Reader:
    """Reads the CommandMetaData sets gathered by the loader, with the loader's readers of
    encodings and calibrators."""

    def __init__(self, loader):
        self.loader = loader
        self.types = {}  # qualified name -> (element, system)
        self.metas = {}
        self.containers = {}  # command container qualified name -> meta command qualified name
        for el, path in loader.command_sets:
            for s in el.children:
                if _version(s.ns) is False:
                    continue
                table = {"ArgumentTypeSet": self.types, "MetaCommandSet": self.metas}.get(s.tag)
                if table is None:
                    loader.skip(s)  # counted, never passed over in silence
                    continue
                for c in s.children:
                    if _version(c.ns) is False or c.get("name") is None:
                        loader.skip(c)
                        continue
                    q = path.rstrip("/") + "/" + c.get("name")
                    table.setdefault(q, (c, path))
                    if table is self.metas:
                        for cc in c.children:
                            if cc.tag == "CommandContainer" and cc.get("name"):
                                self.containers[path.rstrip("/") + "/" + cc.get("name")] = q
        self.read_types = {}
        self.read_metas = {}

    def resolve(self, table, ref, here, el, what):
        from .loader import lookup
        q = lookup(table, ref, here)
        if q is None:
            raise _fail(el, f"unknown {what} {ref!r}")
        return q

    def arg_type(self, q):
        if q not in self.read_types:
            el, here = self.types[q]
            self.read_types[q] = _fail(el, "the argument type is derived from itself")
            try:
                self.read_types[q] = self.loader.within(here, self.read_arg_type, el, here)
            except XtceError as e:
                self.read_types[q] = e
        t = self.read_types[q]
        if isinstance(t, XtceError):
            raise t
        return t

    def read_arg_type(self, el, here):
        kind = el.tag[:-len("ArgumentType")]
        if kind not in _ARG_KINDS:
            raise _fail(el, f"{el.tag} arguments are not supported")
        if kind == "Array":
            atype = self.read_array(el, here)
        elif kind == "Aggregate":
            atype = self.read_aggregate(el, here)
        else:
            atype = self.read_plain(el, here, kind)
        atype.name = el.get("name")
        return atype

    def read_array(self, el, here):
        element = self.arg_type(self.resolve(self.types, el.get("arrayTypeRef", ""), here, el,
                                             "argument type"))
        lists = [c for c in el.children if c.tag == "DimensionList"]
        if not lists:
            raise _fail(el, "an array argument needs a DimensionList")
        dims = []
        for d in (c for c in lists[0].children if c.tag == "Dimension"):
            ends = {}
            for c in d.children:
                if c.tag in ("StartingIndex", "EndingIndex"):
                    ends[c.tag] = self.index(c)
            if len(ends) != 2:
                raise _fail(d, "a Dimension needs a StartingIndex and an EndingIndex")
            dims.append(_dimension(d, ends["StartingIndex"], ends["EndingIndex"], _fail,
                                   "argument"))
        if not dims:
            raise _fail(el, "an array needs a dimension")
        atype = ArrayType(el.get("name"), element, tuple(dims), el.line)
        atype._range = atype._size = None
        return atype

    def index(self, el):
        """A FixedValue (a number) or a DynamicValue from an argument: (argument, use its
        calibrated value, slope, intercept)."""
        for c in el.children:
            if c.tag == "FixedValue":
                return int(_number((c.text or "").strip(), c))
            if c.tag == "DynamicValue":
                refs = [r for r in c.children if r.tag == "ArgumentInstanceRef"]
                if len(refs) != 1:
                    raise _fail(c, "a size from a parameter's value is not supported in "
                                   "commands (only from an ArgumentInstanceRef)")
                slope = intercept = None
                for adj in (a for a in c.children if a.tag == "LinearAdjustment"):
                    slope = float(_number(adj.get("slope", "1"), adj))
                    intercept = float(_number(adj.get("intercept", "0"), adj))
                cal = refs[0].get("useCalibratedValue", "true").lower() != "false"
                return (refs[0].get("argumentRef", ""), cal, 1.0 if slope is None else slope,
                        0.0 if intercept is None else intercept)
        raise _fail(el, f"{el.tag} needs a FixedValue or a DynamicValue")

    def read_aggregate(self, el, here):
        members = []
        for lst in (c for c in el.children if c.tag == "MemberList"):
            for m in (c for c in lst.children if c.tag == "Member"):
                name = m.get("name")
                if name is None or any(name == n for n, _ in members):
                    raise _fail(m, f"a member needs a name of its own, not {name!r}")
                members.append((name, self.arg_type(self.resolve(
                    self.types, m.get("typeRef", ""), here, m, "argument type"))))
        if not members:
            raise _fail(el, "an aggregate needs members")
        atype = AggregateType(el.get("name"), members, el.line)
        atype._range = atype._size = None
        # Where every member has an initial value, the aggregate has one.
        inits = {m.get("name"): m.get("initialValue") for lst in el.children
                 if lst.tag == "MemberList" for m in lst.children if m.tag == "Member"}
        atype._initial = None
        if all(v is not None for v in inits.values()):
            atype._initial = {n: _engineering(t, inits[n], el) for n, t in members}
        return atype

    def read_plain(self, el, here, kind):
        pel = copy.copy(el)
        pel.tag = kind + "ParameterType"
        pel.children = [c for c in el.children if c.tag not in (
            "ValidRange", "ValidRangeSet", "SizeRangeInCharacters", "ValidRangeList")]
        size_arg = own_size = buffer_arg = None
        for i, enc in enumerate(pel.children):
            sizes = [c for c in enc.children if c.tag == "SizeInBits"]
            if enc.tag == "StringDataEncoding" and _refers_to_argument(enc):
                var = next((c for c in enc.children if c.tag == "Variable"), None)
                dyn = next((c for c in (var.children if var else ()) if c.tag == "DynamicValue"),
                           None)
                if dyn is None or not _refers_to_argument(dyn) or not any(
                        c.tag in ("LeadingSize", "TerminationChar") for c in var.children):
                    raise _fail(enc, "strings sized by another argument are supported as a "
                                     "Variable buffer that a size tag or terminator ends")
                # The buffer's bits from the argument, the text ended inside it.
                buffer_arg = self.index(var)
                var = copy.copy(var)
                var.children = [c for c in var.children if c is not dyn]
                enc = copy.copy(enc)
                enc.children = [var if c.tag == "Variable" else c for c in enc.children]
                pel.children = pel.children[:i] + [enc] + pel.children[i + 1:]
                continue
            if enc.tag != "BinaryDataEncoding" or not sizes:
                continue
            value = next((c for c in sizes[0].children if c.tag in ("DynamicValue",
                                                                     "FixedValue")), None)
            if value is None:
                continue
            if value.tag == "DynamicValue" and _refers_to_argument(value):
                size_arg = self.index(sizes[0])
            elif (value.tag == "FixedValue" and value.text == "-1") or (
                    value.tag == "DynamicValue" and [r.get("parameterRef") for r in value.children
                                                     if r.tag == "ParameterInstanceRef"]
                    == ["_yamcs_ignore"]):
                own_size = True  # Yamcs's marks for a value sent at its own size
            else:
                continue
            # Read as a binary of no bits, then sized by the argument or the value.
            zero = copy.copy(value)
            zero.tag, zero.parts, zero.children = "FixedValue", ["0"], []
            size = copy.copy(sizes[0])
            size.children = [zero]
            enc = copy.copy(enc)
            enc.children = [size if c is sizes[0] else c for c in enc.children]
            pel.children = pel.children[:i] + [enc] + pel.children[i + 1:]
        pel.attrib = {k: v for k, v in el.attrib.items() if k != "baseType"}
        if "baseType" in el.attrib:
            base = self.arg_type(self.resolve(self.types, el.get("baseType"), here, el,
                                              "argument type"))
            if not isinstance(base, ParameterType):
                raise _fail(el, f"a {el.tag} cannot be derived from {base.name!r}")
            atype = self.loader.derived_type(pel, base)
            atype._range, atype._size = base._range, base._size
        elif kind.endswith("Time"):
            atype = self.loader.time_type(pel, None)
            atype._range = atype._size = None
        else:
            atype = self.loader.parameter_type(pel)
            atype._range = atype._size = None
        if size_arg is not None or own_size:
            atype.encoding = copy.copy(atype.encoding)
            atype.encoding.bits = None
            atype.encoding.size_ref = None if size_arg is None else size_arg[0]
        atype._size_arg = size_arg if size_arg is not None else getattr(atype, "_size_arg", None)
        atype._buffer_arg = buffer_arg or getattr(atype, "_buffer_arg", None)
        for c in el.children:
            if c.tag in ("ValidRange", "ValidRangeSet"):
                atype._range = _range(c)
            elif c.tag == "SizeRangeInCharacters" or (c.tag == "ValidRangeList"):
                atype._size = _size_range(c)
        if kind == "Binary":
            for c in el.children:
                if c.tag == "ValidRange" and ("minInclusive" in c.attrib):
                    atype._size, atype._range = _size_range(c), None
        return atype

    def meta(self, q):
        if q not in self.read_metas:
            el, here = self.metas[q]
            self.read_metas[q] = _fail(el, "the command is based on itself")
            try:
                self.read_metas[q] = self.loader.within(here, self.read_meta, el, here, q)
            except XtceError as e:
                self.read_metas[q] = e
        m = self.read_metas[q]
        if isinstance(m, XtceError):
            raise m
        return m

    def read_meta(self, el, here, q):
        abstract = el.get("abstract", "false").lower() in ("true", "1")
        arguments, assignments, fields, base, check = {}, {}, [], None, None
        for c in el.children:
            if c.tag != "BaseMetaCommand":
                continue
            bq = self.resolve(self.metas, c.get("metaCommandRef", ""), here, c, "meta command")
            b = self.meta(bq)
            base, check = bq, b.check
            arguments.update(b.arguments)
            assignments.update(b.assignments)
            fields.extend(b.fields)
            for lst in c.children:
                for a in (lst.children if lst.tag == "ArgumentAssignmentList" else ()):
                    name = a.get("argumentName")
                    if name not in arguments:
                        raise _fail(a, f"the base command has no argument {name!r}")
                    assignments[name] = _engineering(arguments[name].type,
                                                     a.get("argumentValue", ""), a)
        for c in el.children:
            if c.tag == "ArgumentList":
                for a in c.children:
                    if a.tag != "Argument":
                        continue
                    name = a.get("name")
                    tq = self.resolve(self.types, a.get("argumentTypeRef", ""), here, a,
                                      "argument type")
                    t = self.arg_type(tq)
                    init = a.get("initialValue")
                    if init is None:
                        init = self.types[tq][0].get("initialValue")
                    init = (getattr(t, "_initial", None) if init is None else
                            _engineering(t, init, a))
                    vrange = t._range
                    arguments[name] = Argument(name, t, init, vrange, t._size)
        for c in el.children:
            if c.tag == "CommandContainer":
                own, criteria = self.container(c, here, arguments, base)
                # The criteria fill the fields of base commands' containers too.
                fields = _placed(_filled(fields + own, criteria), arguments, c)
                check = _error_check(c) or check
            elif c.tag in ("TransmissionConstraintList", "DefaultSignificance",
                           "VerifierSet", "ParameterToSetList", "ParametersToSuspendAlarmsOnSet",
                           "Interlock", "CommandVerifier"):
                self.loader.skip(c)
        cmd = Command(q, abstract, base, arguments, assignments, tuple(fields), el.line)
        cmd.check = check
        return cmd

    def container(self, el, here, arguments, base):
        out, head, criteria = [], [], {}
        for c in el.children:
            if c.tag == "BaseContainer":
                ref = c.get("containerRef", "")
                from .loader import lookup
                q = lookup(self.containers, ref, here)
                if q is None:
                    # A telemetry container (a CCSDS header, say) heads the command.
                    head = self.telemetry(self.loader.ref(c, "containerRef"), c, 0)
                elif self.containers[q] != base:
                    head = list(self.meta(self.containers[q]).fields)
                for r in c.children:
                    if r.tag == "RestrictionCriteria":
                        criteria.update(self.equalities(r))
            elif c.tag == "EntryList":
                for e in c.children:
                    out.extend(self.entry(e, here, arguments))
        # The base container's fields come first, wherever its element stands.
        return head + out, criteria

    def telemetry(self, key, el, depth):
        """The fields of telemetry container `key` and its bases, as parameters whose values
        come from restriction criteria or initial values."""
        from .loader import _MAX_DEPTH
        if depth > _MAX_DEPTH:
            raise _fail(el, f"containers nest more than {_MAX_DEPTH} deep")
        cont = self.loader.containers.get(key)
        if cont is None or not hasattr(cont, "_entries"):
            error = self.loader.unsupported.get(key)
            raise _fail(el, f"container {key!r} cannot be read" + (f": {error}" if error else ""))
        out, criteria = [], {}
        if cont.base is not None:
            out.extend(self.telemetry(cont.base, cont._element, depth + 1))
        if cont.restriction is not None:
            criteria = self.equalities(cont._element, cont.restriction)
        for kind, ref, cond, skip, e in cont._entries:
            if cond is not None or skip or id(e) in cont._repeats:
                raise _fail(e, "include conditions, locations and repeats in a command's "
                               "telemetry header are not supported")
            if kind == "container":
                out.extend(self.telemetry(ref, e, depth + 1))
            else:
                out.extend(self.parameter_fields(ref, e))
        return _filled(out, criteria)

    def parameter_fields(self, key, el):
        """The fields of parameter `key`: one, or one per member of an aggregate."""
        ptype = self.loader.parameters[key].type
        if isinstance(ptype, AggregateType):
            return [f for m, _ in ptype.members for f in self.parameter_fields(f"{key}.{m}", el)]
        return [self.parameter_field(key, el)]

    def parameter_field(self, key, el):
        ptype = self.loader.parameters[key].type
        if not isinstance(ptype, ParameterType) or ptype.encoding is None:
            raise _fail(el, f"parameter {key!r} of {ptype.name!r} cannot fill a command's field")
        if not hasattr(self, "_param_q"):
            self._param_q = {k: q for q, k in self.loader.keys["parameter"].items()}
            self._type_q = {k: q for q, k in self.loader.keys["type"].items()}
        text = None
        if key in self._param_q:
            text = self.loader.defs["parameter"][self._param_q[key]][0].get("initialValue")
        if text is None and ptype.name in self._type_q:
            text = self.loader.defs["type"][self._type_q[ptype.name]][0].get("initialValue")
        raw = None if text is None else _raw_of(ptype, key, _engineering(ptype, text, el), el)
        return ("param", key, ptype, raw)

    def equalities(self, el, node=None):
        """The raw values that restriction criteria `el` give their parameters: equalities
        joined by "and" fill fields (as Yamcs fills them); other criteria are refused."""
        if node is None:
            node = self.loader.criteria(self.loader.one(
                el, {"Comparison", "ComparisonList", "BooleanExpression"}))
        out = {}
        for c in node.items if type(node) is _AllOf else (node,):
            if type(c) is _AllOf:
                out.update(self.equalities(el, c))
                continue
            if type(c) is not _Compare or c.op is not operator.eq:
                raise _fail(el, f"the criterion {c} cannot fill a command's field (only "
                                "equalities joined by 'and' can)")
            ptype = self.loader.parameters[c.param].type
            out[c.param] = (_raw_of(ptype, c.param, c.value, el) if c.calibrated
                            else c.value)
        return out

    def entry(self, e, here, arguments):
        out, cond = [], None
        for c in e.children:
            if c.tag == "IncludeCondition":
                cond = self.condition(c, arguments)
            elif c.tag == "LocationInContainerInBits":
                out.append(self.location(c))
            elif c.tag == "RepeatEntry":
                self.repeat(c, e, arguments)
        fields = self.entry_fields(e, here, arguments)
        if cond is not None:
            if any(f[0] != "arg" for f in fields):
                raise _fail(e, "include conditions of entries other than arguments are not "
                               "supported in commands")
            fields = [f + (cond,) for f in fields]
        return out + fields

    def repeat(self, el, entry, arguments):
        """A repeated argument: its value becomes a sequence of `Count` values, sent one
        after the other (as an array of its type)."""
        name = entry.get("argumentRef")
        if entry.tag != "ArgumentRefEntry" or name not in arguments:
            raise _fail(el, "only argument entries repeat in commands")
        if any(c.tag == "Offset" for c in el.children):
            raise _fail(el, "repeated entries with gaps between them are not supported")
        count = next((c for c in el.children if c.tag == "Count"), None)
        if count is None:
            raise _fail(el, "a RepeatEntry needs a Count")
        arg = arguments[name]
        size = self.index(count)
        atype = ArrayType(arg.type.name, arg.type, (size,), el.line)
        atype._range = atype._size = None
        init = [arg.initial] * size if isinstance(size, int) and arg.initial is not None \
            else None
        arguments[name] = Argument(name, atype, init, None, None)

    def location(self, el):
        """A gap before an entry, ("gap", zero bytes, bits), or ("start", bits) for a place
        counted from the packet's start (resolved once the fields before it are known)."""
        where = el.get("referenceLocation", "previousEntry")
        value = next((c for c in el.children if c.tag in ("FixedValue", "DynamicValue")), None)
        if value is None or value.tag != "FixedValue":
            raise _fail(el, "locations from another value are not supported in commands")
        bits = int(_number(value.text, value))
        if where == "containerStart" and bits >= 0:
            return ("start", bits)
        if where != "previousEntry" or bits < 0:
            raise _fail(el, f"a location of {bits} bits from the {where} is not supported in "
                            "commands (only gaps after the previous entry, or places from the "
                            "start)")
        return ("gap", bytes((bits + 7) // 8), bits)

    def condition(self, el, arguments):
        """An include condition on arguments: ArgumentComparison terms that all must hold."""
        from .model import _OPS
        found = [c for c in el.children if c.tag in ("ArgumentComparison",
                                                      "ArgumentComparisonList")]
        if len(found) != 1:
            raise _fail(el, "include conditions in commands are supported as an "
                            "ArgumentComparison or an ArgumentComparisonList")
        terms = [found[0]] if found[0].tag == "ArgumentComparison" else [
            c for c in found[0].children if c.tag == "ArgumentComparison"]
        out = []
        for t in terms:
            ref = t.get("argumentRef", "")
            if ref not in arguments:
                raise _fail(t, f"unknown argument {ref!r}")
            op = t.get("comparisonOperator", "==")
            if op not in _OPS:
                raise _fail(t, f"unknown comparison operator {op!r}")
            calibrated = t.get("useCalibratedValue", "true").lower() != "false"
            text = t.get("value", "")
            want = (_engineering(arguments[ref].type, text, t) if calibrated
                    else _number(text, t))
            out.append((ref, _OPS[op], want, calibrated))
        return tuple(out)

    def entry_fields(self, e, here, arguments):
        if e.tag == "ArgumentRefEntry":
            name = e.get("argumentRef")
            if name not in arguments:
                raise _fail(e, f"unknown argument {name!r}")
            atype = arguments[name].type
            enc = getattr(atype, "encoding", None)
            if enc is not None and enc.size_ref is not None and \
                    getattr(atype, "_size_arg", None) is None:
                raise _fail(e, "fields sized by a parameter are not supported in commands")
            for ref in _size_refs(atype):
                if ref not in arguments:
                    raise _fail(e, f"argument {name!r} is sized by {ref!r}, which the command "
                                   "does not have")
            return [("arg", name)]
        if e.tag == "FixedValueEntry":
            text = e.get("binaryValue", "")
            try:
                data = bytes.fromhex(text if len(text) % 2 == 0 else "0" + text)
            except ValueError:
                raise _fail(e, f"binaryValue={text!r} is not hexadecimal") from None
            # Without a size, Yamcs sends the value's bytes whole.
            bits = int(e.get("sizeInBits", 8 * len(data)))
            if bits <= 0:
                raise _fail(e, "a fixed value needs at least one bit")
            value = int.from_bytes(data, "big")
            if value >> bits:
                raise _fail(e, f"{text} does not fit in {bits} bits")
            return [("fixed", value.to_bytes((bits + 7) // 8, "big"), bits)]
        if e.tag == "ParameterRefEntry":
            return self.parameter_fields(self.loader.ref(e, "parameterRef"), e)
        if e.tag in ("ShortDescription", "LongDescription", "AncillaryDataSet"):
            return []
        raise _fail(e, f"{e.tag} entries in commands are not supported")


def _error_check(el):
    """The CRC of a command container's ErrorDetectCorrect (its own, or its BinaryEncoding's)
    as the arguments of `_crc`; the reason as text where it cannot be computed; or None."""
    holders = [el] + [c for c in el.children if c.tag == "BinaryEncoding"]
    found = [c for h in holders for c in h.children if c.tag == "ErrorDetectCorrect"]
    if not found:
        return None
    crc = [c for c in found[0].children if c.tag == "CRC"]
    if not crc:
        kinds = ", ".join(c.tag for c in found[0].children) or "nothing"
        return f"the ErrorDetectCorrect at line {found[0].line} holds {kinds}; only a CRC is " \
               "computed"
    crc = crc[0]
    if "bitsFromReference" in crc.attrib:
        return f"the CRC at line {crc.line} covers part of the packet (bitsFromReference); " \
               "only a CRC over the whole packet is computed"
    parts = {c.tag: c.text for c in crc.children}
    try:
        width = int(crc.get("width", "0"))
        poly, init, final = (int(parts.get(k) or "0", 16) for k in
                             ("Polynomial", "InitRemainder", "FinalXOR"))
    except ValueError:
        return f"the CRC at line {crc.line} has a width or hexadecimal value that is not valid"
    if width not in (8, 16, 24, 32, 40, 48, 56, 64) or not 0 < poly < 1 << width or \
            init >> width or final >> width:
        return f"the CRC at line {crc.line}: a width of whole bytes up to 64 bits, and a " \
               "polynomial, initial remainder and final XOR that fit in it"
    flag = {"true": True, "1": True}
    return (width, poly, init, final, flag.get(crc.get("reflectData", "false").lower(), False),
            flag.get(crc.get("reflectRemainder", "false").lower(), False))


_CRC_TABLES: dict = {}


def _crc_table(width, poly):
    """The CRC of each byte value alone, by (width, polynomial), made once."""
    table = _CRC_TABLES.get((width, poly))
    if table is None:
        top, mask, table = 1 << (width - 1), (1 << width) - 1, []
        for byte in range(256):
            reg = byte << (width - 8)
            for _ in range(8):
                reg = ((reg << 1) ^ poly if reg & top else reg << 1) & mask
            table.append(reg)
        _CRC_TABLES[(width, poly)] = table
    return table


def _reflect(value, bits):
    return int(f"{value:0{bits}b}"[::-1], 2)


def _crc(width, poly, init, final, reflect_in, reflect_out, data):
    """The CRC of `data` with these parameters (the Rocksoft model), most significant bit
    first through a table of the polynomial."""
    table, mask, shift = _crc_table(width, poly), (1 << width) - 1, width - 8
    reg = init
    for byte in data:
        if reflect_in:
            byte = _REFLECTED[byte]
        reg = ((reg << 8) & mask) ^ table[((reg >> shift) ^ byte) & 0xFF]
    if reflect_out:
        reg = _reflect(reg, width)
    return reg ^ final


_REFLECTED = bytes(_reflect(b, 8) for b in range(256))


def _crc16_ccitt(data):
    return binascii.crc_hqx(data, 0xFFFF)


def _placed(fields, arguments, el):
    """`fields` with each place counted from the packet's start made a gap after the fields
    before it, which must all have one size."""
    out, offset = [], 0
    for f in fields:
        if f[0] == "start":
            if offset is None or f[1] < offset:
                raise _fail(el, f"an entry placed at bit {f[1]} from the start follows fields "
                                + ("of varying size" if offset is None else
                                   f"that end at bit {offset}"))
            f = ("gap", bytes((f[1] - offset + 7) // 8), f[1] - offset)
            if not f[2]:
                continue
        out.append(f)
        if offset is not None:
            if f[0] in ("fixed", "gap"):
                offset += f[2]
            else:
                t = f[2] if f[0] == "param" else arguments[f[1]].type
                single = _fixed(t) and (f[0] == "param" or len(f) == 2)
                offset = offset + t.encoding.bits if single else None
    return out


def _filled(fields, criteria):
    """`fields` with the parameters that `criteria` give values to holding them."""
    if not criteria:
        return fields
    return [("param", f[1], f[2], criteria[f[1]]) if f[0] == "param" and f[1] in criteria
            else f for f in fields]


def _raw_of(ptype, name, value, el):
    """The raw value of a parameter's engineering value, for the fields it fills."""
    try:
        return _SCRATCH.raw(Argument(name, ptype, None, None, None), value)
    except CommandError as e:
        raise _fail(el, f"parameter {name!r}: {str(e).split(': ', 1)[-1]}") from None


def _sized(atype, bits, fail, name):
    """A string type whose buffer has `bits` bits in this packet."""
    if bits % 8 or bits < atype.encoding.leading_bits:
        raise fail(name, f"a buffer of {bits} bits does not hold whole bytes and its size tag")
    atype = copy.copy(atype)
    atype.encoding = copy.copy(atype.encoding)
    atype.encoding.bits = bits
    return atype


def _refers_to_argument(el):
    return el.tag == "ArgumentInstanceRef" or any(_refers_to_argument(c) for c in el.children)


def _size_refs(atype):
    """The arguments whose values size `atype` (or its elements and members)."""
    if isinstance(atype, ArrayType):
        return [d[0] for d in atype.dims if not isinstance(d, int)] + _size_refs(atype.element)
    if isinstance(atype, AggregateType):
        # A member may be sized by a member before it (as Yamcs resolves them).
        names = {m for m, _ in atype.members}
        return [r for _, t in atype.members for r in _size_refs(t) if r not in names]
    return [s[0] for s in (getattr(atype, "_size_arg", None),
                           getattr(atype, "_buffer_arg", None)) if s is not None]


def _number(text, el):
    try:
        return int(text, 0) if text.strip()[:2].lower() in ("0x", "0b", "0o") else int(text)
    except ValueError:
        try:
            return float(text)
        except ValueError:
            raise _fail(el, f"{text!r} is not a number") from None


def _engineering(t, text, el):
    """An initial or assigned value, read as an engineering value of type `t`."""
    if t.kind in ("enumerated", "string"):
        return text
    if t.kind == "boolean":
        return text.strip().lower() in ("true", "1", t.bool_strings[1].lower())
    if t.kind == "binary":
        try:
            return bytes.fromhex(text)
        except ValueError:
            raise _fail(el, f"{text!r} is not hexadecimal") from None
    if t.kind in ("array", "aggregate"):
        # Written as Yamcs writes them: [1, 2] and {"m1": 1, "m2": 2.5}.
        try:
            return json.loads(text)
        except ValueError:
            raise _fail(el, f"{text!r} is not a value of {t.kind} {t.name!r}") from None
    return _number(text, el)


def _range(el):
    if el.tag == "ValidRangeSet":
        for c in el.children:
            if c.tag == "ValidRange":
                el_calibrated = el.get("validRangeAppliesToCalibrated", "true")
                r = _range(c)
                return r[:4] + (el_calibrated.lower() != "false",)
        return None
    low = high = None
    low_in = high_in = True
    if "minInclusive" in el.attrib:
        low = _number(el.get("minInclusive"), el)
    elif "minExclusive" in el.attrib:
        low, low_in = _number(el.get("minExclusive"), el), False
    if "maxInclusive" in el.attrib:
        high = _number(el.get("maxInclusive"), el)
    elif "maxExclusive" in el.attrib:
        high, high_in = _number(el.get("maxExclusive"), el), False
    calibrated = el.get("validRangeAppliesToCalibrated", "true").lower() != "false"
    return (low, high, low_in, high_in, calibrated)


def _size_range(el):
    if el.tag == "SizeRangeInCharacters" and el.children:
        el = el.children[0]
    low = int(el.get("minInclusive", "0"))
    high = int(el.get("maxInclusive", str(1 << 62)))
    return low, high


def read_commands(loader):
    """The commands of the loader's CommandMetaData sets, by name (short where unique), and
    the errors of those that cannot be read."""
    reader = _Reader(loader)
    shorts = {}
    for q in reader.metas:
        shorts.setdefault(q.rpartition("/")[2], []).append(q)
    key = {q: (q.rpartition("/")[2] if len(shorts[q.rpartition("/")[2]]) == 1 else q)
           for q in reader.metas}
    commands, errors = {}, {}
    for q in reader.metas:
        try:
            cmd = reader.meta(q)
        except XtceError as e:
            if loader.strict:
                raise
            errors[key[q]] = e
            continue
        cmd.name = key[q]
        cmd.qualified = q
        if cmd.base is not None:
            cmd.base = key[cmd.base]
        commands[key[q]] = cmd
    return commands, errors


def find_command(definition, name):
    cmds = definition.commands
    if name in cmds:
        return cmds[name]
    for c in cmds.values():
        if getattr(c, "qualified", None) == name:
            return c
    raise CommandError(f"unknown command {name!r}")


def decode_command(definition, packet):
    """(name, args) of the concrete command `packet` holds: found as a telemetry packet's
    container is, by the fields its restriction criteria, fixed values and base commands'
    assignments fix (the command that fixes most of them first, then the one with most
    fields); each candidate is then read whole, and the first that reads is the answer."""
    data = bytes(packet)
    index = definition.__dict__.get("_command_index")
    if index is None:
        index = [(cmd, cmd.signature()) for cmd in definition.commands.values()
                 if not cmd.abstract]
        index.sort(key=lambda c: (-len(c[1]), -len(c[0].fields)))
        index = [(cmd, _mask(signature)) for cmd, signature in index]
        definition.__dict__["_command_index"] = index
    heads = {}  # the packet's first bytes as a number, by how many
    for cmd, (span, mask, want) in index:
        if span > len(data):
            continue
        head = heads.get(span)
        if head is None:
            head = heads[span] = int.from_bytes(data[:span], "big")
        if head & mask == want:
            try:
                return cmd.name, cmd.decode(data)
            except CommandError:
                continue
    raise CommandError(f"no command of the database matches the {len(data)}-byte packet")


def _mask(signature):
    """A signature as (bytes it spans, mask, value) over the packet's first bytes."""
    span = max([(at + bits + 7) // 8 for at, bits, _ in signature] or [0])
    mask = want = 0
    for at, bits, value in signature:
        shift = 8 * span - at - bits
        mask |= ((1 << bits) - 1) << shift
        want |= value << shift
    return span, mask, want

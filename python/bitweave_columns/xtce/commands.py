"""Telecommands: the argument types, meta commands and command containers of a document's
CommandMetaData, each command's fields in the order they are sent, and encoding from
engineering values (and back) with every field placed by a compiled `Layout`."""
import binascii
import copy
import math

from ._xml import XtceError, _fail, _version

# XTCE character sets as Python codecs, by the bitweave codec the loader gives them.
_PY_CODECS = {"us_ascii": "ascii", "iso_8859_1": "latin-1", "windows_1252": "cp1252",
              "utf8": "utf-8", "utf16": "utf-16-be", "utf16be": "utf-16-be",
              "utf16le": "utf-16-le", "utf32": "utf-32-be", "utf32be": "utf-32-be",
              "utf32le": "utf-32-le"}
_ARG_KINDS = ("Integer", "Float", "Enumerated", "Boolean", "String", "Binary")


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
        self._layouts = {}

    def __repr__(self):
        kind = "abstract command" if self.abstract else "command"
        return f"<{kind} {self.name!r}, {len(self.arguments)} arguments>"

    # Encoding --------------------------------------------------------------------------------

    def _fail(self, arg, message):
        where = f", argument {arg!r}" if arg else ""
        return CommandError(f"command {self.name!r}{where}: {message}")

    def values(self, args):
        """Every argument's engineering value: given, assigned or initial."""
        out = {}
        for name in args:
            if name not in self.arguments:
                raise self._fail(name, f"unknown argument (known: {', '.join(self.arguments)})")
            if name in self.assignments:
                raise self._fail(name, "its value is fixed by the base command's assignment")
        if len(args) == len(self.arguments):
            return args
        for name, arg in self.arguments.items():
            if name in args:
                out[name] = args[name]
            elif name in self.assignments:
                out[name] = self.assignments[name]
            elif arg.initial is not None:
                out[name] = arg.initial
            else:
                raise self._fail(name, "missing (it has no initial value)")
        return out

    def _plan(self):
        """For a command whose fields all have one size: its Layout, the constant values and
        per argument the field it fills and its converter. None for other commands."""
        if "_compiled" in self.__dict__:
            return self.__dict__["_compiled"]
        plan = None
        if all(f[0] != "arg" or _fixed(self.arguments[f[1]].type) for f in self.fields):
            recipe, consts, convert, offset = [], {}, [], 0
            for field in self.fields:
                if field[0] == "fixed":
                    _, data, bits = field
                    name = f"#{len(recipe)}"
                    recipe.append(_item(name, "unsigned" if bits <= 64 else "binary", bits,
                                        offset))
                    consts[name] = int.from_bytes(data, "big") if bits <= 64 else data
                    offset += bits
                    continue
                atype = field[2] if field[0] == "param" else self.arguments[field[1]].type
                items = _fields(field[1], atype, field[3] if field[0] == "param" else
                                _placeholder(atype), offset)
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
            plan = (Layout(recipe), recipe, consts, tuple(convert))
        self.__dict__["_compiled"] = plan
        return plan

    def encode(self, args, sequence_count=None, ccsds_length=False, checksum=None):
        if self.abstract:
            raise self._fail(None, "an abstract command cannot be sent")
        values = self.values(args)
        plan = self._plan()
        if plan is not None:
            layout, recipe, consts, convert = plan
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
                                ccsds_length, checksum)
        recipe, packed, offset = [], {}, 0
        for field in self.fields:
            if field[0] == "fixed":
                _, data, bits = field
                name = f"#{len(recipe)}"
                recipe.append(_item(name, "unsigned" if bits <= 64 else "binary", bits, offset))
                packed[name] = int.from_bytes(data, "big") if bits <= 64 else data
                offset += bits
                continue
            if field[0] == "param":
                name, atype, raw = field[1], field[2], field[3]
            else:
                name = field[1]
                atype = self.arguments[name].type
                raw = self.raw(self.arguments[name], values[name])
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
                            checksum)

    def _finish(self, layout, recipe, packed, size, sequence_count, ccsds_length, checksum):
        size += 2 if checksum else 0
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
            raise self._fail(None, str(e)) from None
        if checksum is not None:
            if checksum != "crc16-ccitt":
                raise self._fail(None, f"checksum must be 'crc16-ccitt', not {checksum!r}")
            data += binascii.crc_hqx(data, 0xFFFF).to_bytes(2, "big")
        return data

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
            raise self._fail(None, "encode_many takes commands whose fields all have one size")
        layout, _, consts, convert = plan
        values = self.values(columns)
        count = max([np.size(v) for v in values.values() if not isinstance(v, (str, bytes))
                     and np.ndim(v)] or [1])
        packed = dict(consts)
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
        cal = arg.type.calibrator
        if cal is None:
            return value
        if not isinstance(cal, tuple):
            raise self._fail(arg.name, f"the calibrator {cal!r} cannot be inverted")
        terms = {}
        for c, e in cal:
            terms[e] = terms.get(e, 0.0) + c
        if max(terms) <= 1:
            slope = terms.get(1, 0.0)
            if slope == 0:
                raise self._fail(arg.name, "the calibrator is constant, so it cannot be inverted")
            return (value - terms.get(0, 0.0)) / slope
        raise self._fail(arg.name, "a polynomial calibrator of degree above 1 is not inverted")

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
        offset, raws = 0, {}
        for field in self.fields:
            if field[0] == "fixed":
                _, want, bits = field
                got = _read(Layout, data, "binary" if bits > 64 else "unsigned", bits, offset)
                if (got if bits > 64 else got.to_bytes((bits + 7) // 8, "big")) != want:
                    raise self._fail(None, f"fixed field at bit {offset} differs")
                offset += bits
                continue
            name = field[1]
            atype = field[2] if field[0] == "param" else self.arguments[name].type
            value, offset = _read_value(Layout, data, atype, offset, self._fail, name)
            if field[0] == "param":
                if value != field[3]:
                    raise self._fail(name, f"holds {value!r}, not {field[3]!r}")
            else:
                raws[name] = value
        if (offset + 7) // 8 != len(data):
            raise self._fail(None, f"the packet has {len(data)} bytes, the command "
                                   f"{(offset + 7) // 8}")
        args = {}
        for name, raw in raws.items():
            args[name] = self.cook(self.arguments[name], raw)
            if name in self.assignments and args[name] != self.assignments[name]:
                raise self._fail(name, f"holds {args[name]!r}, not the assigned "
                                       f"{self.assignments[name]!r}")
        return {k: v for k, v in args.items() if k not in self.assignments}

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
        if isinstance(t.calibrator, tuple):
            return sum(c * raw ** e for c, e in t.calibrator)
        return raw


def _fixed(atype):
    """True when every value of the type takes the same bits in a field of its own."""
    enc = atype.encoding
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


def _read_value(Layout, data, atype, offset, fail, name):
    enc = atype.encoding
    try:
        if enc.kind in ("integer", "float"):
            v = _read(Layout, data, enc.codec, enc.bits, offset, enc.byte_order, enc.reverse_bits)
            return v, offset + enc.bits
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
        ref = ref.strip()
        if ref.startswith("/"):
            if _normpath(ref) in table:
                return _normpath(ref)
        else:
            at = here
            while True:
                q = _normpath(at + "/" + ref)
                if q in table:
                    return q
                if at == "/":
                    break
                at = at.rpartition("/")[0] or "/"
        raise _fail(el, f"unknown {what} {ref!r}")

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
        pel = copy.copy(el)
        pel.tag = kind + "ParameterType"
        pel.children = [c for c in el.children if c.tag not in (
            "ValidRange", "ValidRangeSet", "SizeRangeInCharacters", "ValidRangeList")]
        pel.attrib = {k: v for k, v in el.attrib.items() if k != "baseType"}
        if "baseType" in el.attrib:
            base = self.arg_type(self.resolve(self.types, el.get("baseType"), here, el,
                                              "argument type"))
            atype = self.loader.derived_type(pel, base)
            atype._range, atype._size = base._range, base._size
        else:
            atype = self.loader.parameter_type(pel)
            atype._range = atype._size = None
        atype.name = el.get("name")
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
        arguments, assignments, fields, base = {}, {}, [], None
        for c in el.children:
            if c.tag != "BaseMetaCommand":
                continue
            bq = self.resolve(self.metas, c.get("metaCommandRef", ""), here, c, "meta command")
            b = self.meta(bq)
            base = bq
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
                    init = None if init is None else _engineering(t, init, a)
                    vrange = t._range
                    arguments[name] = Argument(name, t, init, vrange, t._size)
        for c in el.children:
            if c.tag == "CommandContainer":
                fields.extend(self.container(c, here, arguments, base))
            elif c.tag in ("TransmissionConstraintList", "DefaultSignificance",
                           "VerifierSet", "ParameterToSetList", "ParametersToSuspendAlarmsOnSet",
                           "Interlock", "CommandVerifier"):
                self.loader.skip(c)
        return Command(q, abstract, base, arguments, assignments, tuple(fields), el.line)

    def container(self, el, here, arguments, base):
        out = []
        for c in el.children:
            if c.tag == "BaseContainer":
                ref = c.get("containerRef", "")
                try:
                    mq = self.containers[self.resolve(self.containers, ref, here, c,
                                                      "command container")]
                except XtceError:
                    raise _fail(c, "a command container based on a telemetry container is "
                                   "not supported") from None
                if mq != base:
                    out.extend(self.meta(mq).fields)
                for r in c.children:
                    if r.tag == "RestrictionCriteria":
                        raise _fail(r, "restriction criteria of command containers are not "
                                       "supported")
            elif c.tag == "EntryList":
                for e in c.children:
                    out.extend(self.entry(e, here, arguments))
        return out

    def entry(self, e, here, arguments):
        for c in e.children:
            if c.tag == "IncludeCondition":
                raise _fail(c, "include conditions in commands are not supported")
            if c.tag == "LocationInContainerInBits":
                raise _fail(c, "entries placed by location in commands are not supported")
            if c.tag == "RepeatEntry":
                raise _fail(c, "repeated entries in commands are not supported")
        if e.tag == "ArgumentRefEntry":
            name = e.get("argumentRef")
            if name not in arguments:
                raise _fail(e, f"unknown argument {name!r}")
            enc = arguments[name].type.encoding
            if enc.size_ref is not None:
                raise _fail(e, "fields sized by another value are not supported in commands")
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
            name = self.loader.ref(e, "parameterRef")
            param = self.loader.parameters[name]
            init = None
            for el in (param,):
                init = getattr(el, "initial_value", None)
            if init is None:
                raise _fail(e, f"parameter {name!r} has no value to send")
            return [("param", name, param.type, init)]
        if e.tag in ("ShortDescription", "LongDescription", "AncillaryDataSet"):
            return []
        raise _fail(e, f"{e.tag} entries in commands are not supported")


def _normpath(path):
    from .loader import _normpath as norm
    return norm(path)


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
    """(name, args) of the concrete command `packet` holds."""
    found = []
    for cmd in definition.commands.values():
        if cmd.abstract:
            continue
        try:
            found.append((len(cmd.fields), cmd.name, cmd.decode(packet)))
        except CommandError:
            continue
    if not found:
        raise CommandError(f"no command of the database matches the {len(bytes(packet))}-byte "
                           "packet")
    found.sort(key=lambda f: -f[0])
    return found[0][1], found[0][2]

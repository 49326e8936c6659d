"""Decode a telemetry file straight from its XTCE document, into columns.

    from bitweave_columns import xtce

    definition = xtce.load("mission.xml")          # XTCE 1.1 or 1.2, namespaced or not
    tables = definition.decode("packets.bin")      # {container name: {parameter: numpy column}}
    hk = tables["HK_Packet"]
    hk["BATTERY_V"], hk["packet_index"], hk["packet_offset"]
    tables.unmatched.count, tables.truncated.first_offsets

`load` reads the document with the standard library's expat parser and refuses document type
declarations, so no entity is ever expanded. It understands what a packet decoder needs and
refuses, naming the element and its line, everything that would change how a packet is read
and that it cannot honour (arrays, repeated entries, time types, commands, ...): nothing is
skipped in silence. Only descriptive elements (descriptions, aliases, ancillary data, units,
alarms, valid ranges) are passed over.

`Definition.decode` indexes the packet stream by the primary headers' length fields, walks the
container inheritance tree once per level for all packets together (each level's own entries
decoded with one compiled `Layout` over every packet that reached it, its children's
restriction criteria evaluated on the decoded columns with numpy), and returns one table per
concrete container, rows in stream order.
"""
import mmap
import operator
import os
from xml.parsers import expat

import numpy as np

__all__ = [
    "Container",
    "Decoded",
    "Definition",
    "Encoding",
    "Parameter",
    "ParameterType",
    "Skipped",
    "XtceError",
    "load",
]

# The OMG's namespace names of XTCE 1.1 and 1.2, as documents declare them.
XTCE_1_1 = "http://www.omg.org/space/xtce"
XTCE_1_2 = "http://www.omg.org/spec/XTCE/20180204"
NAMESPACES = {XTCE_1_1: "1.1", XTCE_1_2: "1.2"}

# Columns every table has besides its parameters.
ROW_COLUMNS = ("packet_index", "packet_offset")


class XtceError(ValueError):
    """A document that cannot be read as XTCE, or holds something this module does not support.

    `element` is the XML element's local name and `line` its line in the document, when the
    problem has a place.
    """

    def __init__(self, message, element=None, line=None):
        super().__init__(message)
        self.element = element
        self.line = line


# ---------------------------------------------------------------------------------------------
# Reading the XML: a small element tree that keeps line numbers.


class _Element:
    __slots__ = ("tag", "ns", "attrib", "children", "parts", "line")

    def __init__(self, tag, ns, attrib, line):
        self.tag = tag
        self.ns = ns
        self.attrib = attrib
        self.children = []
        self.parts = []
        self.line = line

    @property
    def text(self):
        return "".join(self.parts).strip()

    def get(self, key, default=None):
        return self.attrib.get(key, default)

    def where(self):
        name = self.attrib.get("name")
        label = f"{self.tag} '{name}'" if name else self.tag
        return f"{label} at line {self.line}"


def _fail(el, message):
    return XtceError(f"{el.where()}: {message}", el.tag, el.line)


_WHY_NOT = {
    "ArrayParameterType": "arrays",
    "AggregateParameterType": "aggregates",
    "AbsoluteTimeParameterType": "time types",
    "RelativeTimeParameterType": "time types",
    "ArrayParameterRefEntry": "arrays",
    "RepeatEntry": "repeated entries",
    "CommandMetaData": "commands",
    "SpaceSystem": "nested space systems",
    "ContextCalibratorList": "context calibrators",
    "SplineCalibrator": "spline calibrators",
    "MathOperationCalibrator": "math operation calibrators",
    "DiscreteLookupList": "sizes looked up from other parameters",
    "CustomAlgorithm": "custom algorithms",
    "NextContainer": "next-container criteria",
    "ErrorDetectCorrect": "error detection",
    "BinaryEncoding": "containers with their own encoding",
}


def _unsupported(el):
    why = _WHY_NOT.get(el.tag)
    return _fail(el, "not supported" + (f" ({why})" if why else ""))


def _parse_xml(source):
    parser = expat.ParserCreate(namespace_separator=" ")
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.buffer_text = True
    stack = []
    roots = []

    def start(name, attrs):
        ns, _, tag = name.rpartition(" ")
        el = _Element(tag, ns, attrs, parser.CurrentLineNumber)
        (stack[-1].children if stack else roots).append(el)
        stack.append(el)

    def end(name):
        stack.pop()

    def chars(data):
        if stack:
            stack[-1].parts.append(data)

    def refuse(*args):
        raise XtceError(
            f"line {parser.CurrentLineNumber}: document type declarations are refused "
            "(an XTCE document needs none, and they can define entities)",
            "DOCTYPE", parser.CurrentLineNumber)

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = chars
    parser.StartDoctypeDeclHandler = refuse
    parser.EntityDeclHandler = refuse
    try:
        if hasattr(source, "read"):
            parser.Parse(source.read(), True)
        else:
            with open(source, "rb") as f:
                parser.ParseFile(f)
    except expat.ExpatError as e:
        raise XtceError(f"line {e.lineno}: not well-formed XML ({expat.ErrorString(e.code)})",
                        None, e.lineno) from None
    return roots[0]


# ---------------------------------------------------------------------------------------------
# The definition model.

_INTEGER_CODECS = {
    "unsigned": "unsigned",
    "twosComplement": "twos_complement",
    "twosCompliment": "twos_complement",  # the spelling of some older documents
    "signed": "twos_complement",  # not an XTCE name, but found in mission documents
    "onesComplement": "ones_complement",
    "onesCompliment": "ones_complement",
    "signMagnitude": "sign_magnitude",
    "BCD": "bcd",  # one decimal digit per byte
    "packedBCD": "packed_bcd",  # one decimal digit per nibble
}
_FLOAT_SIZES = {16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64", 128: "ieee754_f128"}
_OTHER_FLOATS = {"MILSTD_1750A": "MIL-STD-1750A", "MIL-1750A": "MIL-STD-1750A",
                 "DEC": "DEC", "IBM": "IBM", "TI": "TI"}
# XTCE character set -> (bitweave codec, bytes per code unit)
_CHARSETS = {
    "US-ASCII": ("us_ascii", 1),
    "ISO-8859-1": ("iso_8859_1", 1),
    "Windows-1252": ("windows_1252", 1),
    "UTF-8": ("utf8", 1),
    "UTF-16": ("utf16", 2),
    "UTF-16LE": ("utf16le", 2),
    "UTF-16BE": ("utf16be", 2),
    "UTF-32": ("utf32", 4),
    "UTF-32LE": ("utf32le", 4),
    "UTF-32BE": ("utf32be", 4),
}
_BYTE_ORDERS = {"mostSignificantByteFirst": "big", "leastSignificantByteFirst": "little"}


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
                 "intercept", "leading_bits", "terminator", "unit", "max_bits")

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

    @property
    def fixed(self):
        """True when the field has the same size and place in every packet."""
        return self.bits is not None and not self.leading_bits and self.terminator is None

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
    `calibrator` is a tuple of (coefficient, exponent) terms of a polynomial, or None.
    `labels` maps raw values to enumeration labels; `label_ranges` holds (low, high, label)
    entries of enumerations that cover a range of values.
    """

    def __init__(self, name, kind, encoding, *, calibrator=None, labels=None, label_ranges=(),
                 units=(), bool_strings=("False", "True"), line=None):
        self.name = name
        self.kind = kind
        self.encoding = encoding
        self.calibrator = calibrator
        self.labels = labels
        self.label_ranges = label_ranges
        self.units = units
        self.bool_strings = bool_strings
        self.line = line
        self._table = {}

    @property
    def has_derived(self):
        """True when the derived value differs from the raw one (calibrator, labels, booleans)."""
        return self.kind in ("enumerated", "boolean") or self.calibrator is not None

    def __repr__(self):
        extra = ""
        if self.calibrator:
            extra = ", calibrated " + " + ".join(f"{c:g}*x^{e}" for c, e in self.calibrator)
        if self.labels is not None:
            extra = f", {len(self.labels) + len(self.label_ranges)} labels"
        return f"<ParameterType {self.name!r} {self.kind}, {self.encoding!r}{extra}>"


class Parameter:
    """A named parameter and its type."""

    def __init__(self, name, ptype, short_description=None, line=None):
        self.name = name
        self.type = ptype
        self.short_description = short_description
        self.line = line

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
        info = np.iinfo(data.dtype)
        if other > info.max or other < info.min:
            # Out of the column's range: the answer is the same for every row.
            result = np.full(len(data), bool(op(0 if other > info.max else 1,
                                                1 if other > info.max else 0)))
        else:
            result = op(data, data.dtype.type(other))
    else:
        result = op(data, other)
    result = np.asarray(result, dtype=bool)
    return result & ~mask if mask is not None else result


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
    __slots__ = ("items", "bits", "cond")

    def __init__(self, cond):
        self.items = []  # (name, codec, bits, byte_order, offset within the run)
        self.bits = 0
        self.cond = cond

    def recipe(self, base=0):
        return [{"name": name, "encoding": codec, "bits": bits, "byte_order": order,
                 "reverse_bits": False, "offset_bits": base + off}
                for name, codec, bits, order, off in self.items]


class _Var:
    __slots__ = ("name", "ptype", "skip", "cond")

    def __init__(self, name, ptype, skip, cond):
        self.name, self.ptype, self.skip, self.cond = name, ptype, skip, cond


# ---------------------------------------------------------------------------------------------
# Loading.


def load(source, *, root=None):
    """Read an XTCE document into a `Definition`.

    `source` is a path or a file object (bytes or text). Documents in the XTCE 1.1 and 1.2
    namespaces and documents without a namespace are read alike. `root` names the container
    where decoding starts; by default the one root of the inheritance tree (or the container
    named "CCSDSPacket" when there are several).

    Raises `XtceError`, naming the element and its line, for a document that is not
    well-formed, declares a document type, refers to something it does not define, or holds
    an element this module does not support.
    """
    name = os.fspath(source) if isinstance(source, (str, os.PathLike)) else None
    doc = _parse_xml(source)
    return _Loader(doc, name).definition(root)


_DESCRIPTIVE = frozenset({"LongDescription", "AliasSet", "AncillaryDataSet"})
_ENCODINGS = frozenset({"IntegerDataEncoding", "FloatDataEncoding", "StringDataEncoding",
                        "BinaryDataEncoding"})
_TYPE_EXTRAS = _DESCRIPTIVE | {"UnitSet", "ValidRange", "ValidRangeSet", "DefaultAlarm",
                               "ContextAlarmList", "ToString", "SizeRangeInCharacters"}


class _Loader:
    def __init__(self, doc, source):
        self.source = source
        if doc.tag != "SpaceSystem":
            raise _fail(doc, "the document's root element must be SpaceSystem")
        if doc.ns and doc.ns not in NAMESPACES:
            raise _fail(doc, f"unknown namespace {doc.ns!r} (expected XTCE 1.1 or 1.2)")
        self.ns = doc.ns
        self.doc = doc
        self.types = {}
        self.parameters = {}
        self.containers = {}

    def kids(self, el, allowed, ignored=_DESCRIPTIVE):
        """The children of `el` whose tags are in `allowed`; anything not ignored is refused."""
        out = []
        for c in el.children:
            if c.ns != self.ns:
                raise _fail(c, f"element of another namespace ({c.ns or 'none'}) inside {el.tag}")
            if c.tag in allowed:
                out.append(c)
            elif c.tag not in ignored:
                raise _unsupported(c)
        return out

    def one(self, el, allowed, ignored=_DESCRIPTIVE, required=True):
        found = self.kids(el, allowed, ignored)
        if len(found) > 1:
            raise _fail(found[1], f"{el.tag} holds more than one of {', '.join(sorted(allowed))}")
        if not found:
            if required:
                raise _fail(el, f"{el.tag} needs one of {', '.join(sorted(allowed))}")
            return None
        return found[0]

    @staticmethod
    def attr(el, key, default=None, convert=str):
        value = el.get(key)
        if value is None:
            if default is None:
                raise _fail(el, f"missing attribute {key!r}")
            return default
        try:
            return convert(value)
        except ValueError:
            raise _fail(el, f"attribute {key}={value!r} is not valid") from None

    def definition(self, root):
        doc = self.doc
        tm = None
        for c in self.kids(doc, {"Header", "TelemetryMetaData"}):
            if c.tag == "TelemetryMetaData":
                tm = c
        if tm is None:
            raise _fail(doc, "the document has no TelemetryMetaData")
        sets = {c.tag: c for c in self.kids(tm, {"ParameterTypeSet", "ParameterSet",
                                                 "ContainerSet"})}

        def members(set_tag, tags):
            return self.kids(sets[set_tag], tags) if set_tag in sets else []

        for el in members("ParameterTypeSet", {
                "IntegerParameterType", "FloatParameterType", "StringParameterType",
                "BinaryParameterType", "EnumeratedParameterType", "BooleanParameterType"}):
            ptype = self.parameter_type(el)
            if ptype.name in self.types:
                raise _fail(el, "a parameter type of this name is already defined")
            self.types[ptype.name] = ptype
        for el in members("ParameterSet", {"Parameter"}):
            self.parameter(el)
        elements = {}
        for el in members("ContainerSet", {"SequenceContainer"}):
            name = self.attr(el, "name")
            if name in elements:
                raise _fail(el, "a container of this name is already defined")
            elements[name] = el
        for name, el in elements.items():
            self.containers[name] = self.container(el, elements)
        return Definition(self, root)

    # Parameter types -------------------------------------------------------------------------

    def parameter_type(self, el):
        name = self.attr(el, "name")
        if "baseType" in el.attrib:
            raise _fail(el, "parameter types derived from a base type are not supported")
        kind = el.tag[:-len("ParameterType")].lower()
        encodings = {"string": {"StringDataEncoding"}, "binary": {"BinaryDataEncoding"}}.get(
            kind, {"IntegerDataEncoding", "FloatDataEncoding"})
        allowed = _ENCODINGS | ({"EnumerationList"} if kind == "enumerated" else set())
        found = self.kids(el, allowed, _TYPE_EXTRAS)
        enc_els = [c for c in found if c.tag.endswith("DataEncoding")]
        if not enc_els:
            raise _fail(el, "the type has no data encoding, so it cannot sit in a packet")
        if len(enc_els) > 1:
            raise _fail(enc_els[1], "a type has one data encoding")
        enc_el = enc_els[0]
        if enc_el.tag not in encodings:
            raise _fail(enc_el, f"a {enc_el.tag} in a {el.tag} is not supported")
        encoding, calibrator = self.encoding(enc_el)
        units = tuple(u.text for c in el.children if c.tag == "UnitSet" for u in c.children)
        labels = ranges = None
        if kind == "enumerated":
            labels, ranges = self.enumeration(el, found)
        bool_strings = (el.get("zeroStringValue", "False"), el.get("oneStringValue", "True"))
        if kind in ("enumerated", "boolean"):
            calibrator = None  # labels and truth values come from the raw value
        return ParameterType(name, kind, encoding, calibrator=calibrator, labels=labels,
                             label_ranges=ranges or (), units=units, bool_strings=bool_strings,
                             line=el.line)

    def enumeration(self, el, found):
        lists = [c for c in found if c.tag == "EnumerationList"]
        if not lists:
            raise _fail(el, "an enumerated type needs an EnumerationList")
        labels, ranges = {}, []
        for e in self.kids(lists[0], {"Enumeration"}):
            value = self.attr(e, "value", convert=_number)
            label = self.attr(e, "label")
            if "maxValue" in e.attrib:
                ranges.append((value, self.attr(e, "maxValue", convert=_number), label))
            else:
                labels.setdefault(value, label)
        return labels, tuple(ranges)

    def check_bit_order(self, el):
        if el.get("bitOrder", "mostSignificantBitFirst") != "mostSignificantBitFirst":
            raise _fail(el, f"bitOrder={el.get('bitOrder')!r} is not supported")

    def byte_order(self, el):
        order = el.get("byteOrder", "mostSignificantByteFirst")
        if order not in _BYTE_ORDERS:
            raise _fail(el, f"byteOrder={order!r} is not supported")
        return _BYTE_ORDERS[order]

    def encoding(self, el):
        self.check_bit_order(el)
        if el.tag == "IntegerDataEncoding":
            return self.integer_encoding(el)
        if el.tag == "FloatDataEncoding":
            return self.float_encoding(el)
        if el.tag == "StringDataEncoding":
            return self.string_encoding(el), None
        return self.binary_encoding(el), None

    def calibrator(self, el):
        cal = self.one(el, {"DefaultCalibrator"}, required=False)
        if cal is None:
            return None
        poly = self.one(cal, {"PolynomialCalibrator"})
        terms = []
        for term in self.kids(poly, {"Term"}):
            exponent = self.attr(term, "exponent", convert=float)
            if exponent < 0 or exponent != int(exponent):
                raise _fail(term, "polynomial exponents are whole numbers from 0")
            terms.append((self.attr(term, "coefficient", convert=float), int(exponent)))
        return tuple(terms)

    def integer_encoding(self, el):
        name = el.get("encoding", "unsigned")
        if name not in _INTEGER_CODECS:
            raise _fail(el, f"integer encoding {name!r} is not supported")
        codec = _INTEGER_CODECS[name]
        bits = self.attr(el, "sizeInBits", 8, int)
        limits = {"bcd": (8, 8), "packed_bcd": (4, 4), "sign_magnitude": (2, 1)}
        least, step = limits.get(codec, (1, 1))
        if not least <= bits <= 64 or bits % step:
            raise _fail(el, f"a {name} integer of {bits} bits is not supported "
                            f"(from {least} to 64 bits{f', in steps of {step}' if step > 1 else ''})")
        self.kids(el, {"DefaultCalibrator"})
        return (Encoding("integer", codec, bits, self.byte_order(el)), self.calibrator(el))

    def float_encoding(self, el):
        name = el.get("encoding", "IEEE754_1985")
        if name in _OTHER_FLOATS:
            raise _fail(el, f"{_OTHER_FLOATS[name]} floats are not supported")
        if name not in ("IEEE754_1985", "IEEE754"):
            raise _fail(el, f"float encoding {name!r} is not supported")
        bits = self.attr(el, "sizeInBits", 32, int)
        if bits not in _FLOAT_SIZES:
            raise _fail(el, f"IEEE 754 floats of {bits} bits are not supported (16, 32, 64, 128)")
        self.kids(el, {"DefaultCalibrator"})
        return (Encoding("float", _FLOAT_SIZES[bits], bits, self.byte_order(el)),
                self.calibrator(el))

    def dynamic(self, el):
        """A DynamicValue: (parameter, use calibrated value, slope, intercept)."""
        parts = self.kids(el, {"ParameterInstanceRef", "LinearAdjustment"})
        refs = [p for p in parts if p.tag == "ParameterInstanceRef"]
        if len(refs) != 1:
            raise _fail(el, "a DynamicValue refers to one parameter")
        param, calibrated = self.instance_ref(refs[0])
        slope, intercept = 1.0, 0.0
        for adjust in (p for p in parts if p.tag == "LinearAdjustment"):
            slope = self.attr(adjust, "slope", 1.0, float)
            intercept = self.attr(adjust, "intercept", 0.0, float)
        return param, calibrated, slope, intercept

    def size_value(self, el):
        """The size in a FixedValue or DynamicValue child of `el`: (bits, dynamic or None)."""
        value = self.one(el, {"FixedValue", "DynamicValue"})
        if value.tag == "FixedValue":
            bits = _integer(value)
            if bits < 0:
                raise _fail(value, "a size cannot be negative")
            return bits, None
        return None, self.dynamic(value)

    def string_encoding(self, el):
        charset = el.get("encoding", "UTF-8")
        if charset not in _CHARSETS:
            raise _fail(el, f"character set {charset!r} is not supported")
        codec, unit = _CHARSETS[charset]
        if codec == "utf16" and el.get("byteOrder") == "leastSignificantByteFirst":
            codec = "utf16le"
        elif codec == "utf32" and el.get("byteOrder") == "leastSignificantByteFirst":
            codec = "utf32le"
        holder = self.one(el, {"SizeInBits", "Variable"})
        bits = dyn = max_bits = None
        if holder.tag == "SizeInBits":
            parts = self.kids(holder, {"Fixed", "TerminationChar", "LeadingSize"})
            fixed = [p for p in parts if p.tag == "Fixed"]
            if not fixed:
                raise _fail(holder, "SizeInBits needs a Fixed size")
            bits, dyn = self.size_value(fixed[0])
        else:
            parts = self.kids(holder, {"DynamicValue", "TerminationChar", "LeadingSize"})
            max_bits = self.attr(holder, "maxSizeInBits", 0, int) or None
            for p in parts:
                if p.tag == "DynamicValue":
                    dyn = self.dynamic(p)
        leading, term = 0, None
        for p in parts:
            if p.tag == "LeadingSize":
                leading = self.attr(p, "sizeInBitsOfSizeTag", 16, int)
                if not 1 <= leading <= 64:
                    raise _fail(p, "a size tag has from 1 to 64 bits")
            elif p.tag == "TerminationChar":
                try:
                    term = bytes.fromhex(p.text or "00")
                except ValueError:
                    raise _fail(p, f"{p.text!r} is not a hexadecimal character") from None
                if len(term) != unit:
                    raise _fail(p, f"a {charset} terminator has {unit} byte(s)")
        if leading and term is not None:
            raise _fail(holder, "a string has a leading size or a terminator, not both")
        if bits is None and dyn is None and not leading and term is None:
            raise _fail(holder, "the string's size is not given")
        if bits is not None and bits % 8:
            raise _fail(holder, f"strings of whole bytes only ({bits} bits)")
        if bits is not None and leading and bits < leading:
            raise _fail(holder, "the size tag does not fit in the string's buffer")
        enc = Encoding("string", codec, bits, leading_bits=leading, terminator=term, unit=unit,
                       max_bits=max_bits)
        self.set_dynamic(enc, dyn)
        return enc

    def binary_encoding(self, el):
        size = self.one(el, {"SizeInBits"})
        bits, dyn = self.size_value(size)
        if bits is not None and bits % 8:
            raise _fail(size, f"binary fields of whole bytes only ({bits} bits)")
        enc = Encoding("binary", "binary", bits)
        self.set_dynamic(enc, dyn)
        return enc

    @staticmethod
    def set_dynamic(enc, dyn):
        if dyn is not None:
            enc.size_ref, enc.size_calibrated, enc.slope, enc.intercept = dyn

    def instance_ref(self, el):
        if el.get("instance", "0") != "0":
            raise _fail(el, "values of other packets (instance != 0) are not supported")
        name = self.ref(el, "parameterRef")
        return name, _boolean(el, el.get("useCalibratedValue", "true"))

    def ref(self, el, key):
        name = self.attr(el, key)
        if "/" in name:
            raise _fail(el, f"{key}={name!r}: references across space systems are not supported")
        return name

    # Parameters and containers ---------------------------------------------------------------

    def parameter(self, el):
        name = self.attr(el, "name")
        if name in ROW_COLUMNS:
            raise _fail(el, f"the name {name!r} is reserved for the tables' row columns")
        if name in self.parameters:
            raise _fail(el, "a parameter of this name is already defined")
        self.kids(el, {"ParameterProperties"})
        type_name = self.ref(el, "parameterTypeRef")
        if type_name not in self.types:
            raise _fail(el, f"unknown parameter type {type_name!r}")
        self.parameters[name] = Parameter(name, self.types[type_name], el.get("shortDescription"),
                                          el.line)

    def container(self, el, elements):
        name = self.attr(el, "name")
        abstract = _boolean(el, el.get("abstract", "false"))
        base = restriction = None
        found = self.kids(el, {"EntryList", "BaseContainer"},
                          _DESCRIPTIVE | {"DefaultRateInStream", "RateInStreamSet"})
        entry_list = None
        for c in found:
            if c.tag == "BaseContainer":
                base = self.ref(c, "containerRef")
                if base not in elements:
                    raise _fail(c, f"unknown container {base!r}")
                crit = self.one(c, {"RestrictionCriteria"}, required=False)
                if crit is not None:
                    restriction = self.criteria(self.one(crit, {
                        "Comparison", "ComparisonList", "BooleanExpression"}))
            else:
                entry_list = c
        if entry_list is None:
            raise _fail(el, "a container needs an EntryList")
        entries = []
        for e in self.kids(entry_list, {"ParameterRefEntry", "ContainerRefEntry"}):
            kind = "parameter" if e.tag == "ParameterRefEntry" else "container"
            ref = self.ref(e, "parameterRef" if kind == "parameter" else "containerRef")
            if kind == "parameter" and ref not in self.parameters:
                raise _fail(e, f"unknown parameter {ref!r}")
            if kind == "container" and ref not in elements:
                raise _fail(e, f"unknown container {ref!r}")
            cond, skip = None, 0
            for c in self.kids(e, {"IncludeCondition", "LocationInContainerInBits"}):
                if c.tag == "IncludeCondition":
                    cond = self.criteria(self.one(c, {"Comparison", "ComparisonList",
                                                      "BooleanExpression"}))
                else:
                    if c.get("referenceLocation", "previousEntry") != "previousEntry":
                        raise _fail(c, "only locations relative to the previous entry are "
                                       "supported")
                    skip, dyn = self.size_value(c)
                    if dyn is not None:
                        raise _fail(c, "a location from another parameter's value is not "
                                       "supported")
            entries.append((kind, ref, cond, skip, e))
        container = Container(name, abstract, base, restriction,
                              tuple((k, r, c) for k, r, c, _, _ in entries), el.line)
        container._entries = entries
        container._element = el
        return container

    def criteria(self, el):
        if el.tag == "Comparison":
            return self.comparison(el)
        if el.tag == "ComparisonList":
            return _all_of(self.comparison(c) for c in self.kids(el, {"Comparison"}))
        return self.expression(self.one(el, {"Condition", "ANDedConditions", "ORedConditions"}))

    def expression(self, el):
        if el.tag == "Condition":
            return self.condition(el)
        parts = [self.expression(c) for c in self.kids(
            el, {"Condition", "ANDedConditions", "ORedConditions"})]
        if not parts:
            raise _fail(el, "an empty condition list")
        return _AllOf(parts) if el.tag == "ANDedConditions" else _AnyOf(parts)

    def operator(self, el, text):
        if text not in _OPS:
            raise _fail(el, f"unknown comparison operator {text!r}")
        return _OPS[text]

    def comparison(self, el):
        if el.get("instance", "0") != "0":
            raise _fail(el, "values of other packets (instance != 0) are not supported")
        param = self.ref(el, "parameterRef")
        calibrated = _boolean(el, el.get("useCalibratedValue", "true"))
        op = self.operator(el, el.get("comparisonOperator", "=="))
        return _Compare(param, op, self.value(el, param, self.attr(el, "value"), calibrated),
                        calibrated)

    def condition(self, el):
        refs = self.kids(el, {"ParameterInstanceRef", "ComparisonOperator", "Value"})
        params = [self.instance_ref(r) for r in refs if r.tag == "ParameterInstanceRef"]
        ops = [r for r in refs if r.tag == "ComparisonOperator"]
        values = [r for r in refs if r.tag == "Value"]
        if len(ops) != 1 or len(params) + len(values) != 2 or not params:
            raise _fail(el, "a Condition compares a parameter with a Value or another parameter")
        op = self.operator(ops[0], ops[0].text)
        if values:
            (param, calibrated), = params
            return _Compare(param, op, self.value(values[0], param, values[0].text, calibrated),
                            calibrated)
        for p, _ in params:
            self.check_comparable(el, p)
        (left, lcal), (right, rcal) = params
        return _Relate(left, op, right, lcal, rcal)

    def check_comparable(self, el, param):
        if param not in self.parameters:
            raise _fail(el, f"unknown parameter {param!r}")
        ptype = self.parameters[param].type
        if ptype.kind == "binary":
            raise _fail(el, f"comparisons of binary parameter {param!r} are not supported")
        return ptype

    def value(self, el, param, text, calibrated):
        """The comparison value `text`, read as the type of value it is compared with."""
        ptype = self.check_comparable(el, param)
        text = text.strip()
        try:
            if calibrated and ptype.kind == "enumerated":
                return text
            if calibrated and ptype.kind == "boolean":
                zero, one = ptype.bool_strings
                lower = text.lower()
                if lower in ("true", "1", one.lower()):
                    return True
                if lower in ("false", "0", zero.lower()):
                    return False
                raise ValueError(text)
            if ptype.encoding.kind == "string":
                return text
            if ptype.encoding.kind == "float" or (calibrated and ptype.calibrator):
                return float(text)
            return _number(text)
        except ValueError:
            raise _fail(el, f"{text!r} is not a value of parameter {param!r}") from None


def _number(text):
    try:
        return int(text)
    except ValueError:
        return float(text)


def _integer(el):
    try:
        return int(el.text)
    except ValueError:
        raise _fail(el, f"{el.text!r} is not an integer") from None


def _boolean(el, text):
    if text.lower() in ("true", "1"):
        return True
    if text.lower() in ("false", "0"):
        return False
    raise _fail(el, f"{text!r} is not a boolean")


# ---------------------------------------------------------------------------------------------
# The definition.


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
        from . import Layout

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

        `data` is a path or any contiguous buffer. Each packet starts with a 6-byte primary
        header whose length field gives its size; `skip_header_bytes` skips a fixed record
        header before each packet. Each packet is matched to its concrete container through
        the restriction criteria of the inheritance tree, from the root container down.

        Returns a `Decoded` mapping: container name -> table, a dict of numpy columns keyed by
        parameter name plus "packet_index" (the packet's number in the stream) and
        "packet_offset" (the byte position of its primary header). Raw values by default; with
        `derived=True`, parameters with a calibrator hold calibrated float64 values,
        enumerated ones their labels (None for a value without a label) and booleans True or
        False. A parameter that an include condition leaves out of some packets is a numpy
        masked array, masked where absent. Packets that match no container (or several), and
        packets shorter than their container, are counted on the result (`unmatched`,
        `truncated`), as are the bytes after the last whole packet (`tail`).
        """
        from . import ccsds_index

        with _Buffer(data) as buf:
            index = ccsds_index(buf.view, skip_header_bytes=skip_header_bytes)
            return self._decode(buf, index, 0, None, derived)

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
                       int(tail))

    def _layout(self, key, recipe):
        """A compiled Layout, cached by `key`; `recipe` is a callable that gives its recipe."""
        layout = self._layouts.get(key)
        if layout is None:
            from . import Layout

            layout = self._layouts[key] = Layout(recipe())
        return layout


class _Buffer:
    """The bytes of a path (memory-mapped) or of a buffer, as a flat memoryview."""

    def __init__(self, data):
        self.map = None
        if isinstance(data, (str, os.PathLike)):
            with open(data, "rb") as f:
                size = os.fstat(f.fileno()).st_size
                if size:
                    self.map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
                    data = self.map
                else:
                    data = b""
        self.outer = memoryview(data)
        if not self.outer.c_contiguous:
            raise ValueError("data must be a contiguous buffer")
        self.view = self.outer.cast("B")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.view.release()
        self.outer.release()
        if self.map is not None:
            self.map.close()


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


def _objects(values):
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


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

    def walk(self, container, g):
        g = self.steps(container, g)
        if not len(g):
            return
        kids = [self.d.containers[name] for name in container.children]
        if kids:
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

    def steps(self, container, g):
        for step in container._steps:
            if not len(g):
                break
            values = self.values(g)
            on = step.cond.evaluate(values) if step.cond is not None else None
            rows = np.flatnonzero(on) if on is not None else None
            if isinstance(step, _Run):
                bad = self.run(step, g, rows)
            else:
                bad = self.var(step, g, rows)
            if on is not None and not on.all():
                for name in self.step_names(step):
                    g.cols[name] = np.ma.masked_array(g.cols[name], mask=~on)
            if bad is not None and bad.any():
                self.truncated.append((container.name, g.pidx[bad], g.offs[bad]))
                g = g.take(~bad)
        return g

    @staticmethod
    def step_names(step):
        return [it[0] for it in step.items] if isinstance(step, _Run) else [step.name]

    # Values for criteria, sizes and derived columns --------------------------------------------

    def values(self, g):
        def value(name, calibrated):
            col = g.cols[name]
            ptype = self.d.parameters[name].type
            return _derive(ptype, col) if calibrated and ptype.has_derived else col
        return value

    def emit(self, container, g):
        table = {}
        for name, col in g.cols.items():
            ptype = self.d.parameters[name].type
            table[name] = _derive(ptype, col) if self.derived and ptype.has_derived else col
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

    def scatter(self, g, rows, cols):
        """Store columns decoded for `rows` (None: all) of the group."""
        for name, col in cols.items():
            if rows is not None and len(rows) != len(g):
                full = np.zeros(len(g), dtype=col.dtype)
                full[rows] = col
                col = full
            g.cols[name] = col

    def run(self, step, g, rows):
        offs, lens, pos = (g.offs, g.lens, g.pos) if rows is None else (
            g.offs[rows], g.lens[rows], g.pos[rows])
        short = lens * 8 < pos + step.bits
        fit = ~short
        if step.items:
            layout = self.d._layout(("run", id(step)), step.recipe)
            if short.any():
                cols = self.unpack_at(layout, offs[fit], pos[fit])
                cols = {k: _widen(v, fit) for k, v in cols.items()}
            else:
                cols = self.unpack_at(layout, offs, pos)
            self.scatter(g, rows, cols)
        if rows is None:
            g.pos += step.bits
            return short
        g.pos[rows] += step.bits
        bad = np.zeros(len(g), dtype=bool)
        bad[rows] = short
        return bad

    def read_bytes(self, offs, pos, nbytes):
        """The bytes from bit `pos` of each packet, `nbytes` of them, as a list."""
        bit = offs * 8 + pos
        aligned = (bit & 7) == 0
        view = self.buf.view
        out = [view[a:a + n].tobytes() if ok else None
               for a, n, ok in zip((bit >> 3).tolist(), nbytes.tolist(), aligned.tolist())]
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
        layout = self.d._layout(("uint", bits), lambda: [{
            "name": "n", "encoding": "unsigned", "bits": bits, "byte_order": "big",
            "reverse_bits": False}])
        return self.unpack_at(layout, offs, pos)["n"].astype(np.int64)

    def var(self, step, g, rows):
        """A field whose size varies from packet to packet."""
        enc = step.ptype.encoding
        if rows is None:
            rows = np.arange(len(g))
        offs, end = g.offs[rows], g.lens[rows] * 8
        pos = g.pos[rows] + step.skip
        bad = pos > end
        if enc.size_ref is not None:
            ref = self.values(g)(enc.size_ref, enc.size_calibrated)
            size = np.ma.getdata(ref)[rows].astype(np.float64) * enc.slope + enc.intercept
            if not np.isfinite(size).all():
                raise ValueError(f"the size of {step.name!r} from {enc.size_ref!r} is not finite")
            size = np.trunc(size).astype(np.int64)
        elif enc.bits is not None:
            size = np.full(len(rows), enc.bits, dtype=np.int64)
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
                over = ok & (tag > size - k)
                if over.any():
                    i = np.flatnonzero(over)[0]
                    raise ValueError(f"{step.name!r}: a string of {tag[i]} bits in a buffer of "
                                     f"{size[i]} bits, packet at byte {offs[i]}")
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
                        raise ValueError(f"{step.name!r}: no terminator in its buffer, packet at "
                                         f"byte {offs[i]}")
                    bad[i] = True  # the string runs past the end of the packet
                    continue
                nbits[i] = 8 * at
                values[i] = blob[:at]
            if size is None:
                size = nbits + 8 * enc.unit
            bad |= pos + size > end
            return self.store(step, g, rows, pos + size, bad, values=values)
        bad |= (pos + size > end) | (start + nbits > end)
        ok = np.flatnonzero(~bad)
        odd = ok[nbits[ok] % 8 != 0]
        if len(odd):
            i = odd[0]
            raise ValueError(f"{step.name!r} of {nbits[i]} bits, not whole bytes, packet at "
                             f"byte {offs[i]}")
        blobs = self.read_bytes(offs[ok], start[ok], nbits[ok] // 8)
        values = [None] * len(rows)
        for i, blob in zip(ok.tolist(), blobs):
            values[i] = blob
        return self.store(step, g, rows, pos + size, bad, values=values)

    def store(self, step, g, rows, new_pos, bad, values):
        enc = step.ptype.encoding
        if enc.kind == "string":
            decode = _text_decoder(enc.codec)
            for i, blob in enumerate(values):
                if blob is not None:
                    try:
                        values[i] = decode(blob)
                    except ValueError as e:
                        raise ValueError(f"{step.name!r}, packet at byte {g.offs[rows[i]]}: "
                                         f"{e}") from None
        g.pos[rows] = np.where(bad, g.pos[rows], new_pos)
        col = np.full(len(g), None, dtype=object)
        col[rows] = _objects(values)
        g.cols[step.name] = col
        full = np.zeros(len(g), dtype=bool)
        full[rows] = bad
        return full


def _find(blob, term, unit):
    at = blob.find(term)
    while at >= 0 and at % unit:
        at = blob.find(term, at + 1)
    return at


def _text_decoder(codec):
    import bitweave

    return getattr(bitweave, "decode_" + codec)


def _widen(col, fit):
    """A column for all rows from one decoded for the rows where `fit` is set."""
    full = np.zeros(len(fit), dtype=col.dtype)
    full[fit] = col
    return full


# Derived values.


def _derive(ptype, col):
    mask = np.ma.getmask(col)
    raw = np.ma.getdata(col)
    if ptype.kind == "enumerated":
        out = _labels(ptype, raw)
    elif ptype.kind == "boolean":
        out = raw != 0
    else:
        out = _polynomial(ptype.calibrator, raw)
    return out if mask is np.ma.nomask else np.ma.masked_array(out, mask=mask)


def _labels(ptype, raw):
    """Each raw value's enumeration label (None where there is none), without a loop per row."""
    out = np.full(len(raw), None, dtype=object)
    kind = raw.dtype.kind
    table = ptype._table.get(kind)
    if table is None:
        if kind == "f":
            keys = [(float(k), v) for k, v in ptype.labels.items()]
            dtype = np.float64
        else:
            info = np.iinfo(np.uint64 if kind == "u" else np.int64)
            keys = [(k, v) for k, v in ptype.labels.items()
                    if float(k).is_integer() and info.min <= k <= info.max]
            keys = [(int(k), v) for k, v in keys]
            dtype = np.uint64 if kind == "u" else np.int64
        keys.sort()
        table = ptype._table[kind] = (np.array([k for k, _ in keys], dtype=dtype),
                                      _objects([v for _, v in keys]))
    keys, names = table
    if len(keys) and len(raw):
        data = raw.astype(keys.dtype)
        at = np.minimum(np.searchsorted(keys, data), len(keys) - 1)
        hit = keys[at] == data
        out[hit] = names[at[hit]]
    for low, high, label in ptype.label_ranges:
        free = np.equal(out, None)
        out[free & _compare(raw, operator.ge, low) & _compare(raw, operator.le, high)] = label
    return out


def _polynomial(terms, raw):
    """sum(a * x**n) in float64, term by term as Python evaluates it for one value."""
    total = np.zeros(len(raw), dtype=np.float64)
    for i, (a, n) in enumerate(terms):
        term = a * _power(raw, n)
        total = term if i == 0 else total + term
    return total


def _power(raw, n):
    if n == 0:
        return np.ones(len(raw), dtype=np.float64)
    if n == 1:
        return raw.astype(np.float64)
    if raw.dtype.kind in "iu":
        if len(raw) == 0:
            return np.zeros(0, dtype=np.float64)
        big = max(abs(int(raw.min())), abs(int(raw.max())))
        if big ** n < 2 ** 63:
            # The exact integer power, rounded once to float64, as int ** n then float * int do.
            return (raw.astype(np.int64) ** n).astype(np.float64)
        return np.array([float(v ** n) for v in raw.tolist()], dtype=np.float64)
    return np.array([v ** n for v in raw.astype(np.float64).tolist()], dtype=np.float64)


# ---------------------------------------------------------------------------------------------
# Results.


class Skipped:
    """Packets left out of the tables: how many, their numbers and byte positions in the
    stream, and how many per container (where matching stopped, for unmatched packets; the
    container whose fields did not fit, for truncated ones)."""

    def __init__(self, packet_index, offsets, by_container):
        self.packet_index = packet_index
        self.offsets = offsets
        self.by_container = by_container

    @property
    def count(self):
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


def _skipped(parts):
    if not parts:
        return Skipped(np.zeros(0, np.int64), np.zeros(0, np.int64), {})
    pidx = np.concatenate([p for _, p, _ in parts])
    offs = np.concatenate([o for _, _, o in parts])
    order = np.argsort(pidx, kind="stable")
    by = {}
    for name, p, _ in parts:
        by[name] = by.get(name, 0) + len(p)
    return Skipped(pidx[order], offs[order], by)


class Decoded(dict):
    """Tables by concrete container name (in the document's order), each a dict of numpy
    columns; with `unmatched` and `truncated` (`Skipped`), `packets` (packets indexed) and
    `tail` (bytes after the last whole packet)."""

    def __init__(self, tables, unmatched, truncated, packets, tail):
        super().__init__(tables)
        self.unmatched = unmatched
        self.truncated = truncated
        self.packets = packets
        self.tail = tail

    def __repr__(self):
        tables = ", ".join(f"{name!r}: {len(t['packet_index'])} rows x {len(t) - 2} parameters"
                           for name, t in self.items())
        return (f"Decoded({{{tables}}}, packets={self.packets}, unmatched={self.unmatched.count}, "
                f"truncated={self.truncated.count}, tail={self.tail})")

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
                           np.concatenate([s.offsets for s in got] or [np.zeros(0, np.int64)]), by)

        return cls(tables, skipped("unmatched"), skipped("truncated"),
                   sum(p.packets for p in parts), parts[-1].tail if parts else 0)


def _concat(cols):
    if any(np.ma.isMaskedArray(c) for c in cols):
        return np.ma.concatenate(cols)
    return np.concatenate(cols)

"""Loading an XTCE document into the model: what a packet decoder needs is read, what would
change how a packet is read and cannot be honoured is refused naming its element and line,
and only descriptive elements are passed over."""
import os

from ._xml import NAMESPACES, XtceError, _fail, _parse_xml
from .definition import Definition
from .model import (ROW_COLUMNS, _OPS, Container, Encoding, Parameter, ParameterType, _AllOf,
                    _AnyOf, _Compare, _Relate, _all_of)

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


def load(source, *, root=None):
    """Read an XTCE document into a `Definition`.

    `source` is a path or a file object (bytes or text). Documents in the XTCE 1.1 and 1.2
    namespaces and documents without a namespace are read alike. `root` names the container
    where decoding starts; by default the one root of the inheritance tree (or the container
    named "CCSDSPacket" when there are several).

    Raises `XtceError`, naming the element and its line, for a document that is not
    well-formed, declares a document type, refers to something it does not define, or holds
    an element this module does not support; and for a source that cannot be read (a missing
    file, or the document's text passed in place of a path).
    """
    if isinstance(source, (str, bytes)) and source.lstrip()[:1] in ("<", b"<"):
        raise XtceError("load() takes a path or a file object, and this is a document's text, "
                        "not a path: pass the text as io.StringIO(text)")
    if not isinstance(source, (str, bytes, os.PathLike)) and not hasattr(source, "read"):
        raise XtceError(f"load() takes a path or a file object, not {type(source).__name__}")
    name = os.fspath(source) if isinstance(source, (str, os.PathLike)) else None
    doc = _parse_xml(source)
    return _Loader(doc, name).definition(root)


# Nesting deeper than this, of base and included containers or of conditions, is refused:
# mission documents nest a few levels, and each level is a level of recursion here.
_MAX_DEPTH = 100
# The largest polynomial exponent read; mission calibrators use a handful of terms.
_MAX_EXPONENT = 1024

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
        self.check_nesting()
        return Definition(self, root)

    def check_nesting(self):
        """Refuses a container that inherits from or includes itself, naming the cycle, and
        base and included containers nested more than `_MAX_DEPTH` deep; without recursion,
        since such chains are what would exhaust it."""
        def below(name):
            c = self.containers[name]
            return ([c.base] if c.base is not None else []) + [
                r for k, r, _ in c.entries if k == "container"]

        depth, on_path = {}, set()
        for top in self.containers:
            if top in depth:
                continue
            stack, path = [iter(below(top))], [top]
            on_path.add(top)
            while stack:
                nxt = next(stack[-1], None)
                if nxt is None:
                    name = path.pop()
                    stack.pop()
                    on_path.discard(name)
                    depth[name] = 1 + max((depth[n] for n in below(name)), default=0)
                    if depth[name] > _MAX_DEPTH:
                        raise _fail(self.containers[name]._element,
                                    f"base and included containers nest more than "
                                    f"{_MAX_DEPTH} deep")
                elif nxt in on_path:
                    cycle = " -> ".join(path[path.index(nxt):] + [nxt])
                    raise _fail(self.containers[nxt]._element,
                                f"the container inherits from or includes itself ({cycle})")
                elif nxt not in depth:
                    path.append(nxt)
                    on_path.add(nxt)
                    stack.append(iter(below(nxt)))

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
            if not 0 <= exponent <= _MAX_EXPONENT or exponent != int(exponent):  # NaN too
                raise _fail(term, f"exponent={term.get('exponent')!r}: polynomial exponents are "
                                  f"whole numbers from 0 to {_MAX_EXPONENT}")
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

    def expression(self, el, depth=0):
        if el.tag == "Condition":
            return self.condition(el)
        if depth >= _MAX_DEPTH:
            raise _fail(el, f"conditions nest more than {_MAX_DEPTH} deep")
        parts = [self.expression(c, depth + 1) for c in self.kids(
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
        kinds = [_value_kind(self.check_comparable(el, p), cal) for p, cal in params]
        (left, lcal), (right, rcal) = params
        if kinds[0] != kinds[1]:
            raise _fail(el, f"a Condition relates {left!r} ({kinds[0]}) to {right!r} "
                            f"({kinds[1]}), which do not compare")
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


def _value_kind(ptype, calibrated):
    """What a parameter's values are in a comparison: "text" or "number" (truth values and
    integers compare with numbers)."""
    if ptype.encoding.kind == "string" or (calibrated and ptype.kind == "enumerated"):
        return "text"
    return "number"


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

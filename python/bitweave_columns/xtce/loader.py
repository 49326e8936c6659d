"""Loading XTCE documents into the model: their space systems gathered into one tree, each
reference resolved through it, what a packet decoder needs read, what cannot change how a
packet is read passed over (and counted), and what cannot be honoured refused, naming its
element and line, for the containers that use it only."""
import copy
import os

from ._xml import XtceError, _fail, _parse_xml, _version
from .commands import read_commands
from .definition import Definition
from .calibration import _MATH_OPS
from .model import (ROW_COLUMNS, _OPS, _UNREADABLE, AggregateType, Passed, ArrayType, Container,
                    Encoding, MathOperation, Parameter, ParameterType, Spline, Start, _AllOf,
                    _AnyOf, _Compare, _Relate, _all_of, _dimension)

_WHY_NOT = {
    "ArrayParameterRefEntry": "arrays",
    "DiscreteLookupList": "sizes looked up from other parameters",
    "CustomAlgorithm": "custom algorithms",
    "NextContainer": "next-container criteria",
    "ErrorDetectCorrect": "error detection",
    "ToBinaryTransformAlgorithm": "values an algorithm encodes",
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


def load(source, *, root=None, strict=False):
    """Read an XTCE document, or several as one database, into a `Definition`.

    `source` is a path or a file object (bytes or text), or a list of them: each document's
    space system is then a top-level one, and documents that declare the same space system
    add to it (a Yamcs file set). An item of the list may also be a `(parent, path)` pair,
    which places the document's space system under the qualified name `parent` ("/Top/Sub",
    created empty where no document declares it). Nested space systems are read as a tree,
    and references are resolved as XTCE has them: qualified ("/Top/Sub/x"), relative
    ("../Other/x", "Sub/x") or short names, looked up in the referring space system and then
    in each enclosing one.

    Documents in the XTCE 1.1 and 1.2 namespaces (also named by the schema's URL) and
    documents without a namespace are read alike, as are documents that mix prefixed and
    unprefixed XTCE elements. `root` names the container where decoding starts, by its table
    name or its qualified name; by default the one root of the inheritance tree (or the
    container named "CCSDSPacket" when there are several).

    What cannot change how a packet's bits are read (descriptions, aliases, ancillary data,
    alarms, valid ranges, rates, algorithms, streams, services, commands, elements of other
    namespaces) is passed over and listed on `Definition.skipped`. A type, parameter or
    container that cannot be read refuses only the containers that use it: they are listed,
    with the reason, on `Definition.unsupported`, and their packets are counted as
    `unsupported` when decoded. With `strict=True` the first such problem is raised instead.

    Raises `XtceError`, naming the element and its line, for a document that is not
    well-formed, declares a document type or is not XTCE at all (and, with `strict=True`,
    for the first element that cannot be read).
    """
    if isinstance(source, (str, bytes)) and source.lstrip()[:1] in ("<", b"<"):
        raise XtceError("load() takes a path or a file object, and this is a document's text, "
                        "not a path: pass the text as io.StringIO(text)")
    items = source if isinstance(source, list) else [source]
    if not items:
        raise XtceError("no document to load")
    docs = []
    for item in items:
        parent = None
        if isinstance(item, tuple):
            if len(item) != 2 or not isinstance(item[0], str):
                raise XtceError(f"a (parent, path) pair, not {item!r}")
            parent, item = item
        if isinstance(item, (str, os.PathLike)):
            name = os.fspath(item)
        elif hasattr(item, "read"):
            name = None
        else:
            raise XtceError(f"a path or a file object, not {type(item).__name__}")
        try:
            docs.append((parent, _parse_xml(item), name))
        except OSError as e:
            raise XtceError(f"{name}: {e.strerror or e}") from None
    return _Loader(docs, strict).definition(root)


# Elements that cannot change how a packet's bits are read, wherever they stand. Units and
# descriptions are also kept on the types and parameters they describe.
_PASSED_OVER = frozenset({
    "ShortDescription", "LongDescription", "AliasSet", "AncillaryDataSet", "UnitSet",
    "ValidRange", "ValidRangeSet", "ValidRangeList", "DefaultAlarm", "ContextAlarmList",
    "ToString", "SizeRangeInCharacters", "DefaultRateInStream", "RateInStreamSet",
    "AlgorithmSet", "StreamSet", "ServiceSet", "Header",
    "ParameterProperties", "HistorySet", "ConstraintsOnParameters"})
_DESCRIPTIVE = _TYPE_EXTRAS = _PASSED_OVER

# Nesting deeper than this, of base and included containers or of conditions, is refused:
# mission documents nest a few levels, and each level is a level of recursion here.
_MAX_DEPTH = 100
# The largest polynomial exponent read; mission calibrators use a handful of terms.
_MAX_EXPONENT = 1024
_ENCODINGS = frozenset({"IntegerDataEncoding", "FloatDataEncoding", "StringDataEncoding",
                        "BinaryDataEncoding"})
_TYPE_TAGS = frozenset({"IntegerParameterType", "FloatParameterType", "StringParameterType",
                        "BinaryParameterType", "EnumeratedParameterType", "BooleanParameterType",
                        "ArrayParameterType", "AggregateParameterType",
                        "AbsoluteTimeParameterType", "RelativeTimeParameterType"})
# Where a name is defined, by kind: (the set that holds them, what a reference calls them).
_KINDS = {"type": ("ParameterTypeSet", "parameter type"), "parameter": ("ParameterSet", "parameter"),
          "container": ("ContainerSet", "container")}


def _normpath(path):
    parts = []
    for p in path.split("/"):
        if p == "..":
            if parts:
                parts.pop()
        elif p and p != ".":
            parts.append(p)
    return "/" + "/".join(parts)


def lookup(table, ref, here):
    """The qualified name in `table` that reference `ref`, written in space system `here`,
    stands for (an absolute path, or a relative one tried there and then in each system
    above it), or None."""
    ref = ref.strip()
    if ref.startswith("/"):
        q = _normpath(ref)
        return q if q in table else None
    at = here
    while True:
        q = _normpath(at + "/" + ref)
        if q in table:
            return q
        if at == "/":
            return None
        at = at.rpartition("/")[0] or "/"


def _short(qname):
    return qname.rpartition("/")[2]


def _keys(qnames):
    """Public names: the short name where it is unique, the qualified name where not."""
    count = {}
    for q in qnames:
        count[_short(q)] = count.get(_short(q), 0) + 1
    return {q: _short(q) if count[_short(q)] == 1 else q for q in qnames}


class _Loader:
    def __init__(self, docs, strict=False):
        self.strict = strict
        self.source = docs[0][2] if len(docs) == 1 else [d[2] for d in docs]
        self.skipped = {}
        self.unsupported = {}
        self.duplicated = {}  # qualified name -> the error of its second definition
        self.systems = {}  # qualified name -> the SpaceSystem elements that declare it
        self.version = None
        self.name = None
        for i, (parent, doc, _) in enumerate(docs):
            if doc.tag != "SpaceSystem":
                raise _fail(doc, "the document's root element must be SpaceSystem")
            version = _version(doc.ns)
            if version is False:
                raise _fail(doc, f"unknown namespace {doc.ns!r} (expected XTCE 1.1 or 1.2)")
            if i == 0:
                self.version, self.name = version, doc.get("name")
            here = "/"
            if parent is not None:
                here = _normpath(str(parent))
                parts = here.strip("/").split("/") if here != "/" else []
                for k in range(1, len(parts) + 1):
                    self.systems.setdefault("/" + "/".join(parts[:k]), [])
            self.add_system(doc, here)
        self.defs = {kind: {} for kind in _KINDS}  # kind -> qualified name -> (element, system)
        self.command_sets = []  # (CommandMetaData element, its space system), read by commands
        for path, elements in self.systems.items():
            for ss in elements:
                self.collect(ss, path)
        self.keys = {kind: _keys(names) for kind, names in self.defs.items()}
        self.types = {}  # key -> ParameterType, or the XtceError it could not be read with
        self.parameters = {}
        self.containers = {}
        self.here = "/"

    def add_system(self, el, parent):
        path = _normpath(parent + "/" + self.attr(el, "name"))
        self.systems.setdefault(path, []).append(el)
        for c in el.children:
            if c.tag == "SpaceSystem" and _version(c.ns) is not False:
                self.add_system(c, path)

    def collect(self, ss, path):
        for c in self.kids(ss, {"TelemetryMetaData", "CommandMetaData", "SpaceSystem"}):
            if c.tag == "CommandMetaData":
                self.command_sets.append((c, path))
            if c.tag != "TelemetryMetaData":
                continue
            sets = self.kids(c, {"ParameterTypeSet", "ParameterSet", "ContainerSet"})
            for kind, (set_tag, what) in _KINDS.items():
                for s in sets:
                    if s.tag != set_tag:
                        continue
                    for el in s.children:
                        if _version(el.ns) is False:
                            self.skip(el)
                            continue
                        if el.tag in _PASSED_OVER:
                            self.skip(el)
                            continue
                        name = el.get("name")
                        if name is None or "/" in name or name in ("", ".", ".."):
                            # Nothing can refer to it (a path separator is no part of a
                            # name); such a container is listed as unnamed.
                            if kind == "container":
                                self.problem(f"(unnamed, line {el.line})", kind, _fail(
                                    el, "missing attribute 'name'" if name is None else
                                    f"{name!r} is not a name"))
                            else:
                                self.skip(el)
                            continue
                        q = path.rstrip("/") + "/" + el.get("name")
                        if q in self.defs[kind]:
                            self.problem(q, kind, _fail(el, f"a {what} of this name is already "
                                                            "defined"))
                            continue
                        self.defs[kind][q] = (el, path)

    def problem(self, q, kind, error):
        if self.strict:
            raise error
        if kind == "container":
            self.unsupported.setdefault(q, error)
        else:
            self.duplicated.setdefault(q, error)

    def skip(self, el):
        tag = el.tag if _version(el.ns) is not False else f"{{{el.ns}}}{el.tag}"
        count, line = self.skipped.get(tag, (0, el.line))
        self.skipped[tag] = Passed(count + 1, min(line, el.line))

    def kids(self, el, allowed, ignored=None):
        """The children of `el` whose tags are in `allowed`. What cannot change how bits are
        read is passed over (and counted); anything else is refused."""
        out = []
        for c in el.children:
            if _version(c.ns) is False:
                self.skip(c)
            elif c.tag in allowed:
                out.append(c)
            elif c.tag in _PASSED_OVER:
                self.skip(c)
            elif ignored is not None and c.tag in ignored:
                pass  # read by the caller's caller (a calibrator beside an encoding's size)
            else:
                raise _unsupported(c)
        return out

    def one(self, el, allowed, ignored=None, required=True):
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

    # Names -----------------------------------------------------------------------------------

    def resolve(self, kind, ref, el, here=None):
        """The qualified name that reference `ref` of element `el` stands for."""
        q = lookup(self.defs[kind], ref, self.here if here is None else here)
        if q is None:
            raise _fail(el, f"unknown {_KINDS[kind][1]} {ref!r}")
        return q

    def ref(self, el, key, kind=None):
        """The public name of what attribute `key` of `el` refers to, read where needed."""
        if kind is None:
            kind = {"parameterTypeRef": "type", "typeRef": "type", "arrayTypeRef": "type",
                    "baseType": "type", "containerRef": "container"}.get(key, "parameter")
        text = self.attr(el, key)
        try:
            q = self.resolve(kind, text, el)
        except XtceError:
            if kind != "parameter" or not ("." in text or "/" in text):
                raise
            return self.member_ref(el, text)
        if kind == "type":
            self.get_type(q)
        elif kind == "parameter":
            self.get_parameter(q)
        return self.keys[kind][q]

    def member_ref(self, el, text):
        """A member of an aggregate parameter: "parameter.member", or with the member path
        written as "parameter/member" (as Yamcs and F Prime's dictionaries do)."""
        for i in [i for i, ch in enumerate(text) if ch in "./"][::-1]:
            try:
                q = self.resolve("parameter", text[:i], el)
            except XtceError:
                continue
            self.get_parameter(q)
            name = f"{self.keys['parameter'][q]}.{text[i + 1:].replace('/', '.')}"
            if name in self.parameters:
                return name
        raise _fail(el, f"unknown parameter {text!r}")

    def within(self, here, read, *args):
        old, self.here = self.here, here
        try:
            return read(*args)
        finally:
            self.here = old

    def get_type(self, q):
        if q in self.duplicated:
            raise self.duplicated[q]
        key = self.keys["type"][q]
        if key not in self.types:
            el, here = self.defs["type"][q]
            # Marked first, so that a type derived from itself is refused, not recursed into.
            self.types[key] = _fail(el, "the type is derived from or made of itself")
            try:
                ptype = self.within(here, self.read_type, el)
                ptype.name = key
                self.types[key] = ptype
                self.within(here, self.context_of, ptype)
            except XtceError as e:
                self.types[key] = e
        if isinstance(self.types[key], XtceError):
            raise self.types[key]
        return self.types[key]

    def get_parameter(self, q):
        if q in self.duplicated:
            raise self.duplicated[q]
        key = self.keys["parameter"][q]
        if key not in self.parameters:
            el, here = self.defs["parameter"][q]
            try:
                self.parameters[key] = self.within(here, self.parameter, el, key)
            except XtceError as e:
                self.parameters[key] = e
        if isinstance(self.parameters[key], XtceError):
            raise self.parameters[key]
        return self.parameters[key]

    def definition(self, root):
        keys = self.keys["container"]
        for q, (el, here) in self.defs["container"].items():
            try:
                self.containers[keys[q]] = self.within(here, self.container, el)
            except XtceError as e:
                if self.strict:
                    raise
                self.unsupported[q] = e
                stub = self.within(here, self.stub, el)
                if stub is not None:
                    self.containers[keys[q]] = stub
        self.unsupported = {keys.get(q, q): e for q, e in self.unsupported.items()}
        # The types and parameters no container uses, for inspection: one that cannot be
        # read refuses nothing.
        for kind, get in (("type", self.get_type), ("parameter", self.get_parameter)):
            for q in self.defs[kind]:
                try:
                    get(q)
                except XtceError:
                    pass
        self.types = {k: v for k, v in self.types.items() if not isinstance(v, XtceError)}
        self.parameters = {k: v for k, v in self.parameters.items()
                           if not isinstance(v, XtceError)}
        self.check_nesting()
        self.commands, self.command_errors = read_commands(self)
        return Definition(self, root)

    def stub(self, el):
        """A container that cannot be decoded, placed in the tree so that its packets are
        counted: its base and its restriction (`_UNREADABLE` when that cannot be read). None
        when its base cannot be read."""
        base = restriction = None
        for c in el.children:
            if c.tag == "BaseContainer" and _version(c.ns) is not False:
                try:
                    base = self.ref(c, "containerRef")
                except XtceError:
                    return None
                try:
                    crit = self.one(c, {"RestrictionCriteria"}, required=False)
                    restriction = None if crit is None else self.criteria(self.one(crit, {
                        "Comparison", "ComparisonList", "BooleanExpression"}))
                except XtceError:
                    restriction = _UNREADABLE
        try:
            abstract = _boolean(el, el.get("abstract", "false"))
        except XtceError:
            abstract = False
        stub = Container(self.key_of(el), abstract, base, restriction, (), el.line)
        stub._entries, stub._element = (), el
        return stub

    def key_of(self, el):
        return self.keys["container"][_normpath(self.here + "/" + el.get("name"))]

    def check_nesting(self):
        """Refuses a container that inherits from or includes itself, naming the cycle, and
        base and included containers nested more than `_MAX_DEPTH` deep (only those
        containers, unless strict); without recursion, since such chains are what would
        exhaust it."""
        def refuse(name, error):
            if self.strict:
                raise error
            self.unsupported.setdefault(name, error)

        def below(name):
            c = self.containers.get(name)
            if c is None:
                return []
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
                    depth[name] = 1 + max((depth.get(n, 0) for n in below(name)), default=0)
                    if depth[name] > _MAX_DEPTH:
                        refuse(name, _fail(self.containers[name]._element,
                                           f"base and included containers nest more than "
                                           f"{_MAX_DEPTH} deep"))
                elif nxt in on_path:
                    cycle = path[path.index(nxt):]
                    error = _fail(self.containers[nxt]._element, "the container inherits "
                                  f"from or includes itself ({' -> '.join(cycle + [nxt])})")
                    for name in cycle:
                        refuse(name, error)
                elif nxt not in depth:
                    path.append(nxt)
                    on_path.add(nxt)
                    stack.append(iter(below(nxt)))

    # Parameter types -------------------------------------------------------------------------

    def read_type(self, el):
        """A type element read by its kind (a derived type from its base type's)."""
        if el.tag not in _TYPE_TAGS:
            raise _unsupported(el)
        if el.tag == "AggregateParameterType":
            return self.aggregate_type(el, ())
        if el.tag == "ArrayParameterType":
            return self.array_type(el, ())
        if "baseType" in el.attrib:
            return self.derived_type(el, self.type_named(self.ref(el, "baseType"), el))
        if el.tag.endswith("TimeParameterType"):
            return self.time_type(el, None)
        return self.parameter_type(el)

    def type_named(self, key, where, seen=()):
        """The parameter type of public name `key`, once `ref` has read it (`get_type` refuses
        a type made of itself)."""
        ptype = self.types[key]
        if isinstance(ptype, XtceError):
            raise ptype
        return ptype

    def parameter_type(self, el):
        name = self.attr(el, "name")
        kind = el.tag[:-len("ParameterType")].lower()
        encodings = {"string": {"StringDataEncoding"}, "binary": {"BinaryDataEncoding"},
                     "boolean": {"IntegerDataEncoding", "FloatDataEncoding",
                                 "StringDataEncoding"}}.get(
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
        units = tuple(u.text for c in el.children if c.tag == "UnitSet" for u in c.children
                      if u.tag == "Unit")
        labels = ranges = None
        if kind == "enumerated":
            labels, ranges = self.enumeration(el, found)
        bool_strings = (el.get("zeroStringValue", "False"), el.get("oneStringValue", "True"))
        pending = self.context_calibrators(enc_el) if encoding.kind in ("integer", "float") else ()
        if kind in ("enumerated", "boolean"):
            calibrator, pending = None, ()  # labels and truth values come from the raw value
        ptype = ParameterType(name, kind, encoding, calibrator=calibrator, labels=labels,
                              label_ranges=ranges or (), units=units, bool_strings=bool_strings,
                              line=el.line)
        ptype._context_els = pending
        return ptype

    def derived_type(self, el, base):
        """A type made from `base` with what its own element gives in place of base's parts."""
        if not isinstance(base, ParameterType) or (
                el.tag.endswith("TimeParameterType") != base.kind.endswith("_time")):
            raise _fail(el, f"a {el.tag} cannot be derived from {base.name!r}")
        if el.tag.endswith("TimeParameterType"):
            return self.time_type(el, base)
        ptype = copy.copy(base)
        ptype.name, ptype.line, ptype._table = el.get("name"), el.line, {}
        ptype.kind = el.tag[:-len("ParameterType")].lower()
        allowed = _ENCODINGS | ({"EnumerationList"} if ptype.kind == "enumerated" else set())
        found = self.kids(el, allowed, _TYPE_EXTRAS)
        enc_els = [c for c in found if c.tag.endswith("DataEncoding")]
        if len(enc_els) > 1:
            raise _fail(enc_els[1], "a type has one data encoding")
        if enc_els:
            ptype.encoding, ptype.calibrator = self.encoding(enc_els[0])
            ptype._context_els = self.context_calibrators(enc_els[0])
        if ptype.kind == "enumerated" and any(c.tag == "EnumerationList" for c in found):
            ptype.labels, ptype.label_ranges = self.enumeration(el, found)
        elif ptype.kind == "enumerated" and ptype.labels is None:
            raise _fail(el, "an enumerated type needs an EnumerationList")
        units = tuple(u.text for c in el.children if c.tag == "UnitSet" for u in c.children)
        ptype.units = units or base.units
        ptype.bool_strings = (el.get("zeroStringValue", base.bool_strings[0]),
                              el.get("oneStringValue", base.bool_strings[1]))
        if ptype.kind in ("enumerated", "boolean"):
            ptype.calibrator, ptype._context_els = None, ()
        return ptype

    def time_type(self, el, base):
        """An absolute or relative time: its encoding's raw value, derived as `offset + scale *
        raw` (in its units) when the Encoding scales it, as its calibrator says otherwise."""
        kind = "absolute_time" if el.tag.startswith("Absolute") else "relative_time"
        found = self.kids(el, {"Encoding", "ReferenceTime"}, _TYPE_EXTRAS)
        enc = next((c for c in found if c.tag == "Encoding"), None)
        ref = next((c for c in found if c.tag == "ReferenceTime"), None)
        if base is not None:
            ptype = copy.copy(base)
            ptype.name, ptype.line, ptype.kind = el.get("name"), el.line, kind
        elif enc is None:
            raise _fail(el, "the type has no data encoding, so it cannot sit in a packet")
        else:
            ptype = ParameterType(el.get("name"), kind, None, line=el.line)
            ptype.time = {"epoch": None, "offset_from": None, "units": "seconds"}
        ptype.time = dict(ptype.time)
        if enc is not None:
            inner = self.one(enc, {"IntegerDataEncoding", "FloatDataEncoding"})
            ptype.encoding, ptype.calibrator = self.encoding(inner)
            ptype._context_els = self.context_calibrators(inner)
            if "scale" in enc.attrib or "offset" in enc.attrib:
                # The scale and offset replace the encoding's calibrator.
                terms = []
                if "offset" in enc.attrib:
                    terms.append((self.attr(enc, "offset", convert=float), 0))
                terms.append((self.attr(enc, "scale", 1.0, float), 1))
                ptype.calibrator, ptype._context_els = tuple(terms), ()
            ptype.time["units"] = enc.get("units", "seconds")
        if ref is not None:
            part = self.one(ref, {"Epoch", "OffsetFrom"})
            if part.tag == "Epoch":
                ptype.time["epoch"] = (part.text or "").strip()
                _epoch(part, ptype.time["epoch"])
            else:
                ptype.time["offset_from"] = self.ref(part, "parameterRef")
        return ptype

    def aggregate_type(self, el, seen):
        members = []
        for lst in self.kids(el, {"MemberList"}, _TYPE_EXTRAS):
            for m in self.kids(lst, {"Member"}):
                name = self.attr(m, "name")
                if any(name == n for n, _ in members):
                    raise _fail(m, f"the aggregate has two members named {name!r}")
                members.append((name, self.type_named(self.ref(m, "typeRef"), m, seen)))
        if not members:
            raise _fail(el, "an aggregate needs members")
        return AggregateType(el.get("name"), members, el.line)

    def array_type(self, el, seen):
        element = self.type_named(self.ref(el, "arrayTypeRef"), el, seen)
        lists = self.kids(el, {"DimensionList"}, _TYPE_EXTRAS)
        if not lists:
            raise _fail(el, "arrays whose dimensions the container gives are not supported")
        dims = []
        for d in self.kids(lists[0], {"Dimension"}):
            ends = []
            for tag in ("StartingIndex", "EndingIndex"):
                end = self.one(d, {tag}, _DESCRIPTIVE | {"StartingIndex", "EndingIndex"})
                ends.append(self.size_value(end))
            (start, start_dyn), (stop, stop_dyn) = ends
            dims.append(_dimension(d, start if start_dyn is None else start_dyn,
                                   stop if stop_dyn is None else stop_dyn, _fail, "parameter"))
        if not dims:
            raise _fail(el, "an array needs a dimension")
        return ArrayType(el.get("name"), element, tuple(dims), el.line)

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
        """True when the field's first bit is its value's least significant one."""
        order = el.get("bitOrder", "mostSignificantBitFirst")
        if order == "leastSignificantBitFirst" and el.tag in ("IntegerDataEncoding",
                                                              "FloatDataEncoding"):
            return True
        if order != "mostSignificantBitFirst":
            raise _fail(el, f"bitOrder={order!r} is not supported" + (
                " for text and binary fields" if order == "leastSignificantBitFirst" else ""))
        return False

    def byte_order(self, el):
        order = el.get("byteOrder", "mostSignificantByteFirst")
        if order not in _BYTE_ORDERS:
            raise _fail(el, f"byteOrder={order!r} is not supported")
        return _BYTE_ORDERS[order]

    def encoding(self, el):
        reverse = self.check_bit_order(el)
        if el.tag in ("IntegerDataEncoding", "FloatDataEncoding"):
            enc, cal = (self.integer_encoding if el.tag == "IntegerDataEncoding"
                        else self.float_encoding)(el)
            enc.reverse_bits = reverse
            return enc, cal
        if el.tag == "StringDataEncoding":
            return self.string_encoding(el), None
        return self.binary_encoding(el), None

    def calibrator(self, el):
        cal = self.one(el, {"DefaultCalibrator"}, required=False,
                       ignored=_DESCRIPTIVE | {"ContextCalibratorList"})
        if cal is None:
            return None
        return self.any_calibrator(cal)

    def any_calibrator(self, holder):
        """The one calibrator inside `holder` (a DefaultCalibrator or a context's Calibrator)."""
        cal = self.one(holder, {"PolynomialCalibrator", "SplineCalibrator",
                                "MathOperationCalibrator"})
        if cal.tag == "SplineCalibrator":
            return self.spline(cal)
        if cal.tag == "MathOperationCalibrator":
            return self.math_operation(cal)
        return self.polynomial(cal)

    def spline(self, el):
        order = self.attr(el, "order", 0, int)
        if order not in (0, 1):
            raise _fail(el, f"splines of order {order} are not supported (0 and 1)")
        points = [(self.attr(p, "raw", convert=float), self.attr(p, "calibrated", convert=float))
                  for p in self.kids(el, {"SplinePoint"})]
        if len(points) < order + 1 or len({x for x, _ in points}) < len(points):
            raise _fail(el, f"a spline of order {order} needs {order + 1} or more points, "
                            "each at its own raw value")
        return Spline(order, points, _boolean(el, el.get("extrapolate", "false")))

    def math_operation(self, el):
        tokens = []
        for c in self.kids(el, {"ValueOperand", "ThisParameterOperand", "Operator",
                                "ParameterInstanceRefOperand"}):
            if c.tag == "ValueOperand":
                try:
                    tokens.append(("value", float(c.text)))
                except (TypeError, ValueError):
                    raise _fail(c, f"{c.text!r} is not a number") from None
            elif c.tag == "ThisParameterOperand":
                tokens.append(("this", None))
            elif c.tag == "ParameterInstanceRefOperand":
                tokens.append(("param", self.instance_ref(c)))
            else:
                text = (c.text or "").strip()
                if text not in _MATH_OPS:
                    raise _fail(c, f"math operator {text!r} is not supported")
                tokens.append(("op", text))
        return MathOperation(tokens)

    def context_calibrators(self, enc_el):
        """The (ContextMatch element, calibrator) pairs of an encoding's ContextCalibratorList;
        their conditions are read once every parameter is known (`contexts`)."""
        out = []
        for lst in self.kids(enc_el, {"ContextCalibratorList"},
                             _DESCRIPTIVE | {"DefaultCalibrator"}):
            for ctx in self.kids(lst, {"ContextCalibrator"}):
                match = self.one(ctx, {"ContextMatch"}, _DESCRIPTIVE | {"Calibrator"})
                cal = self.one(ctx, {"Calibrator"}, _DESCRIPTIVE | {"ContextMatch"})
                out.append((match, self.any_calibrator(cal)))
        return out

    def context_of(self, ptype):
        """Read a type's context calibrators' conditions, once the type itself is known (a
        condition may name a parameter of this type)."""
        pending = getattr(ptype, "_context_els", None)
        if pending:
            ptype.contexts = tuple(
                (self.criteria(self.one(m, {"Comparison", "ComparisonList",
                                            "BooleanExpression"})), cal)
                for m, cal in pending)

    def polynomial(self, poly):
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
        # A field of 0 bits holds only 0 where the encoding can hold it at all (some
        # generators write such types for fields they leave out).
        limits = {"bcd": (8, 8), "packed_bcd": (4, 4), "sign_magnitude": (2, 1)}
        least, step = limits.get(codec, (0, 1))
        if not least <= bits <= 64 or bits % step:
            raise _fail(el, f"a {name} integer of {bits} bits is not supported "
                            f"(from {least} to 64 bits{f', in steps of {step}' if step > 1 else ''})")
        self.kids(el, {"DefaultCalibrator", "ContextCalibratorList"})
        return (Encoding("integer", codec, bits, self.byte_order(el)), self.calibrator(el))

    def float_encoding(self, el):
        name = el.get("encoding", "IEEE754_1985")
        if name in _OTHER_FLOATS:
            raise _fail(el, f"{_OTHER_FLOATS[name]} floats are not supported")
        if name not in ("IEEE754_1985", "IEEE754", "IEEE-754"):  # the dashed one as generators write it
            raise _fail(el, f"float encoding {name!r} is not supported")
        bits = self.attr(el, "sizeInBits", 32, int)
        if bits not in _FLOAT_SIZES:
            raise _fail(el, f"IEEE 754 floats of {bits} bits are not supported (16, 32, 64, 128)")
        self.kids(el, {"DefaultCalibrator", "ContextCalibratorList"})
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
                if p.tag == "DynamicValue" and not _yamcs_ignored(p, parts):
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
        # Some documents hold the size in a Fixed element, as a string's is; Yamcs reads it.
        size = next((c for c in size.children if c.tag == "Fixed"), size)
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

    # Parameters and containers ---------------------------------------------------------------

    def parameter(self, el, key):
        if key in ROW_COLUMNS:
            raise _fail(el, f"the name {key!r} is reserved for the tables' row columns")
        self.kids(el, {"ParameterProperties"})
        ptype = self.types[self.ref(el, "parameterTypeRef")]
        short = el.get("shortDescription") or _text(el, "ShortDescription")
        param = Parameter(key, ptype, short, el.line)
        param.long_description = _text(el, "LongDescription")
        self.members(key, ptype, el)
        return param
    def members(self, name, ptype, el):
        """An aggregate's members as parameters of their own, named `name.member`."""
        for member, mtype in getattr(ptype, "members", ()):
            full = f"{name}.{member}"
            if full in self.parameters:
                raise _fail(el, f"the member {full!r} has the name of a parameter")
            self.parameters[full] = Parameter(full, mtype, None, el.line)
            self.members(full, mtype, el)

    def container(self, el):
        name = self.key_of(el)
        abstract = _boolean(el, el.get("abstract", "false"))
        base = restriction = None
        found = self.kids(el, {"EntryList", "BaseContainer"},
                          _DESCRIPTIVE | {"DefaultRateInStream", "RateInStreamSet"})
        entry_list = None
        for c in found:
            if c.tag == "BaseContainer":
                base = self.ref(c, "containerRef")
                crit = self.one(c, {"RestrictionCriteria"}, required=False)
                if crit is not None:
                    restriction = self.criteria(self.one(crit, {
                        "Comparison", "ComparisonList", "BooleanExpression"}))
            else:
                entry_list = c
        if entry_list is None:
            raise _fail(el, "a container needs an EntryList")
        entries, repeats = [], {}
        for e in self.kids(entry_list, {"ParameterRefEntry", "ContainerRefEntry"}):
            kind = "parameter" if e.tag == "ParameterRefEntry" else "container"
            ref = self.ref(e, "parameterRef" if kind == "parameter" else "containerRef")
            cond, skip = None, 0
            for c in self.kids(e, {"IncludeCondition", "LocationInContainerInBits",
                                   "RepeatEntry"}):
                if c.tag == "IncludeCondition":
                    cond = self.criteria(self.one(c, {"Comparison", "ComparisonList",
                                                      "BooleanExpression"}))
                elif c.tag == "RepeatEntry":
                    if kind == "container":
                        raise _fail(c, "repeated containers are not supported")
                    repeats[id(e)] = self.repeat(c, ref)[1]
                else:
                    skip = self.location(c)
            entries.append((kind, ref, cond, skip, e))
        container = Container(name, abstract, base, restriction,
                              tuple((k, r, c) for k, r, c, _, _ in entries), el.line)
        container._entries = entries
        container._repeats = repeats  # id(entry element) -> ArrayType
        container._element = el
        return container

    def location(self, el):
        """Where an entry starts: bits after the previous entry (a number), or a `Start`."""
        where = el.get("referenceLocation", "previousEntry")
        bits, dyn = self.size_value(el)
        if dyn is not None:
            raise _fail(el, "a location from another parameter's value is not supported")
        if where == "previousEntry":
            return bits
        if where == "containerStart":
            return Start(bits)
        raise _fail(el, f"locations relative to the {where} are not supported")

    def repeat(self, el, ref):
        """A repeated parameter entry: (`ref`, the array of its count that it decodes as)."""
        count = self.one(el, {"Count"}, _DESCRIPTIVE | {"Offset"})
        if any(c.tag == "Offset" for c in el.children):
            raise _fail(el, "repeated entries with gaps between them are not supported")
        size, dyn = self.size_value(count)
        ptype = self.parameters[ref].type
        if isinstance(ptype, (AggregateType, ArrayType)):
            raise _fail(el, "repeated aggregates and arrays are not supported")
        dims = (size,) if dyn is None else (dyn,)
        return ref, ArrayType(ptype.name, ptype, dims, el.line)

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


# Named epochs, as instants on one time line without leap seconds.
EPOCHS = {"TAI": "1958-01-01T00:00:00", "J2000": "2000-01-01T11:58:55.816",
          "UNIX": "1970-01-01T00:00:00", "POSIX": "1970-01-01T00:00:00",
          "GPS": "1980-01-06T00:00:00"}


def _epoch(el, text):
    """The epoch of a ReferenceTime as a datetime64[ns]."""
    import numpy as np

    try:
        return np.datetime64(EPOCHS.get(text, text.rstrip("Z")), "ns")
    except ValueError:
        raise _fail(el, f"{text!r} is not an epoch (TAI, J2000, UNIX, POSIX, GPS or a date and "
                        "time)") from None


def _value_kind(ptype, calibrated):
    """What a parameter's values are in a comparison: "text" or "number" (truth values and
    integers compare with numbers)."""
    if ptype.encoding.kind == "string" or (calibrated and ptype.kind == "enumerated"):
        return "text"
    return "number"


def _number(text):
    try:
        return int(text, 0) if text.strip()[:2].lower() in ("0x", "0b", "0o") else int(text)
    except ValueError:
        return float(text)


def _yamcs_ignored(dynamic, parts):
    """Yamcs writes a DynamicValue of its sink parameter "_yamcs_ignore" where the schema
    wants one but a size tag or terminator ends the string: it sizes nothing."""
    refs = [c.get("parameterRef") for c in dynamic.children if c.tag == "ParameterInstanceRef"]
    return refs == ["_yamcs_ignore"] and any(
        p.tag in ("LeadingSize", "TerminationChar") for p in parts)


def _text(el, tag):
    """The text of `el`'s first child `tag`, or None."""
    for c in el.children:
        if c.tag == tag:
            return c.text
    return None


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

"""Reading an XTCE document's XML: expat with document type declarations refused (so no
entity is ever expanded), into a small element tree that keeps each element's namespace and
line, for errors that name the element and its line."""
from xml.parsers import expat

# The OMG's namespace names of XTCE 1.1 and 1.2, as documents declare them.
XTCE_1_1 = "http://www.omg.org/space/xtce"
XTCE_1_2 = "http://www.omg.org/spec/XTCE/20180204"
NAMESPACES = {XTCE_1_1: "1.1", XTCE_1_2: "1.2"}


def _version(ns):
    """The XTCE version a namespace name stands for ("1.1", "1.2"), None for no namespace, or
    False for a namespace that is not XTCE's. Generators also write the schema's URL
    (".../20180204/SpaceSystem.xsd") and https, which name the same namespace."""
    if not ns:
        return None
    bare = ns.strip().rstrip("/")
    if bare.endswith(".xsd"):
        bare = bare.rpartition("/")[0]
    if bare.startswith("https://"):
        bare = "http://" + bare[len("https://"):]
    return NAMESPACES.get(bare, False)


class XtceError(ValueError):
    """A document that cannot be read as XTCE, or holds something this module does not support.

    `element` is the XML element's local name and `line` its line in the document, when the
    problem has a place.
    """

    def __init__(self, message, element=None, line=None):
        super().__init__(message)
        self.element = element
        self.line = line


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
            try:
                f = open(source, "rb")
            except OSError as e:
                raise XtceError(f"cannot read the document: {e}") from None
            with f:
                parser.ParseFile(f)
    except expat.ExpatError as e:
        raise XtceError(f"line {e.lineno}: not well-formed XML ({expat.ErrorString(e.code)})",
                        None, e.lineno) from None
    return roots[0]

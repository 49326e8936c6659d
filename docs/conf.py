"""Sphinx configuration: the pages' examples run with the doctest builder, and the API
reference is read from the package's type stubs (their docstrings and signatures)."""
import ast
import os

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

project = "bitweave"
author = "The bitweave developers"
extensions = ["sphinx.ext.doctest"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
default_role = "code"
doctest_global_setup = f"""
import os, struct, tempfile
import bitweave
REALDATA = {os.path.join(ROOT, "..", "shared", "realdata")!r}
if os.path.isdir(REALDATA):  # the detail pages name the real mission files by their names
    _here = tempfile.mkdtemp()
    for _d in ("jpss", "idex"):
        for _f in os.listdir(os.path.join(REALDATA, _d)):
            if not os.path.exists(os.path.join(_here, _f)):
                os.symlink(os.path.join(REALDATA, _d, _f), os.path.join(_here, _f))
    os.chdir(_here)
HK_XML = {os.path.join(HERE, "hk.xml")!r}
# three housekeeping packets of APID 42, battery raw counts 28000, 28001, 28002
PACKETS = b"".join(struct.pack(">HHHH", 0x0800 | 42, 0xC000 | i, 1, 28000 + i) for i in range(3))
"""


class Stubs(SphinxDirective):
    """`.. stubs:: path/to/module.pyi module.name`: each public class and function of the stub
    file, with its signature and its docstring as literal text."""

    required_arguments = 2

    def run(self):
        path, module = self.arguments
        tree = ast.parse(open(os.path.join(ROOT, path), encoding="utf-8").read())
        lines = [f".. py:module:: {module}", ""]
        doc = ast.get_docstring(tree)
        if doc:
            lines += ["::", ""] + ["   " + line for line in doc.splitlines()] + [""]
        seen = set()
        for node in tree.body:
            self.emit(node, lines, "", seen)
        box = nodes.section()
        self.state.nested_parse(StringList(lines), self.content_offset, box)
        return box.children

    def emit(self, node, lines, indent, seen):
        if (isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")
                and node.name not in seen):  # overloads: the first signature
            seen.add(node.name)
            if isinstance(node, ast.ClassDef):
                lines += [f"{indent}.. py:class:: {node.name}", ""]
            else:
                args = ast.unparse(node.args).replace("\n", " ")
                ret = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
                kind = "method" if indent else "function"
                lines += [f"{indent}.. py:{kind}:: {node.name}({args}){ret}", ""]
            doc = ast.get_docstring(node)
            if doc:
                lines += [f"{indent}   ::", ""]
                lines += [f"{indent}      {line}" for line in doc.splitlines()] + [""]
            if isinstance(node, ast.ClassDef):
                members = set()
                for child in node.body:
                    self.emit(child, lines, indent + "   ", members)


def setup(app):
    app.add_directive("stubs", Stubs)

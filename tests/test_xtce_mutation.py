"""Real XTCE documents, mutated at random, either load or raise XtceError, in bounded time; a
document that loads decodes any bytes without raising anything but XtceError.

The documents come from ../shared/corpus (skipped without it). BITWEAVE_MUTATIONS sets how
many mutations to try (default 2000)."""
import copy
import io
import os
import random
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from bitweave_columns import xtce

CORPUS = Path(os.environ.get("BITWEAVE_CORPUS",
                             Path(__file__).resolve().parents[2] / "shared" / "corpus"))
DOCUMENTS = [
    "space_packet_parser/test_xtce.xml",
    "space_packet_parser/test_xtce_no_namespace.xml",
    "space_packet_parser/jpss/contrived_inheritance_structure.xml",
    "imap/defs/swe/swe_packet_definition.xml",
    "imap-2025/defs/ialirt/ialirt_mag.xml",
    "imap-2025/defs/codice/P_COD_NHK.xml",
    "imap/defs/glows/GLX_COMBINED.xml",
]
GARBAGE = ["", "-1", "0", "1e400", "nan", "-inf", "18446744073709551616", "9" * 40, "0x1F",
           "abc", "../x", "/", "//", "a/b/../../..", "true", "  ", "\u00e9\u2603", "-0",
           "1.5", "LSB", "leastSignificantBitFirst", "UTF-16", "IEEE754_1985", "signed",
           "twosComplement", "64", "65", "1000000000"]


def _mutate(root, rng):
    """One random change to the tree: delete, duplicate or move an element, or garble an
    attribute or a text."""
    nodes = list(root.iter())
    parents = {child: parent for parent in nodes for child in parent}
    node = rng.choice(nodes[1:]) if len(nodes) > 1 else root
    parent = parents.get(node)
    what = rng.randrange(5)
    if what == 0 and parent is not None:
        parent.remove(node)
    elif what == 1 and parent is not None:
        parent.insert(rng.randrange(len(parent) + 1), copy.deepcopy(node))
    elif what == 2 and parent is not None:
        target = rng.choice(nodes)
        if target is not node and node not in list(target.iter()):
            parent.remove(node)
            target.insert(rng.randrange(len(target) + 1), node)
    elif what == 3 and node.attrib:
        key = rng.choice(sorted(node.attrib))
        node.attrib[key] = rng.choice(GARBAGE + list(node.attrib.values()))
    else:
        node.text = rng.choice(GARBAGE)


def _packets(rng):
    """Bytes shaped like a stream of space packets, with random payloads."""
    out = bytearray()
    for _ in range(rng.randrange(1, 6)):
        size = rng.choice([0, 1, 7, 20, 100, 400])
        out += bytes([rng.randrange(256), rng.randrange(256), 0xC0, rng.randrange(256),
                      size >> 8, size & 0xFF])
        out += bytes(rng.randrange(256) for _ in range(size + 1))
    return bytes(out[: len(out) - rng.choice([0, 0, 0, 3])])


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"no real data at {CORPUS}")
@pytest.mark.filterwarnings("ignore:.*left out of the tables:UserWarning")  # random packets
def test_mutated_documents_load_or_refuse():
    rng = random.Random(20261209)
    count = int(os.environ.get("BITWEAVE_MUTATIONS", "2000"))
    trees = [ET.parse(CORPUS / d) for d in DOCUMENTS]
    for i in range(count):
        tree = copy.deepcopy(rng.choice(trees))
        for _ in range(rng.randrange(1, 4)):
            _mutate(tree.getroot(), rng)
        text = ET.tostring(tree.getroot(), encoding="utf-8")
        if rng.random() < 0.1:
            text = text[: rng.randrange(len(text))]  # a cut-off document
        started = time.perf_counter()
        try:
            definition = xtce.load(io.BytesIO(text))
        except xtce.XtceError:
            continue
        finally:
            assert time.perf_counter() - started < 5, f"mutation {i}: load took too long"
        for derived in (False, True):
            try:
                definition.decode(_packets(rng), derived=derived)
            except xtce.XtceError:
                pass
        assert time.perf_counter() - started < 10, f"mutation {i}: decode took too long"

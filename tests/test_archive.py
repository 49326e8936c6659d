"""examples/archive_dask.py: an archive decoded in Dask worker processes comes out identical
to the one decoded in-process; and the module's functions pickle by reference, which is
what lets them travel to worker processes at all."""
import copy
import os
import pickle
import re
from array import array
from pathlib import Path

import pytest

import bitweave

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture
def ex(monkeypatch):
    # On sys.path, not loaded from a file location: spawned workers import it by name.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import archive_dask

    return archive_dask


@pytest.fixture
def dask(monkeypatch):
    dask = pytest.importorskip("dask")
    # Dask's process scheduler sets PYTHONHASHSEED for its workers; undo that afterwards.
    monkeypatch.setitem(os.environ, "PYTHONHASHSEED", os.environ.get("PYTHONHASHSEED", "0"))
    return dask


@pytest.fixture
def archive(ex, tmp_path):
    return ex.make_archive(tmp_path / "archive.bin", 3001)


@pytest.mark.parametrize("name", bitweave.__all__)
def test_functions_pickle_by_reference(name):
    func = getattr(bitweave, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    try:
        import cloudpickle
    except ImportError:
        return
    assert cloudpickle.loads(cloudpickle.dumps(func)) is func


@pytest.mark.parametrize("chunk_packets", [1000, 3001, 5000, 7])
def test_chunked_decode_matches_whole(ex, archive, chunk_packets, monkeypatch):
    # Blocks of 64 packets inside a chunk, so that chunk and block edges both fall mid-way.
    monkeypatch.setattr(ex, "BLOCK_PACKETS", 64)
    whole = ex.decode_serial(archive)
    samples = ex.sample_indices(3001)
    parts = [ex.decode_chunk(archive, first, count, samples)
             for first, count in ex.chunk_ranges(3001, chunk_packets)]
    assert ex.first_difference(whole, ex.merge(parts)) is None
    assert ex.check_against_packed(whole) is None
    assert len(whole["columns"]["apid"]) == 3001
    assert sorted(whole["samples"]) == samples


def test_parallel_decode_matches_serial(ex, archive, dask):
    serial = ex.decode_serial(archive)
    # 5 chunks, the last one short, on 2 worker processes.
    parallel = ex.decode_parallel(archive, workers=2, chunk_packets=700)
    assert ex.first_difference(serial, parallel) is None
    assert ex.check_against_packed(parallel) is None


def test_main_runs(ex, tmp_path, capsys, dask):
    path = tmp_path / "kept.bin"
    argv = ["--packets", "1200", "--workers", "2", "--chunk-packets", "500", "--archive", str(path)]
    assert ex.main(argv) == 0
    out = capsys.readouterr().out
    assert "parallel == serial" in out and "speed-up" in out
    assert path.stat().st_size == 1200 * ex.PACKET_BYTES


def _set(result, name, i, value):
    result["columns"][name][i] = value


def _sample(result, key, value):
    i = max(result["samples"])
    result["samples"][i] = dict(result["samples"][i], **{key: value})


@pytest.mark.parametrize("change, message", [
    (lambda r: _set(r, "sequence_count", 2999, 1), "packet 2999, sequence_count"),
    (lambda r: _set(r, "panel_temp", 320, -0.0), "packet 320, panel_temp"),  # 0.0 in the archive
    (lambda r: _set(r, "status", 0, "OFF"), "packet 0, status"),
    (lambda r: r["columns"]["mode"].pop(), r"mode: 300[01] values != 300[01]"),
    (lambda r: r["columns"].__setitem__("mode", array("q", r["columns"]["mode"])), "mode: column"),
    (lambda r: _sample(r, "mode", 2.0), "packet 3000:"),
    (lambda r: _sample(r, "heater_on", True), "packet 3000:"),
    (lambda r: r["samples"].pop(0), "sampled packets differ"),
])
def test_first_difference_finds_any_change(ex, archive, change, message):
    good = ex.decode_serial(archive)
    bad = copy.deepcopy(good)
    change(bad)
    assert re.search(message, ex.first_difference(good, bad))
    assert re.search(message, ex.first_difference(bad, good))


def test_check_against_packed_finds_wrong_values(ex, archive):
    result = ex.decode_serial(archive)
    i = sorted(result["samples"])[8]  # only sampled packets are checked
    result["columns"]["apid"][i] ^= 1
    assert f"packet {i}: columns hold" in ex.check_against_packed(result)
    result["samples"][i]["apid"] ^= 1
    assert f"packet {i}: decoded" in ex.check_against_packed(result)


def test_partial_packet_is_refused(ex, archive):
    with open(archive, "ab") as f:
        f.write(b"\0" * (ex.PACKET_BYTES - 1))
    with pytest.raises(ValueError, match="not a whole number"):
        ex.decode_serial(archive)


def test_empty_archive(ex, tmp_path):
    path = ex.make_archive(tmp_path / "empty.bin", 0)
    result = ex.decode_serial(path)
    assert result["samples"] == {} and all(len(c) == 0 for c in result["columns"].values())
    assert ex.first_difference(result, ex.merge([])) is None

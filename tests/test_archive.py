"""examples/archive_dask.py: a mixed archive decoded on a cluster of worker processes comes out
identical to the one decoded in this process, holding the values written; and the module's
functions pickle by reference, which is what lets them travel to worker processes at all.
examples/live_tcp.py: the JPSS file sent over loopback in random chunks, as packets and as
TM frames, decodes as it arrives to what one decode of the file gives."""
import pickle
from pathlib import Path

import pytest

import bitweave

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture
def ex(monkeypatch):
    # On sys.path, not loaded from a file location: worker processes import it by name.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import archive_dask

    return archive_dask


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


def test_main_decodes_on_a_cluster_as_alone(ex, tmp_path, capsys):
    pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    png = tmp_path / "hk.png"
    argv = ["--packets", "3001", "--files", "3", "--workers", "2", "--partition-packets", "400",
            "--plot", str(png), "--archive", str(tmp_path / "archive")]
    assert ex.main(argv) == 0
    out = capsys.readouterr().out
    assert "cluster == this process alone, every value as written" in out
    assert "'0x2a5': 376, '0x101': 1125, '0x3c0': 1500" in out
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert png.read_bytes().startswith(b"\x89PNG")


def test_checks_find_a_changed_value(ex, tmp_path):
    pytest.importorskip("dask.dataframe")
    paths, written = ex.make_archive(tmp_path, 200, 2)
    frames = ex.make_frames(paths, 64)
    result = {apid: f.compute(scheduler="sync") for apid, f in frames.items()}
    assert ex.check_written(result, written) is None
    other = {apid: f.copy() for apid, f in result.items()}
    assert ex.first_difference(result, other) is None
    sci, hk = other[ex.SCI], other[ex.HK]
    sci.loc[sci.index[sci["format"] == 1][0], "band_2"] = None  # a value gone missing
    assert ex.first_difference(result, other) == "APID 0x3c0, band_2: columns differ"
    hk.loc[hk.index[3], "battery_voltage_raw"] -= 1
    assert ex.check_written(other, written) == ("hk, battery_voltage_raw: decoded values "
                                                "differ from the written ones")


@pytest.mark.parametrize("frames", [[], ["--frames", "1115"]])
def test_live_tcp_receives_what_the_file_decodes_to(frames, monkeypatch, capsys):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import live_tcp

    if not live_tcp.JPSS.is_dir():
        pytest.skip(f"no real data at {live_tcp.JPSS}")
    assert live_tcp.main(["--rate", "400000", "--timeout", "30", *frames]) == 0
    out = capsys.readouterr().out
    assert "7200 packets, 0 gaps, 0 bytes of tail: identical to" in out

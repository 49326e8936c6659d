"""The bitweave command as a user runs it, in a subprocess on real data: each verb, and a
mistake each (exit status 1, one line naming it, no traceback)."""
import os
import subprocess
import sys

import pytest

import bitweave_columns
from bitweave_columns import xtce

HERE = os.path.dirname(os.path.abspath(__file__))
REAL = os.path.join(HERE, "..", "..", "shared", "realdata")
JPSS_DOC = os.path.join(REAL, "jpss", "jpss1_geolocation_xtce_v1.xml")
JPSS = os.path.join(REAL, "jpss", "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1")
IDEX_DOC = os.path.join(REAL, "idex", "idex_combined_science_definition.xml")
IDEX = os.path.join(REAL, "idex", "sciData_2023_052_14_45_05")


@pytest.fixture(autouse=True)
def real_data():
    if not os.path.isdir(REAL):
        pytest.skip(f"no real data at {REAL}")


def run(*args, ok=True):
    p = subprocess.run([sys.executable, "-m", "bitweave_columns", *args], capture_output=True,
                       text=True, timeout=120)
    assert "Traceback" not in p.stderr
    assert p.returncode == (0 if ok else 1), p.stderr
    if not ok:
        assert len(p.stderr.strip().splitlines()) == 1, p.stderr
    return p.stdout if ok else p.stderr


def test_describe_and_index():
    out = run("describe", IDEX_DOC)
    assert "Sci0TypeZero (concrete, based on IDX_SCI0): 304 bytes, 107 parameters" in out
    assert "no such file" in run("describe", "missing.xml", ok=False)
    out = run("index", JPSS)
    assert "7200 packets, tail 0 bytes" in out and "11          7200" in out
    assert "invalid int value: 'x'" in run("index", JPSS, "--skip-header-bytes", "x", ok=False)


def test_decode_each_format(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    pd = pytest.importorskip("pandas")
    want = xtce.load(IDEX_DOC).decode(IDEX, derived=True)
    out = run("decode", IDEX_DOC, IDEX, "-o", str(tmp_path / "x.parquet"), "--derived")
    assert "Sci0TypeNonZero: 72 packets" in out
    back = pq.read_table(tmp_path / "x.parquet" / "Sci0TypeNonZero.parquet")
    assert back.column("SHCOARSE").to_pylist() == want["Sci0TypeNonZero"]["SHCOARSE"].tolist()
    run("decode", JPSS_DOC, JPSS, "-o", str(tmp_path / "j.csv"), "--container", "JPSS_ATT_EPHEM")
    assert len(pd.read_csv(tmp_path / "j.csv")) == 7200
    pytest.importorskip("netCDF4")
    xr = pytest.importorskip("xarray")
    run("decode", IDEX_DOC, IDEX, "-o", str(tmp_path / "x.nc"))
    with xr.open_dataset(tmp_path / "x.nc", group="Sci0TypeZero") as ds:
        assert ds.sizes["packet"] == 6


@pytest.mark.parametrize("args, message", [
    (["nofile.bin", "-o", "x.csv"], "nofile.bin: no such file"),
    ([JPSS, "-o", "x.csv", "--container", "NOPE"], "--container NOPE: not a container"),
    ([JPSS, "-o", "x.txt"], "suffix must be .parquet"),
])
def test_decode_mistakes(args, message):
    assert message in run("decode", JPSS_DOC, *args, ok=False)


@pytest.mark.skipif(not hasattr(xtce.Definition, "encode_command"), reason="no command encoding")
def test_encode_mistake():
    assert "arguments are name=value" in run("encode", JPSS_DOC, "X", "novalue", ok=False)


@pytest.mark.skipif(not hasattr(bitweave_columns, "StreamDecoder"), reason="no stream decoder")
def test_follow_mistake():
    assert "give HOST:PORT" in run("follow", JPSS_DOC, "--tcp", "nohost", ok=False)


def test_missing_verbs_say_so():
    if not hasattr(xtce.Definition, "encode_command"):
        assert "cannot encode commands" in run("encode", JPSS_DOC, "X", "a=1", ok=False)
    if not hasattr(bitweave_columns, "StreamDecoder"):
        assert "cannot decode live" in run("follow", JPSS_DOC, "--tcp", "127.0.0.1:9", ok=False)

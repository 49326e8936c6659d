"""Decoded tables as xarray, pandas and Parquet: against space_packet_parser's create_dataset on
the real corpus, and Parquet read back with pyarrow and pandas alone."""
import glob
import importlib.util
import os
import warnings

import numpy as np
import pytest

from bitweave_columns import xtce

xr = pytest.importorskip("xarray")
pd = pytest.importorskip("pandas")
pq = pytest.importorskip("pyarrow.parquet")

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "..", "shared", "corpus")
REAL = os.path.join(HERE, "..", "..", "shared", "realdata")
MAX_BYTES = 2_000_000  # keep the oracle's packet-by-packet parse short


def corpus_pairs():
    if not os.path.isdir(CORPUS):
        return []
    found = importlib.util.spec_from_file_location("corpus_compare", os.path.join(CORPUS, "compare.py"))
    try:
        compare = importlib.util.module_from_spec(found)
        found.loader.exec_module(compare)
    except ImportError:
        return []
    out = []
    for p in compare.PAIRS:
        files = [f for pat in p["data"] for f in sorted(glob.glob(os.path.join(CORPUS, pat)))]
        if files and p["convert"] is None and not p["skip"] and os.path.getsize(files[0]) < MAX_BYTES:
            out.append(pytest.param(os.path.join(CORPUS, p["doc"]), files[0], p["root"], id=p["doc"]))
    return out


@pytest.mark.parametrize("doc, data, root", corpus_pairs())
def test_xarray_matches_create_dataset(doc, data, root):
    spp_xarr = pytest.importorskip("space_packet_parser.xarr")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = spp_xarr.create_dataset(data, doc, use_raw_values=True)
            ours = xtce.load(doc, root=root).decode(data).to_xarray()
    except Exception as e:  # only pairs both decode are compared
        pytest.skip(f"not decoded by both: {type(e).__name__}")
    compared = 0
    for ds in theirs.values():
        names = set(ds.data_vars)
        match = [o for o in ours.values() if names <= set(o.data_vars) and o.sizes["packet"] == ds.sizes["packet"]]
        if not match:
            continue
        o = match[0]
        for name in names:
            a, b = o[name].values, ds[name].values
            if a.dtype == object or b.dtype == object or a.dtype.kind in "SU" or b.dtype.kind in "SU":
                # numpy's fixed-width bytes (theirs) drop trailing NULs
                assert [bytes(x).rstrip(b"\0") if isinstance(x, bytes) else x for x in a.tolist()] == \
                       [bytes(x).rstrip(b"\0") if isinstance(x, bytes) else x for x in b.tolist()], name
            else:
                np.testing.assert_array_equal(a, b, err_msg=name)
            compared += 1
        assert o["packet_index"].dims == ("packet",)
    if not compared:
        pytest.skip("no packet type with the same variables on both sides")


def real(doc, data):
    if not os.path.isdir(REAL):
        pytest.skip(f"no real data at {REAL}")
    return xtce.load(os.path.join(REAL, doc)).decode(os.path.join(REAL, data), derived=True)


@pytest.mark.parametrize("doc, data", [
    ("jpss/jpss1_geolocation_xtce_v1.xml", "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
    ("idex/idex_combined_science_definition.xml", "idex/sciData_2023_052_14_45_05"),
])
def test_parquet_round_trip(tmp_path, doc, data):
    decoded = real(doc, data)
    paths = decoded.to_parquet(tmp_path / "out")
    frames = decoded.to_pandas()
    for name, table in decoded.items():
        back = pq.read_table(paths[name])
        for col, values in table.items():
            got = back.column(col).to_pylist()
            want = [bytes(v) if isinstance(v, bytes) else v for v in np.asarray(values).tolist()]
            assert got == want, (name, col)
        units = {k: v for k, v in __import__("json").loads(back.schema.metadata[b"units"]).items()}
        for col, unit in units.items():
            assert decoded.definition.parameters[col].units == tuple(unit.split(" "))
        frame = pd.read_parquet(paths[name]).set_index("packet_index")
        pd.testing.assert_frame_equal(frame, frames[name], check_dtype=False)
    x = decoded.to_xarray()
    name = next(iter(decoded))
    assert x[name].sizes["packet"] == len(decoded[name]["packet_index"])


def test_masked_values_stay_missing(tmp_path):
    table = {"A": np.ma.masked_array(np.array([1, 2, 3], np.uint16), mask=[False, True, False]),
             "packet_index": np.arange(3), "packet_offset": np.arange(3) * 10}
    decoded = xtce.Decoded({"T": table}, xtce.decode._skipped(()), xtce.decode._skipped(()), 3, 0)
    assert np.isnan(decoded.to_xarray()["T"]["A"].values[1])
    assert decoded.to_pandas()["T"]["A"].isna().tolist() == [False, True, False]
    back = pq.read_table(decoded.to_parquet(tmp_path)["T"])
    assert back.column("A").to_pylist() == [1, None, 3]


def test_dask_frames_write_parquet(tmp_path):
    dask_mod = pytest.importorskip("bitweave_columns.dask")
    if not os.path.isdir(REAL):
        pytest.skip(f"no real data at {REAL}")
    d = xtce.load(os.path.join(REAL, "jpss/jpss1_geolocation_xtce_v1.xml"))
    frames = dask_mod.read_packets(os.path.join(REAL, "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"), d)
    frame = frames["JPSS_ATT_EPHEM"]
    frame.to_parquet(str(tmp_path / "jpss"))
    back = pd.read_parquet(tmp_path / "jpss")
    assert len(back) == 7200
    assert back["DOY"].tolist() == frame["DOY"].compute().tolist()

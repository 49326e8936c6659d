"""Decoded tables as xarray datasets, pandas dataframes and Parquet files.

Each output is optional: xarray, pandas and pyarrow are the extras "xarray", "pandas" and
"parquet" of the distribution, and a missing one raises ImportError naming its extra. The
columns are not copied where the target can hold them as they are: a plain numpy column
becomes a variable, a dataframe column or an Arrow array over the same memory where the
library allows it.

Missing values (a parameter that an include condition leaves out of some packets) are a
masked array on our side: in xarray they become NaN (integers widen to float64, as xarray
has no missing integer) or None in object columns; in pandas and Parquet they stay missing
in a nullable column of the parameter's own type.
"""
import importlib
import json
import os

import numpy as np

from .model import ArrayType

ROWS = ("packet_index", "packet_offset")


def _need(module, extra):
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"this output needs {module.partition('.')[0]}: "
                          f'pip install "bitweave[{extra}]"') from e


def _calibrator_text(cal):
    if isinstance(cal, tuple):
        return " + ".join(f"{c:g}*x^{e}" for c, e in cal)
    return repr(cal)


def parameter_attrs(decoded, name):
    """A column's attributes: its XTCE units and descriptions and, for derived values, how
    they were derived (calibrator, labels). Strings only, so that any format can hold them."""
    definition = getattr(decoded, "definition", None)
    param = definition.parameters.get(name) if definition is not None else None
    if param is None:
        return {}
    ptype = param.type
    elem = ptype.element if isinstance(ptype, ArrayType) else ptype
    attrs = {}
    units = getattr(elem, "units", ())
    if units:
        attrs["units"] = " ".join(units)
    if param.short_description:
        attrs["description"] = param.short_description
    if param.long_description:
        attrs["long_description"] = param.long_description
    attrs["xtce_type"] = ptype.name
    if getattr(decoded, "derived", False) and ptype.has_derived:
        if getattr(elem, "calibrator", None) is not None:
            attrs["calibrator"] = _calibrator_text(elem.calibrator)
        if getattr(elem, "contexts", ()):
            attrs["context_calibrators"] = str(len(elem.contexts))
        if getattr(elem, "labels", None):
            attrs["labels"] = json.dumps({str(k): v for k, v in elem.labels.items()})
        if getattr(elem, "label_ranges", ()):
            attrs["label_ranges"] = json.dumps([list(r) for r in elem.label_ranges])
    return attrs


def _filled(col):
    """A masked column as xarray holds missing values: NaN for numbers, None for objects."""
    if not np.ma.isMaskedArray(col):
        return col
    mask = np.ma.getmaskarray(col)
    data = np.ma.getdata(col)
    if data.dtype.kind in "iuf":
        out = data.astype(np.float64)
        out[mask] = np.nan
        return out
    out = data.astype(object)
    out[mask] = None
    return out


def to_xarray(decoded):
    """{container name: xarray.Dataset}: see `Decoded.to_xarray`."""
    xr = _need("xarray", "xarray")
    out = {}
    for cname, table in decoded.items():
        coords = {"packet_index": ("packet", table["packet_index"]),
                  "packet_offset": ("packet", table["packet_offset"])}
        variables = {}
        for name, col in table.items():
            if name in ROWS:
                continue
            col = _filled(col)
            dims = ("packet",) + tuple(f"{name}_dim_{i}" for i in range(1, col.ndim))
            variables[name] = xr.Variable(dims, col, attrs=parameter_attrs(decoded, name))
        out[cname] = xr.Dataset(variables, coords=coords, attrs={"container": cname})
    return out


def _pandas_column(pd, col):
    if col.ndim > 1:  # one array per row, each a view of the column
        return list(col)
    if not np.ma.isMaskedArray(col):
        return col
    data, mask = np.ma.getdata(col), np.ma.getmaskarray(col)
    if data.dtype.kind in "iu":
        return pd.arrays.IntegerArray(data, mask)
    if data.dtype.kind == "f":
        return pd.arrays.FloatingArray(data, mask)
    if data.dtype.kind == "b":
        return pd.arrays.BooleanArray(data, mask)
    return _filled(col)


def to_pandas(decoded):
    """{container name: pandas.DataFrame}: see `Decoded.to_pandas`."""
    pd = _need("pandas", "pandas")
    out = {}
    for cname, table in decoded.items():
        columns = {name: _pandas_column(pd, col) for name, col in table.items()
                   if name != "packet_index"}
        index = pd.Index(table["packet_index"], name="packet_index")
        frame = pd.DataFrame(columns, index=index)
        for name in frame.columns:
            frame[name].attrs.update(parameter_attrs(decoded, name))
        frame.attrs["container"] = cname
        out[cname] = frame
    return out


def _arrow_column(pa, col):
    mask = np.ma.getmaskarray(col) if np.ma.isMaskedArray(col) else None
    data = np.ma.getdata(col)
    if data.ndim > 1:  # fixed arrays: nested fixed-size lists, row major
        arr = _arrow_column(pa, data.reshape(-1))
        for size in reversed(data.shape[1:]):
            arr = pa.FixedSizeListArray.from_arrays(arr, size)
        return arr
    if data.dtype == object:
        values = data.tolist()
        if mask is not None:
            values = [None if m else v for v, m in zip(values, mask.tolist())]
        values = [v.tolist() if isinstance(v, np.ndarray) else v for v in values]
        return pa.array(values)
    return pa.array(data, mask=mask if mask is not None and mask.any() else None)


def container_file_name(name):
    """The file a container's table is written to: its (possibly qualified) name, with the
    space systems' slashes as dots."""
    return name.strip("/").replace("/", ".") + ".parquet"


def to_parquet(decoded, folder, **options):
    """Write one Parquet file per container: see `Decoded.to_parquet`."""
    pa = _need("pyarrow", "parquet")
    pq = _need("pyarrow.parquet", "parquet")
    os.makedirs(folder, exist_ok=True)
    paths = {}
    for cname, table in decoded.items():
        fields, arrays, units = [], [], {}
        for name, col in table.items():
            arr = _arrow_column(pa, col)
            attrs = parameter_attrs(decoded, name)
            if "units" in attrs:
                units[name] = attrs["units"]
            fields.append(pa.field(name, arr.type, metadata=attrs or None))
            arrays.append(arr)
        meta = {"container": cname, "units": json.dumps(units)}
        schema = pa.schema(fields, metadata=meta)
        path = os.path.join(folder, container_file_name(cname))
        pq.write_table(pa.Table.from_arrays(arrays, schema=schema), path, **options)
        paths[cname] = path
    return paths

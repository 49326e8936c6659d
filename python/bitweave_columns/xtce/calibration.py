"""Derived values: calibrated numbers, enumeration labels and truth values from raw columns."""
import operator

import numpy as np

from .model import _compare


def _objects(values):
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _derive(ptype, col):
    if type(col) is np.ndarray:
        mask, raw = np.ma.nomask, col
    else:
        mask, raw = np.ma.getmask(col), np.ma.getdata(col)
    if ptype.kind == "enumerated":
        out = _labels(ptype, raw)
    elif ptype.kind == "boolean":
        out = raw != 0
    else:
        out = _polynomial(ptype.calibrator, raw)
    return out if mask is np.ma.nomask else np.ma.masked_array(out, mask=mask)


def _labels(ptype, raw):
    """Each raw value's enumeration label (None where there is none), without a loop per row."""
    out = np.full(len(raw), None, dtype=object)
    kind = raw.dtype.kind
    table = ptype._table.get(kind)
    if table is None:
        if kind == "f":
            keys = [(float(k), v) for k, v in ptype.labels.items()]
            dtype = np.float64
        else:
            info = np.iinfo(np.uint64 if kind == "u" else np.int64)
            keys = [(k, v) for k, v in ptype.labels.items()
                    if float(k).is_integer() and info.min <= k <= info.max]
            keys = [(int(k), v) for k, v in keys]
            dtype = np.uint64 if kind == "u" else np.int64
        keys.sort()
        table = ptype._table[kind] = (np.array([k for k, _ in keys], dtype=dtype),
                                      _objects([v for _, v in keys]))
    keys, names = table
    if len(keys) and len(raw):
        data = raw.astype(keys.dtype)
        at = np.minimum(np.searchsorted(keys, data), len(keys) - 1)
        hit = keys[at] == data
        out[hit] = names[at[hit]]
    for low, high, label in ptype.label_ranges:
        free = np.equal(out, None)
        out[free & _compare(raw, operator.ge, low) & _compare(raw, operator.le, high)] = label
    return out


def _polynomial(terms, raw):
    """sum(a * x**n) in float64, term by term as Python evaluates it for one value."""
    total = None
    for a, n in terms:
        # A constant term stays a scalar: a * 1.0 is a, and adding it to a column rounds as
        # adding it value by value does.
        term = float(a) if n == 0 else a * _power(raw, n)
        total = term if total is None else total + term
    if total is None:
        return np.zeros(len(raw), dtype=np.float64)
    if not isinstance(total, np.ndarray):
        return np.full(len(raw), total, dtype=np.float64)
    return total


def _power(raw, n):
    if n == 0:
        return np.ones(len(raw), dtype=np.float64)
    if n == 1:
        return raw.astype(np.float64)
    if raw.dtype.kind in "iu":
        if len(raw) == 0:
            return np.zeros(0, dtype=np.float64)
        big = max(abs(int(raw.min())), abs(int(raw.max())))
        if big ** n < 2 ** 63:
            # The exact integer power, rounded once to float64, as int ** n then float * int do.
            return (raw.astype(np.int64) ** n).astype(np.float64)
        return np.array([float(v ** n) for v in raw.tolist()], dtype=np.float64)
    return np.array([v ** n for v in raw.astype(np.float64).tolist()], dtype=np.float64)

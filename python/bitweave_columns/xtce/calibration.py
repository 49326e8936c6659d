"""Derived values: calibrated numbers, enumeration labels and truth values from raw columns."""
import heapq
import math

import numpy as np


def _objects(values):
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _derive(ptype, col):
    mask = np.ma.getmask(col)
    raw = np.ma.getdata(col)
    if ptype.kind == "enumerated":
        out = _labels(ptype, raw)
    elif ptype.kind == "boolean":
        out = raw != 0
    else:
        out = _polynomial(ptype.calibrator, raw)
    return out if mask is np.ma.nomask else np.ma.masked_array(out, mask=mask)


def _labels(ptype, raw):
    """Each raw value's enumeration label (None where there is none), without a loop per row:
    single values by a sorted table, then value ranges (the first that holds a value wins)
    by a table of segments, each looked up with one searchsorted."""
    out = np.full(len(raw), None, dtype=object)
    kind = raw.dtype.kind
    table = ptype._table.get(kind)
    if table is None:
        nan_label = None
        if kind == "f":
            keys = [(float(k), v) for k, v in ptype.labels.items()]
            nan_label = next((v for k, v in keys if math.isnan(k)), None)
            keys = [(k, v) for k, v in keys if not math.isnan(k)]
            dtype = np.float64
        else:
            info = np.iinfo(np.uint64 if kind == "u" else np.int64)
            keys = [(k, v) for k, v in ptype.labels.items()
                    if float(k).is_integer() and info.min <= k <= info.max]
            keys = [(int(k), v) for k, v in keys]
            dtype = np.uint64 if kind == "u" else np.int64
        keys.sort(key=lambda kv: kv[0])
        table = ptype._table[kind] = (np.array([k for k, _ in keys], dtype=dtype),
                                      _objects([v for _, v in keys]), nan_label)
    keys, names, nan_label = table
    if len(keys) and len(raw):
        data = raw.astype(keys.dtype)
        at = np.minimum(np.searchsorted(keys, data), len(keys) - 1)
        hit = keys[at] == data
        out[hit] = names[at[hit]]
    if nan_label is not None:
        out[np.isnan(raw)] = nan_label
    if ptype.label_ranges and len(raw):
        key = ("ranges", raw.dtype.str)
        segments = ptype._table.get(key)
        if segments is None:
            # Float values are placed as float64, where a range's closed end has a next value.
            domain = np.dtype(np.float64) if kind == "f" else raw.dtype
            segments = ptype._table[key] = _segments(ptype.label_ranges, domain)
        starts, labels = segments
        free = np.flatnonzero(np.equal(out, None))
        values = raw[free]
        at = np.searchsorted(starts, values, side="right") - 1
        found = at >= 0
        if kind == "f":
            found &= ~np.isnan(values)
        got = labels[np.where(found, at, 0)] if len(labels) else np.full(len(at), None)
        out[free[found]] = got[found]
    return out


def _segments(ranges, dtype):
    """The label ranges as half-open segments of `dtype` values: sorted segment starts, and
    each segment's label (None between ranges), that of the first range holding it."""
    spans = []  # (start, end or None for no end, order)
    if dtype.kind == "f":
        for order, (low, high, _) in enumerate(ranges):
            low, high = float(low), float(high)
            if math.isnan(low) or math.isnan(high) or low > high:
                continue
            end = None if high == math.inf else np.nextafter(high, math.inf)
            spans.append((low, end, order))
    else:
        info = np.iinfo(dtype)
        for order, (low, high, _) in enumerate(ranges):
            if math.isnan(low) or math.isnan(high):
                continue
            low = info.min if low == -math.inf else max(math.ceil(low), info.min)
            high = info.max if high == math.inf else min(math.floor(high), info.max)
            if low <= high:
                spans.append((low, high + 1 if high < info.max else None, order))
    bounds = sorted({s for s, _, _ in spans} | {e for _, e, _ in spans if e is not None})
    spans.sort(key=lambda span: span[0])
    active, labels, i = [], [], 0
    for b in bounds:
        while i < len(spans) and spans[i][0] <= b:
            end = spans[i][1]
            heapq.heappush(active, (spans[i][2], math.inf if end is None else end))
            i += 1
        while active and active[0][1] <= b:
            heapq.heappop(active)  # the first range has ended; a later one may still hold
        labels.append(ranges[active[0][0]][2] if active else None)
    return np.array(bounds, dtype=dtype), _objects(labels)


def _polynomial(terms, raw):
    """sum(a * x**n) in float64, term by term as Python evaluates it for one value; a power
    too large for a float is an infinity of its sign."""
    total = np.zeros(len(raw), dtype=np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        for i, (a, n) in enumerate(terms):
            term = a * _power(raw, n)
            total = term if i == 0 else total + term
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
        # Past 2**1024 a float overflows: decided from the bit length, the exact power only
        # for the values whose power a float holds.
        return np.array([_int_power(v, n) for v in raw.tolist()], dtype=np.float64)
    values = raw.astype(np.float64).tolist()
    try:
        return np.array([v ** n for v in values], dtype=np.float64)
    except OverflowError:
        return np.array([_float_power(v, n) for v in values], dtype=np.float64)


def _int_power(v, n):
    if (abs(v).bit_length() - 1) * n >= 1024:
        return math.inf if v > 0 or n % 2 == 0 else -math.inf
    try:
        return float(v ** n)
    except OverflowError:
        return math.inf if v > 0 or n % 2 == 0 else -math.inf


def _float_power(v, n):
    try:
        return v ** n
    except OverflowError:
        return math.inf if v > 0 or n % 2 == 0 else -math.inf

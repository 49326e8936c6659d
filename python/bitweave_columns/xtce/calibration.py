"""Derived values: calibrated numbers, enumeration labels and truth values from raw columns."""
import heapq
import math

import numpy as np

from .model import MathOperation, Spline


def _objects(values):
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _derive(ptype, col, values=None, name=None):
    """The derived column of parameter `name` of type `ptype` from its raw column `col`;
    `values(name, calibrated)` gives the other columns of the packets, for context
    calibrators and math operations that refer to them."""
    if type(col) is np.ndarray:
        mask, raw = np.ma.nomask, col
    else:
        mask, raw = np.ma.getmask(col), np.ma.getdata(col)
    if ptype.kind == "enumerated":
        out = _labels(ptype, raw)
    elif ptype.kind == "boolean":
        out = _truth(ptype, raw)
    elif ptype.contexts:
        out = _in_context(ptype, col, raw, values, name)
    else:
        out = _calibrate(ptype.calibrator, raw, values, None)
    return out if mask is np.ma.nomask else np.ma.masked_array(out, mask=mask)


def _truth(ptype, raw):
    if raw.dtype != object:
        return raw != 0
    # A boolean carried as text: its one and zero strings; any other text has no truth value.
    zero, one = ptype.bool_strings
    out = np.full(len(raw), None, dtype=object)
    out[raw == one] = True
    out[raw == zero] = False
    return out


def _in_context(ptype, col, raw, values, name):
    """Each packet calibrated by the first context calibrator whose condition holds for it, else
    by the default calibrator (else left raw)."""
    def context_values(ref, calibrated):
        # The parameter being calibrated is known only by its raw value.
        return col if ref == name else values(ref, calibrated)

    done = np.zeros(len(raw), dtype=bool)
    parts = []
    for cond, cal in ptype.contexts:
        rows = np.flatnonzero(cond.evaluate(context_values) & ~done)
        if len(rows):
            done[rows] = True
            parts.append((rows, _calibrate(cal, raw[rows], values, rows)))
    rest = np.flatnonzero(~done)
    if ptype.calibrator is not None or not len(rest):
        out = np.empty(len(raw), dtype=np.float64)
        if len(rest):
            parts.append((rest, _calibrate(ptype.calibrator, raw[rest], values, rest)))
    else:
        # Packets no calibrator applies to keep their raw values, so the column holds both.
        out = _objects(raw.tolist())
    for rows, part in parts:
        out[rows] = part
    return out


def _calibrate(cal, raw, values, rows):
    """A calibrator applied to raw values (the packets `rows` of the group, None for all)."""
    if isinstance(cal, Spline):
        return _spline(cal, raw)
    if isinstance(cal, MathOperation):
        return _math(cal, raw, values, rows)
    return _polynomial(cal, raw)


def _spline(cal, raw):
    """A spline as space_packet_parser evaluates one, for a whole column: order 0 takes the
    value of the last point at or below x, order 1 the line through the points either side
    (the end pieces' lines past the ends when extrapolating). NaN outside the points without
    extrapolation."""
    x = np.array([p[0] for p in cal.points], dtype=np.float64)
    y = np.array([p[1] for p in cal.points], dtype=np.float64)
    q = raw.astype(np.float64)
    inside = (q >= x[0]) & (q <= x[-1])
    if cal.order == 0:
        at = np.clip(np.searchsorted(x, q, side="right") - 1, 0, len(x) - 1)
        out = y[at]
    else:
        # The piece whose left end is the last point at or below x; at the last point, the
        # last piece.
        lo = np.clip(np.searchsorted(x, q, side="right") - 1, 0, len(x) - 2)
        x0, x1, y0, y1 = x[lo], x[lo + 1], y[lo], y[lo + 1]
        with np.errstate(divide="ignore", invalid="ignore"):
            out = ((y1 - y0) / (x1 - x0)) * (q - x0) + y0
    if not cal.extrapolate:
        out = np.where(inside, out, np.nan)
    return out


def _math(cal, raw, values, rows):
    """A postfix calibrator evaluated on whole columns in float64."""
    stack = []
    for kind, v in cal.tokens:
        if kind == "value":
            stack.append(np.full(len(raw), v, dtype=np.float64))
        elif kind == "this":
            stack.append(raw.astype(np.float64))
        elif kind == "param":
            col = np.ma.getdata(values(*v))
            stack.append((col if rows is None else col[rows]).astype(np.float64))
        else:
            arity, fn = _MATH_OPS[v]
            if len(stack) < arity:
                raise ValueError(f"{cal!r}: {v!r} needs {arity} operands")
            args = stack[len(stack) - arity:]
            del stack[len(stack) - arity:]
            with np.errstate(all="ignore"):
                result = fn(*args)
            stack.extend(result if isinstance(result, tuple) else (result,))
    if len(stack) != 1:
        raise ValueError(f"{cal!r} leaves {len(stack)} values, not one")
    return stack[0]


# 0! to 170!, the factorials a float64 holds.
_FACTORIALS = np.array([float(math.factorial(n)) for n in range(171)])


def _factorial(x):
    whole = (x >= 0) & (x == np.trunc(x))
    at = np.where(whole, np.minimum(x, 171), 0).astype(np.int64)
    out = np.where(at > 170, np.inf, _FACTORIALS[np.minimum(at, 170)])
    return np.where(whole, out, np.nan)


def _int(x):
    return np.trunc(x).astype(np.int64)


def _f(x):
    return np.asarray(x, dtype=np.float64)


# Operator -> (operands taken from the stack, function of them giving the value(s) put back).
_MATH_OPS = {
    "+": (2, np.add), "-": (2, np.subtract), "*": (2, np.multiply), "/": (2, np.divide),
    "%": (2, np.fmod), "^": (2, np.power), "y^x": (2, lambda y, x: np.power(x, y)),
    "ln": (1, np.log), "log": (1, np.log10), "e^x": (1, np.exp), "1/x": (1, lambda x: 1 / x),
    "x!": (1, lambda x: _factorial(x)),
    "tan": (1, np.tan), "cos": (1, np.cos), "sin": (1, np.sin), "atan": (1, np.arctan),
    "atan2": (2, np.arctan2), "acos": (1, np.arccos), "asin": (1, np.arcsin),
    "tanh": (1, np.tanh), "cosh": (1, np.cosh), "sinh": (1, np.sinh),
    "atanh": (1, np.arctanh), "acosh": (1, np.arccosh), "asinh": (1, np.arcsinh),
    "abs": (1, np.abs), "div": (2, lambda a, b: np.trunc(a / b)),
    "swap": (2, lambda a, b: (b, a)), "drop": (1, lambda a: ()), "dup": (1, lambda a: (a, a)),
    "over": (2, lambda a, b: (a, b, a)),
    "<<": (2, lambda a, b: _f(_int(a) << _int(b))), ">>": (2, lambda a, b: _f(_int(a) >> _int(b))),
    "&": (2, lambda a, b: _f(_int(a) & _int(b))), "|": (2, lambda a, b: _f(_int(a) | _int(b))),
    "!": (1, lambda a: _f(a == 0)), "&&": (2, lambda a, b: _f((a != 0) & (b != 0))),
    "||": (2, lambda a, b: _f((a != 0) | (b != 0))),
    "==": (2, lambda a, b: _f(a == b)), "!=": (2, lambda a, b: _f(a != b)),
    "<": (2, lambda a, b: _f(a < b)), "<=": (2, lambda a, b: _f(a <= b)),
    ">": (2, lambda a, b: _f(a > b)), ">=": (2, lambda a, b: _f(a >= b)),
}


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
    total = None
    with np.errstate(over="ignore", invalid="ignore"):
        for a, n in terms:
            # A constant term stays a scalar: a * 1.0 is a, and adding it to a column rounds
            # as adding it value by value does.
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

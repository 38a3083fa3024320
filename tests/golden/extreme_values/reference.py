#!/usr/bin/env python3
"""Checks the statistics in expected.json against exact rational arithmetic
(fractions), rounded once to the nearest double at the end. Run it from the
repository root: python3 tests/golden/extreme_values/reference.py

The columns hold values near the smallest and the largest doubles, where
squares underflow and differences overflow in double arithmetic."""
import csv
import json
import math
import sys
from fractions import Fraction

HERE = "tests/golden/extreme_values"
DATA = "tests/golden-data/extremes/extremes.csv"


def sqrt_to_double(v):
    """The double nearest the square root of the fraction v >= 0."""
    if v == 0:
        return 0.0
    m = 1400  # bits below the point: far beyond the 53 a double keeps
    r = math.isqrt(v.numerator * 4**m // v.denominator)
    return float(Fraction(r, 2**m))


def as_double(v):
    try:
        return float(v)  # Fraction -> nearest double
    except OverflowError:
        return None  # beyond the largest double: no value


def percentile(xs, p):
    # (W + 1)p rule with unit weights: below 1 the smallest, from W on the
    # largest, else x(k) plus the fraction of the step to x(k + 1).
    xs = sorted(xs)
    w = len(xs)
    h = (w + 1) * Fraction(p)
    if h < 1:
        return xs[0]
    if h >= w:
        return xs[-1]
    k = math.floor(h)
    return xs[k - 1] + (h - k) * (xs[k] - xs[k - 1])


def reference(xs):
    n = len(xs)
    mean = sum(xs) / n
    var = sum((x - mean) ** 2 for x in xs) / (n - 1)
    sd = sqrt_to_double(var) if var <= Fraction(sys.float_info.max) ** 2 else None
    return {"mean": as_double(mean), "sd": sd,
            "quartiles": [as_double(percentile(xs, p)) for p in ("0.25", "0.5", "0.75")]}


def close(got, want):
    """Equal within two ulps (the running mean is not rounded only once)."""
    if want is None or got is None:
        return got is want
    return abs(got - want) <= 2 * math.ulp(want)


with open(DATA) as f:
    rows = list(csv.DictReader(f))
with open(HERE + "/expected.json") as f:
    items = json.load(f)["items"]
failed = False
for column, item in zip(rows[0], items):
    xs = [Fraction(float(r[column])) for r in rows if r[column] != ""]
    want = reference(xs)
    # The statistics group: mean, standard deviation, then the quartiles.
    stats = [c["cells"][0]["number"] for c in item["dimensions"][0]["children"][3]["children"]]
    print(column, "expected", stats, "reference", want)
    if not all(close(g, w) for g, w in zip(stats, [want["mean"], want["sd"]] + want["quartiles"])):
        print("  differs")
        failed = True
sys.exit(1 if failed else 0)

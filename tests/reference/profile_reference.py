#!/usr/bin/env python3
"""Independent reference for the report overview's side statistics.

Generates deterministic datasets and computes, with exact rational
arithmetic, what the pass's profile must find for every variable (weighted
valid and missing totals, distinct valid values up to the bound, minimum,
maximum, most frequent value, the histogram by the bin rule of
docs/output-formats.md) and every multiple-response set (valid and missing
totals). Writes one JSON file per dataset into profile/; the C++ test rebuilds
each dataset, runs the profile in one pass and in chunks, and compares.

Standard library only. Usage: profile_reference.py [output-dir]
"""

import json
import math
import os
import random
import sys
from fractions import Fraction

# The reference's own rules for user-missing values and case weights.
from stats_reference import case_weight, index_of, is_user_missing

DISTINCT_LIMIT = 1000
FINE_BIN_LIMIT = 512
MAX_BINS = 20
DAY = 86400
DATE_FORMATS = {"DATE", "ADATE", "EDATE", "SDATE", "JDATE", "QYR", "MOYR", "WKYR", "DATETIME", "YMDHMS"}

# ----------------------------------------------------------------- rules


def width_of(step, exponent):
    return Fraction(step) * Fraction(10) ** exponent


def edge(i, width):
    """The double nearest to the exact decimal edge i * width."""
    return float(i * width)


def usable(x, step, width):
    """Bin numbers stay below 2^50 / step, where doubles hold them exactly."""
    return abs(Fraction(x) / width) + 2 < Fraction(2 ** 50 // step)


def bin_of(x, width):
    i = math.floor(Fraction(x) / width)
    while edge(i, width) > x:
        i -= 1
    while edge(i + 1, width) <= x:
        i += 1
    return i


def span(width, low, high, close_last):
    first, last = bin_of(low, width), bin_of(high, width)
    if close_last and last > first and edge(last, width) == high:
        last -= 1
    return first, last


def target_bins(n):
    sturges = (n - 1).bit_length() + 1 if n > 1 else 1
    return min(max(sturges, 5), MAX_BINS)


def fine_exponent(values, unit):
    """The finest grid of unit x 10^e that holds the values in at most
    FINE_BIN_LIMIT bins."""
    for e in range(-22, 23):
        w = width_of(unit, e)
        if not all(usable(x, unit, w) for x in (min(values), max(values))):
            continue
        if len({bin_of(x, w) for x in values}) <= FINE_BIN_LIMIT:
            return e
    return None


def display_grid(values, n, unit, fine):
    low, high = min(values), max(values)
    whole = all(Fraction(x) % unit == 0 for x in values)
    if low == high:
        # One bin; its width one tenth of the value's order of magnitude.
        magnitude = abs(Fraction(low)) / unit
        e = math.floor(math.log10(magnitude)) - 1 if magnitude > 0 else 0
        if whole:
            e = max(e, 0)
        return (unit, e)
    target = target_bins(n)
    for e in range(0 if whole else -22, 23):
        for m in (1, 2, 5):
            w = width_of(m * unit, e)
            if fine is not None and (w / width_of(unit, fine)).denominator != 1:
                continue
            if not (usable(low, m * unit, w) and usable(high, m * unit, w)):
                continue
            first, last = span(w, low, high, not whole)
            if last - first + 1 <= target:
                return (m * unit, e)
    return None


def profile_column(ds, var):
    i = index_of(ds, var["name"])
    valid, missing, cases = Fraction(0), Fraction(0), 0
    weights = {}
    for case in ds["cases"]:
        w = case_weight(ds, case)
        if w is None:
            continue
        v = case[i]
        if var["width"]:
            v = v.rstrip(" ")
        if v is None or is_user_missing(var, v):
            missing += w
            continue
        valid += w
        cases += 1
        weights[v] = weights.get(v, Fraction(0)) + w
    out = {"valid": float(valid), "missing": float(missing), "validCases": cases}
    exact = len(weights) <= DISTINCT_LIMIT
    out["distinct"] = len(weights) if exact else None
    out["mode"] = None
    if exact and weights:
        if var["width"]:
            key = lambda v: (-weights[v], v.encode("utf-8"))
        else:
            key = lambda v: (-weights[v], v)
        best = min(weights, key=key)
        out["mode"] = {"value": best, "weight": float(weights[best])}
    if var["width"] or not weights:
        return out
    values = list(weights)
    out["min"], out["max"] = min(values), max(values)
    unit = DAY if var.get("format") in DATE_FORMATS else 1
    fine = None if exact else fine_exponent(values, unit)
    grid = display_grid(values, cases, unit, fine)
    width = width_of(*grid)
    whole = all(Fraction(x) % unit == 0 for x in values)
    first, last = span(width, out["min"], out["max"], not whole)
    bins = [Fraction(0)] * (last - first + 1)
    for v, w in weights.items():
        k = min(max(bin_of(v, width) - first, 0), len(bins) - 1)
        bins[k] += w
    out["histogram"] = {"step": grid[0], "exponent": grid[1], "first": first, "weights": [float(b) for b in bins]}
    return out


def profile_set(ds, s):
    members = [ds["variables"][index_of(ds, m)] for m in s["members"]]
    is_string = bool(members[0]["width"])
    valid, missing = Fraction(0), Fraction(0)
    for case in ds["cases"]:
        w = case_weight(ds, case)
        if w is None:
            continue
        hit = False
        for var in members:
            v = case[index_of(ds, var["name"])]
            if is_string:
                v = v.rstrip(" ")
            if s["type"] == "dichotomy":
                counted = s["counted"] if is_string else float(s["counted"])
                hit = hit or v == counted
            else:
                hit = hit or (v is not None and not is_user_missing(var, v))
        if hit:
            valid += w
        else:
            missing += w
    return {"valid": float(valid), "missing": float(missing)}


# ----------------------------------------------------------------- data


def dates(rng, n, seconds):
    start = 13_776_624_000  # 2019-07-01 in seconds since 1582-10-14
    out = []
    for _ in range(n):
        day = start + rng.randrange(0, 900) * DAY
        out.append(day + (rng.randrange(0, DAY) if seconds else 0))
    return out


def weighted_mixed(seed, n):
    rng = random.Random(seed)
    variables = [
        {"name": "w", "width": 0},
        {"name": "code", "width": 0, "missing": {"values": [9]}, "labels": [[1, "one"], [9, "refused"]]},
        {"name": "score", "width": 0, "missing": {"range": [90, 1e300]}},
        {"name": "fruit", "width": 8, "missing": {"values": ["NA"]}},
        {"name": "day", "width": 0, "format": "DATE"},
        {"name": "neg", "width": 0},
        {"name": "const", "width": 0},
        {"name": "none", "width": 0},
        {"name": "d1", "width": 0}, {"name": "d2", "width": 0},
        {"name": "m1", "width": 0}, {"name": "m2", "width": 0, "missing": {"values": [5]}},
    ]
    days = dates(rng, n, False)
    cases = []
    for k in range(n):
        w = rng.choice([0.25, 0.5, 1, 1.75, 2.5, 0, -1, None] if k % 7 else [1])
        cases.append([
            w,
            rng.choice([1, 2, 3, 4, 5, 9, None]),
            rng.choice([round(rng.uniform(0, 99), 2), 95.5, None]),
            rng.choice(["apple", "fig  ", "kiwi", "NA", "", "éclair"]),
            days[k],
            round(rng.uniform(-5.5, 3.25), 2),
            3.7,
            None,
            rng.choice([0, 1, None]), rng.choice([0, 1, 1, None]),
            rng.choice([1, 2, 3, None]), rng.choice([4, 5, None]),
        ])
    sets = [{"name": "$d", "type": "dichotomy", "counted": "1", "members": ["d1", "d2"]},
            {"name": "$m", "type": "categories", "members": ["m1", "m2"]}]
    return {"name": "weighted_mixed", "variables": variables, "weight": "w", "sets": sets, "cases": cases}


def many_values(seed, n):
    rng = random.Random(seed)
    variables = [
        {"name": "cont", "width": 0},
        {"name": "wide", "width": 0, "missing": {"values": [-999]}},
        {"name": "stamp", "width": 0, "format": "DATETIME"},
        {"name": "whole", "width": 0},
        {"name": "key", "width": 6},
    ]
    stamps = dates(rng, n, True)
    cases = []
    for k in range(n):
        cases.append([
            round(rng.uniform(0, 1000), 3),
            rng.choice([round(rng.gauss(0, 50), 3), -999]),
            stamps[k],
            rng.randrange(0, 1500),
            "k%05d" % rng.randrange(0, 4000),
        ])
    return {"name": "many_values", "variables": variables, "weight": None, "sets": [], "cases": cases}


def weighted_many(seed, n):
    rng = random.Random(seed)
    variables = [{"name": "wt", "width": 0}, {"name": "x", "width": 0}]
    cases = [[rng.choice([0.5, 1, 1.5, 3]), round(rng.uniform(-2, 2), 4)] for _ in range(n)]
    return {"name": "weighted_many", "variables": variables, "weight": "wt", "sets": [], "cases": cases}


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "profile")
    os.makedirs(out_dir, exist_ok=True)
    for ds in (weighted_mixed(11, 700), many_values(12, 5000), weighted_many(13, 3000)):
        expect = {"columns": {}, "sets": {}}
        for var in ds["variables"]:
            expect["columns"][var["name"]] = profile_column(ds, var)
        for s in ds["sets"]:
            expect["sets"][s["name"]] = profile_set(ds, s)
        ds["expect"] = expect
        with open(os.path.join(out_dir, ds["name"] + ".json"), "w", encoding="utf-8") as f:
            json.dump(ds, f, ensure_ascii=False)
            f.write("\n")


if __name__ == "__main__":
    main()

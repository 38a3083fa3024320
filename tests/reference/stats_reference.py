#!/usr/bin/env python3
"""Independent reference for the aggregation engine's statistics.

Generates deterministic datasets (weights that are fractional, zero, negative
or missing; user-missing discrete values and ranges; strings; both kinds of
multiple-response set), computes every expected result with exact rational
arithmetic, and writes one JSON file per dataset into expected/. The C++ tests
rebuild each dataset in memory from the same file, run the engine and compare.

Standard library only. Usage: stats_reference.py [output-dir]
"""

import json
import math
import os
import random
import sys
from decimal import Decimal
from fractions import Fraction

# ----------------------------------------------------------------- rules


def is_user_missing(var, value):
    """User-missing test of a non-system-missing value."""
    miss = var.get("missing")
    if not miss:
        return False
    if var["width"]:
        return value.rstrip(" ") in [s.rstrip(" ") for s in miss.get("values", [])]
    if value in miss.get("values", []):
        return True
    rng = miss.get("range")
    if rng:
        lo = -math.inf if rng[0] == "LO" else rng[0]
        hi = math.inf if rng[1] == "HI" else rng[1]
        return lo <= value <= hi
    return False


def case_weight(ds, case):
    """The weight of a case, or None when it enters no table. A weight is
    the decimal number written in the data (0.3 is 3/10, not the binary
    double nearest to it): what the user means, and what the engine must
    reproduce when cumulative weights land on whole numbers."""
    if ds.get("weight") is None:
        return Fraction(1)
    w = case[index_of(ds, ds["weight"])]
    if w is None or w <= 0:
        return None
    return Fraction(repr(w))


def fraction_sqrt(q):
    """Square root of a non-negative Fraction to more than double precision,
    without passing through a float (which overflows near 1e200 squared)."""
    if q == 0:
        return 0.0
    shift = 2 * max(0, 70 - (q.numerator.bit_length() - q.denominator.bit_length()) // 2)
    root = math.isqrt(q.numerator * (1 << shift) // q.denominator)
    return float(Fraction(root, 1 << (shift // 2)))


def index_of(ds, name):
    return [v["name"] for v in ds["variables"]].index(name)


def value_text(x):
    """Shortest round-trip digits; plain decimal notation for decimal
    exponents -5..15, else d.ddde+XX."""
    if isinstance(x, str):
        return x
    if x == 0:
        return "0"
    sign = "-" if x < 0 else ""
    d = Decimal(repr(abs(x))).normalize()
    _, digits, exp = d.as_tuple()
    ds_ = "".join(str(g) for g in digits)
    e = len(ds_) - 1 + exp
    if -5 <= e <= 15:
        if e >= 0:
            if len(ds_) <= e + 1:
                body = ds_ + "0" * (e + 1 - len(ds_))
            else:
                body = ds_[: e + 1] + "." + ds_[e + 1 :]
        else:
            body = "0." + "0" * (-e - 1) + ds_
        return sign + body
    mant = ds_[0] + ("." + ds_[1:] if len(ds_) > 1 else "")
    return "%s%se%s%02d" % (sign, mant, "-" if e < 0 else "+", abs(e))


def pct(count, total):
    return None if total == 0 else float(count / total * 100)


def sort_key(var_is_string, v):
    return v.encode("utf-8") if var_is_string else v


def categorical(ds, name, predefined=None):
    i = index_of(ds, name)
    var = ds["variables"][i]
    counts, missing, total = {}, Fraction(0), Fraction(0)
    for case in ds["cases"]:
        w = case_weight(ds, case)
        if w is None:
            continue
        total += w
        v = case[i]
        if var["width"]:
            v = v.rstrip(" ")
        elif v is None:
            missing += w
            continue
        if is_user_missing(var, v):
            missing += w
        if predefined is not None and v not in predefined:
            continue
        counts[v] = counts.get(v, Fraction(0)) + w
    if predefined is not None:
        order = []
        for v in predefined:
            if v in counts and v not in order:
                order.append(v)
    else:
        order = sorted(counts, key=lambda v: sort_key(var["width"], v))
    cats = [
        {"value": v, "text": value_text(v), "member": None, "count": float(counts[v]), "percent": pct(counts[v], total)}
        for v in order
    ]
    return {"categories": cats, "missing": float(missing), "total": float(total), "distinct": len(cats)}


def has_label(var, v):
    return any(lv == v for lv, _ in var.get("labels", []))


def category_set(ds, members):
    idx = [index_of(ds, m) for m in members]
    vars_ = [ds["variables"][i] for i in idx]
    counts, missing, total = {}, Fraction(0), Fraction(0)
    for case in ds["cases"]:
        w = case_weight(ds, case)
        if w is None:
            continue
        total += w
        seen = set()
        for i, var in zip(idx, vars_):
            v = case[i]
            if var["width"]:
                v = v.rstrip(" ")
            elif v is None:
                continue
            if is_user_missing(var, v):
                continue
            seen.add(v)
        if not seen:
            missing += w
        for v in seen:
            counts[v] = counts.get(v, Fraction(0)) + w
    is_string = bool(vars_[0]["width"])
    cats = []
    for v in sorted(counts, key=lambda v: sort_key(is_string, v)):
        member = next((var["name"] for var in vars_ if has_label(var, v)), vars_[0]["name"])
        cats.append({"value": v, "text": value_text(v), "member": member, "count": float(counts[v]),
                     "percent": pct(counts[v], total)})
    return {"categories": cats, "missing": float(missing), "total": float(total), "distinct": len(cats)}


def dichotomy_set(ds, members, counted):
    idx = [index_of(ds, m) for m in members]
    vars_ = [ds["variables"][i] for i in idx]
    is_string = bool(vars_[0]["width"])
    target = counted.rstrip(" ") if is_string else float(counted)
    counts = [Fraction(0)] * len(idx)
    missing, total = Fraction(0), Fraction(0)
    for case in ds["cases"]:
        w = case_weight(ds, case)
        if w is None:
            continue
        total += w
        hit = False
        for k, i in enumerate(idx):
            v = case[i]
            if is_string:
                v = v.rstrip(" ")
            if v is not None and v == target:
                counts[k] += w
                hit = True
        if not hit:
            missing += w
    cats = [{"value": target, "text": var["name"], "member": var["name"], "count": float(c),
             "percent": pct(c, total)} for var, c in zip(vars_, counts)]
    return {"categories": cats, "missing": float(missing), "total": float(total), "distinct": len(cats)}


def weighted_quantile(pairs, W, p):
    """(W + 1)p rule over (value, weight) pairs sorted by value."""
    h = (W + 1) * Fraction(p)
    if h < 1:
        return float(pairs[0][0])
    if h >= W:
        return float(pairs[-1][0])
    k = math.floor(h)

    def x(t):
        cum = Fraction(0)
        for v, w in pairs:
            cum += w
            if cum >= t:
                return Fraction(v)
        return Fraction(pairs[-1][0])

    lo, hi = x(k), x(k + 1)
    return float(lo + (h - k) * (hi - lo))


def scale(ds, name, values=None):
    """Scale statistics; `values` supplies generated (value, weight) pairs."""
    var = None
    if values is None:
        i = index_of(ds, name)
        var = ds["variables"][i]
        values = []
        for case in ds["cases"]:
            w = case_weight(ds, case)
            if w is None:
                continue
            values.append((case[i], w))
    valid, missing = [], Fraction(0)
    for v, w in values:
        if var is not None and var["width"]:
            if is_user_missing(var, v.rstrip(" ")):
                missing += w
            else:
                valid.append((None, w))
            continue
        if v is None or (var is not None and is_user_missing(var, v)):
            missing += w
        else:
            valid.append((Fraction(v), w))
    W = sum((w for _, w in valid), Fraction(0))
    out = {"valid": float(W), "missing": float(missing), "mean": None, "sd": None, "p25": None, "p50": None,
           "p75": None}
    if var is not None and var["width"]:
        return out
    if W > 0:
        mean = sum(w * v for v, w in valid) / W
        out["mean"] = float(mean)
        # The weights as the engine holds them (the doubles nearest the
        # decimals): where values are kept for percentiles its mean is the
        # double nearest this exact mean.
        stored = [(v, Fraction(float(w))) for v, w in valid]
        out["mean_stored"] = float(sum(w * v for v, w in stored) / sum(w for _, w in stored))
        if W > 1:
            ss = sum(w * (v - mean) ** 2 for v, w in valid)
            out["sd"] = fraction_sqrt(ss / (W - 1))
        pairs = sorted(valid, key=lambda vw: vw[0])
        for key, p in (("p25", Fraction(1, 4)), ("p50", Fraction(1, 2)), ("p75", Fraction(3, 4))):
            out[key] = weighted_quantile(pairs, W, p)
    return out


# ----------------------------------------------------------------- datasets


def variable(name, width=0, missing=None, labels=None):
    v = {"name": name, "width": width}
    if missing:
        v["missing"] = missing
    if labels:
        v["labels"] = labels
    return v


def mixed(seed, weighted, n):
    rnd = random.Random(seed)
    variables = [
        variable("w"),
        variable("code", missing={"values": [6, 9]}, labels=[[1, "one"], [2, "two"], [3, "three"], [9, "refused"]]),
        variable("score", missing={"values": [-1], "range": [90, "HI"]}),
        variable("fruit", 8, missing={"values": ["NA"]}),
        variable("wide", missing={"range": ["LO", -100]}),
        variable("m1", labels=[[1, "a"]]),
        variable("m2", missing={"values": [5]}, labels=[[4, "d"]]),
        variable("m3"),
        variable("d1"),
        variable("d2"),
        variable("d3", missing={"values": [0]}),
        variable("t1", 3),
        variable("t2", 5),
        variable("s1", 6, missing={"values": ["none"]}, labels=[["kiwi", "Kiwi"]]),
        variable("s2", 6, labels=[["lime", "Lime"]]),
    ]
    weights = [1, 2, 0.5, 1.5, 2.25, 3, 0.75, 0, -1, None]
    fruits = ["apple", "banana", "cherry", "", "  x", "NA", "zeta", "Apple", "\u00e9clair"]
    cases = []
    for r in range(n):
        w = rnd.choice(weights) if weighted else 1
        code = rnd.choice([1, 2, 3, 4, 5, 6, 9, None, 1, 2])
        score = rnd.choice([None, -1, round(rnd.gauss(50, 15), 3), round(rnd.gauss(50, 15), 3), 95.5])
        fruit = rnd.choice(fruits)
        # Small integers first, then values that force the hash path.
        if r < n // 3:
            wide = rnd.choice([0, 1, 2, 3, 700])
        else:
            wide = rnd.choice([-250.0, -3.5, 0.1, 1e6, 2, 1e-7, 12345678.9, None])
        ms = [rnd.choice([1, 2, 3, 4, 5, None]) for _ in range(3)]
        ds_ = [rnd.choice([0, 1, 1, None, 2]) for _ in range(3)]
        ts = [rnd.choice(["y", "n", "", "yy"]) for _ in range(2)]
        ss = [rnd.choice(["kiwi", "lime", "none", "fig", ""]) for _ in range(2)]
        cases.append([w, code, score, fruit, wide] + ms + ds_ + ts + ss)
    ds = {"variables": variables, "weight": "w" if weighted else None, "cases": cases}
    ds["tables"] = [
        {"kind": "variable", "variable": "code"},
        {"kind": "variable", "variable": "fruit"},
        {"kind": "variable", "variable": "wide"},
        {"kind": "variable", "variable": "score"},
        {"kind": "variable", "variable": "code", "predefined": [3, 1, 9, 2, 7]},
        {"kind": "variable", "variable": "fruit", "predefined": ["zeta", "apple", "NA", "mango"]},
        {"kind": "categoryset", "members": ["m1", "m2", "m3"]},
        {"kind": "categoryset", "members": ["s1", "s2"]},
        {"kind": "dichotomyset", "members": ["d1", "d2", "d3"], "counted": "1"},
        {"kind": "dichotomyset", "members": ["t1", "t2"], "counted": "y"},
        {"kind": "scale", "variable": "score"},
        {"kind": "scale", "variable": "code"},
        {"kind": "scale", "variable": "wide"},
        {"kind": "scale", "variable": "fruit"},
    ]
    return ds


def small(name_cases, weighted=True):
    variables = [variable("w"), variable("x", missing={"values": [99]}), variable("s", 4)]
    ds = {"variables": variables, "weight": "w" if weighted else None, "cases": name_cases}
    ds["tables"] = [
        {"kind": "variable", "variable": "x"},
        {"kind": "variable", "variable": "s"},
        {"kind": "scale", "variable": "x"},
        {"kind": "scale", "variable": "s"},
        {"kind": "dichotomyset", "members": ["x"], "counted": "1"},
    ]
    return ds


def worked_example():
    """The example of docs/statistics.md."""
    variables = [variable("w"), variable("score", missing={"values": [99]})]
    cases = [[1, 4], [2, 7], [0.5, 7], [1, 99], [1, None], [0, 5], [-1, 3], [1.5, 10]]
    return {"variables": variables, "weight": "w", "cases": cases,
            "tables": [{"kind": "variable", "variable": "score"}, {"kind": "scale", "variable": "score"}]}


def fractional(seed, n):
    rnd = random.Random(seed)
    variables = [variable("w"), variable("x"), variable("c")]
    cases = [[rnd.choice([0.1, 0.3, 0.7, 1.1, 0.2]), round(rnd.uniform(-5, 5), 4), rnd.choice([1, 2, 3])]
             for _ in range(n)]
    ds = {"variables": variables, "weight": "w", "cases": cases,
          "tables": [{"kind": "variable", "variable": "c"}, {"kind": "scale", "variable": "x", "moments_only": True}]}
    return ds


def stable_values(n):
    """1e9 plus noise, built with the same double arithmetic as the C++ test."""
    return [1e9 + ((i * 7919) % 1000) / 1000.0 for i in range(n)]


def whole_cumulative():
    """Cumulative weights that reach whole numbers only as decimals: summed
    plainly in binary, 0.9 + 2 + 0.05 + 0.05 falls short of 3 (x), and ten
    weights of 0.1 fall short of 1 (y, where a weight of 2 makes W + 1 = 4)."""
    variables = [variable("w"), variable("x"), variable("y"), variable("c", missing={"values": [9]})]
    cases = [[0.9, 10, None, 1], [2, 20, None, 9], [0.05, 30, None, 1], [0.05, 40, None, None], [1, 50, None, 9]]
    cases += [[0.1, None, 1 + k, 1 + k % 2] for k in range(10)] + [[2, None, 11, 2]]
    return {"variables": variables, "weight": "w", "cases": cases,
            "tables": [{"kind": "variable", "variable": "c"}, {"kind": "scale", "variable": "x"},
                       {"kind": "scale", "variable": "y"}]}


def decimal_weights(seed, n, distinct):
    """Random decimal weights of two places (some zero, negative or missing),
    nudged so that many cumulative weights in value order are whole numbers
    and W + 1 is a multiple of 4, which puts every quartile's h on a whole
    number. `distinct` values: few give ties, many the raw storage."""
    rnd = random.Random(seed)
    variables = [variable("w"), variable("x"), variable("c", missing={"values": [8, 9]})]
    if distinct:
        values = sorted(rnd.sample(range(-50000, 50000), n))
        values = [v / 8 for v in values]
    else:
        values = sorted(rnd.choice([-2.5, 0, 1, 3, 7, 7.25, 11]) for _ in range(n))
    cents, cumulative = [], 0
    for i in range(n):
        c = rnd.choice([5, 10, 15, 20, 25, 30, 45, 70, 90, 110, 150, 235])
        if rnd.random() < 0.3 and (cumulative + c) % 100:
            c += 100 - (cumulative + c) % 100  # lands on a whole cumulative weight
        cents.append(c)
        cumulative += c
    # W + 1 a multiple of 4 (in cents: W a multiple of 100 with W/100 = 3 mod 4).
    if cumulative % 100:
        cents[-1] += 100 - cumulative % 100
        cumulative += 100 - cumulative % 100
    cents[-1] += 100 * ((3 - cumulative // 100) % 4)
    cases = []
    for v, c in zip(values, cents):
        cases.append([c / 100, v, rnd.choice([1, 2, 3, 3, 8, 9, None])])
    # Cases that enter no table, with values that would move the results.
    for _ in range(n // 10 + 1):
        cases.append([rnd.choice([0, -0.35, None]), rnd.choice(values) + 1000, rnd.choice([1, 8, None])])
    rnd.shuffle(cases)
    return {"variables": variables, "weight": "w", "cases": cases,
            "tables": [{"kind": "variable", "variable": "c"}, {"kind": "scale", "variable": "x"}]}


def huge_values():
    """Values whose squared deviations overflow a double."""
    variables = [variable("w"), variable("x"), variable("y")]
    cases = [[1, 1e200, 1], [2.5, -3e200, 2], [0.5, 2.5e200, 3], [1, 1e200, 1.5e200], [1, 7e199, 4]]
    return {"variables": variables, "weight": "w", "cases": cases,
            "tables": [{"kind": "scale", "variable": "x"}, {"kind": "scale", "variable": "y"}]}


def values_only(values, weights=None):
    """One scale variable x, weighted by w when weights are given."""
    weights = weights or [1] * len(values)
    return {"variables": [variable("w"), variable("x")], "weight": "w", "cases": [list(c) for c in zip(weights, values)],
            "tables": [{"kind": "scale", "variable": "x"}]}


def mixed_magnitudes(seed, n):
    """Gaussian values times 10^-5 .. 10^5: a running mean strays by ulps."""
    rnd = random.Random(seed)
    return [rnd.gauss(0, 1) * 10.0 ** rnd.randint(-5, 5) for _ in range(n)]


def realistic_cases(n):
    """The large realistic dataset, rebuilt the same way by the C++ test: a
    64-bit linear congruential generator gives each case a weight of 500.00
    to 5000.00 (in cents) and a code 1..7, of which 6 and 7 are user-missing;
    no value is system-missing."""
    state = 1
    for _ in range(n):
        state = (state * 6364136223846793005 + 1442695040888963407) & ((1 << 64) - 1)
        yield Fraction(50000 + (state >> 33) % 450001, 100), 1 + (state >> 20) % 7


def realistic_weights(n):
    counts, total = {}, Fraction(0)
    for w, code in realistic_cases(n):
        counts[code] = counts.get(code, Fraction(0)) + w
        total += w
    missing = counts[6] + counts[7]
    cats = [{"value": v, "count": float(counts[v])} for v in sorted(counts)]
    return {"name": "realistic_weights", "n": n, "user_missing": [6, 7],
            "expect": {"categories": cats, "missing": float(missing), "system": 0.0, "total": float(total)}}


def evaluate(ds):
    out = []
    for t in ds["tables"]:
        t = dict(t)
        if t["kind"] == "variable":
            t["expect"] = categorical(ds, t["variable"], t.get("predefined"))
        elif t["kind"] == "categoryset":
            t["expect"] = category_set(ds, t["members"])
        elif t["kind"] == "dichotomyset":
            t["expect"] = dichotomy_set(ds, t["members"], t["counted"])
        else:
            t["expect"] = scale(ds, t["variable"])
        out.append(t)
    ds["tables"] = out
    return ds


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "expected")
    os.makedirs(outdir, exist_ok=True)
    datasets = {
        "weighted_mixed": mixed(11, True, 600),
        "unweighted_mixed": mixed(23, False, 500),
        "fractional_weights": fractional(5, 300),
        "single_case": small([[1, 7, "ab"]]),
        "two_cases_half_weights": small([[0.5, 3, "b"], [0.75, 1, "a "]]),
        "nothing_enters": small([[0, 1, "a"], [-2, 2, "b"], [None, 3, "c"]]),
        "all_missing": small([[1, None, "a"], [2, 99, "a"]]),
        "worked_example": worked_example(),
        "ties": small([[1, 5, "x"], [1, 5, "x"], [1, 5, "x"], [2, 7, "y"], [1, 7, "y"]], weighted=True),
        "whole_cumulative": whole_cumulative(),
        "huge_values": huge_values(),
        # Means a running mean misses by an ulp or more (the largest double
        # is the system-missing value: the one below it, and its negative).
        "mean_small_counts": values_only([1, 1, 2, 2, 2, 3, 3, 3, 3, 4]),
        "mean_binary_fractions": values_only([1.5, 2.25, 4]),
        "mean_mixed_magnitudes": values_only(mixed_magnitudes(7, 500)),
        "mean_mixed_magnitudes_weighted": values_only(mixed_magnitudes(8, 500),
                                                      [round(0.05 * k, 2) for k in range(1, 501)]),
        "mean_largest_cancel": values_only([1.7976931348623155e308, -1.7976931348623155e308, 1.5]),
    }
    for name, ds in datasets.items():
        ds = evaluate(ds)
        ds["name"] = name
        with open(os.path.join(outdir, name + ".json"), "w", encoding="utf-8") as f:
            json.dump(ds, f, ensure_ascii=False, separators=(",", ":"))
            f.write("\n")

    # The property test: many generated datasets in one file.
    generated = []
    for seed in range(40):
        ds = evaluate(decimal_weights(100 + seed, 5 + seed * 3, distinct=seed % 2 == 1))
        ds["name"] = "decimal_weights_%d" % seed
        generated.append(ds)
    # Past a thousand distinct values the engine keeps raw (value, weight) pairs.
    for seed in (1, 2):
        ds = evaluate(decimal_weights(900 + seed, 1500, distinct=True))
        ds["name"] = "decimal_weights_raw_%d" % seed
        generated.append(ds)
    with open(os.path.join(outdir, "decimal_weights.json"), "w", encoding="utf-8") as f:
        json.dump({"datasets": generated}, f, separators=(",", ":"))
        f.write("\n")

    with open(os.path.join(outdir, "realistic_weights.json"), "w", encoding="utf-8") as f:
        json.dump(realistic_weights(20000), f)
        f.write("\n")

    n = 1_000_000
    vals = stable_values(n)
    stable = scale(None, None, [(v, Fraction(1)) for v in vals])
    with open(os.path.join(outdir, "stable_large.json"), "w", encoding="utf-8") as f:
        json.dump({"name": "stable_large", "n": n, "expect": stable}, f)
        f.write("\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Whole runs of the program on random datasets, checked against an independent reference.

Each round writes a small data package (a CSV file and its descriptor: weights that are
fractional, zero, negative or missing; user-missing values and ranges with LO and HI; constant
and all-missing columns; very large and very small magnitudes; strings; both kinds of
multiple-response set), makes up a CODEBOOK command (level qualifiers, a choice of statistics,
MAXCATS around the number of categories), runs the program with --format json and compares every
count, percent and statistic with what pandas and exact fractions give for the same cells.

Usage: random_runs.py BUILD_DIR [ROUNDS] [SEED]   (CI runs the default rounds with a fixed seed)
Environment: THREADS (default 1) for --threads, LARGE=n to add files of n cases.
"""

import datetime
import json
import math
import os
import random
import subprocess
import sys
import tempfile
from fractions import Fraction

import numpy as np
import pandas as pd

REL = 1e-9


def fmt(x):
    """A cell as a program that wrote the file would: the shortest text that reads back."""
    if x is None:
        return ""
    if isinstance(x, str):
        return x
    if float(x).is_integer() and abs(x) < 1e15:
        return str(int(x))
    return repr(float(x))


# ----------------------------------------------------------------- datasets


def make_numeric(rng, n, kind):
    if kind == "constant":
        c = rng.choice([0.0, 7.0, -3.5, 1e15])
        return [c] * n
    if kind == "all_missing":
        return [None] * n
    if kind == "codes":
        k = rng.randint(1, 6)
        return [float(rng.randint(1, k)) if rng.random() > 0.1 else None for _ in range(n)]
    scale = rng.choice([1.0, 1e-8, 1e6, 1e12, 1e-200, 1e200])
    offset = rng.choice([0.0, 0.0, 1e9, -50.0])
    out = []
    for _ in range(n):
        if rng.random() < 0.12:
            out.append(None)
        else:
            v = round(rng.gauss(0, 1), rng.choice([0, 2, 6])) * scale + offset * (scale if scale > 1 else 1)
            out.append(float(v))
    return out


def user_missing_for(rng, values):
    seen = sorted({v for v in values if v is not None})
    if not seen or rng.random() < 0.4:
        return None
    form = rng.choice(["values", "lo", "hi", "range_value"])
    if form == "values":
        return {"values": rng.sample(seen, min(len(seen), rng.randint(1, 3)))}
    pivot = rng.choice(seen)
    if form == "lo":
        return {"range": {"low": "LO", "high": pivot}}
    if form == "hi":
        return {"range": {"low": pivot, "high": "HI"}}
    return {"range": {"low": pivot, "high": pivot + abs(pivot) * 0.5 + 1}, "values": [rng.choice(seen)]}


def is_user_missing(miss, v):
    if miss is None or v is None:
        return False
    if isinstance(v, str):
        return v in miss.get("values", [])
    if v in miss.get("values", []):
        return True
    r = miss.get("range")
    if r:
        lo = -math.inf if r["low"] == "LO" else r["low"]
        hi = math.inf if r["high"] == "HI" else r["high"]
        return lo <= v <= hi
    return False


def make_dataset(rng):
    # LARGE=30000 adds long files (several blocks for the pass's threads, THREADS=2)
    n = rng.choice([0, 1, 2, 3, 7, 40, 250] + [int(os.environ["LARGE"])] * 2 if "LARGE" in os.environ else
                   [0, 1, 2, 3, 7, 40, 250])
    cols = {}
    fields = []
    names = []

    written = {}  # columns whose cells are not written as numbers
    wkind = rng.choice(["none", "none", "whole", "fraction", "hostile"])
    if wkind != "none":
        ws = []
        for _ in range(n):
            if wkind == "whole":
                ws.append(float(rng.randint(1, 4)))
            elif wkind == "fraction":
                ws.append(round(rng.uniform(0.05, 3.0), rng.choice([1, 2, 4])))
            else:
                ws.append(rng.choice([None, 0.0, -1.0, 0.5, 1.0, 2.25, 0.1]))
        cols["w"] = ws
        fields.append({"name": "w", "type": "number", "measure": "scale"})
        names.append("w")

    for i in range(rng.randint(1, 4)):
        kind = rng.choice(["plain", "plain", "constant", "all_missing", "codes"])
        name = "x%d" % i
        vals = make_numeric(rng, n, kind)
        field = {"name": name, "type": "number", "measure": rng.choice(["scale", "nominal", "ordinal"])}
        miss = user_missing_for(rng, vals)
        if miss:
            field["userMissing"] = miss
        if kind == "codes" and rng.random() < 0.5:
            field["categories"] = [{"value": v, "label": "code %g" % v} for v in (1.0, 2.0, 3.0)[: rng.randint(1, 3)]]
        cols[name] = vals
        fields.append(field)
        names.append(name)

    if rng.random() < 0.7:
        alphabet = ["a", "b", "B", "é", "zz", "", "a b"]
        vals = [rng.choice(alphabet[: rng.randint(2, len(alphabet))]) for _ in range(n)]
        field = {"name": "s", "type": "string", "measure": "nominal", "constraints": {"maxLength": 8}}
        if vals and rng.random() < 0.4:
            field["userMissing"] = {"values": [rng.choice(vals)]}
        cols["s"] = vals
        fields.append(field)
        names.append("s")

    sets = []
    if rng.random() < 0.6:
        members = ["d1", "d2", "d3"]
        for m in members:
            cols[m] = [rng.choice([0.0, 1.0, 1.0, None]) for _ in range(n)]
            fields.append({"name": m, "type": "number", "measure": "nominal"})
            names.append(m)
        sets.append({"name": "$dich", "type": "dichotomies", "countedValue": "1", "variables": members})
    if rng.random() < 0.6:
        members = ["b1", "b2"]
        for m in members:
            cols[m] = [rng.choice([1.0, 2.0, 5.0, None, 9.0]) for _ in range(n)]
            field = {"name": m, "type": "number", "measure": "nominal"}
            if m == "b2":
                field["userMissing"] = {"values": [9]}
            fields.append(field)
            names.append(m)
        sets.append({"name": "$cats", "type": "categories", "variables": members})

    if rng.random() < 0.5:
        # dates: the program's numbers are seconds from 1582-10-14
        start = datetime.date(1582, 10, 14)
        days = [rng.choice([None, rng.randint(-3000, 3000)]) if rng.random() < 0.2 else rng.randint(-3000, 3000)
                for _ in range(n)]
        origin = datetime.date(rng.choice([1600, 1970, 2024]), 1, 1)
        cols["day"] = [None if d is None else float(((origin + datetime.timedelta(days=d)) - start).days * 86400)
                       for d in days]
        written["day"] = ["" if d is None else (origin + datetime.timedelta(days=d)).isoformat() for d in days]
        fields.append({"name": "day", "type": "date", "measure": "scale"})
        names.append("day")

    split = [rng.choice(names)] if rng.random() < 0.3 else []
    return {"n": n, "cols": cols, "fields": {f["name"]: f for f in fields}, "names": names,
            "sets": sets, "weighted": wkind != "none", "written": written, "split": split}


def write_dataset(ds, folder):
    with open(os.path.join(folder, "data.csv"), "w", encoding="utf-8", newline="") as f:
        f.write(",".join(ds["names"]) + "\n")
        for r in range(ds["n"]):
            line = ",".join(ds["written"][c][r] if c in ds["written"] else fmt(ds["cols"][c][r]) for c in ds["names"])
            f.write((line or '""') + "\n")  # a blank line is no case, as in every CSV reader
    fields = [ds["fields"][c] for c in ds["names"]]
    desc = {"name": "random", "resources": [{"name": "random", "path": "data.csv", "format": "csv",
                                              "schema": {"fields": fields}}]}
    if ds["weighted"]:
        desc["weight"] = "w"
    if ds["sets"]:
        desc["multipleResponseSets"] = ds["sets"]
    if ds["split"]:
        desc["splitFile"] = ds["split"]  # groups are counted together: no number may change
    path = os.path.join(folder, "datapackage.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(desc, f)
    return path


# ----------------------------------------------------------------- commands


def make_command(rng, ds):
    """Items with their treatment ('scale' or 'cat'), and the command text."""
    items = []
    parts = []
    pool = [c for c in ds["names"]] + [s["name"] for s in ds["sets"]]
    rng.shuffle(pool)
    for name in pool[: rng.randint(1, len(pool))]:
        if name.startswith("$"):
            items.append((name, "set"))
            parts.append(name)
            continue
        f = ds["fields"][name]
        level = "scale" if f["measure"] == "scale" else "cat"
        written = rng.choice([name, name.upper()])
        q = rng.choice(["", "", "[S]", "[N]", "[o]"]) if f["type"] != "string" else ""
        if q:
            level = "scale" if q == "[S]" else "cat"
        items.append((name, level))
        parts.append(written + (" " + q if q else ""))
    stats = rng.choice([None, ["COUNT"], ["PERCENT"], ["MEAN", "STDDEV"], ["QUARTILES", "count"],
                        ["COUNT", "PERCENT", "MEAN", "STDDEV", "QUARTILES"]])
    maxcats = None
    if rng.random() < 0.5:
        maxcats = rng.randint(1, 6)
    cmd = "codebook " + " ".join(parts)
    if rng.random() < 0.3:
        # Which rows a table shows never changes its numbers, nor does the order of the tables
        # (each item must still read its own entries of the pass).
        cmd += " /VARINFO " + " ".join(rng.sample(["POSITION", "LABEL", "VALUELABELS", "MISSING", "ROLE"],
                                                  rng.randint(1, 3)))
    if stats:
        cmd += " /STATISTICS " + " ".join(stats)
    options = ["MAXCATS=%d" % maxcats] if maxcats else []
    if rng.random() < 0.4:
        options.append("VARORDER=" + rng.choice(["FILE", "ALPHA", "MEASURE", "VARLIST"]))
        if rng.random() < 0.5:
            options.append("SORT=DESCENDING")
    if options:
        cmd += " /OPTIONS " + " ".join(options)
    return items, [s.upper() for s in stats] if stats else None, maxcats or 200, cmd


# ----------------------------------------------------------------- reference


def weights_of(ds):
    """Each case's weight as an exact decimal fraction, None when the case enters no table."""
    out = []
    for r in range(ds["n"]):
        if not ds["weighted"]:
            out.append(Fraction(1))
            continue
        w = ds["cols"]["w"][r]
        wf = ds["fields"]["w"]
        if w is None or w <= 0 or is_user_missing(wf.get("userMissing"), w):
            out.append(None)
        else:
            out.append(Fraction(fmt(w)))
    return out


def exact_sqrt(q):
    """The square root of a fraction, without passing through a float that would over- or
    underflow (variances of values near 1e200 or 1e-200)."""
    if q == 0:
        return 0.0
    shift = 2 * (120 - (q.numerator.bit_length() - q.denominator.bit_length()) // 2)
    root = math.isqrt(q.numerator * 2**shift // q.denominator) if shift >= 0 else \
        math.isqrt(q.numerator // (q.denominator * 2**-shift))
    return float(Fraction(root, 2 ** (shift // 2)) if shift >= 0 else Fraction(root * 2 ** (-shift // 2)))


def percentile(pairs, p):
    """The (W + 1)p rule on the weighted empirical distribution, in exact fractions."""
    pairs = sorted(pairs)
    total = sum(w for _, w in pairs)
    h = (total + 1) * p

    def x_at(t):
        cum = Fraction(0)
        for v, w in pairs:
            cum += w
            if cum >= t:
                return v
        return pairs[-1][0]

    if h < 1:
        return pairs[0][0]
    if h >= total:
        return pairs[-1][0]
    k = math.floor(h)
    lo, hi = x_at(k), x_at(k + 1)
    return lo + float(h - k) * (hi - lo)


def scale_reference(ds, name, weights):
    miss = ds["fields"][name].get("userMissing")
    vals = ds["cols"][name]
    # values as the program stores them (binary doubles); weights as written (decimals)
    valid = [(Fraction(v), w) for v, w in zip(vals, weights)
             if w is not None and v is not None and not is_user_missing(miss, v)]
    missing = sum((w for v, w in zip(vals, weights)
                   if w is not None and (v is None or is_user_missing(miss, v))), Fraction(0))
    total = sum((w for _, w in valid), Fraction(0))
    ref = {"Valid": float(total), "Missing": float(missing)}
    if total > 0:
        stored = [(v, Fraction(float(w))) for v, w in valid]
        stored_total = sum(w for _, w in stored)
        mean = sum(v * w for v, w in stored) / stored_total
        ref["Mean"] = float(mean)
        if total > 1:
            var = sum(w * (v - mean) ** 2 for v, w in stored) / (stored_total - 1)
            ref["Standard Deviation"] = exact_sqrt(var)
        else:
            ref["Standard Deviation"] = None
        plain = [(float(v), w) for v, w in valid]
        if all(w.denominator == 1 for _, w in valid):
            # whole weights: numpy's type-6 quantile of the repeated values
            repeated = np.repeat([v for v, _ in plain], [int(w) for _, w in plain])
            qs = np.quantile(repeated, [0.25, 0.5, 0.75], method="weibull")
            for p, q in zip((25, 50, 75), qs):
                ref["Percentile %d" % p] = float(q)
        else:
            for p in (25, 50, 75):
                ref["Percentile %d" % p] = percentile(plain, Fraction(p, 100))
    else:
        for row in ("Mean", "Standard Deviation", "Percentile 25", "Percentile 50", "Percentile 75"):
            ref[row] = None
    return ref


def category_reference(ds, name, weights):
    """Per category (value -> weighted count), the missing ones apart, with pandas."""
    miss = ds["fields"][name].get("userMissing")
    frame = pd.DataFrame({"v": ds["cols"][name], "w": [float(w) if w is not None else None for w in weights]})
    frame = frame[frame["w"].notna()]
    total = frame["w"].sum()
    seen = frame[frame["v"].notna()]
    counts = seen.groupby("v", sort=True)["w"].sum()
    valid = {v: c for v, c in counts.items() if not is_user_missing(miss, v)}
    umiss = {v: c for v, c in counts.items() if is_user_missing(miss, v)}
    return {"total": total, "valid": valid, "missing": umiss, "categories": len(counts)}


def withdrawn_in_pass(ds, name, weights, maxcats):
    """Whether the pass itself withdraws a variable's counts: its distinct values are looked at
    from the (MAXCATS + 1)-th case on, after that case is added and before each later one, so a
    new value in the very last case of a longer file is found only by the table's own count."""
    n = ds["n"]

    def distinct(k):
        return len({v for v, w in zip(ds["cols"][name][:k], weights[:k]) if w is not None and v is not None})

    if n == maxcats + 1:
        return distinct(n) > maxcats
    return n >= maxcats + 2 and distinct(n - 1) > maxcats


def set_reference(ds, s, weights):
    members = s["variables"]
    total = Fraction(0)
    counts = {}
    for r, w in enumerate(weights):
        if w is None:
            continue
        total += w
        if s["type"] == "dichotomies":
            for m in members:
                if ds["cols"][m][r] == 1.0:
                    counts[m] = counts.get(m, 0) + w
        else:
            have = set()
            for m in members:
                v = ds["cols"][m][r]
                if v is not None and not is_user_missing(ds["fields"][m].get("userMissing"), v):
                    have.add(v)
            for v in have:
                counts[v] = counts.get(v, 0) + w
    return {"total": float(total), "counts": {k: float(c) for k, c in counts.items()}}


# ----------------------------------------------------------------- comparison


def close(a, b):
    if a is None or b is None:
        return a is None and b is None
    if a == b:
        return True
    return abs(a - b) <= REL * max(abs(a), abs(b)) or abs(a - b) < 1e-300


def rows_of(table):
    """group -> list of (category, value, {column: number or text})"""
    out = {}

    def walk(children, group):
        for c in children:
            if "group" in c:
                out.setdefault(c["group"], [])
                walk(c["children"], c["group"])
            else:
                cells = {x["column"]: x.get("number", x.get("text")) for x in c.get("cells", [])}
                out.setdefault(group, []).append((c["category"], c.get("value"), cells, c.get("variable")))

    walk(table["dimensions"][0]["children"], None)
    return out


def check_cells(problems, what, cells, count, total, want_count, want_percent):
    """The Count and Percent cells of one category: each there exactly when asked, and right."""
    if want_count != ("Count" in cells) or want_percent != ("Percent" in cells):
        problems.append("%s: columns %s" % (what, sorted(cells)))
        return
    if want_count and not close(cells["Count"], float(count)):
        problems.append("%s: count %r, reference %r" % (what, cells["Count"], float(count)))
    if want_percent:
        pct = float(count) / float(total) * 100 if total > 0 else None
        if not close(cells["Percent"], pct):
            problems.append("%s: percent %r, reference %r" % (what, cells["Percent"], pct))


def check_run(ds, items, stats, maxcats, report):
    problems = []
    weights = weights_of(ds)
    tables = {t["title"]: t for t in report["items"] if t["kind"] == "table"}
    lead = "Value labels, counts, and/or percents not displayed for "
    not_shown = {n.lower() for m in report["items"] if m["kind"] == "message" and m["text"].startswith(lead)
                 for n in m["text"][len(lead):].rstrip(".").split(",")}
    want_counts = stats is None or "COUNT" in stats or "PERCENT" in stats
    want_percent = stats is None or "PERCENT" in stats
    want_count = stats is None or "COUNT" in stats
    scale_rows = ["Valid", "Missing"]
    if stats is None or "MEAN" in stats:
        scale_rows.append("Mean")
    if stats is None or "STDDEV" in stats:
        scale_rows.append("Standard Deviation")
    if stats is None or "QUARTILES" in stats:
        scale_rows += ["Percentile 25", "Percentile 50", "Percentile 75"]

    for name, level in items:
        table = next((t for title, t in tables.items() if title.lower() == name.lower()), None)
        if table is None:
            problems.append("%s: no table" % name)
            continue
        rows = rows_of(table)
        if level == "scale":
            ref = scale_reference(ds, name, weights)
            got = {c: cells.get("Value") for grp in ("N", "Central Tendency and Dispersion")
                   for c, _, cells, _ in rows.get(grp, [])}
            if sorted(got) != sorted(scale_rows):
                problems.append("%s: scale rows %s, expected %s" % (name, sorted(got), sorted(scale_rows)))
            for row in scale_rows:
                if row in got and not close(got[row], ref[row]):
                    problems.append("%s: %s is %r, reference %r" % (name, row, got[row], ref[row]))
            labels = [c["value"] for c in ds["fields"][name].get("categories", [])]
            if labels and want_counts and len(labels) <= maxcats:
                # the labelled values that occur, in the order of the labels, counted as categories
                cat = category_reference(ds, name, weights)
                counts = {**cat["valid"], **cat["missing"]}
                expected = [v for v in labels if v in counts]
                shown = [(v, cells) for lst in rows.values() for _, v, cells, _ in lst
                         if v is not None and ("Count" in cells or "Percent" in cells)]
                if [v for v, _ in shown] != expected:
                    problems.append("%s: labelled values %s, reference %s" % (name, [v for v, _ in shown], expected))
                else:
                    for v, cells in shown:
                        check_cells(problems, "%s=%r" % (name, v), cells, counts[v], cat["total"], want_count,
                                    want_percent)
        elif level == "cat":
            ref = category_reference(ds, name, weights)
            labels = len(ds["fields"][name].get("categories", []))
            hidden = not want_counts or ref["categories"] > maxcats or labels > maxcats
            valid = [(v, cells) for _, v, cells, _ in rows.get("Valid Values", [])]
            umiss = [(v, cells) for _, v, cells, _ in rows.get("Missing Values", []) if v is not None]
            counted = [x for x in valid + umiss if "Count" in x[1] or "Percent" in x[1]]
            if hidden:
                if counted:
                    problems.append("%s: counts shown over MAXCATS or without COUNT" % name)
                named = name.lower() in not_shown
                if want_counts and named != (labels > maxcats or withdrawn_in_pass(ds, name, weights, maxcats)):
                    problems.append("%s: %s in the warning about counts not shown" % (name, "named" if named else "not named"))
                continue
            for group, expected in (("valid", ref["valid"]), ("missing", ref["missing"])):
                shown = {v: cells for v, cells in (valid if group == "valid" else umiss)
                         if "Count" in cells or "Percent" in cells}
                if sorted(map(str, shown)) != sorted(map(str, expected)):
                    problems.append("%s: %s categories %s, reference %s" % (name, group, sorted(map(str, shown)),
                                                                           sorted(map(str, expected))))
                    continue
                for v, cells in shown.items():
                    check_cells(problems, "%s=%r" % (name, v), cells, expected[v], ref["total"],
                                want_count, want_percent)
            # the order of the valid categories: ascending values
            order = [v for v, cells in valid if "Count" in cells or "Percent" in cells]
            if order != sorted(order):
                problems.append("%s: categories out of order %s" % (name, order))
        else:
            s = next(x for x in ds["sets"] if x["name"] == name)
            ref = set_reference(ds, s, weights)
            if s["type"] == "dichotomies":
                expected = {m: ref["counts"].get(m, 0.0) for m in s["variables"]}
            else:
                expected = ref["counts"]
            if not want_counts or len(expected) > maxcats:
                continue
            shown = {}
            for _, lst in rows.items():
                for label, v, cells, var in lst:
                    if "Count" in cells or "Percent" in cells:
                        shown[var if s["type"] == "dichotomies" else v] = cells
            if sorted(map(str, shown)) != sorted(map(str, expected)):
                problems.append("%s: categories %s, reference %s" % (name, sorted(map(str, shown)),
                                                                    sorted(map(str, expected))))
                continue
            for key, count in expected.items():
                check_cells(problems, "%s/%r" % (name, key), shown[key], count, ref["total"],
                            want_count, want_percent)
    return problems


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 20261207
    program = os.path.join(build, "codebook")
    rng = random.Random(seed)
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for r in range(rounds):
            ds = make_dataset(rng)
            items, stats, maxcats, cmd = make_command(rng, ds)
            path = write_dataset(ds, folder)
            run = subprocess.run([program, "--format", "json", "--threads", os.environ.get("THREADS", "1"), path, cmd],
                                 capture_output=True, text=True, env=dict(os.environ, CODEBOOK_SMALL_PAGES="1"))
            if run.returncode not in (0, 1):
                print("round %d: exit %d: %s\n  %s" % (r, run.returncode, run.stderr.strip(), cmd))
                failed += 1
                continue
            report = json.loads(run.stdout)
            errors = [m["text"] for m in report["items"] if m["kind"] == "message" and m["severity"] == "error"]
            cases = sum(1 for w in weights_of(ds) if w is not None)
            if errors:
                if errors != ["Empty dataset."] or ds["n"] != 0:
                    print("round %d: errors %s\n  %s" % (r, errors, cmd))
                    failed += 1
                continue
            if ds["n"] == 0:
                print("round %d: no case, yet no \"Empty dataset.\" error\n  %s" % (r, cmd))
                failed += 1
                continue
            problems = check_run(ds, items, stats, maxcats, report)
            if problems:
                failed += 1
                print("round %d (seed %d, %d cases, %d enter): %s" % (r, seed, ds["n"], cases, cmd))
                for p in problems[:12]:
                    print("  " + p)
                keep = os.path.join(os.environ.get("KEEP", "/tmp"), "random-run-%d-%d" % (seed, r))
                os.makedirs(keep, exist_ok=True)
                write_dataset(ds, keep)
                print("  dataset kept in " + keep)
    print("%d of %d rounds differ from the reference" % (failed, rounds))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

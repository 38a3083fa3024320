#!/usr/bin/env python3
"""Numbers at the edges, checked against exact rational arithmetic.

Runs the program on the files in tests/golden-data/edges/ (values of 1e15 with
small parts, a spread of 1e-3 around 1e9, 17 significant digits, subnormals,
-0, ties at the quartiles, one to four cases, fractional, zero, negative and
missing weights, percents that lie exactly on a half, weights and values near
the largest double, columns of one value repeated, whole weights totalling
past 2^50, the widest print formats, decimal weights whose percents, means and
quartiles lie on a half, weighted values that cancel, with and without the quartiles) and checks every mean, standard deviation, percentile and
percent: the number within two ulps of the exact result, and the text as that
exact result rounded half away from zero to the decimals shown (or, where the
print format fixes them, to its decimals plus two). Then values of every size
in F, COMMA, DOT, DOLLAR, PCT and E formats of every width, against a model of
the format rules. Standard library only.
Usage: edge_numbers.py build-dir [repository-root]
"""

import csv
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile
from decimal import ROUND_HALF_UP, Decimal, localcontext
from fractions import Fraction

from exact import percentile

build = sys.argv[1]
root = sys.argv[2] if len(sys.argv) > 2 else os.getcwd()
EDGES = os.path.join(root, "tests/golden-data/edges")
problems = []


def run(dataset, command):
    out = subprocess.run([os.path.join(build, "codebook"), dataset, "--format", "json", "--quiet", command],
                         capture_output=True, text=True, check=True).stdout
    return [i for i in json.loads(out)["items"] if i["kind"] == "table"]


def weighted_package(scratch, fields, rows):
    """Writes rows (tuples of text) under the named fields, weighted by w, and
    returns the descriptor's path. fields: (name, type, measure or None)."""
    with open(os.path.join(scratch, "cases.csv"), "w") as f:
        f.write(",".join(name for name, _, _ in fields) + "\n" + "".join(",".join(r) + "\n" for r in rows))
    schema = [dict({"name": name, "type": kind}, **({"measure": measure} if measure else {}))
              for name, kind, measure in fields]
    path = os.path.join(scratch, "datapackage.json")
    with open(path, "w") as f:
        json.dump({"weight": "w", "resources": [{"path": "cases.csv", "schema": {"fields": schema}}]}, f)
    return path


def cells_of(table):
    """(group, category) -> first cell, over the row dimension."""
    found = {}

    def walk(children, group):
        for c in children:
            if "group" in c:
                walk(c["children"], c["group"])
            elif c.get("cells"):
                found[(group, c["category"])] = c["cells"]
    walk(table["dimensions"][0]["children"], None)
    return found


def exact_sqrt(q):
    if q == 0:
        return Fraction(0)
    m = 1400
    return Fraction(math.isqrt(q.numerator * 4**m // q.denominator), 2**m)


def shown(value, decimals):
    """The text of the double nearest the exact value: its shortest decimal
    form rounded half away from zero, as the report writes numbers."""
    r = Decimal(repr(float(value))).quantize(Decimal(1).scaleb(-decimals), rounding=ROUND_HALF_UP)
    return f"{abs(r) if r == 0 else r:f}"


def unsigned_zero(text):
    """A zero (-0, or a tiny negative value) is shown with or without its sign."""
    return text.lstrip("-") if float(text.rstrip("%")) == 0 else text


def check_number(what, cell, want, percent=False, decimals=None):
    got, text = cell.get("number"), cell["text"]
    near = float(want)
    if got is None or abs(got - near) > 2 * math.ulp(near):
        problems.append(f"{what}: number {got!r}, exact {near!r}")
        return
    if "E" in text:  # scientific: the number's mantissa rounded to the decimals shown
        mantissa, _, exponent = text.partition("E")
        step = Decimal(1).scaleb(int(exponent) - len(mantissa.partition(".")[2]))
        if abs(Decimal(text) - Decimal(repr(got))) > step / 2:
            problems.append(f"{what}: text {text!r}, number {got!r}")
        # ...with up to four decimals where the number has them: a count of
        # 1.7E+308 rounded to no decimals would read 2E+308, beyond every double.
        else:
            digits = len(repr(abs(got)).partition("e")[0].replace(".", "").strip("0"))
            if len(mantissa.partition(".")[2]) < min(digits - 1, 4):
                problems.append(f"{what}: text {text!r} drops digits of {got!r}")
        return
    if decimals is None:
        decimals = len(text.rstrip("%").partition(".")[2])
    else:  # as many decimals as the format asks, past the digits that tell the exact value from ours
        want = got
    want_text = shown(want, decimals) + ("%" if percent else "")
    if unsigned_zero(text) != unsigned_zero(want_text):
        problems.append(f"{what}: text {text!r}, exact {near!r} shows {want_text!r}")


def check_scale(table, pairs, decimals=None):
    cells = cells_of(table)
    name = table["title"]
    w = sum(wt for _, wt in pairs)
    mean = sum(v * wt for v, wt in pairs) / w
    want = {"Mean": mean}
    if w > 1:
        want["Standard Deviation"] = exact_sqrt(sum(wt * (v - mean) ** 2 for v, wt in pairs) / (w - 1))
    for p in (25, 50, 75):
        want[f"Percentile {p}"] = percentile(pairs, Fraction(p, 100))
    for label, value in want.items():
        cell = cells.get(("Central Tendency and Dispersion", label))
        if cell is None:
            problems.append(f"{name}: no {label}")
        else:
            check_number(f"{name} {label}", cell[0], value, decimals=decimals)


def check_mean(table, pairs):
    """The mean of a run that asks for it without the quartiles: the double
    nearest the exact one, as where the values are kept for the quartiles."""
    w = sum(wt for _, wt in pairs)
    cell = cells_of(table).get(("Central Tendency and Dispersion", "Mean"))
    if cell is None:
        problems.append(f"{table['title']} (no quartiles): no mean")
    else:
        check_number(f"{table['title']} mean (no quartiles)", cell[0], sum(v * wt for v, wt in pairs) / w)


def check_percents(table, counts):
    """counts: category text -> exact weighted count; percents of their sum."""
    cells = cells_of(table)
    total = sum(counts.values())
    for category, count in counts.items():
        row = cells.get(("Valid Values", category))
        if row is None:
            problems.append(f"{table['title']}: no row {category}")
            continue
        percent = [c for c in row if c["column"] == "Percent"][0]
        check_number(f"{table['title']} {category} percent", percent, count * 100 / total, percent=True)


# Unweighted: every column of numbers.csv.
path = os.path.join(EDGES, "numbers.csv")
with open(path, newline="") as f:
    rows = list(csv.DictReader(f))
columns = list(rows[0])
tables = run(path, "CODEBOOK code [N] " + " ".join(f"{c} [S]" for c in columns[1:]) + ".")
for table in tables:
    values = [r[table["title"]] for r in rows if r[table["title"]] != ""]
    if table["title"] == "code":
        check_percents(table, {v: Fraction(values.count(v)) for v in sorted(set(values))})
    else:
        check_scale(table, [(Fraction(float(v)), Fraction(1)) for v in values])

# Weighted: decimal weights as written (0.3 is three tenths); a case whose
# weight is missing, zero or negative enters nothing.
path = os.path.join(EDGES, "weighted/datapackage.json")
with open(os.path.join(EDGES, "weighted/cases.csv"), newline="") as f:
    rows = [r for r in csv.DictReader(f) if r["w"] != "" and Decimal(r["w"]) > 0]
tables = run(path, "CODEBOOK x [S] g [N].")
check_scale(tables[0], [(Fraction(float(r["x"])), Fraction(Decimal(r["w"]))) for r in rows])
groups = {}
for r in rows:
    groups[r["g"]] = groups.get(r["g"], 0) + Fraction(Decimal(r["w"]))
check_percents(tables[1], dict(sorted(groups.items())))


# The same without the quartiles, and values whose weighted parts largely
# cancel: weights 0.735 and 9.265 on 1 and 0 give the mean 0.0735 exactly,
# which the running mean ends 7 ulps below (shown 0.073).
tables = run(path, "CODEBOOK x [S] /STATISTICS MEAN STDDEV.")
check_mean(tables[0], [(Fraction(float(r["x"])), Fraction(Decimal(r["w"]))) for r in rows])
folder = os.path.join(EDGES, "cancelling")
with open(os.path.join(folder, "mean.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
for command in ("CODEBOOK x y /STATISTICS MEAN.", "CODEBOOK x y /STATISTICS MEAN STDDEV QUARTILES."):
    for table in run(os.path.join(folder, "mean.json"), command):
        check_mean(table, [(Fraction(r[table["title"]]), Fraction(Decimal(r["w"]))) for r in rows])
# And a quartile between values that largely cancel: weights 1.175 and 1
# on -1.5 and 1 put the median at h = 1.5875, -1.5 + 0.5875 * 2.5 = -0.03125
# exactly, which the double nearest 0.5875 misses by 7 ulps (shown -0.0312).
with open(os.path.join(folder, "quartile.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
check_scale(run(os.path.join(folder, "quartile.json"), "CODEBOOK x.")[0],
            [(Fraction(r["x"]), Fraction(Decimal(r["w"]))) for r in rows])

# Decimal weights on values that repeat among many that do not: each repeated
# value's weights sum compensated in a table until the values outgrow it, and
# the part of each sum below its double then goes on as a pair of its own, so
# the mean summed over the stored pairs is still the double nearest the exact
# mean of the values and weights as read (without it, up to 7 ulps off).
for seed in range(12):
    rng = random.Random(seed)
    rows = [(repr(rng.choice([rng.uniform(-1, 1), rng.randint(-100, 100) / 10, 1.0])),
             repr(rng.randint(1, 99999) / 10 ** rng.randint(0, 4))) for _ in range(3000)]
    pairs = [(Fraction(float(x)), Fraction(float(w))) for x, w in rows]
    exact = float(sum(x * w for x, w in pairs) / sum(w for _, w in pairs))
    with tempfile.TemporaryDirectory() as scratch:
        package = weighted_package(scratch, (("x", "number", "scale"), ("w", "number", None)), rows)
        for command in ("CODEBOOK x /STATISTICS MEAN.", "CODEBOOK x."):
            table = run(package, command)[0]
            got = cells_of(table).get(("Central Tendency and Dispersion", "Mean"), [{}])[0].get("number")
            if got != exact:
                problems.append(f"repeated values, seed {seed} ({command}): mean {got!r}, nearest the exact {exact!r}")
            if command == "CODEBOOK x." and seed < 3:
                check_scale(table, pairs)

# Weights near the largest double. Every category a case entered is listed;
# a count beyond the largest double has no number (its text "."), a finite
# one is exact; percents are exact while the total is a double, and have no
# number when it is not.
BIGGEST = Fraction(sys.float_info.max)
for name in ("datapackage.json", "within.json"):
    path = os.path.join(EDGES, "huge_weights", name)
    with open(path.replace(name, name.replace(".json", ".csv").replace("datapackage", "cases")), newline="") as f:
        rows = list(csv.DictReader(f))
    counts = {}
    for r in rows:
        counts[r["g"]] = counts.get(r["g"], 0) + Fraction(Decimal(r["w"]))
    total = sum(counts.values())
    cells = cells_of(run(path, "CODEBOOK g [N].")[0])
    for category, count in sorted(counts.items()):
        row = cells.get(("Valid Values", category))
        if row is None:
            problems.append(f"{name}: no row {category}")
            continue
        got = {c["column"]: c for c in row}
        if count > BIGGEST:
            if got["Count"].get("number") is not None or got["Count"]["text"] != ".":
                problems.append(f"{name} {category}: count beyond the doubles shown as {got['Count']}")
        else:
            check_number(f"{name} {category} count", got["Count"], count)
        if total <= BIGGEST:
            check_number(f"{name} {category} percent", got["Percent"], count * 100 / total, percent=True)
        elif got["Percent"].get("number") is not None or got["Percent"]["text"] != ".":
            problems.append(f"{name} {category}: percent of a total beyond the doubles {got['Percent']}")

# Values and weights near the largest double, whose sums of values, of
# weights times values and of squares overflow though the mean, the standard
# deviation and the valid weight are finite; values near the smallest
# normal double and a negative subnormal, with those weights.
# Values near the smallest normal double and subnormals with weights below
# 1, whose products lie among the subnormals.
for folder in ("huge_values", "tiny_values"):
    path = os.path.join(EDGES, folder, "datapackage.json")
    with open(os.path.join(EDGES, folder, "cases.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    for table in run(path, "CODEBOOK x y [S]."):
        pairs = [(Fraction(float(r[table["title"]])), Fraction(Decimal(r["w"]))) for r in rows]
        check_scale(table, pairs)
        # With the quartiles asked the values are kept, and the mean is the
        # double nearest the exact one, products near the subnormals too.
        mean = sum(v * wt for v, wt in pairs) / sum(wt for _, wt in pairs)
        got = cells_of(table).get(("Central Tendency and Dispersion", "Mean"), [{}])[0].get("number")
        if got != float(mean):
            problems.append(f"{folder} {table['title']} mean {got!r}, nearest the exact {float(mean)!r}")
        valid = cells_of(table).get(("N", "Valid"))
        if valid is None:
            problems.append(f"{folder} {table['title']}: no valid N")
        else:
            check_number(f"{folder} {table['title']} valid N", valid[0], sum(w for _, w in pairs))

# Weighted values whose sum Σ w·x overflows even at a quarter of every value
# (7 on the largest double and on -1e308 beside 4e307 on the smallest
# subnormal: the mean 13.96, which was shown as the running mean's 0), and
# weights whose total passes the largest double (1e308 and 1.5e308 on a few
# values, with values near it too): their mean, standard deviation and
# quartiles are finite numbers and are shown; the valid weight past the
# doubles has none. Also where one value's own weights pass the largest
# double together (5 with 1e308 and 1.2e308 beside lighter values).
folder = os.path.join(EDGES, "overflowing")
for name in ("quarter", "past", "repeated"):
    with open(os.path.join(folder, name + ".csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    for table in run(os.path.join(folder, name + ".json"), "CODEBOOK x y."):
        pairs = [(Fraction(float(r[table["title"]])), Fraction(Decimal(r["w"]))) for r in rows]
        check_scale(table, pairs)
        valid = cells_of(table).get(("N", "Valid"), [{"text": "(none)"}])[0]
        total = sum(w for _, w in pairs)
        if total <= BIGGEST:
            check_number(f"{name} {table['title']} valid N", valid, total)
        elif valid.get("number") is not None or valid["text"] != ".":
            problems.append(f"{name} {table['title']}: valid weight beyond the doubles shown as {valid}")

# Columns whose values are all equal (0.1, 1e15 + 0.2, -2.675, the smallest
# subnormal), a hundred of them, so that the summing that takes values in
# runs sees them: the standard deviation is exactly 0 and every quartile the
# value, unweighted and with weights of many digits, tiny, huge, zero,
# negative and missing. And 0.1, 0.2 and 0.1 + 0.2 in turn.
folder = os.path.join(EDGES, "equal")
with open(os.path.join(folder, "cases.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
command = "CODEBOOK same big neg tiny tenths [S]."
for path, weighted in ((os.path.join(folder, "cases.csv"), False), (os.path.join(folder, "datapackage.json"), True)):
    for table in run(path, command):
        pairs = [(Fraction(float(r[table["title"]])), Fraction(float(r["w"])) if weighted else Fraction(1))
                 for r in rows if not weighted or (r["w"] != "" and float(r["w"]) > 0)]
        check_scale(table, pairs)

# Decimal weights whose percents, means and quartiles lie exactly on a half of
# the last decimal shown (1.005 of 10 is 10.05%, shown 10.1%; the four percents add up
# to 100.2%), though computed in binary they fall an ulp below it.
folder = os.path.join(EDGES, "decimal_halves")
with open(os.path.join(folder, "cases.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
tables = run(os.path.join(folder, "datapackage.json"), "CODEBOOK g a b c d.")
check_percents(tables[0], {r["g"]: Fraction(Decimal(r["w"])) for r in rows})
for table in tables[1:]:
    check_scale(table, [(Fraction(r[table["title"]]), Fraction(Decimal(r["w"]))) for r in rows])
# ...and quartiles: weights 0.3 and 3 make (W + 1)p 3.225 at the 75th, which
# binary computes as 3.2249999999999996, and 4.975 at the median of the
# second file, whose fraction 0.975 the double 4.975 keeps only to 4e-16.
for name in ("quartiles1", "quartiles2"):
    with open(os.path.join(folder, name + ".csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    check_scale(run(os.path.join(folder, name + ".json"), "CODEBOOK x [S].")[0],
                [(Fraction(Decimal(r["x"])), Fraction(Decimal(r["w"]))) for r in rows])

# Whole weights whose total passes 2^50: they sum exactly, so a cumulative
# weight one short of a target has not reached it (the median of 1.2e15 + 1
# cases, 6e14 of them 1 or 2, is 3), however little that is of the total.
path = os.path.join(EDGES, "whole_weights", "datapackage.json")
with open(os.path.join(EDGES, "whole_weights", "cases.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
check_scale(run(path, "CODEBOOK x [S].")[0], [(Fraction(r["x"]), Fraction(r["w"])) for r in rows])

# Weight totals past 2^52 beside decimal weights: a quartile's share of its
# step is that of the fraction the decimals make, rounded once (0.3 of the
# step from 0 to 3 is 0.9, which binary gave as 0.9000000000000001).
for rows in ([("3", "0.1"), ("3", "2.5e16"), ("2.2e-308", "1.5"), ("-1", "2.5e16")],
             [("3", "0.1"), ("2.2e-308", "4503599627370496"), ("1.5", "4503599627370496")]):
    with tempfile.TemporaryDirectory() as scratch:
        table = run(weighted_package(scratch, (("x", "number", "scale"), ("w", "number", None)), rows), "CODEBOOK x.")[0]
    pairs = [(Fraction(float(x)), Fraction(Decimal(w))) for x, w in rows]
    for p in (25, 50, 75):
        got = cells_of(table).get(("Central Tendency and Dispersion", f"Percentile {p}"), [{}])[0].get("number")
        want = float(percentile(pairs, Fraction(p, 100)))
        if got != want:
            problems.append(f"weights past 2^52 {rows}: percentile {p} {got!r}, nearest the exact {want!r}")

# Random files of decimal weights: every percent is the double nearest the
# exact count over the exact total of the weights as written (the counts are
# exact sums, but each rounded to a double, and dividing those was an ulp off
# in some 40% of percents), and every standard deviation the double nearest
# the exact one of the values and weights as stored, with and without the
# quartiles (the running sum of squares was up to 2 ulps off where weighted
# values cancel).
for seed in range(40):
    rng = random.Random(1000 + seed)
    n = rng.randint(2, 60)
    digits = rng.choice([1, 2, 3, 4, 6])
    weights = [Decimal(rng.randint(0 if rng.random() < 0.15 else 1, 5 * 10**digits)) / 10**digits for _ in range(n)]
    kind = seed % 4
    values = [repr(rng.randint(-50, 50) / 10) if kind == 0 else str(rng.choice([0, 1])) if kind == 1 else
              repr((10**9 + rng.randint(0, 100)) / 100) if kind == 2 else repr(rng.randint(0, 10**6) / 10**rng.randint(0, 6))
              for _ in range(n)]
    groups = [str(rng.randint(1, 5)) for _ in range(n)]
    entering = [(Fraction(w), g, Fraction(float(x)), Fraction(float(w))) for w, g, x in zip(weights, groups, values)
                if w > 0]
    counts = {}
    for w, g, _, _ in entering:
        counts[g] = counts.get(g, 0) + w
    stored = [(x, ws) for _, _, x, ws in entering]
    with tempfile.TemporaryDirectory() as scratch:
        package = weighted_package(scratch, (("w", "number", None), ("g", "integer", "nominal"),
                                             ("x", "number", "scale")),
                                   [(str(w), str(g), str(x)) for w, g, x in zip(weights, groups, values)])
        for command in ("CODEBOOK g x.", "CODEBOOK x /STATISTICS STDDEV."):
            tables = run(package, command)
            if command == "CODEBOOK g x.":
                cells = cells_of(tables[0])
                total = sum(counts.values())
                for g, count in sorted(counts.items()):
                    got = {c["column"]: c.get("number") for c in cells.get(("Valid Values", g), [])}.get("Percent")
                    if got != float(count * 100 / total):
                        problems.append(f"decimal weights, seed {seed}: percent of {g} {got!r}, "
                                        f"nearest the exact {float(count * 100 / total)!r}")
            w = sum(ws for _, ws in stored)
            if w > 1:
                mean = sum(x * ws for x, ws in stored) / w
                want = float(exact_sqrt(sum(ws * (x - mean) ** 2 for x, ws in stored) / (w - 1)))
                got = cells_of(tables[-1]).get(("Central Tendency and Dispersion", "Standard Deviation"),
                                               [{}])[0].get("number")
                if got != want:
                    problems.append(f"decimal weights, seed {seed} ({command}): standard deviation {got!r}, "
                                    f"nearest the exact {want!r}")

# Random files of decimal weights with user-missing values and empty cells:
# the "System" row's count and percent are those of the exact missing weight
# less the exact user-missing counts (the difference of the rounded doubles
# put its percent an ulp off), and a scale variable's labelled values have
# percents of the exact weighted case total, whichever table gives it. (The
# labelled values' counts, and the scale table's valid and missing weights,
# are exact sums of the weights as stored, not as written: the percent is of
# those.)
for seed in range(40):
    rng = random.Random(2000 + seed)
    n = rng.randint(2, 60)
    digits = rng.choice([1, 2, 3, 4, 6])
    rows = [(str(Decimal(rng.randint(0 if rng.random() < 0.15 else 1, 5 * 10**digits)) / 10**digits),
             rng.choice(["1", "2", "8", "9", "", ""]), rng.choice(["1", "2", "2.5", ""])) for _ in range(n)]
    entering = [(Fraction(Decimal(w)), u, s) for w, u, s in rows if Decimal(w) > 0]
    total = sum(w for w, _, _ in entering)
    if total == 0:
        continue
    stored = {s: sum(Fraction(float(w)) for w, _, x in entering if x == s) for s in ("1", "2")}
    with tempfile.TemporaryDirectory() as scratch:
        with open(os.path.join(scratch, "cases.csv"), "w") as f:
            f.write("w,u,s\n" + "".join(",".join(r) + "\n" for r in rows))
        fields = [{"name": "w", "type": "number"},
                  {"name": "u", "type": "integer", "measure": "nominal", "userMissing": {"values": [8, 9]}},
                  {"name": "s", "type": "number", "measure": "scale", "printFormat": "F3.1",
                   "categories": [{"value": 1, "label": "one"}, {"value": 2, "label": "two"}]}]
        package = os.path.join(scratch, "datapackage.json")
        with open(package, "w") as f:
            json.dump({"weight": "w", "resources": [{"path": "cases.csv", "schema": {"fields": fields}}]}, f)
        for command in ("CODEBOOK u s.", "CODEBOOK s u."):
            tables = {t["title"]: cells_of(t) for t in run(package, command)}
            base = total if command == "CODEBOOK u s." else sum(Fraction(float(w)) for w, _, _ in entering)
            wants = {("Missing Values", "System"): (sum(w for w, u, _ in entering if u == ""), total),
                     ("Labeled Values", "1.0"): (stored["1"], base), ("Labeled Values", "2.0"): (stored["2"], base)}
            for (group, category), (count, whole) in wants.items():
                row = tables["u" if group == "Missing Values" else "s"].get((group, category))
                if count == 0:
                    if row is not None:
                        problems.append(f"user-missing, seed {seed} ({command}): a row {category} of no case")
                    continue
                got = {c["column"]: c.get("number") for c in (row or [])}
                if got.get("Count") != float(count) or got.get("Percent") != float(count * 100 / whole):
                    problems.append(f"user-missing, seed {seed} ({command}): {category} {got}, nearest the exact "
                                    f"{float(count)!r} and {float(count * 100 / whole)!r}")

# Weights past 2^500 beside small ones: each heavy case outweighs all before
# it, and the running mean and sum of squares, which the standard deviation
# keeps at such totals (and the mean where the products overflow), lost the
# part before it (3.5e-150 came out 2.9e-150; a mean of 6.3e8 came out 3).
# Mean and standard deviation only: the quartiles at such totals are left.
for rows in ((("-7", "0.25"), ("0", "0.25"), ("-7", "0.25"), ("-7", "1e300")),
             (("3", "7"), ("8.98846567431158e307", "7"), ("3", "7"), ("1", "7"), ("3", "1e300")),
             (("-0", "7"), ("8.98846567431158e307", "7"), ("0", "4e307"), ("0", "1e300")),
             (("1e-300", "3"), ("2.5", "3"), ("0", "0.25"), ("0", "4e307"), ("0", "3"), ("2.5", "0.25"))):
    pairs = [(Fraction(float(x)), Fraction(float(w))) for x, w in rows]
    w = sum(wt for _, wt in pairs)
    mean = sum(v * wt for v, wt in pairs) / w
    sd = exact_sqrt(sum(wt * (v - mean) ** 2 for v, wt in pairs) / (w - 1))
    with tempfile.TemporaryDirectory() as scratch:
        package = weighted_package(scratch, (("x", "number", "scale"), ("w", "number", None)), rows)
        for command in ("CODEBOOK x.", "CODEBOOK x /STATISTICS MEAN STDDEV."):
            cells = cells_of(run(package, command)[0])
            for label, want in (("Mean", mean), ("Standard Deviation", sd)):
                cell = cells.get(("Central Tendency and Dispersion", label))
                if cell is None:
                    problems.append(f"heavy weights {rows} ({command}): no {label}")
                else:
                    check_number(f"heavy weights {rows} ({command}) {label}", cell[0], want)

# Whole weights whose total passes 2^53, where h and the cumulative weights
# need more digits than a double has: 1e16, 1e16 and 1 on 1, 2 and 3 put the
# median at h = 1e16 + 1, past the cumulative weight 1e16 of the 1 (it was 1).
for weights in (("1e16", "1e16", "1"), ("1e16", "3", "1e16", "2"), ("9007199254740993", "1", "9007199254740993")):
    rows = [(str(i + 1), w) for i, w in enumerate(weights)]
    with tempfile.TemporaryDirectory() as scratch:
        package = weighted_package(scratch, (("x", "number", "scale"), ("w", "number", None)), rows)
        table = run(package, "CODEBOOK x /STATISTICS QUARTILES.")[0]
        pairs = [(Fraction(x), Fraction(float(w))) for x, w in rows]
        for p in (25, 50, 75):
            got = cells_of(table).get(("Central Tendency and Dispersion", f"Percentile {p}"), [{}])[0].get("number")
            want = float(percentile(pairs, Fraction(p, 100)))
            if got != want:
                problems.append(f"weights {'/'.join(weights)}: percentile {p} {got!r}, exact {want!r}")

# Means, standard deviations and quartiles have the print format's decimals
# plus two, also past the 16 decimals of the widest formats (F40.16: 18).
path = os.path.join(EDGES, "widest", "datapackage.json")
with open(path) as f:
    formats = {fd["name"]: fd["printFormat"] for fd in json.load(f)["resources"][0]["schema"]["fields"]}
with open(os.path.join(EDGES, "widest", "cases.csv"), newline="") as f:
    rows = list(csv.DictReader(f))
for table in run(path, "CODEBOOK a b c [S]."):
    name = table["title"]
    places = int(formats[name].partition(".")[2] or 0) + 2
    check_scale(table, [(Fraction(float(r[name])), Fraction(1)) for r in rows], decimals=places)

# Values in their print formats, as the value rows show them, against a model
# of the format rules: rounding half away from zero on the shortest decimal
# digits; when the text is too wide, no grouping, then no leading zero of a
# fraction, then fewer decimals, then scientific notation with as many
# mantissa decimals as fit (at most the format's, when it has any), then
# asterisks. Halves, nines that carry into a new digit, -0, integers past
# 2^53 and 1e37 at every width, beside random values of every size.
def fixed_text(x, places):
    with localcontext() as ctx:
        ctx.prec = 800
        r = Decimal(repr(x)).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)
    return f"{abs(r) if r == 0 else r:f}"


def scientific_text(x, places):
    d = Decimal(repr(x))
    exponent = 0 if d == 0 else d.adjusted()
    mantissa = d.scaleb(-exponent).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)
    if abs(mantissa) >= 10:
        exponent += 1
        mantissa = d.scaleb(-exponent).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)
    return f"{abs(mantissa) if mantissa == 0 else mantissa:f}E{'-' if exponent < 0 else '+'}{abs(exponent):03d}"


def format_text(x, kind, width, places):
    if kind == "E":
        return next((t for k in range(places, -1, -1) if len(t := scientific_text(x, k)) <= width), "*" * width)
    separator, point, prefix, suffix = {"F": ("", ".", "", ""), "COMMA": (",", ".", "", ""), "DOT": (".", ",", "", ""),
                                        "DOLLAR": (",", ".", "$", ""), "PCT": ("", ".", "", "%")}[kind]

    def compose(plain, grouped=False):
        sign, body = ("-", plain[1:]) if plain.startswith("-") else ("", plain)
        whole, dot, fraction = body.partition(".")
        if grouped:
            whole = f"{int(whole):,}".replace(",", separator) if whole else whole
        return sign + prefix + whole + (point if dot else "") + fraction + suffix
    candidates = [compose(fixed_text(x, places), grouped=True)] if separator else []
    for k in range(places, -1, -1):
        plain = fixed_text(x, k)
        short = re.sub(r"^(-?)0\.", r"\1.", plain) if k > 0 else plain
        candidates.append(compose(short if k < places or len(compose(plain)) > width else plain))
    candidates.insert(1 if separator else 0, compose(fixed_text(x, places)))
    candidates += [scientific_text(x, k) for k in range(places if places else 16, -1, -1)]
    return next((t for t in candidates if len(t) <= width), "*" * width)


rng = random.Random(23)
values = {0.125, -0.125, 2.5, -2.5, -0.5, 2.675, -2.675, 9.995, -9.995, 99.95, 999.5, 1e15 + 0.5, 0.0005, -0.004,
          0.0, 9007199254740993.0, 12345678901234567890.0, 1e37, -1e37, 1e-7, 0.045, 1.005, 99999.995, 0.95}
while len(values) < 120:
    digits = rng.randint(1, 17)
    values.add(float(f"{rng.choice('-+')}{rng.randint(1, 10**digits - 1)}e{rng.randint(-digits - 8, 40 - digits)}"))
values = sorted(values)
formats = []
for kind, least in (("F", 1), ("COMMA", 1), ("DOT", 1), ("DOLLAR", 2), ("PCT", 1), ("E", 6)):
    for width in sorted({least, least + 1, 3, 5, 8, 10, 12, 16, 22, 40} - set(range(least))):
        formats.append((kind, width, rng.randint(0, min(16, width - 1))))
with tempfile.TemporaryDirectory() as folder:
    names = [f"v{i}" for i in range(len(formats))]
    with open(os.path.join(folder, "cases.csv"), "w") as f:
        f.write(",".join(names) + "\n" + "".join(",".join([repr(v)] * len(names)) + "\n" for v in values))
    fields = [{"name": n, "type": "number", "measure": "nominal", "printFormat": f"{k}{w}.{d}"}
              for n, (k, w, d) in zip(names, formats)]
    with open(os.path.join(folder, "datapackage.json"), "w") as f:
        json.dump({"resources": [{"path": "cases.csv", "schema": {"fields": fields}}]}, f)
    tables = run(os.path.join(folder, "datapackage.json"), "CODEBOOK ALL /STATISTICS COUNT /OPTIONS MAXCATS=1000.")
for table, (kind, width, places) in zip(tables, formats):
    shown_values = {}

    def listed(children):
        for c in children:
            if "group" in c:
                listed(c["children"])
            elif "value" in c:
                shown_values[c["value"]] = c["category"]
    listed(table["dimensions"][0]["children"])
    for v in values:
        want = format_text(v, kind, width, places)
        if shown_values.get(v) != want:
            problems.append(f"{v!r} in {kind}{width}.{places}: {shown_values.get(v)!r}, the rules say {want!r}")

for p in problems:
    print(p)
print(f"{len(problems)} differences")
sys.exit(1 if problems else 0)

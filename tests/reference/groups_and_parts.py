#!/usr/bin/env python3
"""Split files, multiple-response sets and runs in parts, against exact fractions.

Each round writes a weighted data package whose cases fall into split-file groups (one or two
split variables: groups of one case, one group, runs of any length, a group whose every weight
is zero, negative or missing) and checks the report of a CODEBOOK command against Python's
fractions. Split groups are counted together, so every number is that of the whole file:

- variables: each category's count (the decimal weights as written, summed exactly) and percent
  (the double nearest the exact quotient), user-missing values and ranges (LO, HI, a range and a
  value) listed among the missing ones, the "System" row as the missing total less those;
  strings compared without trailing blanks;
- scale variables: Valid and Missing (exact sums), the mean and the standard deviation (the
  double nearest the exact value of the weights as stored), the quartiles by the (W + 1)p rule;
- dichotomy sets whose counted value is 0, or a string, and category sets with a value twice in
  one case, members' own user-missing values and cases with nothing in any member.

Some rounds are also written as several CSV files and run in parts (--write-plan, --run-plan,
--merge), which must give the bytes of one run; and so must 1, 2 and 4 threads on a long file.
Then files at the edges, in parts cut where it matters: one value's weights past the largest
double together, whole weights past 2^53, and a variable whose distinct values pass 4,096 only
once the parts are merged.

Usage: groups_and_parts.py BUILD_DIR [ROUNDS] [SEED]. Standard library only.
"""

import csv
import json
import math
import os
import random
import subprocess
import sys
import tempfile
from decimal import Decimal
from fractions import Fraction

from exact import percentile

build = sys.argv[1]
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 40
SEED = int(sys.argv[3]) if len(sys.argv) > 3 else 20261209
PROGRAM = os.path.join(build, "codebook")
ENV = dict(os.environ, CODEBOOK_SMALL_PAGES="1")
problems = []


def program(*args):
    run = subprocess.run([PROGRAM, *args], capture_output=True, env=ENV)
    if run.returncode not in (0, 1):
        raise RuntimeError("%s: exit %d: %s" % (" ".join(args), run.returncode, run.stderr.decode().strip()))
    return run.stdout


def report(path, command, threads=1):
    return program(path, "--format", "json", "--quiet", "--threads", str(threads), command)


def in_parts(path, command, folder):
    plan = os.path.join(folder, "run.plan")
    for old in os.listdir(folder):
        if old.endswith(".state") or old == "run.plan":
            os.remove(os.path.join(folder, old))
    program(path, "--quiet", "--write-plan", plan, command)
    parts = len(json.loads(program("--plan-info", plan))["parts"])
    states = []
    for k in range(1, parts + 1):
        states.append(os.path.join(folder, "p%d.state" % k))
        program("--run-plan", plan, "--part", str(k), "-o", states[-1], "--threads", "2")
    return program("--merge", plan, *states, "--format", "json", "--quiet")


# ----------------------------------------------------------------- data


def decimal_weight(rng):
    return rng.choice(["1", "2", "0.5", "0.1", "0.3", "1.25", "2.675", "0.0001", "3.3", "7",
                       "%d.%02d" % (rng.randint(0, 9), rng.randint(0, 99))])


def split_column(rng, n, kind):
    if kind == "each":  # every case a group of its own
        return [str(i) for i in range(n)]
    if kind == "one":
        return ["1"] * n
    if kind == "alternate":  # groups of one case, the values coming back
        return [str(i % 2) for i in range(n)]
    out, value = [], 0
    while len(out) < n:
        value += 1
        out += [str(value)] * rng.choice([1, 1, 2, 5, 30])
    return out[:n]


def make_dataset(rng, n):
    rows = [dict() for _ in range(n)]
    kinds = rng.sample(["each", "one", "alternate", "runs"], rng.choice([1, 2]))
    split = []
    for k, kind in enumerate(kinds):
        column = split_column(rng, n, kind)
        name = "g%d" % (k + 1)
        split.append(name)
        for r, v in zip(rows, column):
            r[name] = v if k == 0 else "s" + v  # the second split variable is a string
    # weights: decimals of up to four digits; some cases enter nothing, and one
    # run of cases (a split group, where the split follows runs) enters nothing at all
    dead = rng.randrange(n) if n > 3 else -1
    for i, r in enumerate(rows):
        if dead <= i < dead + 3 or rng.random() < 0.08:
            r["w"] = rng.choice(["0", "-1", "", "-0.5"])
        else:
            r["w"] = decimal_weight(rng)
    values = rng.choice([[1, 2, 2.5, 3, 10, -4], [0.1, 0.2, 0.3, 1e15 + 0.25], [1e-5, 3.3, 7, 99, 100]])
    for r in rows:
        r["x"] = "" if rng.random() < 0.1 else repr(rng.choice(values + [rng.randint(-50, 150) / 4]))
        r["c"] = "" if rng.random() < 0.1 else str(rng.choice([1, 2, 3, 7, 8, 9, -1]))
        r["s"] = rng.choice(["a", "a ", "b", "", "B", "zz", "NA"])
        for m in ("d1", "d2", "d3"):
            r[m] = rng.choice(["0", "1", "2", "", "0"])
        for m in ("t1", "t2"):
            r[m] = rng.choice(["yes", "yes ", "no", "", "Yes"])
        b = [rng.choice(["1", "2", "5", "9", ""]) for _ in range(3)]
        if rng.random() < 0.3:
            b[1] = b[0]  # a value twice in one case
        if rng.random() < 0.1:
            b = ["", "9", ""]  # nothing valid in any member
        r["b1"], r["b2"], r["b3"] = b
    x_missing = rng.choice([{"range": {"low": "LO", "high": 0}}, {"range": {"low": 99, "high": "HI"}},
                            {"range": {"low": 3, "high": 10}, "values": [-4]}, {"values": [2, 0.3]}])
    c_missing = rng.choice([{"range": {"low": 7, "high": 9}}, {"range": {"low": "LO", "high": -1}, "values": [8]},
                            {"values": [1, 9, 3]}])
    fields = [
        {"name": "g1", "type": "integer"},
        {"name": "g2", "type": "string"},
        {"name": "w", "type": "number"},
        {"name": "x", "type": "number", "measure": "scale", "userMissing": x_missing},
        {"name": "c", "type": "integer", "measure": "nominal", "userMissing": c_missing},
        {"name": "s", "type": "string", "measure": "nominal", "userMissing": {"values": ["zz"]},
         "missingValues": []},
        *({"name": m, "type": "integer"} for m in ("d1", "d2", "d3")),
        *({"name": m, "type": "string"} for m in ("t1", "t2")),
        {"name": "b1", "type": "integer"},
        {"name": "b2", "type": "integer", "userMissing": {"values": [9]}},
        {"name": "b3", "type": "integer", "userMissing": {"range": {"low": 5, "high": "HI"}}},
    ]
    if len(split) == 1:
        fields = [f for f in fields if f["name"] != "g2"]
    sets = [{"name": "$zero", "type": "dichotomies", "countedValue": "0", "variables": ["d1", "d2", "d3"]},
            {"name": "$yes", "type": "dichotomies", "countedValue": "yes", "variables": ["t1", "t2"]},
            {"name": "$cats", "type": "categories", "variables": ["b1", "b2", "b3"]}]
    return {"rows": rows, "fields": fields, "split": split, "sets": sets}


def write_dataset(ds, folder, parts=1):
    names = [f["name"] for f in ds["fields"]]
    rows = ds["rows"]
    cuts = sorted(random.Random(len(rows)).sample(range(1, len(rows)), parts - 1)) if parts > 1 else []
    bounds = [0] + cuts + [len(rows)]
    paths = []
    for k in range(len(bounds) - 1):
        paths.append("part%d.csv" % (k + 1) if parts > 1 else "cases.csv")
        with open(os.path.join(folder, paths[-1]), "w", newline="") as f:
            out = csv.writer(f, lineterminator="\n")
            out.writerow(names)
            out.writerows([r[n] for n in names] for r in rows[bounds[k]:bounds[k + 1]])
    descriptor = {"weight": "w", "splitFile": ds["split"], "multipleResponseSets": ds["sets"],
                  "resources": [{"path": paths if parts > 1 else paths[0], "schema": {"fields": ds["fields"]}}]}
    path = os.path.join(folder, "datapackage.json")
    with open(path, "w") as f:
        json.dump(descriptor, f)
    return path


# ----------------------------------------------------------------- reference


def user_missing(spec, v):
    if spec is None:
        return False
    if isinstance(v, str):
        return v in spec.get("values", [])
    if any(v == Fraction(str(m)) for m in spec.get("values", [])):
        return True
    r = spec.get("range")
    if r is None:
        return False
    low = r["low"] == "LO" or Fraction(str(r["low"])) <= v
    high = r["high"] == "HI" or v <= Fraction(str(r["high"]))
    return low and high


def entering(ds):
    """(row, weight as the decimal written, weight as stored) of each case a table takes."""
    out = []
    for r in ds["rows"]:
        if r["w"] != "" and Decimal(r["w"]) > 0:
            out.append((r, Fraction(Decimal(r["w"])), Fraction(float(r["w"]))))
    return out


def cell_value(field, text):
    if field["type"] == "string":
        return text.rstrip(" ")
    return None if text == "" else Fraction(float(text))


def sqrt_nearest(q):
    """The double nearest the square root of a fraction."""
    m = 1200
    root = math.isqrt(q.numerator * 4**m // q.denominator)
    return float(Fraction(root, 2**m))


# ----------------------------------------------------------------- the report


def percent(count, total):
    return None if total == 0 else count * 100 / total


def rows_of(table):
    found = {}

    def walk(children, group):
        for c in children:
            if "group" in c:
                walk(c["children"], c["group"])
            else:
                found[(group, c["category"])] = (c, {x["column"]: x for x in c.get("cells", [])})
    walk(table["dimensions"][0]["children"], None)
    return found


def same(what, cell, exact, ulps=0):
    """The cell's number is the double nearest the exact value (within ulps)."""
    got = None if cell is None else cell.get("number")
    if exact is None:
        if got is not None:
            problems.append("%s: %r, expected none" % (what, got))
        return
    want = float(exact)
    if got is None or abs(got - want) > ulps * math.ulp(want):
        problems.append("%s: %r, exact %r (%r)" % (what, got, want, float(exact)))


def check_variable(what, table, ds, name):
    field = next(f for f in ds["fields"] if f["name"] == name)
    spec = field.get("userMissing")
    cases = entering(ds)
    total = sum(w for _, w, _ in cases)
    counts, system = {}, Fraction(0)
    for r, w, _ in cases:
        v = cell_value(field, r[name])
        if v is None:
            system += w
        else:
            counts[v] = counts.get(v, 0) + w
    rows = rows_of(table)
    listed = {}
    for (group, _), (category, cells) in rows.items():
        if group in ("Valid Values", "Missing Values") and "value" in category and "Count" in cells:
            value = category["value"]
            listed[value if isinstance(value, str) else Fraction(value)] = (group, cells)
    if sorted(listed, key=str) != sorted(counts, key=str):
        problems.append("%s %s: categories %s, expected %s" % (what, name, sorted(map(str, listed)),
                                                             sorted(map(str, counts))))
        return
    for v, count in counts.items():
        group, cells = listed[v]
        if group != ("Missing Values" if user_missing(spec, v) else "Valid Values"):
            problems.append("%s %s=%s listed under %s" % (what, name, v, group))
        same("%s %s=%s count" % (what, name, v), cells.get("Count"), count)
        same("%s %s=%s percent" % (what, name, v), cells.get("Percent"), percent(count, total))
    shown = rows.get(("Missing Values", "System"))
    if system == 0:
        if shown is not None:
            problems.append("%s %s: a System row with nothing system-missing" % (what, name))
    elif shown is None:
        problems.append("%s %s: no System row for %s" % (what, name, float(system)))
    else:
        same("%s %s System count" % (what, name), shown[1].get("Count"), system)
        same("%s %s System percent" % (what, name), shown[1].get("Percent"), percent(system, total))


def check_scale(what, table, ds, name):
    field = next(f for f in ds["fields"] if f["name"] == name)
    # Valid and Missing are sums of the weights as stored (compensated), not of the decimals
    valid, stored, missing = [], [], Fraction(0)
    for r, w, w_stored in entering(ds):
        v = cell_value(field, r[name])
        if v is None or user_missing(field.get("userMissing"), v):
            missing += w_stored
        else:
            valid.append((v, w))
            stored.append((v, w_stored))
    rows = {category: cells.get("Value") for (_, category), (_, cells) in rows_of(table).items()}
    total = sum(w for _, w in valid)
    same("%s %s Valid" % (what, name), rows.get("Valid"), sum(w for _, w in stored))
    same("%s %s Missing" % (what, name), rows.get("Missing"), missing)
    if not valid:
        for row in ("Mean", "Standard Deviation", "Percentile 25", "Percentile 50", "Percentile 75"):
            same("%s %s %s" % (what, name, row), rows.get(row), None)
        return
    weight = sum(w for _, w in stored)
    mean = sum(v * w for v, w in stored) / weight
    same("%s %s Mean" % (what, name), rows.get("Mean"), mean)
    if total > 1:
        variance = sum(w * (v - mean) ** 2 for v, w in stored) / (weight - 1)
        same("%s %s Standard Deviation" % (what, name), rows.get("Standard Deviation"), sqrt_nearest(variance))
    else:
        same("%s %s Standard Deviation" % (what, name), rows.get("Standard Deviation"), None)
    for p in (25, 50, 75):
        same("%s %s Percentile %d" % (what, name, p), rows.get("Percentile %d" % p),
             percentile(valid, Fraction(p, 100)), ulps=1)


def check_set(what, table, ds, s):
    fields = {f["name"]: f for f in ds["fields"]}
    cases = entering(ds)
    total = sum(w for _, w, _ in cases)
    counts = {}
    for r, w, _ in cases:
        if s["type"] == "dichotomies":
            for m in s["variables"]:
                v = cell_value(fields[m], r[m])
                counted = s["countedValue"] if fields[m]["type"] == "string" else Fraction(s["countedValue"])
                if v is not None and v == counted:
                    counts[m] = counts.get(m, 0) + w
        else:
            have = set()
            for m in s["variables"]:
                v = cell_value(fields[m], r[m])
                if v is not None and not user_missing(fields[m].get("userMissing"), v):
                    have.add(v)
            for v in have:
                counts[v] = counts.get(v, 0) + w
    if s["type"] == "dichotomies":
        counts = {m: counts.get(m, Fraction(0)) for m in s["variables"]}
    listed = {}
    for (_, _), (category, cells) in rows_of(table).items():
        if "Count" in cells:
            key = category.get("variable") if s["type"] == "dichotomies" else Fraction(category["value"])
            listed[key] = cells
    if sorted(listed, key=str) != sorted(counts, key=str):
        problems.append("%s %s: categories %s, expected %s" % (what, s["name"], sorted(map(str, listed)),
                                                             sorted(map(str, counts))))
        return
    for key, count in counts.items():
        same("%s %s/%s count" % (what, s["name"], key), listed[key].get("Count"), count)
        same("%s %s/%s percent" % (what, s["name"], key), listed[key].get("Percent"), percent(count, total))


COMMAND = "CODEBOOK x c s $zero $yes $cats."


def check_report(what, out, ds):
    items = json.loads(out)["items"]
    tables = {t["title"]: t for t in items if t["kind"] == "table"}
    errors = [m["text"] for m in items if m["kind"] == "message" and m["severity"] == "error"]
    if errors:
        problems.append("%s: errors %s" % (what, errors))
        return
    for name in ("c", "s"):
        check_variable(what, tables[name], ds, name)
    check_scale(what, tables["x"], ds, "x")
    for s in ds["sets"]:
        check_set(what, tables[s["name"]], ds, s)


def rounds():
    rng = random.Random(SEED)
    for r in range(ROUNDS):
        n = rng.choice([1, 2, 3, 9, 40, 250])
        ds = make_dataset(rng, n)
        with tempfile.TemporaryDirectory() as folder:
            parts = rng.choice([1, 1, 2, 3]) if n >= 3 else 1
            path = write_dataset(ds, folder, parts)
            what = "round %d (%d cases, %d part%s)" % (r, n, parts, "s" if parts > 1 else "")
            before = len(problems)
            out = report(path, COMMAND)
            check_report(what, out, ds)
            if parts > 1 and in_parts(path, COMMAND, folder) != out:
                problems.append("%s: in parts, not the report of one run" % what)
            if len(problems) > before:
                keep = os.path.join(os.environ.get("KEEP", "/tmp"), "groups-and-parts-%d-%d" % (SEED, r))
                os.makedirs(keep, exist_ok=True)
                write_dataset(ds, keep, parts)
                problems.append("%s: dataset kept in %s" % (what, keep))


def long_file():
    """Several blocks for the pass's threads, with split groups across them."""
    rng = random.Random(SEED + 1)
    ds = make_dataset(rng, 60000)
    with tempfile.TemporaryDirectory() as folder:
        path = write_dataset(ds, folder, 3)
        one = report(path, COMMAND, threads=1)
        check_report("60,000 cases", one, ds)
        for threads in (2, 4):
            if report(path, COMMAND, threads=threads) != one:
                problems.append("60,000 cases: %d threads, not the report of one" % threads)
        if in_parts(path, COMMAND, folder) != one:
            problems.append("60,000 cases: in parts, not the report of one run")


# ----------------------------------------------------------------- edges in parts


def edge_package(folder, rows, parts):
    """rows: (x, w) texts; the parts end where the lists in `parts` say."""
    paths = []
    start = 0
    for k, end in enumerate(parts + [len(rows)]):
        paths.append("part%d.csv" % (k + 1))
        with open(os.path.join(folder, paths[-1]), "w") as f:
            f.write("x,w\n" + "".join("%s,%s\n" % r for r in rows[start:end]))
        start = end
    fields = [{"name": "x", "type": "number", "measure": "scale"}, {"name": "w", "type": "number"}]
    path = os.path.join(folder, "datapackage.json")
    with open(path, "w") as f:
        json.dump({"weight": "w", "resources": [{"path": paths, "schema": {"fields": fields}}]}, f)
    return path


def edges():
    rng = random.Random(SEED + 2)
    cases = {
        # one value's weights pass the largest double only together, each in its own part
        "weights past the largest double": ([("5", "1e308"), ("-3", "1"), ("7.5", "2.5"), ("5", "1.2e308"),
                                             ("5", "0.5"), ("-3", "9e307")], [3]),
        # whole weights whose totals pass 2^53
        "whole weights past 2^53": ([(str(v), str(w)) for v, w in
                                     ((1, 6004799503160661), (2, 3), (1, 4503599627370497), (3, 1), (2, 2**53))], [2]),
        # 3,000 distinct values in each part, decimal weights: past 4,096 only together
        "4,096 distinct values across parts": ([(repr(rng.randint(0, 10**6) / 1000), decimal_weight(rng))
                                                for _ in range(6000)], [3000]),
    }
    for what, (rows, cuts) in cases.items():
        with tempfile.TemporaryDirectory() as folder:
            path = edge_package(folder, rows, cuts)
            for command in ("CODEBOOK x.", "CODEBOOK x [N] /STATISTICS COUNT PERCENT.", "CODEBOOK x /STATISTICS MEAN."):
                one = report(path, command)
                for threads in (2, 4):
                    if report(path, command, threads=threads) != one:
                        problems.append("%s (%s): %d threads, not the report of one" % (what, command, threads))
                if in_parts(path, command, folder) != one:
                    problems.append("%s (%s): in parts, not the report of one run" % (what, command))
            # and the numbers of that one run
            table = [t for t in json.loads(report(path, "CODEBOOK x.").decode())["items"] if t["kind"] == "table"][0]
            pairs = [(Fraction(float(x)), Fraction(Decimal(w))) for x, w in rows]
            check_edge_scale(what, table, pairs)


def check_edge_scale(what, table, pairs):
    rows = {category: cells.get("Value") for (_, category), (_, cells) in rows_of(table).items()}
    total = sum(w for _, w in pairs)
    same("%s Valid" % what, rows.get("Valid"), None if total > Fraction(sys.float_info.max) else total)
    stored = [(v, Fraction(float(w))) for v, w in pairs]
    weight = sum(w for _, w in stored)
    mean = sum(v * w for v, w in stored) / weight
    same("%s Mean" % what, rows.get("Mean"), mean)
    variance = sum(w * (v - mean) ** 2 for v, w in stored) / (weight - 1)
    same("%s Standard Deviation" % what, rows.get("Standard Deviation"), sqrt_nearest(variance), ulps=2)
    for p in (25, 50, 75):
        same("%s Percentile %d" % (what, p), rows.get("Percentile %d" % p), percentile(pairs, Fraction(p, 100)), ulps=1)


rounds()
long_file()
edges()
for p in problems:
    print(p)
print("%d problems" % len(problems))
sys.exit(1 if problems else 0)

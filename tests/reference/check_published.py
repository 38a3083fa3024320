#!/usr/bin/env python3
"""Independent check of the golden codebooks of published-style files.

Reads each file with Python's csv module, applies the reading rules of
docs/dataset-format.md ("Data as it comes") on its own, computes counts,
means, standard deviations and percentiles with the statistics module, and
compares them with the expected JSON of the golden case. Standard library
only. Usage: check_published.py [repository-root]
"""

import csv
import datetime
import io
import json
import math
import re
import statistics
import sys
from collections import Counter

TOKENS = {"", "NA", "N/A", "NaN", "NULL", "."}
NUMBER = re.compile(r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$")
COMMA_NUMBER = re.compile(r"^[+-]?(\d+(,\d+)?|,\d+)([eE][+-]?\d+)?$")
DATE = re.compile(r"^\d{4}-\d{2}-\d{2}$")
DATETIME = re.compile(r"^\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d+)?)?(Z|[+-]\d{2}(:?\d{2})?)?)?$")
TIME = re.compile(r"^(-?)(\d{2,}):(\d{2})(?::(\d{2}(?:\.\d+)?))?$")
ORIGIN = datetime.datetime(1582, 10, 14)


def seconds(moment):
    return (moment - ORIGIN).total_seconds()


def moment_seconds(text):
    """A date-time, with a UTC offset or without, as seconds of its moment in UTC."""
    moment = datetime.datetime.fromisoformat(text)
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return seconds(moment)


def clock_seconds(text):
    """A time of day (or a duration of hours), "-01:30" included, in seconds."""
    sign, h, m, sec = TIME.match(text).groups()
    total = int(h) * 3600 + int(m) * 60 + float(sec or 0)
    return -total if sign else total


def duration(text):
    m = re.fullmatch(r"P(?:(\d+)D)?(?:T(?:(\d+)H)?(?:(\d+)M)?(?:(\d+)S)?)?", text)
    d, h, mi, s = (int(g or 0) for g in m.groups())
    return ((d * 24 + h) * 60 + mi) * 60 + s


def bare_column(cells, comma_allowed):
    """Type, values (None for missing) and missing texts of a bare column."""
    present = [c for c in cells if c.strip() not in TOKENS]
    if all(NUMBER.match(c.strip()) for c in present):
        return "number", [None if c.strip() in TOKENS else float(c) for c in cells]
    if comma_allowed and all(COMMA_NUMBER.match(c.strip()) for c in present):
        return "number", [None if c.strip() in TOKENS else float(c.replace(",", ".")) for c in cells]
    if present and all(DATE.match(c.strip()) for c in present):
        return "date", [None if c.strip() in TOKENS else seconds(datetime.datetime.fromisoformat(c)) for c in cells]
    if present and all(DATETIME.match(c.strip()) for c in present):
        return "datetime", [None if c.strip() in TOKENS else moment_seconds(c.strip()) for c in cells]
    if present and all(TIME.match(c.strip()) for c in present):
        return "time", [None if c.strip() in TOKENS else clock_seconds(c.strip()) for c in cells]
    return "string", [c.rstrip(" ") for c in cells]


def typed_column(kind, cells, missing, options):
    def value(c):
        c = c.strip()
        if c in missing:
            return None
        if kind in ("integer", "year"):
            return float(int(c))
        if kind == "number":
            return float(c.replace(options.get("decimalChar", "."), "."))
        if kind == "boolean":
            return 1.0 if c in options["true"] else 0.0
        if kind == "yearmonth":
            return seconds(datetime.datetime.strptime(c + "-01", "%Y-%m-%d"))
        if kind == "duration":
            return float(duration(c))
        return c

    values = [value(c) for c in cells]
    return ("string" if kind in ("string", "array") else "number"), values


def percentile(values, p):
    """(W + 1)p rule with unit weights: R's quantile type 6."""
    xs = sorted(values)
    h = (len(xs) + 1) * p
    if h < 1:
        return xs[0]
    if h >= len(xs):
        return xs[-1]
    lo = math.floor(h)
    return xs[lo - 1] + (h - lo) * (xs[lo] - xs[lo - 1])


def rows_of(table):
    """{group: {category or value: [numbers]}} of a variable table."""
    out = {}
    for group in table["dimensions"][0]["children"]:
        entries = {}
        for cat in group.get("children", []):
            key = cat.get("value", cat["category"])
            entries[key] = [c.get("number") for c in cat.get("cells", []) if "number" in c] or \
                [c["text"] for c in cat.get("cells", [])]
        out[group["group"]] = entries
    return out


def close(a, b):
    return a is not None and b is not None and math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)


def check_variable(problems, where, table, header, kind, values, level, user_missing):
    rows = rows_of(table)
    attrs = rows["Standard Attributes"]
    name = table["title"]
    label = attrs["Label"][0]
    want_label = header if header != name else "<none>"
    if header.strip() == "" and name.startswith("V"):
        want_label = "<none>"
    if label != want_label:
        problems.append(f"{where} {name}: label {label!r}, expected {want_label!r}")
    if attrs["Measurement"][0] != level:
        problems.append(f"{where} {name}: measurement {attrs['Measurement'][0]}, expected {level}")
    present = [v for v in values if v is not None and v not in user_missing]
    n_missing = len(values) - len(present)
    if level == "Nominal":
        counts = Counter(present)
        got = {k: v[0] for k, v in rows["Valid Values"].items()}
        want = {(k if isinstance(k, str) else float(k)): float(n) for k, n in counts.items()}
        got = {(k if isinstance(k, str) else float(k)): float(v) for k, v in got.items()}
        if got != want:
            problems.append(f"{where} {name}: valid values {got}, expected {want}")
        missing_rows = rows.get("Missing Values", {})
        got_missing = sum(v[0] for v in missing_rows.values())
        if got_missing != n_missing:
            problems.append(f"{where} {name}: {got_missing} missing, expected {n_missing}")
        for k, v in missing_rows.items():
            if len(v) > 1 and not close(v[1], 100.0 * v[0] / len(values)):
                problems.append(f"{where} {name}: percent of {k!r} is {v[1]}")
    else:
        n = rows["N"]
        if n["Valid"][0] != len(present) or n["Missing"][0] != n_missing:
            problems.append(f"{where} {name}: N {n}, expected {len(present)} valid, {n_missing} missing")
        stats = rows.get("Central Tendency and Dispersion", {})
        want = {"Mean": statistics.fmean(present), "Standard Deviation": statistics.stdev(present),
                "Percentile 25": percentile(present, 0.25), "Percentile 50": percentile(present, 0.5),
                "Percentile 75": percentile(present, 0.75)}
        for key, expected in want.items():
            if key in stats and not close(stats[key][0], expected):
                problems.append(f"{where} {name}: {key} {stats[key][0]}, expected {expected}")


def level_of(kind, values):
    if kind == "string":
        return "Nominal"
    present = {v for v in values if v is not None}
    if kind == "number" and present and all(v == int(v) for v in present) and len(present) <= 24:
        return "Nominal"
    return "Scale"


def check_bare(root, case, path, delimiter, encoding="utf-8"):
    problems = []
    with open(f"{root}/{path}", encoding=encoding, newline="") as f:
        rows = list(csv.reader(f, delimiter=delimiter))
    header, data = rows[0], rows[1:]
    tables = [t for t in json.load(open(f"{root}/tests/golden/{case}/expected.json"))["items"]
              if t.get("lookup") == "Variable Information"]
    if len(tables) != len(header):
        return [f"{case}: {len(tables)} tables for {len(header)} columns"]
    for i, table in enumerate(tables):
        kind, values = bare_column([r[i] for r in data], delimiter != ",")
        user_missing = set()
        if kind == "string":
            user_missing = {v for v in values if v in TOKENS and v != ""}
        check_variable(problems, case, table, header[i], kind, values, level_of(kind, values), user_missing)
    return problems


def check_package(root, case, path, fields, delimiter, missing, comment="#"):
    problems = []
    with open(f"{root}/{path}", newline="") as f:
        lines = [line for line in f if not line.startswith(comment)]
    rows = list(csv.reader(io.StringIO("".join(lines)), delimiter=delimiter, skipinitialspace=True))
    header, data = rows[0], rows[1:]
    tables = [t for t in json.load(open(f"{root}/tests/golden/{case}/expected.json"))["items"]
              if t.get("lookup") == "Variable Information"]
    for i, (table, (kind, level, options)) in enumerate(zip(tables, fields)):
        _, values = typed_column(kind, [r[i] for r in data], missing, options)
        check_variable(problems, case, table, options.get("label", header[i]), kind, values, level, set())
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    pkg = "tests/golden-data/published/package"
    problems = []
    problems += check_bare(root, "published_survey", "tests/golden-data/published/survey.csv", ",")
    problems += check_bare(root, "published_rdata", "tests/golden-data/published/rdata.csv", ",")
    problems += check_bare(root, "published_stdin", "tests/golden-data/published/rdata.csv", ",")
    problems += check_bare(root, "published_semicolon", "tests/golden-data/published/semicolon.csv", ";")
    problems += check_bare(root, "published_latin1", "tests/golden-data/published/latin1.csv", ",", "latin-1")
    tools = "tests/golden-data/published/tools"
    problems += check_bare(root, "published_r_write_csv2", f"{tools}/r_write_csv2.csv", ";")
    problems += check_bare(root, "published_pandas_decimal_comma", f"{tools}/pandas_decimal_comma.csv", ";")
    problems += check_bare(root, "published_duckdb_copy", f"{tools}/duckdb_copy.csv", ",")
    problems += check_bare(root, "published_psql_csv", f"{tools}/psql_csv.csv", ",")
    problems += check_bare(root, "published_sqlite3_csv", f"{tools}/sqlite3_csv.csv", ",")
    forms = "tests/golden-data/published/forms"
    problems += check_bare(root, "published_odd_forms", f"{forms}/odd_forms.csv", ",")
    problems += check_bare(root, "published_unicode_text", f"{forms}/unicode_text.csv", "\t", "utf-16")
    problems += check_package(
        root, "published_package", f"{pkg}/pupils.csv",
        [("integer", "Scale", {}), ("year", "Scale", {"label": "Year of birth"}),
         ("boolean", "Nominal", {"true": {"Y"}}), ("yearmonth", "Scale", {}),
         ("duration", "Scale", {"label": "Time to school"}), ("number", "Scale", {"decimalChar": ","}),
         ("array", "Nominal", {})],
        ";", {"", "-9"})
    problems += check_package(
        root, "published_package_resource", f"{pkg}/schools.csv",
        [("string", "Nominal", {}), ("year", "Scale", {}), ("boolean", "Nominal", {"true": {"true"}})],
        ",", {""})
    for p in problems:
        print(p)
    print(f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

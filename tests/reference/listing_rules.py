#!/usr/bin/env python3
"""Which values a variable or set table lists, and who the closing warnings name, on random runs.

A small model written from the rules of the value listing (what VARINFO, STATISTICS and MAXCATS
each switch on or off, the category limit checked during the pass, labels or members listed in
place of counts, a set cut to MAXCATS rows) decides for every item of a random command (numeric
variables of either treatment, a string variable, a dichotomy and a category set) which value
groups it gets, which values stand in them, whether they carry counts and percents, whether a
"System" row follows, and which names the two closing warnings hold; VARORDER and SORT put the
tables in their order, which the plan's entries must follow. The program runs the same command
with --format json; any difference is printed with the dataset and the command. Counts
themselves are random_runs.py's.

Usage: listing_rules.py BUILD_DIR [ROUNDS] [SEED]
"""

import json
import os
import random
import subprocess
import sys
import tempfile

GROUPS = ("Labeled Values", "Valid Values", "Missing Values", "Multiple Response Categories")
# A variable table's standard rows; a set table has only its label and type.
STANDARD_ROWS = {"POSITION", "LABEL", "TYPE", "FORMAT", "MEASURE", "ROLE"}


def make_dataset(rng):
    n = rng.randint(2, 9)
    fields, columns = [], {}
    for k in range(rng.randint(1, 4)):
        name = "v%d" % k
        scale = rng.random() < 0.3
        pool = rng.sample(range(1, 7), rng.randint(1, 5))
        col = [rng.choice(pool) if rng.random() > 0.15 else None for _ in range(n)]
        labelled = rng.sample(range(1, 7), rng.randint(0, 4))
        field = {"name": name, "type": "integer", "measure": "scale" if scale else "nominal",
                 "categories": [{"value": v, "label": "L%d" % v} for v in labelled]}
        if rng.random() < 0.5:
            field["userMissing"] = {"values": [str(v) for v in rng.sample(range(1, 7), rng.randint(1, 2))]}
        fields.append(field)
        columns[name] = col
    numeric = list(fields)
    if rng.random() < 0.5:
        # A string variable: nominal whatever its level when listed, its values trimmed.
        pool = rng.sample(["a", "b", "c", "d"], rng.randint(1, 4))
        labelled = rng.sample(["a", "b", "c", "d"], rng.randint(0, 3))
        field = {"name": "s", "type": "string", "measure": rng.choice(["nominal", "scale"]),
                 "categories": [{"value": v, "label": "L" + v} for v in labelled]}
        if rng.random() < 0.5:
            field["userMissing"] = {"values": [rng.choice(["a", "b"])]}
        fields.append(field)
        columns["s"] = [rng.choice(pool) + rng.choice(["", " "]) for _ in range(n)]
    sets = []
    fields_for_sets = numeric
    if len(fields_for_sets) >= 2:
        for kind in ("dichotomies", "categories"):
            if rng.random() < 0.6:
                members = [f["name"] for f in rng.sample(fields_for_sets, rng.randint(2, len(fields_for_sets)))]
                sets.append({"name": "$d" if kind == "dichotomies" else "$c", "type": kind, "variables": members,
                             "label": rng.choice(["", "Set " + kind]), "countedValue": "1"})
    return n, fields, columns, sets


def make_command(rng, fields, sets):
    names = [f["name"] for f in fields] + [x["name"] for x in sets]
    listed = rng.sample(names, rng.randint(1, len(names)))
    varinfo = rng.choice([None, [], ["TYPE"], ["VALUELABELS"], ["MISSING"], ["TYPE", "MISSING"],
                          ["VALUELABELS", "MISSING"], ["LABEL", "VALUELABELS"], ["POSITION"], ["ROLE", "MISSING"],
                          ["ATTRIBUTES", "VALUELABELS"], ["RESERVEDATTRIBUTES"], ["FORMAT", "MEASURE"]])
    stats = rng.choice([None, ["NONE"], ["COUNT"], ["PERCENT"], ["MEAN"], ["COUNT", "PERCENT"], ["QUARTILES"]])
    maxcats = rng.choice([None, 1, 2, 3, 4, 5])
    order = rng.choice([None, None, "FILE", "ALPHA", "VARLIST", "MEASURE"])
    descending = rng.random() < 0.5
    cmd = "CODEBOOK " + " ".join(listed)
    if varinfo:
        cmd += " /VARINFO " + " ".join(varinfo)
    if stats:
        cmd += " /STATISTICS " + " ".join(stats)
    options = (["MAXCATS=%d" % maxcats] if maxcats else []) + (["VARORDER=" + order] if order else [])
    if order and descending:
        options.append("SORT=DESCENDING")
    if options:
        cmd += " /OPTIONS " + " ".join(options)
    listed = ordered(listed, names, fields, order, descending)
    return listed, varinfo or [], stats, maxcats or 200, cmd


def ordered(listed, names, fields, order, descending):
    """The list in reporting order: by dictionary index (sets after the variables, as listed),
    by name, as listed, or by measurement level (sets with the nominal variables) then name."""
    sets_listed = [nm for nm in listed if nm.startswith("$")]
    index = {nm: (names.index(nm) if not nm.startswith("$") else len(fields) + sets_listed.index(nm)) for nm in listed}
    level = {f["name"]: f["measure"] for f in fields}
    if order == "FILE":
        return sorted(listed, key=lambda nm: index[nm], reverse=descending)
    if order == "ALPHA":
        return sorted(listed, key=lambda nm: (nm.encode(), index[nm]), reverse=descending)
    if order == "MEASURE":
        key = {"nominal": 1, "scale": 3}
        return sorted(listed, key=lambda nm: ((-1 if descending else 1) * key[level.get(nm, "nominal")], nm.encode()))
    return list(reversed(listed)) if order == "VARLIST" and descending else listed


def set_categories(x, by_name, columns, n, upto):
    """The categories of a set over its first `upto` cases: members of a dichotomy set, the
    valid values of a category set's members."""
    if x["type"] == "dichotomies":
        return list(x["variables"])
    seen = set()
    for member in x["variables"]:
        f = by_name[member]
        for v in columns[member][:upto]:
            if v is not None and str(v) not in f.get("userMissing", {}).get("values", []):
                seen.add(v)
    return sorted(seen)


def is_scale(field):
    return field["measure"] == "scale" and field["type"] != "string"


def value_of(v):
    # Values as the dictionary keeps them: strings without their trailing blanks.
    return v.rstrip(" ") if isinstance(v, str) else v


def expected(n, fields, columns, sets, listed, varinfo, stats, maxcats):
    columns = {name: [value_of(v) for v in col] for name, col in columns.items()}
    by_name = {f["name"]: f for f in fields}
    set_by_name = {x["name"]: x for x in sets}
    given = bool(varinfo)
    none = stats == ["NONE"]
    all_stats = stats is None
    counts = not none and (all_stats or "COUNT" in stats)
    percents = not none and (all_stats or "PERCENT" in stats)
    category_stats = counts or percents

    def missing(f, v):
        return str(v) in f.get("userMissing", {}).get("values", [])

    # The plan and the flags: one entry per variable, a second for a scale
    # variable with labels when counts are asked for.
    entries = []
    for name in listed:
        if name in set_by_name:
            x = set_by_name[name]
            first = by_name[x["variables"][0]]
            size = len(x["variables"]) if x["type"] == "dichotomies" else len(first["categories"])
            entries.append((name, "set", category_stats and size <= maxcats))
            continue
        f = by_name[name]
        labels = [c["value"] for c in f["categories"]]
        if is_scale(f):
            entries.append((name, "scale", True))
            if category_stats and labels:
                entries.append((name, "labelled", len(labels) <= maxcats))
        else:
            entries.append((name, "cat", category_stats and len(labels) <= maxcats))
    flags = [e[2] for e in entries]
    if not none:
        # The category limit during the pass: checked from the (MAXCATS+1)-th case on.
        for i, (name, kind, _) in enumerate(entries):
            if kind == "set" and flags[i]:
                x = set_by_name[name]
                for c in range(n):
                    before = len(set_categories(x, by_name, columns, n, c))
                    after = len(set_categories(x, by_name, columns, n, c + 1))
                    if (c > maxcats and before > maxcats) or (c == maxcats and after > maxcats):
                        flags[i] = False
                        break
                continue
            if kind != "cat" or not flags[i]:
                continue
            seen = set()
            for c, v in enumerate(columns[name]):
                if c > maxcats and len(seen) > maxcats:
                    flags[i] = False
                    break
                if v is not None:
                    seen.add(v)
                if c == maxcats and len(seen) > maxcats:
                    flags[i] = False
                    break

    tables, no_info, p = {}, [], 0
    for name in listed:
        if name in set_by_name:
            x = set_by_name[name]
            shown = not given or "TYPE" in varinfo or "LABEL" in varinfo
            show_c, show_p = counts, percents
            groups = None
            if show_c or show_p or not given or "VALUELABELS" in varinfo:
                if not flags[p]:
                    show_c = show_p = False
                if show_c or show_p:
                    rows = set_categories(x, by_name, columns, n, n)[:maxcats]
                    shown = shown or bool(rows)
                elif x["type"] == "dichotomies":
                    rows, shown = x["variables"][:maxcats], True
                else:
                    rows = [c["value"] for c in by_name[x["variables"][0]]["categories"]][:maxcats]
                    shown = True
                groups = {"Multiple Response Categories": rows}
            tables[name] = (groups, (show_c, show_p) if groups else (False, False))
            if not shown:
                no_info.append(name)
            p += 1
            continue
        f = by_name[name]
        scale = is_scale(f)
        labels = [c["value"] for c in f["categories"]]
        # Standard rows, or the valid and missing N of a scale variable, show something; these
        # variables have no attributes.
        shown = not given or bool(STANDARD_ROWS & set(varinfo)) or (scale and not none)
        groups = None
        show_c, show_p = counts, percents
        valid_labels = show_c or show_p or not given or "VALUELABELS" in varinfo
        missing_labels = show_c or show_p or not given or "MISSING" in varinfo
        k = p
        if valid_labels or missing_labels:
            listing = True
            if scale:
                if show_c or show_p:
                    k = p + 1
                if not labels:
                    k, listing = p, False
            if listing:
                if k < len(flags) and not flags[k]:
                    show_c = show_p = False
                observed = sorted({v for v in columns[name] if v is not None})
                if scale and (show_c or show_p):
                    observed = [v for v in labels if v in columns[name]]
                values = labels if not (show_c or show_p) else observed
                if 0 < len(values) <= maxcats:
                    shown = True
                    if not (show_c or show_p):
                        groups = {"Labeled Values": labels if scale else [],
                                  "Valid Values": [] if scale or not valid_labels
                                  else [v for v in labels if not missing(f, v)],
                                  "Missing Values": [] if scale or not missing_labels
                                  else [v for v in labels if missing(f, v)]}
                    elif scale:
                        groups = {"Labeled Values": observed[: min(len(labels), maxcats)]}
                    else:
                        groups = {"Valid Values": [v for v in observed if not missing(f, v)],
                                  "Missing Values": [v for v in observed if missing(f, v)]}
                        if any(v is None for v in columns[name]):
                            groups["Missing Values"].append("System")
        tables[name] = (groups, (show_c, show_p) if groups else (False, False))
        if not shown:
            no_info.append(name)
        p = k + 1

    warnings = []
    if no_info:
        warnings.append("No Variable Information for %s." % ",".join(n + " " for n in no_info))
    named = []
    if category_stats:
        # A set is named by its label when it has one.
        named = [set_by_name[e[0]]["label"] or e[0] if e[1] == "set" else e[0]
                 for e, flag in zip(entries, flags) if not flag]
    elif not given or "VALUELABELS" in varinfo:
        named = [nm for nm in listed if nm in by_name and len(by_name[nm]["categories"]) > maxcats]
    if named:
        warnings.append("Value labels, counts, and/or percents not displayed for %s." % ",".join(named))
    return tables, warnings


def actual(report):
    tables, warnings = {}, []
    for item in report["items"]:
        if item["kind"] == "message":
            warnings.append(item["text"])
            continue
        groups, cells = {}, [False, False]
        for group in item["dimensions"][0]["children"]:
            if group["group"] not in GROUPS:
                continue
            rows = []
            for row in group["children"]:
                rows.append(row.get("value", row.get("variable", row["category"])))
                columns = {c["column"] for c in row.get("cells", [])}
                cells[0] |= "Count" in columns
                cells[1] |= "Percent" in columns
            groups[group["group"]] = rows
        tables[item["title"]] = (groups or None, tuple(cells))
    return tables, warnings


def normalise(tables):
    # Empty groups are made (and kept) whenever a listing is; only their rows are compared.
    out = {}
    for name, (groups, cells) in tables.items():
        rows = {g: [float(v) if isinstance(v, (int, float)) else v for v in r] for g, r in (groups or {}).items() if r}
        out[name] = (rows, cells if rows else (False, False))
    return out


def write_package(descriptor, n, fields, columns, package):
    # Missing cells and empty strings are written as "" (an empty string stays a string value; a
    # numeric field reads it as missing).
    with open(os.path.join(os.path.dirname(descriptor), "cases.csv"), "w") as out:
        out.write(",".join(f["name"] for f in fields) + "\n")
        for c in range(n):
            cells = (columns[f["name"]][c] for f in fields)
            out.write(",".join('""' if v is None or v == "" else str(v) for v in cells) + "\n")
    with open(descriptor, "w") as out:
        json.dump(dict(package, resources=[{"path": "cases.csv", "schema": {"fields": fields}}]), out)


def run_rounds(one_run):
    """Runs one_run(program, rng, folder) for each round (the build folder, the number of rounds, 300,
    and the seed from the command line; a fresh folder each round) and prints what it returns, the
    lines that describe a difference (none when the round agrees), for the first five that differ."""
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 20261208)
    program = os.path.join(sys.argv[1], "codebook")
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(rounds):
            folder = os.path.join(tmp, str(r))
            os.makedirs(folder)
            lines = one_run(program, rng, folder)
            if lines:
                failures += 1
                print("\n".join(lines))
                if failures >= 5:
                    break
    print("%d of %d runs differ" % (failures, rounds))
    return 1 if failures else 0


def one_run(program, rng, folder):
    n, fields, columns, sets = make_dataset(rng)
    listed, varinfo, stats, maxcats, cmd = make_command(rng, fields, sets)
    descriptor = os.path.join(folder, "datapackage.json")
    write_package(descriptor, n, fields, columns, {"multipleResponseSets": sets})
    run = subprocess.run([program, descriptor, cmd, "--format", "json", "--quiet", "--threads", "1"],
                         capture_output=True, text=True)
    want_tables, want_warnings = expected(n, fields, columns, sets, listed, varinfo, stats, maxcats)
    got_tables, got_warnings = actual(json.loads(run.stdout))
    want, got = normalise(want_tables), normalise(got_tables)
    if want == got and list(want) == list(got) and want_warnings == got_warnings:
        return []
    lines = ["command: " + cmd, "dataset: %s %s" % (json.dumps(fields), json.dumps(columns))]
    lines += ["  %s: expected %s, got %s" % (name, want.get(name), got.get(name))
              for name in listed if want.get(name) != got.get(name)]
    if list(want) != list(got):
        lines.append("  order: expected %s, got %s" % (list(want), list(got)))
    if want_warnings != got_warnings:
        lines.append("  warnings: expected %s, got %s" % (want_warnings, got_warnings))
    return lines


if __name__ == "__main__":
    sys.exit(run_rounds(one_run))

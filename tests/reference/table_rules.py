#!/usr/bin/env python3
"""The dictionary side of the tables on random runs: file information, standard rows, attributes,
the order of tables and messages.

A model written from the rules of the tables decides, for a random data package (labels absent,
empty or set; every measurement level and role; print and write formats; custom, reserved and
hidden attributes with zero to twelve values, empty ones among them; documents; a weight; a split
variable) and a random command (its own list, ALL or none; names in any letter case; VARINFO and
FILEINFO keywords in any order; STATISTICS including NONE; a small MAXCATS; VARORDER with SORT,
ATTRIBUTE(name) among them), what the program must write: the items in order (parse warnings,
"Empty dataset.", the file information table, one table per item, the closing warnings), every
row of the file information table (the weighted total known or not), and every row of each
variable table before its value listing (the listing itself is listing_rules.py's, the numbers
random_runs.py's). The program runs the same command
with --format json; any difference is printed with the dataset and the command.

Usage: table_rules.py BUILD_DIR [ROUNDS] [SEED]
"""

import json
import os
import subprocess
import sys

import listing_rules

VARINFO = ["POSITION", "LABEL", "TYPE", "FORMAT", "MEASURE", "ROLE", "ATTRIBUTES", "VALUELABELS", "MISSING",
           "RESERVEDATTRIBUTES"]
FILEINFO = ["NAME", "LOCATION", "CASECOUNT", "LABEL", "ATTRIBUTES", "DOCUMENTS", "WEIGHT", "RESERVEDATTRIBUTES"]
VALUE_GROUPS = ["Labeled Values", "Valid Values", "Missing Values"]
CLOSING = ("No Variable Information for ", "Value labels, counts, and/or percents not displayed for ")
# Attribute names: custom, reserved ($), hidden (@ and $@), and a $ or @ standing alone.
ATTRIBUTE_NAMES = ["Topic", "order", "$Origin", "@Note", "$@Audit", "$", "@", "a$b", "Key_2", "e@"]
FORMATS = {"F": (8, 2), "COMMA": (8, 2), "DOLLAR": (8, 2), "E": (10, 3), "PCT": (8, 2), "DATE": (11, 0),
           "ADATE": (10, 0), "DATETIME": (20, 0), "TIME": (8, 0)}
DATES = {"date": (["2024-01-31", "1999-12-31", "1582-10-15", None], "DATE11"),
         "datetime": (["2024-01-31T10:00:00", "2024-01-31T10:00:01", None], "DATETIME20"),
         "time": (["10:30:00", "00:00:00", "23:59:59", None], "TIME8")}


def random_attributes(rng):
    out = {}
    for name in rng.sample(ATTRIBUTE_NAMES, rng.randint(0, 4)):
        k = rng.choice([0, 1, 1, 2, 3, 9, 10, 12])
        values = [rng.choice(["x", "", "10", "9", "b", "A b"]) for _ in range(k)]
        out[name] = values[0] if k == 1 and rng.random() < 0.5 else values
    return out


def values_of(attribute):
    return [attribute] if isinstance(attribute, str) else attribute


def make_dataset(rng):
    n = rng.choice([0, 1, 2, 3, 5])
    names = rng.sample(["age", "Income", "q1", "Q2x", "zeta", "Beta", "m_1", "x"], rng.randint(1, 5))
    fields, columns = [], {}
    for name in names:
        kind = rng.choice(["integer", "number", "string", "integer", "number", "string", "date", "datetime", "time"])
        field = {"name": name, "type": kind}
        if rng.random() < 0.6:
            field["title"] = rng.choice(["", "Label of " + name])
        if kind == "string":
            field["constraints"] = {"maxLength": rng.randint(1, 6)}
            pool = ["a", "b", "c", ""]
        elif kind in DATES:
            pool = DATES[kind][0]
        else:
            pool = [1, 2, 3, 4, None]
        if rng.random() < 0.4:
            known = [v for v in pool if v is not None][:3]
            field["categories"] = [{"value": v, "label": "L%s" % v} for v in rng.sample(known, rng.randint(1, len(known)))]
            if rng.random() < 0.3:
                field["categoriesOrdered"] = True
        if rng.random() < 0.7:
            field["measure"] = rng.choice(["nominal", "ordinal", "scale", "unknown"])
        if rng.random() < 0.7:
            field["role"] = rng.choice(["input", "target", "both", "none", "partition", "split"])
        if rng.random() < 0.5:
            if kind == "string":
                field["printFormat"] = rng.choice(["A", "AHEX", "a"])
            elif kind in DATES:
                field["printFormat"] = rng.choice(["ADATE10", "DATE", "F12", "DATETIME"])
            else:
                field["printFormat"] = rng.choice(["F5.1", "F3", "f8.0", "COMMA9.2", "DOLLAR", "E", "PCT6.1"])
        if rng.random() < 0.3 and kind in ("integer", "number"):
            field["writeFormat"] = rng.choice(["F6.2", "COMMA", "E12.4"])
        attributes = random_attributes(rng)
        if attributes:
            field["attributes"] = attributes
        fields.append(field)
        columns[name] = [rng.choice(pool) for _ in range(n)]
    package = {}
    if rng.random() < 0.7:
        package["title"] = rng.choice(["", "A file label"])
    if rng.random() < 0.6:
        package["documents"] = [[rng.choice(["line", "", "second line"]) for _ in range(rng.randint(0, 3))]
                                for _ in range(rng.randint(0, 3))]
    attributes = random_attributes(rng)
    if attributes:
        package["attributes"] = attributes
    if rng.random() < 0.4:
        fields.append({"name": "w", "type": "number", "measure": "scale"})
        columns["w"] = [rng.choice([1, 2, 0.5, 0, -1, None]) for _ in range(n)]
        package["weight"] = "w"
    if rng.random() < 0.3:
        package["splitFile"] = [rng.choice(fields)["name"]]
    numeric = [f["name"] for f in fields if f["type"] != "string" and f["name"] != "w"]
    sets = []
    if len(numeric) >= 2 and rng.random() < 0.4:
        sets.append({"name": "$s", "label": "A set", "type": "dichotomies", "countedValue": "1",
                     "variables": rng.sample(numeric, 2)})
        package["multipleResponseSets"] = sets
    return n, fields, columns, package


# ----------------------------------------------------------------- the command


def make_command(rng, fields, package):
    names = [f["name"] for f in fields]
    sets = [s["name"] for s in package.get("multipleResponseSets", [])]
    form = rng.choice(["none", "all", "list", "list", "list"])
    counted_only = False
    listed = []  # (name as stored, dictionary name or set name, treatment 'scale'/'cat'/'set')
    if form == "none":
        words = []
        listed = [(f["name"], f["name"], default_treatment(f, True)) for f in fields]
        listed += [(s, s, "set") for s in sets]
    elif form == "all":
        words = ["ALL"]
        listed = [(f["name"], f["name"], default_treatment(f, False)) for f in fields]
    else:
        words = []
        pool = names + sets
        counted = [f["name"] for f in fields if default_treatment(f, False) == "cat"]
        if counted and rng.random() < 0.3:
            pool = counted  # counted variables only: the weighted total may have no table to come from
            counted_only = True
        for name in rng.sample(pool, rng.randint(1, len(pool))):
            if name in sets:
                words.append(name)
                listed.append((name, name, "set"))
                continue
            f = fields[names.index(name)]
            typed = rng.choice([name, name.upper(), name.lower()])
            treatment = default_treatment(f, False)
            qualifier = rng.choice(["", "", "[N]", "[O]", "[S]"]) if f["type"] != "string" else ""
            if qualifier:
                treatment = "scale" if qualifier == "[S]" else "cat"
            words.append(typed + qualifier)
            listed.append((typed, name, treatment))

    # Often only the attribute and label keywords: tables that may show nothing at all.
    keywords = rng.choice([VARINFO, VARINFO[6:]])
    varinfo = rng.sample(keywords, rng.randint(1, rng.choice([2, len(keywords)]))) if rng.random() < 0.6 else None
    fileinfo = rng.sample(FILEINFO, rng.randint(1, len(FILEINFO))) if rng.random() < 0.6 else None
    if fileinfo and "CASECOUNT" not in fileinfo and rng.random() < 0.5:
        fileinfo.append("CASECOUNT")
    stats = rng.choice([None, None, ["NONE"], ["NONE"], ["COUNT"], ["PERCENT"], ["MEAN"], ["MEAN", "QUARTILES"], ["STDDEV"],
                        ["COUNT", "PERCENT", "MEAN", "STDDEV", "QUARTILES"]])
    order = rng.choice([None, "FILE", "ALPHA", "VARLIST", "MEASURE", "ATTRIBUTE", "ATTRIBUTE"])
    descending = rng.random() < 0.5
    attribute = None
    # A small MAXCATS takes counts from categorical variables (sets are left out of such runs).
    maxcats = None
    if rng.random() < (0.8 if counted_only else 0.3) and all(kind != "set" for _, _, kind in listed):
        maxcats = rng.randint(1, 3)
    cmd = "CODEBOOK " + " ".join(words)
    if varinfo:
        cmd += " /VARINFO " + " ".join(varinfo)
    if fileinfo:
        cmd += " /FILEINFO " + " ".join(fileinfo)
    if stats:
        cmd += " /STATISTICS " + " ".join(stats)
    if order or maxcats:
        cmd += " /OPTIONS"
    if maxcats:
        cmd += " MAXCATS=%d" % maxcats
    if order:
        cmd += " VARORDER=" + order
        if order == "ATTRIBUTE":
            attribute = rng.choice(ATTRIBUTE_NAMES + ["TOPIC", "Order", "KEY_2", "Missing"])
            cmd += "(%s)" % ("'%s'" % attribute if not attribute.replace("_", "").isalnum() else attribute)
        if descending:
            cmd += " SORT=DESCENDING"
    return listed, varinfo, fileinfo, stats, order, descending, attribute, maxcats, cmd


def level_of(field):
    if "measure" in field:
        return field["measure"]
    if field.get("categoriesOrdered"):
        return "ordinal"
    return "nominal" if "categories" in field or field["type"] == "string" else "scale"


def default_treatment(field, default_list):
    """Nominal and ordinal variables are counted; the rest get scale statistics, except a string
    variable named in a list (one by one or through ALL), which is counted whatever its level."""
    if level_of(field) in ("nominal", "ordinal"):
        return "cat"
    return "cat" if field["type"] == "string" and not default_list else "scale"


# ----------------------------------------------------------------- the model


def same_name(a, b):
    return len(a) == len(b) and a.lower() == b.lower()


def hidden(name):
    return name.startswith("@") or name.startswith("$@")


def ordered(listed, fields, order, descending, attribute):
    """The list in reporting order, and whether VARORDER=ATTRIBUTE was refused."""
    names = [f["name"] for f in fields]
    by_name = {f["name"]: f for f in fields}
    sets_seen = []
    index = {}
    for stored, name, kind in listed:
        if kind == "set":
            sets_seen.append(name)
            index[stored] = len(fields) + len(sets_seen) - 1
        else:
            index[stored] = names.index(name)

    def alpha(items):
        if descending:
            return sorted(items, key=lambda it: it[0].encode(), reverse=True)
        return sorted(items, key=lambda it: (it[0].encode(), index[it[0]]))

    refused = False
    if order == "ATTRIBUTE":
        refused = not any(kind != "set" and any(same_name(a, attribute) and not a.startswith("$")
                                                for a in by_name[name].get("attributes", {}))
                          for _, name, kind in listed)
        if refused:
            order = "VARLIST"
    if order == "FILE":
        return sorted(listed, key=lambda it: index[it[0]], reverse=descending), refused
    if order == "ALPHA":
        return alpha(listed), refused
    if order == "MEASURE":
        key = {"nominal": 1, "ordinal": 2, "scale": 3, "unknown": 4}
        sign = -1 if descending else 1

        def measure_key(it):
            if it[2] == "set":
                return sign * 1
            k = key[level_of(by_name[it[1]])]
            return 0 if descending and k == 4 else sign * k

        return sorted(listed, key=lambda it: (measure_key(it), it[0].encode())), refused
    if order == "ATTRIBUTE":
        without, having = [], []
        for it in listed:
            value = None
            if it[2] != "set":
                for a, v in by_name[it[1]].get("attributes", {}).items():
                    if same_name(a, attribute) and not hidden(a):
                        value = (values_of(v) or [""])[0]
                        break
            (without if value is None else having).append((it, value))
        without = alpha([it for it, _ in without])
        having = [it for it, _ in sorted(having, key=lambda x: (x[1].encode(), x[0][0].encode()), reverse=descending)]
        return (having + without if descending else without + having), refused
    return (list(reversed(listed)) if order == "VARLIST" and descending else list(listed)), refused


def attribute_rows(attributes, take):
    rows = []
    for name, value in attributes.items():
        values = values_of(value)
        if not values or not take(name):
            continue
        for j, v in enumerate(values):
            label = name if len(values) == 1 else "%s[%0*d]" % (name, len(str(len(values))), j + 1)
            rows.append((label, (v or " ", False)))
    return rows


def format_text(text, field):
    letters = "".join(c for c in text if c.isalpha()).upper()
    rest = text[len(letters):]
    width_text, _, decimals_text = rest.partition(".")
    if letters in ("A", "AHEX"):
        width = field["constraints"]["maxLength"] * (2 if letters == "AHEX" else 1)
        return "%s%d" % (letters, int(width_text) if width_text else width)
    width, decimals = FORMATS[letters]
    if width_text:
        width, decimals = int(width_text), int(decimals_text or 0)
    return "%s%d" % (letters, width) + (".%d" % decimals if decimals else "")


def write_format(field):
    if "writeFormat" in field:
        return format_text(field["writeFormat"], field)
    if "printFormat" in field:
        return format_text(field["printFormat"], field)
    if field["type"] == "string":
        return "A%d" % field["constraints"]["maxLength"]
    if field["type"] in DATES:
        return DATES[field["type"]][1]
    return "F8" if field["type"] == "integer" else "F8.2"


def variable_rows(field, position, treatment, varinfo, stats):
    """The groups of a variable table before its value listing, with their rows."""
    def shown(keyword):
        return varinfo is None or keyword in varinfo

    standard = []
    if shown("POSITION"):
        standard.append(("Position", position))
    if shown("LABEL"):
        standard.append(("Label", (field["title"], False) if "title" in field else ("<none>", True)))
    if shown("TYPE"):
        standard.append(("Type", ("String" if field["type"] == "string" else "Numeric", True)))
    if shown("FORMAT"):
        standard.append(("Format", (write_format(field), False)))
    if shown("MEASURE"):
        standard.append(("Measurement", (level_of(field).capitalize(), True)))
    if shown("ROLE"):
        standard.append(("Role", (field.get("role", "input").capitalize(), True)))
    groups = [("Standard Attributes", standard)]
    attributes = field.get("attributes", {})
    if shown("ATTRIBUTES"):
        groups.append(("Custom Attributes", attribute_rows(attributes, lambda a: not hidden(a))))
    if varinfo is not None and "RESERVEDATTRIBUTES" in varinfo:
        groups.append(("Reserved Attributes", attribute_rows(attributes, lambda a: a.startswith("$"))))
    if stats != ["NONE"] and treatment == "scale":
        groups.append(("N", [("Valid", None), ("Missing", None)]))
        central = []
        if stats is None or "MEAN" in stats:
            central.append(("Mean", None))
        if stats is None or "STDDEV" in stats:
            central.append(("Standard Deviation", None))
        if stats is None or "QUARTILES" in stats:
            central += [("Percentile %d" % p, None) for p in (25, 50, 75)]
        groups.append(("Central Tendency and Dispersion", central))
    return groups


def file_rows(n, columns, package, fileinfo, spec, shown_entry):
    folder, _, name = spec.rpartition("\\")
    rows = []
    if "NAME" in fileinfo:
        rows.append(("File Name", [(name, False)] if folder else [("<none>", True)]))
    if "LOCATION" in fileinfo:
        rows.append(("Location", [(folder, False)] if folder else [("<none>", True)]))
    if "LABEL" in fileinfo:
        rows.append(("Label", [(package["title"], False)] if "title" in package else [("<none>", True)]))
    if "DOCUMENTS" in fileinfo:
        rows.append(("Documents", [("\n".join(block), False) for block in package.get("documents", [])]))
    if "WEIGHT" in fileinfo:
        rows.append(("Weight Variable", [(package["weight"], False)] if "weight" in package else [("<none>", True)]))
    if "CASECOUNT" in fileinfo:
        weights = columns["w"] if "weight" in package else [1] * n
        total = sum(w for w in weights if w is not None and w > 0)
        weighted = total if shown_entry and total > 0 else ("<unknown>", True)
        rows.append(("Number of Cases", [("Unweighted", n), ("Weighted", weighted)]))
    if "ATTRIBUTES" in fileinfo:
        rows.append(("Custom Attributes", attribute_rows(package.get("attributes", {}), lambda a: not hidden(a))))
    if "RESERVEDATTRIBUTES" in fileinfo:
        rows.append(("Reserved Attributes", attribute_rows(package.get("attributes", {}),
                                                           lambda a: a.startswith("$") and not hidden(a))))
    return rows


def keeps_counts(field, column, weights, maxcats):
    """Whether a categorical variable's table keeps its counts: not more value labels than
    MAXCATS, and not more distinct values among the cases that enter it by the time the pass
    looks, which it does from the (MAXCATS + 1)-th case on (after adding that case, before
    adding each later one)."""
    if maxcats is None:
        return True
    if len(field.get("categories", [])) > maxcats:
        return False
    seen = set()
    for c, (v, w) in enumerate(zip(column, weights)):
        if c > maxcats and len(seen) > maxcats:
            return False
        if w is not None and w > 0 and v is not None:
            seen.add(v)
        if c == maxcats and len(seen) > maxcats:
            return False
    return True


def expected(n, fields, columns, package, command, spec):
    listed, varinfo, fileinfo, stats, order, descending, attribute, maxcats, _ = command
    items, refused = ordered(listed, fields, order, descending, attribute)
    out = []
    if refused:
        out.append(("warning", "Invalid attribute name specified for VARORDER."))
    if n == 0 and stats != ["NONE"]:
        return out + [("error", "Empty dataset.")], {}, []
    counts = stats is None or "COUNT" in stats or "PERCENT" in stats
    # The weighted total comes from the first entry that shows its cases: a scale variable's
    # valid and missing, the total of a counted item that MAXCATS has left its counts.
    weights = columns["w"] if "weight" in package else [1] * n
    by_field = {f["name"]: f for f in fields}
    shown_entry = stats != ["NONE"] and any(
        kind == "scale" or (counts and (kind == "set" or keeps_counts(by_field[name], columns[name], weights, maxcats)))
        for _, name, kind in items)
    tables = {}
    if fileinfo:
        out.append(("table", "File Information"))
        tables["File Information"] = file_rows(n, columns, package, fileinfo, spec, shown_entry)
    by_name = {f["name"]: (i, f) for i, f in enumerate(fields)}
    for _, name, kind in items:
        out.append(("table", name))
        if kind != "set":
            position, field = by_name[name]
            tables[name] = variable_rows(field, position + 1, kind, varinfo, stats)
    # Without statistics and without VALUELABELS and MISSING there is no value listing, so the
    # rows above tell whether a variable showed anything: those that did not are named, each
    # followed by a blank, only the last comma dropped.
    closing = None
    if stats == ["NONE"] and varinfo and "VALUELABELS" not in varinfo and "MISSING" not in varinfo and \
            all(kind != "set" for _, _, kind in items):
        empty = [name for _, name, kind in items if not any(rows for _, rows in tables[name])]
        closing = [("warning", "No Variable Information for %s." % ",".join(nm + " " for nm in empty))] if empty else []
    return out, tables, closing


# ----------------------------------------------------------------- the program's side


def cell_of(cell):
    return cell["number"] if "number" in cell else (cell["text"], cell.get("fixed"))


def actual(report):
    out, tables = [], {}
    for item in report["items"]:
        if item["kind"] == "message":
            text = item["text"]
            out.append((item["severity"], text))
            continue
        out.append(("table", item["title"]))
        rows = item["dimensions"][0]["children"]
        if item["title"] == "File Information":
            got = []
            for row in rows:
                if "group" in row:
                    got.append((row["group"], [(r["category"], [cell_of(c) for c in r.get("cells", [])][0])
                                               for r in row["children"]]))
                else:
                    got.append((row["category"], [cell_of(c) for c in row.get("cells", [])]))
            tables[item["title"]] = got
        elif item["lookup"] == "Variable Information" and not item["flag"]:
            got = []
            for group in rows:
                got.append((group["group"], [(r["category"], cell_of(r["cells"][0]) if r.get("cells") else None)
                                             for r in group["children"]]))
            tables[item["title"]] = got
    return out, tables


def compare(want_items, want_tables, want_closing, got_items, got_tables):
    problems = []
    if want_closing is not None and [x for x in got_items if x[1].startswith(CLOSING)] != want_closing:
        problems.append("closing warnings %s, expected %s" % ([x for x in got_items if x[1].startswith(CLOSING)],
                                                              want_closing))
    got_items = [(kind, next((c for c in CLOSING if text.startswith(c)), text)) for kind, text in got_items]
    # The closing warnings come last, "No Variable Information" first; whom they name is
    # listing_rules.py's.
    closing = [x for x in got_items if x[1] in CLOSING]
    in_order = sorted(closing, key=lambda x: CLOSING.index(x[1]))
    if got_items[len(got_items) - len(closing):] != closing or closing != in_order:
        problems.append("closing warnings out of place: %s" % got_items)
    if [x for x in got_items if x[1] not in CLOSING] != want_items:
        problems.append("items %s, expected %s" % (got_items, want_items))
    for title, want in want_tables.items():
        got = got_tables.get(title)
        if got is None:
            continue
        if title != "File Information":
            listing = got[len(want):]
            if [g for g, _ in listing] != [g for g in VALUE_GROUPS if g in [x for x, _ in listing]]:
                problems.append("%s: groups after the attributes %s" % (title, [g for g, _ in listing]))
            got = got[:len(want)]
            # Statistics are random_runs.py's: only their rows are compared here.
            got = [(g, [(r, None if g in ("N", "Central Tendency and Dispersion") else c) for r, c in rows])
                   for g, rows in got]
        if normal(got) != normal(want):
            problems.append("%s:\n    got      %s\n    expected %s" % (title, got, want))
    return problems


def normal(x):
    """Numbers as doubles, tuples as lists: the two sides compare as JSON would."""
    if isinstance(x, bool) or x is None or isinstance(x, str):
        return x
    if isinstance(x, (int, float)):
        return float(x)
    return [normal(y) for y in x]


def write_package(folder, n, fields, columns, package, rng):
    # The descriptor sometimes sits in a folder whose name holds a backslash, or has one in its own
    # name: the file's name is what follows the last backslash of folder\name.
    where = os.path.join(folder, rng.choice(["plain", "a\\b", "plain"]))
    os.makedirs(where, exist_ok=True)
    descriptor = os.path.join(where, rng.choice(["datapackage.json", "my data.json", "x\\y.json"]))
    listing_rules.write_package(descriptor, n, fields, columns, package)
    return descriptor


def one_run(program, rng, folder):
    n, fields, columns, package = make_dataset(rng)
    command = make_command(rng, fields, package)
    descriptor = write_package(folder, n, fields, columns, package, rng)
    spec = os.path.dirname(descriptor) + "\\" + os.path.basename(descriptor)
    run = subprocess.run([program, descriptor, command[-1], "--format", "json", "--quiet", "--threads", "1"],
                         capture_output=True, text=True)
    want_items, want_tables, want_closing = expected(n, fields, columns, package, command, spec)
    problems = []
    status = 1 if any(kind == "error" for kind, _ in want_items) else 0
    if run.returncode != status:
        problems.append("exit %d, expected %d: %s" % (run.returncode, status, run.stderr.strip()))
    else:
        got_items, got_tables = actual(json.loads(run.stdout))
        problems += compare(want_items, want_tables, want_closing, got_items, got_tables)
    if not problems:
        return []
    return ["command: " + command[-1],
            "dataset: %s %s %s %s" % (descriptor, json.dumps(package), json.dumps(fields), json.dumps(columns))] + \
        ["  " + p for p in problems]


if __name__ == "__main__":
    sys.exit(listing_rules.run_rounds(one_run))

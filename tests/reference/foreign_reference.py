#!/usr/bin/python3
"""Stata and SAS files against an independent reader (pandas).

    /usr/bin/python3 tests/reference/foreign_reference.py BUILD_DIR

Writes a survey data package (standard library), turns it into Stata files of
several releases, a SAS data file with its format catalog and a SAS transport
file with build/foreign-writer, runs the program on each file and checks its
codebook against what pandas reads from the same file: names, variable labels,
value labels, counts per value (extended missing codes each on their own),
valid and missing counts, means and the case count. What pandas cannot read
(SAS catalogs, Stata notes) is checked against the package the files were
made from. Then the same checks over the files that other tools wrote,
kept in tests/golden-data/foreign/written/ (R's foreign and haven, pandas,
and one laid out byte by byte as Stata itself writes: write_r.R,
write_pandas.py and write_stata_118.py there say how). Needs Debian's
python3-pandas.
"""
import datetime
import fractions
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import warnings

import pandas as pd
from pandas.io.sas.sas7bdat import SAS7BDATReader
from pandas.io.sas.sas_xport import XportReader
from pandas.io.stata import StataReader

import check_published  # beside this script

CASES = 400
ORIGIN_1960 = (datetime.date(1960, 1, 1) - datetime.date(1582, 10, 14)).days * 86400.0
STATA_MISSING_INT = 2147483621  # int32 code of "." in Stata's value labels; .a is one above

FAILURES = []
# pandas_sets_118.dta holds a byte that is not UTF-8 on purpose: pandas reads
# that text as Latin-1 (as the program reads it as Windows-1252) and says so.
warnings.filterwarnings("ignore", category=UnicodeWarning)


def check(ok, what):
    if not ok:
        FAILURES.append(what)


def close(a, b):
    return a is not None and b is not None and math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9)


# ---------------------------------------------------------------- the source package

def make_package(folder):
    rng = random.Random(1212)
    fields = [
        {"name": "id", "title": "Respondent number", "type": "integer", "measure": "scale"},
        {"name": "sex", "title": "Sex of respondent", "type": "integer",
         "categories": [{"value": 1, "label": "Male"}, {"value": 2, "label": "Female"},
                        {"value": 8, "label": "Refused"}, {"value": 9, "label": "No answer"}],
         "userMissing": {"values": [8, 9]}},
        {"name": "educ", "title": "Education", "type": "integer",
         "categories": [{"value": i, "label": f"Level {i}"} for i in range(1, 6)]
         + [{"value": 97, "label": "Don't know"}, {"value": 99, "label": "Not asked"}],
         "userMissing": {"range": {"low": 97, "high": 99}}},
        {"name": "income", "title": "Monthly income", "type": "number", "printFormat": "F10.2",
         "userMissing": {"values": [999999]}},
        {"name": "score", "title": "Test score", "type": "number", "printFormat": "F8.3"},
        {"name": "ratio", "type": "number", "printFormat": "F8.0"},
        {"name": "bday", "title": "Date of birth", "type": "date"},
        {"name": "stamp", "title": "Interview start", "type": "datetime"},
        {"name": "city", "title": "City", "type": "string", "constraints": {"maxLength": 12}},
        {"name": "remark", "title": "Remark", "type": "string", "constraints": {"maxLength": 60}},
        {"name": "big", "title": "Population", "type": "integer", "measure": "scale"},
    ]
    cities = ["Zürich", "Köln", "Montréal", "Oslo", "São Paulo", ""]
    remarks = ["", "none", "asked for a copy of the results", "interrupted twice, finished by phone"]
    rows = []
    for i in range(CASES):
        sex = rng.choice([1, 2, 1, 2, 1, 2, 8, 9])
        educ = rng.choice([1, 2, 3, 4, 5, 5, 97, 99])
        income = "" if rng.random() < 0.08 else ("999999" if rng.random() < 0.05 else f"{rng.uniform(500, 9000):.2f}")
        score = f"{rng.randint(0, 4000) / 8:.3f}"  # exact in a float
        ratio = "" if rng.random() < 0.05 else f"{rng.randint(0, 1000) / 4}"
        bday = (datetime.date(1940, 1, 1) + datetime.timedelta(days=rng.randint(0, 25000))).isoformat()
        stamp = datetime.datetime(2026, 3, 1, 8, 0, 0) + datetime.timedelta(seconds=rng.randint(0, 90 * 86400))
        rows.append([str(i + 1), str(sex), str(educ), income, score, ratio, bday, stamp.isoformat(),
                     rng.choice(cities), rng.choice(remarks), str(rng.randint(1000, 3_000_000))])
    package = {
        "title": "Reference survey",
        "documents": [["Made by the foreign-file reference test."], ["Second note", "with two lines."]],
        "resources": [{"path": "cases.csv", "schema": {"fields": fields}}],
    }
    with open(os.path.join(folder, "datapackage.json"), "w", encoding="utf-8") as f:
        json.dump(package, f, ensure_ascii=False, indent=1)
    with open(os.path.join(folder, "cases.csv"), "w", encoding="utf-8", newline="") as f:
        f.write(",".join(fd["name"] for fd in fields) + "\n")
        for r in rows:
            f.write(",".join(f'"{c}"' if "," in c else c for c in r) + "\n")
    return package


# ---------------------------------------------------------------- our codebook

def codebook(build, path):
    out = subprocess.run([os.path.join(build, "codebook"), path, "--format", "json", "--quiet",
                          "CODEBOOK ALL /FILEINFO LABEL DOCUMENTS CASECOUNT /OPTIONS MAXCATS=50"],
                         capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise RuntimeError(f"codebook {path}: exit {out.returncode}: {out.stderr}")
    result = {"vars": {}, "order": []}
    for item in json.loads(out.stdout)["items"]:
        if item.get("kind") != "table":
            continue
        rows = item["dimensions"][0]["children"]
        if item["title"] == "File Information":
            for group in rows:
                for cat in group.get("children", [group]):
                    if cat.get("category") == "Unweighted":
                        result["cases"] = cat["cells"][0]["number"]
                    if cat.get("category") == "Label":
                        result["label"] = cat["cells"][0]["text"]
                    if cat.get("category") == "Documents":
                        result["documents"] = [c["text"] for c in cat["cells"]]
            continue
        v = {"values": {}, "labels": {}}
        for group in rows:
            for cat in group["children"]:
                cells = {c["column"]: c for c in cat.get("cells", [])}
                name = cat["category"]
                if group["group"] == "Standard Attributes":
                    v[name] = cells["Value"]["text"]
                elif group["group"] in ("N", "Central Tendency and Dispersion"):
                    v[name] = cells["Value"].get("number")
                elif group["group"] in ("Valid Values", "Missing Values") and "value" in cat:
                    key = cat["value"]
                    v["values"][key] = cells["Count"]["number"] if "Count" in cells else None
                    if "Value" in cells:
                        v["labels"][key] = cells["Value"]["text"]
                elif name == "System":
                    v["system"] = cells["Count"]["number"]
        result["vars"][item["title"]] = v
        result["order"].append(item["title"])
    return result


# ---------------------------------------------------------------- the comparison

def seconds_of(kind, fmt, value):
    """A date value of the file in the program's seconds since 1582-10-14."""
    fmt = fmt.replace("%-", "%", 1)  # left-aligned: shown alike
    if kind == "stata" and fmt.startswith("%td"):
        return ORIGIN_1960 + value * 86400
    if kind == "stata" and fmt.startswith("%tc"):
        return ORIGIN_1960 + value / 1000
    if kind == "stata" and fmt.startswith(("%tm", "%tq", "%tw")):
        # Months, quarters and weeks since 1960 (52 weeks a year, the last longer).
        per_year = {"m": 12, "q": 4, "w": 52}[fmt[2]]
        year, part = 1960 + int(value) // per_year, int(value) % per_year
        if fmt[2] == "w":
            day = datetime.date(year, 1, 1) + datetime.timedelta(days=7 * part)
        else:
            day = datetime.date(year, 1 + part * (12 // per_year), 1)
        return (day - datetime.date(1582, 10, 14)).days * 86400.0
    if kind != "stata" and fmt.upper().startswith("DATETIME"):
        return ORIGIN_1960 + value
    if kind != "stata" and fmt.upper().startswith(("DATE", "MMDDYY")):
        return ORIGIN_1960 + value * 86400
    return value


def percentile(values, p):
    """R's quantile(type = 6), as the published-data check takes it; None for no values."""
    return check_published.percentile(values, p) if values else None


def compare(name, kind, ours, df, labels, formats, value_labels, package):
    tag = f"{name}:"
    check(ours["order"] == list(df.columns), f"{tag} variable names {ours['order']} != {list(df.columns)}")
    check(ours.get("cases") == len(df), f"{tag} case count {ours.get('cases')} != {len(df)}")
    if package is not None:
        check(ours.get("label") == package["title"], f"{tag} file label {ours.get('label')!r}")
    if package is not None and kind == "stata" and name.endswith((".dta",)) and "105" not in name:
        lines = ["\n".join(block) for block in package["documents"]]  # a cell per note
        check(ours.get("documents") == lines, f"{tag} documents {ours.get('documents')} != {lines}")
    for col in df.columns:
        v = ours["vars"].get(col)
        if v is None:
            FAILURES.append(f"{tag} no table for {col}")
            continue
        where = f"{tag} {col}:"
        want_label = labels.get(col) or "<none>"
        check(v.get("Label") == want_label, f"{where} label {v.get('Label')!r} != {want_label!r}")
        series = df[col]
        # Per value: extended codes as ".a" (pandas keeps Stata's, not SAS's), "." system-missing.
        counts, missing_codes, system, valid = {}, {}, 0, []
        for x in series:
            if kind == "stata" and type(x).__name__ == "StataMissingValue":
                if x.string == ".":
                    system += 1
                else:
                    missing_codes[x.string] = missing_codes.get(x.string, 0) + 1
            elif isinstance(x, (bytes, str)):
                s = x.decode("utf-8") if isinstance(x, bytes) else x
                counts[s.rstrip(" ")] = counts.get(s.rstrip(" "), 0) + 1
            elif x is None or (isinstance(x, float) and math.isnan(x)):
                system += 1
            else:
                x = float(x)
                if kind == "xport" and abs(x) < 1e-70:
                    x = 0.0  # pandas reads a transport zero as 16**-65
                x = seconds_of(kind, formats.get(col, ""), x)
                counts[x] = counts.get(x, 0) + 1
                valid.append(x)
        if v.get("Measurement") == "Scale":
            check(v.get("Valid") == len(valid), f"{where} valid {v.get('Valid')} != {len(valid)}")
            check(v.get("Missing") == system + sum(missing_codes.values()),
                  f"{where} missing {v.get('Missing')} != {system + sum(missing_codes.values())}")
            if valid:  # exact: a plain sum of values near the largest double overflows
                mean = float(sum(map(fractions.Fraction, valid)) / len(valid))
                check(close(v.get("Mean"), mean), f"{where} mean {v.get('Mean')} != {mean}")
            if len(valid) > 1:
                sd = statistics.stdev(valid)
                check(close(v.get("Standard Deviation"), sd), f"{where} SD {v.get('Standard Deviation')} != {sd}")
            for p in (25, 50, 75):
                want = percentile(valid, p / 100)
                got = v.get(f"Percentile {p}")
                check(close(got, want) or got is want is None, f"{where} percentile {p} {got} != {want}")
        else:
            got = {k: c for k, c in v["values"].items() if not (isinstance(k, str) and k.startswith("."))}
            want = {k: c for k, c in counts.items()}
            check(got == want, f"{where} counts {sorted(got.items(), key=str)[:8]} != {sorted(want.items(), key=str)[:8]}")
            got_codes = {k: c for k, c in v["values"].items() if isinstance(k, str) and k.startswith(".")}
            if kind == "stata":
                check(got_codes == missing_codes, f"{where} extended missing {got_codes} != {missing_codes}")
                check((v.get("system") or 0) == system, f"{where} system-missing {v.get('system')} != {system}")
            else:  # pandas reads every SAS missing value (and a stand-in's) as NaN
                total = sum(got_codes.values()) + (v.get("system") or 0)
                check(total == system, f"{where} missing {total} != {system}")
        if value_labels.get(col):
            check(v.get("Measurement") == "Nominal", f"{where} labelled, yet {v.get('Measurement')}")
        for key, text in value_labels.get(col, {}).items():
            if key in v["labels"] or key in v["values"]:
                check(v["labels"].get(key) == text, f"{where} label of {key}: {v['labels'].get(key)!r} != {text!r}")


def stata_case(build, folder, package, version, extra):
    path = os.path.join(folder, f"survey{version}.dta")
    subprocess.run([os.path.join(build, "foreign-writer"), "--version", str(version), *extra,
                    os.path.join(folder, "datapackage.json"), path], check=True)
    reader = StataReader(path, convert_dates=False, convert_categoricals=False, convert_missing=True)
    df = reader.read()
    if version < 118:
        # pandas decodes the text of these releases as Latin-1; the file's
        # bytes are UTF-8 (as foreign-writer writes them), and UTF-8 is read
        # as UTF-8 whatever the release.
        def file_text(x):
            return x.encode("latin-1").decode("utf-8") if isinstance(x, str) else x
        for col in df.columns:
            if df[col].dtype == object:
                df[col] = df[col].map(file_text)
    formats = dict(zip(df.columns, reader.fmtlist))
    try:
        sets = reader.value_labels()
    except ValueError:  # pandas 1.5 misreads the value labels that follow strL values
        sets = None
    value_labels = package_labels(package) if sets is None else {}
    for col, set_name in zip(df.columns, reader.lbllist if sets is not None else []):
        for key, text in sets.get(set_name, {}).items():
            key = f".{chr(ord('a') + key - STATA_MISSING_INT - 1)}" if key > STATA_MISSING_INT else float(key)
            value_labels.setdefault(col, {})[key] = text
    compare(os.path.basename(path), "stata", codebook(build, path), df, reader.variable_labels(), formats,
            value_labels, package)


def package_labels(package):
    """The value labels the files were made from (SAS catalogs: pandas cannot read them)."""
    out = {}
    for f in package["resources"][0]["schema"]["fields"]:
        missing = f.get("userMissing", {})
        codes = {}
        for v in missing.get("values", []):
            codes[v] = f".{chr(ord('A') + len(codes))}"
        for c in f.get("categories", []):
            if c["value"] not in codes and not (missing.get("range") and 97 <= c["value"] <= 99):
                out.setdefault(f["name"], {})[float(c["value"])] = c["label"]
    return out


def sas_case(build, folder, package, extra):
    """extra: --32-bit (32-bit offsets and counts), --compress (run-length coded rows)."""
    name = "survey" + "".join(extra).replace("--", "_") + ".sas7bdat"
    path = os.path.join(folder, name)
    # One format in the catalog: ReadStat's catalog writer cannot be trusted with more.
    subprocess.run([os.path.join(build, "foreign-writer"), "--catalog-var", "sex", *extra,
                    os.path.join(folder, "datapackage.json"), path], check=True)
    reader = SAS7BDATReader(path, convert_dates=False, blank_missing=False, encoding="utf-8")
    df = reader.read()
    formats = {c.name: c.format for c in reader.columns}
    # pandas drops some format names of these files: the package says which are dates.
    for f in package["resources"][0]["schema"]["fields"]:
        if f["type"] == "date":
            formats[f["name"]] = "DATE11."
        elif f["type"] == "datetime":
            formats[f["name"]] = "DATETIME20."
    labels = {c.name: c.label for c in reader.columns}
    # pandas 1.5 drops the last column's label of these files (of the 32-bit
    # ones it keeps the first 4 bytes): the package has it.
    for f in package["resources"][0]["schema"]["fields"]:
        if f.get("title", "").startswith(labels.get(f["name"]) or ""):
            labels[f["name"]] = f.get("title", "")
    compare(name, "sas", codebook(build, path), df, labels, formats,
            {"sex": package_labels(package)["sex"]}, package)


def xport_case(build, folder, package):
    path = os.path.join(folder, "survey.xpt")
    subprocess.run([os.path.join(build, "foreign-writer"), "--version", "5", os.path.join(folder, "datapackage.json"),
                    path], check=True)
    reader = XportReader(path, encoding="utf-8")
    df = reader.read()
    df.columns = [c.decode() if isinstance(c, bytes) else c for c in df.columns]
    labels = {f["name"].decode(): f["label"].decode().rstrip() for f in reader.fields}
    formats = {f["name"].decode(): f["nform"].decode().rstrip() for f in reader.fields}
    compare("survey.xpt", "xport", codebook(build, path), df, labels, formats, {}, package)


# ---------------------------------------------------------------- files other tools wrote

WRITTEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden-data", "foreign", "written")
# pandas 1.5 reads no release 110 and no value labels of release 108: the
# same data frame written by the same writer as release 114 stands in.
STAND_INS = {"r_foreign_v6.dta": "r_foreign_v10.dta", "r_foreign_v7.dta": "r_foreign_v10.dta"}
# What pandas 1.5 cannot read (it looks strL values up under keys of its own
# making): the values as write_r.R wrote them.
WRITTEN_VALUES = {("haven_v15.dta", "note"): {"x" * 2100: 1, "short": 1, "y": 10}}
# pandas 1.5 cuts these variable labels of haven's SAS files short (the first
# to 8 bytes).
WRITTEN_LABELS = {"haven.sas7bdat": {"sex": "Sex of respondent"},
                  "haven_formats.sas7bdat": {"val": "He said \"hi\" and 'bye' – Größe €"}}


def file_text(x):
    """Text as an old release holds it, or a newer one that is not UTF-8
    (pandas decodes it as Latin-1): UTF-8 where the bytes are UTF-8, a
    character cut at the value's end by its width left out after other UTF-8
    text, each other byte Windows-1252."""
    if not isinstance(x, str):
        return x
    try:
        raw = x.encode("latin-1")
    except UnicodeEncodeError:
        return x  # decoded as UTF-8 already
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data" and max(raw[:e.start], default=0) >= 0x80:
            return raw[:e.start].decode("utf-8")
        return raw.decode("cp1252", errors="replace")


def written_stata(build, path):
    name = os.path.basename(path)
    source = os.path.join(WRITTEN, STAND_INS.get(name, name))
    # A missing code differs between releases (R's NA is "." in release 110,
    # ".z" from 113): a stand-in's are compared as missing values alike.
    alike = source != path
    reader = StataReader(source, convert_dates=False, convert_categoricals=False, convert_missing=not alike)
    columns = [c for (n, c) in WRITTEN_VALUES if n == name]
    df = reader.read(columns=[c for c in reader.varlist if c not in columns] if columns else None)
    names = list(reader.varlist)
    if alike:
        try:  # a stand-in's names may be cut to another length (8 bytes in 108): the file's own
            names = StataReader(path).varlist
        except ValueError:
            pass  # a release pandas does not read
        df.columns = names
    for col in df.columns:
        if df[col].dtype == object:
            df[col] = df[col].map(file_text)
    sets = reader.value_labels()
    value_labels = {}
    for col, set_name in zip(names, reader.lbllist):
        for key, text in sets.get(set_name, {}).items():
            key = f".{chr(ord('a') + key - STATA_MISSING_INT - 1)}" if key > STATA_MISSING_INT else float(key)
            value_labels.setdefault(col, {})[key] = text
    ours = codebook(build, path)
    # The columns pandas cannot read are compared on their own, below.
    skipped = {c: ours["vars"].pop(c, None) for c in columns}
    ours["order"] = [c for c in ours["order"] if c not in columns]
    compare(name, "stata" if not alike else "stand-in", ours, df,
            dict(zip(names, reader.variable_labels().values())), dict(zip(names, reader.fmtlist)), value_labels, None)
    label = reader.data_label.rstrip(" ") or "<none>"
    check(ours.get("label") == label, f"{name}: file label {ours.get('label')!r} != {label!r}")
    for col, v in skipped.items():
        want = WRITTEN_VALUES[(name, col)]
        check(v is not None and v["values"] == want, f"{name}: {col}: counts differ from what was written")


def written_sas(build, path):
    name = os.path.basename(path)
    if name.endswith(".xpt"):
        # pandas reads version 5 only: version 8's file holds the same data
        # under a long name and label, less one variable (write_r.R).
        reader = XportReader(path.replace("_v8.xpt", "_v5.xpt"), encoding="utf-8")
        df = reader.read()
        df.columns = [c.decode() if isinstance(c, bytes) else c for c in df.columns]
        labels = {f["name"].decode(): f["label"].decode().rstrip() for f in reader.fields}
        formats = {f["name"].decode(): f["nform"].decode().rstrip() for f in reader.fields}
        if name.endswith("_v8.xpt"):
            long = "a_rather_long_variable_name"
            df = df.drop(columns=["tm"]).rename(columns={"score": long})
            labels[long] = "A label longer than forty bytes, as version 8 allows: " + "L" * 50
        kind = "xport"
    else:
        reader = SAS7BDATReader(path, convert_dates=False, blank_missing=False, encoding="utf-8")
        df = reader.read()
        labels = {c.name: c.label for c in reader.columns}
        formats = {c.name: c.format for c in reader.columns}
        kind = "sas"
        labels.update(WRITTEN_LABELS.get(name, {}))
    compare(name, kind, codebook(build, path), df, labels, formats, {}, None)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    cases = []
    with tempfile.TemporaryDirectory() as folder:
        package = make_package(folder)
        for version, extra in [(111, []), (113, ["--float", "score"]), (114, []), (115, ["--float", "score"]),
                               (117, ["--strl", "remark"]), (118, ["--strl", "remark", "--float", "score"]),
                               (119, [])]:
            stata_case(build, folder, package, version, extra)
            cases.append(f"survey{version}.dta")
        for extra in [[], ["--32-bit"], ["--compress"], ["--32-bit", "--compress"]]:
            sas_case(build, folder, package, extra)
            cases.append("survey" + "".join(extra).replace("--", "_") + ".sas7bdat")
        xport_case(build, folder, package)
        cases.append("survey.xpt")
    for name in sorted(os.listdir(WRITTEN)):
        if not name.endswith((".dta", ".xpt", ".sas7bdat")):
            continue
        cases.append(name)
        try:
            (written_stata if name.endswith(".dta") else written_sas)(build, os.path.join(WRITTEN, name))
        except RuntimeError as error:  # the program refused the file
            FAILURES.append(f"{name}: {error}")
    failed = {f.split(":")[0] for f in FAILURES}
    for f in FAILURES:
        print("FAIL", f)
    print(f"{len(cases) - len(failed)} passed, {len(failed)} failed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

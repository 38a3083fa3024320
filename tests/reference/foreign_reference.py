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
made from. Needs Debian's python3-pandas.
"""
import datetime
import json
import math
import os
import random
import subprocess
import sys
import tempfile

import pandas as pd
from pandas.io.sas.sas7bdat import SAS7BDATReader
from pandas.io.sas.sas_xport import XportReader
from pandas.io.stata import StataReader

CASES = 400
ORIGIN_1960 = (datetime.date(1960, 1, 1) - datetime.date(1582, 10, 14)).days * 86400.0
STATA_MISSING_INT = 2147483621  # int32 code of "." in Stata's value labels; .a is one above

FAILURES = []


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
    if kind == "stata" and fmt.startswith("%td"):
        return ORIGIN_1960 + value * 86400
    if kind == "stata" and fmt.startswith("%tc"):
        return ORIGIN_1960 + value / 1000
    if kind != "stata" and fmt.upper().startswith("DATETIME"):
        return ORIGIN_1960 + value
    if kind != "stata" and fmt.upper().startswith("DATE"):
        return ORIGIN_1960 + value * 86400
    return value


def compare(name, kind, ours, df, labels, formats, value_labels, package):
    tag = f"{name}:"
    check(ours["order"] == list(df.columns), f"{tag} variable names {ours['order']} != {list(df.columns)}")
    check(ours.get("cases") == len(df), f"{tag} case count {ours.get('cases')} != {len(df)}")
    check(ours.get("label") == package["title"], f"{tag} file label {ours.get('label')!r}")
    if kind == "stata" and name.endswith((".dta",)) and "105" not in name:
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
            if valid:
                check(close(v.get("Mean"), sum(valid) / len(valid)),
                      f"{where} mean {v.get('Mean')} != {sum(valid) / len(valid)}")
        else:
            got = {k: c for k, c in v["values"].items() if not (isinstance(k, str) and k.startswith("."))}
            want = {k: c for k, c in counts.items()}
            check(got == want, f"{where} counts {sorted(got.items(), key=str)[:8]} != {sorted(want.items(), key=str)[:8]}")
            got_codes = {k: c for k, c in v["values"].items() if isinstance(k, str) and k.startswith(".")}
            if kind == "stata":
                check(got_codes == missing_codes, f"{where} extended missing {got_codes} != {missing_codes}")
                check((v.get("system") or 0) == system, f"{where} system-missing {v.get('system')} != {system}")
            else:  # pandas reads every SAS missing value as NaN
                total = sum(got_codes.values()) + (v.get("system") or 0)
                check(total == system, f"{where} missing {total} != {system}")
        for key, text in value_labels.get(col, {}).items():
            if key in v["labels"]:
                check(v["labels"][key] == text, f"{where} label of {key}: {v['labels'][key]!r} != {text!r}")


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


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    with tempfile.TemporaryDirectory() as folder:
        package = make_package(folder)
        for version, extra in [(111, []), (113, ["--float", "score"]), (114, []), (115, ["--float", "score"]),
                               (117, ["--strl", "remark"]), (118, ["--strl", "remark", "--float", "score"]),
                               (119, [])]:
            stata_case(build, folder, package, version, extra)
        for extra in [[], ["--32-bit"], ["--compress"], ["--32-bit", "--compress"]]:
            sas_case(build, folder, package, extra)
        xport_case(build, folder, package)
    for f in FAILURES:
        print("FAIL", f)
    print(f"{12 - len({f.split(':')[0] for f in FAILURES})} passed, {len({f.split(':')[0] for f in FAILURES})} failed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

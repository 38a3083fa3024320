#!/usr/bin/env python3
"""Writes a fictional survey data package of N cases for the end-to-end benchmarks.

    python3 bench/generate_dataset.py N OUTDIR                 # survey.csv + datapackage.json
    python3 bench/generate_dataset.py --wide V N OUTDIR        # V generic variables instead

The survey has what real files have: nominal and ordinal codes with value labels
and user-missing codes, strings with a few values and one (postcode) with
thousands, scale numbers with empty (system-missing) cells, a scale variable with
value labels, a date, a weight with a few unusable cases, a multiple-dichotomy set
and a multiple-category set. Every field declares its type and every string its
maxLength, so the reader never has to scan the file for the dictionary.

The output depends only on N (and V): the random generator is seeded and cases
are drawn column by column in batches of a fixed size. Standard library only; about
a minute per ten million cases.
"""
import itertools
import json
import os
import random
import sys

BATCH = 100_000
SEED = 20261206

REGIONS = ["North", "North East", "East", "South East", "South", "South West", "West", "North West", "Capital"]
EMPLOYMENT = ["full-time", "part-time", "self-employed", "unemployed", "retired", "student",
              "homemaker", "other, please specify"]
COUNTRIES = ["Germany", "France", "Italy", "España", "Portugal", "Netherlands", "Belgium", "Luxembourg",
             "Österreich", "Schweiz", "Poland", "Czechia", "Slovakia", "Hungary", "Slovenia", "Croatia",
             "Romania", "Bulgaria", "Greece", "Cyprus", "Malta", "Ireland", "United Kingdom", "Denmark",
             "Sweden", "Norway", "Finland", "Iceland", "Estonia", "Latvia", "Lithuania", "Côte d'Ivoire",
             "Türkiye", "Other"]
BRANDS = ["Northwind", "Contoso", "Fabrikam", "Tailspin", "Litware", "Proseware", "Adventure Works",
          "Other brand"]
MEDIA = ["tv", "radio", "web", "print"]
POSTCODES = 5000


def csv_text(s):
    """A CSV cell: quoted only when it has to be."""
    if any(c in s for c in ',"\n\r'):
        return '"' + s.replace('"', '""') + '"'
    return s


def labels(pairs):
    return [{"value": v, "label": l} for v, l in pairs]


def survey_fields():
    yes_no = labels([(0, "Not mentioned"), (1, "Mentioned")])
    f = [
        {"name": "id", "title": "Respondent number", "type": "integer", "measure": "scale", "role": "none",
         "printFormat": "F8.0"},
        {"name": "region", "title": "Region of residence", "type": "integer",
         "categories": labels([(i + 1, r) for i, r in enumerate(REGIONS)] + [(99, "No answer")]),
         "userMissing": {"values": [99]}},
        {"name": "sex", "title": "Sex of respondent", "type": "integer",
         "categories": labels([(1, "Male"), (2, "Female"), (3, "Diverse"), (9, "No answer")]),
         "userMissing": {"values": [9]}},
        {"name": "age", "title": "Age in years", "type": "integer", "measure": "scale", "printFormat": "F3.0",
         "userMissing": {"values": [999]}},
        {"name": "educ", "title": "Highest education", "type": "integer", "categoriesOrdered": True,
         "categories": labels([(1, "None"), (2, "Primary"), (3, "Lower secondary"), (4, "Upper secondary"),
                               (5, "Tertiary"), (6, "Doctorate"), (97, "Refused"), (98, "Don't know"),
                               (99, "No answer")]),
         "userMissing": {"range": {"low": 97, "high": 99}}},
        {"name": "satisfaction", "title": "Satisfaction with life", "type": "integer", "categoriesOrdered": True,
         "categories": labels([(1, "Very dissatisfied"), (2, "Dissatisfied"), (3, "Neither"), (4, "Satisfied"),
                               (5, "Very satisfied"), (8, "Don't know")]),
         "userMissing": {"values": [8]}},
        {"name": "trust", "title": "Trust in institutions (0-10)", "type": "integer", "measure": "ordinal",
         "categories": labels([(0, "No trust at all"), (10, "Complete trust")])},
        {"name": "employment", "title": "Employment status", "type": "string",
         "constraints": {"maxLength": 24}},
        {"name": "country", "title": "Country of birth", "type": "string", "constraints": {"maxLength": 16}},
        {"name": "postcode", "title": "Postcode", "type": "string", "constraints": {"maxLength": 8}},
        {"name": "income", "title": "Net monthly income", "type": "number", "measure": "scale",
         "printFormat": "DOLLAR10.2", "userMissing": {"values": [999999]}},
        {"name": "tv_hours", "title": "Hours of television per day", "type": "number", "measure": "scale",
         "printFormat": "F4.1", "categories": labels([(0, "None"), (24, "All day")])},
        {"name": "height", "title": "Height in cm", "type": "number", "measure": "scale", "printFormat": "F5.1"},
        {"name": "interview_date", "title": "Date of interview", "type": "date", "measure": "scale"},
        {"name": "household", "title": "Persons in household", "type": "integer", "measure": "scale",
         "printFormat": "F2.0"},
    ]
    for m in MEDIA:
        f.append({"name": "media_" + m, "title": "News from " + m, "type": "integer", "categories": yes_no})
    brand_labels = labels([(i + 1, b) for i, b in enumerate(BRANDS)])
    for k in (1, 2, 3):
        f.append({"name": "brand%d" % k, "title": "Favourite brand, mention %d" % k, "type": "integer",
                  "categories": brand_labels})
    f.append({"name": "weight", "title": "Design weight", "type": "number", "measure": "scale",
              "role": "none", "printFormat": "F8.4"})
    return f


class Column:
    """Draws one batch of cells (CSV texts) for one or more columns."""

    def __init__(self, texts, weights, raw=False):
        # raw: the texts are already CSV (several cells joined by commas).
        self.texts = list(texts) if raw else [csv_text(t) for t in texts]
        self.cum = list(itertools.accumulate(weights))

    def draw(self, rng, n, start):
        return rng.choices(self.texts, cum_weights=self.cum, k=n)


class Gauss:
    def __init__(self, mu, sd, fmt, lo, hi, empty, missing_code=None, missing_share=0.0):
        self.mu, self.sd, self.fmt, self.lo, self.hi = mu, sd, fmt, lo, hi
        self.empty, self.missing_code, self.missing_share = empty, missing_code, missing_share

    def draw(self, rng, n, start):
        g, fmt, lo, hi = rng.gauss, self.fmt, self.lo, self.hi
        cells = [fmt % min(hi, max(lo, g(self.mu, self.sd))) for _ in range(n)]
        if self.empty:
            for i in rng.sample(range(n), int(n * self.empty)):
                cells[i] = ""
        if self.missing_code is not None:
            for i in rng.sample(range(n), int(n * self.missing_share)):
                cells[i] = self.missing_code
        return cells


class Ids:
    def draw(self, rng, n, start):
        return list(map(str, range(start + 1, start + n + 1)))


class Weights:
    def draw(self, rng, n, start):
        u = rng.uniform
        cells = ["%.4f" % u(0.35, 2.4) for _ in range(n)]
        # A few cases the weighting leaves out: zero and missing weights.
        for i in rng.sample(range(n), n // 1000):
            cells[i] = "0"
        for i in rng.sample(range(n), n // 2000):
            cells[i] = ""
        return cells


def survey_columns():
    import datetime

    zipf = [1.0 / (k + 1) ** 0.9 for k in range(POSTCODES)]
    postcodes = ["%s%04d" % ("ABCDEFGHJK"[k % 10], (k * 7919) % 10000) for k in range(POSTCODES)]
    ages = [str(a) for a in range(16, 100)] + ["999", ""]
    age_w = [max(1.0, 60.0 - abs(a - 45) * 0.8) for a in range(16, 100)] + [80.0, 40.0]
    day0 = datetime.date(2025, 1, 6)
    days = [(day0 + datetime.timedelta(days=d)).isoformat() for d in range(730)] + [""]
    day_w = [1.0 if (day0 + datetime.timedelta(days=d)).weekday() < 5 else 0.4 for d in range(730)] + [2.0]
    tv = ["%.1f" % (h / 2) for h in range(0, 49)] + [""]
    tv_w = [30.0 if h == 0 else 100.0 / (1 + abs(h - 5)) for h in range(0, 49)] + [20.0]
    tv_w[48] = 0.5
    # Media dichotomies together: one weighted draw over the 16 patterns.
    shares = [0.72, 0.38, 0.81, 0.22]
    media = []
    media_w = []
    for bits in itertools.product("01", repeat=4):
        p = 1.0
        for b, s in zip(bits, shares):
            p *= s if b == "1" else 1 - s
        media.append(",".join(bits))
        media_w.append(p)
    # Brands: up to three different ones, later mentions often empty.
    brands = []
    brands_w = []
    bw = [30, 22, 15, 10, 8, 6, 5, 4]
    for a in range(8):
        brands.append("%d,," % (a + 1))
        brands_w.append(bw[a] * 0.35)
        for b in range(8):
            if b == a:
                continue
            brands.append("%d,%d," % (a + 1, b + 1))
            brands_w.append(bw[a] * bw[b] * 0.012)
            for c in range(8):
                if c in (a, b):
                    continue
                brands.append("%d,%d,%d" % (a + 1, b + 1, c + 1))
                brands_w.append(bw[a] * bw[b] * bw[c] * 0.0004)
    brands.append(",,")
    brands_w.append(4.0)
    return [
        Ids(),
        Column([str(i) for i in range(1, 10)] + ["99"], [14, 9, 11, 12, 13, 8, 10, 9, 18, 1.5]),
        Column(["1", "2", "3", "9"], [48.5, 50.2, 0.5, 0.8]),
        Column(ages, age_w),
        Column([str(i) for i in range(1, 7)] + ["97", "98", "99"], [2, 12, 25, 33, 24, 2, 0.6, 0.7, 0.4]),
        Column(["1", "2", "3", "4", "5", "8", ""], [4, 9, 20, 42, 21, 2, 3]),
        Column([str(i) for i in range(11)] + [""], [3, 2, 4, 6, 8, 14, 12, 16, 17, 9, 6, 3]),
        Column(EMPLOYMENT + [""], [48, 14, 9, 6, 17, 4, 3, 1, 1]),
        Column(COUNTRIES, [40 / (k + 1) ** 1.2 for k in range(len(COUNTRIES))]),
        Column(postcodes, zipf),
        Gauss(2900.0, 1100.0, "%.2f", 0.0, 25000.0, 0.06, "999999", 0.03),
        Column(tv, tv_w),
        Gauss(170.0, 9.5, "%.1f", 120.0, 215.0, 0.08),
        Column(days, day_w),
        Column([str(h) for h in range(1, 9)], [22, 34, 18, 15, 7, 2.5, 1, 0.5]),
        Column(media, media_w, raw=True),
        Column(brands, brands_w, raw=True),
        Weights(),
    ]


def survey(n, outdir):
    fields = survey_fields()
    package = {
        "name": "bench-survey",
        "title": "Benchmark survey, %d cases (fictional)" % n,
        "documents": [["Fictional data made by bench/generate_dataset.py for the end-to-end benchmarks."]],
        "attributes": {"Purpose": "benchmark"},
        "weight": "weight",
        "multipleResponseSets": [
            {"name": "$media", "label": "Sources of news", "type": "dichotomies", "countedValue": "1",
             "variables": ["media_" + m for m in MEDIA]},
            {"name": "$brands", "label": "Favourite brands", "type": "categories",
             "variables": ["brand1", "brand2", "brand3"]},
        ],
        "resources": [{"name": "survey", "path": "survey.csv", "format": "csv", "schema": {"fields": fields}}],
    }
    write_package(package, [f["name"] for f in fields], survey_columns(), n, outdir)


def wide_fields(v):
    fields = []
    for j in range(v):
        kind = j % 5
        name = "v%05d" % (j + 1)
        if kind == 0:
            fields.append({"name": name, "title": "Item %d (agreement)" % (j + 1), "type": "integer",
                           "categoriesOrdered": True,
                           "categories": labels([(1, "Disagree"), (2, "Neutral"), (3, "Agree"), (9, "No answer")]),
                           "userMissing": {"values": [9]}})
        elif kind == 1:
            fields.append({"name": name, "title": "Item %d (code)" % (j + 1), "type": "integer",
                           "categories": labels([(k, "Code %d" % k) for k in range(1, 8)])})
        elif kind == 2:
            fields.append({"name": name, "title": "Item %d (amount)" % (j + 1), "type": "number",
                           "measure": "scale"})
        elif kind == 3:
            fields.append({"name": name, "title": "Item %d (count)" % (j + 1), "type": "integer",
                           "measure": "scale"})
        else:
            fields.append({"name": name, "title": "Item %d (text)" % (j + 1), "type": "string",
                           "constraints": {"maxLength": 6}})
    return fields


def wide_columns(v):
    cols = []
    for j in range(v):
        kind = j % 5
        if kind == 0:
            cols.append(Column(["1", "2", "3", "9", ""], [30, 25, 40, 3, 2]))
        elif kind == 1:
            cols.append(Column([str(k) for k in range(1, 8)], [7, 6, 5, 4, 3, 2, 1]))
        elif kind == 2:
            cols.append(Gauss(50.0, 12.0, "%.2f", 0.0, 100.0, 0.05))
        elif kind == 3:
            cols.append(Column([str(k) for k in range(0, 40)] + [""], [40 - k for k in range(40)] + [10]))
        else:
            cols.append(Column(["alpha", "beta", "gamma", "delta", "eps", ""], [5, 4, 3, 2, 1, 1]))
    return cols


def wide(v, n, outdir):
    fields = wide_fields(v)
    package = {
        "name": "bench-wide",
        "title": "Benchmark file with %d variables and %d cases (fictional)" % (v, n),
        "resources": [{"name": "wide", "path": "wide.csv", "format": "csv", "schema": {"fields": fields}}],
    }
    write_package(package, [f["name"] for f in fields], wide_columns(v), n, outdir, batch=max(1, BATCH // v * 5))


def write_package(package, names, columns, n, outdir, batch=BATCH):
    os.makedirs(outdir, exist_ok=True)
    rng = random.Random(SEED)
    csv_name = package["resources"][0]["path"]
    tmp = os.path.join(outdir, csv_name + ".part")
    with open(tmp, "w", encoding="utf-8", newline="") as out:
        out.write(",".join(names) + "\n")
        for start in range(0, n, batch):
            k = min(batch, n - start)
            cells = [c.draw(rng, k, start) for c in columns]
            out.write("\n".join(map(",".join, zip(*cells))))
            out.write("\n")
    os.replace(tmp, os.path.join(outdir, csv_name))
    with open(os.path.join(outdir, "datapackage.json"), "w", encoding="utf-8") as out:
        json.dump(package, out, indent=1, ensure_ascii=False)
        out.write("\n")


def main(argv):
    args = argv[1:]
    v = None
    if len(args) >= 2 and args[0] == "--wide":
        v = int(args[1])
        args = args[2:]
    if len(args) != 2 or not args[0].isdigit():
        sys.exit("usage: generate_dataset.py [--wide VARIABLES] N OUTDIR")
    n = int(args[0])
    if v is None:
        survey(n, args[1])
    else:
        wide(v, n, args[1])


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/python3
"""The benchmark survey's codebook numbers the way a pandas user would compute them.

    /usr/bin/python3 bench/peers/pandas_codebook.py bench/out/survey-N/datapackage.json
    /usr/bin/python3 bench/peers/pandas_codebook.py --stata bench/out/survey-N/survey.dta

Weighted counts and percents of every categorical variable (user-missing codes
counted as missing), weighted valid/missing N, mean, standard deviation and
quartiles of every scale variable, and the counts of both multiple-response sets.
The variable lists are those of bench/generate_dataset.py. With --stata the
cases come from the same survey written as a Stata file (read_stata), where
the user-missing codes are Stata's .a, .b, ... and read as missing.
"""
import os
import sys

import numpy as np
import pandas as pd

CATEGORICAL = {"region": [99], "sex": [9], "educ": [97, 98, 99], "satisfaction": [8], "trust": [],
               "employment": [], "country": [], "postcode": [], "media_tv": [], "media_radio": [],
               "media_web": [], "media_print": [], "brand1": [], "brand2": [], "brand3": []}
SCALE = {"id": [], "age": [999], "income": [999999], "tv_hours": [], "height": [], "interview_date": [],
         "household": [], "weight": []}
LABELLED_SCALE = {"tv_hours": [0.0, 24.0]}
STRINGS = ["employment", "country", "postcode"]
MAXCATS = 200


def wquantiles(x, w, ps):
    order = np.argsort(x, kind="stable")
    xs, cw = x[order], np.cumsum(w[order])
    return [xs[min(len(xs) - 1, np.searchsorted(cw, p * cw[-1]))] for p in ps]


def main(path, stata=False):
    if stata:
        df = pd.read_stata(path, convert_categoricals=False)
    else:
        csv = os.path.join(os.path.dirname(path), "survey.csv")
        numeric = [c for c in list(CATEGORICAL) + list(SCALE) if c not in STRINGS]
        df = pd.read_csv(csv, keep_default_na=False, na_values={c: [""] for c in numeric},
                         dtype={c: str for c in STRINGS}, parse_dates=["interview_date"])
    df["interview_date"] = (df["interview_date"] - pd.Timestamp("1970-01-01")).dt.total_seconds()
    df = df[df["weight"] > 0]
    w = df["weight"]
    total = w.sum()
    print("cases", len(df), "weighted", total)

    for col, missing in CATEGORICAL.items():
        counts = w.groupby(df[col], dropna=False).sum()
        if len(counts) > MAXCATS:
            print(col, "more than", MAXCATS, "values")
            continue
        miss = counts[counts.index.isin(missing) | counts.index.isna()].sum()
        print(col, pd.DataFrame({"count": counts, "percent": 100 * counts / total}).to_string(), "missing", miss)

    for col, missing in SCALE.items():
        x = df[col]
        valid = x.notna() & ~x.isin(missing)
        xv, wv = x[valid].to_numpy(dtype=float), w[valid].to_numpy()
        n = wv.sum()
        mean = np.average(xv, weights=wv)
        sd = np.sqrt(np.sum(wv * (xv - mean) ** 2) / (n - 1))
        print(col, "valid", n, "missing", total - n, "mean", mean, "sd", sd, "quartiles",
              wquantiles(xv, wv, [0.25, 0.5, 0.75]))
        if col in LABELLED_SCALE:
            print(col, w.groupby(x[x.isin(LABELLED_SCALE[col])]).sum().to_string())

    media = df[["media_tv", "media_radio", "media_web", "media_print"]]
    print("$media", media.eq(1).mul(w, axis=0).sum().to_string(), "cases", w[media.eq(1).any(axis=1)].sum())
    brands = df[["brand1", "brand2", "brand3"]]
    long = brands.stack()
    print("$brands", w.loc[long.index.get_level_values(0)].groupby(long.to_numpy()).sum().to_string(),
          "cases", w[brands.notna().any(axis=1)].sum())


if __name__ == "__main__":
    if sys.argv[1] == "--stata":
        main(sys.argv[2], stata=True)
    else:
        main(sys.argv[1])

#!/usr/bin/python3
"""Stata files as pandas users write them (DataFrame.to_stata), for
tests/reference/foreign_reference.py. Written with Debian's pandas 1.5.3:

    /usr/bin/python3 write_pandas.py     (in this folder)

Releases 114 (big-endian), 117 (a strL column), 118 (value labels given and
a categorical column), 119 (big-endian); dates as %td, %tc, %tm, %tq, %tw,
%ty and %th; variable labels, a file label, 8-bit and 32-bit numbers.
"""
import datetime

import numpy as np
import pandas as pd

STAMP = datetime.datetime(2026, 12, 7, 10, 0)
df = pd.DataFrame({
    "id": np.arange(1, 11, dtype=np.int32),
    "score": [1.5, 2.25, np.nan, 4, 5.125, 6, 7.5, 8, 9.75, 10],
    "small": np.array([1, 2, 3, -4, 5, 6, 7, 8, 9, 100], dtype=np.int8),
    "f32": np.array([0.1, 0.2, 0.3, np.nan, 1.5, 2, 3, 4, 5, 6], dtype=np.float32),
    "city": ["Zürich", "Köln", "Montréal", "Oslo", "São Paulo", "", None, "Oslo", "a", "b"],
    "bday": pd.to_datetime(["1970-01-01", "1970-01-02", "1971-01-01", "1969-12-31", None, "2000-02-29",
                            "1960-01-01", "1959-12-31", "2024-01-01", "1900-01-01"]),
    "stamp": pd.to_datetime(["2026-03-01 08:00:00", "2026-03-01 08:00:01.5", None, "2026-03-02", "1960-01-01",
                             "2026-03-01", "2026-03-01", "2026-03-01", "2026-03-01", "2026-03-01"]),
    "cat": pd.Categorical(["yes", "no", "yes", None, "maybe", "no", "yes", "yes", "no", "maybe"],
                          categories=["no", "maybe", "yes"]),
    "big": np.array([10**12, 2, 3, 4, 5, 6, 7, 8, 9, 10], dtype=np.int64),
})
labels = {"id": "Respondent", "score": "Test score", "city": "City (Stadt)", "bday": "Date of birth"}
dates = {"bday": "td", "stamp": "tc"}
common = dict(convert_dates=dates, variable_labels=labels, time_stamp=STAMP, data_label="Written by pandas",
              write_index=False)
# Before 118 pandas writes text as Latin-1.
df.to_stata("pandas_114_big.dta", version=114, byteorder="big", **common)
df.to_stata("pandas_117.dta", version=117, convert_strl=["city"], **common)
d = df.copy()
d["educ"] = np.array([1, 2, 3, 1, 2, 3, 1, 2, 3, 9], dtype=np.int16)
d.to_stata("pandas_118.dta", version=118, value_labels={"educ": {1: "Low", 2: "Mid", 3: "High", 9: "Missing"}},
           **common)
df.to_stata("pandas_119_big.dta", version=119, byteorder="big", **common)
periods = pd.DataFrame({
    "m": pd.to_datetime(["2020-01-01", "2020-02-01", "1959-12-01"]),
    "q": pd.to_datetime(["2020-01-01", "2020-04-01", "1959-10-01"]),
    "w": pd.to_datetime(["2020-01-01", "2020-01-08", "1959-12-24"]),
    "y": pd.to_datetime(["2020-01-01", "1999-01-01", "1960-01-01"]),
    "h": pd.to_datetime(["2020-01-01", "2020-07-01", "1960-01-01"]),
})
periods.to_stata("pandas_periods.dta", version=118, write_index=False, time_stamp=STAMP,
                 convert_dates={"m": "tm", "q": "tq", "w": "tw", "y": "ty", "h": "th"})

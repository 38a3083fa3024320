#!/usr/bin/python3
"""Stata files as pandas users write them (DataFrame.to_stata), for
tests/reference/foreign_reference.py. Written with Debian's pandas 1.5.3:

    /usr/bin/python3 write_pandas.py     (in this folder)

Releases 114 (big-endian), 117 (a strL column), 118 (value labels given and
a categorical column), 119 (big-endian); dates as %td, %tc, %tm, %tq, %tw,
%ty and %th; variable labels, a file label, 8-bit and 32-bit numbers. Then
pandas_index_118.dta: the index written as a column, value labels on negative
codes, nullable integers and booleans, float32 values such as 0.1f and bytes
at Stata's limits (-127 and 100); and pandas_sets_118.dta, edited after
pandas wrote it: one label set shared by two variables (the other set is
attached to none), a NUL inside a str# value and a byte that is not UTF-8.
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

ix = pd.DataFrame({
    "b": np.array([-127, 100, 0, 1, -1, 5, 5, 100, -127, 3, 2, 1], dtype=np.int8),
    "neg": np.array([-9, -8, 1, 2, 3, 1, 2, 3, -9, 1, 1, 2], dtype=np.int16),
    "f32": np.array([0.1, 0.2, 0.3, 1.1, np.nan, 2.5, 0.1, 0.7, 3.3, 1e-3, 16777217, 0.1], dtype=np.float32),
    "ts": pd.to_datetime(["2020-01-01 10:00", None, "1960-01-01", "1959-12-31 23:59:59.999", "2038-01-19 03:14:08",
                          "2020-02-29", None, "1900-01-01", "2100-12-31", "2020-06-15 12:30:45.25", "2020-01-01",
                          "2000-01-01"]),
    "i64": pd.array([1, None, 3, 4, None, 6, 7, 8, 9, 10, 11, 12], dtype="Int64"),
    "boo": pd.array([True, False, None, True, True, False, None, True, False, True, True, True], dtype="boolean"),
}, index=pd.Index([f"r{i}" for i in range(12)], name="rowname"))
ix.to_stata("pandas_index_118.dta", version=118, write_index=True, time_stamp=STAMP, convert_dates={"ts": "tc"},
            variable_labels={"b": "Byte at the limits", "f32": "Single precision", "neg": "Negative codes"},
            value_labels={"neg": {-9: "Refused", -8: "Don't know", 1: "One", 2: "Two", 3: "Three"}})

sets = pd.DataFrame({"neg": np.array([-9, 1, 2, 1, 2, 2], dtype=np.int16),
                     "neg2": np.array([1, 1, 2, -9, 3, 3], dtype=np.int16),
                     "s": ["abQcd", "plain", "zzRzz", "abQcd", "ok", "é"]})
sets.to_stata("pandas_sets_118.dta", version=118, write_index=False, time_stamp=STAMP,
              value_labels={"neg": {-9: "Refused", 1: "One", 2: "Two"}, "neg2": {1: "Uno", 2: "Dos", 3: "Tres"}})
raw = bytearray(open("pandas_sets_118.dta", "rb").read())
names = raw.rfind(b"neg".ljust(129, b"\0") + b"neg2".ljust(129, b"\0"))  # the variables' label set names
raw[names + 129:names + 258] = b"neg".ljust(129, b"\0")
for at in (raw.find(b"abQcd"), raw.rfind(b"abQcd")):
    raw[at + 2] = 0  # "ab", as Stata reads a str# up to its first NUL
raw[raw.find(b"zzRzz") + 2] = 0xFF
open("pandas_sets_118.dta", "wb").write(raw)

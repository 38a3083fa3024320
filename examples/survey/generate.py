#!/usr/bin/env python3
"""Generates the example dataset: a small fictional community survey.

It is made to show every feature of a codebook: nominal, ordinal and scale
numbers, strings, value labels, user-missing values (discrete and a range),
system-missing cells, dates and times, custom, reserved and hidden attributes,
roles, documents, a file label, file attributes, a weight variable and both
kinds of multiple-response sets. The output is deterministic.

    python3 examples/survey/generate.py    # rewrites datapackage.json and survey.csv
"""
import csv
import datetime
import json
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = 300
rng = random.Random(20261206)

BRANDS = {1: "Northwind", 2: "Contoso", 3: "Fabrikam", 4: "Tailspin", 5: "Litware", 6: "Other brand"}
COMMENTS = ["", "", "", "", "", "", "Friendly interviewer", "Too long", "Asked to be contacted again",
            "Questions about income were unclear", "Would like results by e-mail", "No comment"]


def weighted_choice(pairs):
    total = sum(w for _, w in pairs)
    r = rng.uniform(0, total)
    for value, w in pairs:
        r -= w
        if r <= 0:
            return value
    return pairs[-1][0]


def make_case(i):
    wave = 1 if i < 160 else 2
    sex = weighted_choice([(1, 48), (2, 50), (9, 2)])
    age = rng.randint(18, 90) if rng.random() > 0.03 else 99
    region = weighted_choice([("north", 30), ("south", 25), ("east", 20), ("west", 23), ("", 2)])
    educ = weighted_choice([(1, 10), (2, 30), (3, 30), (4, 20), (5, 8), (8, 1), (9, 1)])
    if rng.random() < 0.04:
        income = "999999"
    elif rng.random() < 0.05:
        income = ""
    else:
        income = "%.2f" % max(0.0, rng.gauss(2800 + 250 * educ, 900))
    satisfaction = "" if rng.random() < 0.06 else str(weighted_choice([(1, 5), (2, 10), (3, 25), (4, 40), (5, 20)]))
    visits = min(10, int(rng.expovariate(0.35)))
    day = datetime.date(2026, 3, 2) + datetime.timedelta(days=rng.randint(0, 60) + (70 if wave == 2 else 0))
    start = datetime.time(rng.randint(8, 20), rng.choice([0, 15, 30, 45]), rng.randint(0, 59))
    household = rng.choice([1, 1, 2, 2, 2, 3, 3, 4, 5, 6])
    height = "" if rng.random() < 0.08 else "%.1f" % rng.gauss(171 if sex == 1 else 164, 8)
    employed = weighted_choice([("Y", 60), ("N", 38), ("?", 2)])
    weight = "%.4f" % rng.uniform(0.5, 1.8)
    media = [1 if rng.random() < p else 0 for p in (0.7, 0.4, 0.8)]
    favs = rng.sample(sorted(BRANDS), 3)
    favs = [favs[0], favs[1] if rng.random() < 0.7 else "", favs[2] if rng.random() < 0.4 else ""]
    return [i + 1, wave, sex, age, region, educ, income, satisfaction, visits, day.isoformat(),
            start.isoformat(), household, height, employed, media[0], media[1], media[2],
            favs[0], favs[1], favs[2], rng.choice(COMMENTS), weight]


def labels(pairs):
    return [{"value": v, "label": l} for v, l in pairs]


YES_NO = labels([(0, "No"), (1, "Yes")])
BRAND_LABELS = labels(sorted(BRANDS.items()))

FIELDS = [
    {"name": "id", "title": "Respondent number", "type": "integer", "measure": "scale", "role": "none",
     "printFormat": "F5.0"},
    {"name": "wave", "title": "Survey wave", "type": "integer", "role": "split",
     "categories": labels([(1, "Spring"), (2, "Summer")])},
    {"name": "sex", "title": "Sex of respondent", "type": "integer",
     "categories": labels([(1, "Male"), (2, "Female"), (9, "No answer")]),
     "userMissing": {"values": [9]}},
    {"name": "age", "title": "Age in years", "type": "integer", "measure": "scale", "printFormat": "F3.0",
     "userMissing": {"values": [99]},
     "attributes": {"Question": "How old are you?", "$VariableOrigin": "Interview",
                    "@InternalNote": "checked", "$@Audit": "2026-06-01"}},
    {"name": "region", "title": "Region of residence", "type": "string", "constraints": {"maxLength": 5},
     "role": "partition",
     "categories": labels([("east", "East"), ("north", "North"), ("south", "South"), ("west", "West")]),
     "attributes": {"Question": "Where do you live?"}},
    {"name": "educ", "title": "Highest education", "type": "integer", "categoriesOrdered": True,
     "role": "both",
     "categories": labels([(1, "Primary"), (2, "Lower secondary"), (3, "Upper secondary"),
                           (4, "Bachelor"), (5, "Master or higher"), (8, "Don't know"), (9, "Refused")]),
     "userMissing": {"values": [8, 9]}},
    {"name": "income", "title": "Monthly net income", "type": "number", "measure": "scale",
     "printFormat": "DOLLAR10.2", "writeFormat": "F10.2",
     "userMissing": {"range": {"low": 999990, "high": "HI"}},
     "attributes": {"Question": "What is your monthly net income?",
                    "MonthlyBenchmarks": ["2100", "2150", "2200", "2230", "2260", "2300", "2310", "2350",
                                          "2400", "2420", "2450", "2500"]}},
    {"name": "satisfaction", "title": "Satisfaction with the neighbourhood", "type": "integer",
     "categoriesOrdered": True, "role": "target",
     "categories": labels([(1, "Very dissatisfied"), (2, "Dissatisfied"), (3, "Neutral"),
                           (4, "Satisfied"), (5, "Very satisfied")]),
     "attributes": {"Question": "How satisfied are you with your neighbourhood?", "Scale": ""}},
    {"name": "visits", "title": "Visits to the town hall last year", "type": "integer", "measure": "scale",
     "printFormat": "F2.0", "categories": labels([(0, "Never"), (10, "Ten or more")])},
    {"name": "interview_date", "title": "Date of interview", "type": "date", "printFormat": "DATE11"},
    {"name": "start_time", "title": "Time the interview started", "type": "time", "printFormat": "TIME8"},
    {"name": "household", "title": "Persons in household", "type": "integer", "measure": "ordinal"},
    {"name": "height", "title": "Height (cm)", "type": "number", "measure": "scale", "printFormat": "F5.1"},
    {"name": "employed", "title": "In paid work", "type": "string", "constraints": {"maxLength": 1},
     "categories": labels([("N", "No"), ("Y", "Yes"), ("?", "Unknown")]),
     "userMissing": {"values": ["?"]}},
    {"name": "media_tv", "title": "Follows local news on TV", "type": "integer", "categories": YES_NO},
    {"name": "media_radio", "title": "Follows local news on the radio", "type": "integer", "categories": YES_NO},
    {"name": "media_web", "title": "Follows local news on the web", "type": "integer", "categories": YES_NO},
    {"name": "brand1", "title": "Favourite brand, first mention", "type": "integer", "categories": BRAND_LABELS},
    {"name": "brand2", "title": "Favourite brand, second mention", "type": "integer"},
    {"name": "brand3", "title": "Favourite brand, third mention", "type": "integer"},
    {"name": "comment", "title": "Interviewer comment", "type": "string", "constraints": {"maxLength": 40},
     "measure": "nominal", "role": "none"},
    {"name": "weight", "title": "Design weight", "type": "number", "measure": "scale", "printFormat": "F8.4",
     "role": "none"},
]

PACKAGE = {
    "name": "community-survey-2026",
    "title": "Community Survey 2026 (fictional example)",
    "documents": [
        ["Fictional data made by examples/survey/generate.py.",
         "Interviews in two waves, spring and summer 2026."],
        ["Income above 999,990 is a refusal code."],
    ],
    "attributes": {"Project": "Community survey", "Waves": ["Spring", "Summer"],
                   "$DataOrigin": "generated", "@Secret": "not shown", "$@Checksum": "not shown"},
    "weight": "weight",
    "multipleResponseSets": [
        {"name": "$media", "label": "Sources of local news", "type": "dichotomies", "countedValue": "1",
         "variables": ["media_tv", "media_radio", "media_web"]},
        {"name": "$brands", "label": "", "type": "categories", "variables": ["brand1", "brand2", "brand3"]},
    ],
    "resources": [{"name": "survey", "path": "survey.csv", "format": "csv", "schema": {"fields": FIELDS}}],
}


def main():
    rows = [make_case(i) for i in range(CASES)]
    with open(os.path.join(HERE, "survey.csv"), "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow([field["name"] for field in FIELDS])
        writer.writerows(rows)
    with open(os.path.join(HERE, "datapackage.json"), "w", encoding="utf-8") as f:
        json.dump(PACKAGE, f, indent=2, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Checks the benchmark's inputs and contenders against a reference computed here.

    python3 bench/test_bench.py            # CODEBOOK=build-bench/codebook to check the program too

- the generator is deterministic and its CSV keeps the descriptor's promises (names,
  types, string widths, codes with labels), so the program never has to scan;
- the pandas and data.table peers and the program compute the same numbers: weighted
  valid and missing N, mean and standard deviation of the scale variables and the
  weighted counts of some categorical ones, all compared with a plain-Python reference.
A peer whose interpreter or package is missing is skipped, and so is the program
when it is not built.
"""
import csv
import datetime
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
N = 4000

SCALE = {"id": [], "age": [999], "income": [999999], "tv_hours": [], "height": [], "interview_date": [],
         "household": [], "weight": []}
COUNTED = {"region": [99], "educ": [97, 98, 99], "media_web": []}


def generate(outdir, n=N):
    subprocess.run([sys.executable, os.path.join(HERE, "generate_dataset.py"), str(n), outdir], check=True)


def number(field, text):
    if field["type"] == "date":
        d = datetime.date.fromisoformat(text)
        return (d - datetime.date(1970, 1, 1)).days * 86400.0
    return float(text)


def reference(outdir):
    """Weighted statistics straight from the CSV, the way the codebook defines them."""
    with open(os.path.join(outdir, "datapackage.json"), encoding="utf-8") as f:
        package = json.load(f)
    fields = {f["name"]: f for f in package["resources"][0]["schema"]["fields"]}
    with open(os.path.join(outdir, "survey.csv"), encoding="utf-8", newline="") as f:
        rows = list(csv.DictReader(f))
    rows = [r for r in rows if r["weight"] and float(r["weight"]) > 0]
    total = sum(float(r["weight"]) for r in rows)
    scale = {}
    for col, missing in SCALE.items():
        pairs = [(number(fields[col], r[col]), float(r["weight"])) for r in rows if r[col]]
        pairs = [(x, w) for x, w in pairs if x not in missing]
        wsum = sum(w for _, w in pairs)
        mean = sum(x * w for x, w in pairs) / wsum
        sd = math.sqrt(sum(w * (x - mean) ** 2 for x, w in pairs) / (wsum - 1))
        scale[col] = {"valid": wsum, "missing": total - wsum, "mean": mean, "sd": sd}
    counts = {}
    for col in COUNTED:
        c = {}
        for r in rows:
            if r[col]:
                c[float(r[col])] = c.get(float(r[col]), 0.0) + float(r["weight"])
        counts[col] = c
    return total, scale, counts


def close(a, b, rel=2e-6):
    return math.isclose(a, b, rel_tol=rel, abs_tol=1e-6)


class Generator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = os.path.join(cls.tmp.name, "a")
        generate(cls.dir)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_same_n_same_bytes(self):
        again = os.path.join(self.tmp.name, "b")
        generate(again)
        for name in ("survey.csv", "datapackage.json"):
            with open(os.path.join(self.dir, name), "rb") as x, open(os.path.join(again, name), "rb") as y:
                self.assertEqual(x.read(), y.read(), name)

    def test_csv_keeps_the_descriptor_promises(self):
        with open(os.path.join(self.dir, "datapackage.json"), encoding="utf-8") as f:
            package = json.load(f)
        fields = package["resources"][0]["schema"]["fields"]
        names = [f["name"] for f in fields]
        for s in package["multipleResponseSets"]:
            self.assertTrue(set(s["variables"]) <= set(names), s["name"])
        self.assertIn(package["weight"], names)
        with open(os.path.join(self.dir, "survey.csv"), encoding="utf-8", newline="") as f:
            reader = csv.reader(f)
            self.assertEqual(next(reader), names)
            rows = list(reader)
        self.assertEqual(len(rows), N)
        for j, field in enumerate(fields):
            self.assertIn("type", field, field["name"])
            cells = [r[j] for r in rows]
            if field["type"] == "string":
                width = field["constraints"]["maxLength"]
                self.assertLessEqual(max(len(c.encode()) for c in cells), width, field["name"])
                continue
            values = [number(field, c) for c in cells if c]
            if field["type"] == "integer":
                self.assertTrue(all(v == int(v) for v in values), field["name"])
            if "categories" in field and field.get("measure") != "scale":
                allowed = {c["value"] for c in field["categories"]}
                allowed |= set(field.get("userMissing", {}).get("values", []))
                if field["name"] != "trust":  # labels only at the ends of the 0-10 scale
                    self.assertTrue(set(values) <= allowed, field["name"])
        # The early-stop measurement needs a string with more values than MAXCATS.
        self.assertGreater(len(set(r[names.index("postcode")] for r in rows)), 200)


class Contenders(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = os.path.join(cls.tmp.name, "survey")
        generate(cls.dir)
        cls.descriptor = os.path.join(cls.dir, "datapackage.json")
        cls.total, cls.scale, cls.counts = reference(cls.dir)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def check_scale_lines(self, text):
        pattern = r"^(\w+) valid (\S+) missing (\S+) mean (\S+) sd (\S+) quartiles"
        found = {m[0]: [float(x) for x in m[1:]] for m in re.findall(pattern, text, re.M)}
        self.assertEqual(set(found), set(SCALE))
        for col, (valid, missing, mean, sd) in found.items():
            ref = self.scale[col]
            for what, got in (("valid", valid), ("missing", missing), ("mean", mean), ("sd", sd)):
                self.assertTrue(close(got, ref[what]) or (what == "missing" and abs(got) < 1e-6 and ref[what] < 1e-6),
                                "%s %s: %r, reference %r" % (col, what, got, ref[what]))

    def run_peer(self, command):
        try:
            done = subprocess.run(command + [self.descriptor], capture_output=True, text=True, timeout=300)
        except FileNotFoundError:
            self.skipTest(command[0] + " is not installed")
        if done.returncode != 0 and ("No module named" in done.stderr or "no package called" in done.stderr):
            self.skipTest(done.stderr.strip().splitlines()[-1])
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def test_pandas_peer(self):
        out = self.run_peer(["/usr/bin/python3", os.path.join(HERE, "peers", "pandas_codebook.py")])
        self.check_scale_lines(out)

    def test_datatable_peer(self):
        out = self.run_peer(["Rscript", os.path.join(HERE, "peers", "datatable_codebook.R")])
        self.check_scale_lines(out)

    def test_program(self):
        program = os.environ.get("CODEBOOK", os.path.join(ROOT, "build", "codebook"))
        if not os.access(program, os.X_OK):
            self.skipTest("no program at " + program)
        done = subprocess.run([program, self.descriptor, "--format", "json", "--quiet"], capture_output=True,
                              text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        tables = {t["title"]: t for t in json.loads(done.stdout)["items"] if t.get("kind") == "table"}

        def rows(table):
            out = {}
            for group in table["dimensions"][0]["children"]:
                for row in group.get("children", []):
                    cells = {c["column"]: c.get("number") for c in row.get("cells", [])}
                    out.setdefault(group["group"], {})[row["category"]] = cells
            return out

        names = {"valid": ("N", "Valid"), "missing": ("N", "Missing"),
                 "mean": ("Central Tendency and Dispersion", "Mean"),
                 "sd": ("Central Tendency and Dispersion", "Standard Deviation")}
        for col, ref in self.scale.items():
            r = rows(tables[col])
            for what, (group, row) in names.items():
                if col == "interview_date" and what == "mean":
                    continue  # the program counts seconds from its own epoch
                got = r[group][row]["Value"]
                self.assertTrue(close(got, ref[what]), "%s %s: %r, reference %r" % (col, what, got, ref[what]))
        for col, ref in self.counts.items():
            r = rows(tables[col])
            got = {}
            for group in ("Valid Values", "Missing Values"):
                for label, cells in r.get(group, {}).items():
                    got[label] = cells.get("Count")
            for value, count in ref.items():
                matches = [c for label, c in got.items() if label.split()[0] == "%g" % value]
                self.assertTrue(matches and close(matches[0], count), "%s %g: %r, reference %r" % (col, value, matches, count))



class TimelinePhases(unittest.TestCase):
    """bench/timeline_phases.py: phases cut at the probes, each thread's time on a core in them."""

    # Process 100 (main thread 100, a reader 101 that dies, shown as 100/-1
    # by perf) beside another process 200 whose time must not count.
    SCRIPT = """\
  300/300   0.999: sched:sched_switch: prev_comm=perf prev_pid=300 prev_prio=120 prev_state=S ==> next_comm=exe next_pid=100 next_prio=120
  100/100   1.000: cb:main: (0)
  100/100   1.010: cb:main: (0)
  100/100   1.011: cb:dataset: (0)
  100/100   1.020: cb:datasetdone__return: (0)
  100/100   1.030: cb:block: (0)
  100/101   1.031: sched:sched_switch: prev_comm=exe prev_pid=101 prev_prio=120 prev_state=S ==> next_comm=x next_pid=200 next_prio=120
  200/200   1.040: sched:sched_switch: prev_comm=x prev_pid=200 prev_prio=120 prev_state=R ==> next_comm=exe next_pid=101 next_prio=120
  100/100   1.100: cb:finish: (0)
  100/-1    1.105: sched:sched_switch: prev_comm=exe prev_pid=101 prev_prio=120 prev_state=X ==> next_comm=x next_pid=200 next_prio=120
  100/100   1.120: cb:finishdone__return: (0)
  100/100   1.130: cb:proceduredone__return: (0)
  100/100   1.140: sched:sched_switch: prev_comm=exe prev_pid=100 prev_prio=120 prev_state=X ==> next_comm=x next_pid=200 next_prio=120
"""

    def test_phases_and_threads(self):
        out = subprocess.run([sys.executable, os.path.join(HERE, "timeline_phases.py")], input=self.SCRIPT,
                             capture_output=True, text=True, check=True).stdout.splitlines()
        rows = {line.split()[0]: line.split() for line in out[1:]}
        self.assertEqual(list(rows), ["start", "load", "setup", "pass", "finish", "tables", "report"])
        # The reader ran 1.040-1.105 (its end shown with tid -1); the main
        # thread from its first switch in to its end, so throughout.
        self.assertEqual(rows["pass"][1:3], ["70.0", "130.0"])
        self.assertEqual(rows["report"][1:4], ["10.0", "10.0", "1.00"])
        self.assertIn("+1:60.0", rows["pass"])
        self.assertIn("+1:5.0", rows["finish"])
        self.assertEqual(rows["tables"][1:3], ["10.0", "10.0"])
        for row in rows.values():
            self.assertLessEqual(float(row[3]), 2.0)

if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Property test of the whole program: generated datasets (bare CSV files and
data packages, hostile text, broken pieces), generated commands and options
(every output format, -o to new, existing, linked and forbidden files,
standard output, widths), each run checked against what must always hold:

- the exit status is 0, 1 or 2, never a crash, an abort or a hang;
- standard error shows no control character from the data (C0 other than the
  line feed, C1, bidirectional controls);
- no input file changes, and no temporary file is left anywhere;
- a failed run (2) writes nothing: no new output file, an existing one
  unchanged, nothing on standard output;
- -o naming an input is refused (2);
- a run that succeeds writes the same bytes to -o FILE as to standard output,
  and its JSON output parses.

    program.py --program build/codebook [--runs N | --seconds S] [--seed N]

A failing case is kept in --keep (default build-fuzz/program-failures/) as a
folder with the dataset and a script that repeats the run."""
import argparse
import hashlib
import json
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import time

HOSTILE = ["<script>", "&amp;", "\"", "'", "\x1b]0;title\x07", "\x1b[2J", "\u009b31m", "\u0085", "\u202e",
           "\u2067", "\u200f", "\t", "\r", "\x00", "\x7f", "\u00e9", "\u05e9\u05dc", "\U0001F600", "\\", "|", ","]
NAMES = ["age", "sex", "income", "q1", "q2", "city", "Note", "w", "x_1", "\u00e9l\u00e8ve", "v" * 64]
CONTROL = set(range(0x00, 0x20)) - {0x0A}


def text(rng, hostile=0.2, longest=12):
    parts = []
    for _ in range(rng.randint(0, 4)):
        if rng.random() < hostile:
            parts.append(rng.choice(HOSTILE))
        else:
            parts.append("".join(rng.choice("abcdefghij XYZ0123456789") for _ in range(rng.randint(0, longest))))
    return "".join(parts)


def csv_cell(value):
    value = str(value)
    if any(c in value for c in ",\"\n\r") or value != value.strip():
        return '"' + value.replace('"', '""') + '"'
    return value


class Case:
    """One dataset in its own folder, with the files it consists of."""

    def __init__(self, rng, folder):
        self.rng = rng
        self.folder = folder
        self.inputs = []
        self.names = []
        # A quarter of the datasets have something wrong with them somewhere.
        self.broken = rng.random() < 0.25

    def columns(self):
        rng = self.rng
        count = rng.randint(1, 6)
        names = []
        for i in range(count):
            name = rng.choice(NAMES) if rng.random() < 0.7 else "v%d" % i
            if name.lower() in (n.lower() for n in names):
                name = "v%d" % i
            names.append(name)
        kinds = [rng.choice(["integer", "number", "string", "date"]) for _ in names]
        return names, kinds

    def cell(self, kind):
        rng = self.rng
        roll = rng.random()
        if roll < 0.08:
            return ""
        if self.broken and roll < 0.1:
            return text(rng, 0.5)  # often not a valid value of the kind
        if kind == "integer":
            return str(rng.randint(-3, 9))
        if kind == "number":
            if rng.random() < 0.15:  # near the ends of a double: sums, weights and squares overflow
                return rng.choice(["1.7976931348623157e308", "1.6e308", "-1.7e308", "8.98846567431158e307",
                                   "1e200", "-1e200", "4.9e-324", "2.2250738585072014e-308", "1e-300"])
            return rng.choice(["%.3f" % rng.uniform(-100, 100), "-0", "0", "1e5", "1.5"])
        if kind == "date":
            return "20%02d-%02d-%02d" % (rng.randint(0, 30), rng.randint(1, 12), rng.randint(1, 28))
        return text(rng)

    def write_csv(self, name, names, kinds, rows):
        rng = self.rng
        lines = [",".join(csv_cell(n) for n in names)]
        for _ in range(rows):
            cells = [self.cell(k) for k in kinds]
            if self.broken and rng.random() < 0.02:
                cells = cells[:-1] or ["x", "y"]  # a ragged row
            lines.append(",".join(csv_cell(c) for c in cells))
        data = "\n".join(lines) + ("\n" if rng.random() < 0.9 else "")
        raw = data.encode("utf-8")
        if rng.random() < 0.05:
            raw = b"\xef\xbb\xbf" + raw
        if rng.random() < 0.01:
            raw = b"\xef\xbb\xbf\xef\xbb\xbf" + raw
        if rng.random() < 0.02:
            raw = raw.replace(b"a", b"\xff", 1)  # not UTF-8
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(raw)
        self.inputs.append(path)
        return path

    def field(self, name, kind):
        rng = self.rng
        f = {"name": name}
        if rng.random() < 0.8:
            f["type"] = kind
        if rng.random() < 0.5:
            f["title"] = text(rng)
        if rng.random() < 0.4:
            values = [rng.randint(-1, 9) for _ in range(rng.randint(1, 5))] if kind != "string" else \
                [text(rng, 0.1, 4) for _ in range(rng.randint(1, 3))]
            if kind != "string" and rng.random() < 0.3:
                values += [0, "-0"]
            f["categories"] = [{"value": v, "label": text(rng)} for v in values]
        if rng.random() < 0.2:
            f["userMissing"] = {"values": [9] if kind != "string" else ["x"]}
        if rng.random() < 0.3:
            f["attributes"] = {text(rng, 0.1, 6) or "A": text(rng) for _ in range(rng.randint(1, 3))}
        if rng.random() < 0.2:
            f["measure"] = rng.choice(["nominal", "ordinal", "scale", "unknown"])
        if kind == "string" and rng.random() < 0.3:
            f["constraints"] = {"maxLength": rng.randint(1, 40)}
        return f

    def build(self):
        rng = self.rng
        names, kinds = self.columns()
        self.names = names
        rows = rng.randint(0, 40)
        if rng.random() < 0.3:
            return self.write_csv("data.csv", names, kinds, rows)
        csv_name = rng.choice(["data.csv", "cases.csv", "sub/data.csv"])
        os.makedirs(os.path.join(self.folder, os.path.dirname(csv_name)), exist_ok=True)
        self.write_csv(csv_name, names, kinds, rows)
        resource_path = csv_name
        roll = rng.random()
        if roll < 0.03:
            resource_path = "../outside.csv"
        elif roll < 0.05:
            resource_path = "/etc/hostname"
        elif roll < 0.06:
            resource_path = "https://example.org/data.csv"
        elif roll < 0.08:
            os.symlink(csv_name, os.path.join(self.folder, "link.csv"))
            resource_path = "link.csv"
        elif roll < 0.09:
            os.symlink("/etc/hostname", os.path.join(self.folder, "escape.csv"))
            resource_path = "escape.csv"
        package = {"resources": [{"path": resource_path,
                                  "schema": {"fields": [self.field(n, k) for n, k in zip(names, kinds)]}}]}
        if rng.random() < 0.4:
            package["title"] = text(rng)
        if rng.random() < 0.3:
            package["attributes"] = {"Note%d" % i: text(rng) for i in range(rng.randint(1, 3))}
        if rng.random() < 0.3:
            package["documents"] = [[text(rng) for _ in range(rng.randint(1, 3))]]
        if len(names) >= 2 and rng.random() < 0.4:
            members = rng.sample(names, 2)
            kind = rng.choice(["categories", "dichotomies"])
            s = {"name": "$" + rng.choice(["set", "media", "q"]), "label": text(rng), "type": kind, "variables": members}
            if kind == "dichotomies":
                s["countedValue"] = "1"
            package["multipleResponseSets"] = [s]
        numeric = [n for n, k in zip(names, kinds) if k in ("integer", "number")]
        if numeric and rng.random() < 0.2:
            package["weight"] = rng.choice(numeric)
        body = json.dumps(package, ensure_ascii=rng.random() < 0.5, indent=rng.choice([None, 1]))
        if rng.random() < 0.05:
            body = body.replace('"resources"', '"title": "twice", "title": "again", "resources"', 1)
        if rng.random() < 0.03:
            body = body[: rng.randint(0, len(body))]  # cut short
        path = os.path.join(self.folder, "datapackage.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(body)
        self.inputs.append(path)
        return path


def command(rng, names):
    parts = ["CODEBOOK"]
    for _ in range(rng.randint(0, 3)):
        item = rng.choice(names) if rng.random() < 0.9 else rng.choice(["$set", "nosuch", "ALL"])
        if item in parts:
            continue
        parts.append(item + rng.choice(["", "", "", " [N]", " [O]", " [S]"]))
    if rng.random() < 0.4:
        parts.append("/VARINFO " + " ".join(rng.sample(
            ["POSITION", "LABEL", "TYPE", "FORMAT", "MEASURE", "ROLE", "ATTRIBUTES", "VALUELABELS", "MISSING",
             "RESERVEDATTRIBUTES"], rng.randint(1, 4))))
    if rng.random() < 0.3:
        parts.append("/FILEINFO " + " ".join(rng.sample(
            ["NAME", "LOCATION", "LABEL", "DOCUMENTS", "CASECOUNT", "WEIGHT", "ATTRIBUTES"], rng.randint(1, 3))))
    if rng.random() < 0.5:
        parts.append("/STATISTICS " + " ".join(rng.sample(
            ["COUNT", "PERCENT", "MEAN", "STDDEV", "QUARTILES", "NONE"], rng.randint(1, 3))))
    if rng.random() < 0.3:
        parts.append("/OPTIONS MAXCATS=%d VARORDER=%s" % (rng.randint(1, 300), rng.choice(["ALPHA", "FILE",
                                                                                            "MEASURE"])))
    if rng.random() < 0.1:
        parts.append(text(rng, 0.5))
    return " ".join(parts)


def digest(paths):
    out = {}
    for p in paths:
        try:
            with open(p, "rb") as f:
                out[p] = hashlib.sha256(f.read()).hexdigest()
        except OSError:
            out[p] = None
    return out


def temporaries(root):
    found = []
    for folder, _, files in os.walk(root):
        found += [os.path.join(folder, f) for f in files if ".tmp-" in f]
    return found


def bad_stderr(data):
    try:
        s = data.decode("utf-8")
    except UnicodeDecodeError:
        return "not UTF-8"
    for ch in s:
        o = ord(ch)
        if o in CONTROL or o == 0x7F or 0x80 <= o <= 0x9F or o in (0x061C, 0x200E, 0x200F, 0x2028, 0x2029) or \
                0x202A <= o <= 0x202E or 0x2066 <= o <= 0x2069:
            return "holds U+%04X" % o
    return None


class Failure(Exception):
    pass


def one_run(rng, program, root, timeout):
    folder = tempfile.mkdtemp(dir=root)
    with open(os.path.join(root, "outside.csv"), "w") as f:
        f.write("secret\nsecret-value\n")
    case = Case(rng, folder)
    dataset = case.build()
    args = [program, dataset, "--quiet" if rng.random() < 0.5 else "--width=%d" % rng.choice([40, 60, 80, 200])]
    fmt = rng.choice(["text", "json", "html", "markdown"])
    ext = {"text": ".txt", "json": ".json", "html": ".html", "markdown": ".md"}[fmt]
    syntax = "\n".join(command(rng, case.names) + "." for _ in range(rng.randint(1, 3)))
    if rng.random() < 0.5:
        syntax_path = os.path.join(folder, "commands.cbk")
        with open(syntax_path, "w", encoding="utf-8") as f:
            f.write(syntax)
        case.inputs.append(syntax_path)
        args += ["--syntax", syntax_path]
    else:
        # A command-line argument cannot hold a NUL byte (a syntax file can).
        args.append(syntax.split("\n")[0].rstrip(".").replace("\0", ""))
    out_dir = os.path.join(folder, "out")
    os.makedirs(out_dir)
    output = None
    existing = None
    forbidden = False
    link = None
    roll = rng.random()
    if roll < 0.25:
        args += ["--format", fmt]
    elif roll < 0.45:
        output = os.path.join(out_dir, "report" + ext)
    elif roll < 0.55:
        output = os.path.join(out_dir, "old" + ext)
        existing = b"old output\n"
    elif roll < 0.62:
        link = os.path.join(out_dir, "link" + ext)
        os.symlink("target" + ext, link)
        output = link
    elif roll < 0.68:
        output = os.path.join(out_dir, "n" * 240 + ext)
    elif roll < 0.75:
        args += ["-o", "-", "--format", fmt]
    elif roll < 0.82:
        output = rng.choice(case.inputs)
        forbidden = True
        args += ["--format", fmt]
    elif roll < 0.85:
        output = os.path.join(out_dir, "x.unknown")  # no format from the name
    else:
        args += ["--format", fmt]
    if existing is not None:
        with open(output, "wb") as f:
            f.write(existing)
    if output is not None:
        args += ["-o", output]
    before = digest(case.inputs)
    # The time a report was made is fixed, so that two runs that straddle a
    # minute still compare byte for byte.
    env = dict(os.environ, NO_COLOR="1", SOURCE_DATE_EPOCH="1767225600")
    try:
        run = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        raise Failure(folder, args, "no end within %d s" % timeout)
    status = run.returncode

    def fail(why):
        raise Failure(folder, args, "%s (status %d)\nstderr: %s" % (why, status, run.stderr[:2000].decode(
            "utf-8", "replace")))

    if status not in (0, 1, 2):
        fail("exit status outside 0, 1, 2")
    problem = bad_stderr(run.stderr)
    if problem:
        fail("standard error " + problem)
    if digest(case.inputs) != before:
        fail("an input file changed")
    left = temporaries(folder)
    if left:
        fail("temporary files left: %s" % left)
    if forbidden and status != 2:
        fail("-o naming an input was not refused")
    written = None
    if output is not None and not forbidden:
        real = os.path.realpath(output)
        if status == 2:
            if existing is not None:
                with open(output, "rb") as f:
                    if f.read() != existing:
                        fail("a failed run changed the existing output")
            elif os.path.exists(real):
                fail("a failed run left an output file")
        else:
            if not os.path.isfile(real):
                fail("no output file")
            if link is not None and not os.path.islink(link):
                fail("the link was replaced by a file")
            with open(real, "rb") as f:
                written = f.read()
    if status == 2 and run.stdout:
        fail("a failed run wrote to standard output")
    # The format the run used: --format, else the output's extension.
    used = args[args.index("--format") + 1] if "--format" in args else \
        {".txt": "text", ".json": "json", ".html": "html", ".md": "markdown"}.get(os.path.splitext(output or "")[1])
    if status != 2 and written is not None and rng.random() < 0.5:
        plain = [x for x in args if x not in ("-o", output)] + (["--format", used] if "--format" not in args else [])
        again = subprocess.run(plain, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, env=env)
        if again.stdout != written:
            fail("-o FILE and standard output differ")
    if status != 2 and used == "json":
        try:
            json.loads(written if written is not None else run.stdout)
        except ValueError as e:
            fail("the JSON output does not parse: %s" % e)
    shutil.rmtree(folder, ignore_errors=True)
    return status


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--runs", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--timeout", type=int, default=60)
    parser.add_argument("--keep", default="build-fuzz/program-failures")
    a = parser.parse_args()
    seed = a.seed if a.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    program = os.path.abspath(a.program)
    root = tempfile.mkdtemp(prefix="codebook-program-")
    statuses = {0: 0, 1: 0, 2: 0}
    runs = 0
    start = time.time()
    try:
        while (a.runs and runs < a.runs) or (a.seconds and time.time() - start < a.seconds):
            try:
                statuses[one_run(rng, program, root, a.timeout)] += 1
            except Failure as failure:
                folder, args, why = failure.args
                os.makedirs(a.keep, exist_ok=True)
                kept = tempfile.mkdtemp(dir=a.keep, prefix="case-")
                shutil.copytree(folder, os.path.join(kept, "case"), symlinks=True)
                with open(os.path.join(kept, "run.sh"), "w") as f:
                    f.write("# seed %d, run %d\n%s\n" % (seed, runs, " ".join("'%s'" % x for x in args)))
                print("FAILED (seed %d, run %d): %s\n  %s\n  kept in %s" % (seed, runs, why, " ".join(args), kept))
                return 1
            runs += 1
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("%d runs (seed %d): %d succeeded, %d with command errors, %d refused; every property held"
          % (runs, seed, statuses[0], statuses[1], statuses[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

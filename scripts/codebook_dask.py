#!/usr/bin/python3
"""The codebook of a dataset in parts, its passes run on a Dask cluster.

    codebook_dask.py DATASET [COMMAND] [--syntax FILE] [-o OUTPUT] [--format F]
                     [--scheduler ADDRESS | --workers N] [--retries N]
                     [--work-dir DIR] [--keep] [--threads N] [--codebook PATH]

DATASET is a data package descriptor whose resource lists its CSV files in
`path` (an array). The three steps of docs/scale-out.md:

1. here:        codebook DATASET COMMAND --write-plan RUN/run.plan
2. on workers:  codebook --run-plan RUN/run.plan --part K -o RUN/part-K.state
                (one task per part; Dask retries a failed task)
3. here:        codebook --merge RUN/run.plan RUN/part-*.state -o OUTPUT

RUN is a new folder of this run's own inside --work-dir (or a temporary
folder), so that runs sharing a work folder keep apart.

With --scheduler the tasks go to that cluster, whose workers must reach the
parts and --work-dir under the same paths (shared storage) and have the program;
without it a local cluster of --workers workers runs them. The report is the
one a single run over all the parts writes, byte for byte.

Exit status: that of the merge (0, or 1 when a command reported an error);
2 when a step failed (a part that failed every try names its file, line and
column as the program does).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

PROG = "codebook_dask"


class PartFailed(Exception):
    """A part's pass ended with an error; args: part number, message."""


class BadData(tuple):
    """A part's pass stopped at a cell it cannot read: (part number, message),
    the task's result rather than its failure, so that Dask does not try it again."""

    def __new__(cls, part, message):
        return super().__new__(cls, (part, message))


# The program's runs started by this process (the driver's own steps, and the
# parts' passes of a local cluster's thread workers), so that a driver told
# to stop (SIGTERM, SIGHUP) stops them too instead of leaving them writing.
_running = set()
_running_lock = threading.RLock()  # stop() may run while this thread holds it
_stopping = []  # the signal, once stop() ran: no run starts after it


def run(command, **options):
    """subprocess.run, with the process known to stop() while it runs."""
    with _running_lock:  # started and known at once, or not at all once stop() ran
        if _stopping:
            raise PartFailed(0, f"{PROG}: stopped by signal {_stopping[0]}")
        process = subprocess.Popen(command, **options)
        _running.add(process)
    with process:
        try:
            out, err = process.communicate()
        finally:
            with _running_lock:
                _running.discard(process)
    return subprocess.CompletedProcess(command, process.returncode, out, err)


def passes():
    """The parts' passes running in this process, in a registry that every
    task in it shares: tasks travel to the workers by value, each with a copy
    of this script's globals of its own, so the registry is a module made at
    run time (in the driver for a cluster of threads, in each worker process
    otherwise)."""
    registry = sys.modules.get("codebook_dask_passes")
    if registry is None:
        import types
        made = types.ModuleType("codebook_dask_passes")
        made.lock = threading.Lock()
        made.running = {}  # process: the plan it runs
        made.stopped = set()  # plans whose runs were stopped: no pass of theirs starts any more
        registry = sys.modules.setdefault("codebook_dask_passes", made)
    return registry


def hush():
    """Dask's reports from this process from now on are dropped: a stopped
    run's local cluster closes while its parts were running, and under load
    a worker's heartbeat may find the scheduler already gone and log it with
    a traceback, which would bury the one line that matters (how the run ended)."""
    import logging
    from distributed.utils import silence_logging
    silence_logging(logging.CRITICAL + 1)


def stop_passes(signum, plan, local=False):
    """Sends `signum` to the passes of `plan` running in this process (on a
    worker, by Client.run), so that a driver told to stop leaves none running
    on the cluster; the program removes its temporary file and ends. A worker
    of the driver's own (`local`) cluster, about to be closed, says no more."""
    if local:
        hush()
    registry = passes()
    with registry.lock:
        registry.stopped.add(plan)
        for process, its_plan in registry.running.items():
            if its_plan == plan:
                try:
                    process.send_signal(signum)
                except OSError:
                    pass


class Stopped(BaseException):
    """The driver was sent SIGTERM or SIGHUP; args: the signal. A BaseException,
    so that no handler of a part's failure takes it."""


def stop(signum, frame):
    signal.signal(signum, signal.SIG_IGN)
    with _running_lock:
        _stopping.append(signum)
        for process in _running:
            try:
                process.send_signal(signum)  # the program removes its temporary file and ends
            except OSError:
                pass
    if _plan:  # the passes of a local cluster of threads run in this process
        stop_passes(signum, _plan[0])
    raise Stopped(signum)


_plan = []  # the run's plan, once its folder is made


def quiet_failed_tasks(record):
    """A worker's log filter: a part that failed is said once, by the driver,
    with the program's message; the worker's report of the same failure (a
    dozen lines per try, traceback-like) would bury it."""
    return not str(record.msg).startswith("Compute Failed")


def run_part(codebook, plan, part, state, threads, local=False):
    """One task: the pass over one part, on whichever worker runs it."""
    if local:  # the worker's log is the driver's terminal
        import logging
        logger = logging.getLogger("distributed.worker")
        if not any(getattr(f, "__name__", "") == "quiet_failed_tasks" for f in logger.filters):
            logger.addFilter(quiet_failed_tasks)
    command = [codebook, "--run-plan", plan, "--part", str(part), "-o", state, "--quiet"]
    if threads:
        command += ["--threads", str(threads)]
    registry = passes()
    with registry.lock:  # started and known at once, or not at all once the run was stopped
        if plan in registry.stopped:
            raise PartFailed(part, f"{PROG}: the run was stopped before the pass over part {part}")
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                   errors="replace")
        registry.running[process] = plan
    with process:
        try:
            _, err = process.communicate()
        finally:
            with registry.lock:
                registry.running.pop(process, None)
    done = subprocess.CompletedProcess(command, process.returncode, None, err)
    if done.returncode < 0:  # killed: out of memory, a job's time limit, a node going down
        raise PartFailed(part, f"{PROG}: the pass over part {part} was ended by signal {-done.returncode}")
    if done.returncode != 0:
        message = done.stderr.strip() or f"{PROG}: the pass over part {part} ended with exit status {done.returncode}"
        # A cell the part's pass cannot read (the message places it) fails
        # every try alike: it is told at once instead of read again and again.
        if done.returncode == 2 and re.search(r", line \d+, column \d+", message):
            return BadData(part, message)
        if not os.path.exists(plan):  # the driver wrote it: this worker does not see the run's folder
            import socket
            message += (f"\n{PROG}: the plan is not on the worker's machine ({socket.gethostname()}): "
                        "--work-dir must be a folder that every worker and this machine reach under the same path")
        raise PartFailed(part, message)
    return state


def default_codebook():
    """The program beside this script's build tree, else the one on PATH."""
    here = os.path.dirname(os.path.abspath(__file__))
    built = os.path.join(os.path.dirname(here), "build", "codebook")
    if os.path.exists(built):
        return built
    return shutil.which("codebook") or "codebook"


def fail(message):
    print(f"{PROG}: {message}", file=sys.stderr)
    return 2


REPORT_EXTENSIONS = {".txt", ".json", ".html", ".htm", ".md"}


def run_file_kind(path):
    """What the regular file at `path` holds by its frame (any version): "the plan",
    "a partial state", or None. The program refuses a report over either."""
    try:
        if not os.path.isfile(path):  # a pipe would wait, a device might act
            return None
        with open(path, "rb") as f:
            head = f.read(16)
    except OSError:
        return None
    if len(head) < 16 or head[:8] != b"\x89CBK\r\n\x1a\n":
        return None
    return {1: "the plan", 2: "a partial state"}.get(int.from_bytes(head[12:16], "little"))


def output_problem(args):
    """What keeps the report from going to -o, found before any part runs:
    the merge refuses the same, but only after the cluster's whole work."""
    out = args.output
    if not out or out == "-" or out.startswith(("/dev/", "/proc/")):
        return None  # standard output, a descriptor or a device: the program decides
    for name, path in (("syntax file", args.syntax), ("input file", args.dataset)):
        if path and os.path.exists(out) and os.path.exists(path) and os.path.samefile(out, path):
            return f"the output '{out}' is the {name} '{path}'; writing it would destroy the input. " \
                   "Name another output file."
    held = run_file_kind(out)
    if held:
        lose = "it" if held == "the plan" else "that part's pass"
        return f"the output '{out}' holds {held} of a run in parts; writing a report over it would lose {lose}. " \
               "Name another file, or remove it first."
    if os.path.isdir(out) or out.endswith("/"):
        return f"cannot write the output to '{out}': it is a folder; name a file."
    folder = os.path.dirname(os.path.realpath(out))
    if not os.path.isdir(folder):
        return f"cannot write '{out}': the folder '{folder}' does not exist; create it first."
    if not os.access(folder, os.W_OK | os.X_OK):
        # What to change, and, where the file itself may be written, why its folder matters.
        why = " (the report is made whole beside the file, then renamed over it)" if os.path.exists(out) else ""
        return f"cannot write '{out}': you may not make files in the folder '{folder}'{why}; give -o a file " \
               "in a folder you may write to, or leave -o out for standard output."
    # A full disk would fail the merge only after the cluster's whole work.
    try:
        room = os.statvfs(folder)
        free = room.f_bfree if os.geteuid() == 0 else room.f_bavail
        if (room.f_blocks > 0 and free == 0) or (room.f_files > 0 and room.f_favail == 0):
            return f"cannot write '{out}': No space left on device (its file system is full)."
    except OSError:
        pass
    extension = os.path.splitext(out)[1].lower()
    if not args.format and extension and extension not in REPORT_EXTENSIONS:
        return f"cannot tell the output format from '{out}': name a .txt, .json, .html or .md file, or give --format."
    return None


def parse(argv):
    p = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0])
    p.add_argument("dataset", metavar="DATASET")
    p.add_argument("command", metavar="COMMAND", nargs="*", help="CODEBOOK command syntax (default: CODEBOOK)")
    p.add_argument("--syntax", "-s", help="run the commands in FILE instead of COMMAND")
    p.add_argument("-o", "--output", help="write the report to FILE (default: standard output)")
    p.add_argument("--format", "-f", help="text, json, html or markdown (default: from -o, else text)")
    p.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    p.add_argument("--workers", type=int, default=2, help="workers of the local cluster (default: 2)")
    p.add_argument("--processes", action="store_true",
                   help="the local cluster's workers are processes, as on a real cluster (default: threads)")
    p.add_argument("--retries", type=int, default=2, help="tries after a part's first failure (default: 2)")
    p.add_argument("--work-dir", help="folder for the plan and the partial states, shared with the workers "
                                      "(default: a temporary folder; required with --scheduler)")
    p.add_argument("--keep", action="store_true", help="keep the plan and the partial states")
    p.add_argument("--threads", type=int, help="reading threads of each part's pass (default: the cores of the "
                                               "local cluster's machine over its workers; all cores elsewhere)")
    p.add_argument("--codebook", default=default_codebook(), help="the program (default: build/codebook, else PATH)")
    p.add_argument("--resource", help="the data package resource to read, by name")
    p.add_argument("--encoding", help="text encoding of the CSV files")
    p.add_argument("--timings", action="store_true", help="print how long each step took on standard error")
    return p.parse_args(argv)


def main(argv):
    args = parse(argv)
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        return fail("Dask is not installed: install Debian's python3-distributed (scripts/install-deps.sh does)")
    if args.scheduler and not args.work_dir:
        return fail("--scheduler needs --work-dir: a folder that the workers and this machine share")
    codebook = os.path.abspath(args.codebook) if os.path.exists(args.codebook) else shutil.which(args.codebook)
    if codebook is None or not os.access(codebook, os.X_OK) or os.path.isdir(codebook):
        return fail(f"the program '{args.codebook}' is not there or cannot be run; build it (make build) "
                    "or name it with --codebook PATH")

    problem = output_problem(args)
    if problem:
        return fail(problem)

    started = time.monotonic()

    def step(name):
        nonlocal started
        now = time.monotonic()
        if args.timings:
            print(f"{PROG}: {name}: {now - started:.2f} s", file=sys.stderr)
        started = now

    try:
        # A run's plan and states go to a folder of their own, also inside
        # --work-dir: two runs sharing one work folder (two jobs on a cluster)
        # would otherwise write each other's run.plan and remove each other's
        # states, and no file the user keeps there is ever removed.
        shared = os.path.abspath(args.work_dir) if args.work_dir else None
        if shared:
            os.makedirs(shared, exist_ok=True)
        work = tempfile.mkdtemp(prefix="codebook-dask-", dir=shared)
        if shared:
            # Workers running as another user of the group reach it as they
            # reach the work folder; others never (a work folder of /tmp
            # would let anyone replace the plan or a state between steps).
            os.chmod(work, os.stat(shared).st_mode & 0o770 | 0o700)
    except OSError as e:
        return fail(f"cannot make the work folder: {e}")
    plan = os.path.join(work, "run.plan")
    _plan.append(plan)
    try:
        # 1. The plan, here.
        command = [codebook, args.dataset, "--write-plan", plan, "--quiet"]
        if args.syntax:
            command += ["--syntax", args.syntax]
        for option in ("resource", "encoding"):
            if getattr(args, option):
                command += [f"--{option}", getattr(args, option)]
        command += args.command
        if run(command).returncode != 0:
            return 2
        info = run([codebook, "--plan-info", plan], stdout=subprocess.PIPE, text=True)
        if info.returncode != 0:
            return 2
        import json
        parts = len(json.loads(info.stdout)["parts"])
        step("plan")

        # 2. The parts, on the cluster.
        if args.scheduler:
            try:
                client = Client(args.scheduler)
            except (OSError, ValueError, TypeError) as e:  # no scheduler there, or not an address
                return fail(f"cannot reach the Dask scheduler at {args.scheduler}: {e}; no report written")
            cluster = None
            threads = args.threads
        else:
            # Everything of a cluster of this machine listens on the loopback
            # only: Dask's scheduler and workers otherwise serve their HTTP
            # pages (state, logs, metrics) to the whole network, the
            # scheduler's on port 8787, which a second run finds taken.
            # (Workers that are threads talk to the scheduler in-process.)
            loopback = {"host": "127.0.0.1"} if args.processes else {}
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=args.processes,
                                   dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0",
                                   **loopback)
            client = Client(cluster)
            threads = args.threads or max(1, (os.cpu_count() or 1) // max(1, args.workers))
        step("cluster")
        try:
            states = [os.path.join(work, f"part-{k}.state") for k in range(1, parts + 1)]
            futures = client.map(run_part, [codebook] * parts, [plan] * parts, range(1, parts + 1), states,
                                 [threads] * parts, [cluster is not None] * parts, retries=args.retries, pure=False)
            errors = []
            for future in futures:
                try:
                    result = future.result()
                    if isinstance(result, BadData):
                        errors.append(result[1])
                except PartFailed as e:
                    errors.append(e.args[1])
                except Exception as e:  # a worker lost, a task that could not run
                    errors.append(f"a part's task failed: {e}")
        except Stopped as stopped:
            hush()  # the local cluster's scheduler (and workers that are threads) run in this process
            # Closing the client cancels the parts not started; those running
            # in worker processes (of this machine's cluster or another's)
            # would go on for as long as their passes take.
            if cluster is None or args.processes:
                try:
                    client.run(stop_passes, stopped.args[0], plan, cluster is not None, wait=True)
                except Exception:  # a worker gone meanwhile: nothing of this run runs there
                    pass
            raise
        finally:
            if cluster is not None:
                hush()  # its scheduler's reports of workers leaving, in this process
            client.close()
            if cluster is not None:
                cluster.close()
        step("parts")
        if errors:
            # Each message once: parts that failed alike (a work folder the
            # workers do not see, a program missing there) would repeat it.
            said = {}
            for message in errors:
                said[message] = said.get(message, 0) + 1
            for message, times in said.items():
                print(message + (f"\n{PROG}: (the same for {times} parts)" if times > 1 else ""), file=sys.stderr)
            return fail(f"{len(errors)} of {parts} parts failed (a bad cell at once, anything else every try); "
                        "no report written")

        # A worker that writes to a folder of its own (a work folder that is
        # not shared) leaves nothing here for the merge.
        unseen = [k for k, state in enumerate(states, 1) if not os.path.exists(state)]
        if unseen:
            return fail(f"the partial states of parts {', '.join(map(str, unseen))} are not in {work}, though their "
                        "passes ended well: the workers must write to a folder this machine reads under the same "
                        "path (--work-dir on shared storage); no report written")

        # 3. The merge and the report, here.
        command = [codebook, "--merge", plan] + states
        if args.output:
            command += ["-o", args.output]
        if args.format:
            command += ["--format", args.format]
        status = run(command).returncode
        step("merge")
        if args.timings and not args.processes and not args.scheduler:
            import resource  # the program's runs are this process's only children
            peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024
            print(f"{PROG}: largest program process: {peak} MiB", file=sys.stderr)
        return status
    finally:
        if args.keep:
            print(f"{PROG}: the plan and the partial states are kept in {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    # Stopped like the program: the run's folder removed, the passes and the
    # merge told to stop, then ended by the same signal (exit status 128 + it),
    # Ctrl-C too (no traceback).
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(number) != signal.SIG_IGN:  # nohup keeps it ignored
            signal.signal(number, stop)
    try:
        status = main(sys.argv[1:])
    except Stopped as stopped:
        signal.signal(stopped.args[0], signal.SIG_DFL)
        os.kill(os.getpid(), stopped.args[0])
        status = 128 + stopped.args[0]
    sys.exit(status)

"""Phases of one run and each thread's time on a core in them, from the
output of `perf script -F pid,tid,time,event,trace` over a system-wide
record of scheduler switches and the probes bench/timeline.sh places."""
import re
import sys

LINE = re.compile(r"\s*(\d+)/(-?\d+)\s+([\d.]+):\s+(\S+):")
SWITCH = re.compile(r"prev_pid=(\d+).*next_pid=(\d+)")


def main():
    probes, switches = [], []
    for line in sys.stdin:
        m = LINE.match(line)
        if not m:
            continue
        pid, tid, t, name = int(m[1]), int(m[2]), float(m[3]), m[4]
        if name == "sched:sched_switch":
            s = SWITCH.search(line)
            if s:
                switches.append((t, pid, int(s[1]), int(s[2])))
        else:
            probes.append((t, pid, tid, name.split(":")[1].removesuffix("__return")))
    mains = [e for e in probes if e[3] == "main"]
    if not mains:
        sys.exit("timeline: no probe fired")
    ours = mains[0][1]
    main_tid = mains[0][2]
    # The process's threads: those it switched away from (a switch event runs
    # in the context of the thread leaving the core).
    threads = {prev for _, pid, prev, _ in switches if pid == ours}
    threads.add(main_tid)
    busy, since = [], {}
    for t, _, prev, nxt in switches:
        if prev in since:
            busy.append((prev, since.pop(prev), t))
        if nxt in threads:
            since[nxt] = t
    first, last = {}, {}
    for t, pid, _, name in probes:
        if pid == ours:
            first.setdefault(name, t)
            last[name] = t
    end = max((b for _, _, b in busy), default=last["main"])
    for tid, a in since.items():
        busy.append((tid, a, end))

    edges, cut = [], first["main"]

    def edge(label, at):
        nonlocal cut
        if at is not None and at >= cut:
            edges.append((label, cut, at))
            cut = at

    edge("start", last["main"])
    edge("load", last.get("datasetdone"))
    edge("setup", first.get("block"))
    edge("pass", first.get("finish"))
    edge("finish", last.get("finishdone"))
    edge("tables", last.get("proceduredone"))
    edge("report", end)

    order = sorted(threads, key=lambda tid: (tid != main_tid, tid))
    print("%-8s %8s %8s %6s  %s" % ("phase", "wall", "busy", "cores", "ms on a core by thread (m = main)"))
    for label, a, b in edges:
        per = []
        for tid in order:
            v = sum(max(0.0, min(t1, b) - max(t0, a)) for x, t0, t1 in busy if x == tid)
            if v > 5e-5:
                per.append(("m" if tid == main_tid else "+%d" % (tid - main_tid), v))
        total = sum(v for _, v in per)
        wall = b - a
        cores = total / wall if wall > 0 else 0.0
        cells = " ".join("%s:%.1f" % (name, v * 1e3) for name, v in per)
        print("%-8s %8.1f %8.1f %6.2f  %s" % (label, wall * 1e3, total * 1e3, cores, cells))


main()

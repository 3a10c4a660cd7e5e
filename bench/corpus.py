"""`velk corpus` on a generated corpus of chat messages: documents per second end to end with the
work in the command's own process, on 1 and 2 local worker processes and on a Dask LocalCluster
of 2 workers, and the peak memory of the command.

    .venv/bin/python bench/corpus.py [--messages N] [--runs R] [--extra] [--json FILE]
    .venv/bin/python bench/corpus.py --pairs N [--baseline DIR] [--extra] [--messages N]

The corpus (`bench/out/corpus_N.jsonl`, one record {"id", "channel", "text"} per message) is
made by `make_corpus.ChatGenerator` from a fixed seed, once. Each configuration runs the
installed console script (beside this interpreter) R times in a fresh process with a fresh
session; the best wall time counts. Peak memory is the high-water mark (VmHWM) of the command's
process, and of the largest worker, read from /proc while they run. Every configuration must
write the same output and session, byte for byte.

The end of the command is noticed at once (a pidfd), not at the next poll. CPU time (user +
system): the command's own is read from /proc once it has ended and before it is reaped (its
threads included); its workers' is counted exactly from the resource usage of the processes
that ended: reaping the command gives its own and that of every process it reaped (forked
workers), and the processes it leaves behind (a fork server, whose usage includes the workers
it reaped) are adopted by this script, made a child subreaper, and reaped here. The Dask
workers' is the growth of the cluster's processes over the run, its scheduler left out. On a
shared machine wall times depend on the load and CPU times much less, so the CPU split is the
figure to compare: with 2 cores and workers that spend W seconds while the command spends C,
two workers can be at most about 2W / (W + C) times as fast as one. "Others' CPU" is what the
rest of the machine spent meanwhile (from /proc/stat): the load the run shared the cores with,
this script's polling included.

With --pairs N, 1 worker and 2 workers run in turn N times and the ratio reported is the median
of the N pairs' ratios (with their least and greatest): one run's ratio moves by a tenth from run
to run on this machine. With --baseline DIR as well (a folder holding another version of the
`velk` package, put first on PYTHONPATH for its runs), each round runs that version's pair
before this one's, so that both see the same load.
"""

from __future__ import annotations

import argparse
import ctypes
import hashlib
import json
import os
import platform
import random
import select
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
SEED = 20240611
VELK = Path(sys.executable).parent / "velk"


def make_corpus(messages: int) -> Path:
    path = OUT / f"corpus_{messages}.jsonl"
    if path.exists():
        return path
    sys.path.insert(0, str(HERE))
    from make_corpus import ChatGenerator

    chat = ChatGenerator(random.Random(SEED))
    OUT.mkdir(exist_ok=True)
    staging = path.with_suffix(".tmp")
    with staging.open("w", encoding="utf-8") as out:
        for number in range(messages):
            record = {"id": number, "channel": f"team-{number % 40}", "text": chat.message()}
            out.write(json.dumps(record, ensure_ascii=False) + "\n")
    staging.replace(path)
    return path


TICK = os.sysconf("SC_CLK_TCK")
POLL = 0.05  # seconds between readings of the peaks
PR_SET_CHILD_SUBREAPER = 36


def become_subreaper() -> bool:
    """Makes the processes the command leaves behind this process's children once it ends, so
    that their resource usage can be had by reaping them."""
    try:
        return ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def cpu_seconds(pid: int) -> float | None:
    """User + system time of the process (all its threads), not of its children."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / TICK


def machine_busy_seconds() -> float:
    """CPU seconds all processes of the machine have spent (all cores), from /proc/stat."""
    with open("/proc/stat", encoding="ascii") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    # user nice system idle iowait irq softirq steal: everything but idle and iowait
    return (sum(fields[:3]) + sum(fields[5:8])) / TICK


def tree_cpu(pid: int, leave_out: int | None = None) -> float:
    """CPU seconds of the process's descendants, without the tree under ``leave_out``."""
    left_out = set(descendants(leave_out)) | {leave_out} if leave_out is not None else set()
    return sum(cpu_seconds(child) or 0.0 for child in descendants(pid) if child not in left_out)


def hwm_kib(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def descendants(pid: int) -> list[int]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as stat:
                    ppid = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def parent(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as stat:
            return int(stat.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


def reap_left_behind(pids: set[int], polled_cpu: dict[int, float]) -> float:
    """CPU seconds of the processes among ``pids`` that became this process's children (left
    behind by the command), with those they reaped, waiting a few seconds for them to end; the
    last reading for any that does not."""
    seconds = 0.0
    waiting = {pid for pid in pids if parent(pid) == os.getpid()}
    deadline = time.monotonic() + 5
    while waiting and time.monotonic() < deadline:
        for pid in list(waiting):
            try:
                ended, _, usage = os.wait4(pid, os.WNOHANG)
            except ChildProcessError:
                waiting.discard(pid)
                continue
            if ended:
                seconds += usage.ru_utime + usage.ru_stime
                waiting.discard(pid)
        time.sleep(0.01)
    return seconds + sum(polled_cpu.get(pid, 0.0) for pid in waiting)


def run_command(args: list[str], cwd: Path, cluster: bool, env: dict[str, str] | None = None
                ) -> dict:
    """Runs the command; wall time, the peaks of its process and of its largest child, and the
    CPU time of its process and of its workers (with ``cluster``, of the Dask cluster's
    processes, which are this process's other children)."""
    cluster_before = tree_cpu(os.getpid()) if cluster else 0.0
    busy_before = machine_busy_seconds()
    start = time.perf_counter()
    process = subprocess.Popen([str(VELK), *args], cwd=cwd, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=env)
    ended = os.pidfd_open(process.pid)
    main_peak, child_peaks, child_cpu = 0, {}, {}
    family: list[int] = []
    seen: set[int] = set()
    polls = 0
    while not select.select([ended], [], [], POLL if polls else 0)[0]:
        main_peak = max(main_peak, hwm_kib(process.pid) or 0)
        if polls % 4 == 0:  # the process tree changes rarely; reading /proc costs
            family = descendants(process.pid)
            seen.update(family)
        for child in family:
            child_peaks[child] = max(child_peaks.get(child, 0), hwm_kib(child) or 0)
            seconds = cpu_seconds(child)
            if seconds is not None:
                child_cpu[child] = seconds
        polls += 1
    wall = time.perf_counter() - start
    os.close(ended)
    busy = machine_busy_seconds() - busy_before
    own_cpu = cpu_seconds(process.pid) or 0.0  # ended, not yet reaped
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    # Reaping the command gives its own usage and that of every process it reaped.
    workers_cpu = usage.ru_utime + usage.ru_stime - own_cpu
    workers_cpu += reap_left_behind(seen, child_cpu)
    if cluster:
        workers_cpu = tree_cpu(os.getpid(), leave_out=process.pid) - cluster_before
    # What the rest of the machine took meanwhile (this script's polling included): the load
    # the run shared the two cores with.
    others_cpu = max(0.0, busy - own_cpu - workers_cpu)
    stderr = process.stderr.read().decode() if process.stderr else ""
    if process.stderr:
        process.stderr.close()
    if process.returncode != 0:
        raise SystemExit(f"velk {' '.join(args)} failed: {stderr}")
    return {"seconds": wall, "peak_mib": main_peak / 1024,
            "largest_child_mib": max(child_peaks.values(), default=0) / 1024,
            "command_cpu_s": own_cpu, "workers_cpu_s": workers_cpu, "others_cpu_s": others_cpu}


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()[:16]


def pairs(corpus: Path, rounds: int, baseline: Path | None, extra: bool) -> dict:
    """1 worker then 2 workers, ``rounds`` times, for this version (and the baseline's first
    in each round); per version the medians and the median of the pairs' ratios."""
    versions: list[tuple[str, dict[str, str] | None]] = [("this", None)]
    if baseline is not None:
        path = os.pathsep.join(filter(None, [str(baseline), os.environ.get("PYTHONPATH")]))
        versions.insert(0, ("baseline", {**os.environ, "PYTHONPATH": path}))
    runs: dict[tuple[str, int], list[dict]] = {(name, n): [] for name, _ in versions
                                               for n in (1, 2)}
    outputs = set()
    for round_number in range(rounds):
        for name, env in versions:
            line = f"round {round_number + 1} {name:8}"
            for workers in (1, 2):
                with tempfile.TemporaryDirectory(dir=OUT) as folder:
                    work = Path(folder)
                    command = ["corpus", str(corpus), "-o", "out.jsonl", "--field", "text",
                               "-s", "session.json", "--workers", str(workers)]
                    if not extra:
                        command.append("--no-extra")
                    measured = run_command(command, work, cluster=False, env=env)
                    outputs.add((digest(work / "out.jsonl"), digest(work / "session.json")))
                runs[(name, workers)].append(measured)
                line += (f"  {workers} worker(s) {measured['seconds']:5.2f} s (command "
                         f"{measured['command_cpu_s']:.2f} s, workers "
                         f"{measured['workers_cpu_s']:.2f} s, others "
                         f"{measured['others_cpu_s']:.2f} s)")
            one, two = runs[(name, 1)][-1]["seconds"], runs[(name, 2)][-1]["seconds"]
            print(f"{line}  ratio {one / two:.3f}", flush=True)
    if len(outputs) != 1:
        raise SystemExit(f"runs disagree: {outputs}")
    summary = {}
    print("\n| version | 1 worker s | 2 workers s | ratio: median of pairs (least, greatest) "
          "| command CPU s, 1 / 2 | workers CPU s, 1 / 2 | others' CPU s, 1 / 2 |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, _ in versions:
        ratios = [a["seconds"] / b["seconds"] for a, b in zip(runs[(name, 1)], runs[(name, 2)])]

        def median(workers: int, key: str, name: str = name) -> float:
            return statistics.median(run[key] for run in runs[(name, workers)])
        summary[name] = {
            "runs": {str(workers): runs[(name, workers)] for workers in (1, 2)},
            "ratio_median": statistics.median(ratios), "ratio_least": min(ratios),
            "ratio_greatest": max(ratios)}
        print(f"| {name} | {median(1, 'seconds'):.2f} | {median(2, 'seconds'):.2f} | "
              f"{statistics.median(ratios):.3f} ({min(ratios):.3f}, {max(ratios):.3f}) | "
              f"{median(1, 'command_cpu_s'):.2f} / {median(2, 'command_cpu_s'):.2f} | "
              f"{median(1, 'workers_cpu_s'):.2f} / {median(2, 'workers_cpu_s'):.2f} | "
              f"{median(1, 'others_cpu_s'):.2f} / {median(2, 'others_cpu_s'):.2f} |")
    return summary


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=200_000)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--extra", action="store_true", help="also with velk.extra")
    parser.add_argument("--pairs", type=int, metavar="N",
                        help="only 1 and 2 workers, in turn, N times (without extra unless "
                        "--extra)")
    parser.add_argument("--baseline", type=Path, metavar="DIR",
                        help="with --pairs: a folder holding another version of the velk "
                        "package, run in turn with this one")
    parser.add_argument("--json", type=Path, default=OUT / "corpus.json")
    args = parser.parse_args()
    if args.baseline is not None and not (args.baseline / "velk" / "corpus.py").is_file():
        parser.error(f"--baseline: no velk package in {args.baseline}")

    corpus = make_corpus(args.messages)
    size = corpus.stat().st_size
    texts = sum(len(json.loads(line)["text"].encode()) for line in corpus.open("rb"))
    print(f"corpus: {args.messages:,} messages, {size / 1e6:.1f} MB of JSON Lines, "
          f"{texts / 1e6:.1f} MB of text", flush=True)
    become_subreaper()
    if args.pairs:
        summary = pairs(corpus, args.pairs, args.baseline, args.extra)
        args.json.parent.mkdir(exist_ok=True)
        args.json.write_text(json.dumps({
            "machine": {"cpus": os.cpu_count(), "python": platform.python_version(),
                        "load_average": os.getloadavg()},
            "corpus": {"messages": args.messages, "bytes": size, "text_bytes": texts,
                       "seed": SEED, "extra": args.extra},
            "pairs": summary}, indent=2))
        return 0

    from distributed import LocalCluster

    rows = []
    outputs: dict[str, tuple[str, str]] = {}

    def measure(name: str, engine: list[str], extra: bool) -> None:
        best = None
        for _ in range(args.runs):
            with tempfile.TemporaryDirectory(dir=OUT) as folder:
                work = Path(folder)
                command = ["corpus", str(corpus), "-o", "out.jsonl", "--field", "text",
                           "-s", "session.json", *engine]
                if not extra:
                    command.append("--no-extra")
                measured = run_command(command, work, cluster="--scheduler" in engine)
                outputs[f"{name}, extra={extra}"] = (digest(work / "out.jsonl"),
                                                     digest(work / "session.json"))
                session_entries = len(json.loads(
                    (work / "session.json").read_text())["tokenMap"]["forward"])
            if best is None or measured["seconds"] < best["seconds"]:
                best = measured
        assert best is not None
        work_s, own_s = best["workers_cpu_s"], best["command_cpu_s"]
        row = {"configuration": name, "extra": extra, **best,
               "docs_per_second": args.messages / best["seconds"],
               "map_entries": session_entries,
               "bound_2w_over_w_plus_c": 2 * work_s / (work_s + own_s) if work_s else None,
               "load_average": os.getloadavg()[0]}
        rows.append(row)
        print(f"{name:26} extra={extra!s:5} {best['seconds']:7.2f} s "
              f"{row['docs_per_second']:9,.0f} docs/s  peak {best['peak_mib']:6.0f} MiB"
              f"  largest worker {best['largest_child_mib']:5.0f} MiB"
              f"  CPU command {own_s:5.2f} s workers {work_s:6.2f} s"
              f" others {best['others_cpu_s']:5.2f} s"
              f"  load {row['load_average']:.1f}", flush=True)

    for extra in [False, True] if args.extra else [False]:
        for name, engine in [("in-process", []), ("1 worker", ["--workers", "1"]),
                             ("2 workers", ["--workers", "2"])]:
            measure(name, engine, extra)
        # Up only for its own runs: an idle cluster's heartbeats would load the cores that the
        # other configurations run on.
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster:
            measure("LocalCluster, 2 workers", ["--scheduler", cluster.scheduler_address],
                    extra)

    for extra in {row["extra"] for row in rows}:
        seen = {value for key, value in outputs.items() if key.endswith(f"extra={extra}")}
        if len(seen) != 1:
            raise SystemExit(f"configurations disagree (extra={extra}): {outputs}")

    by_name = {(row["configuration"], row["extra"]): row for row in rows}
    one, two = by_name[("1 worker", False)], by_name[("2 workers", False)]
    fastest = min(row["seconds"] for row in rows if not row["extra"])
    peak = max(row["peak_mib"] for row in rows)
    targets = [
        ("2 workers over 1 worker, docs/s", ">= 1.7",
         two["docs_per_second"] / one["docs_per_second"],
         two["docs_per_second"] / one["docs_per_second"] >= 1.7),
        ("whole corpus without extra, fastest configuration, s", "< 15", fastest, fastest < 15),
        ("peak memory of the command, MiB", "< 1024", peak, peak < 1024),
    ]
    print("\n| configuration | extra | seconds | docs/s | command peak MiB | largest worker MiB "
          "| command CPU s | workers CPU s | 2W/(W+C) | others' CPU s | load |")
    print("|---|:-:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        bound = row["bound_2w_over_w_plus_c"]
        print(f"| {row['configuration']} | {'yes' if row['extra'] else 'no'} | "
              f"{row['seconds']:.2f} | {row['docs_per_second']:,.0f} | {row['peak_mib']:.0f} | "
              f"{row['largest_child_mib']:.0f} | {row['command_cpu_s']:.2f} | "
              f"{row['workers_cpu_s']:.2f} | {'-' if bound is None else f'{bound:.2f}'} | "
              f"{row['others_cpu_s']:.2f} | {row['load_average']:.1f} |")
    print("\n| target | limit | measured | holds |\n|---|---:|---:|:-:|")
    for name, limit, value, holds in targets:
        print(f"| {name} | {limit} | {value:.2f} | {'yes' if holds else 'NO'} |")
    args.json.parent.mkdir(exist_ok=True)
    args.json.write_text(json.dumps({
        "machine": {"cpus": os.cpu_count(), "python": platform.python_version(),
                    "load_average": os.getloadavg()},
        "corpus": {"messages": args.messages, "bytes": size, "text_bytes": texts,
                   "seed": SEED},
        "rows": rows, "outputs": outputs,
        "targets": [dict(zip(("target", "limit", "measured", "holds"), t)) for t in targets],
    }, indent=2))
    return 0 if all(t[3] for t in targets) else 1


if __name__ == "__main__":
    sys.exit(main())

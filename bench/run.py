#!/usr/bin/env python3
"""Benchmark runner for velk_anonymizer.

Measures, in one run and on the corpus of bench/make_corpus.py (rebuilt when missing or
stale):
  - anonymize throughput from Python and from C++ on documents of 1 KB, 64 KB, 1 MB, 8 MB;
  - latency of one anonymize call on a 300-byte chat message with an existing map of 50;
  - apply_token_map and deanonymize on 100 KB with maps of 100, 1,000 and 10,000 entries,
    product functions against the literal reference algorithm (C++ driver);
  - peak memory of anonymize on the 8 MB document, and the cost of the import plus the first
    call in a fresh process;
then checks the performance targets and writes bench/out/results.json and a Markdown table.

Run it with an interpreter that can import the module, e.g.
  .venv/bin/python bench/run.py
  PYTHONPATH=build-bench python3 bench/run.py --driver build-bench/driver/substitution_driver
Without --driver the C++ driver is built from bench/CMakeLists.txt into build/bench.
MB means 10^6 bytes; KiB and MiB are powers of two.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Sequence
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(BENCH))
import make_corpus  # noqa: E402

DOCS = ("1k", "64k", "1m", "8m")
# Default number of timed calls per document, before the time budget trims them.
DOC_RUNS = {"1k": 200, "64k": 30, "1m": 15, "8m": 3}
SUBST_SIZES = make_corpus.SUBST_MAP_SIZES
SUBST_RUNS = {"apply_token_map": 30, "deanonymize": 50,
              "apply_token_map_literal": 3, "deanonymize_literal": 10}
CHAT_CALLS = 20000
FRESH_PROCESSES = 7
MEMORY_REPEATS = 3

# The stages that one anonymize call runs, as timed on their own by the driver.
PIPELINE_STAGES = ("extract_pattern_entities", "extract_lexicon_entities",
                   "extract_camel_case_projects", "build_token_map", "apply_token_map")

TARGETS = {
    "apply_10k_speedup_vs_literal": 100.0,
    "apply_10k_over_100": 10.0,
    "anonymize_1m_mb_per_s": 30.0,
    "anonymize_8m_over_1m": 9.0,
    "peak_memory_8m_over_input": 10.0,
    "chat_median_us": 25.0,
}


# Helpers --------------------------------------------------------------------------------

def median(values: Sequence[float]) -> float:
    return statistics.median(values) if values else math.nan


def percentile(values: Sequence[float], q: float) -> float:
    """Nearest-rank percentile, the same rule as the C++ driver."""
    if not values:
        return math.nan
    ordered = sorted(values)
    rank = min(len(ordered), max(1, math.ceil(q * len(ordered))))
    return ordered[rank - 1]


def time_calls(fn, runs: int, min_seconds: float = 0.0,
               max_seconds: float = math.inf) -> list[float]:
    """Times `runs` calls of fn (more while min_seconds has not passed, fewer once max_seconds
    has, but at least one), garbage collection off, as timeit does, so that a collection
    triggered by earlier work is not billed here."""
    samples: list[float] = []
    enabled = gc.isenabled()
    gc.disable()
    try:
        started = time.perf_counter()
        while True:
            spent = time.perf_counter() - started
            if samples and (len(samples) >= runs or spent >= max_seconds) and spent >= min_seconds:
                break
            t0 = time.perf_counter()
            fn()
            samples.append(time.perf_counter() - t0)
    finally:
        if enabled:
            gc.enable()
    return samples


def lscpu_field(name: str) -> str | None:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    for line in out.splitlines():
        key, _, value = line.partition(":")
        if key.strip() == name:
            return value.strip()
    return None


def git_revision() -> str | None:
    try:
        rev = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    return rev + ("+modified-src" if dirty else "")


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# Corpus, module, driver -----------------------------------------------------------------

def ensure_corpus(out: Path, rebuild: bool) -> dict:
    manifest_path = out / "manifest.json"
    current = make_corpus.sha256(Path(make_corpus.__file__).read_bytes())
    if not rebuild and manifest_path.exists():
        manifest = json.loads(manifest_path.read_text(encoding="utf-8"))
        files_ok = all((out / name).exists() for name in manifest.get("files", {}))
        if manifest.get("generator_sha256") == current and files_ok:
            return manifest
    log("building the corpus ...")
    return make_corpus.generate(out, make_corpus.DEFAULT_SEED, Path("/usr/share/doc"))


def import_module():
    try:
        import velk_anonymizer
    except ImportError as error:
        sys.exit(f"cannot import velk_anonymizer ({error}); run with .venv/bin/python after "
                 "scripts/venv.sh, or set PYTHONPATH to a build directory holding the module")
    return velk_anonymizer


def build_driver(build_dir: Path) -> Path:
    cmake = shutil.which("cmake") or str(REPO / ".venv" / "bin" / "cmake")
    ninja = shutil.which("ninja") or (REPO / ".venv" / "bin" / "ninja")
    configure = [cmake, "-S", str(BENCH), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release"]
    if ninja and Path(ninja).exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    log(f"building the C++ driver in {build_dir} ...")
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(build_dir), "--target", "substitution_driver",
                    "-j", "2"], check=True, stdout=subprocess.DEVNULL)
    return build_dir / "substitution_driver"


def run_driver(driver: Path, operation: str, text: Path, session: Path | None, runs: int,
               warm_up: bool = True, max_seconds: float | None = None) -> dict:
    command = [str(driver), operation, str(text), str(session) if session else "-", str(runs)]
    if not warm_up:
        command.append("--no-warmup")
    if max_seconds is not None:
        command.append(f"--max-seconds={max_seconds}")
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def entities_from(va, pairs: list[list[str]]):
    return [va.Entity(text, getattr(va.EntityType, kind)) for text, kind in pairs]


# Measurements ---------------------------------------------------------------------------

def projected(previous: dict | None, size: int) -> float | None:
    """Per-call seconds for a document of `size` bytes, extrapolated linearly from the last
    measured size (a lower bound when the cost grows faster than the text)."""
    if not previous or not previous.get("median_s"):
        return None
    return previous["median_s"] * size / previous["bytes"]


def measure_documents(va, driver: Path, out: Path, budget: float, max_call: float) -> dict:
    """Each document from Python and from C++, smallest first; a side stops after `budget`
    seconds of calls (one call at least) and skips a document whose single call, projected
    from the one before, would take longer than max_call."""
    results = {}
    last: dict[str, dict | None] = {"python": None, "cpp": None}
    for label in DOCS:
        path = out / f"doc_{label}.txt"
        text = path.read_text(encoding="utf-8")
        size = len(text.encode("utf-8"))
        entry: dict = {"bytes": size}
        for side in ("python", "cpp"):
            estimate = projected(last[side], size)
            if estimate is not None and estimate > max_call:
                entry[side] = {"skipped": f"projected {estimate:.0f} s per call "
                                          f"(limit {max_call:.0f} s)"}
                continue
            log(f"anonymize {label} from {'Python' if side == 'python' else 'C++'} ...")
            # An untimed first call builds the process-wide tables and touches the memory that
            # a text of this size needs; a big document skips it, since its calls dwarf that cost.
            warm = estimate is None or estimate < 0.5
            if side == "python":
                if warm:
                    va.anonymize(text).text
                samples = time_calls(lambda: va.anonymize(text).text, DOC_RUNS[label],
                                     min_seconds=1.0 if label == DOCS[0] else 0.0,
                                     max_seconds=budget)
                measured = {"runs": len(samples), "median_s": median(samples),
                            "min_s": min(samples), "warm_up": warm}
            else:
                d = run_driver(driver, "anonymize", path, None, DOC_RUNS[label], warm_up=warm,
                               max_seconds=budget)
                measured = {"runs": d["runs"], "median_s": d["median"], "min_s": d["min"],
                            "peak_rss_kib": d["peak_rss_kib"],
                            "rss_before_kib": d["rss_before_kib"], "warm_up": warm}
            measured["bytes"] = size
            measured["mb_per_s"] = size / measured["median_s"] / 1e6
            entry[side] = last[side] = measured
        results[label] = entry
    return results


def prepare_sessions(va, out: Path) -> dict[str, Path]:
    """The maps as session documents, built with the module: the chat's map of 50 and the
    substitution maps of 100, 1,000 and 10,000 entries (prefixes of one entity list)."""
    sessions = {}
    pairs = json.loads((out / "chat_map_entities.json").read_text(encoding="utf-8"))
    sessions["chat_50"] = out / "chat_map_50.json"
    sessions["chat_50"].write_text(va.build_token_map(entities_from(va, pairs)).to_session_json(),
                                   encoding="utf-8")
    pairs = json.loads((out / "subst_entities.json").read_text(encoding="utf-8"))
    for n in SUBST_SIZES:
        path = out / f"subst_map_{n}.json"
        path.write_text(va.build_token_map(entities_from(va, pairs[:n])).to_session_json(),
                        encoding="utf-8")
        sessions[f"subst_{n}"] = path
    return sessions


def chat_latency(va, message: str, existing, calls: int, max_seconds: float) -> dict:
    """Per-call latency of anonymize(message, existing=...), each call timed on its own with
    perf_counter_ns; the timer's own cost is reported beside it."""
    timer = time.perf_counter_ns
    time_calls(lambda: va.anonymize(message, existing=existing), min(500, calls),
               max_seconds=max_seconds / 10)
    overhead: list[int] = []
    samples: list[int] = []
    with_access: list[int] = []
    gc.disable()
    try:
        for _ in range(2000):
            t0 = timer()
            overhead.append(timer() - t0)
        started = time.perf_counter()
        while len(samples) < calls and (not samples or
                                        time.perf_counter() - started < max_seconds):
            t0 = timer()
            va.anonymize(message, existing=existing)
            samples.append(timer() - t0)
        started = time.perf_counter()
        while len(with_access) < max(1, calls // 4) and (
                not with_access or time.perf_counter() - started < max_seconds / 4):
            t0 = timer()
            result = va.anonymize(message, existing=existing)
            result.text, result.token_map, result.entities
            with_access.append(timer() - t0)
    finally:
        gc.enable()
    us = lambda ns: [v / 1000 for v in ns]  # noqa: E731
    return {"calls": len(samples), "median_us": median(us(samples)),
            "p99_us": percentile(us(samples), 0.99), "min_us": min(us(samples)),
            "timer_overhead_us": median(us(overhead)),
            "with_result_access": {"calls": len(with_access),
                                   "median_us": median(us(with_access)),
                                   "p99_us": percentile(us(with_access), 0.99)}}


def measure_chat(va, driver: Path, out: Path, sessions: dict[str, Path], calls: int,
                 budget: float) -> dict:
    """The 300-byte message with the conversation's map of 50 (the latency target), then the
    same message with existing maps of 1,000 and 10,000 entries: the cost of a message late
    in a long conversation."""
    path = out / "chat_300.txt"
    message = path.read_text(encoding="utf-8")
    results: dict = {"message_bytes": len(message.encode("utf-8")), "maps": {}}
    for label in ("chat_50", f"subst_{SUBST_SIZES[1]}", f"subst_{SUBST_SIZES[2]}"):
        existing = va.TokenMap.from_session_json(sessions[label].read_text(encoding="utf-8"))
        log(f"chat message latency with an existing map of {len(existing)} ...")
        result = va.anonymize(message, existing=existing)
        py = chat_latency(va, message, existing, calls, budget)
        d = run_driver(driver, "anonymize", path, sessions[label], calls, max_seconds=budget)
        results["maps"][str(len(existing))] = {
            "existing_map_entries": len(existing),
            "result_map_entries": len(result.token_map),
            "entities_found": result.entity_count,
            "python": py,
            "cpp": {"calls": d["runs"], "median_us": d["median"] * 1e6,
                    "p99_us": d["p99"] * 1e6, "min_us": d["min"] * 1e6},
        }
    return results


def measure_stages(driver: Path, out: Path, sessions: dict[str, Path], budget: float) -> dict:
    """Cost breakdown of anonymize by stage (C++), for the profile: the 1 MB document and the
    chat message with maps of 50 and 10,000 entries."""
    cases = {"doc_1m": (out / "doc_1m.txt", None, 5),
             "chat_map_50": (out / "chat_300.txt", sessions["chat_50"], 5000),
             f"chat_map_{SUBST_SIZES[-1]}": (out / "chat_300.txt",
                                             sessions[f"subst_{SUBST_SIZES[-1]}"], 200)}
    results = {}
    for name, (text, session, runs) in cases.items():
        log(f"stage breakdown, {name} ...")
        d = run_driver(driver, "stages", text, session, runs, max_seconds=budget / 8)
        results[name] = {"input_bytes": d["input_bytes"], "map_entries": d["map_entries"],
                         "entities": d["entities"],
                         "median_s": {k: v["median"] for k, v in d["stages"].items()},
                         "min_s": {k: v["min"] for k, v in d["stages"].items()}}
    return results


def measure_substitution(driver: Path, out: Path, sessions: dict[str, Path], scale: float,
                         budget: float) -> dict:
    text_path = out / "subst_100k.txt"
    results: dict = {"text_bytes": text_path.stat().st_size, "maps": {}}
    for n in SUBST_SIZES:
        session = sessions[f"subst_{n}"]
        per_map = {}
        for operation, default_runs in SUBST_RUNS.items():
            literal = operation.endswith("_literal")
            runs = max(1, int(default_runs * scale))
            if literal and n == max(SUBST_SIZES):
                runs = 1  # about ten seconds a call
            log(f"{operation} with {n} entries, {runs} runs ...")
            d = run_driver(driver, operation, text_path, session, runs,
                           warm_up=not (literal and n == max(SUBST_SIZES)), max_seconds=budget)
            per_map[operation] = {"runs": d["runs"], "median_s": d["median"], "min_s": d["min"],
                                  "output_fnv1a64": d["output_fnv1a64"],
                                  "input_bytes": d["input_bytes"]}
        for direction in ("apply_token_map", "deanonymize"):
            fast, slow = per_map[direction], per_map[direction + "_literal"]
            per_map[direction]["speedup_vs_literal"] = slow["median_s"] / fast["median_s"]
            per_map[direction]["same_output_as_literal"] = (
                fast["output_fnv1a64"] == slow["output_fnv1a64"])
        results["maps"][str(n)] = per_map
    return results


MEMORY_CHILD = """
import sys
import velk_anonymizer as va
with open(sys.argv[1], encoding="utf-8") as f:
    text = f.read()
if sys.argv[2] == "call":
    result = va.anonymize(text)
"""


def memory_probe(document: str, mode: str) -> None:
    """Runs one child that reads the document and, in mode "call", anonymizes it, then
    prints the child's peak resident set in KiB. A probe has exactly one child, so
    RUSAGE_CHILDREN holds that child's own peak and nothing else."""
    subprocess.run([sys.executable, "-c", MEMORY_CHILD, document, mode], check=True)
    print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)


def measure_memory(out: Path, label: str, repeats: int) -> dict:
    document = out / f"doc_{label}.txt"

    def probe(mode: str) -> int:
        completed = subprocess.run(
            [sys.executable, __file__, "--memory-probe", str(document), mode],
            capture_output=True, text=True, check=True)
        return int(completed.stdout.strip().splitlines()[-1])

    log(f"peak memory of anonymize on {label}, {repeats} x 2 child processes ...")
    baseline = [probe("baseline") for _ in range(repeats)]
    with_call = [probe("call") for _ in range(repeats)]
    size = document.stat().st_size
    delta_kib = median(with_call) - median(baseline)
    return {"document": label, "input_bytes": size, "baseline_kib": median(baseline),
            "with_call_kib": median(with_call), "call_kib": delta_kib,
            "call_over_input": delta_kib * 1024 / size}


FRESH_CHILD = """
import json, sys, time
with open(sys.argv[1], encoding="utf-8") as f:
    message = f.read()
t0 = time.perf_counter()
import velk_anonymizer as va
t1 = time.perf_counter()
va.anonymize(message)
t2 = time.perf_counter()
va.anonymize(message)
t3 = time.perf_counter()
print(json.dumps({"import_s": t1 - t0, "first_call_s": t2 - t1, "second_call_s": t3 - t2}))
"""


def measure_fresh_process(out: Path, processes: int) -> dict:
    log(f"import and first call, {processes} fresh processes ...")
    rows = []
    for _ in range(processes):
        completed = subprocess.run([sys.executable, "-c", FRESH_CHILD,
                                    str(out / "chat_300.txt")],
                                   capture_output=True, text=True, check=True)
        rows.append(json.loads(completed.stdout))
    ms = lambda key: median([r[key] for r in rows]) * 1e3  # noqa: E731
    return {"processes": processes, "import_ms": ms("import_s"),
            "first_call_ms": ms("first_call_s"), "second_call_ms": ms("second_call_s"),
            "import_plus_first_call_ms": median([(r["import_s"] + r["first_call_s"])
                                                 for r in rows]) * 1e3}


# Targets and report ---------------------------------------------------------------------

def check_targets(results: dict) -> list[dict]:
    checks = []

    def add(name: str, description: str, measured: float | None, limit: float, at_least: bool):
        if measured is None or math.isnan(measured):
            holds = None
        else:
            holds = measured >= limit if at_least else measured <= limit
        checks.append({"name": name, "description": description, "measured": measured,
                       "limit": limit, "at_least": at_least, "holds": holds})

    maps = results["substitution"]["maps"]
    big, small = str(max(SUBST_SIZES)), str(min(SUBST_SIZES))
    add("apply_10k_speedup_vs_literal",
        "apply_token_map, 10,000 entries on 100 KB: times faster than the literal algorithm",
        maps[big]["apply_token_map"]["speedup_vs_literal"],
        TARGETS["apply_10k_speedup_vs_literal"], True)
    add("apply_10k_over_100",
        "apply_token_map on 100 KB: time with 10,000 entries / time with 100 entries",
        maps[big]["apply_token_map"]["median_s"] / maps[small]["apply_token_map"]["median_s"],
        TARGETS["apply_10k_over_100"], False)
    docs = results["anonymize"]
    one = docs["1m"]["python"]
    eight = docs["8m"]["python"]
    add("anonymize_1m_mb_per_s", "anonymize from Python on 1 MB: MB/s",
        one.get("mb_per_s"), TARGETS["anonymize_1m_mb_per_s"], True)
    ratio = (eight["median_s"] / one["median_s"]
             if "median_s" in eight and "median_s" in one else None)
    add("anonymize_8m_over_1m", "anonymize from Python: time on 8 MB / time on 1 MB",
        ratio, TARGETS["anonymize_8m_over_1m"], False)
    memory = results.get("memory") or {}
    add("peak_memory_8m_over_input",
        "anonymize on 8 MB: peak resident memory of the call / input size",
        memory.get("call_over_input"), TARGETS["peak_memory_8m_over_input"], False)
    add("chat_median_us", "anonymize from Python, 300-byte message, map of 50: median µs",
        results["chat"]["maps"]["50"]["python"]["median_us"], TARGETS["chat_median_us"], False)
    return checks


def fmt(value, digits: int = 2) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if isinstance(value, float):
        if value >= 100:
            return f"{value:,.0f}"
        return f"{value:.{digits}f}"
    return str(value)


def markdown(results: dict) -> str:
    m = results["machine"]
    lines = [
        f"Machine: {m['cpu_model']}, {m['cpus']} CPUs; Python {m['python']}; "
        f"{m['compiler']}; revision {m['revision']}; load average {m['load_before']} before, "
        f"{m['load_after']} after. Corpus: seed {results['corpus']['seed']}, real text "
        f"{results['corpus']['doc_text_sha256'][:12]}.",
        "",
        "| anonymize | bytes | Python MB/s | Python ms/call | C++ MB/s | C++ ms/call "
        "| runs (Py/C++) |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for label, entry in results["anonymize"].items():
        py, cpp = entry["python"], entry["cpp"]
        cells = []
        for side in (py, cpp):
            if "skipped" in side:
                cells += ["skipped", side["skipped"]]
            else:
                cells += [fmt(side["mb_per_s"]), fmt(side["median_s"] * 1e3, 3)]
        lines.append(f"| {label} | {entry['bytes']:,} | {cells[0]} | {cells[1]} | {cells[2]} | "
                     f"{cells[3]} | {py.get('runs', 0)}/{cpp.get('runs', 0)} |")
    c = results["chat"]
    lines += [
        "",
        f"| chat message ({c['message_bytes']} B), existing map | Python median µs | "
        "Python p99 µs | Python + reading result µs | C++ median µs | C++ p99 µs | calls |",
        "|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for n, entry in c["maps"].items():
        py, cpp = entry["python"], entry["cpp"]
        lines.append(f"| {int(n):,} | {fmt(py['median_us'])} | {fmt(py['p99_us'])} | "
                     f"{fmt(py['with_result_access']['median_us'])} | {fmt(cpp['median_us'])} | "
                     f"{fmt(cpp['p99_us'])} | {py['calls']}/{cpp['calls']} |")
    lines += [
        "",
        f"| 100 KB text, map entries | apply ms | literal apply ms | speed-up | same | "
        "deanonymize ms | literal deanonymize ms | speed-up | same |",
        "|---:|---:|---:|---:|:-:|---:|---:|---:|:-:|",
    ]
    for n, per_map in results["substitution"]["maps"].items():
        a, al = per_map["apply_token_map"], per_map["apply_token_map_literal"]
        d, dl = per_map["deanonymize"], per_map["deanonymize_literal"]
        yes = lambda flag: "yes" if flag else "NO"  # noqa: E731
        lines.append(
            f"| {int(n):,} | {fmt(a['median_s'] * 1e3, 3)} | {fmt(al['median_s'] * 1e3, 1)} | "
            f"{fmt(a['speedup_vs_literal'], 0)}x | {yes(a['same_output_as_literal'])} | "
            f"{fmt(d['median_s'] * 1e3, 3)} | {fmt(dl['median_s'] * 1e3, 2)} | "
            f"{fmt(d['speedup_vs_literal'], 0)}x | {yes(d['same_output_as_literal'])} |")
    stages = results["stages"]
    names = list(next(iter(stages.values()))["median_s"])
    lines += ["", "| stage (C++), median | " + " | ".join(
        f"{k} ({v['input_bytes']:,} B, map {v['map_entries']:,})" for k, v in stages.items())
        + " |", "|---|" + "---:|" * len(stages)]
    for name in names:
        cells = []
        for v in stages.values():
            t = v["median_s"][name]
            cells.append(f"{fmt(t * 1e3, 3)} ms" if t >= 1e-3 else f"{fmt(t * 1e6, 1)} µs")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
        if name == "apply_token_map":
            cells = []
            for v in stages.values():
                t = v["median_s"]
                rest = t["anonymize"] - sum(t[k] for k in PIPELINE_STAGES)
                cells.append(f"{fmt(rest * 1e3, 3)} ms" if abs(rest) >= 1e-3
                             else f"{fmt(rest * 1e6, 1)} µs")
            lines.append("| rest of anonymize (lower-casing, sets, copies; by difference) | "
                         + " | ".join(cells) + " |")
    mem, fresh = results.get("memory"), results["fresh_process"]
    lines += ["", "| other | value |", "|---|---:|"]
    if mem:
        lines.append(f"| peak memory of anonymize on 8 MB (Python child minus baseline child) "
                     f"| {fmt(mem['call_kib'] / 1024, 1)} MiB = {fmt(mem['call_over_input'])} x "
                     "input |")
    cpp8 = results["anonymize"]["8m"]["cpp"]
    if "peak_rss_kib" in cpp8:
        delta = (cpp8["peak_rss_kib"] - cpp8["rss_before_kib"]) / 1024
        lines.append("| peak memory of anonymize on 8 MB in C++ (driver: peak minus resident "
                     "before the calls) | "
                     f"{fmt(delta, 1)} MiB |")
    lines += [
        f"| `import velk_anonymizer` (median of {fresh['processes']} fresh processes) | "
        f"{fmt(fresh['import_ms'], 2)} ms |",
        f"| first `anonymize` call in a fresh process (chat message) | "
        f"{fmt(fresh['first_call_ms'], 2)} ms |",
        f"| second call in that process | {fmt(fresh['second_call_ms'], 3)} ms |",
        "", "| target | limit | measured | holds |", "|---|---:|---:|:-:|",
    ]
    for check in results["targets"]:
        sign = ">=" if check["at_least"] else "<="
        holds = {True: "yes", False: "**no**", None: "not measured"}[check["holds"]]
        lines.append(f"| {check['description']} | {sign} {fmt(check['limit'])} | "
                     f"{fmt(check['measured'])} | {holds} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=BENCH / "out")
    parser.add_argument("--driver", type=Path, help="a built substitution_driver")
    parser.add_argument("--driver-build-dir", type=Path, default=REPO / "build" / "bench")
    parser.add_argument("--rebuild-corpus", action="store_true")
    parser.add_argument("--quick", action="store_true",
                        help="fewer runs everywhere, for a smoke test")
    parser.add_argument("--budget", type=float, default=60.0,
                        help="seconds of timed calls per document and side (default 60)")
    parser.add_argument("--max-call", type=float, default=600.0,
                        help="skip a document whose projected single call exceeds this")
    parser.add_argument("--memory-probe", nargs=2, metavar=("DOC", "MODE"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_probe:
        memory_probe(*args.memory_probe)
        return 0

    load_before = os.getloadavg()
    manifest = ensure_corpus(args.out, args.rebuild_corpus)
    va = import_module()
    driver = args.driver or build_driver(args.driver_build_dir)
    scale = 0.2 if args.quick else 1.0

    results: dict = {"corpus": {"seed": manifest["seed"], "files": manifest["files"],
                                "doc_files_used": manifest["doc_files_used"],
                                "doc_text_sha256": manifest["doc_text_sha256"]},
                     "module": va.__file__,
                     "module_built": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(
                         os.path.getmtime(va.__file__))),
                     "driver": str(driver)}
    results["anonymize"] = measure_documents(va, driver, args.out, args.budget * scale,
                                             args.max_call)
    sessions = prepare_sessions(va, args.out)
    results["chat"] = measure_chat(va, driver, args.out, sessions, int(CHAT_CALLS * scale),
                                   args.budget * scale / 4)
    results["substitution"] = measure_substitution(driver, args.out, sessions, scale,
                                                   args.budget * scale)
    results["stages"] = measure_stages(driver, args.out, sessions, args.budget * scale)
    skipped_8m = "skipped" in results["anonymize"]["8m"]["python"]
    results["memory"] = None if skipped_8m else measure_memory(
        args.out, "8m", 1 if args.quick else MEMORY_REPEATS)
    results["fresh_process"] = measure_fresh_process(
        args.out, 3 if args.quick else FRESH_PROCESSES)

    compiler = run_driver(driver, "deanonymize", args.out / "chat_300.txt", None, 1)["compiler"]
    results["machine"] = {
        "cpu_model": lscpu_field("Model name") or platform.processor(),
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "compiler": compiler,
        "platform": platform.platform(),
        "revision": git_revision(),
        "load_before": [round(v, 2) for v in load_before],
        "load_after": [round(v, 2) for v in os.getloadavg()],
        "quick": args.quick,
    }
    results["targets"] = check_targets(results)
    table = markdown(results)
    results["table_markdown"] = table
    path = args.out / "results.json"
    path.write_text(json.dumps(results, indent=2) + "\n", encoding="utf-8")
    print(table)
    log(f"results written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

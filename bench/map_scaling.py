"""What one chat message costs as the token map grows.

For maps of 100 to 100,000 entries (read from their own session document, as a conversation
or a corpus would), times per call, median of RUNS calls after one warm-up call:
- `anonymize` of a ~100-byte message that repeats mapped entities and brings one new person
  (a different one each call, always against the same map),
- `apply_token_map` and `deanonymize` of that message,
- the first `anonymize` with a freshly read map (the map's derived structures are built then),
- writing and reading the session document;
and, separately, the median `anonymize` of a chat message with a 50-entry map, and the peak
memory of a process holding the 100,000-entry map after it was used, next to the size of its
session document.

    .venv/bin/python bench/map_scaling.py [--runs N] [--json FILE]

Run it with two interpreters (two builds of the module) to compare them; each run is its own
baseline (the 100-entry map).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import velk_anonymizer as va

SIZES = [100, 1_000, 10_000, 100_000]
SEED = 7


def entities(count: int, rng: random.Random) -> list[va.Entity]:
    """Distinct entity texts of every kind, named like the ones in chat."""
    first = ["Alice", "Bruno", "Chen", "Dana", "Emeka", "Farah", "Goran", "Hana", "Ivan", "Jun"]
    kinds = [va.EntityType.Person, va.EntityType.Place, va.EntityType.Org, va.EntityType.Project,
             va.EntityType.Email, va.EntityType.Url, va.EntityType.Handle, va.EntityType.Secret]
    out = []
    for i in range(count):
        kind = kinds[i % len(kinds)]
        stem = f"{rng.choice(first)}{i:06d}"
        text = {
            va.EntityType.Email: f"{stem.lower()}@example.com",
            va.EntityType.Url: f"https://{stem.lower()}.example.com/x",
            va.EntityType.Handle: f"@{stem.lower()}",
            va.EntityType.Secret: f"sk_{stem.lower()}{i * 7919:012d}",
        }.get(kind, f"{stem} Smith" if kind == va.EntityType.Person else stem)
        out.append(va.Entity(text, kind))
    return out


def median_us(call, runs: int) -> float:
    call()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def measure(size: int, runs: int) -> dict:
    rng = random.Random(SEED)
    known = entities(size, rng)
    session = va.build_token_map(known).to_session_json()
    start = time.perf_counter()
    token_map = va.TokenMap.from_session_json(session)
    read_us = (time.perf_counter() - start) * 1e6
    a, b = known[0].text, known[size // 2].text
    counter = iter(range(10**9))

    def message() -> str:
        return f"Ping {a} about it, then ask Quentin Newcomer{next(counter)} and {b} in Dallas."

    start = time.perf_counter()
    va.anonymize(message(), existing=token_map)
    first_us = (time.perf_counter() - start) * 1e6
    fixed = message()
    anonymized = va.anonymize(fixed, existing=token_map)
    return {
        "entries": size,
        "anonymize_us": round(median_us(lambda: va.anonymize(message(), existing=token_map), runs), 1),
        "apply_token_map_us": round(median_us(lambda: va.apply_token_map(fixed, token_map), runs), 1),
        "deanonymize_us": round(
            median_us(lambda: va.deanonymize(anonymized.text, anonymized.token_map), runs), 1),
        "first_call_after_read_us": round(first_us, 1),
        "session_write_us": round(median_us(token_map.to_session_json, 5), 1),
        "session_read_us": round(read_us, 1),
        "session_bytes": len(session.encode()),
    }


def chat_latency(runs: int) -> float:
    token_map = va.build_token_map(entities(50, random.Random(SEED)))
    text = "Hey @jdoe, Sarah Miller says the BlueHarbor deploy to 10.0.0.7 failed again."
    va.anonymize(text, existing=token_map)
    return round(median_us(lambda: va.anonymize(text, existing=token_map), runs), 2)


def status_kib(field: str) -> int:
    """A field of /proc/self/status in KiB: VmHWM (peak resident memory; unlike ru_maxrss not
    inherited through fork from a large parent) or VmRSS."""
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak() -> None:
    """Sets VmHWM to the current resident memory, so that the transient peak of reading the
    file does not hide the peak of what comes after it."""
    with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
        f.write("5")


def peak_memory_child(path: str) -> None:
    # What the module builds once per process (word lists, compiled patterns) is not the map's.
    warm = va.anonymize("Ask Sarah Miller at bob@example.org, https://x.io or +1 555 123 4567")
    va.deanonymize(warm.text, va.TokenMap.from_session_json(warm.token_map.to_session_json()))
    base = status_kib("VmHWM")
    with open(path, encoding="utf-8") as f:
        session = f.read()
    reset_peak()
    before = status_kib("VmRSS")
    token_map = va.TokenMap.from_session_json(session)
    # A message that brings new entities, so that numbering builds what it derives too.
    result = va.anonymize("Ping Alice000001 Smith about it, with Sarah Newcomer and "
                          "bob@example.org.", existing=token_map)
    assert len(result.token_map) > len(token_map), "the message must add entities"
    va.deanonymize("[PERSON_1]", token_map)
    after = status_kib("VmHWM")
    print(json.dumps({"session_bytes": len(session.encode()), "process_kib_at_start": base,
                      "map_and_derived_kib": after - before}))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        peak_memory_child(args.memory_child)
        return 0
    rows = [measure(size, args.runs) for size in SIZES]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "session.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(va.build_token_map(entities(100_000, random.Random(SEED))).to_session_json())
        memory = json.loads(subprocess.run([sys.executable, __file__, "--memory-child", path],
                                           check=True, capture_output=True, text=True).stdout)
    report = {"module": va.__file__, "maps": rows, "chat_message_50_entries_us": chat_latency(
        max(args.runs, 1000)), "memory_100k": memory}
    columns = list(rows[0])
    print("| " + " | ".join(columns) + " |")
    print("|" + "---|" * len(columns))
    for row in rows:
        print("| " + " | ".join(str(row[c]) for c in columns) + " |")
    print(f"\none chat message, 50-entry map: {report['chat_message_50_entries_us']} µs median")
    ratio = memory["map_and_derived_kib"] * 1024 / memory["session_bytes"]
    print(f"100,000-entry map with derived structures: {memory['map_and_derived_kib']} KiB "
          f"peak growth, {ratio:.1f} times its session document ({memory['session_bytes']} bytes)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

"""Start-up cost of the module in a fresh process, for several installations in one run.

    python bench/startup.py                       # .venv's build beside the wheel in dist/
    python bench/startup.py NAME=PYTHON ...       # any interpreters that have the module

Each run is a new `python -I` process that times `import velk_anonymizer` and then the first
`anonymize` call with perf_counter, and is itself timed from outside (interpreter start-up
included). The installations take turns, so that a change of machine load hits all of them
alike. Without arguments the script compares the build that scripts/venv.sh
installs into .venv (`pip install .`: PCRE2 and ICU from the system's shared libraries) with the
wheel of scripts/wheel.sh, installed into a temporary environment.
"""

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

PROBE = """
import time
start = time.perf_counter()
import velk_anonymizer
imported = time.perf_counter()
velk_anonymizer.anonymize("Ping @jdoe about BlueHarbor in Dallas, TX")
called = time.perf_counter()
print(imported - start, called - imported, velk_anonymizer.__file__)
"""


def wheel_environment(directory: Path) -> Path:
    wheels = sorted((ROOT / "dist").glob("velk_anonymizer-*.whl"))
    if len(wheels) != 1:
        sys.exit(f"expected one wheel in dist/, found {len(wheels)}: run scripts/wheel.sh")
    subprocess.run([sys.executable, "-m", "venv", str(directory)], check=True)
    python = directory / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    str(wheels[0])], check=True)
    return python


def measure(python: str) -> tuple[float, float, float, str]:
    start = time.perf_counter()
    out = subprocess.run([python, "-I", "-c", PROBE], check=True, capture_output=True,
                         text=True, cwd=tempfile.gettempdir()).stdout.split()
    wall = time.perf_counter() - start
    return float(out[0]), float(out[1]), wall, out[2]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("installations", nargs="*", metavar="NAME=PYTHON")
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--json", type=Path, help="also write the figures here")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        installations = dict(item.split("=", 1) for item in args.installations)
        if not installations:
            installations = {
                "source build (.venv)": str(ROOT / ".venv" / "bin" / "python"),
                "wheel (dist/)": str(wheel_environment(Path(scratch) / "wheel")),
            }
        samples: dict[str, list[tuple[float, float, float]]] = {n: [] for n in installations}
        files = {}
        for name, python in installations.items():  # warm the page cache
            for _ in range(3):
                files[name] = measure(python)[3]
        for _ in range(args.runs):
            for name, python in installations.items():
                samples[name].append(measure(python)[:3])

    report = {}
    width = max(len("installation"), *(len(name) for name in samples))
    print(f"{args.runs} fresh processes each, median (min) in ms")
    print(f"{'installation':<{width}} {'import':>16} {'first anonymize':>16} {'import + first':>16}"
          f" {'whole process':>16}")
    for name, runs in samples.items():
        columns = {
            "import": [r[0] for r in runs],
            "first anonymize": [r[1] for r in runs],
            "import + first": [r[0] + r[1] for r in runs],
            "whole process": [r[2] for r in runs],
        }
        report[name] = {"module": files[name]} | {
            key: {"median_ms": statistics.median(v) * 1e3, "min_ms": min(v) * 1e3}
            for key, v in columns.items()}
        cells = " ".join(
            f"{statistics.median(v) * 1e3:>8.2f} ({min(v) * 1e3:5.2f})" for v in columns.values())
        print(f"{name:<{width}} {cells}")
        print(f"{'':<{width}} {files[name]}")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

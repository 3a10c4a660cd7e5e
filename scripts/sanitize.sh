#!/usr/bin/env bash
# Builds the C++ test suites and the Python module with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++) into build/asan, runs the C++ suites under ctest, then the
# Python suites against that module with the sanitizer runtimes preloaded into the
# interpreter. Any memory error or undefined behaviour fails the run.
#
# A ThreadSanitizer build of fuzz/threads_check.cpp then runs the core from eight threads at
# once, first use of every lazily built table included; and the Python fuzz target makes
# random calls against the sanitized module.
#
# Resident-memory checks cannot work in the main Python run: AddressSanitizer keeps freed
# memory in quarantine, so resident memory grows with every call. They run in a second pass
# with a small quarantine, and test_memory.py makes 10,000 calls per entry point here instead
# of 100,000.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# The interpreter environment of the other scripts, set up only when it is missing.
if ! .venv/bin/python -c "import pytest, hypothesis" >/dev/null 2>&1 ||
  [ ! -x .venv/bin/cmake ] || [ ! -x .venv/bin/ninja ]; then
  source scripts/venv.sh
else
  bash scripts/install-deps.sh
fi

build=build/asan
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_BUILD_TESTS=ON -DVELK_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$root/.venv/bin/python" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
.venv/bin/cmake --build "$build" -j2

g++ -std=c++20 -O1 -g -fsanitize=thread -Wall -Wextra -Wpedantic -Isrc fuzz/threads_check.cpp \
  src/velk/*.cpp "$build"/generated/embedded_*.cpp $(pkg-config --libs libpcre2-8 icu-uc) \
  -o "$build/threads_check"
TSAN_OPTIONS="halt_on_error=1" "$build/threads_check"

# The C++ suites run with leak detection on.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ASAN_OPTIONS="check_initialization_order=1" \
  .venv/bin/ctest --test-dir "$build" --output-on-failure -j2

# The interpreter is not built with the sanitizers, so their runtimes must be loaded first.
# Leak detection stays off: the interpreter keeps memory until exit on purpose.
export ASAN_OPTIONS="detect_leaks=0"
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
module="$(ls "$root/$build"/velk_anonymizer*.so)"
# Run from the tests folder, against the sanitized module only.
cd tests/python
export LD_PRELOAD="$preload" PYTHONPATH="$root/$build" VELK_MEMORY_CALLS=10000
"$root/.venv/bin/python" - "$module" <<'EOF'
import sys
import velk_anonymizer
if velk_anonymizer.__file__ != sys.argv[1]:
    sys.exit(f"imported {velk_anonymizer.__file__}, not the sanitized {sys.argv[1]}")
EOF
memory_checks="test_memory.py or repeated_calls_keep_memory"
# The tests that kill a worker and fork a new pool stay with the plain run. GCC 12's
# AddressSanitizer does not hold its allocator's lock across fork, and now and then a worker
# forked after a pool broke waited on that lock for good: this pass hung in one CI run and in
# one of seven full runs since, each time in one of these tests, which never hung without the
# sanitizers. The workers' own code is still checked here by the other pool tests.
pool_breaking="worker_is_killed or kills_every_worker or pool_that_breaks or killed_worker"
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider \
  -k "not ($memory_checks) and not ($pool_breaking)" .
ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=4" \
  "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider -k "$memory_checks" .

# Random calls of the Python fuzz target against the sanitized module. Its coverage guidance
# does not work with a preloaded sanitizer runtime, so this is a plain random run of fixed length
# after its committed corpus.
cd "$root"
if ! env -u LD_PRELOAD .venv/bin/python -c "import atheris" >/dev/null 2>&1; then
  env -u LD_PRELOAD .venv/bin/python -m pip install -q --disable-pip-version-check atheris
fi
mkdir -p "$build/python_surface"
.venv/bin/python fuzz/python_surface_fuzzer.py -runs=20000 -seed=1 -timeout=30 \
  -print_final_stats=1 "-artifact_prefix=$build/python_surface-" "$build/python_surface" \
  fuzz/corpus/python_surface >"$build/python_surface.log" 2>&1 || {
  tail -n 40 "$build/python_surface.log" >&2
  exit 1
}
grep -h 'stat::number_of_executed_units' "$build/python_surface.log"

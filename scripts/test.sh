#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites under ctest, the type stub against the
# built module, the sanitizer and fuzz checks, then the wheel of scripts/wheel.sh installed into a
# new environment outside the source tree, with the README example and pytest against it. With
# --quick the sanitizer, fuzz and wheel steps are left out and pytest runs against the module in
# .venv: the loop to run while working.
set -euo pipefail
quick=false
case "${1:-}" in
  "") ;;
  --quick) quick=true ;;
  *)
    echo "usage: $0 [--quick]" >&2
    exit 2 ;;
esac
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
.venv/bin/cmake -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DVELK_BUILD_MODULE=OFF -DVELK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
.venv/bin/cmake --build build/tests
.venv/bin/ctest --test-dir build/tests --output-on-failure -j2
.venv/bin/python -m mypy.stubtest velk_anonymizer
.venv/bin/python -m mypy  # the velk package, strict ([tool.mypy] in pyproject.toml)
if $quick; then
  # Run from the tests folder so that only the installed module can be imported.
  cd tests/python
  "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider .
  exit 0
fi
# Hardening: the suites again under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz
# regression corpus, and a short run of every fuzz target.
bash scripts/sanitize.sh
bash scripts/fuzz.sh regress
bash scripts/fuzz.sh run "${VELK_CI_FUZZ_SECONDS:-30}"
# A preloaded failing operator new reaches only a module that takes it from the shared C++
# runtime, which the self-contained wheel does not: this file runs against the build in .venv.
(cd tests/python && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider \
  test_allocation_failure.py)
bash scripts/test-wheel.sh

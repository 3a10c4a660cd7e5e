#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites under ctest, the type stub against the
# built module, the sanitizer and fuzz checks, then the wheel of scripts/wheel.sh installed into a
# new environment outside the source tree, with the README example and pytest against it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
.venv/bin/cmake -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DVELK_BUILD_MODULE=OFF -DVELK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
.venv/bin/cmake --build build/tests
.venv/bin/ctest --test-dir build/tests --output-on-failure -j2
.venv/bin/python -m mypy.stubtest velk_anonymizer
# Hardening: the suites again under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz
# regression corpus, and a short run of every fuzz target.
bash scripts/sanitize.sh
bash scripts/fuzz.sh regress
bash scripts/fuzz.sh run "${VELK_CI_FUZZ_SECONDS:-30}"
bash scripts/test-wheel.sh

#!/usr/bin/env bash
# Builds the wheel (scripts/wheel.sh), installs it with its test extra into a new virtual
# environment outside the source tree, and runs the README example and the Python suites of
# tests/python against that installation, so a file missing from the wheel fails here.
#
#   bash scripts/test-wheel.sh [PYTEST ARGS...]
#
# VELK_WHEEL_SKIP_BUILD=1 tests the wheel already in dist/. The environment is removed afterwards
# unless VELK_WHEEL_KEEP_VENV=1 (its path is printed).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

[ "${VELK_WHEEL_SKIP_BUILD:-0}" = 1 ] || bash scripts/wheel.sh
wheels=(dist/velk_anonymizer-*.whl)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
  echo "expected one wheel in dist/, found: ${wheels[*]}" >&2
  exit 1
fi
wheel="$root/${wheels[0]}"

venv="$(mktemp -d "${TMPDIR:-/tmp}/velk-wheel-test.XXXXXX")"
[ "${VELK_WHEEL_KEEP_VENV:-0}" = 1 ] || trap 'rm -rf "$venv"' EXIT
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"

# Outside the source tree, nothing but the installed wheel can be imported.
cd "$venv"
"$venv/bin/python" - "$venv" <<'EOF'
import sys
import velk_anonymizer
if not velk_anonymizer.__file__.startswith(sys.argv[1] + "/"):
    sys.exit(f"imported {velk_anonymizer.__file__}, not the wheel installed in {sys.argv[1]}")
EOF
"$venv/bin/python" "$root/scripts/readme_example.py" "$root/README.md"
echo "pytest against $(basename "$wheel") installed in $venv"
"$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$root" -c "$root/pyproject.toml" \
  "$@" "$root/tests/python"

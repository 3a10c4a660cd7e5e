#!/usr/bin/env bash
# Sourced by the other scripts: system packages, then a virtual environment in .venv with the
# module installed from this checkout through pip, the way users install it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/install-deps.sh
if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check "cmake>=3.26" ninja pytest hypothesis mypy types-tqdm \
  dask distributed faker
.venv/bin/python -m pip install -q --disable-pip-version-check .

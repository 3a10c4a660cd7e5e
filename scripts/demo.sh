#!/usr/bin/env bash
# Installs the module into .venv and runs the demo.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
.venv/bin/python scripts/demo.py

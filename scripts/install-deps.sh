#!/usr/bin/env bash
# Installs the Debian packages the build needs, and nothing when they are already present.
set -euo pipefail
# python3-dev: the interpreter's headers, which CMake needs for the module (Development.SABIModule);
# python3-venv: the scripts' virtual environment. The static archives of libpcre2-dev and libicu-dev
# (and of g++'s C++ runtime) go into the wheel of scripts/wheel.sh.
# clang and its runtime build the fuzz targets (libFuzzer with the sanitizers).
packages=(g++ cmake ninja-build pkg-config python3-dev python3-venv libpcre2-dev libicu-dev
  nlohmann-json3-dev libgtest-dev clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

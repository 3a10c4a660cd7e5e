#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs them.
#
#   scripts/fuzz.sh regress        run every target once over its committed corpus
#                                  (fuzz/corpus/<target>/, plus the hand-written inputs of
#                                  fuzz/seeds/<target>/); fails on any crash or failed check
#   scripts/fuzz.sh run SECONDS    fuzz every target for SECONDS each (60 in CI, longer by hand);
#                                  new inputs go to the build folder, never into the repository
#   scripts/fuzz.sh merge          replace the committed corpus by a small set of inputs that
#                                  covers what it and the inputs found by `run` cover
#
# The core sources are compiled here directly (no change to the CMake build); the word lists
# are embedded by the same cmake script the CMake build uses. The Python target runs with
# atheris against the module installed in .venv. Set VELK_FUZZ_BUILD to build elsewhere than
# build/fuzz, and VELK_FUZZ_TARGETS to a space-separated subset of the targets.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

mode="${1:-}"
seconds="${2:-}"
case "$mode" in
  regress | merge) ;;
  run)
    [[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: $0 run SECONDS" >&2; exit 2; } ;;
  *)
    echo "usage: $0 regress | run SECONDS | merge" >&2
    exit 2 ;;
esac

native_targets=(code_regions substitution fast_substitution session_json pattern_matches pipeline)
all_targets=("${native_targets[@]}" python_surface)
read -r -a targets <<<"${VELK_FUZZ_TARGETS:-${all_targets[*]}}"
build="${VELK_FUZZ_BUILD:-build/fuzz}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

# Longest input libFuzzer makes per target; the targets cut their texts shorter still.
declare -A max_len=([code_regions]=4096 [substitution]=2048 [fast_substitution]=2048
  [session_json]=4096 [pattern_matches]=2048 [pipeline]=4096 [python_surface]=2048)
declare -A dict=([code_regions]=fuzz/text.dict [substitution]=fuzz/text.dict
  [fast_substitution]=fuzz/text.dict [session_json]=fuzz/session_json.dict
  [pattern_matches]=fuzz/text.dict [pipeline]=fuzz/text.dict [python_surface]=fuzz/text.dict)

tool() {
  # The first of the given commands that exists.
  local candidate
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
  echo "missing: $*" >&2
  exit 1
}

build_native() {
  local cxx cmake ninja
  cxx="$(tool clang++-14 clang++)"
  cmake="$(tool cmake "$root/.venv/bin/cmake")"
  ninja="$(tool ninja "$root/.venv/bin/ninja")"
  local sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
  local link_sanitize="-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"
  local cxxflags="-std=c++20 -O1 -g -fno-omit-frame-pointer $sanitize -Wall -Wextra -Wpedantic"
  cxxflags+=" -I$root/src -I$root/fuzz $(pkg-config --cflags libpcre2-8 icu-uc)"
  local libs
  libs="$(pkg-config --libs libpcre2-8 icu-uc)"

  {
    echo "cxx = $cxx"
    echo "cxxflags = $cxxflags"
    echo "rule cxx"
    echo "  command = \$cxx \$cxxflags \$extra -MD -MF \$out.d -c \$in -o \$out"
    echo "  depfile = \$out.d"
    echo "  deps = gcc"
    echo "rule archive"
    echo "  command = rm -f \$out && ar crs \$out \$in"
    echo "rule link"
    echo "  command = \$cxx $link_sanitize \$in -o \$out $libs"
    echo "rule embed"
    echo "  command = $cmake -DIN=\$in -DOUT=\$out -DNAME=\$name -P $root/cmake/embed_text.cmake"
    local objects=() src name
    for name in first_names place_names; do
      echo "build generated/embedded_$name.cpp: embed $root/src/velk/$name"
      echo "  name = $name"
      echo "build obj/embedded_$name.o: cxx generated/embedded_$name.cpp"
      echo "  extra = -fsanitize=fuzzer-no-link"
      objects+=("obj/embedded_$name.o")
    done
    for src in "$root"/src/velk/*.cpp; do
      name="$(basename "$src" .cpp)"
      echo "build obj/$name.o: cxx $src"
      echo "  extra = -fsanitize=fuzzer-no-link"
      objects+=("obj/$name.o")
    done
    echo "build libvelk_core.a: archive ${objects[*]}"
    for name in "${native_targets[@]}"; do
      echo "build obj/${name}_fuzzer.o: cxx $root/fuzz/${name}_fuzzer.cpp"
      echo "  extra = -fsanitize=fuzzer-no-link"
      echo "build ${name}_fuzzer: link obj/${name}_fuzzer.o libvelk_core.a"
    done
  } >"$build/build.ninja.new"
  mv "$build/build.ninja.new" "$build/build.ninja"
  if ! "$ninja" -C "$build" -j2 >"$build/ninja.log" 2>&1; then
    grep -v '^\[' "$build/ninja.log" >&2
    exit 1
  fi
}

python_ready() {
  .venv/bin/python -c "import velk_anonymizer, atheris" >/dev/null 2>&1
}

prepare_python() {
  if ! python_ready; then
    source scripts/venv.sh
    .venv/bin/python -m pip install -q --disable-pip-version-check atheris
  fi
}

# Runs one target with libFuzzer's arguments; the command line differs for the Python target.
run_target() {
  local target="$1"
  shift
  local common=(-timeout=30 -rss_limit_mb=3072 "-max_len=${max_len[$target]}"
    "-dict=$root/${dict[$target]}" "-artifact_prefix=$build/artifacts/$target-")
  mkdir -p "$build/artifacts"
  if [ "$target" = python_surface ]; then
    # libFuzzer starts workers (for -merge) by running the script itself.
    PATH="$root/.venv/bin:$PATH" fuzz/python_surface_fuzzer.py "${common[@]}" "$@"
  else
    "$build/${target}_fuzzer" "${common[@]}" "$@"
  fi
}

needs_native=false
for target in "${targets[@]}"; do
  [ "$target" = python_surface ] || needs_native=true
done
$needs_native && build_native
[[ " ${targets[*]} " == *" python_surface "* ]] && prepare_python

mkdir -p "$build/logs"
failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="fuzz/corpus/$target"
  work="$build/work/$target"
  mkdir -p "$corpus" "$work"
  # Hand-written inputs (valid session documents, say) that every run starts from.
  seeds=()
  [ -d "fuzz/seeds/$target" ] && seeds=("fuzz/seeds/$target")
  log="$build/logs/$target.log"
  status=0
  case "$mode" in
    regress)
      run_target "$target" -runs=0 -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1 ||
        status=$? ;;
    run)
      run_target "$target" -max_total_time="$seconds" -print_final_stats=1 "$work" "$corpus" \
        "${seeds[@]}" >"$log" 2>&1 || status=$? ;;
    merge)
      fresh="$build/merge/$target"
      rm -rf "$fresh"
      mkdir -p "$fresh"
      # Edge coverage only, and a greedy set cover: a few small files per target.
      run_target "$target" -set_cover_merge=1 -use_counters=0 "$fresh" "$corpus" "$work" \
        >"$log" 2>&1 || status=$?
      if [ "$status" -eq 0 ]; then
        rm -rf "$corpus"
        mv "$fresh" "$corpus"
      fi ;;
  esac
  executions="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' |
    tail -n 1 || true)"
  files="$(find "$corpus" -type f | wc -l)"
  summary+=("$(printf '%-18s %-6s executions=%-10s corpus files=%s' "$target" \
    "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" "${executions:-?}" "$files")")
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "== $target failed (exit $status); last lines of $log:" >&2
    tail -n 40 "$log" >&2
  fi
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz $mode failed: ${failed[*]} (inputs that crashed are in $build/artifacts/)" >&2
  exit 1
fi

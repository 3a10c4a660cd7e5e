#!/usr/bin/env bash
# Checks the project the way a new user meets it, on a bare Debian bookworm (debootstrap
# --variant=minbase plus python3, python3-venv, python3-pip and git; no compiler, no -dev
# packages), as root in a chroot:
#
#   1. build root: a clean clone of the current branch, then both README commands,
#      `bash scripts/demo.sh` and `bash scripts/test.sh` (test.sh also builds the wheel and the
#      sdist); install-deps.sh again, which must install nothing; the sdist built from source
#      into a new environment, with the README example;
#   2. wheel root: a second bare root that never gets a compiler; the wheel from step 1 goes into
#      a new virtual environment there, is imported, and the README example runs against it.
#
#   sudo bash scripts/fresh-debian-check.sh [STEPS]
#
# STEPS is any of `build wheel` (default: both). The roots live in build/fresh-debian/
# (VELK_FRESH_DIR to put them elsewhere) and are made anew on every run from a cached
# debootstrap tarball, so that only the first run downloads the base system. The branch is
# VELK_FRESH_BRANCH (default: the current one), cloned from this repository: commit first.
# Logs: build/fresh-debian/*.log. Needs root, debootstrap (installed when missing) and network
# access to Debian's and PyPI's mirrors.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap and chroot)" >&2; exit 1; }
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(build wheel)
work="${VELK_FRESH_DIR:-$root/build/fresh-debian}"
branch="${VELK_FRESH_BRANCH:-$(git rev-parse --abbrev-ref HEAD)}"
mkdir -p "$work"
work="$(cd "$work" && pwd)"

if ! command -v debootstrap >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

# The Debian mirror apt already uses (deb822 .sources or one-line .list files).
mirror="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
  2>/dev/null | grep -oE 'https?://[^ ]*/debian/?( |$)' | grep -v security | head -n 1 | tr -d ' ' || true)"
mirror="${mirror:-http://deb.debian.org/debian}"

# The bare system of the issue, downloaded once.
tarball="$work/bookworm-minbase.tgz"
if [ ! -s "$tarball" ]; then
  echo "== debootstrap bookworm minbase from $mirror (once)"
  rm -rf "$work/tarball-root"
  debootstrap --variant=minbase --include=python3,python3-venv,python3-pip,git \
    --make-tarball="$tarball.new" bookworm "$work/tarball-root" "$mirror" >"$work/debootstrap.log" 2>&1
  mv "$tarball.new" "$tarball"
  rm -rf "$work/tarball-root"
fi

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -l "${mounted[$i]}" 2>/dev/null || true
  done
  mounted=()
}
trap unmount_all EXIT

# A new root from the tarball, with /proc, /sys and /dev of the host.
new_root() {
  local dir="$1"
  unmount_all
  # Mounts left by an interrupted run: never delete through them.
  local m
  for m in $(awk -v d="$dir/" 'index($2, d) == 1 {print $2}' /proc/mounts | sort -r); do
    umount -l "$m"
  done
  rm -rf --one-file-system "$dir"
  debootstrap --variant=minbase --include=python3,python3-venv,python3-pip,git \
    --unpack-tarball="$tarball" bookworm "$dir" "$mirror" >"$dir.debootstrap.log" 2>&1
  # Same apt sources as a fresh install: the mirror only, and the security updates.
  printf 'deb %s bookworm main\ndeb %s bookworm-updates main\n' "$mirror" "$mirror" \
    >"$dir/etc/apt/sources.list"
  cp /etc/resolv.conf "$dir/etc/resolv.conf"
  mount -t proc proc "$dir/proc" && mounted+=("$dir/proc")
  mount --rbind /sys "$dir/sys" && mounted+=("$dir/sys")
  mount --rbind /dev "$dir/dev" && mounted+=("$dir/dev")
  mkdir -p "$dir/tmp" && chmod 1777 "$dir/tmp"
  # The host's own trusted certificates, for a network whose HTTPS goes through a proxy of its
  # own (a plain Debian install would not know its certificate, and pip would fail).
  if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$dir/usr/local/share/ca-certificates/"
    in_root "$dir" 'update-ca-certificates' >/dev/null 2>&1
  fi
}

# Runs a shell script as root inside a root, with a new user's plain environment.
in_root() {
  local dir="$1" script="$2"
  env -i HOME=/root LANG=C.UTF-8 TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    chroot "$dir" /bin/bash -euo pipefail -c "$script"
}

seconds() { date +%s; }
results=()

if [[ " ${steps[*]} " == *" build "* ]]; then
  build_root="$work/build-root"
  echo "== build root: clean clone of $branch, then the README commands (log: $work/build.log)"
  new_root "$build_root"
  git clone -q --no-local --branch "$branch" "$root" "$build_root/root/velk"
  if in_root "$build_root" 'command -v cc c++ g++ gcc' >/dev/null 2>&1; then
    echo "the bare root has a compiler already" >&2
    exit 1
  fi
  : >"$work/build.log"
  for command in "bash scripts/demo.sh" "bash scripts/test.sh"; do
    start="$(seconds)"
    echo "-- $command" | tee -a "$work/build.log"
    if in_root "$build_root" "cd /root/velk && $command" >>"$work/build.log" 2>&1; then
      status=ok
    else
      status=FAILED
    fi
    results+=("$(printf '%-24s %-6s %4d s' "$command" "$status" $(($(seconds) - start)))")
    echo "${results[-1]}"
    if [ "$status" != ok ]; then
      tail -n 40 "$work/build.log" >&2
      exit 1
    fi
  done
  # A second run finds everything installed.
  start="$(seconds)"
  in_root "$build_root" 'cd /root/velk && bash -x scripts/install-deps.sh' >"$work/deps-again.log" 2>&1
  if grep -q 'apt-get' "$work/deps-again.log"; then
    echo "install-deps.sh ran apt-get although everything was installed" >&2
    exit 1
  fi
  results+=("$(printf '%-24s %-6s %4d s' "install-deps.sh again" "ok" $(($(seconds) - start)))")
  # The sdist builds from source on the machine install-deps.sh prepared (shared PCRE2 and ICU).
  start="$(seconds)"
  if in_root "$build_root" '
      cd /root && rm -rf sdist-venv && python3 -m venv sdist-venv
      sdist-venv/bin/pip install -q velk/dist/velk_anonymizer-*.tar.gz
      cd /tmp && /root/sdist-venv/bin/python /root/velk/scripts/readme_example.py /root/velk/README.md' \
      >"$work/sdist.log" 2>&1; then
    status=ok
  else
    status=FAILED
    cat "$work/sdist.log" >&2
  fi
  results+=("$(printf '%-24s %-6s %4d s' "pip install sdist" "$status" $(($(seconds) - start)))")
  mkdir -p "$work/dist"
  rm -f "$work/dist"/*.whl
  cp "$build_root"/root/velk/dist/velk_anonymizer-*.whl "$work/dist/"
fi

if [[ " ${steps[*]} " == *" wheel "* ]]; then
  wheel_root="$work/wheel-root"
  wheel="$(ls "$work"/dist/velk_anonymizer-*.whl 2>/dev/null | head -n 1 || true)"
  if [ -z "$wheel" ]; then
    # Without the build step: the wheel of this checkout.
    wheel="$(ls "$root"/dist/velk_anonymizer-*.whl | head -n 1)"
  fi
  echo "== wheel root: $(basename "$wheel") into a bare root without compiler (log: $work/wheel.log)"
  new_root "$wheel_root"
  mkdir -p "$wheel_root/root/dist"
  cp "$wheel" "$wheel_root/root/dist/"
  cp "$root/README.md" "$root/scripts/readme_example.py" "$wheel_root/root/"
  start="$(seconds)"
  if in_root "$wheel_root" '
      cd /root
      if command -v cc c++ gcc g++ >/dev/null; then echo "compiler present" >&2; exit 1; fi
      python3 -m venv v && v/bin/pip install -q dist/*.whl && v/bin/python -c "import velk_anonymizer"
      v/bin/python readme_example.py README.md' >"$work/wheel.log" 2>&1; then
    status=ok
  else
    status=FAILED
  fi
  results+=("$(printf '%-24s %-6s %4d s' "wheel in bare root" "$status" $(($(seconds) - start)))")
  if [ "$status" != ok ]; then
    cat "$work/wheel.log" >&2
  fi
fi

unmount_all
printf '%s\n' "${results[@]}"
for line in "${results[@]}"; do
  [[ "$line" == *FAILED* ]] && exit 1
done
exit 0

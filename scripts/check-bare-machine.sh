#!/usr/bin/env bash
# Runs the README's two commands on a bare Debian 12 system, as a new user would: builds a
# minimal root with debootstrap (the base system, git and certificates, nothing else), clones
# this repository's HEAD into it and runs `bash scripts/demo.sh`, then `bash scripts/test-all.sh`,
# each as root in a clean environment, printing how long each took and its exit status.
# It takes about an hour and needs root; it is not part of CI.
#   check-bare-machine.sh [--setup-only | --packages] [WORK_DIR]
#     (default build/bare-machine, build/bare-packages with --packages; logs kept there)
#     --setup-only  the whole set-up (`install-deps.sh`, every package) and the demo, not the
#                   suite: a few minutes, for changes to what the set-up installs
#     --packages    builds the Debian packages here (`--target deb` of the native preset) and
#                   installs them in the root with apt-get instead: the tools, the example built
#                   with pkg-config, the system's Python, then their removal
#                   (tests/install/check_packages.sh); a few minutes
# HALVEX_DEBIAN_MIRROR overrides the mirror (default: the one this machine uses).
# Whatever happens, it stops what runs inside the root and removes every mount it made; the
# root itself stays for inspection and is replaced by the next run.
set -Eeuo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
setup_only=0
packages=0
case "${1:-}" in
  --setup-only) setup_only=1 && shift ;;
  --packages) packages=1 && shift ;;
esac
if [ $packages = 1 ]; then work=${1:-$src/build/bare-packages}; else work=${1:-$src/build/bare-machine}; fi
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
root=$work/root

say() { echo "bare-machine: $*"; }
fail() {
  say "FAILED: $*" >&2
  exit 1
}
[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, mount and chroot); run: sudo bash $0"

# Everything still running inside the root (a wineserver, a simulator) is ended first.
stop_inside() {
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "$pid" 2>/dev/null
  done
  return 0
}
unmount_all() {
  local m
  stop_inside
  sleep 1
  # Deepest first, so nested mounts (binfmt_misc under proc, pts under dev) go before their parents.
  for m in $(awk -v r="$root/" 'index($2, r) == 1 {print $2}' /proc/mounts | sort -r); do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || say "could not unmount $m" >&2
  done
  return 0
}
trap unmount_all EXIT

if ! command -v debootstrap >/dev/null 2>&1; then
  say "installing debootstrap"
  apt-get update -qq >/dev/null 2>&1 || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
    fail "cannot install debootstrap; run: apt-get install debootstrap"
fi
mirror=${HALVEX_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources \
    2>/dev/null | head -n 1) || true
fi
mirror=${mirror:-http://deb.debian.org/debian}

unmount_all
rm -rf "$root"
say "building a bare Debian 12 root in $root from $mirror"
t0=$(date +%s)
debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror" \
  >"$work/debootstrap.log" 2>&1 || {
  tail -n 20 "$work/debootstrap.log" >&2
  fail "debootstrap (log: $work/debootstrap.log)"
}
say "root ready in $(($(date +%s) - t0)) s"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# What the installer writes and debootstrap does not: without /etc/hosts, localhost does not
# resolve, and a program that connects to it (chromedriver, a local server) fails.
echo halvex-bare >"$root/etc/hostname"
cat >"$root/etc/hosts" <<'HOSTS'
127.0.0.1	localhost
127.0.1.1	halvex-bare
::1		localhost ip6-localhost ip6-loopback
ff02::1		ip6-allnodes
ff02::2		ip6-allrouters
HOSTS
mount -t proc proc "$root/proc"
mount --bind /sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
chroot "$root" getent hosts localhost >/dev/null || fail "localhost does not resolve inside the root"

if [ $packages = 1 ]; then
  # Built on this machine, as a release is; only the packages and the example go in.
  say "building the Debian packages"
  (cd "$src" && cmake --preset native >"$work/deb-build.log" 2>&1 &&
    cmake --build --preset native -j2 --target deb >>"$work/deb-build.log" 2>&1) || {
    tail -n 20 "$work/deb-build.log" >&2
    fail "building the packages (log: $work/deb-build.log)"
  }
  mkdir -p "$root/root/halvex"
  cp "$src"/build/native/packages/*.deb "$src/examples/list_cards.c" "$src/tests/install/check_packages.sh" \
    "$root/root/halvex/"
  say "packages: $(cd "$root/root/halvex" && ls -- *.deb | tr '\n' ' ')"
else
  git clone --quiet "file://$src" "$root/root/halvex"
  say "cloned $(git -C "$root/root/halvex" log -1 --format='%h %s')"
fi

# A login shell's environment and nothing of this machine's.
run_inside() { # name command
  local name=$1 cmd=$2 start rc
  start=$(date +%s)
  rc=0
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /root/halvex && $cmd" </dev/null >"$work/$name.log" 2>&1 || rc=$?
  results+=("$cmd: exit status $rc after $(($(date +%s) - start)) s (log: $work/$name.log)")
  [ $rc = 0 ] || tail -n 30 "$work/$name.log" >&2
  return 0
}
results=()
if [ $packages = 1 ]; then
  run_inside packages "bash check_packages.sh ."
else
  run_inside demo "bash scripts/demo.sh"
  if [ $setup_only = 1 ]; then
    run_inside setup "bash scripts/install-deps.sh"
    run_inside plan "bash scripts/install-deps.sh --plan"
  else
    run_inside test-all "bash scripts/test-all.sh"
  fi
fi
stop_inside
say "summary"
printf '  %s\n' "${results[@]}"
[ $setup_only = 1 ] && sed 's/^/  still missing after the set-up: /' "$work/plan.log"
[ -f "$work/packages.log" ] && grep '^packages: ' "$work/packages.log" | sed 's/^/  /'
[ -f "$work/test-all.log" ] &&
  grep -E '^(==== test|[0-9]+% tests passed|Total Test time)' "$work/test-all.log" | sed 's/^/  /'
! printf '%s\n' "${results[@]}" | grep -qv 'exit status 0 '

#!/usr/bin/env bash
# Runs as root inside a bare Debian root (scripts/check-bare-machine.sh --packages): installs the
# Debian packages of DIR with apt-get, uses them as a user would, removes them and checks that
# nothing of them is left. One line per step on stdout, "packages: PASS" at the end.
#   check_packages.sh DIR   (DIR holds the four .deb files and list_cards.c)
set -Eeuo pipefail
dir=$(cd "$1" && pwd)
export DEBIAN_FRONTEND=noninteractive
step() { echo "packages: $*"; }
fail() {
  echo "packages: FAILED: $*" >&2
  exit 1
}
ours=(libhalvex1 libhalvex-dev halvex-tools python3-halvex)

# What the checks themselves use (a C compiler, pkg-config, the system's Python) comes first,
# so that the snapshot before the packages holds it and the one after their removal matches.
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends gcc libc6-dev pkg-config python3 >/dev/null ||
  fail "installing the compiler and pkg-config"
snapshot() { # every path of the system but the package tools' state, logs and scratch folders
  find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /root \
    -o -path /run -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
    -o -path /var/log -o -path /etc/ld.so.cache \) -prune -o -print | sort
}
snapshot >/tmp/before.txt

apt-get install -y -qq "$dir"/*.deb >/tmp/apt-install.log 2>&1 || {
  tail -n 20 /tmp/apt-install.log >&2
  fail "apt-get install ./*.deb"
}
for p in "${ours[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p")" = "install ok installed" ] || fail "$p is not installed"
done
step "installed: $(dpkg-query -W -f='${Package} ${Version}, ' "${ours[@]}" | sed 's/, $//')"

version=$(halvexctl --version) || fail "halvexctl --version exited $?"
step "halvexctl --version: $version"
[ "$(command -v halvexctl)" = /usr/bin/halvexctl ] || fail "halvexctl is not /usr/bin/halvexctl"
ldd /usr/bin/halvexctl | grep -Eq '=> /(usr/)?lib/[^ ]*/libhalvex\.so\.1 ' ||
  fail "halvexctl does not load the system's libhalvex.so.1: $(ldd /usr/bin/halvexctl)"

# The packaged simulator with a card in slot 3, its command port linked in a scratch folder.
sim_dir=$(mktemp -d)
halvex-sim --card "3:X16:HALVEX X16 PACKAGED" --link "$sim_dir" --quiet >"$sim_dir/out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -qx ready "$sim_dir/out" && break
  sleep 0.1
done
grep -qx ready "$sim_dir/out" || fail "halvex-sim did not start: $(cat "$sim_dir/out")"
list=$(halvexctl --port "$sim_dir/command" list) || fail "halvexctl list exited $?: $list"
grep -q "HALVEX X16 PACKAGED" <<<"$list" || fail "halvexctl list did not show the card: $list"
step "halvexctl list against halvex-sim: $(grep -c 'HALVEX X16 PACKAGED' <<<"$list") card in slot 3"

man -w halvexctl >/dev/null 2>&1 || [ -f /usr/share/man/man1/halvexctl.1.gz ] ||
  fail "no halvexctl man page"
[ -f /usr/share/bash-completion/completions/halvexctl ] || fail "no bash completion"

# The example, built as a user builds against an installed library.
flags=$(pkg-config --cflags --libs halvex) || fail "pkg-config knows no halvex"
[ "$(pkg-config --modversion halvex)" = "${version##* }" ] || fail "pkg-config's version is not halvexctl's"
gcc -Wall -Werror -o /tmp/list_cards "$dir/list_cards.c" $flags || fail "list_cards.c did not build"
out=$(/tmp/list_cards "$sim_dir/command") || fail "list_cards exited $?: $out"
grep -q "slot  3  HALVEX X16 PACKAGED" <<<"$out" || fail "list_cards did not find the card: $out"
step "list_cards.c built with 'pkg-config --cflags --libs halvex' ($flags) and found the card"

# The system's Python, the system's library, the packaged simulator.
py=$(cd / && python3 - <<'PY'
import halvex
from halvex import Chassis
from halvex._library import load_library

library = load_library()
import os

maps = {line.split()[-1] for line in open("/proc/self/maps") if "libhalvex.so" in line}
mapped = sorted(os.path.realpath(m) for m in maps)  # /lib is /usr/lib on Debian 12
assert mapped and all(m.startswith("/usr/lib/") and "python" not in m for m in mapped), mapped
with Chassis.simulated({5: "Y48"}) as chassis:
    models = [card.model for card in chassis.cards()]
assert models == ["Y48"], models
print("halvex %s from %s, library %s, a simulated Y48 found" % (halvex.__version__, halvex.__file__, mapped[0]))
PY
) || fail "import halvex in the system's Python"
step "python3: $py"
[ "$(halvex-panel --help | head -n 1 | cut -c1-19)" = "usage: halvex-panel" ] || fail "halvex-panel --help"
kill $sim
wait $sim 2>/dev/null || true
trap - EXIT
rm -rf "$sim_dir" /tmp/list_cards

# Removed with what they pulled in, nothing of them stays.
apt-get purge -y -qq "${ours[@]}" >/tmp/apt-remove.log 2>&1 || fail "apt-get purge"
apt-get autoremove --purge -y -qq >>/tmp/apt-remove.log 2>&1 || fail "apt-get autoremove"
if grep -i 'not empty so not removed' /tmp/apt-remove.log >&2; then
  fail "dpkg left folders behind"
fi
for p in "${ours[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || true
  [ -z "$status" ] || [ "$status" = "unknown ok not-installed" ] || fail "$p is still known to dpkg: $status"
done
snapshot >/tmp/after.txt
left=$(comm -13 /tmp/before.txt /tmp/after.txt)
[ -z "$left" ] || fail "left behind after removal: $left"
gone=$(comm -23 /tmp/before.txt /tmp/after.txt)
[ -z "$gone" ] || fail "removed what was there before: $gone"
step "removed (purge, autoremove): no path added or lost against the system before"
step PASS

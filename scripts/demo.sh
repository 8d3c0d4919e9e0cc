#!/usr/bin/env bash
# A short bench session against a simulated chassis (an X16 in slot 1, an X48 in slot 2, a Y48
# in slot 5), driven with the command-line tool: discovery, a crosspoint and a row's lo line
# closed and opened, refused commands with their messages, and a few seconds of signal watching
# while the simulated inputs change. Everything it starts, it stops.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh --demo
echo "== building the library, the tool and the simulator"
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target halvex-sim halvexctl >/dev/null

ports=$(mktemp -d "${TMPDIR:-/tmp}/halvex-demo.XXXXXX")
sim=
changer=
stop_all() {
  [ -n "$changer" ] && kill "$changer" 2>/dev/null && wait "$changer" 2>/dev/null
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$ports"
  echo "== stopped the simulated chassis"
}
trap stop_all EXIT

build/demo/simulator/halvex-sim --card "1:X16:HALVEX X16 DEMO SN0001" \
  --card "2:X48:HALVEX X48 DEMO SN0002" --card "5:Y48:HALVEX Y48 DEMO SN0005" \
  --link "$ports" --control 0 >"$ports/sim.out" 2>"$ports/wire.log" &
sim=$!
for _ in $(seq 50); do grep -q '^ready' "$ports/sim.out" && break; sleep 0.1; done
control=$(awk '/^control /{print $2}' "$ports/sim.out")
echo "== simulated chassis on $(readlink "$ports/command"), control channel $control"

export HALVEX_PORT=$ports/command
ctl() {
  echo "\$ halvexctl $*"
  build/demo/tools/halvexctl "$@" || echo "  (exit status $?)"
}
sim_request() {
  exec 3<>"/dev/tcp/${control%:*}/${control##*:}"
  printf '%s\n' "$1" >&3
  read -r reply <&3
  exec 3>&-
  echo "$reply"
}

echo "== discovery"
ctl list
echo "== a crosspoint and a row's lo line"
ctl close 1 matrix 5 7
ctl close 2 row 4 lo
echo "   chassis: slot 1 $(sim_request 'relays 1'), slot 2 $(sim_request 'relays 2')"
ctl open 1 matrix 5 7
ctl open 2 row 4 lo
echo "== refused commands"
ctl close 5 pull-up
ctl close 1 matrix 99 7
echo "== watching the inputs of card 5 while they change"
(
  sleep 1  # the tool's discovery comes first
  for byte in 0xfe 0xfc 0xf0 0x00 0xff; do
    sleep 0.7
    sim_request "status 5 $byte" >/dev/null
  done
) &
changer=$!
ctl watch 5 --monitor-port "$ports/monitor-05" --interval 0.1 --duration 5
wait "$changer" 2>/dev/null || true
changer=
echo "== the relay command lines on the wire"
grep -E ' cmd <- "(CLOSE|OPEN)\(' "$ports/wire.log" | sed 's/^/   /'

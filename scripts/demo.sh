#!/usr/bin/env bash
# Builds the library, starts a simulated chassis (an X16 in slot 3, a Y48 in slot 7) and lists
# what discovery finds on it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh --native-only
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j2 --target halvex-sim list_cards >/dev/null

ports=$(mktemp -d)
build/demo/simulator/halvex-sim --card "3:X16:HALVEX X16 DEMO" --card "7:Y48:HALVEX Y48 DEMO" \
  --link "$ports" >"$ports/sim.out" 2>"$ports/sim.log" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$ports"' EXIT
for _ in $(seq 50); do grep -q '^ready' "$ports/sim.out" && break; sleep 0.1; done

echo "simulated chassis on $(readlink "$ports/command")"
build/demo/examples/list_cards "$ports/command"
echo "lines the chassis received:"
sed 's/^/  /' "$ports/sim.log"

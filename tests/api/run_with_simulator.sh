#!/usr/bin/env bash
# Runs the API suite against a simulated chassis.
#   run_with_simulator.sh native|wine|wine64 SIMULATOR LIBRARY plain|release|debug TESTS [gtest args]
# native: TESTS loads LIBRARY and opens the simulator's ptys by path.
# wine:   TESTS is a Windows program; the ptys become COM5 (command) and COM6-COM21 (the
#         monitoring ports of slots 1-16) of a private Wine prefix under the build folder.
# wine64: the same for a 64-bit program, in a 64-bit prefix of its own run by wine64; the
#         program's own starts of Windows programs use $HALVEX_WINE (wine or wine64's loader).
set -euo pipefail
mode=$1 sim=$2 lib=$3 names=$4 tests=$5
shift 5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/halvex-suite.XXXXXX")
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --link "$work/ports" --control 0 --quiet >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
for _ in $(seq 100); do
  grep -q '^ready' "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
grep -q '^ready' "$work/sim.out" || { echo "simulator did not start" >&2; cat "$work/sim.err" >&2; exit 1; }
export HALVEX_SIM_CONTROL=$(awk '/^control /{print $2}' "$work/sim.out")
export HALVEX_EXPORT_NAMES=$names


case $mode in
  native)
    export HALVEX_LIBRARY=$lib
    export HALVEX_PORT=$work/ports/command
    mons=()
    for n in $(seq -w 1 16); do mons+=("$work/ports/monitor-$n"); done
    export HALVEX_MONITOR_PORTS=$(IFS=,; echo "${mons[*]}")
    "$tests" "$@"
    if [[ $(basename "$tests") == api_tests* ]]; then
      echo "-- unload with a monitor running"
      timeout 30 "$tests" --unload-probe
      echo "-- exit while other threads are in calls"
      # What this looks for is use of freed memory; LeakSanitizer cannot stop threads that are
      # still calling at exit, and leaks have tests of their own.
      for _ in 1 2 3 4 5; do
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" timeout 30 "$tests" --exit-race-probe
      done
    fi
    ;;
  wine | wine64)
    if [ "$mode" = wine64 ]; then export WINE_ENV_ARCH=win64; fi
    # shellcheck source=../wine/wine-env.sh
    source "$here/../wine/wine-env.sh"
    # One private prefix for both 32-bit Windows builds, under the build folder (and one for
    # the 64-bit build).
    wine_env_init "$(dirname "$(dirname "$lib")")"
    export HALVEX_WINE=$WINE_ENV_WINE
    wine_env_start_server
    stop_wine() { wine_env_stop_server; cleanup; }
    trap stop_wine EXIT
    wine_env_map_com 5 "$work/ports/command"
    mons=()
    for n in $(seq 1 16); do
      wine_env_map_com $((n + 5)) "$work/ports/monitor-$(printf %02d "$n")"
      mons+=("\\\\.\\COM$((n + 5))")
    done
    export HALVEX_MONITOR_PORTS=$(IFS=,; echo "${mons[*]}")
    export HALVEX_PORT=COM5
    export HALVEX_LIBRARY="Z:$(readlink -f "$lib" | tr / '\\\\')"
    if [[ $tests == *.exe ]]; then
      # The program keeps the subshell's process id (exec all the way), so it can read how
      # Linux counts its processor time (the benchmark does).
      (export HALVEX_UNIX_PID=$BASHPID; exec "$HALVEX_WINE" "$tests" "$@")
    else
      "$tests" "$@"  # a host program that starts Windows programs itself
    fi
    if [[ $(basename "$tests") == api_tests* ]]; then
      echo "-- unload with a monitor running"
      timeout 120 "$HALVEX_WINE" "$tests" --unload-probe
      echo "-- exit while other threads are in calls"
      timeout 120 "$HALVEX_WINE" "$tests" --exit-race-probe
    fi
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac

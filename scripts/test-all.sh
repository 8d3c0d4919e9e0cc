#!/usr/bin/env bash
# Builds every configuration and runs every test: the native suite, the same suite under
# AddressSanitizer+UBSan and ThreadSanitizer, the two 32-bit Windows DLLs under Wine and the
# 64-bit one under 64-bit Wine. The thread-safety build is only compiled: clang checking the lock
# annotations is its test.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh

# A missing Wine fails the run: the Windows library is never left untested.
command -v wine >/dev/null || { echo "wine is required for the Windows tests" >&2; exit 1; }

configs=(native asan tsan fuzz win-release win-debug win64)
for preset in "${configs[@]}" thread-safety; do
  echo "==== build $preset"
  # A folder configured with another generator (Unix Makefiles, before the presets used Ninja)
  # cannot be configured again in place.
  cache=build/$preset/CMakeCache.txt
  if [ -f "$cache" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
    rm -rf "$cache" "build/$preset/CMakeFiles"
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
for preset in "${configs[@]}"; do
  echo "==== test $preset"
  # The fuzz targets are independent programs that each run for a fixed time: side by side, one
  # per core. The other suites hold timing bounds, and the Windows ones share a Wine prefix.
  parallel=()
  if [ "$preset" = fuzz ]; then parallel=(--parallel "$(nproc)"); fi
  ctest --preset "$preset" "${parallel[@]}" || status=1
done
exit $status

#!/usr/bin/env bash
# Builds every configuration and runs every test: the native suite, the same suite under
# AddressSanitizer+UBSan and ThreadSanitizer, and both Windows DLLs under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh

# A missing Wine fails the run: the Windows library is never left untested.
command -v wine >/dev/null || { echo "wine is required for the Windows tests" >&2; exit 1; }

configs=(native asan tsan fuzz win-release win-debug)
for preset in "${configs[@]}"; do
  echo "==== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
for preset in "${configs[@]}"; do
  echo "==== test $preset"
  ctest --preset "$preset" || status=1
done
exit $status

#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine; does nothing for what is
# already there. Pass --native-only to skip the Windows cross toolchain and Wine.
set -euo pipefail
native_only=0
[ "${1:-}" = "--native-only" ] && native_only=1

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || need+=(libgtest-dev)
if [ $native_only = 0 ]; then
  [ -d /usr/src/googletest ] || need+=(googletest)
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
  # 32-bit Windows programs need Wine's i386 half as well.
  if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    need+=(wine wine32:i386)
  fi
fi
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
if printf '%s\n' "${need[@]}" | grep -q ':i386$'; then
  $SUDO dpkg --add-architecture i386
fi
echo "installing: ${need[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null

#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine; does nothing for what is
# already there. Pass --native-only to skip the Windows cross toolchain and Wine.
set -euo pipefail
native_only=0
[ "${1:-}" = "--native-only" ] && native_only=1

need=()
backports=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || need+=(libgtest-dev)
command -v python3 >/dev/null || need+=(python3)
command -v pkg-config >/dev/null || need+=(pkg-config)
if [ $native_only = 0 ]; then
  [ -d /usr/src/googletest ] || need+=(googletest)
  # libFuzzer and the sanitizer runtimes of clang.
  command -v clang++ >/dev/null || need+=(clang)
  dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
  # 32-bit Windows programs need Wine's i386 half; wineserver runs from the 64-bit half.
  for pkg in wine wine32:i386 wine64; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  # Kernels without 32-bit support run the i386 Wine loader through qemu-user, which must be
  # version 8 or later (bookworm's own 7.2 cannot map Wine's shared user data).
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    major=$(qemu-i386-static --version 2>/dev/null | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
    [ "${major:-0}" -ge 8 ] || backports+=(qemu-user-static)
  fi
fi
[ ${#need[@]} -eq 0 ] && [ ${#backports[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${need[@]}" | grep -q ':i386$'; then
  $SUDO dpkg --add-architecture i386
fi
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ ${#backports[@]} -gt 0 ] && [ "$codename" = bookworm ] &&
   ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  # The same mirror the machine already uses, with the backports suite.
  mirror=$(grep -hsoE '^URIs:[[:space:]]*[^[:space:]]+' /etc/apt/sources.list.d/*.sources | head -n1 | awk '{print $2}')
  [ -n "$mirror" ] || mirror=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$mirror" | $SUDO tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
fi
echo "installing: ${need[*]} ${backports[*]}"
$SUDO apt-get update -qq
if [ ${#need[@]} -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [ ${#backports[@]} -gt 0 ]; then
  target=()
  [ "$codename" = bookworm ] && target=(-t bookworm-backports)
  $SUDO apt-get install -y -qq --no-install-recommends "${target[@]}" "${backports[@]}" >/dev/null
fi

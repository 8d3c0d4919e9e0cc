#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine; does nothing for what is already
# there.
#   install-deps.sh [--demo | --native-only] [--plan]
#     --demo         only what building the tool and the simulator needs (the demo)
#     --native-only  skip the Windows cross toolchain, Wine and the fuzzing compiler
#     --plan         print the packages it would install, one a line (NAME/bookworm-backports
#                    for those from backports), and install nothing
# HALVEX_APT_RETRY_PAUSE: seconds between tries of a failed apt-get update (default 20).
# HALVEX_SETUP_ROOT names another root whose /etc/apt, /etc/os-release and Wine loader are read
# instead of this machine's (the set-up's own test uses it); the package database is always
# the one dpkg-query reports.
#
# Every probe tolerates a missing program; a step that fails says what failed and what to run
# by hand, and the script exits non-zero. It never stops without saying why.
set -Eeuo pipefail
trap 'echo "install-deps: stopped unexpectedly at line $LINENO ($BASH_COMMAND); please report it" >&2' ERR

native_only=0
demo=0
plan=0
for arg in "$@"; do
  case "$arg" in
    --native-only) native_only=1 ;;
    --demo) demo=1 native_only=1 ;;
    --plan) plan=1 ;;
    *) echo "install-deps: unknown option $arg (use --demo or --native-only, and/or --plan)" >&2; exit 64 ;;
  esac
done
root=${HALVEX_SETUP_ROOT:-}

fail() { # what failed, what to run by hand
  echo "install-deps: FAILED: $1; run by hand: $2" >&2
  exit 1
}

command -v dpkg-query >/dev/null 2>&1 ||
  fail "dpkg-query not found (this set-up needs Debian or a derivative)" \
    "install cmake, ninja, g++, make, GoogleTest, python3 and pkg-config with your package manager"

installed() { # package -> status 0 when dpkg has it installed
  local status
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || true
  [ "$status" = "install ok installed" ]
}

qemu_major() { # major version of qemu-i386-static on PATH, 0 when there is none
  local version=
  if command -v qemu-i386-static >/dev/null 2>&1; then
    version=$(qemu-i386-static --version 2>/dev/null |
      sed -n 's/.*version \([0-9][0-9]*\)\..*/\1/p' | head -n 1) || true
  fi
  echo "${version:-0}"
}

# Runs Wine's 32-bit loader: false where it is missing or the kernel cannot start it.
wine32_runs() {
  [ -x "$root/usr/lib/wine/wine" ] && "$root/usr/lib/wine/wine" --version >/dev/null 2>&1
}

codename=
if [ -r "$root/etc/os-release" ]; then
  codename=$(sed -n 's/^VERSION_CODENAME=["]\{0,1\}\([^"]*\)["]\{0,1\}$/\1/p' "$root/etc/os-release") || true
fi

# What is missing: Debian packages from the release itself, and qemu, which on bookworm must
# come from backports (its own 7.2 cannot map Wine's shared user data).
need=()
want() { installed "$1" || need+=("$1"); }
# The demo builds the tool and the simulator with CMake's default generator, and no more: the
# tool writes JSON with nlohmann-json and edits its shell's lines with libedit; both read fixture
# files with toml++ (header-only, for both platforms).
for pkg in cmake g++ make nlohmann-json3-dev libedit-dev libtomlplusplus-dev; do want "$pkg"; done
# The presets generate Ninja builds; make builds the example against an installed package.
if [ $demo = 0 ]; then for pkg in ninja-build libgtest-dev python3 pkg-config; do want "$pkg"; done; fi
# The API reference.
if [ $demo = 0 ]; then want doxygen; fi
# The Python package: its tests (pytest), type check (mypy), wheel built and installed into a
# fresh virtual environment; the soft front panel driven in headless Chromium by Selenium (with
# a Korean font, so that its screenshots show the messages).
if [ $demo = 0 ]; then
  for pkg in python3-pytest mypy python3-venv python3-pip python3-setuptools python3-wheel \
    chromium chromium-driver python3-selenium fonts-nanum; do want "$pkg"; done
  # The C# declarations of the calling guide, compiled and run natively against libhalvex.so.
  for pkg in mono-mcs mono-runtime libmono-i18n4.0-all; do want "$pkg"; done
fi
# The Debian packages' check: lintian on what `--target deb` makes.
if [ $demo = 0 ]; then want lintian; fi
if [ $native_only = 0 ]; then
  want googletest                          # sources: GoogleTest is built with the cross compiler
  want clang; want libclang-rt-14-dev      # libFuzzer and clang's sanitizer runtimes
  want g++-mingw-w64-i686
  want g++-mingw-w64-x86-64                # Halvex64.dll, the 64-bit build
  want llvm-14; want lld-14                # MSVC-format import libraries and an MSVC-ABI client
  # 32-bit Windows programs need Wine's i386 half; wineserver runs from the 64-bit half.
  for pkg in wine wine32:i386 wine64; do want "$pkg"; done
fi

# The guest that drives real 16550 UARTs (tests/uart): QEMU, a static busybox for its
# initramfs, and Debian's kernel, whose package is only downloaded into $guest_cache (the guest
# runner unpacks it) since installing a kernel on this machine is neither wanted nor needed.
guest_cache=${HALVEX_GUEST_CACHE:-$root/var/cache/halvex/guest}
guest_kernel=()
if [ $demo = 0 ]; then
  want qemu-system-x86; want busybox-static
  if ! installed linux-image-amd64 && ! compgen -G "$guest_cache/linux-image-*.deb" >/dev/null; then
    guest_kernel=(linux-image-amd64)
  fi
fi

# Kernels without 32-bit support run the i386 Wine loader through qemu-user (version 8 or
# later). Before Wine is installed that cannot be tried, so qemu is planned then too.
qemu=()
qemu_needed() { [ $native_only = 0 ] && ! wine32_runs && [ "$(qemu_major)" -lt 8 ]; }
qemu_package() {
  if [ "$codename" = bookworm ]; then echo qemu-user-static/bookworm-backports; else echo qemu-user-static; fi
}
if qemu_needed; then qemu=("$(qemu_package)"); fi

# The mirror this machine already uses, for the backports suite.
backports_listed() {
  grep -rqs 'bookworm-backports' "$root/etc/apt/sources.list" "$root/etc/apt/sources.list.d/"
}
debian_mirror() {
  local f mirror=
  for f in "$root"/etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' "$f" | head -n 1) || true
    [ -n "$mirror" ] && break
  done
  if [ -z "$mirror" ] && [ -f "$root/etc/apt/sources.list" ]; then
    # deb [options] URI suite components
    mirror=$(sed -n 's/^deb\([[:space:]]\{1,\}\[[^]]*\]\)\{0,1\}[[:space:]]\{1,\}\([^[:space:]]*\).*/\2/p' \
      "$root/etc/apt/sources.list" | head -n 1) || true
  fi
  echo "${mirror:-http://deb.debian.org/debian}"
}
add_backports=0
if [ ${#qemu[@]} -gt 0 ] && [ "$codename" = bookworm ] && ! backports_listed; then
  add_backports=1
  mirror=$(debian_mirror)
fi

if [ $plan = 1 ]; then
  if [ $add_backports = 1 ]; then echo "install-deps: would add bookworm-backports from $mirror" >&2; fi
  if [ ${#guest_kernel[@]} -gt 0 ]; then echo "install-deps: would download linux-image-amd64's kernel into $guest_cache (not installed)" >&2; fi
  printf '%s\n' "${need[@]}" "${qemu[@]}" "${guest_kernel[@]}" | sed '/^$/d'
  exit 0
fi
[ ${#need[@]} -eq 0 ] && [ ${#qemu[@]} -eq 0 ] && [ ${#guest_kernel[@]} -eq 0 ] && exit 0

SUDO=
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null 2>&1 ||
    fail "installing packages needs root and sudo is not installed" \
      "su -c 'apt-get install ${need[*]} ${qemu[*]}'"
  SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
step() { # what, command...: runs the command, on failure shows its output and says what to do
  local what=$1
  shift
  if ! $SUDO "$@" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    fail "$what" "${SUDO:+sudo }$*"
  fi
}
# A mirror caught mid-sync serves lists that fail their checksums for a while; after three tries
# the lists that did arrive are used, taking packages from the release itself so that both
# halves of a multi-arch pair (Wine's) come from lists of one state.
from_release=()
update_lists() {
  local try
  for try in 1 2 3; do
    $SUDO apt-get update >"$log" 2>&1 && ! grep -q '^E: ' "$log" && return 0
    echo "install-deps: the package lists did not all download (try $try of 3)" >&2
    [ $try = 3 ] || [ "${HALVEX_APT_RETRY_PAUSE:-20}" = 0 ] || sleep "${HALVEX_APT_RETRY_PAUSE:-20}"
  done
  grep '^E: ' "$log" >&2 || true
  if grep -q '^E: Some index files failed to download' "$log"; then
    echo "install-deps: going on with the lists that did download, from the release itself" >&2
    from_release=(-t "$codename")
    return 0
  fi
  fail "reading the package lists" "${SUDO:+sudo }apt-get update"
}

if [[ " ${need[*]} " == *":i386 "* ]] &&
  ! dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then
  step "adding the i386 architecture for Wine's 32-bit half" dpkg --add-architecture i386
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  update_lists
  step "installing ${need[*]}" apt-get install -y --no-install-recommends "${from_release[@]}" "${need[@]}"
fi
# With Wine in place its loader can be tried: qemu only where the kernel cannot start it.
if [ ${#qemu[@]} -gt 0 ] && qemu_needed; then
  echo "installing: ${qemu[*]} (this kernel cannot run 32-bit programs)"
  if [ $add_backports = 1 ]; then
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$mirror" >"$log.sources"
    step "adding bookworm-backports from $mirror" \
      cp "$log.sources" /etc/apt/sources.list.d/bookworm-backports.sources
    rm -f "$log.sources"
  fi
  update_lists
  step "installing ${qemu[*]}" apt-get install -y --no-install-recommends "${from_release[@]}" "${qemu[@]}"
fi
# The guest's kernel: the package linux-image-amd64 depends on, downloaded and kept.
if [ ${#guest_kernel[@]} -gt 0 ]; then
  echo "downloading: the kernel of linux-image-amd64 into $guest_cache"
  [ ${#need[@]} -gt 0 ] || update_lists
  kernel_pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1) || true
  [ -n "$kernel_pkg" ] || fail "finding the kernel package linux-image-amd64 depends on" \
    "apt-cache depends linux-image-amd64"
  step "making $guest_cache" mkdir -p "$guest_cache"
  (cd "$guest_cache" && step "downloading $kernel_pkg" apt-get download "$kernel_pkg")
fi
rm -f "$log"

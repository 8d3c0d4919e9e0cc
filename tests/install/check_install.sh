#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds the example against the installed package,
# once through find_package(Halvex) and once through pkg-config, then runs both against the
# simulated chassis that run_with_simulator.sh started (HALVEX_PORT, HALVEX_SIM_CONTROL).
#   check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/halvex-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix/usr" >/dev/null
for f in include/halvex.h lib/libhalvex.so bin/halvexctl bin/halvex-sim \
         lib/cmake/Halvex/HalvexConfig.cmake lib/pkgconfig/halvex.pc; do
  [ -e "$prefix/usr/$f" ] || { echo "FAIL: $f was not installed" >&2; exit 1; }
done

# The package must not point back into the build or source tree.
if grep -rqs -e "$build" -e "$src/include" "$prefix/usr/lib/cmake" "$prefix/usr/lib/pkgconfig"; then
  echo "FAIL: the installed package refers to the build tree" >&2
  exit 1
fi

cmake -S "$src/examples" -B "$prefix/cmake-example" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/cmake-example" >/dev/null
cc -o "$prefix/pkgconfig-example" "$src/examples/list_cards.c" \
  $(PKG_CONFIG_PATH="$prefix/usr/lib/pkgconfig" pkg-config --cflags --libs halvex)

# A card in slot 3 for the examples to find.
exec 3<>"/dev/tcp/${HALVEX_SIM_CONTROL%:*}/${HALVEX_SIM_CONTROL##*:}"
printf 'reset\ncard 3 X16 HALVEX X16 INSTALLED\n' >&3
read -r _ <&3
read -r _ <&3
exec 3>&-

for example in "$prefix/cmake-example/list_cards" "$prefix/pkgconfig-example"; do
  out=$(LD_LIBRARY_PATH="$prefix/usr/lib" "$example" "$HALVEX_PORT")
  echo "$out"
  grep -q "slot  3  HALVEX X16 INSTALLED" <<<"$out" || { echo "FAIL: $example did not find the card" >&2; exit 1; }
  if ldd "$example" | grep -q "$build"; then
    echo "FAIL: $example links against the build tree" >&2
    exit 1
  fi
done
echo "installed package: header, library, tools, CMake package and pkg-config all usable"

#!/usr/bin/env bash
# Installs a build into a scratch prefix, moves the installed tree, and checks that it works
# from there with no environment variable: the tool and the simulator start, report the
# project's version as the pkg-config file, the CMake package and the Python package do, and
# the example builds against the installed package (find_package and pkg-config) and finds the
# simulated card that run_with_simulator.sh started (HALVEX_PORT, HALVEX_SIM_CONTROL).
#   check_install.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 src=$2 version=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/halvex-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$scratch/first" >/dev/null
# Relocated after installing: nothing may depend on where it was installed first.
mv "$scratch/first" "$scratch/usr"
prefix=$scratch/usr
for f in include/halvex.h lib/libhalvex.so lib/libhalvex.so.1 bin/halvexctl bin/halvex-sim \
         lib/cmake/Halvex/HalvexConfig.cmake lib/pkgconfig/halvex.pc \
         share/doc/Halvex/LICENSE share/doc/Halvex/CHANGELOG.md share/man/man1/halvexctl.1 \
         share/bash-completion/completions/halvexctl; do
  [ -e "$prefix/$f" ] || fail "$f was not installed"
done
soname=$(objdump -p "$prefix/lib/libhalvex.so" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libhalvex.so.1 ] || fail "the library's soname is '$soname', not libhalvex.so.1"

# The package must not point back into the build or source tree.
if grep -rqs -e "$build" -e "$src/include" "$prefix/lib/cmake" "$prefix/lib/pkgconfig"; then
  fail "the installed package refers to the build tree"
fi

# A card in slot 3 for the tool and the examples to find.
exec 3<>"/dev/tcp/${HALVEX_SIM_CONTROL%:*}/${HALVEX_SIM_CONTROL##*:}"
printf 'reset\ncard 3 X16 HALVEX X16 INSTALLED\n' >&3
read -r _ <&3
read -r _ <&3
exec 3>&-

# Installed programs start from the moved prefix with no LD_LIBRARY_PATH.
unset LD_LIBRARY_PATH
"$prefix/bin/halvexctl" --help >/dev/null || fail "installed halvexctl --help exited $?"
list=$("$prefix/bin/halvexctl" --port "$HALVEX_PORT" list) || fail "installed halvexctl list exited $?"
grep -q "HALVEX X16 INSTALLED" <<<"$list" || fail "installed halvexctl list did not show the card: $list"

# One version everywhere.
check_version() { # what, reported
  [ "$2" = "$version" ] || fail "$1 reports version '$2', the project is $version"
}
check_version halvexctl "$("$prefix/bin/halvexctl" --version | sed -n 's/^halvexctl //p')"
check_version halvex-sim "$("$prefix/bin/halvex-sim" --version | sed -n 's/^halvex-sim //p')"
check_version pkg-config "$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --modversion halvex)"
check_version "the Python package" "$(cd "$src/bindings/python" && python3 -c 'import halvex; print(halvex.__version__)')"
grep -qx 'version = {attr = "halvex.__version__"}' "$src/bindings/python/pyproject.toml" ||
  fail "the Python package's metadata does not take its version from halvex.__version__"

cmake -S "$src/examples" -B "$scratch/cmake-example" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/cmake.log"
check_version "the CMake package" "$(sed -n 's/^-- Halvex version //p' "$scratch/cmake.log")"
cmake --build "$scratch/cmake-example" >/dev/null
cc -o "$scratch/pkgconfig-example" "$src/examples/list_cards.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs halvex)

# CMake gives the example a run path to the package; pkg-config leaves that to the user.
for example in "$scratch/cmake-example/list_cards" "LD_LIBRARY_PATH=$prefix/lib $scratch/pkgconfig-example"; do
  out=$(env $example "$HALVEX_PORT")
  echo "$out"
  grep -q "slot  3  HALVEX X16 INSTALLED" <<<"$out" || fail "$example did not find the card"
done
if ldd "$scratch/cmake-example/list_cards" | grep -q "$build"; then
  fail "the example links against the build tree"
fi
echo "installed package, moved: tools start, version $version everywhere, examples build and run"

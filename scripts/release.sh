#!/usr/bin/env bash
# Makes every artifact of the project's version in one folder, build/release/halvex-VERSION/:
# the Debian packages, the Python wheel, the Windows kit (32-bit and 64-bit DLLs), the HTML API
# reference as an archive, and SHA256SUMS over them (`sha256sum -c SHA256SUMS` in the folder).
# It refuses, before building anything, when the tree has uncommitted changes or untracked
# files, or when CHANGELOG.md has no entry "## VERSION (DATE)" for the version.
#   release.sh              checks, then `cmake --build --preset native --target release`
#   release.sh --assemble NATIVE_BUILD  what that target runs once the native artifacts are
#                           built: checks again, builds the Windows kit and fills the folder
# HALVEX_JOBS: parallel jobs of the builds it starts (default 2).
set -Eeuo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
cd "$src"
jobs=${HALVEX_JOBS:-2}
say() { echo "release: $*"; }
fail() {
  echo "release: REFUSED: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(Halvex VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt's project()"
dirty=$(git status --porcelain --untracked-files=normal)
[ -z "$dirty" ] || fail "the tree has uncommitted changes (commit or stash them first):
$dirty"
grep -Eq "^## ${version//./\\.} \([0-9]{4}-[0-9]{2}-[0-9]{2}\)$" CHANGELOG.md ||
  fail "CHANGELOG.md has no entry '## $version (YYYY-MM-DD)' for version $version"

if [ "${1:-}" != --assemble ]; then
  cmake --preset native >/dev/null
  exec cmake --build --preset native -j"$jobs" --target release
fi

native=$(cd "$2" && pwd -P)
out=$src/build/release/halvex-$version
say "halvex $version at $(git log -1 --format='%h %s')"

# The native artifacts, which the release target has built.
debs=("$native"/packages/*_"$version"_*.deb)
[ ${#debs[@]} = 4 ] && [ -f "${debs[0]}" ] || fail "expected 4 Debian packages of $version in $native/packages"
wheels=("$native"/dist/halvex-"$version"-*.whl)
[ ${#wheels[@]} = 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel of $version in $native/dist"
[ -f "$native/docs/html/index.html" ] || fail "no API reference in $native/docs/html"
if command -v lintian >/dev/null 2>&1; then
  # Errors only; the warnings and notes of these packages are explained in docs/packages.md.
  errors=$(lintian --no-tag-display-limit "${debs[@]}" 2>/dev/null | grep '^E: ' || true)
  [ -z "$errors" ] || fail "lintian reports errors:
$errors"
  say "lintian: no errors"
else
  say "lintian not installed: the packages are not checked (scripts/install-deps.sh installs it)"
fi

# The Windows kit, from the three Windows builds.
say "building the Windows kit (win-release, win-debug, win64)"
cmake --preset win-release >/dev/null
cmake --build --preset win-release -j"$jobs" --target kit >"$src/build/release-kit.log" 2>&1 || {
  tail -n 30 "$src/build/release-kit.log" >&2
  fail "building the Windows kit (log: build/release-kit.log)"
}
kit=$src/build/win-release/halvex-$version-win32.zip
[ -f "$kit" ] || fail "no kit at $kit"

rm -rf "$out"
mkdir -p "$out"
cp "${debs[@]}" "${wheels[0]}" "$kit" "$out/"
# The reference as one folder in a tar archive that is the same for the same commit.
api=halvex-$version-api-html
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -r "$native/docs/html" "$stage/$api"
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner \
  --mtime="@$(git log -1 --format=%ct)" -cf - "$api" | gzip -9n >"$out/$api.tar.gz"
(cd "$out" && sha256sum -- *.deb *.whl *.zip *.tar.gz >SHA256SUMS && sha256sum --quiet -c SHA256SUMS)
say "$out:"
(cd "$out" && ls -l --time-style=+ -- * | awk '{print "  " $5 "\t" $NF}')

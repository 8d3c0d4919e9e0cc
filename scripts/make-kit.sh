#!/usr/bin/env bash
# Packs the Windows developers' kit: the three driver DLLs (32-bit release and debug, 64-bit), the
# fixture layer's DLL over each, halvexctl (32-bit), the headers, the import libraries for
# Visual Studio and MinGW with their .def files, the .NET declarations, a C example, the calling
# guide and a README.txt at the top. The 64-bit files go into bin/x64 and lib/x64.
#   make-kit.sh SOURCE_DIR RELEASE_BUILD DEBUG_BUILD VERSION STRIP X64_BUILD STRIP64
# RELEASE_BUILD is a built win-release folder; DEBUG_BUILD and X64_BUILD are configured with the
# win-debug and win64 presets when they are not yet, and what the kit takes from them is built.
# The zip is written to RELEASE_BUILD/halvex-VERSION-win32.zip, every file under the folder
# halvex-VERSION-win32/.
set -euo pipefail
src=$1 release=$2 debug=$3 version=$4 strip=$5 x64=$6 strip64=$7

debug=$(realpath -m -- "$debug")  # the configure step runs in the source folder
x64=$(realpath -m -- "$x64")
for build in win-debug:"$debug" win64:"$x64"; do
  preset=${build%%:*} dir=${build#*:}
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "make-kit: configuring $dir with the $preset preset"
    # -B puts it in the folder asked for instead of the preset's own
    (cd "$src" && cmake --preset "$preset" -B "$dir" >/dev/null)
  fi
  cmake --build "$dir" --target halvex halvex_implib halvex_msvc_lib \
    halvex_fixture halvex_fixture_implib halvex_fixture_msvc_lib
done

name=halvex-$version-win32
stage=$release/kit
rm -rf "$stage"
root=$stage/$name
mkdir -p "$root/bin/x64" "$root/include" "$root/lib/x64" "$root/docs" "$root/dotnet" "$root/examples"

# The Debian toolchain's DWARF names the build folders and is of no use to Visual Studio:
# the kit's programs carry no debug information, and so no path of this machine.
"$strip" --strip-debug -o "$root/bin/Halvex32.dll" "$release/Halvex32.dll"
"$strip" --strip-debug -o "$root/bin/Halvex32D.dll" "$debug/Halvex32D.dll"
"$strip64" --strip-debug -o "$root/bin/x64/Halvex64.dll" "$x64/Halvex64.dll"
"$strip" --strip-debug -o "$root/bin/HalvexFixture32.dll" "$release/HalvexFixture32.dll"
"$strip" --strip-debug -o "$root/bin/HalvexFixture32D.dll" "$debug/HalvexFixture32D.dll"
"$strip64" --strip-debug -o "$root/bin/x64/HalvexFixture64.dll" "$x64/HalvexFixture64.dll"
"$strip" --strip-debug -o "$root/bin/halvexctl.exe" "$release/tools/halvexctl.exe"
cp "$src/include/halvex.h" "$src/include/halvex_fixture.h" "$root/include/"
# base:build folder:kit folder; the fixture layer's files are in the build's fixture/ folder.
for dll in Halvex32:"$release":lib Halvex32D:"$debug":lib Halvex64:"$x64":lib/x64 \
  HalvexFixture32:"$release/fixture":lib HalvexFixture32D:"$debug/fixture":lib \
  HalvexFixture64:"$x64/fixture":lib/x64; do
  IFS=: read -r base dir to <<<"$dll"
  cp "$dir/msvc/$base.lib" "$dir/lib$base.dll.a" "$dir/exports/$base.def" "$root/$to/"
done
cp "$src/docs/windows.md" "$src/docs/behaviour.md" "$src/LICENSE" "$src/CHANGELOG.md" "$root/docs/"
cp "$src/bindings/dotnet/Halvex.cs" "$src/bindings/dotnet/HalvexFixture.cs" "$src/bindings/dotnet/Halvex.vb" \
  "$root/dotnet/"
cp "$src/examples/list_cards.c" "$root/examples/"
# Windows line ends, so that Notepad shows the kit's first page as written.
sed 's/$/\r/' "$src/docs/kit/README.txt" >"$root/README.txt"

zip=$release/$name.zip
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")
rm -rf "$stage"
echo "make-kit: $zip"

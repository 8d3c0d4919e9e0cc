#!/usr/bin/env bash
# Packs the Windows developers' kit: both DLLs, halvexctl, the header, the import libraries for
# Visual Studio and MinGW with their .def files, the .NET declarations, a C example, the calling
# guide and a README.txt at the top.
#   make-kit.sh SOURCE_DIR RELEASE_BUILD DEBUG_BUILD VERSION STRIP
# RELEASE_BUILD is a built win-release folder; DEBUG_BUILD is configured with the win-debug preset
# when it is not yet, and what the kit takes from it is built. The zip is written to
# RELEASE_BUILD/halvex-VERSION-win32.zip, every file under the folder halvex-VERSION-win32/.
set -euo pipefail
src=$1 release=$2 debug=$3 version=$4 strip=$5

debug=$(realpath -m -- "$debug")  # the configure step runs in the source folder
if [ ! -f "$debug/CMakeCache.txt" ]; then
  echo "make-kit: configuring $debug with the win-debug preset"
  # -B puts it in the folder asked for instead of the preset's own
  (cd "$src" && cmake --preset win-debug -B "$debug" >/dev/null)
fi
cmake --build "$debug" --target halvex halvex_implib halvex_msvc_lib

name=halvex-$version-win32
stage=$release/kit
rm -rf "$stage"
root=$stage/$name
mkdir -p "$root/bin" "$root/include" "$root/lib" "$root/docs" "$root/dotnet" "$root/examples"

# The Debian toolchain's DWARF names the build folders and is of no use to Visual Studio:
# the kit's programs carry no debug information, and so no path of this machine.
"$strip" --strip-debug -o "$root/bin/Halvex32.dll" "$release/Halvex32.dll"
"$strip" --strip-debug -o "$root/bin/Halvex32D.dll" "$debug/Halvex32D.dll"
"$strip" --strip-debug -o "$root/bin/halvexctl.exe" "$release/tools/halvexctl.exe"
cp "$src/include/halvex.h" "$root/include/"
for dll in Halvex32:"$release" Halvex32D:"$debug"; do
  base=${dll%%:*} dir=${dll#*:}
  cp "$dir/msvc/$base.lib" "$dir/lib$base.dll.a" "$dir/exports/$base.def" "$root/lib/"
done
cp "$src/docs/windows.md" "$src/docs/behaviour.md" "$src/LICENSE" "$src/CHANGELOG.md" "$root/docs/"
cp "$src/bindings/dotnet/Halvex.cs" "$src/bindings/dotnet/Halvex.vb" "$root/dotnet/"
cp "$src/examples/list_cards.c" "$root/examples/"
# Windows line ends, so that Notepad shows the kit's first page as written.
sed 's/$/\r/' "$src/docs/kit/README.txt" >"$root/README.txt"

zip=$release/$name.zip
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")
rm -rf "$stage"
echo "make-kit: $zip"

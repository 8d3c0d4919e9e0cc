#!/usr/bin/env bash
# Compares the names a built library exports with the list the build made for its configuration
# from the export table.
#   check_exports.sh dll OBJDUMP Halvex32.dll expected.txt [DRIVER.dll]
#   check_exports.sh so  NM      libhalvex.so expected.txt
# A DLL may import only system DLLs, and DRIVER.dll when given (the fixture layer's DLL).
set -euo pipefail
kind=$1 tool=$2 lib=$3 expected=$4 driver=${5:-}
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
case $kind in
  dll)
    # The export directory's name table: lines "[ordinal] name" after "[Ordinal/Name Pointer]".
    "$tool" -p "$lib" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t && /^[ \t]*\[/{print $NF;next} {t=0}' \
      | sort > "$actual"
    allowed='kernel32|msvcrt|user32|advapi32|ntdll|ws2_32'
    [ -n "$driver" ] && allowed="$allowed|${driver%.dll}"
    if "$tool" -p "$lib" | awk '/DLL Name:/{print $3}' | grep -viE "^($allowed)\.dll\$"; then
      echo "FAIL: $lib imports a DLL that is not part of the system" >&2
      exit 1
    fi
    ;;
  so)
    "$tool" -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVv]$/ {print $3}' \
      | sed 's/@.*//' | grep -v '^HALVEX_1$' | sort > "$actual"
    ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac
if ! diff -u <(sort "$expected") "$actual"; then
  echo "FAIL: exported names of $lib differ from $expected" >&2
  exit 1
fi
echo "exports of $(basename "$lib"): $(wc -l < "$actual") names, as expected"

#!/bin/sh
# Checks that the client library exports exactly its C interface, the list in
# tests/client_exports.txt (an addition or a removal is an interface change: edit that list,
# client/zylclient.map and client/zylclient.def together).
#   client_exports.sh elf nm       libzylclient.so.1   (dynamic symbols, with their version)
#   client_exports.sh pe  OBJDUMP  zylclient.dll       (the PE export table)
set -eu
format=$1 tool=$2 library=$3
list="$(dirname "$0")/client_exports.txt"

if [ "$format" = pe ]; then
  expected=$(sort "$list")
  # "[Ordinal/Name Pointer] Table" lines: "	[   0] name".
  actual=$("$tool" -p "$library" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] \([^ ]*\)$/\1/p' | sort)
else
  # Every name in the version node ZYLCLIENT_1, and the node itself.
  expected=$( (sed 's/$/@@ZYLCLIENT_1/' "$list"; echo ZYLCLIENT_1) | sort)
  actual=$("$tool" -D --defined-only --with-symbol-versions "$library" | awk '{print $NF}' |
           grep -v -x -e _init -e _fini -e _edata -e _end -e __bss_start | sort)
fi

if [ "$actual" != "$expected" ]; then
  echo "export table of $library differs (< expected, > actual):"
  dir=$(mktemp -d)
  echo "$expected" >"$dir/expected"
  echo "$actual" >"$dir/actual"
  diff "$dir/expected" "$dir/actual" || true
  rm -r "$dir"
  exit 1
fi
echo "$library exports exactly the $(wc -l <"$list") functions of its interface"

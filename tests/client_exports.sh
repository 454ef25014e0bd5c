#!/bin/sh
# Checks that the client library exports exactly its C interface, the list in
# tests/client_exports.txt (an addition or a removal is an interface change: edit that list,
# client/zylclient.map and client/zylclient.def together).
#   client_exports.sh elf nm       libzylclient.so.1   (dynamic symbols, with their version)
#   client_exports.sh pe  OBJDUMP  zylclient.dll       (the PE export table)
set -eu
format=$1 tool=$2 library=$3
list="$(dirname "$0")/client_exports.txt"
. "$(dirname "$0")/export_table.sh"

if [ "$format" = pe ]; then
  expected=$(sort "$list")
  actual=$(export_table pe "$tool" "$library")
else
  # Every name in the version node ZYLCLIENT_1, and the node itself.
  expected=$( (sed 's/$/@@ZYLCLIENT_1/' "$list"; echo ZYLCLIENT_1) | sort)
  actual=$(export_table elf "$tool" "$library" --with-symbol-versions)
fi
compare_exports "$library" "$expected" "$actual"
echo "$library exports exactly the $(wc -l <"$list") functions of its interface"

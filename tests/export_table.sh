# Sourced by the export and import checks: reads a library's export table and compares it with
# a list, or reads the libraries a PE file imports.
#   export_table pe OBJDUMP LIB     the PE export table, one name a line
#   import_table OBJDUMP FILE       the libraries FILE imports, one name a line
#   export_table elf NM LIB [--with-symbol-versions]
#                                   dynamic symbols the library defines, linker markers left out
#   compare_exports LIB EXPECTED ACTUAL
#                                   exits 1 with a diff when ACTUAL is not EXPECTED

export_table() {
  if [ "$1" = pe ]; then
    # "[Ordinal/Name Pointer] Table" lines: "	[   0] name".
    "$2" -p "$3" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] \([^ ]*\)$/\1/p' | sort
  else
    "$2" -D --defined-only ${4:-} "$3" | awk '{print $NF}' |
      grep -v -x -e _init -e _fini -e _edata -e _end -e __bss_start | sort
  fi
}

import_table() {
  "$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: \([^ ]*\)[[:space:]]*$/\1/p'
}

compare_exports() {
  [ "$3" = "$2" ] && return 0
  echo "export table of $1 differs (< expected, > actual):"
  dir=$(mktemp -d)
  echo "$2" >"$dir/expected"
  echo "$3" >"$dir/actual"
  diff "$dir/expected" "$dir/actual" || true
  rm -r "$dir"
  exit 1
}

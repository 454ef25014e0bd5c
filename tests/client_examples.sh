#!/bin/sh
# Runs the client library's examples (C programs, and Python through ctypes) against the service
# on the simulated machine, and checks what they print.
#   client_examples.sh SIM_SERVICE LIBRARY PYTHON_EXAMPLE C_EXAMPLE...
set -eu
sim_service=$1 library=$2 python_example=$3
shift 3

runtime=$(mktemp -d)
"$sim_service" --runtime-dir "$runtime" 2>"$runtime/service.log" &
service=$!
stop() {
  kill -TERM "$service" 2>/dev/null || true
  wait "$service" 2>/dev/null || true
  rm -rf "$runtime"
}
trap stop EXIT
for _ in $(seq 100); do [ -S "$runtime/TAVIK_Zyl_Control_Service" ] && break; sleep 0.1; done

expected="load: result 1 (done)
count: result 1 (done)
count: 1, the first 104D:81CE
query: result 2 (adapter works)"

check() {
  if [ "$2" != "$expected" ]; then
    echo "$1 printed:"; echo "$2"; echo "expected:"; echo "$expected"
    exit 1
  fi
  echo "$1: as expected"
}

for c_example in "$@"; do
  check "$c_example" "$("$c_example" "$runtime")"
done

# A library built with AddressSanitizer needs its run-time loaded first in a Python process.
preload=
if ldd "$library" | grep -q libasan; then
  preload=$(ldd "$library" | awk '/libasan/ {print $3}')
  export ASAN_OPTIONS=detect_leaks=0
fi
check "Python example" "$(LD_PRELOAD=$preload LD_LIBRARY_PATH=$(dirname "$library") \
  python3 "$python_example" "$runtime")"

# The README shows both programs: its excerpts must be these files' own lines, so that what a
# reader copies is what ran here.
readme="$(dirname "$0")/../README.md"
for language in c python; do
  excerpt=$(awk -v lang="$language" '$0 == "```" lang {on = 1; next} on && $0 == "```" {exit} on' \
    "$readme")
  source_file=$python_example
  [ "$language" = c ] && source_file=$(dirname "$python_example")/../c/zyl_example.c
  if ! python3 -c 'import sys; sys.exit(sys.argv[1] not in open(sys.argv[2]).read())' \
    "$excerpt" "$source_file"; then
    echo "the README's $language excerpt is not a part of $source_file"; exit 1
  fi
done
echo "README excerpts: the examples' own lines"

#!/bin/sh
# The client library as its users get it: installed from the build tree into a fresh prefix
# (which the install must not leave),
# the C example built against that prefix alone, with pkg-config and with find_package (shared
# and static), and each program run against the service on the simulated machine.
#   client_installed.sh BUILD_DIR SIM_SERVICE EXAMPLE_SOURCE PYTHON_EXAMPLE [CFLAGS]
# CFLAGS: what the build's own code was compiled with that its users must link with too (the
# sanitizers of a sanitized build).
set -eu
build=$1 sim_service=$2 example=$3 python_example=$4 flags=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# The whole install, every component: it must write nothing outside its prefix (cmake lists
# what it wrote in the build tree's install_manifest.txt).
cmake --install "$build" --prefix "$prefix" >/dev/null
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
if [ -n "$outside" ]; then
  echo "cmake --install --prefix $prefix wrote outside it:"; echo "$outside"; exit 1
fi
[ -f "$prefix/lib/systemd/system/vokzylcontrol.service" ] || { echo "no unit in the prefix"; exit 1; }
libdir=$(dirname "$(find "$prefix" -name zylclient.pc)")/..
libdir=$(cd "$libdir" && pwd)

# pkg-config, as a Makefile would use it.
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046,SC2086
cc -std=c99 -Wall -Werror $flags $(pkg-config --cflags zylclient) -o "$work/example_pkgconfig" \
  "$example" $(pkg-config --libs zylclient)

# find_package, shared and static.
cmake -S "$here/client_consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DZYL_EXAMPLE="$example" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/consumer" >/dev/null

# The static program needs no client library at run time; the others find it in the prefix.
if ldd "$work/consumer/example_static" | grep -q libzylclient; then
  echo "example_static loads the shared library"; exit 1
fi
LD_LIBRARY_PATH=$libdir
export LD_LIBRARY_PATH
sh "$here/client_examples.sh" "$sim_service" "$libdir/libzylclient.so.1" "$python_example" \
  "$work/example_pkgconfig" "$work/consumer/example_shared" "$work/consumer/example_static"

#!/usr/bin/env bash
# Builds the two packages into dist/, with the version in their names:
#   dist/vokzyl-X.Y.Z-x64.msi      Windows (mingw-w64 build, wixl)
#   dist/vokzyl_X.Y.Z_amd64.deb    Debian 12 (release build with Debian's hardening flags, CPack)
# `./scripts/package.sh msi` or `deb` builds one. Installs the Debian packages it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/deps.sh
source scripts/lib/packaging.sh

want=${1:-all}
JOBS=${ZYL_JOBS:-$(nproc)}
mkdir -p dist

# Runs a build with its output in LOG; on failure shows the end of it, where the errors are.
logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    return 1
  }
}

if [[ "$want" == all || "$want" == msi ]]; then
  zyl_require_packages "${ZYL_LINUX_PACKAGES[@]}" "${ZYL_WINDOWS_PACKAGES[@]}" "${ZYL_PACKAGE_PACKAGES[@]}"
  echo "== building windows (mingw-w64, Release)"
  cmake --preset windows >/dev/null
  logged build/windows-package.log cmake --build --preset windows -j "$JOBS" \
    --target VokZylControl Qvzyl zylclient zylclient_shared zylclient_static
  msi="dist/vokzyl-$(zyl_build_version build/windows)-x64.msi"
  rm -f "$msi"  # a failed build must not leave the last one to be tested
  zyl_build_msi build/windows "$msi"
  echo "== $msi ($(stat -c %s "$msi") bytes)"
fi

if [[ "$want" == all || "$want" == deb ]]; then
  zyl_require_packages "${ZYL_LINUX_PACKAGES[@]}" "${ZYL_PACKAGE_PACKAGES[@]}"
  echo "== building linux (Release, Debian's hardening flags)"
  # What a Debian package build would use: fortified, stack protector, full RELRO, bind now.
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cppflags="$(dpkg-buildflags --get CPPFLAGS)"
  ldflags="$(dpkg-buildflags --get LDFLAGS)"
  # Libraries others link against go in the multiarch folder, as Debian's own do, and the unit
  # where Debian 12's packages put theirs, outside the prefix /usr.
  cmake -S . -B build/package-linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DZYL_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" \
    -DZYL_INSTALL_UNITDIR=/lib/systemd/system \
    -DZYL_BUILD_BENCH=OFF -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
    -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
  logged build/package-linux.log cmake --build build/package-linux -j "$JOBS" \
    --target VokZylControl Qvzyl zylclient zylclient_shared zylclient_static zyl_package_docs
  deb="dist/vokzyl_$(zyl_build_version build/package-linux)_amd64.deb"
  rm -f "$deb"
  zyl_build_deb build/package-linux "$deb"
  echo "== $deb ($(stat -c %s "$deb") bytes)"
fi

# shellcheck shell=bash
# Builds the packages from a configured build directory (sourced by scripts/package.sh and the
# package test stages).
#   zyl_build_version BUILD_DIR            prints the X.Y.Z that build carries
#   zyl_build_msi BUILD_DIR OUT.msi        Windows build: installed files + packaging/windows -> MSI
#   zyl_build_deb BUILD_DIR OUT.deb        Linux build: CPack DEB
ZYL_SOURCE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

zyl_build_version() {
  sed -n 's/^#define ZYL_VERSION_TEXT "\(.*\)"$/\1/p' "$1/generated/zyl_version.h"
}

zyl_build_msi() {
  local build=$1 out=$2 version stage component components
  version="$(zyl_build_version "$build")"
  [[ -n "$version" ]] || { echo "no version in $build" >&2; return 1; }
  # The install components the packages carry, as packaging/CMakeLists.txt lists them.
  IFS=';' read -ra components <"$build/packaging/components.txt"
  stage="$(mktemp -d)"
  for component in "${components[@]}"; do
    cmake --install "$build" --prefix "$stage" --component "$component" >/dev/null || {
      rm -rf "$stage"
      return 1
    }
  done
  # Without -a x64 wixl makes a 32-bit package whatever the source says.
  # wixl takes the files' sources relative to the working directory.
  local rc=0
  out="$(realpath -m "$out")"
  (cd "$stage" && wixl -a x64 -D Version="$version" -o "$out" \
    "$ZYL_SOURCE_DIR/packaging/windows/vokzyl.wxs") || rc=$?
  rm -rf "$stage"
  return $rc
}

zyl_build_deb() {
  local build=$1 out=$2 made
  (cd "$build" && cpack -G DEB >cpack.log 2>&1) || {
    cat "$build/cpack.log" >&2
    return 1
  }
  made="$build/packages/vokzyl_$(zyl_build_version "$build")_amd64.deb"
  [[ -f "$made" ]] || { echo "cpack made no $made" >&2; return 1; }
  cp "$made" "$out"
}

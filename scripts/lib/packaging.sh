# shellcheck shell=bash
# Builds the packages from a configured build directory (sourced by scripts/package.sh and the
# package test stages).
#   zyl_build_version BUILD_DIR            prints the X.Y.Z that build carries
#   zyl_build_msi BUILD_DIR OUT.msi        Windows build: installed files + packaging/windows -> MSI
#   zyl_build_deb BUILD_DIR OUT.deb        Linux build: CPack DEB
#   zyl_shipped_deb                        prints the .deb of the package stage, building it first
#                                          (scripts/package.sh deb) when it is missing
#   zyl_apt_mirror                         prints the mirror this machine's apt uses, read at run time
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

zyl_shipped_deb() {
  local deb
  deb="$ZYL_SOURCE_DIR/dist/vokzyl_$(zyl_build_version "$ZYL_SOURCE_DIR/build/package-linux" 2>/dev/null)_amd64.deb"
  if [[ ! -f "$deb" ]]; then
    bash "$ZYL_SOURCE_DIR/scripts/package.sh" deb >&2 || return 1
    deb="$ZYL_SOURCE_DIR/dist/vokzyl_$(zyl_build_version "$ZYL_SOURCE_DIR/build/package-linux")_amd64.deb"
  fi
  echo "$deb"
}

# The first deb822 URIs line, else the first one-line "deb" source.
zyl_apt_mirror() {
  local found
  found="$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null)"
  [[ -n "$found" ]] ||
    found="$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' \
      /etc/apt/sources.list 2>/dev/null)"
  echo "$found"
}

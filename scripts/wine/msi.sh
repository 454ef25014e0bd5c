#!/usr/bin/env bash
# The MSI under Wine, as an administrator would use it, in a fresh prefix:
#   install     msiexec /i /qn: the service is registered and RUNNING (no sc create anywhere)
#   e2e         the end-to-end scenarios (e2e.sh) against that installed service, with the test
#               driver and probes beside it
#   upgrade     an MSI of a higher version (the same sources built with ZYL_VERSION_OVERRIDE)
#               replaces it: one product, one running service, the new files
#   downgrade   the first MSI again is refused and changes nothing
#   uninstall   msiexec /x: neither the service nor the driver service; of the folder only the
#               driver file copied in by hand stays
#
#   bash scripts/wine/msi.sh build/windows [MSI]   (the windows preset, test pieces built; MSI is
#                                                  that build's package, made here when absent)
# ZYL_MSI_E2E=0 leaves the end-to-end scenarios out, for a quick look at the package's life
# cycle alone; the run then says so and CI never sets it.
# Exit status 0 when every check passed.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
build_dir="$(cd "${1:?usage: msi.sh BUILD_DIR [MSI]}" && pwd)"
shipped_msi="${2:+$(realpath "$2")}"
export WBED_SERVICES_DEBUG="-all,+debugstr,warn+seh"
export WBED_WIN_DIR='C:\Program Files\Tavik\VokZyl'
# shellcheck source=harness.sh
source "$here/harness.sh"
# shellcheck source=../lib/packaging.sh
source "$source_dir/scripts/lib/packaging.sh"

readonly PRODUCT_FILES=(VokZylControl.exe Qvzyl.Dll zylclient.exe zylclient.dll)

# ---------------------------------------------------------------------------------------------
wbed_stage "the MSIs: this build, and one of a higher version"
version="$(zyl_build_version "$build_dir")"
IFS=. read -r major minor patch <<<"$version"
higher="$major.$minor.$((patch + 1))"
upgrade_build="$build_dir-upgrade"
cmake -S "$source_dir" -B "$upgrade_build" -G Ninja \
  --toolchain "$source_dir/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DZYL_BUILD_TESTS=OFF -DZYL_BUILD_BENCH=OFF -DZYL_VERSION_OVERRIDE="$higher" >/dev/null &&
  cmake --build "$upgrade_build" -j "${ZYL_JOBS:-2}" --target VokZylControl Qvzyl zylclient \
    zylclient_shared zylclient_static \
    >"$upgrade_build.log" 2>&1 || {
  wbed_log "the build of $higher failed, see $upgrade_build.log"
  exit 1
}
msi_dir="$(mktemp -d)"
if [[ -n "$shipped_msi" ]]; then
  cp "$shipped_msi" "$msi_dir/vokzyl-$version-x64.msi" || exit 1
else
  zyl_build_msi "$build_dir" "$msi_dir/vokzyl-$version-x64.msi" || exit 1
fi
zyl_build_msi "$upgrade_build" "$msi_dir/vokzyl-$higher-x64.msi" || exit 1
wbed_stage_end

wbed_init || exit 1
# wbed_cleanup exits with the status it finds in $?: keep the script's own past the rm.
trap 'rc=$?; rm -rf "$msi_dir"; (exit $rc); wbed_cleanup' EXIT
program_files="$WINEPREFIX/drive_c/Program Files"
folder="$program_files/Tavik/VokZyl"

# msiexec NAME ARGS...: its exit status (Wine gives it modulo 256); its output in a log.
msiexec() {
  local name=$1 start rc
  shift
  start="$(wbed_now)"
  wbed_run "$WBED_LOGS/msiexec.$name.log" msiexec "$@"
  rc=$?
  wbed_log "  msiexec $name: exit $rc in $(wbed_elapsed "$start") s"
  return $rc
}
msi_path() { wbed_unix_to_win "$msi_dir/vokzyl-$1-x64.msi"; }

# Registry keys under KEY (one level) that hold TEXT, counted from a regedit export.
count_keys_with() {
  local out="$WBED_LOGS/export.$RANDOM.reg"
  wbed_run "$WBED_LOGS/regedit-export.log" regedit /e "$(wbed_unix_to_win "$out")" "$1" ||
    return 1
  iconv -f UTF-16LE -t UTF-8 "$out" 2>/dev/null | tr -d '\r' |
    awk -v text="$2" '/^\[/ { key = $0 } index($0, text) { hit[key] = 1 }
                      END { n = 0; for (k in hit) n++; print n }'
}
services_key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services'
products_key='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# expect_installed WHAT BUILD: one product, one service RUNNING from the folder, BUILD's files.
expect_installed() {
  local what=$1 build=$2 file services products
  local -A built=([VokZylControl.exe]=service/VokZylControl.exe [Qvzyl.Dll]=hwaccess/Qvzyl.Dll
    [zylclient.exe]=tools/zylclient/zylclient.exe [zylclient.dll]=client/zylclient.dll)
  wbed_service_wait "$WBED_SERVICE_NAME" RUNNING 30 && pass || fail "$what: service not RUNNING"
  services="$(count_keys_with "$services_key" 'VokZylControl.exe')"
  [[ "$services" == 1 ]] && pass || fail "$what: $services services run VokZylControl.exe"
  products="$(count_keys_with "$products_key" '"DisplayName"="Tavik Zyl Control"')"
  [[ "$products" == 1 ]] && pass || fail "$what: $products products installed"
  for file in "${PRODUCT_FILES[@]}"; do
    cmp -s "$folder/$file" "$build/${built[$file]}" && pass || fail "$what: $file is not $build's"
  done
}

# ---------------------------------------------------------------------------------------------
wbed_stage "install $version (msiexec /i /qn)"
msiexec install /i "$(msi_path "$version")" /qn && pass || fail "msiexec /i $version"
expect_installed "after install" "$build_dir"
wbed_run "$WBED_LOGS/version.log" "$WBED_WIN_DIR\\zylclient.exe" --version
[[ "$(tr -d '\r' <"$WBED_LOGS/version.log")" == "zylclient $version" ]] && pass ||
  fail "zylclient --version: $(cat "$WBED_LOGS/version.log")"
image="$(wbed_run "$WBED_LOGS/reg.log" reg query \
  "HKLM\\System\\CurrentControlSet\\Services\\$WBED_SERVICE_NAME" /v ImagePath; tr -d '\r' <"$WBED_LOGS/reg.log")"
wbed_log "  $(grep -m1 ImagePath <<<"$image" | sed 's/^ *//')"
grep -qi 'Program Files\\Tavik\\VokZyl\\VokZylControl.exe' <<<"$image" && pass ||
  fail "the service's image path: $image"
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "end to end against the installed service"
if [[ "${ZYL_MSI_E2E:-1}" == 0 ]]; then
  wbed_log "  NOT RUN: the end-to-end scenarios (ZYL_MSI_E2E=0)"
  # The driver file as an administrator copies it in.
  cp "$build_dir/$WBED_TEST_DRIVER" "$folder/" || fail "copy the driver file"
else
  # Their first load installs the driver service from the driver file they copy in.
  start="$(wbed_now)"
  WBED_INSTALLED=1 WBED_PREFIX_SECONDS="$WBED_PREFIX_SECONDS" WINEPREFIX="$WINEPREFIX" \
    WBED_ROOT="$WBED_ROOT" WBED_LOGS="$WBED_LOGS" WBED_SERVICES_LOG="$WBED_SERVICES_LOG" \
    bash "$here/e2e.sh" "$build_dir" 2>"$WBED_LOGS/e2e.log"
  e2e_rc=$?
  grep -E 'FAIL|end-to-end' "$WBED_LOGS/e2e.log" >&2
  ((e2e_rc == 0)) && pass || fail "end to end against the installed service (see e2e.log)"
  wbed_log "  end to end: $(wbed_elapsed "$start") s"
  # What the scenarios left beside the service goes, but for the driver file (an administrator
  # copies it in): the test pieces and the stand-in's override.
  wbed_remove_test_pieces "$folder" || fail "remove the test pieces"
  wbed_run "$WBED_LOGS/reg-delete.log" reg delete \
    'HKCU\Software\Wine\AppDefaults\VokZylControl.exe' /f
fi
# The scenarios end with the service stopped; an upgrade finds it either way.
wbed_zyl_service_start || fail "start after the scenarios"
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "upgrade to $higher"
msiexec upgrade /i "$(msi_path "$higher")" /qn && pass || fail "msiexec /i $higher"
expect_installed "after the upgrade" "$upgrade_build"
# The old product's removal took the driver service with it; the next load registers it again
# from the driver file that stayed in the folder.
expect_state_now() {
  local state
  state="$(wbed_service_state "$1")"
  [[ "$state" == "$2" ]] && pass || fail "$3: '$1' is $state, expected $2"
}
expect_state_now "$WBED_DRIVER_NAME" ABSENT "after the upgrade"
wbed_run "$WBED_LOGS/load-after-upgrade.log" "$WBED_WIN_DIR\\zylclient.exe" load --json
grep -q '"result":1,' "$WBED_LOGS/load-after-upgrade.log" && pass ||
  fail "load after the upgrade: $(cat "$WBED_LOGS/load-after-upgrade.log")"
expect_state_now "$WBED_DRIVER_NAME" RUNNING "after a load"
wbed_stage_end

wbed_stage "downgrade to $version refused"
# Refused by the MajorUpgrade rule: ERROR_INSTALL_FAILURE (1603, 67 modulo 256), not some
# other failure such as a package that cannot be opened (1619).
msiexec downgrade /i "$(msi_path "$version")" /qn
downgrade_rc=$?
((downgrade_rc == 1603 % 256)) && pass || fail "the downgrade answered $downgrade_rc, not 1603"
expect_installed "after the refused downgrade" "$upgrade_build"
wbed_stage_end

# ---------------------------------------------------------------------------------------------
wbed_stage "uninstall (msiexec /x)"
msiexec uninstall /x "$(msi_path "$higher")" /qn && pass || fail "msiexec /x"
expect_state() {
  local state
  state="$(wbed_service_state "$1")"
  [[ "$state" == "$2" ]] && pass || fail "after uninstall: '$1' is $state, expected $2"
}
expect_state "$WBED_SERVICE_NAME" ABSENT
# The driver service the library registered goes with the product (a ServiceControl row).
expect_state "$WBED_DRIVER_NAME" ABSENT
# The driver file was copied in by hand: it stays, and so does its folder, and nothing else.
left="$(cd "$program_files" && find Tavik 2>/dev/null | sort | paste -sd ' ')"
[[ "$left" == "Tavik Tavik/VokZyl Tavik/VokZyl/qvzyl64.sys" ]] && pass ||
  fail "left after uninstall: ${left:-nothing}, expected the driver file in its folder"
rm -rf "$program_files/Tavik"
products="$(count_keys_with "$products_key" '"DisplayName"="Tavik Zyl Control"')"
[[ "$products" == 0 ]] && pass || fail "after uninstall: $products products installed"
wbed_stage_end

wbed_print_timings
checks_result "MSI under Wine" || exit 1

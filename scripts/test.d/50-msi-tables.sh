# stage: MSI tables (static: service, control events, files, folder, upgrade rules)
# shellcheck shell=bash
# Checks the MSI of the 45-package stage (built here from the windows build when it is missing)
# with msiinfo, without Wine.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/deps.sh
source scripts/lib/packaging.sh
zyl_require_packages "${ZYL_PACKAGE_PACKAGES[@]}" || exit 1
start=$(date +%s)
msi="dist/vokzyl-$(zyl_build_version build/windows)-x64.msi"
scratch=""
if [[ ! -f "$msi" ]]; then
  scratch="$(mktemp -d)"
  msi="$scratch/vokzyl.msi"
  zyl_build_msi build/windows "$msi" || exit 1
fi
python3 tests/packaging/check_msi_tables.py "$msi"
rc=$?
[[ -z "$scratch" ]] || rm -rf "$scratch"
echo "MSI tables checked in $(($(date +%s) - start)) s"
exit $rc

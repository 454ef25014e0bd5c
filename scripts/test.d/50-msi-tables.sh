# stage: MSI tables (static: service, control events, files, folder, upgrade rules)
# shellcheck shell=bash
# Builds the MSI from the windows build and checks its tables with msiinfo, without Wine.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/deps.sh
source scripts/lib/packaging.sh
zyl_require_packages "${ZYL_PACKAGE_PACKAGES[@]}" || exit 1
start=$(date +%s)
msi="$(mktemp -d)/vokzyl.msi"
zyl_build_msi build/windows "$msi" || exit 1
python3 tests/packaging/check_msi_tables.py "$msi"
rc=$?
rm -rf "$(dirname "$msi")"
echo "MSI tables checked in $(($(date +%s) - start)) s"
exit $rc

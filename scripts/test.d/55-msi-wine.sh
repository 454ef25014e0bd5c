# stage: MSI under Wine (install, end to end, upgrade, downgrade, uninstall)
# shellcheck shell=bash
# See scripts/wine/msi.sh; its stages print their times.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/deps.sh
zyl_require_packages "${ZYL_PACKAGE_PACKAGES[@]}" || exit 1
source scripts/lib/packaging.sh
# The package the 45-package stage made from this build, when it is there.
msi="dist/vokzyl-$(zyl_build_version build/windows)-x64.msi"
[[ -f "$msi" ]] || msi=""
exec bash scripts/wine/msi.sh build/windows ${msi:+"$msi"}

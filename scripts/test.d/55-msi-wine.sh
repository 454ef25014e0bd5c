# stage: MSI under Wine (install, end to end, upgrade, downgrade, uninstall)
# shellcheck shell=bash
# See scripts/wine/msi.sh; its stages print their times.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/deps.sh
zyl_require_packages "${ZYL_PACKAGE_PACKAGES[@]}" || exit 1
exec bash scripts/wine/msi.sh build/windows

# stage: windows end to end under Wine (service, library, driver, client)
# shellcheck shell=bash
# The Windows programs run for real under Wine against the stand-in driver: see
# scripts/wine/e2e.sh for the scenarios.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
exec bash scripts/wine/e2e.sh build/windows

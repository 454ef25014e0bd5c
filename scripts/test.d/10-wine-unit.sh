# stage: windows tests under Wine (unit, win32, concurrency)
# shellcheck shell=bash
# The cross-compiled test programs of the windows preset, run under Wine in a fresh prefix.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
exec bash scripts/wine/unit.sh build/windows

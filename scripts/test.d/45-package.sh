# stage: packages (scripts/package.sh: the MSI and the .deb into dist/)
# shellcheck shell=bash
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
start=$(date +%s)
bash scripts/package.sh || exit 1
ls -l dist/
echo "packages built in $(($(date +%s) - start)) s"

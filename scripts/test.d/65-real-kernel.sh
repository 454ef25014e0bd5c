# stage: real kernel (the .deb in a booted Debian 12 machine under QEMU: session, hot-plug, speed)
# shellcheck shell=bash
# Builds (or reuses) the machine in build/vm/, boots it once with the adapter as a hot-pluggable
# e1000e and runs tests/vm/drive.py against the package of the 45-package stage
# (scripts/package.sh deb when it is missing). ./scripts/vm.sh runs this stage alone.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/deps.sh
zyl_require_packages "${ZYL_PACKAGE_PACKAGES[@]}" "${ZYL_VM_PACKAGES[@]}" || exit 1
source scripts/lib/packaging.sh
deb="$(zyl_shipped_deb)" || exit 1
start=$(date +%s)
bash tests/vm/image.sh build/vm || exit 1
echo "[vm] image ready in $(($(date +%s) - start)) s"
start=$(date +%s)
python3 tests/vm/drive.py --vm-dir build/vm --deb "$deb"
rc=$?
echo "[vm] machine run: $(($(date +%s) - start)) s"
exit $rc

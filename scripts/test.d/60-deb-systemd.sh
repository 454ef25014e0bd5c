# stage: Debian package (lintian; installed and run in a booted Debian 12 with systemd)
# shellcheck shell=bash
# The package of the 45-package stage (scripts/package.sh deb when it is missing).
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/deps.sh
zyl_require_packages "${ZYL_PACKAGE_PACKAGES[@]}" "${ZYL_PACKAGE_TEST_PACKAGES[@]}" || exit 1
source scripts/lib/packaging.sh
deb="$(zyl_shipped_deb)" || exit 1
start=$(date +%s)
# Errors and warnings fail; information tags do not. Overrides, if ever needed, go into the
# package with a comment that says why.
lintian_log="$(mktemp)"
lintian --fail-on error,warning "$deb" >"$lintian_log" 2>&1
lintian_rc=$?
grep -v 'running with root privileges' "$lintian_log"
rm -f "$lintian_log"
echo "lintian: exit $lintian_rc in $(($(date +%s) - start)) s"
start=$(date +%s)
bash tests/packaging/deb_in_systemd.sh "$deb"
rc=$?
echo "the package in a booted systemd: $(($(date +%s) - start)) s"
((lintian_rc == 0 && rc == 0))

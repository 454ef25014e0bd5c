#!/usr/bin/env bash
# Builds everything (Linux and Windows) and runs every test suite, printing how long each stage
# took. Installs the Debian packages it needs when they are missing.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/deps.sh
source scripts/lib/stages.sh

JOBS=${ZYL_JOBS:-$(nproc)}
zyl_require_packages "${ZYL_LINUX_PACKAGES[@]}" "${ZYL_WINDOWS_PACKAGES[@]}" "${ZYL_FUZZ_PACKAGES[@]}" ||
  { echo "cannot install the packages the build needs"; exit 1; }

build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$JOBS" "${@:2}"; }

stage "build linux (Debug, ASan+UBSan)" build linux
stage "tests under ASan+UBSan" ctest --preset linux -j 2
stage "build linux-tsan (concurrency tests)" build linux-tsan --target concurrency_tests
stage "concurrency tests under TSan" ctest --preset linux-tsan -R concurrency_tests
stage "build windows (mingw-w64)" build windows
for script in scripts/test.d/*.sh; do
  [ -e "$script" ] || continue
  stage "$(sed -n 's/^# stage: //p' "$script" | head -n 1)" bash "$script"
done
stage_summary

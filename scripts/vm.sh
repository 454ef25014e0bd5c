#!/usr/bin/env bash
# Runs the real-kernel stage alone: the package in a booted machine under QEMU
# (scripts/test.d/65-real-kernel.sh). The machine's image is cached in build/vm/.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
start=$(date +%s)
bash scripts/test.d/65-real-kernel.sh
rc=$?
echo "== real kernel: $( ((rc == 0)) && echo ok || echo FAILED) in $(($(date +%s) - start))s"
exit $rc

# stage: hostile-client torture (Linux, release build)
# Thousands of good and hostile clients against the real service process on the simulated
# machine; fails on a wrong reply, a time-out, growth of the service's memory or descriptors,
# or an unclean stop. Prints the figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "${ZYL_JOBS:-2}" --target zyltorture
build/linux-release/tests/torture/zyltorture --clients 20000 --parallel 8 --time-limit 100

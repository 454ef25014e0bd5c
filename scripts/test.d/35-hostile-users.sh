# stage: hostile local users (Linux, release build, as root)
# shellcheck shell=bash
# An unprivileged attacker replays what a local user can try against the real service process
# on the simulated machine and against other users' clients, while a victim user's client runs
# again and again. Fails when any attack delays the victim beyond one command's time, fools or
# crashes its client, or harms the service. Prints the victim's worst latency per attack. The
# attacker's subordinate uids come from its own `unshare --user --map-auto` (uidmap's newuidmap).
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" != 0 ]; then
  # CI runs as root: there a skip would hide the stage, so it fails instead.
  if [ -n "${CI:-}" ]; then
    echo "hostile users: needs root to act as other users; CI must run it"
    exit 1
  fi
  echo "hostile users: needs root to act as other users; skipped"
  exit 0
fi
source scripts/lib/deps.sh
zyl_require_packages "${ZYL_HOSTILE_PACKAGES[@]}"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "${ZYL_JOBS:-2}" --target zylsim_service zylclient
start=$(date +%s)
rc=0
python3 tests/hostile/hostile_users.py --service build/linux-release/sim/zylsim_service \
  --client build/linux-release/tools/zylclient/zylclient || rc=$?
echo "hostile users: $(($(date +%s) - start)) s"
exit "$rc"

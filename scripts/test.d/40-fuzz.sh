# stage: fuzzers (40 s each)
# Every fuzz target for a CI budget of 40 seconds, on a copy of its seeds (see scripts/fuzz.sh).
set -uo pipefail
cd "$(dirname "$0")/../.."
exec bash scripts/fuzz.sh 40

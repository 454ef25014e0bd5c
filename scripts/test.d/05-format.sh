# stage: clang-format check
# Every C and C++ file is formatted as .clang-format says.
set -uo pipefail
cd "$(dirname "$0")/../.."
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror

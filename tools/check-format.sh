#!/usr/bin/env bash
# Checks the C++ sources against .clang-format with the pinned clang-format of the virtual
# environment (requirements.txt), so every machine formats alike. --fix rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
format=.venv/bin/clang-format
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$format" -i "${files[@]}"
elif ! "$format" --dry-run --Werror "${files[@]}"; then
  echo "C++ sources are not formatted as .clang-format says: run tools/check-format.sh --fix" >&2
  exit 1
fi

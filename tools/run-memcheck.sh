#!/usr/bin/env bash
# Runs examples/poisson.py on the bundled cube (no refinement, P2) under valgrind's memcheck and
# fails on any invalid access, use of uninitialised memory, bad free, or definite leak whose
# allocation stack passes through this project's code (libmosk, _pymosk).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build/dev}
log=${MEMCHECK_LOG:-$BUILD/memcheck.log}
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)"; exit 1; }
PYTHONMALLOC=malloc PYTHONPATH="$BUILD" valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite --num-callers=40 --track-origins=no --log-file="$log" \
  .venv/bin/python examples/poisson.py meshes/cube.msh 0 2
.venv/bin/python tools/memcheck_report.py "$log"

#!/usr/bin/env bash
# Builds the mesh-reader fuzzers into build/fuzz, makes their seed corpora there and runs each
# for FUZZ_SECONDS (default 600), one after the other on one core.
#   FUZZERS="fuzz_gmsh fuzz_medit fuzz_read_mesh"   which ones to run (default: all)
#   FUZZ_ARGS="..."                                  extra libFuzzer flags
# Crashing inputs land in build/fuzz/artifacts/<fuzzer>/; the script exits non-zero when any
# fuzzer stopped on one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/fuzz
seconds=${FUZZ_SECONDS:-600}
fuzzers=${FUZZERS:-fuzz_gmsh fuzz_medit fuzz_read_mesh}
venv=$root/.venv

tools/ensure-system-packages.sh --fuzz

if [ ! -f "$out/build.ninja" ]; then
  "$venv/bin/cmake" -S mosk/fuzz -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja"
fi
"$venv/bin/cmake" --build "$out" -j "${JOBS:-2}"

# Seeds: the bundled meshes, small gmsh meshes in every encoding, and the regression inputs.
seeds=$out/seeds
if [ ! -f "$seeds/.done" ]; then
  rm -rf "$seeds"
  mkdir -p "$seeds/generated" "$seeds/fuzz_gmsh" "$seeds/fuzz_medit" "$seeds/fuzz_read_mesh"
  "$venv/bin/python" tools/fuzz_seed_meshes.py "$seeds/generated"
  cp meshes/cube.msh "$seeds/generated/"
  cp meshes/ball.mesh "$seeds/generated/"
  cp "$seeds"/generated/*.msh "$seeds/fuzz_gmsh/"
  cp "$seeds"/generated/*.mesh "$seeds/fuzz_medit/"
  cp "$seeds"/generated/* "$seeds/fuzz_read_mesh/"
  touch "$seeds/.done"
fi
regressions=mosk/tests/data/fuzz_regressions
cat mosk/fuzz/gmsh.dict mosk/fuzz/medit.dict > "$out/read_mesh.dict"

# fuzz_read_mesh writes each input to a file: in memory it runs about ten times faster.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

failed=()
for f in $fuzzers; do
  case $f in
    fuzz_gmsh) dict=mosk/fuzz/gmsh.dict ;;
    fuzz_medit) dict=mosk/fuzz/medit.dict ;;
    fuzz_read_mesh) dict=$out/read_mesh.dict ;;
    *) echo "unknown fuzzer $f" >&2; exit 2 ;;
  esac
  corpus=$out/corpus/$f
  artifacts=$out/artifacts/$f
  mkdir -p "$corpus" "$artifacts" "$out/logs"
  extra_seeds=()
  [ -d "$regressions" ] && extra_seeds+=("$regressions")
  echo "== $f for ${seconds}s (log: $out/logs/$f.log)"
  # -timeout: an input that takes 10 s is a hang; -malloc_limit_mb: a reader must not allocate
  # far more than its input can justify (inputs are at most a few hundred kB).
  if "$out/$f" "$corpus" "$seeds/$f" "${extra_seeds[@]}" -dict="$dict" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 ${FUZZ_ARGS:-} \
      > "$out/logs/$f.log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' \
      "$out/logs/$f.log" || true
  else
    failed+=("$f")
    tail -n 40 "$out/logs/$f.log"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzers that stopped on a finding: ${failed[*]} (inputs in $out/artifacts/)" >&2
  exit 1
fi

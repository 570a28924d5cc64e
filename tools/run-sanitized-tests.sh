#!/usr/bin/env bash
# Builds the library, the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan and runs the whole test suite there.
# Any sanitizer report fails the run: UBSan does not recover, ASan aborts on the first error.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=.venv
BUILD=build/asan
JOBS=${JOBS:-2}

"$VENV/bin/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOSK_SANITIZE=ON \
  -DPython_EXECUTABLE="$PWD/$VENV/bin/python" -DCMAKE_MAKE_PROGRAM="$PWD/$VENV/bin/ninja" >/dev/null
"$VENV/bin/cmake" --build "$BUILD" -j "$JOBS"

supp="$PWD/tools/sanitizer"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$supp/ubsan.supp"
# The C++ tests run with leak detection. MPI keeps some start-up allocations for the life of the
# process, which the suppressions name; its components stay loaded so that their frames keep
# their names, and the unwinder walks through libraries built without frame pointers.
export OMPI_MCA_mca_base_component_disable_dlclose=1
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:fast_unwind_on_malloc=0" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
  "$VENV/bin/ctest" --test-dir "$BUILD" --output-on-failure -j "$JOBS"

# The interpreter is not built with the sanitizer: the runtime is preloaded, and Python's own
# allocator is switched off so that every object's memory goes through ASan. CPython leaks by
# design at exit, so leak detection is off here; the leak tests measure memory themselves.
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
LD_PRELOAD="$asan_runtime $ubsan_runtime" PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" MOSK_SANITIZED=1 \
"$VENV/bin/python" -m pytest -q -p no:cacheprovider -o pythonpath="$BUILD" python/tests "$@"

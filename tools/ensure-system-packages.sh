#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
set -euo pipefail
packages=(
  libpetsc-real-dev   # PETSc with OpenMPI, hypre, MUMPS, SuperLU, PT-Scotch
  libptscotch-dev     # partitioning the grid over processes (balance; PETSc calls PT-Scotch)
  libopenblas0-pthread  # BLAS for the direct solvers (about 10x the reference BLAS)
  libgtest-dev        # the library's C++ tests
  pkg-config
  cmake ninja-build g++
  # the gmsh wheel's X and GL libraries
  libglu1-mesa libxrender1 libxcursor1 libxft2 libxinerama1
)
# Only for the fuzzers (tools/run-fuzzers.sh passes --fuzz): clang and its libFuzzer and
# sanitizer runtimes.
fuzz_packages=(clang libclang-rt-14-dev)
if [ "${1:-}" = "--fuzz" ]; then packages+=("${fuzz_packages[@]}"); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing Debian packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

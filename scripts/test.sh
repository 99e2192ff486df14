#!/usr/bin/env bash
# Sets up the machine (packages, configure, build) and runs the whole test
# suite. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release
ctest --preset release -j "$(nproc)" "$@"

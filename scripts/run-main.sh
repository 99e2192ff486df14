#!/usr/bin/env bash
# The main job. For now it sets up the machine and builds everything; the
# headless batch converter that will convert the bundled sample images does
# not exist yet, so nothing is converted.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release
echo "Built into build/release. (No batch converter yet: nothing was converted.)"

#!/usr/bin/env bash
# The main job: builds everything and runs the station.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
scripts/build.sh build
./build/station/tktest </dev/null

#!/usr/bin/env bash
# Runs the demo from the build tree given as $1.
set -euo pipefail
build=${1:-build}
"$build/examples/host-app/host-app"

#!/usr/bin/env bash
# `make bench`: the size, extraction, memory, start-up and installer figures of
# setup.exe under Wine, as one table. Runs inside scripts/session.sh:
#   scripts/session.sh build/x86_64 bench/run.sh build/x86_64 build/i686
# The work files (random packages, bundles) live in the prefix's C:\bench.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 bench/bench.py "$@"

#!/usr/bin/env bash
# `make bench`: the size, extraction, memory, start-up, installer and elevated-check figures of
# setup.exe under Wine, for the shipped i686 build and the x86_64 build, as one
# table:
#   bench/run.sh build/x86_64 build/i686 [--figures 2,6]
# Runs in a session of the x86_64 build (scripts/session.sh); the work files
# (random packages, bundles) live in its prefix's C:\bench. Where this machine
# cannot start 32-bit programs, one line says so at the top and at the end, and
# of the i686 build only the size is measured.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine.sh
notice=$(i686_not_run_reason)
[ -z "$notice" ] || echo "$notice"
rc=0
scripts/session.sh "$1" python3 bench/bench.py "$@" ${notice:+--no-i686} || rc=$?
[ -z "$notice" ] || echo "$notice"
exit "$rc"

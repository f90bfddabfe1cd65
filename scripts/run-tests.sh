#!/usr/bin/env bash
# Runs every test of the x86_64 build under Wine (ctest), after checking what the
# shipped i686 build imports. Called by `make test` inside scripts/session.sh.
set -euo pipefail
b64=$1
# The shipped 32-bit build is not run here; what it imports and its section layout
# are checked all the same (the 64-bit ones by their own ctest tests).
if [ -n "${2:-}" ]; then
    bash "$(dirname "$0")/../tests/installer/check-imports.sh" i686-w64-mingw32-objdump "$2/bin/setup.exe"
    bash "$(dirname "$0")/../tests/layout/check-layout.sh" i686-w64-mingw32-objdump "$2/bin/setup.exe"
fi
ctest --test-dir "$b64" --output-on-failure

#!/usr/bin/env bash
# Runs every test of the x86_64 build under Wine (ctest), after checking what the
# shipped i686 build imports. Called by `make test` inside scripts/session.sh.
set -euo pipefail
b64=$1
# The shipped 32-bit build is not run here; what it imports is checked all the same
# (the 64-bit one is checked by its own ctest test, setup_imports).
if [ -n "${2:-}" ]; then
    bash "$(dirname "$0")/../tests/installer/check-imports.sh" i686-w64-mingw32-objdump "$2/bin/setup.exe"
fi
ctest --test-dir "$b64" --output-on-failure

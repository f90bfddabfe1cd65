#!/usr/bin/env bash
# Runs every test of the x86_64 build under Wine (ctest), after checking what the
# shipped i686 build imports. Called by `make test` inside scripts/session.sh.
set -euo pipefail
b64=$1
ctest --test-dir "$b64" --output-on-failure

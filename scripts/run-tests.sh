#!/usr/bin/env bash
# `make test`: every ctest test of the shipped i686 build under 32-bit Wine, then
# of the x86_64 build under 64-bit Wine, each in a session of its own build tree
# and prefix (scripts/session.sh):
#   scripts/run-tests.sh BUILD_I686 BUILD_X86_64 [BUILD_NATIVE]
# and, with a native build, the native packer against setuppack.exe
# (tests/native/compare-packers.sh) in the x86_64 build's session.
# Where this machine cannot start 32-bit programs, one line says so at the top
# and at the end, the i686 setup.exe is only checked on the Linux side (imports,
# section layout), and the x86_64 suite runs alone. The second suite runs even
# when the first fails; the exit code is non-zero when anything failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine.sh"
b32=$1 b64=$2 bnative=${3:-}

notice=$(i686_not_run_reason)
[ -z "$notice" ] || echo "$notice"

status=0 passed=0 failed=0 summary=()

# Runs one build's suite in a session of its own; adds its line to the summary.
run_suite() {
    local arch=$1 build=$2 started=$SECONDS rc=0 counts seconds bad total
    local log=$build/Testing/make-test.log
    echo "== $arch: ctest in $build"
    mkdir -p "$build/Testing"
    "$here/session.sh" "$build" ctest --test-dir "$build" --output-on-failure 2>&1 | tee "$log" || rc=$?
    seconds=$((SECONDS - started))
    # ctest's closing count: "96% tests passed, 1 tests failed out of 27".
    counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)
    if [ -z "$counts" ]; then
        summary+=("$(printf '%-7s did not finish (exit %d) after %dm%02ds' "$arch" "$rc" $((seconds / 60)) $((seconds % 60)))")
        status=1
        return
    fi
    read -r bad total <<<"$counts"
    passed=$((passed + total - bad)) failed=$((failed + bad))
    summary+=("$(printf '%-7s %d tests, %d passed, %d failed in %dm%02ds' "$arch" "$total" $((total - bad)) "$bad" \
        $((seconds / 60)) $((seconds % 60)))")
    [ "$rc" -eq 0 ] && [ "$bad" -eq 0 ] || status=1
}

if [ -z "$notice" ]; then
    run_suite i686 "$b32"
else
    # What can be checked without running it: the imports and section layout of
    # the shipped program, read with objdump on the Linux side.
    echo "== i686: imports and section layout of $b32/bin/setup.exe (not run)"
    if bash "$here/../tests/installer/check-imports.sh" i686-w64-mingw32-objdump "$b32/bin/setup.exe" &&
        bash "$here/../tests/layout/check-layout.sh" i686-w64-mingw32-objdump "$b32/bin/setup.exe"; then
        summary+=("i686    not run; imports and section layout of setup.exe checked")
    else
        summary+=("i686    not run; imports or section layout of setup.exe FAILED")
        status=1
    fi
fi
run_suite x86_64 "$b64"

if [ -n "$bnative" ]; then
    echo "== native: build/native/setuppack against setuppack.exe"
    started=$SECONDS
    log=$b64/Testing/native-test.log
    "$here/session.sh" "$b64" bash "$here/../tests/native/compare-packers.sh" "$bnative" "$b64" "$b32" 2>&1 | tee "$log"
    counts=$(sed -n 's/^native: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log" | tail -n 1)
    seconds=$((SECONDS - started))
    if [ -z "$counts" ]; then
        summary+=("native  did not finish")
        status=1
    else
        read -r good bad <<<"$counts"
        passed=$((passed + good)) failed=$((failed + bad))
        summary+=("$(printf '%-7s %d tests, %d passed, %d failed in %dm%02ds' native $((good + bad)) "$good" "$bad" \
            $((seconds / 60)) $((seconds % 60)))")
        [ "$bad" -eq 0 ] || status=1
    fi
fi

echo
echo "== make test"
printf '%s\n' "${summary[@]}"
echo "total: $passed passed, $failed failed"
[ -z "$notice" ] || echo "$notice"
exit "$status"

#!/usr/bin/env bash
# Builds every preset and runs every test:
#   - the Windows tests of the 32-bit and the 64-bit build, under Wine, inside
#     the harness sandbox (tests/harness/sandbox.sh);
#   - the Debian package made from both builds: lintian, then installed into
#     a scratch root, run once in the sandbox and removed again;
#   - every fuzz target of the native build for a bounded time.
# Where this machine cannot run 32-bit programs, the 32-bit build is still
# built but its tests are skipped (one line says why). On a machine that can,
# the harness's 64-bit-only mode is tested too (QUOLM_WINE64_ONLY=1), so the
# fallback keeps working where it is never needed.
# Ends with the line "N passed, N failed, N skipped" and a non-zero status on
# any failure.
#
# Environment: QUOLM_FUZZ_SECONDS (default 30) per fuzz target;
# QUOLM_WINE64_ONLY=1 runs as on a machine without 32-bit support.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
REPO_DIR=$PWD
FUZZ_SECONDS=${QUOLM_FUZZ_SECONDS:-30}

passed=0
failed=0
skipped=0
problems=()
notes=()

note_failure() { # note_failure WHAT: one failed step that is not a test count
    failed=$((failed + 1))
    problems+=("$1")
    echo "test.sh: FAILED: $1" >&2
}

finish() {
    echo
    if [[ ${#problems[@]} -gt 0 ]]; then
        echo "test.sh: failures:"
        printf '  %s\n' "${problems[@]}"
    fi
    if [[ ${#notes[@]} -gt 0 ]]; then printf 'test.sh: %s\n' "${notes[@]}"; fi
    echo "test.sh: took $SECONDS s"
    echo "$passed passed, $failed failed, $skipped skipped"
    if [[ $failed -ne 0 ]]; then exit 1; fi
    exit 0
}

section() { printf '\n==== %s (at %d s) ====\n' "$*" "$SECONDS"; }

# add_ctest_counts LABEL LOG RC: adds the counts of ctest's summary line in
# LOG ("NN% tests passed, F tests failed out of T") to the totals; RC is
# ctest's exit status.
add_ctest_counts() {
    local label=$1 log=$2 rc=$3 summary total bad
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
    if [[ -z "$summary" ]]; then
        note_failure "$label ran no test (exit $rc)"
        return
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    if [[ $bad -gt 0 ]]; then problems+=("$label: $bad of $total failed"); fi
    if [[ $rc -ne 0 && $bad -eq 0 ]]; then note_failure "$label exited with $rc"; fi
}

# run_ctest PRESET LOGSUFFIX [SANDBOX-ARGS... -- CTEST-ARGS...] | [CTEST-FILTER...]
# Runs ctest inside the sandbox and adds its counts to the totals.
run_ctest() {
    local preset=$1 suffix=$2
    shift 2
    local log="build/$preset/ctest$suffix.log"
    section "tests $preset$suffix (Wine, sandboxed)"
    if [[ "${1:-}" == --device ]]; then
        bash tests/harness/sandbox.sh "$@" 2>&1 | tee "$log"
    else
        bash tests/harness/sandbox.sh ctest --preset "$preset" --output-on-failure "$@" 2>&1 | tee "$log"
    fi
    add_ctest_counts "ctest $preset$suffix" "$log" "${PIPESTATUS[0]}"
}

section "setup"
if ! bash scripts/setup.sh; then
    note_failure "scripts/setup.sh"
    finish
fi
# shellcheck source=wine-arch.sh
source scripts/wine-arch.sh
quolm_wine_arch
echo "test.sh: Wine runs: $QUOLM_WINE_ARCH${QUOLM_WINE_ARCH_WHY:+ ($QUOLM_WINE_ARCH_WHY)}"

# skip_ctest PRESET WHY: counts the tests of PRESET as skipped, says why.
skip_ctest() {
    local n
    n=$(ctest --preset "$1" -N 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
    skipped=$((skipped + ${n:-0}))
    local line="skipped the ${n:-0} tests of the 32-bit build ($1): $2"
    notes+=("$line")
    echo "test.sh: $line"
}

# --- Windows builds: build, then the whole CTest suite under Wine -----------------
for preset in i686 x86_64; do
    section "configure and build $preset"
    if ! cmake --preset "$preset" || ! cmake --build --preset "$preset"; then
        note_failure "build $preset"
        continue
    fi

    if [[ $preset == i686 ]] && ! quolm_wine_has_win32; then
        skip_ctest "$preset" "$QUOLM_WINE_ARCH_WHY"
        continue
    fi

    # The end-to-end tests drive Quolm.exe on its designed port COM1, so they
    # run in a sandbox of their own that maps COM1 to a pty pair; every other
    # test runs where COM1 does not exist.
    run_ctest "$preset" "" -E '^e2e_'
    if [[ $preset == x86_64 ]] && quolm_wine_has_win32; then
        # The 64-bit program runs the same under either loader: here it runs
        # as on a machine without 32-bit support, which keeps that path tested.
        section "harness: 64-bit-only mode (QUOLM_WINE64_ONLY=1)"
        if QUOLM_WINE_ARCH="" QUOLM_WINE64_ONLY=1 bash tests/harness_test/wine64_only_test.sh "build/$preset"; then
            passed=$((passed + 1))
        else
            note_failure "harness 64-bit-only mode (tests/harness_test/wine64_only_test.sh)"
        fi
        QUOLM_WINE_ARCH="" QUOLM_WINE64_ONLY=1 \
            run_ctest "$preset" "-e2e" --device COM1 -- ctest --preset "$preset" --output-on-failure -R '^e2e_'
    else
        run_ctest "$preset" "-e2e" --device COM1 -- ctest --preset "$preset" --output-on-failure -R '^e2e_'
    fi
done

# --- The Debian package: made from both builds, linted, installed into a
# scratch root, run once in the sandbox, removed ---------------------------------
section "Debian package"
if deb=$(bash scripts/make-deb.sh); then
    echo "test.sh: made $deb"
    if lintian --fail-on error "$deb"; then
        passed=$((passed + 1))
    else
        note_failure "lintian reports errors on $deb"
    fi
    # The 64-bit tree: its programs run on every machine that runs Wine.
    if cmake --build --preset x86_64 --target wininfo >/dev/null &&
        bash tests/harness/sandbox.sh --build-dir build/x86_64 \
            bash tests/package/package_test.sh "$deb" build/x86_64/tools/demo/wininfo.exe; then
        passed=$((passed + 1))
    else
        note_failure "the package test (tests/package/package_test.sh)"
    fi
else
    note_failure "scripts/make-deb.sh"
fi

# --- Native fuzz targets ------------------------------------------------------------
section "configure and build fuzz"
if ! cmake --preset fuzz || ! cmake --build --preset fuzz; then
    note_failure "build fuzz"
else
    # Native unit tests of the portable units, then the fuzz targets.
    section "native unit tests (fuzz preset)"
    log=build/fuzz/ctest.log
    ctest --preset fuzz --output-on-failure 2>&1 | tee "$log"
    add_ctest_counts "native unit tests" "$log" "${PIPESTATUS[0]}"
    mapfile -t fuzzers < <(find build/fuzz -type f -name 'fuzz_*' -perm -u+x -not -path '*/CMakeFiles/*' | sort)
    if [[ ${#fuzzers[@]} -eq 0 ]]; then
        echo "test.sh: no fuzz target built yet"
    fi
    for exe in "${fuzzers[@]}"; do
        name=$(basename "$exe")
        section "fuzz $name (${FUZZ_SECONDS} s)"
        corpus="build/fuzz-corpus/$name"
        artifacts="build/fuzz-artifacts"
        mkdir -p "$corpus" "$artifacts"
        # Checked-in seeds are read, never written.
        seeds=()
        [[ -d "tools/fuzz/corpus/$name" ]] && seeds=("tools/fuzz/corpus/$name")
        log="build/fuzz-corpus/$name.log"
        timeout --kill-after=10 $((FUZZ_SECONDS + 120)) "$exe" \
            -max_total_time="$FUZZ_SECONDS" -timeout=20 -print_final_stats=1 \
            -artifact_prefix="$artifacts/$name-" "$corpus" "${seeds[@]}" >"$log" 2>&1
        rc=$?
        if [[ $rc -eq 0 ]]; then
            passed=$((passed + 1))
            grep -E '^(Done|stat::number_of_executed_units)' "$log" | head -n2
        else
            tail -n 40 "$log"
            note_failure "fuzz $name (exit $rc, log $log, artifacts $artifacts/$name-*)"
        fi
    done
fi

finish

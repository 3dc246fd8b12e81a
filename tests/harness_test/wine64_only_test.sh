#!/usr/bin/env bash
# The harness's 64-bit-only mode, on any machine: with QUOLM_WINE64_ONLY=1 the
# sandbox must behave as on a kernel without 32-bit support (the 32-bit loader
# fails with "Exec format error", and Debian's own wine script with it), and
# still run Windows programs through the 64-bit loader: the harness test runs
# over the pty pairs, test.sh and run.sh pick the 64-bit build.
#
#   tests/harness_test/wine64_only_test.sh BUILD-DIR   (an x86_64 build tree)
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/../.."
BUILD_DIR=${1:?usage: wine64_only_test.sh BUILD-DIR}
export QUOLM_WINE64_ONLY=1
unset QUOLM_WINE_ARCH QUOLM_WINE_ARCH_WHY

fail=0
check() { # check WHAT COMMAND...: one line per check
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi
}

# shellcheck source=../../scripts/wine-arch.sh
source scripts/wine-arch.sh
quolm_wine_arch
check "the forced mode picks the 64-bit build" [ "$(quolm_default_preset)" = x86_64 ]
check "the forced mode gives its reason" [ -n "$QUOLM_WINE_ARCH_WHY" ]

# Inside: each check prints its own line; the sandbox's status is theirs.
bash tests/harness/sandbox.sh --build-dir "$BUILD_DIR" --no-x -- bash -c '
    fail=0
    check() { if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fail=1; fi; }
    check "QUOLM_WINE_ARCH is win64 inside" [ "$QUOLM_WINE_ARCH" = win64 ]
    if [ -e "$QUOLM_WINE32_LOADER" ]; then
        out=$("$QUOLM_WINE32_LOADER" --version 2>&1); rc=$?
        refused=no
        [[ $rc -eq 126 && $out == *"Exec format error"* ]] && refused=yes
        check "the 32-bit loader fails as on a kernel without 32-bit support" [ $refused = yes ]
        check "Debian'"'"'s wine script fails with it" bash -c "! /usr/bin/wine --version >/dev/null 2>&1"
    fi
    check "wine is the 64-bit loader" [ "$(head -c 300 "$(command -v wine)" | grep -c "$QUOLM_WINE64_LOADER")" -ge 1 ]
    check "WINELOADER is the 64-bit loader" [ "${WINELOADER:-}" = "$QUOLM_WINE64_LOADER" ]
    check "a 64-bit program runs over the pty pairs (harness_test)" \
        ctest --test-dir "$QUOLM_BUILD_DIR" -R "^harness_test$" --output-on-failure -Q
    exit $fail
' || fail=1

exit $fail

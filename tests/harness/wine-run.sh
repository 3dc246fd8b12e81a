#!/usr/bin/env bash
# CTest's emulator for the Windows test executables: wine-run.sh PROGRAM ARGS...
# Runs PROGRAM under Wine (32- or 64-bit, Wine picks) and returns its exit code.
# Only inside tests/harness/sandbox.sh: outside it Wine would map the machine's
# own serial ports to COM numbers that the tests might open.
set -uo pipefail

refuse() {
    echo "wine-run: refusing to run $*" >&2
    echo "wine-run: Windows tests run only inside the harness sandbox, e.g." >&2
    echo "wine-run:   tests/harness/sandbox.sh ctest --preset i686 --output-on-failure" >&2
    exit 125
}

[[ $# -ge 1 ]] || { echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2; exit 2; }
[[ "${QUOLM_SANDBOX:-}" == 1 ]] || refuse "$1: not inside the sandbox (QUOLM_SANDBOX is not 1)"
if [[ -e /dev/ttyS0 ]] || compgen -G '/dev/ttyS[0-9]*' >/dev/null ||
    compgen -G '/dev/ttyUSB*' >/dev/null || compgen -G '/dev/ttyACM*' >/dev/null; then
    refuse "$1: a host serial device is visible in /dev"
fi
[[ -n "${WINEPREFIX:-}" ]] || refuse "$1: WINEPREFIX is not set"

export WINEDEBUG=${WINEDEBUG:--all}
# A test that asks for modem lines on the pairs (test property ENVIRONMENT).
if [[ "${QUOLM_NULL_MODEM:-}" == 1 ]]; then
    [[ -n "${QUOLM_NULLMODEM_PRELOAD:-}" ]] || refuse "$1: no null-modem library in this sandbox"
    export LD_PRELOAD=$QUOLM_NULLMODEM_PRELOAD
fi
exec wine "$@"

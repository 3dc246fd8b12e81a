# The common start of the end-to-end scripts. A script sets EXE, QD_WININFO,
# QD_REPO_DIR and QD_NAME (the prefix of its messages), then sources this:
# the demo's helpers, a fail() that tells what the screen and the program
# showed, and the checks of the sandbox the script runs in. A script that
# has more to tell on failure defines e2e_on_fail after sourcing.
# shellcheck shell=bash
# shellcheck source=../../tools/demo/lib.sh
source "$QD_REPO_DIR/tools/demo/lib.sh"

e2e_on_fail() { :; }

fail() {
    echo "$QD_NAME: FAILED: $*" >&2
    if [[ -n "${QD_PROGRAM_PID:-}" ]] && ! kill -0 "$QD_PROGRAM_PID" 2>/dev/null; then
        echo "$QD_NAME: the program is no longer running" >&2
    elif [[ -n "${DISPLAY:-}" ]]; then
        echo "$QD_NAME: windows on screen: $(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null |
            grep -v '^Default IME$' | paste -sd '|')" >&2
    fi
    if [[ -n "${DISPLAY:-}" && -n "${WORK:-}" ]]; then
        import -window root "$WORK/failure.png" 2>/dev/null && echo "$QD_NAME: screenshot $WORK/failure.png" >&2
    fi
    if [[ -s "${WORK:-/nonexistent}/wine.out" ]]; then
        echo "$QD_NAME: program output:" >&2
        sed 's/^/    /' "$WORK/wine.out" >&2
    fi
    e2e_on_fail
    exit 1
}

# Inside the sandbox, with its display and the programs to run.
e2e_require_sandbox() {
    [[ "${QUOLM_SANDBOX:-}" == 1 ]] || { echo "$QD_NAME: run inside tests/harness/sandbox.sh" >&2; exit 1; }
    [[ -n "${DISPLAY:-}" ]] || fail "no X display"
    [[ -f "$EXE" && -f "$QD_WININFO" ]] || fail "missing $EXE or $QD_WININFO"
}

# Both ends of the harness's first pair, COM10 and COM11.
e2e_require_pair1() {
    [[ "${QUOLM_PAIR1:-}" == COM10:COM11 && -n "${QUOLM_PAIR1_A:-}" && -n "${QUOLM_PAIR1_B:-}" ]] ||
        fail "the harness pair COM10:COM11 is missing"
}

# The far end the program talks to: the device end of COM1 when the sandbox
# made one (--device COM1, as the demo does; the program's own port then),
# else COM11, and the program is to choose COM10 (CHOOSE_PORT=1).
e2e_choose_peer() {
    if [[ "${QUOLM_DEVICE_PORT:-}" == COM1 && -n "${QUOLM_DEVICE_PTY:-}" ]]; then
        PEER=$QUOLM_DEVICE_PTY PEER_NAME="the device end of COM1" CHOOSE_PORT=0
    else
        e2e_require_pair1
        PEER=$QUOLM_PAIR1_B PEER_NAME=COM11 CHOOSE_PORT=1
    fi
}

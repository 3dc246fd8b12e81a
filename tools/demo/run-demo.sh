#!/usr/bin/env bash
# The program's main job, shown: Quolm.exe sends the rows of a sample command
# table to a simulated AT/HEX device on COM1 and shows its replies.
#
#   tools/demo/run-demo.sh [--headless | --interactive] [--build-dir DIR]
#
# It builds nothing (scripts/run.sh builds the program first; DIR defaults to
# build/i686, or build/x86_64 where 32-bit programs cannot run). COM1 is
# only the sandbox's pty pair (tests/harness/sandbox.sh --device COM1): the
# machine's own serial ports are never visible to Wine.
#
# With a reachable X display (DISPLAY) the program opens there and the demo
# waits until you close it; double-click rows to send them, tick "Always
# connected" to see the replies. Without one, it runs on the sandbox's Xvfb,
# clicks a few rows itself, saves build/demo-screenshot.png and closes the
# program (a second screenshot, *-terminal.png, shows the log view after
# typing a command into it, a third, *-hexlog.png, the same in the Hex Log). Either way it ends by printing what the device received and answered.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/../.."
REPO_DIR=$PWD

# shellcheck source=../../scripts/wine-arch.sh
source scripts/wine-arch.sh
MODE=auto
BUILD_DIR=${QUOLM_DEMO_BUILD_DIR:-$REPO_DIR/build/$(quolm_default_preset)}
while [[ $# -gt 0 ]]; do
    case "$1" in
        --headless) MODE=headless; shift ;;
        --interactive) MODE=interactive; shift ;;
        --build-dir) BUILD_DIR=${2:?--build-dir needs a directory}; shift 2 ;;
        -h|--help) sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "${BASH_SOURCE[0]}"; exit 0 ;;
        *) echo "run-demo: unknown argument $1" >&2; exit 2 ;;
    esac
done
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

EXE="$BUILD_DIR/app/Quolm.exe"
WININFO="$BUILD_DIR/tools/demo/wininfo.exe"
for f in "$EXE" "$WININFO"; do
    [[ -f "$f" ]] || { echo "run-demo: $f is missing (build its preset first)" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "run-demo: python3 is missing (run scripts/setup.sh)" >&2; exit 1; }

if [[ $MODE == auto ]]; then
    MODE=headless
    if [[ -n "${DISPLAY:-}" ]] && timeout 5 xdpyinfo >/dev/null 2>&1; then
        MODE=interactive
    fi
fi

WORK=$(mktemp -d /tmp/quolm-demo.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
SHOT="$REPO_DIR/build/demo-screenshot.png"

# The sample command table of the release bundle: every send form, CRLF line
# ends as written on Windows. Row 5 sends AT without a line end; the device
# waits until row 6 sends the CR alone.
cp dist/quolm.dat "$WORK/quolm.dat"

echo "run-demo: working directory $WORK (quolm.dat with 7 commands)"
if [[ $MODE == interactive ]]; then
    echo "run-demo: Quolm.exe opens on $DISPLAY. Double-click a row to send it; tick"
    echo "run-demo: \"Always connected\" to see the device's replies. Close the window to end."
    SANDBOX_OPTS=(--no-x)
else
    echo "run-demo: no X display: running on Xvfb and clicking the rows myself"
    rm -f "$SHOT" "${SHOT%.png}-terminal.png" "${SHOT%.png}-hexlog.png"
    SANDBOX_OPTS=()
fi

rc=0
bash tests/harness/sandbox.sh --build-dir "$BUILD_DIR" --device COM1 "${SANDBOX_OPTS[@]}" -- \
    bash tools/demo/demo-inner.sh "$MODE" "$WORK" "$EXE" "$WININFO" "$SHOT" || rc=$?

echo
echo "run-demo: what the device received (RX) and answered (TX):"
if [[ -s "$WORK/device.log" ]]; then
    sed 's/^/    /' "$WORK/device.log"
else
    echo "    (nothing)"
fi
if [[ $MODE == headless ]]; then
    if [[ -f "$SHOT" ]]; then
        echo "run-demo: screenshot in $SHOT (after typing into the log view: ${SHOT%.png}-terminal.png;" \
            "the Hex Log: ${SHOT%.png}-hexlog.png; the About box: ${SHOT%.png}-about.png;" \
            "a run of checks: ${SHOT%.png}-checks.png)"
    else
        echo "run-demo: no screenshot was taken" >&2
        [[ $rc -ne 0 ]] || rc=1
    fi
fi
exit "$rc"

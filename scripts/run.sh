#!/usr/bin/env bash
# Builds the shipped 32-bit program and runs its main job: the demo script
# drives it against a simulated device on COM1. Until that script exists, the
# program is started under Wine (sandboxed, on Xvfb) and a screenshot is taken.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
REPO_DIR=$PWD

bash scripts/setup.sh
cmake --preset i686
cmake --build --preset i686

if [[ -f tools/demo/run-demo.sh ]]; then
    exec bash tools/demo/run-demo.sh "$@"
fi

EXE="$REPO_DIR/build/i686/app/Quolm.exe"
if [[ ! -f "$EXE" ]]; then
    echo "run.sh: $EXE was not built" >&2
    exit 1
fi
SHOT="$REPO_DIR/build/demo-screenshot.png"
rm -f "$SHOT"

# Inside the sandbox: start the program in a Wine desktop (it gives the window a
# frame and title bar), give it time to come up, photograph the desktop, stop.
# The sandbox stops Wine and Xvfb on the way out.
bash tests/harness/sandbox.sh --build-dir build/i686 -- bash -c '
    set -euo pipefail
    cd "$(dirname "$1")"
    wine explorer /desktop=Quolm,1024x768 "$(basename "$1")" >/dev/null 2>&1 &
    desktop=""
    for _ in $(seq 60); do
        desktop=$(xdotool search --name "Quolm - Wine desktop" 2>/dev/null | head -n1) || true
        [[ -n "$desktop" ]] && break
        sleep 0.5
    done
    [[ -n "$desktop" ]] || { echo "run.sh: the Wine desktop did not appear" >&2; exit 1; }
    sleep 5
    import -window "$desktop" "$2"
    wineserver -k || true
' run-app "$EXE" "$SHOT"

[[ -f "$SHOT" ]] || { echo "run.sh: no screenshot was taken" >&2; exit 1; }
echo "run.sh: screenshot in $SHOT"

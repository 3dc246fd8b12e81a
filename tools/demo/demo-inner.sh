#!/usr/bin/env bash
# The part of the demo that runs inside the sandbox (see run-demo.sh):
#   demo-inner.sh interactive|headless WORKDIR EXE WININFO SCREENSHOT
set -euo pipefail

MODE=$1 WORK=$2 EXE=$3 QD_WININFO=$4 SHOT=$5
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=run-demo
# shellcheck source=lib.sh
source "$QD_REPO_DIR/tools/demo/lib.sh"

[[ "${QUOLM_SANDBOX:-}" == 1 && -n "${QUOLM_DEVICE_PTY:-}" ]] || {
    qd_say "must run inside tests/harness/sandbox.sh --device COM1"
    exit 2
}
[[ "${QUOLM_DEVICE_PORT:-}" == COM1 ]] || { qd_say "the device must be on COM1"; exit 2; }

trap 'qd_stop_program; qd_stop_device' EXIT

# Headless: a Wine desktop gives the window its frame and title bar.
[[ $MODE == interactive ]] || QD_DESKTOP="QuolmDemo,800x480"

# Two rules for the checks part: ATZ answers late, AT+SLEEP never.
qd_start_device "$QUOLM_DEVICE_PTY" "$WORK/device.log" "$WORK/device.raw" \
    --rule 'ATZ|delay=120' --rule 'AT+SLEEP|silent'
qd_say "simulated device on $QUOLM_DEVICE_PORT (pty $QUOLM_DEVICE_PTY)"
qd_start_program "$EXE" "$WORK"

if [[ $MODE == interactive ]]; then
    wait "$QD_PROGRAM_PID" || true
    QD_PROGRAM_PID=""
    exit 0
fi

qd_wait_window 90 || { qd_say "the main window did not appear"; cat "$WORK/wine.out" >&2; exit 1; }
qd_client_origin
qd_say "main window at $QD_CLIENT_X,$QD_CLIENT_Y (client ${QD_CLIENT_W}x$QD_CLIENT_H)"

# Keep the port open so the replies reach the log view.
qd_click_always_connected
sleep 0.5

expected=0
for row in 1 2 3 4 5 6 7; do
    case $row in
        1) n=3 ;; 2) n=4 ;; 3) n=8 ;; 4) n=4 ;; 5) n=2 ;; 6) n=1 ;; 7) n=7 ;;
    esac
    expected=$((expected + n))
    qd_say "double click on row $row"
    qd_double_click_row "$row"
    qd_wait_size "$WORK/device.raw" "$expected" 10 || qd_say "row $row: the device did not get its $n bytes"
    qd_wait_quiet "$WORK/device.log" 3
done
sleep 0.5
import -window "$QD_WINDOW" "$SHOT"

# The log view is also a terminal: typed characters go to the port.
qd_say "typing AT+GMI and Return into the Tx/Rx log view"
xdotool mousemove --sync $((QD_CLIENT_X + 300)) $((QD_CLIENT_Y + 290)) click 1
xdotool type --delay 40 'AT+GMI'
xdotool key Return
expected=$((expected + 7))
qd_wait_size "$WORK/device.raw" "$expected" 10 || qd_say "the typed command did not reach the device"
qd_wait_quiet "$WORK/device.log" 3
sleep 0.5
import -window "$QD_WINDOW" "${SHOT%.png}-terminal.png"

# View > Hex Log by keyboard (Alt+V, H): the same history as hex lines with
# the time of day and the gap before each.
qd_say "switching to the Hex Log"
xdotool key --delay 150 alt+v h
# Maximized (system menu, Alt+Space X) the hex lines show whole.
xdotool key --delay 150 alt+space x
sleep 1
import -window "$QD_WINDOW" "${SHOT%.png}-hexlog.png"
xdotool key --delay 150 alt+space r
sleep 0.5

# The About box, from the menu bar's "About", by keyboard as a user would:
# Alt+V opens "View", Right moves on to "About", Return chooses it.
qd_say "opening About"
xdotool key --delay 150 alt+v Right Return
sleep 1.5
# Only the box: its client area from Windows (through a file, as inside a
# desktop), widened by the tool window's frame and small caption.
about=$(mktemp /tmp/quolm-about.XXXXXX)
rm -f "$about"
qd_wine "$QD_WININFO" "About" "Z:${about//\//\\}" 5000 >/dev/null 2>&1 || true
for _ in $(seq 100); do [[ -s "$about" ]] && break; sleep 0.05; done
read -r ax ay aw ah _ < <(tr -d '\r' <"$about" 2>/dev/null) || true
rm -f "$about"
if [[ "${ah:-}" =~ ^[0-9]+$ ]]; then
    import -window "$QD_WINDOW" -crop "$((aw + 6))x$((ah + 20))+$((ax - 3))+$((ay - 17))" +repage "${SHOT%.png}-about.png"
else
    qd_say "the About box did not appear"
    import -window "$QD_WINDOW" "${SHOT%.png}-about.png"
fi
qd_wine "$QD_WININFO" --close "About" >/dev/null 2>&1 || true

# Checks: a table whose rows carry the reply they must get, run with F5.
# Four pass; AT+FOO gets ERROR and AT+SLEEP no answer, so two fail.
qd_stop_program
mkdir -p "$WORK/checks"
printf '%s\r\n' 'RowCount=6' '1=ASCII+CR,Attention,AT' '2=ASCII+CR,Reset (answers late),ATZ' \
    '3=HEX,Ping frame,01 02 0A FF' '4=ASCII+CR,Identify,ATI' '5=ASCII+CR,Unknown command,AT+FOO' \
    '6=ASCII+CR,Sleep (no answer),AT+SLEEP' 'Row.1.Expect=OK<CR><LF>' 'Row.2.Expect=OK' \
    'Row.3.Expect=HEX:41 43 4B ?? 30 31' 'Row.4.Expect=<CR><LF>' 'Row.5.Expect=OK' 'Row.6.Expect=OK' \
    'Row.6.Timeout=800' >"$WORK/checks/quolm.dat"
qd_start_program "$EXE" "$WORK/checks"
qd_wait_window 90 || { qd_say "the main window did not appear again"; exit 1; }
qd_client_origin
qd_say "running the checks table with F5"
xdotool mousemove --sync $((QD_CLIENT_X + 300)) $((QD_CLIENT_Y + 60)) click 1
xdotool key F5
sleep 4
qd_wait_quiet "$WORK/device.log" 3
import -window "$QD_WINDOW" "${SHOT%.png}-checks.png"

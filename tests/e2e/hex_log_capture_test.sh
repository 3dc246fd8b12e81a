#!/usr/bin/env bash
# End to end, by keyboard: Quolm.exe (the real program) under Wine switches
# to View > Hex Log (Alt+V, H), starts File > Capture to File... (Alt+F, C)
# with a file name typed into the save dialog, receives bytes from the far
# end of the harness's null-modem pair (NUL and control bytes among them),
# sends a HEX row, and stops the capture (Alt+F, P). The capture file must
# hold both lines in the text format, and the log view (read with
# WM_GETTEXT, as an assistive tool does) must show them in hex.
#
#   hex_log_capture_test.sh QUOLM.EXE WININFO.EXE
#
# Runs inside tests/harness/sandbox.sh (CTest does that for it). Every wait
# is bounded; on failure it prints what it saw and saves a screenshot beside
# the test's working files.
set -uo pipefail

EXE=${1:?usage: hex_log_capture_test.sh QUOLM.EXE WININFO.EXE}
QD_WININFO=${2:?usage: hex_log_capture_test.sh QUOLM.EXE WININFO.EXE}
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=e2e-hexlog
# shellcheck source=lib.sh
source "$QD_REPO_DIR/tests/e2e/lib.sh"

e2e_require_sandbox
e2e_choose_peer
command -v xdotool >/dev/null || fail "xdotool is missing"

WORK=$(mktemp -d "${QUOLM_BUILD_DIR:-/tmp}/e2e-hexlog.XXXXXX")
trap 'qd_stop_program; qd_stop_device' EXIT
CAPTURE="$WORK/capture.txt"

printf '%s\r\n' "RowCount=1" "1=HEX,Frame with NUL,02 00 1B FF" >"$WORK/quolm.dat"

RAW="$WORK/peer.raw"
: >"$RAW"
seen() { [[ -s "$RAW" ]] && od -An -tx1 -v "$RAW" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' | tr a-f A-F || echo "(none)"; }

# The log view sits where the designed Tx/Rx view does (0, 211 in the client
# area); asked there, Windows finds the visible one.
view_text() { wine "$QD_WININFO" --text-at 100 250 "Quolm-Portwright" 2>/dev/null | tr -d '\r'; }
# wait_until SECONDS WHAT COMMAND...: until COMMAND succeeds.
wait_until() {
    local seconds=$1 what=$2 deadline
    shift 2
    deadline=$(($(date +%s) + seconds))
    until "$@"; do
        (($(date +%s) > deadline)) && fail "waited $seconds s for $what"
        sleep 0.2
    done
}
view_has() { [[ "$(view_text)" == *"$1"* ]]; }
capture_has() { [[ -f "$CAPTURE" ]] && grep -qF -- "$1" "$CAPTURE"; }

qd_start_device "$PEER" "$WORK/peer.log" "$RAW" --silent || fail "cannot listen on the far end"
qd_start_program "$EXE" "$WORK"
qd_wait_window 60 || fail "the main window (caption Quolm-Portwright ...) did not appear within 60 s"
qd_client_origin || fail "cannot locate the main window's client area"
if [[ $CHOOSE_PORT == 1 ]]; then
    qd_select_first_port
    shown=$(wine "$QD_WININFO" --combo "Quolm-Portwright" 2>/dev/null | tr -d '\r')
    [[ "$shown" == COM10 ]] || fail "the port selector shows '$shown' after choosing its first entry (expected COM10)"
fi

# View > Hex Log (what the view shows below proves the mode).
xdotool windowactivate --sync "$QD_WINDOW" 2>/dev/null || true
xdotool key --delay 150 alt+v h

# File > Capture to File...: the save dialog, the name typed, Enter.
xdotool key --delay 150 alt+f c
dialog=$(timeout 60 xdotool search --sync --onlyvisible --name '^Save As' 2>/dev/null | head -n1) ||
    fail "the save dialog did not appear within 60 s after Alt+F, C"
[[ -n "$dialog" ]] || fail "the save dialog did not appear within 60 s after Alt+F, C"
xdotool windowactivate --sync "$dialog" 2>/dev/null || true
winpath="Z:${CAPTURE//\//\\}"
xdotool key ctrl+a
xdotool type --delay 30 "$winpath"
xdotool key Return
wait_until 30 "the capture file $CAPTURE" test -f "$CAPTURE"

# The port open ("Always connected"), then the far end speaks.
qd_click_always_connected
wait_until 30 "the note that the port opened, in the capture" capture_has " opened: "
printf '\000\001\010\033\177\377OK\r\n' >"$PEER"
wait_until 30 "the received line in the Hex Log" view_has "RX 00 01 08 1B 7F FF 4F 4B 0D 0A"

# A HEX row goes out: its exact bytes at the far end, its TX line in the view.
qd_double_click_row 1
qd_wait_size "$RAW" 4 30 || fail "the row's 4 bytes did not arrive at the far end; seen: $(seen)"
[[ "$(seen)" == "02 00 1B FF" ]] || fail "the far end received $(seen), expected 02 00 1B FF"
wait_until 30 "the sent line in the Hex Log" view_has "TX 02 00 1B FF"

# File > Stop Capture: the note that it stopped shows in the log.
xdotool windowactivate --sync "$QD_WINDOW" 2>/dev/null || true
xdotool key --delay 150 alt+f p
wait_until 30 "the note that the capture stopped" view_has "capture.txt stopped"

text=$(tr -d '\r' <"$CAPTURE")
[[ "$text" == *"RX <00><01><08><1B><7F><FF>OK<CR><LF>"* ]] ||
    fail "the capture lacks the received line; it holds: $(printf '%q' "$text")"
[[ "$text" == *"TX <02><00><1B><FF>"* ]] ||
    fail "the capture lacks the sent line; it holds: $(printf '%q' "$text")"
# Each line starts with the time of day and the gap.
grep -qE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \+ *[0-9]+ms TX <02><00><1B><FF>$' <<<"$text" ||
    fail "the sent line of the capture has no timestamp: $(printf '%q' "$text")"
shown=$(view_text)
[[ "$shown" == *"RX 00 01 08 1B 7F FF 4F 4B 0D 0A"*"......OK.."* ]] ||
    fail "the Hex Log lacks the printable rendering of the received line: $(printf '%q' "$shown")"
echo "e2e-hexlog: the capture and the Hex Log show both directions"

qd_stop_program
rm -rf "$WORK"
echo "e2e-hexlog: passed"

#!/usr/bin/env bash
# End to end: with "Always connected" ticked, a device streams 200,000 bytes
# of "x" and never ends a line. The program must take them all (the device's
# writes do not back up), show every one of them in the Tx/Rx log view in
# order, and stay responsive: a double click on a row still sends it.
#
#   stream_without_line_ends_test.sh QUOLM.EXE WININFO.EXE
#
# Runs inside tests/harness/sandbox.sh, on the --device COM1 pair when there
# is one, else on the harness pair COM10:COM11 (choosing COM10 in the port
# selector). On failure it saves a screenshot beside its working files.
set -uo pipefail

EXE=${1:?usage: stream_without_line_ends_test.sh QUOLM.EXE WININFO.EXE}
QD_WININFO=${2:?usage: stream_without_line_ends_test.sh QUOLM.EXE WININFO.EXE}
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=e2e-stream
# shellcheck source=lib.sh
source "$QD_REPO_DIR/tests/e2e/lib.sh"

BYTES=200000

e2e_require_sandbox
e2e_choose_peer
command -v xdotool >/dev/null || fail "xdotool is missing"

WORK=$(mktemp -d "${QUOLM_BUILD_DIR:-/tmp}/e2e-stream.XXXXXX")
trap 'qd_stop_program; qd_stop_device' EXIT
printf '%s\r\n' "RowCount=1" "1=ASCII+CR,Ping,AT" >"$WORK/quolm.dat"

# The device end only listens (what the program sends is recorded); the
# stream is written to it from here.
RAW="$WORK/device.raw"
qd_start_device "$PEER" "$WORK/device.log" "$RAW" --silent || fail "cannot listen on $PEER"
qd_start_program "$EXE" "$WORK"
qd_wait_window 60 || fail "the main window did not appear within 60 s"
qd_client_origin || fail "cannot locate the main window's client area"
if [[ $CHOOSE_PORT == 1 ]]; then
    qd_select_first_port
fi
qd_click_always_connected

log_text() { wine "$QD_WININFO" --text RichEdit "Quolm-Portwright" 2>/dev/null | tr -d '\r\n'; }
MARK="stream $$ follows:"
printf '%s' "$MARK" >"$PEER"
for _ in $(seq 50); do
    [[ "$(log_text)" == *"$MARK"* ]] && break
    sleep 0.2
done
[[ "$(log_text)" == *"$MARK"* ]] || fail "the port did not open: '$MARK' never showed in the log view"

start=$(date +%s%N)
timeout 60 sh -c "head -c $BYTES /dev/zero | tr '\\0' x >'$PEER'" ||
    fail "the device could not write its $BYTES bytes within 60 s: the program stopped taking them"
echo "e2e-stream: the device wrote $BYTES bytes in $((($(date +%s%N) - start) / 1000000)) ms"

# Every byte in its place: after the mark, exactly the stream (the view may
# break a long paragraph, which the text read here drops).
after_mark() { log_text | awk -v m="$MARK" '{ i = index($0, m); if (i) printf "%s", substr($0, i + length(m)) }'; }
tail=""
for _ in $(seq 100); do
    tail=$(after_mark)
    ((${#tail} >= BYTES)) && break
    sleep 0.3
done
others=$(printf '%s' "$tail" | tr -d x | wc -c)
[[ ${#tail} -eq $BYTES && $others -eq 0 ]] ||
    fail "after the mark the log view shows ${#tail} characters, $others of them not x (expected $BYTES x)"
echo "e2e-stream: the log view shows all $BYTES bytes in order"

# Still responsive: a double click sends its row, and its echo follows.
qd_double_click_row 1
qd_wait_size "$RAW" 3 10 || fail "the double click sent nothing within 10 s"
[[ "$(od -An -tx1 "$RAW" | tr -d ' \n')" == *41540d ]] || fail "the device received $(od -An -tx1 "$RAW") (expected 41 54 0d)"
for _ in $(seq 50); do
    [[ "$(log_text)" == *x"AT<CR>" ]] && break
    sleep 0.2
done
[[ "$(log_text)" == *x"AT<CR>" ]] || fail "the echo AT<CR> did not follow the stream in the log view"
echo "e2e-stream: the program still sends and echoes"

qd_stop_program
rm -rf "$WORK"
echo "e2e-stream: passed"

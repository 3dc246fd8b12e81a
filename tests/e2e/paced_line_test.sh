#!/usr/bin/env bash
# End to end on a line with a UART's pace: Quolm.exe (the real program) opens
# COM10 per command ("Always connected" not ticked), and the harness's
# paced-line library makes COM10 keep written bytes in its driver and send
# them at the baud rate (9600), as a real adapter does. A 44-byte ASCII+CRLF
# row must reach COM11 whole: the close after the send may not drop what the
# driver still holds.
#
#   paced_line_test.sh QUOLM.EXE WININFO.EXE
#
# Runs inside tests/harness/sandbox.sh (CTest does that for it). Every wait
# is bounded; on failure it prints the bytes seen and saves a screenshot.
set -uo pipefail

EXE=${1:?usage: paced_line_test.sh QUOLM.EXE WININFO.EXE}
QD_WININFO=${2:?usage: paced_line_test.sh QUOLM.EXE WININFO.EXE}
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=e2e-paced
# shellcheck source=lib.sh
source "$QD_REPO_DIR/tests/e2e/lib.sh"

e2e_require_sandbox
e2e_require_pair1
[[ -n "${QUOLM_PACEDLINE_PRELOAD:-}" ]] || fail "no paced-line library in this sandbox"
command -v xdotool >/dev/null || fail "xdotool is missing"

WORK=$(mktemp -d "${QUOLM_BUILD_DIR:-/tmp}/e2e-paced.XXXXXX")
trap 'qd_stop_program; qd_stop_device' EXIT

ROW='AT+CONFIG=0123456789;ABCDEFGHIJ;abcdefghij'
printf '%s\r\n' "RowCount=1" "1=ASCII+CRLF,Configure,$ROW" >"$WORK/quolm.dat"
EXPECTED=$(printf '%s\r\n' "$ROW" | od -An -tx1 -v | tr -s ' \n' ' ' | sed 's/^ //; s/ $//')

RAW="$WORK/peer.raw"
: >"$RAW"
seen() { [[ -s "$RAW" ]] && od -An -tx1 -v "$RAW" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' || echo "(none)"; }

qd_start_device "$QUOLM_PAIR1_B" "$WORK/peer.log" "$RAW" --silent || fail "cannot listen on COM11"
LD_PRELOAD=$QUOLM_PACEDLINE_PRELOAD QUOLM_PACED_TTYS=$QUOLM_PAIR1_A qd_start_program "$EXE" "$WORK"
qd_wait_window 60 || fail "the main window did not appear within 60 s"
qd_client_origin || fail "cannot locate the main window's client area"
qd_select_first_port
shown=$(wine "$QD_WININFO" --combo "Quolm-Portwright" 2>/dev/null | tr -d '\r') || true
[[ "$shown" == COM10 ]] || fail "the port selector shows '$shown' after choosing its first entry (expected COM10)"

qd_double_click_row 1
qd_wait_size "$RAW" 44 30 || fail "44 bytes did not reach COM11 within 30 s; seen: $(seen)"
qd_wait_quiet "$RAW" 5
got=$(seen)
[[ "$got" == "$EXPECTED" ]] || fail "bytes at COM11 differ: expected: $EXPECTED; seen: $got"
echo "e2e-paced: COM11 received the whole row: $got"

qd_stop_program
rm -rf "$WORK"
echo "e2e-paced: passed"

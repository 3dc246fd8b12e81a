#!/usr/bin/env bash
# End to end: Quolm.exe (the real program) under Wine loads quolm.dat from its
# working directory; real X input picks COM10 in the port selector, ticks and
# unticks "Always connected" and double-clicks rows of the command grid; the
# exact bytes must arrive at COM11, the other end of the harness's null-modem
# pair, and what the peer answers must show in the Tx/Rx log view.
#
#   click_to_bytes_test.sh QUOLM.EXE WININFO.EXE
#
# Runs inside tests/harness/sandbox.sh (CTest does that for it). In a sandbox
# started with --device COM1 it uses that pair instead: the program keeps its
# designed port COM1 and the bytes are read at the device end. Every wait is
# bounded; on failure it prints the bytes seen and saves a screenshot beside
# the test's working files.
set -uo pipefail

EXE=${1:?usage: click_to_bytes_test.sh QUOLM.EXE WININFO.EXE}
QD_WININFO=${2:?usage: click_to_bytes_test.sh QUOLM.EXE WININFO.EXE}
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=e2e
# shellcheck source=lib.sh
source "$QD_REPO_DIR/tests/e2e/lib.sh"

e2e_require_sandbox
e2e_choose_peer
command -v xdotool >/dev/null || fail "xdotool is missing"

WORK=$(mktemp -d "${QUOLM_BUILD_DIR:-/tmp}/e2e-work.XXXXXX")
trap 'qd_stop_program; qd_stop_device' EXIT

# Every send form; row 5 mixes blanks, a lower-case token and 00.
printf '%s\r\n' \
    "RowCount=5" \
    "1=ASCII,Plain text,Hello" \
    "2=ASCII+CR,With CR,AT" \
    "3=ASCII+CRLF,With CR LF,ATI" \
    "4=HEX,Ping,01 02 0A FF" \
    "5=HEX,Spacing,  0a   7F 00" >"$WORK/quolm.dat"

# hex of the bytes each row sends
declare -A ROW_BYTES=(
    [1]="48 65 6C 6C 6F"
    [2]="41 54 0D"
    [3]="41 54 49 0D 0A"
    [4]="01 02 0A FF"
    [5]="0A 7F 00"
)

RAW="$WORK/peer.raw"
: >"$RAW"
seen() { [[ -s "$RAW" ]] && od -An -tx1 -v "$RAW" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' | tr a-f A-F || echo "(none)"; }
words() { wc -w <<<"$1"; }

# The peer answers like a modem ("OK", "ACK <hex>") and records every byte.
# Answers of an earlier run may still wait in the line: the checks below look
# for each answer after the echo of its command.
qd_start_device "$PEER" "$WORK/peer.log" "$RAW" || fail "cannot listen on $PEER_NAME"
qd_start_program "$EXE" "$WORK"
qd_wait_window 60 || fail "the main window (caption Quolm-Portwright ...) did not appear within 60 s"
qd_client_origin || fail "cannot locate the main window's client area"
echo "e2e: client area at $QD_CLIENT_X,$QD_CLIENT_Y, ${QD_CLIENT_W}x$QD_CLIENT_H"

# Without the device pair COM1 does not exist: choose COM10, the first port
# the selector lists.
if [[ $CHOOSE_PORT == 1 ]]; then
    qd_select_first_port
    shown=$(wine "$QD_WININFO" --combo "Quolm-Portwright" 2>/dev/null | tr -d '\r') ||
        fail "the main window has no port selector (combo box), so COM10 cannot be chosen"
    [[ "$shown" == COM10 ]] || fail "the port selector shows '$shown' after choosing its first entry (expected COM10)"
fi

expected=""
click_and_check() { # click_and_check ROW WHAT
    local row=$1 what=$2
    expected="${expected:+$expected }${ROW_BYTES[$row]}"
    qd_double_click_row "$row"
    if ! qd_wait_size "$RAW" "$(words "$expected")" 10; then
        fail "$what: row $row: expected at $PEER_NAME: $expected; seen: $(seen)"
    fi
}

log_text() { wine "$QD_WININFO" --text RichEdit "Quolm-Portwright" 2>/dev/null | tr -d '\r'; }
wait_log() { # wait_log AFTER TEXT WHAT: until the Tx/Rx log view shows TEXT after AFTER
    local _
    for _ in $(seq 50); do
        shown=$(log_text)
        [[ "$shown" == *"$1"*"$2"* ]] && return 0
        sleep 0.2
    done
    fail "$3 '$2' did not appear after '$1' in the Tx/Rx log view; it shows: $(printf '%q' "$shown")"
}

# "Always connected" ticked first thing: the port stays open, and what the
# peer answers (or sends on its own) shows in the log view.
qd_click_always_connected
for row in 2 4; do click_and_check "$row" "always connected"; done
wait_log "AT<CR>" "OK" "the answer to AT"
wait_log "01 02 0A FF" "ACK 01 02 0A FF" "the answer to the HEX row"
REPLY="line from the peer $$"
printf '\r\n%s\r\n' "$REPLY" >"$PEER"
wait_log "" "$REPLY" "the peer's own line"
echo "e2e: the log view shows what the peer sent"

# Unticked: each double click opens, sends, closes. The peer only listens now:
# answers to a closed port would wait in the line for the next run.
qd_click_always_connected
qd_stop_device
qd_start_device "$PEER" "$WORK/peer.log" "$RAW" --silent || fail "cannot listen on $PEER_NAME"
for row in 1 2 3 4 5; do click_and_check "$row" "port opened per command"; done

# Nothing more may come (a second send of one double click, say).
sleep 0.5
got=$(seen)
[[ "$got" == "$expected" ]] || fail "bytes at $PEER_NAME differ: expected: $expected; seen: $got"
echo "e2e: $PEER_NAME received exactly: $got"

qd_stop_program
rm -rf "$WORK"
echo "e2e: passed"

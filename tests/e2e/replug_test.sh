#!/usr/bin/env bash
# End to end: an adapter unplugged and plugged back, under Wine. The program
# (Quolm.exe) has COM10 open with "Always connected" ticked; COM10 is mapped
# to a link name, as the launcher maps a /dev/serial/by-id/ name. The
# null-modem pair behind the link is ended (the device goes away) and made
# again under the same link names (it comes back); the program must note the
# loss, open COM10 again by itself and read what the peer sends, every round.
#
#   replug_test.sh QUOLM.EXE WININFO.EXE [ROUNDS]
#
# It records everything in a text capture (File > Capture to File..., by
# keyboard) and prints, per round, how long after the link came back the
# program noted "COM10 is back" and logged the first bytes the peer sent,
# from the capture's own timestamps. Runs inside tests/harness/sandbox.sh.
set -uo pipefail

EXE=${1:?usage: replug_test.sh QUOLM.EXE WININFO.EXE [ROUNDS]}
QD_WININFO=${2:?usage: replug_test.sh QUOLM.EXE WININFO.EXE [ROUNDS]}
ROUNDS=${3:-2}
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=replug
# shellcheck source=lib.sh
source "$QD_REPO_DIR/tests/e2e/lib.sh"

PAIR_PID=""

e2e_on_fail() {
    if [[ -s "${CAPTURE:-/nonexistent}" ]]; then
        echo "replug: the capture holds:" >&2
        tail -n 40 "$CAPTURE" | sed 's/^/    /' >&2
    fi
}
e2e_require_sandbox
e2e_require_pair1
command -v xdotool >/dev/null || fail "xdotool is missing"
LINK_A=$QUOLM_PAIR1_A LINK_B=$QUOLM_PAIR1_B

WORK=$(mktemp -d "${QUOLM_BUILD_DIR:-/tmp}/replug-work.XXXXXX")
CAPTURE="$WORK/capture.txt"
# The tests after this one use the pair too: it is left plugged in.
trap 'qd_stop_program; [[ -n "$PAIR_PID" ]] || plug_in' EXIT
printf '%s\r\n' "RowCount=1" "1=ASCII,Plain text,Hello" >"$WORK/quolm.dat"

# The pair behind the links: the harness's own at first, ours after a replug.
pair_pids() { pgrep -f "socat .*link=$LINK_A" || true; }
unplug() {
    local pids
    pids=$(pair_pids)
    [[ -n "$pids" ]] || fail "no null-modem pair behind $LINK_A"
    kill $pids
    local _
    for _ in $(seq 200); do [[ -z "$(pair_pids)" ]] && break; sleep 0.05; done
    [[ -z "$(pair_pids)" ]] || fail "the pair behind $LINK_A did not end"
    rm -f "$LINK_A" "$LINK_B"
    PAIR_PID=""
}
# A pair under the same link names, which outlives this script (the sandbox
# ends it); the null-modem library learns its new pty numbers.
plug_in() {
    socat "pty,raw,echo=0,link=$LINK_A" "pty,raw,echo=0,link=$LINK_B" </dev/null >/dev/null 2>&1 &
    PAIR_PID=$!
    disown "$PAIR_PID"
    local _
    for _ in $(seq 200); do [[ -e "$LINK_A" && -e "$LINK_B" ]] && break; sleep 0.02; done
    [[ -e "$LINK_A" && -e "$LINK_B" ]] || fail "socat did not make $LINK_A and $LINK_B again"
    if [[ -f "${QUOLM_NULLMODEM_DIR:-}/pairs" ]]; then
        local a b
        a=$(readlink -f "$LINK_A") b=$(readlink -f "$LINK_B")
        sed -i "1s|.*|${a#/dev/pts/} ${b#/dev/pts/}|" "$QUOLM_NULLMODEM_DIR/pairs"
    fi
}

# capture_has TEXT SECONDS: until the capture (flushed every second) holds TEXT.
capture_has() {
    local _
    for _ in $(seq $(($2 * 10))); do
        grep -qF -- "$1" "$CAPTURE" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
# Milliseconds since midnight of a capture line's time of day (HH:MM:SS.mmm).
line_ms() {
    local t=${1%% *}
    [[ "$t" =~ ^([0-9]{2}):([0-9]{2}):([0-9]{2})\.([0-9]{3})$ ]] || return 1
    echo $(((10#${BASH_REMATCH[1]} * 3600 + 10#${BASH_REMATCH[2]} * 60 + 10#${BASH_REMATCH[3]}) * 1000 + 10#${BASH_REMATCH[4]}))
}
now_ms() { line_ms "$(date +%H:%M:%S.%3N)"; }

qd_start_program "$EXE" "$WORK"
qd_wait_window 60 || fail "the main window did not appear within 60 s"
qd_client_origin || fail "cannot locate the main window's client area"
qd_select_first_port
shown=$(wine "$QD_WININFO" --combo "Quolm-Portwright" 2>/dev/null | tr -d '\r')
[[ "$shown" == COM10 ]] || fail "the port selector shows '$shown' (expected COM10)"
qd_click_always_connected

# File > Capture to File..., a text capture, all by keyboard: "File" has no
# access key, so Alt reaches the menu bar and Down opens its first menu.
xdotool key alt
sleep 0.3
xdotool key Down
sleep 0.3
xdotool key c
dialog=$(timeout 30 xdotool search --sync --onlyvisible --name '^Capture to File' 2>/dev/null | head -n1) ||
    dialog=$(timeout 30 xdotool search --sync --onlyvisible --name '^Save' 2>/dev/null | head -n1) || true
[[ -n "$dialog" ]] || fail "no save dialog after Alt+F, C"
sleep 0.5
xdotool type --delay 20 "Z:${CAPTURE//\//\\}"
xdotool key Return
capture_has "Capture to" 30 || fail "the capture file was not started within 30 s"

printf 'before replug\r\n' >"$LINK_B"
capture_has "before replug" 30 || fail "what the peer sent before the replug is not in the capture"

for round in $(seq "$ROUNDS"); do
    lost_before=$(grep -c "COM10 lost" "$CAPTURE")
    back_before=$(grep -c "COM10 is back" "$CAPTURE")
    unplug
    for _ in $(seq 300); do (($(grep -c "COM10 lost" "$CAPTURE") > lost_before)) && break; sleep 0.1; done
    (($(grep -c "COM10 lost" "$CAPTURE") > lost_before)) || fail "round $round: no 'COM10 lost' note within 30 s of the unplug"
    # Unplugged for a while: the program tries every second, and no try
    # may pass for the device (Wine opens a name whose link dangles).
    # A random phase against the program's once-a-second tries.
    sleep "2.$((RANDOM % 10))"
    (($(grep -c "COM10 is back" "$CAPTURE") == back_before)) ||
        fail "round $round: 'COM10 is back' was noted while the device was unplugged"
    plug_in
    plugged=$(now_ms)
    # The peer speaks at once (the line holds it until the port is opened)
    # and goes on every 50 ms, as a streaming device would.
    printf 'after replug %d.0\r\n' "$round" >"$LINK_B"
    (for n in $(seq 1 600); do printf 'after replug %d.%d\r\n' "$round" "$n" 2>/dev/null || exit 0; sleep 0.05; done) >"$LINK_B" &
    talker=$!
    ok=0
    for _ in $(seq 300); do
        if (($(grep -c "COM10 is back" "$CAPTURE") > back_before)) && grep -q "after replug $round\." "$CAPTURE"; then
            ok=1
            break
        fi
        sleep 0.1
    done
    kill "$talker" 2>/dev/null
    wait "$talker" 2>/dev/null
    ((ok)) || fail "round $round: the program did not note 'COM10 is back' and read the peer within 30 s"
    back_line=$(grep "COM10 is back" "$CAPTURE" | tail -n1)
    rx_line=$(grep -m1 "after replug $round\." "$CAPTURE")
    back_ms=$(line_ms "$back_line") && rx_ms=$(line_ms "$rx_line") ||
        fail "round $round: the capture's lines carry no time of day: '$back_line' / '$rx_line'"
    echo "replug: round $round: back after $(((back_ms - plugged + 86400000) % 86400000)) ms," \
        "first bytes read after $(((rx_ms - plugged + 86400000) % 86400000)) ms"
done
echo "replug: COM10 came back $ROUNDS times under the same link name"

#!/usr/bin/env bash
# The Linux launcher (scripts/quolm-wine.sh) with the harness's ptys standing
# in for USB serial adapters; no real device is ever touched.
#   - its errors, each with what to do, and the order in which found
#     adapters get their COM numbers: by their /dev/serial/by-id names
#     first (--dry-run: no Wine);
#   - a real start in a prefix of the user's own: Quolm.exe lists exactly the
#     mapped ports in its port selector (a port that Wine maps by itself is
#     hidden), a double click sends the row's bytes to the pty behind COM1,
#     a second start is refused while the first runs, and after the run the
#     prefix's port mappings and links are as the user had them.
#
#   launcher_test.sh QUOLM.EXE WININFO.EXE   (inside tests/harness/sandbox.sh)
set -uo pipefail

EXE=${1:?usage: launcher_test.sh QUOLM.EXE WININFO.EXE}
QD_WININFO=${2:?usage: launcher_test.sh QUOLM.EXE WININFO.EXE}
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=launcher
# shellcheck source=../../tools/demo/lib.sh
source "$QD_REPO_DIR/tools/demo/lib.sh"
LAUNCHER="$QD_REPO_DIR/scripts/quolm-wine.sh"

[[ "${QUOLM_SANDBOX:-}" == 1 && -n "${QUOLM_PAIR3_B:-}" ]] || { echo "launcher: run inside tests/harness/sandbox.sh" >&2; exit 1; }

WORK=$(mktemp -d "${QUOLM_BUILD_DIR:-/tmp}/launcher-work.XXXXXX")
LAUNCHER_PID=""
FAKE_TTYS=""
cleanup() {
    if [[ -n "$LAUNCHER_PID" ]]; then
        WINEPREFIX=$PREFIX wine "$QD_WININFO" --close "Quolm-Portwright" >/dev/null 2>&1 || true
        sleep 1
        kill "$LAUNCHER_PID" 2>/dev/null || true
        WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1 || true
    fi
    qd_stop_device
    [[ -z "$FAKE_TTYS" ]] || rm -f "$FAKE_TTYS"
    rm -rf "$WORK"
}
trap cleanup EXIT
failures=0
fail() { echo "launcher: FAILED: $*" >&2; failures=$((failures + 1)); }

# expect_error WHAT TEXT... -- ARGS: the launcher must exit 2 with every TEXT
# in what it printed.
expect_error() {
    local what=$1 texts=() out rc
    shift
    while [[ $1 != -- ]]; do texts+=("$1"); shift; done
    shift
    out=$("$@" 2>&1)
    rc=$?
    [[ $rc -eq 2 ]] || { fail "$what: exit $rc, expected 2; it said: $out"; return; }
    local t
    for t in "${texts[@]}"; do
        [[ "$out" == *"$t"* ]] || { fail "$what: '$t' missing from: $out"; return; }
    done
    echo "launcher: ok: $what"
}

# Adapters in a directory of their own (the launcher's QUOLM_SERIAL_DEV_DIR):
# pty ends of the harness pairs under the names USB adapters get.
DEV="$WORK/dev"
mkdir -p "$DEV"
ln -s "$QUOLM_PAIR2_A" "$DEV/ttyUSB0"
ln -s "$QUOLM_PAIR3_A" "$DEV/ttyACM0"
touch "$WORK/plain-file"

expect_error "a bad --com" "--com wants N=DEVICE" "--com 1=/dev/ttyUSB0" -- \
    bash "$LAUNCHER" --dry-run --com ttyUSB0
expect_error "COM 0" "must be 1 to 256" -- bash "$LAUNCHER" --dry-run --com 0="$DEV/ttyUSB0"
expect_error "a COM number given twice" "COM2 is given twice" -- \
    bash "$LAUNCHER" --dry-run --com 2="$DEV/ttyUSB0" --com COM2="$DEV/ttyACM0"
expect_error "one device for two numbers" "is given twice (COM1 and COM3)" -- \
    bash "$LAUNCHER" --dry-run --com 1="$DEV/ttyUSB0" --com 3="$QUOLM_PAIR2_A"
expect_error "a device that is not there" "$DEV/ttyUSB7 (COM1) does not exist" "plugged in" -- \
    bash "$LAUNCHER" --dry-run --com 1="$DEV/ttyUSB7"
expect_error "a file that is no device" "not a serial device" -- bash "$LAUNCHER" --dry-run --com 1="$WORK/plain-file"
expect_error "a device that is no terminal" "/dev/null (COM1) is not a serial device" "no serial or terminal driver" -- \
    bash "$LAUNCHER" --dry-run --com 1=/dev/null
expect_error "an unknown argument" "unknown argument '--baud'" -- bash "$LAUNCHER" --dry-run --baud 9600
expect_error "Wine missing" "Wine is not installed" "/opt/wine-*/bin" "apt install wine" -- \
    env QUOLM_WINE_SEARCH=/nonexistent bash "$LAUNCHER" --dry-run --com 1="$DEV/ttyUSB0"
expect_error "the harness's prefix" "test harness's prefix" -- \
    bash "$LAUNCHER" --exe "$EXE" --com 1="$DEV/ttyUSB0"
# The ptys are root's (mode 620): a user outside their group may not open them.
if command -v setpriv >/dev/null; then
    chmod 755 "$WORK"
    expect_error "a device the user may not open" "you may not open" "usermod -aG" -- \
        setpriv --reuid=65534 --regid=65534 --clear-groups bash "$LAUNCHER" --dry-run --com 1="$DEV/ttyUSB0"
fi

# Found adapters: by-id names first, sorted by them; then the ttyUSB* and
# ttyACM* they do not cover, each in numeric order. Ptys stand in for them.
ORDER_DIR="$WORK/order"
mkdir -p "$ORDER_DIR/serial/by-id"
ln -s "$QUOLM_PAIR1_A" "$ORDER_DIR/ttyUSB10"
ln -s "$QUOLM_PAIR1_B" "$ORDER_DIR/ttyUSB2"
ln -s "$QUOLM_PAIR2_A" "$ORDER_DIR/ttyACM1"
ln -s "$QUOLM_PAIR2_B" "$ORDER_DIR/ttyUSB0"
ln -s "$QUOLM_PAIR3_A" "$ORDER_DIR/ttyACM0"
got=$(QUOLM_SERIAL_DEV_DIR=$ORDER_DIR bash "$LAUNCHER" --dry-run --exe "$EXE" 2>&1 | sed -n 's/^quolm-wine: \(COM[0-9]* = [^ ]*\).*/\1/p' |
    sed "s|$ORDER_DIR/||" | paste -sd ' ')
want="COM1 = $(readlink -f "$QUOLM_PAIR2_B") COM2 = $(readlink -f "$QUOLM_PAIR1_B") COM3 = $(readlink -f "$QUOLM_PAIR1_A") COM4 = $(readlink -f "$QUOLM_PAIR3_A") COM5 = $(readlink -f "$QUOLM_PAIR2_A")"
if [[ "$got" == "$want" ]]; then echo "launcher: ok: found adapters in order"; else fail "found adapters: '$got', expected '$want'"; fi
ln -s "$QUOLM_PAIR2_B" "$ORDER_DIR/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0"
ln -s "$QUOLM_PAIR3_A" "$ORDER_DIR/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
out=$(QUOLM_SERIAL_DEV_DIR=$ORDER_DIR bash "$LAUNCHER" --dry-run --exe "$EXE" 2>&1)
sed 's/^/    /' <<<"$out"
got=$(sed -n 's/^quolm-wine: \(COM[0-9]* = [^ ]*\).*/\1/p' <<<"$out" | sed "s|$ORDER_DIR/||" | paste -sd ' ')
want="COM1 = serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 COM2 = serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0 COM3 = $(readlink -f "$QUOLM_PAIR1_B") COM4 = $(readlink -f "$QUOLM_PAIR1_A") COM5 = $(readlink -f "$QUOLM_PAIR2_A")"
if [[ "$got" == "$want" ]]; then echo "launcher: ok: adapters by their by-id names first"; else fail "by-id adapters: '$got', expected '$want'"; fi
[[ "$out" == *"usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 (now $(readlink -f "$QUOLM_PAIR3_A"))"* ]] ||
    fail "the by-id adapter's current device is not printed"

# --- a real start -----------------------------------------------------------------------
# A port on /dev/ttyS0 (another pty) that Wine maps by itself, as it would a
# built-in UART; the selector must not show it.
ln -s "$(readlink -f "$QUOLM_PAIR1_A")" /dev/ttyS0 && FAKE_TTYS=/dev/ttyS0
PREFIX="$QUOLM_BUILD_DIR/launcher-prefix"
# The user's prefix, with mappings of their own: COM1 (which the launcher
# takes for the run), COM5, and a link made by hand.
if [[ ! -f "$PREFIX/system.reg" ]]; then
    WINEPREFIX=$PREFIX wineboot -i >/dev/null 2>&1
    WINEPREFIX=$PREFIX wineserver -w
fi
# (a run killed earlier may have left its own: start from the user's set)
WINEPREFIX=$PREFIX wine reg delete 'HKLM\Software\Wine\Ports' /f >/dev/null 2>&1
rm -f "$PREFIX"/dosdevices/com*
WINEPREFIX=$PREFIX wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d /dev/ttyUSB9 /f >/dev/null 2>&1
WINEPREFIX=$PREFIX wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$QUOLM_PAIR1_B" /f >/dev/null 2>&1
WINEPREFIX=$PREFIX wineserver -w
ln -sfn /dev/ttyUSB8 "$PREFIX/dosdevices/com7"
prefix_state() {
    WINEPREFIX=$PREFIX wine reg query 'HKLM\Software\Wine\Ports' 2>/dev/null | tr -d '\r' | grep REG_SZ | sort
    for link in "$PREFIX"/dosdevices/com*; do [[ -L "$link" ]] && echo "$(basename "$link") -> $(readlink "$link")"; done
    WINEPREFIX=$PREFIX wineserver -w
}
before=$(prefix_state)
echo "launcher: the user's prefix before the run:"
sed 's/^/    /' <<<"$before"

# Adapters under by-id names in the sandbox's own /dev.
mkdir -p /dev/serial/by-id
ln -s "$QUOLM_PAIR2_A" /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0
ln -s "$QUOLM_PAIR3_A" /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0
printf '%s\r\n' "RowCount=2" "1=ASCII+CR,Attention,AT" "2=HEX,Ping,01 02 0A FF" >"$WORK/quolm.dat"
RAW="$WORK/peer.raw"
qd_start_device "$QUOLM_PAIR2_B" "$WORK/peer.log" "$RAW" --silent || { fail "no peer on the pty behind COM1"; exit 1; }
(cd "$WORK" && WINEPREFIX=$PREFIX exec bash "$LAUNCHER" --exe "$EXE") >"$WORK/launcher.out" 2>&1 &
LAUNCHER_PID=$!
if ! qd_wait_window 180; then
    fail "the main window did not appear; the launcher said:"
    sed 's/^/    /' "$WORK/launcher.out" >&2
    exit 1
fi
sed 's/^/    /' "$WORK/launcher.out"
grep -q "was mapped by Wine itself: hidden" "$WORK/launcher.out" || fail "the port Wine mapped by itself was not reported as hidden"
expect_error "a second start while the program runs" "programs are running in your Wine prefix" -- \
    env WINEPREFIX="$PREFIX" bash "$LAUNCHER" --exe "$EXE" --com 1="$QUOLM_PAIR2_A"
export WINEPREFIX=$PREFIX
items=$(wine "$QD_WININFO" --items "Quolm-Portwright" 2>/dev/null | tr -d '\r' | paste -sd ' ')
if [[ "$items" == "COM1 COM2 COM5" ]]; then echo "launcher: ok: the port selector lists COM1 COM2 COM5"; else fail "the port selector lists '$items', expected 'COM1 COM2 COM5'"; fi
qd_client_origin || { fail "cannot locate the main window"; exit 1; }
qd_double_click_row 2
if qd_wait_size "$RAW" 4 10 && [[ "$(od -An -tx1 "$RAW" | tr -d ' \n')" == 01020aff ]]; then
    echo "launcher: ok: the HEX row arrived at the pty behind COM1"
else
    fail "the pty behind COM1 received: $(od -An -tx1 "$RAW" 2>/dev/null | tr -s ' \n' ' ')"
fi

# The user closes the program; the launcher puts the prefix back.
wine "$QD_WININFO" --close "Quolm-Portwright" >/dev/null 2>&1
for _ in $(seq 120); do kill -0 "$LAUNCHER_PID" 2>/dev/null || break; sleep 0.5; done
if kill -0 "$LAUNCHER_PID" 2>/dev/null; then
    fail "the launcher did not end within 60 s of the program's close"
else
    wait "$LAUNCHER_PID"
    LAUNCHER_PID=""
    after=$(prefix_state)
    echo "launcher: the user's prefix after the run:"
    sed 's/^/    /' <<<"$after"
    if [[ "$after" == "$before" ]]; then echo "launcher: ok: the user's prefix is as it was"; else fail "the user's prefix changed:"$'\n'"$(diff <(echo "$before") <(echo "$after"))"; fi
fi

[[ $failures -eq 0 ]] && echo "launcher: passed"
exit $((failures > 0))

#!/usr/bin/env bash
# Runs a command inside the Wine test sandbox.
#
#   tests/harness/sandbox.sh [options] [--] CMD [ARGS...]
#
# Options:
#   --build-dir DIR    build tree whose Wine prefix and ptys are used
#                      (default: build/<NAME> for "--preset NAME" in CMD,
#                      else $QUOLM_BUILD_DIR, else the current directory
#                      when it holds a CMakeCache.txt)
#   --device COMn      one more null-modem pair: COMn for the program, the
#                      other end's Linux path in $QUOLM_DEVICE_PTY for a
#                      simulated device (the demo maps COM1 this way)
#   --map COMn=PATH    map COMn to an existing unix path (a pty of your own)
#   --no-x             do not start Xvfb
#   --null-modem       run CMD with the pairs' modem lines (see below)
#
# Why: Wine maps the machine's own /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM*
# to the lowest free COM numbers, and we run as root. So Wine only ever runs
# in a private mount namespace whose /dev holds nothing but null, zero, full,
# random, urandom, tty, ptmx, pts and shm: no host serial port exists there.
# It also gets its own PID namespace, so nothing it started outlives it.
# Inside, the build tree's prefix is created once, socat null-modem pairs are
# mapped through HKLM\Software\Wine\Ports, Xvfb is started, CMD runs, and
# everything that was started is stopped again on every exit path.
#
# Modem lines: a Linux pty has none, so Wine fails every line call on it and
# ends each event wait at once. The preload library built from nullmodem.c
# wires the pairs like a null-modem cable (DTR -> DSR+DCD, RTS -> CTS). It is
# opt-in per program: LD_PRELOAD=$QUOLM_NULLMODEM_PRELOAD, which wine-run.sh
# sets when QUOLM_NULL_MODEM=1 and --null-modem sets for CMD.
#
# 64-bit only: where this machine cannot run 32-bit programs (or with
# QUOLM_WINE64_ONLY=1), every "wine" of CMD and of the harness is Wine's 64-bit
# loader (a directory of its own first in PATH, WINELOADER set). When forced,
# the 32-bit loader is replaced in the namespace by a program that the kernel
# refuses with "Exec format error", as on such a machine.
set -euo pipefail

HARNESS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$HARNESS_DIR/../.." && pwd)
SELF="$HARNESS_DIR/$(basename "${BASH_SOURCE[0]}")"
# shellcheck source=../../scripts/wine-arch.sh
source "$REPO_DIR/scripts/wine-arch.sh"

# The fixed test pairs: COM10<->COM11, COM12<->COM13, COM14<->COM15.
PAIRS=("COM10:COM11" "COM12:COM13" "COM14:COM15")

say() { echo "sandbox: $*" >&2; }
die() { say "error: $*"; exit 2; }

host_serial_visible() {
    compgen -G '/dev/ttyS[0-9]*' >/dev/null || compgen -G '/dev/ttyUSB*' >/dev/null ||
        compgen -G '/dev/ttyACM*' >/dev/null
}

usage() { sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$SELF"; }

# --- options -----------------------------------------------------------------
BUILD_DIR=""
DEVICE_PORT=""
EXTRA_MAPS=()
START_X=1
NULL_MODEM=0
ORIG_ARGS=("$@")
while [[ $# -gt 0 ]]; do
    case "$1" in
        --build-dir) BUILD_DIR=${2:?--build-dir needs a directory}; shift 2 ;;
        --device) DEVICE_PORT=${2:?--device needs a port name}; shift 2 ;;
        --map) EXTRA_MAPS+=("${2:?--map needs COMn=PATH}"); shift 2 ;;
        --no-x) START_X=0; shift ;;
        --null-modem) NULL_MODEM=1; shift ;;
        -h|--help) usage; exit 0 ;;
        --) shift; break ;;
        -*) die "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
[[ $# -gt 0 ]] || { usage; exit 2; }
CMD=("$@")

# --- already inside: just run ---------------------------------------------------
if [[ "${QUOLM_SANDBOX:-}" == 1 ]] && ! host_serial_visible; then
    if [[ $NULL_MODEM -eq 1 && -n "${QUOLM_NULLMODEM_PRELOAD:-}" ]]; then
        export LD_PRELOAD=$QUOLM_NULLMODEM_PRELOAD
    elif [[ ${#ORIG_ARGS[@]} -ne ${#CMD[@]} ]]; then
        say "already inside the sandbox; options are ignored"
    fi
    exec "${CMD[@]}"
fi

# --- outside: enter a private mount namespace ----------------------------------
if [[ "${QUOLM_SANDBOX_STAGE:-}" != inner ]]; then
    [[ $(id -u) -eq 0 ]] || die "must run as root (it mounts a private /dev)"
    for tool in unshare mount wine wineserver socat; do
        command -v "$tool" >/dev/null || die "$tool is missing (run scripts/setup.sh)"
    done
    if [[ $START_X -eq 1 ]]; then
        command -v Xvfb >/dev/null || die "Xvfb is missing (run scripts/setup.sh)"
    fi
    quolm_wine_arch
    export QUOLM_SANDBOX_STAGE=inner
    # Own PID namespace too: if this script is killed outright, the kernel
    # ends Wine, socat and Xvfb with it.
    exec unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
        -- bash "$SELF" "${ORIG_ARGS[@]}"
fi
unset QUOLM_SANDBOX_STAGE

# --- a /dev without any serial device ---------------------------------------------
STAGING=$(mktemp -d /tmp/quolm-dev.XXXXXX)
mount -t tmpfs -o mode=0755,nosuid,size=64k quolm-dev "$STAGING"
for node in null zero full random urandom tty; do
    [[ -e /dev/$node ]] || die "/dev/$node is missing on this machine"
    touch "$STAGING/$node"
    mount --bind "/dev/$node" "$STAGING/$node"
done
mkdir "$STAGING/pts" "$STAGING/shm"
mount --bind /dev/pts "$STAGING/pts"
mount -t tmpfs -o mode=1777,nosuid,nodev quolm-shm "$STAGING/shm"
# A bind-mounted ptmx finds no devpts beside it (openpty fails): point at the
# instance in pts/ instead, as container runtimes do.
ln -s pts/ptmx "$STAGING/ptmx"
ln -s /proc/self/fd "$STAGING/fd"
ln -s /proc/self/fd/0 "$STAGING/stdin"
ln -s /proc/self/fd/1 "$STAGING/stdout"
ln -s /proc/self/fd/2 "$STAGING/stderr"
mount --move "$STAGING" /dev
rmdir "$STAGING"

# The one check everything else rests on: no host serial device is visible.
if [[ -e /dev/ttyS0 ]] || host_serial_visible; then
    die "a host serial device is still visible in the sandbox; refusing to start Wine"
fi

# --- the build tree -----------------------------------------------------------------
if [[ -z "$BUILD_DIR" ]]; then
    for ((i = 0; i < ${#CMD[@]}; i++)); do
        case "${CMD[$i]}" in
            --preset) BUILD_DIR="$REPO_DIR/build/${CMD[$((i + 1))]:-}" ;;
            --preset=*) BUILD_DIR="$REPO_DIR/build/${CMD[$i]#--preset=}" ;;
        esac
    done
fi
if [[ -z "$BUILD_DIR" && -n "${QUOLM_BUILD_DIR:-}" ]]; then BUILD_DIR=$QUOLM_BUILD_DIR; fi
if [[ -z "$BUILD_DIR" && -f CMakeCache.txt ]]; then BUILD_DIR=$PWD; fi
[[ -n "$BUILD_DIR" ]] || die "no build tree: give --build-dir DIR"
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
PTY_DIR="$BUILD_DIR/ptys"

# One sandbox per build tree at a time: they would share one wineserver.
exec 9>"$BUILD_DIR/.sandbox.lock"
if ! flock -n 9; then
    say "waiting for another sandbox on $BUILD_DIR"
    flock 9
fi

# --- clean-up on every exit path ------------------------------------------------
PIDS=()
cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    wineserver -k >/dev/null 2>&1 || true
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    timeout 60 wineserver -w >/dev/null 2>&1 || true
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# A wineserver for this prefix started elsewhere would still see the host's /dev.
timeout 30 wineserver -k >/dev/null 2>&1 || true
timeout 30 wineserver -w >/dev/null 2>&1 || true

# --- Wine's loaders -------------------------------------------------------------------
quolm_wine_arch
if ! quolm_wine_has_win32; then
    say "64-bit Wine only: $QUOLM_WINE_ARCH_WHY"
    if [[ "${QUOLM_WINE64_ONLY:-}" == 1 && -e "$QUOLM_WINE32_LOADER" ]]; then
        # An ELF for another machine: execve fails with ENOEXEC, exactly as
        # a 32-bit program does on a kernel without 32-bit support.
        foreign=$(mktemp /tmp/quolm-foreign-elf.XXXXXX)
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00' >"$foreign"
        head -c 64 /dev/zero >>"$foreign"
        chmod 755 "$foreign"
        mount --bind "$foreign" "$QUOLM_WINE32_LOADER"
        rm -f "$foreign"
    fi
    WINE64_BIN="$BUILD_DIR/.wine64-bin"
    mkdir -p "$WINE64_BIN"
    for name in wine wine-stable; do
        printf '#!/bin/sh\nexec %s "$@"\n' "$QUOLM_WINE64_LOADER" >"$WINE64_BIN/$name"
        chmod 755 "$WINE64_BIN/$name"
    done
    export PATH="$WINE64_BIN:$PATH"
    export WINELOADER=$QUOLM_WINE64_LOADER
fi

# --- the prefix, created once per build tree ----------------------------------------
# The marker holds the kinds of program the prefix was made for.
READY="$WINEPREFIX/.quolm-ready"
PREFIX_FRESH=0
create_prefix() {
    PREFIX_FRESH=1
    say "creating Wine prefix $WINEPREFIX ($QUOLM_WINE_ARCH)"
    rm -rf "$WINEPREFIX"
    local start=$SECONDS
    timeout 600 wineboot -i >/dev/null 2>&1 || die "wineboot -i failed"
    wineserver -w
    if quolm_wine_has_win32; then
        [[ -d "$WINEPREFIX/drive_c/windows/syswow64" ]] ||
            die "the prefix cannot run 32-bit programs (is wine32:i386 installed?)"
    fi
    echo "$QUOLM_WINE_ARCH" >"$READY"
    say "prefix ready in $((SECONDS - start)) s"
}
stop_wine_hard() { # every Wine process of this namespace, however stuck
    timeout 20 wineserver -k >/dev/null 2>&1 || true
    pkill -9 -f 'wineserver|\.exe|wine64|/wine ' 2>/dev/null || true
    timeout 20 wineserver -w >/dev/null 2>&1 || true
}
if [[ ! -f "$READY" ]]; then
    create_prefix
elif quolm_wine_has_win32 && [[ "$(cat "$READY")" != *win32* ]]; then
    say "the prefix was made for 64-bit programs only"
    create_prefix
fi

# --- null-modem pairs -------------------------------------------------------------
mkdir -p "$PTY_DIR"
rm -f "$PTY_DIR"/com*

declare -A PORT_MAP=()
start_pair() { # start_pair COMa COMb: two linked ptys, mapped to COMa and COMb
    local a=$1 b=$2
    local la="$PTY_DIR/${a,,}" lb="$PTY_DIR/${b,,}"
    socat "pty,raw,echo=0,link=$la" "pty,raw,echo=0,link=$lb" &
    PIDS+=($!)
    PORT_MAP[$a]=$la
    PORT_MAP[$b]=$lb
}
valid_port() { [[ "$1" =~ ^COM[1-9][0-9]{0,2}$ ]]; }

pair_no=0
for pair in "${PAIRS[@]}"; do
    pair_no=$((pair_no + 1))
    a=${pair%%:*} b=${pair##*:}
    start_pair "$a" "$b"
    export "QUOLM_PAIR${pair_no}=$a:$b"
    export "QUOLM_PAIR${pair_no}_A=$PTY_DIR/${a,,}"
    export "QUOLM_PAIR${pair_no}_B=$PTY_DIR/${b,,}"
done
if [[ -n "$DEVICE_PORT" ]]; then
    DEVICE_PORT=${DEVICE_PORT^^}
    valid_port "$DEVICE_PORT" || die "bad --device port $DEVICE_PORT"
    [[ -z "${PORT_MAP[$DEVICE_PORT]:-}" ]] || die "$DEVICE_PORT is already a test pair"
    start_pair "$DEVICE_PORT" "DEVICE"
    unset 'PORT_MAP[DEVICE]'
    export QUOLM_DEVICE_PORT=$DEVICE_PORT
    export QUOLM_DEVICE_PTY="$PTY_DIR/device"
fi
for map in "${EXTRA_MAPS[@]}"; do
    port=${map%%=*} path=${map#*=}
    port=${port^^}
    valid_port "$port" || die "bad --map port $port"
    [[ -z "${PORT_MAP[$port]:-}" ]] || die "$port is mapped twice"
    [[ -e "$path" ]] || die "--map $port: $path does not exist"
    PORT_MAP[$port]=$(readlink -f "$path")
done

for link in "${PORT_MAP[@]}"; do
    for _ in $(seq 100); do [[ -e "$link" ]] && break; sleep 0.05; done
    [[ -e "$link" ]] || die "socat did not create $link"
done

# --- map exactly our ports: the key is read when Wine's mount manager starts ------------
REG="$BUILD_DIR/.ports.reg"
{
    printf 'REGEDIT4\r\n\r\n'
    printf '[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for port in "${!PORT_MAP[@]}"; do
        printf '"%s"="%s"\r\n' "$port" "${PORT_MAP[$port]}"
    done
} >"$REG"

# --- X server ---------------------------------------------------------------------
if [[ $START_X -eq 1 ]]; then
    displayfile=$(mktemp /tmp/quolm-display.XXXXXX)
    Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp 8>"$displayfile" >/dev/null 2>&1 &
    PIDS+=($!)
    for _ in $(seq 200); do [[ -s "$displayfile" ]] && break; sleep 0.05; done
    display=$(head -n1 "$displayfile")
    rm -f "$displayfile"
    [[ -n "$display" ]] || die "Xvfb did not start"
    export DISPLAY=":$display"
fi

# Map exactly our ports and start the run's wineserver. It keeps running
# between the programs of the run, so each starts fast (and goes away by
# itself if nothing runs for a while).
start_wine() { # start_wine: 0 when Wine answers with our ports mapped, else 1 (reason said)
    timeout 120 wine regedit /S "Z:${REG//\//\\}" >/dev/null 2>&1 || { say "regedit failed"; return 1; }
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
    # A deleted value leaves its dosdevices link behind, and the link still opens.
    local link name port
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [[ -L "$link" ]] || continue
        name=$(basename "$link")
        if [[ "$(readlink "$link")" != "${PORT_MAP[${name^^}]:-/nonexistent}" ]]; then
            rm -f "$link"
        fi
    done
    wineserver -p30 >/dev/null 2>&1 </dev/null
    timeout 120 wine cmd /c exit >/dev/null 2>&1 || { say "wine does not start"; return 1; }
    for port in "${!PORT_MAP[@]}"; do
        [[ -L "$WINEPREFIX/dosdevices/${port,,}" ]] || { say "Wine did not map $port"; return 1; }
    done
}
# A run killed in the middle can leave a prefix in which Wine hangs or fails
# at its first calls: then the prefix is made anew, once.
if ! start_wine; then
    [[ $PREFIX_FRESH -eq 0 ]] || die "Wine does not work in the new prefix $WINEPREFIX"
    say "Wine does not answer in $WINEPREFIX (left so by a killed run?): making it anew"
    stop_wine_hard
    create_prefix
    start_wine || die "Wine does not work in the new prefix $WINEPREFIX"
fi

# --- modem lines for the pairs (opt-in per program, see the top) -------------------
NM_LIB_DIR="$BUILD_DIR/nullmodem"
NM_STATE_DIR="$PTY_DIR/nullmodem"
build_nullmodem() { # build_nullmodem MULTIARCH GCC-FLAG
    local out="$NM_LIB_DIR/lib/$1/libquolm-nullmodem.so"
    [[ -f "$out" && "$out" -nt "$HARNESS_DIR/nullmodem.c" && "$out" -nt "$HARNESS_DIR/preload_ioctl.h" ]] && return 0
    mkdir -p "$(dirname "$out")"
    gcc "$2" -shared -fPIC -O2 -Wall -Wextra -o "$out.tmp" "$HARNESS_DIR/nullmodem.c" -ldl -lpthread &&
        mv "$out.tmp" "$out"
}
build_nullmodem x86_64-linux-gnu -m64 || say "warning: 64-bit null-modem library not built"
build_nullmodem i386-linux-gnu -m32 || say "warning: 32-bit null-modem library not built (gcc-multilib?)"
# A UART's transmit pace for chosen ptys (pacedline.c), opt-in the same way.
build_pacedline() { # build_pacedline MULTIARCH GCC-FLAG
    local out="$NM_LIB_DIR/lib/$1/libquolm-pacedline.so"
    [[ -f "$out" && "$out" -nt "$HARNESS_DIR/pacedline.c" && "$out" -nt "$HARNESS_DIR/preload_ioctl.h" ]] && return 0
    mkdir -p "$(dirname "$out")"
    gcc "$2" -shared -fPIC -O2 -Wall -Wextra -o "$out.tmp" "$HARNESS_DIR/pacedline.c" -ldl -lpthread &&
        mv "$out.tmp" "$out"
}
build_pacedline x86_64-linux-gnu -m64 || say "warning: 64-bit paced-line library not built"
build_pacedline i386-linux-gnu -m32 || say "warning: 32-bit paced-line library not built (gcc-multilib?)"
rm -rf "$NM_STATE_DIR"
mkdir -p "$NM_STATE_DIR"
truncate -s 4096 "$NM_STATE_DIR/lines"
pty_no() { local p; p=$(readlink -f "$1"); echo "${p#/dev/pts/}"; }
for pair in "${PAIRS[@]}"; do
    a=${pair%%:*} b=${pair##*:}
    echo "$(pty_no "${PORT_MAP[$a]}") $(pty_no "${PORT_MAP[$b]}")"
done >"$NM_STATE_DIR/pairs"
if [[ -n "$DEVICE_PORT" ]]; then
    echo "$(pty_no "${PORT_MAP[$DEVICE_PORT]}") $(pty_no "$PTY_DIR/device")" >>"$NM_STATE_DIR/pairs"
fi
export QUOLM_NULLMODEM_DIR="$NM_STATE_DIR"
# $LIB is left for the dynamic loader: it picks the 32- or 64-bit build.
export QUOLM_NULLMODEM_PRELOAD="$NM_LIB_DIR/"'$LIB'"/libquolm-nullmodem.so"
export QUOLM_PACEDLINE_PRELOAD="$NM_LIB_DIR/"'$LIB'"/libquolm-pacedline.so"

export QUOLM_SANDBOX=1
export QUOLM_WINE_ARCH QUOLM_WINE_ARCH_WHY
export QUOLM_BUILD_DIR="$BUILD_DIR"
export QUOLM_PTY_DIR="$PTY_DIR"
say "ports ${!PORT_MAP[*]}; display ${DISPLAY:-none}; prefix $WINEPREFIX"

rc=0
if [[ $NULL_MODEM -eq 1 ]]; then
    LD_PRELOAD=$QUOLM_NULLMODEM_PRELOAD "${CMD[@]}" || rc=$?
else
    "${CMD[@]}" || rc=$?
fi
exit "$rc"

#!/usr/bin/env bash
# Starts Quolm-Portwright under Wine on Linux, for your own serial devices.
#
#   scripts/quolm-wine.sh [--com N=DEVICE]... [--dir DIR] [--exe QUOLM.EXE] [--dry-run]
#
#   --com N=DEVICE  map DEVICE (e.g. /dev/ttyUSB0) to COM N (1 to 256);
#                   give it once per device. Without it, every present
#                   /dev/ttyUSB* and then /dev/ttyACM* gets a COM number in
#                   order, starting at COM1 (the program's designed port).
#   --dir DIR       working directory of the program (default: the current
#                   one); a "quolm.dat" there is loaded at start-up
#   --exe PATH      the program to start (default: this repository's build,
#                   32-bit, or 64-bit where 32-bit programs cannot run)
#   --dry-run       check the devices and print the mapping, start nothing
#
# The mapping is written to the Wine prefix in WINEPREFIX, or else to one of
# the launcher's own under ${XDG_DATA_HOME:-~/.local/share}/quolm-portwright,
# created on first use. Only the named or found devices are mapped: ports
# that Wine maps by itself (every /dev/ttyS* for instance) are hidden from the
# program for the run and never take a number you asked for.
set -uo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)
# shellcheck source=wine-arch.sh
source "$SCRIPT_DIR/wine-arch.sh"
# Where the found devices are looked for (a test points it at its own ptys).
DEV_DIR=${QUOLM_SERIAL_DEV_DIR:-/dev}

say() { echo "quolm-wine: $*"; }
fail() { # fail MESSAGE [WHAT-TO-DO...]
    echo "quolm-wine: error: $1" >&2
    shift
    local line
    for line in "$@"; do echo "quolm-wine:   $line" >&2; done
    exit 2
}
usage() { sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "${BASH_SOURCE[0]}"; }

# --- arguments ----------------------------------------------------------------------
declare -A COM_DEVICE=()  # COM number -> device path as given
ORDER=()                  # COM numbers in the order given
WORK_DIR=$PWD
EXE=""
DRY_RUN=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --com | --com=*)
            if [[ "$1" == --com=* ]]; then spec=${1#--com=}; shift; else spec=${2-}; shift $(($# > 1 ? 2 : 1)); fi
            [[ "$spec" =~ ^([Cc][Oo][Mm])?([0-9]+)=(.+)$ ]] ||
                fail "--com wants N=DEVICE, not '${spec}'" "for example: --com 1=/dev/ttyUSB0"
            n=$((10#${BASH_REMATCH[2]})) dev=${BASH_REMATCH[3]}
            ((n >= 1 && n <= 256)) || fail "COM$n: the COM number must be 1 to 256"
            [[ -z "${COM_DEVICE[$n]:-}" ]] ||
                fail "COM$n is given twice (${COM_DEVICE[$n]} and $dev)" "give each COM number once"
            COM_DEVICE[$n]=$dev
            ORDER+=("$n")
            ;;
        --dir | --dir=*)
            if [[ "$1" == --dir=* ]]; then WORK_DIR=${1#--dir=}; shift; else WORK_DIR=${2-}; shift $(($# > 1 ? 2 : 1)); fi
            [[ -n "$WORK_DIR" ]] || fail "--dir wants a directory"
            ;;
        --exe | --exe=*)
            if [[ "$1" == --exe=* ]]; then EXE=${1#--exe=}; shift; else EXE=${2-}; shift $(($# > 1 ? 2 : 1)); fi
            [[ -n "$EXE" ]] || fail "--exe wants the path of Quolm.exe"
            ;;
        --dry-run) DRY_RUN=1; shift ;;
        -h | --help) usage; exit 0 ;;
        *) fail "unknown argument '$1'" "see: $0 --help" ;;
    esac
done

# --- the devices ----------------------------------------------------------------------
if [[ ${#ORDER[@]} -eq 0 ]]; then
    n=0
    for pattern in 'ttyUSB*' 'ttyACM*'; do
        while IFS= read -r dev; do
            [[ -n "$dev" ]] || continue
            n=$((n + 1))
            COM_DEVICE[$n]=$dev
            ORDER+=("$n")
        done < <(compgen -G "$DEV_DIR/$pattern" | sort -V)
    done
    if [[ ${#ORDER[@]} -eq 0 ]]; then
        say "no serial adapter found ($DEV_DIR/ttyUSB*, $DEV_DIR/ttyACM*); the program starts without ports."
        say "plug one in, or name a device with --com N=DEVICE"
    fi
fi

declare -A SEEN=()  # real device path -> COM number
for n in "${ORDER[@]}"; do
    dev=${COM_DEVICE[$n]}
    [[ -e "$dev" ]] || fail "$dev (COM$n) does not exist" \
        "is the adapter plugged in? Present now: $(compgen -G "$DEV_DIR/tty[UA][SC][BM]*" | sort -V | paste -sd ' ' | sed 's/^$/none/')"
    [[ -c "$dev" ]] || fail "$dev (COM$n) is not a serial device (not a character device)"
    real=$(readlink -f "$dev")
    [[ -z "${SEEN[$real]:-}" ]] || fail "$dev is given twice (COM${SEEN[$real]} and COM$n)" "map each device once"
    SEEN[$real]=$n
    if [[ ! -r "$dev" || ! -w "$dev" ]]; then
        owner=$(stat -L -c '%U:%G, mode %A' "$dev" 2>/dev/null)
        group=$(stat -L -c '%G' "$dev" 2>/dev/null)
        fail "you may not open $dev (COM$n; $owner)" \
            "add yourself to its group and log in again:  sudo usermod -aG ${group:-dialout} $(id -un)" \
            "(on Debian and Ubuntu serial adapters belong to the group dialout)"
    fi
done

# --- Wine and the program ------------------------------------------------------------------
if ! command -v wineserver >/dev/null || [[ ! -x "$QUOLM_WINE64_LOADER" && ! -x "$QUOLM_WINE32_LOADER" ]]; then
    fail "Wine is not installed" \
        "on Debian or Ubuntu:  sudo dpkg --add-architecture i386 && sudo apt update && sudo apt install wine wine64 wine32:i386" \
        "(where 32-bit programs cannot run, wine and wine64 are enough)"
fi
quolm_wine_loader
if [[ -z "$EXE" ]]; then
    preset=$(quolm_default_preset)
    EXE="$REPO_DIR/build/$preset/app/Quolm.exe"
    [[ -f "$EXE" ]] || fail "the program is not built yet ($EXE)" \
        "build it:  cmake --preset $preset && cmake --build --preset $preset   (sudo bash scripts/setup.sh installs the tools)"
    [[ $preset == i686 ]] || say "the 64-bit program: $QUOLM_WINE_ARCH_WHY"
fi
[[ -f "$EXE" ]] || fail "$EXE does not exist"
EXE=$(readlink -f "$EXE")
[[ -d "$WORK_DIR" ]] || fail "the working directory $WORK_DIR does not exist"
WORK_DIR=$(cd "$WORK_DIR" && pwd)

for n in "${ORDER[@]}"; do say "COM$n = ${COM_DEVICE[$n]}"; done
[[ -f "$WORK_DIR/quolm.dat" ]] && say "command table: $WORK_DIR/quolm.dat"
[[ $DRY_RUN -eq 0 ]] || exit 0

# --- the prefix ---------------------------------------------------------------------
export WINEPREFIX=${WINEPREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/quolm-portwright/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
[[ ! -f "$WINEPREFIX/.quolm-ready" ]] ||
    fail "$WINEPREFIX is the test harness's prefix" "unset WINEPREFIX, or choose a prefix of your own"
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    say "creating the Wine prefix $WINEPREFIX (first use: this takes a minute or two)"
    mkdir -p "$WINEPREFIX"
    "$QUOLM_WINE" wineboot -i >/dev/null 2>&1 && wineserver -w ||
        fail "Wine could not create $WINEPREFIX" "try: WINEDEBUG=err+all $QUOLM_WINE wineboot -i"
fi

# Wine reads the port mapping when its server starts: stop a running one.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
REG=$(mktemp /tmp/quolm-ports.XXXXXX.reg)
trap 'rm -f "$REG"' EXIT
{
    printf 'REGEDIT4\r\n\r\n'
    printf '[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in "${ORDER[@]}"; do
        path=${COM_DEVICE[$n]//\\/\\\\}
        printf '"COM%s"="%s"\r\n' "$n" "${path//\"/\\\"}"
    done
} >"$REG"
"$QUOLM_WINE" regedit /S "Z:${REG//\//\\}" >/dev/null 2>&1 || fail "Wine's regedit could not write the port mapping"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
# A mapping that was removed leaves a link behind that still opens.
for link in "$WINEPREFIX"/dosdevices/com*; do
    [[ -L "$link" ]] || continue
    name=$(basename "$link")
    [[ -n "${COM_DEVICE[${name#com}]:-}" ]] || rm -f "$link"
done

# One server for the run (it ends 10 s after the program), so the ports Wine
# maps by itself can be hidden before the program starts.
wineserver -p10 >/dev/null 2>&1 </dev/null
"$QUOLM_WINE" cmd /c exit >/dev/null 2>&1 || fail "Wine does not start in $WINEPREFIX"
SERIALCOMM='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
while read -r value _ port; do
    [[ "$port" =~ ^COM([0-9]+)$ ]] || continue
    n=${BASH_REMATCH[1]}
    [[ -z "${COM_DEVICE[$n]:-}" ]] || continue
    target=$(readlink "$WINEPREFIX/dosdevices/com$n" 2>/dev/null || echo "?")
    say "COM$n = $target was mapped by Wine itself: hidden for this run"
    rm -f "$WINEPREFIX/dosdevices/com$n"
    "$QUOLM_WINE" reg delete "$SERIALCOMM" /v "$value" /f >/dev/null 2>&1 || true
done < <("$QUOLM_WINE" reg query "$SERIALCOMM" 2>/dev/null | tr -d '\r' | grep -E '^ +[^ ].* REG_SZ ')
for n in "${ORDER[@]}"; do
    [[ -L "$WINEPREFIX/dosdevices/com$n" ]] || fail "Wine did not map COM$n to ${COM_DEVICE[$n]}"
done

say "starting $EXE in $WORK_DIR"
cd "$WORK_DIR" || exit 2
"$QUOLM_WINE" "$EXE"
exit $?
